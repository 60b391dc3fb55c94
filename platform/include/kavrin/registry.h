// advapi32's registry role: keys and typed values in two persistent hives,
// HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, with HKEY_CLASSES_ROOT as
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes. Several threads and processes may use
// one hive at once. Beside the Win32 functions, the layer offers transactions
// that make a group of writes all-or-nothing, and read-only keys that stand in
// for an access-control list granting only read access.
//
// Each thread keeps its own connection to a hive, closed when the thread ends.
// A child made by fork() may use the registry only if no thread of its parent
// had that hive open at the fork (the file locks beneath belong to
// processes); otherwise the child must exec first.
#pragma once

#include <kavrin/errors.h>
#include <kavrin/types.h>

// Predefined keys: their Windows values, sign-extended to pointer width.
#define HKEY_CLASSES_ROOT ((HKEY)(intptr_t)(int32_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(intptr_t)(int32_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(intptr_t)(int32_t)0x80000002u)
#define HKEY_USERS ((HKEY)(intptr_t)(int32_t)0x80000003u)

// Key access rights.
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ 0x20019
#define KEY_EXECUTE 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

// Options of RegCreateKeyExW and RegOpenKeyExW.
#define REG_OPTION_RESERVED 0x0L
#define REG_OPTION_NON_VOLATILE 0x0L
#define REG_OPTION_VOLATILE 0x1L
#define REG_OPTION_CREATE_LINK 0x2L
#define REG_OPTION_BACKUP_RESTORE 0x4L
#define REG_OPTION_OPEN_LINK 0x8L

// Dispositions of RegCreateKeyExW.
#define REG_CREATED_NEW_KEY 0x1L
#define REG_OPENED_EXISTING_KEY 0x2L

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11


// Last-write times are FILETIMEs (100 ns ticks since 1601-01-01 UTC, low
// DWORD first); the structure is declared with the kernel's time functions.
struct _FILETIME;

KAVRIN_BEGIN_DECLS

KAVRIN_API LONG WINAPI RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult);
KAVRIN_API LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                       DWORD dwOptions, REGSAM samDesired,
                                       const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                       PHKEY phkResult, LPDWORD lpdwDisposition);
KAVRIN_API LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                     PHKEY phkResult);
KAVRIN_API LONG WINAPI RegCloseKey(HKEY hKey);
KAVRIN_API LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
KAVRIN_API LONG WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
KAVRIN_API LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                     LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                     struct _FILETIME* lpftLastWriteTime);
KAVRIN_API LONG WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                        LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                        LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                        LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                        LPDWORD lpcbSecurityDescriptor,
                                        struct _FILETIME* lpftLastWriteTime);

KAVRIN_API LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                        LPBYTE lpData, LPDWORD lpcbData);
KAVRIN_API LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                      const BYTE* lpData, DWORD cbData);
KAVRIN_API LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
KAVRIN_API LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                     LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);

// Transactions. Begin groups the calling thread's later writes to the hive of
// `hive` (a predefined key or any key handle of that hive) until Commit or
// Rollback: other threads and processes see all of them or none, and a
// process that dies before Commit leaves the hive as it was. Transactions nest;
// an inner Rollback undoes only the inner group. While a thread holds a
// transaction, writers of that hive in other threads and processes wait.
// Errors: ERROR_INVALID_HANDLE for an unknown handle, ERROR_TRANSACTION_NOT_ACTIVE
// for Commit or Rollback without Begin on this thread.
KAVRIN_API LONG WINAPI KavrinRegBeginTransaction(HKEY hive);
KAVRIN_API LONG WINAPI KavrinRegCommitTransaction(HKEY hive);
KAVRIN_API LONG WINAPI KavrinRegRollbackTransaction(HKEY hive);

// Marks the key root\subKey and everything beneath it read-only for the user,
// as an access-control list granting only read access would: opening or
// creating it with a write right, creating sub-keys, setting or deleting
// values and deleting keys there fail with ERROR_ACCESS_DENIED. Marking a
// missing key creates it; FALSE clears the key's own mark (a mark on an
// ancestor still applies).
KAVRIN_API LONG WINAPI KavrinRegSetKeyReadOnly(HKEY root, LPCWSTR subKey, BOOL readOnly);

KAVRIN_END_DECLS

#ifdef __cplusplus
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace kavrin {

// Owns an open registry key: closed when the object goes out of scope.
class RegKey {
 public:
  RegKey() = default;
  ~RegKey() { Close(); }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // The out-parameter for RegCreateKey*/RegOpenKeyExW (a failed call leaves it null).
  HKEY* out() {
    Close();
    return &key_;
  }
  HKEY get() const { return key_; }
  bool is_open() const { return key_ != nullptr; }
  void Close() {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = nullptr;
  }

  bool Has(LPCWSTR name) const {
    return RegQueryValueExW(key_, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }

  // A REG_SZ value up to its first null; nullopt when missing or of another type.
  std::optional<std::u16string> Text(LPCWSTR name) const {
    const auto bytes = Value(name, REG_SZ);
    if (!bytes) return std::nullopt;
    std::u16string text(bytes->size() / sizeof(WCHAR), u'\0');
    if (!text.empty()) std::memcpy(text.data(), bytes->data(), text.size() * sizeof(WCHAR));
    return text.substr(0, text.find(u'\0'));
  }

  // A REG_DWORD value; nullopt when missing, of another type or of another size.
  std::optional<DWORD> Number(LPCWSTR name) const {
    const auto bytes = Value(name, REG_DWORD);
    if (!bytes || bytes->size() != sizeof(DWORD)) return std::nullopt;
    DWORD value = 0;
    std::memcpy(&value, bytes->data(), sizeof value);
    return value;
  }

  // The bytes of a value of the given type; nullopt when missing or of another type.
  std::optional<std::vector<BYTE>> Value(LPCWSTR name, DWORD wanted_type) const {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != wanted_type) {
      return std::nullopt;
    }
    std::vector<BYTE> bytes(size);
    if (RegQueryValueExW(key_, name, nullptr, &type, bytes.data(), &size) != ERROR_SUCCESS ||
        type != wanted_type) {
      return std::nullopt;
    }
    bytes.resize(size);
    return bytes;
  }

 private:
  HKEY key_ = nullptr;
};

// A registry transaction on one hive for the lifetime of the object: begun in
// the constructor, rolled back by the destructor unless Commit ran.
class RegTransaction {
 public:
  explicit RegTransaction(HKEY hive) : hive_(hive), status_(KavrinRegBeginTransaction(hive)) {}
  ~RegTransaction() {
    if (active()) KavrinRegRollbackTransaction(hive_);
  }
  RegTransaction(const RegTransaction&) = delete;
  RegTransaction& operator=(const RegTransaction&) = delete;

  // ERROR_SUCCESS when the transaction began.
  LONG status() const { return status_; }
  bool active() const { return status_ == ERROR_SUCCESS && !finished_; }

  LONG Commit() { return Finish(&KavrinRegCommitTransaction); }
  LONG Rollback() { return Finish(&KavrinRegRollbackTransaction); }

 private:
  LONG Finish(LONG(WINAPI* end)(HKEY)) {
    if (status_ != ERROR_SUCCESS) return status_;
    if (finished_) return ERROR_TRANSACTION_NOT_ACTIVE;
    finished_ = true;
    return end(hive_);
  }

  HKEY hive_;
  LONG status_;
  bool finished_ = false;
};

}  // namespace kavrin
#endif
