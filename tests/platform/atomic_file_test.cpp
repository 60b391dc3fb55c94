#include "internal/atomic_file.h"

#include <kavrin/kernel/files.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/fresh_root.h"

namespace fs = std::filesystem;
using kavrin::platform::ReplaceFileAtomically;
using kavrin::platform::WriteAll;

namespace {

class AtomicFileTest : public kavrin::test::FreshRoot {
 protected:
  std::string Get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

  // Names in the directory: a replacement leaves no temporary behind.
  std::vector<std::string> Entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    return names;
  }
};

TEST_F(AtomicFileTest, ReplacesAndCreatesWholeFiles) {
  const fs::path target = root() / "c.bin";
  ASSERT_EQ(ReplaceFileAtomically(target, "first"), ERROR_SUCCESS);
  EXPECT_EQ(Get(target), "first");
  fs::permissions(target, fs::perms(0640));
  ASSERT_EQ(ReplaceFileAtomically(target, std::string(100000, 'x')), ERROR_SUCCESS);
  EXPECT_EQ(Get(target), std::string(100000, 'x'));
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));  // the replacement keeps the permissions
  EXPECT_EQ(Entries(root()), std::vector<std::string>{"c.bin"});

  // Through a symbolic link the file it names is replaced; the link stays.
  fs::create_symlink(target, root() / "link.bin");
  ASSERT_EQ(ReplaceFileAtomically(root() / "link.bin", "via link"), ERROR_SUCCESS);
  EXPECT_TRUE(fs::is_symlink(root() / "link.bin"));
  EXPECT_EQ(Get(target), "via link");
}

TEST_F(AtomicFileTest, AFailedWriteKeepsTheOldContent) {
  const fs::path target = root() / "c.bin";
  ASSERT_EQ(ReplaceFileAtomically(target, "old content"), ERROR_SUCCESS);
  const DWORD error = ReplaceFileAtomically(target, [](int fd) -> DWORD {
    WriteAll(fd, "half of the new");
    return ERROR_DISK_FULL;
  });
  EXPECT_EQ(error, ERROR_DISK_FULL);
  EXPECT_EQ(Get(target), "old content");
  EXPECT_EQ(Entries(root()), std::vector<std::string>{"c.bin"});

  EXPECT_EQ(ReplaceFileAtomically(root() / "missing/c.bin", "x"), ERROR_PATH_NOT_FOUND);
  fs::create_directories(root() / "dir");
  EXPECT_EQ(ReplaceFileAtomically(root() / "dir", "x"), ERROR_ACCESS_DENIED);
}

TEST_F(AtomicFileTest, PublicReplaceHonoursSharingAndReadersKeepTheOldFile) {
  ASSERT_TRUE(KavrinReplaceFileContents(u"C:\\Orvex.bin", "v1", 2));
  HANDLE reader = CreateFileW(u"C:\\orvex.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(KavrinReplaceFileContents(u"C:\\ORVEX.BIN", "version 2", 9));
  EXPECT_EQ(Get(root() / "Orvex.bin"), "version 2");
  char buffer[16];
  DWORD done = 0;
  ASSERT_TRUE(ReadFile(reader, buffer, sizeof(buffer), &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "v1");  // an open handle reads the file it opened, whole
  CloseHandle(reader);

  HANDLE denier = CreateFileW(u"C:\\Orvex.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(denier, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(KavrinReplaceFileContents(u"C:\\Orvex.bin", "v3", 2));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Get(root() / "Orvex.bin"), "version 2");
  CloseHandle(denier);

  EXPECT_FALSE(KavrinReplaceFileContents(u"C:\\no\\dir.bin", "x", 1));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
