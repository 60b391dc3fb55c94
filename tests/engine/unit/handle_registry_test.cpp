#include "handle_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>

namespace {

// Hands out scripted masks, then fails.
class ScriptedRandom {
 public:
  explicit ScriptedRandom(std::deque<uintptr_t> masks) : masks_(std::move(masks)) {}
  bool operator()(void* out, size_t len) {
    if (masks_.empty() || len != sizeof(uintptr_t)) return false;
    std::memcpy(out, &masks_.front(), len);
    masks_.pop_front();
    return true;
  }

 private:
  std::deque<uintptr_t> masks_;
};

CHandleRegistry::RandomSource Scripted(std::deque<uintptr_t> masks) {
  auto random = std::make_shared<ScriptedRandom>(std::move(masks));
  return [random](void* out, size_t len) { return (*random)(out, len); };
}

CHandleRegistry::RandomSource Counter() {
  auto next = std::make_shared<uintptr_t>(0x5A5A5A5A12345678u);
  return [next](void* out, size_t len) {
    *next = *next * 6364136223846793005u + 1442695040888963407u;
    std::memcpy(out, next.get(), len);
    return true;
  };
}

TEST(HandleRegistry, HandleIsAddressXorMaskAndResolvesOnlyForItsKind) {
  CHandleRegistry registry(Scripted({0x0F0F0F0F0F0F0F0Fu}));
  auto object = std::make_shared<int>(7);
  const uintptr_t handle = registry.IssueHandle(object, HK_KEY);
  EXPECT_EQ(handle, reinterpret_cast<uintptr_t>(object.get()) ^ 0x0F0F0F0F0F0F0F0Fu);
  EXPECT_EQ(registry.ResolveHandle(handle, HK_KEY).get(), object.get());
  EXPECT_EQ(registry.ResolveHandle(handle, HK_CONTEXT), nullptr);
  EXPECT_EQ(registry.ResolveHandle(handle, HK_HASH), nullptr);
  EXPECT_EQ(registry.ResolveHandle(0, HK_KEY), nullptr);
}

TEST(HandleRegistry, ValueDifferingInAnyBitDoesNotResolve) {
  CHandleRegistry registry(Counter());
  auto object = std::make_shared<int>(1);
  const uintptr_t handle = registry.IssueHandle(object, HK_HASH);
  ASSERT_NE(handle, 0u);
  for (unsigned bit = 0; bit < sizeof(uintptr_t) * 8; ++bit) {
    EXPECT_EQ(registry.ResolveHandle(handle ^ (uintptr_t{1} << bit), HK_HASH), nullptr) << bit;
  }
  EXPECT_NE(registry.ResolveHandle(handle, HK_HASH), nullptr);
}

TEST(HandleRegistry, MasksThatWouldGiveZeroOrAnIssuedValueAreDrawnAgain) {
  auto first = std::make_shared<int>(1);
  auto second = std::make_shared<int>(2);
  const uintptr_t a = reinterpret_cast<uintptr_t>(first.get());
  const uintptr_t b = reinterpret_cast<uintptr_t>(second.get());
  // A zero mask, a mask equal to the address (handle 0), and for the second
  // object a mask that would repeat the first handle.
  CHandleRegistry registry(Scripted({0, a, 0x1111, a ^ 0x1111 ^ b, 0x2222}));
  EXPECT_EQ(registry.IssueHandle(first, HK_KEY), a ^ 0x1111);
  EXPECT_EQ(registry.IssueHandle(second, HK_KEY), b ^ 0x2222);
}

TEST(HandleRegistry, NoHandleWhenTheGeneratorFails) {
  CHandleRegistry registry(Scripted({}));
  EXPECT_EQ(registry.IssueHandle(std::make_shared<int>(1), HK_KEY), 0u);
  EXPECT_EQ(registry.EntryCount(), 0u);
}

TEST(HandleRegistry, WithdrawRemovesOneHandleOrEveryHandleOfAnObject) {
  CHandleRegistry registry(Counter());
  auto key = std::make_shared<int>(1);
  const uintptr_t h1 = registry.IssueHandle(key, HK_KEY);
  const uintptr_t h2 = registry.IssueHandle(key, HK_KEY);
  const uintptr_t h3 = registry.IssueHandle(key, HK_KEY);
  const uintptr_t as_hash = registry.IssueHandle(key, HK_HASH);

  EXPECT_TRUE(registry.WithdrawHandle(h1));
  EXPECT_FALSE(registry.WithdrawHandle(h1));
  EXPECT_EQ(registry.ResolveHandle(h1, HK_KEY), nullptr);
  EXPECT_NE(registry.ResolveHandle(h2, HK_KEY), nullptr);

  registry.WithdrawObjectHandles(key.get(), HK_KEY);
  EXPECT_EQ(registry.ResolveHandle(h2, HK_KEY), nullptr);
  EXPECT_EQ(registry.ResolveHandle(h3, HK_KEY), nullptr);
  EXPECT_NE(registry.ResolveHandle(as_hash, HK_HASH), nullptr);
}

TEST(HandleRegistry, ObservedObjectsStopResolvingWhenTheyDie) {
  CHandleRegistry registry(Counter());
  auto owner = std::make_shared<std::pair<int, int>>(1, 2);
  // A handle for a part of an object, as a container's key slot is.
  const uintptr_t handle = registry.IssueHandle(std::shared_ptr<int>(owner, &owner->second), HK_KEY);
  auto resolved = registry.Resolve<int>(handle, HK_KEY);
  ASSERT_NE(resolved, nullptr);
  EXPECT_EQ(*resolved, 2);
  resolved.reset();
  owner.reset();
  EXPECT_EQ(registry.ResolveHandle(handle, HK_KEY), nullptr);
}

TEST(HandleRegistry, ContextHandlesOwnTheirObjectAndTakeIsOneShot) {
  CHandleRegistry registry(Counter());
  auto object = std::make_shared<int>(5);
  std::weak_ptr<int> watch = object;
  const uintptr_t handle = registry.IssueHandle(object, HK_CONTEXT);
  object.reset();
  EXPECT_FALSE(watch.expired());

  auto taken = registry.TakeHandle(handle, HK_CONTEXT);
  EXPECT_NE(taken, nullptr);
  EXPECT_EQ(registry.TakeHandle(handle, HK_CONTEXT), nullptr);
  taken.reset();
  EXPECT_TRUE(watch.expired());
}

}  // namespace
