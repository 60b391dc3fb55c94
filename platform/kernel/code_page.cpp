#include "internal/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <map>
#include <string>
#include <utility>

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

// Opening a descriptor loads the converter module and closing it unloads it
// again, which costs far more than a short conversion; so each thread keeps
// the descriptors it opened, one per (to, from) pair, for its lifetime.
// Failed opens are not kept: an unsupported code page stays unsupported and
// keeping them would let arbitrary code page numbers grow the cache.
class DescriptorCache {
 public:
  DescriptorCache() = default;
  DescriptorCache(const DescriptorCache&) = delete;
  DescriptorCache& operator=(const DescriptorCache&) = delete;
  ~DescriptorCache() {
    for (auto& [names, cd] : descriptors_) iconv_close(cd);
    gone_ = true;
  }

  // This thread's cache, or nullptr once it has been destroyed: destructors
  // that run at thread or process exit may still convert text.
  static DescriptorCache* ForThisThread() {
    if (gone_) return nullptr;
    thread_local DescriptorCache cache;
    return &cache;
  }

  // A descriptor in its initial state, or (iconv_t)-1 when the pair cannot
  // be converted.
  iconv_t Get(const std::string& to, const std::string& from) {
    const auto key = std::make_pair(to, from);
    auto it = descriptors_.find(key);
    if (it == descriptors_.end()) {
      const iconv_t cd = iconv_open(to.c_str(), from.c_str());
      if (cd == kInvalid) return kInvalid;
      it = descriptors_.emplace(key, cd).first;
    }
    // A previous conversion may have stopped on an error mid-sequence.
    iconv(it->second, nullptr, nullptr, nullptr, nullptr);
    return it->second;
  }

  static inline const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);

 private:
  static inline thread_local bool gone_ = false;  // trivially destructible, so valid to the end
  std::map<std::pair<std::string, std::string>, iconv_t> descriptors_;
};

// A descriptor borrowed from this thread's cache. Conversions never call out
// of this file while one is in use, so a descriptor has one user at a time.
// Once the cache is gone the descriptor is opened for this conversion alone.
class Iconv {
 public:
  Iconv(const std::string& to, const std::string& from) {
    if (DescriptorCache* cache = DescriptorCache::ForThisThread()) {
      cd_ = cache->Get(to, from);
    } else {
      cd_ = iconv_open(to.c_str(), from.c_str());
      owned_ = true;
    }
  }
  ~Iconv() {
    if (owned_ && ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != DescriptorCache::kInvalid; }

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
  bool owned_ = false;
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
