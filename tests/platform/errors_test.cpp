#include <kavrin/errors.h>

#include <gtest/gtest.h>

#include <thread>

TEST(LastError, IsPerThread) {
  SetLastError(NTE_BAD_KEY);
  DWORD other = 0;
  std::thread([&] {
    SetLastError(ERROR_ACCESS_DENIED);
    other = GetLastError();
  }).join();
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  EXPECT_EQ(other, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(LastError, HresultFromWin32) {
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_NAME), static_cast<HRESULT>(0x8007007B));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), static_cast<HRESULT>(0x80070006));
  EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
  EXPECT_EQ(HRESULT_FROM_WIN32(NTE_BAD_SIGNATURE), static_cast<HRESULT>(0x80090006));
}
