// The reparse data of Windows links as plain bytes. Windows hands these blocks to and from the
// file system; building and reading them here, on every platform, keeps their layout under test
// where no junction can be made.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrun::platform {

namespace {

// The fields before the names, the same in both forms up to the print name's length.
constexpr std::size_t tag_at = 0;
constexpr std::size_t substitute_offset_at = 8;
constexpr std::size_t substitute_length_at = 10;
constexpr std::size_t print_offset_at = 12;
constexpr std::size_t print_length_at = 14;
constexpr std::size_t mount_point_names_at = 16;
constexpr std::size_t symlink_names_at = 20;  // a symbolic link keeps 4 bytes of flags first

// Room for "\??\", the target, the '\' appended and the zero unit.
constexpr std::size_t junction_units = (junction_block_size - mount_point_names_at) / 2;
constexpr std::u16string_view nt_prefix = u"\\??\\";

std::uint32_t read_u16(const std::uint8_t* data, std::size_t at) {
  return static_cast<std::uint32_t>(data[at] | (data[at + 1] << 8));
}

std::uint32_t read_u32(const std::uint8_t* data, std::size_t at) {
  return read_u16(data, at) | (read_u16(data, at + 2) << 16);
}

void write_u16(std::vector<std::uint8_t>& block, std::size_t at, std::size_t value) {
  block[at] = static_cast<std::uint8_t>(value & 0xFF);
  block[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

void write_u32(std::vector<std::uint8_t>& block, std::size_t at, std::uint32_t value) {
  write_u16(block, at, value & 0xFFFF);
  write_u16(block, at + 2, value >> 16);
}

// The name that `offset` and `length` (bytes, counted from `names_at`) give, when it lies inside
// the data and is made of whole units.
bool read_name(const std::uint8_t* data, std::size_t size, std::size_t names_at,
               std::size_t offset_at, std::size_t length_at, std::u16string& name) {
  const std::size_t offset = read_u16(data, offset_at);
  const std::size_t length = read_u16(data, length_at);
  if (length % 2 != 0 || names_at + offset + length > size) return false;
  name.clear();
  const std::uint8_t* units = data + names_at + offset;
  for (std::size_t i = 0; i < length; i += 2) {
    name += static_cast<char16_t>(units[i] | (units[i + 1] << 8));
  }
  return true;
}

std::u16string without_nt_prefix(std::u16string name) {
  if (std::u16string_view(name).substr(0, nt_prefix.size()) == nt_prefix) {
    name.erase(0, nt_prefix.size());
  }
  return name;
}

// UTF-16 units as the platform's wide text; an unpaired surrogate is kept as its own unit, for
// the strict conversions to refuse later.
std::wstring wide_from_units(std::u16string_view units) {
  std::wstring out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char32_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      append_code_point(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00), out);
      ++i;
    } else {
      out += static_cast<wchar_t>(unit);
    }
  }
  return out;
}

}  // namespace

bool junction_reparse_data(std::wstring_view target, std::vector<std::uint8_t>& block,
                           std::size_t& length) {
  std::u16string text = std::u16string(nt_prefix) + utf16_units(target) + u'\\';
  // A zero unit would end the name early; the block holds what fits and nothing else.
  if (text.find(u'\0') != std::u16string::npos || text.size() + 1 > junction_units) return false;
  for (char16_t& unit : text) {
    if (unit == u'/') unit = u'\\';
  }
  block.assign(junction_block_size, 0);
  // The stored name leaves the appended '\' out, and the empty print name sits on the zero unit.
  const std::size_t substitute_length = 2 * text.size() - 2;
  write_u32(block, tag_at, reparse_tag_mount_point);
  write_u32(block, 4, static_cast<std::uint32_t>(substitute_length + 12));
  write_u16(block, substitute_offset_at, 0);
  write_u16(block, substitute_length_at, substitute_length);
  write_u16(block, print_offset_at, substitute_length + 2);
  write_u16(block, print_length_at, 0);
  for (std::size_t i = 0; i < text.size(); ++i) {
    write_u16(block, mount_point_names_at + 2 * i, text[i]);
  }
  length = substitute_length + 20;
  return true;
}

bool reparse_data_target(const std::uint8_t* data, std::size_t size, std::wstring& target) {
  target.clear();
  if (size < mount_point_names_at) return false;
  const std::uint32_t tag = read_u32(data, tag_at);
  std::u16string name;
  if (tag == reparse_tag_mount_point) {
    if (!read_name(data, size, mount_point_names_at, substitute_offset_at, substitute_length_at,
                   name)) {
      return false;
    }
    target = wide_from_units(without_nt_prefix(std::move(name)));
    return true;
  }
  if (tag != reparse_tag_symlink || size < symlink_names_at) return false;
  // The print name is the text the link was made with; the substitute name is the system's
  // form of it, which is all some tools write.
  if (!read_name(data, size, symlink_names_at, print_offset_at, print_length_at, name)) {
    return false;
  }
  if (name.empty()) {
    if (!read_name(data, size, symlink_names_at, substitute_offset_at, substitute_length_at,
                   name)) {
      return false;
    }
    name = without_nt_prefix(std::move(name));
  }
  target = wide_from_units(name);
  return true;
}

}  // namespace kestrun::platform
