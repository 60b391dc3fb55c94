// The context's hash operations: creating, feeding, reading, setting and
// destroying hash objects. Hash objects belong to the process-wide hash list,
// not to the context that created them.
#include "engine_module.h"
#include "handle_registry.h"
#include "hash_list.h"
#include "hash_object.h"
#include "prov_context.h"

#include <kavrin/errors.h>

#include <cstring>

namespace {

// A nonzero code becomes the last error; success leaves the last error alone.
DWORD Fail(DWORD code) {
  if (code != 0) SetLastError(code);
  return code;
}

std::shared_ptr<CHashObject> ResolveHash(HCRYPTHASH hash) {
  return Engine().Registry().Resolve<CHashObject>(hash, HK_HASH);
}

// A 4-byte parameter: a size query, a buffer too small for it, or the value.
DWORD PutDword(DWORD value, BYTE* data, DWORD* data_len) {
  if (data != nullptr && *data_len < sizeof value) {
    *data_len = sizeof value;
    return Fail(ERROR_MORE_DATA);
  }
  if (data != nullptr) std::memcpy(data, &value, sizeof value);
  *data_len = sizeof value;
  return 0;
}

}  // namespace

DWORD CProvContext::CreateHash(ALG_ID algid, HCRYPTKEY, DWORD, HCRYPTHASH* hash) {
  auto object = CHashObject::Create(Engine().OpenSsl().LibCtx(), algid);
  if (!object) return Fail(CHashObject::IsSupported(algid) ? NTE_NO_MEMORY : NTE_BAD_ALGID);
  Engine().Hashes().Add(object);
  // A release on another thread may empty the list before the handle exists;
  // the handle then dies with this last reference.
  const HCRYPTHASH handle = Engine().Registry().IssueHandle(object, HK_HASH);
  if (handle == 0) {
    Engine().Hashes().Remove(object.get(), Engine().Registry());
    return Fail(NTE_NO_MEMORY);
  }
  *hash = handle;
  return 0;
}

DWORD CProvContext::HashData(HCRYPTHASH hash, const BYTE* data, DWORD data_len, DWORD flags) {
  const auto object = ResolveHash(hash);
  if (!object) return Fail(NTE_BAD_HASH);
  if (flags == CRYPT_USERDATA) return HashUserData(*object);
  return Fail(object->Update(data, data_len));
}

DWORD CProvContext::DestroyHash(HCRYPTHASH hash) {
  const auto object = ResolveHash(hash);
  if (!object) return Fail(NTE_BAD_HASH);
  if (!Engine().Hashes().Remove(object.get(), Engine().Registry())) return Fail(NTE_BAD_HASH);
  return 0;
}

DWORD CProvContext::GetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* data_len,
                                 DWORD) {
  const auto object = ResolveHash(hash);
  if (!object) return Fail(NTE_BAD_HASH);
  if (data_len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  switch (param) {
    case HP_ALGID:
      return PutDword(object->Algid(), data, data_len);
    case HP_HASHSIZE:
      return PutDword(object->Size(), data, data_len);
    case HP_HASHVAL:
      if (data == nullptr) {
        *data_len = object->Size();
        return 0;
      }
      // A larger buffer gets the value and its length; a smaller one the
      // leading bytes that fit.
      return Fail(object->CopyValue(data, data_len));
    default:
      return Fail(NTE_BAD_TYPE);
  }
}

DWORD CProvContext::SetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD) {
  const auto object = ResolveHash(hash);
  if (!object) return Fail(NTE_BAD_HASH);
  if (param != HP_HASHVAL) return Fail(NTE_BAD_TYPE);
  if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  return Fail(object->SetValue(data));
}
