#include <kavrin/com.h>

#include <gtest/gtest.h>

#include <string>

#include "internal/utf.h"

namespace {

const GUID kSample = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const std::u16string kSampleText = u"{12345678-9ABC-DEF0-0123-456789ABCDEF}";

std::string Text(const GUID& guid) {
  LPOLESTR text = nullptr;
  EXPECT_EQ(StringFromCLSID(&guid, &text), S_OK);
  std::string out = kavrin::platform::ToUtf8(text);
  CoTaskMemFree(text);
  return out;
}

// X: an upper-case hex digit; V: the variant digit 8, 9, A or B; anything
// else stands for itself.
bool MatchesForm(const std::string& text, const std::string& form) {
  if (text.size() != form.size()) return false;
  for (size_t i = 0; i < form.size(); ++i) {
    const char c = text[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    const bool ok = form[i] == 'X' ? hex : form[i] == 'V' ? (c == '8' || c == '9' || c == 'A' || c == 'B') : c == form[i];
    if (!ok) return false;
  }
  return true;
}

}  // namespace

TEST(Guid, NewGuidsAreRandomVersion4InRegistryForm) {
  GUID a{};
  GUID b{};
  ASSERT_EQ(CoCreateGuid(&a), S_OK);
  ASSERT_EQ(CoCreateGuid(&b), S_OK);
  EXPECT_FALSE(IsEqualGUID(&a, &b));
  EXPECT_TRUE(MatchesForm(Text(a), "{XXXXXXXX-XXXX-4XXX-VXXX-XXXXXXXXXXXX}")) << Text(a);
  EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

TEST(Guid, TextFormsRoundTrip) {
  EXPECT_EQ(Text(kSample), kavrin::platform::ToUtf8(kSampleText));

  WCHAR buffer[GUID_STRING_BUFFER];
  EXPECT_EQ(StringFromGUID2(&kSample, buffer, GUID_STRING_BUFFER), GUID_STRING_BUFFER);
  EXPECT_EQ(std::u16string(buffer), kSampleText);
  EXPECT_EQ(StringFromGUID2(&kSample, buffer, GUID_STRING_LENGTH), 0) << "no room for the terminator";

  GUID parsed{};
  EXPECT_EQ(CLSIDFromString(kSampleText.c_str(), &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(&parsed, &kSample));
  EXPECT_EQ(CLSIDFromString(u"{12345678-9abc-def0-0123-456789abcdef}", &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(&parsed, &kSample));
  EXPECT_EQ(CLSIDFromString(nullptr, &parsed), S_OK);
  const GUID null_guid{};
  EXPECT_TRUE(IsEqualGUID(&parsed, &null_guid));
}

TEST(Guid, MalformedTextIsRefused) {
  for (const char16_t* text : {u"12345678-9ABC-DEF0-0123-456789ABCDEF", u"{12345678-9ABC-DEF0-0123-456789ABCDEF",
                               u"{12345678-9ABC-DEF0-0123-456789ABCDEF}x", u"{12345678-9ABC-DEF0-0123456789ABCDEF}",
                               u"{1234567G-9ABC-DEF0-0123-456789ABCDEF}", u"{1234}", u""}) {
    GUID parsed{};
    EXPECT_EQ(CLSIDFromString(text, &parsed), CO_E_CLASSSTRING) << kavrin::platform::ToUtf8(text);
  }
}
