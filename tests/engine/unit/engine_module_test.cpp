// The engine's process-wide state: unload releases what is open, and
// unload, deletion and acquisition on several threads do not deadlock.
#include "engine_module.h"
#include "prov_context.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>

#include "tests/support/fresh_root.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

class EngineState : public kavrin::test::FreshRoot {};

TEST_F(EngineState, StartUpRecordsTheModulePathAndRunsOnce) {
  ASSERT_TRUE(Engine().InitInstance());
  // Linked statically here, the engine's module is the test program itself.
  const auto program = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(std::filesystem::path(Engine().ModulePath()), program);
  EXPECT_TRUE(std::filesystem::is_directory(root() / "Windows/System32/Orvex/container"));

  std::filesystem::remove_all(root() / "Windows/System32/Orvex");
  ASSERT_TRUE(Engine().InitInstance());
  EXPECT_FALSE(std::filesystem::exists(root() / "Windows/System32/Orvex"));
}

TEST_F(EngineState, ExitInstanceReleasesEveryContext) {
  HCRYPTPROV a = 0, b = 0, c = 0;
  ASSERT_TRUE(AcquireProvContext(u"A", CRYPT_NEWKEYSET, &a));
  ASSERT_TRUE(AcquireProvContext(u"A", 0, &b));
  ASSERT_TRUE(AcquireProvContext(u"B", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET, &c));
  EXPECT_EQ(Engine().Containers().LoadedCount(), 2u);

  Engine().ExitInstance();
  for (HCRYPTPROV prov : {a, b, c}) {
    EXPECT_EQ(Engine().Registry().ResolveHandle(prov, HK_CONTEXT), nullptr);
  }
  EXPECT_EQ(Engine().Containers().LoadedCount(), 0u);
  EXPECT_FALSE(ReleaseProvContext(a));
  EXPECT_EQ(GetLastError(), NTE_BAD_PROVIDER);
}

// Unload takes contexts from the registry and then releases them; deletion
// holds the container list and then reaches the registry. Run both, with
// acquisitions, on several threads at once.
TEST_F(EngineState, UnloadDeletionAndAcquisitionRunTogether) {
  std::atomic<bool> stop{false};
  std::atomic<int> deletions{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (!stop) {
      HCRYPTPROV prov = 0, gone = 0;
      if (AcquireProvContext(u"Churn", CRYPT_NEWKEYSET, &prov) ||
          AcquireProvContext(u"Churn", 0, &prov)) {
        if (AcquireProvContext(u"Churn", CRYPT_DELETEKEYSET, &gone)) ++deletions;
      }
    }
  });
  threads.emplace_back([&] {
    while (!stop) {
      HCRYPTPROV prov = 0;
      if (AcquireProvContext(u"Churn", 0, &prov)) ReleaseProvContext(prov);
      Engine().Registry().ReleaseAllContexts();
    }
  });
  threads.emplace_back([&] {
    while (!stop) {
      HCRYPTPROV prov = 0;
      if (AcquireProvContext(u"Steady", CRYPT_NEWKEYSET, &prov) ||
          AcquireProvContext(u"Steady", 0, &prov)) {
        ReleaseProvContext(prov);
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  stop = true;
  for (auto& thread : threads) thread.join();
  EXPECT_GT(deletions.load(), 0);
  Engine().ExitInstance();
  EXPECT_EQ(Engine().Containers().LoadedCount(), 0u);
}

}  // namespace
