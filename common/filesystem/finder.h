// The file-tree finder: walks the folders below a root without recursion and hands out their
// entries one at a time, leaving out (and reporting) what ".gitignore"-style rules exclude.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/filesystem/gitignore.h"
#include "common/filesystem/item.h"
#include "common/notify/event.h"

namespace kestrun::filesystem {

// Payload of the ignore event: points at the ignored entry, which it does not own and which
// lives only while the event is fired.
template <class item_t>
class notify : public kestrun::notify::data {
 public:
  explicit notify(const item_t* entry) : item(entry) {}
  ~notify() override = default;
  // "<path> <<rule line>> <rule source>", the path as native bytes, the rest UTF-8.
  std::string to_string() const override;

  const item_t* item;
};

template <>
std::string notify<finder_item>::to_string() const;

template <class rules_t = gitignore, class item_t = finder_item>
class finder {
 public:
  // One loaded rule set and the folder it belongs to.
  struct level {
    // Stack position of the owning folder; 0 - k for the k-th folder above the root,
    // 0xFFFFFFFF for the caller's rules.
    std::uint32_t depth = 0;
    std::wstring folder;            // holds the ignore file; empty for the caller's rules
    std::uint64_t base_length = 0;  // characters cut off a path so that it starts with '/'
    std::wstring source;            // the ignore file's name, or "GLOBAL"
    std::shared_ptr<rules_t> rules;
  };

  // Reads the ignore files of every folder above `root` (a trailing separator is ignored); their
  // rules apply to what lies below the root, never to the root itself, which is always walked.
  // `ignore_file_names` lists the names of ignore files separated by '|'; `global_rules` are
  // rules in ignore-file syntax that apply everywhere; an empty `event_prefix` fires no events.
  // A rule that cannot be used, or a line that is not UTF-8, is left out and, with an event
  // prefix, reported by the level-1 event "<prefix>ignore::rule" (text: "<ignore file>:<line
  // number> <<line>> <why>", the line cut after a few hundred characters). An ignore file that is
  // a symbolic link is not read (its folder gets a level without rules), reported by the level-1
  // event "<prefix>ignore::file" (text: the file). A folder rule ("build/") never matches a link.
  finder(std::filesystem::path root, bool include_ignored, bool recursive,
         const std::wstring& ignore_file_names, const std::wstring& global_rules,
         const std::string& event_prefix);
  virtual ~finder() = default;
  finder(const finder&) = delete;
  finder& operator=(const finder&) = delete;

  // Assigns the next entry to `out` and returns true; false once nothing is left (`out` is then
  // untouched). Each folder's entries come folders first, each group in ascending path order;
  // the next folder listed is the one found last. Links are handed out and never walked. A
  // folder that cannot be listed, or fails partway, gives what was listed before the failure; so
  // does one whose entries' status the system refuses (a folder without search permission gives
  // none). Such a folder is added to `unread` and reported by "<prefix>scan::dir" at level 2
  // (text: "<folder>: <the system's reason>"); an entry that vanished since the listing is
  // simply gone. Fires "<prefix>scan::dir" (text: the folder) for every folder listed,
  // "<prefix>ignore" (payload: the entry) for every ignored entry and "<prefix>ignore::rule" as
  // the constructor says. Throws only what a subscriber throws for the folder event or the rule
  // warning.
  virtual bool scan(item_t& out);

  // Appends a level for every ignore file that exists in `folder`; a file that cannot be read
  // gives a level without rules, and one whose existence cannot be tested gives none.
  void load_ignore_files(const std::filesystem::path& folder, std::uint32_t depth);

  // Sets `ignored`, both rule strings and `is_ignore_file` of `entry` from `levels`. An entry
  // that arrives ignored stays ignored: no rule is tried for it.
  void match(item_t& entry) const;

  std::vector<item_t> folders;  // folders still to be listed, the next one last
  bool include_ignored;
  bool recursive;
  std::set<std::wstring> ignore_file_names;
  std::vector<level> levels;
  std::vector<item_t> found;  // entries of the last listed folder still to be handed out
  // Folders whose content could not be read in full, in the order met.
  std::vector<std::filesystem::path> unread;
  std::string event_prefix;
  std::string ignore_event;
  std::string scan_dir_event;
  std::string unusable_rule_event;
  std::string unusable_file_event;

 private:
  void report_ignored(const item_t& entry) const;
  // Records `folder` as unread and fires the level-2 folder event with the reason.
  void report_unread(const std::filesystem::path& folder, const std::wstring& folder_wide,
                     const std::error_code& ec);
  // Fires the event for each rule of `rules` that could not be used; `source` names the file.
  void report_unusable(const rules_t& rules, const std::wstring& source) const;
  // Lists `folder` (whose wide text is `folder_wide`), loads its ignore files at `depth` and
  // appends the entries that are kept to `found`.
  void list(const item_t& folder, const std::wstring& folder_wide, std::uint32_t depth);
  // Puts `found` in the order in which scan hands the entries out, from the back.
  void sort_found();
  // One ignore file of load_ignore_files.
  void load_ignore_file(const std::filesystem::path& folder, const std::wstring& folder_text,
                        const std::wstring& name, std::uint32_t depth);
  // match() for an entry whose path is already at hand as wide text.
  void match(item_t& entry, std::wstring_view wide_path) const;

  // Work areas kept from one folder to the next.
  std::wstring path_buffer_;  // the wide path of the entry being listed
  std::vector<std::filesystem::directory_entry> listing_;
  std::vector<item_t> sorted_;
};

extern template class finder<gitignore, finder_item>;

// The part of `path` below `base`, without a leading separator; empty when `path` does not start
// with the text of `base` or is no longer than it. The comparison is exact, as file names are.
std::wstring relative_to(const std::wstring& base, const std::wstring& path);

}  // namespace kestrun::filesystem
