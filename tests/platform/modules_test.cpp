#include <kavrin/errors.h>
#include <kavrin/kernel/modules.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "internal/utf.h"

namespace {

using kavrin::platform::ToUtf16;

const std::string kFixturePath = KAVRIN_MODULE_FIXTURE;

using CallsFn = int (*)();
using OwnPathFn = DWORD (*)(WCHAR*, DWORD);

std::u16string Wide(const std::string& text) { return ToUtf16(text); }

// The fixture's path spelt the Windows way: backslashes and a ".dll" name.
std::u16string WindowsStylePath() {
  std::string path = std::filesystem::path(kFixturePath).replace_extension(".dll").string();
  std::replace(path.begin(), path.end(), '/', '\\');
  return Wide(path);
}

int Calls(HMODULE module) {
  const auto calls = reinterpret_cast<CallsFn>(GetProcAddress(module, "FixtureCalls"));
  return calls != nullptr ? calls() : -1;
}

std::u16string FileName(HMODULE module) {
  WCHAR buffer[1024];
  const DWORD n = GetModuleFileNameW(module, buffer, 1024);
  return std::u16string(buffer, n);
}

void ExpectUnloaded() {
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleW(u"KavrinModuleFixture.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace

TEST(Modules, EveryLoadHoldsTheModuleUntilItsFree) {
  ExpectUnloaded();
  const HMODULE first = LoadLibraryW(Wide(kFixturePath).c_str());
  ASSERT_NE(first, nullptr);
  // Other spellings of the same module: bare name in another case with the
  // Windows extension, and the path with backslashes and ".dll".
  EXPECT_EQ(LoadLibraryW(u"kavrinmodulefixture.DLL"), first);
  EXPECT_EQ(LoadLibraryW(WindowsStylePath().c_str()), first);
  EXPECT_EQ(GetModuleHandleW(u"KAVRINMODULEFIXTURE"), first);
  EXPECT_EQ(Calls(first), 1);

  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(Calls(first), 2) << "two of three references freed: still loaded, state kept";
  EXPECT_TRUE(FreeLibrary(first));
  ExpectUnloaded();

  SetLastError(0);
  EXPECT_FALSE(FreeLibrary(first));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  const HMODULE again = LoadLibraryW(Wide(kFixturePath).c_str());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Calls(again), 1) << "a fresh load starts with fresh state";
  EXPECT_TRUE(FreeLibrary(again));
  ExpectUnloaded();
}

TEST(Modules, AModuleFindsItsOwnHandleAndPath) {
  const HMODULE module = LoadLibraryW(Wide(kFixturePath).c_str());
  ASSERT_NE(module, nullptr);
  const auto own_path = reinterpret_cast<OwnPathFn>(GetProcAddress(module, "FixtureOwnPath"));
  ASSERT_NE(own_path, nullptr);
  WCHAR buffer[1024] = {};
  const DWORD n = own_path(buffer, 1024);
  EXPECT_EQ(std::u16string(buffer, n), Wide(std::filesystem::canonical(kFixturePath).string()));
  EXPECT_EQ(FileName(module), std::u16string(buffer, n));

  // From an address without a reference, and with one that needs its own free.
  HMODULE found = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(own_path), &found));
  EXPECT_EQ(found, module);
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(own_path), &found));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetModuleHandleW(u"KavrinModuleFixture.so"), module) << "the reference taken by the address look-up holds it";
  EXPECT_TRUE(FreeLibrary(found));
  ExpectUnloaded();
}

TEST(Modules, ExportsAreTheModulesOwnDefinitions) {
  const HMODULE module = LoadLibraryW(Wide(kFixturePath).c_str());
  ASSERT_NE(module, nullptr);
  struct Case {
    const char* name;
    DWORD error;
  };
  // malloc is reachable through the module's dependencies, but not its export.
  for (const Case& c : {Case{"NoSuchExport", ERROR_PROC_NOT_FOUND}, Case{"malloc", ERROR_PROC_NOT_FOUND},
                        Case{reinterpret_cast<const char*>(uintptr_t{1}), ERROR_PROC_NOT_FOUND}}) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, c.name), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(Modules, ModulesTheLinkerLoadedAreFound) {
  const HMODULE platform = GetModuleHandleW(u"LIBKAVRIN_PLATFORM.DLL");
  ASSERT_NE(platform, nullptr);
  HMODULE by_address = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&SetLastError), &by_address));
  EXPECT_EQ(by_address, platform);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(platform, "SetLastError")), reinterpret_cast<void*>(&SetLastError));

  // A library the program was linked with cannot be freed away.
  EXPECT_EQ(LoadLibraryW(u"libkavrin_platform.so"), platform);
  EXPECT_TRUE(FreeLibrary(platform));
  EXPECT_TRUE(FreeLibrary(platform));
  EXPECT_EQ(GetModuleHandleW(u"libkavrin_platform.so"), platform);

  // The executable: a NULL name, and the module holding the test's own code.
  const HMODULE executable = GetModuleHandleW(nullptr);
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCWSTR>(&FileName), &by_address));
  EXPECT_EQ(by_address, executable);
  EXPECT_EQ(FileName(nullptr), Wide(std::filesystem::read_symlink("/proc/self/exe").string()));
  EXPECT_EQ(GetProcAddress(executable, "SetLastError"), nullptr) << "defined by a library, not the executable";
  EXPECT_EQ(GetProcAddress(nullptr, "SetLastError"), nullptr);
}

// Another name for a file that is loaded already names the same module.
TEST(Modules, LinksToALoadedFileNameTheSameModule) {
  const auto dir = std::filesystem::temp_directory_path() / ("kavrin_modules_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::create_symlink(kFixturePath, dir / "alias.so");
  std::filesystem::create_symlink(std::filesystem::read_symlink("/proc/self/exe"), dir / "program");

  const HMODULE module = LoadLibraryW(Wide(kFixturePath).c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(GetModuleHandleW(Wide((dir / "alias.dll").string()).c_str()), module);
  EXPECT_EQ(LoadLibraryW(Wide((dir / "alias.so").string()).c_str()), module);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(Calls(module), 1) << "still loaded through the link";
  EXPECT_TRUE(FreeLibrary(module));
  ExpectUnloaded();
  EXPECT_EQ(GetModuleHandleW(Wide((dir / "alias.so").string()).c_str()), nullptr);

  EXPECT_EQ(GetModuleHandleW(Wide((dir / "program").string()).c_str()), GetModuleHandleW(nullptr));
  std::filesystem::remove_all(dir);
}

TEST(Modules, FileNameTruncatesToTheBuffer) {
  const std::u16string path = FileName(nullptr);
  const auto length = static_cast<DWORD>(path.size());
  struct Case {
    DWORD size;
    DWORD result;
    std::u16string text;
    DWORD error;
  };
  const Case cases[] = {
      {length + 1, length, path, 0},
      {length, length, path.substr(0, length - 1), ERROR_INSUFFICIENT_BUFFER},
      {1, 1, u"", ERROR_INSUFFICIENT_BUFFER},
  };
  for (const Case& c : cases) {
    std::u16string buffer(length + 8, u'#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), c.size), c.result) << c.size;
    EXPECT_EQ(std::u16string(buffer.c_str()), c.text) << c.size;
    EXPECT_EQ(GetLastError(), c.error) << c.size;
  }
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(uintptr_t{0x1000}), nullptr, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(Modules, MissingModulesAndBadArguments) {
  struct Case {
    const char16_t* name;
    DWORD error;
  };
  for (const Case& c : {Case{u"NoSuchModule.dll", ERROR_MOD_NOT_FOUND},
                        Case{u"C:\\no\\such\\dir\\NoSuchModule.dll", ERROR_MOD_NOT_FOUND},
                        Case{u"", ERROR_INVALID_PARAMETER}, Case{nullptr, ERROR_INVALID_PARAMETER}}) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(c.name), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  HMODULE module = reinterpret_cast<HMODULE>(uintptr_t{1});
  SetLastError(0);
  EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(uintptr_t{16}), &module));
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr, &module));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
