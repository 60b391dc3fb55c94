// MessageBoxW and MessageBoxA: a text with OK, or OK and Cancel, shown by the
// current UI backend.
#include <kavrin/errors.h>
#include <kavrin/ui.h>

#include "internal/code_page.h"
#include "ui/dialog_call.h"
#include "ui/ui_selection.h"

using namespace kavrin::platform::ui;

KAVRIN_EXTERN_C KAVRIN_API int WINAPI MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  const UINT buttons = uType & MB_TYPEMASK;
  if (buttons != MB_OK && buttons != MB_OKCANCEL) {
    SetLastError(ERROR_INVALID_MSGBOX_STYLE);
    return 0;
  }
  return GuardedDialog([&] {
    Notice notice;
    notice.kind = DialogKind::kMessage;
    notice.caption = lpCaption != nullptr ? std::u16string(lpCaption) : u"Error";
    notice.text = TextOrEmpty(lpText);
    notice.with_cancel = buttons == MB_OKCANCEL;
    const int result = CurrentBackend()->ShowNotice(notice);
    // A box with OK alone has nothing to decide: closing it any way, or not
    // being able to show it, is OK.
    return buttons == MB_OK ? IDOK : result;
  });
}

KAVRIN_EXTERN_C KAVRIN_API int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  return GuardedDialog([&] {
    using kavrin::platform::AnsiToUtf16;
    const std::u16string text = lpText != nullptr ? AnsiToUtf16(lpText) : std::u16string();
    const std::u16string caption = lpCaption != nullptr ? AnsiToUtf16(lpCaption) : std::u16string();
    return MessageBoxW(hWnd, text.c_str(), lpCaption != nullptr ? caption.c_str() : nullptr, uType);
  });
}
