// Masking of a private key blob under a PIN: the SHA-1 digest of the PIN's
// UTF-16LE bytes (no terminator) keys RC4, which runs once over everything
// after the blob's header and modulus. Masking and unmasking are the same
// operation. Nothing derived from the PIN is kept.
#pragma once

#include <kavrin/types.h>

#include <openssl/types.h>

#include <cstddef>
#include <span>

// The PIN of a key that has no user PIN yet.
inline constexpr WCHAR kDefaultPin[] = u"QWKE";
// Longest PIN in bytes (20 UTF-16 characters).
inline constexpr DWORD kMaxPinBytes = 40;

// The length in bytes of a PIN given with a length: 0 measures the string.
DWORD PinByteLength(const WCHAR* pin, DWORD length);

// XORs region with the RC4 key stream keyed by SHA-1 of the first pin_bytes
// bytes of the PIN. False when the PIN is null or longer than kMaxPinBytes,
// or OpenSSL fails (the region is then unchanged).
bool ApplyPinMask(OSSL_LIB_CTX* libctx, const WCHAR* pin, DWORD pin_bytes, std::span<BYTE> region);
