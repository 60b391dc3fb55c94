// Archive over registry values under HKEY_CURRENT_USER: each item is one
// REG_BINARY value holding exactly the item's bytes. SetValueName names the
// key and value of the next item; every Read and Write opens and closes the key.
#pragma once

#include "archive_file.h"

#include <string>

class CRegArchiveFile final : public IArchiveFile {
 public:
  explicit CRegArchiveFile(int mode) : IArchiveFile(mode) {}

  // Without a buffer: *size receives the value's size; fails when the value
  // is missing. With one: fails when the value is larger than *size; else
  // reads it and sets *size to its size.
  bool Read(void* buffer, DWORD* size) override;
  // Creates the key when missing and sets the value.
  bool Write(const void* buffer, DWORD size) override;
  bool SetValueName(const WCHAR* key_path, const WCHAR* value_name) override;

 private:
  std::u16string key_path_;
  std::u16string value_name_;
  bool named_ = false;
};
