// The cipher state of a session key: an encryption chain and a decryption
// chain, side by side, for RC2 (CBC, 40 effective key bits, zero IV, PKCS#5
// padding) or RC4.
//
// A chain runs across calls until a final call; after a final call it starts
// again from the key and the zero IV, so the next message is independent of
// the last. Each call runs on a copy of its chain first: a call that fails,
// or whose output would not fit the caller's buffer, leaves the chain as it
// was (a final call that fails still ends the message).
#pragma once

#include "openssl_ptr.h"

#include <kavrin/crypt.h>

#include <mutex>

class CSessionCipher {
 public:
  CSessionCipher() = default;
  CSessionCipher(const CSessionCipher&) = delete;
  CSessionCipher& operator=(const CSessionCipher&) = delete;

  // Sets up both chains for CALG_RC2 or CALG_RC4. The cipher takes the first
  // key bytes of the material (5 for RC2, 16 for RC4); shorter material is
  // completed with zero bytes.
  // False, with no cipher state left, when the cipher cannot be set up.
  bool Setup(OSSL_LIB_CTX* libctx, ALG_ID algid, const BYTE* material, DWORD length);
  // Drops both chains.
  void Reset();

  // Encrypts *data_len bytes of data in place. data null: *data_len becomes
  // the length the output would have. Output longer than buf_len:
  // ERROR_MORE_DATA with the needed length in *data_len, nothing written.
  DWORD Encrypt(bool final, BYTE* data, DWORD* data_len, DWORD buf_len);
  // Decrypts *data_len bytes in place; the output never exceeds the input's
  // buffer (ERROR_MORE_DATA as above otherwise). Bad padding on a final call:
  // NTE_FAIL.
  DWORD Decrypt(bool final, BYTE* data, DWORD* data_len);

 private:
  DWORD Run(EvpCipherCtxPtr& chain, const EvpCipherCtxPtr& fresh, bool final, BYTE* data,
            DWORD* data_len, DWORD capacity);

  mutable std::mutex lock_;
  EvpCipherCtxPtr encrypt_;
  EvpCipherCtxPtr decrypt_;
  // Both chains as set up, copied whenever a chain starts again.
  EvpCipherCtxPtr fresh_encrypt_;
  EvpCipherCtxPtr fresh_decrypt_;
};
