// The PIN flows against real storage, with the dialogs answered by the
// scripted UI and the policy's clock set by the test.
#include "container_manager.h"
#include "engine_module.h"
#include "pin_clock.h"
#include "pin_policy.h"
#include "prov_context.h"
#include "stored_container.h"

#include <kavrin/errors.h>
#include <kavrin/registry.h>
#include <orvex/container_storage.h>
#include <orvex/provider.h>

#include "tests/engine/fixtures/rsa_blobs.h"
#include "tests/support/fresh_root.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr int64_t kStart = 1'700'000'000;
std::atomic<int64_t> g_now{kStart};
int64_t FakeNow() { return g_now.load(); }

const std::string kPinDialog = "pin\t保管箱密码验证\t";
const std::string kFirstPrompt = kPinDialog + "请输入您的文件证书保管箱密码。";
const std::string kLockNotice = "lock\t提示\t文件证书保护箱已经被锁定，请您24小时后再试！";
const std::string kDeadLockBox = "message\t提示\t您的证书已经被死锁，请到柜台重新办理。";

std::string RetryLine(int chances) {
  return kPinDialog + "保管箱密码输入错误。\\r\\n您还有" + std::to_string(chances) + "次机会输入保管箱密码。";
}

class PinPolicy : public kavrin::test::FreshRoot {
 protected:
  void SetUp() override {
    FreshRoot::SetUp();
    g_now = kStart;
    previous_clock_ = SetPinPolicyClock(&FakeNow);
  }
  void TearDown() override {
    SetPinPolicyClock(previous_clock_);
    FreshRoot::TearDown();
  }

  static std::shared_ptr<CKeyContainer> Open(const char16_t* name, DWORD flags = 0) {
    std::shared_ptr<CKeyContainer> container;
    EXPECT_EQ(Engine().Containers().OpenKeyContainer(name, flags, &container), 0u);
    return container;
  }

  // A container object of its own, loaded from storage, as another process
  // would load it: its keys are locked.
  static std::shared_ptr<CKeyContainer> Reload(const char16_t* name, bool file = false) {
    auto container = std::make_shared<CKeyContainer>();
    container->SetName(name);
    EXPECT_EQ(Engine().Containers().LoadKeyContainer(
                  *container, file ? CContainerManager::kStorageFile : CContainerManager::kStorageRegistry),
              0u);
    return container;
  }

  static std::shared_ptr<CProvContext> ContextOn(const std::shared_ptr<CKeyContainer>& container) {
    auto context = std::make_shared<CProvContext>();
    context->Bind(container);
    return context;
  }

  // A new container whose key for that key spec has the user PIN.
  static std::shared_ptr<CKeyContainer> ContainerWithPin(const char16_t* name, const char16_t* pin,
                                                         DWORD spec = AT_SIGNATURE, DWORD flags = 0) {
    auto container = Open(name, CRYPT_NEWKEYSET | flags);
    auto context = ContextOn(container);
    const unsigned char* blob = spec == AT_SIGNATURE ? kRsa1024SignatureBlob : kRsa1024ExchangeBlob;
    HCRYPTKEY key = 0;
    EXPECT_EQ(context->ImportKey(blob, sizeof kRsa1024SignatureBlob, 0,
                                 orvex::GF_PIN_LATER | CRYPT_EXPORTABLE, &key),
              0u);
    EXPECT_EQ(ChangeKeyPin(*context, pin, spec, 0), 0u);
    return container;
  }

  static SlotCounters StoredCounters(const CKeyContainer& container, DWORD spec) {
    CStoredContainer stored(container);
    EXPECT_EQ(stored.Status(), 0u);
    return stored.Stored().GetCounters(spec);
  }

  static void SetStoredCounters(const CKeyContainer& container, DWORD spec, SlotCounters counters) {
    CStoredContainer stored(container);
    ASSERT_EQ(stored.Status(), 0u);
    stored.Stored().SetCounters(spec, counters);
    ASSERT_EQ(stored.Save(), 0u);
  }

  // One interactive verification on a container as another process loads
  // it, or on the given one.
  bool VerifyInteractively(const char16_t* name, const std::vector<std::string>& answers,
                           std::shared_ptr<CKeyContainer> container = nullptr) {
    UseScript(answers);
    if (!container) container = Reload(name);
    CPinVerifier verifier(container);
    return VerifyPinInteractive(verifier, AT_SIGNATURE);
  }

  // Five wrong PINs at the current time, ending in a lock.
  void LockOnce(const char16_t* name) {
    VerifyInteractively(name, {"ok a", "ok b", "ok c", "ok d", "ok e", "ok"});
  }

 private:
  PinClock previous_clock_ = nullptr;
};

TEST_F(PinPolicy, ChancesCountDownAndTheFifthWrongPinLocks) {
  auto container = ContainerWithPin(u"Count", u"1234");
  g_now = kStart + 77;
  EXPECT_FALSE(VerifyInteractively(u"Count", {"ok 1", "ok 2", "ok 3", "ok 4", "ok 5", "ok"}, container));

  std::vector<std::string> expected = {kFirstPrompt, RetryLine(4), RetryLine(3), RetryLine(2),
                                       RetryLine(1), kLockNotice};
  EXPECT_EQ(ScriptLog(), expected);
  const SlotCounters stored = StoredCounters(*container, AT_SIGNATURE);
  EXPECT_EQ(stored.restrict_times, -1);
  EXPECT_EQ(stored.deadlock_times, 1u);
  EXPECT_EQ(stored.lock_time, kStart + 77);
  // The container in memory follows storage.
  EXPECT_EQ(container->GetRestrictTimes(AT_SIGNATURE), -1);
}

TEST_F(PinPolicy, LockHoldsFor86399SecondsAndEndsAt86400) {
  auto container = ContainerWithPin(u"Held", u"1234");
  LockOnce(u"Held");

  g_now = kStart + 86399;
  EXPECT_FALSE(VerifyInteractively(u"Held", {"ok 1234"}));
  EXPECT_EQ(ScriptLog(), std::vector<std::string>{kLockNotice});  // not even asked

  g_now = kStart + 86400;
  SetLastError(0);
  EXPECT_FALSE(VerifyInteractively(u"Held", {"ok wrong", "cancel"}));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY_STATE));
  EXPECT_EQ(ScriptLog(), (std::vector<std::string>{kFirstPrompt, RetryLine(4)}));
  const SlotCounters stored = StoredCounters(*container, AT_SIGNATURE);
  EXPECT_EQ(stored.restrict_times, 3);
  EXPECT_EQ(stored.deadlock_times, 1u);
}

TEST_F(PinPolicy, ThirdLockIsForGoodAndRefusesEvenTheRightPin) {
  auto container = ContainerWithPin(u"Dead", u"1234");
  for (int lock = 1; lock <= 2; ++lock) {
    LockOnce(u"Dead");
    EXPECT_EQ(ScriptLog().back(), kLockNotice);
    g_now += 86400;
  }
  LockOnce(u"Dead");
  EXPECT_EQ(ScriptLog().back(), kDeadLockBox);
  EXPECT_EQ(StoredCounters(*container, AT_SIGNATURE).deadlock_times, 3u);

  for (int day = 1; day <= 3; ++day) {
    g_now += 86400 * 30;
    EXPECT_FALSE(VerifyInteractively(u"Dead", {"ok 1234"}));
    EXPECT_EQ(ScriptLog(), std::vector<std::string>{kDeadLockBox});
  }
  auto reloaded = Reload(u"Dead");
  CPinVerifier verifier(reloaded);
  LONG allowance = 77;
  SetLastError(0);
  EXPECT_FALSE(VerifyPinSilent(verifier, AT_SIGNATURE, u"1234", &allowance));
  EXPECT_EQ(allowance, 0);
  EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(PinPolicy, RightPinResetsTheLockCountAndUnlocksTheKey) {
  auto container = ContainerWithPin(u"Reset", u"1234");
  for (int lock = 1; lock <= 2; ++lock) {
    LockOnce(u"Reset");
    g_now += 86400;
  }
  UseScript({"ok wrong", "ok 1234"});
  auto reloaded = Reload(u"Reset");
  CPinVerifier verifier(reloaded);
  ASSERT_FALSE(reloaded->GetKeySlot(AT_SIGNATURE, false)->HasClearBlob());
  EXPECT_TRUE(VerifyPinInteractive(verifier, AT_SIGNATURE));
  EXPECT_EQ(ScriptLog(), (std::vector<std::string>{kFirstPrompt, RetryLine(4)}));
  const SlotCounters stored = StoredCounters(*container, AT_SIGNATURE);
  EXPECT_EQ(stored.restrict_times, orvex::kResetRestrictTimes);
  EXPECT_EQ(stored.lock_time, orvex::kNeverFailedLockTime);
  EXPECT_EQ(stored.deadlock_times, 0u);
  EXPECT_TRUE(reloaded->GetKeySlot(AT_SIGNATURE, false)->HasClearBlob());
  EXPECT_EQ(reloaded->GetDeadlockTimes(AT_SIGNATURE), 0u);
}

TEST_F(PinPolicy, RetryPromptIsTheSameWhateverTheCodePage) {
  ContainerWithPin(u"Text", u"1234");
  for (const char16_t* code_page : {u"1252", u"65001", u"936"}) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0,
                              nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              0);
    const std::u16string value(code_page);
    RegSetValueExW(key, u"ACP", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * 2));
    RegCloseKey(key);
    EXPECT_TRUE(VerifyInteractively(u"Text", {"ok wrong", "ok 1234"}));
    EXPECT_EQ(ScriptLog(), (std::vector<std::string>{kFirstPrompt, RetryLine(4)}));
  }
}

TEST_F(PinPolicy, SilentChecks) {
  auto container = ContainerWithPin(u"Silent", u"1234");
  const std::u16string twenty_one(21, u'1');
  struct Step {
    const char16_t* pin;
    bool right;
    LONG allowance;
    DWORD error;
    LONG stored_restrict;
  };
  constexpr DWORD kUntouched = 0x77;
  const Step steps[] = {
      {u"0000", false, 3, DWORD(NTE_PERM), 3},
      {twenty_one.c_str(), false, 2, DWORD(NTE_PERM), 2},  // too long: a wrong PIN
      {u"1234", true, 55, kUntouched, 6},
      {u"1", false, 3, DWORD(NTE_PERM), 3},
      {u"2", false, 2, DWORD(NTE_PERM), 2},
      {u"3", false, 1, DWORD(NTE_PERM), 1},
      {u"4", false, 0, DWORD(NTE_PERM), 0},
      {u"5", false, -1, DWORD(NTE_PERM), -1},   // locks
      {u"1234", false, -1, kUntouched, -1},     // refused, nothing set
  };
  auto reloaded = Reload(u"Silent");
  CPinVerifier verifier(reloaded);
  for (const Step& step : steps) {
    LONG allowance = 55;
    SetLastError(kUntouched);
    EXPECT_EQ(VerifyPinSilent(verifier, AT_SIGNATURE, step.pin, &allowance), step.right);
    EXPECT_EQ(allowance, step.allowance);
    EXPECT_EQ(GetLastError(), step.error);
    EXPECT_EQ(StoredCounters(*container, AT_SIGNATURE).restrict_times, step.stored_restrict);
  }
  EXPECT_TRUE(ScriptLog().empty());
  // Other key specs fail at once.
  SetLastError(kUntouched);
  EXPECT_FALSE(VerifyPinSilent(verifier, 3, u"1234", nullptr));
  EXPECT_EQ(GetLastError(), kUntouched);
}

TEST_F(PinPolicy, ChangingAUserPinAsksForTheCurrentOneFirst) {
  auto container = ContainerWithPin(u"Change", u"1234");
  auto reloaded = Reload(u"Change");
  auto context = ContextOn(reloaded);

  UseScript({"ok 9999", "cancel"});
  EXPECT_EQ(ChangeKeyPin(*context, u"5678", AT_SIGNATURE, 0), static_cast<DWORD>(NTE_FAIL));
  EXPECT_EQ(ScriptLog(), (std::vector<std::string>{kFirstPrompt, RetryLine(4)}));
  EXPECT_EQ(StoredCounters(*container, AT_SIGNATURE).restrict_times, 3);  // the wrong one counted

  UseScript({"ok 1234"});
  EXPECT_EQ(ChangeKeyPin(*context, u"5678", AT_SIGNATURE, 0), 0u);
  EXPECT_TRUE(context->IsKeyPinVerified(AT_SIGNATURE));
  // Setting the PIN leaves the counters: the right PIN had reset them.
  EXPECT_EQ(StoredCounters(*container, AT_SIGNATURE).restrict_times, orvex::kResetRestrictTimes);

  // Verified now: no further question; a 21-character PIN is refused.
  UseScript({});
  const std::u16string twenty_one(21, u'x');
  EXPECT_EQ(ChangeKeyPin(*context, twenty_one.c_str(), AT_SIGNATURE, 0), static_cast<DWORD>(NTE_FAIL));
  EXPECT_TRUE(ScriptLog().empty());

  auto elsewhere = Reload(u"Change");
  CPinVerifier verifier(elsewhere);
  EXPECT_FALSE(VerifyPinSilent(verifier, AT_SIGNATURE, u"1234", nullptr));
  EXPECT_TRUE(VerifyPinSilent(verifier, AT_SIGNATURE, u"5678", nullptr));
}

// The enrollment path: a key kept unmasked for its PIN, the PIN set through
// the provider parameter, the private blob exported, all without a dialog.
TEST_F(PinPolicy, PinSetAfterImportNeedsNoDialog) {
  UseScript({});
  auto context = ContextOn(Open(u"Enrol", CRYPT_NEWKEYSET));
  HCRYPTKEY key = 0;
  ASSERT_EQ(context->ImportKey(kRsa2048SignatureBlob, sizeof kRsa2048SignatureBlob, 0,
                               orvex::GF_PIN_LATER | CRYPT_EXPORTABLE, &key),
            0u);
  ASSERT_EQ(ChangeKeyPin(*context, u"1234", AT_SIGNATURE, 0), 0u);
  std::vector<BYTE> blob(sizeof kRsa2048SignatureBlob);
  DWORD size = static_cast<DWORD>(blob.size());
  ASSERT_EQ(context->ExportKey(key, 0, PRIVATEKEYBLOB, orvex::XF_ALLOW_GUARDED, blob.data(), &size), 0u);
  EXPECT_EQ(blob, std::vector<BYTE>(std::begin(kRsa2048SignatureBlob), std::end(kRsa2048SignatureBlob)));
  EXPECT_EQ(context->ExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.data(), &size),
            static_cast<DWORD>(NTE_BAD_KEY_STATE));
  EXPECT_TRUE(ScriptLog().empty());

  // Stored under the new PIN: another process needs it.
  auto elsewhere = Reload(u"Enrol");
  CPinVerifier verifier(elsewhere);
  EXPECT_TRUE(VerifyPinSilent(verifier, AT_SIGNATURE, u"1234", nullptr));
}

// Two objects of one stored container, as two processes hold it: each
// works on the stored state, so neither overwrites what the other stored.
TEST_F(PinPolicy, UpdatesKeepWhatOthersStoredMeanwhile) {
  ContainerWithPin(u"Two", u"1234", AT_SIGNATURE);
  {
    auto context = ContextOn(Open(u"Two"));
    HCRYPTKEY key = 0;
    ASSERT_EQ(context->ImportKey(kRsa1024ExchangeBlob, sizeof kRsa1024ExchangeBlob, 0, orvex::GF_PIN_LATER, &key),
              0u);
    ASSERT_EQ(ChangeKeyPin(*context, u"exch", AT_KEYEXCHANGE, 0), 0u);
  }
  auto first = Reload(u"Two");
  auto second = Reload(u"Two");
  auto first_context = ContextOn(first);
  CPinVerifier second_verifier(second);

  // The first changes the signature PIN; the second, loaded before, counts
  // a wrong exchange PIN and then checks the new signature PIN.
  ASSERT_TRUE(VerifyPinSilent(first_context->PinVerifier(), AT_SIGNATURE, u"1234", nullptr));
  first_context->SetKeyPinVerified(AT_SIGNATURE);
  ASSERT_EQ(ChangeKeyPin(*first_context, u"new", AT_SIGNATURE, 0), 0u);
  EXPECT_FALSE(VerifyPinSilent(second_verifier, AT_KEYEXCHANGE, u"nope", nullptr));
  EXPECT_FALSE(VerifyPinSilent(second_verifier, AT_SIGNATURE, u"1234", nullptr));
  EXPECT_TRUE(VerifyPinSilent(second_verifier, AT_SIGNATURE, u"new", nullptr));

  auto third = Reload(u"Two");
  CPinVerifier third_verifier(third);
  EXPECT_TRUE(VerifyPinSilent(third_verifier, AT_SIGNATURE, u"new", nullptr));
  EXPECT_EQ(third->GetRestrictTimes(AT_KEYEXCHANGE), 3);
  EXPECT_TRUE(VerifyPinSilent(third_verifier, AT_KEYEXCHANGE, u"exch", nullptr));
}

// --- Guessing from several processes at once -------------------------------
//
// Each process runs two threads, one on the shared container object and one
// on a second object for the same storage (a name in other letter case), and
// each thread guesses wrong PINs until it is refused. Every guess that was
// checked reports the allowance it left; over all processes those must be
// exactly 3, 2, 1, 0 and the lock: no count lost, no PIN checked after the
// fifth.

constexpr const char* kGuessRootVariable = "ORVEX_TEST_GUESS_ROOT";
constexpr const char* kGuessStoreVariable = "ORVEX_TEST_GUESS_STORE";
constexpr int kGuessers = 4;

std::filesystem::path GoFile(const std::filesystem::path& root) { return root / "go"; }

std::vector<LONG> GuessUntilRefused(const std::shared_ptr<CKeyContainer>& container) {
  CPinVerifier verifier(container);
  std::vector<LONG> checked;
  for (int guess = 0; guess < 20; ++guess) {
    LONG allowance = 99;
    SetLastError(0);
    if (VerifyPinSilent(verifier, AT_SIGNATURE, u"guess", &allowance)) ADD_FAILURE() << "a guess was right";
    if (GetLastError() != static_cast<DWORD>(NTE_PERM)) break;  // refused without a check
    checked.push_back(allowance);
  }
  return checked;
}

TEST(PinGuessing, DISABLED_GuesserRole) {
  const char* root = std::getenv(kGuessRootVariable);
  ASSERT_NE(root, nullptr);
  setenv("KAVRIN_ROOT", root, 1);
  const bool file = std::string(std::getenv(kGuessStoreVariable)) == "file";
  while (!std::filesystem::exists(GoFile(root))) std::this_thread::sleep_for(std::chrono::microseconds(200));

  std::shared_ptr<CKeyContainer> shared;
  ASSERT_EQ(Engine().Containers().OpenKeyContainer(u"Guess", 0, &shared), 0u);
  auto other = std::make_shared<CKeyContainer>();
  other->SetName(u"GUESS");
  ASSERT_EQ(Engine().Containers().LoadKeyContainer(
                *other, file ? CContainerManager::kStorageFile : CContainerManager::kStorageRegistry),
            0u);
  std::vector<LONG> first, second;
  std::thread a([&] { first = GuessUntilRefused(shared); });
  std::thread b([&] { second = GuessUntilRefused(other); });
  a.join();
  b.join();
  std::ofstream out(std::filesystem::path(root) / ("checked-" + std::to_string(getpid())));
  for (const auto* list : {&first, &second}) {
    for (LONG value : *list) out << value << '\n';
  }
}

pid_t StartGuesser(const std::filesystem::path& root, const char* store) {
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=PinGuessing.DISABLED_GuesserRole";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {const_cast<char*>(exe.c_str()), filter.data(), disabled.data(), nullptr};
  setenv(kGuessRootVariable, root.c_str(), 1);
  setenv(kGuessStoreVariable, store, 1);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ);
  unsetenv(kGuessRootVariable);
  unsetenv(kGuessStoreVariable);
  return spawned == 0 ? pid : -1;
}

class PinGuessingTest : public PinPolicy, public ::testing::WithParamInterface<const char*> {};

TEST_P(PinGuessingTest, NoPinIsCheckedAfterTheFifthWrongOne) {
  const bool file = std::string(GetParam()) == "file";
  auto container = ContainerWithPin(u"Guess", u"1234", AT_SIGNATURE, file ? CRYPT_MACHINE_KEYSET : 0);
  SetPinPolicyClock(nullptr);  // the guessers run on the real clock

  std::vector<pid_t> guessers;
  for (int i = 0; i < kGuessers; ++i) guessers.push_back(StartGuesser(root(), GetParam()));
  std::ofstream(GoFile(root())).put('\n');
  for (pid_t pid : guessers) {
    ASSERT_GT(pid, 0);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "guesser " << pid;
  }

  std::vector<LONG> checked;
  for (const auto& entry : std::filesystem::directory_iterator(root())) {
    if (entry.path().filename().string().rfind("checked-", 0) != 0) continue;
    std::ifstream in(entry.path());
    for (LONG value; in >> value;) checked.push_back(value);
  }
  std::sort(checked.begin(), checked.end());
  EXPECT_EQ(checked, (std::vector<LONG>{-1, 0, 1, 2, 3}));
  const SlotCounters stored = StoredCounters(*container, AT_SIGNATURE);
  EXPECT_EQ(stored.restrict_times, -1);
  EXPECT_EQ(stored.deadlock_times, 1u);
}

INSTANTIATE_TEST_SUITE_P(Stores, PinGuessingTest, ::testing::Values("registry", "file"));

}  // namespace
