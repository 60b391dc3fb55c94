// The object behind every key handle and the type of a container's two key
// slots. For RSA it holds the key as a CryptoAPI blob (rsa_key_blob.h): the
// clear blob, and for a private key the masked blob (the blob with everything
// after the header and modulus masked under the key's PIN, pin_mask.h), which
// is what the container stores. The clear private blob never leaves memory.
//
// States of a private key in a container slot:
//   fresh              clear blob only, no PIN attribute (just generated or
//                      imported, its PIN still to be set)
//   default-protected  masked under the default PIN; KEYF_DEFAULT_PIN
//   user-protected     masked under the user's PIN; KEYF_USER_PIN; locked
//                      while the clear blob is missing, unlocked once a PIN
//                      check restored it
//
// A session key (RC2 or RC4) holds its key material as the clear blob, the
// key length its derivation stated, and its cipher chains (session_cipher.h).
//
// Slots are shared by every context on the container, on any thread: the
// blobs and the cached OpenSSL key are guarded by the object's own lock, and
// the algorithm and attributes are atomic. The cached OpenSSL key of a
// private key passed the full RSA key check when it was built, and it is
// dropped whenever the clear blob changes.
#pragma once

#include "openssl_ptr.h"
#include "secure_buffer.h"
#include "session_cipher.h"

#include <kavrin/crypt.h>

#include <atomic>
#include <mutex>

class CKeyObject {
 public:
  // Attribute flags, stored with a slot as its dwFlags.
  static constexpr DWORD KEYF_EXPORTABLE = 0x0001;
  static constexpr DWORD KEYF_EXPORT_GUARDED = 0x0008;
  static constexpr DWORD KEYF_CONTAINER_SLOT = 0x0010;
  static constexpr DWORD KEYF_USER_PIN = 0x0020;
  static constexpr DWORD KEYF_DEFAULT_PIN = 0x0040;

  // CopyOut forms.
  static constexpr DWORD kFormMaterial = 1;
  static constexpr DWORD kFormPublicBlob = PUBLICKEYBLOB;
  static constexpr DWORD kFormPrivateBlob = PRIVATEKEYBLOB;

  CKeyObject() = default;
  CKeyObject(const CKeyObject&) = delete;
  CKeyObject& operator=(const CKeyObject&) = delete;

  // CPEncrypt and CPDecrypt flags of an RSA key; no other flag is accepted
  // for one. When both of a pair are given the public-key one wins.
  static constexpr DWORD EF_RSA_PUBLIC_ENCRYPT = 0x01000000;
  static constexpr DWORD EF_RSA_PRIVATE_ENCRYPT = 0x04000000;
  static constexpr DWORD DF_RSA_PUBLIC_DECRYPT = 0x02000000;
  static constexpr DWORD DF_RSA_PRIVATE_DECRYPT = 0x08000000;

  ALG_ID Algid() const { return algid_.load(); }
  void SetAlgid(ALG_ID algid) { algid_ = algid; }
  bool IsRsaKey() const;
  bool IsSessionKey() const;
  // A session key's stated length in bits (0 after a SIMPLEBLOB import).
  DWORD KeyBits() const;

  DWORD Attributes() const { return attributes_.load(); }
  // Adds the exportable, guarded and slot bits; a PIN bit replaces the other
  // one. A request naming both PIN bits changes nothing at all.
  void SetAttributes(DWORD flags);
  bool HasAttribute(DWORD flag) const { return (Attributes() & flag) != 0; }

  // Length in bytes of the key blob (both buffers have it).
  DWORD Length() const;
  // n, the modulus length in bytes, from whichever blob is present (the
  // masked one first); 0 without a blob.
  size_t ModulusBytes() const;
  // The object holds the private part of a key pair (masked or clear).
  bool IsPrivateKey() const;

  SecureBytes MaskedBlob() const;
  bool HasMaskedBlob() const;
  // Takes a masked blob read from storage; the clear blob stays empty until a
  // PIN unmasks it.
  void SetMaskedBlob(SecureBytes blob);

  SecureBytes ClearBlob() const;
  bool HasClearBlob() const;
  // Takes a clear key blob; the masked blob is made from it when the key
  // gets its PIN.
  void SetClearBlob(SecureBytes blob);
  // True when the object holds a key, masked or not.
  bool HasKeyData() const;

  // Replaces the object's content with a key: for RSA algids a well-formed
  // public or private blob (bytes beyond the length its bitlen calls for are
  // ignored); for CALG_RC2 and CALG_RC4 key material, whose ciphers are set
  // up (a session key is then exportable and nothing else). The low 16 bits
  // of length_word are the byte length, the high 16 bits a session key's key
  // bits. Clears the attributes. False (nothing changed) for any other input,
  // for empty material, and for material over 24 bytes replacing a session
  // key.
  bool LoadKey(const BYTE* material, DWORD length_word, ALG_ID algid);

  // Encrypts *data_len bytes of data in place, for a final call or not: an
  // RSA key one PKCS#1 v1.5 block (flags EF_RSA_*; n bytes out,
  // byte-reversed), a session key its encryption chain. data null: *data_len
  // becomes the output length. 0, ERROR_MORE_DATA (needed length in
  // *data_len, nothing written) or an NTE_ code, also set as the last error.
  DWORD EncryptBlock(bool final, BYTE* data, DWORD* data_len, DWORD buf_len, DWORD flags);
  // Decrypts *data_len bytes in place: an RSA key one byte-reversed block
  // (flags DF_RSA_*), a session key its decryption chain. Codes as above.
  DWORD DecryptBlock(bool final, DWORD flags, BYTE* data, DWORD* data_len);

  // Writes the form asked for, of exactly that length: kFormPublicBlob (n +
  // 20 bytes, also from a locked key), kFormPrivateBlob (the stored length;
  // a locked user-protected key fails, a default-protected one is unmasked),
  // kFormMaterial (the first length bytes of the clear material). Any other
  // form: NTE_BAD_TYPE.
  bool CopyOut(BYTE* buffer, DWORD length, DWORD form);

  // Masks a private key under the default PIN; nothing when the key has a
  // user PIN or a masked blob already.
  bool MaskDefault();
  // Restores the clear blob of a default-protected key; nothing (true) for
  // any other key or when the clear blob is there.
  bool UnmaskDefault();
  // Masks the private key under a new PIN of pin_len bytes (0: the string's
  // length). Needs the clear blob, which a default-protected key gets back
  // first. Fails for a PIN over 40 bytes. The attributes are not changed.
  bool SetPin(const WCHAR* pin, DWORD pin_len);
  // True when the PIN unmasks the masked blob to a consistent RSA key pair,
  // which then becomes the clear blob; otherwise nothing changes.
  bool VerifyPin(const WCHAR* pin, DWORD pin_len);

  // The key as an OpenSSL key, built on first use and kept: the public key
  // of a public blob, the key pair of a private one (a default-protected key
  // is unmasked for it). Null for a locked key or a blob that cannot be
  // built. The caller holds its own reference.
  EvpPkeyPtr GetRsa();

  // A private key may be exported with these CPExportKey flags: it needs
  // KEYF_EXPORTABLE, and XF_ALLOW_GUARDED when it is KEYF_EXPORT_GUARDED.
  // Else NTE_BAD_KEY_STATE.
  bool IsExportable(DWORD export_flags) const;

  // CPGetKeyParam for this key. Errors are set as the last error; the two
  // failures that carry none (a key length asked of another algorithm, a
  // buffer under 4 bytes) leave it alone.
  bool GetKeyParam(DWORD param, BYTE* data, DWORD* data_len) const;

  // Wipes and frees everything and returns the object to its empty state.
  void Destroy();

  // Both objects hold the same key: the same algid, bitlen, exponent and
  // modulus in their blobs.
  bool HasSamePublicKey(const CKeyObject& other) const;

  // The whole key of other (blobs, OpenSSL key, algid and attributes)
  // replaces this object's; TakeKeyFrom leaves other empty.
  void CopyKeyFrom(const CKeyObject& other);
  void TakeKeyFrom(CKeyObject& other);

 private:
  // The blob that tells the key's shape: the masked one first.
  const SecureBytes& ShapeBlob() const { return masked_.empty() ? clear_ : masked_; }
  bool UnmaskDefaultLocked();
  void ResetLocked();
  bool LoadSessionKey(const BYTE* material, DWORD length_word, ALG_ID algid);
  DWORD EncryptRsaBlock(BYTE* data, DWORD* data_len, DWORD buf_len, DWORD flags);
  DWORD DecryptRsaBlock(DWORD flags, BYTE* data, DWORD* data_len);

  mutable std::mutex lock_;
  SecureBytes masked_;
  std::atomic<DWORD> attributes_{0};
  SecureBytes clear_;
  DWORD length_ = 0;
  std::atomic<ALG_ID> algid_{0};
  EvpPkeyPtr rsa_;
  DWORD key_bits_ = 0;
  CSessionCipher cipher_;
};
