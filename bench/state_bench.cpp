// Times the engine's tree-state work on real data: the project scan, the difference of two large
// states and the replay of many small cached versions. Run by bench/state_bench.sh.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "common/filesystem/finder.h"
#include "platform/platform.h"
#include "vcs/project.h"
#include "vcs/scan.h"
#include "vcs/state.h"
#include "vcs/state_item.h"
#include "vcs/storage.h"
#include "vcs/storage_driver.h"
#include "vcs/transform.h"
#include "vcs/version_file.h"

namespace {

using namespace kestrun;
using clock_type = std::chrono::steady_clock;

// Best and median of `runs` timings, in milliseconds. `untimed` runs after each step, outside
// the clock (releasing what the step made).
void report(const std::string& what, int runs, const std::function<void()>& step,
            const std::function<void()>& untimed = {}) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto start = clock_type::now();
    step();
    ms.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - start).count());
    if (untimed) untimed();
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%-28s best %9.1f ms   median %9.1f ms   (%d runs)\n", what.c_str(), ms.front(),
              ms[ms.size() / 2], runs);
}

std::shared_ptr<vcs::project> open_project(const std::filesystem::path& folder) {
  std::wstring sub_path;
  return vcs::project::open(platform::wide_from_path(folder), sub_path);
}

int bench_scan(const std::filesystem::path& tree, int runs) {
  auto proj = open_project(tree);
  if (!proj) return 1;
  // The finder's walk alone, with the scan's options: what the scan adds is the items and the
  // size of every file.
  std::size_t walked = 0;
  report("finder walk alone", runs, [&] {
    filesystem::finder<filesystem::gitignore, filesystem::finder_item> finder(
        proj->root(), false, true, L".gitignore", L".k-vcs/", "kestrun::vcs::finder::");
    filesystem::finder_item entry;
    walked = 0;
    while (finder.scan(entry)) ++walked;
  });
  std::shared_ptr<vcs::state> scanned;
  report(
      "scan", runs, [&] { scanned = vcs::scan_project(*proj, L""); }, [&] { scanned.reset(); });
  std::printf("entries: %zu walked, %zu in the state\n", walked,
              vcs::scan_project(*proj, L"")->items().size());
  return 0;
}

// The folder's state against a stored state of the same tree with 1 % of the entries removed,
// 1 % changed in size and 1 % more stored only: no file is read, as in a real backup.
int bench_diff(const std::filesystem::path& tree, int runs) {
  auto proj = open_project(tree);
  if (!proj) return 1;
  const auto folder = vcs::scan_project(*proj, L"");
  auto stored_driver = std::make_shared<vcs::storage_driver>(L"", 0, proj.get(), &proj->temp);
  vcs::state_items stored_items;
  std::size_t i = 0;
  for (const auto& [name, item] : folder->items()) {
    ++i;
    if (i % 100 == 1) continue;
    auto copy_name = std::make_shared<std::string>(*name);
    if (item->type() == 'F') {
      const auto* file = static_cast<const vcs::state_item_file*>(item.get());
      const std::uint64_t size = file->size() + (i % 100 == 2 ? 1 : 0);
      vcs::add_item(stored_items, std::make_shared<vcs::state_item_file>(stored_driver, copy_name,
                                                                         size, file->time()));
    } else {
      vcs::add_item(stored_items, std::make_shared<vcs::state_item_dir>(stored_driver, copy_name));
    }
    if (i % 100 == 3) {
      vcs::add_item(stored_items,
                    std::make_shared<vcs::state_item_dir>(
                        stored_driver, std::make_shared<std::string>(*name + ".stored-only")));
    }
  }
  auto stored = std::make_shared<vcs::state>(stored_driver, 7, std::move(stored_items));
  std::shared_ptr<vcs::transform> made;
  const auto release = [&] { made.reset(); };
  report(
      "diff (backup direction)", runs, [&] { made = folder->diff(stored); }, release);
  std::printf("diff states: %zu / %zu items, %zu commands\n", folder->items().size(),
              stored->items().size(), folder->diff(stored)->commands().size());
  report(
      "diff (restore direction)", runs, [&] { made = stored->diff(folder); }, release);
  return 0;
}

// `versions` versions of `per_version` commands each, already in the local cache.
int bench_replay(const std::filesystem::path& work, const std::filesystem::path& driver_folder,
                 int versions, int per_version, int runs) {
  std::filesystem::remove_all(work);
  std::filesystem::create_directories(work / "project");
  std::filesystem::create_directories(work / "storage");
  {
    std::FILE* f = std::fopen((work / "project" / "kestrun-vcs.json").c_str(), "w");
    if (f == nullptr) return 1;
    std::fputs(R"({"name": "bench/replay"})", f);
    std::fclose(f);
  }
  auto proj = open_project(work / "project");
  if (!proj) return 1;
  auto driver = std::make_shared<vcs::storage_driver>(platform::wide_from_path(work / "storage"), 0,
                                                      proj.get(), &proj->temp, driver_folder);
  if (!driver->bound()) {
    std::fprintf(stderr, "kellar-fs not found in %s\n", driver_folder.c_str());
    return 1;
  }
  std::filesystem::create_directories(driver->local_path(1).parent_path());
  for (int v = 1; v <= versions; ++v) {
    vcs::transform_commands commands;
    for (int c = 0; c < per_version; ++c) {
      auto name = std::make_shared<std::string>("src/module" + std::to_string(c % 40) + "/file" +
                                                std::to_string(v * per_version + c) + ".cpp");
      auto item = std::make_shared<vcs::state_item_dir>(driver, name);
      commands.push_back(
          std::make_shared<vcs::transform_command>(vcs::transform_command::add, name, item));
      if (v > 1 && c % 4 == 0) {
        commands.push_back(std::make_shared<vcs::transform_command>(
            vcs::transform_command::remove,
            std::make_shared<std::string>("src/module" + std::to_string(c % 40) + "/file" +
                                          std::to_string((v - 1) * per_version + c) + ".cpp")));
      }
    }
    if (!vcs::write_version_file(driver->local_path(v), 1700000000 + v, commands)) return 1;
  }
  vcs::storage st(driver);
  std::shared_ptr<vcs::state> replayed;
  report(
      "replay " + std::to_string(versions) + " cached versions", runs,
      [&] { replayed = st.state(L"", versions); }, [&] { replayed.reset(); });
  std::printf("replay result: %zu items\n", st.state(L"", versions)->items().size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "scan") return bench_scan(args[1], 5);
  if (args.size() >= 2 && args[0] == "diff") return bench_diff(args[1], 5);
  if (args.size() >= 3 && args[0] == "replay") {
    return bench_replay(args[1], args[2], 200, 50, 5);
  }
  std::cerr << "usage: state_bench scan TREE | diff TREE | replay WORK_FOLDER DRIVER_FOLDER\n";
  return 2;
}
