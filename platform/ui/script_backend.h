// The scripted UI used by tests and automation (KAVRIN_UI=script:FILE).
//
// FILE holds one answer per line, taken in order, one per dialog or message
// box shown in this process: "ok TEXT" (OK with TEXT typed into the field),
// "ok" (OK with an empty field, or for a box without a field) or "cancel".
// Once the answers are used up, or when FILE cannot be read, every dialog is
// cancelled. A line that is none of these cancels its dialog.
//
// Every dialog shown appends one line to FILE.log, "KIND<TAB>CAPTION<TAB>TEXT"
// in UTF-8, KIND being "pin", "lock" or "message". CR, LF and TAB inside the
// caption and text are written as the two characters "\r", "\n" and "\t" so
// that one dialog stays one line. The log is opened for appending and each
// line written in one call, so several processes can share it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "ui/ui_backend.h"

namespace kavrin::platform::ui {

class ScriptBackend final : public UiBackend {
 public:
  explicit ScriptBackend(std::string file);

  int AskSecret(const SecretPrompt& prompt, SecretUtf16* out) override;
  int ShowNotice(const Notice& notice) override;

 private:
  struct Answer {
    bool ok = false;
    std::string text;
  };

  // Logs the dialog and takes the next answer.
  Answer Show(DialogKind kind, const std::u16string& caption, const std::u16string& text);
  void AppendToLog(DialogKind kind, const std::u16string& caption, const std::u16string& text) const;

  const std::string file_;
  std::mutex mutex_;
  std::vector<std::string> answers_;
  size_t next_ = 0;
};

}  // namespace kavrin::platform::ui
