// The pinentry backend against a stand-in pinentry program
// (fixtures/fake_pinentry.sh) that records the commands it receives.
#include <kavrin/ui.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/fresh_root.h"
#include "ui_test_support.h"

namespace {

using kavrin::test::AskSecret;
using kavrin::test::PinRequest;

const std::filesystem::path kFakePinentry =
    std::filesystem::path(__FILE__).parent_path() / "fixtures" / "fake_pinentry.sh";

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

bool NoChildLeft() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

class UiPinentry : public kavrin::test::FreshRoot {
 protected:
  void SetUp() override {
    FreshRoot::SetUp();
    // A copy of our own, so that the test does not depend on the checkout's file modes.
    program_ = root() / "fake-pinentry";
    std::filesystem::copy_file(kFakePinentry, program_);
    std::filesystem::permissions(program_, std::filesystem::perms::owner_all);
    commands_ = root() / "commands.txt";
    setenv("KAVRIN_UI", ("pinentry:" + program_.string()).c_str(), 1);
    setenv("FAKE_PINENTRY_LOG", commands_.c_str(), 1);
    setenv("FAKE_PINENTRY_MODE", "pin", 1);
    unsetenv("FAKE_PINENTRY_PIN");
    // Tests run with or without a terminal; the terminal case is its own test.
    saved_stdin_ = dup(STDIN_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    close(null);
  }

  void TearDown() override {
    dup2(saved_stdin_, STDIN_FILENO);
    close(saved_stdin_);
    unsetenv("FAKE_PINENTRY_LOG");
    unsetenv("FAKE_PINENTRY_MODE");
    unsetenv("FAKE_PINENTRY_PIN");
    FreshRoot::TearDown();
  }

  // Commands the program received, in order; the file is emptied.
  std::vector<std::string> TakeCommands() {
    std::vector<std::string> lines;
    {
      std::ifstream in(commands_);
      for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    std::filesystem::remove(commands_);
    return lines;
  }

  std::filesystem::path program_;
  std::filesystem::path commands_;
  int saved_stdin_ = -1;
};

TEST_F(UiPinentry, PinQuestionTextsArriveEscapedAndThePinIsDecoded) {
  auto request = PinRequest(u"保管箱密码输入错误。\r\n您还有4次机会输入保管箱密码。");
  request.caption = u"保管箱密码验证 100%";
  // '%' escaped by the program, the rest raw UTF-8 and one character escaped byte by byte.
  setenv("FAKE_PINENTRY_PIN", "a%25b%E5%AF%86码", 1);

  const auto answer = AskSecret(request);
  EXPECT_EQ(answer.result, IDOK);
  EXPECT_EQ(answer.text, u"a%b密码");
  EXPECT_EQ(answer.length, 5u);
  EXPECT_EQ(TakeCommands(), (std::vector<std::string>{
                                "SETTITLE 保管箱密码验证 100%25",
                                "SETDESC 尊敬的Kavrin银行客户，您好!%0A保管箱密码输入错误。%0A您还有4次机会输入保管箱密码。",
                                "SETPROMPT 保管箱密码：",
                                "SETOK 确定",
                                "SETCANCEL 取消",
                                "GETPIN",
                                "BYE",
                            }));
}

TEST_F(UiPinentry, AnswersAndFailuresOfTheProgram) {
  struct Case {
    const char* mode;
    const char* pin;
    int result;
    std::u16string text;
    DWORD length;
  };
  const std::vector<Case> cases = {
      {"pin", "", IDOK, u"", 0},                                          // empty entry, for the caller to refuse
      {"pin", "%0D%0Atab%09", IDOK, u"\r\ntab\t", 6},                     // control characters decoded
      {"pin", "123456789012345678901", IDOK, u"", 21},                    // too long: reported, not handed out
      {"pin", "%zz%4", IDOK, u"%zz%4", 5},                                // stray '%' kept
      {"cancel", "1234", IDCANCEL, u"", 0},                               // ERR 83886179
      {"quit", "1234", IDCANCEL, u"", 0},                                 // gone: no SIGPIPE, a cancel
      {"refuse", "1234", IDCANCEL, u"", 0},                               // no greeting
  };
  const size_t descriptors = OpenDescriptors();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + c.pin);
    setenv("FAKE_PINENTRY_MODE", c.mode, 1);
    setenv("FAKE_PINENTRY_PIN", c.pin, 1);
    const auto answer = AskSecret();
    EXPECT_EQ(answer.result, c.result);
    EXPECT_EQ(answer.text, c.text);
    EXPECT_EQ(answer.length, c.length);
    // The program is reaped and nothing of the conversation stays open.
    EXPECT_TRUE(NoChildLeft());
    EXPECT_EQ(OpenDescriptors(), descriptors);
  }
}

TEST_F(UiPinentry, TheProgramInheritsNoDescriptorOfTheCaller) {
  constexpr int kCallersFile = 57;
  const int file = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_EQ(dup2(file, kCallersFile), kCallersFile);
  close(file);
  const auto answer = AskSecret();
  close(kCallersFile);
  ASSERT_EQ(answer.result, IDOK);

  std::vector<std::string> descriptors;
  std::ifstream in(commands_.string() + ".fds");
  for (std::string line; std::getline(in, line);) descriptors.push_back(line);
  EXPECT_NE(std::find(descriptors.begin(), descriptors.end(), "0"), descriptors.end());
  EXPECT_EQ(std::find(descriptors.begin(), descriptors.end(), std::to_string(kCallersFile)), descriptors.end());
}

TEST_F(UiPinentry, MissingProgramCancels) {
  setenv("KAVRIN_UI", ("pinentry:" + (root() / "no-such-pinentry").string()).c_str(), 1);
  EXPECT_EQ(AskSecret().result, IDCANCEL);
  EXPECT_EQ(KavrinShowNotice(u"提示", u"text", u"确定"), IDCANCEL);
  EXPECT_EQ(MessageBoxW(nullptr, u"text", u"Prompt", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(MessageBoxW(nullptr, u"text", u"Prompt", MB_OK), IDOK);

  // The same through PATH: a bare name is looked up there.
  const std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", root().c_str(), 1);
  setenv("KAVRIN_UI", "pinentry", 1);
  const int result = AskSecret().result;
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_TRUE(NoChildLeft());
}

TEST_F(UiPinentry, NoticesAndMessageBoxes) {
  EXPECT_EQ(KavrinShowNotice(u"提示", u"文件证书保护箱已经被锁定，请您24小时后再试！", u"确定"), IDOK);
  EXPECT_EQ(TakeCommands(), (std::vector<std::string>{
                                "SETTITLE 提示",
                                "SETDESC 文件证书保护箱已经被锁定，请您24小时后再试！",
                                "SETOK 确定",
                                "MESSAGE",
                                "BYE",
                            }));

  EXPECT_EQ(MessageBoxW(nullptr, u"50%\r\n", u"Prompt", MB_OKCANCEL | MB_ICONWARNING), IDOK);
  EXPECT_EQ(TakeCommands(), (std::vector<std::string>{"SETTITLE Prompt", "SETDESC 50%25%0A", "CONFIRM", "BYE"}));

  setenv("FAKE_PINENTRY_MODE", "cancel", 1);
  EXPECT_EQ(KavrinShowNotice(u"提示", u"text", u"确定"), IDCANCEL);
  EXPECT_EQ(MessageBoxW(nullptr, u"text", u"Prompt", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(MessageBoxW(nullptr, u"text", u"Prompt", MB_OK), IDOK);
  EXPECT_EQ(TakeCommands(), (std::vector<std::string>{
                                "SETTITLE 提示", "SETDESC text", "SETOK 确定", "MESSAGE", "BYE",  //
                                "SETTITLE Prompt", "SETDESC text", "CONFIRM", "BYE",              //
                                "SETTITLE Prompt", "SETDESC text", "MESSAGE", "BYE",
                            }));
}

TEST_F(UiPinentry, TextsTooLongForOneLineAreCutBetweenCharacters) {
  // Assuan lines hold 1000 bytes with their LF; a cut must not split a
  // UTF-8 character or a %XX escape.
  for (const auto& [text, unit] : {std::pair{std::u16string(2000, u'密'), std::string("密")},
                                   std::pair{std::u16string(2000, u'%'), std::string("%25")}}) {
    EXPECT_EQ(MessageBoxW(nullptr, text.c_str(), u"Prompt", MB_OKCANCEL), IDOK);
    const auto commands = TakeCommands();
    ASSERT_EQ(commands.size(), 4u);
    const std::string& desc = commands[1];
    const std::string verb = "SETDESC ";
    ASSERT_TRUE(desc.starts_with(verb));
    EXPECT_LE(desc.size(), 999u);
    EXPECT_GT(desc.size(), 999u - unit.size());
    EXPECT_EQ((desc.size() - verb.size()) % unit.size(), 0u);
    EXPECT_EQ(desc.substr(desc.size() - unit.size()), unit);
  }
}

TEST_F(UiPinentry, OnATerminalTheProgramIsToldWhereToDraw) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string terminal = ptsname(master);
  const int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  dup2(slave, STDIN_FILENO);
  close(slave);
  const char* term = getenv("TERM");
  const std::string saved_term = term != nullptr ? term : "";
  setenv("TERM", "vt220", 1);
  setenv("LC_ALL", "zh_CN.UTF-8", 1);
  setenv("FAKE_PINENTRY_PIN", "1234", 1);

  const auto answer = AskSecret();
  unsetenv("LC_ALL");
  if (term != nullptr) {
    setenv("TERM", saved_term.c_str(), 1);
  } else {
    unsetenv("TERM");
  }
  close(master);
  EXPECT_EQ(answer.text, u"1234");
  const auto commands = TakeCommands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands[0], "OPTION ttyname=" + terminal);
  EXPECT_EQ(commands[1], "OPTION ttytype=vt220");
  EXPECT_EQ(commands[2], "OPTION lc-ctype=zh_CN.UTF-8");
}

}  // namespace
