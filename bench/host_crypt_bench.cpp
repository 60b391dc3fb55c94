// The CryptoAPI host as a program meets it. Acquiring and releasing a context
// loads the front module and the engine, checks the engine file and opens the
// container; the same with another context open shows the share of loading,
// and the engine's own entry points called directly show what host and front
// add. Signing through the host runs beside raw OpenSSL signing with a key of
// the same size, in the same run.
#include <kavrin/crypt.h>
#include <kavrin/errors.h>
#include <kavrin/kernel/modules.h>
#include <orvex/provider.h>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char16_t kContainer[] = u"BenchHost";
constexpr char16_t kSignContainer[] = u"BenchSign";
constexpr char16_t kPin[] = u"bench-pin-1";
constexpr DWORD kKeyBits = 1024;
const std::vector<BYTE> kMessage(1024, 0x42);

HCRYPTPROV Acquire(const char16_t* container, DWORD flags) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextW(&prov, container, orvex::kProviderNameW, orvex::kProviderType, flags)) {
    return 0;
  }
  return prov;
}

bool Register(const char* module) {
  const std::string path = std::string(KAVRIN_LIB_DIR) + "/" + module;
  const HMODULE handle = LoadLibraryW(std::filesystem::path(path).u16string().c_str());
  if (handle == nullptr) return false;
  using Entry = HRESULT (*)();
  const auto entry = reinterpret_cast<Entry>(GetProcAddress(handle, "DllRegisterServer"));
  const bool done = entry != nullptr && entry() == S_OK;
  FreeLibrary(handle);
  return done;
}

void HostAcquireRelease(benchmark::State& state) {
  for (auto _ : state) {
    const HCRYPTPROV prov = Acquire(kContainer, 0);
    if (prov == 0) {
      state.SkipWithError("acquire failed");
      break;
    }
    CryptReleaseContext(prov, 0);
  }
}

void BM_HostAcquireRelease(benchmark::State& state) { HostAcquireRelease(state); }

// Another open context keeps both modules loaded and the container in memory.
void BM_HostAcquireReleaseWhileOneIsOpen(benchmark::State& state) {
  const HCRYPTPROV holder = Acquire(kContainer, 0);
  HostAcquireRelease(state);
  CryptReleaseContext(holder, 0);
}

// The engine's entry points as the front module reaches them, with the same
// context held open.
void BM_EngineAcquireReleaseWhileOneIsOpen(benchmark::State& state) {
  const HCRYPTPROV holder = Acquire(kContainer, 0);
  const std::string path = std::string(KAVRIN_LIB_DIR) + "/OrvexEngine.so";
  const HMODULE engine = LoadLibraryW(std::filesystem::path(path).u16string().c_str());
  const auto acquire = reinterpret_cast<PFN_CPAcquireContextW>(GetProcAddress(engine, "CPAcquireContextW"));
  const auto release = reinterpret_cast<PFN_CPReleaseContext>(GetProcAddress(engine, "CPReleaseContext"));
  for (auto _ : state) {
    HCRYPTPROV prov = 0;
    if (!acquire(&prov, const_cast<LPWSTR>(kContainer), 0, nullptr)) {
      state.SkipWithError("acquire failed");
      break;
    }
    release(prov, 0);
  }
  FreeLibrary(engine);
  CryptReleaseContext(holder, 0);
}

// A context of a container whose signature key has its PIN set and verified.
HCRYPTPROV SigningContext() {
  const HCRYPTPROV prov = Acquire(kSignContainer, CRYPT_NEWKEYSET);
  HCRYPTKEY key = 0;
  if (prov == 0 ||
      !CryptGenKey(prov, AT_SIGNATURE, (kKeyBits << 16) | CRYPT_EXPORTABLE | orvex::GF_PIN_LATER,
                   &key)) {
    return prov;
  }
  CryptDestroyKey(key);
  CryptSetProvParam(prov, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0);
  CryptSetProvParam(prov, orvex::PP_VERIFY_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0);
  return prov;
}

void BM_HostSignSha1(benchmark::State& state, HCRYPTPROV prov) {
  std::vector<BYTE> signature(kKeyBits / 8);
  for (auto _ : state) {
    HCRYPTHASH hash = 0;
    DWORD length = static_cast<DWORD>(signature.size());
    const bool signed_ok =
        CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash) &&
        CryptHashData(hash, kMessage.data(), static_cast<DWORD>(kMessage.size()), 0) &&
        CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length);
    if (hash != 0) CryptDestroyHash(hash);
    if (!signed_ok) {
      char text[64];
      std::snprintf(text, sizeof text, "sign failed: 0x%08X", static_cast<unsigned>(GetLastError()));
      state.SkipWithError(text);
      break;
    }
    benchmark::DoNotOptimize(signature.data());
  }
}

void BM_OpenSslSignSha1(benchmark::State& state, EVP_PKEY* key) {
  std::vector<unsigned char> signature(kKeyBits / 8);
  for (auto _ : state) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    size_t length = signature.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, kMessage.data(), kMessage.size()) != 1) {
      state.SkipWithError("sign failed");
      break;
    }
    benchmark::DoNotOptimize(signature.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
  char root_template[] = "/tmp/kavrin-bench-XXXXXX";
  if (mkdtemp(root_template) == nullptr) return 1;
  const std::filesystem::path root = root_template;
  setenv("KAVRIN_ROOT", root.c_str(), 1);
  // A dialog would mean the PIN was not verified: it is cancelled, and the
  // benchmark says so, instead of waiting for someone.
  const auto answers = root / "no-answers.txt";
  std::ofstream(answers).close();
  setenv("KAVRIN_UI", ("script:" + answers.string()).c_str(), 1);

  if (!Register("Kavrin_Orvex_S.so") || !Register("OrvexEngine.so")) {
    std::fprintf(stderr, "registration failed\n");
    return 1;
  }
  CryptReleaseContext(Acquire(kContainer, CRYPT_NEWKEYSET), 0);
  const HCRYPTPROV signing = SigningContext();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> openssl_key(
      EVP_RSA_gen(kKeyBits), &EVP_PKEY_free);

  benchmark::RegisterBenchmark("BM_HostAcquireRelease", BM_HostAcquireRelease);
  benchmark::RegisterBenchmark("BM_HostAcquireReleaseWhileOneIsOpen",
                               BM_HostAcquireReleaseWhileOneIsOpen);
  benchmark::RegisterBenchmark("BM_EngineAcquireReleaseWhileOneIsOpen",
                               BM_EngineAcquireReleaseWhileOneIsOpen);
  benchmark::RegisterBenchmark("BM_HostSignSha1", BM_HostSignSha1, signing);
  benchmark::RegisterBenchmark("BM_OpenSslSignSha1", BM_OpenSslSignSha1, openssl_key.get());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  if (signing != 0) CryptReleaseContext(signing, 0);
  std::filesystem::remove_all(root);
  return 0;
}
