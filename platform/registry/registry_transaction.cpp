// Transactions over the calling thread's writes to one hive.
#include <kavrin/registry.h>

#include "registry/registry_call.h"

using namespace kavrin::platform::registry;

namespace {

template <class Step>
LONG OnHive(HKEY hive, Step step) {
  return Guarded([&]() -> LONG {
    BoundKey key;
    if (const LONG error = BindKey(hive, &key)) return error;
    return step(*key.db);
  });
}

}  // namespace

KAVRIN_BEGIN_DECLS

KAVRIN_API LONG WINAPI KavrinRegBeginTransaction(HKEY hive) {
  return OnHive(hive, [](HiveDatabase& db) -> LONG { return db.BeginTransaction(); });
}

KAVRIN_API LONG WINAPI KavrinRegCommitTransaction(HKEY hive) {
  return OnHive(hive, [](HiveDatabase& db) -> LONG { return db.CommitTransaction(); });
}

KAVRIN_API LONG WINAPI KavrinRegRollbackTransaction(HKEY hive) {
  return OnHive(hive, [](HiveDatabase& db) -> LONG { return db.RollbackTransaction(); });
}

KAVRIN_END_DECLS
