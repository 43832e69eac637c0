// Turns project files into stored file contents (one method byte, then gzip or raw bytes) and
// stored contents back into project files with their modification times.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

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

  // Writes every downloaded content to its place below the project root with the item's
  // modification time: into a new temporary file beside the target, moved over the target only
  // once complete, so that a run that ends midway never leaves a cut-short file under a real
  // name; a failed file's temporary is removed. A file in place is marked `written`. A target
  // that cannot be written (missing folder, link, folder, FIFO, read-only or immutable file) is
  // skipped with the warning "kestrun::vcs::file::write::open" and stays unmarked. False at the
  // first content that cannot be read (missing, empty, unknown method), that does not decode to
  // the item's size, or whose file cannot be written in full, and for a path through a link:
  // level 2 "kestrun::vcs::file::unpack" with the item's name, and later items are not written.
  // Each written file fires "kestrun::vcs::file::unpack" with its name and a progress. Throws
  // std::system_error for a name that is not valid UTF-8.
  static bool unpack(std::vector<t_file_info>& files, std::shared_ptr<storage_driver> driver);
};

}  // namespace kestrun::vcs
