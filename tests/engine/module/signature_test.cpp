// Signing and verification through the exports: signatures any RSA
// implementation accepts, the SSL3 signature, buffer bounds, a verified
// hash's released value, the PIN asked once per context, and hashing data the
// user types.
#include "engine_fixture.h"

#include <orvex/provider.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>

namespace orvex::test {
namespace {

constexpr ALG_ID kSha256 = 0x02A0;
constexpr DWORD kUntouched = 0x12345678;
const std::string kPinPrompt = "pin\t保管箱密码验证\t请输入您的文件证书保管箱密码。";

// The public key of a fixture blob, built by OpenSSL from the blob's own
// integers: nothing of the engine is involved.
template <size_t N>
EVP_PKEY* OpenSslPublicKey(const unsigned char (&blob)[N]) {
  const size_t n = (size_t{blob[12]} | size_t{blob[13]} << 8) / 8;
  BIGNUM* modulus = BN_lebin2bn(blob + 20, static_cast<int>(n), nullptr);
  BIGNUM* exponent = BN_lebin2bn(blob + 16, 4, nullptr);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, modulus);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, exponent);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(ctx);
  EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(modulus);
  BN_free(exponent);
  return key;
}

Bytes Reversed(Bytes bytes) {
  std::reverse(bytes.begin(), bytes.end());
  return bytes;
}

class Signatures : public EngineFixture {
 protected:
  // A container whose two keys are the fixtures under the default PIN.
  HCRYPTPROV DefaultKeys(const char16_t* name) {
    const HCRYPTPROV prov = Acquire(name, CRYPT_NEWKEYSET);
    EXPECT_NE(Import(prov, Fixture(kRsa1024SignatureBlob), 0), 0u);
    EXPECT_NE(Import(prov, Fixture(kRsa1024ExchangeBlob), 0), 0u);
    return prov;
  }

  // A container whose signature key has the user PIN "1234".
  void SignatureKeyWithPin(const char16_t* name) {
    const HCRYPTPROV prov = Acquire(name, CRYPT_NEWKEYSET);
    ASSERT_NE(Import(prov, Fixture(kRsa1024SignatureBlob), GF_PIN_LATER), 0u);
    ASSERT_TRUE(engine.CPSetProvParam(prov, PP_SIGNATURE_PIN, PinParam(u"1234"), 0));
    ASSERT_TRUE(engine.CPReleaseContext(prov, 0));
  }

  // The signature, or empty with the last error telling why.
  Bytes Sign(HCRYPTPROV prov, HCRYPTHASH hash, DWORD spec) {
    DWORD len = 0;
    if (!engine.CPSignHash(prov, hash, spec, nullptr, 0, nullptr, &len)) return {};
    Bytes signature(len);
    if (!engine.CPSignHash(prov, hash, spec, nullptr, 0, signature.data(), &len)) return {};
    signature.resize(len);
    return signature;
  }

  BOOL Verify(HCRYPTPROV prov, HCRYPTHASH hash, const Bytes& signature, HCRYPTKEY key) {
    return engine.CPVerifySignature(prov, hash, signature.data(),
                                    static_cast<DWORD>(signature.size()), key, nullptr, 0);
  }
};

TEST_F(Signatures, ReversedSignaturesVerifyWithOpenSsl) {
  UseScript({});
  const HCRYPTPROV prov = DefaultKeys(u"Signer");
  ASSERT_NE(prov, 0u);
  EVP_PKEY* public_key = OpenSslPublicKey(kRsa1024SignatureBlob);
  ASSERT_NE(public_key, nullptr);
  const std::string message = "the message that is signed";
  const std::pair<ALG_ID, const char*> algorithms[] = {
      {CALG_MD5, "MD5"}, {CALG_SHA1, "SHA1"}, {kSha256, "SHA256"}};
  for (const auto& [algid, digest_name] : algorithms) {
    SCOPED_TRACE(digest_name);
    const HCRYPTHASH hash = HashOf(prov, algid, message);
    // The length comes first, and alone.
    DWORD len = 0;
    ASSERT_TRUE(engine.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, nullptr, &len));
    EXPECT_EQ(len, 128u);
    const Bytes signature = Sign(prov, hash, AT_SIGNATURE);
    ASSERT_EQ(signature.size(), 128u);
    // PKCS#1 v1.5 padding is deterministic: the same value, the same signature.
    EXPECT_EQ(Sign(prov, hash, AT_SIGNATURE), signature);

    const Bytes value = HashValue(prov, hash);
    const Bytes big_endian = Reversed(signature);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(public_key, nullptr);
    EVP_MD* md = EVP_MD_fetch(nullptr, digest_name, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(ctx), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_signature_md(ctx, md), 1);
    EXPECT_EQ(EVP_PKEY_verify(ctx, big_endian.data(), big_endian.size(), value.data(), value.size()),
              1);
    EVP_MD_free(md);
    EVP_PKEY_CTX_free(ctx);

    // A new hash of the same data verifies without its value being read first.
    const HCRYPTHASH fresh = HashOf(prov, algid, message);
    EXPECT_TRUE(Verify(prov, fresh, signature, UserKey(prov, AT_SIGNATURE)));
  }
  EVP_PKEY_free(public_key);
  EXPECT_TRUE(ScriptLog().empty());
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
}

TEST_F(Signatures, AVerifiedHashHasNoValueUntilOneIsSet) {
  const HCRYPTPROV prov = DefaultKeys(u"Verifier");
  ASSERT_NE(prov, 0u);
  const HCRYPTKEY key = UserKey(prov, AT_SIGNATURE);
  const HCRYPTHASH hash = HashOf(prov, CALG_SHA1, "abc");
  const Bytes value = HashValue(prov, hash);
  const Bytes signature = Sign(prov, hash, AT_SIGNATURE);
  ASSERT_TRUE(Verify(prov, hash, signature, key));

  DWORD len = 20;
  Bytes out(20);
  SetLastError(0);
  EXPECT_FALSE(engine.CPGetHashParam(prov, hash, HP_HASHVAL, out.data(), &len, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
  EXPECT_TRUE(Sign(prov, hash, AT_SIGNATURE).empty());
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
  EXPECT_FALSE(Verify(prov, hash, signature, key));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);

  ASSERT_TRUE(engine.CPSetHashParam(prov, hash, HP_HASHVAL, const_cast<BYTE*>(value.data()), 0));
  EXPECT_EQ(Sign(prov, hash, AT_SIGNATURE), signature);

  // A signature that does not match fails, and says so on standard output.
  Bytes forged = signature;
  forged[5] ^= 1;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(Verify(prov, HashOf(prov, CALG_SHA1, "abc"), forged, key));
  EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "签名校验失败\n");
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
}

TEST_F(Signatures, Ssl3ShaMd5SignsTheBytesAsTheyAre) {
  const HCRYPTPROV prov = DefaultKeys(u"Ssl3");
  ASSERT_NE(prov, 0u);
  Bytes value(36);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<BYTE>(0xA0 + i);
  const HCRYPTHASH hash = CreateHash(prov, CALG_SSL3_SHAMD5);
  ASSERT_TRUE(engine.CPSetHashParam(prov, hash, HP_HASHVAL, value.data(), 0));
  const Bytes signature = Sign(prov, hash, AT_KEYEXCHANGE);
  ASSERT_EQ(signature.size(), 128u);

  // The block carries the 36 bytes themselves, without a DigestInfo.
  EVP_PKEY* public_key = OpenSslPublicKey(kRsa1024ExchangeBlob);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(public_key, nullptr);
  ASSERT_EQ(EVP_PKEY_verify_recover_init(ctx), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
  const Bytes big_endian = Reversed(signature);
  Bytes recovered(128);
  size_t recovered_len = recovered.size();
  ASSERT_EQ(EVP_PKEY_verify_recover(ctx, recovered.data(), &recovered_len, big_endian.data(),
                                    big_endian.size()),
            1);
  recovered.resize(recovered_len);
  EXPECT_EQ(recovered, value);
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(public_key);

  // Such a signature is not verified here.
  testing::internal::CaptureStdout();
  EXPECT_FALSE(Verify(prov, hash, signature, UserKey(prov, AT_KEYEXCHANGE)));
  EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "不支持的摘要算法\n");
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
}

TEST_F(Signatures, AKeyThatFailsTheRsaKeyCheckDoesNotSign) {
  // A private exponent off by one bit: the blob imports, the key is unusable.
  Bytes broken = Fixture(kRsa1024SignatureBlob);
  broken.back() ^= 0x01;
  const HCRYPTPROV prov = Acquire(u"Broken", CRYPT_NEWKEYSET);
  ASSERT_NE(Import(prov, broken, 0), 0u);
  const HCRYPTHASH hash = HashOf(prov, CALG_SHA1, "abc");
  EXPECT_TRUE(Sign(prov, hash, AT_SIGNATURE).empty());
  EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
  // Replaced by a sound key, the slot signs again.
  ASSERT_NE(Import(prov, Fixture(kRsa1024SignatureBlob), 0), 0u);
  EXPECT_EQ(Sign(prov, hash, AT_SIGNATURE).size(), 128u);
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
}

TEST_F(Signatures, AShortBufferGetsTheLengthWithoutAnyDialog) {
  SignatureKeyWithPin(u"Short");
  UseScript({});
  const HCRYPTPROV prov = Acquire(u"Short");
  ASSERT_NE(prov, 0u);
  const HCRYPTHASH hash = HashOf(prov, CALG_SHA1, "abc");
  Bytes buffer(128, 0xEE);
  DWORD len = 127;
  SetLastError(0);
  EXPECT_FALSE(engine.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, buffer.data(), &len));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(len, 128u);
  EXPECT_EQ(buffer, Bytes(128, 0xEE));
  EXPECT_TRUE(ScriptLog().empty());

  // No key in the slot.
  EXPECT_FALSE(engine.CPSignHash(prov, hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &len));
  EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
}

TEST_F(Signatures, ThePinIsAskedOncePerContext) {
  SignatureKeyWithPin(u"Pinned");
  UseScript({"cancel", "ok 1234"});
  const HCRYPTPROV asked = Acquire(u"Pinned");
  ASSERT_NE(asked, 0u);
  const HCRYPTHASH hash = HashOf(asked, CALG_SHA1, "abc");
  // Cancelled: no signature.
  EXPECT_TRUE(Sign(asked, hash, AT_SIGNATURE).empty());
  EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
  const Bytes signature = Sign(asked, hash, AT_SIGNATURE);
  EXPECT_EQ(signature.size(), 128u);
  EXPECT_EQ(Sign(asked, hash, AT_SIGNATURE), signature);
  EXPECT_EQ(ScriptLog(), std::vector<std::string>(2, kPinPrompt));

  // A PIN given through the provider parameter counts as asked.
  UseScript({});
  const HCRYPTPROV silent = Acquire(u"Pinned");
  ASSERT_NE(silent, 0u);
  EXPECT_TRUE(engine.CPSetProvParam(silent, PP_VERIFY_SIGNATURE_PIN, PinParam(u"1234"), 0));
  EXPECT_EQ(Sign(silent, HashOf(silent, CALG_SHA1, "abc"), AT_SIGNATURE), signature);
  EXPECT_TRUE(ScriptLog().empty());
  EXPECT_TRUE(engine.CPReleaseContext(silent, 0));
  EXPECT_TRUE(engine.CPReleaseContext(asked, 0));
}

TEST_F(Signatures, WrongPinsThroughTheParameterCountDown) {
  SignatureKeyWithPin(u"Counted");
  UseScript({});
  const HCRYPTPROV prov = Acquire(u"Counted");
  ASSERT_NE(prov, 0u);
  EXPECT_EQ(ProvDword(prov, PP_CRYPT_COUNT_KEY_USE), 0x00050005u);
  const DWORD expected[] = {0x00050004, 0x00050003, 0x00050002, 0x00050001, 0x00050000};
  for (DWORD attempts : expected) {
    SetLastError(0);
    EXPECT_FALSE(engine.CPSetProvParam(prov, PP_VERIFY_SIGNATURE_PIN, PinParam(u"4321"), 0));
    EXPECT_EQ(ProvDword(prov, PP_CRYPT_COUNT_KEY_USE), attempts);
  }
  // Locked: even the right PIN is refused, and nothing was shown on the way.
  EXPECT_FALSE(engine.CPSetProvParam(prov, PP_VERIFY_SIGNATURE_PIN, PinParam(u"1234"), 0));
  EXPECT_TRUE(ScriptLog().empty());

  // Parameters outside the table.
  SetLastError(0);
  EXPECT_FALSE(engine.CPSetProvParam(prov, PP_CLIENT_HWND, PinParam(u"x"), 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
}

TEST_F(Signatures, DataTypedByTheUser) {
  const HCRYPTPROV prov = Acquire(u"Typed", CRYPT_NEWKEYSET);
  ASSERT_NE(prov, 0u);
  UseScript({"ok abc", "cancel"});
  const HCRYPTHASH hash = CreateHash(prov, CALG_SHA1);
  const BYTE byte = 0;
  SetLastError(0);
  EXPECT_FALSE(engine.CPHashData(prov, hash, &byte, 1, CRYPT_USERDATA));
  EXPECT_EQ(GetLastError(), NTE_BAD_LEN);
  ASSERT_TRUE(engine.CPHashData(prov, hash, nullptr, 0, CRYPT_USERDATA));
  EXPECT_EQ(HashValue(prov, hash), Hex("a9993e364706816aba3e25717850c26c9cd0d89d"));

  SetLastError(kUntouched);
  EXPECT_FALSE(engine.CPHashData(prov, CreateHash(prov, CALG_MD5), nullptr, 0, CRYPT_USERDATA));
  EXPECT_EQ(GetLastError(), kUntouched);
  const std::string prompt =
      "pin\t保管箱密码验证\t请输入您要计算Hash的数据，该数据必须由可见字符串组成。";
  EXPECT_EQ(ScriptLog(), std::vector<std::string>(2, prompt));
  EXPECT_TRUE(engine.CPReleaseContext(prov, 0));
}

}  // namespace
}  // namespace orvex::test
