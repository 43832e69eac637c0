// The storage of a run and the replay of its version files into a tree state.
#include "vcs/storage.h"

#include <limits>
#include <utility>

#include "common/notify/event.h"
#include "common/text.h"
#include "vcs/project.h"
#include "vcs/state.h"
#include "vcs/storage_driver.h"
#include "vcs/transform.h"

namespace kestrun::vcs {

std::shared_ptr<storage> storage::open(project& proj, const std::wstring& link) {
  auto driver = std::make_shared<storage_driver>(link, 0, &proj, &proj.temp);
  // The driver's own connect event is the only trace of a refused connection.
  if (!driver->test()) return {};
  return std::make_shared<storage>(std::move(driver));
}

storage::storage(std::shared_ptr<storage_driver> driver) : driver_(std::move(driver)) {}

storage::~storage() = default;

std::int32_t storage::last_nn() { return driver_->last_nn(); }

std::shared_ptr<vcs::state> storage::state(const std::wstring& prefix, std::int32_t nn) {
  if (nn == -1) nn = last_nn();
  notify::create("kestrun::vcs::storage::state::path")->fire_text(prefix);
  notify::create("kestrun::vcs::storage::state::nn")->fire_text(static_cast<std::uint32_t>(nn));

  state_items items;
  if (nn > 0) {
    // The slash keeps a sibling whose name merely begins with the prefix (srcx) out.
    const std::string filter = prefix.empty() ? std::string() : utf16_to_utf8(prefix) + "/";
    for (std::int32_t i = 1; i <= nn; ++i) {
      transform version(driver_, std::numeric_limits<std::uint32_t>::max());
      if (!version.load(static_cast<std::uint32_t>(i))) return {};
      for (const auto& command : version.commands()) {
        const std::string& path = *command->path();
        if (path.compare(0, filter.size(), filter) != 0) continue;
        if (command->type() == transform_command::add) {
          // An entry already there stays: the difference never adds without removing first.
          add_item(items, command->item());
        } else if (command->type() == transform_command::remove) {
          remove_item(items, command->path());
        }
      }
    }
  }
  return std::make_shared<vcs::state>(driver_, nn, std::move(items));
}

}  // namespace kestrun::vcs
