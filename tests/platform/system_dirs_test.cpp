#include <kavrin/kernel/system_dirs.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "internal/utf.h"
#include "support/fresh_root.h"

namespace {

using WideFn = UINT (*)(LPWSTR, UINT);
using AnsiFn = UINT (*)(LPSTR, UINT);

struct Directory {
  const char* name;
  WideFn wide;
  AnsiFn ansi;
  const char* below_root;
};

const Directory kDirectories[] = {
    {"Windows", GetWindowsDirectoryW, GetWindowsDirectoryA, "Windows"},
    {"SystemWindows", GetSystemWindowsDirectoryW, GetSystemWindowsDirectoryA, "Windows"},
    {"System", GetSystemDirectoryW, GetSystemDirectoryA, "Windows/System32"},
};

// Windows' counting: the size needed with the terminator when the buffer is
// too small (nothing copied), the characters copied without it otherwise.
template <typename Char, typename Fn>
void ExpectCopiedLikeWindows(Fn fn, const std::basic_string<Char>& expected) {
  const auto length = static_cast<UINT>(expected.size());
  EXPECT_EQ(fn(nullptr, 0), length + 1);
  std::basic_string<Char> buffer(length + 1, Char{'#'});
  EXPECT_EQ(fn(buffer.data(), length), length + 1);
  EXPECT_EQ(buffer, std::basic_string<Char>(length + 1, Char{'#'})) << "a short buffer is left alone";
  EXPECT_EQ(fn(buffer.data(), length + 1), length);
  EXPECT_EQ(buffer, expected + Char{});
}

}  // namespace

class SystemDirs : public kavrin::test::FreshRoot {};

TEST_F(SystemDirs, AreInsideTheMachineRoot) {
  for (const auto& dir : kDirectories) {
    SCOPED_TRACE(dir.name);
    const std::filesystem::path expected = root() / dir.below_root;
    ExpectCopiedLikeWindows(dir.wide, kavrin::platform::ToUtf16(expected.string()));
    ExpectCopiedLikeWindows(dir.ansi, expected.string());
    EXPECT_TRUE(std::filesystem::is_directory(expected));
  }
}

TEST_F(SystemDirs, AnsiFormsUseTheAnsiCodePage) {
  const std::filesystem::path machine = root() / "机器";  // UTF-8 on disk, GBK for the A forms
  setenv("KAVRIN_ROOT", machine.c_str(), 1);
  const std::string gbk_root = root().string() + "/\xBB\xFA\xC6\xF7";
  for (const auto& dir : kDirectories) {
    SCOPED_TRACE(dir.name);
    ExpectCopiedLikeWindows(dir.wide, kavrin::platform::ToUtf16((machine / dir.below_root).string()));
    ExpectCopiedLikeWindows(dir.ansi, gbk_root + "/" + dir.below_root);
  }
}
