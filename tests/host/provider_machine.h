// A fresh machine with the provider's modules at hand: registration as a
// registration program does it (load the module, call its entry point, free
// it), the provider key's values, and the modules loaded in the process.
#pragma once

#include <kavrin/crypt.h>
#include <kavrin/errors.h>
#include <kavrin/kernel/modules.h>
#include <kavrin/registry.h>
#include <orvex/provider.h>
#include <orvex/provider_registration.h>

#include "tests/support/fresh_root.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kavrin::test {

class ProviderMachine : public FreshRoot {
 protected:
  static std::filesystem::path LibDir() { return KAVRIN_LIB_DIR; }
  static std::filesystem::path FrontModule() { return LibDir() / "Kavrin_Orvex_S.so"; }
  static std::filesystem::path EngineModule() { return LibDir() / "OrvexEngine.so"; }

  // DllRegisterServer (or DllUnregisterServer) of the module at path.
  static HRESULT CallRegistration(const std::filesystem::path& path, bool unregister = false) {
    const HMODULE module = LoadLibraryW(path.u16string().c_str());
    if (module == nullptr) return E_FAIL;
    using Entry = HRESULT (*)();
    const auto entry = reinterpret_cast<Entry>(
        GetProcAddress(module, unregister ? "DllUnregisterServer" : "DllRegisterServer"));
    const HRESULT result = entry != nullptr ? entry() : E_FAIL;
    FreeLibrary(module);
    return result;
  }

  void RegisterProvider() {
    ASSERT_EQ(CallRegistration(FrontModule()), S_OK);
    ASSERT_EQ(CallRegistration(EngineModule()), S_OK);
  }

  static bool ProviderKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, orvex::kProviderKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(key);
    return true;
  }

  // The value's bytes, or nullopt when it (or the key) is missing.
  static std::optional<std::vector<BYTE>> ProviderValue(const char16_t* name,
                                                        const char16_t* key_path = orvex::kProviderKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    DWORD size = 0;
    std::optional<std::vector<BYTE>> bytes;
    if (RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
      bytes.emplace(size);
      RegQueryValueExW(key, name, nullptr, nullptr, bytes->data(), &size);
    }
    RegCloseKey(key);
    return bytes;
  }

  static std::vector<BYTE> TextBytes(const std::u16string& text) {
    const auto* begin = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(begin, begin + (text.size() + 1) * sizeof(char16_t));
  }

  static void SetProviderValue(const char16_t* name, DWORD type, const std::vector<BYTE>& bytes,
                               const std::u16string& key_path = orvex::kProviderKey) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  static void DeleteProviderValue(const char16_t* name) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, orvex::kProviderKey, 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    RegDeleteValueW(key, name);
    RegCloseKey(key);
  }

  static std::vector<BYTE> DigestBytes(const std::filesystem::path& file) {
    const auto digest = orvex::DigestOfImageFile(file.u16string(), nullptr);
    return digest ? std::vector<BYTE>(digest->begin(), digest->end()) : std::vector<BYTE>();
  }

  static bool EngineLoaded() { return GetModuleHandleW(u"OrvexEngine.dll") != nullptr; }
  static bool FrontLoaded() { return GetModuleHandleW(u"Kavrin_Orvex_S.dll") != nullptr; }

  // A context of the provider; 0 when the acquisition failed.
  static HCRYPTPROV Acquire(const char16_t* container, DWORD flags = 0) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, container, orvex::kProviderNameW, orvex::kProviderType,
                              flags)) {
      return 0;
    }
    return prov;
  }
};

}  // namespace kavrin::test
