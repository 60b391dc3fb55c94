// The key object's ciphers: session keys (RC2, RC4) with their chains, and
// RSA keys as single PKCS#1 v1.5 blocks, byte-reversed on the caller's side
// as every RSA output of the engine is.
#include "engine_module.h"
#include "key_object.h"

#include <kavrin/errors.h>

#include <openssl/rsa.h>

#include <algorithm>

namespace {

// Session key material a key object takes when it replaces a session key.
constexpr DWORD kMaxReplacingMaterial = 24;

DWORD Failed(DWORD code) {
  if (code != 0) SetLastError(code);
  return code;
}

// One RSA operation with PKCS#1 v1.5 padding; out has room for n bytes.
enum class RsaOperation { kPublicEncrypt, kPrivateEncrypt, kPublicDecrypt, kPrivateDecrypt };

bool RunRsa(EVP_PKEY* key, RsaOperation operation, const BYTE* in, size_t in_len, BYTE* out,
            size_t* out_len) {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(Engine().OpenSsl().LibCtx(), key, nullptr));
  if (!ctx) return false;
  int started = 0;
  switch (operation) {
    case RsaOperation::kPublicEncrypt:
      started = EVP_PKEY_encrypt_init(ctx.get());
      break;
    case RsaOperation::kPrivateEncrypt:  // a signature block over the raw data
      started = EVP_PKEY_sign_init(ctx.get());
      break;
    case RsaOperation::kPublicDecrypt:  // the raw data of a signature block
      started = EVP_PKEY_verify_recover_init(ctx.get());
      break;
    case RsaOperation::kPrivateDecrypt:
      started = EVP_PKEY_decrypt_init(ctx.get());
      break;
  }
  if (started != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1) {
    return false;
  }
  switch (operation) {
    case RsaOperation::kPublicEncrypt:
      return EVP_PKEY_encrypt(ctx.get(), out, out_len, in, in_len) == 1;
    case RsaOperation::kPrivateEncrypt:
      return EVP_PKEY_sign(ctx.get(), out, out_len, in, in_len) == 1;
    case RsaOperation::kPublicDecrypt:
      return EVP_PKEY_verify_recover(ctx.get(), out, out_len, in, in_len) == 1;
    case RsaOperation::kPrivateDecrypt:
      return EVP_PKEY_decrypt(ctx.get(), out, out_len, in, in_len) == 1;
  }
  return false;
}

}  // namespace

bool CKeyObject::IsSessionKey() const {
  const ALG_ID algid = Algid();
  return algid == CALG_RC2 || algid == CALG_RC4;
}

DWORD CKeyObject::KeyBits() const {
  std::lock_guard<std::mutex> guard(lock_);
  return key_bits_;
}

bool CKeyObject::LoadSessionKey(const BYTE* material, DWORD length_word, ALG_ID algid) {
  const DWORD length = length_word & 0xFFFF;
  if (material == nullptr || length == 0) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (IsSessionKey() && length > kMaxReplacingMaterial) return false;
  ResetLocked();
  algid_ = algid;
  length_ = length;
  key_bits_ = length_word >> 16;
  clear_.assign(material, material + length);
  attributes_ = KEYF_EXPORTABLE;
  // A key whose ciphers could not be set up stays loaded; its encryptions
  // and decryptions fail.
  cipher_.Setup(Engine().OpenSsl().LibCtx(), algid, clear_.data(), length);
  return true;
}

DWORD CKeyObject::EncryptBlock(bool final, BYTE* data, DWORD* data_len, DWORD buf_len,
                               DWORD flags) {
  if (IsRsaKey()) return Failed(EncryptRsaBlock(data, data_len, buf_len, flags));
  if (!IsSessionKey()) return Failed(NTE_BAD_KEY);
  if (data != nullptr && buf_len < *data_len) return Failed(NTE_FAIL);
  return Failed(cipher_.Encrypt(final, data, data_len, buf_len));
}

DWORD CKeyObject::DecryptBlock(bool final, DWORD flags, BYTE* data, DWORD* data_len) {
  if (IsRsaKey()) return Failed(DecryptRsaBlock(flags, data, data_len));
  if (!IsSessionKey()) return Failed(NTE_BAD_KEY);
  return Failed(cipher_.Decrypt(final, data, data_len));
}

DWORD CKeyObject::EncryptRsaBlock(BYTE* data, DWORD* data_len, DWORD buf_len, DWORD flags) {
  RsaOperation operation;
  if ((flags & EF_RSA_PUBLIC_ENCRYPT) != 0) {
    operation = RsaOperation::kPublicEncrypt;
  } else if ((flags & EF_RSA_PRIVATE_ENCRYPT) != 0) {
    operation = RsaOperation::kPrivateEncrypt;
  } else {
    return NTE_BAD_FLAGS;
  }
  const EvpPkeyPtr key = GetRsa();
  if (!key) return NTE_FAIL;
  const DWORD n = static_cast<DWORD>(EVP_PKEY_get_size(key.get()));
  if (data == nullptr) {
    *data_len = n;
    return 0;
  }
  // The block is n bytes whatever the input, an empty input included.
  const DWORD blocks = std::max<DWORD>(1, (*data_len + n - 1) / n);
  if (static_cast<uint64_t>(buf_len) < static_cast<uint64_t>(n) * blocks) return NTE_FAIL;
  SecureBytes block(n);
  size_t written = block.size();
  if (!RunRsa(key.get(), operation, data, *data_len, block.data(), &written)) return NTE_FAIL;
  std::reverse_copy(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(written), data);
  *data_len = static_cast<DWORD>(written);
  return 0;
}

DWORD CKeyObject::DecryptRsaBlock(DWORD flags, BYTE* data, DWORD* data_len) {
  RsaOperation operation;
  if ((flags & DF_RSA_PUBLIC_DECRYPT) != 0) {
    operation = RsaOperation::kPublicDecrypt;
  } else if ((flags & DF_RSA_PRIVATE_DECRYPT) != 0) {
    operation = RsaOperation::kPrivateDecrypt;
  } else {
    return NTE_BAD_FLAGS;
  }
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  const EvpPkeyPtr key = GetRsa();
  if (!key) return NTE_FAIL;
  SecureBytes block(data, data + *data_len);
  std::reverse(block.begin(), block.end());
  SecureBytes plain(static_cast<size_t>(EVP_PKEY_get_size(key.get())));
  size_t written = plain.size();
  if (!RunRsa(key.get(), operation, block.data(), block.size(), plain.data(), &written) ||
      written > *data_len) {
    return NTE_FAIL;
  }
  std::copy_n(plain.begin(), written, data);
  *data_len = static_cast<DWORD>(written);
  return 0;
}
