/* The Windows base types at Windows' sizes, for programs written for
 * Windows and built on Linux against the Tarnlink Win32 library: DWORD,
 * LONG and BOOL are 32 bits on every host (as on Windows, where long is 32
 * bits even on x64), HANDLE is a pointer, WCHAR is a UTF-16 code unit.
 *
 * WCHAR is char16_t in C++ (u"COM5") and unsigned short in C; a program
 * built with -fshort-wchar gets wchar_t, so that L"COM5" works as on
 * Windows. The library's ABI is the same in every case. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define TARNLINK_EXTERN_C extern "C"
#else
#define TARNLINK_EXTERN_C
#endif

/* Windows' calling-convention keywords mean nothing to a Linux build: the
 * library uses the host's C calling convention throughout. */
#ifndef WINAPI
#define WINAPI
#endif
#ifndef APIENTRY
#define APIENTRY
#endif
#ifndef CALLBACK
#define CALLBACK
#endif
#ifndef WINBASEAPI
#define WINBASEAPI TARNLINK_EXTERN_C __attribute__((visibility("default")))
#endif

#ifndef VOID
#define VOID void
#endif
#ifndef CONST
#define CONST const
#endif
#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif

typedef int BOOL;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef unsigned char BYTE;
typedef BYTE BOOLEAN;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef unsigned short WORD;
typedef WORD* PWORD;
typedef WORD* LPWORD;
typedef uint32_t DWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef LONG* LPLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORDLONG;
typedef uint64_t DWORD64;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef ULONG_PTR SIZE_T;
typedef SIZE_T* PSIZE_T;
typedef ULONG_PTR* PULONG_PTR;

#if defined(__cplusplus) && !(defined(__WCHAR_MAX__) && __WCHAR_MAX__ <= 0xFFFF)
typedef char16_t WCHAR;
#elif defined(__WCHAR_MAX__) && __WCHAR_MAX__ <= 0xFFFF
typedef wchar_t WCHAR;
#else
typedef unsigned short WCHAR;
#endif

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef CHAR* PCHAR;
typedef CHAR* LPSTR;
typedef CHAR* PSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* PCSTR;
typedef WCHAR* PWCHAR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

/* The ANSI/Unicode switch: UNICODE selects the W forms. */
#ifdef UNICODE
typedef WCHAR TCHAR;
typedef LPWSTR LPTSTR;
typedef LPCWSTR LPCTSTR;
#ifdef __cplusplus
#define TEXT(quote) u##quote
#else
#define TEXT(quote) L##quote
#endif
#else
typedef CHAR TCHAR;
typedef LPSTR LPTSTR;
typedef LPCSTR LPCTSTR;
#define TEXT(quote) quote
#endif
#define __TEXT(quote) TEXT(quote)

#define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#define HIBYTE(w) ((BYTE)((((DWORD_PTR)(w)) >> 8) & 0xff))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | ((WORD)((BYTE)(b))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/* Windows' records use nameless unions and structs, which C before C11
 * and ISO C++ do not have: marked as an extension, a program built with
 * -pedantic -Werror compiles as it does against Windows' own headers. */
#if defined(__GNUC__) || defined(__clang__)
#define TARNLINK_NAMELESS __extension__
#else
#define TARNLINK_NAMELESS
#endif

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;     /* the request's NTSTATUS once it completes */
    ULONG_PTR InternalHigh; /* the bytes it transferred */
    TARNLINK_NAMELESS union {
        TARNLINK_NAMELESS struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _OVERLAPPED_ENTRY {
    ULONG_PTR lpCompletionKey;
    LPOVERLAPPED lpOverlapped;
    ULONG_PTR Internal;
    DWORD dwNumberOfBytesTransferred;
} OVERLAPPED_ENTRY, *LPOVERLAPPED_ENTRY;
