// The stored form of a container, written to and read from a file image in
// memory: item layout, counter masking and the limits a loaded image must keep.
#include "archive_file.h"
#include "container_name.h"
#include "key_container.h"

#include <kavrin/errors.h>
#include <orvex/container_storage.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

// width is at most 8.
void Put(Bytes& out, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

// One stored item: length, then the bytes.
void Item(Bytes& out, uint64_t value, size_t width) {
  Put(out, width, 4);
  Put(out, value, width);
}

SecureBytes Pattern(size_t size, BYTE seed) {
  SecureBytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<BYTE>(seed + 7 * i);
  return bytes;
}

std::shared_ptr<CKeyContainer> NewContainer() {
  auto container = std::make_shared<CKeyContainer>();
  container->SetName(u"Layout");
  container->ResetCounters();
  return container;
}

Bytes Save(CKeyContainer& container) {
  CArchiveFile archive;
  EXPECT_EQ(container.Serialize(archive), 0u);
  return Bytes(archive.Image().begin(), archive.Image().end());
}

DWORD Load(const Bytes& image, std::shared_ptr<CKeyContainer>* out) {
  auto container = std::make_shared<CKeyContainer>();
  container->SetName(u"Layout");
  CArchiveFile archive(image);
  const DWORD result = container->Serialize(archive);
  *out = container;
  return result;
}

TEST(ContainerLayout, NewContainerIs96BytesOfTwelveItems) {
  auto container = NewContainer();
  Bytes expected;
  for (int slot = 0; slot < 2; ++slot) {
    Item(expected, 0, 4);       // algid
    Item(expected, 0, 4);       // flags
    Item(expected, 6, 4);       // remaining allowance
    Item(expected, 840110, 8);  // never-failed marker
    Item(expected, 0, 4);       // locks so far
    Put(expected, 0, 4);        // empty data
  }
  ASSERT_EQ(expected.size(), orvex::kEmptyFileContainerSize);
  EXPECT_EQ(Save(*container), expected);
}

TEST(ContainerLayout, SaveAndLoadGiveBackTheMaskedBlobsAndCounters) {
  auto container = NewContainer();
  CKeyObject* signature = container->GetKeySlot(AT_SIGNATURE, true);
  signature->SetAlgid(CALG_RSA_SIGN);
  signature->SetAttributes(CKeyObject::KEYF_USER_PIN | CKeyObject::KEYF_CONTAINER_SLOT);
  signature->SetMaskedBlob(Pattern(148, 1));
  CKeyObject* exchange = container->GetKeySlot(AT_KEYEXCHANGE, true);
  exchange->SetAlgid(CALG_RSA_KEYX);
  exchange->SetAttributes(CKeyObject::KEYF_DEFAULT_PIN);
  exchange->SetMaskedBlob(Pattern(596, 2));
  container->SetRestrictTimes(AT_SIGNATURE, -1);
  container->SetLockTime(AT_SIGNATURE, 1700000000);
  container->SetDeadlockTimes(AT_SIGNATURE, 2);

  const Bytes image = Save(*container);
  EXPECT_EQ(image.size(), 96u + 148 + 596);

  std::shared_ptr<CKeyContainer> loaded;
  ASSERT_EQ(Load(image, &loaded), 0u);
  EXPECT_TRUE(loaded->IsFileContainer());
  EXPECT_EQ(loaded->GetKeySlot(CALG_RSA_SIGN, false)->MaskedBlob(), Pattern(148, 1));
  EXPECT_EQ(loaded->GetKeySlot(CALG_RSA_KEYX, false)->MaskedBlob(), Pattern(596, 2));
  EXPECT_EQ(loaded->GetKeySlot(AT_SIGNATURE, false)->Attributes(),
            CKeyObject::KEYF_USER_PIN | CKeyObject::KEYF_CONTAINER_SLOT);
  EXPECT_TRUE(loaded->GetKeySlot(AT_SIGNATURE, false)->ClearBlob().empty());
  EXPECT_EQ(loaded->GetRestrictTimes(AT_SIGNATURE), -1);
  EXPECT_EQ(loaded->GetLockTime(CALG_RSA_SIGN), 1700000000);
  EXPECT_EQ(loaded->GetDeadlockTimes(AT_SIGNATURE), 2u);
  EXPECT_EQ(loaded->GetRestrictTimes(AT_KEYEXCHANGE), 6);
  EXPECT_EQ(Save(*loaded), image);
}

// The stored data differs from the masked blob in its last 20 bytes, by the
// counters and flags, and nowhere else.
TEST(ContainerLayout, CountersAndFlagsAreMixedIntoTheLastTwentyBytes) {
  auto container = NewContainer();
  CKeyObject* signature = container->GetKeySlot(AT_SIGNATURE, true);
  signature->SetAlgid(CALG_RSA_SIGN);
  signature->SetAttributes(CKeyObject::KEYF_DEFAULT_PIN);
  signature->SetMaskedBlob(Pattern(64, 3));
  const Bytes image = Save(*container);

  const size_t data_offset = 4 + 4 + 4 + 4 + 4 + 4 + 4 + 8 + 4 + 4 + 4;
  const SecureBytes blob = Pattern(64, 3);
  for (size_t i = 0; i < 44; ++i) EXPECT_EQ(image[data_offset + i], blob[i]) << i;
  Bytes tail;
  Put(tail, 0, 4);        // locks so far
  Put(tail, 840110, 8);   // lock time
  Put(tail, 6, 4);        // allowance
  Put(tail, 0x40, 4);     // flags
  for (size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(image[data_offset + 44 + i], blob[44 + i] ^ tail[i]) << i;
  }
}

// A counter changed in storage alone unmasks to other data, so the key's PIN
// check can no longer succeed.
TEST(ContainerLayout, CounterChangedInStorageChangesTheUnmaskedData) {
  auto container = NewContainer();
  CKeyObject* signature = container->GetKeySlot(AT_SIGNATURE, true);
  signature->SetAlgid(CALG_RSA_SIGN);
  signature->SetAttributes(CKeyObject::KEYF_USER_PIN);
  signature->SetMaskedBlob(Pattern(100, 9));
  Bytes image = Save(*container);

  const size_t restrict_value_offset = 4 + 4 + 4 + 4 + 4;
  ASSERT_EQ(image[restrict_value_offset], 6);
  image[restrict_value_offset] = 3;

  std::shared_ptr<CKeyContainer> loaded;
  ASSERT_EQ(Load(image, &loaded), 0u);
  EXPECT_EQ(loaded->GetRestrictTimes(AT_SIGNATURE), 3);
  const SecureBytes& unmasked = loaded->GetKeySlot(AT_SIGNATURE, false)->MaskedBlob();
  SecureBytes expected = Pattern(100, 9);
  expected[100 - 8] ^= 6 ^ 3;
  EXPECT_EQ(unmasked, expected);
}

TEST(ContainerLayout, ClearBlobIsNeverWrittenAndUnprotectedKeyKeepsTheStoredSlot) {
  auto container = NewContainer();
  CKeyObject* signature = container->GetKeySlot(AT_SIGNATURE, true);
  signature->SetAlgid(CALG_RSA_SIGN);
  signature->SetAttributes(CKeyObject::KEYF_DEFAULT_PIN);
  signature->SetMaskedBlob(Pattern(80, 4));
  container->MarkSaved();
  const Bytes before = Save(*container);

  // A new key without its PIN yet: data in memory, no masked blob.
  signature->SetClearBlob(Pattern(80, 0xC0));
  ASSERT_TRUE(signature->HasKeyData());
  ASSERT_FALSE(signature->HasMaskedBlob());
  const Bytes after = Save(*container);
  EXPECT_EQ(after, before);
  const SecureBytes clear = Pattern(80, 0xC0);
  EXPECT_EQ(std::search(after.begin(), after.end(), clear.begin(), clear.begin() + 32),
            after.end());

  // The same in a container that never stored a key: the slot stays empty.
  auto fresh = NewContainer();
  CKeyObject* slot = fresh->GetKeySlot(AT_KEYEXCHANGE, true);
  slot->SetAlgid(CALG_RSA_KEYX);
  slot->SetClearBlob(Pattern(80, 0xC0));
  EXPECT_EQ(Save(*fresh).size(), orvex::kEmptyFileContainerSize);
}

Bytes EmptySlotItems() {
  Bytes out;
  Item(out, 0, 4);
  Item(out, 0, 4);
  Item(out, 6, 4);
  Item(out, 840110, 8);
  Item(out, 0, 4);
  Put(out, 0, 4);
  return out;
}

TEST(ContainerLayout, ImagesBreakingTheLayoutAreRefused) {
  struct Case {
    const char* what;
    Bytes image;
  };
  std::vector<Case> cases;
  {
    Bytes image;
    Put(image, 3, 4);  // algid stored in 3 bytes
    Put(image, 0, 3);
    cases.push_back({"short fixed item", image});
  }
  {
    Bytes image;
    Put(image, 8, 4);  // flags stored in 8 bytes
    Put(image, 0, 8);
    cases.push_back({"long fixed item", image});
  }
  for (DWORD length : {1u, 19u}) {
    Bytes image = EmptySlotItems();
    image.resize(image.size() - 4);
    Put(image, length, 4);
    image.insert(image.end(), length, 0xAB);
    Bytes rest = EmptySlotItems();
    image.insert(image.end(), rest.begin(), rest.end());
    cases.push_back({"data item below 20 bytes", image});
  }
  {
    Bytes image = EmptySlotItems();
    image.resize(image.size() - 4);
    Put(image, 40, 4);  // says 40 bytes, the file ends after 10
    image.insert(image.end(), 10, 0);
    cases.push_back({"length past the end", image});
  }
  {
    Bytes image = EmptySlotItems();
    image.resize(image.size() + 2);
    cases.push_back({"truncated exchange slot", image});
  }
  cases.push_back({"empty file", {}});

  for (const Case& c : cases) {
    std::shared_ptr<CKeyContainer> loaded;
    EXPECT_EQ(Load(c.image, &loaded), NTE_KEYSET_ENTRY_BAD) << c.what;
  }
}

TEST(ContainerLayout, AccessorsTakeKeySpecsOrRsaAlgids) {
  auto container = NewContainer();
  EXPECT_TRUE(container->SetRestrictTimes(CALG_RSA_KEYX, 2));
  EXPECT_EQ(container->GetRestrictTimes(AT_KEYEXCHANGE), 2);
  EXPECT_FALSE(container->SetRestrictTimes(3, 1));
  EXPECT_EQ(container->GetLockTime(0), 0);
  SetLastError(0);
  EXPECT_EQ(container->GetKeySlot(AT_SIGNATURE, false), nullptr);
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
  EXPECT_NE(container->GetKeySlot(AT_SIGNATURE, true), nullptr);
}

TEST(ContainerName, RefusesNamesThatCouldLeaveTheContainerKeyOrDirectory) {
  const std::u16string longest(MaxContainerNameLength(), u'x');
  EXPECT_EQ(ContainerKeyPath(longest).size() + 1, orvex::kContainerKeyPathCapacity);
  for (const std::u16string& good :
       {std::u16string(u"Orvex"), std::u16string(u"{3F2504E0-4F89-11D3-9A0C-0305E82C3301}"),
        std::u16string(u"容器 one"), std::u16string(u"a..b"), std::u16string(u"...")}) {
    EXPECT_TRUE(IsValidContainerName(good));
  }
  EXPECT_TRUE(IsValidContainerName(longest));
  const std::u16string bad[] = {u"",        u".",          u"..",         u"a\\b",   u"..\\x",
                                u"a/b",     u"*",          u"a?",         u"tab\tx", u"\x7f",
                                u"nl\n",    longest + u"x", u"\xD800x",   u"x\xDC00"};
  for (const std::u16string& name : bad) EXPECT_FALSE(IsValidContainerName(name));
}

}  // namespace
