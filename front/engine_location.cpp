#include "engine_location.h"

#include "front_messages.h"

#include <kavrin/registry.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

std::optional<orvex::ImageDigest> Digest(const kavrin::RegKey& key, const char16_t* name) {
  const auto bytes = key.Value(name, REG_BINARY);
  orvex::ImageDigest digest{};
  if (!bytes || bytes->size() != digest.size()) return std::nullopt;
  std::copy(bytes->begin(), bytes->end(), digest.begin());
  return digest;
}

std::nullopt_t Refuse(const char16_t* text) {
  ShowFrontMessage(text);
  return std::nullopt;
}

}  // namespace

std::optional<EngineLocation> LocateEngine() {
  kavrin::RegKey key;
  // Opened as the registration opens it: created when missing.
  if (RegCreateKeyW(HKEY_LOCAL_MACHINE, orvex::kProviderKey, key.out()) != ERROR_SUCCESS) {
    return Refuse(kNoProviderKeyText);
  }
  if (!key.Has(orvex::kImagePathValue)) return Refuse(kNoImagePathText);
  auto path = key.Text(orvex::kEngineImagePathValue);
  if (!path) return Refuse(kNoEnginePathText);
  return EngineLocation{std::move(*path), Digest(key, orvex::kEngineImageDigestValue)};
}
