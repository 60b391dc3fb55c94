#include "engine_registration.h"

#include "engine_module.h"

#include <kavrin/registry.h>
#include <kavrin/ui.h>
#include <orvex/provider_registration.h>

#include <string>

namespace {

constexpr char16_t kCaption[] = u"Prompt";
constexpr char16_t kNoProviderKey[] = u"没有检测到有效的CSP注册信息\n";
constexpr char16_t kCannotWrite[] = u"无法写入注册表2\n";

HRESULT Refuse(const char16_t* text) {
  MessageBoxW(nullptr, text, kCaption, MB_OK);
  return 1;
}

bool StoreEngineDigest(HKEY key, const std::u16string& path) {
  const auto digest = orvex::DigestOfImageFile(path, Engine().OpenSsl().LibCtx());
  return digest && RegSetValueExW(key, orvex::kEngineImageDigestValue, 0, REG_BINARY,
                                  digest->data(), static_cast<DWORD>(digest->size())) ==
                       ERROR_SUCCESS;
}

bool StoreEnginePath(HKEY key, const std::u16string& path) {
  return RegSetValueExW(key, orvex::kEngineImagePathValue, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(path.c_str()),
                        static_cast<DWORD>((path.size() + 1) * sizeof(char16_t))) == ERROR_SUCCESS;
}

}  // namespace

HRESULT RegisterEngine() {
  kavrin::RegKey key;
  if (RegCreateKeyW(HKEY_LOCAL_MACHINE, orvex::kProviderKey, key.out()) != ERROR_SUCCESS) {
    return Refuse(kNoProviderKey);
  }
  const std::u16string& path = Engine().ModulePath();
  // The digest goes first: a path without a matching digest is refused by the
  // front module, never trusted.
  if (path.empty() || !StoreEngineDigest(key.get(), path) || !StoreEnginePath(key.get(), path)) {
    return Refuse(kCannotWrite);
  }
  return 0;
}

HRESULT UnregisterEngine() {
  kavrin::RegKey key;
  // A provider key that does not exist holds nothing of the engine; opening it
  // without creating it leaves no empty key behind.
  const LONG opened =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, orvex::kProviderKey, 0, KEY_ALL_ACCESS, key.out());
  if (opened == ERROR_FILE_NOT_FOUND) return 0;
  if (opened != ERROR_SUCCESS) return Refuse(kNoProviderKey);
  RegDeleteValueW(key.get(), orvex::kEngineImagePathValue);
  RegDeleteValueW(key.get(), orvex::kEngineImageDigestValue);
  return 0;
}
