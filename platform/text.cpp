// Conversions between byte text and wide text that every platform shares. Wide text holds the
// platform's wide characters: UTF-32 code points where wchar_t has 32 bits, UTF-16 units where it
// has 16 (Windows). A character beyond the Basic Multilingual Plane is one unit in the first and a
// surrogate pair in the second; a high surrogate followed by a low one reads as that one character
// on both, so the byte forms never depend on the width.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrun::platform {

namespace {

constexpr bool utf16_wide = sizeof(wchar_t) == 2;
constexpr char32_t replacement = 0xFFFD;
constexpr char32_t escape_base = 0xDC00;

bool is_surrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }
bool is_high_surrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDBFF; }
bool is_low_surrogate(char32_t cp) { return cp >= 0xDC00 && cp <= 0xDFFF; }

// Length of the valid UTF-8 sequence at the start of `bytes` and its code point, or 0 when the
// sequence is not valid (overlong, surrogate, beyond U+10FFFF, truncated, bad continuation).
std::size_t decode_one(std::string_view bytes, char32_t& cp) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    cp = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t min = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    cp = lead & 0x1F;
    min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    cp = lead & 0x0F;
    min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    cp = lead & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || is_surrogate(cp)) return 0;
  return length;
}

}  // namespace

char32_t next_code_point(std::wstring_view text, std::size_t& index) {
  const char32_t first = unit_value(text[index++]);
  if (is_high_surrogate(first) && index < text.size()) {
    const char32_t second = unit_value(text[index]);
    if (is_low_surrogate(second)) {
      ++index;
      return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
    }
  }
  return first;
}

void append_code_point(char32_t cp, std::wstring& out) {
  if (utf16_wide && cp > 0xFFFF) {
    if (cp > 0x10FFFF) {
      out += static_cast<wchar_t>(replacement);
      return;
    }
    cp -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (cp >> 10));
    out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    return;
  }
  out += static_cast<wchar_t>(cp);
}

void append_utf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::wstring wide_from_native(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t cp = 0;
    std::size_t used = decode_one(bytes, cp);
    if (used == 0) {
      // Only the first byte is escaped: the next one may start a valid sequence.
      cp = escape_base + static_cast<unsigned char>(bytes.front());
      used = 1;
    }
    append_code_point(cp, out);
    bytes.remove_prefix(used);
  }
  return out;
}

std::string native_from_wide(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char32_t cp = next_code_point(text, i);
    if (cp >= escape_base + 0x80 && cp <= escape_base + 0xFF) {
      out += static_cast<char>(cp - escape_base);
    } else if (cp <= 0x10FFFF) {
      // Other lone surrogates take their three-byte form, as the text helpers write them.
      append_utf8(cp, out);
    } else {
      // Not a code point at all: there is no byte form a name could hold.
      append_utf8(replacement, out);
    }
  }
  return out;
}

bool strict_utf8_from_wide(std::wstring_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char32_t cp = next_code_point(text, i);
    if (is_surrogate(cp) || cp > 0x10FFFF) return false;
    append_utf8(cp, out);
  }
  return true;
}

bool strict_wide_from_utf8(std::string_view text, std::wstring& out) {
  out.clear();
  out.reserve(text.size());
  while (!text.empty()) {
    char32_t cp = 0;
    const std::size_t used = decode_one(text, cp);
    if (used == 0) return false;
    append_code_point(cp, out);
    text.remove_prefix(used);
  }
  return true;
}

std::u16string utf16_units(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = next_code_point(text, i);
    if (cp > 0x10FFFF) cp = replacement;
    if (cp < 0x10000) {
      out += static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
  }
  return out;
}

}  // namespace kestrun::platform
