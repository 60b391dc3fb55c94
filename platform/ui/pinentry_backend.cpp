#include "ui/pinentry_backend.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <kavrin/ui.h>

#include "internal/utf.h"
#include "ui/assuan_text.h"
#include "ui/pinentry_process.h"

namespace kavrin::platform::ui {
namespace {

using Reply = PinentryProcess::Reply;
using Wait = PinentryProcess::Wait;

// Windows texts end lines with CR LF; pinentry programs expect LF alone.
std::string DisplayText(const std::u16string& text) {
  std::string utf8 = ToUtf8(text);
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] != '\r') {
      out += utf8[i];
    } else if (i + 1 == utf8.size() || utf8[i + 1] != '\n') {
      out += '\n';
    }
  }
  return out;
}

std::u16string Description(const SecretPrompt& prompt) {
  return prompt.greeting.empty() ? prompt.prompt : prompt.greeting + u"\n" + prompt.prompt;
}

// Sends one setting. An ERR (a program that does not know the command) leaves
// its default in place; only a broken connection stops the dialog.
bool Set(PinentryProcess& process, std::string_view verb, const std::u16string& text) {
  if (text.empty()) return true;
  return process.Command(AssuanCommand(verb, DisplayText(text)), Wait::kProtocol) != Reply::kBroken;
}

bool SetOption(PinentryProcess& process, std::string_view name, const char* value) {
  if (value == nullptr || *value == '\0') return true;
  const std::string option = std::string(name) + '=' + value;
  return process.Command(AssuanCommand("OPTION", option), Wait::kProtocol) != Reply::kBroken;
}

const char* CharacterSet() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return nullptr;
}

// A terminal pinentry needs to know where to draw; a graphical one ignores it.
bool SendTerminalOptions(PinentryProcess& process) {
  if (!isatty(STDIN_FILENO)) return true;
  char name[256];
  const char* tty = ttyname_r(STDIN_FILENO, name, sizeof(name)) == 0 ? name : nullptr;
  return SetOption(process, "ttyname", tty) && SetOption(process, "ttytype", std::getenv("TERM")) &&
         SetOption(process, "lc-ctype", CharacterSet());
}

// Error codes (low 16 bits of an ERR reply) by which the user declines.
constexpr unsigned long kCancelled = 99;
constexpr unsigned long kNotConfirmed = 114;
constexpr unsigned long kFullyCancelled = 198;

// The user's own decision stays quiet; a program that could not show the
// dialog (no terminal, no display) is said, since the caller only sees a cancel.
void ReportFailure(const PinentryProcess& process, Reply reply, const std::string& program) {
  if (reply == Reply::kErr) {
    const std::string& error = process.last_error();
    const unsigned long code = std::strtoul(error.c_str() + std::min<size_t>(error.size(), 4), nullptr, 10) & 0xFFFF;
    if (code == kCancelled || code == kNotConfirmed || code == kFullyCancelled) return;
  }
  const std::string why = reply == Reply::kErr ? process.last_error() : std::string("the connection broke");
  std::fprintf(stderr, "kavrin: pinentry program \"%s\" could not show the dialog (%s); it is cancelled\n",
               program.c_str(), why.c_str());
}

}  // namespace

PinentryBackend::PinentryBackend(std::string program) : program_(std::move(program)) {}

std::unique_ptr<PinentryProcess> PinentryBackend::Open(const std::u16string& caption,
                                                       const std::u16string& description) const {
  auto process = PinentryProcess::Start(program_);
  if (!process) return nullptr;
  if (!SendTerminalOptions(*process) || !Set(*process, "SETTITLE", caption) ||
      !Set(*process, "SETDESC", description)) {
    ReportFailure(*process, Reply::kBroken, program_);
    return nullptr;
  }
  return process;
}

int PinentryBackend::AskSecret(const SecretPrompt& prompt, SecretUtf16* out) {
  out->clear();
  auto process = Open(prompt.caption, Description(prompt));
  if (!process) return IDCANCEL;
  SecretUtf8 pin;
  Reply reply = Reply::kBroken;
  if (Set(*process, "SETPROMPT", prompt.field_label) && Set(*process, "SETOK", prompt.ok_label) &&
      Set(*process, "SETCANCEL", prompt.cancel_label)) {
    reply = process->Command("GETPIN", Wait::kUser, &pin);
  }
  if (reply != Reply::kOk) {
    ReportFailure(*process, reply, program_);
    return IDCANCEL;
  }
  *out = SecretToUtf16(View(pin));
  return IDOK;
}

int PinentryBackend::ShowNotice(const Notice& notice) {
  auto process = Open(notice.caption, notice.text);
  if (!process) return IDCANCEL;
  Reply reply = Reply::kBroken;
  if (Set(*process, "SETOK", notice.ok_label)) {
    reply = process->Command(notice.with_cancel ? "CONFIRM" : "MESSAGE", Wait::kUser);
  }
  if (reply != Reply::kOk) {
    ReportFailure(*process, reply, program_);
    return IDCANCEL;
  }
  return IDOK;
}

}  // namespace kavrin::platform::ui
