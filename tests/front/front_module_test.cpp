// The front module's own entry points, called directly.
#include "tests/host/provider_machine.h"

#include <functional>

namespace {

using kavrin::test::ProviderMachine;

class Front : public ProviderMachine {
 protected:
  void SetUp() override {
    ProviderMachine::SetUp();
    RegisterProvider();
    module_ = LoadLibraryW(FrontModule().u16string().c_str());
    ASSERT_NE(module_, nullptr);
#define FRONT_TEST_RESOLVE(name, params, args) \
  name = reinterpret_cast<PFN_##name>(GetProcAddress(module_, #name));
    KAVRIN_CSP_ENTRY_POINTS(FRONT_TEST_RESOLVE)
#undef FRONT_TEST_RESOLVE
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
    ProviderMachine::TearDown();
  }

  HCRYPTPROV AcquireAnsi(const char* container, DWORD flags) {
    HCRYPTPROV prov = 0;
    return CPAcquireContext(&prov, const_cast<LPSTR>(container), flags, nullptr) ? prov : 0;
  }

  HMODULE module_ = nullptr;
#define FRONT_TEST_DECLARE(name, params, args) PFN_##name name = nullptr;
  KAVRIN_CSP_ENTRY_POINTS(FRONT_TEST_DECLARE)
#undef FRONT_TEST_DECLARE
};

TEST_F(Front, WideAcquisitionFirstLoadsTheEngine) {
  BYTE byte = 0;
  EXPECT_FALSE(CPGenRandom(0, 1, &byte));
  EXPECT_EQ(GetLastError(), NTE_PROVIDER_DLL_FAIL);

  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CPAcquireContextW(&prov, const_cast<LPWSTR>(u"Wide"), CRYPT_NEWKEYSET, nullptr))
      << std::hex << GetLastError();
  EXPECT_TRUE(EngineLoaded());
  EXPECT_TRUE(CPGenRandom(prov, 1, &byte));
  EXPECT_TRUE(CPReleaseContext(prov, 0));
  EXPECT_FALSE(EngineLoaded());
}

// A second release of one handle must not take the load of another context.
TEST_F(Front, ReleasingAHandleTwiceKeepsTheOtherContextsEngine) {
  const HCRYPTPROV first = AcquireAnsi("First", CRYPT_NEWKEYSET);
  const HCRYPTPROV second = AcquireAnsi("Second", CRYPT_NEWKEYSET);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  EXPECT_TRUE(CPReleaseContext(first, 0));
  EXPECT_FALSE(CPReleaseContext(first, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_PROVIDER);
  EXPECT_FALSE(CPReleaseContext(second, 1));
  EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
  ASSERT_TRUE(EngineLoaded());
  HCRYPTKEY key = 0;
  EXPECT_FALSE(CPGetUserKey(second, AT_SIGNATURE, &key));
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
  EXPECT_TRUE(CPReleaseContext(second, 0));
  EXPECT_FALSE(EngineLoaded());
}

TEST_F(Front, IncompleteRegistrationIsShownOnEveryAcquisition) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    const char* message;
  };
  const auto without = [this](const char16_t* value) {
    RegisterProvider();
    DeleteProviderValue(value);
  };
  const Case cases[] = {
      {"provider key cannot be opened",
       [] {
         CallRegistration(FrontModule(), true);
         KavrinRegSetKeyReadOnly(HKEY_LOCAL_MACHINE, orvex::kProviderParentKey, TRUE);
       },
       "message\t提示\t没有检测到有效的CSP注册信息"},
      {"\"Image Path\" missing", [&] { without(orvex::kImagePathValue); },
       "message\t提示\t没有检测到有效的CSP1"},
      {"\"Orvex Image Path\" missing", [&] { without(orvex::kEngineImagePathValue); },
       "message\t提示\t没有检测到有效的CSP2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    UseScript({});
    EXPECT_EQ(AcquireAnsi(nullptr, CRYPT_VERIFYCONTEXT), 0u);
    EXPECT_EQ(GetLastError(), NTE_PROVIDER_DLL_FAIL);
    EXPECT_EQ(AcquireAnsi(nullptr, CRYPT_VERIFYCONTEXT), 0u);
    EXPECT_EQ(ScriptLog(), (std::vector<std::string>{c.message, c.message}));
    EXPECT_FALSE(EngineLoaded());
    KavrinRegSetKeyReadOnly(HKEY_LOCAL_MACHINE, orvex::kProviderParentKey, FALSE);
  }
}

TEST_F(Front, TemplateLeftoversKeepTheirValues) {
  using Function = int (*)();
  const auto function = reinterpret_cast<Function>(GetProcAddress(module_, "fnKavrinOrvex_S"));
  const auto* variable = reinterpret_cast<const int*>(GetProcAddress(module_, "nKavrinOrvex_S"));
  ASSERT_NE(function, nullptr);
  ASSERT_NE(variable, nullptr);
  EXPECT_EQ(function(), 42);
  EXPECT_EQ(*variable, 0);
}

}  // namespace
