// Packs project files into stored contents and unpacks them: the identity is computed in the same
// pass that writes the packed copy, so what is stored is exactly what was hashed.
#include "vcs/packer.h"

#include <cstdint>
#include <cwctype>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <system_error>

#include "common/identity.h"
#include "common/notify/event.h"
#include "common/stream/arc_stream.h"
#include "common/stream/binary_io.h"
#include "common/text.h"
#include "platform/platform.h"
#include "vcs/project.h"
#include "vcs/safe_path.h"
#include "vcs/state_item.h"
#include "vcs/storage_driver.h"

namespace kestrun::vcs {
namespace {

constexpr std::uint32_t level_index_best = 4;  // zlib level 9
constexpr std::size_t unpack_block = 32768;

// Formats whose content is already compressed: deflating them again costs time and saves
// nothing. Built once and kept for the process.
const std::set<std::wstring>& compressed_extensions() {
  static const std::set<std::wstring> extensions = [] {
    static const char* const list[] = {"zip", "rar",  "7z",  "gz",  "tgz", "arj",  "lha", "ha",
                                       "jpg", "jpeg", "png", "gif", "avi", "mp4",  "mkv", "mka",
                                       "3gp", "divx", "flv", "mp4", "vob", "mpeg", "mov", "webm",
                                       "wmv", "mp3",  "ogg", "aac", "flac"};
    std::set<std::wstring> set;
    for (const char* entry : list) set.insert(L"." + utf8_to_utf16(entry));
    return set;
  }();
  return extensions;
}

std::wstring strict_wide(const std::string& name) {
  std::wstring wide;
  if (!platform::strict_wide_from_utf8(name, wide)) {
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                            "invalid UTF-8 name");
  }
  return wide;
}

// The lower-cased extension of the item's file name, '.' included: empty for a name without a
// '.', for one whose only '.' leads it, and for "." and "..".
std::wstring extension_of(const std::string& name) {
  const std::wstring generic = platform::separators_to_generic(strict_wide(name));
  const std::size_t slash = generic.rfind(L'/');
  const std::wstring file = slash == std::wstring::npos ? generic : generic.substr(slash + 1);
  if (file == L"." || file == L"..") return {};
  const std::size_t dot = file.rfind(L'.');
  if (dot == std::wstring::npos || dot == 0) return {};
  std::wstring ext = file.substr(dot);
  for (wchar_t& unit : ext) unit = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(unit)));
  return ext;
}

// One pass over the project file: hashes it and writes every block behind the method byte, into
// `out` (kept by the caller from one file to the next). `read` counts the bytes seen, so a file
// that grew or shrank since the scan shows. True only when the file was read and the packed file
// was written and closed without error.
bool pack_pass(const std::filesystem::path& source, const std::filesystem::path& temp,
               std::uint8_t method, stream::arc::ofstream& out, std::string& identity,
               std::uint64_t& read, bool& opened) {
  opened = out.open(platform::wide_from_path(temp), method, level_index_best);
  if (!opened) return false;
  out.file.put(static_cast<char>(method));
  std::ostream& target = *out.writer->out;
  read = 0;
  const bool hashed = hash_file_blocks(
      source,
      [&target, &read](const char* data, std::size_t size) {
        target.write(data, static_cast<std::streamsize>(size));
        read += size;
      },
      identity);
  // close() ends the gzip stream and says whether every byte reached the disk.
  const bool written = out.close();
  return hashed && written;
}

void fire_pack_error(const state_item_file& item) {
  notify::create("kestrun::vcs::file::pack")
      ->set_error(true)
      ->fire_text(item.name_text() + " file packing error");
}

void fire_unpack_error(const state_item_file& item) {
  notify::create("kestrun::vcs::file::unpack")->set_error(true)->fire_text(item.name_text());
}

}  // namespace

bool packer::encode(std::vector<t_file_info>& files, std::shared_ptr<storage_driver> driver) {
  const std::set<std::wstring>& raw_extensions = compressed_extensions();
  // One stream for all files: its gzip coder is set up once.
  stream::arc::ofstream out;
  bool ok = true;
  std::uint64_t done = 0;
  for (t_file_info& info : files) {
    state_item_file& item = *info.item;
    const std::filesystem::path temp = driver->project_temp()->new_path();
    const bool raw_only = raw_extensions.count(extension_of(item.name_text())) != 0;

    std::string identity;
    std::uint64_t read = 0;
    std::uint64_t packed_size = 0;
    bool packed = false;
    if (!raw_only) {
      bool opened = false;
      const bool passed =
          pack_pass(info.path, temp, stream::arc::method_gzip, out, identity, read, opened);
      if (passed) packed_size = std::filesystem::file_size(temp);
      if (passed && packed_size + 1 < item.size()) {
        packed = true;
      } else if (opened && !passed && std::filesystem::exists(temp)) {
        // A file written in full is simply written again below; one that failed goes first.
        std::filesystem::remove(temp);
      }
    }
    if (!packed) {
      bool opened = false;
      identity.clear();
      ok = pack_pass(info.path, temp, stream::arc::method_plain, out, identity, read, opened);
      if (ok) packed_size = std::filesystem::file_size(temp);
    }
    // What was read must be the content the version file describes.
    if (ok && (read != item.size() || identity != item.identity())) ok = false;
    if (!ok) {
      fire_pack_error(item);
      break;
    }
    info.path = temp;
    notify::create("kestrun::vcs::file::pack")
        ->fire_text(std::to_string(item.size()) + "=>" + std::to_string(packed_size) + " " +
                    item.name_text());
    ++done;
    notify::create("kestrun::vcs::file::pack")->fire_progress(done, files.size());
  }
  return ok;
}

bool packer::unpack(std::vector<t_file_info>& files, std::shared_ptr<storage_driver> driver) {
  const std::filesystem::path& root = driver->project()->root();
  std::uint64_t done = 0;
  std::string block(unpack_block, '\0');
  for (t_file_info& info : files) {
    state_item_file& item = *info.item;
    stream::arc::ifstream in;
    in.file.open(info.path, std::ios::in | std::ios::binary);
    bool ok = false;
    if (in.file.is_open()) {
      // An empty content has no method byte: it cannot be told apart from a damaged one.
      char method = 0;
      if (in.file.get(method)) ok = in.open(static_cast<std::uint8_t>(method));
    }
    if (!ok) {
      fire_unpack_error(item);
      return false;
    }

    const std::optional<std::filesystem::path> target = safe_local_path(root, item.name_text());
    if (!target) {
      fire_unpack_error(item);
      return false;
    }
    // A link that the scan left out (its target lies outside the root) would carry the write
    // out of the project, and opening a FIFO or device that it left out would wait for ever:
    // such a target counts as one that cannot be opened.
    std::error_code ec;
    const std::filesystem::file_status present = std::filesystem::symlink_status(*target, ec);
    const bool refused =
        std::filesystem::is_symlink(present) || std::filesystem::is_fifo(present) ||
        std::filesystem::is_character_file(present) || std::filesystem::is_block_file(present) ||
        std::filesystem::is_socket(present);
    std::ofstream out;
    if (!refused) out.open(*target, std::ios::out | std::ios::binary);
    if (!out.is_open()) {
      auto warning = notify::create("kestrun::vcs::file::write::open");
      warning->level = 1;
      warning->fire_text(item.name_text());
      continue;
    }
    std::istream& source = *in.reader->in;
    std::uint64_t written = 0;
    while (source && out) {
      source.read(block.data(), static_cast<std::streamsize>(block.size()));
      const std::streamsize count = source.gcount();
      out.write(block.data(), count);
      written += static_cast<std::uint64_t>(count);
    }
    out.close();
    // A full disk, or a content that is damaged or decodes short, must not pass as a restored
    // file.
    if (out.fail() || source.bad() || written != item.size()) {
      std::filesystem::remove(*target, ec);
      fire_unpack_error(item);
      return false;
    }

    info.written = true;
    notify::create("kestrun::vcs::file::unpack")->fire_text(item.name_text());
    ++done;
    notify::create("kestrun::vcs::file::unpack")->fire_progress(done, files.size());
    // The time is cosmetic next to the content: a failure to set it is not reported.
    std::error_code ignored;
    platform::set_modification_time(*target, item.time(), ignored);
  }
  return true;
}

}  // namespace kestrun::vcs
