// A profile file's bytes and the UTF-16 text they hold. Files that start with
// a byte-order mark are UTF-8 or UTF-16LE and stay so; all others are in the
// machine's ANSI code page, which is also what new files get. Every encoding
// keeps LF a character of its own, so line n of the text is line n of the
// bytes and an edit is spliced into the bytes as they are, leaving every
// other line byte for byte.
#pragma once

#include <string>
#include <string_view>

#include "internal/profile_syntax.h"

namespace kavrin::platform {

class ProfileBytes {
 public:
  explicit ProfileBytes(std::string bytes);

  // Calls parse with the text: the bytes themselves (std::string_view) when
  // the file is plain ASCII in the ANSI code page, else the decoded UTF-16
  // (std::u16string_view). Returns what parse returns.
  template <class Parse>
  decltype(auto) WithText(Parse&& parse) const {
    return ascii_ ? parse(std::string_view(bytes_)) : parse(std::u16string_view(text_));
  }

  // The file's bytes with edit applied: the bytes before the edited lines,
  // the replacement, and the bytes after, which still point into this object.
  struct Edited {
    std::string_view before;
    std::string replacement;
    std::string_view after;
  };
  Edited Apply(const ProfileLineEdit& edit) const;

 private:
  enum class Encoding { kAnsi, kUtf8, kUtf16Le };

  size_t OffsetOfLine(size_t line) const;
  std::string Encode(std::u16string_view text) const;

  std::string bytes_;
  Encoding encoding_ = Encoding::kAnsi;
  size_t bom_ = 0;
  bool ascii_ = false;
  std::u16string text_;  // empty when ascii_
};

}  // namespace kavrin::platform
