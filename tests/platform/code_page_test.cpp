#include "internal/code_page.h"

#include <gtest/gtest.h>

using kavrin::platform::BytesToUtf16;
using kavrin::platform::Utf16ToBytes;

TEST(CodePage, GbkRoundTrip) {
  const std::u16string text = u"保管箱密码";
  const auto bytes = Utf16ToBytes(936, text, true);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->size(), 10u);
  EXPECT_EQ(BytesToUtf16(936, *bytes, true), text);
}

TEST(CodePage, StrictRefusesIllFormedInput) {
  EXPECT_FALSE(BytesToUtf16(65001, "\xC3", true).has_value());
  EXPECT_EQ(BytesToUtf16(65001, "a\xC3", false), std::u16string(u"a\uFFFD"));
  EXPECT_FALSE(Utf16ToBytes(1252, u"密", true).has_value());
  EXPECT_EQ(Utf16ToBytes(1252, u"a密b", false), std::string("a?b"));
}

TEST(CodePage, ReplacementSkipsOnlyTheBadCharacter) {
  const std::u16string lone_high = {u'a', char16_t{0xD800}, u'b'};
  EXPECT_EQ(Utf16ToBytes(1252, lone_high, false), std::string("a?b"));
  EXPECT_EQ(Utf16ToBytes(65001, lone_high, false), std::string("a\xEF\xBF\xBD" "b"));
  EXPECT_EQ(Utf16ToBytes(1252, u"a\U0001F600b", false), std::string("a?b")) << "a pair is one character";
}

// Descriptors are reused between conversions; a conversion that stopped
// midway through a shifted sequence must not leak its state into the next.
TEST(CodePage, FailedConversionLeavesNoStateBehind) {
  EXPECT_FALSE(BytesToUtf16(65000, "+AG\x80", true).has_value());
  EXPECT_EQ(BytesToUtf16(65000, "AB", true), std::u16string(u"AB"));
}
