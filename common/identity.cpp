// hash_file: one sequential read feeding the Keccak sponge, the CRC and the caller's callback.
#include "common/identity.h"

#include <memory>

#include "common/crc32.h"
#include "common/keccak.h"
#include "platform/platform.h"

namespace kestrun {
namespace {

// Callers see the content in pieces of two Keccak blocks; the file is read many pieces at a
// time, which keeps system calls and per-call overhead out of the hashing loop.
constexpr std::size_t piece_size = 272;
constexpr std::size_t pieces_per_read = 240;  // about 64 KiB, below the size malloc maps apart
constexpr std::size_t read_size = piece_size * pieces_per_read;

// Reads the file to its end, hashing every block and handing it to `on_read` (data, size,
// whether it is the last block). False, with nothing hashed or handed out, when the file cannot
// be opened; `identity` is set only on success.
template <class on_read_t>
bool hash_blocks(const std::filesystem::path& path, const on_read_t& on_read,
                 std::string& identity) {
  platform::input_file in;
  if (!in.open(path)) return false;

  keccak hasher(256);
  std::uint32_t crc = 0xFFFFFFFF;
  auto buffer = std::make_unique<char[]>(read_size);
  for (;;) {
    // A short read ends the content, whether the file ended or reading failed.
    const std::size_t got = in.read(buffer.get(), read_size);
    hasher.add(buffer.get(), got);
    crc = crc32_update(crc, buffer.get(), got);
    const bool last = got < read_size;
    on_read(buffer.get(), got, last);
    if (last) break;
  }

  identity.clear();
  hasher.digest(identity);
  crc ^= 0xFFFFFFFF;
  for (int i = 0; i < 4; ++i) identity.push_back(static_cast<char>((crc >> (8 * i)) & 0xFF));
  return true;
}

}  // namespace

bool hash_file(const std::filesystem::path& path, piece_callback on_piece, std::string& identity) {
  if (!on_piece) {
    return hash_blocks(
        path, [](const char*, std::size_t, bool) {}, identity);
  }
  return hash_blocks(
      path,
      [&on_piece](const char* data, std::size_t got, bool last) {
        std::size_t offset = 0;
        for (; got - offset >= piece_size; offset += piece_size) {
          on_piece(data + offset, static_cast<std::int64_t>(piece_size));
        }
        // The last read gives the last, short (maybe empty) piece.
        if (last) on_piece(data + offset, static_cast<std::int64_t>(got - offset));
      },
      identity);
}

bool hash_file_blocks(const std::filesystem::path& path, const block_callback& on_block,
                      std::string& identity) {
  return hash_blocks(
      path,
      [&on_block](const char* data, std::size_t got, bool) {
        if (got > 0 && on_block) on_block(data, got);
      },
      identity);
}

}  // namespace kestrun
