// The syntax of profile (INI) text: "[section]" lines, "key=value" lines,
// ';' comments and blank lines, ended by LF or CRLF. Leading and trailing
// blanks around names and values do not count; names compare ignoring case.
// The first section of a name is the one that is read and changed, and the
// first key of a name within it.
//
// Lookups and edits take one pass over the text and allocate nothing per line;
// edits are planned as a range of whole lines and their replacement, so that
// the caller can splice them into the file's bytes without re-encoding the
// rest. The text is UTF-16, or, for a file that is plain ASCII, its bytes as
// they are (CharT char), so that big files are parsed where they were read.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavrin::platform {

template <class CharT>
using ProfileView = std::basic_string_view<CharT>;

// The raw value of key in section, blanks trimmed and quotes kept.
template <class CharT>
std::optional<ProfileView<CharT>> FindProfileValue(ProfileView<CharT> text, std::u16string_view section,
                                                   std::u16string_view key);

// The value as the profile functions return it: a value enclosed in a pair of
// double or of single quotes loses them.
template <class CharT>
ProfileView<CharT> StripProfileQuotes(ProfileView<CharT> value);

// Every section name, in file order.
template <class CharT>
std::vector<ProfileView<CharT>> ProfileSectionNames(ProfileView<CharT> text);

// The key names of section, in file order; nullopt when there is no such section.
template <class CharT>
std::optional<std::vector<ProfileView<CharT>>> ProfileKeyNames(ProfileView<CharT> text, std::u16string_view section);

// Lines [first_line, end_line) of the text are replaced by text. Line n starts
// after the n-th LF; the line number one past the last line means the end.
struct ProfileLineEdit {
  size_t first_line = 0;
  size_t end_line = 0;
  std::u16string text;
};

// The edits that set, delete a key, or delete a section; nullopt when the
// text already is as asked.
template <class CharT>
std::optional<ProfileLineEdit> PlanProfileSet(ProfileView<CharT> text, std::u16string_view section,
                                              std::u16string_view key, std::u16string_view value);
template <class CharT>
std::optional<ProfileLineEdit> PlanProfileDeleteKey(ProfileView<CharT> text, std::u16string_view section,
                                                    std::u16string_view key);
template <class CharT>
std::optional<ProfileLineEdit> PlanProfileDeleteSection(ProfileView<CharT> text, std::u16string_view section);

// Instantiated for char and char16_t in profile_syntax.cpp.

}  // namespace kavrin::platform
