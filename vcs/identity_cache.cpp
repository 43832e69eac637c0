// The work folder's record of file identities: its file format, its checks, and when an entry
// may be trusted.
//
// File layout, numbers little-endian: the magic "KVCS-IDS", the format version (4 bytes), the
// owner text (4-byte length, bytes), the start of the run that wrote it (8 bytes, Unix seconds),
// the entry count (8 bytes), each entry (4-byte path length, path bytes, size 8 bytes, time 8
// bytes, identity 36 bytes), and last the Keccak-256 digest of every byte before it.
#include "vcs/identity_cache.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>
#include <utility>

#include "common/keccak.h"
#include "common/text.h"
#include "platform/platform.h"
#include "vcs/project.h"
#include "vcs/state.h"
#include "vcs/state_item.h"
#include "vcs/storage_driver.h"
#include "vcs/version_file.h"

namespace kestrun::vcs {

namespace {

constexpr char magic[] = "KVCS-IDS";
constexpr std::size_t magic_size = 8;
constexpr std::uint32_t format_version = 1;
constexpr std::size_t identity_size = 36;
constexpr std::size_t digest_size = 32;
constexpr std::size_t max_owner_bytes = 65536;
// Far above what any project needs (about a hundred bytes per touched file); a larger file is
// not read at all rather than held in memory.
constexpr std::uint64_t max_file_bytes = std::uint64_t{1} << 30;
constexpr std::size_t entry_fixed_bytes = 4 + 8 + 8 + identity_size;
constexpr const char* file_name = "identities";

std::string digest_of(std::string_view bytes) {
  keccak hasher(256);
  hasher.add(bytes.data(), bytes.size());
  std::string digest;
  hasher.digest(digest);
  return digest;
}

void put_u32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void put_u64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Reads from a byte view, every read bounded by what is left.
class reader {
 public:
  explicit reader(std::string_view bytes) : bytes_(bytes) {}

  bool u32(std::uint32_t& value) {
    std::uint64_t wide = 0;
    if (!fixed(4, wide)) return false;
    value = static_cast<std::uint32_t>(wide);
    return true;
  }
  bool u64(std::uint64_t& value) { return fixed(8, value); }
  bool text(std::size_t size, std::string& out) {
    if (left() < size) return false;
    out.assign(bytes_.substr(at_, size));
    at_ += size;
    return true;
  }
  std::size_t left() const { return bytes_.size() - at_; }

 private:
  bool fixed(std::size_t size, std::uint64_t& value) {
    if (left() < size) return false;
    value = 0;
    for (std::size_t i = 0; i < size; ++i) {
      value |= std::uint64_t{static_cast<std::uint8_t>(bytes_[at_ + i])} << (8 * i);
    }
    at_ += size;
    return true;
  }

  std::string_view bytes_;
  std::size_t at_ = 0;
};

// The order of the state's map, so that the file reads in the order the state is walked.
bool path_before(const std::string& a, const std::string& b) {
  const std::size_t common = std::min(a.size(), b.size());
  const int order = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
  return order < 0 || (order == 0 && a.size() < b.size());
}

std::int64_t now_seconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

// An item scanned from the folder (not one the storage lent to an unread folder) whose time and
// size were both told.
state_item_file* local_file(const std::shared_ptr<state_item>& item) {
  if (!item || item->type() != 'F' || !item->owner() || !item->owner()->is_local()) return nullptr;
  auto* file = static_cast<state_item_file*>(item.get());
  if (file->size() == std::numeric_limits<std::uint64_t>::max() || file->time() == 0) {
    return nullptr;
  }
  return file;
}

}  // namespace

identity_cache::identity_cache(std::string owner, std::int64_t now)
    : owner_(std::move(owner)), now_(now) {}

std::filesystem::path identity_cache::file_of(const project& proj) {
  return proj.root() / ".k-vcs" / file_name;
}

std::string identity_cache::owner_of(const project& proj) {
  return utf16_to_utf8(platform::wide_from_path(proj.root())) + "\n" + utf16_to_utf8(proj.name());
}

identity_cache identity_cache::load(const project& proj) {
  // The clock is read before the scan, so before any file of this run is read.
  identity_cache cache(owner_of(proj), now_seconds());
  const std::filesystem::path file = file_of(proj);
  std::error_code ec;
  const std::filesystem::file_type type = std::filesystem::symlink_status(file, ec).type();
  cache.present_ = type != std::filesystem::file_type::not_found;
  // Only the file a run wrote: a link put in its place leads to what no run vouches for.
  platform::input_file in;
  if (type != std::filesystem::file_type::regular || !in.open(file)) return cache;
  const std::uint64_t size = in.size();
  if (size > max_file_bytes) return cache;
  std::string bytes(static_cast<std::size_t>(size), '\0');
  if (in.read(bytes.data(), bytes.size()) != bytes.size()) return cache;
  char extra = 0;
  if (in.read(&extra, 1) != 0) return cache;  // it grew while read: not the file it was
  cache.parse(bytes);
  return cache;
}

bool identity_cache::parse(std::string_view bytes) {
  entries_.clear();
  believed_ = false;
  learned_before_ = 0;
  if (bytes.size() < magic_size + digest_size) return false;
  const std::string_view body = bytes.substr(0, bytes.size() - digest_size);
  if (digest_of(body) != bytes.substr(body.size())) return false;
  if (body.substr(0, magic_size) != std::string_view(magic, magic_size)) return false;
  reader in(body.substr(magic_size));
  std::uint32_t version = 0;
  std::uint32_t owner_size = 0;
  std::string owner;
  std::uint64_t learned = 0;
  std::uint64_t count = 0;
  if (!in.u32(version) || version != format_version) return false;
  if (!in.u32(owner_size) || owner_size > max_owner_bytes || !in.text(owner_size, owner)) {
    return false;
  }
  if (owner != owner_) return false;
  if (!in.u64(learned) || !in.u64(count)) return false;
  // Each entry takes at least its fixed part: a count that the bytes cannot hold is damage, and
  // nothing is reserved for it.
  if (count > in.left() / (entry_fixed_bytes + 1)) return false;
  std::vector<t_entry> entries;
  entries.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    t_entry entry;
    std::uint32_t path_size = 0;
    std::uint64_t time = 0;
    if (!in.u32(path_size) || path_size == 0 || path_size > max_stored_path_bytes ||
        !in.text(path_size, entry.path) || !in.u64(entry.size) || !in.u64(time) ||
        !in.text(identity_size, entry.identity)) {
      return false;
    }
    entry.time = static_cast<std::int64_t>(time);
    if (!entries.empty() && !path_before(entries.back().path, entry.path)) return false;
    entries.push_back(std::move(entry));
  }
  if (in.left() != 0) return false;
  entries_ = std::move(entries);
  learned_before_ = static_cast<std::int64_t>(learned);
  believed_ = true;
  return true;
}

std::string identity_cache::serialize(const std::vector<t_entry>& entries) const {
  std::string out(magic, magic_size);
  put_u32(out, format_version);
  put_u32(out, static_cast<std::uint32_t>(owner_.size()));
  out += owner_;
  put_u64(out, static_cast<std::uint64_t>(now_));
  put_u64(out, entries.size());
  for (const t_entry& entry : entries) {
    put_u32(out, static_cast<std::uint32_t>(entry.path.size()));
    out += entry.path;
    put_u64(out, entry.size);
    put_u64(out, static_cast<std::uint64_t>(entry.time));
    out += entry.identity;
  }
  out += digest_of(out);
  return out;
}

std::size_t identity_cache::fill(const state& scanned) const {
  std::size_t given = 0;
  const state_items& items = scanned.items();
  for (const t_entry& entry : entries_) {
    // A time within the second the record was begun in may belong to a later write of the same
    // size that the record never saw: such an entry proves nothing.
    if (entry.time >= learned_before_) continue;
    const auto found = items.find(std::make_shared<std::string>(entry.path));
    if (found == items.end()) continue;
    state_item_file* file = local_file(found->second);
    if (file == nullptr || file->has_identity()) continue;
    if (file->size() != entry.size || file->time() != entry.time) continue;
    file->learn_identity(entry.identity);
    ++given;
  }
  return given;
}

std::vector<identity_cache::t_entry> identity_cache::learned(const state& scanned,
                                                             const state& stored) const {
  std::vector<t_entry> entries;
  const state_items& theirs = stored.items();
  for (const auto& [name, item] : scanned.items()) {
    state_item_file* file = local_file(item);
    if (file == nullptr || !file->has_identity() || file->time() >= now_) continue;
    const auto found = theirs.find(name);
    if (found == theirs.end() || found->second->type() != 'F') continue;
    auto* kept = static_cast<state_item_file*>(found->second.get());
    // A file whose time is the stored one needs no record; one whose content differs becomes
    // part of this version, with its own time.
    if (kept->size() != file->size() || kept->time() == file->time()) continue;
    if (!kept->has_identity() || kept->identity() != file->identity()) continue;
    entries.push_back({*name, file->size(), file->time(), file->identity()});
  }
  return entries;
}

bool identity_cache::keep(const project& proj, const std::vector<t_entry>& entries) const {
  if (believed_ ? entries == entries_ : (!present_ && entries.empty())) return true;
  const std::filesystem::path target = file_of(proj);
  platform::folder_handle folder(target.parent_path());
  if (!folder.is_open()) return false;
  const std::string bytes = serialize(entries);
  platform::new_file out;
  std::error_code ec;
  if (!out.create(folder, ec) || !out.write(bytes.data(), bytes.size(), ec) ||
      !out.finish(now_, ec) || !out.replace(target.filename(), ec)) {
    out.discard();
    return false;
  }
  return true;
}

void identity_cache::forget(const project& proj) {
  std::error_code ec;
  platform::remove_entry(file_of(proj), ec);
}

}  // namespace kestrun::vcs
