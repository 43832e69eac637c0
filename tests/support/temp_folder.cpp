#include "tests/support/temp_folder.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "platform/platform.h"

namespace kestrun::test {

temp_folder::temp_folder() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = std::filesystem::temp_directory_path() /
                     ("kvcs-test-" + std::to_string(rd()) + std::to_string(attempt));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

temp_folder::~temp_folder() {
  if (std::getenv("KVCS_KEEP_TEMP") != nullptr) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path temp_folder::operator/(const std::string& name) const {
  // Through wide text, so that a Windows path does not read the bytes in its ANSI code page.
  return path_ / platform::path_from_wide(platform::wide_from_native(name));
}

std::filesystem::path temp_folder::write(const std::string& relative,
                                         const std::string& content) const {
  auto file = *this / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
  return file;
}

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace kestrun::test
