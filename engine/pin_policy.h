// When and how a key's PIN is asked for, checked, set and changed, and the
// lock that wrong PINs lead to (pin_lock_rules.h).
//
// Every check reads the key's counters afresh from storage, applies the lock
// rules, checks the PIN (only when the key is not locked) and stores the
// outcome as one step under the container's storage lock, which every
// process shares (stored_container.h). So however many threads or processes
// guess at once, no PIN is checked after the fifth consecutive wrong one.
// Dialogs are shown outside that lock.
//
// Key specs: AT_KEYEXCHANGE or CALG_RSA_KEYX, AT_SIGNATURE or CALG_RSA_SIGN;
// for any other value every flow fails at once without a message.
#pragma once

#include "key_object.h"
#include "pin_verifier.h"

#include <kavrin/types.h>

#include <string>

class CProvContext;

// Asks for the PIN in the PIN dialog until it is right, the user cancels
// (last error NTE_BAD_KEY_STATE) or the key locks. A wrong PIN shows the
// dialog again with the chances left; a locked key shows the lock notice, a
// dead-locked one its message box.
bool VerifyPinInteractive(CPinVerifier& verifier, DWORD key_spec);

// Checks a null-terminated PIN without any dialog. *allowance (when not null)
// receives the chances left after a wrong PIN, -1 when the key is or becomes
// locked, 0 when it is or becomes dead-locked. A wrong PIN leaves the last
// error NTE_PERM; a refusal before the check sets none.
bool VerifyPinSilent(CPinVerifier& verifier, DWORD key_spec, const WCHAR* pin, LONG* allowance);

// True when the key's private part may be used in the context: a key under
// the default PIN is unmasked (no dialog, no counters), a key verified in the
// context passes, anything else goes through VerifyPinInteractive, whose
// success marks the key verified in the context.
bool EnsureKeyPinVerified(CProvContext& context, CKeyObject& key, DWORD key_spec);

// Sets the PIN (pin_len bytes, 0: measure the string) of the key selected by key_spec
// and stores it; a key that has a user PIN not verified in the context first
// needs its current PIN (VerifyPinInteractive). The counters stay as they
// are. 0, or NTE_FAIL.
DWORD ChangeKeyPin(CProvContext& context, const WCHAR* pin, DWORD key_spec, DWORD pin_len);

// Asks for a key's first PIN in the PIN dialog and sets it (the key holds its
// clear private blob, as right after generation or import). False when the
// user cancelled or the PIN could not be set (which a message box says).
bool AskNewKeyPin(CProvContext& context, DWORD key_spec);

// The prompt after a wrong PIN, with the chances left.
std::u16string RetryPrompt(LONG chances);
