// The PIN dialog: asks for one line of masked text, normally the PIN (the
// safe-box password), under a prompt the caller may replace.
//
// DoModal shows it until the user gives an acceptable entry or cancels. An
// entry over 20 characters is refused with a warning, an empty one with the
// message "未输入PIN码"; both keep the dialog open. OK ends with IDOK and
// the entry in Pin(); Cancel with IDCANCEL and the members as they were.
#pragma once

#include <kavrin/types.h>

#include <array>
#include <string>
#include <string_view>

class CPinDlg {
 public:
  // Longest entry, in UTF-16 units, and longest prompt.
  static constexpr DWORD kMaxPinChars = 20;
  static constexpr size_t kMaxPromptChars = 100;

  CPinDlg();
  ~CPinDlg();
  CPinDlg(const CPinDlg&) = delete;
  CPinDlg& operator=(const CPinDlg&) = delete;

  // A longer prompt is cut to kMaxPromptChars characters.
  void SetPrompt(std::u16string_view prompt);
  const std::u16string& Prompt() const { return prompt_; }

  // IDOK or IDCANCEL.
  int DoModal();

  // The entry of the last OK, null-terminated; empty before it.
  const WCHAR* Pin() const { return pin_.data(); }
  DWORD PinChars() const { return pin_chars_; }

 private:
  std::array<WCHAR, kMaxPinChars + 1> pin_{};
  DWORD pin_chars_ = 0;
  std::u16string prompt_;
};
