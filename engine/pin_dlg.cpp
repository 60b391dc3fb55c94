#include "pin_dlg.h"

#include "engine_resources.h"

#include <kavrin/ui.h>

#include <openssl/crypto.h>

#include <algorithm>

namespace {

constexpr WCHAR kCaption[] = u"保管箱密码验证";
constexpr WCHAR kGreeting[] = u"尊敬的Kavrin银行客户，您好!";
constexpr WCHAR kDefaultPrompt[] = u"请输入您的文件证书保管箱密码。";
constexpr WCHAR kFieldLabel[] = u"保管箱密码：";
constexpr WCHAR kOk[] = u"确定";
constexpr WCHAR kCancel[] = u"取消";

constexpr WCHAR kEmptyText[] = u"未输入PIN码";
constexpr WCHAR kEmptyCaption[] = u"错误";
constexpr WCHAR kTooLongText[] = u"请输入不超过20个字符。";
constexpr WCHAR kTooLongCaption[] = u"提示";

// What one showing of the dialog brought back.
enum class Entry { kCancelled, kEmpty, kTooLong, kAccepted };

}  // namespace

CPinDlg::CPinDlg() : prompt_(kDefaultPrompt) {}

CPinDlg::~CPinDlg() { OPENSSL_cleanse(pin_.data(), sizeof pin_); }

void CPinDlg::SetPrompt(std::u16string_view prompt) {
  prompt_.assign(prompt.substr(0, kMaxPromptChars));
}

int CPinDlg::DoModal() {
  const CEngineResources resources;
  const KAVRIN_SECRET_REQUEST request{kCaption, kGreeting, prompt_.c_str(), kFieldLabel,
                                      kOk,      kCancel,   kMaxPinChars};
  std::array<WCHAR, kMaxPinChars + 1> typed{};
  for (;;) {
    DWORD length = 0;
    const int shown = KavrinAskSecret(&request, typed.data(), static_cast<DWORD>(typed.size()), &length);
    Entry entry = Entry::kAccepted;
    if (shown != IDOK) {
      entry = Entry::kCancelled;
    } else if (length > kMaxPinChars) {
      entry = Entry::kTooLong;
    } else if (length == 0) {
      entry = Entry::kEmpty;
    }
    switch (entry) {
      case Entry::kCancelled:
        OPENSSL_cleanse(typed.data(), sizeof typed);
        return IDCANCEL;
      case Entry::kTooLong:
        MessageBoxW(nullptr, kTooLongText, kTooLongCaption, MB_OK | MB_ICONEXCLAMATION);
        break;
      case Entry::kEmpty:
        MessageBoxW(nullptr, kEmptyText, kEmptyCaption, MB_OK | MB_ICONEXCLAMATION);
        break;
      case Entry::kAccepted:
        OPENSSL_cleanse(pin_.data(), sizeof pin_);
        std::copy(typed.begin(), typed.begin() + length, pin_.begin());
        pin_chars_ = length;
        OPENSSL_cleanse(typed.data(), sizeof typed);
        return IDOK;
    }
  }
}
