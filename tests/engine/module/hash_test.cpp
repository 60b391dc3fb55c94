// Hash objects through the exports: digests, parameters and their buffer
// bounds, finished hashes, and the process-wide life of hash handles.
#include "engine_fixture.h"

#include <cstring>

namespace orvex::test {
namespace {

constexpr ALG_ID kSha256 = 0x02A0;

class Hashes : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    prov = Acquire(u"Hashes", CRYPT_NEWKEYSET);
    ASSERT_NE(prov, 0u);
  }
  void TearDown() override {
    if (prov != 0) engine.CPReleaseContext(prov, 0);
    EngineFixture::TearDown();
  }

  DWORD DwordParam(HCRYPTHASH hash, DWORD param) {
    DWORD value = 0, len = sizeof value;
    EXPECT_TRUE(engine.CPGetHashParam(prov, hash, param, reinterpret_cast<BYTE*>(&value), &len, 0));
    EXPECT_EQ(len, 4u);
    return value;
  }

  HCRYPTPROV prov = 0;
};

TEST_F(Hashes, DigestsSizesAndAlgorithms) {
  struct Case {
    ALG_ID algid;
    DWORD size;
    const char* abc;  // digest of "abc"; null: the value is set, not hashed
  };
  const Case cases[] = {
      {CALG_MD5, 16, "900150983cd24fb0d6963f7d28e17f72"},
      {CALG_SHA1, 20, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {kSha256, 32, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {CALG_SSL3_SHAMD5, 36, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.algid);
    const HCRYPTHASH hash = CreateHash(prov, c.algid);
    EXPECT_EQ(DwordParam(hash, HP_ALGID), c.algid);
    EXPECT_EQ(DwordParam(hash, HP_HASHSIZE), c.size);
    DWORD len = 0;
    EXPECT_TRUE(engine.CPGetHashParam(prov, hash, HP_HASHVAL, nullptr, &len, 0));
    EXPECT_EQ(len, c.size);
    // The length query of a 4-byte parameter.
    len = 0;
    EXPECT_TRUE(engine.CPGetHashParam(prov, hash, HP_ALGID, nullptr, &len, 0));
    EXPECT_EQ(len, 4u);
    if (c.abc == nullptr) continue;
    const BYTE abc[] = {'a', 'b', 'c'};
    EXPECT_TRUE(engine.CPHashData(prov, hash, abc, 1, 0));
    EXPECT_TRUE(engine.CPHashData(prov, hash, abc + 1, 2, 0));
    EXPECT_EQ(HashValue(prov, hash), Hex(c.abc));
    // Finished: the value stays, more data is refused.
    SetLastError(0);
    EXPECT_FALSE(engine.CPHashData(prov, hash, abc, 3, 0));
    EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
    EXPECT_EQ(HashValue(prov, hash), Hex(c.abc));
  }
}

TEST_F(Hashes, ParametersNeverWritePastTheValueOrTheBuffer) {
  const HCRYPTHASH hash = HashOf(prov, CALG_MD5, "abc");
  const Bytes digest = Hex("900150983cd24fb0d6963f7d28e17f72");

  // A larger buffer receives the value and its length, nothing more.
  Bytes big(64, 0xEE);
  DWORD len = static_cast<DWORD>(big.size());
  ASSERT_TRUE(engine.CPGetHashParam(prov, hash, HP_HASHVAL, big.data(), &len, 0));
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(Bytes(big.begin(), big.begin() + 16), digest);
  EXPECT_EQ(Bytes(big.begin() + 16, big.end()), Bytes(48, 0xEE));

  // A smaller one receives the bytes that fit.
  Bytes small(8, 0xEE);
  len = static_cast<DWORD>(small.size());
  ASSERT_TRUE(engine.CPGetHashParam(prov, hash, HP_HASHVAL, small.data(), &len, 0));
  EXPECT_EQ(len, 8u);
  EXPECT_EQ(small, Bytes(digest.begin(), digest.begin() + 8));

  // A 4-byte parameter into two bytes: the needed length, nothing written.
  BYTE two[2] = {0xEE, 0xEE};
  len = sizeof two;
  SetLastError(0);
  EXPECT_FALSE(engine.CPGetHashParam(prov, hash, HP_HASHSIZE, two, &len, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(two[0], 0xEE);
  EXPECT_EQ(two[1], 0xEE);

  // No length at all.
  EXPECT_FALSE(engine.CPGetHashParam(prov, hash, HP_HASHVAL, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
}

TEST_F(Hashes, SettingTheValueFinishesTheHash) {
  // The SSL3 hash is created finished: it takes no data, only a value.
  const HCRYPTHASH ssl3 = CreateHash(prov, CALG_SSL3_SHAMD5);
  const BYTE byte = 0;
  EXPECT_FALSE(engine.CPHashData(prov, ssl3, &byte, 1, 0));
  EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
  Bytes value(36);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<BYTE>(i);
  ASSERT_TRUE(engine.CPSetHashParam(prov, ssl3, HP_HASHVAL, value.data(), 0));
  EXPECT_EQ(HashValue(prov, ssl3), value);

  // Data hashed before a value is set is discarded.
  const HCRYPTHASH sha1 = HashOf(prov, CALG_SHA1, "abc");
  ASSERT_TRUE(engine.CPSetHashParam(prov, sha1, HP_HASHVAL, value.data(), 0));
  EXPECT_EQ(HashValue(prov, sha1), Bytes(value.begin(), value.begin() + 20));
  EXPECT_FALSE(engine.CPHashData(prov, sha1, &byte, 1, 0));
}

TEST_F(Hashes, AnyReleaseEndsEveryHashOfTheProcess) {
  const HCRYPTPROV second = Acquire(u"Hashes");
  ASSERT_NE(second, 0u);
  const HCRYPTHASH mine = HashOf(prov, CALG_SHA1, "abc");
  const HCRYPTHASH other = HashOf(second, CALG_MD5, "abc");
  // A hash handle works through any context of the process.
  EXPECT_FALSE(HashValue(second, mine).empty());

  ASSERT_TRUE(engine.CPReleaseContext(second, 0));
  for (HCRYPTHASH hash : {mine, other}) {
    DWORD len = 0;
    SetLastError(0);
    EXPECT_FALSE(engine.CPGetHashParam(prov, hash, HP_HASHVAL, nullptr, &len, 0));
    EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
    EXPECT_FALSE(engine.CPDestroyHash(prov, hash));
  }
  // New hashes work as before.
  const HCRYPTHASH fresh = HashOf(prov, CALG_MD5, "abc");
  EXPECT_EQ(HashValue(prov, fresh), Hex("900150983cd24fb0d6963f7d28e17f72"));
}

TEST_F(Hashes, DestroyedOnce) {
  const HCRYPTHASH hash = CreateHash(prov, CALG_SHA1);
  ASSERT_TRUE(engine.CPDestroyHash(prov, hash));
  SetLastError(0);
  EXPECT_FALSE(engine.CPDestroyHash(prov, hash));
  EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);
  const BYTE byte = 0;
  EXPECT_FALSE(engine.CPHashData(prov, hash, &byte, 1, 0));
}

}  // namespace
}  // namespace orvex::test
