// An object that can be written to and read from an archive.
#pragma once

#include <kavrin/types.h>

class IArchiveFile;

class ISerializableObject {
 public:
  virtual ~ISerializableObject() = default;
  // Both return 0 or an NTE_ code.
  virtual DWORD SaveTo(IArchiveFile& archive) const = 0;
  virtual DWORD LoadFrom(IArchiveFile& archive) = 0;
};
