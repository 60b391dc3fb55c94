// Acquiring and releasing contexts through the CryptoAPI host: finding the
// provider, the front module finding, checking and loading the engine, and
// handles that keep contexts and providers apart.
#include "tests/host/provider_machine.h"

#include <orvex/container_storage.h>

#include <algorithm>
#include <fstream>

namespace {

using kavrin::test::ProviderMachine;

constexpr char16_t kEchoProvider[] = u"Kavrin Echo Provider";

class Host : public ProviderMachine {
 protected:
  void SetUp() override {
    ProviderMachine::SetUp();
    RegisterProvider();
  }

  // Registers a provider under another name with these values.
  static void RegisterOther(const char16_t* name, std::optional<DWORD> type,
                            std::optional<std::u16string> image) {
    const std::u16string key = std::u16string(orvex::kProviderParentKey) + u"\\" + name;
    if (type) {
      const auto* bytes = reinterpret_cast<const BYTE*>(&*type);
      SetProviderValue(u"Type", REG_DWORD, std::vector<BYTE>(bytes, bytes + sizeof(DWORD)), key);
    }
    if (image) SetProviderValue(u"Image Path", REG_SZ, TextBytes(*image), key);
  }

  static bool AllBytes(const std::vector<BYTE>& bytes, BYTE value) {
    return std::all_of(bytes.begin(), bytes.end(), [value](BYTE b) { return b == value; });
  }

  static std::vector<BYTE> Random(HCRYPTPROV prov) {
    std::vector<BYTE> bytes(32, 0);
    EXPECT_TRUE(CryptGenRandom(prov, static_cast<DWORD>(bytes.size()), bytes.data()))
        << std::hex << GetLastError();
    return bytes;
  }
};

TEST_F(Host, ProviderRegistrationProblemsFailTheAcquisition) {
  struct Case {
    const char* what;
    const char16_t* provider;
    DWORD type;
    DWORD error;
  };
  RegisterOther(u"No Image", 1, std::nullopt);
  RegisterOther(u"No Type", std::nullopt, u"/nowhere/provider.so");
  RegisterOther(u"Missing Module", 1, (root() / "absent.so").u16string());
  RegisterOther(u"No Entry Points", 1, std::filesystem::path(KAVRIN_MODULE_FIXTURE).u16string());
  const Case cases[] = {
      {"unknown provider", u"No Such Provider", 1, NTE_KEYSET_NOT_DEF},
      {"type does not match", orvex::kProviderNameW, 24, NTE_PROV_TYPE_NO_MATCH},
      {"no default for the type", nullptr, 1, NTE_PROV_TYPE_NOT_DEF},
      {"no \"Image Path\"", u"No Image", 1, NTE_PROV_TYPE_ENTRY_BAD},
      {"no \"Type\"", u"No Type", 1, NTE_PROV_TYPE_ENTRY_BAD},
      {"module missing", u"Missing Module", 1, NTE_PROVIDER_DLL_FAIL},
      {"module without entry points", u"No Entry Points", 1, NTE_PROVIDER_DLL_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HCRYPTPROV prov = 0xDEAD;
    EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, c.provider, c.type, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(prov, 0u);
  }
  EXPECT_FALSE(FrontLoaded());
}

// Whatever is wrong with the engine, the acquisition fails with a code and
// leaves neither module loaded; a wrong registration is shown to the user on
// every attempt.
TEST_F(Host, EngineProblemsFailEveryAcquisitionWithoutLoadingTheEngine) {
  const std::u16string fixture = std::filesystem::path(KAVRIN_MODULE_FIXTURE).u16string();
  struct Case {
    const char* what;
    std::optional<std::u16string> engine_path;     // nullopt: value removed
    std::optional<std::vector<BYTE>> digest;       // nullopt: value removed
    DWORD error;
    const char* message;                           // shown on each attempt, or null
  };
  const Case cases[] = {
      {"engine path removed", std::nullopt, DigestBytes(EngineModule()), NTE_PROVIDER_DLL_FAIL,
       "message\t提示\t没有检测到有效的CSP2"},
      {"engine file missing", (root() / "OrvexEngine.so").u16string(), DigestBytes(EngineModule()),
       NTE_PROVIDER_DLL_FAIL, nullptr},
      {"engine without entry points", fixture, DigestBytes(KAVRIN_MODULE_FIXTURE),
       NTE_PROVIDER_DLL_FAIL, nullptr},
      {"digest removed", EngineModule().u16string(), std::nullopt, NTE_BAD_SIGNATURE,
       "message\t提示\t没有检测到有效的CSP3"},
      {"digest of another file", EngineModule().u16string(), DigestBytes(KAVRIN_MODULE_FIXTURE),
       NTE_BAD_SIGNATURE, "message\t提示\t没有检测到有效的CSP3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegisterProvider();
    DeleteProviderValue(orvex::kEngineImagePathValue);
    DeleteProviderValue(orvex::kEngineImageDigestValue);
    if (c.engine_path) SetProviderValue(orvex::kEngineImagePathValue, REG_SZ, TextBytes(*c.engine_path));
    if (c.digest) SetProviderValue(orvex::kEngineImageDigestValue, REG_BINARY, *c.digest);
    UseScript({});
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(Acquire(nullptr, CRYPT_VERIFYCONTEXT), 0u);
      EXPECT_EQ(GetLastError(), c.error);
    }
    std::vector<std::string> shown;
    if (c.message != nullptr) shown = {c.message, c.message};
    EXPECT_EQ(ScriptLog(), shown);
    EXPECT_FALSE(EngineLoaded());
    EXPECT_FALSE(FrontLoaded());
  }
}

TEST_F(Host, EngineFileChangedAfterRegistrationIsRefused) {
  const auto engine = root() / "engine" / "OrvexEngine.so";
  std::filesystem::create_directories(engine.parent_path());
  std::filesystem::copy_file(EngineModule(), engine);
  ASSERT_EQ(CallRegistration(engine), S_OK);
  ASSERT_EQ(ProviderValue(orvex::kEngineImagePathValue), TextBytes(engine.u16string()));

  const HCRYPTPROV prov = Acquire(u"Kept", CRYPT_NEWKEYSET);
  ASSERT_NE(prov, 0u) << std::hex << GetLastError();
  ASSERT_TRUE(CryptReleaseContext(prov, 0));
  ASSERT_FALSE(EngineLoaded());

  std::ofstream(engine, std::ios::binary | std::ios::app).put('\0');
  UseScript({});
  EXPECT_EQ(Acquire(u"Kept"), 0u);
  EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
  EXPECT_EQ(ScriptLog(), std::vector<std::string>{"message\t提示\t没有检测到有效的CSP3"});
  EXPECT_FALSE(EngineLoaded());
}

TEST_F(Host, TwoContextsOneReleasedTheOtherStillWorks) {
  const HCRYPTPROV alpha = Acquire(u"Alpha", CRYPT_NEWKEYSET);
  const HCRYPTPROV beta = Acquire(u"Beta", CRYPT_NEWKEYSET);
  ASSERT_NE(alpha, 0u) << std::hex << GetLastError();
  ASSERT_NE(beta, 0u) << std::hex << GetLastError();
  EXPECT_NE(alpha, beta);

  ASSERT_TRUE(CryptReleaseContext(alpha, 0));
  EXPECT_TRUE(EngineLoaded());
  char name[16] = {};
  DWORD length = sizeof name;
  EXPECT_TRUE(CryptGetProvParam(beta, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &length, 0));
  EXPECT_STREQ(name, "Beta");
  BYTE byte = 0;
  EXPECT_FALSE(CryptGenRandom(alpha, 1, &byte));
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);
  EXPECT_FALSE(CryptReleaseContext(alpha, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);
  EXPECT_TRUE(EngineLoaded());

  ASSERT_TRUE(CryptReleaseContext(beta, 0));
  EXPECT_FALSE(EngineLoaded());
  EXPECT_FALSE(FrontLoaded());
}

TEST_F(Host, ReleaseWithFlagsFailsButReleases) {
  const HCRYPTPROV prov = Acquire(u"Flags", CRYPT_NEWKEYSET);
  ASSERT_NE(prov, 0u);
  EXPECT_FALSE(CryptReleaseContext(prov, 1));
  EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
  EXPECT_FALSE(EngineLoaded());
  EXPECT_FALSE(CryptReleaseContext(prov, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);
}

// A deletion hands out no context, so nothing of it stays loaded.
TEST_F(Host, DeletingAKeySetLeavesNothingLoaded) {
  ASSERT_TRUE(CryptReleaseContext(Acquire(u"Doomed", CRYPT_NEWKEYSET), 0));
  HCRYPTPROV prov = 0xDEAD;
  ASSERT_TRUE(CryptAcquireContextW(&prov, u"Doomed", orvex::kProviderNameW, orvex::kProviderType,
                                   CRYPT_DELETEKEYSET));
  EXPECT_EQ(prov, 0u);
  EXPECT_FALSE(EngineLoaded());
  EXPECT_FALSE(FrontLoaded());
  EXPECT_EQ(Acquire(u"Doomed"), 0u);
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
}

// The provider receives container names in the ANSI code page (GBK here);
// a name that code page cannot hold is refused rather than altered.
TEST_F(Host, ContainerNamesTravelInTheAnsiCodePage) {
  const HCRYPTPROV wide = Acquire(u"证书容器", CRYPT_NEWKEYSET);
  ASSERT_NE(wide, 0u) << std::hex << GetLastError();
  const std::u16string stored = std::u16string(orvex::kContainerRootKey) + u"\\证书容器";
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, stored.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);

  // The ANSI form, and the provider chosen as the default of its type.
  const std::u16string types =
      u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 001";
  SetProviderValue(u"Name", REG_SZ, TextBytes(orvex::kProviderNameW), types);
  HCRYPTPROV ansi = 0;
  EXPECT_TRUE(CryptAcquireContextA(&ansi, "\xD6\xA4\xCA\xE9\xC8\xDD\xC6\xF7", nullptr,
                                   PROV_RSA_FULL, 0))
      << std::hex << GetLastError();
  EXPECT_TRUE(CryptReleaseContext(ansi, 0));
  EXPECT_TRUE(CryptReleaseContext(wide, 0));

  EXPECT_EQ(Acquire(u"emoji \U0001F600", CRYPT_NEWKEYSET), 0u);
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET_PARAM);
}

// Both providers hand out the same values; the host keeps them apart.
TEST_F(Host, TwoProvidersLiveSideBySide) {
  RegisterOther(kEchoProvider, 1, std::filesystem::path(KAVRIN_ECHO_PROVIDER).u16string());
  const HCRYPTPROV kavrin = Acquire(u"Side", CRYPT_NEWKEYSET);
  HCRYPTPROV echo = 0;
  ASSERT_NE(kavrin, 0u);
  ASSERT_TRUE(CryptAcquireContextW(&echo, nullptr, kEchoProvider, 1, 0));
  EXPECT_NE(echo, kavrin);
  EXPECT_TRUE(AllBytes(Random(echo), 0x5A));
  EXPECT_FALSE(AllBytes(Random(kavrin), 0x5A));

  HCRYPTKEY echo_key = 0;
  ASSERT_TRUE(CryptGetUserKey(echo, AT_SIGNATURE, &echo_key));
  HCRYPTHASH hash = 0;
  EXPECT_FALSE(CryptCreateHash(kavrin, CALG_SHA1, echo_key, 0, &hash));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  DWORD length = 0;
  EXPECT_FALSE(CryptExportKey(echo_key, 0, PUBLICKEYBLOB, 0, nullptr, &length));
  EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);

  ASSERT_TRUE(CryptReleaseContext(kavrin, 0));
  EXPECT_FALSE(EngineLoaded());
  EXPECT_TRUE(AllBytes(Random(echo), 0x5A));
  ASSERT_TRUE(CryptReleaseContext(echo, 0));
  // Releasing a context takes its keys' handles with it.
  EXPECT_FALSE(CryptDestroyKey(echo_key));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
}

}  // namespace
