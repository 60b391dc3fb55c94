#include "random_generator.h"

#include "diagnostic.h"

#include <kavrin/kernel/system_dirs.h>
#include <kavrin/kernel/text.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <vector>

namespace {

constexpr char kAddedSeedText[] = "7302918465";
constexpr char kSeedText[] = "70815e";
constexpr size_t kSeedBufferSize = 20;
constexpr long kSeedFileBytes = 1024;
// The generator reports itself unseeded only when the system gives it no
// entropy at all; a few more polls cannot help after that.
constexpr int kMaxPolls = 8;

// Fresh entropy from the system into the generator. OpenSSL 3's own
// RAND_poll does nothing for its default generator (which seeds itself), so
// the primary generator is reseeded directly, with prediction resistance so
// that the entropy is drawn now. There is no screen to read on this system.
bool PollSystem() {
  EVP_RAND_CTX* primary = RAND_get0_primary(nullptr);
  return primary != nullptr && EVP_RAND_reseed(primary, 1, nullptr, 0, nullptr, 0) == 1;
}

// The seed texts go in as OpenSSL 3 takes all added seed: as additional
// input to a reseed (the entropy estimate is no longer used).
void AddSeedTexts(DWORD length) {
  std::vector<unsigned char> added(length, 0);
  std::copy_n(kAddedSeedText, std::min<size_t>(length, sizeof kAddedSeedText - 1), added.begin());
  const int added_len = static_cast<int>(std::min<DWORD>(length, INT_MAX));
  RAND_add(added.data(), added_len, static_cast<double>((length + 1) / 2));

  unsigned char seed[kSeedBufferSize] = {};
  std::copy_n(kSeedText, sizeof kSeedText - 1, seed);  // the zero byte follows
  RAND_seed(seed, sizeof seed);
}

bool WaitUntilSeeded() {
  for (int poll = 0; RAND_status() != 1; ++poll) {
    WriteDiagnostic("not enough sedded!\n");
    if (poll == kMaxPolls) return false;
    PollSystem();
  }
  WriteDiagnostic("seeded enough!\n");
  return true;
}

std::string OpenSslSeedFileName() {
  // RAND_file_name refuses a buffer too small for the name; grow until it fits.
  for (size_t size = 256; size <= 64 * 1024; size *= 4) {
    std::vector<char> buffer(size, '\0');
    if (RAND_file_name(buffer.data(), buffer.size()) != nullptr) return buffer.data();
  }
  return {};
}

std::string MachineRootSeedFileName() {
  const UINT needed = GetWindowsDirectoryW(nullptr, 0);
  if (needed == 0) return {};
  std::u16string windows(needed, u'\0');
  const UINT length = GetWindowsDirectoryW(windows.data(), needed);
  if (length == 0 || length >= needed) return {};
  windows.resize(length);
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, windows.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string native(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, windows.c_str(), -1, native.data(), bytes, nullptr, nullptr);
  native.resize(static_cast<size_t>(bytes - 1));
  // The Windows directory lies directly in the machine root.
  const std::filesystem::path root = std::filesystem::path(native).parent_path();
  if (root.empty()) return {};
  return (root / ".rnd").string();
}

}  // namespace

std::string SeedFileName() {
  std::string name = OpenSslSeedFileName();
  if (name.empty()) name = MachineRootSeedFileName();
  return name;
}

bool GenRandom(BYTE* buffer, DWORD length) {
  PollSystem();
  AddSeedTexts(length);
  if (!WaitUntilSeeded()) {
    WriteDiagnostic("err.\n");
    return false;
  }
  const std::string seed_file = SeedFileName();
  if (seed_file.empty()) {
    WriteDiagnostic("can not get rand file\n");
    return false;
  }
  // The seed file carries generator output from call to call; a file that
  // cannot be written or read only loses that.
  RAND_write_file(seed_file.c_str());
  RAND_load_file(seed_file.c_str(), kSeedFileBytes);

  if (RAND_bytes_ex(nullptr, buffer, length, 0) != 1) {
    WriteDiagnostic("err.\n");
    return false;
  }
  // OpenSSL 3 has no way to wipe its generator (RAND_cleanup does nothing).
  // Reseeding from the system replaces the state that produced these bytes,
  // so the next output does not follow from it.
  PollSystem();
  return true;
}
