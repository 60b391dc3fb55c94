#include "ui/ui_selection.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

#include <kavrin/ui.h>

#include "ui/pinentry_backend.h"
#include "ui/script_backend.h"

namespace kavrin::platform::ui {
namespace {

constexpr std::string_view kPinentry = "pinentry";
constexpr std::string_view kPinentryPrefix = "pinentry:";
constexpr std::string_view kScriptPrefix = "script:";

// Used when KAVRIN_UI names nothing usable: every dialog is cancelled at once.
class CancellingBackend final : public UiBackend {
 public:
  int AskSecret(const SecretPrompt&, SecretUtf16* out) override {
    out->clear();
    return IDCANCEL;
  }
  int ShowNotice(const Notice&) override { return IDCANCEL; }
};

std::string ConfiguredValue() {
  const char* value = std::getenv("KAVRIN_UI");
  return (value == nullptr || *value == '\0') ? std::string(kPinentry) : std::string(value);
}

std::shared_ptr<UiBackend> MakeBackend(std::string_view value) {
  if (value == kPinentry) return std::make_shared<PinentryBackend>(std::string(kPinentry));
  if (value.starts_with(kPinentryPrefix) && value.size() > kPinentryPrefix.size()) {
    return std::make_shared<PinentryBackend>(std::string(value.substr(kPinentryPrefix.size())));
  }
  if (value.starts_with(kScriptPrefix) && value.size() > kScriptPrefix.size()) {
    return std::make_shared<ScriptBackend>(std::string(value.substr(kScriptPrefix.size())));
  }
  // Said once per value, so that a misconfigured UI is not mistaken for users
  // cancelling every dialog.
  std::fprintf(stderr, "kavrin: KAVRIN_UI=\"%.*s\" names no UI backend; dialogs are cancelled\n",
               static_cast<int>(value.size()), value.data());
  return std::make_shared<CancellingBackend>();
}

struct Selection {
  std::mutex mutex;
  std::string value;
  std::shared_ptr<UiBackend> backend;
};

Selection& TheSelection() {
  // Never destroyed: a dialog may still be shown from another thread or an
  // atexit handler while the process exits.
  static Selection* selection = new Selection;
  return *selection;
}

}  // namespace

std::shared_ptr<UiBackend> CurrentBackend() {
  const std::string value = ConfiguredValue();
  Selection& selection = TheSelection();
  std::lock_guard lock(selection.mutex);
  if (!selection.backend || selection.value != value) {
    selection.backend = MakeBackend(value);
    selection.value = value;
  }
  return selection.backend;
}

}  // namespace kavrin::platform::ui
