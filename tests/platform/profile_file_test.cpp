#include <kavrin/kernel/files.h>
#include <kavrin/kernel/profile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "internal/utf.h"
#include "support/fresh_root.h"

namespace fs = std::filesystem;
using kavrin::platform::ToUtf16;

namespace {

constexpr const char16_t* kIni = u"C:\\Orvex\\OrvexContainerInfo.ini";

class ProfileFileTest : public kavrin::test::FreshRoot {
 protected:
  void SetUp() override {
    FreshRoot::SetUp();
    fs::create_directories(root() / "Orvex");
  }

  fs::path IniPath() const { return root() / "Orvex/OrvexContainerInfo.ini"; }

  void PutIni(const std::string& bytes) { std::ofstream(IniPath(), std::ios::binary) << bytes; }

  std::string GetIni() const {
    std::ifstream in(IniPath(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }

  // The value as GetPrivateProfileStringW returns it into a buffer of size.
  static std::u16string Read(const char16_t* section, const char16_t* key, const char16_t* fallback = nullptr,
                             DWORD size = 256, DWORD* count = nullptr) {
    std::u16string buffer(size + 8, u'#');
    const DWORD n = GetPrivateProfileStringW(section, key, fallback, buffer.data(), size, kIni);
    if (count != nullptr) *count = n;
    return buffer.substr(0, n);
  }

  // A NULL-section or NULL-key listing: the first size characters written.
  static std::u16string List(const char16_t* section, DWORD size, DWORD* count) {
    std::u16string buffer(size, u'#');
    *count = GetPrivateProfileStringW(section, nullptr, u"", buffer.data(), size, kIni);
    return buffer;
  }
};

TEST_F(ProfileFileTest, WritesCreateTheFileAndReadsIgnoreCase) {
  ASSERT_TRUE(WritePrivateProfileStringW(u"PubKeyToContainerName", u"0a1b", u"{GUID-1}", kIni));
  ASSERT_TRUE(WritePrivateProfileStringW(u"Other", u"x", u"1", kIni));
  ASSERT_TRUE(WritePrivateProfileStringW(u"pubkeytocontainername", u"ffee", u"{GUID-2}", kIni));
  ASSERT_TRUE(WritePrivateProfileStringW(u"PubKeyToContainerName", u"0A1B", u"{GUID-3}", kIni));
  // A new key joins the end of its section; an overwritten one keeps its place and spelling.
  EXPECT_EQ(GetIni(),
            "[PubKeyToContainerName]\r\n0a1b={GUID-3}\r\nffee={GUID-2}\r\n"
            "[Other]\r\nx=1\r\n");
  EXPECT_EQ(Read(u"PUBKEYTOCONTAINERNAME", u"0a1B"), u"{GUID-3}");
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(Read(u"PubKeyToContainerName", u"x"), u"");
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ProfileFileTest, ValuesFollowWindowsTruncationQuotesAndDefaults) {
  PutIni(
      "; saved by hand\r\n"
      "[Sec]\r\n"
      "  plain = value with blanks \t\r\n"
      "quoted=\"  padded  \"\n"
      "single='x'\r\n"
      "mismatched=\"x'\r\n"
      "empty=\r\n"
      ";hidden=1\r\n"
      "\r\n"
      "[Next]\r\n"
      "k=v");
  const struct {
    const char16_t* section;
    const char16_t* key;
    const char16_t* fallback;
    DWORD size;
    std::u16string expected;
  } cases[] = {
      {u"Sec", u"plain", nullptr, 256, u"value with blanks"},
      {u"sec", u"PLAIN", nullptr, 6, u"value"},  // cut to nSize - 1
      {u"Sec", u"plain", nullptr, 1, u""},
      {u"Sec", u"quoted", nullptr, 256, u"  padded  "},
      {u"Sec", u"single", nullptr, 256, u"x"},
      {u"Sec", u"mismatched", nullptr, 256, u"\"x'"},
      {u"Sec", u"empty", u"unused", 256, u""},
      {u"Sec", u";hidden", u"d", 256, u"d"},
      {u"Sec", u"k", u"dflt \t ", 256, u"dflt"},  // another section's key; default without trailing blanks
      {u"Sec", u"missing", nullptr, 256, u""},
      {u"Nope", u"k", u"abcdef", 4, u"abc"},
      {u"Next", u"k", nullptr, 256, u"v"},  // last line without a line end
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(kavrin::platform::ToUtf8(std::u16string(c.section) + u"/" + c.key));
    DWORD count = 0;
    std::u16string buffer(c.size + 4, u'#');
    count = GetPrivateProfileStringW(c.section, c.key, c.fallback, buffer.data(), c.size, kIni);
    EXPECT_EQ(buffer.substr(0, count), c.expected);
    EXPECT_EQ(count, c.expected.size());
    EXPECT_EQ(buffer[count], u'\0');
    EXPECT_EQ(buffer[c.size], u'#');  // nothing written past the buffer
  }
}

TEST_F(ProfileFileTest, NullSectionOrKeyListsNamesWithWindowsTruncation) {
  PutIni("[A]\r\nk1=1\r\n;c\r\nkey2=2\r\n[Bee]\r\n");
  const struct {
    const char16_t* section;
    DWORD size;
    std::u16string written;
    DWORD count;
  } cases[] = {
      {nullptr, 7, std::u16string(u"A\0Bee\0\0", 7), 6},
      {nullptr, 6, std::u16string(u"A\0Be\0\0", 6), 4},  // last name cut, two nulls, nSize - 2
      {nullptr, 2, std::u16string(u"\0\0", 2), 0},
      {u"a", 9, std::u16string(u"k1\0key2\0\0", 9), 8},
      {u"a", 7, std::u16string(u"k1\0ke\0\0", 7), 5},
      {u"bee", 4, std::u16string(u"\0\0##", 4), 0},  // a section without keys
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    DWORD count = 0;
    EXPECT_EQ(List(c.section, c.size, &count), c.written);
    EXPECT_EQ(count, c.count);
  }
  // A missing section gives the default, as a key lookup would.
  std::u16string buffer(16, u'#');
  EXPECT_EQ(GetPrivateProfileStringW(u"Zed", nullptr, u"none", buffer.data(), 16, kIni), 4u);
  EXPECT_EQ(buffer.substr(0, 5), std::u16string(u"none\0", 5));
}

TEST_F(ProfileFileTest, NullValueDeletesTheKeyAndNullKeyTheSection) {
  PutIni("[A]\r\na=1\r\nb=2\r\n\r\n[B]\r\nc=3\r\n[C]\r\nd=4\r\n");
  ASSERT_TRUE(WritePrivateProfileStringW(u"a", u"A", nullptr, kIni));
  EXPECT_EQ(GetIni(), "[A]\r\nb=2\r\n\r\n[B]\r\nc=3\r\n[C]\r\nd=4\r\n");
  ASSERT_TRUE(WritePrivateProfileStringW(u"B", nullptr, nullptr, kIni));
  EXPECT_EQ(GetIni(), "[A]\r\nb=2\r\n\r\n[C]\r\nd=4\r\n");
  ASSERT_TRUE(WritePrivateProfileStringW(u"C", nullptr, nullptr, kIni));
  EXPECT_EQ(GetIni(), "[A]\r\nb=2\r\n\r\n");
  // Deleting what is not there changes nothing and creates no file.
  EXPECT_TRUE(WritePrivateProfileStringW(u"A", u"zz", nullptr, kIni));
  EXPECT_TRUE(WritePrivateProfileStringW(u"A", u"k", nullptr, u"C:\\Orvex\\new.ini"));
  EXPECT_FALSE(fs::exists(root() / "Orvex/new.ini"));
}

TEST_F(ProfileFileTest, WriteFailures) {
  EXPECT_FALSE(WritePrivateProfileStringW(u"S", u"k", u"v", u"C:\\missing\\x.ini"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(WritePrivateProfileStringW(nullptr, u"k", u"v", kIni));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // A line break would forge entries of its own.
  EXPECT_FALSE(WritePrivateProfileStringW(u"S", u"k", u"v\r\n[Evil]\r\nx=1", kIni));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(fs::exists(IniPath()));

  PutIni("[S]\r\nk=v\r\n");
  fs::permissions(IniPath(), fs::perms(0444));
  EXPECT_FALSE(WritePrivateProfileStringW(u"S", u"k", u"w", kIni));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetIni(), "[S]\r\nk=v\r\n");
}

TEST_F(ProfileFileTest, EncodingsAreKeptAndOtherLinesStayByteForByte) {
  // New files are written in the ANSI code page (936 here).
  ASSERT_TRUE(WritePrivateProfileStringW(u"密钥", u"名", u"值", kIni));
  EXPECT_EQ(GetIni(), "[\xC3\xDC\xD4\xBF]\r\n\xC3\xFB=\xD6\xB5\r\n");
  EXPECT_EQ(Read(u"密钥", u"名"), u"值");

  // A byte that is not valid in the code page survives an unrelated edit.
  PutIni("[S]\r\nodd=\x80\xFF\r\nk=1\n");
  ASSERT_TRUE(WritePrivateProfileStringW(u"S", u"k", u"2", kIni));
  EXPECT_EQ(GetIni(), "[S]\r\nodd=\x80\xFF\r\nk=2\r\n");

  // A UTF-16 file stays UTF-16.
  const std::u16string wide = u"\uFEFF[S]\r\nk=€\r\n";
  PutIni(std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2));
  EXPECT_EQ(Read(u"S", u"k"), u"€");
  ASSERT_TRUE(WritePrivateProfileStringW(u"S", u"n", u"ü", kIni));
  const std::u16string expected = u"\uFEFF[S]\r\nk=€\r\nn=ü\r\n";
  EXPECT_EQ(GetIni(), std::string(reinterpret_cast<const char*>(expected.data()), expected.size() * 2));
}

TEST_F(ProfileFileTest, BareFileNamesLiveInTheWindowsDirectory) {
  ASSERT_TRUE(WritePrivateProfileStringW(u"S", u"k", u"v", u"app.ini"));
  EXPECT_TRUE(fs::exists(root() / "Windows/app.ini"));
  char16_t buffer[8];
  EXPECT_EQ(GetPrivateProfileStringW(u"S", u"k", nullptr, buffer, 8, u"APP.INI"), 1u);
}

TEST_F(ProfileFileTest, IntegersAsWindowsReadsThem) {
  PutIni("[N]\r\na=42\r\nb=-3\r\nc=0x1F\r\nd=12abc\r\ne=abc\r\nf=\"7\"\r\n");
  const struct {
    const char16_t* key;
    UINT expected;
  } cases[] = {{u"a", 42}, {u"b", static_cast<UINT>(-3)}, {u"c", 31}, {u"d", 12},
               {u"e", 0},  {u"f", 7},                     {u"g", 99}};
  for (const auto& c : cases) {
    EXPECT_EQ(GetPrivateProfileIntW(u"N", c.key, 99, kIni), c.expected) << kavrin::platform::ToUtf8(c.key);
  }
}

// A section the size the container map reaches after years of use: one
// entry is still read and written correctly, and nothing else changes.
TEST_F(ProfileFileTest, OneEntryOfAHundredThousand) {
  constexpr int kEntries = 100000;
  std::string file = "[Before]\r\nx=1\r\n[PubKeyToContainerName]\r\n";
  for (int i = 0; i < kEntries; ++i) {
    file += "key" + std::to_string(i) + "={container-" + std::to_string(i) + "}\r\n";
  }
  file += "[After]\r\ny=2\r\n";
  PutIni(file);

  EXPECT_EQ(Read(u"PubKeyToContainerName", u"KEY73456"), u"{container-73456}");
  ASSERT_TRUE(WritePrivateProfileStringW(u"PubKeyToContainerName", u"key50000", u"{changed}", kIni));
  ASSERT_TRUE(WritePrivateProfileStringW(u"PubKeyToContainerName", u"fresh", u"{new}", kIni));
  EXPECT_EQ(Read(u"PubKeyToContainerName", u"key50000"), u"{changed}");
  EXPECT_EQ(Read(u"PubKeyToContainerName", u"fresh"), u"{new}");

  std::string expected = file;
  const std::string old_line = "key50000={container-50000}\r\n";
  expected.replace(expected.find(old_line), old_line.size(), "key50000={changed}\r\n");
  expected.insert(expected.find("[After]"), "fresh={new}\r\n");
  EXPECT_EQ(GetIni(), expected);
}

// Writers in several processes at once: every entry arrives.
TEST_F(ProfileFileTest, ConcurrentWritersLoseNothing) {
  constexpr int kWriters = 4;
  constexpr int kKeysEach = 25;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      int failures = 0;
      for (int k = 0; k < kKeysEach; ++k) {
        const std::u16string key = ToUtf16("w" + std::to_string(w) + "k" + std::to_string(k));
        failures += !WritePrivateProfileStringW(u"PubKeyToContainerName", key.c_str(), u"v", kIni);
      }
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  DWORD count = 0;
  const std::u16string keys = List(u"PubKeyToContainerName", 4096, &count);
  size_t names = 0;
  for (DWORD i = 0; i < count; ++i) names += keys[i] == u'\0';
  EXPECT_EQ(names, static_cast<size_t>(kWriters * kKeysEach));
}

}  // namespace
