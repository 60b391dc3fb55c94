#include "key_container.h"

#include "archive_file.h"
#include "container_name.h"

#include <kavrin/errors.h>
#include <orvex/container_storage.h>

#include <cstring>

namespace {

// Largest data item accepted from storage: the private blob of the largest
// key the engine can generate (65535 bits) is below 37 KB.
constexpr DWORD kMaxStoredDataSize = 64 * 1024;

const std::array<const char16_t*, 6>& ValueNames(bool signature) {
  return signature ? orvex::kSignatureSlotValues : orvex::kExchangeSlotValues;
}

void PutLittleEndian(BYTE* out, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
}

uint64_t GetLittleEndian(const BYTE* in, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= uint64_t{in[i]} << (8 * i);
  return value;
}

bool WriteItem(IArchiveFile& archive, const std::u16string& key_path, const char16_t* value,
               const void* bytes, DWORD size) {
  archive.SetValueName(key_path.c_str(), value);
  return archive.Write(bytes, size);
}

bool WriteFixed(IArchiveFile& archive, const std::u16string& key_path, const char16_t* value,
                uint64_t number, size_t width) {
  BYTE bytes[8];
  PutLittleEndian(bytes, number, width);
  return WriteItem(archive, key_path, value, bytes, static_cast<DWORD>(width));
}

// A fixed item must be stored with exactly its width.
bool ReadFixed(IArchiveFile& archive, const std::u16string& key_path, const char16_t* value,
               size_t width, uint64_t* number) {
  archive.SetValueName(key_path.c_str(), value);
  DWORD length = 0;
  if (!archive.Read(nullptr, &length) || length != width) return false;
  BYTE bytes[8] = {};
  DWORD got = length;
  if (!archive.Read(bytes, &got) || got != width) return false;
  *number = GetLittleEndian(bytes, width);
  return true;
}

// A data item is empty or covers at least the counter masking.
bool ReadData(IArchiveFile& archive, const std::u16string& key_path, const char16_t* value,
              SecureBytes* data) {
  archive.SetValueName(key_path.c_str(), value);
  DWORD length = 0;
  if (!archive.Read(nullptr, &length)) return false;
  if (length == 0) return true;
  if (length < kCounterMaskSize || length > kMaxStoredDataSize) return false;
  data->resize(length);
  DWORD got = length;
  return archive.Read(data->data(), &got) && got == length;
}

}  // namespace

CKeyContainer::CKeyContainer() = default;

bool CKeyContainer::IsFileContainer() const { return (flags_ & orvex::kContainerIsFile) != 0; }

bool CKeyContainer::SetFileFlag(DWORD acquire_flags) {
  if ((acquire_flags & orvex::kContainerIsFile) != 0) flags_ |= orvex::kContainerIsFile;
  return true;
}

int CKeyContainer::SlotIndex(DWORD key_spec) {
  switch (key_spec) {
    case AT_KEYEXCHANGE:
    case CALG_RSA_KEYX:
      return kExchange;
    case AT_SIGNATURE:
    case CALG_RSA_SIGN:
      return kSignature;
    default:
      return -1;
  }
}

CKeyObject* CKeyContainer::GetKeySlot(DWORD key_spec, bool any_slot) {
  const int index = SlotIndex(key_spec);
  if (index >= 0) {
    CKeyObject& slot = Slot(index);
    const ALG_ID wanted = index == kSignature ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    if (any_slot || slot.Algid() == wanted) return &slot;
  }
  SetLastError(NTE_NO_KEY);
  return nullptr;
}

std::shared_ptr<CKeyObject> CKeyContainer::SlotReference(CKeyObject* slot) {
  return std::shared_ptr<CKeyObject>(shared_from_this(), slot);
}

LONG CKeyContainer::GetRestrictTimes(DWORD key_spec) const {
  const int index = SlotIndex(key_spec);
  return index < 0 ? 0 : restrict_times_[index].load();
}

bool CKeyContainer::SetRestrictTimes(DWORD key_spec, LONG value) {
  const int index = SlotIndex(key_spec);
  if (index < 0) return false;
  restrict_times_[index] = value;
  return true;
}

int64_t CKeyContainer::GetLockTime(DWORD key_spec) const {
  const int index = SlotIndex(key_spec);
  return index < 0 ? 0 : lock_time_[index].load();
}

bool CKeyContainer::SetLockTime(DWORD key_spec, int64_t value) {
  const int index = SlotIndex(key_spec);
  if (index < 0) return false;
  lock_time_[index] = value;
  return true;
}

DWORD CKeyContainer::GetDeadlockTimes(DWORD key_spec) const {
  const int index = SlotIndex(key_spec);
  return index < 0 ? 0 : deadlock_times_[index].load();
}

bool CKeyContainer::SetDeadlockTimes(DWORD key_spec, DWORD value) {
  const int index = SlotIndex(key_spec);
  if (index < 0) return false;
  deadlock_times_[index] = value;
  return true;
}

void CKeyContainer::ResetCounters() {
  for (int index : {kExchange, kSignature}) {
    restrict_times_[index] = orvex::kResetRestrictTimes;
    lock_time_[index] = orvex::kNeverFailedLockTime;
    deadlock_times_[index] = orvex::kResetDeadlockTimes;
  }
}

SlotCounters CKeyContainer::GetCounters(DWORD key_spec) const {
  const int index = SlotIndex(key_spec);
  return index < 0 ? SlotCounters{0, 0, 0} : Counters(index);
}

bool CKeyContainer::SetCounters(DWORD key_spec, const SlotCounters& counters) {
  const int index = SlotIndex(key_spec);
  if (index < 0) return false;
  restrict_times_[index] = counters.restrict_times;
  lock_time_[index] = counters.lock_time;
  deadlock_times_[index] = counters.deadlock_times;
  return true;
}

DWORD CKeyContainer::SetKeyPin(DWORD key_spec, const WCHAR* pin, DWORD pin_len) {
  CKeyObject* slot = GetKeySlot(key_spec, false);
  if (slot == nullptr) return NTE_FAIL;
  if (!slot->SetPin(pin, pin_len)) {
    SetLastError(NTE_FAIL);
    return NTE_FAIL;
  }
  slot->SetAttributes(CKeyObject::KEYF_USER_PIN);
  return 0;
}

DWORD CKeyContainer::VerifyKeyPin(DWORD key_spec, const WCHAR* pin, DWORD pin_len) {
  CKeyObject* slot = GetKeySlot(key_spec, false);
  if (slot == nullptr) return NTE_FAIL;
  if (!slot->VerifyPin(pin, pin_len)) {
    SetLastError(NTE_PERM);
    return NTE_FAIL;
  }
  return 0;
}

SlotCounters CKeyContainer::Counters(int index) const {
  return SlotCounters{restrict_times_[index].load(), lock_time_[index].load(),
                      deadlock_times_[index].load()};
}

DWORD CKeyContainer::Serialize(IArchiveFile& archive) {
  return archive.IsStoring() ? SaveTo(archive) : LoadFrom(archive);
}

// A key with a masked blob is saved as it is. A key that has data but no
// masked blob yet (its PIN is still to be set) is not written: storage keeps
// the slot it had, since writing the key would mean a length without data or
// an unprotected private key.
CKeyContainer::StoredSlot CKeyContainer::SlotForSave(int index) const {
  const CKeyObject& key = Slot(index);
  SecureBytes masked = key.MaskedBlob();
  if (!masked.empty()) return StoredSlot{key.Algid(), key.Attributes(), std::move(masked)};
  if (key.HasKeyData()) {
    std::lock_guard<std::mutex> guard(stored_lock_);
    return stored_[index];
  }
  return StoredSlot{key.Algid(), key.Attributes(), {}};
}

DWORD CKeyContainer::SaveSlot(IArchiveFile& archive, int index) const {
  const auto& names = ValueNames(index == kSignature);
  const std::u16string key_path = ContainerKeyPath(name_);
  StoredSlot slot = SlotForSave(index);
  const SlotCounters counters = Counters(index);
  if (!slot.data.empty()) {
    if (slot.data.size() < kCounterMaskSize) return NTE_FAIL;
    ApplyCounterMask(slot.data, counters, slot.flags);
  }
  const bool written =
      WriteFixed(archive, key_path, names[0], slot.algid, 4) &&
      WriteFixed(archive, key_path, names[1], slot.flags, 4) &&
      WriteFixed(archive, key_path, names[2], static_cast<uint32_t>(counters.restrict_times), 4) &&
      WriteFixed(archive, key_path, names[3], static_cast<uint64_t>(counters.lock_time), 8) &&
      WriteFixed(archive, key_path, names[4], counters.deadlock_times, 4) &&
      WriteItem(archive, key_path, names[5], slot.data.data(),
                static_cast<DWORD>(slot.data.size()));
  return written ? 0 : NTE_FAIL;
}

DWORD CKeyContainer::SaveTo(IArchiveFile& archive) const {
  if (!archive.IsStoring()) return NTE_FAIL;
  if (DWORD result = SaveSlot(archive, kSignature); result != 0) return result;
  return SaveSlot(archive, kExchange);
}

void CKeyContainer::MarkSaved() {
  std::array<StoredSlot, 2> saved = {SlotForSave(kExchange), SlotForSave(kSignature)};
  std::lock_guard<std::mutex> guard(stored_lock_);
  stored_ = std::move(saved);
}

DWORD CKeyContainer::LoadSlot(IArchiveFile& archive, int index) {
  const auto& names = ValueNames(index == kSignature);
  const std::u16string key_path = ContainerKeyPath(name_);
  uint64_t algid = 0, flags = 0, restrict_times = 0, lock_time = 0, deadlock_times = 0;
  SecureBytes data;
  const bool read = ReadFixed(archive, key_path, names[0], 4, &algid) &&
                    ReadFixed(archive, key_path, names[1], 4, &flags) &&
                    ReadFixed(archive, key_path, names[2], 4, &restrict_times) &&
                    ReadFixed(archive, key_path, names[3], 8, &lock_time) &&
                    ReadFixed(archive, key_path, names[4], 4, &deadlock_times) &&
                    ReadData(archive, key_path, names[5], &data);
  if (!read) return NTE_KEYSET_ENTRY_BAD;

  const SlotCounters counters{static_cast<LONG>(static_cast<uint32_t>(restrict_times)),
                              static_cast<int64_t>(lock_time),
                              static_cast<DWORD>(deadlock_times)};
  if (!data.empty()) ApplyCounterMask(data, counters, static_cast<DWORD>(flags));

  CKeyObject& key = Slot(index);
  key.SetAlgid(static_cast<ALG_ID>(algid));
  key.SetAttributes(static_cast<DWORD>(flags));
  if (!data.empty()) key.SetMaskedBlob(data);
  restrict_times_[index] = counters.restrict_times;
  lock_time_[index] = counters.lock_time;
  deadlock_times_[index] = counters.deadlock_times;
  std::lock_guard<std::mutex> guard(stored_lock_);
  stored_[index] = StoredSlot{static_cast<ALG_ID>(algid), static_cast<DWORD>(flags),
                              std::move(data)};
  return 0;
}

DWORD CKeyContainer::LoadFrom(IArchiveFile& archive) {
  if (archive.IsStoring()) return NTE_FAIL;
  if (dynamic_cast<CArchiveFile*>(&archive) != nullptr) flags_ |= orvex::kContainerIsFile;
  if (DWORD result = LoadSlot(archive, kSignature); result != 0) return result;
  return LoadSlot(archive, kExchange);
}
