// One running pinentry program and the Assuan conversation with it.
//
// The program runs with its stdin and stdout on one end of a socket pair; we
// hold the other. Writes use MSG_NOSIGNAL, so a program that dies early gives
// an error instead of a SIGPIPE that would end the caller's process. The child
// is told BYE, its socket closed and the child reaped when the object goes.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "ui/secret_text.h"
#include "ui/unique_fd.h"

namespace kavrin::platform::ui {

class PinentryProcess {
 public:
  enum class Reply { kOk, kErr, kBroken };
  // How long an answer may take: a protocol step is answered at once by a
  // working program; a step that waits for the user has no limit.
  enum class Wait { kProtocol, kUser };

  // Starts program (a name looked up in PATH, or a path) and waits for its
  // greeting. Null when it cannot be started or does not greet.
  static std::unique_ptr<PinentryProcess> Start(const std::string& program);

  ~PinentryProcess();
  PinentryProcess(const PinentryProcess&) = delete;
  PinentryProcess& operator=(const PinentryProcess&) = delete;

  // Sends one command line (already encoded, see AssuanCommand) and reads its
  // reply. Data lines of the reply are decoded and appended to *data when
  // data is given. A connection that broke, timed out or spoke nonsense stays
  // broken: every later command returns kBroken.
  Reply Command(std::string_view line, Wait wait, SecretUtf8* data = nullptr);

  // The text of the last ERR reply ("ERR 83886179 Operation cancelled").
  const std::string& last_error() const { return last_error_; }

 private:
  PinentryProcess(pid_t pid, UniqueFd socket);

  Reply ReadReply(Wait wait, SecretUtf8* data);
  bool ReadLine(Wait wait, SecretUtf8* line);
  bool SendLine(std::string_view line);
  void Reap();

  pid_t pid_;
  UniqueFd socket_;
  SecretUtf8 received_;
  std::string last_error_;
  bool broken_ = false;
};

}  // namespace kavrin::platform::ui
