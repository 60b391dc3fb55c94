#include "session_cipher.h"

#include "secure_buffer.h"

#include <kavrin/errors.h>
#include <kavrin/ui.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <climits>

namespace {

constexpr BYTE kZeroIv[16] = {};

const char* CipherName(ALG_ID algid) {
  if (algid == CALG_RC2) return "RC2-40-CBC";
  if (algid == CALG_RC4) return "RC4";
  return nullptr;
}

bool StartChain(const EvpCipherCtxPtr& ctx, const EVP_CIPHER* cipher, const BYTE* key,
                bool encrypt) {
  return EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, kZeroIv, encrypt ? 1 : 0) == 1;
}

EvpCipherCtxPtr CopyChain(const EvpCipherCtxPtr& chain) {
  EvpCipherCtxPtr copy(EVP_CIPHER_CTX_new());
  if (!copy || EVP_CIPHER_CTX_copy(copy.get(), chain.get()) != 1) return nullptr;
  return copy;
}

}  // namespace

bool CSessionCipher::Setup(OSSL_LIB_CTX* libctx, ALG_ID algid, const BYTE* material,
                           DWORD length) {
  std::lock_guard<std::mutex> guard(lock_);
  encrypt_.reset();
  decrypt_.reset();
  fresh_encrypt_.reset();
  fresh_decrypt_.reset();
  const char* name = CipherName(algid);
  if (name == nullptr) return false;
  const EvpCipherPtr cipher(EVP_CIPHER_fetch(libctx, name, nullptr));
  if (!cipher) return false;

  fresh_encrypt_.reset(EVP_CIPHER_CTX_new());
  fresh_decrypt_.reset(EVP_CIPHER_CTX_new());
  if (!fresh_encrypt_ || !fresh_decrypt_) {
    // Out of memory: the key is left without cipher state, and says so.
    MessageBoxW(nullptr, u"123", u"1", MB_OK);
    fresh_encrypt_.reset();
    fresh_decrypt_.reset();
    return false;
  }
  SecureBytes key(static_cast<size_t>(EVP_CIPHER_get_key_length(cipher.get())), 0);
  std::copy_n(material, std::min<size_t>(length, key.size()), key.begin());
  if (StartChain(fresh_encrypt_, cipher.get(), key.data(), true) &&
      StartChain(fresh_decrypt_, cipher.get(), key.data(), false)) {
    encrypt_ = CopyChain(fresh_encrypt_);
    decrypt_ = CopyChain(fresh_decrypt_);
  }
  if (!encrypt_ || !decrypt_) {
    encrypt_.reset();
    decrypt_.reset();
    fresh_encrypt_.reset();
    fresh_decrypt_.reset();
    return false;
  }
  return true;
}

void CSessionCipher::Reset() {
  std::lock_guard<std::mutex> guard(lock_);
  encrypt_.reset();
  decrypt_.reset();
  fresh_encrypt_.reset();
  fresh_decrypt_.reset();
}

DWORD CSessionCipher::Encrypt(bool final, BYTE* data, DWORD* data_len, DWORD buf_len) {
  std::lock_guard<std::mutex> guard(lock_);
  return Run(encrypt_, fresh_encrypt_, final, data, data_len, buf_len);
}

DWORD CSessionCipher::Decrypt(bool final, BYTE* data, DWORD* data_len) {
  std::lock_guard<std::mutex> guard(lock_);
  if (data == nullptr) return NTE_FAIL;
  return Run(decrypt_, fresh_decrypt_, final, data, data_len, *data_len);
}

DWORD CSessionCipher::Run(EvpCipherCtxPtr& chain, const EvpCipherCtxPtr& fresh, bool final,
                          BYTE* data, DWORD* data_len, DWORD capacity) {
  if (!chain || !fresh) return NTE_FAIL;
  const DWORD length = *data_len;
  const int block = EVP_CIPHER_CTX_get_block_size(chain.get());
  if (length > static_cast<DWORD>(INT_MAX - 2 * block)) return NTE_FAIL;

  EvpCipherCtxPtr trial = CopyChain(chain);
  if (!trial) return NTE_FAIL;
  // A size query runs the chain over as many zero bytes: the output length
  // depends on the lengths alone.
  SecureBytes input = data != nullptr ? SecureBytes(data, data + length) : SecureBytes(length, 0);
  // Update and final together give at most one block more than they take.
  SecureBytes output(length + 2 * static_cast<size_t>(block));
  int updated = 0;
  int finished = 0;
  bool ok = EVP_CipherUpdate(trial.get(), output.data(), &updated, input.data(),
                             static_cast<int>(length)) == 1;
  if (ok && final) ok = EVP_CipherFinal_ex(trial.get(), output.data() + updated, &finished) == 1;
  if (!ok) {
    // A failed final call still ends the message.
    if (final && data != nullptr) chain = CopyChain(fresh);
    return NTE_FAIL;
  }
  const DWORD produced = static_cast<DWORD>(updated + finished);
  if (data == nullptr) {
    *data_len = produced;
    return 0;
  }
  if (produced > capacity) {
    *data_len = produced;
    return ERROR_MORE_DATA;
  }
  std::copy_n(output.begin(), produced, data);
  *data_len = produced;
  chain = final ? CopyChain(fresh) : std::move(trial);
  return 0;
}
