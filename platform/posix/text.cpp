// Text and path conversions of the POSIX layer. File names here are bytes: valid UTF-8 maps to code
// points and every other byte is escaped as 0xDC00 + byte, so no name is ever lost or refused.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrun::platform {

namespace {

constexpr char32_t replacement = 0xFFFD;
constexpr char32_t escape_base = 0xDC00;

bool is_surrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

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

void encode_one(char32_t cp, std::string& out) {
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

// wchar_t is signed here; every comparison works on the unsigned code point.
char32_t code_point(wchar_t c) { return static_cast<char32_t>(static_cast<std::uint32_t>(c)); }

}  // namespace

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
    out += static_cast<wchar_t>(cp);
    bytes.remove_prefix(used);
  }
  return out;
}

std::string native_from_wide(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    const char32_t cp = code_point(c);
    if (cp >= escape_base + 0x80 && cp <= escape_base + 0xFF) {
      out += static_cast<char>(cp - escape_base);
    } else if (cp <= 0x10FFFF) {
      // Other lone surrogates take their three-byte form, as the text helpers write them.
      encode_one(cp, out);
    } else {
      // Not a code point at all: there is no byte form a name could hold.
      encode_one(replacement, out);
    }
  }
  return out;
}

std::filesystem::path path_from_wide(std::wstring_view text) {
  // A path built from a std::string takes its bytes unchanged on POSIX.
  return std::filesystem::path(native_from_wide(text));
}

std::wstring wide_from_path(const std::filesystem::path& path) {
  return wide_from_native(path.native());
}

bool strict_utf8_from_wide(std::wstring_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (wchar_t c : text) {
    const char32_t cp = code_point(c);
    if (is_surrogate(cp) || cp > 0x10FFFF) return false;
    encode_one(cp, out);
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
    out += static_cast<wchar_t>(cp);
    text.remove_prefix(used);
  }
  return true;
}

std::u16string utf16_units(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    char32_t cp = code_point(c);
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

std::wstring separators_to_generic(std::wstring text) { return text; }

std::wstring separators_to_native(std::wstring text) { return text; }

}  // namespace kestrun::platform
