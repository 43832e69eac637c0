// Little-endian by arithmetic, not by memory order, so the stored bytes are the same on every
// machine.
#include "common/stream/binary_io.h"

namespace kestrun {

namespace {

template <typename T>
bool put_le(std::ostream& out, T value) {
  char bytes[sizeof(T)];
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    bytes[i] = static_cast<char>(static_cast<unsigned char>(value >> (8 * i)));
  }
  out.write(bytes, sizeof(T));
  return out.good();
}

template <typename T>
bool get_le(std::istream& in, T& value) {
  unsigned char bytes[sizeof(T)];
  if (!in.read(reinterpret_cast<char*>(bytes), sizeof(T)).good()) {
    return false;
  }
  T result = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    result = static_cast<T>(result | static_cast<T>(static_cast<T>(bytes[i]) << (8 * i)));
  }
  value = result;
  return true;
}

}  // namespace

bool stream_writer::write(const void* data, const std::int32_t& count) {
  if (count < 0) {
    return false;
  }
  out->write(static_cast<const char*>(data), count);
  return out->good();
}

bool stream_writer::write_u8(const std::uint8_t& value) { return put_le(*out, value); }

bool stream_writer::write_u32(const std::uint32_t& value) { return put_le(*out, value); }

bool stream_writer::write_u64(const std::uint64_t& value) { return put_le(*out, value); }

bool stream_writer::write_string(const std::string& s) {
  out->write(s.data(), static_cast<std::streamsize>(s.size()));
  if (!out->good()) {
    return false;
  }
  out->put('\0');
  return out->good();
}

bool stream_reader::read(void* data, const std::int32_t& count) {
  if (count < 0) {
    return false;
  }
  in->read(static_cast<char*>(data), count);
  return in->good();
}

bool stream_reader::read_u8(std::uint8_t& value) { return get_le(*in, value); }

bool stream_reader::read_u32(std::uint32_t& value) { return get_le(*in, value); }

bool stream_reader::read_u64(std::uint64_t& value) { return get_le(*in, value); }

bool stream_reader::read_string(std::string& s) {
  s.clear();
  std::getline(*in, s, '\0');
  return in->good();
}

bool stream_reader::read_string(std::string& s, std::size_t max_length) {
  s.clear();
  const std::istream::sentry ready(*in, true);
  if (!ready) return false;
  std::streambuf* source = in->rdbuf();
  using traits = std::istream::traits_type;
  try {
    while (true) {
      const traits::int_type c = source->sbumpc();
      if (traits::eq_int_type(c, traits::eof())) {
        in->setstate(std::ios::eofbit | std::ios::failbit);
        return false;
      }
      if (traits::to_char_type(c) == '\0') return true;
      if (s.size() == max_length) {
        in->setstate(std::ios::failbit);
        return false;
      }
      s.push_back(traits::to_char_type(c));
    }
  } catch (...) {
    // As in the stream's own reads, an error of the buffer (corrupt coded data) is a bad stream.
    in->setstate(std::ios::badbit);
    return false;
  }
}

}  // namespace kestrun
