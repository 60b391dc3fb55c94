// One read and one write of an entry in a profile section of 100,000 entries,
// the size the container map reaches after years of certificate requests.
#include <kavrin/kernel/profile.h>
#include <stdlib.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kEntries = 100000;
constexpr const char16_t* kIni = u"C:\\Orvex\\OrvexContainerInfo.ini";
constexpr const char16_t* kSection = u"PubKeyToContainerName";

// 32 lower-case hex digits that look like a digest, as the real keys do.
std::string Key(uint64_t i) {
  char key[33];
  uint64_t a = (i + 1) * 0x9E3779B97F4A7C15ull;
  uint64_t b = (a ^ (a >> 31)) * 0xBF58476D1CE4E5B9ull;
  snprintf(key, sizeof(key), "%016llx%016llx", static_cast<unsigned long long>(a),
           static_cast<unsigned long long>(b));
  return key;
}

// A machine root of its own holding the big profile file; removed at the end.
class BigProfile {
 public:
  BigProfile() {
    std::string tmpl = (fs::temp_directory_path() / "kavrin-bench-XXXXXX").string();
    root_ = mkdtemp(tmpl.data());
    setenv("KAVRIN_ROOT", root_.c_str(), 1);
    fs::create_directories(root_ / "Orvex");
    std::ofstream out(root_ / "Orvex/OrvexContainerInfo.ini", std::ios::binary);
    out << "[" << "PubKeyToContainerName" << "]\r\n";
    for (int i = 0; i < kEntries; ++i) {
      out << Key(i) << "={" << std::string(8, 'A') << "-0000-4000-8000-" << std::to_string(100000000000 + i)
          << "}\r\n";
    }
  }
  ~BigProfile() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

 private:
  fs::path root_;
};

BigProfile& Profile() {
  static BigProfile profile;
  return profile;
}

// The key of entry 73,456, in upper case: names match ignoring case.
std::u16string MiddleKey() {
  std::string key = Key(73456);
  for (char& c : key) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return std::u16string(key.begin(), key.end());
}

void BM_ReadOneEntry(benchmark::State& state) {
  Profile();
  const std::u16string key = MiddleKey();
  char16_t buffer[39];
  for (auto _ : state) {
    benchmark::DoNotOptimize(GetPrivateProfileStringW(kSection, key.c_str(), u"", buffer, 39, kIni));
  }
}
BENCHMARK(BM_ReadOneEntry)->Unit(benchmark::kMillisecond);

void BM_WriteOneEntry(benchmark::State& state) {
  Profile();
  const std::u16string key = MiddleKey();
  bool flip = false;
  for (auto _ : state) {
    flip = !flip;
    const char16_t* value = flip ? u"{AAAAAAAA-0000-4000-8000-000000000000}" : u"{BBBBBBBB-0000-4000-8000-000000000000}";
    if (!WritePrivateProfileStringW(kSection, key.c_str(), value, kIni)) state.SkipWithError("write failed");
  }
}
BENCHMARK(BM_WriteOneEntry)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
