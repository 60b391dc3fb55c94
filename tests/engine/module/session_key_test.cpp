// Session keys and bulk encryption through the exports: derivation, RC2 and
// RC4 chains, RSA blocks with the engine's flags, the caller's buffer bounds,
// and session keys and private blobs wrapped for export.
#include "engine_fixture.h"

#include <orvex/provider.h>

namespace orvex::test {
namespace {

constexpr DWORD kKeyLengthParam = 8;
constexpr DWORD kRsaPublicEncrypt = 0x01000000;
constexpr DWORD kRsaPrivateEncrypt = 0x04000000;
constexpr DWORD kRsaPublicDecrypt = 0x02000000;
constexpr DWORD kRsaPrivateDecrypt = 0x08000000;

const Bytes kPlain = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};

class SessionKeys : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    prov = Acquire(u"Session", CRYPT_NEWKEYSET);
    ASSERT_NE(prov, 0u);
  }
  void TearDown() override {
    if (prov != 0) engine.CPReleaseContext(prov, 0);
    EngineFixture::TearDown();
  }

  // A key derived from a hash of the text; 0 with the last error on failure.
  HCRYPTKEY Derive(ALG_ID algid, ALG_ID hash_algid, DWORD flags, const std::string& text = "abc") {
    HCRYPTKEY key = 0;
    if (!engine.CPDeriveKey(prov, algid, HashOf(prov, hash_algid, text), flags, &key)) return 0;
    return key;
  }

  // Encrypts with room to spare; empty with the last error on failure.
  Bytes Encrypt(HCRYPTKEY key, const Bytes& plain, BOOL final, DWORD flags = 0,
                HCRYPTHASH hash = 0) {
    Bytes buffer = plain;
    buffer.resize(plain.size() + 256);
    DWORD len = static_cast<DWORD>(plain.size());
    if (!engine.CPEncrypt(prov, key, hash, final, flags, buffer.data(), &len,
                          static_cast<DWORD>(buffer.size()))) {
      return {};
    }
    buffer.resize(len);
    return buffer;
  }

  Bytes Decrypt(HCRYPTKEY key, Bytes data, BOOL final, DWORD flags = 0) {
    DWORD len = static_cast<DWORD>(data.size());
    if (!engine.CPDecrypt(prov, key, 0, final, flags, data.data(), &len)) return {};
    data.resize(len);
    return data;
  }

  DWORD KeyParam(HCRYPTKEY key, DWORD param) {
    DWORD value = 0, len = sizeof value;
    if (!engine.CPGetKeyParam(prov, key, param, reinterpret_cast<BYTE*>(&value), &len, 0)) {
      return 0xFFFFFFFF;
    }
    return value;
  }

  HCRYPTPROV prov = 0;
};

TEST_F(SessionKeys, DerivedKeysUseTheFirstBytesOfTheHash) {
  // RC4 takes the first 16 of SHA-1's 20 bytes.
  const HCRYPTKEY rc4 = Derive(CALG_RC4, CALG_SHA1, 0);
  ASSERT_NE(rc4, 0u);
  EXPECT_EQ(Encrypt(rc4, kPlain, TRUE), Hex("8d8f315473374975"));
  EXPECT_EQ(KeyParam(rc4, KP_ALGID), CALG_RC4);
  EXPECT_EQ(KeyParam(rc4, kKeyLengthParam), 0u);

  // RC2 takes 40 bits whatever length was asked for, as long as the hash has it.
  const HCRYPTKEY rc2 = Derive(CALG_RC2, CALG_MD5, 128u << 16);
  ASSERT_NE(rc2, 0u);
  EXPECT_EQ(Encrypt(rc2, kPlain, TRUE), Hex("24d30484c45b5d84a4806ca4cd3e3f06"));
  EXPECT_EQ(Encrypt(Derive(CALG_RC2, CALG_MD5, 0), kPlain, TRUE), Encrypt(rc2, kPlain, TRUE));
  EXPECT_EQ(KeyParam(rc2, kKeyLengthParam), 64u);

  struct Refusal {
    ALG_ID algid;
    ALG_ID hash_algid;
    DWORD flags;
    DWORD error;
  };
  const Refusal refusals[] = {
      {CALG_RC2, CALG_MD5, 256u << 16, NTE_FAIL},  // 32 bytes wanted, 16 there
      {CALG_DES, CALG_SHA1, 0, NTE_BAD_ALGID},
  };
  for (const Refusal& r : refusals) {
    SetLastError(0);
    EXPECT_EQ(Derive(r.algid, r.hash_algid, r.flags), 0u);
    EXPECT_EQ(GetLastError(), r.error);
  }
}

TEST_F(SessionKeys, Rc2MessagesStartAfreshAfterEachFinalCall) {
  const HCRYPTKEY key = Derive(CALG_RC2, CALG_MD5, 0);
  const Bytes sealed = Encrypt(key, kPlain, TRUE);
  ASSERT_EQ(sealed.size(), 16u);
  EXPECT_EQ(Encrypt(key, kPlain, TRUE), sealed);
  EXPECT_EQ(Decrypt(key, sealed, TRUE), kPlain);
  EXPECT_EQ(Decrypt(key, sealed, TRUE), kPlain);

  // A message in pieces: the chain runs on until the final call.
  const Bytes long_plain(20, 0x33);
  const Bytes whole = Encrypt(key, long_plain, TRUE);
  Bytes pieces = Encrypt(key, Bytes(long_plain.begin(), long_plain.begin() + 11), FALSE);
  const Bytes rest = Encrypt(key, Bytes(long_plain.begin() + 11, long_plain.end()), TRUE);
  pieces.insert(pieces.end(), rest.begin(), rest.end());
  EXPECT_EQ(pieces, whole);

  // Bad padding fails the final call.
  Bytes garbage(16, 0x5A);
  EXPECT_TRUE(Decrypt(key, garbage, TRUE).empty());
  EXPECT_EQ(GetLastError(), NTE_FAIL);
}

TEST_F(SessionKeys, Rc4InTwoCallsEqualsOneCall) {
  const HCRYPTKEY key = Derive(CALG_RC4, CALG_SHA1, 0, "key");
  const Bytes plain(37, 0x42);
  const Bytes whole = Encrypt(key, plain, TRUE);
  Bytes pieces = Encrypt(key, Bytes(plain.begin(), plain.begin() + 10), FALSE);
  const Bytes rest = Encrypt(key, Bytes(plain.begin() + 10, plain.end()), TRUE);
  pieces.insert(pieces.end(), rest.begin(), rest.end());
  EXPECT_EQ(pieces, whole);
  EXPECT_EQ(Decrypt(key, whole, TRUE), plain);
}

TEST_F(SessionKeys, OutputNeverRunsPastTheCallersBuffer) {
  const HCRYPTKEY key = Derive(CALG_RC2, CALG_MD5, 0);
  DWORD len = 8;
  ASSERT_TRUE(engine.CPEncrypt(prov, key, 0, TRUE, 0, nullptr, &len, 0));
  EXPECT_EQ(len, 16u);

  // No room for the padding block: the length needed, nothing written.
  Bytes buffer = kPlain;
  buffer.resize(16, 0xEE);
  len = 8;
  SetLastError(0);
  EXPECT_FALSE(engine.CPEncrypt(prov, key, 0, TRUE, 0, buffer.data(), &len, 8));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), kPlain);
  EXPECT_EQ(Bytes(buffer.begin() + 8, buffer.end()), Bytes(8, 0xEE));
  // Nothing was consumed: the same call with room gives the whole message.
  EXPECT_EQ(Encrypt(key, kPlain, TRUE), Hex("24d30484c45b5d84a4806ca4cd3e3f06"));

  // A buffer below the data itself fails at once.
  len = 8;
  EXPECT_FALSE(engine.CPEncrypt(prov, key, 0, TRUE, 0, buffer.data(), &len, 7));
  EXPECT_EQ(GetLastError(), NTE_FAIL);
}

TEST_F(SessionKeys, PlaintextGoesIntoTheHashOnce) {
  const HCRYPTKEY key = Derive(CALG_RC2, CALG_MD5, 0);
  const HCRYPTHASH hash = CreateHash(prov, CALG_SHA1);
  const Bytes abc = {'a', 'b', 'c'};
  // Refused for its buffer first, then repeated with room: hashed once.
  Bytes buffer = abc;
  buffer.resize(8);
  DWORD len = 3;
  EXPECT_FALSE(engine.CPEncrypt(prov, key, hash, TRUE, 0, buffer.data(), &len, 4));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(Encrypt(key, abc, TRUE, 0, hash).size(), 8u);
  EXPECT_EQ(HashValue(prov, hash), Hex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  // A finished hash takes nothing more.
  SetLastError(0);
  EXPECT_TRUE(Encrypt(key, abc, TRUE, 0, hash).empty());
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
}

TEST_F(SessionKeys, RsaBlocksWithTheEngineFlags) {
  ASSERT_NE(Import(prov, Fixture(kRsa1024ExchangeBlob), 0), 0u);
  const HCRYPTKEY key = UserKey(prov, AT_KEYEXCHANGE);
  const Bytes plain(117, 0x61);

  const Bytes sealed = Encrypt(key, plain, TRUE, kRsaPublicEncrypt);
  ASSERT_EQ(sealed.size(), 128u);
  EXPECT_EQ(Decrypt(key, sealed, TRUE, kRsaPrivateDecrypt), plain);
  // Both flags of a pair: the public-key one wins.
  EXPECT_EQ(Decrypt(key, Encrypt(key, plain, TRUE, kRsaPublicEncrypt | kRsaPrivateEncrypt), TRUE,
                    kRsaPrivateDecrypt),
            plain);
  const Bytes signed_block = Encrypt(key, plain, TRUE, kRsaPrivateEncrypt);
  EXPECT_EQ(Decrypt(key, signed_block, TRUE, kRsaPublicDecrypt), plain);

  SetLastError(0);
  EXPECT_TRUE(Encrypt(key, Bytes(118, 0x61), TRUE, kRsaPublicEncrypt).empty());
  EXPECT_EQ(GetLastError(), NTE_FAIL);
  EXPECT_TRUE(Encrypt(key, plain, TRUE, 0).empty());
  EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
  EXPECT_TRUE(Decrypt(key, sealed, TRUE, 0).empty());
  EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);

  // Even an empty input makes a whole block, which needs a whole block of room.
  Bytes small(64, 0xEE);
  DWORD len = 0;
  EXPECT_FALSE(engine.CPEncrypt(prov, key, 0, TRUE, kRsaPublicEncrypt, small.data(), &len, 64));
  EXPECT_EQ(GetLastError(), NTE_FAIL);
  EXPECT_EQ(small, Bytes(64, 0xEE));
}

TEST_F(SessionKeys, SimpleBlobsCarryTheKeyBitsUnderTheExchangeKey) {
  ASSERT_NE(Import(prov, Fixture(kRsa1024ExchangeBlob), 0), 0u);
  ASSERT_NE(Import(prov, Fixture(kRsa1024SignatureBlob), 0), 0u);
  const HCRYPTKEY exchange = UserKey(prov, AT_KEYEXCHANGE);

  for (ALG_ID algid : {CALG_RC4, CALG_RC2}) {
    SCOPED_TRACE(algid);
    const HCRYPTKEY key = Derive(algid, CALG_SHA1, 0, "shared secret");
    const Bytes blob = Export(prov, key, SIMPLEBLOB, 0, exchange);
    ASSERT_EQ(blob.size(), 12u + 128u);
    EXPECT_EQ(blob[0], SIMPLEBLOB);
    EXPECT_EQ(blob[1], 2);
    EXPECT_EQ(Bytes(blob.begin() + 4, blob.begin() + 12),
              (Bytes{BYTE(algid), BYTE(algid >> 8), 0, 0, 0x00, 0xA4, 0, 0}));
    // The key that comes back encrypts as the one that left.
    const HCRYPTKEY imported = Import(prov, blob, 0, exchange);
    ASSERT_NE(imported, 0u);
    EXPECT_EQ(Encrypt(imported, kPlain, TRUE), Encrypt(key, kPlain, TRUE));
  }

  // Only an exchange key wraps a session key.
  const HCRYPTKEY key = Derive(CALG_RC4, CALG_SHA1, 0);
  DWORD len = 0;
  SetLastError(0);
  EXPECT_FALSE(engine.CPExportKey(prov, key, UserKey(prov, AT_SIGNATURE), SIMPLEBLOB, 0, nullptr,
                                  &len));
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
}

TEST_F(SessionKeys, PrivateBlobsEncryptedUnderASessionKey) {
  ASSERT_NE(Import(prov, Fixture(kRsa1024SignatureBlob), CRYPT_EXPORTABLE), 0u);
  const HCRYPTKEY signature = UserKey(prov, AT_SIGNATURE);
  const HCRYPTKEY rc2 = Derive(CALG_RC2, CALG_SHA1, 0, "transport");
  DWORD len = 0;
  ASSERT_TRUE(engine.CPExportKey(prov, signature, rc2, PRIVATEKEYBLOB, XF_ALLOW_GUARDED, nullptr,
                                 &len));
  EXPECT_EQ(len, 596u + 8u);
  const Bytes blob = Export(prov, signature, PRIVATEKEYBLOB, XF_ALLOW_GUARDED, rc2);
  // The header stays clear; the 588 bytes after it are padded to 592.
  ASSERT_EQ(blob.size(), 8u + 592u);
  EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 8),
            Bytes(kRsa1024SignatureBlob, kRsa1024SignatureBlob + 8));

  // Another container takes it back with the same session key.
  const HCRYPTPROV other = Acquire(u"Receiver", CRYPT_NEWKEYSET);
  HCRYPTKEY same_rc2 = 0;
  ASSERT_TRUE(engine.CPDeriveKey(other, CALG_RC2, HashOf(other, CALG_SHA1, "transport"), 0,
                                 &same_rc2));
  ASSERT_NE(Import(other, blob, CRYPT_EXPORTABLE, same_rc2), 0u);
  EXPECT_EQ(Export(other, UserKey(other, AT_SIGNATURE), PRIVATEKEYBLOB, XF_ALLOW_GUARDED),
            Fixture(kRsa1024SignatureBlob));
  EXPECT_TRUE(engine.CPReleaseContext(other, 0));
}

}  // namespace
}  // namespace orvex::test
