// The enrollment flow of a bank page, through CryptoAPI: a new key set, a
// signature key whose PIN is set right after generation, the guarded export
// of the private key and the public blob; later, in a fresh context, a
// signature for which the provider asks the PIN, checked with the public key.
#include "tests/host/provider_machine.h"

#include <cstring>

namespace {

using kavrin::test::ProviderMachine;

constexpr char16_t kContainer[] = u"{5A1E7C30-0B4D-4F2A-9E61-3C8D2B7F4A10}";
constexpr char16_t kPin[] = u"pin-7391";
constexpr DWORD kKeyBits = 1024;
constexpr size_t kModulusBytes = kKeyBits / 8;
const std::vector<BYTE> kRequest = {'s', 'u', 'b', 'j', 'e', 'c', 't', ' ', 'C', 'N', '=', 'x'};

class Enrollment : public ProviderMachine {
 protected:
  void SetUp() override {
    ProviderMachine::SetUp();
    RegisterProvider();
  }

  static std::vector<BYTE> Export(HCRYPTKEY key, DWORD type, DWORD flags) {
    DWORD length = 0;
    if (!CryptExportKey(key, 0, type, flags, nullptr, &length)) return {};
    std::vector<BYTE> blob(length);
    if (!CryptExportKey(key, 0, type, flags, blob.data(), &length)) return {};
    blob.resize(length);
    return blob;
  }

  static HCRYPTHASH HashOfRequest(HCRYPTPROV prov) {
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash)) << std::hex << GetLastError();
    EXPECT_TRUE(CryptHashData(hash, kRequest.data(), static_cast<DWORD>(kRequest.size()), 0));
    return hash;
  }
};

TEST_F(Enrollment, NewKeySetPinLaterGuardedExportSignAndVerify) {
  std::vector<BYTE> public_blob;
  {
    const HCRYPTPROV prov = Acquire(kContainer, CRYPT_NEWKEYSET);
    ASSERT_NE(prov, 0u) << std::hex << GetLastError();
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE,
                            (kKeyBits << 16) | CRYPT_EXPORTABLE | orvex::GF_PIN_LATER, &key))
        << std::hex << GetLastError();
    ASSERT_TRUE(CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0))
        << std::hex << GetLastError();

    DWORD length = 0;
    EXPECT_FALSE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &length));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY_STATE);
    const auto private_blob = Export(key, PRIVATEKEYBLOB, orvex::XF_ALLOW_GUARDED);
    ASSERT_EQ(private_blob.size(), 20 + 2 * kModulusBytes + 5 * (kModulusBytes / 2));
    EXPECT_EQ(private_blob[0], PRIVATEKEYBLOB);
    public_blob = Export(key, PUBLICKEYBLOB, 0);
    ASSERT_EQ(public_blob.size(), 20 + kModulusBytes);
    EXPECT_EQ(public_blob[0], PUBLICKEYBLOB);
    EXPECT_EQ(0, std::memcmp(public_blob.data() + 20, private_blob.data() + 20, kModulusBytes));

    char name[64] = {};
    DWORD name_length = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &name_length, 0));
    EXPECT_STREQ(name, "{5A1E7C30-0B4D-4F2A-9E61-3C8D2B7F4A10}");
    EXPECT_TRUE(CryptDestroyKey(key));
    ASSERT_TRUE(CryptReleaseContext(prov, 0));
  }

  UseScript({"ok pin-7391"});
  const HCRYPTPROV prov = Acquire(kContainer);
  ASSERT_NE(prov, 0u) << std::hex << GetLastError();
  const HCRYPTHASH hash = HashOfRequest(prov);
  std::vector<BYTE> signature(kModulusBytes);
  DWORD length = static_cast<DWORD>(signature.size());
  ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length))
      << std::hex << GetLastError();
  ASSERT_EQ(length, kModulusBytes);
  const auto shown = ScriptLog();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].rfind("pin\t", 0), 0u) << shown[0];
  EXPECT_TRUE(CryptDestroyHash(hash));

  HCRYPTKEY public_key = 0;
  ASSERT_TRUE(CryptImportKey(prov, public_blob.data(), static_cast<DWORD>(public_blob.size()), 0, 0,
                             &public_key))
      << std::hex << GetLastError();
  const HCRYPTHASH check = HashOfRequest(prov);
  EXPECT_TRUE(CryptVerifySignatureW(check, signature.data(), length, public_key, nullptr, 0))
      << std::hex << GetLastError();
  signature[0] ^= 1;
  EXPECT_FALSE(CryptVerifySignatureW(check, signature.data(), length, public_key, nullptr, 0));

  ASSERT_TRUE(CryptReleaseContext(prov, 0));
  // The context's key and hash handles went with it.
  EXPECT_FALSE(CryptDestroyKey(public_key));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  EXPECT_FALSE(CryptDestroyHash(check));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH);
}

}  // namespace
