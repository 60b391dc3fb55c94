// kavrin-regsvr: registers or unregisters a module by calling its
// DllRegisterServer or DllUnregisterServer.
//
//   kavrin-regsvr [/u] [/s] MODULE
//
// /u unregisters; /s prints nothing. The module path is taken as given
// (a path with '/' or '\' is loaded from there). Exit status: 0 done,
// 2 usage, 3 the module cannot be loaded, 4 it lacks the entry point,
// 5 the entry point reported a failure (anything but S_OK).
#include <kavrin/errors.h>
#include <kavrin/kernel/modules.h>
#include <kavrin/kernel/text.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

enum ExitStatus { kDone = 0, kUsage = 2, kLoadFailed = 3, kNoEntryPoint = 4, kCallFailed = 5 };

using RegistrationFunction = HRESULT (*)();

struct Options {
  bool unregister = false;
  bool silent = false;
  const char* module = nullptr;
};

bool IsSwitch(const char* argument, char letter) {
  return (argument[0] == '/' || argument[0] == '-') && (argument[1] == letter ||
                                                        argument[1] == letter - 'a' + 'A') &&
         argument[2] == '\0';
}

bool ParseArguments(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    if (IsSwitch(argv[i], 'u')) {
      options->unregister = true;
    } else if (IsSwitch(argv[i], 's')) {
      options->silent = true;
    } else if (options->module == nullptr) {
      options->module = argv[i];
    } else {
      return false;
    }
  }
  return options->module != nullptr;
}

std::u16string Widen(const char* text) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::u16string wide(size > 0 ? static_cast<size_t>(size) : 0, u'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), size);
  if (!wide.empty()) wide.pop_back();
  return wide;
}

// The module stays loaded only while its entry point runs.
class LoadedModule {
 public:
  explicit LoadedModule(const std::u16string& path) : module_(LoadLibraryW(path.c_str())) {}
  ~LoadedModule() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArguments(argc, argv, &options)) {
    std::fprintf(stderr, "usage: %s [/u] [/s] MODULE\n", argv[0]);
    return kUsage;
  }
  const char* entry = options.unregister ? "DllUnregisterServer" : "DllRegisterServer";
  const LoadedModule module(Widen(options.module));
  if (module.get() == nullptr) {
    if (!options.silent) std::fprintf(stderr, "%s: cannot load the module\n", options.module);
    return kLoadFailed;
  }
  const auto function = reinterpret_cast<RegistrationFunction>(GetProcAddress(module.get(), entry));
  if (function == nullptr) {
    if (!options.silent) std::fprintf(stderr, "%s: no %s\n", options.module, entry);
    return kNoEntryPoint;
  }
  const HRESULT result = function();
  if (result != S_OK) {
    if (!options.silent) {
      std::fprintf(stderr, "%s: %s failed: 0x%08X\n", options.module, entry,
                   static_cast<unsigned>(result));
    }
    return kCallFailed;
  }
  if (!options.silent) std::printf("%s: %s succeeded\n", options.module, entry);
  return kDone;
}
