#include "ui/secret_text.h"

#include <openssl/crypto.h>

#include <string>

#include "internal/utf.h"

namespace kavrin::platform::ui {

SecretUtf16 SecretToUtf16(std::string_view utf8) {
  // ToUtf16 reserves one unit per input byte, which is never exceeded, so the
  // temporary does not reallocate and wiping its final buffer wipes it all.
  std::u16string converted = ToUtf16(utf8);
  SecretUtf16 text(converted.begin(), converted.end());
  OPENSSL_cleanse(converted.data(), converted.size() * sizeof(char16_t));
  return text;
}

}  // namespace kavrin::platform::ui
