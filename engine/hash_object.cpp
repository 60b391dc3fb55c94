#include "hash_object.h"

#include "diagnostic.h"

#include <kavrin/errors.h>

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <new>

struct HashAlgorithm {
  ALG_ID algid;
  DWORD size;
  // The OpenSSL digest: hashed with (when streamed) and named in signatures.
  const char* digest;
  // False when the hash has no running digest: its value is set by the caller.
  bool streamed;
  // False when signatures over this hash cannot be verified.
  bool verifiable;
};

namespace {

// The 36-byte SSL3 value is signed as it is, without a DigestInfo: OpenSSL's
// MD5-SHA1 signature type does exactly that.
constexpr HashAlgorithm kHashAlgorithms[] = {
    {CALG_MD5, 16, "MD5", true, true},
    {CALG_SHA1, 20, "SHA1", true, true},
    {ALGID_SHA256, 32, "SHA256", true, true},
    {CALG_SSL3_SHAMD5, 36, "MD5-SHA1", false, false},
};

const HashAlgorithm* FindAlgorithm(ALG_ID algid) {
  for (const auto& algorithm : kHashAlgorithms) {
    if (algorithm.algid == algid) return &algorithm;
  }
  return nullptr;
}

void ReverseCopy(const BYTE* in, size_t length, BYTE* out) {
  std::reverse_copy(in, in + length, out);
}

}  // namespace

bool CHashObject::IsSupported(ALG_ID algid) { return FindAlgorithm(algid) != nullptr; }

std::shared_ptr<CHashObject> CHashObject::Create(OSSL_LIB_CTX* libctx, ALG_ID algid) {
  const HashAlgorithm* algorithm = FindAlgorithm(algid);
  if (algorithm == nullptr) return nullptr;
  std::shared_ptr<CHashObject> hash;
  try {
    hash.reset(new CHashObject(libctx, *algorithm));
  } catch (const std::bad_alloc&) {
    WriteDiagnostic("内存分配失败\n");
    return nullptr;
  }
  hash->Start();
  return hash;
}

CHashObject::CHashObject(OSSL_LIB_CTX* libctx, const HashAlgorithm& algorithm)
    : algid_(algorithm.algid),
      size_(algorithm.size),
      value_(algorithm.size),
      libctx_(libctx),
      algorithm_(algorithm) {}

void CHashObject::Start() {
  md_.reset(EVP_MD_fetch(libctx_, algorithm_.digest, nullptr));
  if (!algorithm_.streamed) {
    state_ |= kFinished;
    return;
  }
  md_ctx_.reset(EVP_MD_CTX_new());
  if (!md_ctx_ || !md_ || EVP_DigestInit_ex(md_ctx_.get(), md_.get(), nullptr) != 1) {
    WriteDiagnostic("计算摘要初始化失败\n");
    md_ctx_.reset();
  }
}

CHashObject::~CHashObject() {
  if (md_ctx_ && EVP_MD_CTX_reset(md_ctx_.get()) != 1) {
    WriteDiagnostic("清除EVP_MD_CTX结构失败\n");
  }
}

DWORD CHashObject::Update(const BYTE* data, DWORD length) {
  std::lock_guard<std::mutex> guard(lock_);
  if ((state_ & kFinished) != 0) return NTE_BAD_HASH_STATE;
  if (!md_ctx_ || (data == nullptr && length != 0) ||
      EVP_DigestUpdate(md_ctx_.get(), data, length) != 1) {
    WriteDiagnostic("计算摘要失败\n");
    return NTE_FAIL;
  }
  return 0;
}

DWORD CHashObject::FinishLocked() {
  if (value_released_) return NTE_BAD_HASH_STATE;
  if ((state_ & kFinished) != 0) return 0;
  unsigned int written = 0;
  if (!md_ctx_ || EVP_DigestFinal_ex(md_ctx_.get(), value_.data(), &written) != 1 ||
      written != size_) {
    WriteDiagnostic("获取摘要值失败\n");
    return NTE_FAIL;
  }
  state_ |= kFinished;
  return 0;
}

DWORD CHashObject::CopyValue(BYTE* out, DWORD* length) {
  std::lock_guard<std::mutex> guard(lock_);
  if (const DWORD result = FinishLocked(); result != 0) return result;
  const DWORD copied = std::min(*length, size_);
  std::copy_n(value_.begin(), copied, out);
  *length = copied;
  return 0;
}

DWORD CHashObject::GetValue(SecureBytes* value) {
  std::lock_guard<std::mutex> guard(lock_);
  if (const DWORD result = FinishLocked(); result != 0) return result;
  *value = value_;
  return 0;
}

DWORD CHashObject::SetValue(const BYTE* value) {
  std::lock_guard<std::mutex> guard(lock_);
  // A released value gets its buffer back: the object is usable again.
  value_.assign(value, value + size_);
  value_released_ = false;
  state_ |= kFinished;
  return 0;
}

EvpPkeyCtxPtr CHashObject::KeyContext(EVP_PKEY* key) const {
  return EvpPkeyCtxPtr(EVP_PKEY_CTX_new_from_pkey(libctx_, key, nullptr));
}

DWORD CHashObject::Sign(EVP_PKEY* key, BYTE* out, DWORD* length) {
  std::lock_guard<std::mutex> guard(lock_);
  if (const DWORD result = FinishLocked(); result != 0) return result;
  const int key_size = EVP_PKEY_get_size(key);
  if (key_size <= 0) {
    WriteDiagnostic("签名失败\n");
    return NTE_FAIL;
  }
  SecureBytes block(static_cast<size_t>(key_size));
  size_t written = block.size();
  const EvpPkeyCtxPtr ctx = KeyContext(key);
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      !md_ || EVP_PKEY_CTX_set_signature_md(ctx.get(), md_.get()) != 1 ||
      EVP_PKEY_sign(ctx.get(), block.data(), &written, value_.data(), size_) != 1) {
    WriteDiagnostic("签名失败\n");
    return NTE_FAIL;
  }
  ReverseCopy(block.data(), written, out);
  *length = static_cast<DWORD>(written);
  return 0;
}

DWORD CHashObject::Verify(EVP_PKEY* key, const BYTE* signature, DWORD length) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!algorithm_.verifiable) {
    WriteDiagnostic("不支持的摘要算法\n");
    return NTE_FAIL;
  }
  if (const DWORD result = FinishLocked(); result != 0) return result;
  SecureBytes block(length);
  if (length != 0) ReverseCopy(signature, length, block.data());
  const EvpPkeyCtxPtr ctx = KeyContext(key);
  const bool verified =
      ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 && md_ &&
      EVP_PKEY_CTX_set_signature_md(ctx.get(), md_.get()) == 1 &&
      EVP_PKEY_verify(ctx.get(), block.data(), block.size(), value_.data(), size_) == 1;
  // The value is gone after a verification, whatever its outcome.
  SecureBytes().swap(value_);
  value_released_ = true;
  if (!verified) {
    WriteDiagnostic("签名校验失败\n");
    return NTE_FAIL;
  }
  return 0;
}
