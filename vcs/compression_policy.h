// How kvcs compresses what it stores: the one level, which contents are coded whole in memory,
// and which formats are stored raw. The method byte ahead of each stored content is the stream
// layer's (stream::arc::method_plain, method_gzip).
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace kestrun::vcs {

// The level index (stream::arc::zlib_level) of every gzip stream kvcs writes: zlib level 9.
// Contents and version files are written once and read many times.
inline constexpr std::uint32_t level_index_best = 4;

// Files up to this size are read, coded and written whole, in one step each; larger ones stream
// through the gzip buffers. Two such buffers (content and coded form) stay well inside the
// memory a run may take.
inline constexpr std::uint64_t whole_limit = std::uint64_t{8} << 20;

// The extensions ('.' included, lower case) of formats whose content is already compressed:
// deflating them again costs time and saves nothing. Built once and kept for the process.
const std::set<std::wstring>& compressed_extensions();

}  // namespace kestrun::vcs
