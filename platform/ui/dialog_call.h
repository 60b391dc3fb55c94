// What the public UI functions share: null-safe text, and the C boundary that
// no exception may cross.
#pragma once

#include <kavrin/errors.h>
#include <kavrin/types.h>

#include <new>
#include <string>
#include <system_error>

namespace kavrin::platform::ui {

inline std::u16string TextOrEmpty(LPCWSTR text) { return text != nullptr ? std::u16string(text) : std::u16string(); }

// Runs a dialog; the only failures inside are running out of memory or of
// thread resources, which give 0 as a failed Windows dialog call does.
template <class Show>
int GuardedDialog(Show show) noexcept {
  try {
    return show();
  } catch (const std::bad_alloc&) {
  } catch (const std::system_error&) {
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return 0;
}

}  // namespace kavrin::platform::ui
