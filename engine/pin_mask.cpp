#include "pin_mask.h"

#include "openssl_ptr.h"
#include "secure_buffer.h"

#include <kavrin/kernel/text.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <climits>

namespace {

constexpr size_t kSha1Size = 20;

// The PIN's bytes in UTF-16LE order, whatever the host's byte order.
SecureBytes PinBytes(const WCHAR* pin, DWORD pin_bytes) {
  SecureBytes bytes(pin_bytes);
  for (DWORD i = 0; i < pin_bytes; ++i) {
    bytes[i] = static_cast<BYTE>(pin[i / 2] >> (8 * (i % 2)));
  }
  return bytes;
}

bool Sha1(OSSL_LIB_CTX* libctx, const SecureBytes& data, std::array<BYTE, kSha1Size>* out) {
  EvpMdPtr sha1(EVP_MD_fetch(libctx, "SHA1", nullptr));
  unsigned int length = 0;
  return sha1 && EVP_Digest(data.data(), data.size(), out->data(), &length, sha1.get(), nullptr) == 1 &&
         length == kSha1Size;
}

// RC4 is the same operation both ways; the digest is the whole 20-byte key.
bool Rc4(OSSL_LIB_CTX* libctx, const std::array<BYTE, kSha1Size>& key, std::span<BYTE> region) {
  EvpCipherPtr rc4(EVP_CIPHER_fetch(libctx, "RC4", nullptr));
  EvpCipherCtxPtr context(EVP_CIPHER_CTX_new());
  if (!rc4 || !context) return false;
  // The key length is set before the key, since RC4's default is 16 bytes.
  if (EVP_EncryptInit_ex2(context.get(), rc4.get(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_key_length(context.get(), static_cast<int>(key.size())) != 1 ||
      EVP_EncryptInit_ex2(context.get(), nullptr, key.data(), nullptr, nullptr) != 1) {
    return false;
  }
  SecureBytes out(region.size() + 1);
  size_t done = 0;
  while (done < region.size()) {
    const int chunk = static_cast<int>(std::min<size_t>(region.size() - done, INT_MAX / 2));
    int written = 0;
    if (EVP_EncryptUpdate(context.get(), out.data() + done, &written, region.data() + done, chunk) != 1 ||
        written != chunk) {
      return false;
    }
    done += static_cast<size_t>(chunk);
  }
  std::copy(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(region.size()), region.begin());
  return true;
}

}  // namespace

DWORD PinByteLength(const WCHAR* pin, DWORD length) {
  if (pin == nullptr) return 0;
  return length != 0 ? length : static_cast<DWORD>(lstrlenW(pin)) * 2;
}

bool ApplyPinMask(OSSL_LIB_CTX* libctx, const WCHAR* pin, DWORD pin_bytes, std::span<BYTE> region) {
  if (pin == nullptr || pin_bytes > kMaxPinBytes) return false;
  std::array<BYTE, kSha1Size> key{};
  const bool done = Sha1(libctx, PinBytes(pin, pin_bytes), &key) && Rc4(libctx, key, region);
  OPENSSL_cleanse(key.data(), key.size());
  return done;
}
