// hash_file: one sequential read feeding the Keccak sponge, the CRC and the caller's callback.
#include "common/identity.h"

#include <fstream>
#include <memory>

#include "common/crc32.h"
#include "common/keccak.h"

namespace kestrun {
namespace {

// Callers see the content in pieces of two Keccak blocks; the file is read many pieces at a
// time, which keeps system calls and per-call overhead out of the hashing loop.
constexpr std::size_t piece_size = 272;
constexpr std::size_t pieces_per_read = 240;  // about 64 KiB
constexpr std::size_t read_size = piece_size * pieces_per_read;

}  // namespace

bool hash_file(const std::filesystem::path& path, piece_callback on_piece, std::string& identity) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return false;
  // A folder opens as a stream on POSIX but cannot be read; it counts as a file that cannot be
  // opened, as it does where folders cannot be opened as files at all.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return false;

  keccak hasher(256);
  std::uint32_t crc = 0xFFFFFFFF;
  auto buffer = std::make_unique<char[]>(read_size);
  for (;;) {
    in.read(buffer.get(), static_cast<std::streamsize>(read_size));
    const auto got = static_cast<std::size_t>(in.gcount());
    hasher.add(buffer.get(), got);
    crc = crc32_update(crc, buffer.get(), got);
    if (on_piece) {
      std::size_t offset = 0;
      for (; got - offset >= piece_size; offset += piece_size) {
        on_piece(buffer.get() + offset, static_cast<std::int64_t>(piece_size));
      }
      // A short read ends the content, so it gives the last, short (maybe empty) piece.
      if (got < read_size) on_piece(buffer.get() + offset, static_cast<std::int64_t>(got - offset));
    }
    if (got < read_size) break;
  }

  identity.clear();
  hasher.digest(identity);
  crc ^= 0xFFFFFFFF;
  for (int i = 0; i < 4; ++i) identity.push_back(static_cast<char>((crc >> (8 * i)) & 0xFF));
  return true;
}

}  // namespace kestrun
