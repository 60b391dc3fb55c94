// Where the engine is, as the provider's registration records it.
#pragma once

#include <orvex/provider_registration.h>

#include <optional>
#include <string>

struct EngineLocation {
  std::u16string path;                       // "Orvex Image Path", exactly as stored
  std::optional<orvex::ImageDigest> digest;  // "Orvex Image Digest", when stored
};

// Reads the provider key. When the key cannot be opened, or "Image Path" or
// "Orvex Image Path" is missing, tells the user so and returns nullopt.
std::optional<EngineLocation> LocateEngine();
