// The context's signature operations: signing a hash with a container key,
// verifying a signature with a key object, and hashing data the user types.
#include "engine_module.h"
#include "handle_registry.h"
#include "hash_object.h"
#include "pin_dlg.h"
#include "pin_policy.h"
#include "prov_context.h"
#include "secure_buffer.h"

#include <kavrin/errors.h>
#include <kavrin/kernel/modules.h>
#include <kavrin/kernel/text.h>
#include <kavrin/ui.h>

#include <algorithm>

namespace {

constexpr WCHAR kEngineFileName[] = u"OrvexEngine.dll";
constexpr WCHAR kUserDataPrompt[] = u"请输入您要计算Hash的数据，该数据必须由可见字符串组成。";

DWORD Fail(DWORD code) {
  if (code != 0) SetLastError(code);
  return code;
}

std::shared_ptr<CHashObject> ResolveHash(HCRYPTHASH hash) {
  return Engine().Registry().Resolve<CHashObject>(hash, HK_HASH);
}

// The engine's own module, loaded by its file name for as long as a dialog
// is shown; loading it leaves the caller's last error as it was.
class ScopedEngineModule {
 public:
  ScopedEngineModule() {
    const DWORD error = GetLastError();
    module_ = LoadLibraryW(kEngineFileName);
    SetLastError(error);
  }
  ~ScopedEngineModule() {
    if (module_ == nullptr) return;
    const DWORD error = GetLastError();
    FreeLibrary(module_);
    SetLastError(error);
  }
  ScopedEngineModule(const ScopedEngineModule&) = delete;
  ScopedEngineModule& operator=(const ScopedEngineModule&) = delete;

  bool Loaded() const { return module_ != nullptr; }

 private:
  HMODULE module_ = nullptr;
};

}  // namespace

DWORD CProvContext::SignHash(HCRYPTHASH hash, DWORD key_spec, LPCWSTR, DWORD, BYTE* signature,
                             DWORD* sig_len) {
  const auto object = ResolveHash(hash);
  if (!object) return Fail(NTE_BAD_HASH);
  const auto container = Container();
  if (!container) return Fail(NTE_BAD_PROVIDER);
  CKeyObject* key = container->GetKeySlot(key_spec, false);
  if (key == nullptr) return NTE_NO_KEY;

  // The length is known without the private key: no PIN is asked for it,
  // nor for a buffer that cannot hold the signature.
  const DWORD modulus = static_cast<DWORD>(key->ModulusBytes());
  if (signature == nullptr) {
    *sig_len = modulus;
    return 0;
  }
  if (*sig_len < modulus) {
    *sig_len = modulus;
    return Fail(ERROR_MORE_DATA);
  }
  if (key_spec != AT_KEYEXCHANGE && key_spec != AT_SIGNATURE) return Fail(NTE_BAD_KEY);
  if (!EnsureKeyPinVerified(*this, *key, key_spec)) return NTE_FAIL;
  const EvpPkeyPtr rsa = key->GetRsa();
  if (!rsa) return Fail(NTE_BAD_KEY_STATE);
  return Fail(object->Sign(rsa.get(), signature, sig_len));
}

DWORD CProvContext::VerifySignature(HCRYPTHASH hash, const BYTE* signature, DWORD sig_len,
                                    HCRYPTKEY pub_key, LPCWSTR, DWORD) {
  const auto key = Engine().Registry().Resolve<CKeyObject>(pub_key, HK_KEY);
  const auto object = ResolveHash(hash);
  if (!key) return Fail(NTE_BAD_KEY);
  if (!object) return Fail(NTE_BAD_HASH);
  if (signature == nullptr && sig_len != 0) return Fail(ERROR_INVALID_PARAMETER);
  const EvpPkeyPtr rsa = key->GetRsa();
  if (!rsa) return Fail(NTE_BAD_KEY_STATE);
  return Fail(object->Verify(rsa.get(), signature, sig_len));
}

DWORD CProvContext::HashUserData(CHashObject& hash) {
  const ScopedEngineModule module;
  if (!module.Loaded()) return kFailedWithoutError;
  CPinDlg dialog;
  dialog.SetPrompt(kUserDataPrompt);
  if (dialog.DoModal() != IDOK) return kFailedWithoutError;

  const int chars = static_cast<int>(dialog.PinChars());
  const int bytes =
      WideCharToMultiByte(CP_ACP, 0, dialog.Pin(), chars, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return Fail(NTE_NO_MEMORY);
  SecureBytes text(static_cast<size_t>(bytes));
  WideCharToMultiByte(CP_ACP, 0, dialog.Pin(), chars, reinterpret_cast<LPSTR>(text.data()), bytes,
                      nullptr, nullptr);
  // As many bytes as the text has characters, which for the printable ASCII
  // asked for are the same; never more than the converted text holds.
  const DWORD hashed = static_cast<DWORD>(std::min(chars, bytes));
  return Fail(hash.Update(text.data(), hashed));
}
