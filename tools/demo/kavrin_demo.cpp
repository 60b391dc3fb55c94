// kavrin-demo: the provider at work for an ordinary CryptoAPI program, in the
// machine root named by KAVRIN_ROOT, where the provider must be registered
// (kavrin-regsvr does it; scripts/demo runs all of it).
//
//   kavrin-demo [OUTPUT_DIRECTORY]
//
// It creates a key container, generates a signature key and gives it a PIN,
// exports the public key, then signs a message in a fresh context, where the
// provider asks for the PIN. The public key (PEM), the message and the
// signature (big-endian, as OpenSSL expects) land in OUTPUT_DIRECTORY
// (default $KAVRIN_ROOT/demo) for `openssl dgst -sha1 -verify`. Without
// KAVRIN_UI the PIN dialog is answered from a script file; with
// KAVRIN_UI=pinentry the real dialog appears and the PIN is typed by hand.
#include <kavrin/com.h>
#include <kavrin/crypt.h>
#include <kavrin/errors.h>
#include <kavrin/kernel.h>
#include <orvex/provider.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char16_t kPin[] = u"Demo-2468";
constexpr char kPinText[] = "Demo-2468";
constexpr DWORD kKeyBits = 1024;
constexpr char kMessage[] = "Kavrin Orvex demo: a message signed through CryptoAPI.\n";

std::string Narrow(const std::u16string& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
  return out;
}

// Reports a failed step with its code and stops the demo.
[[noreturn]] void Fail(const char* step) {
  std::fflush(stdout);
  std::fprintf(stderr, "FAILED: %s (error 0x%08X)\n", step, static_cast<unsigned>(GetLastError()));
  std::exit(1);
}

void Check(bool done, const char* step) {
  if (!done) Fail(step);
}

class Context {
 public:
  Context(const std::u16string& container, DWORD flags) {
    Check(CryptAcquireContextW(&prov_, container.c_str(), orvex::kProviderNameW,
                               orvex::kProviderType, flags),
          "CryptAcquireContextW (is the provider registered? run kavrin-regsvr)");
  }
  ~Context() { CryptReleaseContext(prov_, 0); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  HCRYPTPROV get() const { return prov_; }

 private:
  HCRYPTPROV prov_ = 0;
};

std::u16string NewContainerName() {
  GUID guid{};
  WCHAR text[GUID_STRING_BUFFER] = {};
  Check(SUCCEEDED(CoCreateGuid(&guid)) && StringFromGUID2(&guid, text, GUID_STRING_BUFFER) > 0,
        "CoCreateGuid");
  return text;
}

// The PUBLICKEYBLOB's modulus and exponent as a PEM public key.
std::string PublicKeyPem(const std::vector<BYTE>& blob) {
  Check(blob.size() >= sizeof(BLOBHEADER) + sizeof(RSAPUBKEY), "PUBLICKEYBLOB too short");
  RSAPUBKEY header{};
  std::memcpy(&header, blob.data() + sizeof(BLOBHEADER), sizeof header);
  const size_t modulus_length = (header.bitlen + 7) / 8;
  const BYTE* modulus = blob.data() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
  Check(blob.size() >= sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + modulus_length,
        "PUBLICKEYBLOB too short");

  std::unique_ptr<BIGNUM, decltype(&BN_free)> n(BN_lebin2bn(modulus, static_cast<int>(modulus_length), nullptr), &BN_free);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> e(BN_new(), &BN_free);
  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(), &OSSL_PARAM_BLD_free);
  Check(n && e && build && BN_set_word(e.get(), header.pubexp) == 1 &&
            OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
            OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) == 1,
        "building the public key");
  std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(OSSL_PARAM_BLD_to_param(build.get()), &OSSL_PARAM_free);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), &EVP_PKEY_CTX_free);
  EVP_PKEY* raw = nullptr;
  Check(params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
            EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) == 1,
        "building the public key");
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(raw, &EVP_PKEY_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
  Check(bio && PEM_write_bio_PUBKEY(bio.get(), key.get()) == 1, "writing the PEM key");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

void WriteFile(const std::filesystem::path& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  Check(out.good(), "writing an output file");
  std::printf("          wrote %s\n", path.c_str());
}

// Without KAVRIN_UI, the PIN dialog is answered from a script; its log shows
// what the dialog asked.
std::filesystem::path ScriptThePinDialog(const std::filesystem::path& directory) {
  if (std::getenv("KAVRIN_UI") != nullptr) {
    std::printf("          the PIN dialog comes from KAVRIN_UI=%s: type %s\n", std::getenv("KAVRIN_UI"),
                kPinText);
    return {};
  }
  const auto script = directory / "pin-answers.txt";
  std::ofstream(script) << "ok " << kPinText << "\n";
  std::filesystem::remove(script.string() + ".log");
  setenv("KAVRIN_UI", ("script:" + script.string()).c_str(), 1);
  std::printf("          the PIN dialog is answered from %s\n", script.c_str());
  return script;
}

void ShowScriptLog(const std::filesystem::path& script) {
  if (script.empty()) return;
  std::ifstream log(script.string() + ".log");
  for (std::string line; std::getline(log, line);) {
    std::replace(line.begin(), line.end(), '\t', ' ');
    std::printf("          dialog shown: %s\n", line.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Steps appear in order with the output of the commands around the demo.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  WCHAR windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  const std::filesystem::path root = std::filesystem::path(Narrow(windows)).parent_path();
  const std::filesystem::path out = argc > 1 ? std::filesystem::path(argv[1]) : root / "demo";
  std::filesystem::create_directories(out);
  std::printf("Machine root %s, output in %s\n", root.c_str(), out.c_str());

  const std::u16string container = NewContainerName();
  std::vector<BYTE> public_blob;
  {
    std::printf("1. CryptAcquireContextW(CRYPT_NEWKEYSET) container %s of \"%s\"\n",
                Narrow(container).c_str(), orvex::kProviderName);
    Context context(container, CRYPT_NEWKEYSET);

    std::printf("2. CryptGenKey(AT_SIGNATURE, %u bits, exportable, PIN set later)\n", kKeyBits);
    HCRYPTKEY key = 0;
    Check(CryptGenKey(context.get(), AT_SIGNATURE,
                      (kKeyBits << 16) | CRYPT_EXPORTABLE | orvex::GF_PIN_LATER, &key),
          "CryptGenKey");

    std::printf("3. CryptSetProvParam(PP_SIGNATURE_PIN, \"%s\")\n", kPinText);
    Check(CryptSetProvParam(context.get(), PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0),
          "CryptSetProvParam(PP_SIGNATURE_PIN)");

    std::printf("4. CryptExportKey(PUBLICKEYBLOB)\n");
    DWORD length = 0;
    Check(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &length), "CryptExportKey (size)");
    public_blob.resize(length);
    Check(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, public_blob.data(), &length), "CryptExportKey");
    public_blob.resize(length);
    std::printf("          %u bytes\n", static_cast<unsigned>(length));
    CryptDestroyKey(key);
  }
  const std::string pem = PublicKeyPem(public_blob);
  WriteFile(out / "public.pem", pem.data(), pem.size());
  WriteFile(out / "message.txt", kMessage, std::strlen(kMessage));

  std::printf("5. In a fresh context: CryptCreateHash(CALG_SHA1), CryptHashData, CryptSignHashW(AT_SIGNATURE)\n");
  const auto script = ScriptThePinDialog(out);
  std::vector<BYTE> signature;
  {
    Context context(container, 0);
    HCRYPTHASH hash = 0;
    Check(CryptCreateHash(context.get(), CALG_SHA1, 0, 0, &hash), "CryptCreateHash");
    Check(CryptHashData(hash, reinterpret_cast<const BYTE*>(kMessage),
                        static_cast<DWORD>(std::strlen(kMessage)), 0),
          "CryptHashData");
    DWORD length = 0;
    Check(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &length), "CryptSignHashW (size)");
    signature.resize(length);
    const BOOL signed_ok = CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length);
    ShowScriptLog(script);
    Check(signed_ok, "CryptSignHashW");
    signature.resize(length);
    CryptDestroyHash(hash);
  }
  // CryptoAPI gives signatures little-endian; OpenSSL reads them big-endian.
  std::reverse(signature.begin(), signature.end());
  std::printf("          %u-byte signature\n", static_cast<unsigned>(signature.size()));
  WriteFile(out / "signature.bin", signature.data(), signature.size());

  std::printf("6. Verify with: openssl dgst -sha1 -verify %s -signature %s %s\n",
              (out / "public.pem").c_str(), (out / "signature.bin").c_str(),
              (out / "message.txt").c_str());
  return 0;
}
