#include <string>
#include <thread>

#include "registry_test_support.h"
#include "support/fresh_root.h"

namespace kavrin::test {
namespace {

constexpr int kWrites = 200;

std::u16string Name(int writer, int index) {
  std::string text = "w" + std::to_string(writer) + "_" + std::to_string(index);
  return std::u16string(text.begin(), text.end());
}

// Writer `writer`'s share of the load: values in a key of its own and in a
// shared key, each write with its own create, set and close, and every tenth
// round inside a transaction. Returns the number of failed calls.
int Write(int writer) {
  int failures = 0;
  const std::u16string own = u"Software\\Load\\Writer" + Name(writer, 0);
  for (int i = 0; i < kWrites; ++i) {
    const bool grouped = i % 10 == 0;
    if (grouped) failures += KavrinRegBeginTransaction(HKEY_CURRENT_USER) != ERROR_SUCCESS;
    for (const auto& path : {own, std::u16string(u"Software\\Load\\Shared")}) {
      LONG error = 0;
      const auto key = CreateKey(HKEY_CURRENT_USER, path, KEY_WRITE, &error);
      failures += error != ERROR_SUCCESS;
      failures += SetDword(key.get(), Name(writer, i).c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS;
    }
    if (grouped) failures += KavrinRegCommitTransaction(HKEY_CURRENT_USER) != ERROR_SUCCESS;
  }
  return failures;
}

void ExpectAllWritten(int writers) {
  const auto shared = OpenKey(HKEY_CURRENT_USER, u"Software\\Load\\Shared");
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(ValueNames(shared.get()).size(), static_cast<size_t>(writers * kWrites));
  for (int w = 0; w < writers; ++w) {
    const auto own = OpenKey(HKEY_CURRENT_USER, u"Software\\Load\\Writer" + Name(w, 0));
    ASSERT_NE(own, nullptr);
    for (int i = 0; i < kWrites; ++i) {
      ASSERT_EQ(QueryDword(shared.get(), Name(w, i).c_str()), static_cast<DWORD>(i));
      ASSERT_EQ(QueryDword(own.get(), Name(w, i).c_str()), static_cast<DWORD>(i));
    }
  }
}

using RegistryConcurrency = FreshRoot;

TEST_F(RegistryConcurrency, ProcessesWriteOneHiveAtOnce) {
  // The first writer to open the hive creates it while the others wait.
  std::vector<pid_t> children;
  for (int w = 1; w <= 2; ++w) children.push_back(StartChild([w] { return Write(w); }));
  EXPECT_EQ(Write(0), 0);
  for (const pid_t child : children) EXPECT_EQ(WaitChild(child), 0);
  ExpectAllWritten(3);
}

TEST_F(RegistryConcurrency, ThreadsWriteOneHiveAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, -1);
  for (int w = 0; w < 4; ++w) threads.emplace_back([w, &failures] { failures[w] = Write(w); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
  ExpectAllWritten(4);
}

}  // namespace
}  // namespace kavrin::test
