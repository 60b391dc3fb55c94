// Containers in their two real stores: the registry under HKEY_CURRENT_USER
// and files in the container directory.
#include "container_manager.h"
#include "engine_module.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>
#include <kavrin/kernel/files.h>
#include <kavrin/registry.h>
#include <orvex/container_storage.h>

#include "tests/support/fresh_root.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Bytes = std::vector<BYTE>;

std::filesystem::path ContainerFile(const std::filesystem::path& root, const std::string& name) {
  return root / "Windows" / "System32" / "Orvex" / "container" / name;
}

std::u16string KeyPath(const std::u16string& name) {
  return std::u16string(orvex::kContainerRootKey) + u"\\" + name;
}

bool ReadValue(const std::u16string& name, const char16_t* value, Bytes* out, DWORD* type) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(name).c_str(), 0, KEY_READ, &key) != 0) return false;
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, value, nullptr, type, nullptr, &size);
  out->resize(size);
  if (status == 0 && size != 0) {
    status = RegQueryValueExW(key, value, nullptr, type, out->data(), &size);
  }
  RegCloseKey(key);
  return status == 0;
}

void WriteValue(const std::u16string& name, const char16_t* value, const Bytes& bytes) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(name).c_str(), 0, KEY_WRITE, &key), 0);
  EXPECT_EQ(RegSetValueExW(key, value, 0, REG_BINARY, bytes.data(),
                           static_cast<DWORD>(bytes.size())),
            0);
  RegCloseKey(key);
}

Bytes LittleEndian(uint64_t value, size_t width) {
  Bytes out;
  for (size_t i = 0; i < width; ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
  return out;
}

Bytes ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ContainerStorage : public kavrin::test::FreshRoot {
 protected:
  CContainerManager& Manager() { return Engine().Containers(); }

  DWORD Open(const char16_t* name, DWORD flags, std::shared_ptr<CKeyContainer>* out = nullptr) {
    std::shared_ptr<CKeyContainer> container;
    const DWORD result = Manager().OpenKeyContainer(name, flags, &container);
    if (out != nullptr) *out = container;
    return result;
  }
};

TEST_F(ContainerStorage, NewRegistryContainerHoldsTwelveBinaryValues) {
  ASSERT_EQ(Open(u"Reg", CRYPT_NEWKEYSET), 0u);
  const std::vector<std::pair<const char16_t*, Bytes>> expected = {
      {u"s_algid", LittleEndian(0, 4)},           {u"s_dwFlags", LittleEndian(0, 4)},
      {u"s_dwRestrictTimes", LittleEndian(6, 4)}, {u"s_i64LockTime", LittleEndian(840110, 8)},
      {u"s_dwDeadlockTimes", LittleEndian(0, 4)}, {u"s_data", {}},
      {u"ex_algid", LittleEndian(0, 4)},          {u"ex_dwFlags", LittleEndian(0, 4)},
      {u"ex_dwRestrictTimes", LittleEndian(6, 4)}, {u"ex_i64LockTime", LittleEndian(840110, 8)},
      {u"ex_dwDeadlockTimes", LittleEndian(0, 4)}, {u"ex_data", {}}};
  for (const auto& [value, bytes] : expected) {
    Bytes stored;
    DWORD type = 0;
    ASSERT_TRUE(ReadValue(u"Reg", value, &stored, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(stored, bytes);
  }
  EXPECT_FALSE(std::filesystem::exists(ContainerFile(root(), "Reg")));
}

TEST_F(ContainerStorage, NewMachineContainerIsA96ByteFile) {
  std::shared_ptr<CKeyContainer> container;
  ASSERT_EQ(Open(u"Machine", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET, &container), 0u);
  EXPECT_TRUE(container->IsFileContainer());
  EXPECT_EQ(ReadFileBytes(ContainerFile(root(), "Machine")).size(),
            orvex::kEmptyFileContainerSize);
  HKEY key = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(u"Machine").c_str(), 0, KEY_READ, &key), 0);
}

TEST_F(ContainerStorage, OpenSharesOneObjectPerExactName) {
  std::shared_ptr<CKeyContainer> created, again, other_case;
  ASSERT_EQ(Open(u"Shared", CRYPT_NEWKEYSET, &created), 0u);
  ASSERT_EQ(Open(u"Shared", 0, &again), 0u);
  EXPECT_EQ(created, again);
  // The stores ignore case, the list of loaded containers does not.
  ASSERT_EQ(Open(u"SHARED", 0, &other_case), 0u);
  EXPECT_NE(other_case, created);
  EXPECT_EQ(Manager().FindContainerStorage(u"shared"), CContainerManager::kStorageRegistry);
}

TEST_F(ContainerStorage, NameInBothStoresOpensTheFile) {
  ASSERT_EQ(Open(u"Both", CRYPT_NEWKEYSET), 0u);
  ASSERT_EQ(Open(u"BothFile", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET), 0u);
  std::filesystem::copy_file(ContainerFile(root(), "BothFile"), ContainerFile(root(), "Both"));
  EXPECT_EQ(Manager().FindContainerStorage(u"Both"), CContainerManager::kStorageFile);
  auto container = std::make_shared<CKeyContainer>();
  container->SetName(u"Both");
  ASSERT_EQ(Manager().LoadKeyContainer(*container, Manager().FindContainerStorage(u"Both")), 0u);
  EXPECT_TRUE(container->IsFileContainer());
}

TEST_F(ContainerStorage, CreateOfAnExistingNameFailsAndLeavesStorageAlone) {
  std::shared_ptr<CKeyContainer> container;
  ASSERT_EQ(Open(u"Exists", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET, &container), 0u);
  container->SetRestrictTimes(AT_SIGNATURE, 2);
  ASSERT_EQ(SaveKeyContainer(*container), 0u);
  const Bytes before = ReadFileBytes(ContainerFile(root(), "Exists"));

  for (DWORD flags : {DWORD{CRYPT_NEWKEYSET}, DWORD{CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET}}) {
    SetLastError(0);
    EXPECT_EQ(Open(u"Exists", flags), NTE_FAIL);
    EXPECT_EQ(GetLastError(), NTE_EXISTS);
  }
  EXPECT_EQ(ReadFileBytes(ContainerFile(root(), "Exists")), before);

  SetLastError(0);
  EXPECT_EQ(Open(u"Missing", 0), NTE_FAIL);
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  EXPECT_EQ(Open(u"Missing", CRYPT_DELETEKEYSET), NTE_FAIL);
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
}

TEST_F(ContainerStorage, BadNamesAreRefusedBeforeAnyStorageIsTouched) {
  for (const char16_t* name : {u"", u"..", u"..\\..\\escape", u"a/b", u"*", u"a?b"}) {
    for (DWORD flags : {DWORD{0}, DWORD{CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET},
                        DWORD{CRYPT_NEWKEYSET}, DWORD{CRYPT_DELETEKEYSET}}) {
      SetLastError(0);
      EXPECT_EQ(Open(name, flags), NTE_FAIL);
      EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET_PARAM);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(root() / "Windows" / "System32" / "escape"));
  EXPECT_FALSE(std::filesystem::exists(root() / "Windows" / "System32" / "Orvex" / "escape"));
}

TEST_F(ContainerStorage, StoredValuesBreakingTheLayoutAreRefusedAndKept) {
  ASSERT_EQ(Open(u"Broken", CRYPT_NEWKEYSET), 0u);
  ASSERT_EQ(Open(u"Short", CRYPT_NEWKEYSET), 0u);
  ASSERT_EQ(Open(u"Missing", CRYPT_NEWKEYSET), 0u);
  WriteValue(u"Broken", u"s_dwRestrictTimes", LittleEndian(6, 2));
  WriteValue(u"Short", u"ex_data", Bytes(19, 0xAA));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(u"Missing").c_str(), 0, KEY_WRITE, &key), 0);
  ASSERT_EQ(RegDeleteValueW(key, u"ex_algid"), 0);
  RegCloseKey(key);

  for (const char16_t* name : {u"Broken", u"Short", u"Missing"}) {
    auto container = std::make_shared<CKeyContainer>();
    container->SetName(name);
    EXPECT_EQ(Manager().LoadKeyContainer(*container, CContainerManager::kStorageRegistry),
              NTE_KEYSET_ENTRY_BAD);
  }
  Bytes stored;
  DWORD type = 0;
  ASSERT_TRUE(ReadValue(u"Short", u"ex_data", &stored, &type));
  EXPECT_EQ(stored, Bytes(19, 0xAA));
}

TEST_F(ContainerStorage, FileThatCannotBeReadIsRefusedNotEmptied) {
  std::shared_ptr<CKeyContainer> created;
  ASSERT_EQ(Open(u"Held", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET, &created), 0u);
  created.reset();
  ASSERT_EQ(Manager().LoadedCount(), 0u);
  const std::u16string path = ContainerFilePath(u"Held");

  // Another holder that denies every kind of sharing.
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  SetLastError(0);
  EXPECT_EQ(Open(u"Held", 0), NTE_FAIL);
  EXPECT_EQ(GetLastError(), NTE_KEYSET_ENTRY_BAD);
  CloseHandle(held);
  EXPECT_EQ(Open(u"Held", 0), 0u);

  // A truncated file is refused, and stays as it is.
  std::filesystem::resize_file(ContainerFile(root(), "Held"), 50);
  std::shared_ptr<CKeyContainer> reloaded = std::make_shared<CKeyContainer>();
  reloaded->SetName(u"Held");
  EXPECT_EQ(Manager().LoadKeyContainer(*reloaded, CContainerManager::kStorageFile),
            NTE_KEYSET_ENTRY_BAD);
  EXPECT_EQ(std::filesystem::file_size(ContainerFile(root(), "Held")), 50u);
}

TEST_F(ContainerStorage, DeleteRemovesStorageOfEitherKind) {
  ASSERT_EQ(Open(u"GoneReg", CRYPT_NEWKEYSET), 0u);
  ASSERT_EQ(Open(u"GoneFile", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET), 0u);
  EXPECT_EQ(Open(u"GoneReg", CRYPT_DELETEKEYSET), CContainerManager::kContainerDeleted);
  EXPECT_EQ(Open(u"GoneFile", CRYPT_DELETEKEYSET), CContainerManager::kContainerDeleted);
  EXPECT_EQ(Manager().FindContainerStorage(u"GoneReg"), CContainerManager::kStorageNone);
  EXPECT_EQ(Manager().FindContainerStorage(u"GoneFile"), CContainerManager::kStorageNone);
  EXPECT_EQ(Manager().LoadedCount(), 0u);
}

// --- Saves interrupted by a crash ---------------------------------------
//
// A writer process saves versions of one container as fast as it can and is
// killed at a random moment. Every version ties the counters to the data, so
// a container mixed from two versions shows up as data that does not match
// its counters.

constexpr const char* kWriterStoreVariable = "ORVEX_TEST_WRITER_STORE";
constexpr size_t kBlobSize = 148;

SecureBytes VersionBlob(uint32_t version, DWORD spec) {
  SecureBytes blob(kBlobSize);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<BYTE>(version * 131 + i * 7 + spec);
  return blob;
}

void ApplyVersion(CKeyContainer& container, uint32_t version) {
  for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
    CKeyObject* slot = container.GetKeySlot(spec, true);
    slot->SetAlgid(spec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
    slot->SetAttributes(CKeyObject::KEYF_DEFAULT_PIN);
    slot->SetMaskedBlob(VersionBlob(version, spec));
    container.SetRestrictTimes(spec, static_cast<LONG>(version % 5));
    container.SetLockTime(spec, 1000000 + version);
    container.SetDeadlockTimes(spec, version % 3);
  }
}

std::shared_ptr<CKeyContainer> CrashContainer(bool file) {
  auto container = std::make_shared<CKeyContainer>();
  container->SetName(u"Crash");
  if (file) container->SetFileFlag(CRYPT_MACHINE_KEYSET);
  return container;
}

// Run only as the child of CrashedSavesLeaveOneWholeVersion.
TEST(ContainerCrash, DISABLED_WriterRole) {
  const char* store = std::getenv(kWriterStoreVariable);
  ASSERT_NE(store, nullptr);
  auto container = CrashContainer(std::string(store) == "file");
  for (uint32_t version = 1;; ++version) {
    ApplyVersion(*container, version);
    ASSERT_EQ(SaveKeyContainer(*container), 0u);
  }
}

pid_t StartWriter(const std::string& store) {
  setenv(kWriterStoreVariable, store.c_str(), 1);
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=ContainerCrash.DISABLED_WriterRole";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {const_cast<char*>(exe.c_str()), filter.data(), disabled.data(), nullptr};
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ), 0);
  unsetenv(kWriterStoreVariable);
  return pid;
}

uint32_t LoadedVersion(CContainerManager& manager, bool file) {
  auto container = CrashContainer(file);
  const DWORD storage =
      file ? CContainerManager::kStorageFile : CContainerManager::kStorageRegistry;
  EXPECT_EQ(manager.LoadKeyContainer(*container, storage), 0u);
  const auto version = static_cast<uint32_t>(container->GetLockTime(AT_SIGNATURE) - 1000000);
  for (DWORD spec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
    EXPECT_EQ(container->GetLockTime(spec), 1000000 + version);
    EXPECT_EQ(container->GetRestrictTimes(spec), static_cast<LONG>(version % 5));
    EXPECT_EQ(container->GetDeadlockTimes(spec), version % 3);
    const CKeyObject* slot = container->GetKeySlot(spec, true);
    EXPECT_EQ(slot->Attributes(), CKeyObject::KEYF_DEFAULT_PIN);
    EXPECT_EQ(slot->MaskedBlob(), VersionBlob(version, spec)) << "version " << version;
  }
  return version;
}

class ContainerCrashTest : public kavrin::test::FreshRoot,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(ContainerCrashTest, CrashedSavesLeaveOneWholeVersion) {
  const bool file = std::string(GetParam()) == "file";
  CContainerManager& manager = Engine().Containers();
  auto first = CrashContainer(file);
  first->ResetCounters();
  ApplyVersion(*first, 0);
  ASSERT_EQ(SaveKeyContainer(*first), 0u);

  std::mt19937 random(12345);
  uint32_t last = 0;
  for (int round = 0; round < 8; ++round) {
    const pid_t writer = StartWriter(GetParam());
    ASSERT_GT(writer, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(60 + random() % 90));
    kill(writer, SIGKILL);
    int status = 0;
    waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own";
    last = LoadedVersion(manager, file);
    if (HasFailure()) break;
  }
  EXPECT_GT(last, 0u) << "the writer never completed a save";
}

INSTANTIATE_TEST_SUITE_P(Stores, ContainerCrashTest, ::testing::Values("file", "registry"));

}  // namespace
