// Packs project files into stored contents and unpacks them: the identity is computed in the same
// pass that writes the packed copy, so what is stored is exactly what was hashed.
#include "vcs/packer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <istream>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "common/crc32.h"
#include "common/identity.h"
#include "common/notify/event.h"
#include "common/stream/arc_stream.h"
#include "common/stream/binary_io.h"
#include "common/stream/gz_whole.h"
#include "common/text.h"
#include "platform/platform.h"
#include "vcs/compression_policy.h"
#include "vcs/folder_chain.h"
#include "vcs/project.h"
#include "vcs/safe_path.h"
#include "vcs/state_item.h"
#include "vcs/storage_driver.h"
#include "vcs/version_file.h"
#include "vcs/warning.h"

namespace kestrun::vcs {
namespace {

constexpr std::size_t unpack_block = std::size_t{1} << 18;
constexpr std::size_t identity_size = 36;  // Keccak-256, then the CRC-32

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
  opened = out.open_new(platform::wide_from_path(temp), method, level_index_best);
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

// A buffer that keeps its memory from one file to the next and never clears what it hands out.
class reused_buffer {
 public:
  char* get(std::size_t size) {
    if (size > capacity_ || !data_) {
      data_ = std::make_unique_for_overwrite<char[]>(std::max<std::size_t>(size, 1));
      capacity_ = std::max<std::size_t>(size, 1);
    }
    return data_.get();
  }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
};

// A file small enough to hold, packed from one read: the identity and the stored form come from
// the same bytes, and a content that deflating does not shrink is written raw from memory
// without a second read. False when the file cannot be read or the packed file not written;
// `read` and `identity` then tell the caller what was seen.
bool pack_whole(const std::filesystem::path& source, const std::filesystem::path& temp,
                bool raw_only, std::uint64_t size, reused_buffer& content, reused_buffer& coded,
                stream::gz::whole_encoder& encoder, std::string& identity, std::uint64_t& read,
                std::uint64_t& packed_size) {
  char* data = content.get(static_cast<std::size_t>(size));
  read = 0;
  const bool hashed = hash_file_blocks(
      source,
      [&](const char* block, std::size_t count) {
        // A file that grew since the scan is refused by its size; its tail is not kept.
        if (count <= size - std::min(read, size)) std::memcpy(data + read, block, count);
        read += count;
      },
      identity);
  if (!hashed || read != size) return false;
  // The gzip form is kept only when it is strictly smaller than the file with its method byte
  // (one byte each): at most size - 3 coded bytes.
  std::size_t coded_size = 0;
  char* packed = nullptr;
  if (!raw_only && size > 3) {
    const std::size_t room = encoder.bound(static_cast<std::size_t>(size));
    packed = coded.get(room);
    coded_size = encoder.encode(data, static_cast<std::size_t>(size), packed, room);
  }
  const bool gzip = coded_size > 0 && coded_size <= size - 3;
  std::ofstream out;
  std::error_code ec;
  if (!stream::arc::open_new_file(out, temp, ec)) return false;
  out.put(static_cast<char>(gzip ? stream::arc::method_gzip : stream::arc::method_plain));
  if (gzip) {
    out.write(packed, static_cast<std::streamsize>(coded_size));
  } else {
    out.write(data, static_cast<std::streamsize>(size));
  }
  out.close();
  packed_size = 1 + (gzip ? coded_size : size);
  return !out.fail();
}

void fire_pack_error(const state_item_file& item) {
  notify::create("kestrun::vcs::file::pack")
      ->set_error(true)
      ->fire_text(item.name_text() + " file packing error");
}

// What a restored file must be: the item's size and CRC-32, taken over the bytes as they are
// written, so a content stored raw, one swapped for another of the same size, or a made-up
// identity is caught as surely as a damaged gzip stream. The Keccak half of the identity is not
// computed again: it would cost a restore about a fifth of its time.
class content_check {
 public:
  void add(const char* data, std::size_t size) { crc_ = crc32_update(crc_, data, size); }
  bool matches(const std::string& identity) const {
    if (identity.size() != identity_size) return false;
    const std::uint32_t crc = crc_ ^ 0xFFFFFFFF;
    for (std::size_t i = 0; i < 4; ++i) {
      if (static_cast<std::uint8_t>(identity[identity_size - 4 + i]) != ((crc >> (8 * i)) & 0xFF)) {
        return false;
      }
    }
    return true;
  }

 private:
  std::uint32_t crc_ = 0xFFFFFFFF;
};

// Bytes on their way into the proven file: checked, then written.
bool write_checked(platform::new_file& out, content_check& check, const char* data,
                   std::size_t size, std::error_code& ec) {
  check.add(data, size);
  return out.write(data, size, ec);
}

// The decoded content into `out`, in blocks; false when it cannot be read whole or does not
// come out at exactly `size` bytes. A content that decodes to more stops at the first block that
// passes `size`, before it is written: a small hostile blob cannot fill the disk.
bool copy_content(std::istream& source, std::uint64_t size, std::string& block,
                  platform::new_file& out, content_check& check, std::error_code& ec) {
  std::uint64_t written = 0;
  while (source) {
    source.read(block.data(), static_cast<std::streamsize>(block.size()));
    const auto count = static_cast<std::uint64_t>(source.gcount());
    if (count > size - written) return false;
    if (!write_checked(out, check, block.data(), static_cast<std::size_t>(count), ec)) return false;
    written += count;
  }
  return !source.bad() && written == size;
}

// The content of a stored file through the stream buffers, into `out`.
bool copy_streamed(const std::filesystem::path& stored, std::uint64_t size, std::string& block,
                   platform::new_file& out, content_check& check, std::error_code& ec) {
  stream::arc::ifstream in;
  in.file.open(stored, std::ios::in | std::ios::binary);
  char method = 0;
  if (!in.file.get(method) || !in.open(static_cast<std::uint8_t>(method))) return false;
  return copy_content(*in.reader->in, size, block, out, check, ec);
}

// Why a content could not be proven, for the warning; empty when it was.
using t_reason = std::string;

}  // namespace

struct packer::unpacker::t_state {
  std::shared_ptr<storage_driver> driver;
  std::size_t total = 0;
  std::uint64_t done = 0;
  platform::folder_handle temp;
  folder_chain folders;
  std::string block = std::string(unpack_block, '\0');
  reused_buffer stored;
  reused_buffer decoded;
  stream::gz::whole_decoder decoder;
  // Every proven file handed out: those not placed go when the unpacker does, while the folder
  // they were made in is still held open.
  std::vector<std::shared_ptr<platform::new_file>> handed_out;

  t_state(std::shared_ptr<storage_driver> d, std::size_t count)
      : driver(std::move(d)),
        total(count),
        temp(driver->project_temp()->path()),
        folders(driver->project()->root()) {}

  // The content at `stored` decoded into `out`; a reason when it cannot be.
  t_reason decode(const std::filesystem::path& stored_path, state_item_file& item,
                  platform::new_file& out);
};

t_reason packer::unpacker::t_state::decode(const std::filesystem::path& stored_path,
                                           state_item_file& item, platform::new_file& out) {
  const std::uint64_t size = item.size();
  platform::input_file source;
  if (!source.open(stored_path)) return "the stored content cannot be read";
  const std::uint64_t stored_size = source.size();
  // A small content is read whole; an empty one has no method byte and cannot be told apart from
  // a damaged one.
  const bool whole = size <= whole_limit && stored_size <= whole_limit + 1;
  const std::size_t wanted = whole ? static_cast<std::size_t>(stored_size) : 1;
  char* bytes = stored.get(wanted);
  if (stored_size == 0 || source.read(bytes, wanted) != wanted) {
    return "the stored content cannot be read";
  }
  source.close();
  const auto method = static_cast<std::uint8_t>(bytes[0]);
  if (method != stream::arc::method_plain && method != stream::arc::method_gzip) {
    return "the stored content has an unknown method";
  }
  std::error_code ec;
  if (!out.create(temp, ec)) return "no temporary file: " + ec.message();

  // A full disk, or a content that is damaged or decodes to another size, must not pass as a
  // restored file.
  content_check check;
  bool copied = false;
  if (whole && method == stream::arc::method_plain) {
    copied = stored_size - 1 == size &&
             write_checked(out, check, bytes + 1, static_cast<std::size_t>(size), ec);
  } else if (whole) {
    char* plain = decoded.get(static_cast<std::size_t>(size));
    // Only a single member of exactly the item's size decodes here; anything else (members one
    // after another, as gzip allows, or damage) is judged by the stream reader.
    if (decoder.decode(bytes + 1, static_cast<std::size_t>(stored_size - 1), plain,
                       static_cast<std::size_t>(size)) == stream::gz::t_whole_result::done) {
      copied = write_checked(out, check, plain, static_cast<std::size_t>(size), ec);
    } else {
      copied = copy_streamed(stored_path, size, block, out, check, ec);
    }
  } else {
    copied = copy_streamed(stored_path, size, block, out, check, ec);
  }
  if (ec) return "the file cannot be written: " + ec.message();
  if (!copied) return "the stored content is damaged or not of the recorded size";
  if (!check.matches(item.identity())) return "the stored content is not the recorded one";
  if (!out.finish(item.time(), ec)) return "the file cannot be written: " + ec.message();
  return {};
}

packer::unpacker::unpacker(std::shared_ptr<storage_driver> driver, std::size_t total)
    : state_(std::make_unique<t_state>(std::move(driver), total)) {
  if (!state_->temp.is_open()) {
    throw std::filesystem::filesystem_error(
        "open", state_->driver->project_temp()->path(),
        std::make_error_code(std::errc::no_such_file_or_directory));
  }
}

packer::unpacker::~unpacker() {
  for (const auto& file : state_->handed_out) file->discard();
}

bool packer::unpacker::prove(t_file_info& info) {
  state_item_file& item = *info.item;
  auto out = std::make_shared<platform::new_file>();
  const t_reason reason = state_->decode(info.path, item, *out);
  // The download has served: only the proven file needs room now.
  std::error_code ignored;
  std::filesystem::remove(info.path, ignored);
  if (!reason.empty()) {
    out->discard();
    fire_warning("kestrun::vcs::file::unpack", item.name_text(), reason);
    return false;
  }
  state_->handed_out.push_back(out);
  info.proven = std::move(out);
  notify::create("kestrun::vcs::file::unpack")->fire_text(item.name_text());
  ++state_->done;
  notify::create("kestrun::vcs::file::unpack")->fire_progress(state_->done, state_->total);
  return true;
}

bool packer::unpacker::place(t_file_info& info, std::error_code& ec) {
  ec.clear();
  if (!info.proven) {
    ec = std::make_error_code(std::errc::no_such_file_or_directory);
    return false;
  }
  const std::string& stored = info.item->name_text();
  if (!safe_relative_path(stored)) {
    ec = std::make_error_code(std::errc::invalid_argument);
    return false;
  }
  std::filesystem::path name;
  const platform::folder_handle* folder = state_->folders.parent_of(stored, false, name, ec);
  if (folder == nullptr) return false;
  return place(info, *folder, name, ec);
}

bool packer::unpacker::place(t_file_info& info, const platform::folder_handle& folder,
                             const std::filesystem::path& name, std::error_code& ec) {
  ec.clear();
  if (!info.proven) {
    ec = std::make_error_code(std::errc::no_such_file_or_directory);
    return false;
  }
  if (!info.proven->replace(folder, name, ec)) {
    if (!platform::is_cross_device(ec)) return false;
    // A folder on another file system (a mount point inside the project): the proven file is
    // copied beside its target first, so the target still changes in one step.
    platform::input_file source;
    const std::filesystem::path proven =
        state_->driver->project_temp()->path() / info.proven->temporary_file();
    platform::new_file copy;
    ec.clear();
    if (!source.open(proven) || !copy.create(folder, ec)) {
      if (!ec) ec = std::make_error_code(std::errc::io_error);
      return false;
    }
    for (;;) {
      const std::size_t got = source.read(state_->block.data(), state_->block.size());
      if (got > 0 && !copy.write(state_->block.data(), got, ec)) return false;
      if (got < state_->block.size()) break;
    }
    if (source.size() != info.item->size()) {
      ec = std::make_error_code(std::errc::io_error);
      return false;
    }
    if (!copy.finish(info.item->time(), ec) || !copy.replace(name, ec)) {
      return false;
    }
  }
  info.proven.reset();
  info.written = true;
  return true;
}

// One stream and one set of buffers for all files: the coders are set up once.
struct packer::encoder::t_state {
  std::shared_ptr<storage_driver> driver;
  std::size_t total = 0;
  std::uint64_t done = 0;
  stream::arc::ofstream out;
  stream::gz::whole_encoder coder{stream::arc::zlib_level(level_index_best)};
  reused_buffer content;
  reused_buffer coded;

  t_state(std::shared_ptr<storage_driver> d, std::size_t count)
      : driver(std::move(d)), total(count) {}
};

packer::encoder::encoder(std::shared_ptr<storage_driver> driver, std::size_t total)
    : state_(std::make_unique<t_state>(std::move(driver), total)) {}

packer::encoder::~encoder() = default;

bool packer::encoder::pack(t_file_info& info) {
  const std::set<std::wstring>& raw_extensions = compressed_extensions();
  t_state& s = *state_;
  state_item_file& item = *info.item;
  const std::filesystem::path temp = s.driver->project_temp()->new_path();
  const bool raw_only = raw_extensions.count(extension_of(item.name_text())) != 0;

  bool ok = true;
  std::string identity;
  std::uint64_t read = 0;
  std::uint64_t packed_size = 0;
  bool packed = false;
  if (item.size() <= whole_limit) {
    ok = pack_whole(info.path, temp, raw_only, item.size(), s.content, s.coded, s.coder, identity,
                    read, packed_size);
    packed = true;
  } else if (!raw_only) {
    bool opened = false;
    const bool passed =
        pack_pass(info.path, temp, stream::arc::method_gzip, s.out, identity, read, opened);
    if (passed) packed_size = std::filesystem::file_size(temp);
    if (passed && packed_size + 1 < item.size()) {
      packed = true;
    } else if (opened && std::filesystem::exists(temp)) {
      // The raw form below is a new file again: a packed file is never written over.
      std::filesystem::remove(temp);
    }
  }
  if (!packed) {
    bool opened = false;
    identity.clear();
    ok = pack_pass(info.path, temp, stream::arc::method_plain, s.out, identity, read, opened);
    if (ok) packed_size = std::filesystem::file_size(temp);
  }
  // What was read must be the content the version file describes.
  if (ok && (read != item.size() || identity != item.identity())) ok = false;
  if (!ok) {
    fire_pack_error(item);
    return false;
  }
  info.path = temp;
  notify::create("kestrun::vcs::file::pack")
      ->fire_text(std::to_string(item.size()) + "=>" + std::to_string(packed_size) + " " +
                  item.name_text());
  ++s.done;
  notify::create("kestrun::vcs::file::pack")->fire_progress(s.done, s.total);
  return true;
}

bool packer::encode(std::vector<t_file_info>& files, std::shared_ptr<storage_driver> driver) {
  encoder packing(std::move(driver), files.size());
  for (t_file_info& info : files) {
    if (!packing.pack(info)) return false;
  }
  return true;
}

bool packer::unpack(std::vector<t_file_info>& files, std::shared_ptr<storage_driver> driver) {
  unpacker files_out(std::move(driver), files.size());
  bool all = true;
  for (t_file_info& info : files) all = files_out.prove(info) && all;
  for (t_file_info& info : files) {
    if (!info.proven) continue;
    std::error_code ec;
    if (!files_out.place(info, ec)) {
      all = false;
      fire_warning("kestrun::vcs::file::write::open", info.item->name_text(), ec);
    }
  }
  return all;
}

}  // namespace kestrun::vcs
