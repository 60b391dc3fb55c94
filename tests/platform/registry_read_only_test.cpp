#include "registry_test_support.h"
#include "support/fresh_root.h"

namespace kavrin::test {
namespace {

constexpr const char16_t* kProvider = u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

class RegistryReadOnly : public FreshRoot {
 protected:
  void SetUp() override {
    FreshRoot::SetUp();
    const auto ours = CreateKey(HKEY_LOCAL_MACHINE, std::u16string(kProvider) + u"\\Kavrin Orvex v1.0 Dorvel");
    ASSERT_EQ(SetDword(ours.get(), u"Type", 1), ERROR_SUCCESS);
    // Opened for writing before the key turns read-only.
    early_ = OpenKey(HKEY_LOCAL_MACHINE, std::u16string(kProvider) + u"\\Kavrin Orvex v1.0 Dorvel", KEY_ALL_ACCESS);
    ASSERT_EQ(KavrinRegSetKeyReadOnly(HKEY_LOCAL_MACHINE, kProvider, TRUE), ERROR_SUCCESS);
  }
  void TearDown() override {
    early_.reset();
    FreshRoot::TearDown();
  }
  Key early_;
};

TEST_F(RegistryReadOnly, KeyAndSubtreeRefuseEveryWrite) {
  const std::u16string ours = std::u16string(kProvider) + u"\\Kavrin Orvex v1.0 Dorvel";
  HKEY key = nullptr;
  const struct {
    const char* what;
    std::function<LONG()> call;
  } refused[] = {
      {"open for writing", [&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProvider, 0, KEY_WRITE, &key); }},
      {"open beneath for all access",
       [&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, ours.c_str(), 0, KEY_ALL_ACCESS, &key); }},
      {"create an existing key for writing",
       [&] {
         return RegCreateKeyExW(HKEY_LOCAL_MACHINE, ours.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
       }},
      {"create a new key beneath", [&] { return RegCreateKeyW(HKEY_LOCAL_MACHINE, (ours + u"\\New").c_str(), &key); }},
      {"set a value", [&] { return SetDword(early_.get(), u"Type", 2); }},
      {"delete a value", [&] { return RegDeleteValueW(early_.get(), u"Type"); }},
      {"create a sub-key", [&] { return RegCreateKeyW(early_.get(), u"Sub", &key); }},
      {"delete the key", [&] { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, ours.c_str()); }},
      {"delete an ancestor's tree", [&] { return RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft"); }},
  };
  for (const auto& c : refused) EXPECT_EQ(c.call(), ERROR_ACCESS_DENIED) << c.what;

  // Reading stays possible; RegCreateKeyW opens an existing key with what it grants.
  const auto reader = OpenKey(HKEY_LOCAL_MACHINE, ours, KEY_READ);
  EXPECT_EQ(QueryDword(reader.get(), u"Type"), 1u);
  ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, ours.c_str(), &key), ERROR_SUCCESS);
  EXPECT_EQ(QueryDword(key, u"Type"), 1u);
  EXPECT_EQ(SetDword(key, u"Type", 2), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  // Keys beside it are not affected, and clearing the mark restores writing.
  EXPECT_NE(CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Cryptography\\Other"), nullptr);
  ASSERT_EQ(KavrinRegSetKeyReadOnly(HKEY_LOCAL_MACHINE, kProvider, FALSE), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(early_.get(), u"Type", 2), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft"), ERROR_SUCCESS);
}

TEST_F(RegistryReadOnly, MarkingAMissingKeyCreatesIt) {
  const std::u16string zone = u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Domains";
  ASSERT_EQ(KavrinRegSetKeyReadOnly(HKEY_CURRENT_USER, zone.c_str(), TRUE), ERROR_SUCCESS);
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, (zone + u"\\bank.example").c_str(), &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(KavrinRegSetKeyReadOnly(HKEY_CURRENT_USER, u"Software\\Missing", FALSE), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace kavrin::test
