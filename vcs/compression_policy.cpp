// The formats stored raw.
#include "vcs/compression_policy.h"

#include "common/text.h"

namespace kestrun::vcs {

const std::set<std::wstring>& compressed_extensions() {
  static const std::set<std::wstring> extensions = [] {
    static const char* const list[] = {"zip", "rar",  "7z",   "gz",   "tgz", "arj", "lha",
                                       "ha",  "jpg",  "jpeg", "png",  "gif", "avi", "mp4",
                                       "mkv", "mka",  "3gp",  "divx", "flv", "vob", "mpeg",
                                       "mov", "webm", "wmv",  "mp3",  "ogg", "aac", "flac"};
    std::set<std::wstring> set;
    for (const char* entry : list) set.insert(L"." + utf8_to_utf16(entry));
    return set;
  }();
  return extensions;
}

}  // namespace kestrun::vcs
