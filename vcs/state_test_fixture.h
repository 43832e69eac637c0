// Test helpers for the state, version file, replay and scan tests: a project in a temporary
// folder, the drivers the tests need, and a record of the engine's events.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/params.h"
#include "platform/platform.h"
#include "tests/support/event_recorder.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"
#include "vcs/project.h"
#include "vcs/storage_driver.h"

namespace kestrun::vcs::test {

// Every "kestrun::vcs::..." event fired since the last clear.
inline std::vector<kestrun::test::t_recorded_event>& recorded_events() {
  return kestrun::test::recorded_events("kestrun::vcs::.*");
}

// The recorded events with that name.
inline std::vector<kestrun::test::t_recorded_event> events_named(const std::string& name) {
  return kestrun::test::events_named(recorded_events(), name);
}

using kestrun::test::driver_folder;

// A project "a/b" whose root is a fresh temporary folder, with a second folder for a storage.
class project_fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    kestrun::params settings;
    ASSERT_TRUE(settings.load(R"({"name": "a/b"})"));
    root_ = platform::path_from_wide(platform::wide_from_path(folder_.path()) + L"/");
    project_ = std::make_shared<vcs::project>(root_, "a/b", settings);
    recorded_events().clear();
  }

  void TearDown() override { project_.reset(); }

  // The driver of a scanned state: empty link, local.
  std::shared_ptr<storage_driver> local_driver() {
    return std::make_shared<storage_driver>(std::wstring(), 1, project_.get(), &project_->temp);
  }

  // The folder driver over the storage folder (or another link), loaded from the build's bin/.
  std::shared_ptr<storage_driver> storage_driver_for(const std::wstring& link) {
    return std::make_shared<storage_driver>(link, 0, project_.get(), &project_->temp,
                                            driver_folder());
  }
  std::shared_ptr<storage_driver> folder_storage() {
    return storage_driver_for(platform::wide_from_path(storage_folder_.path()));
  }

  // Where the storage keeps version nn of project a/b.
  std::filesystem::path stored_version(std::uint32_t nn) const {
    return storage_folder_.path() / "projects" / "a" / "b" / (std::to_string(nn) + ".gz");
  }

  kestrun::test::temp_folder folder_;
  kestrun::test::temp_folder storage_folder_;
  std::filesystem::path root_;
  std::shared_ptr<vcs::project> project_;
};

}  // namespace kestrun::vcs::test
