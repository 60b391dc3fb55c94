// The provider parameters a context answers (CPGetProvParam) and accepts
// (CPSetProvParam).
#include "prov_context.h"

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
      const DWORD signature = AttemptsLeft(container->GetRestrictTimes(AT_SIGNATURE));
      const DWORD exchange = AttemptsLeft(container->GetRestrictTimes(AT_KEYEXCHANGE));
      result = AsBytes((signature & 0xFFFF) | (exchange << 16), &answer);
      break;
    }
    default:
      return Fail(NTE_BAD_TYPE);
  }
  if (result != 0) return result;
  return Deliver(answer, data, data_len);
}
