// Text, path, time and whole-file helpers. The converters are deliberately simple and stable: their
// output names stored files and crosses the driver boundary, so it must never change.
#include "common/text.h"

#include <algorithm>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <system_error>

#include "platform/platform.h"

namespace kestrun {

std::string display_text(std::wstring_view text, std::size_t limit) {
  constexpr char32_t escaped_bytes = 0xDC00;  // as platform::wide_from_native keeps them
  constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(std::min(text.size(), limit));
  std::size_t shown = 0;
  for (std::size_t i = 0; i < text.size(); ++shown) {
    if (shown == limit) {
      out += "\xE2\x80\xA6";  // U+2026, the ellipsis
      break;
    }
    const char32_t cp = platform::next_code_point(text, i);
    if (cp >= escaped_bytes + 0x80 && cp <= escaped_bytes + 0xFF) {
      out += "\\x";
      out += hex[(cp >> 4) & 0xF];
      out += hex[cp & 0xF];
    } else if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += hex[(cp >> shift) & 0xF];
    } else {
      platform::append_utf8(cp, out);
    }
  }
  return out;
}

std::wstring utf8_to_utf16(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  const std::size_t size = text.size();
  const auto byte = [&](std::size_t i) -> std::uint32_t {
    return static_cast<unsigned char>(text[i]);
  };
  // A stray byte repeats the unit before it (or '!' at the start) and ends the text: this is how
  // names were always decoded, and stored names must keep decoding the same.
  std::uint32_t unit = '!';
  std::size_t index = 0;
  while (index < size) {
    const std::uint32_t lead = byte(index);
    std::size_t length = 0;
    if (lead < 0x80) {
      length = 1;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
    } else if ((lead & 0xFC) == 0xF8) {
      length = 5;
    } else if ((lead & 0xFE) == 0xFC) {
      length = 6;
    } else {
      platform::append_code_point(unit, out);
      break;
    }
    // A form cut short by the end of the text is dropped; nothing past the end is read.
    if (size - index < length) break;
    // Continuation bytes are not checked: only their low six bits count.
    switch (length) {
      case 1:
        unit = lead;
        break;
      case 2:
        unit = ((lead & 0x1F) << 6) | (byte(index + 1) & 0x3F);
        break;
      case 3:
        unit = ((lead & 0x0F) << 12) | ((byte(index + 1) & 0x3F) << 6) | (byte(index + 2) & 0x3F);
        break;
      case 4:
        // The whole code point, as one wide character or a surrogate pair: text beyond the Basic
        // Multilingual Plane survives.
        unit = ((lead & 0x07) << 18) | ((byte(index + 1) & 0x3F) << 12) |
               ((byte(index + 2) & 0x3F) << 6) | (byte(index + 3) & 0x3F);
        break;
      default:
        // No valid text holds 5- or 6-byte forms; they stand for one unknown character.
        unit = 0xFFFD;
        break;
    }
    platform::append_code_point(unit, out);
    index += length;
  }
  return out;
}

std::string utf16_to_utf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    // A surrogate pair is one character and takes one 4-byte form, whatever the width of
    // wchar_t; a lone surrogate takes three bytes of its own.
    char32_t u = platform::next_code_point(text, i);
    // Beyond what a 4-byte form holds there is no character to write.
    if (u > 0x1FFFFF) u = 0xFFFD;
    platform::append_utf8(u, out);
  }
  return out;
}

std::wstring path_to_generic(const std::filesystem::path& path, bool trailing_slash) {
  std::wstring text =
      platform::separators_to_generic(platform::wide_from_path(path.lexically_normal()));
  if (trailing_slash) {
    if (text.empty() || text.back() != L'/') text += L'/';
  } else if (!text.empty() && text.back() == L'/') {
    text.pop_back();
  }
  return text;
}

void read_file(const std::wstring& path, std::string& out) {
  // The platform's file never waits on a FIFO or device in the file's place.
  platform::input_file in;
  if (!in.open(platform::path_from_wide(path))) return;
  std::string text;
  char buffer[65536];
  for (;;) {
    const std::size_t got = in.read(buffer, sizeof buffer);
    text.append(buffer, got);
    if (got < sizeof buffer) break;
  }
  out = std::move(text);
}

std::string format_time(std::int64_t seconds, const char* format) {
  std::tm local{};
  if (format == nullptr || !platform::local_time(seconds, local)) return {};
  std::ostringstream out;
  out << std::put_time(&local, format);
  return out.str();
}

std::vector<std::wstring> split_text(const std::wstring& text, const std::wstring& delimiter) {
  // An empty delimiter would match everywhere without moving on; the text stays one piece.
  if (delimiter.empty()) return {text};
  std::vector<std::wstring> pieces;
  std::wstring::size_type start = 0;
  for (;;) {
    const auto found = text.find(delimiter, start);
    if (found == std::wstring::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, found - start));
    start = found + delimiter.size();
  }
}

}  // namespace kestrun
