// The 36-byte identity of a file's content: its Keccak-256 digest followed by its CRC-32, both
// computed in one pass that can also feed the bytes to a caller (the packer writes its copy then).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace kestrun {

// Receives each piece of the file as it is read; the bytes are valid only during the call.
using piece_callback = std::function<void(const char* data, std::int64_t size)>;

// Reads the file once from start to end. `on_piece` (may be empty) gets the content in pieces of
// 272 bytes, the last one shorter: a content whose size is a multiple of 272 (the empty one
// included) ends with a piece of size 0. On success `identity` becomes the 32 digest bytes and the
// CRC-32 least significant byte first, and the result is true. A file that cannot be opened, or
// is not a regular file (a FIFO or device is refused without waiting on it), gives false, leaves
// `identity` as it was and never calls `on_piece`. A read error partway counts as the end of the
// file. Exceptions thrown by `on_piece` pass through.
bool hash_file(const std::filesystem::path& path, piece_callback on_piece, std::string& identity);

// Receives the content as it is read, in blocks of any size above 0; the bytes are valid only
// during the call.
using block_callback = std::function<void(const char* data, std::size_t size)>;

// hash_file for a caller that takes the content in large blocks (the packer, which copies it):
// the same single read, result and identity, with the whole content handed to `on_block` (may
// be empty) in order. An empty file gives no call.
bool hash_file_blocks(const std::filesystem::path& path, const block_callback& on_block,
                      std::string& identity);

}  // namespace kestrun
