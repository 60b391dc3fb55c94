// The interface every UI backend implements. A backend shows one dialog per
// call, modally on the calling thread, and reports IDOK or IDCANCEL; it never
// blocks when it cannot show anything, it cancels.
#pragma once

#include <string>

#include "ui/secret_text.h"

namespace kavrin::platform::ui {

// What a dialog is, as the script log names it.
enum class DialogKind { kPin, kLock, kMessage };

// A masked one-line question. Empty labels leave the backend's defaults.
struct SecretPrompt {
  std::u16string caption;
  std::u16string greeting;
  std::u16string prompt;
  std::u16string field_label;
  std::u16string ok_label;
  std::u16string cancel_label;
};

// A text with an OK button, and a Cancel button when with_cancel is set.
struct Notice {
  DialogKind kind = DialogKind::kMessage;
  std::u16string caption;
  std::u16string text;
  std::u16string ok_label;
  bool with_cancel = false;
};

class UiBackend {
 public:
  virtual ~UiBackend() = default;

  // IDOK with what was typed in *out, or IDCANCEL with *out empty.
  virtual int AskSecret(const SecretPrompt& prompt, SecretUtf16* out) = 0;

  // IDOK or IDCANCEL.
  virtual int ShowNotice(const Notice& notice) = 0;
};

}  // namespace kavrin::platform::ui
