// Text, path, time and whole-file helpers shared by the whole program and copied into the drivers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrun {

// Hand-written UTF-8 decoder: one wide unit per sequence, malformed input handled by the stop
// rule (a bad lead byte repeats the previous unit, or gives '!', and ends the text). Never throws.
std::wstring utf8_to_utf16(const std::string& text);

// Hand-written encoder: each wide unit on its own, 1 to 4 bytes; a surrogate unit becomes three
// bytes. This is the form that crosses the driver boundary and names stored files.
std::string utf16_to_utf8(const std::wstring& text);

// Lexically normal, '/'-separated wide text of a path; with `trailing_slash` exactly one '/' ends
// it (the empty path gives "/"), without it one trailing '/' is removed.
std::wstring path_to_generic(const std::filesystem::path& path, bool trailing_slash);

// Fills `out` with the file's bytes; leaves it untouched when the file cannot be sized or opened.
void read_file(const std::wstring& path, std::string& out);

// Local time in the strftime notation; empty for a time that cannot be converted.
std::string format_time(std::int64_t seconds, const char* format);

// The pieces between the delimiters, empty pieces included: n delimiters give n + 1 pieces.
std::vector<std::wstring> split_text(const std::wstring& text, const std::wstring& delimiter);

}  // namespace kestrun
