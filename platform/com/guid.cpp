#include <kavrin/com.h>

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

// The GUID's bytes in the order its text shows them: Data1 to Data3 are
// numbers written most significant digit first, Data4 bytes in order.
void ToDisplayBytes(const GUID& guid, uint8_t out[16]) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(guid.Data1 >> (24 - 8 * i));
  out[4] = static_cast<uint8_t>(guid.Data2 >> 8);
  out[5] = static_cast<uint8_t>(guid.Data2);
  out[6] = static_cast<uint8_t>(guid.Data3 >> 8);
  out[7] = static_cast<uint8_t>(guid.Data3);
  std::memcpy(out + 8, guid.Data4, 8);
}

GUID FromDisplayBytes(const uint8_t in[16]) {
  GUID guid{};
  for (int i = 0; i < 4; ++i) guid.Data1 = (guid.Data1 << 8) | in[i];
  guid.Data2 = static_cast<uint16_t>((in[4] << 8) | in[5]);
  guid.Data3 = static_cast<uint16_t>((in[6] << 8) | in[7]);
  std::memcpy(guid.Data4, in + 8, 8);
  return guid;
}

// Byte positions after which a hyphen follows: groups of 8, 4, 4, 4 and 12 digits.
bool HyphenAfter(int byte) { return byte == 3 || byte == 5 || byte == 7 || byte == 9; }

void Format(const GUID& guid, char16_t* out) {
  uint8_t bytes[16];
  ToDisplayBytes(guid, bytes);
  *out++ = u'{';
  for (int i = 0; i < 16; ++i) {
    *out++ = kHexDigits[bytes[i] >> 4];
    *out++ = kHexDigits[bytes[i] & 0xF];
    if (HyphenAfter(i)) *out++ = u'-';
  }
  *out++ = u'}';
  *out = u'\0';
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Reads exactly the braced form followed by the terminator.
bool Parse(const char16_t* text, GUID* out) {
  if (*text++ != u'{') return false;
  uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) {
    const int high = HexValue(*text);
    const int low = high < 0 ? -1 : HexValue(text[1]);
    if (low < 0) return false;
    bytes[i] = static_cast<uint8_t>((high << 4) | low);
    text += 2;
    if (HyphenAfter(i) && *text++ != u'-') return false;
  }
  if (text[0] != u'}' || text[1] != u'\0') return false;
  *out = FromDisplayBytes(bytes);
  return true;
}

bool FillRandom(void* buffer, size_t size) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t got = getrandom(bytes, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

KAVRIN_EXTERN_C LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
  // A zero-byte request still yields a distinct pointer that CoTaskMemFree accepts.
  return std::malloc(cb == 0 ? 1 : cb);
}

KAVRIN_EXTERN_C void WINAPI CoTaskMemFree(LPVOID pv) { std::free(pv); }

KAVRIN_EXTERN_C HRESULT WINAPI CoCreateGuid(GUID* pguid) {
  if (pguid == nullptr) return E_INVALIDARG;
  uint8_t bytes[16];
  if (!FillRandom(bytes, sizeof(bytes))) return E_FAIL;
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // the standard variant
  *pguid = FromDisplayBytes(bytes);
  return S_OK;
}

KAVRIN_EXTERN_C HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  if (lplpsz == nullptr) return E_INVALIDARG;
  *lplpsz = nullptr;
  if (rclsid == nullptr) return E_INVALIDARG;
  auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc(GUID_STRING_BUFFER * sizeof(WCHAR)));
  if (text == nullptr) return E_OUTOFMEMORY;
  Format(*rclsid, text);
  *lplpsz = text;
  return S_OK;
}

KAVRIN_EXTERN_C int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (rguid == nullptr || lpsz == nullptr || cchMax < GUID_STRING_BUFFER) return 0;
  Format(*rguid, lpsz);
  return GUID_STRING_BUFFER;
}

KAVRIN_EXTERN_C HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (pclsid == nullptr) return E_INVALIDARG;
  if (lpsz == nullptr) {
    *pclsid = GUID{};
    return S_OK;
  }
  return Parse(lpsz, pclsid) ? S_OK : CO_E_CLASSSTRING;
}

KAVRIN_EXTERN_C BOOL WINAPI IsEqualGUID(REFGUID rguid1, REFGUID rguid2) {
  return std::memcmp(rguid1, rguid2, sizeof(GUID)) == 0 ? TRUE : FALSE;
}
