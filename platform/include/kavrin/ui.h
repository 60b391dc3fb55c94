// User interface of the layer: message boxes, plus the two primitives the
// provider's PIN dialogs are built on (a masked one-line question and a notice
// with one OK button).
//
// Every dialog goes through the backend named by the environment variable
// KAVRIN_UI, read each time a dialog is shown:
//   unset, empty or "pinentry"  the user's pinentry program from PATH
//   "pinentry:PROGRAM"          that pinentry program (a name or a path)
//   "script:FILE"               answers taken from FILE, what is shown logged
//                               to FILE.log (used by tests)
// Any other value, or a backend that cannot be used (pinentry missing or
// failing, script unreadable), cancels the dialog at once.
// When the value changes, the backend starts afresh (a script from its first
// answer).
#pragma once

#include <kavrin/errors.h>
#include <kavrin/types.h>

// MessageBox button types (only these two are supported).
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_TYPEMASK 0x0000000FL

// MessageBox icons. The backends have no icons; the flags are accepted.
#define MB_ICONHAND 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_ICONMASK 0x000000F0L

// Dialog results.
#define IDOK 1
#define IDCANCEL 2


// What KavrinAskSecret shows. Null texts count as empty (a null greeting,
// okLabel or cancelLabel leaves the backend's own default).
typedef struct _KAVRIN_SECRET_REQUEST {
  LPCWSTR caption;      // window title
  LPCWSTR greeting;     // optional first line above the prompt
  LPCWSTR prompt;       // the question; may hold "\r\n"
  LPCWSTR fieldLabel;   // label in front of the masked field
  LPCWSTR okLabel;      // OK button
  LPCWSTR cancelLabel;  // Cancel button
  DWORD maxChars;       // field limit in UTF-16 units: 1 .. outChars - 1
} KAVRIN_SECRET_REQUEST;

KAVRIN_BEGIN_DECLS

// Shows a modal message box. hWnd is ignored (there is no owner window).
// A null caption shows "Error". Returns IDOK or IDCANCEL; an MB_OK box always
// returns IDOK (it offers nothing to decide, even when it could not be shown),
// an MB_OKCANCEL box that could not be shown returns IDCANCEL. Any other
// button type returns 0 with ERROR_INVALID_MSGBOX_STYLE.
KAVRIN_API int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
// The same with texts in the ANSI code page.
KAVRIN_API int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// Asks for one line of masked text.
// IDOK: *outLen is the number of UTF-16 units typed. When it is at most
//   request->maxChars, out holds the text, null-terminated; when it is larger
//   the answer is refused: out holds an empty string and the caller tells the
//   user the entry is too long (and asks again if it wishes).
// IDCANCEL: the user cancelled, or no dialog could be shown; out is empty and
//   *outLen is 0.
// 0: a null argument or a maxChars outside 1 .. outChars - 1
//   (ERROR_INVALID_PARAMETER); nothing is shown.
KAVRIN_API int WINAPI KavrinAskSecret(const KAVRIN_SECRET_REQUEST* request, WCHAR* out, DWORD outChars,
                                      DWORD* outLen);

// Shows a notice with one OK button labelled okLabel (null: the backend's
// default). Returns IDOK, or IDCANCEL when it was dismissed otherwise or could
// not be shown.
KAVRIN_API int WINAPI KavrinShowNotice(LPCWSTR caption, LPCWSTR text, LPCWSTR okLabel);

KAVRIN_END_DECLS
