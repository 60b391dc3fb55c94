// The machine's ANSI code page, as the registry records it. Every ANSI
// conversion asks for it, so each thread keeps the last answer until its
// connection to HKLM sees a change to the hive.
#include <kavrin/registry.h>

#include <optional>

#include "internal/code_page.h"
#include "registry/hive_database.h"
#include "registry/key_path.h"

namespace kavrin::platform {
namespace {

using registry::HiveDatabase;

constexpr UINT kDefaultCodePage = 936;

// HKLM "SYSTEM\CurrentControlSet\Control\Nls\CodePage" value "ACP": the code
// page number as decimal text (REG_SZ), as the system keeps it.
constexpr std::u16string_view kCodePageKey[] = {u"SYSTEM", u"CurrentControlSet", u"Control", u"Nls", u"CodePage"};
constexpr std::u16string_view kAnsiValue = u"ACP";

std::optional<UINT> ParseCodePage(const registry::StoredValue& value) {
  if (value.type != REG_SZ) return std::nullopt;
  UINT number = 0;
  size_t digits = 0;
  for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
    if (unit == u'\0') break;
    if (unit < u'0' || unit > u'9' || ++digits > 5) return std::nullopt;
    number = number * 10 + (unit - u'0');
  }
  if (number == 0 || number > 0xFFFF) return std::nullopt;
  return number;
}

UINT ReadCodePage(HiveDatabase& db) {
  auto& store = db.store();
  int64_t key = registry::kRootKeyId;
  for (const auto part : kCodePageKey) {
    const auto child = store.FindChild(key, part);
    if (!child) return kDefaultCodePage;
    key = *child;
  }
  const auto value = store.Value(key, kAnsiValue);
  return value ? ParseCodePage(*value).value_or(kDefaultCodePage) : kDefaultCodePage;
}

struct CachedCodePage {
  HiveDatabase::ChangeStamp stamp;
  UINT code_page = 0;
};

}  // namespace

UINT AnsiCodePage() {
  thread_local CachedCodePage cache;
  try {
    HiveDatabase& db = registry::ThreadHive(registry::Hive::kLocalMachine);
    const auto stamp = db.Stamp();
    if (cache.code_page == 0 || !(cache.stamp == stamp)) cache = CachedCodePage{stamp, ReadCodePage(db)};
    return cache.code_page;
  } catch (...) {
    return kDefaultCodePage;  // an unreadable registry leaves the default
  }
}

}  // namespace kavrin::platform
