#include "ui/assuan_text.h"

namespace kavrin::platform::ui {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool NeedsEscape(unsigned char c) { return c < 0x20 || c == 0x7F || c == '%'; }

void AppendEscaped(unsigned char c, std::string* out) {
  if (NeedsEscape(c)) {
    *out += '%';
    *out += kHex[c >> 4];
    *out += kHex[c & 0xF];
  } else {
    *out += static_cast<char>(c);
  }
}

// Bytes of the UTF-8 sequence that starts at text[i] (1 for a stray byte).
size_t CharLength(std::string_view text, size_t i) {
  size_t n = 1;
  while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
  return n;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string AssuanCommand(std::string_view verb, std::string_view argument) {
  std::string line(verb);
  if (argument.empty()) return line;
  line += ' ';
  for (size_t i = 0; i < argument.size();) {
    const size_t length = CharLength(argument, i);
    std::string escaped;
    for (size_t k = 0; k < length; ++k) AppendEscaped(static_cast<unsigned char>(argument[i + k]), &escaped);
    if (line.size() + escaped.size() > kAssuanMaxLine) break;
    line += escaped;
    i += length;
  }
  return line;
}

void AssuanUnescapeAppend(std::string_view escaped, SecretUtf8* out) {
  for (size_t i = 0; i < escaped.size(); ++i) {
    const int high = (escaped[i] == '%' && i + 2 < escaped.size()) ? HexValue(escaped[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(escaped[i + 2]) : -1;
    if (low >= 0) {
      out->push_back(static_cast<char>(high << 4 | low));
      i += 2;
    } else {
      out->push_back(escaped[i]);
    }
  }
}

}  // namespace kavrin::platform::ui
