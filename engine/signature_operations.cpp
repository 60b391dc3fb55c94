// The context's signature operations: signing a hash with a container key,
// verifying a signature with a key object, and hashing data the user types.
#include "hash_object.h"
#include "prov_context.h"

#include <kavrin/errors.h>

DWORD CProvContext::SignHash(HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE*, DWORD*) {
  SetLastError(NTE_FAIL);
  return NTE_FAIL;
}

DWORD CProvContext::VerifySignature(HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LPCWSTR, DWORD) {
  SetLastError(NTE_FAIL);
  return NTE_FAIL;
}

DWORD CProvContext::HashUserData(CHashObject&) {
  SetLastError(NTE_FAIL);
  return NTE_FAIL;
}
