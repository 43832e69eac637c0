// Turns project files into stored file contents (one method byte, then gzip or raw bytes) and
// stored contents back into project files with their modification times.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

namespace kestrun::platform {
class folder_handle;
class new_file;
}  // namespace kestrun::platform

namespace kestrun::vcs {

class state_item_file;
class storage_driver;

class packer {
 public:
  // One file to pack or unpack.
  struct t_file_info {
    state_item_file* item = nullptr;  // not owned: the caller's state or transform holds it
    // encode: the project file on entry, its packed temporary file on success.
    // unpack: the downloaded stored content.
    std::filesystem::path path;
    // unpack: the proven content in the project's temporary folder, ready to take its name;
    // empty before it is proven and once it stands in place.
    std::shared_ptr<platform::new_file> proven = {};
    // unpack: set once the file stands at its place with its whole content.
    bool written = false;
  };

  // Packs every file into its own new temporary file of the driver's project: deflated when
  // that makes it smaller (method byte included, strictly smaller than the file), raw when the
  // extension names an already-compressed format or deflating does not pay. The identity and the
  // size read while packing must equal the item's, so a file that changed since it was scanned
  // or hashed is refused. True when every item was packed (also for an empty list); false at the
  // first item that could not be (unreadable, changed, packed file not writable): earlier items
  // then point at their packed files, that item and later ones still at their project files.
  // Fires "kestrun::vcs::file::pack": "{size}=>{packed size} {name}" and a progress per packed
  // item, or level 2 "{name} file packing error". Throws std::filesystem::filesystem_error when
  // the temporary file cannot be sized or removed, std::system_error for a name that is not
  // valid UTF-8.
  static bool encode(std::vector<t_file_info>& files, std::shared_ptr<storage_driver> driver);

  // Packs files one at a time, as encode() does for a whole list, so that a caller can hand each
  // packed file on (and remove it) before the next one takes room.
  class encoder {
   public:
    // `total`: the number of files that will be packed, for the progress events.
    encoder(std::shared_ptr<storage_driver> driver, std::size_t total);
    ~encoder();
    encoder(const encoder&) = delete;
    encoder& operator=(const encoder&) = delete;

    // Packs one file as encode() does and points `info.path` at its packed temporary file; false
    // (with the level-2 event) when it cannot be packed or is not the content the item records.
    bool pack(t_file_info& info);

   private:
    struct t_state;
    std::unique_ptr<t_state> state_;
  };

  // Restores files in two steps, so that a restore can have every new content in hand before
  // it changes anything in the folder: prove() turns a downloaded content into a finished file
  // inside the project's temporary folder (never scanned, cleared by the next run), place()
  // moves it over its target in one step.
  class unpacker {
   public:
    // `total`: the number of files that will be proven, for the progress events. Throws
    // std::filesystem::filesystem_error when the temporary folder cannot be opened.
    unpacker(std::shared_ptr<storage_driver> driver, std::size_t total);
    ~unpacker();
    unpacker(const unpacker&) = delete;
    unpacker& operator=(const unpacker&) = delete;

    // Decodes the downloaded content at `info.path` into a new file of the temporary folder with
    // the item's modification time, and proves it against the item: exactly its size (never a
    // byte more is written) and the CRC-32 of its identity. The download is removed either way
    // (a download that shares its data with the storage only loses this name). True with
    // `info.proven` set, firing "kestrun::vcs::file::unpack" with the name and a progress. False
    // for a content that cannot be read, has an unknown method, is damaged or is not the one the
    // item records, or cannot be written out (a full disk): warning
    // "kestrun::vcs::file::unpack" (level 1) "{name}: {reason}", and nothing is left behind.
    bool prove(t_file_info& info);

    // Moves the proven file of `info` over its target below the project root (whose folder must
    // stand) in one step, so the target is at every moment its old file or its new one; marks
    // it `written`. A file already there is replaced only when this process may write it. False
    // with `ec` when the target cannot take it: a folder on the way missing or a link
    // (std::errc::too_many_symbolic_link_levels), a link, folder or other entry at the target, a
    // file that may not be written. The proven file then stays for another try or for discard.
    // A target on another file system than the temporary folder gets a copy beside it first.
    // Throws std::system_error for a name that is not valid UTF-8.
    bool place(t_file_info& info, std::error_code& ec);
    // The same move into `name` (one element) of `folder`, an open folder of the project that
    // the caller reached safely.
    bool place(t_file_info& info, const platform::folder_handle& folder,
               const std::filesystem::path& name, std::error_code& ec);

   private:
    struct t_state;
    std::unique_ptr<t_state> state_;
  };

  // Both steps for every file: all are proven, then those proven are placed. A file that cannot
  // be placed fires the warning "kestrun::vcs::file::write::open" (level 1) "{name}: {reason}".
  // True when every file stands in place.
  static bool unpack(std::vector<t_file_info>& files, std::shared_ptr<storage_driver> driver);
};

}  // namespace kestrun::vcs
