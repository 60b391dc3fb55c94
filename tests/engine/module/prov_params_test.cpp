// Provider parameters and random numbers through the exports.
#include "engine_fixture.h"

#include <kavrin/registry.h>
#include <orvex/container_storage.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace orvex::test {
namespace {

class ProvParams : public EngineFixture {
 protected:
  // A 4-byte parameter; checks the length query on the way.
  DWORD DwordParam(HCRYPTPROV prov, DWORD param) {
    DWORD len = 0;
    EXPECT_TRUE(engine.CPGetProvParam(prov, param, nullptr, &len, 0)) << param;
    EXPECT_EQ(len, 4u) << param;
    DWORD value = 0;
    len = 64;  // more room than needed: the answer gives its own length
    EXPECT_TRUE(engine.CPGetProvParam(prov, param, reinterpret_cast<BYTE*>(&value), &len, 0));
    EXPECT_EQ(len, 4u) << param;
    return value;
  }

  Bytes BytesParam(HCRYPTPROV prov, DWORD param) {
    DWORD len = 0;
    EXPECT_TRUE(engine.CPGetProvParam(prov, param, nullptr, &len, 0));
    Bytes value(len);
    EXPECT_TRUE(engine.CPGetProvParam(prov, param, value.data(), &len, 0));
    EXPECT_EQ(len, value.size());
    return value;
  }

  void SetStoredRestrictTimes(const std::u16string& container, const char16_t* value_name,
                              LONG value) {
    const std::u16string path = std::u16string(orvex::kContainerRootKey) + u"\\" + container;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_WRITE, &key), 0);
    ASSERT_EQ(RegSetValueExW(key, value_name, 0, REG_BINARY, reinterpret_cast<BYTE*>(&value),
                             sizeof value),
              0);
    RegCloseKey(key);
  }
};

TEST_F(ProvParams, FixedFacts) {
  const HCRYPTPROV prov = Acquire(u"Facts", CRYPT_NEWKEYSET);
  ASSERT_NE(prov, 0u);
  const std::pair<DWORD, DWORD> facts[] = {
      {PP_IMPTYPE, CRYPT_IMPL_SOFTWARE}, {PP_VERSION, 0x100},        {PP_PROVTYPE, PROV_RSA_FULL},
      {PP_KEYSPEC, 3},                   {PP_SIG_KEYSIZE_INC, 64},   {PP_KEYX_KEYSIZE_INC, 64},
      {PP_KEYSET_TYPE, 0},               {PP_CRYPT_COUNT_KEY_USE, 0x00050005},
  };
  for (const auto& [param, value] : facts) EXPECT_EQ(DwordParam(prov, param), value) << param;

  const std::string name = "Kavrin Orvex v1.0 Dorvel";
  const Bytes expected(name.c_str(), name.c_str() + name.size() + 1);
  EXPECT_EQ(BytesParam(prov, PP_NAME), expected);
  Bytes short_buffer(expected.size() - 1, 0xEE);
  DWORD len = static_cast<DWORD>(short_buffer.size());
  SetLastError(0);
  EXPECT_FALSE(engine.CPGetProvParam(prov, PP_NAME, short_buffer.data(), &len, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(short_buffer, Bytes(expected.size() - 1, 0xEE));

  // The record of PP_ENUMALGS_EX has a size but is never delivered.
  len = 0;
  EXPECT_TRUE(engine.CPGetProvParam(prov, PP_ENUMALGS_EX, nullptr, &len, 0));
  EXPECT_EQ(len, 88u);
  Bytes record(88);
  EXPECT_FALSE(engine.CPGetProvParam(prov, PP_ENUMALGS_EX, record.data(), &len, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);

  for (DWORD param : {PP_ENUMALGS, PP_ENUMCONTAINERS, PP_KEYSET_SEC_DESCR, PP_KEYSTORAGE,
                      PP_ADMIN_PIN, PP_KEYEXCHANGE_PIN, PP_SIGNATURE_PIN, 0x02000000u, 99u}) {
    len = 64;
    SetLastError(0);
    EXPECT_FALSE(engine.CPGetProvParam(prov, param, record.data(), &len, 0)) << param;
    EXPECT_EQ(GetLastError(), NTE_BAD_TYPE) << param;
  }
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
}

TEST_F(ProvParams, ContainerNameAndKeysetType) {
  const HCRYPTPROV in_registry = Acquire(u"容器", CRYPT_NEWKEYSET);
  const HCRYPTPROV on_disk = Acquire(u"OnDisk", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET);
  ASSERT_NE(in_registry, 0u);
  ASSERT_NE(on_disk, 0u);
  // The name in the ANSI code page (936 by default), with its terminator.
  EXPECT_EQ(BytesParam(in_registry, PP_CONTAINER), (Bytes{0xC8, 0xDD, 0xC6, 0xF7, 0}));
  EXPECT_EQ(BytesParam(on_disk, PP_CONTAINER), (Bytes{'O', 'n', 'D', 'i', 's', 'k', 0}));
  EXPECT_EQ(DwordParam(in_registry, PP_KEYSET_TYPE), 0u);
  EXPECT_EQ(DwordParam(on_disk, PP_KEYSET_TYPE), static_cast<DWORD>(CRYPT_MACHINE_KEYSET));
  EXPECT_TRUE(engine.CPReleaseContext(in_registry, 0));
  EXPECT_TRUE(engine.CPReleaseContext(on_disk, 0));
}

TEST_F(ProvParams, AttemptsLeftComeFromTheStoredCounters) {
  ASSERT_TRUE(engine.CPReleaseContext(Acquire(u"Counted", CRYPT_NEWKEYSET), 0));
  struct Case {
    LONG signature, exchange;
    DWORD answer;
  };
  const Case cases[] = {
      {6, 6, 0x00050005},  // never failed
      {3, 6, 0x00050004},  // one wrong PIN on the signature key
      {-1, 0, 0x00010000}, // signature key locked; exchange key at its last attempt
  };
  for (const Case& c : cases) {
    SetStoredRestrictTimes(u"Counted", orvex::kSignatureSlotValues[2], c.signature);
    SetStoredRestrictTimes(u"Counted", orvex::kExchangeSlotValues[2], c.exchange);
    const HCRYPTPROV prov = Acquire(u"Counted");
    ASSERT_NE(prov, 0u);
    EXPECT_EQ(DwordParam(prov, PP_CRYPT_COUNT_KEY_USE), c.answer);
    EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
  }
}

TEST_F(ProvParams, SeedFileUnderALongHomeDirectory) {
  // Longer than any fixed small buffer for the seed file's name.
  const auto home = root() / "home" / std::string(120, 'h');
  std::filesystem::create_directories(home);
  const char* saved_home = std::getenv("HOME");
  const std::string previous = saved_home != nullptr ? saved_home : "";
  setenv("HOME", home.c_str(), 1);
  unsetenv("RANDFILE");

  BYTE first[32] = {}, second[32] = {};
  testing::internal::CaptureStdout();
  const BOOL ok = engine.CPGenRandom(0, sizeof first, first) &&
                  engine.CPGenRandom(0, sizeof second, second);
  const std::string out = testing::internal::GetCapturedStdout();
  if (saved_home != nullptr) setenv("HOME", previous.c_str(), 1);

  ASSERT_TRUE(ok) << out;
  EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
  EXPECT_EQ(out, "seeded enough!\nseeded enough!\n");
  EXPECT_EQ(std::filesystem::file_size(home / ".rnd"), 1024u);
}

TEST_F(ProvParams, SeedFileInTheMachineRootWithoutAHome) {
  const char* saved_home = std::getenv("HOME");
  const std::string previous = saved_home != nullptr ? saved_home : "";
  unsetenv("HOME");
  unsetenv("RANDFILE");
  BYTE bytes[8] = {};
  const BOOL ok = engine.CPGenRandom(0, sizeof bytes, bytes);
  if (saved_home != nullptr) setenv("HOME", previous.c_str(), 1);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(std::filesystem::exists(root() / ".rnd"));
}

}  // namespace
}  // namespace orvex::test
