#include "archive_file.h"

#include <cstring>

CArchiveFile::CArchiveFile() : IArchiveFile(kStoring) {}

CArchiveFile::CArchiveFile(std::span<const BYTE> image)
    : IArchiveFile(kLoading), image_(image.begin(), image.end()) {}

bool CArchiveFile::Read(void* buffer, DWORD* size) {
  if (size == nullptr || IsStoring()) return false;
  if (buffer == nullptr) {
    if (Remaining() < 4) return false;
    const BYTE* p = image_.data() + position_;
    *size = DWORD{p[0]} | DWORD{p[1]} << 8 | DWORD{p[2]} << 16 | DWORD{p[3]} << 24;
    position_ += 4;
    return true;
  }
  if (Remaining() < *size) return false;
  std::memcpy(buffer, image_.data() + position_, *size);
  position_ += *size;
  return true;
}

bool CArchiveFile::Write(const void* buffer, DWORD size) {
  if (!IsStoring() || (buffer == nullptr && size != 0)) return false;
  const BYTE length[4] = {static_cast<BYTE>(size), static_cast<BYTE>(size >> 8),
                          static_cast<BYTE>(size >> 16), static_cast<BYTE>(size >> 24)};
  image_.insert(image_.end(), length, length + 4);
  const BYTE* bytes = static_cast<const BYTE*>(buffer);
  image_.insert(image_.end(), bytes, bytes + size);
  return true;
}
