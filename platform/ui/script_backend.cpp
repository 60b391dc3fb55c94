#include "ui/script_backend.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <utility>

#include <kavrin/ui.h>

#include "internal/utf.h"
#include "ui/unique_fd.h"

namespace kavrin::platform::ui {
namespace {

constexpr std::string_view kOk = "ok";
constexpr std::string_view kOkWithText = "ok ";
constexpr std::string_view kCancel = "cancel";

std::vector<std::string> ReadAnswers(const std::string& file) {
  std::vector<std::string> answers;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "kavrin: UI script \"%s\" cannot be read; dialogs are cancelled\n", file.c_str());
    return answers;
  }
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    answers.push_back(std::move(line));
  }
  return answers;
}

const char* KindName(DialogKind kind) {
  switch (kind) {
    case DialogKind::kPin: return "pin";
    case DialogKind::kLock: return "lock";
    case DialogKind::kMessage: return "message";
  }
  return "message";
}

// One log field: the text in UTF-8 with the line and field separators escaped.
std::string LogField(const std::u16string& text) {
  std::string out;
  for (char c : ToUtf8(text)) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

ScriptBackend::ScriptBackend(std::string file) : file_(std::move(file)), answers_(ReadAnswers(file_)) {}

int ScriptBackend::AskSecret(const SecretPrompt& prompt, SecretUtf16* out) {
  Answer answer = Show(DialogKind::kPin, prompt.caption, prompt.prompt);
  *out = answer.ok ? SecretToUtf16(answer.text) : SecretUtf16();
  return answer.ok ? IDOK : IDCANCEL;
}

int ScriptBackend::ShowNotice(const Notice& notice) {
  return Show(notice.kind, notice.caption, notice.text).ok ? IDOK : IDCANCEL;
}

ScriptBackend::Answer ScriptBackend::Show(DialogKind kind, const std::u16string& caption,
                                          const std::u16string& text) {
  std::lock_guard lock(mutex_);
  AppendToLog(kind, caption, text);
  if (next_ >= answers_.size()) return {};
  const std::string& line = answers_[next_++];
  if (line == kOk) return {true, {}};
  if (line.starts_with(kOkWithText)) return {true, line.substr(kOkWithText.size())};
  if (line != kCancel) {
    std::fprintf(stderr, "kavrin: UI script \"%s\" line %zu is not an answer; the dialog is cancelled\n",
                 file_.c_str(), next_);
  }
  return {};
}

void ScriptBackend::AppendToLog(DialogKind kind, const std::u16string& caption,
                                const std::u16string& text) const {
  const std::string line =
      std::string(KindName(kind)) + '\t' + LogField(caption) + '\t' + LogField(text) + '\n';
  const std::string log = file_ + ".log";
  UniqueFd fd(open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  // One write per line: with O_APPEND, lines from several processes never mix.
  if (fd.get() < 0 || write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    std::fprintf(stderr, "kavrin: cannot append to UI log \"%s\": %s\n", log.c_str(), std::strerror(errno));
  }
}

}  // namespace kavrin::platform::ui
