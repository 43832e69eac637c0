// Coding stream buffers over zlib. The base classes keep the standard stream machinery apart
// from the codec; the gz classes are the only codec there is.
#include "common/stream/gz_buffer.h"

#include <algorithm>
#include <cstring>
#include <ios>
#include <string>

#include <zlib.h>

namespace kestrun::stream {

namespace base {
namespace detail {

buffer::buffer(int in_bytes, int out_bytes)
    : in_size(std::max(in_bytes, 2)),
      out_size(std::max(out_bytes, 1)),
      in_area(new char[static_cast<std::size_t>(in_size)]),
      out_area(new char[static_cast<std::size_t>(out_size)]) {}

buffer::~buffer() = default;

}  // namespace detail

obuffer::obuffer(std::ostream& target, int in_bytes, int out_bytes)
    : buffer(in_bytes, out_bytes), peer(&target) {
  setp(nullptr, nullptr);
}

obuffer::~obuffer() = default;

void obuffer::start() {
  ready = peer->good() && init();
  if (ready) {
    // The last byte stays free for the character that overflow receives.
    setp(in_area.get(), in_area.get() + in_size - 1);
  }
}

void obuffer::start_again(bool reset) {
  ready = peer->good() && reset;
  if (ready) {
    setp(in_area.get(), in_area.get() + in_size - 1);
  } else {
    setp(nullptr, nullptr);
  }
}

obuffer::int_type obuffer::overflow(int_type c) {
  if (!ready || !peer->good()) {
    return traits_type::eof();
  }
  int waiting = static_cast<int>(pptr() - pbase());
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    in_area[static_cast<std::size_t>(waiting++)] = traits_type::to_char_type(c);
  }
  if (!code(waiting, false)) {
    return traits_type::eof();
  }
  return traits_type::not_eof(c);
}

int obuffer::sync() {
  if (!ready || !peer->good()) {
    return -1;
  }
  if (!code(static_cast<int>(pptr() - pbase()), true)) {
    return -1;
  }
  peer->flush();
  return peer->good() ? 0 : -1;
}

bool obuffer::code(int waiting, bool flush) {
  char* in = in_area.get();
  for (;;) {
    int in_len = waiting;
    int out_len = out_size;
    const int result = process(in, in_len, out_area.get(), out_len, flush);
    if (result == 0) {
      break;
    }
    waiting -= in_len;
    if (waiting > 0 && in_len > 0) {
      std::memmove(in, in + in_len, static_cast<std::size_t>(waiting));
    }
    if (out_len > 0) {
      peer->write(out_area.get(), out_len);
      if (!peer->good()) {
        break;
      }
    }
    if (result == 2) {
      continue;
    }
    // With room left the codec has taken all it ever will; bytes still waiting could never be
    // coded, so the buffer fails rather than drop them silently.
    if (waiting > 0) {
      break;
    }
    setp(in, in + in_size - 1);
    return true;
  }
  // A broken coded stream cannot be continued: every later write fails too.
  ready = false;
  setp(nullptr, nullptr);
  return false;
}

ibuffer::ibuffer(std::istream& source, int in_bytes, int out_bytes)
    : buffer(in_bytes, out_bytes), peer(&source) {
  setg(out_area.get(), out_area.get(), out_area.get());
}

ibuffer::~ibuffer() = default;

void ibuffer::start() { ready = init(); }

void ibuffer::fail(const char* why) {
  failed = true;
  throw std::ios_base::failure(std::string("kestrun::stream: ") + why);
}

ibuffer::int_type ibuffer::underflow() {
  if (gptr() < egptr()) {
    return traits_type::to_int_type(*gptr());
  }
  if (!ready) {
    fail("the decoder could not be set up");
  }
  if (failed) {
    fail("the coded data are unreadable");
  }
  char* in = in_area.get();
  for (;;) {
    // After a step that filled the output the codec may hold more without new input.
    if (last_result != 2 && !source_end && carried < in_size) {
      peer->read(in + carried, in_size - carried);
      const auto got = static_cast<int>(peer->gcount());
      if (peer->bad()) {
        fail("the coded data cannot be read");
      }
      if (got < in_size - carried) {
        source_end = true;
      }
      any_input = any_input || got > 0;
      carried += got;
    }
    int in_len = carried;
    int out_len = out_size;
    const bool could_grow = last_result == 2 || (!source_end && carried < in_size);
    last_result = process(in, in_len, out_area.get(), out_len);
    if (last_result == 0) {
      fail("the coded data are corrupt");
    }
    carried -= in_len;
    if (carried > 0 && in_len > 0) {
      std::memmove(in, in + in_len, static_cast<std::size_t>(carried));
    }
    if (out_len > 0) {
      setg(out_area.get(), out_area.get(), out_area.get() + out_len);
      return traits_type::to_int_type(*gptr());
    }
    if (in_len == 0 && !could_grow) {
      // No progress and no more input to offer: either the data ended cleanly (or there never
      // were any), or the stream stops short of its end.
      if (!any_input || finished()) {
        return traits_type::eof();
      }
      fail("the coded data end early");
    }
  }
}

}  // namespace base

namespace gz {

namespace {
constexpr int gzip_window_bits = 31;  // 15-bit window, gzip header and trailer
constexpr int memory_level = 8;
}  // namespace

obuffer::obuffer(std::ostream& target, int zlib_level, int size)
    : base::obuffer(target, size, size),
      z(std::make_unique<z_stream_s>()),
      level(std::min(zlib_level, 9)) {
  start();
}

obuffer::~obuffer() {
  if (initialised) {
    deflateEnd(z.get());
  }
}

namespace {

// The gzip header names Unix as the system that wrote the stream, as zlib does by default there:
// stored contents and version files are then the same bytes whichever system wrote them.
bool set_header(z_stream* z) {
  static gz_header header = [] {
    gz_header h{};
    h.os = 3;
    return h;
  }();
  return deflateSetHeader(z, &header) == Z_OK;
}

}  // namespace

void obuffer::restart() {
  // deflateReset equals deflateEnd and deflateInit2 with the same parameters.
  start_again(initialised && deflateReset(z.get()) == Z_OK && set_header(z.get()));
}

bool obuffer::init() {
  initialised = deflateInit2(z.get(), level, Z_DEFLATED, gzip_window_bits, memory_level,
                             Z_DEFAULT_STRATEGY) == Z_OK &&
                set_header(z.get());
  return initialised;
}

int obuffer::process(char* in, int& in_len, char* out, int& out_len, bool flush) {
  if (!initialised) {
    return 0;
  }
  const int offered = in_len;
  z->next_in = reinterpret_cast<Bytef*>(in);
  z->avail_in = static_cast<uInt>(in_len);
  z->next_out = reinterpret_cast<Bytef*>(out);
  z->avail_out = static_cast<uInt>(out_len);
  const int ret = deflate(z.get(), flush ? Z_FINISH : Z_NO_FLUSH);
  if (ret == Z_STREAM_ERROR) {
    return 0;
  }
  in_len = offered - static_cast<int>(z->avail_in);
  out_len -= static_cast<int>(z->avail_out);
  // deflate refuses input once its stream has ended; those bytes would be lost.
  if (ret == Z_BUF_ERROR && offered > 0 && in_len == 0 && out_len == 0) {
    return 0;
  }
  return z->avail_out != 0 ? 1 : 2;
}

ibuffer::ibuffer(std::istream& source, int size)
    : base::ibuffer(source, size, size), z(std::make_unique<z_stream_s>()) {
  start();
}

ibuffer::~ibuffer() {
  if (initialised) {
    inflateEnd(z.get());
  }
}

bool ibuffer::init() {
  initialised = inflateInit2(z.get(), gzip_window_bits) == Z_OK;
  return initialised;
}

int ibuffer::process(char* in, int& in_len, char* out, int& out_len) {
  if (!initialised) {
    return 0;
  }
  if (member_end) {
    // gzip reads members one after another; anything else behind a member is ignored.
    const bool next_member = in_len >= 2 && static_cast<unsigned char>(in[0]) == 0x1f &&
                             static_cast<unsigned char>(in[1]) == 0x8b;
    if (!next_member) {
      in_len = 0;
      out_len = 0;
      return 1;
    }
    if (inflateReset(z.get()) != Z_OK) {
      return 0;
    }
    member_end = false;
  }
  const int offered = in_len;
  z->next_in = reinterpret_cast<Bytef*>(in);
  z->avail_in = static_cast<uInt>(in_len);
  z->next_out = reinterpret_cast<Bytef*>(out);
  z->avail_out = static_cast<uInt>(out_len);
  const int ret = inflate(z.get(), Z_NO_FLUSH);
  in_len = offered - static_cast<int>(z->avail_in);
  out_len -= static_cast<int>(z->avail_out);
  switch (ret) {
    case Z_OK:
    case Z_BUF_ERROR:  // no progress possible yet: more input is needed
      break;
    case Z_STREAM_END:
      member_end = true;
      break;
    default:  // corrupt data, a dictionary gzip never uses, no memory
      return 0;
  }
  return z->avail_out != 0 ? 1 : 2;
}

bool ibuffer::finished() const { return member_end; }

}  // namespace gz

}  // namespace kestrun::stream
