// Loads build/lib/OrvexEngine.so for one test and finds its 24 entry points by
// name, as the front module and the tools do. Unloading it at the end of the
// test runs the engine's unload, so every test starts with a fresh engine.
#pragma once

#include <kavrin/crypt.h>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

struct EngineLibrary {
  void* module = nullptr;
#define ORVEX_TEST_DECLARE_ENTRY(name, params, args) PFN_##name name = nullptr;
  KAVRIN_CSP_ENTRY_POINTS(ORVEX_TEST_DECLARE_ENTRY)
#undef ORVEX_TEST_DECLARE_ENTRY

  static std::string Path() { return std::string(KAVRIN_LIB_DIR) + "/OrvexEngine.so"; }

  // Loads the module and resolves every entry point; false when any is missing.
  bool Load() {
    module = dlopen(Path().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return false;
    bool all = true;
#define ORVEX_TEST_RESOLVE_ENTRY(name, params, args)                      \
  name = reinterpret_cast<PFN_##name>(dlsym(module, #name));              \
  all = all && name != nullptr;
    KAVRIN_CSP_ENTRY_POINTS(ORVEX_TEST_RESOLVE_ENTRY)
#undef ORVEX_TEST_RESOLVE_ENTRY
    return all;
  }

  void Unload() {
    if (module != nullptr) dlclose(module);
    module = nullptr;
  }
};
