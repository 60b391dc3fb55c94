#include "internal/profile_encoding.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "internal/code_page.h"
#include "internal/utf.h"

namespace kavrin::platform {
namespace {

// Eight bytes at a time: big profile files are checked on every call.
bool IsAscii(std::string_view bytes) {
  uint64_t seen = 0;
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    seen |= word;
  }
  for (; i < bytes.size(); ++i) seen |= static_cast<unsigned char>(bytes[i]);
  return (seen & 0x8080808080808080ull) == 0;
}

}  // namespace

ProfileBytes::ProfileBytes(std::string bytes) : bytes_(std::move(bytes)) {
  const std::string_view view = bytes_;
  if (view.substr(0, 3) == "\xEF\xBB\xBF") {
    encoding_ = Encoding::kUtf8;
    bom_ = 3;
    text_ = ToUtf16(view.substr(bom_));
  } else if (view.substr(0, 2) == "\xFF\xFE") {
    encoding_ = Encoding::kUtf16Le;
    bom_ = 2;
    text_ = FromUtf16Le(view.substr(bom_));
  } else if (IsAscii(view)) {
    // Every ANSI code page is ASCII below 0x80: the bytes are the text.
    ascii_ = true;
  } else {
    // Lenient decoding replaces a bad byte by one character and never
    // swallows an LF, which keeps lines aligned with the bytes.
    text_ = AnsiToUtf16(view);
  }
}

size_t ProfileBytes::OffsetOfLine(size_t line) const {
  size_t offset = bom_;
  if (encoding_ == Encoding::kUtf16Le) {
    for (; line > 0 && offset + 1 < bytes_.size(); offset += 2) {
      if (bytes_[offset] == '\n' && bytes_[offset + 1] == '\0') --line;
    }
    return line == 0 ? offset : bytes_.size();
  }
  while (line > 0) {
    const void* lf = std::memchr(bytes_.data() + offset, '\n', bytes_.size() - offset);
    if (lf == nullptr) return bytes_.size();
    offset = static_cast<size_t>(static_cast<const char*>(lf) - bytes_.data()) + 1;
    --line;
  }
  return offset;
}

std::string ProfileBytes::Encode(std::u16string_view text) const {
  switch (encoding_) {
    case Encoding::kUtf8: return ToUtf8(text);
    case Encoding::kUtf16Le: return ToUtf16Le(text);
    case Encoding::kAnsi: break;
  }
  // ASCII is the same in every ANSI code page: no need to look the code page up.
  if (std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; })) {
    return std::string(text.begin(), text.end());
  }
  return Utf16ToAnsi(text);
}

ProfileBytes::Edited ProfileBytes::Apply(const ProfileLineEdit& edit) const {
  const size_t begin = OffsetOfLine(edit.first_line);
  const size_t end = std::max(begin, OffsetOfLine(edit.end_line));
  const std::string_view bytes = bytes_;
  return Edited{bytes.substr(0, begin), Encode(edit.text), bytes.substr(end)};
}

}  // namespace kavrin::platform
