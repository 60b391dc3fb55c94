// Registering the provider: the front module records itself and its signature
// file, the engine records its path and digest, and each unregisters what is
// its own.
#include "tests/host/provider_machine.h"

#include <spawn.h>
#include <sys/wait.h>

#include <fstream>

extern char** environ;

namespace {

using kavrin::test::ProviderMachine;

class Registration : public ProviderMachine {
 protected:
  // Runs the registration program; its exit status.
  static int RunRegsvr(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KAVRIN_REGSVR);
    arguments.insert(arguments.begin() + 1, "/s");
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, KAVRIN_REGSVR, nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

std::vector<BYTE> FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

TEST_F(Registration, RegsvrRegistersBothModulesAndEachUnregistersItsOwn) {
  ASSERT_EQ(RunRegsvr({FrontModule().string()}), 0);
  ASSERT_EQ(RunRegsvr({EngineModule().string()}), 0);

  const DWORD type = 1;
  const std::vector<BYTE> type_bytes(reinterpret_cast<const BYTE*>(&type),
                                     reinterpret_cast<const BYTE*>(&type + 1));
  const std::vector<std::pair<const char16_t*, std::vector<BYTE>>> front_values = {
      {orvex::kImagePathValue, TextBytes(FrontModule().u16string())},
      {orvex::kTypeValue, type_bytes},
      {orvex::kSignatureValue, FileBytes(LibDir() / "Kavrin_Orvex_S.sig")},
  };
  for (const auto& [name, bytes] : front_values) EXPECT_EQ(ProviderValue(name), bytes);
  EXPECT_EQ(ProviderValue(orvex::kEngineImagePathValue), TextBytes(EngineModule().u16string()));
  EXPECT_EQ(ProviderValue(orvex::kEngineImageDigestValue), DigestBytes(EngineModule()));

  ASSERT_EQ(RunRegsvr({"/u", EngineModule().string()}), 0);
  for (const auto& [name, bytes] : front_values) EXPECT_EQ(ProviderValue(name), bytes);
  EXPECT_FALSE(ProviderValue(orvex::kEngineImagePathValue));
  EXPECT_FALSE(ProviderValue(orvex::kEngineImageDigestValue));

  ASSERT_EQ(RunRegsvr({"/u", FrontModule().string()}), 0);
  EXPECT_FALSE(ProviderKeyExists());
  // Unregistering an engine that has no provider key leaves none behind.
  ASSERT_EQ(RunRegsvr({"/u", EngineModule().string()}), 0);
  EXPECT_FALSE(ProviderKeyExists());

  EXPECT_EQ(RunRegsvr({(root() / "missing.so").string()}), 3);
  EXPECT_EQ(RunRegsvr({KAVRIN_MODULE_FIXTURE}), 4);
}

// The signature file beside a copy of the front module decides the outcome;
// a failed registration removes the provider key, the engine's values included.
TEST_F(Registration, SignatureFileMustBe72To136BytesAndNotAllZero) {
  const auto directory = root() / "csp";
  std::filesystem::create_directories(directory);
  const auto module = directory / "Kavrin_Orvex_S.so";
  const auto signature = directory / "Kavrin_Orvex_S.sig";
  std::filesystem::copy_file(FrontModule(), module);

  std::vector<BYTE> one_set(72, 0);
  one_set[71] = 1;
  struct Case {
    const char* what;
    std::optional<std::vector<BYTE>> file;
    HRESULT expected;
  };
  const Case cases[] = {
      {"no file", std::nullopt, static_cast<HRESULT>(NTE_BAD_SIGNATURE)},
      {"71 bytes", std::vector<BYTE>(71, 0x11), static_cast<HRESULT>(NTE_BAD_SIGNATURE)},
      {"72 zero bytes", std::vector<BYTE>(72, 0), static_cast<HRESULT>(NTE_BAD_SIGNATURE)},
      {"72 bytes, one not zero", one_set, S_OK},
      {"136 bytes", std::vector<BYTE>(136, 0xA5), S_OK},
      {"137 bytes", std::vector<BYTE>(137, 0xA5), static_cast<HRESULT>(NTE_BAD_SIGNATURE)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(signature);
    if (c.file) {
      std::ofstream(signature, std::ios::binary)
          .write(reinterpret_cast<const char*>(c.file->data()), c.file->size());
    }
    ASSERT_EQ(CallRegistration(EngineModule()), S_OK);
    EXPECT_EQ(CallRegistration(module), c.expected);
    if (FAILED(c.expected)) {
      EXPECT_FALSE(ProviderKeyExists());
      continue;
    }
    EXPECT_EQ(ProviderValue(orvex::kSignatureValue), c.file);
    EXPECT_EQ(ProviderValue(orvex::kImagePathValue), TextBytes(module.u16string()));
    EXPECT_EQ(CallRegistration(module, true), S_OK);
    EXPECT_FALSE(ProviderKeyExists());
  }
}

// The engine tells the user when it cannot record itself.
TEST_F(Registration, EngineReportsAKeyItCannotOpenOrWrite) {
  struct Case {
    const char* what;
    const char16_t* read_only_key;
    const char* message;
  };
  const Case cases[] = {
      {"provider key cannot be created", orvex::kProviderParentKey,
       "message\tPrompt\t没有检测到有效的CSP注册信息\\n"},
      {"provider key is read-only", orvex::kProviderKey, "message\tPrompt\t无法写入注册表2\\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UseScript({});
    ASSERT_EQ(KavrinRegSetKeyReadOnly(HKEY_LOCAL_MACHINE, c.read_only_key, TRUE), ERROR_SUCCESS);
    EXPECT_EQ(CallRegistration(EngineModule()), 1);
    EXPECT_EQ(ScriptLog(), std::vector<std::string>{c.message});
    EXPECT_FALSE(ProviderValue(orvex::kEngineImagePathValue));
    ASSERT_EQ(KavrinRegSetKeyReadOnly(HKEY_LOCAL_MACHINE, c.read_only_key, FALSE), ERROR_SUCCESS);
  }
}

}  // namespace
