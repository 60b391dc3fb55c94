#include <signal.h>

#include <thread>

#include "registry_test_support.h"
#include "support/fresh_root.h"

namespace kavrin::test {
namespace {

constexpr const char16_t* kContainer = u"software\\Kavrin Certificate Protection\\Orvex\\Container\\c1";
constexpr const char16_t* kValueNames[] = {
    u"s_algid",  u"s_dwFlags",  u"s_dwRestrictTimes",  u"s_i64LockTime",  u"s_dwDeadlockTimes",  u"s_data",
    u"ex_algid", u"ex_dwFlags", u"ex_dwRestrictTimes", u"ex_i64LockTime", u"ex_dwDeadlockTimes", u"ex_data"};

// A container save: every value written with its own create, set and close.
bool SaveContainer(DWORD fill) {
  for (const auto* name : kValueNames) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kContainer, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const LONG rc = RegSetValueExW(key, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&fill), sizeof(fill));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return false;
  }
  return true;
}

// The fill values of the stored container as another connection sees them.
std::vector<DWORD> StoredFills() {
  std::vector<DWORD> fills;
  std::thread([&] {
    const auto key = OpenKey(HKEY_CURRENT_USER, kContainer);
    for (const auto* name : kValueNames) {
      if (const auto fill = QueryDword(key.get(), name)) fills.push_back(*fill);
    }
  }).join();
  return fills;
}

using RegistryTransaction = FreshRoot;

TEST_F(RegistryTransaction, RollbackLeavesNothingAndCommitShowsAll) {
  ASSERT_EQ(KavrinRegBeginTransaction(HKEY_CURRENT_USER), ERROR_SUCCESS);
  ASSERT_TRUE(SaveContainer(7));
  EXPECT_TRUE(StoredFills().empty());  // invisible to others before commit
  EXPECT_EQ(QueryDword(OpenKey(HKEY_CURRENT_USER, kContainer).get(), u"ex_data"), 7u);  // visible to itself
  ASSERT_EQ(KavrinRegRollbackTransaction(HKEY_CURRENT_USER), ERROR_SUCCESS);
  LONG error = 0;
  EXPECT_EQ(OpenKey(HKEY_CURRENT_USER, u"software\\Kavrin Certificate Protection", KEY_READ, &error), nullptr);
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(KavrinRegBeginTransaction(HKEY_CURRENT_USER), ERROR_SUCCESS);
  ASSERT_TRUE(SaveContainer(8));
  ASSERT_EQ(KavrinRegCommitTransaction(HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(StoredFills(), std::vector<DWORD>(12, 8));

  EXPECT_EQ(KavrinRegCommitTransaction(HKEY_CURRENT_USER), ERROR_TRANSACTION_NOT_ACTIVE);
  EXPECT_EQ(KavrinRegRollbackTransaction(HKEY_LOCAL_MACHINE), ERROR_TRANSACTION_NOT_ACTIVE);
  EXPECT_EQ(KavrinRegBeginTransaction(HKEY_USERS), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTransaction, RaiiRollsBackUnlessCommittedAndNests) {
  ASSERT_TRUE(SaveContainer(1));
  {
    RegTransaction outer(HKEY_CURRENT_USER);
    ASSERT_EQ(outer.status(), ERROR_SUCCESS);
    ASSERT_TRUE(SaveContainer(2));
    {
      RegTransaction inner(HKEY_CURRENT_USER);
      ASSERT_TRUE(SaveContainer(3));
    }  // the inner group is undone, the outer one kept
    EXPECT_EQ(QueryDword(OpenKey(HKEY_CURRENT_USER, kContainer).get(), u"s_data"), 2u);
    EXPECT_EQ(outer.Commit(), ERROR_SUCCESS);
    EXPECT_EQ(outer.Commit(), ERROR_TRANSACTION_NOT_ACTIVE);
  }
  EXPECT_EQ(StoredFills(), std::vector<DWORD>(12, 2));
  {
    RegTransaction abandoned(HKEY_CURRENT_USER);
    ASSERT_TRUE(SaveContainer(4));
  }
  EXPECT_EQ(StoredFills(), std::vector<DWORD>(12, 2));
}

TEST_F(RegistryTransaction, ProcessKilledInsideATransactionLeavesTheOldState) {
  // On a thread of its own, so that no hive is open in this process at fork().
  std::thread([] { ASSERT_TRUE(SaveContainer(1)); }).join();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = StartChild([&] {
    if (KavrinRegBeginTransaction(HKEY_CURRENT_USER) != ERROR_SUCCESS) return 1;
    if (!SaveContainer(2)) return 2;
    const char byte = 'x';
    if (write(ready[1], &byte, 1) != 1) return 3;
    for (;;) pause();  // killed here, in the middle of its transaction
  });
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_EQ(StoredFills(), std::vector<DWORD>(12, 1));  // others never see half a save
  ASSERT_EQ(kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  close(ready[0]);
  close(ready[1]);

  EXPECT_EQ(StoredFills(), std::vector<DWORD>(12, 1));
  // The dead process's write lock is gone.
  ASSERT_TRUE(SaveContainer(3));
  EXPECT_EQ(StoredFills(), std::vector<DWORD>(12, 3));
}

}  // namespace
}  // namespace kavrin::test
