// Files, directories and handles: the kernel32 and shell file functions the
// system calls, over the native file system.
//
// Paths: '\' and '/' both separate components. A path that begins with '/' is
// a native absolute path (GetSystemDirectoryW returns such paths). One that
// begins with a single '\' or with "C:" lies under the machine root
// ($KAVRIN_ROOT), so "C:\Windows\x" is $KAVRIN_ROOT/Windows/x; another drive
// letter d lies under $KAVRIN_ROOT/drives/d. Other paths are relative to the
// current directory. Names match existing files and directories ignoring
// case, as on Windows.
//
// Sharing modes hold between handles of one process and of different
// processes alike.
#pragma once

#include <kavrin/errors.h>
#include <kavrin/types.h>


// Access rights.
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u

// Sharing modes.
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

// Creation dispositions.
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

// Attributes and flags.
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

// SetFilePointer move methods.
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

KAVRIN_BEGIN_DECLS

// Files. I/O is synchronous: lpOverlapped must be NULL.
KAVRIN_API HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile);
KAVRIN_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile);
KAVRIN_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
KAVRIN_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
KAVRIN_API DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
KAVRIN_API DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod);
KAVRIN_API BOOL WINAPI FlushFileBuffers(HANDLE hFile);

// Closes a handle of any kind the layer issues.
KAVRIN_API BOOL WINAPI CloseHandle(HANDLE hObject);

// Names in the file system.
KAVRIN_API BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
KAVRIN_API BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
KAVRIN_API BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
KAVRIN_API BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
KAVRIN_API int WINAPI SHCreateDirectoryExW(HWND hwnd, LPCWSTR pszPath, const SECURITY_ATTRIBUTES* psa);
KAVRIN_API DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);
KAVRIN_API BOOL WINAPI PathFileExistsW(LPCWSTR pszPath);

// Replaces the whole content of the file at path (creating it when missing)
// so that every reader, and the file after a crash, holds either the old or
// the new content, never a mixture. Refused with ERROR_SHARING_VIOLATION
// while an open handle denies writing. FALSE and the last error on failure;
// the old content then stays.
KAVRIN_API BOOL WINAPI KavrinReplaceFileContents(LPCWSTR path, const void* data, DWORD size);

KAVRIN_END_DECLS
