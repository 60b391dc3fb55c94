// The scripted UI: answers taken in order, what was shown logged, and the
// backend selection by KAVRIN_UI.
#include <kavrin/errors.h>
#include <kavrin/ui.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/fresh_root.h"
#include "ui_test_support.h"

namespace {

using kavrin::test::AskSecret;
using kavrin::test::PinRequest;

constexpr char16_t kRetryPrompt[] = u"保管箱密码输入错误。\r\n您还有4次机会输入保管箱密码。";
constexpr char16_t kLockText[] = u"文件证书保护箱已经被锁定，请您24小时后再试！";

std::vector<std::string> ReadLines(const std::string& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class UiScript : public kavrin::test::FreshRoot {};

TEST_F(UiScript, AnswersAreTakenInOrderAndEveryDialogIsLogged) {
  UseScript({"ok 1234", "cancel", "ok", "ok", "cancel"});

  const auto first = AskSecret(PinRequest(kRetryPrompt));
  EXPECT_EQ(first.result, IDOK);
  EXPECT_EQ(first.text, u"1234");
  EXPECT_EQ(first.length, 4u);

  const auto second = AskSecret();
  EXPECT_EQ(second.result, IDCANCEL);
  EXPECT_EQ(second.text, u"");
  EXPECT_EQ(second.length, 0u);

  EXPECT_EQ(KavrinShowNotice(u"提示", kLockText, u"确定"), IDOK);
  EXPECT_EQ(MessageBoxW(nullptr, u"您的证书已经被死锁，请到柜台重新办理。", u"提示", MB_OK), IDOK);
  // A box with OK alone has no way to cancel: the "cancel" answer is used up, the result is OK.
  EXPECT_EQ(MessageBoxW(nullptr, u"PIN设置错误", u"PIN码输入错误", MB_OK | MB_ICONERROR), IDOK);

  // Answers used up: everything is cancelled, still shown and logged.
  EXPECT_EQ(AskSecret().result, IDCANCEL);
  EXPECT_EQ(KavrinShowNotice(u"提示", kLockText, u"确定"), IDCANCEL);
  EXPECT_EQ(MessageBoxW(nullptr, u"two\r\nlines\tand a tab", u"Prompt", MB_OKCANCEL | MB_ICONWARNING), IDCANCEL);
  EXPECT_EQ(MessageBoxW(nullptr, u"无法写入注册表2\n", u"Prompt", MB_OK), IDOK);

  EXPECT_EQ(ScriptLog(), (std::vector<std::string>{
                             "pin\t保管箱密码验证\t保管箱密码输入错误。\\r\\n您还有4次机会输入保管箱密码。",
                             "pin\t保管箱密码验证\t请输入您的文件证书保管箱密码。",
                             "lock\t提示\t文件证书保护箱已经被锁定，请您24小时后再试！",
                             "message\t提示\t您的证书已经被死锁，请到柜台重新办理。",
                             "message\tPIN码输入错误\tPIN设置错误",
                             "pin\t保管箱密码验证\t请输入您的文件证书保管箱密码。",
                             "lock\t提示\t文件证书保护箱已经被锁定，请您24小时后再试！",
                             "message\tPrompt\ttwo\\r\\nlines\\tand a tab",
                             "message\tPrompt\t无法写入注册表2\\n",
                         }));
}

TEST_F(UiScript, ScriptedEntriesReachTheCallerExactly) {
  struct Case {
    const char* line;
    int result;
    std::u16string text;
    DWORD length;
  };
  const std::vector<Case> cases = {
      {"ok", IDOK, u"", 0},                                     // empty field: the caller refuses it
      {"ok  leading space", IDOK, u" leading space", 14},       // only the separator is dropped
      {"ok a%b密码€", IDOK, u"a%b密码€", 6},                     // UTF-8, nothing unescaped
      {"ok 12345678901234567890", IDOK, u"12345678901234567890", 20},
      {"ok 123456789012345678901", IDOK, u"", 21},              // too long: reported, not handed out
      {"ok 1234\r", IDOK, u"1234", 4},                          // CR LF line ends
      {"yes", IDCANCEL, u"", 0},                                // not an answer
      {"", IDCANCEL, u"", 0},
  };
  std::vector<std::string> lines;
  for (const auto& c : cases) lines.push_back(c.line);
  UseScript(lines);

  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const auto answer = AskSecret();
    EXPECT_EQ(answer.result, c.result);
    EXPECT_EQ(answer.text, c.text);
    EXPECT_EQ(answer.length, c.length);
  }
  EXPECT_EQ(ScriptLog().size(), cases.size());
}

TEST_F(UiScript, ChangingKavrinUiStartsAfresh) {
  const auto first = UseScript({"ok A1", "ok A2"});
  EXPECT_EQ(AskSecret().text, u"A1");

  UseScript({"ok B1"});
  EXPECT_EQ(AskSecret().text, u"B1");

  setenv("KAVRIN_UI", ("script:" + first.string()).c_str(), 1);
  EXPECT_EQ(AskSecret().text, u"A1");
  EXPECT_EQ(AskSecret().text, u"A2");
  EXPECT_EQ(AskSecret().result, IDCANCEL);
  EXPECT_EQ(ReadLines(first.string() + ".log").size(), 4u);
}

TEST_F(UiScript, WithoutAUsableBackendDialogsAreCancelledAtOnce) {
  const std::string missing = (root() / "no-such-script.txt").string();
  for (const std::string& value : {"script:" + missing, std::string("script:"), std::string("bogus"),
                                  std::string("pinentry:")}) {
    SCOPED_TRACE(value);
    setenv("KAVRIN_UI", value.c_str(), 1);
    EXPECT_EQ(AskSecret().result, IDCANCEL);
    EXPECT_EQ(KavrinShowNotice(u"提示", kLockText, u"确定"), IDCANCEL);
    EXPECT_EQ(MessageBoxW(nullptr, u"text", u"caption", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(MessageBoxW(nullptr, u"text", u"caption", MB_OK), IDOK);
  }
  // An unreadable script still records what would have been shown.
  EXPECT_EQ(ReadLines(missing + ".log"), (std::vector<std::string>{
                                             "pin\t保管箱密码验证\t请输入您的文件证书保管箱密码。",
                                             "lock\t提示\t文件证书保护箱已经被锁定，请您24小时后再试！",
                                             "message\tcaption\ttext",
                                             "message\tcaption\ttext",
                                         }));
}

TEST_F(UiScript, MessageBoxTexts) {
  UseScript({"ok", "ok", "ok"});
  // "提示" and "无法注册信任列表1" in GBK, the machine's default ANSI code page.
  EXPECT_EQ(MessageBoxA(nullptr, "\xCE\xDE\xB7\xA8\xD7\xA2\xB2\xE1\xD0\xC5\xC8\xCE\xC1\xD0\xB1\xED" "1",
                        "\xCC\xE1\xCA\xBE", MB_OK),
            IDOK);
  EXPECT_EQ(MessageBoxW(nullptr, u"123", nullptr, MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK), IDOK);
  EXPECT_EQ(ScriptLog(), (std::vector<std::string>{"message\t提示\t无法注册信任列表1", "message\tError\t123",
                                                   "message\tError\t"}));
}

TEST_F(UiScript, RefusedCallsShowNothingAndUseNoAnswer) {
  UseScript({"ok 1234"});
  constexpr UINT kYesNo = 0x4;
  SetLastError(0);
  EXPECT_EQ(MessageBoxW(nullptr, u"text", u"caption", kYesNo), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_MSGBOX_STYLE));

  WCHAR out[kavrin::test::kPinLimit + 1];
  DWORD length = 0;
  auto request = PinRequest();
  const auto refused = [&](const KAVRIN_SECRET_REQUEST* r, WCHAR* o, DWORD chars, DWORD* len) {
    SetLastError(0);
    return KavrinAskSecret(r, o, chars, len) == 0 && GetLastError() == static_cast<DWORD>(ERROR_INVALID_PARAMETER);
  };
  EXPECT_TRUE(refused(nullptr, out, 21, &length));
  EXPECT_TRUE(refused(&request, nullptr, 21, &length));
  EXPECT_TRUE(refused(&request, out, 21, nullptr));
  EXPECT_TRUE(refused(&request, out, 20, &length));  // no room for 20 characters and the terminator
  request.maxChars = 0;
  EXPECT_TRUE(refused(&request, out, 21, &length));

  EXPECT_TRUE(ScriptLog().empty());
  EXPECT_EQ(AskSecret().text, u"1234");
}

TEST_F(UiScript, ThreadsShareOneScriptAndEachAnswerIsUsedOnce) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 25;
  std::vector<std::string> answers;
  std::set<std::u16string> expected;
  for (int i = 0; i < kThreads * kPerThread; ++i) {
    const std::string n = std::to_string(i);
    answers.push_back("ok " + n);
    expected.insert(std::u16string(n.begin(), n.end()));
  }
  UseScript(answers);

  std::mutex mutex;
  std::set<std::u16string> received;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        const auto answer = AskSecret();
        std::lock_guard lock(mutex);
        EXPECT_EQ(answer.result, IDOK);
        received.insert(answer.text);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(received, expected);
  const auto log = ScriptLog();
  EXPECT_EQ(log.size(), static_cast<size_t>(kThreads * kPerThread));
  for (const auto& line : log) EXPECT_EQ(line, "pin\t保管箱密码验证\t请输入您的文件证书保管箱密码。");
}

TEST_F(UiScript, ProcessesAppendWholeLinesToOneLog) {
  constexpr int kChildren = 4;
  constexpr int kBoxes = 50;
  UseScript({});
  // Longer than a pipe buffer's atomic size, so that mixing would show.
  const std::u16string text(3000, u'密');
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const std::u16string caption = u"child " + std::u16string(1, static_cast<char16_t>(u'0' + c));
      for (int i = 0; i < kBoxes; ++i) MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::string expected_text;
  for (int i = 0; i < 3000; ++i) expected_text += "密";
  std::vector<int> per_child(kChildren, 0);
  const auto log = ScriptLog();
  ASSERT_EQ(log.size(), static_cast<size_t>(kChildren * kBoxes));
  for (const auto& line : log) {
    ASSERT_EQ(line.size(), std::string("message\tchild 0\t").size() + expected_text.size());
    ASSERT_EQ(line.substr(0, 14), "message\tchild ");
    ASSERT_EQ(line.substr(16), expected_text);
    ++per_child[line[14] - '0'];
  }
  EXPECT_EQ(per_child, std::vector<int>(kChildren, kBoxes));
}

}  // namespace
