// The PIN dialog and the lock notice, answered by the scripted UI and shown
// through a stand-in pinentry program.
#include "pin_dlg.h"
#include "pin_lock_dlg.h"

#include <kavrin/ui.h>

#include "tests/support/fresh_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string kDefaultPrompt = "pin\t保管箱密码验证\t请输入您的文件证书保管箱密码。";
const std::string kEmptyBox = "message\t错误\t未输入PIN码";
const std::string kTooLongBox = "message\t提示\t请输入不超过20个字符。";

class PinDialogs : public kavrin::test::FreshRoot {};

TEST_F(PinDialogs, EmptyAndOverlongEntriesAreRefusedAndTheDialogStaysOpen) {
  UseScript({"ok", "ok", "ok 123456789012345678901", "ok", "ok 12345678901234567890"});
  CPinDlg dialog;
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(std::u16string(dialog.Pin()), u"12345678901234567890");
  EXPECT_EQ(dialog.PinChars(), 20u);
  EXPECT_EQ(ScriptLog(), (std::vector<std::string>{kDefaultPrompt, kEmptyBox, kDefaultPrompt,
                                                   kTooLongBox, kDefaultPrompt}));
}

TEST_F(PinDialogs, CancelKeepsTheMembersAndACallerPromptIsShownWhole) {
  UseScript({"ok 1234", "cancel"});
  CPinDlg dialog;
  ASSERT_EQ(dialog.DoModal(), IDOK);
  dialog.SetPrompt(u"第一行\r\n第二行");
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_EQ(std::u16string(dialog.Pin()), u"1234");
  EXPECT_EQ(ScriptLog(), (std::vector<std::string>{kDefaultPrompt, "pin\t保管箱密码验证\t第一行\\r\\n第二行"}));

  // Without a usable UI the dialog is cancelled, never passed.
  setenv("KAVRIN_UI", "none", 1);
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);

  dialog.SetPrompt(std::u16string(150, u'长'));
  EXPECT_EQ(dialog.Prompt(), std::u16string(100, u'长'));
}

TEST_F(PinDialogs, LockNotice) {
  UseScript({"ok"});
  CPINLockDlg notice;
  EXPECT_EQ(notice.DoModal(), IDOK);
  EXPECT_EQ(notice.DoModal(), IDCANCEL);  // answers used up
  EXPECT_EQ(ScriptLog(), (std::vector<std::string>(2, "lock\t提示\t文件证书保护箱已经被锁定，请您24小时后再试！")));
}

// What a pinentry program is told: the caption as the window title, the
// greeting and prompt as the description, the field label and both buttons.
TEST_F(PinDialogs, PinentryShowsTheDialogsTexts) {
  const auto source = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() /
                      "platform" / "fixtures" / "fake_pinentry.sh";
  const auto program = root() / "fake-pinentry";
  std::filesystem::copy_file(source, program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  const auto commands = root() / "commands.txt";
  setenv("KAVRIN_UI", ("pinentry:" + program.string()).c_str(), 1);
  setenv("FAKE_PINENTRY_LOG", commands.c_str(), 1);
  setenv("FAKE_PINENTRY_MODE", "pin", 1);
  setenv("FAKE_PINENTRY_PIN", "4321", 1);

  CPinDlg dialog;
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(std::u16string(dialog.Pin()), u"4321");
  CPINLockDlg().DoModal();

  std::vector<std::string> lines;
  std::ifstream in(commands);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("OPTION", 0) != 0) lines.push_back(line);  // terminal options, when run on one
  }
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "SETTITLE 保管箱密码验证",
                       "SETDESC 尊敬的Kavrin银行客户，您好!%0A请输入您的文件证书保管箱密码。",
                       "SETPROMPT 保管箱密码：",
                       "SETOK 确定",
                       "SETCANCEL 取消",
                       "GETPIN",
                       "BYE",
                       "SETTITLE 提示",
                       "SETDESC 文件证书保护箱已经被锁定，请您24小时后再试！",
                       "SETOK 确定",
                       "MESSAGE",
                       "BYE",
                   }));
  unsetenv("FAKE_PINENTRY_LOG");
  unsetenv("FAKE_PINENTRY_MODE");
  unsetenv("FAKE_PINENTRY_PIN");
}

}  // namespace
