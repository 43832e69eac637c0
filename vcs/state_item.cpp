// The three kinds of state items, their bodies in a version file, and the base-32 storage name
// of a file content.
#include "vcs/state_item.h"

#include <utility>

#include "common/identity.h"
#include "common/stream/binary_io.h"
#include "common/text.h"
#include "vcs/project.h"
#include "vcs/safe_path.h"
#include "vcs/storage_driver.h"
#include "vcs/version_file.h"

namespace kestrun::vcs {

namespace {

// Two entries give '0' (positions 0 and 10) and 'V' is never reached: stored blob names were
// made with this very text, so it must stay as it is.
constexpr char base32_alphabet[] = "01234567890ABCDEFGHXJKYMNWPQRSTUV";

constexpr std::size_t identity_size = 36;

}  // namespace

state_item::state_item(std::shared_ptr<storage_driver> owner, std::shared_ptr<std::string> name)
    : owner_(std::move(owner)), name_(std::move(name)) {
  separators_to_generic(*name_);
}

state_item::~state_item() = default;

state_item_file::state_item_file(std::shared_ptr<storage_driver> owner,
                                 std::shared_ptr<std::string> name, stream_reader& reader)
    : state_item(std::move(owner), std::move(name)) {
  // The reader of the version file judges the stream once the body is read.
  reader.read_u64(size_);
  std::uint64_t stored_time = 0;
  reader.read_u64(stored_time);
  time_ = static_cast<std::int64_t>(stored_time);
  identity_.resize(identity_size);
  reader.read(identity_.data(), static_cast<std::int32_t>(identity_size));
}

state_item_file::state_item_file(std::shared_ptr<storage_driver> owner,
                                 std::shared_ptr<std::string> name, std::uint64_t size,
                                 std::int64_t time)
    : state_item(std::move(owner), std::move(name)), size_(size), time_(time) {}

bool state_item_file::equals(const std::shared_ptr<state_item>& other) {
  auto* file = dynamic_cast<state_item_file*>(other.get());
  if (file == nullptr) return false;
  if (size_ != file->size_) return false;
  if (time_ == file->time_) return true;
  return identity() == file->identity();
}

bool state_item_file::write(stream_writer& writer) {
  identity();
  if (!writer.write_u64(size_)) return false;
  const auto stored_time = static_cast<std::uint64_t>(time_);
  if (!writer.write_u64(stored_time)) return false;
  return writer.write(identity_.data(), static_cast<std::int32_t>(identity_.size()));
}

const std::string& state_item_file::identity() {
  if (!identity_.empty()) return identity_;
  const std::filesystem::path path = owner()->project()->root() / path_from_utf8_strict(*name());
  // An unreadable file keeps an empty identity, and the next call tries again.
  hash_file(path, {}, identity_);
  return identity_;
}

void state_item_file::learn_identity(const std::string& identity) {
  if (identity_.empty() && identity.size() == identity_size) identity_ = identity;
}

std::wstring state_item_file::filename() {
  const std::string& id = identity();
  const std::string text =
      base32_name(reinterpret_cast<const std::uint8_t*>(id.data()), id.size(), [](std::string& t) {
        // Four one-character folder levels keep any one folder of the storage small.
        if (t.size() == 1 || t.size() == 3 || t.size() == 5 || t.size() == 7) t.push_back('/');
      });
  return utf8_to_utf16("files/" + text) + std::to_wstring(size_);
}

state_item_dir::state_item_dir(std::shared_ptr<storage_driver> owner,
                               std::shared_ptr<std::string> name)
    : state_item(std::move(owner), std::move(name)) {}

bool state_item_dir::equals(const std::shared_ptr<state_item>&) { return true; }

bool state_item_dir::write(stream_writer&) { return true; }

state_item_link::state_item_link(std::shared_ptr<storage_driver> owner,
                                 std::shared_ptr<std::string> name, const std::string& target)
    : state_item(std::move(owner), std::move(name)), target_(target) {
  separators_to_generic(target_);
}

state_item_link::state_item_link(std::shared_ptr<storage_driver> owner,
                                 std::shared_ptr<std::string> name, stream_reader& reader)
    : state_item(std::move(owner), std::move(name)) {
  // Bounded, so that a hostile target cannot grow without end; past the bound the stream fails
  // and the reader of the version file refuses the file.
  reader.read_string(target_, max_stored_path_bytes);
}

bool state_item_link::equals(const std::shared_ptr<state_item>& other) {
  auto* link = dynamic_cast<state_item_link*>(other.get());
  return link != nullptr && target_ == link->target_;
}

bool state_item_link::write(stream_writer& writer) { return writer.write_string(target_); }

std::string base32_name(const std::uint8_t* data, std::size_t length,
                        std::function<void(std::string&)> after_char) {
  std::string text;
  std::uint16_t acc = 0;
  unsigned bits = 0;
  std::size_t i = 0;
  while (i < length) {
    if (bits < 5) {
      acc = static_cast<std::uint16_t>(acc | (data[i] << bits));
      ++i;
      bits += 8;
    }
    for (unsigned groups = bits / 5; groups > 0; --groups) {
      text.push_back(base32_alphabet[acc & 31]);
      if (after_char) after_char(text);
      acc = static_cast<std::uint16_t>(acc >> 5);
      bits -= 5;
    }
  }
  if (bits > 0) text.push_back(base32_alphabet[acc]);
  return text;
}

}  // namespace kestrun::vcs
