#include <thread>

#include "internal/code_page.h"
#include "registry_test_support.h"
#include "support/fresh_root.h"

namespace kavrin::test {
namespace {

using kavrin::platform::AnsiCodePage;
using kavrin::platform::Utf16ToAnsi;

constexpr const char16_t* kCodePageKey = u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage";

LONG SetAcp(DWORD type, const Bytes& data) {
  const auto key = CreateKey(HKEY_LOCAL_MACHINE, kCodePageKey);
  return SetValue(key.get(), u"ACP", type, data);
}

using RegistryCodePage = FreshRoot;

TEST_F(RegistryCodePage, DefaultsTo936) {
  EXPECT_EQ(AnsiCodePage(), 936u);
  EXPECT_EQ(Utf16ToAnsi(u"密"), "\xC3\xDC");
}

TEST_F(RegistryCodePage, StoredValueIsHonouredAsSoonAsItChanges) {
  EXPECT_EQ(AnsiCodePage(), 936u);
  ASSERT_EQ(SetAcp(REG_SZ, TextBytes(u"1252")), ERROR_SUCCESS);
  EXPECT_EQ(AnsiCodePage(), 1252u);
  EXPECT_EQ(Utf16ToAnsi(u"é"), "\xE9");

  // Written by another connection, then removed.
  std::thread([] { ASSERT_EQ(SetAcp(REG_SZ, BytesOf(u"65001", 10)), ERROR_SUCCESS); }).join();
  EXPECT_EQ(AnsiCodePage(), 65001u);
  ASSERT_EQ(RegDeleteValueW(OpenKey(HKEY_LOCAL_MACHINE, kCodePageKey, KEY_ALL_ACCESS).get(), u"ACP"), ERROR_SUCCESS);
  EXPECT_EQ(AnsiCodePage(), 936u);

  // A value rolled back is forgotten.
  {
    RegTransaction transaction(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(SetAcp(REG_SZ, TextBytes(u"1251")), ERROR_SUCCESS);
    EXPECT_EQ(AnsiCodePage(), 1251u);
  }
  EXPECT_EQ(AnsiCodePage(), 936u);
}

TEST_F(RegistryCodePage, UnreadableValuesLeaveTheDefault) {
  const DWORD number = 1252;
  const struct {
    DWORD type;
    Bytes data;
  } cases[] = {
      {REG_DWORD, BytesOf(&number, sizeof(number))},
      {REG_SZ, TextBytes(u"12a")},
      {REG_SZ, TextBytes(u"")},
      {REG_SZ, TextBytes(u"0")},
      {REG_SZ, TextBytes(u"70000")},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(SetAcp(c.type, c.data), ERROR_SUCCESS);
    EXPECT_EQ(AnsiCodePage(), 936u) << c.data.size();
  }
}

}  // namespace
}  // namespace kavrin::test
