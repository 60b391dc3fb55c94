// Signing a SHA-1 hash with a 1024-bit signature key whose PIN is already
// verified in the context, through the engine's CPSignHash export, against
// OpenSSL's own PKCS#1 v1.5 signature of the same digest with the same key
// (exported from the engine) in the same run. The ratio of the two times is
// what the engine adds on top of the signature itself.
#include <kavrin/crypt.h>
#include <orvex/provider.h>

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Engine {
#define BENCH_DECLARE_ENTRY(name, params, args) PFN_##name name = nullptr;
  KAVRIN_CSP_ENTRY_POINTS(BENCH_DECLARE_ENTRY)
#undef BENCH_DECLARE_ENTRY
};

Engine g_engine;
HCRYPTPROV g_prov = 0;
HCRYPTHASH g_hash = 0;
EVP_PKEY* g_key = nullptr;
BYTE g_digest[20] = {};

constexpr char16_t kPin[] = u"1234";

bool LoadEngine(void* module) {
  bool all = true;
#define BENCH_RESOLVE_ENTRY(name, params, args)                                \
  g_engine.name = reinterpret_cast<PFN_##name>(dlsym(module, #name));          \
  all = all && g_engine.name != nullptr;
  KAVRIN_CSP_ENTRY_POINTS(BENCH_RESOLVE_ENTRY)
#undef BENCH_RESOLVE_ENTRY
  return all;
}

HCRYPTPROV Acquire(const char16_t* name, DWORD flags) {
  HCRYPTPROV prov = 0;
  if (!g_engine.CPAcquireContextW(&prov, const_cast<LPWSTR>(name), flags, nullptr)) return 0;
  return prov;
}

// The RSA key of a PRIVATEKEYBLOB (little-endian integers after a 20-byte
// header), as an OpenSSL key.
EVP_PKEY* KeyFromPrivateBlob(const std::vector<BYTE>& blob) {
  DWORD bitlen = 0, pubexp = 0;
  std::memcpy(&bitlen, blob.data() + 12, 4);
  std::memcpy(&pubexp, blob.data() + 16, 4);
  const size_t n = (bitlen + 7) / 8, half = (bitlen + 15) / 16;
  const BYTE* p = blob.data() + 20;
  auto take = [&](size_t width) {
    BIGNUM* bn = BN_lebin2bn(p, static_cast<int>(width), nullptr);
    p += width;
    return bn;
  };
  BIGNUM* modulus = take(n);
  BIGNUM* prime1 = take(half);
  BIGNUM* prime2 = take(half);
  BIGNUM* exponent1 = take(half);
  BIGNUM* exponent2 = take(half);
  BIGNUM* coefficient = take(half);
  BIGNUM* private_exponent = take(n);
  BIGNUM* public_exponent = BN_new();
  BN_set_word(public_exponent, pubexp);

  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, modulus);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, public_exponent);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_D, private_exponent);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR1, prime1);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_FACTOR2, prime2);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT1, exponent1);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_EXPONENT2, exponent2);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, coefficient);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  if (ctx == nullptr || EVP_PKEY_fromdata_init(ctx) != 1 ||
      EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params) != 1) {
    key = nullptr;
  }
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  for (BIGNUM* bn : {modulus, prime1, prime2, exponent1, exponent2, coefficient,
                     private_exponent, public_exponent}) {
    BN_clear_free(bn);
  }
  return key;
}

// A container with a 1024-bit signature key under a user PIN, reopened in a
// context that verified the PIN without a dialog; the key is also exported
// for the OpenSSL side.
bool PrepareKey() {
  const HCRYPTPROV setup = Acquire(u"Bench", CRYPT_NEWKEYSET);
  HCRYPTKEY key = 0;
  if (setup == 0 ||
      !g_engine.CPGenKey(setup, AT_SIGNATURE,
                         (1024u << 16) | orvex::GF_PIN_LATER | CRYPT_EXPORTABLE, &key) ||
      !g_engine.CPSetProvParam(setup, PP_SIGNATURE_PIN,
                               reinterpret_cast<BYTE*>(const_cast<char16_t*>(kPin)), 0)) {
    return false;
  }
  DWORD len = 0;
  g_engine.CPExportKey(setup, key, 0, PRIVATEKEYBLOB, orvex::XF_ALLOW_GUARDED, nullptr, &len);
  std::vector<BYTE> blob(len);
  if (len == 0 || !g_engine.CPExportKey(setup, key, 0, PRIVATEKEYBLOB, orvex::XF_ALLOW_GUARDED,
                                        blob.data(), &len)) {
    return false;
  }
  g_key = KeyFromPrivateBlob(blob);
  g_engine.CPReleaseContext(setup, 0);

  g_prov = Acquire(u"Bench", 0);
  if (g_prov == 0 || g_key == nullptr ||
      !g_engine.CPSetProvParam(g_prov, orvex::PP_VERIFY_SIGNATURE_PIN,
                               reinterpret_cast<BYTE*>(const_cast<char16_t*>(kPin)), 0)) {
    return false;
  }
  const BYTE data[] = "the message that is signed";
  DWORD digest_len = sizeof g_digest;
  return g_engine.CPCreateHash(g_prov, CALG_SHA1, 0, 0, &g_hash) &&
         g_engine.CPHashData(g_prov, g_hash, data, sizeof data - 1, 0) &&
         g_engine.CPGetHashParam(g_prov, g_hash, HP_HASHVAL, g_digest, &digest_len, 0);
}

void BM_CPSignHash(benchmark::State& state) {
  BYTE signature[128];
  for (auto _ : state) {
    DWORD len = sizeof signature;
    if (!g_engine.CPSignHash(g_prov, g_hash, AT_SIGNATURE, nullptr, 0, signature, &len)) {
      state.SkipWithError("CPSignHash failed");
      break;
    }
    benchmark::DoNotOptimize(signature);
  }
}

// What a caller of OpenSSL writes for one signature: a context for the key,
// PKCS#1 v1.5 padding, the digest's DigestInfo, the signature.
void BM_OpenSslSign(benchmark::State& state) {
  EVP_MD* sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  unsigned char signature[128];
  for (auto _ : state) {
    size_t len = sizeof signature;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, g_key, nullptr);
    const bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_CTX_set_signature_md(ctx, sha1) == 1 &&
                    EVP_PKEY_sign(ctx, signature, &len, g_digest, sizeof g_digest) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) {
      state.SkipWithError("EVP_PKEY_sign failed");
      break;
    }
    benchmark::DoNotOptimize(signature);
  }
  EVP_MD_free(sha1);
}

// The console report, plus the ratio of the engine's CPU time to OpenSSL's:
// per run, or of the medians when the runs are repeated.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_None) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      const double per_iteration = run.GetAdjustedCPUTime();
      if (run.run_name.function_name == "BM_CPSignHash") engine_ = per_iteration;
      if (run.run_name.function_name == "BM_OpenSslSign") openssl_ = per_iteration;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio() const {
    if (engine_ > 0 && openssl_ > 0) {
      std::printf("CPSignHash / OpenSSL signature (CPU time): %.3f\n", engine_ / openssl_);
    }
  }

 private:
  double engine_ = 0;
  double openssl_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  char root_template[] = "/tmp/kavrin-bench-XXXXXX";
  if (mkdtemp(root_template) == nullptr) return 1;
  const std::filesystem::path root = root_template;
  setenv("KAVRIN_ROOT", root.c_str(), 1);
  // No dialog may wait for an answer: any the engine shows is cancelled.
  setenv("KAVRIN_UI", "none", 1);

  void* module = dlopen(KAVRIN_LIB_DIR "/OrvexEngine.so", RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr || !LoadEngine(module)) {
    std::fprintf(stderr, "cannot load the engine: %s\n", dlerror());
    return 1;
  }
  int status = 0;
  if (PrepareKey()) {
    benchmark::RegisterBenchmark("BM_CPSignHash", BM_CPSignHash);
    benchmark::RegisterBenchmark("BM_OpenSslSign", BM_OpenSslSign);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio();
    benchmark::Shutdown();
  } else {
    std::fprintf(stderr, "cannot prepare the signature key\n");
    status = 1;
  }
  if (g_prov != 0) g_engine.CPReleaseContext(g_prov, 0);
  EVP_PKEY_free(g_key);
  dlclose(module);
  std::filesystem::remove_all(root);
  return status;
}
