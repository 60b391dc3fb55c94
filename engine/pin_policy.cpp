#include "pin_policy.h"

#include "pin_clock.h"
#include "pin_dlg.h"
#include "pin_lock_dlg.h"
#include "pin_lock_rules.h"
#include "prov_context.h"
#include "stored_container.h"

#include <kavrin/errors.h>
#include <kavrin/kernel/text.h>
#include <kavrin/ui.h>

namespace {

constexpr WCHAR kPolicyCaption[] = u"提示";
constexpr WCHAR kDeadLockText[] = u"您的证书已经被死锁，请到柜台重新办理。";
constexpr WCHAR kRetryBefore[] = u"保管箱密码输入错误。\r\n您还有";
constexpr WCHAR kRetryAfter[] = u"次机会输入保管箱密码。";
constexpr WCHAR kPinNotSetText[] = u"PIN设置错误";
constexpr WCHAR kPinNotSetCaption[] = u"PIN码输入错误";

bool IsKeySpec(DWORD key_spec) {
  return key_spec == AT_KEYEXCHANGE || key_spec == CALG_RSA_KEYX || key_spec == AT_SIGNATURE ||
         key_spec == CALG_RSA_SIGN;
}

void ShowDeadLock() { MessageBoxW(nullptr, kDeadLockText, kPolicyCaption, MB_OK); }

void ShowLock() {
  CPINLockDlg notice;
  notice.DoModal();
}

// Shows what a refusal by the lock rules means to the user.
void ShowRefusal(PinGate gate) {
  if (gate == PinGate::kDeadLocked) ShowDeadLock();
  if (gate == PinGate::kLocked) ShowLock();
}

// The outcome of one attempt at a key's PIN, or of the opening checks alone.
struct PinAttempt {
  enum Result {
    kUnavailable,  // storage unreadable, no stored key, or no lock: last error set
    kRefused,      // the lock rules refused before the PIN was checked
    kOpen,         // the lock rules let a PIN through (opening checks alone)
    kRight,
    kWrong,
  };
  Result result = kUnavailable;
  // kRefused, kWrong: the lock reached (kOpen while chances are left).
  PinGate gate = PinGate::kOpen;
  // kWrong: R before this PIN was counted (the chances the user had) and after.
  LONG chances = 0;
  LONG remaining = 0;
};

// The stored slot of the key spec, loaded afresh. Null (last error set) when
// there is nothing to check a PIN against.
CKeyObject* StoredKey(CStoredContainer& stored, DWORD key_spec) {
  if (stored.Status() != 0) {
    SetLastError(stored.Status());
    return nullptr;
  }
  return stored.Stored().GetKeySlot(key_spec, false);
}

// The opening checks alone, on the stored counters; nothing is stored.
PinAttempt PeekAtLock(CKeyContainer& container, DWORD key_spec) {
  const DWORD caller_error = GetLastError();
  CStoredContainer stored(container);
  if (StoredKey(stored, key_spec) == nullptr) return {};
  SetLastError(caller_error);
  SlotCounters counters = stored.Stored().GetCounters(key_spec);
  PinAttempt attempt;
  attempt.gate = OpenPinGate(&counters, PinPolicyNow());
  attempt.result = attempt.gate == PinGate::kOpen ? PinAttempt::kOpen : PinAttempt::kRefused;
  AdoptStoredCounters(container, stored.Stored(), key_spec);
  return attempt;
}

// One attempt as one step under the storage lock: the stored counters are
// read afresh and the lock rules applied, the PIN is checked against the
// stored key only when they let it through, and the outcome is stored. The
// container in memory then follows storage (and, after a right PIN, holds
// the unlocked key). A refusal stores nothing: the rules' own changes (a
// full allowance given back) reach storage with the next check.
PinAttempt AttemptPin(CKeyContainer& container, DWORD key_spec, const WCHAR* pin, DWORD pin_bytes) {
  // Only a wrong PIN leaves an error behind; storage work says nothing.
  const DWORD caller_error = GetLastError();
  CStoredContainer stored(container);
  if (StoredKey(stored, key_spec) == nullptr) return {};
  CKeyContainer& copy = stored.Stored();
  const int64_t now = PinPolicyNow();
  SlotCounters counters = copy.GetCounters(key_spec);
  PinAttempt attempt;
  attempt.gate = OpenPinGate(&counters, now);
  if (attempt.gate != PinGate::kOpen) {
    attempt.result = PinAttempt::kRefused;
    AdoptStoredCounters(container, copy, key_spec);
    SetLastError(caller_error);
    return attempt;
  }
  DWORD error = caller_error;
  if (copy.VerifyKeyPin(key_spec, pin, pin_bytes) == 0) {
    CountRightPin(&counters);
    attempt.result = PinAttempt::kRight;
  } else {
    error = GetLastError();
    attempt.chances = counters.restrict_times;
    attempt.gate = CountWrongPin(&counters, now);
    attempt.remaining = counters.restrict_times;
    attempt.result = PinAttempt::kWrong;
  }
  copy.SetCounters(key_spec, counters);
  // A save that fails changes nothing in the outcome; the next check reads
  // whatever storage holds.
  stored.Save();
  if (attempt.result == PinAttempt::kRight) {
    AdoptStoredSlot(container, copy, key_spec);
  } else {
    AdoptStoredCounters(container, copy, key_spec);
  }
  SetLastError(error);
  return attempt;
}

DWORD Failed(DWORD error) {
  SetLastError(error);
  return NTE_FAIL;
}

}  // namespace

std::u16string RetryPrompt(LONG chances) {
  const std::string digits = std::to_string(chances);
  std::u16string prompt(kRetryBefore);
  prompt.append(digits.begin(), digits.end());
  prompt += kRetryAfter;
  return prompt;
}

bool VerifyPinInteractive(CPinVerifier& verifier, DWORD key_spec) {
  if (!IsKeySpec(key_spec)) return false;
  const auto container = verifier.Container();
  if (!container) return false;

  const PinAttempt opening = PeekAtLock(*container, key_spec);
  if (opening.result == PinAttempt::kRefused) ShowRefusal(opening.gate);
  if (opening.result != PinAttempt::kOpen) return false;

  CPinDlg dialog;
  for (;;) {
    if (dialog.DoModal() != IDOK) {
      SetLastError(NTE_BAD_KEY_STATE);
      return false;
    }
    const PinAttempt attempt =
        AttemptPin(*container, key_spec, dialog.Pin(), dialog.PinChars() * sizeof(WCHAR));
    if (attempt.result == PinAttempt::kRight) return true;
    if (attempt.result == PinAttempt::kUnavailable) return false;
    if (attempt.gate != PinGate::kOpen) {
      ShowRefusal(attempt.gate);
      return false;
    }
    dialog.SetPrompt(RetryPrompt(attempt.chances));
  }
}

bool VerifyPinSilent(CPinVerifier& verifier, DWORD key_spec, const WCHAR* pin, LONG* allowance) {
  if (!IsKeySpec(key_spec)) return false;
  const auto container = verifier.Container();
  if (!container) return false;
  if (pin == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const DWORD pin_bytes = static_cast<DWORD>(lstrlenW(pin)) * sizeof(WCHAR);
  const PinAttempt attempt = AttemptPin(*container, key_spec, pin, pin_bytes);
  LONG out = 0;
  switch (attempt.result) {
    case PinAttempt::kRight:
      return true;
    case PinAttempt::kUnavailable:
    case PinAttempt::kOpen:
      return false;
    case PinAttempt::kRefused:
    case PinAttempt::kWrong:
      out = attempt.gate == PinGate::kOpen     ? attempt.remaining
            : attempt.gate == PinGate::kLocked ? kLockedRestrictTimes
                                               : 0;
      break;
  }
  if (allowance != nullptr) *allowance = out;
  return false;
}

bool EnsureKeyPinVerified(CProvContext& context, CKeyObject& key, DWORD key_spec) {
  if (!IsKeySpec(key_spec)) return false;
  if (key.HasAttribute(CKeyObject::KEYF_DEFAULT_PIN)) return key.UnmaskDefault();
  if (context.IsKeyPinVerified(key_spec)) return true;
  if (!VerifyPinInteractive(context.PinVerifier(), key_spec)) return false;
  context.SetKeyPinVerified(key_spec);
  return true;
}

DWORD ChangeKeyPin(CProvContext& context, const WCHAR* pin, DWORD key_spec, DWORD pin_len) {
  if (!IsKeySpec(key_spec)) return NTE_FAIL;
  const auto container = context.Container();
  if (!container) return Failed(NTE_BAD_PROVIDER);
  CKeyObject* slot = container->GetKeySlot(key_spec, false);
  if (slot == nullptr) return NTE_FAIL;
  // The bit alone counts here, as it was granted, also in a verify-only context.
  if (slot->HasAttribute(CKeyObject::KEYF_USER_PIN) &&
      (context.Flags() & CProvContext::PinVerifiedBit(key_spec)) == 0) {
    if (!VerifyPinInteractive(context.PinVerifier(), key_spec)) return NTE_FAIL;
    context.SetKeyPinVerified(key_spec);
  }

  // The key is masked under the new PIN in the stored copy and reaches the
  // container in memory only once it is stored.
  CStoredContainer stored(*container);
  if (stored.Status() != 0) return Failed(NTE_FAIL);
  CKeyContainer& copy = stored.Stored();
  CKeyObject* target = copy.GetKeySlot(key_spec, true);
  target->CopyKeyFrom(*slot);
  if (copy.SetKeyPin(key_spec, pin, pin_len) != 0) return NTE_FAIL;
  // A PIN the storage did not take is not set: the caller must not believe
  // the key protected (or stored) when it is not.
  if (stored.Save() != 0) return Failed(NTE_FAIL);
  slot->TakeKeyFrom(*target);
  AdoptStoredCounters(*container, copy, key_spec);
  return 0;
}

bool AskNewKeyPin(CProvContext& context, DWORD key_spec) {
  if (!IsKeySpec(key_spec)) return false;
  CPinDlg dialog;
  if (dialog.DoModal() != IDOK) return false;
  if (ChangeKeyPin(context, dialog.Pin(), key_spec, dialog.PinChars() * sizeof(WCHAR)) != 0) {
    MessageBoxW(nullptr, kPinNotSetText, kPinNotSetCaption, MB_OK);
    return false;
  }
  return true;
}
