// The flow of one kvcs run: start-up, the work, and the closing steps that every end of the work
// goes through, so that every run leaves a complete, readable log.
#include "vcs/run.h"

#include <clocale>
#include <cstdint>
#include <string>
#include <system_error>

#include "common/notify/event.h"
#include "common/text.h"
#include "platform/platform.h"
#include "vcs/console.h"
#include "vcs/identity_cache.h"
#include "vcs/project.h"
#include "vcs/state.h"
#include "vcs/storage.h"
#include "vcs/transform.h"

namespace kestrun::vcs {

int console_main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  return guarded([&] {
    if (!app_info::init(argc, argv, configure_tool)) {
      const app_info* info = app_info::instance();
      if (info == nullptr) return 1;  // no description to explain the command line with
      fail_command_line(info->error, *info);
    }
    return run(*app_info::instance());
  });
}

namespace {

// Scan, replay, compare and save. Every step that yields nothing ends the work here; the step
// has already said why through its own events. The locals are declared in the order they are
// made, so they are released in the reverse order: the transform first, the project state last.
void work(const app_info& info, project& proj, const std::wstring& sub_path,
          const std::string& link) {
  const std::string mode = info.get("-m", "");
  // Read before the scan: what earlier backups learned of files touched since they were stored.
  const identity_cache known = identity_cache::load(proj);
  std::shared_ptr<state> project_state = proj.state(sub_path);
  if (!project_state) return;
  known.fill(*project_state);
  std::shared_ptr<storage> store = storage::open(proj, utf8_to_utf16(link));
  if (!store) return;

  std::int32_t nn = -1;  // a backup compares with the latest version
  if (mode == "restore") {
    const int n = info.get_int("-n", 0);
    // 0 is the latest, -k counts back from it. A latest that cannot be told (the storage could
    // not be asked, or its history has a gap) ends the run after the count's level-2 event.
    std::int64_t wanted = n;
    if (n < 1) {
      const std::int32_t last = store->last_nn();
      if (last < 0) return;
      wanted += last;
    }
    // Below 1 no version is named: restoring the empty state would wipe the folder.
    if (wanted < 1) {
      notify::create("kestrun::vcs::load")->set_error(true)->fire_text(std::to_string(wanted));
      return;
    }
    nn = static_cast<std::int32_t>(wanted);
  }
  std::shared_ptr<state> storage_state = store->state(sub_path, nn);
  if (!storage_state) return;

  // Below a folder that could not be read the difference sees what the storage holds, so no
  // command touches what is there.
  project_state->keep_unread_from(*storage_state);
  std::shared_ptr<transform> difference =
      mode == "restore" ? storage_state->diff(project_state) : project_state->diff(storage_state);
  if (project_state->incomplete()) difference->mark_incomplete();
  if (!info.has("--nosave")) {
    // Nothing of ours can be writing them while this run holds the work folder.
    for (const auto& leftover : project_state->leftovers()) {
      std::error_code ec;
      platform::remove_entry(leftover, ec);
    }
    // A restore rewrites files the record speaks of: it goes first, so that no later run
    // believes it of what the restore wrote.
    if (mode == "restore" && !difference->commands().empty()) identity_cache::forget(proj);
    // The verdict is the save's own final event; the run ends the same way either way.
    const bool saved = difference->save();
    // Kept only from a backup that reached its end. A failed one may have failed over a record
    // gone wrong (the packer finding another content than recorded), so that record goes.
    if (mode == "backup") {
      if (saved) {
        (void)known.keep(proj, known.learned(*project_state, *storage_state));
      } else {
        identity_cache::forget(proj);
      }
    }
  }
}

}  // namespace

int run(const app_info& info) {
  console session;
  if (!session.start(info)) return 0;  // no log file: the run ends without a word

  std::wstring sub_path;
  // Outlives close_log: its release events reach the console but no longer the log.
  std::shared_ptr<project> proj = project::open(utf8_to_utf16(info.get("folder", "")), sub_path);
  if (proj) work(info, *proj, sub_path, session.link());

  session.close_log();
  proj.reset();
  return 0;
}

}  // namespace kestrun::vcs
