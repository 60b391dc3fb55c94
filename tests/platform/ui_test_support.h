// Shared by the UI tests: the provider's PIN question as the engine asks it,
// and a call of KavrinAskSecret that returns what came back.
#pragma once

#include <kavrin/ui.h>

#include <algorithm>
#include <iterator>
#include <string>

namespace kavrin::test {

inline constexpr DWORD kPinLimit = 20;

inline KAVRIN_SECRET_REQUEST PinRequest(const char16_t* prompt = u"请输入您的文件证书保管箱密码。") {
  KAVRIN_SECRET_REQUEST request{};
  request.caption = u"保管箱密码验证";
  request.greeting = u"尊敬的Kavrin银行客户，您好!";
  request.prompt = prompt;
  request.fieldLabel = u"保管箱密码：";
  request.okLabel = u"确定";
  request.cancelLabel = u"取消";
  request.maxChars = kPinLimit;
  return request;
}

struct SecretAnswer {
  int result = -1;
  std::u16string text;
  DWORD length = 0xFFFFFFFF;
};

inline SecretAnswer AskSecret(const KAVRIN_SECRET_REQUEST& request = PinRequest()) {
  WCHAR buffer[kPinLimit + 1];
  // Poisoned, so that a missing terminator or a stale entry shows.
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  SecretAnswer answer;
  answer.result = KavrinAskSecret(&request, buffer, kPinLimit + 1, &answer.length);
  answer.text = std::u16string(buffer);
  return answer;
}

}  // namespace kavrin::test
