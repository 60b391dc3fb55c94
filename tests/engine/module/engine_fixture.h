// A fresh machine root and a freshly loaded engine for every test case, with
// the helpers most module tests need.
#pragma once

#include "engine_library.h"

#include <kavrin/crypt.h>
#include <kavrin/errors.h>

#include "tests/engine/fixtures/rsa_blobs.h"
#include "tests/support/fresh_root.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvex::test {

using Bytes = std::vector<BYTE>;

inline Bytes Hex(const char* text) {
  Bytes out;
  for (const char* p = text; p[0] != '\0' && p[1] != '\0'; p += 2) {
    out.push_back(static_cast<BYTE>(std::stoi(std::string(p, 2), nullptr, 16)));
  }
  return out;
}

template <size_t N>
Bytes Fixture(const unsigned char (&blob)[N]) {
  return Bytes(blob, blob + N);
}

// A PIN as the bytes a provider parameter carries: UTF-16, null-terminated.
inline BYTE* PinParam(const char16_t* pin) {
  return reinterpret_cast<BYTE*>(const_cast<char16_t*>(pin));
}

class EngineFixture : public kavrin::test::FreshRoot {
 protected:
  void SetUp() override {
    FreshRoot::SetUp();
    ASSERT_TRUE(engine.Load()) << dlerror();
  }
  void TearDown() override {
    engine.Unload();
    FreshRoot::TearDown();
  }

  // A context on the container, 0 when the acquisition failed.
  HCRYPTPROV Acquire(const char16_t* name, DWORD flags = 0) {
    HCRYPTPROV prov = 0;
    if (!engine.CPAcquireContextW(&prov, const_cast<LPWSTR>(name), flags, nullptr)) return 0;
    return prov;
  }

  // The new key's handle, 0 when the import failed (which must also clear *phKey).
  HCRYPTKEY Import(HCRYPTPROV prov, const Bytes& blob, DWORD flags, HCRYPTKEY pub_key = 0) {
    HCRYPTKEY key = 0xBAD;
    if (!engine.CPImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), pub_key, flags,
                            &key)) {
      EXPECT_EQ(key, 0u);
      return 0;
    }
    return key;
  }

  HCRYPTKEY UserKey(HCRYPTPROV prov, DWORD spec) {
    HCRYPTKEY key = 0;
    return engine.CPGetUserKey(prov, spec, &key) ? key : 0;
  }

  // The blob, or empty with the last error telling why.
  Bytes Export(HCRYPTPROV prov, HCRYPTKEY key, DWORD type, DWORD flags, HCRYPTKEY exp_key = 0) {
    DWORD size = 0;
    if (!engine.CPExportKey(prov, key, exp_key, type, flags, nullptr, &size)) return {};
    Bytes blob(size);
    if (!engine.CPExportKey(prov, key, exp_key, type, flags, blob.data(), &size)) return {};
    blob.resize(size);
    return blob;
  }

  // A 4-byte parameter of the provider, or 0xFFFFFFFF when it cannot be read.
  DWORD ProvDword(HCRYPTPROV prov, DWORD param) {
    DWORD value = 0, len = sizeof value;
    if (!engine.CPGetProvParam(prov, param, reinterpret_cast<BYTE*>(&value), &len, 0)) {
      return 0xFFFFFFFF;
    }
    return value;
  }

  HCRYPTHASH CreateHash(HCRYPTPROV prov, ALG_ID algid) {
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(engine.CPCreateHash(prov, algid, 0, 0, &hash)) << std::hex << algid;
    return hash;
  }

  // A hash of the algorithm over the text, still open.
  HCRYPTHASH HashOf(HCRYPTPROV prov, ALG_ID algid, const std::string& text) {
    const HCRYPTHASH hash = CreateHash(prov, algid);
    EXPECT_TRUE(engine.CPHashData(prov, hash, reinterpret_cast<const BYTE*>(text.data()),
                                  static_cast<DWORD>(text.size()), 0));
    return hash;
  }

  // The hash value, empty when it cannot be read.
  Bytes HashValue(HCRYPTPROV prov, HCRYPTHASH hash) {
    DWORD len = 0;
    if (!engine.CPGetHashParam(prov, hash, HP_HASHVAL, nullptr, &len, 0)) return {};
    Bytes value(len);
    if (!engine.CPGetHashParam(prov, hash, HP_HASHVAL, value.data(), &len, 0)) return {};
    value.resize(len);
    return value;
  }

  EngineLibrary engine;
};

}  // namespace orvex::test
