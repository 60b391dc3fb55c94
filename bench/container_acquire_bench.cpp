// Acquiring and releasing a context on an existing container, through the
// engine's exports as a caller reaches them. Each acquire of a container that
// no other context holds loads it from storage; the raw reads of the same
// storage in the same run show what the engine adds on top.
#include <kavrin/crypt.h>
#include <kavrin/kernel/files.h>
#include <kavrin/registry.h>
#include <orvex/container_storage.h>

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

PFN_CPAcquireContextW g_acquire = nullptr;
PFN_CPReleaseContext g_release = nullptr;

HCRYPTPROV Acquire(const char16_t* name, DWORD flags) {
  HCRYPTPROV prov = 0;
  if (!g_acquire(&prov, const_cast<LPWSTR>(name), flags, nullptr)) return 0;
  return prov;
}

void AcquireRelease(benchmark::State& state, const char16_t* name) {
  for (auto _ : state) {
    const HCRYPTPROV prov = Acquire(name, 0);
    if (prov == 0) {
      state.SkipWithError("acquire failed");
      break;
    }
    g_release(prov, 0);
  }
}

void BM_AcquireReleaseRegistry(benchmark::State& state) { AcquireRelease(state, u"BenchReg"); }
void BM_AcquireReleaseFile(benchmark::State& state) { AcquireRelease(state, u"BenchFile"); }

// Another context keeps the container loaded: no storage is read.
void BM_AcquireReleaseLoaded(benchmark::State& state) {
  const HCRYPTPROV holder = Acquire(u"BenchReg", 0);
  AcquireRelease(state, u"BenchReg");
  g_release(holder, 0);
}

// The twelve values read directly, as one load reads them.
void BM_RawRegistryRead(benchmark::State& state) {
  const std::u16string path = std::u16string(orvex::kContainerRootKey) + u"\\BenchReg";
  BYTE buffer[64];
  for (auto _ : state) {
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
    for (const auto* names : {&orvex::kSignatureSlotValues, &orvex::kExchangeSlotValues}) {
      for (const char16_t* value : *names) {
        DWORD size = sizeof buffer;
        RegQueryValueExW(key, value, nullptr, nullptr, buffer, &size);
      }
    }
    RegCloseKey(key);
    benchmark::DoNotOptimize(buffer);
  }
}

void BM_RawFileRead(benchmark::State& state, std::u16string path) {
  BYTE buffer[256];
  for (auto _ : state) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD read = 0;
    ReadFile(file, buffer, sizeof buffer, &read, nullptr);
    CloseHandle(file);
    benchmark::DoNotOptimize(buffer);
  }
}

}  // namespace

int main(int argc, char** argv) {
  char root_template[] = "/tmp/kavrin-bench-XXXXXX";
  if (mkdtemp(root_template) == nullptr) return 1;
  const std::filesystem::path root = root_template;
  setenv("KAVRIN_ROOT", root.c_str(), 1);

  void* engine = dlopen(KAVRIN_LIB_DIR "/OrvexEngine.so", RTLD_NOW | RTLD_LOCAL);
  if (engine == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  g_acquire = reinterpret_cast<PFN_CPAcquireContextW>(dlsym(engine, "CPAcquireContextW"));
  g_release = reinterpret_cast<PFN_CPReleaseContext>(dlsym(engine, "CPReleaseContext"));
  g_release(Acquire(u"BenchReg", CRYPT_NEWKEYSET), 0);
  g_release(Acquire(u"BenchFile", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET), 0);
  const std::u16string file = (root / "Windows/System32/Orvex/container/BenchFile").u16string();

  benchmark::RegisterBenchmark("BM_AcquireReleaseRegistry", BM_AcquireReleaseRegistry);
  benchmark::RegisterBenchmark("BM_RawRegistryRead", BM_RawRegistryRead);
  benchmark::RegisterBenchmark("BM_AcquireReleaseFile", BM_AcquireReleaseFile);
  benchmark::RegisterBenchmark("BM_RawFileRead", BM_RawFileRead, file);
  benchmark::RegisterBenchmark("BM_AcquireReleaseLoaded", BM_AcquireReleaseLoaded);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  dlclose(engine);
  std::filesystem::remove_all(root);
  return 0;
}
