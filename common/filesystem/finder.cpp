// The finder's walk, the loading of ignore files per folder and the matching of one entry
// against every loaded level, plus the relative-path helper the scan applies to its entries.
#include "common/filesystem/finder.h"

#include <algorithm>
#include <type_traits>

#include "common/text.h"
#include "platform/platform.h"

namespace kestrun::filesystem {
namespace {

using native_unit = std::make_unsigned_t<platform::native_char>;

// Appends the wide text of a native name; plain ASCII, the usual case, needs no decoder.
void append_wide(platform::native_string_view name, std::wstring& out) {
  const bool ascii = std::all_of(name.begin(), name.end(), [](platform::native_char c) {
    return static_cast<native_unit>(c) < 0x80;
  });
  if (ascii) {
    out.append(name.begin(), name.end());
  } else {
    out += platform::wide_from_native_name(name);
  }
}

// The text after the last separator of a native path.
platform::native_string_view last_element(platform::native_string_view path) {
  std::size_t start = path.size();
  while (start > 0 && !platform::is_native_separator(path[start - 1])) --start;
  return path.substr(start);
}

// The wide text of a path with '/' separators, as the rules and the levels see it.
std::wstring generic_wide(const std::filesystem::path& path) {
  return platform::separators_to_generic(platform::wide_from_path(path));
}

}  // namespace

template <>
std::string notify<finder_item>::to_string() const {
  std::string text = platform::narrow_from_path(item->entry.path());
  text += " <";
  text += display_text(item->rule_line, shown_characters);
  text += "> ";
  text += utf16_to_utf8(path_to_generic(platform::path_from_wide(item->rule_source), false));
  return text;
}

template <class rules_t, class item_t>
finder<rules_t, item_t>::finder(std::filesystem::path root, bool include_ignored_, bool recursive_,
                                const std::wstring& ignore_file_names_,
                                const std::wstring& global_rules, const std::string& event_prefix_)
    : include_ignored(include_ignored_),
      recursive(recursive_),
      event_prefix(event_prefix_),
      ignore_event(event_prefix_ + "ignore"),
      scan_dir_event(event_prefix_ + "scan::dir"),
      unusable_rule_event(event_prefix_ + "ignore::rule"),
      unusable_file_event(event_prefix_ + "ignore::file") {
  if (!ignore_file_names_.empty()) {
    for (const auto& name : split_text(ignore_file_names_, L"|")) ignore_file_names.insert(name);
  }
  if (!global_rules.empty()) {
    auto rules = std::make_shared<rules_t>();
    rules->load(global_rules);
    report_unusable(*rules, L"GLOBAL");
    levels.push_back({0xFFFFFFFF, L"", 0, L"GLOBAL", std::move(rules)});
  }
  // A trailing separator leaves an empty file name; the parent path drops it.
  if (!root.empty() && !root.has_filename()) root = root.parent_path();

  std::vector<std::filesystem::path> chain{root};
  for (;;) {
    auto parent = chain.back().parent_path();
    if (parent == chain.back()) break;
    chain.push_back(std::move(parent));
  }
  std::reverse(chain.begin(), chain.end());

  // The folders above the root lend their rules to what lies below it, but no verdict: the root
  // was asked for, so it is walked even where a rule above it (a project folder listed in its
  // parent's ignore file) or the caller's rules would leave it out.
  const std::size_t n = chain.size();
  for (std::size_t i = 1; i < n; ++i) {
    // Depths 0 - n .. 0 - 2: no stack size ever equals them, so these levels stay.
    load_ignore_files(chain[i - 1], static_cast<std::uint32_t>(0u - (n - i + 1)));
  }
  folders.emplace_back(chain.back());
}

template <class rules_t, class item_t>
bool finder<rules_t, item_t>::scan(item_t& out) {
  for (;;) {
    if (!found.empty()) {
      out = std::move(found.back());
      found.pop_back();
      return true;
    }
    if (folders.empty()) return false;

    // Levels whose depth equals the stack size belong to folders listed before that are not
    // ancestors of the next one.
    const auto size = static_cast<std::uint32_t>(folders.size());
    std::erase_if(levels, [size](const level& l) { return l.depth == size; });

    item_t folder = std::move(folders.back());
    folders.pop_back();
    const std::wstring folder_wide = generic_wide(folder.entry.path());
    if (!event_prefix.empty()) kestrun::notify::create(scan_dir_event)->fire_text(folder_wide);
    list(folder, folder_wide, size - 1);
    sort_found();
  }
}

template <class rules_t, class item_t>
void finder<rules_t, item_t>::list(const item_t& folder, const std::wstring& folder_wide,
                                   std::uint32_t depth) {
  const std::filesystem::path& folder_path = folder.entry.path();
  // The names of the ignore files as a listing gives them, to see which of them are there.
  std::vector<platform::native_string> ignore_names;
  ignore_names.reserve(ignore_file_names.size());
  for (const auto& name : ignore_file_names)
    ignore_names.push_back(platform::native_name_from_wide(name));
  std::vector<bool> ignore_listed(ignore_names.size(), false);

  // The whole listing comes first, so that the folder's ignore files are known to be there or
  // not without asking the system for each of them.
  listing_.clear();
  // A folder that cannot be listed, or fails partway, gives what it gave so far; the walk goes on
  // with the next folder.
  std::error_code ec;
  const bool whole = platform::list_folder(folder_path, listing_, ec);
  // A folder that vanished since it was found holds nothing any more.
  if (!whole && !platform::is_not_found(ec)) report_unread(folder_path, folder_wide, ec);
  for (const auto& entry : listing_) {
    const platform::native_string_view name = last_element(entry.path().native());
    for (std::size_t i = 0; i < ignore_names.size(); ++i) {
      if (ignore_names[i] == name) ignore_listed[i] = true;
    }
  }
  if (whole) {
    std::size_t i = 0;
    for (const auto& name : ignore_file_names) {
      // A name that no listing can hold ("", ".", "..", one with a '/') still leads somewhere:
      // the system is asked about it as before.
      const platform::native_string& native = ignore_names[i];
      const bool listable = !native.empty() && last_element(native).size() == native.size() &&
                            native != platform::native_name_from_wide(L".") &&
                            native != platform::native_name_from_wide(L"..");
      if (ignore_listed[i] || !listable) load_ignore_file(folder_path, folder_wide, name, depth);
      ++i;
    }
  } else {
    // Without the whole listing only the system can say which ignore files are there.
    load_ignore_files(folder_path, depth);
  }

  // Every listed path is the folder's text, a separator unless the folder ends in one, and the
  // name: the folder part is converted to wide text once, and entries are read by name.
  const platform::native_string& folder_native = folder_path.native();
  const bool ends_in_separator =
      !folder_native.empty() && platform::is_native_separator(folder_native.back());
  const std::size_t name_offset = folder_native.size() + (ends_in_separator ? 0 : 1);
  std::wstring folder_prefix = folder_wide;
  if (!ends_in_separator) folder_prefix += L'/';
  const platform::folder_handle handle(folder_path);
  found.reserve(listing_.size());
  bool folder_unread = !whole;  // reported once
  try {
    for (auto& listed_entry : listing_) {
      // A listed path is the folder's text joined with the name: the name alone is converted.
      const platform::native_string& listed = listed_entry.path().native();
      const bool joined =
          listed.size() > name_offset && listed.starts_with(folder_native) &&
          (ends_in_separator || platform::is_native_separator(listed[folder_native.size()]));
      if (joined) {
        path_buffer_ = folder_prefix;
        append_wide(platform::native_string_view(listed).substr(name_offset), path_buffer_);
      } else {
        path_buffer_ = generic_wide(listed_entry.path());
      }
      const platform::native_string other_name =
          joined ? platform::native_string() : listed_entry.path().filename().native();
      const platform::native_char* name_text =
          joined ? listed.c_str() + name_offset : other_name.c_str();
      item_t entry = item_t::from_listing(std::move(listed_entry), handle, name_text);
      // What cannot be looked at cannot be kept: an entry that vanished since the listing is
      // simply gone, but one whose status the system refuses (every entry of a folder without
      // search permission) leaves the folder's content unknown.
      if (!entry.readable) {
        if (whole && !folder_unread) {
          platform::t_entry_info info;
          std::error_code status_ec;
          if (!platform::entry_info(entry.entry.path(), info, status_ec) &&
              !platform::is_not_found(status_ec)) {
            report_unread(folder_path, folder_wide, status_ec);
            folder_unread = true;
          }
        }
        continue;
      }
      entry.ignored = folder.ignored;
      entry.rule_line = folder.rule_line;
      entry.rule_source = folder.rule_source;
      match(entry, path_buffer_);
      if (!include_ignored && entry.ignored) {
        report_ignored(entry);
        continue;
      }
      if (recursive && platform::is_real_folder(entry.attributes, entry.reparse_tag)) {
        folders.push_back(entry);
      }
      found.push_back(std::move(entry));
    }
  } catch (...) {
    // An entry that cannot be built, matched or reported (a subscriber's exception) ends the
    // folder as a failed listing does: what was found so far stays, and the rest is unknown.
    if (!folder_unread) unread.push_back(folder_path);
  }
  listing_.clear();
}

template <class rules_t, class item_t>
void finder<rules_t, item_t>::sort_found() {
  // The order is decided on small keys; each entry then moves once into its place.
  struct t_key {
    bool folder;
    const platform::native_string* path;
    std::size_t index;
  };
  std::vector<t_key> keys;
  keys.reserve(found.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    keys.push_back({platform::is_folder(found[i].attributes), &found[i].entry.path().native(), i});
  }
  std::sort(keys.begin(), keys.end(), [](const t_key& a, const t_key& b) {
    if (a.folder != b.folder) return b.folder;
    // Entries of one listing share the folder's path text, so comparing the whole texts
    // orders them as comparing their last elements, and so as path comparison does.
    return *b.path < *a.path;
  });
  sorted_.clear();
  sorted_.reserve(found.size());
  for (const t_key& key : keys) sorted_.push_back(std::move(found[key.index]));
  found.swap(sorted_);
  sorted_.clear();
}

template <class rules_t, class item_t>
void finder<rules_t, item_t>::report_ignored(const item_t& entry) const {
  if (event_prefix.empty()) return;
  auto event = kestrun::notify::create(ignore_event);
  auto payload = std::make_unique<notify<item_t>>(&entry);
  event->fire_data(payload.release());
}

template <class rules_t, class item_t>
void finder<rules_t, item_t>::report_unread(const std::filesystem::path& folder,
                                            const std::wstring& folder_wide,
                                            const std::error_code& ec) {
  unread.push_back(folder);
  if (event_prefix.empty()) return;
  auto event = kestrun::notify::create(scan_dir_event);
  event->level = 2;
  event->fire_text(display_text(folder_wide) + ": " + ec.message());
}

template <class rules_t, class item_t>
void finder<rules_t, item_t>::report_unusable(const rules_t& rules,
                                              const std::wstring& source) const {
  if (event_prefix.empty()) return;
  for (const auto& bad : rules.unusable) {
    auto event = kestrun::notify::create(unusable_rule_event);
    event->level = 1;
    event->fire_text(utf16_to_utf8(path_to_generic(platform::path_from_wide(source), false)) + ":" +
                     std::to_string(bad.line_number) + " <" +
                     display_text(bad.line, shown_characters) + "> " + bad.problem);
  }
}

template <class rules_t, class item_t>
void finder<rules_t, item_t>::load_ignore_files(const std::filesystem::path& folder,
                                                std::uint32_t depth) {
  const std::wstring folder_text = generic_wide(folder);
  for (const auto& name : ignore_file_names) load_ignore_file(folder, folder_text, name, depth);
}

template <class rules_t, class item_t>
void finder<rules_t, item_t>::load_ignore_file(const std::filesystem::path& folder,
                                               const std::wstring& folder_text,
                                               const std::wstring& name, std::uint32_t depth) {
  const auto file = folder / platform::path_from_wide(name);
  // A folder that cannot be searched, or a path too long for the system, holds no ignore file
  // that could be read.
  std::error_code ec;
  platform::t_entry_info info;
  // Windows answers nothing of a path that ends in a separator (the name "" gives one), the
  // standard test does.
  if (!platform::entry_info(file, info, ec) && (!std::filesystem::exists(file, ec) || ec)) return;
  auto rules = std::make_shared<rules_t>();
  if (platform::is_link_entry(info.attributes, info.reparse_tag)) {
    // As git, an ignore file that is a link is not read: it could lead anywhere, outside the
    // project too. It still counts as an ignore file there, one without rules.
    if (!event_prefix.empty()) {
      auto event = kestrun::notify::create(unusable_file_event);
      event->level = 1;
      event->fire_text(display_text(generic_wide(file)) + " is a symbolic link: not read");
    }
  } else {
    // A file that cannot be read (a folder of that name) gives an empty text: a level without
    // rules.
    std::string bytes;
    read_file(platform::wide_from_path(file), bytes);
    rules->load_utf8(bytes);
    report_unusable(*rules, platform::wide_from_path(file));
  }
  level added;
  added.depth = depth;
  added.folder = folder_text;
  added.base_length = folder_text.size();
  if (!folder_text.empty() && folder_text.back() == L'/') --added.base_length;
  added.source = name;
  added.rules = std::move(rules);
  levels.push_back(std::move(added));
}

template <class rules_t, class item_t>
void finder<rules_t, item_t>::match(item_t& entry) const {
  match(entry, generic_wide(entry.entry.path()));
}

template <class rules_t, class item_t>
void finder<rules_t, item_t>::match(item_t& entry, std::wstring_view wide_path) const {
  if (!entry.ignored) {
    // As git sees it, a link is never a folder: "build/" leaves out no link named build, while
    // "build" does.
    const bool is_folder = platform::is_real_folder(entry.attributes, entry.reparse_tag);
    for (const auto& lvl : levels) {
      const std::wstring_view rel =
          wide_path.substr(std::min<std::uint64_t>(lvl.base_length, wide_path.size()));
      const bool start = entry.ignored != 0;
      bool state = start;
      // The rule that made the last change; none when the ".git" case decided.
      const typename rules_t::rule* decider = nullptr;
      // ".git" beside an ignore file: the caller's rules, anchored at a folder or not, hold no
      // such case, so a ".git" with no ignore file beside it is kept.
      if (is_folder && !lvl.folder.empty() && rel == L"/.git") {
        state = true;
      } else {
        for (const auto& r : lvl.rules->rules) {
          if (r.dir_only && !is_folder) continue;
          // While kept only ignoring rules are tried, while ignored only negations.
          if (r.negate != state) continue;
          if (!r.matches(rel)) continue;
          state = !state;
          decider = &r;
        }
      }
      entry.ignored = state ? 1 : 0;
      if (state == start) continue;
      entry.rule_source = lvl.folder.empty()
                              ? lvl.source
                              : platform::wide_from_path(platform::path_from_wide(lvl.folder) /
                                                         platform::path_from_wide(lvl.source));
      if (decider == nullptr) continue;
      if (state) {
        // Only what an event shows: a rule of megabytes copied into each entry it leaves out
        // would cost megabytes per entry. Four bytes per character cover every UTF-8 form.
        entry.rule_line = platform::wide_from_native(
            std::string_view(decider->line).substr(0, 4 * shown_characters + 4));
      } else {
        entry.rule_line.clear();
      }
    }
  }
  // The file name is what follows the last separator (the path is in generic form).
  const std::size_t slash = wide_path.rfind(L'/');
  const std::wstring_view name =
      slash == std::wstring_view::npos ? wide_path : wide_path.substr(slash + 1);
  for (const auto& ignore_name : ignore_file_names) {
    if (ignore_name == name) {
      entry.is_ignore_file = 1;
      break;
    }
  }
}

template class finder<gitignore, finder_item>;

std::wstring relative_to(const std::wstring& base, const std::wstring& path) {
  const auto separator = static_cast<wchar_t>(std::filesystem::path::preferred_separator);
  const std::wstring b = platform::separators_to_native(base);
  const std::wstring p = platform::separators_to_native(path);
  if (b.size() >= p.size()) return {};
  // A plain text prefix: no separator is required after it. Names compare as the system
  // compares them (without regard to case on Windows).
  if (!platform::same_names(std::wstring_view(p).substr(0, b.size()), b)) return {};
  std::wstring rest = p.substr(b.size());
  if (!rest.empty() && rest.front() == separator) rest.erase(0, 1);
  return rest;
}

}  // namespace kestrun::filesystem
