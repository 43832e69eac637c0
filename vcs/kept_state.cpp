// Writing and reading the kept state. The reader trusts nothing before the digest at the end has
// checked: the entries it reads wait in a map of their own until then.
#include "vcs/kept_state.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <streambuf>
#include <system_error>
#include <utility>
#include <vector>

#include "common/identity.h"
#include "common/keccak.h"
#include "common/stream/binary_io.h"
#include "common/text.h"
#include "platform/platform.h"
#include "vcs/project.h"
#include "vcs/storage.h"
#include "vcs/storage_driver.h"
#include "vcs/transform.h"
#include "vcs/version_file.h"

namespace kestrun::vcs {

namespace {

namespace fs = std::filesystem;

constexpr char kept_magic[4] = {'K', 'V', 'K', 'S'};
constexpr std::uint32_t kept_format = 1;
constexpr std::size_t digest_size = 32;
constexpr std::size_t identity_size = 36;
constexpr std::size_t max_owner_text = 4096;
constexpr std::size_t block_size = 1 << 16;
const char* const kept_name = "state";

// Hands what is written to a new file in blocks, hashing it on the way.
class hashing_writer : public std::streambuf {
 public:
  explicit hashing_writer(platform::new_file& file) : file_(file), hash_(256), block_(block_size) {
    setp(block_.data(), block_.data() + block_.size());
  }

  // Every byte written so far has reached the file.
  bool flush() {
    const auto size = static_cast<std::size_t>(pptr() - pbase());
    if (size > 0 && ok_) {
      hash_.add(pbase(), size);
      std::error_code ec;
      ok_ = file_.write(pbase(), size, ec);
    }
    setp(block_.data(), block_.data() + block_.size());
    return ok_;
  }

  std::string digest() {
    std::string out;
    hash_.digest(out);
    return out;
  }

 protected:
  int_type overflow(int_type c) override {
    if (!flush()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return flush() ? 0 : -1; }

 private:
  platform::new_file& file_;
  keccak hash_;
  std::vector<char> block_;
  bool ok_ = true;
};

// The first `length` bytes of `source`, hashed as they are read; the end of the stream after them.
class hashing_reader : public std::streambuf {
 public:
  hashing_reader(std::streambuf& source, std::uint64_t length)
      : source_(source), remaining_(length), hash_(256), block_(block_size) {}

  std::string digest() {
    std::string out;
    hash_.digest(out);
    return out;
  }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (remaining_ == 0) return traits_type::eof();
    const auto wanted =
        static_cast<std::streamsize>(std::min<std::uint64_t>(remaining_, block_.size()));
    const std::streamsize got = source_.sgetn(block_.data(), wanted);
    if (got <= 0) return traits_type::eof();
    remaining_ -= static_cast<std::uint64_t>(got);
    hash_.add(block_.data(), static_cast<std::size_t>(got));
    setg(block_.data(), block_.data(), block_.data() + got);
    return traits_type::to_int_type(*gptr());
  }

 private:
  std::streambuf& source_;
  std::uint64_t remaining_;
  keccak hash_;
  std::vector<char> block_;
};

t_kept_owner owner_of(const storage_driver& driver) {
  return {utf16_to_utf8(driver.project()->name()), utf16_to_utf8(driver.id())};
}

// The identity of the cached version file nn; false when it cannot be read.
bool cached_identity(const storage_driver& driver, std::uint32_t nn, std::string& identity) {
  return hash_file(driver.local_path(nn), {}, identity) && identity.size() == identity_size;
}

}  // namespace

t_kept read_kept_state(std::istream& file, const t_kept_owner& owner,
                       const std::shared_ptr<storage_driver>& driver, std::uint32_t limit,
                       const kept_version_check& accept, const std::string& filter,
                       state_items& items, std::uint32_t& nn) {
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  file.seekg(0, std::ios::beg);
  if (!file.good() || size < static_cast<std::streamoff>(digest_size)) return t_kept::none;
  hashing_reader covered(*file.rdbuf(), static_cast<std::uint64_t>(size) - digest_size);
  std::istream in(&covered);
  stream_reader reader(in);

  char magic[sizeof kept_magic];
  std::uint32_t format = 0;
  std::string project;
  std::string storage_id;
  std::uint32_t kept_nn = 0;
  std::string identity(identity_size, '\0');
  if (!reader.read(magic, sizeof magic) || std::memcmp(magic, kept_magic, sizeof magic) != 0 ||
      !reader.read_u32(format) || format != kept_format ||
      !reader.read_string(project, max_owner_text) ||
      !reader.read_string(storage_id, max_owner_text) || !reader.read_u32(kept_nn) ||
      !reader.read(identity.data(), static_cast<std::int32_t>(identity.size()))) {
    return t_kept::none;
  }
  if (project != owner.project || storage_id != owner.storage_id || kept_nn == 0) {
    return t_kept::none;
  }

  // What was read is believed only once the digest over all of it checks.
  const auto whole = [&] {
    std::string stored(digest_size, '\0');
    file.read(stored.data(), static_cast<std::streamsize>(stored.size()));
    return file.gcount() == static_cast<std::streamsize>(digest_size) &&
           file.peek() == std::istream::traits_type::eof() && stored == covered.digest();
  };
  if (kept_nn > limit) {
    in.ignore(std::numeric_limits<std::streamsize>::max());
    return !in.bad() && whole() ? t_kept::newer : t_kept::none;
  }
  if (!accept(kept_nn, identity)) return t_kept::none;

  state_items read;
  bool adds_only = true;
  std::int64_t time = 0;
  const bool body =
      read_version(in, driver, time, [&](const std::shared_ptr<transform_command>& c) {
        if (c->type() != transform_command::add) adds_only = false;
        replay_command(read, filter, *c);
      });
  if (!body || !adds_only || !whole()) return t_kept::none;
  items = std::move(read);
  nn = kept_nn;
  return t_kept::used;
}

fs::path kept_state_path(const storage_driver& driver) {
  return driver.local_path(1).parent_path() / kept_name;
}

t_kept read_kept_state(const std::shared_ptr<storage_driver>& driver, std::uint32_t limit,
                       std::uint32_t proven, const std::string& filter, state_items& items,
                       std::uint32_t& nn) {
  const fs::path path = kept_state_path(*driver);
  // Anything but a file there (a FIFO would block the open) is no kept state.
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return t_kept::none;
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file.is_open()) return t_kept::none;
  const auto accept = [&](std::uint32_t kept_nn, const std::string& identity) {
    std::string now;
    return kept_nn <= proven && cached_identity(*driver, kept_nn, now) && now == identity;
  };
  return read_kept_state(file, owner_of(*driver), driver, limit, accept, filter, items, nn);
}

bool write_kept_state(const storage_driver& driver, std::uint32_t nn, const state_items& items) {
  std::string identity;
  if (nn == 0 || driver.project_temp() == nullptr || !cached_identity(driver, nn, identity)) {
    return false;
  }
  const fs::path target = kept_state_path(driver);
  std::error_code ec;
  // The temporary folder lies in the work folder too, so the finished file moves in one step,
  // and one left by a run cut short goes with the folder.
  platform::folder_handle temp(driver.project_temp()->path());
  platform::folder_handle cache(target.parent_path());
  platform::new_file out;
  if (!temp.is_open() || !cache.is_open() || !out.create(temp, ec)) return false;

  hashing_writer covered(out);
  std::ostream stream(&covered);
  stream_writer writer(stream);
  const t_kept_owner owner = owner_of(driver);
  std::int32_t length = sizeof kept_magic;
  bool ok = writer.write(kept_magic, length) && writer.write_u32(kept_format) &&
            writer.write_string(owner.project) && writer.write_string(owner.storage_id) &&
            writer.write_u32(nn);
  length = static_cast<std::int32_t>(identity.size());
  ok = ok && writer.write(identity.data(), length) &&
       write_version_header(writer, 0, static_cast<std::uint32_t>(items.size()));
  for (auto it = items.begin(); ok && it != items.end(); ++it) {
    ok = write_version_command(writer,
                               transform_command(transform_command::add, it->first, it->second));
  }
  ok = ok && covered.flush();
  if (ok) {
    const std::string digest = covered.digest();
    ok = out.write(digest.data(), digest.size(), ec) && out.finish(std::time(nullptr), ec) &&
         out.replace(cache, target.filename(), ec);
  }
  if (!ok) out.discard();
  return ok;
}

void drop_kept_state(const storage_driver& driver) {
  std::error_code ec;
  fs::remove(kept_state_path(driver), ec);
}

}  // namespace kestrun::vcs
