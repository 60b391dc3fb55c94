// Registering the provider with CryptoAPI: the provider key holds this
// module's path, the provider type and the signature file that ships beside
// the module. Unregistering removes the whole key.
#include "front_export.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>
#include <kavrin/kernel/files.h>
#include <kavrin/kernel/modules.h>
#include <kavrin/registry.h>
#include <orvex/provider.h>
#include <orvex/provider_registration.h>

#include <algorithm>
#include <array>
#include <string>

namespace {

constexpr HRESULT kModuleNotFound = static_cast<HRESULT>(0x80070006);
constexpr HRESULT kNoExtension = static_cast<HRESULT>(0x8007007B);
constexpr DWORD kSignatureMin = 72;
constexpr DWORD kSignatureMax = 136;

HRESULT FromWin32(DWORD code) { return HRESULT_FROM_WIN32(code); }

class File {
 public:
  explicit File(HANDLE handle) : handle_(handle) {}
  ~File() {
    if (is_open()) CloseHandle(handle_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

LONG CreateAllAccess(HKEY parent, const char16_t* name, kavrin::RegKey* key) {
  WCHAR no_class[] = u"";
  return RegCreateKeyExW(parent, name, 0, no_class, 0, KEY_ALL_ACCESS, nullptr, key->out(),
                         nullptr);
}

// The provider key, created with its parent when missing.
LONG CreateProviderKey(kavrin::RegKey* provider) {
  kavrin::RegKey parent;
  if (const LONG error = CreateAllAccess(HKEY_LOCAL_MACHINE, orvex::kProviderParentKey, &parent)) {
    return error;
  }
  return CreateAllAccess(parent.get(), orvex::kProviderNameW, provider);
}

void DeleteProviderKey() {
  kavrin::RegKey parent;
  if (CreateAllAccess(HKEY_LOCAL_MACHINE, orvex::kProviderParentKey, &parent) == ERROR_SUCCESS) {
    RegDeleteKeyW(parent.get(), orvex::kProviderNameW);
  }
}

// The signature file's bytes; NTE_BAD_SIGNATURE when it is missing, not 72 to
// 136 bytes long, or all zeros.
HRESULT ReadSignatureFile(const std::u16string& path, std::array<BYTE, kSignatureMax>* bytes,
                          DWORD* length) {
  const File file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.is_open()) return static_cast<HRESULT>(NTE_BAD_SIGNATURE);
  DWORD high = 0;
  const DWORD size = GetFileSize(file.get(), &high);
  if (size == INVALID_FILE_SIZE || high != 0 || size < kSignatureMin || size > kSignatureMax) {
    return static_cast<HRESULT>(NTE_BAD_SIGNATURE);
  }
  DWORD read = 0;
  if (!ReadFile(file.get(), bytes->data(), kSignatureMax, &read, nullptr) ||
      read < kSignatureMin ||
      std::all_of(bytes->begin(), bytes->begin() + read, [](BYTE b) { return b == 0; })) {
    return static_cast<HRESULT>(NTE_BAD_SIGNATURE);
  }
  *length = read;
  return S_OK;
}

LONG SetText(HKEY key, const char16_t* name, const std::u16string& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

LONG SetNumber(HKEY key, const char16_t* name, DWORD number) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                        sizeof number);
}

HRESULT Register() {
  const HMODULE self = GetModuleHandleW(u"Kavrin_Orvex_S.dll");
  if (self == nullptr) return kModuleNotFound;
  WCHAR buffer[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(self, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return FromWin32(GetLastError());
  const std::u16string path(buffer, length);
  // The extension starts at the last '.' of the file name; both '\' and '/'
  // separate directories.
  const size_t directory_end = path.find_last_of(u"\\/");
  const size_t dot = path.rfind(u'.');
  if (dot == std::u16string::npos || (directory_end != std::u16string::npos && dot < directory_end)) {
    return kNoExtension;
  }

  kavrin::RegKey provider;
  if (const LONG error = CreateProviderKey(&provider)) return FromWin32(error);
  if (const LONG error = SetText(provider.get(), orvex::kImagePathValue, path)) {
    return FromWin32(error);
  }
  if (const LONG error = SetNumber(provider.get(), orvex::kTypeValue, orvex::kProviderType)) {
    return FromWin32(error);
  }
  // The module carries no embedded signature, so the one shipped beside it is
  // recorded.
  std::array<BYTE, kSignatureMax> signature{};
  DWORD signature_length = 0;
  if (const HRESULT result =
          ReadSignatureFile(path.substr(0, dot + 1) + u"sig", &signature, &signature_length);
      FAILED(result)) {
    return result;
  }
  if (const LONG error = RegSetValueExW(provider.get(), orvex::kSignatureValue, 0, REG_BINARY,
                                        signature.data(), signature_length)) {
    return FromWin32(error);
  }
  return S_OK;
}

}  // namespace

// A failed registration leaves no provider key behind.
FRONT_EXTERN_C HRESULT DllRegisterServer() {
  const HRESULT result = Register();
  if (FAILED(result)) DeleteProviderKey();
  return result;
}

FRONT_EXTERN_C HRESULT DllUnregisterServer() {
  DeleteProviderKey();
  return S_OK;
}
