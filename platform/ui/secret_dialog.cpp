// KavrinAskSecret and KavrinShowNotice: the two primitives the provider's PIN
// dialog and lock notice are built on.
#include <kavrin/errors.h>
#include <kavrin/ui.h>

#include <algorithm>

#include "ui/dialog_call.h"
#include "ui/ui_selection.h"

using namespace kavrin::platform::ui;

namespace {

SecretPrompt PromptOf(const KAVRIN_SECRET_REQUEST& request) {
  return {TextOrEmpty(request.caption),    TextOrEmpty(request.greeting), TextOrEmpty(request.prompt),
          TextOrEmpty(request.fieldLabel), TextOrEmpty(request.okLabel),  TextOrEmpty(request.cancelLabel)};
}

}  // namespace

KAVRIN_EXTERN_C KAVRIN_API int WINAPI KavrinAskSecret(const KAVRIN_SECRET_REQUEST* request, WCHAR* out,
                                                      DWORD outChars, DWORD* outLen) {
  if (request == nullptr || out == nullptr || outLen == nullptr || request->maxChars == 0 ||
      request->maxChars >= outChars) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  out[0] = u'\0';
  *outLen = 0;
  return GuardedDialog([&] {
    SecretUtf16 typed;
    if (CurrentBackend()->AskSecret(PromptOf(*request), &typed) != IDOK) return IDCANCEL;
    // An over-long entry is reported by its length and not handed out, so the
    // caller can say so and ask again instead of using a cut-off secret.
    *outLen = static_cast<DWORD>(typed.size());
    if (typed.size() <= request->maxChars) {
      std::copy(typed.begin(), typed.end(), out);
      out[typed.size()] = u'\0';
    }
    return IDOK;
  });
}

KAVRIN_EXTERN_C KAVRIN_API int WINAPI KavrinShowNotice(LPCWSTR caption, LPCWSTR text, LPCWSTR okLabel) {
  return GuardedDialog([&] {
    Notice notice;
    notice.kind = DialogKind::kLock;
    notice.caption = TextOrEmpty(caption);
    notice.text = TextOrEmpty(text);
    notice.ok_label = TextOrEmpty(okLabel);
    return CurrentBackend()->ShowNotice(notice);
  });
}
