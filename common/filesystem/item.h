// Entries of a file tree as the finder hands them out: what the system says of the entry itself
// (attributes, creation and modification time) and, for the finder's items, the ignore verdict.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace kestrun::platform {
class folder_handle;
}

namespace kestrun::filesystem {

class item {
 public:
  // An empty path gives an item with every field zero or empty and asks the system nothing.
  // Otherwise `entry` holds the path in generic form (lexically normal, no trailing '/') and
  // refresh() runs.
  explicit item(std::filesystem::path path = {});
  virtual ~item() = default;
  item(const item&) = default;
  item(item&&) = default;
  item& operator=(const item&) = default;
  item& operator=(item&&) = default;

  // Reads the attributes, times and size of the entry itself (a link is not followed). An entry
  // that cannot be read leaves all four 0 and `readable` false.
  virtual void refresh();

  bool readable = false;         // the system told the entry's status
  std::uint32_t attributes = 0;  // Windows attribute bits: 0x10 folder (or link to one), 0x400
                                 // link, 0x40 neither file, folder nor link (FIFO, socket, device)
  std::int64_t created = 0;      // Unix seconds, rounded to the nearest second
  std::int64_t modified = 0;     // Unix seconds, rounded to the nearest second
  // Bytes of the entry itself, read by the same status query as the times: a link's own size,
  // never its target's. The project scan takes a regular file's size from here.
  std::uint64_t size = 0;
  // The reparse tag read with the attributes: set for a symbolic link or junction.
  std::uint32_t reparse_tag = 0;
  std::filesystem::directory_entry entry;

 protected:
  // For an entry that a directory listing just gave (taken over, not copied): its path is already
  // in generic form, and the entry is read by its name in the open folder (the whole path when
  // that is not open).
  struct t_listed {};
  item(t_listed, std::filesystem::directory_entry&& listed, const platform::folder_handle& folder,
       const std::filesystem::path::value_type* name);
};

// True for a symbolic link or junction: an entry the finder hands out but never walks into.
bool is_link(const item& entry);

class finder_item : public item {
 public:
  // Both flags start 0 and the rule strings empty.
  explicit finder_item(std::filesystem::path path = {});

  // Builds the item of an entry that a listing of `folder` gave, without normalising its path
  // again; `name` is the entry's name, zero-terminated. The same as finder_item(path), cheaper.
  static finder_item from_listing(const std::filesystem::directory_entry& listed,
                                  const platform::folder_handle& folder,
                                  const std::filesystem::path::value_type* name);
  // The same for a listed entry the caller no longer needs: its path is moved, not copied.
  static finder_item from_listing(std::filesystem::directory_entry&& listed,
                                  const platform::folder_handle& folder,
                                  const std::filesystem::path::value_type* name);

  std::uint8_t ignored = 0;         // 1 when the ignore rules exclude the entry
  std::uint8_t is_ignore_file = 0;  // 1 when the entry's name is one of the ignore-file names
  // The rule that last changed `ignored`: its line (no more of it than an event shows, see
  // shown_characters) and the ignore file that holds it ("GLOBAL" for the caller's rules). A
  // negation that cleared `ignored` leaves the line empty.
  std::wstring rule_line;
  std::wstring rule_source;

 private:
  finder_item(t_listed tag, std::filesystem::directory_entry&& listed,
              const platform::folder_handle& folder, const std::filesystem::path::value_type* name);
};

}  // namespace kestrun::filesystem
