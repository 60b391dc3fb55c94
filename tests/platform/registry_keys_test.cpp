#include <thread>

#include "registry_test_support.h"
#include "support/fresh_root.h"

namespace kavrin::test {
namespace {

using RegistryKeys = FreshRoot;

TEST_F(RegistryKeys, CreateMakesIntermediateKeysAndReportsDisposition) {
  const std::u16string path = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Kavrin Orvex v1.0 Dorvel";
  DWORD disposition = 0;
  LONG error = 0;
  EXPECT_NE(CreateKey(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, &error, &disposition), nullptr);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_NE(OpenKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Cryptography\\Defaults"), nullptr);

  EXPECT_NE(CreateKey(HKEY_LOCAL_MACHINE, path, KEY_WRITE, &error, &disposition), nullptr);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

  // RegCreateKeyW creates as well, and opens the existing key.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, u"Software\\A\\B", &key), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(key, u"https", 2), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, u"Software\\A\\B", &key), ERROR_SUCCESS);
  EXPECT_EQ(QueryDword(key, u"https"), 2u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  LONG missing = 0;
  EXPECT_EQ(OpenKey(HKEY_CURRENT_USER, u"Software\\A\\C", KEY_READ, &missing), nullptr);
  EXPECT_EQ(missing, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKeys, NamesIgnoreCaseKeepTheirCaseAndSortLikeTheRegistry) {
  const auto parent = CreateKey(HKEY_CURRENT_USER, u"Software\\Kavrin Certificate Protection\\Orvex\\Container");
  ASSERT_NE(parent, nullptr);
  for (const auto* name : {u"beta", u"Alpha", u"{4BFE8042-A780-452F-AF17-9A424BE31B02}", u"Gamma"}) {
    ASSERT_NE(CreateKey(parent.get(), name), nullptr);
  }
  DWORD disposition = 0;
  EXPECT_NE(CreateKey(parent.get(), u"ALPHA", KEY_ALL_ACCESS, nullptr, &disposition), nullptr);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_NE(OpenKey(HKEY_CURRENT_USER, u"SOFTWARE\\kavrin certificate protection\\ORVEX\\container\\BETA"), nullptr);

  EXPECT_EQ(SubKeyNames(parent.get()),
            (std::vector<std::u16string>{u"Alpha", u"beta", u"Gamma", u"{4BFE8042-A780-452F-AF17-9A424BE31B02}"}));

  WCHAR name[8];
  DWORD chars = 5;  // "Alpha" needs six with its terminator
  EXPECT_EQ(RegEnumKeyExW(parent.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  chars = 6;
  EXPECT_EQ(RegEnumKeyExW(parent.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(chars, 5u);
  chars = 8;
  EXPECT_EQ(RegEnumKeyExW(parent.get(), 4, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryKeys, PathForms) {
  const std::u16string longest(255, u'k');
  const struct {
    std::u16string path;
    LONG create;
    const char16_t* opens;  // the key the path names, when it is valid
  } cases[] = {
      {u"\\Software\\Lead", ERROR_BAD_PATHNAME, nullptr},
      {u"Software\\Trail\\", ERROR_SUCCESS, u"Software\\Trail"},
      {u"Software\\\\Double", ERROR_SUCCESS, u"Software\\Double"},
      {u"Software\\" + longest, ERROR_SUCCESS, nullptr},
      {u"Software\\" + longest + u"k", ERROR_INVALID_PARAMETER, nullptr},
  };
  for (const auto& c : cases) {
    LONG error = 0;
    CreateKey(HKEY_CURRENT_USER, c.path, KEY_ALL_ACCESS, &error);
    EXPECT_EQ(error, c.create) << ::testing::PrintToString(c.path.size());
    OpenKey(HKEY_CURRENT_USER, c.path, KEY_READ, &error);
    EXPECT_EQ(error, c.create);
    if (c.opens != nullptr) {
      EXPECT_NE(OpenKey(HKEY_CURRENT_USER, c.opens), nullptr);
    }
  }
  // Without a sub-key, open gives a new handle to the same key.
  const auto software = OpenKey(HKEY_CURRENT_USER, u"Software", KEY_ALL_ACCESS);
  HKEY same = nullptr;
  ASSERT_EQ(RegOpenKeyExW(software.get(), nullptr, 0, KEY_READ, &same), ERROR_SUCCESS);
  EXPECT_NE(same, software.get());
  EXPECT_EQ(SubKeyNames(same).size(), 3u);
  EXPECT_EQ(RegCloseKey(same), ERROR_SUCCESS);
  // A predefined key opened without a sub-key is itself.
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"", 0, KEY_READ, &same), ERROR_SUCCESS);
  EXPECT_EQ(same, HKEY_CURRENT_USER);
}

TEST_F(RegistryKeys, DeleteKeyRefusesKeysWithSubKeys) {
  const auto provider = CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider");
  const auto ours = CreateKey(provider.get(), u"Kavrin Orvex v1.0 Dorvel\\Child");
  ASSERT_NE(ours, nullptr);
  ASSERT_EQ(SetDword(ours.get(), u"Type", 1), ERROR_SUCCESS);

  EXPECT_EQ(RegDeleteKeyW(provider.get(), u"Kavrin Orvex v1.0 Dorvel"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(provider.get(), u"kavrin orvex v1.0 dorvel\\child"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(provider.get(), u"Kavrin Orvex v1.0 Dorvel"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(provider.get(), u"Kavrin Orvex v1.0 Dorvel"), ERROR_FILE_NOT_FOUND);

  // The values went with the key.
  const auto again = CreateKey(provider.get(), u"Kavrin Orvex v1.0 Dorvel\\Child");
  EXPECT_TRUE(ValueNames(again.get()).empty());

  // Whole trees go with RegDeleteTreeW; HKEY_CLASSES_ROOT's key stays.
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft"), ERROR_SUCCESS);
  EXPECT_EQ(SubKeyNames(OpenKey(HKEY_LOCAL_MACHINE, u"SOFTWARE").get()), std::vector<std::u16string>{u"Classes"});
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryKeys, HandleToDeletedKeyReportsKeyDeleted) {
  const auto container = CreateKey(HKEY_CURRENT_USER, u"Software\\Orvex\\Container\\c1");
  ASSERT_EQ(SetDword(container.get(), u"s_algid", 0x2400), ERROR_SUCCESS);
  const auto root = OpenKey(HKEY_CURRENT_USER, u"Software\\Orvex\\Container", KEY_ALL_ACCESS);
  ASSERT_EQ(RegDeleteKeyW(root.get(), u"c1"), ERROR_SUCCESS);
  // A new key of the same name is another key.
  ASSERT_NE(CreateKey(root.get(), u"c1"), nullptr);

  HKEY h = container.get();
  DWORD size = 0;
  WCHAR name[16];
  DWORD chars = 16;
  HKEY sub = nullptr;
  EXPECT_EQ(RegQueryValueExW(h, u"s_algid", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_EQ(SetDword(h, u"s_algid", 1), ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteValueW(h, u"s_algid"), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumKeyExW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegEnumValueW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCreateKeyExW(h, u"x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExW(h, u"", 0, KEY_READ, &sub), ERROR_KEY_DELETED);
}

TEST_F(RegistryKeys, RightsOfTheHandleAreEnforced) {
  ASSERT_NE(CreateKey(HKEY_CURRENT_USER, u"Software\\Zone\\Existing"), nullptr);
  const auto reader = OpenKey(HKEY_CURRENT_USER, u"Software\\Zone", KEY_READ);
  const auto writer = OpenKey(HKEY_CURRENT_USER, u"Software\\Zone", KEY_WRITE);
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(SetDword(writer.get(), u"https", 2), ERROR_SUCCESS);

  HKEY sub = nullptr;
  const struct {
    const char* what;
    std::function<LONG()> call;
    LONG expected;
  } cases[] = {
      {"set value, read handle", [&] { return SetDword(reader.get(), u"https", 3); }, ERROR_ACCESS_DENIED},
      {"delete value, read handle", [&] { return RegDeleteValueW(reader.get(), u"https"); }, ERROR_ACCESS_DENIED},
      {"create key, read handle",
       [&] { return RegCreateKeyExW(reader.get(), u"New", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr); },
       ERROR_ACCESS_DENIED},
      {"delete key, read handle", [&] { return RegDeleteKeyW(reader.get(), u"Existing"); }, ERROR_ACCESS_DENIED},
      {"query value, write handle",
       [&] { return RegQueryValueExW(writer.get(), u"https", nullptr, nullptr, nullptr, nullptr); },
       ERROR_ACCESS_DENIED},
      {"enumerate keys, write handle",
       [&] {
         WCHAR name[16];
         DWORD chars = 16;
         return RegEnumKeyExW(writer.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr);
       },
       ERROR_ACCESS_DENIED},
      {"query value, read handle",
       [&] { return RegQueryValueExW(reader.get(), u"https", nullptr, nullptr, nullptr, nullptr); },
       ERROR_SUCCESS},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
  EXPECT_EQ(QueryDword(reader.get(), u"https"), 2u);

  // An existing sub-key may still be opened through a read handle.
  EXPECT_EQ(RegCreateKeyExW(reader.get(), u"Existing", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
}

TEST_F(RegistryKeys, ClassesRootIsMachineSoftwareClasses) {
  const auto progid = CreateKey(HKEY_CLASSES_ROOT, u"KavrinCtl.MidInterface\\CLSID");
  ASSERT_NE(progid, nullptr);
  ASSERT_EQ(SetValue(progid.get(), nullptr, REG_SZ, TextBytes(u"{4BFE8042-A780-452F-AF17-9A424BE31B02}")),
            ERROR_SUCCESS);
  const auto machine = OpenKey(HKEY_LOCAL_MACHINE, u"Software\\Classes\\KavrinCtl.MidInterface\\CLSID");
  ASSERT_NE(machine, nullptr);
  const auto value = QueryValue(machine.get(), nullptr);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data, TextBytes(u"{4BFE8042-A780-452F-AF17-9A424BE31B02}"));
  EXPECT_EQ(SubKeyNames(HKEY_CLASSES_ROOT), std::vector<std::u16string>{u"KavrinCtl.MidInterface"});
  EXPECT_TRUE(SubKeyNames(HKEY_CURRENT_USER).empty());
}

TEST_F(RegistryKeys, HandlesAndInfo) {
  const auto key = CreateKey(HKEY_CURRENT_USER, u"Software\\Info");
  ASSERT_NE(CreateKey(key.get(), u"abc"), nullptr);
  ASSERT_NE(CreateKey(key.get(), u"abcdef"), nullptr);
  ASSERT_EQ(SetValue(key.get(), u"ex_i64LockTime", REG_BINARY, Bytes(8)), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(key.get(), u"s", REG_BINARY, Bytes(300)), ERROR_SUCCESS);

  // A handle works from any thread of the process.
  std::thread([&] {
    DWORD sub_keys = 0, max_sub_key = 0, values = 0, max_name = 0, max_data = 0;
    EXPECT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &sub_keys, &max_sub_key, nullptr, &values,
                               &max_name, &max_data, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(sub_keys, 2u);
    EXPECT_EQ(max_sub_key, 6u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(max_name, 14u);
    EXPECT_EQ(max_data, 300u);
  }).join();

  HKEY raw = OpenKey(HKEY_CURRENT_USER, u"Software").release();
  EXPECT_EQ(RegCloseKey(raw), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  HKEY sub = nullptr;
  EXPECT_EQ(RegOpenKeyExW(raw, u"Info", 0, KEY_READ, &sub), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"x", 0, KEY_READ, &sub), ERROR_INVALID_HANDLE);
  EXPECT_EQ(sub, nullptr);
}

}  // namespace
}  // namespace kavrin::test
