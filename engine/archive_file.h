// Archives: where a serializable object's items go. An archive is made for
// storing or for loading and stays that way.
//
// CArchiveFile holds the image of a container file: every item is a 4-byte
// little-endian length followed by that many bytes. The image is built (or
// read) whole in memory, so that the file can be replaced in one atomic step
// and a load sees one complete file.
#pragma once

#include "secure_buffer.h"

#include <kavrin/types.h>

#include <cstddef>
#include <span>

class IArchiveFile {
 public:
  static constexpr int kStoring = 0;
  static constexpr int kLoading = 1;

  explicit IArchiveFile(int mode) : loading_(mode == kLoading) {}
  virtual ~IArchiveFile() = default;
  IArchiveFile(const IArchiveFile&) = delete;
  IArchiveFile& operator=(const IArchiveFile&) = delete;

  // Without a buffer: *size receives the length of the next item. With one:
  // reads that item's bytes; *size gives the room and receives the length.
  virtual bool Read(void* buffer, DWORD* size) = 0;
  virtual bool Write(const void* buffer, DWORD size) = 0;
  // Names the place of the next item in archives that have named places.
  virtual bool SetValueName(const WCHAR* key_path, const WCHAR* value_name) { return false; }

  bool IsStoring() const { return !loading_; }

 private:
  bool loading_;
};

class CArchiveFile final : public IArchiveFile {
 public:
  // A storing archive that starts empty.
  CArchiveFile();
  // A loading archive over a copy of a file's contents.
  explicit CArchiveFile(std::span<const BYTE> image);

  // A null buffer reads the next 4-byte length; a buffer receives exactly
  // *size bytes. Both fail when the image has fewer bytes left.
  bool Read(void* buffer, DWORD* size) override;
  bool Write(const void* buffer, DWORD size) override;

  const SecureBytes& Image() const { return image_; }
  size_t Remaining() const { return image_.size() - position_; }

 private:
  SecureBytes image_;
  size_t position_ = 0;
};
