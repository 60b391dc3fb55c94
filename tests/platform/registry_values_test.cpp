#include <clocale>
#include <thread>

#include "registry_test_support.h"
#include "support/fresh_root.h"

namespace kavrin::test {
namespace {

class RegistryValues : public FreshRoot {
 protected:
  void SetUp() override {
    FreshRoot::SetUp();
    key_ = CreateKey(HKEY_CURRENT_USER, u"Software\\Kavrin Certificate Protection\\Orvex\\Container\\c1");
    ASSERT_NE(key_, nullptr);
  }
  void TearDown() override {
    key_.reset();
    FreshRoot::TearDown();
  }
  Key key_;
};

TEST_F(RegistryValues, EveryTypeRoundTripsExactly) {
  const DWORD dword = 0x12345678;
  const ULONGLONG qword = 0x0123456789ABCDEFull;
  const struct {
    const char16_t* name;
    DWORD type;
    Bytes data;
  } cases[] = {
      {u"sz", REG_SZ, TextBytes(u"保管箱密码")},
      {u"sz without terminator", REG_SZ, BytesOf(u"abc", 6)},
      {u"expand", REG_EXPAND_SZ, TextBytes(u"%SystemRoot%\\Orvex")},
      {u"multi", REG_MULTI_SZ, BytesOf(u"one\0two\0", 18)},
      {u"binary", REG_BINARY, Bytes{0x00, 0xFF, 0x00, 0x7F, 0x80}},
      {u"empty binary", REG_BINARY, Bytes{}},
      {u"dword", REG_DWORD, BytesOf(&dword, sizeof(dword))},
      {u"qword", REG_QWORD, BytesOf(&qword, sizeof(qword))},
      {u"none", REG_NONE, Bytes{1, 2, 3}},
      {u"dword stored as binary", REG_BINARY, BytesOf(&dword, sizeof(dword))},
  };
  for (const auto& c : cases) ASSERT_EQ(SetValue(key_.get(), c.name, c.type, c.data), ERROR_SUCCESS) << c.type;

  // Read back through another thread's connection: what is read comes from the file.
  std::thread([&] {
    const auto key = OpenKey(HKEY_CURRENT_USER, u"Software\\Kavrin Certificate Protection\\Orvex\\Container\\c1");
    ASSERT_NE(key, nullptr);
    for (const auto& c : cases) {
      DWORD type = 99;
      DWORD size = 0;
      ASSERT_EQ(RegQueryValueExW(key.get(), c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
      EXPECT_EQ(type, c.type);
      EXPECT_EQ(size, c.data.size());
      const auto value = QueryValue(key.get(), c.name);
      ASSERT_TRUE(value.has_value());
      EXPECT_EQ(value->data, c.data);
    }
  }).join();
}

TEST_F(RegistryValues, SizeQueriesAndShortBuffers) {
  const Bytes data(40, 0xAB);
  ASSERT_EQ(SetValue(key_.get(), u"s_data", REG_BINARY, data), ERROR_SUCCESS);

  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key_.get(), u"s_data", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

  Bytes buffer(39, 0);
  size = 39;
  EXPECT_EQ(RegQueryValueExW(key_.get(), u"s_data", nullptr, &type, buffer.data(), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 40u);

  buffer.assign(64, 0);
  size = 64;
  EXPECT_EQ(RegQueryValueExW(key_.get(), u"s_data", nullptr, nullptr, buffer.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 40), data);

  // Existence alone, and the argument check of a buffer without a size.
  EXPECT_EQ(RegQueryValueExW(key_.get(), u"s_data", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key_.get(), u"s_data", nullptr, nullptr, buffer.data(), nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryValues, MissingAndDefaultValues) {
  LONG error = 0;
  EXPECT_FALSE(QueryValue(key_.get(), u"ex_data", &error).has_value());
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(QueryValue(key_.get(), nullptr, &error).has_value());
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

  // The default value is the empty name, reached by null or by "".
  ASSERT_EQ(SetValue(key_.get(), nullptr, REG_SZ, TextBytes(u"MidInterface Class")), ERROR_SUCCESS);
  const auto value = QueryValue(key_.get(), u"");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data, TextBytes(u"MidInterface Class"));
  EXPECT_EQ(ValueNames(key_.get()), std::vector<std::u16string>{u""});
}

TEST_F(RegistryValues, NamesIgnoreCaseAndKeepTheirCase) {
  ASSERT_EQ(SetDword(key_.get(), u"s_dwFlags", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key_.get(), u"Ärger", 2), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key_.get(), u"ex_algid", 3), ERROR_SUCCESS);
  ASSERT_EQ(SetDword(key_.get(), u"S_DWFLAGS", 4), ERROR_SUCCESS);  // the same value

  EXPECT_EQ(QueryDword(key_.get(), u"S_dwflags"), 4u);
  // Values enumerate in the order they were first set, under their first name.
  EXPECT_EQ(ValueNames(key_.get()), (std::vector<std::u16string>{u"s_dwFlags", u"Ärger", u"ex_algid"}));

  // Non-ASCII names fold the same whatever locale the process runs in.
  EXPECT_EQ(QueryDword(key_.get(), u"ärger"), 2u);
  const std::string previous = std::setlocale(LC_CTYPE, nullptr);
  std::setlocale(LC_CTYPE, "C.UTF-8");
  EXPECT_EQ(QueryDword(key_.get(), u"ÄRGER"), 2u);
  ASSERT_EQ(SetDword(key_.get(), u"äRGER", 5), ERROR_SUCCESS);
  std::setlocale(LC_CTYPE, previous.c_str());
  EXPECT_EQ(ValueNames(key_.get()).size(), 3u);
  EXPECT_EQ(QueryDword(key_.get(), u"Ärger"), 5u);
}

TEST_F(RegistryValues, DeleteAndEnumerate) {
  ASSERT_EQ(SetDword(key_.get(), u"a", 1), ERROR_SUCCESS);
  ASSERT_EQ(SetValue(key_.get(), u"b", REG_BINARY, Bytes(10, 7)), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key_.get(), u"A"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key_.get(), u"a"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ValueNames(key_.get()), std::vector<std::u16string>{u"b"});

  WCHAR name[2];
  DWORD chars = 2;
  DWORD type = 0;
  BYTE data[4];
  DWORD size = sizeof(data);
  // A name buffer too short, then a data buffer too short (which reports the size).
  chars = 1;
  EXPECT_EQ(RegEnumValueW(key_.get(), 0, name, &chars, nullptr, &type, nullptr, nullptr), ERROR_MORE_DATA);
  chars = 2;
  EXPECT_EQ(RegEnumValueW(key_.get(), 0, name, &chars, nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  chars = 2;
  EXPECT_EQ(RegEnumValueW(key_.get(), 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

}  // namespace
}  // namespace kavrin::test
