// Key pairs, key blobs and the PIN as a caller of the entry points sees
// them, with the dialogs answered by the scripted UI.
#include "engine_fixture.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>
#include <kavrin/registry.h>
#include <orvex/container_storage.h>
#include <orvex/provider.h>

#include "tests/engine/fixtures/rsa_blobs.h"
#include "tests/support/fresh_root.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using orvex::test::Bytes;
using orvex::test::Fixture;

constexpr DWORD kPinLater = orvex::GF_PIN_LATER;
constexpr DWORD kGuarded = orvex::XF_ALLOW_GUARDED;
constexpr DWORD kKeyLengthParam = 8;
constexpr const char* kPeerRootVariable = "ORVEX_TEST_KEYS_PEER_ROOT";

const std::string kFirstPrompt = "pin\t保管箱密码验证\t请输入您的文件证书保管箱密码。";
const std::string kLockNotice = "lock\t提示\t文件证书保护箱已经被锁定，请您24小时后再试！";

std::string RetryLine(int chances) {
  return "pin\t保管箱密码验证\t保管箱密码输入错误。\\r\\n您还有" + std::to_string(chances) +
         "次机会输入保管箱密码。";
}

// The public blob CryptoAPI makes of a private one: its head, retyped.
template <size_t N>
Bytes PublicOf(const unsigned char (&blob)[N]) {
  const size_t n = (size_t{blob[12]} | size_t{blob[13]} << 8) / 8;
  Bytes out(blob, blob + 20 + n);
  out[0] = PUBLICKEYBLOB;
  out[11] = '1';  // "RSA2" becomes "RSA1"
  return out;
}

class Keys : public orvex::test::EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    // A peer process works on the machine root of the test that started it.
    if (const char* peer_root = std::getenv(kPeerRootVariable)) setenv("KAVRIN_ROOT", peer_root, 1);
  }

  // A new engine, as another process would have: containers load afresh and
  // their keys are locked.
  void ReloadEngine() {
    engine.Unload();
    ASSERT_TRUE(engine.Load());
  }

  DWORD KeyParam(HCRYPTPROV prov, HCRYPTKEY key, DWORD param) {
    BYTE data[4] = {};
    DWORD size = sizeof data;
    if (!engine.CPGetKeyParam(prov, key, param, data, &size, 0)) return 0xFFFFFFFF;
    return DWORD{data[0]} | DWORD{data[1]} << 8 | DWORD{data[2]} << 16 | DWORD{data[3]} << 24;
  }

  // A registry container whose signature key has the user PIN "1234".
  void StoreKeyWithPin(const char16_t* name, const Bytes& blob = Fixture(kRsa1024SignatureBlob)) {
    UseScript({"ok 1234"});
    const HCRYPTPROV prov = Acquire(name, CRYPT_NEWKEYSET);
    ASSERT_NE(prov, 0u);
    ASSERT_NE(Import(prov, blob, CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED), 0u);
    EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
  }

  static uint64_t StoredNumber(const char16_t* name, const char16_t* value) {
    const std::u16string path = std::u16string(orvex::kContainerRootKey) + u"\\" + name;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != 0) return ~uint64_t{0};
    BYTE data[8] = {};
    DWORD size = sizeof data;
    const LONG status = RegQueryValueExW(key, value, nullptr, nullptr, data, &size);
    RegCloseKey(key);
    uint64_t number = 0;
    for (DWORD i = 0; i < size; ++i) number |= uint64_t{data[i]} << (8 * i);
    return status == 0 ? number : ~uint64_t{0};
  }
};

TEST_F(Keys, GeneratedKeyUnderTheDefaultPinExportsWithoutAnyDialog) {
  UseScript({});
  HCRYPTPROV prov = Acquire(u"Gen", CRYPT_NEWKEYSET);
  ASSERT_NE(prov, 0u);
  HCRYPTKEY key = 0;
  ASSERT_TRUE(engine.CPGenKey(prov, AT_SIGNATURE, CRYPT_EXPORTABLE, &key));
  EXPECT_EQ(KeyParam(prov, key, KP_ALGID), CALG_RSA_SIGN);
  EXPECT_EQ(KeyParam(prov, key, kKeyLengthParam), 1024u);
  const Bytes public_blob = Export(prov, key, PUBLICKEYBLOB, 0);
  ASSERT_EQ(public_blob.size(), 148u);
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));

  ReloadEngine();
  prov = Acquire(u"Gen");
  key = UserKey(prov, AT_SIGNATURE);
  ASSERT_NE(key, 0u);
  const Bytes private_blob = Export(prov, key, PRIVATEKEYBLOB, kGuarded);
  ASSERT_EQ(private_blob.size(), 596u);
  const Bytes head = {7, 2, 0, 0, 0x00, 0x24, 0, 0, 'R', 'S', 'A', '2', 0x00, 0x04, 0, 0, 0x01, 0x00, 0x01, 0x00};
  EXPECT_EQ(Bytes(private_blob.begin(), private_blob.begin() + 20), head);
  EXPECT_EQ(Export(prov, key, PUBLICKEYBLOB, 0), public_blob);
  EXPECT_TRUE(std::equal(public_blob.begin() + 20, public_blob.end(), private_blob.begin() + 20));
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));

  EXPECT_TRUE(ScriptLog().empty());
  EXPECT_EQ(StoredNumber(u"Gen", u"s_dwRestrictTimes"), uint64_t{orvex::kResetRestrictTimes});
  EXPECT_EQ(StoredNumber(u"Gen", u"s_i64LockTime"), uint64_t{orvex::kNeverFailedLockTime});
  EXPECT_EQ(StoredNumber(u"Gen", u"s_dwDeadlockTimes"), 0u);
}

TEST_F(Keys, GenerationRefusals) {
  const HCRYPTPROV silent = Acquire(u"Refuse", CRYPT_NEWKEYSET | CRYPT_SILENT);
  ASSERT_NE(silent, 0u);
  HCRYPTKEY key = 0;
  SetLastError(0);
  EXPECT_FALSE(engine.CPGenKey(silent, AT_SIGNATURE, CRYPT_USER_PROTECTED, &key));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_SILENT_CONTEXT));
  ASSERT_NE(Acquire(nullptr, CRYPT_NEWKEYSET), 0u);
  const HCRYPTPROV verify = Acquire(nullptr, CRYPT_VERIFYCONTEXT);
  ASSERT_NE(verify, 0u);
  EXPECT_FALSE(engine.CPGenKey(verify, AT_KEYEXCHANGE, 0, &key));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PERM));
  // OpenSSL makes no RSA key under 512 bits.
  EXPECT_FALSE(engine.CPGenKey(silent, AT_SIGNATURE, 256u << 16, &key));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
}

TEST_F(Keys, ImportChecksComeInOrder) {
  const HCRYPTPROV prov = Acquire(u"Checks", CRYPT_NEWKEYSET);
  ASSERT_NE(prov, 0u);
  const HCRYPTKEY public_key = Import(prov, PublicOf(kRsa1024ExchangeBlob), 0);
  ASSERT_NE(public_key, 0u);
  auto with = [](Bytes blob, size_t offset, std::initializer_list<BYTE> bytes) {
    std::copy(bytes.begin(), bytes.end(), blob.begin() + static_cast<std::ptrdiff_t>(offset));
    return blob;
  };
  const Bytes priv = Fixture(kRsa1024SignatureBlob);
  const Bytes simple = {SIMPLEBLOB, 2, 0, 0, 0x01, 0x68, 0, 0, 0x00, 0x24, 0, 0, 1, 2, 3, 4};
  struct Case {
    const char* what;
    Bytes blob;
    HCRYPTKEY pub_key;
    DWORD error;
  };
  const Case cases[] = {
      {"unknown import key", priv, public_key ^ 1, DWORD(NTE_BAD_KEY)},
      {"11 bytes", Bytes(priv.begin(), priv.begin() + 11), 0, DWORD(ERROR_INVALID_PARAMETER)},
      {"no such algorithm", with(priv, 4, {0x04, 0x80}), 0, DWORD(NTE_BAD_ALGID)},
      {"private blob of a session algorithm", with(priv, 4, {0x01, 0x68}), 0, DWORD(ERROR_INVALID_PARAMETER)},
      {"public blob with an import key", PublicOf(kRsa1024SignatureBlob), public_key, DWORD(NTE_BAD_DATA)},
      {"simple blob of an RSA algorithm", with(simple, 4, {0x00, 0x24}), 0, DWORD(ERROR_INVALID_PARAMETER)},
      {"simple blob not under an exchange key", simple, 0, DWORD(NTE_BAD_ALGID)},
      {"unknown blob type", with(priv, 0, {5}), 0, DWORD(NTE_BAD_TYPE)},
      {"version 3", with(priv, 1, {3}), 0, DWORD(NTE_BAD_VER)},
      {"shorter than its bit length", Bytes(priv.begin(), priv.begin() + 300), 0, DWORD(NTE_FAIL)},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(Import(prov, c.blob, 0, c.pub_key), 0u) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  HCRYPTKEY key = 0;
  SetLastError(0);
  EXPECT_FALSE(engine.CPImportKey(prov, nullptr, 596, 0, 0, &key));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // None of them touched the slots.
  EXPECT_EQ(UserKey(prov, AT_SIGNATURE), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_NO_KEY));
}

TEST_F(Keys, PrivateBlobsGoToTheSlotOfTheirAlgorithm) {
  const HCRYPTPROV prov = Acquire(u"Slots", CRYPT_NEWKEYSET);
  ASSERT_NE(prov, 0u);
  ASSERT_NE(Import(prov, Fixture(kRsa1024SignatureBlob), 0), 0u);
  ASSERT_NE(Import(prov, Fixture(kRsa1024ExchangeBlob), 0), 0u);
  const HCRYPTKEY signature = UserKey(prov, AT_SIGNATURE);
  EXPECT_EQ(Export(prov, signature, PUBLICKEYBLOB, 0), PublicOf(kRsa1024SignatureBlob));
  EXPECT_EQ(Export(prov, UserKey(prov, CALG_RSA_KEYX), PUBLICKEYBLOB, 0), PublicOf(kRsa1024ExchangeBlob));

  // A new signature key replaces the old one; handles follow the slot.
  ASSERT_NE(Import(prov, Fixture(kRsa2048SignatureBlob), 0), 0u);
  EXPECT_EQ(KeyParam(prov, signature, kKeyLengthParam), 2048u);
  EXPECT_EQ(Export(prov, UserKey(prov, AT_SIGNATURE), PUBLICKEYBLOB, 0), PublicOf(kRsa2048SignatureBlob));
  EXPECT_EQ(Export(prov, UserKey(prov, AT_KEYEXCHANGE), PUBLICKEYBLOB, 0), PublicOf(kRsa1024ExchangeBlob));

  // Destroying a slot's handle leaves the key to the next CPGetUserKey.
  EXPECT_TRUE(engine.CPDestroyKey(prov, signature));
  SetLastError(0);
  EXPECT_FALSE(engine.CPDestroyKey(prov, signature));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
  EXPECT_EQ(KeyParam(prov, UserKey(prov, AT_SIGNATURE), KP_ALGID), CALG_RSA_SIGN);
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));

  ReloadEngine();
  const HCRYPTPROV again = Acquire(u"Slots");
  EXPECT_EQ(Export(again, UserKey(again, AT_SIGNATURE), PUBLICKEYBLOB, 0), PublicOf(kRsa2048SignatureBlob));
}

// Flags of a caller never set the engine's own slot and PIN attributes: a
// key imported with them is stored under the default PIN like any other.
TEST_F(Keys, CallerFlagsDoNotSetInternalAttributes) {
  HCRYPTPROV prov = Acquire(u"Flags", CRYPT_NEWKEYSET);
  ASSERT_NE(Import(prov, Fixture(kRsa1024SignatureBlob), CRYPT_EXPORTABLE | 0x10 | 0x20 | 0x40), 0u);
  ReloadEngine();
  UseScript({});
  prov = Acquire(u"Flags");
  EXPECT_EQ(Export(prov, UserKey(prov, AT_SIGNATURE), PRIVATEKEYBLOB, kGuarded), Fixture(kRsa1024SignatureBlob));
  EXPECT_TRUE(ScriptLog().empty());
  EXPECT_EQ(StoredNumber(u"Flags", u"s_dwFlags"),
            uint64_t{0x01 | 0x08 | 0x10 | 0x40});  // exportable, guarded, slot, default PIN
}

TEST_F(Keys, ExportChecks) {
  const HCRYPTPROV prov = Acquire(u"Export", CRYPT_NEWKEYSET);
  ASSERT_NE(prov, 0u);
  const HCRYPTKEY sealed = Import(prov, Fixture(kRsa1024ExchangeBlob), 0);
  const HCRYPTKEY exportable = Import(prov, Fixture(kRsa1024SignatureBlob), CRYPT_EXPORTABLE);
  const HCRYPTKEY public_key = Import(prov, PublicOf(kRsa2048SignatureBlob), CRYPT_EXPORTABLE);
  ASSERT_TRUE(sealed != 0 && exportable != 0 && public_key != 0);
  struct Case {
    const char* what;
    HCRYPTKEY key;
    HCRYPTKEY exp_key;
    DWORD type;
    DWORD flags;
    DWORD error;
  };
  const Case cases[] = {
      {"public blob under an export key", exportable, sealed, PUBLICKEYBLOB, 0, DWORD(ERROR_INVALID_PARAMETER)},
      {"unknown export key", exportable, sealed ^ 4, PRIVATEKEYBLOB, kGuarded, DWORD(NTE_BAD_KEY)},
      {"not exportable", sealed, 0, PRIVATEKEYBLOB, kGuarded, DWORD(NTE_BAD_KEY_STATE)},
      {"guarded without the flag", exportable, 0, PRIVATEKEYBLOB, 0, DWORD(NTE_BAD_KEY_STATE)},
      {"private blob of a public key", public_key, 0, PRIVATEKEYBLOB, kGuarded, DWORD(NTE_BAD_KEY_STATE)},
      {"simple blob of an RSA key", exportable, sealed, SIMPLEBLOB, 0, DWORD(NTE_BAD_TYPE)},
      {"unknown blob type", exportable, 0, 3, 0, DWORD(NTE_BAD_TYPE)},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_TRUE(Export(prov, c.key, c.type, c.flags, c.exp_key).empty()) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }

  DWORD size = 0;
  ASSERT_TRUE(engine.CPExportKey(prov, exportable, 0, PRIVATEKEYBLOB, kGuarded, nullptr, &size));
  EXPECT_EQ(size, 596u);
  Bytes blob(595);
  size = 595;
  EXPECT_FALSE(engine.CPExportKey(prov, exportable, 0, PRIVATEKEYBLOB, kGuarded, blob.data(), &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(size, 596u);
  EXPECT_EQ(Export(prov, exportable, PRIVATEKEYBLOB, kGuarded), Fixture(kRsa1024SignatureBlob));
  EXPECT_EQ(Export(prov, public_key, PUBLICKEYBLOB, 0), PublicOf(kRsa2048SignatureBlob));

  // A slot of another container is not this context's to export.
  const HCRYPTPROV other = Acquire(u"Other", CRYPT_NEWKEYSET);
  SetLastError(0);
  EXPECT_TRUE(Export(other, exportable, PRIVATEKEYBLOB, kGuarded).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));

  // An archivable context exports without the exportability and PIN checks.
  const HCRYPTPROV archivable = Acquire(u"Export", 0x200);
  EXPECT_EQ(Export(archivable, UserKey(archivable, AT_KEYEXCHANGE), PRIVATEKEYBLOB, 0),
            Fixture(kRsa1024ExchangeBlob));
  EXPECT_TRUE(ScriptLog().empty());
}

TEST_F(Keys, UserPinIsAskedOncePerContext) {
  StoreKeyWithPin(u"Ask");
  EXPECT_EQ(ScriptLog(), std::vector<std::string>{kFirstPrompt});

  ReloadEngine();
  UseScript({"ok 9999", "ok 1234"});
  const HCRYPTPROV first = Acquire(u"Ask");
  const HCRYPTKEY key = UserKey(first, AT_SIGNATURE);
  EXPECT_EQ(Export(first, key, PRIVATEKEYBLOB, kGuarded), Fixture(kRsa1024SignatureBlob));
  EXPECT_EQ(Export(first, key, PRIVATEKEYBLOB, kGuarded), Fixture(kRsa1024SignatureBlob));
  EXPECT_EQ(ScriptLog(), (std::vector<std::string>{kFirstPrompt, RetryLine(4)}));
  EXPECT_EQ(StoredNumber(u"Ask", u"s_dwRestrictTimes"), uint64_t{orvex::kResetRestrictTimes});

  // A second context asks again; a cancel refuses the export.
  UseScript({"cancel"});
  const HCRYPTPROV second = Acquire(u"Ask");
  SetLastError(0);
  EXPECT_TRUE(Export(second, UserKey(second, AT_SIGNATURE), PRIVATEKEYBLOB, kGuarded).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY_STATE));
  EXPECT_EQ(ScriptLog(), std::vector<std::string>{kFirstPrompt});
  // The public blob needs no PIN.
  EXPECT_EQ(Export(second, UserKey(second, AT_SIGNATURE), PUBLICKEYBLOB, 0), PublicOf(kRsa1024SignatureBlob));
}

TEST_F(Keys, FifthWrongPinAtExportLocksTheKey) {
  StoreKeyWithPin(u"Lock");
  ReloadEngine();
  UseScript({"ok 1", "ok 2", "ok 3", "ok 4", "ok 5", "ok", "ok 1234"});
  const HCRYPTPROV prov = Acquire(u"Lock");
  const HCRYPTKEY key = UserKey(prov, AT_SIGNATURE);
  SetLastError(0);
  EXPECT_TRUE(Export(prov, key, PRIVATEKEYBLOB, kGuarded).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY_STATE));
  EXPECT_TRUE(Export(prov, key, PRIVATEKEYBLOB, kGuarded).empty());
  EXPECT_EQ(ScriptLog(), (std::vector<std::string>{kFirstPrompt, RetryLine(4), RetryLine(3), RetryLine(2),
                                                   RetryLine(1), kLockNotice, kLockNotice}));
  EXPECT_EQ(StoredNumber(u"Lock", u"s_dwRestrictTimes"), 0xFFFFFFFFu);
  EXPECT_EQ(StoredNumber(u"Lock", u"s_dwDeadlockTimes"), 1u);
}

TEST_F(Keys, FirstPinRefusedLeavesTheSlotAsItWas) {
  const HCRYPTPROV prov = Acquire(u"First", CRYPT_NEWKEYSET);
  ASSERT_NE(Import(prov, Fixture(kRsa1024ExchangeBlob), 0), 0u);
  UseScript({"cancel"});
  SetLastError(0);
  EXPECT_EQ(Import(prov, Fixture(kRsa2048SignatureBlob), CRYPT_USER_PROTECTED), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
  EXPECT_EQ(UserKey(prov, AT_SIGNATURE), 0u);
  HCRYPTKEY generated = 0;
  EXPECT_FALSE(engine.CPGenKey(prov, AT_KEYEXCHANGE, CRYPT_USER_PROTECTED, &generated));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
  EXPECT_EQ(Export(prov, UserKey(prov, AT_KEYEXCHANGE), PUBLICKEYBLOB, 0), PublicOf(kRsa1024ExchangeBlob));

  // A PIN the storage cannot take is reported, not taken for set.
  HKEY root = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, orvex::kContainerRootKey, 0, KEY_ALL_ACCESS, &root), 0);
  ASSERT_EQ(RegDeleteKeyW(root, u"First"), 0);
  RegCloseKey(root);
  UseScript({"ok 1234", "ok"});
  EXPECT_EQ(Import(prov, Fixture(kRsa1024SignatureBlob), CRYPT_USER_PROTECTED), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_FAIL));
  EXPECT_EQ(ScriptLog(), (std::vector<std::string>{kFirstPrompt, "message\tPIN码输入错误\tPIN设置错误"}));
}

TEST_F(Keys, DeletingAContainerAsksForItsUserPins) {
  StoreKeyWithPin(u"Doomed");
  ReloadEngine();
  HCRYPTPROV none = 0;
  UseScript({"cancel"});
  SetLastError(0);
  EXPECT_FALSE(engine.CPAcquireContextW(&none, const_cast<LPWSTR>(u"Doomed"), CRYPT_DELETEKEYSET, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_PERM));
  EXPECT_NE(Acquire(u"Doomed"), 0u);

  UseScript({"ok 1234"});
  EXPECT_TRUE(engine.CPAcquireContextW(&none, const_cast<LPWSTR>(u"Doomed"), CRYPT_DELETEKEYSET, nullptr));
  EXPECT_EQ(ScriptLog(), std::vector<std::string>{kFirstPrompt});
  EXPECT_EQ(Acquire(u"Doomed"), 0u);

  // Keys under the default PIN ask for nothing.
  const HCRYPTPROV plain = Acquire(u"Plain", CRYPT_NEWKEYSET);
  ASSERT_NE(Import(plain, Fixture(kRsa1024SignatureBlob), 0), 0u);
  UseScript({});
  EXPECT_TRUE(engine.CPAcquireContextW(&none, const_cast<LPWSTR>(u"Plain"), CRYPT_DELETEKEYSET, nullptr));
  EXPECT_TRUE(ScriptLog().empty());
}

// --- Guessing through the exports from several processes ------------------
//
// Each process answers the PIN dialog with wrong PINs only. Over all their
// dialogs, each of the chance counts 4, 3, 2 and 1 must be shown exactly
// once: a lost count would show one twice and allow more than five guesses.

constexpr int kGuessers = 4;

TEST_F(Keys, DISABLED_GuesserRole) {
  const std::filesystem::path shared(std::getenv(kPeerRootVariable));
  const std::string script = (shared / ("script-" + std::to_string(getpid()))).string();
  std::ofstream(script) << "ok a\nok b\nok c\nok d\nok e\nok\n";
  setenv("KAVRIN_UI", ("script:" + script).c_str(), 1);
  const HCRYPTPROV prov = Acquire(u"Race");
  ASSERT_NE(prov, 0u);
  const HCRYPTKEY key = UserKey(prov, AT_SIGNATURE);
  while (!std::filesystem::exists(shared / "go")) std::this_thread::sleep_for(std::chrono::microseconds(200));
  EXPECT_TRUE(Export(prov, key, PRIVATEKEYBLOB, kGuarded).empty());
}

TEST_F(Keys, GuessersInSeveralProcessesGetFiveWrongPinsInAll) {
  StoreKeyWithPin(u"Race");
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=Keys.DISABLED_GuesserRole";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {const_cast<char*>(exe.c_str()), filter.data(), disabled.data(), nullptr};
  setenv(kPeerRootVariable, root().c_str(), 1);
  std::vector<pid_t> guessers;
  for (int i = 0; i < kGuessers; ++i) {
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ), 0);
    guessers.push_back(pid);
  }
  unsetenv(kPeerRootVariable);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::ofstream(root() / "go").put('\n');
  for (pid_t pid : guessers) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::map<std::string, int> shown;
  for (const auto& entry : std::filesystem::directory_iterator(root())) {
    if (entry.path().extension() != ".log") continue;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) ++shown[line];
  }
  for (int chances = 1; chances <= 4; ++chances) EXPECT_EQ(shown[RetryLine(chances)], 1) << chances;
  EXPECT_EQ(StoredNumber(u"Race", u"s_dwRestrictTimes"), 0xFFFFFFFFu);
  EXPECT_EQ(StoredNumber(u"Race", u"s_dwDeadlockTimes"), 1u);
}

}  // namespace
