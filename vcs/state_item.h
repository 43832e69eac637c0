// The entries of a tree state: files, folders and links, each able to compare itself with an
// entry of its kind and to write its body into a version file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestrun {
class stream_writer;
class stream_reader;
}  // namespace kestrun

namespace kestrun::vcs {

class storage_driver;

// One entry of a tree state. Shared by the state's map and by the commands that refer to it.
class state_item {
 public:
  // Keeps both pointers. Every '\' that the platform treats as a separator becomes '/' in the
  // pointed-to string itself, so all holders of `name` see the stored form.
  state_item(std::shared_ptr<storage_driver> owner, std::shared_ptr<std::string> name);
  virtual ~state_item();
  state_item(const state_item&) = delete;
  state_item& operator=(const state_item&) = delete;

  // 'F', 'D' or 'L'.
  virtual char type() const = 0;
  // `other` has the same type character; callers compare those first.
  virtual bool equals(const std::shared_ptr<state_item>& other) = 0;
  // Writes the body that follows the type character in a version file; true when written and
  // the stream is still good.
  virtual bool write(stream_writer& writer) = 0;

  // The very string object that keys the item in its state's map.
  const std::shared_ptr<std::string>& name() const { return name_; }
  std::string name_text() const { return *name_; }
  // The driver of the state the item was made for; a file item reaches the disk through it.
  const std::shared_ptr<storage_driver>& owner() const { return owner_; }

 private:
  std::shared_ptr<storage_driver> owner_;
  std::shared_ptr<std::string> name_;
};

class state_item_file : public state_item {
 public:
  // Body from a version file: size, time, 36 identity bytes. The stream is not judged here; the
  // reader of the version file looks at its state afterwards.
  state_item_file(std::shared_ptr<storage_driver> owner, std::shared_ptr<std::string> name,
                  stream_reader& reader);
  // A file found on the disk; its identity is computed on first use.
  state_item_file(std::shared_ptr<storage_driver> owner, std::shared_ptr<std::string> name,
                  std::uint64_t size, std::int64_t time);

  char type() const override { return 'F'; }
  // Different sizes: unequal without reading. Equal times: equal without reading. Otherwise
  // the identities decide (each computed on demand).
  bool equals(const std::shared_ptr<state_item>& other) override;
  bool write(stream_writer& writer) override;

  std::uint64_t& size() { return size_; }
  const std::uint64_t& size() const { return size_; }
  std::int64_t& time() { return time_; }
  const std::int64_t& time() const { return time_; }

  // The 36-byte content identity. Computed from the file below the owner's project root on the
  // first call; stays empty (and is tried again next time) when the file cannot be read.
  // Throws std::system_error when the name is not valid UTF-8.
  const std::string& identity();
  // True once the identity is known: read from a version file, computed, or learned.
  bool has_identity() const { return !identity_.empty(); }
  // Takes the identity of this very content as an earlier run found it (the work folder's
  // record), so that it need not be read; an identity already known stays.
  void learn_identity(const std::string& identity);

  // Storage name of the content: "files/", the identity text with a '/' after each of its first
  // four characters, then the decimal size.
  std::wstring filename();

 private:
  std::string identity_;
  std::uint64_t size_ = 0;
  std::int64_t time_ = 0;
};

class state_item_dir : public state_item {
 public:
  state_item_dir(std::shared_ptr<storage_driver> owner, std::shared_ptr<std::string> name);

  char type() const override { return 'D'; }
  bool equals(const std::shared_ptr<state_item>& other) override;  // always true
  bool write(stream_writer& writer) override;                      // empty body
};

// A symbolic link or junction; the target is a '/'-separated path relative to the project root.
class state_item_link : public state_item {
 public:
  state_item_link(std::shared_ptr<storage_driver> owner, std::shared_ptr<std::string> name,
                  const std::string& target);
  // Body from a version file: the target's bytes up to a 0 byte, which is consumed.
  state_item_link(std::shared_ptr<storage_driver> owner, std::shared_ptr<std::string> name,
                  stream_reader& reader);

  char type() const override { return 'L'; }
  bool equals(const std::shared_ptr<state_item>& other) override;  // same target bytes
  bool write(stream_writer& writer) override;

  std::string target() const { return target_; }

 private:
  std::string target_;
};

// Base-32 text of `length` bytes, 5-bit groups least significant bits first, a last partial
// group as one more character. `after_char`, when set, is called with the text after each
// character of a full group.
std::string base32_name(const std::uint8_t* data, std::size_t length,
                        std::function<void(std::string&)> after_char);

}  // namespace kestrun::vcs
