#include "ui/pinentry_process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "ui/assuan_text.h"

extern char** environ;

namespace kavrin::platform::ui {
namespace {

using Clock = std::chrono::steady_clock;

// A working pinentry answers protocol steps in milliseconds; this only keeps
// a program that hangs from hanging the caller.
constexpr auto kProtocolTimeout = std::chrono::seconds(30);
// Time a program gets to exit after BYE before it is killed.
constexpr auto kExitGrace = std::chrono::seconds(1);
constexpr auto kExitPoll = std::chrono::milliseconds(5);

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// Starts program with its stdin and stdout on child_end; returns its pid or
// the error number as a negative value.
pid_t Spawn(const std::string& program, int child_end) {
  SpawnActions actions;
  // The program sees only its two protocol descriptors and stderr, not
  // whatever else the calling process has open.
  if (posix_spawn_file_actions_adddup2(actions.get(), child_end, STDIN_FILENO) != 0 ||
      posix_spawn_file_actions_adddup2(actions.get(), child_end, STDOUT_FILENO) != 0 ||
      posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1) != 0) {
    return -ENOMEM;
  }
  // The caller's blocked or ignored signals are not the program's business.
  SpawnAttributes attributes;
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(attributes.get(), &none);
  posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::string argv0 = program;
  char* argv[] = {argv0.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), argv, environ);
  return rc == 0 ? pid : -rc;
}

bool IsReply(std::string_view line, std::string_view word) {
  return line == word || (line.starts_with(word) && line.size() > word.size() && line[word.size()] == ' ');
}

}  // namespace

std::unique_ptr<PinentryProcess> PinentryProcess::Start(const std::string& program) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    std::fprintf(stderr, "kavrin: cannot start pinentry: %s\n", std::strerror(errno));
    return nullptr;
  }
  UniqueFd ours(ends[0]);
  UniqueFd theirs(ends[1]);
  const pid_t pid = Spawn(program, theirs.get());
  if (pid < 0) {
    std::fprintf(stderr, "kavrin: cannot start pinentry program \"%s\": %s; the dialog is cancelled\n",
                 program.c_str(), std::strerror(-pid));
    return nullptr;
  }
  std::unique_ptr<PinentryProcess> process(new PinentryProcess(pid, std::move(ours)));
  if (process->ReadReply(Wait::kProtocol, nullptr) != Reply::kOk) {
    std::fprintf(stderr, "kavrin: pinentry program \"%s\" did not greet; the dialog is cancelled\n",
                 program.c_str());
    return nullptr;
  }
  return process;
}

PinentryProcess::PinentryProcess(pid_t pid, UniqueFd socket) : pid_(pid), socket_(std::move(socket)) {}

PinentryProcess::~PinentryProcess() {
  if (!broken_) SendLine("BYE");
  socket_.reset();
  Reap();
}

PinentryProcess::Reply PinentryProcess::Command(std::string_view line, Wait wait, SecretUtf8* data) {
  if (broken_) return Reply::kBroken;
  if (!SendLine(line)) {
    broken_ = true;
    return Reply::kBroken;
  }
  return ReadReply(wait, data);
}

PinentryProcess::Reply PinentryProcess::ReadReply(Wait wait, SecretUtf8* data) {
  SecretUtf8 line;
  while (ReadLine(wait, &line)) {
    const std::string_view text = View(line);
    if (IsReply(text, "OK")) return Reply::kOk;
    if (IsReply(text, "ERR")) {
      last_error_ = text;
      return Reply::kErr;
    }
    if (text.starts_with("D ")) {
      if (data != nullptr) AssuanUnescapeAppend(text.substr(2), data);
    } else if (IsReply(text, "INQUIRE")) {
      // We have nothing to give; the program then ends the command itself.
      if (!SendLine("CAN")) break;
    }
    // Status lines ("S ...") and comments ("# ...") carry nothing we need.
  }
  broken_ = true;
  return Reply::kBroken;
}

bool PinentryProcess::ReadLine(Wait wait, SecretUtf8* line) {
  const auto deadline = Clock::now() + kProtocolTimeout;
  for (;;) {
    const auto lf = std::find(received_.begin(), received_.end(), '\n');
    if (lf != received_.end()) {
      line->assign(received_.begin(), lf);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      received_.erase(received_.begin(), lf + 1);
      return true;
    }
    if (received_.size() > kAssuanMaxLine) return false;  // not a line of this protocol

    int timeout_ms = -1;
    if (wait == Wait::kProtocol) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      timeout_ms = static_cast<int>(left.count());
    }
    pollfd ready{socket_.get(), POLLIN, 0};
    const int polled = poll(&ready, 1, timeout_ms);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;

    char chunk[512];
    const ssize_t n = recv(socket_.get(), chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    received_.insert(received_.end(), chunk, chunk + n);
    OPENSSL_cleanse(chunk, static_cast<size_t>(n));
  }
}

bool PinentryProcess::SendLine(std::string_view line) {
  std::string out(line);
  out += '\n';
  for (size_t sent = 0; sent < out.size();) {
    const ssize_t n = send(socket_.get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void PinentryProcess::Reap() {
  int status = 0;
  const auto deadline = Clock::now() + kExitGrace;
  while (Clock::now() < deadline) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) return;
    std::this_thread::sleep_for(kExitPoll);
  }
  kill(pid_, SIGKILL);
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace kavrin::platform::ui
