// The two cipher chains of a session key: known answers, chains across calls
// and their restart, and the caller's buffer bounds.
#include "engine_module.h"
#include "session_cipher.h"

#include <kavrin/errors.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

Bytes Hex(const char* text) {
  Bytes out;
  for (const char* p = text; p[0] != '\0' && p[1] != '\0'; p += 2) {
    out.push_back(static_cast<BYTE>(std::stoi(std::string(p, 2), nullptr, 16)));
  }
  return out;
}

class SessionCipher : public ::testing::Test {
 protected:
  void SetUp(ALG_ID algid, const Bytes& material) {
    ASSERT_TRUE(cipher.Setup(Engine().OpenSsl().LibCtx(), algid, material.data(),
                             static_cast<DWORD>(material.size())));
  }

  // Encrypts in a buffer with room to spare; the output, or empty on failure.
  Bytes Encrypt(const Bytes& plain, bool final) {
    Bytes buffer = plain;
    buffer.resize(plain.size() + 16);
    DWORD len = static_cast<DWORD>(plain.size());
    if (cipher.Encrypt(final, buffer.data(), &len, static_cast<DWORD>(buffer.size())) != 0) {
      return {};
    }
    buffer.resize(len);
    return buffer;
  }

  DWORD Decrypt(Bytes* data, bool final) {
    DWORD len = static_cast<DWORD>(data->size());
    const DWORD result = cipher.Decrypt(final, data->data(), &len);
    if (result == 0) data->resize(len);
    return result;
  }

  CSessionCipher cipher;
};

TEST_F(SessionCipher, Rc2FortyBitCbcKnownAnswerAndRoundTrip) {
  // Only the first five bytes of the material are key.
  SetUp(CALG_RC2, Hex("0102030405ffffffffffffffffffffff"));
  const Bytes plain = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  const Bytes sealed = Encrypt(plain, true);
  EXPECT_EQ(sealed, Hex("d68af1f767531df8c8c7291b39380468"));
  // The chain starts again after a final call: the same message, the same output.
  EXPECT_EQ(Encrypt(plain, true), sealed);

  Bytes opened = sealed;
  ASSERT_EQ(Decrypt(&opened, true), 0u);
  EXPECT_EQ(opened, plain);
  // So does the decryption chain: a second message decrypts on its own.
  opened = sealed;
  ASSERT_EQ(Decrypt(&opened, true), 0u);
  EXPECT_EQ(opened, plain);
}

TEST_F(SessionCipher, Rc4InPiecesEqualsRc4AtOnce) {
  SetUp(CALG_RC4, Hex("000102030405060708090a0b0c0d0e0f1011121314"));
  const Bytes plain = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  const Bytes whole = Encrypt(plain, true);
  EXPECT_EQ(whole, Hex("88fe239d22847ea4"));
  Bytes pieces = Encrypt(Bytes(plain.begin(), plain.begin() + 3), false);
  const Bytes rest = Encrypt(Bytes(plain.begin() + 3, plain.end()), true);
  pieces.insert(pieces.end(), rest.begin(), rest.end());
  EXPECT_EQ(pieces, whole);
}

TEST_F(SessionCipher, ShortMaterialIsCompletedWithZeros) {
  // Five bytes of RC4 material are read as the sixteen-byte key 0102030405 00..00.
  SetUp(CALG_RC4, Hex("0102030405"));
  const Bytes short_key = Encrypt(Bytes(8, 0x11), true);
  ASSERT_TRUE(cipher.Setup(Engine().OpenSsl().LibCtx(), CALG_RC4,
                           Hex("01020304050000000000000000000000").data(), 16));
  EXPECT_EQ(Encrypt(Bytes(8, 0x11), true), short_key);
}

TEST_F(SessionCipher, OutputThatDoesNotFitIsRefusedAndTheChainKept) {
  SetUp(CALG_RC2, Hex("0102030405"));
  const Bytes plain = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};

  // Size query: eight bytes with the padding block make sixteen.
  DWORD len = 8;
  ASSERT_EQ(cipher.Encrypt(true, nullptr, &len, 0), 0u);
  EXPECT_EQ(len, 16u);

  // No room for the padding: the needed length, nothing past the buffer.
  Bytes buffer(plain);
  buffer.push_back(0xEE);
  len = 8;
  EXPECT_EQ(cipher.Encrypt(true, buffer.data(), &len, 8), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), plain);
  EXPECT_EQ(buffer[8], 0xEE);

  // Nothing was consumed: the retry gives the output of a fresh chain.
  EXPECT_EQ(Encrypt(plain, true), Hex("d68af1f767531df8c8c7291b39380468"));

  // Decryption holds back the last block until more input or the final call
  // comes, so a call can give more than it takes; it is refused in the same way.
  Bytes sealed = Encrypt(Bytes(16, 0x22), true);
  ASSERT_EQ(sealed.size(), 24u);
  Bytes first(sealed.begin(), sealed.begin() + 16);
  ASSERT_EQ(Decrypt(&first, false), 0u);
  EXPECT_EQ(first, Bytes(8, 0x22));
  Bytes part(sealed.begin() + 16, sealed.begin() + 20);
  len = 4;
  EXPECT_EQ(cipher.Decrypt(false, part.data(), &len), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(len, 8u);
  // The chain is where it was: the rest decrypts in one final call.
  Bytes rest(sealed.begin() + 16, sealed.end());
  ASSERT_EQ(Decrypt(&rest, true), 0u);
  EXPECT_EQ(rest, Bytes(8, 0x22));
}

TEST_F(SessionCipher, BadPaddingFailsAndEndsTheMessage) {
  SetUp(CALG_RC2, Hex("0102030405"));
  Bytes garbage(16, 0x5A);
  EXPECT_EQ(Decrypt(&garbage, true), static_cast<DWORD>(NTE_FAIL));
  Bytes sealed = Hex("d68af1f767531df8c8c7291b39380468");
  ASSERT_EQ(Decrypt(&sealed, true), 0u);
  EXPECT_EQ(sealed, (Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
}

}  // namespace
