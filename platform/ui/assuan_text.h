// Text encoding of the Assuan line protocol spoken with pinentry programs:
// lines of UTF-8 of at most 1000 bytes with their LF, in which '%', CR, LF and
// the other control characters travel as %XX.
#pragma once

#include <string>
#include <string_view>

#include "ui/secret_text.h"

namespace kavrin::platform::ui {

// Longest command line, without its LF.
inline constexpr size_t kAssuanMaxLine = 999;

// "VERB ARGUMENT" with the argument (UTF-8) percent-escaped. An argument too
// long for one line is cut at a character boundary: what pinentry receives is
// display text, and a shortened text is better than no dialog.
std::string AssuanCommand(std::string_view verb, std::string_view argument);

// Decodes the %XX escapes of a data line's payload and appends it to *out.
// A '%' not followed by two hex digits is kept as it is.
void AssuanUnescapeAppend(std::string_view escaped, SecretUtf8* out);

}  // namespace kavrin::platform::ui
