// The interactive UI (KAVRIN_UI unset, "pinentry" or "pinentry:PROGRAM"):
// every dialog is one run of the user's pinentry program, the usual PIN
// dialog of Linux crypto software (graphical or on the terminal).
//
// A masked question is SETTITLE, SETDESC (greeting and prompt), SETPROMPT,
// SETOK, SETCANCEL and GETPIN; a notice or message box is SETTITLE, SETDESC,
// SETOK and MESSAGE, or CONFIRM when it has a Cancel button. When our stdin is
// a terminal, the program is told its name, type and character set first, so
// that a terminal pinentry draws there. Any ERR answer to GETPIN, MESSAGE or
// CONFIRM, a program that cannot be started or that fails, cancels.
#pragma once

#include <memory>
#include <string>

#include "ui/ui_backend.h"

namespace kavrin::platform::ui {

class PinentryProcess;

class PinentryBackend final : public UiBackend {
 public:
  explicit PinentryBackend(std::string program);

  int AskSecret(const SecretPrompt& prompt, SecretUtf16* out) override;
  int ShowNotice(const Notice& notice) override;

 private:
  // A running program that has been given the title and description; null
  // when that failed.
  std::unique_ptr<PinentryProcess> Open(const std::u16string& caption, const std::u16string& description) const;

  const std::string program_;
};

}  // namespace kavrin::platform::ui
