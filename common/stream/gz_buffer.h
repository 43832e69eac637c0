// Stream buffers that pass every byte through a codec, so that the standard streams write and
// read gzip: the log, the version files and every stored file content go through them.
#pragma once

#include <istream>
#include <memory>
#include <ostream>
#include <streambuf>

struct z_stream_s;  // zlib's stream record, kept out of this header

namespace kestrun::stream {

namespace base {
namespace detail {

// The two work areas of a coding buffer. Owns both; copying is not allowed.
class buffer : public std::basic_streambuf<char> {
 public:
  // Large areas keep the codec and the file busy with few, big steps.
  static constexpr int default_size = 1 << 17;

  buffer(int in_size, int out_size);
  ~buffer() override;
  buffer(const buffer&) = delete;
  buffer& operator=(const buffer&) = delete;

 protected:
  int in_size;   // bytes that go into the codec
  int out_size;  // bytes that come out of it
  std::unique_ptr<char[]> in_area;
  std::unique_ptr<char[]> out_area;
};

}  // namespace detail

// An encoding output buffer over `peer`, which must outlive it. Writes code a whole input area
// at a time; the first sync ends the coded stream and flushes `peer`. Any failure (codec set-up,
// a coding step, a write that leaves `peer` failed, bytes written after the end) makes overflow
// return end-of-file and sync -1, so the writing stream goes bad and a full disk is noticed.
// Destroying the buffer does not flush.
class obuffer : public detail::buffer {
 public:
  ~obuffer() override;

 protected:
  obuffer(std::ostream& target, int in_size, int out_size);

  // Runs init and opens the put area; derived constructors call it once they are complete.
  void start();
  // Opens the put area again once `reset` has made the codec ready for a new stream.
  void start_again(bool reset);

  int_type overflow(int_type c) override;
  int sync() override;

  virtual bool init() = 0;
  // Codes `in_len` bytes of `in` into `out`: on return `in_len` holds the bytes taken and
  // `out_len` the bytes produced. `flush` asks the codec to end its stream. Result: 0 error,
  // 1 room left in `out`, 2 `out` filled (call again).
  virtual int process(char* in, int& in_len, char* out, int& out_len, bool flush) = 0;

  std::ostream* peer;  // not owned

 private:
  bool code(int waiting, bool flush);
  bool ready = false;
};

// A decoding input buffer over `peer`, which must outlive it; it reads ahead, so `peer` is left
// past the coded data. Reading ends with end-of-file at the clean end of the coded data (or at
// once for an empty source). Corrupt, truncated or unreadable coded data make underflow throw
// std::ios_base::failure, which a std::istream turns into its bad flag; code that reads the
// buffer itself (istreambuf_iterator, sgetc) sees the exception.
class ibuffer : public detail::buffer {
 public:
  ~ibuffer() override;

 protected:
  ibuffer(std::istream& source, int in_size, int out_size);

  int_type underflow() override;

  virtual bool init() = 0;
  // As the output form, without a flush: result 0 error (corrupt data), 1 room left, 2 filled.
  virtual int process(char* in, int& in_len, char* out, int& out_len) = 0;
  // True when the coded data seen so far form complete streams.
  virtual bool finished() const = 0;

  // Runs init; a failure makes every read fail.
  void start();

  std::istream* peer;  // not owned
  int carried = 0;     // coded bytes kept at the front of in_area for the next step
  int last_result = 1;

 private:
  [[noreturn]] void fail(const char* why);
  bool ready = false;
  bool source_end = false;  // peer has nothing more to give
  bool any_input = false;   // at least one coded byte was read
  bool failed = false;
};

}  // namespace base

namespace gz {

// deflate with the gzip wrapper: window bits 31, memory level 8, default strategy. `level` is a
// zlib level, capped at 9; -1 is zlib's default.
class obuffer : public base::obuffer {
 public:
  obuffer(std::ostream& target, int level, int size = default_size);
  ~obuffer() override;

  // Starts a new coded stream on the same target (reopened by its owner) with the same level,
  // keeping the codec's memory: what a new buffer would do, without its allocations. Bytes of
  // the previous stream that were not synced are dropped.
  void restart();
  int zlib_level() const { return level; }

 protected:
  bool init() override;
  int process(char* in, int& in_len, char* out, int& out_len, bool flush) override;

 private:
  std::unique_ptr<z_stream_s> z;
  int level;
  bool initialised = false;
};

// inflate with the gzip wrapper (no zlib or raw streams). Reads gzip members one after another,
// as gzip does; bytes after the last member that do not start another member are ignored.
class ibuffer : public base::ibuffer {
 public:
  explicit ibuffer(std::istream& source, int size = default_size);
  ~ibuffer() override;

 protected:
  bool init() override;
  int process(char* in, int& in_len, char* out, int& out_len) override;
  bool finished() const override;

 private:
  std::unique_ptr<z_stream_s> z;
  bool initialised = false;
  bool member_end = false;  // the last member ended; only a new gzip header may follow
};

}  // namespace gz

}  // namespace kestrun::stream
