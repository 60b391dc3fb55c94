// Provider contexts: acquiring and releasing them, provider parameters and
// random numbers.
#include "crypt/crypt_call.h"
#include "crypt/provider_lookup.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>

#include <optional>
#include <string>

#include "internal/code_page.h"

using namespace kavrin::platform::crypt;
using kavrin::platform::AnsiCodePage;

namespace {

// Providers may check other modules' images through the table they are
// handed; this host has no image signatures, so every image passes.
BOOL WINAPI VerifyImage(LPCSTR, CONST BYTE*) { return TRUE; }
// There are no windows to parent a provider's dialogs.
void WINAPI ReturnWindow(HWND* window) {
  if (window != nullptr) *window = nullptr;
}

constexpr DWORD kVTableVersion = 3;

std::shared_ptr<ProviderContext> NewContext(const ProviderRegistration& provider, DWORD type,
                                            std::shared_ptr<ProviderModule> module) {
  auto context = std::make_shared<ProviderContext>();
  context->module = std::move(module);
  context->provider_name_ansi = kavrin::platform::Utf16ToAnsi(provider.name);
  context->vtable.Version = kVTableVersion;
  context->vtable.FuncVerifyImage = &VerifyImage;
  context->vtable.FuncReturnhWnd = &ReturnWindow;
  context->vtable.dwProvType = type;
  context->vtable.pszProvName = context->provider_name_ansi.data();
  return context;
}

// Acquires through the provider's CPAcquireContext; the container name is
// already in the ANSI code page (nullopt: none).
BOOL Acquire(HCRYPTPROV* phProv, const std::optional<std::string>& container,
             const char16_t* provider_name, DWORD type, DWORD flags) {
  if (phProv == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *phProv = 0;
  ProviderRegistration provider;
  if (const DWORD error = LookUpProvider(provider_name, type, &provider)) return Fail(error);
  auto module = ProviderModule::Open(provider.image_path);
  if (!module) return FALSE;
  auto context = NewContext(provider, type, std::move(module));
  std::string name = container.value_or(std::string());
  HCRYPTPROV inner = 0;
  if (!context->cp().CPAcquireContext(&inner, container ? name.data() : nullptr, flags,
                                      &context->vtable)) {
    return FALSE;
  }
  // A deleted key set leaves no context behind.
  if (inner == 0) return TRUE;
  context->prov = inner;
  const HCRYPTPROV handle = IssueHandle(HandleKind::kContext, context, inner);
  if (handle == 0) {
    context->cp().CPReleaseContext(inner, 0);
    return Fail(NTE_NO_MEMORY);
  }
  *phProv = handle;
  return TRUE;
}

}  // namespace

KAVRIN_EXTERN_C BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer,
                                                 LPCWSTR szProvider, DWORD dwProvType,
                                                 DWORD dwFlags) {
  return Guarded([&] {
    std::optional<std::string> container;
    if (szContainer != nullptr) {
      // A name the ANSI code page cannot hold would reach a container of
      // another name; it is refused instead.
      container = kavrin::platform::Utf16ToBytes(AnsiCodePage(), szContainer, true);
      if (!container) {
        if (phProv != nullptr) *phProv = 0;
        return Fail(NTE_BAD_KEYSET_PARAM);
      }
    }
    return Acquire(phProv, container, szProvider, dwProvType, dwFlags);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer,
                                                 LPCSTR szProvider, DWORD dwProvType,
                                                 DWORD dwFlags) {
  return Guarded([&] {
    std::optional<std::string> container;
    if (szContainer != nullptr) container = szContainer;
    std::optional<std::u16string> provider;
    if (szProvider != nullptr) provider = kavrin::platform::AnsiToUtf16(szProvider);
    return Acquire(phProv, container, provider ? provider->c_str() : nullptr, dwProvType, dwFlags);
  });
}

// The context is released even when dwFlags is not 0; the call then fails.
KAVRIN_EXTERN_C BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  return Guarded([&] {
    const auto record = WithdrawHandle(hProv, HandleKind::kContext);
    if (!record) return Fail(NTE_BAD_UID);
    const ProviderContext& context = *record->context;
    WithdrawHandlesOf(&context);
    const BOOL released = context.cp().CPReleaseContext(context.prov, 0);
    if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
    return released;
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData,
                                              DWORD dwFlags) {
  return Guarded([&] {
    // The window that would own the providers' dialogs: there are none here.
    if (dwParam == PP_CLIENT_HWND) return TRUE;
    const auto record = FindHandle(hProv, HandleKind::kContext);
    if (!record) return Fail(NTE_BAD_UID);
    const ProviderContext& context = *record->context;
    return context.cp().CPSetProvParam(context.prov, dwParam, const_cast<BYTE*>(pbData), dwFlags);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                                              DWORD* pdwDataLen, DWORD dwFlags) {
  return Guarded([&] {
    const auto record = FindHandle(hProv, HandleKind::kContext);
    if (!record) return Fail(NTE_BAD_UID);
    const ProviderContext& context = *record->context;
    return context.cp().CPGetProvParam(context.prov, dwParam, pbData, pdwDataLen, dwFlags);
  });
}

KAVRIN_EXTERN_C BOOL WINAPI CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
  return Guarded([&] {
    const auto record = FindHandle(hProv, HandleKind::kContext);
    if (!record) return Fail(NTE_BAD_UID);
    const ProviderContext& context = *record->context;
    return context.cp().CPGenRandom(context.prov, dwLen, pbBuffer);
  });
}
