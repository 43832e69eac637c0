// Server paths as '/'-separated text: the same answers on every platform, whatever the local
// system takes for a separator or a root.
#include "drivers/ftp/remote_path.h"

#include <string>

#include <gtest/gtest.h>

namespace kestrun::net::ftp {
namespace {

TEST(RemotePathTest, Normal) {
  struct row {
    const wchar_t* path;
    const wchar_t* want;
  };
  const row rows[] = {
      {L"/backup/main/files/a", L"/backup/main/files/a"},
      {L"/backup//main/./files/", L"/backup/main/files"},
      {L"/backup/main/../other/x", L"/backup/other/x"},
      {L"/../../x", L"/x"},  // nothing lies above the root
      {L"/a/..", L"/"},
      {L"/", L"/"},
      {L"a/../..", L".."},  // a relative path keeps what nothing takes away
      {L"a/..", L"."},
      {L"", L""},
      // '\' and a drive name are plain characters of a name on the server, here as on Windows.
      {L"/back\\slash/C:/x\\..", L"/back\\slash/C:/x\\.."},
      {L"//server/share", L"/server/share"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::wstring(r.path));
    EXPECT_EQ(remote_normal(r.path), r.want);
  }
}

TEST(RemotePathTest, ParentAndFirstFolderBelow) {
  struct row {
    const wchar_t* path;
    const wchar_t* parent;
    const wchar_t* below_base;  // the first folder below "/base"
  };
  const row rows[] = {
      {L"/base/a/b/file", L"/base/a/b", L"/base/a"},
      {L"/base/a/file", L"/base/a", L"/base/a"},
      {L"/base/file", L"/base", L""},  // directly in the base: no folder between
      {L"/base", L"/", L""},
      {L"/basement/a/file", L"/basement/a", L""},  // not below the base at all
      {L"/other/a/file", L"/other/a", L""},
      {L"/a\\b/file", L"/a\\b", L""},
      {L"/", L"/", L""},
      {L"name", L"", L""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::wstring(r.path));
    EXPECT_EQ(remote_parent(r.path), r.parent);
    EXPECT_EQ(first_folder_below(L"/base", r.path), r.below_base);
  }
  EXPECT_EQ(first_folder_below(L"/", L"/a/file"), L"/a");
  EXPECT_EQ(first_folder_below(L"/", L"/file"), L"");
  EXPECT_EQ(first_folder_below(L"", L"/a/file"), L"");  // no base yet
}

TEST(RemotePathTest, WireFormIsUtf8) {
  EXPECT_EQ(wire_path(L"/a b/caf\u00e9/\U0001F600\\x"), "/a b/caf\xC3\xA9/\xF0\x9F\x98\x80\\x");
}

}  // namespace
}  // namespace kestrun::net::ftp
