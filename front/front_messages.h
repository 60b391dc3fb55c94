// The front module's message boxes: no owner window, an OK button, the
// caption "提示".
#pragma once

#include <kavrin/ui.h>

inline constexpr char16_t kNoProviderKeyText[] = u"没有检测到有效的CSP注册信息";
inline constexpr char16_t kNoImagePathText[] = u"没有检测到有效的CSP1";
inline constexpr char16_t kNoEnginePathText[] = u"没有检测到有效的CSP2";
inline constexpr char16_t kEngineImageChangedText[] = u"没有检测到有效的CSP3";

inline void ShowFrontMessage(const char16_t* text) {
  MessageBoxW(nullptr, text, u"提示", MB_OK);
}
