// The key blobs through which RSA keys enter and leave the engine, and the
// step between a blob and an OpenSSL key.
//
// A blob is BLOBHEADER (bType, bVersion, reserved, aiKeyAlg), RSAPUBKEY
// (magic, bitlen, pubexp) and then the integers, little-endian, each
// zero-padded to its field: modulus (n bytes); in a private blob also prime1,
// prime2, exponent1, exponent2, coefficient (n/2 bytes each) and
// privateExponent (n bytes), n being (bitlen + 7) / 8.
#pragma once

#include "openssl_ptr.h"
#include "secure_buffer.h"

#include <kavrin/crypt.h>

#include <openssl/types.h>

#include <cstddef>
#include <span>

// Offsets of the header fields.
inline constexpr size_t kBlobTypeOffset = 0;
inline constexpr size_t kBlobVersionOffset = 1;
inline constexpr size_t kBlobAlgidOffset = 4;
inline constexpr size_t kBlobMagicOffset = 8;
inline constexpr size_t kBlobBitlenOffset = 12;
inline constexpr size_t kBlobPubexpOffset = 16;
// BLOBHEADER and RSAPUBKEY together.
inline constexpr size_t kRsaBlobHeaderSize = 20;

DWORD ReadLittleEndian32(const BYTE* in);
void WriteLittleEndian32(BYTE* out, DWORD value);

// The blob's bType, or 0 for a blob shorter than its header.
BYTE RsaBlobType(std::span<const BYTE> blob);
// n, from the blob's bitlen; 0 for a blob shorter than its header.
size_t RsaBlobModulusBytes(std::span<const BYTE> blob);
size_t RsaPublicBlobSize(size_t modulus_bytes);
size_t RsaPrivateBlobSize(size_t modulus_bytes);
// True for a public (bType 6) or private (bType 7) blob whose length is
// exactly what its bitlen calls for, with a modulus of at least one byte.
bool IsWellFormedRsaBlob(std::span<const BYTE> blob);

// The OpenSSL key the blob describes: the public key of a public blob, the
// key pair of a private one. Null for a blob that is not well-formed or
// integers OpenSSL refuses. No consistency check is made.
EvpPkeyPtr RsaKeyFromBlob(OSSL_LIB_CTX* libctx, std::span<const BYTE> blob);

// A private blob of the key pair: bType 7, bVersion 2, the algid, magic
// "RSA2", the modulus's bit count and the low 32 bits of the public exponent.
// False when the key has no private part or a prime does not fit its field.
bool RsaPrivateBlobFromKey(const EVP_PKEY* key, ALG_ID algid, SecureBytes* out);

// The key pair passes OpenSSL's full RSA key check (primes, modulus, private
// and CRT exponents).
bool IsConsistentRsaKey(OSSL_LIB_CTX* libctx, EVP_PKEY* key);
