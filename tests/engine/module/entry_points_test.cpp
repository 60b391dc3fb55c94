// The provider entry points as a caller sees them: argument checks, handle
// resolution and the BOOL plus last error of each.
#include "engine_library.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>
#include <kavrin/registry.h>
#include <orvex/container_storage.h>

#include "tests/support/fresh_root.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr DWORD kUntouched = 0x12345678;
constexpr const char* kPeerVariable = "ORVEX_TEST_PEER";

class EntryPoints : public kavrin::test::FreshRoot {
 protected:
  void SetUp() override {
    FreshRoot::SetUp();
    // A peer process works on the machine root of the test that started it.
    if (const char* peer_root = std::getenv(kPeerVariable)) setenv("KAVRIN_ROOT", peer_root, 1);
    ASSERT_TRUE(engine.Load()) << dlerror();
  }
  void TearDown() override {
    engine.Unload();
    FreshRoot::TearDown();
  }

  // Acquires a context; 0 when the acquisition failed (the last error tells why).
  HCRYPTPROV Acquire(const char16_t* name, DWORD flags) {
    HCRYPTPROV prov = 0xDEAD;
    const BOOL ok = engine.CPAcquireContextW(&prov, const_cast<LPWSTR>(name), flags, nullptr);
    if (!ok) {
      EXPECT_EQ(prov, 0u);
    }
    return ok ? prov : 0;
  }

  // Writes a registry container whose slots hold keys, as a later save would.
  void StoreContainerWithKeys(const std::u16string& name) {
    HKEY key = nullptr;
    const std::u16string path = std::u16string(orvex::kContainerRootKey) + u"\\" + name;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              0);
    auto put = [&](const char16_t* value, std::vector<BYTE> bytes) {
      EXPECT_EQ(RegSetValueExW(key, value, 0, REG_BINARY, bytes.data(),
                               static_cast<DWORD>(bytes.size())),
                0);
    };
    auto le = [](uint64_t v, size_t width) {
      std::vector<BYTE> out;
      for (size_t i = 0; i < width; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
      return out;
    };
    for (const auto* names : {&orvex::kSignatureSlotValues, &orvex::kExchangeSlotValues}) {
      const bool signature = names == &orvex::kSignatureSlotValues;
      put((*names)[0], le(signature ? CALG_RSA_SIGN : CALG_RSA_KEYX, 4));
      put((*names)[1], le(0x40, 4));
      put((*names)[2], le(6, 4));
      put((*names)[3], le(840110, 8));
      put((*names)[4], le(0, 4));
      put((*names)[5], std::vector<BYTE>(148, 0x5A));
    }
    RegCloseKey(key);
  }

  EngineLibrary engine;
};

TEST_F(EntryPoints, LoadingCreatesTheContainerDirectory) {
  EXPECT_TRUE(std::filesystem::is_directory(root() / "Windows" / "System32" / "Orvex" /
                                            "container"));
}

TEST_F(EntryPoints, AcquireFlagChecksComeFirst) {
  struct Case {
    const char16_t* name;
    DWORD flags;
    DWORD error;
  };
  const Case cases[] = {
      {u"", CRYPT_VERIFYCONTEXT, NTE_BAD_FLAGS},
      {u"Named", 0x10000000, NTE_BAD_FLAGS},
      {u"Named", CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, NTE_BAD_FLAGS},
      {nullptr, CRYPT_DELETEKEYSET | CRYPT_VERIFYCONTEXT, NTE_BAD_FLAGS},
      {nullptr, CRYPT_VERIFYCONTEXT, NTE_BAD_KEYSET},
      {u"Missing", 0, NTE_BAD_KEYSET},
      {u"Missing", CRYPT_DELETEKEYSET, NTE_BAD_KEYSET},
      {u"..", CRYPT_NEWKEYSET, NTE_BAD_KEYSET_PARAM},
      {u"a\\b", 0, NTE_BAD_KEYSET_PARAM},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(Acquire(c.name, c.flags), 0u);
    EXPECT_EQ(GetLastError(), c.error) << std::hex << c.flags;
  }
}

TEST_F(EntryPoints, NullNameMeansTheDefaultContainer) {
  const HCRYPTPROV created = Acquire(nullptr, CRYPT_NEWKEYSET);
  ASSERT_NE(created, 0u);
  HKEY key = nullptr;
  const std::u16string path = std::u16string(orvex::kContainerRootKey) + u"\\Orvex";
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), 0);
  RegCloseKey(key);
  const HCRYPTPROV verify = Acquire(nullptr, CRYPT_VERIFYCONTEXT);
  EXPECT_NE(verify, 0u);
  SetLastError(0);
  EXPECT_EQ(Acquire(u"Orvex", CRYPT_NEWKEYSET), 0u);
  EXPECT_EQ(GetLastError(), NTE_EXISTS);
  EXPECT_TRUE(engine.CPReleaseContext(verify, 0));
  EXPECT_TRUE(engine.CPReleaseContext(created, 0));
}

TEST_F(EntryPoints, AnsiNamesArriveThroughTheAnsiCodePage) {
  HCRYPTPROV prov = 0;
  char name[] = "\xC8\xDD\xC6\xF7";  // "容器" in the default ANSI code page (936)
  ASSERT_TRUE(engine.CPAcquireContext(&prov, name, CRYPT_NEWKEYSET, nullptr));
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
  HKEY key = nullptr;
  const std::u16string path = std::u16string(orvex::kContainerRootKey) + u"\\容器";
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), 0);
  RegCloseKey(key);

  char bad[] = "\xFF\xFF";
  prov = 0xDEAD;
  EXPECT_FALSE(engine.CPAcquireContext(&prov, bad, CRYPT_NEWKEYSET, nullptr));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET_PARAM);
  EXPECT_EQ(prov, 0u);
}

TEST_F(EntryPoints, ReleasedHandleNoLongerResolves) {
  const HCRYPTPROV prov = Acquire(u"Once", CRYPT_NEWKEYSET);
  ASSERT_NE(prov, 0u);
  SetLastError(0);
  EXPECT_FALSE(engine.CPReleaseContext(prov, 1));
  EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
  EXPECT_FALSE(engine.CPReleaseContext(0, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
  EXPECT_FALSE(engine.CPReleaseContext(prov, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_PROVIDER);
  DWORD len = 4;
  BYTE data[4];
  EXPECT_FALSE(engine.CPGetProvParam(prov, PP_PROVTYPE, data, &len, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_PROVIDER);
}

TEST_F(EntryPoints, HandleWithAnyBitChangedIsRejected) {
  const HCRYPTPROV prov = Acquire(u"Bits", CRYPT_NEWKEYSET);
  ASSERT_NE(prov, 0u);
  for (unsigned bit = 0; bit < sizeof(HCRYPTPROV) * 8; ++bit) {
    SetLastError(0);
    EXPECT_FALSE(engine.CPReleaseContext(prov ^ (HCRYPTPROV{1} << bit), 0)) << bit;
    EXPECT_EQ(GetLastError(), NTE_BAD_PROVIDER) << bit;
  }
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
}

TEST_F(EntryPoints, HandlesOfOneKindAreNotAcceptedAsAnother) {
  StoreContainerWithKeys(u"Keys");
  const HCRYPTPROV prov = Acquire(u"Keys", 0);
  ASSERT_NE(prov, 0u);
  HCRYPTKEY key = 0;
  ASSERT_TRUE(engine.CPGetUserKey(prov, AT_SIGNATURE, &key));

  SetLastError(0);
  EXPECT_FALSE(engine.CPDestroyKey(prov, prov));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  EXPECT_FALSE(engine.CPSetKeyParam(prov, prov, KP_ALGID, nullptr, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  EXPECT_FALSE(engine.CPReleaseContext(key, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_PROVIDER);
  EXPECT_FALSE(engine.CPDeriveKey(prov, CALG_RC4, key, 0, &key));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH);
  EXPECT_FALSE(engine.CPEncrypt(prov, key, prov, TRUE, 0, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH);

  // The key handle itself works: parameters cannot be set, the handle can be destroyed once.
  EXPECT_FALSE(engine.CPSetKeyParam(prov, key, KP_ALGID, nullptr, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
  EXPECT_TRUE(engine.CPDestroyKey(prov, key));
  EXPECT_FALSE(engine.CPDestroyKey(prov, key));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);

  SetLastError(0);
  EXPECT_FALSE(engine.CPGetUserKey(prov, 3, &key));
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
}

TEST_F(EntryPoints, SlotHandlesStopResolvingWhenTheContainerIsFreed) {
  StoreContainerWithKeys(u"Slots");
  const HCRYPTPROV first = Acquire(u"Slots", 0);
  const HCRYPTPROV second = Acquire(u"Slots", 0);
  const HCRYPTPROV other = Acquire(u"Other", CRYPT_NEWKEYSET);
  ASSERT_NE(first, 0u);
  HCRYPTKEY key = 0;
  ASSERT_TRUE(engine.CPGetUserKey(first, AT_KEYEXCHANGE, &key));

  // Still held by the second context: the slot and its handle live on.
  EXPECT_TRUE(engine.CPReleaseContext(first, 0));
  EXPECT_FALSE(engine.CPSetKeyParam(other, key, KP_ALGID, nullptr, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);

  EXPECT_TRUE(engine.CPReleaseContext(second, 0));
  EXPECT_FALSE(engine.CPSetKeyParam(other, key, KP_ALGID, nullptr, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  EXPECT_TRUE(engine.CPReleaseContext(other, 0));
}

TEST_F(EntryPoints, DeletingAContainerReleasesEveryContextBoundToIt) {
  StoreContainerWithKeys(u"Doomed");
  const HCRYPTPROV a = Acquire(u"Doomed", 0);
  const HCRYPTPROV b = Acquire(u"Doomed", 0);
  const HCRYPTPROV survivor = Acquire(u"Survivor", CRYPT_NEWKEYSET);
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  HCRYPTKEY key = 0;
  ASSERT_TRUE(engine.CPGetUserKey(b, AT_SIGNATURE, &key));

  HCRYPTPROV deleted = 0xDEAD;
  ASSERT_TRUE(engine.CPAcquireContextW(&deleted, const_cast<LPWSTR>(u"Doomed"),
                                       CRYPT_DELETEKEYSET, nullptr));
  EXPECT_EQ(deleted, 0u);
  for (HCRYPTPROV released : {a, b}) {
    EXPECT_FALSE(engine.CPReleaseContext(released, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_PROVIDER);
  }
  EXPECT_FALSE(engine.CPDestroyKey(survivor, key));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  SetLastError(0);
  EXPECT_EQ(Acquire(u"Doomed", 0), 0u);
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  EXPECT_TRUE(engine.CPReleaseContext(survivor, 0));
}

TEST_F(EntryPoints, RowsWithTheirOwnCodes) {
  const HCRYPTPROV prov = Acquire(u"Rows", CRYPT_NEWKEYSET);
  ASSERT_NE(prov, 0u);
  HCRYPTKEY key = 0;
  HCRYPTHASH hash = 0;
  DWORD len = 0;
  BYTE byte = 0;
  struct Row {
    const char* what;
    BOOL result;
    DWORD error;
  };
  auto row = [](const char* what, BOOL result) { return Row{what, result, GetLastError()}; };
  // Session keys are not generated, and the caller's last error stays.
  SetLastError(kUntouched);
  EXPECT_FALSE(engine.CPGenKey(prov, CALG_RC4, 0, &key));
  EXPECT_EQ(GetLastError(), kUntouched);

  const std::vector<std::pair<Row, DWORD>> expected = {
      {row("GenKey hProv 0", engine.CPGenKey(0, AT_SIGNATURE, 0, &key)), ERROR_INVALID_HANDLE},
      {row("GenKey algid", engine.CPGenKey(prov, CALG_MD5, 0, &key)), NTE_BAD_ALGID},
      {row("GenKey bad context", engine.CPGenKey(prov ^ 1, AT_SIGNATURE, 0, &key)),
       NTE_BAD_PROVIDER},
      {row("ExportKey hProv 0", engine.CPExportKey(0, 1, 0, PUBLICKEYBLOB, 0, nullptr, &len)),
       ERROR_INVALID_HANDLE},
      {row("ExportKey hKey 0", engine.CPExportKey(prov, 0, 0, PUBLICKEYBLOB, 0, nullptr, &len)),
       ERROR_INVALID_HANDLE},
      {row("ExportKey type", engine.CPExportKey(prov, 1, 0, PLAINTEXTKEYBLOB, 0, nullptr, &len)),
       NTE_BAD_TYPE},
      {row("ExportKey bad context", engine.CPExportKey(prov ^ 1, 1, 0, 6, 0, nullptr, &len)),
       NTE_BAD_PROVIDER},
      {row("SetHashParam param", engine.CPSetHashParam(prov, 1, HP_ALGID, &byte, 0)),
       ERROR_INVALID_PARAMETER},
      {row("SetHashParam flags", engine.CPSetHashParam(prov, 1, HP_HASHVAL, &byte, 1)),
       NTE_BAD_FLAGS},
      {row("SetHashParam hash", engine.CPSetHashParam(prov, 1, HP_HASHVAL, &byte, 0)),
       NTE_NO_MEMORY},
      {row("GetHashParam param", engine.CPGetHashParam(prov, 1, 3, &byte, &len, 0)),
       NTE_BAD_TYPE},
      {row("GetHashParam flags", engine.CPGetHashParam(prov, 1, HP_HASHSIZE, &byte, &len, 2)),
       NTE_BAD_FLAGS},
      {row("GetHashParam context", engine.CPGetHashParam(prov ^ 1, 1, HP_ALGID, &byte, &len, 0)),
       NTE_BAD_PROVIDER},
      {row("CreateHash flags", engine.CPCreateHash(prov, CALG_MD5, 0, 1, &hash)), NTE_BAD_FLAGS},
      {row("CreateHash algid", engine.CPCreateHash(prov, CALG_SHA_256, 0, 0, &hash)),
       NTE_BAD_ALGID},
      {row("CreateHash key", engine.CPCreateHash(prov, CALG_SHA1, 5, 0, &hash)), NTE_BAD_KEY},
      {row("CreateHash context", engine.CPCreateHash(prov ^ 1, CALG_MD5, 0, 0, &hash)),
       NTE_NO_MEMORY},
      {row("HashData user data", engine.CPHashData(prov, 1, &byte, 1, CRYPT_USERDATA)),
       NTE_BAD_LEN},
      {row("HashData context", engine.CPHashData(prov ^ 1, 1, &byte, 1, 0)), NTE_NO_MEMORY},
      {row("HashSessionKey", engine.CPHashSessionKey(prov, 1, 1, 0)),
       ERROR_CALL_NOT_IMPLEMENTED},
      {row("SignHash flags", engine.CPSignHash(prov, 1, AT_SIGNATURE, nullptr, 1, nullptr, &len)),
       NTE_BAD_FLAGS},
      {row("SignHash context",
           engine.CPSignHash(prov ^ 1, 1, AT_SIGNATURE, nullptr, 0, nullptr, &len)),
       NTE_NO_MEMORY},
      {row("DestroyHash context", engine.CPDestroyHash(prov ^ 1, 1)), NTE_NO_MEMORY},
      {row("VerifySignature flags", engine.CPVerifySignature(prov, 1, &byte, 1, 1, nullptr, 1)),
       NTE_BAD_FLAGS},
      {row("VerifySignature key", engine.CPVerifySignature(prov, 1, &byte, 1, 0, nullptr, 0)),
       NTE_BAD_KEY},
      {row("VerifySignature context",
           engine.CPVerifySignature(prov ^ 1, 1, &byte, 1, 1, nullptr, 0)),
       NTE_NO_MEMORY},
      {row("Decrypt key", engine.CPDecrypt(prov, prov, 0, TRUE, 0, &byte, &len)), NTE_BAD_KEY},
      {row("SetProvParam context", engine.CPSetProvParam(prov ^ 1, PP_CLIENT_HWND, &byte, 0)),
       NTE_BAD_PROVIDER},
      {row("GetUserKey context", engine.CPGetUserKey(prov ^ 1, AT_SIGNATURE, &key)),
       NTE_BAD_PROVIDER},
  };
  for (const auto& [actual, error] : expected) {
    EXPECT_FALSE(actual.result) << actual.what;
    EXPECT_EQ(actual.error, error) << actual.what;
  }

  key = 77;
  EXPECT_FALSE(engine.CPImportKey(prov ^ 1, &byte, 1, 0, 0, &key));
  EXPECT_EQ(GetLastError(), NTE_BAD_PROVIDER);
  EXPECT_EQ(key, 0u);
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
}

TEST_F(EntryPoints, GenRandomNeedsNoContext) {
  BYTE first[32] = {}, second[32] = {};
  EXPECT_TRUE(engine.CPGenRandom(0, sizeof first, first));
  EXPECT_TRUE(engine.CPGenRandom(0, sizeof second, second));
  EXPECT_NE(std::vector<BYTE>(first, first + 32), std::vector<BYTE>(second, second + 32));
  SetLastError(kUntouched);
  EXPECT_FALSE(engine.CPGenRandom(0, 0, first));
  EXPECT_FALSE(engine.CPGenRandom(0, 4, nullptr));
  EXPECT_EQ(GetLastError(), kUntouched);
}

TEST_F(EntryPoints, MachineKeysetCreatesA96ByteFile) {
  const HCRYPTPROV prov = Acquire(u"OnDisk", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET);
  ASSERT_NE(prov, 0u);
  const auto file = root() / "Windows" / "System32" / "Orvex" / "container" / "OnDisk";
  EXPECT_EQ(std::filesystem::file_size(file), orvex::kEmptyFileContainerSize);
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
  const HCRYPTPROV reopened = Acquire(u"OnDisk", 0);
  EXPECT_NE(reopened, 0u);
  EXPECT_TRUE(engine.CPReleaseContext(reopened, 0));
}

// --- Two processes on one container -------------------------------------

// Run only as the child of TwoProcessesShareStorageNotObjects.
TEST_F(EntryPoints, DISABLED_PeerRole) {
  const HCRYPTPROV opened = Acquire(u"Shared", 0);
  ASSERT_NE(opened, 0u);
  SetLastError(0);
  EXPECT_EQ(Acquire(u"Shared", CRYPT_NEWKEYSET), 0u);
  EXPECT_EQ(GetLastError(), NTE_EXISTS);
  HCRYPTPROV deleted = 0;
  ASSERT_TRUE(engine.CPAcquireContextW(&deleted, const_cast<LPWSTR>(u"Shared"),
                                       CRYPT_DELETEKEYSET, nullptr));
  EXPECT_FALSE(engine.CPReleaseContext(opened, 0));
}

int RunPeer(const std::filesystem::path& root) {
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=EntryPoints.DISABLED_PeerRole";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {const_cast<char*>(exe.c_str()), filter.data(), disabled.data(), nullptr};
  // The peer's fixture makes a root of its own; it is told to use ours.
  setenv(kPeerVariable, root.c_str(), 1);
  pid_t pid = 0;
  if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
  unsetenv(kPeerVariable);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(EntryPoints, TwoProcessesShareStorageNotObjects) {
  const HCRYPTPROV mine = Acquire(u"Shared", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET);
  ASSERT_NE(mine, 0u);
  ASSERT_EQ(RunPeer(root()), 0);
  // The other process deleted the storage; this process's context is its own.
  HCRYPTKEY key = 0;
  SetLastError(0);
  EXPECT_FALSE(engine.CPGetUserKey(mine, AT_SIGNATURE, &key));
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
  EXPECT_EQ(Acquire(u"Shared", 0), 0u);
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  EXPECT_TRUE(engine.CPReleaseContext(mine, 0));
}

}  // namespace
