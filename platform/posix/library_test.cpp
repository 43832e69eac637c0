// Loading shared libraries: a real one by its full path, and the files that are not loadable.
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <gnu/libc-version.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace kestrun::platform {
namespace {

// The C library this test runs on, found through one of its functions.
std::filesystem::path libc_path() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&::gnu_get_libc_version), &info) == 0) return {};
  return info.dli_fname;
}

TEST(LibraryTest, LoadsAndFindsSymbols) {
  const auto path = libc_path();
  ASSERT_FALSE(path.empty());
  auto lib = library::open(path);
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(lib->symbol("gnu_get_libc_version"), reinterpret_cast<void*>(&::gnu_get_libc_version));
  EXPECT_EQ(lib->symbol("no_such_symbol_here"), nullptr);
}

TEST(LibraryTest, UnloadableFilesGiveNull) {
  test::temp_folder temp;
  const auto text = temp.write("kellar-junk.so", "not a library");
  std::filesystem::create_directory(temp / "folder.so");
  struct row {
    const char* name;
    std::filesystem::path path;
  };
  const row rows[] = {{"empty path", {}},
                      {"missing file", temp / "missing.so"},
                      {"not a library", text},
                      {"a folder", temp / "folder.so"}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(library::open(r.path), nullptr);
  }
}

TEST(LibraryTest, BareNameIsNotSearchedForInSystemFolders) {
  // A bare name means a file in the current folder, never a system library of that name.
  EXPECT_EQ(library::open(libc_path().filename()), nullptr);
}

}  // namespace
}  // namespace kestrun::platform
