#include "prov_context.h"

#include "container_manager.h"
#include "engine_module.h"
#include "handle_registry.h"
#include "hash_list.h"

#include <kavrin/errors.h>

#include <algorithm>
#include <new>
#include <utility>

namespace {

constexpr DWORD kGrantedByAcquireFlags =
    CProvContext::CTXF_SILENT | CProvContext::CTXF_SIG_ARCHIVABLE |
    CProvContext::CTXF_EXCH_ARCHIVABLE | CProvContext::CTXF_SIG_PIN_OK |
    CProvContext::CTXF_EXCH_PIN_OK;

DWORD Fail(DWORD code) {
  SetLastError(code);
  return code;
}

}  // namespace

void CProvContext::AddAcquireFlags(DWORD acquire_flags) {
  DWORD granted = acquire_flags & kGrantedByAcquireFlags;
  if ((acquire_flags & CTXF_VERIFYCONTEXT) != 0) granted |= CTXF_VERIFYCONTEXT;
  AddFlags(granted);
}

DWORD CProvContext::PinVerifiedBit(DWORD key_spec) {
  if (key_spec == AT_SIGNATURE || key_spec == CALG_RSA_SIGN) return CTXF_SIG_PIN_OK;
  if (key_spec == AT_KEYEXCHANGE || key_spec == CALG_RSA_KEYX) return CTXF_EXCH_PIN_OK;
  return 0;
}

bool CProvContext::IsKeyPinVerified(DWORD key_spec) const {
  const DWORD bit = PinVerifiedBit(key_spec);
  const DWORD flags = Flags();
  return bit != 0 && (flags & bit) != 0 && (flags & CTXF_VERIFYCONTEXT) == 0;
}

void CProvContext::Bind(std::shared_ptr<CKeyContainer> container) {
  verifier_.Bind(container);
  std::lock_guard<std::mutex> guard(lock_);
  bound_ = container.get();
  container_ = std::move(container);
}

std::shared_ptr<CKeyContainer> CProvContext::Container() const {
  std::lock_guard<std::mutex> guard(lock_);
  return container_;
}

void CProvContext::AddKey(std::shared_ptr<CKeyObject> key) {
  std::lock_guard<std::mutex> guard(lock_);
  keys_.push_back(std::move(key));
}

HCRYPTKEY CProvContext::AddKeyHandle(std::shared_ptr<CKeyObject> key) {
  const HCRYPTKEY handle = Engine().Registry().IssueHandle(key, HK_KEY);
  if (handle != 0) AddKey(std::move(key));
  return handle;
}

void CProvContext::Release(CHandleRegistry& registry) {
  verifier_.Discard();
  std::vector<std::shared_ptr<CKeyObject>> keys;
  std::shared_ptr<CKeyContainer> container;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& key : keys_) registry.WithdrawObjectHandles(key.get(), HK_KEY);
    keys.swap(keys_);
    container.swap(container_);
  }
  // Keys made through the context die here; a slot on the list only drops
  // its reference, the container owns it. A call still running on another
  // thread keeps what it resolved until it returns.
  keys.clear();
  container.reset();
  Engine().Hashes().DestroyAll(registry);
}

DWORD CProvContext::GetUserKey(DWORD key_spec, HCRYPTKEY* user_key) {
  const auto container = Container();
  if (!container) return Fail(NTE_BAD_PROVIDER);
  CKeyObject* slot = container->GetKeySlot(key_spec, false);
  if (slot == nullptr) return NTE_NO_KEY;
  const HCRYPTKEY handle = Engine().Registry().IssueHandle(container->SlotReference(slot), HK_KEY);
  if (handle == 0) return Fail(NTE_FAIL);
  *user_key = handle;
  return 0;
}

DWORD CProvContext::DestroyKey(HCRYPTKEY key) {
  CHandleRegistry& registry = Engine().Registry();
  const auto object = registry.Resolve<CKeyObject>(key, HK_KEY);
  if (!object) return Fail(NTE_BAD_KEY);
  std::shared_ptr<CKeyObject> removed;  // dropped after the context lock is left
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find(keys_.begin(), keys_.end(), object);
    if (it != keys_.end()) {
      removed = std::move(*it);
      keys_.erase(it);
    }
  }
  registry.WithdrawHandle(key);
  return 0;
}

DWORD CProvContext::GetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* data_len, DWORD) {
  const auto object = Engine().Registry().Resolve<CKeyObject>(key, HK_KEY);
  if (!object) return Fail(NTE_BAD_KEY);
  // A failure the key reports without an error leaves the last error alone.
  return object->GetKeyParam(param, data, data_len) ? 0 : NTE_FAIL;
}

BOOL AcquireProvContext(const WCHAR* container_name, DWORD flags, HCRYPTPROV* prov) {
  std::shared_ptr<CProvContext> context;
  try {
    context = std::make_shared<CProvContext>();
  } catch (const std::bad_alloc&) {
    SetLastError(NTE_NO_MEMORY);
    return FALSE;
  }
  context->AddAcquireFlags(flags);

  CContainerManager& manager = Engine().Containers();
  // Held until the handle exists, so that a deletion of the container on
  // another thread either comes first or sees and releases this context.
  std::lock_guard<std::recursive_mutex> guard(manager.ListLock());
  std::shared_ptr<CKeyContainer> container;
  const DWORD opened = manager.OpenKeyContainer(container_name, flags, &container);
  if (opened == CContainerManager::kContainerDeleted) return TRUE;
  if (opened != 0) return FALSE;
  context->Bind(std::move(container));
  const HCRYPTPROV handle = Engine().Registry().IssueHandle(context, HK_CONTEXT);
  if (handle == 0) {
    SetLastError(NTE_NO_MEMORY);
    return FALSE;
  }
  *prov = handle;
  return TRUE;
}

BOOL ReleaseProvContext(HCRYPTPROV prov) {
  const auto context = Engine().Registry().TakeHandle(prov, HK_CONTEXT);
  if (!context) {
    SetLastError(NTE_BAD_PROVIDER);
    return FALSE;
  }
  std::static_pointer_cast<CProvContext>(context)->Release(Engine().Registry());
  return TRUE;
}
