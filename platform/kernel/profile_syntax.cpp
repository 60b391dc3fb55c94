#include "internal/profile_syntax.h"

#include "internal/utf.h"

namespace kavrin::platform {
namespace {

// A character of the text as UTF-16 (the byte form holds ASCII only).
char16_t Unit(char c) { return static_cast<unsigned char>(c); }
char16_t Unit(char16_t c) { return c; }

template <class CharT>
bool IsBlank(CharT c) {
  return c == CharT(' ') || c == CharT('\t');
}

template <class CharT>
ProfileView<CharT> Trim(ProfileView<CharT> text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

template <class CharT>
void AppendTo(std::u16string& out, ProfileView<CharT> text) {
  for (CharT c : text) out.push_back(Unit(c));
}

// EqualsIgnoreCase with a quick path for ASCII, which is what nearly every
// name in a profile is: a big section compares many names per call.
template <class CharT>
bool SameName(ProfileView<CharT> a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char16_t x = Unit(a[i]);
    const char16_t y = b[i];
    if (x == y) continue;
    if (x < 0x80 && y < 0x80) {
      const char16_t folded = x | 0x20;
      if (folded != (y | 0x20) || folded < u'a' || folded > u'z') return false;
      continue;
    }
    if (!EqualsIgnoreCase(std::u16string_view(&x, 1), b.substr(i, 1))) return false;
  }
  return true;
}

enum class LineKind { kBlank, kComment, kSection, kEntry };

template <class CharT>
struct Line {
  size_t number = 0;
  LineKind kind = LineKind::kBlank;
  ProfileView<CharT> name;   // the section's or the key's
  ProfileView<CharT> value;  // an entry's
};

template <class CharT>
void Classify(ProfileView<CharT> content, Line<CharT>& line) {
  constexpr size_t npos = ProfileView<CharT>::npos;
  content = Trim(content);
  line.name = {};
  line.value = {};
  if (content.empty()) {
    line.kind = LineKind::kBlank;
  } else if (content.front() == CharT('[')) {
    line.kind = LineKind::kSection;
    const size_t close = content.find(CharT(']'));
    line.name = Trim(content.substr(1, close == npos ? npos : close - 1));
  } else if (content.front() == CharT(';')) {
    line.kind = LineKind::kComment;
  } else {
    line.kind = LineKind::kEntry;
    const size_t equals = content.find(CharT('='));
    line.name = Trim(content.substr(0, equals));
    if (equals != npos) line.value = Trim(content.substr(equals + 1));
  }
}

// Reads the text line by line.
template <class CharT>
class LineScanner {
 public:
  explicit LineScanner(ProfileView<CharT> text) : text_(text) {}

  bool Next(Line<CharT>& line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find(CharT('\n'), pos_);
    const bool terminated = end != ProfileView<CharT>::npos;
    if (!terminated) end = text_.size();
    ProfileView<CharT> content = text_.substr(pos_, end - pos_);
    if (!content.empty() && content.back() == CharT('\r')) content.remove_suffix(1);
    pos_ = terminated ? end + 1 : end;
    line.number = count_++;
    Classify(content, line);
    return true;
  }

  // Lines read so far: after the last one, the number one past the end.
  size_t count() const { return count_; }

  // True when the text ends in a line without LF, which an appended line
  // must first terminate.
  bool open_end() const { return !text_.empty() && text_.back() != CharT('\n'); }

 private:
  ProfileView<CharT> text_;
  size_t pos_ = 0;
  size_t count_ = 0;
};

template <class CharT>
bool IsSection(const Line<CharT>& line, std::u16string_view section) {
  return line.kind == LineKind::kSection && SameName(line.name, section);
}

template <class CharT>
bool IsKey(const Line<CharT>& line, std::u16string_view key) {
  return line.kind == LineKind::kEntry && SameName(line.name, key);
}

// Moves the scanner to the header of section; false when there is none.
template <class CharT>
bool SeekSection(LineScanner<CharT>& scan, Line<CharT>& line, std::u16string_view section) {
  while (scan.Next(line)) {
    if (IsSection(line, section)) return true;
  }
  return false;
}

template <class CharT>
std::u16string EntryLine(ProfileView<CharT> key, std::u16string_view value) {
  std::u16string text;
  text.reserve(key.size() + value.size() + 3);
  AppendTo(text, key);
  text.append(u"=").append(value).append(u"\r\n");
  return text;
}

template <class CharT>
bool SameValue(ProfileView<CharT> stored, std::u16string_view value) {
  if (stored.size() != value.size()) return false;
  for (size_t i = 0; i < value.size(); ++i) {
    if (Unit(stored[i]) != value[i]) return false;
  }
  return true;
}

}  // namespace

template <class CharT>
std::optional<ProfileView<CharT>> FindProfileValue(ProfileView<CharT> text, std::u16string_view section,
                                                   std::u16string_view key) {
  LineScanner<CharT> scan(text);
  Line<CharT> line;
  if (!SeekSection(scan, line, section)) return std::nullopt;
  while (scan.Next(line) && line.kind != LineKind::kSection) {
    if (IsKey(line, key)) return line.value;
  }
  return std::nullopt;
}

template <class CharT>
ProfileView<CharT> StripProfileQuotes(ProfileView<CharT> value) {
  if (value.size() >= 2 && (value.front() == CharT('"') || value.front() == CharT('\'')) &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

template <class CharT>
std::vector<ProfileView<CharT>> ProfileSectionNames(ProfileView<CharT> text) {
  std::vector<ProfileView<CharT>> names;
  LineScanner<CharT> scan(text);
  Line<CharT> line;
  while (scan.Next(line)) {
    // An empty name would end the null-separated list early.
    if (line.kind == LineKind::kSection && !line.name.empty()) names.push_back(line.name);
  }
  return names;
}

template <class CharT>
std::optional<std::vector<ProfileView<CharT>>> ProfileKeyNames(ProfileView<CharT> text,
                                                               std::u16string_view section) {
  LineScanner<CharT> scan(text);
  Line<CharT> line;
  if (!SeekSection(scan, line, section)) return std::nullopt;
  std::vector<ProfileView<CharT>> names;
  while (scan.Next(line) && line.kind != LineKind::kSection) {
    if (line.kind == LineKind::kEntry && !line.name.empty()) names.push_back(line.name);
  }
  return names;
}

template <class CharT>
std::optional<ProfileLineEdit> PlanProfileSet(ProfileView<CharT> text, std::u16string_view section,
                                              std::u16string_view key, std::u16string_view value) {
  LineScanner<CharT> scan(text);
  Line<CharT> line;
  if (!SeekSection(scan, line, section)) {
    // A new section at the end of the file.
    std::u16string added = scan.open_end() ? u"\r\n" : u"";
    added.append(u"[").append(section).append(u"]\r\n").append(EntryLine(std::u16string_view(key), value));
    return ProfileLineEdit{scan.count(), scan.count(), std::move(added)};
  }
  // A new key goes after the section's last non-blank line.
  size_t last_content = line.number;
  bool section_ended = false;
  while (scan.Next(line)) {
    if (line.kind == LineKind::kSection) {
      section_ended = true;
      break;
    }
    if (IsKey(line, key)) {
      if (SameValue(line.value, value)) return std::nullopt;
      return ProfileLineEdit{line.number, line.number + 1, EntryLine(line.name, value)};  // keeps the key's spelling
    }
    if (line.kind != LineKind::kBlank) last_content = line.number;
  }
  const size_t at = last_content + 1;
  const bool at_open_end = !section_ended && at == scan.count() && scan.open_end();
  std::u16string added = at_open_end ? u"\r\n" : u"";
  added.append(EntryLine(std::u16string_view(key), value));
  return ProfileLineEdit{at, at, std::move(added)};
}

template <class CharT>
std::optional<ProfileLineEdit> PlanProfileDeleteKey(ProfileView<CharT> text, std::u16string_view section,
                                                    std::u16string_view key) {
  LineScanner<CharT> scan(text);
  Line<CharT> line;
  if (!SeekSection(scan, line, section)) return std::nullopt;
  while (scan.Next(line) && line.kind != LineKind::kSection) {
    if (IsKey(line, key)) return ProfileLineEdit{line.number, line.number + 1, {}};
  }
  return std::nullopt;
}

template <class CharT>
std::optional<ProfileLineEdit> PlanProfileDeleteSection(ProfileView<CharT> text, std::u16string_view section) {
  LineScanner<CharT> scan(text);
  Line<CharT> line;
  if (!SeekSection(scan, line, section)) return std::nullopt;
  const size_t first = line.number;
  while (scan.Next(line)) {
    if (line.kind == LineKind::kSection) return ProfileLineEdit{first, line.number, {}};
  }
  return ProfileLineEdit{first, scan.count(), {}};
}

#define KAVRIN_PROFILE_SYNTAX_FOR(CharT)                                                                           \
  template std::optional<ProfileView<CharT>> FindProfileValue(ProfileView<CharT>, std::u16string_view,             \
                                                              std::u16string_view);                                \
  template ProfileView<CharT> StripProfileQuotes(ProfileView<CharT>);                                              \
  template std::vector<ProfileView<CharT>> ProfileSectionNames(ProfileView<CharT>);                                \
  template std::optional<std::vector<ProfileView<CharT>>> ProfileKeyNames(ProfileView<CharT>, std::u16string_view); \
  template std::optional<ProfileLineEdit> PlanProfileSet(ProfileView<CharT>, std::u16string_view,                  \
                                                         std::u16string_view, std::u16string_view);                \
  template std::optional<ProfileLineEdit> PlanProfileDeleteKey(ProfileView<CharT>, std::u16string_view,            \
                                                               std::u16string_view);                               \
  template std::optional<ProfileLineEdit> PlanProfileDeleteSection(ProfileView<CharT>, std::u16string_view);
KAVRIN_PROFILE_SYNTAX_FOR(char)
KAVRIN_PROFILE_SYNTAX_FOR(char16_t)
#undef KAVRIN_PROFILE_SYNTAX_FOR

}  // namespace kavrin::platform
