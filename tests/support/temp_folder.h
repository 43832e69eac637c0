// A temporary folder for one test, removed by the destructor unless KVCS_KEEP_TEMP is set.
#pragma once

#include <filesystem>
#include <string>

namespace kestrun::test {

class temp_folder {
 public:
  temp_folder();
  ~temp_folder();
  temp_folder(const temp_folder&) = delete;
  temp_folder& operator=(const temp_folder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Names are UTF-8 (bytes on POSIX) on every platform.
  std::filesystem::path operator/(const std::string& name) const;

  // Writes a file (and its parent folders) below the folder; returns its path.
  std::filesystem::path write(const std::string& relative, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

// Reads a whole file as bytes; empty when it cannot be read.
std::string slurp(const std::filesystem::path& path);

}  // namespace kestrun::test
