// Text, path, time and whole-file helpers shared by the whole program and copied into the drivers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// Hand-written UTF-8 decoder: one character per sequence, malformed input handled by the stop
// rule (a bad lead byte repeats the previous character, or gives '!', and ends the text). A 4-byte
// form gives its whole code point (a surrogate pair where wchar_t has 16 bits), a 5- or 6-byte form
// U+FFFD; continuation bytes are not checked and a form cut short by the end of the text is
// dropped. Never throws (but for allocation).
std::wstring utf8_to_utf16(const std::string& text);

// Hand-written encoder: each character on its own, 1 to 4 bytes; a surrogate pair is one character
// (one 4-byte form), a lone surrogate unit becomes three bytes, a unit beyond 0x1FFFFF the bytes
// of U+FFFD. This is the form that crosses the driver boundary and names stored files, the same
// for the same text on every platform. Never throws (but for allocation).
std::string utf16_to_utf8(const std::wstring& text);

// Wide text as UTF-8 for a log line or a message, whatever it holds: a byte of a name that is
// not UTF-8 (as platform::wide_from_native keeps it) shows as "\xE9", an unpaired surrogate as
// "\uD800", everything else as itself. After `limit` characters the text is cut and ends in
// "…", so one long rule or name cannot flood a log.
std::string display_text(std::wstring_view text, std::size_t limit = std::wstring_view::npos);

// How many characters of a rule or a name an event shows before it cuts them off.
inline constexpr std::size_t shown_characters = 300;

// Lexically normal, '/'-separated wide text of a path (only the platform's own separators become
// '/'); with `trailing_slash` exactly one '/' ends it (the empty path gives "/"), without it one
// trailing '/' is removed. Every name survives, also one that is not valid text.
std::wstring path_to_generic(const std::filesystem::path& path, bool trailing_slash);

// Fills `out` with the bytes of the file at `path` (links followed); leaves it untouched when the
// file cannot be opened or is not a regular file (missing, a folder, a FIFO). A read that fails
// partway gives the bytes read before the failure.
void read_file(const std::wstring& path, std::string& out);

// Local time in the strftime notation, written with the global locale; empty for a negative time,
// one past the year 3000, or one the system cannot convert.
std::string format_time(std::int64_t seconds, const char* format);

// The pieces between the delimiters, empty pieces included: n delimiters give n + 1 pieces. An
// empty delimiter gives the whole text as one piece.
std::vector<std::wstring> split_text(const std::wstring& text, const std::wstring& delimiter);

}  // namespace kestrun
