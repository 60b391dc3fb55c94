#include <kavrin/errors.h>
#include <kavrin/kernel/text.h>
#include <kavrin/registry.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "internal/utf.h"
#include "registry_test_support.h"
#include "support/fresh_root.h"

namespace {

struct RoundTrip {
  UINT code_page;
  std::u16string text;
  std::string bytes;
};

// The machine's code page is 936 until the registry says otherwise.
const RoundTrip kRoundTrips[] = {
    {936, u"保管箱密码", "\xB1\xA3\xB9\xDC\xCF\xE4\xC3\xDC\xC2\xEB"},
    {CP_ACP, u"A保管箱", "A\xB1\xA3\xB9\xDC\xCF\xE4"},
    {CP_UTF8, u"保管箱", "\xE4\xBF\x9D\xE7\xAE\xA1\xE7\xAE\xB1"},
    {CP_UTF8, u"x\U0001F600", "x\xF0\x9F\x98\x80"},
    {1252, u"caf\u00E9", "caf\xE9"},
};

std::u16string ToWide(UINT cp, DWORD flags, const std::string& bytes, int length) {
  const int needed = MultiByteToWideChar(cp, flags, bytes.c_str(), length, nullptr, 0);
  if (needed == 0) return u"<failed>";
  std::u16string out(static_cast<size_t>(needed), u'#');
  EXPECT_EQ(MultiByteToWideChar(cp, flags, bytes.c_str(), length, out.data(), needed), needed);
  return out;
}

std::string ToBytes(UINT cp, DWORD flags, const std::u16string& text, int length) {
  const int needed = WideCharToMultiByte(cp, flags, text.c_str(), length, nullptr, 0, nullptr, nullptr);
  if (needed == 0) return "<failed>";
  std::string out(static_cast<size_t>(needed), '#');
  EXPECT_EQ(WideCharToMultiByte(cp, flags, text.c_str(), length, out.data(), needed, nullptr, nullptr), needed);
  return out;
}

}  // namespace

TEST(Text, RoundTripsWithAndWithoutTerminator) {
  for (const auto& c : kRoundTrips) {
    SCOPED_TRACE(c.code_page);
    const auto byte_count = static_cast<int>(c.bytes.size());
    const auto char_count = static_cast<int>(c.text.size());
    // An explicit length converts exactly that much; -1 includes the terminator.
    EXPECT_EQ(ToWide(c.code_page, MB_ERR_INVALID_CHARS, c.bytes, byte_count), c.text);
    EXPECT_EQ(ToWide(c.code_page, 0, c.bytes, -1), c.text + u'\0');
    EXPECT_EQ(ToBytes(c.code_page, 0, c.text, char_count), c.bytes);
    EXPECT_EQ(ToBytes(c.code_page, 0, c.text, -1), c.bytes + '\0');
  }
  // The flag pair the provider passes for container names.
  EXPECT_EQ(ToWide(CP_ACP, MB_PRECOMPOSED | MB_ERR_INVALID_CHARS, kRoundTrips[0].bytes, -1),
            kRoundTrips[0].text + u'\0');
}

TEST(Text, IllFormedBytesFailOnlyWhenAskedTo) {
  const struct {
    UINT code_page;
    std::string bytes;
    std::u16string lenient;
  } cases[] = {
      {CP_UTF8, "a\xC3", u"a\uFFFD"},                  // cut short
      {CP_UTF8, "\xC0\xAF", u"\uFFFD\uFFFD"},          // overlong '/'
      {CP_UTF8, "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
      {936, "\xB1\xA3\x81", u"保\uFFFD"},              // lead byte without its trail
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const auto length = static_cast<int>(c.bytes.size());
    WCHAR out[16];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(c.code_page, MB_ERR_INVALID_CHARS, c.bytes.data(), length, out, 16), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(ToWide(c.code_page, 0, c.bytes, length), c.lenient);
  }
}

TEST(Text, UnrepresentableCharactersAndLoneSurrogates) {
  char out[16] = {};
  BOOL used = -1;
  // The caller's default character, reported as used; '?' without one.
  EXPECT_EQ(WideCharToMultiByte(1252, 0, u"a密b", 3, out, 16, "*", &used), 3);
  EXPECT_EQ(std::string(out, 3), "a*b");
  EXPECT_EQ(used, TRUE);
  EXPECT_EQ(WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, u"\u0E01密", 2, out, 16, nullptr, &used), 3);
  EXPECT_EQ(std::string(out, 3), "?\xC3\xDC");
  EXPECT_EQ(used, TRUE);
  EXPECT_EQ(WideCharToMultiByte(936, 0, u"密", 1, out, 16, nullptr, &used), 2);
  EXPECT_EQ(used, FALSE);
  // A double-byte default character is taken whole.
  EXPECT_EQ(WideCharToMultiByte(936, 0, u"\u0E01", 1, out, 16, "\xA3\xBF", nullptr), 2);
  EXPECT_EQ(std::string(out, 2), "\xA3\xBF");

  const std::u16string lone = {u'a', char16_t{0xD800}, u'b'};
  EXPECT_EQ(ToBytes(CP_UTF8, 0, lone, 3), "a\xEF\xBF\xBD" "b");
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone.c_str(), 3, out, 16, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(Text, BuffersTooSmallReportTheShortfall) {
  WCHAR wide[4] = {u'#', u'#', u'#', u'#'};
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcd", -1, wide, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 2, wide, 4), 2);
  EXPECT_EQ(wide[2], u'#') << "an explicit length adds no terminator";

  char narrow[4] = {};
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(936, 0, u"保管", -1, narrow, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(WideCharToMultiByte(936, 0, u"保管", -1, nullptr, 0, nullptr, nullptr), 5);
}

TEST(Text, BadArgumentsAndFlags) {
  WCHAR wide[8];
  char narrow[8];
  BOOL used = FALSE;
  const struct {
    const char* what;
    std::function<int()> call;
    DWORD error;
  } cases[] = {
      {"null input", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 8); }, ERROR_INVALID_PARAMETER},
      {"empty input", [&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 8); }, ERROR_INVALID_PARAMETER},
      {"length -2", [&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", -2, wide, 8); }, ERROR_INVALID_PARAMETER},
      {"null output with a size", [&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 8); },
       ERROR_INVALID_PARAMETER},
      {"negative output size",
       [&] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, narrow, -1, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"unknown code page", [&] { return MultiByteToWideChar(12345, 0, "abc", 3, wide, 8); }, ERROR_INVALID_PARAMETER},
      {"default character with UTF-8",
       [&] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, narrow, 8, "?", nullptr); }, ERROR_INVALID_PARAMETER},
      {"used-default flag with UTF-8",
       [&] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, narrow, 8, nullptr, &used); }, ERROR_INVALID_PARAMETER},
      {"precomposed with UTF-8", [&] { return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", 3, wide, 8); },
       ERROR_INVALID_FLAGS},
      {"strict encoding outside UTF-8",
       [&] { return WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS, u"abc", 3, narrow, 8, nullptr, nullptr); },
       ERROR_INVALID_FLAGS},
      {"composite forms", [&] { return MultiByteToWideChar(936, MB_COMPOSITE, "abc", 3, wide, 8); },
       ERROR_INVALID_FLAGS},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(c.call(), 0) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
}

TEST(Text, Lengths) {
  EXPECT_EQ(lstrlenW(u"保管箱"), 3);
  EXPECT_EQ(lstrlenW(nullptr), 0);
  EXPECT_EQ(lstrlenA("\xB1\xA3"), 2);
  EXPECT_EQ(lstrlenA(nullptr), 0);
}

TEST(Text, UpperCaseMatchesTheRegistrysNameComparison) {
  std::u16string text = u"Orvex-é-ß-保管箱";
  EXPECT_EQ(CharUpperBuffW(text.data(), 7), 7u);
  EXPECT_EQ(text, u"ORVEX-É-ß-保管箱");  // only the first seven characters
  std::u16string rest = text;
  CharUpperBuffW(rest.data(), static_cast<DWORD>(rest.size()));
  EXPECT_TRUE(kavrin::platform::EqualsIgnoreCase(rest, u"orvex-é-ß-保管箱"));
  EXPECT_EQ(CharUpperBuffW(nullptr, 4), 0u);
}

class TextOnMachine : public kavrin::test::FreshRoot {
 protected:
  void SetAnsiCodePage(const std::u16string& number) {
    const auto key = kavrin::test::CreateKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage");
    ASSERT_EQ(kavrin::test::SetValue(key.get(), u"ACP", REG_SZ, kavrin::test::TextBytes(number)), ERROR_SUCCESS);
  }
};

TEST_F(TextOnMachine, AnsiCodePageFollowsTheRegistry) {
  EXPECT_EQ(ToBytes(CP_ACP, 0, u"密", 1), "\xC3\xDC");
  SetAnsiCodePage(u"1252");
  EXPECT_EQ(ToBytes(CP_ACP, 0, u"caf\u00E9", 4), "caf\xE9");
  EXPECT_EQ(ToWide(CP_ACP, MB_PRECOMPOSED | MB_ERR_INVALID_CHARS, "\xE9", 1), u"\u00E9");
  // A UTF-8 machine: the flags the provider passes with CP_ACP still work.
  SetAnsiCodePage(u"65001");
  EXPECT_EQ(ToWide(CP_ACP, MB_PRECOMPOSED | MB_ERR_INVALID_CHARS, "\xE5\xAF\x86", 3), u"密");
  BOOL used = TRUE;
  char out[8];
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"密", 1, out, 8, "?", &used), 3);
  EXPECT_EQ(used, FALSE);
}
