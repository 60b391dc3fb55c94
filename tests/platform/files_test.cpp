#include <kavrin/kernel/files.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "internal/utf.h"
#include "support/fresh_root.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kRead = GENERIC_READ;
constexpr DWORD kWrite = GENERIC_WRITE;
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class FilesTest : public kavrin::test::FreshRoot {
 protected:
  static HANDLE Open(const char16_t* name, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileW(name, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  void Put(const fs::path& relative, const std::string& content) {
    fs::create_directories((root() / relative).parent_path());
    std::ofstream(root() / relative, std::ios::binary) << content;
  }

  std::string Get(const fs::path& relative) {
    std::ifstream in(root() / relative, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

  // Runs body in a child process; returns its exit code.
  static int InChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(FilesTest, DispositionsCreateOpenAndTruncateAsDocumented) {
  const struct {
    DWORD disposition;
    bool exists;
    bool opens;
    DWORD error;
    const char* content_after;  // nullptr: no file
  } cases[] = {
      {CREATE_NEW, false, true, ERROR_SUCCESS, ""},
      {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
      {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
      {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
      {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
      {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
      {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
      {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "disposition " << c.disposition << (c.exists ? " on existing" : " on missing"));
    fs::remove(root() / "f.bin");
    if (c.exists) Put("f.bin", "old");
    SetLastError(12345);
    HANDLE h = Open(u"C:\\f.bin", kReadWrite, 0, c.disposition);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
    EXPECT_EQ(GetLastError(), c.error);
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(fs::exists(root() / "f.bin"), c.content_after != nullptr);
    if (c.content_after != nullptr) {
      EXPECT_EQ(Get("f.bin"), c.content_after);
    }
  }
}

TEST_F(FilesTest, OpenFailuresReportTheWindowsError) {
  fs::create_directories(root() / "dir");
  const struct {
    const char16_t* name;
    DWORD access;
    DWORD disposition;
    DWORD error;
  } cases[] = {
      {u"C:\\missing\\f", kRead, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"C:\\missing\\f", kReadWrite, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
      {u"C:\\dir", kRead, OPEN_EXISTING, ERROR_ACCESS_DENIED},
      {u"C:\\dir", kReadWrite, OPEN_ALWAYS, ERROR_ACCESS_DENIED},
      {u"C:\\dir\\f", kRead, TRUNCATE_EXISTING, ERROR_INVALID_PARAMETER},
      {u"C:\\dir\\f", kRead, 0, ERROR_INVALID_PARAMETER},
      {u"C:\\dir\\*", kRead, OPEN_EXISTING, ERROR_INVALID_NAME},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    EXPECT_EQ(Open(c.name, c.access, 0, c.disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(CreateFileW(u"C:\\dir\\f", kRead, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FilesTest, ReadsWritesSeeksAndSizes) {
  HANDLE h = Open(u"C:\\data.bin", kReadWrite, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(h, "hello world", 11, &done, nullptr));
  EXPECT_EQ(done, 11u);
  DWORD high = 7;
  EXPECT_EQ(GetFileSize(h, &high), 11u);
  EXPECT_EQ(high, 0u);

  EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
  char buffer[32] = {};
  ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "world");
  ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &done, nullptr));  // end of file: success, nothing read
  EXPECT_EQ(done, 0u);

  EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_END), 6u);
  EXPECT_EQ(SetFilePointer(h, -7, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_TRUE(FlushFileBuffers(h));
  EXPECT_FALSE(ReadFile(h, buffer, 1, &done, reinterpret_cast<LPOVERLAPPED>(buffer)));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(CloseHandle(h));

  // A handle does only what its access allows.
  h = Open(u"C:\\data.bin", kRead, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(FlushFileBuffers(h));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(h));
  h = Open(u"C:\\data.bin", kWrite, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ReadFile(h, buffer, 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(Get("data.bin"), "hello world");
}

TEST_F(FilesTest, BadHandlesAreRefused) {
  HANDLE h = Open(u"C:\\f", kReadWrite, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(h));
  char byte;
  DWORD done;
  for (HANDLE bad : {h, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr), reinterpret_cast<HANDLE>(0x1235)}) {
    SetLastError(0);
    EXPECT_FALSE(ReadFile(bad, &byte, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
}

TEST_F(FilesTest, AnsiNamesAreConvertedFromTheAnsiCodePage) {
  // "密码.txt" in code page 936.
  HANDLE h = CreateFileA("C:\\\xC3\xDC\xC2\xEB.txt", kReadWrite, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_TRUE(fs::exists(root() / "密码.txt"));
}

// A second open is refused when either handle denies what the other does.
TEST_F(FilesTest, SharingModesAreEnforcedBetweenHandles) {
  const struct {
    DWORD first_access, first_share, second_access, second_share;
    bool second_opens;
  } cases[] = {
      {kRead, FILE_SHARE_READ, kRead, FILE_SHARE_READ, true},
      {kRead, FILE_SHARE_READ, kWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, false},    // first denies writing
      {kReadWrite, FILE_SHARE_READ, kRead, FILE_SHARE_READ, false},                   // second denies, first writes
      {kReadWrite, FILE_SHARE_READ, kRead, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
      {kRead, 0, kRead, kShareAll, false},                                            // first denies reading
      {kWrite, FILE_SHARE_WRITE, kWrite, FILE_SHARE_WRITE, true},
      {kWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, kRead, FILE_SHARE_WRITE, true},   // nobody else reads
      {kRead, FILE_SHARE_READ | FILE_SHARE_WRITE, kRead, FILE_SHARE_READ, true},     // nobody else writes
      {0, 0, kReadWrite, kShareAll, false},
  };
  Put("shared.bin", "content");
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    HANDLE first = Open(u"C:\\shared.bin", c.first_access, c.first_share, OPEN_EXISTING);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Open(u"C:\\shared.bin", c.second_access, c.second_share, OPEN_EXISTING);
    EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.second_opens);
    if (second == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    } else {
      CloseHandle(second);
    }
    CloseHandle(first);
    // Closing the first handle lifts its restrictions.
    second = Open(u"C:\\shared.bin", c.second_access, c.second_share, OPEN_EXISTING);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
  }
}

TEST_F(FilesTest, RefusedCreateAlwaysLeavesTheHeldFileIntact) {
  Put("held.bin", "keep me");
  HANDLE held = Open(u"C:\\held.bin", kRead, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(u"C:\\held.bin", kReadWrite, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Get("held.bin"), "keep me");
  CloseHandle(held);
}

TEST_F(FilesTest, SharingModesAreEnforcedAcrossProcesses) {
  Put("log.txt", "");
  HANDLE writer = Open(u"C:\\log.txt", kReadWrite, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  auto open_in_child = [](DWORD access, DWORD share) {
    return InChild([=] {
      HANDLE h = Open(u"C:\\log.txt", access, share, OPEN_EXISTING);
      return h == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
    });
  };
  EXPECT_EQ(open_in_child(kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE), static_cast<int>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(open_in_child(kRead, FILE_SHARE_READ), static_cast<int>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(open_in_child(kRead, FILE_SHARE_READ | FILE_SHARE_WRITE), 0);
  CloseHandle(writer);
  EXPECT_EQ(open_in_child(kReadWrite, FILE_SHARE_READ), 0);

  // And the other way round: a handle held by another process refuses ours.
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    HANDLE h = Open(u"C:\\log.txt", kRead, 0, OPEN_EXISTING);
    char byte = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
    (void)!write(ready[1], &byte, 1);
    (void)!read(release[0], &byte, 1);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');
  EXPECT_EQ(Open(u"C:\\log.txt", kRead, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  (void)!write(release[1], &byte, 1);
  int status = 0;
  waitpid(pid, &status, 0);
  HANDLE h = Open(u"C:\\log.txt", kRead, kShareAll, OPEN_EXISTING);  // the holder is gone
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST_F(FilesTest, DeleteFileHonoursDeleteSharing) {
  Put("a.bin", "a");
  fs::create_directories(root() / "dir");
  HANDLE h = Open(u"C:\\a.bin", kRead, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_FALSE(DeleteFileW(u"C:\\a.bin"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(h);
  h = Open(u"C:\\a.bin", kRead, kShareAll, OPEN_EXISTING);
  EXPECT_TRUE(DeleteFileW(u"C:\\A.BIN"));
  CloseHandle(h);
  EXPECT_FALSE(fs::exists(root() / "a.bin"));

  const struct {
    const char16_t* name;
    DWORD error;
  } failures[] = {
      {u"C:\\a.bin", ERROR_FILE_NOT_FOUND},
      {u"C:\\missing\\a.bin", ERROR_PATH_NOT_FOUND},
      {u"C:\\dir", ERROR_ACCESS_DENIED},
  };
  for (const auto& c : failures) {
    EXPECT_FALSE(DeleteFileW(c.name));
    EXPECT_EQ(GetLastError(), c.error);
  }
  Put("b.bin", "b");
  EXPECT_TRUE(DeleteFileA("C:\\b.bin"));
}

TEST_F(FilesTest, CreateDirectoryAndShellCreateDirectory) {
  EXPECT_TRUE(CreateDirectoryW(u"C:\\Log", nullptr));
  EXPECT_FALSE(CreateDirectoryA("C:\\Log", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryW(u"C:\\no\\such", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  Put("file", "x");
  const std::u16string system = kavrin::platform::ToUtf16((root() / "Windows/System32").string());
  const struct {
    std::u16string path;
    int result;
  } cases[] = {
      {system + u"\\Orvex\\container", ERROR_SUCCESS},
      {system + u"\\orvex\\Container", ERROR_ALREADY_EXISTS},
      {u"C:\\file", ERROR_FILE_EXISTS},
      {u"C:\\file\\sub", ERROR_PATH_NOT_FOUND},
      {u"relative\\dir", ERROR_BAD_PATHNAME},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(kavrin::platform::ToUtf8(c.path));
    EXPECT_EQ(SHCreateDirectoryExW(nullptr, c.path.c_str(), nullptr), c.result);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.result));
  }
  EXPECT_TRUE(fs::is_directory(root() / "Windows/System32/Orvex/container"));
}

TEST_F(FilesTest, AttributesAndExistence) {
  Put("dir/f.txt", "x");
  EXPECT_EQ(GetFileAttributesW(u"C:\\dir"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW(u"C:\\dir\\f.txt"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(PathFileExistsW(u"C:\\DIR\\F.TXT"));
  EXPECT_EQ(GetFileAttributesW(u"C:\\dir\\g.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(PathFileExistsW(u"C:\\nodir\\f.txt"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(PathFileExistsW(u"C:\\dir\\*"));

  HANDLE h = CreateFileW(u"C:\\ro.txt", kReadWrite, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(GetFileAttributesW(u"C:\\ro.txt"), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Open(u"C:\\ro.txt", kReadWrite, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  h = Open(u"C:\\ro.txt", kRead, 0, OPEN_EXISTING);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_FALSE(DeleteFileW(u"C:\\ro.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
