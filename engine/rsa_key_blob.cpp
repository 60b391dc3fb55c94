#include "rsa_key_blob.h"

#include <openssl/core_names.h>

#include <array>
#include <cstdint>

namespace {

constexpr BYTE kPublicBlob = PUBLICKEYBLOB;
constexpr BYTE kPrivateBlob = PRIVATEKEYBLOB;

// The integers of a private blob in stored order, with their OpenSSL names
// and whether the field is n bytes wide (else n/2).
struct BlobInteger {
  const char* name;
  bool full_width;
};
constexpr std::array<BlobInteger, 7> kPrivateIntegers = {{
    {OSSL_PKEY_PARAM_RSA_N, true},
    {OSSL_PKEY_PARAM_RSA_FACTOR1, false},
    {OSSL_PKEY_PARAM_RSA_FACTOR2, false},
    {OSSL_PKEY_PARAM_RSA_EXPONENT1, false},
    {OSSL_PKEY_PARAM_RSA_EXPONENT2, false},
    {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, false},
    {OSSL_PKEY_PARAM_RSA_D, true},
}};
constexpr size_t kPrivateIntegerCount = kPrivateIntegers.size();

size_t FieldWidth(const BlobInteger& integer, size_t n) { return integer.full_width ? n : n / 2; }

// The builder refers to the number, so the caller keeps it until the
// parameters are made.
bool PushInteger(OSSL_PARAM_BLD* builder, const char* name, const BYTE* little_endian,
                 size_t width, BignumPtr* keep) {
  keep->reset(BN_lebin2bn(little_endian, static_cast<int>(width), nullptr));
  return *keep != nullptr && OSSL_PARAM_BLD_push_BN(builder, name, keep->get()) == 1;
}

}  // namespace

DWORD ReadLittleEndian32(const BYTE* in) {
  return DWORD{in[0]} | DWORD{in[1]} << 8 | DWORD{in[2]} << 16 | DWORD{in[3]} << 24;
}

void WriteLittleEndian32(BYTE* out, DWORD value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
}

BYTE RsaBlobType(std::span<const BYTE> blob) {
  return blob.size() < kRsaBlobHeaderSize ? 0 : blob[kBlobTypeOffset];
}

size_t RsaBlobModulusBytes(std::span<const BYTE> blob) {
  if (blob.size() < kRsaBlobHeaderSize) return 0;
  return (uint64_t{ReadLittleEndian32(blob.data() + kBlobBitlenOffset)} + 7) / 8;
}

size_t RsaPublicBlobSize(size_t modulus_bytes) { return kRsaBlobHeaderSize + modulus_bytes; }

size_t RsaPrivateBlobSize(size_t modulus_bytes) {
  return kRsaBlobHeaderSize + 2 * modulus_bytes + 5 * (modulus_bytes / 2);
}

bool IsWellFormedRsaBlob(std::span<const BYTE> blob) {
  const size_t n = RsaBlobModulusBytes(blob);
  if (n == 0) return false;
  switch (RsaBlobType(blob)) {
    case kPublicBlob:
      return blob.size() == RsaPublicBlobSize(n);
    case kPrivateBlob:
      return blob.size() == RsaPrivateBlobSize(n);
    default:
      return false;
  }
}

EvpPkeyPtr RsaKeyFromBlob(OSSL_LIB_CTX* libctx, std::span<const BYTE> blob) {
  if (!IsWellFormedRsaBlob(blob)) return nullptr;
  const size_t n = RsaBlobModulusBytes(blob);
  const bool is_private = RsaBlobType(blob) == kPrivateBlob;

  OsslParamBldPtr builder(OSSL_PARAM_BLD_new());
  if (!builder) return nullptr;
  std::array<BignumPtr, kPrivateIntegerCount> integers;
  const BYTE* field = blob.data() + kRsaBlobHeaderSize;
  const size_t count = is_private ? kPrivateIntegerCount : 1;
  for (size_t i = 0; i < count; ++i) {
    const size_t width = FieldWidth(kPrivateIntegers[i], n);
    if (!PushInteger(builder.get(), kPrivateIntegers[i].name, field, width, &integers[i])) {
      return nullptr;
    }
    field += width;
  }
  if (OSSL_PARAM_BLD_push_uint32(builder.get(), OSSL_PKEY_PARAM_RSA_E,
                                 ReadLittleEndian32(blob.data() + kBlobPubexpOffset)) != 1) {
    return nullptr;
  }
  OsslParamPtr params(OSSL_PARAM_BLD_to_param(builder.get()));
  EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(libctx, "RSA", nullptr));
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1) return nullptr;
  EVP_PKEY* key = nullptr;
  const int selection = is_private ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY;
  if (EVP_PKEY_fromdata(context.get(), &key, selection, params.get()) != 1) return nullptr;
  return EvpPkeyPtr(key);
}

bool RsaPrivateBlobFromKey(const EVP_PKEY* key, ALG_ID algid, SecureBytes* out) {
  std::array<BignumPtr, kPrivateIntegerCount> integers;
  for (size_t i = 0; i < kPrivateIntegerCount; ++i) {
    BIGNUM* value = nullptr;
    if (EVP_PKEY_get_bn_param(key, kPrivateIntegers[i].name, &value) != 1) return false;
    integers[i].reset(value);
  }
  BIGNUM* exponent = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &exponent) != 1) return false;
  const BignumPtr e(exponent);

  const int bits = BN_num_bits(integers[0].get());
  const size_t n = (static_cast<size_t>(bits) + 7) / 8;
  SecureBytes blob(RsaPrivateBlobSize(n), 0);
  blob[kBlobTypeOffset] = kPrivateBlob;
  blob[kBlobVersionOffset] = CUR_BLOB_VERSION;
  WriteLittleEndian32(blob.data() + kBlobAlgidOffset, algid);
  WriteLittleEndian32(blob.data() + kBlobMagicOffset, RSA2_MAGIC);
  WriteLittleEndian32(blob.data() + kBlobBitlenOffset, static_cast<DWORD>(bits));
  // Generated keys have the exponent 65537, which the 32-bit field holds.
  WriteLittleEndian32(blob.data() + kBlobPubexpOffset, static_cast<DWORD>(BN_get_word(e.get())));
  BYTE* field = blob.data() + kRsaBlobHeaderSize;
  for (size_t i = 0; i < kPrivateIntegerCount; ++i) {
    const size_t width = FieldWidth(kPrivateIntegers[i], n);
    if (BN_bn2lebinpad(integers[i].get(), field, static_cast<int>(width)) < 0) return false;
    field += width;
  }
  *out = std::move(blob);
  return true;
}

bool IsConsistentRsaKey(OSSL_LIB_CTX* libctx, EVP_PKEY* key) {
  if (key == nullptr) return false;
  EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(libctx, key, nullptr));
  // The pairwise check is the full key check: both primes, n = p q, and the
  // private and CRT exponents against e.
  return context && EVP_PKEY_pairwise_check(context.get()) == 1;
}
