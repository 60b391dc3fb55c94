// RSA key objects: blobs in and out, masking under the default PIN and a
// user PIN, the PIN check, the OpenSSL key and the key parameters.
#include "key_object.h"
#include "rsa_key_blob.h"

#include <kavrin/errors.h>
#include <orvex/provider.h>

#include "tests/engine/fixtures/rsa_blobs.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>
#include <vector>

namespace {

constexpr size_t kPublic1024 = 148;
constexpr size_t kPrivate1024 = 596;

template <size_t N>
SecureBytes Blob(const unsigned char (&fixture)[N]) {
  return SecureBytes(fixture, fixture + N);
}

// A fresh private key of the fixture, as an import leaves it before its PIN.
template <size_t N>
void LoadFixture(CKeyObject& key, const unsigned char (&fixture)[N]) {
  const ALG_ID algid = ReadLittleEndian32(fixture + kBlobAlgidOffset);
  ASSERT_TRUE(key.LoadKey(fixture, N, algid));
}

std::vector<BYTE> Xor(const SecureBytes& a, const SecureBytes& b, size_t from, size_t count) {
  std::vector<BYTE> out;
  for (size_t i = from; i < from + count; ++i) out.push_back(a[i] ^ b[i]);
  return out;
}

TEST(KeyObject, BlobSizesFollowTheBitLength) {
  EXPECT_EQ(RsaPrivateBlobSize(128), kPrivate1024);
  EXPECT_EQ(RsaPublicBlobSize(128), kPublic1024);
  EXPECT_TRUE(IsWellFormedRsaBlob(Blob(kRsa1024SignatureBlob)));
  EXPECT_TRUE(IsWellFormedRsaBlob(Blob(kRsa2048SignatureBlob)));

  // A blob shorter than its bit length calls for, or of another type, is no key.
  CKeyObject key;
  for (size_t length : {size_t{11}, size_t{20}, kPublic1024, kPrivate1024 - 1}) {
    EXPECT_FALSE(key.LoadKey(kRsa1024SignatureBlob, static_cast<DWORD>(length), CALG_RSA_SIGN)) << length;
  }
  SecureBytes odd = Blob(kRsa1024SignatureBlob);
  odd[kBlobTypeOffset] = 1;
  EXPECT_FALSE(key.LoadKey(odd.data(), static_cast<DWORD>(odd.size()), CALG_RSA_SIGN));
  EXPECT_FALSE(key.HasKeyData());

  // Bytes beyond the blob are not part of the key.
  SecureBytes longer = Blob(kRsa1024SignatureBlob);
  longer.resize(longer.size() + 9, 0xEE);
  ASSERT_TRUE(key.LoadKey(longer.data(), static_cast<DWORD>(longer.size()), CALG_RSA_SIGN));
  EXPECT_EQ(key.Length(), kPrivate1024);
  EXPECT_EQ(key.ClearBlob(), Blob(kRsa1024SignatureBlob));
}

TEST(KeyObject, PublicBlobIsTheClearHeadOfTheKeyAlsoWhenLocked) {
  CKeyObject key;
  LoadFixture(key, kRsa1024SignatureBlob);
  SecureBytes expected(kRsa1024SignatureBlob, kRsa1024SignatureBlob + kPublic1024);
  expected[0] = PUBLICKEYBLOB;
  WriteLittleEndian32(expected.data() + kBlobMagicOffset, RSA1_MAGIC);

  SecureBytes out(kPublic1024);
  ASSERT_TRUE(key.CopyOut(out.data(), kPublic1024, CKeyObject::kFormPublicBlob));
  EXPECT_EQ(out, expected);
  EXPECT_FALSE(key.CopyOut(out.data(), kPublic1024 - 1, CKeyObject::kFormPublicBlob));

  ASSERT_TRUE(key.SetPin(u"1234", 0));
  CKeyObject locked;
  locked.SetAlgid(CALG_RSA_SIGN);
  locked.SetAttributes(CKeyObject::KEYF_USER_PIN);
  locked.SetMaskedBlob(key.MaskedBlob());
  SecureBytes from_locked(kPublic1024);
  ASSERT_TRUE(locked.CopyOut(from_locked.data(), kPublic1024, CKeyObject::kFormPublicBlob));
  EXPECT_EQ(from_locked, expected);

  SecureBytes priv(kPrivate1024);
  EXPECT_FALSE(locked.CopyOut(priv.data(), kPrivate1024, CKeyObject::kFormPrivateBlob));
  EXPECT_EQ(locked.GetRsa(), nullptr);
  SetLastError(0);
  EXPECT_FALSE(locked.CopyOut(priv.data(), kPrivate1024, 8));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_TYPE));
}

// Known answers: the masked region is XORed with RC4 keyed by the 20-byte
// SHA-1 of the PIN's UTF-16LE bytes; header and modulus stay clear.
TEST(KeyObject, MaskingIsRc4UnderSha1OfThePin) {
  const SecureBytes clear = Blob(kRsa1024SignatureBlob);
  struct Case {
    const char* what;
    const unsigned char* stream;
    bool user_pin;
  };
  for (const Case& c : {Case{"default", kDefaultPinKeyStream, false}, Case{"1234", kPin1234KeyStream, true}}) {
    SCOPED_TRACE(c.what);
    CKeyObject key;
    LoadFixture(key, kRsa1024SignatureBlob);
    ASSERT_TRUE(c.user_pin ? key.SetPin(u"1234", 8) : key.MaskDefault());
    const SecureBytes masked = key.MaskedBlob();
    ASSERT_EQ(masked.size(), clear.size());
    EXPECT_TRUE(std::equal(clear.begin(), clear.begin() + kPublic1024, masked.begin()));
    EXPECT_EQ(Xor(clear, masked, kPublic1024, 32), std::vector<BYTE>(c.stream, c.stream + 32));
  }
}

TEST(KeyObject, DefaultPinUnmasksWithoutAPin) {
  CKeyObject original;
  LoadFixture(original, kRsa1024ExchangeBlob);
  ASSERT_TRUE(original.MaskDefault());

  CKeyObject loaded;  // as a container load leaves it
  loaded.SetAlgid(CALG_RSA_KEYX);
  loaded.SetAttributes(CKeyObject::KEYF_DEFAULT_PIN);
  loaded.SetMaskedBlob(original.MaskedBlob());
  EXPECT_FALSE(loaded.HasClearBlob());
  EXPECT_NE(loaded.GetRsa(), nullptr);
  EXPECT_EQ(loaded.ClearBlob(), Blob(kRsa1024ExchangeBlob));

  SecureBytes priv(kPrivate1024);
  CKeyObject again;
  again.SetAlgid(CALG_RSA_KEYX);
  again.SetAttributes(CKeyObject::KEYF_DEFAULT_PIN);
  again.SetMaskedBlob(original.MaskedBlob());
  ASSERT_TRUE(again.CopyOut(priv.data(), kPrivate1024, CKeyObject::kFormPrivateBlob));
  EXPECT_EQ(priv, Blob(kRsa1024ExchangeBlob));
}

// The PIN check, for both sizes: a wrong PIN leaves the key locked and
// unchanged; the right one unlocks it.
TEST(KeyObject, WrongPinLeavesTheKeyLockedRightPinUnlocksIt) {
  struct Case {
    const char* what;
    SecureBytes blob;
  };
  for (const Case& c : {Case{"1024", Blob(kRsa1024SignatureBlob)}, Case{"2048", Blob(kRsa2048SignatureBlob)}}) {
    SCOPED_TRACE(c.what);
    CKeyObject fresh;
    ASSERT_TRUE(fresh.LoadKey(c.blob.data(), static_cast<DWORD>(c.blob.size()), CALG_RSA_SIGN));
    ASSERT_TRUE(fresh.SetPin(u"right-pin", 0));

    CKeyObject key;
    key.SetAlgid(CALG_RSA_SIGN);
    key.SetAttributes(CKeyObject::KEYF_USER_PIN);
    key.SetMaskedBlob(fresh.MaskedBlob());
    for (const char16_t* wrong : {u"wrong-pin", u"", u"right-pi", u"RIGHT-PIN"}) {
      EXPECT_FALSE(key.VerifyPin(wrong, 0));
      EXPECT_FALSE(key.HasClearBlob());
      EXPECT_EQ(key.GetRsa(), nullptr);
    }
    EXPECT_EQ(key.MaskedBlob(), fresh.MaskedBlob());
    ASSERT_TRUE(key.VerifyPin(u"right-pin", 18));
    EXPECT_EQ(key.ClearBlob(), c.blob);
    EXPECT_NE(key.GetRsa(), nullptr);
  }
}

TEST(KeyObject, PinsOfTwentyCharactersAreTheLongest) {
  const std::u16string twenty(20, u'密');
  const std::u16string twenty_one(21, u'密');
  CKeyObject key;
  LoadFixture(key, kRsa1024SignatureBlob);
  EXPECT_FALSE(key.SetPin(twenty_one.c_str(), 0));
  EXPECT_FALSE(key.SetPin(twenty.c_str(), 41));
  EXPECT_FALSE(key.HasMaskedBlob());
  ASSERT_TRUE(key.SetPin(twenty.c_str(), 0));

  CKeyObject locked;
  locked.SetAlgid(CALG_RSA_SIGN);
  locked.SetMaskedBlob(key.MaskedBlob());
  // The first 20 characters of a longer entry are the PIN, yet the entry is refused.
  EXPECT_FALSE(locked.VerifyPin(twenty_one.c_str(), 0));
  EXPECT_TRUE(locked.VerifyPin(twenty.c_str(), 40));
}

TEST(KeyObject, PinAttributesExcludeEachOther) {
  struct Case {
    DWORD before;
    DWORD request;
    DWORD after;
  };
  using K = CKeyObject;
  const Case cases[] = {
      {0, K::KEYF_EXPORTABLE | 0x1000, K::KEYF_EXPORTABLE},
      {K::KEYF_DEFAULT_PIN, K::KEYF_USER_PIN, K::KEYF_USER_PIN},
      {K::KEYF_USER_PIN | K::KEYF_EXPORTABLE, K::KEYF_DEFAULT_PIN, K::KEYF_DEFAULT_PIN | K::KEYF_EXPORTABLE},
      {K::KEYF_USER_PIN, K::KEYF_USER_PIN | K::KEYF_DEFAULT_PIN | K::KEYF_CONTAINER_SLOT, K::KEYF_USER_PIN},
  };
  for (const Case& c : cases) {
    CKeyObject key;
    key.SetAttributes(c.before);
    key.SetAttributes(c.request);
    EXPECT_EQ(key.Attributes(), c.after) << std::hex << c.before << " + " << c.request;
  }
}

TEST(KeyObject, ExportNeedsTheExportableBitAndTheGuardFlag) {
  using K = CKeyObject;
  struct Case {
    DWORD attributes;
    DWORD flags;
    bool allowed;
  };
  const Case cases[] = {
      {0, orvex::XF_ALLOW_GUARDED, false},
      {K::KEYF_EXPORTABLE, 0, true},
      {K::KEYF_EXPORTABLE | K::KEYF_EXPORT_GUARDED, 0, false},
      {K::KEYF_EXPORTABLE | K::KEYF_EXPORT_GUARDED, orvex::XF_ALLOW_GUARDED, true},
  };
  for (const Case& c : cases) {
    CKeyObject key;
    key.SetAttributes(c.attributes);
    SetLastError(0);
    EXPECT_EQ(key.IsExportable(c.flags), c.allowed) << c.attributes << " " << c.flags;
    EXPECT_EQ(GetLastError(), c.allowed ? 0u : static_cast<DWORD>(NTE_BAD_KEY_STATE));
  }
}

TEST(KeyObject, KeyParameters) {
  constexpr DWORD kUntouched = 0x5A5A5A5A;
  CKeyObject rsa2048;
  LoadFixture(rsa2048, kRsa2048SignatureBlob);
  CKeyObject rc2;
  rc2.SetAlgid(CALG_RC2);
  CKeyObject rc4;
  rc4.SetAlgid(CALG_RC4);
  CKeyObject other;
  other.SetAlgid(CALG_SHA1);
  struct Case {
    const CKeyObject* key;
    DWORD param;
    bool ok;
    DWORD value_or_error;
  };
  const Case cases[] = {
      {&rsa2048, KP_ALGID, true, CALG_RSA_SIGN},
      {&rsa2048, 8, true, 2048},
      {&rc2, 8, true, 64},
      {&rc4, 8, true, 0},
      {&other, 8, false, kUntouched},                       // no error set
      {&rsa2048, KP_KEYLEN, false, DWORD(NTE_BAD_TYPE)},    // 9 is not offered
      {&rsa2048, KP_PERMISSIONS, false, DWORD(NTE_BAD_TYPE)},
  };
  for (const Case& c : cases) {
    SetLastError(kUntouched);
    BYTE data[4] = {};
    DWORD length = sizeof data;
    ASSERT_EQ(c.key->GetKeyParam(c.param, data, &length), c.ok) << c.param;
    if (c.ok) {
      EXPECT_EQ(length, 4u);
      EXPECT_EQ(ReadLittleEndian32(data), c.value_or_error);
    } else {
      EXPECT_EQ(GetLastError(), c.value_or_error);
    }
  }
  DWORD length = 0;
  EXPECT_TRUE(rsa2048.GetKeyParam(KP_ALGID, nullptr, &length));
  EXPECT_EQ(length, 4u);
  BYTE short_buffer[3];
  length = 3;
  SetLastError(kUntouched);
  EXPECT_FALSE(rsa2048.GetKeyParam(KP_ALGID, short_buffer, &length));
  EXPECT_EQ(GetLastError(), kUntouched);
}

TEST(KeyObject, GeneratedBlobRoundTripsThroughOpenSsl) {
  CKeyObject key;
  LoadFixture(key, kRsa1024SignatureBlob);
  const EvpPkeyPtr rsa = key.GetRsa();
  ASSERT_NE(rsa, nullptr);
  EXPECT_EQ(EVP_PKEY_get_bits(rsa.get()), 1024);
  SecureBytes blob;
  ASSERT_TRUE(RsaPrivateBlobFromKey(rsa.get(), CALG_RSA_SIGN, &blob));
  EXPECT_EQ(blob, Blob(kRsa1024SignatureBlob));
}

}  // namespace
