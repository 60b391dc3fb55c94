// The provider parameters a context answers (CPGetProvParam) and accepts
// (CPSetProvParam).
#include "pin_mask.h"
#include "pin_policy.h"
#include "prov_context.h"
#include "secure_buffer.h"
#include "stored_container.h"

#include <kavrin/errors.h>
#include <kavrin/kernel/text.h>
#include <orvex/container_storage.h>
#include <orvex/provider.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kProviderVersion = 0x100;
constexpr DWORD kKeySpecsOffered = AT_KEYEXCHANGE | AT_SIGNATURE;
constexpr DWORD kKeySizeIncrement = 64;
// Size of the record that PP_ENUMALGS_EX would deliver; the engine answers
// the size query only and delivers no record.
constexpr DWORD kEnumAlgsExRecordSize = 88;

DWORD Fail(DWORD code) {
  SetLastError(code);
  return code;
}

using SecurePin = std::vector<WCHAR, CleansingAllocator<WCHAR>>;

// A PIN given through a parameter, copied out of the caller's bytes (which
// need not be aligned for UTF-16) into a null-terminated string: a PIN of
// known length as it is, else up to its terminator. At most max_units units
// are read: anything longer is too long for a PIN anyway, and stays too long
// in the copy.
SecurePin CopyPin(const BYTE* data, size_t max_units, bool up_to_terminator) {
  SecurePin pin;
  for (size_t i = 0; i < max_units; ++i) {
    WCHAR unit = 0;
    std::memcpy(&unit, data + i * sizeof unit, sizeof unit);
    if (unit == 0 && up_to_terminator) break;
    pin.push_back(unit);
  }
  pin.push_back(0);
  return pin;
}

// Units read from a null-terminated PIN: one more than the longest PIN
// accepted, so that a longer one is still seen as too long.
constexpr size_t kPinUnitsRead = kMaxPinBytes / sizeof(WCHAR) + 1;

DWORD KeySpecOfPinParam(DWORD param) {
  return param == PP_SIGNATURE_PIN || param == orvex::PP_VERIFY_SIGNATURE_PIN ? AT_SIGNATURE
                                                                              : AT_KEYEXCHANGE;
}

DWORD AsBytes(DWORD value, std::vector<BYTE>* out) {
  out->resize(sizeof value);
  std::memcpy(out->data(), &value, sizeof value);
  return 0;
}

// Attempts left before the key locks, from its stored restrict count: the
// never-failed marker allows five, a locked key none.
DWORD AttemptsLeft(LONG restrict_times) {
  if (restrict_times == orvex::kResetRestrictTimes) return 5;
  return static_cast<DWORD>(std::max<LONG>(restrict_times + 1, 0));
}

DWORD ContainerNameAnsi(const std::u16string& name, std::vector<BYTE>* out) {
  const int needed =
      WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return Fail(NTE_FAIL);
  out->resize(static_cast<size_t>(needed));
  if (WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, reinterpret_cast<LPSTR>(out->data()),
                          needed, nullptr, nullptr) != needed) {
    return Fail(NTE_FAIL);
  }
  return 0;
}

// Gives the answer back as the parameter row says: length only, too small,
// or copied.
DWORD Deliver(const std::vector<BYTE>& answer, BYTE* data, DWORD* data_len) {
  const DWORD length = static_cast<DWORD>(answer.size());
  if (data == nullptr) {
    *data_len = length;
    return 0;
  }
  if (*data_len < length) return Fail(ERROR_MORE_DATA);
  std::copy(answer.begin(), answer.end(), data);
  *data_len = length;
  return 0;
}

}  // namespace

DWORD CProvContext::GetProvParam(DWORD param, BYTE* data, DWORD* data_len, DWORD) {
  if (data_len == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const auto container = Container();
  if (!container) return Fail(NTE_BAD_PROVIDER);

  std::vector<BYTE> answer;
  DWORD result = 0;
  switch (param) {
    case PP_IMPTYPE:
      result = AsBytes(CRYPT_IMPL_SOFTWARE, &answer);
      break;
    case PP_NAME:
      answer.assign(orvex::kProviderName, orvex::kProviderName + sizeof orvex::kProviderName);
      break;
    case PP_VERSION:
      result = AsBytes(kProviderVersion, &answer);
      break;
    case PP_CONTAINER:
      result = ContainerNameAnsi(container->Name(), &answer);
      break;
    case PP_PROVTYPE:
      result = AsBytes(orvex::kProviderType, &answer);
      break;
    case PP_ENUMALGS_EX:
      if (data != nullptr) return Fail(NTE_BAD_TYPE);
      *data_len = kEnumAlgsExRecordSize;
      return 0;
    case PP_KEYSET_TYPE:
      result = AsBytes(container->IsFileContainer() ? CRYPT_MACHINE_KEYSET : 0, &answer);
      break;
    case PP_SIG_KEYSIZE_INC:
    case PP_KEYX_KEYSIZE_INC:
      result = AsBytes(kKeySizeIncrement, &answer);
      break;
    case PP_KEYSPEC:
      result = AsBytes(kKeySpecsOffered, &answer);
      break;
    case PP_CRYPT_COUNT_KEY_USE: {
      // The counters as stored, where every process's PIN checks leave them.
      CStoredContainer stored(*container);
      const CKeyContainer& source = stored.Status() == 0 ? stored.Stored() : *container;
      const DWORD signature = AttemptsLeft(source.GetRestrictTimes(AT_SIGNATURE));
      const DWORD exchange = AttemptsLeft(source.GetRestrictTimes(AT_KEYEXCHANGE));
      result = AsBytes((signature & 0xFFFF) | (exchange << 16), &answer);
      break;
    }
    default:
      return Fail(NTE_BAD_TYPE);
  }
  if (result != 0) return result;
  return Deliver(answer, data, data_len);
}

DWORD CProvContext::SetProvParam(DWORD param, BYTE* data, DWORD flags) {
  switch (param) {
    case PP_KEYEXCHANGE_PIN:
    case PP_SIGNATURE_PIN: {
      if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
      // flags is the PIN's length in bytes, 0 for a null-terminated PIN. A
      // length over the longest PIN is refused before the PIN is read.
      const SecurePin pin =
          flags != 0 ? CopyPin(data, std::min<size_t>((flags + 1) / 2, kPinUnitsRead), false)
                     : CopyPin(data, kPinUnitsRead, true);
      const DWORD length = flags != 0 ? flags : PinByteLength(pin.data(), 0);
      return ChangeKeyPin(*this, pin.data(), KeySpecOfPinParam(param), length);
    }
    case orvex::PP_VERIFY_EXCHANGE_PIN:
    case orvex::PP_VERIFY_SIGNATURE_PIN: {
      if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
      const DWORD key_spec = KeySpecOfPinParam(param);
      const SecurePin pin = CopyPin(data, kPinUnitsRead, true);
      // The chances left are the flow's to report; the caller sees only the outcome.
      if (!VerifyPinSilent(PinVerifier(), key_spec, pin.data(), nullptr)) return NTE_FAIL;
      SetKeyPinVerified(key_spec);
      return 0;
    }
    default:
      return Fail(NTE_BAD_TYPE);
  }
}
