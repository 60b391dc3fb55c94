#include "internal/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <string>

#include "internal/utf.h"

namespace kavrin::platform {
namespace {

constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view kUtf16LeReplacement = "\xFD\xFF";   // U+FFFD

// Windows code page numbers whose iconv name is not simply "CP<number>".
std::string IconvName(UINT cp) {
  switch (cp) {
    case 65001: return "UTF-8";
    case 65000: return "UTF-7";
    case 20127: return "ASCII";
    case 936: return "GBK";
    case 54936: return "GB18030";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 20932:
    case 51932: return "EUC-JP";
    case 51949: return "EUC-KR";
    default:
      if (cp >= 28591 && cp <= 28599) return "ISO-8859-" + std::to_string(cp - 28590);
      return "CP" + std::to_string(cp);
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

  // Converts what is left of the input; returns false on ill-formed input or
  // an unmappable character, leaving *in at the offending position so the
  // caller can replace it and carry on.
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
    iconv(cd_, nullptr, nullptr, &dst, &dst_left);  // shift back to the initial state
    out.append(buffer, dst - buffer);
    return true;
  }

 private:
  iconv_t cd_;
};

char16_t UnitAt(const char* le) {
  return static_cast<char16_t>(static_cast<unsigned char>(le[0]) | (static_cast<unsigned char>(le[1]) << 8));
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Size in bytes of the UTF-16LE character at `in`: a well-formed surrogate
// pair is one character of two units, anything else one unit.
size_t CharacterSize(const char* in, size_t left) {
  if (left >= 4 && IsHighSurrogate(UnitAt(in)) && IsLowSurrogate(UnitAt(in + 2))) return 4;
  return left >= 2 ? 2 : left;
}

// Encodes text; on each failure either gives up (replacement == nullptr) or
// writes the replacement and skips the offending character.
std::optional<EncodedText> Encode(UINT cp, std::u16string_view text, const std::string_view* replacement) {
  Iconv cd(IconvName(cp), "UTF-16LE");
  if (!cd.ok()) return std::nullopt;
  const std::string wide = ToUtf16Le(text);
  EncodedText result;
  const char* in = wide.data();
  size_t left = wide.size();
  while (!cd.Convert(&in, &left, result.bytes)) {
    if (replacement == nullptr) return std::nullopt;
    result.bytes.append(*replacement);
    result.replaced = true;
    const size_t skip = CharacterSize(in, left);
    in += skip;
    left -= skip;
  }
  return result;
}

}  // namespace

bool IsCodePageSupported(UINT cp) { return Iconv("UTF-16LE", IconvName(cp)).ok(); }

std::optional<std::u16string> BytesToUtf16(UINT cp, std::string_view bytes, bool strict) {
  Iconv cd("UTF-16LE", IconvName(cp));
  if (!cd.ok()) return std::nullopt;
  std::string out;
  const char* in = bytes.data();
  size_t left = bytes.size();
  while (!cd.Convert(&in, &left, out)) {
    if (strict) return std::nullopt;
    out.append(kUtf16LeReplacement);
    ++in;
    --left;
  }
  return FromUtf16Le(out);
}

std::optional<std::string> Utf16ToBytes(UINT cp, std::u16string_view text, bool strict) {
  const std::string_view replacement = cp == 65001 ? kUtf8Replacement : "?";
  auto encoded = Encode(cp, text, strict ? nullptr : &replacement);
  if (!encoded) return std::nullopt;
  return std::move(encoded->bytes);
}

std::optional<EncodedText> Utf16ToBytesReplacing(UINT cp, std::u16string_view text,
                                                 std::string_view replacement) {
  return Encode(cp, text, &replacement);
}

std::u16string AnsiToUtf16(std::string_view bytes) {
  return BytesToUtf16(AnsiCodePage(), bytes, false).value_or(ToUtf16(bytes));
}

std::string Utf16ToAnsi(std::u16string_view text) {
  return Utf16ToBytes(AnsiCodePage(), text, false).value_or(ToUtf8(text));
}

}  // namespace kavrin::platform
