#include "internal/paths.h"

#include <kavrin/kernel/files.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "internal/utf.h"
#include "support/fresh_root.h"

namespace fs = std::filesystem;
using kavrin::platform::MapWindowsPath;
using kavrin::platform::NativePath;
using kavrin::platform::ToUtf16;

namespace {

class PathsTest : public kavrin::test::FreshRoot {};

TEST_F(PathsTest, MapsWindowsPathsOntoTheMachineRoot) {
  const std::u16string native_root = ToUtf16(root().string());
  const struct {
    std::u16string windows;
    fs::path expected;
  } cases[] = {
      {u"C:\\Windows\\x.ini", root() / "Windows/x.ini"},
      {u"c:/Windows/x.ini", root() / "Windows/x.ini"},
      {u"C:", root()},
      {u"\\Windows\\System32", root() / "Windows/System32"},
      {u"D:\\data\\f.txt", root() / "drives/d/data/f.txt"},
      {u"z:\\f", root() / "drives/z/f"},
      {u"C:\\a\\.\\b\\\\c\\", root() / "a/b/c"},
      {u"C:\\a\\..\\..\\..\\etc\\passwd", root() / "etc/passwd"},  // never above the root
      {u"\\\\?\\C:\\long\\name", root() / "long/name"},
      {native_root + u"\\Orvex\\container", root() / "Orvex/container"},
      {u"/tmp\\x/y", "/tmp/x/y"},
      {u"sub\\f.txt", fs::current_path() / "sub/f.txt"},
      {u"..\\f.txt", fs::current_path().parent_path() / "f.txt"},
      {u"C:\\密码\\文件", root() / "密码/文件"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(kavrin::platform::ToUtf8(c.windows));
    fs::path out;
    ASSERT_EQ(MapWindowsPath(c.windows, &out), ERROR_SUCCESS);
    EXPECT_EQ(out, c.expected.lexically_normal());
  }
}

TEST_F(PathsTest, RefusesPathsWindowsRefuses) {
  const struct {
    std::u16string windows;
    DWORD error;
  } cases[] = {
      {u"", ERROR_PATH_NOT_FOUND},
      {u"\\\\server\\share\\f", ERROR_PATH_NOT_FOUND},
      {u"\\\\.\\PhysicalDrive0", ERROR_PATH_NOT_FOUND},
      {u"\\\\?\\UNC\\server\\share", ERROR_PATH_NOT_FOUND},
      {u"C:\\dir\\*.txt", ERROR_INVALID_NAME},
      {u"C:\\dir\\a?b", ERROR_INVALID_NAME},
      {u"C:\\dir\\a:stream", ERROR_INVALID_NAME},
      {u"C:\\a|b", ERROR_INVALID_NAME},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(kavrin::platform::ToUtf8(c.windows));
    fs::path out;
    EXPECT_EQ(MapWindowsPath(c.windows, &out), c.error);
    EXPECT_TRUE(NativePath(c.windows).empty());
  }
}

// Windows names are case-insensitive: a directory created as "container"
// is found as "Container", and a new file lands in the existing directory.
TEST_F(PathsTest, MatchesExistingNamesIgnoringCase) {
  fs::create_directories(root() / "Orvex/container");
  std::ofstream(root() / "Orvex/container/Key1") << "x";

  EXPECT_EQ(NativePath(u"C:\\ORVEX\\Container\\key1"), root() / "Orvex/container/Key1");
  EXPECT_EQ(NativePath(u"C:\\orvex\\CONTAINER\\New\\x"), root() / "Orvex/container/New/x");
  const std::u16string native = ToUtf16(root().string()) + u"\\Orvex\\Container\\KEY1";
  EXPECT_EQ(NativePath(native), root() / "Orvex/container/Key1");

  // The exact spelling wins when both exist.
  std::ofstream(root() / "Orvex/container/key1") << "y";
  EXPECT_EQ(NativePath(u"C:\\Orvex\\container\\key1"), root() / "Orvex/container/key1");
}

}  // namespace
