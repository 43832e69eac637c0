// The text of a path as the Windows calls of this layer hand it to the system.
#pragma once

#include <filesystem>
#include <string>

namespace kestrun::platform {

// Past MAX_PATH the system takes an absolute path only in its \\?\ form, which it uses as it
// stands: '\' separators only, no "." or ".." elements. Shorter paths, and relative ones, go as
// they are.
std::wstring system_path(const std::filesystem::path& path);

}  // namespace kestrun::platform
