#include "internal/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <string>

#include "internal/utf.h"

namespace kavrin::platform {
namespace {

std::string IconvName(UINT cp) {
  switch (cp) {
    case 65001: return "UTF-8";
    case 20127: return "ASCII";
    case 28591: return "ISO-8859-1";
    case 936: return "GBK";
    default: return "CP" + std::to_string(cp);
  }
}

class Iconv {
 public:
  Iconv(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts one input unit run; returns false on ill-formed input or an
  // unmappable character, leaving *in at the offending position.
  bool Convert(const char** in, size_t* in_left, std::string& out) {
    char buffer[256];
    while (*in_left > 0) {
      char* dst = buffer;
      size_t dst_left = sizeof(buffer);
      const size_t rc = iconv(cd_, const_cast<char**>(in), in_left, &dst, &dst_left);
      out.append(buffer, dst - buffer);
      if (rc == static_cast<size_t>(-1) && errno != E2BIG) return false;
    }
    char* dst = buffer;
    size_t dst_left = sizeof(buffer);
    iconv(cd_, nullptr, nullptr, &dst, &dst_left);
    out.append(buffer, dst - buffer);
    return true;
  }

 private:
  iconv_t cd_;
};

std::u16string FromUtf16Le(const std::string& bytes) {
  std::u16string text(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                    (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return text;
}

std::string ToUtf16Le(std::u16string_view text) {
  std::string bytes(text.size() * 2, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  return bytes;
}

}  // namespace

std::optional<std::u16string> BytesToUtf16(UINT cp, std::string_view bytes, bool strict) {
  Iconv cd("UTF-16LE", IconvName(cp));
  if (!cd.ok()) return std::nullopt;
  std::string out;
  const char* in = bytes.data();
  size_t left = bytes.size();
  while (!cd.Convert(&in, &left, out)) {
    if (strict) return std::nullopt;
    out.append("\xFD\xFF", 2);  // U+FFFD, little-endian
    ++in;
    --left;
  }
  return FromUtf16Le(out);
}

std::optional<std::string> Utf16ToBytes(UINT cp, std::u16string_view text, bool strict) {
  Iconv cd(IconvName(cp), "UTF-16LE");
  if (!cd.ok()) return std::nullopt;
  const std::string wide = ToUtf16Le(text);
  std::string out;
  const char* in = wide.data();
  size_t left = wide.size();
  while (!cd.Convert(&in, &left, out)) {
    if (strict) return std::nullopt;
    out.push_back('?');
    // Skip the whole offending character (a surrogate pair is two units).
    const auto unit = static_cast<char16_t>(static_cast<unsigned char>(in[0]) |
                                            (static_cast<unsigned char>(in[1]) << 8));
    const size_t skip = (unit >= 0xD800 && unit <= 0xDBFF && left >= 4) ? 4 : 2;
    in += skip;
    left -= skip;
  }
  return out;
}

std::u16string AnsiToUtf16(std::string_view bytes) {
  return BytesToUtf16(AnsiCodePage(), bytes, false).value_or(ToUtf16(bytes));
}

std::string Utf16ToAnsi(std::u16string_view text) {
  return Utf16ToBytes(AnsiCodePage(), text, false).value_or(ToUtf8(text));
}

}  // namespace kavrin::platform
