// Basic kernel types for the host build.
//
// The driver's buffer checks and record layouts depend on the Windows data
// model: ULONG, LONG and NTSTATUS are 32 bits wide, pointers and ULONG_PTR
// follow the processor (64 bits on x64, LLP64; 32 on x86), WCHAR is a
// 16-bit UTF-16 code unit. Linux is LP64 on x86-64 (long is 64 bits) and
// wchar_t is 32 bits there, so every type here is spelled with an explicit
// width instead of the C keyword the Windows headers use.
//
// The host build stands in for x64 Windows when it is a 64-bit program and
// for x86 Windows when it is built with -m32; KM_X64 says which. Records
// then take the layout of that processor's kernel (platform/record_layout.h
// pins them).
#pragma once

#include <cstddef>
#include <cstdint>

#if UINTPTR_MAX > 0xFFFFFFFFu
#define KM_X64 1
#endif

// On x64 Windows every kernel routine and every callback a driver hands the
// kernel uses the Microsoft x64 calling convention (arguments in RCX, RDX,
// R8, R9, 32 bytes of home space; RSI and RDI preserved by the callee), where
// System V on Linux passes them in RDI, RSI, RDX, RCX. The 64-bit host build
// declares them the same way, so a driver image built for Windows binds
// straight to the harness's routines and the harness calls the image's
// callbacks correctly; a routine handed over with the wrong convention fails
// to compile in the host build. __fastcall and __cdecl mean the same
// convention on x64.
//
// On x86 Windows NTAPI is __stdcall (arguments on the stack, the callee pops
// them) and FASTCALL is __fastcall (the first two 32-bit arguments in ECX
// and EDX, the rest on the stack, the callee pops): IofCallDriver,
// IofCompleteRequest, the fast mutexes and the HAL's Kf* spin lock and IRQL
// routines. GCC's i386 stdcall and fastcall attributes are the same
// conventions, so the 32-bit host build declares them the same way and an
// x86 image binds straight to the harness as the x64 image does. A variadic
// routine (DbgPrint) stays caller-pops (cdecl) under either attribute, as on
// Windows. One difference the attributes do not cover: a structure of up to
// 8 bytes returned by value comes back in EAX or EDX:EAX from a Microsoft
// compiler but through a hidden pointer from GCC on Linux, so the harness
// exports KeQueryPerformanceCounter and PoSetPowerState to an x86 image
// through wrappers that return an integer (harness/loader/hal_exports.cpp).
#if defined(KM_X64)
#define NTAPI __attribute__((ms_abi))
#define FASTCALL __attribute__((ms_abi))
#else
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#endif
#define NTSYSAPI
#define IN
#define OUT
#define OPTIONAL
#define VOID void
#define CONST const
#define FORCEINLINE inline
// Placed as the DDK places it: after the type, before the member's name.
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))

typedef void* PVOID;
typedef void** PPVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* PCSZ;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef int16_t SHORT;
typedef SHORT* PSHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef LONGLONG* PLONGLONG;
typedef uint64_t ULONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int8_t INT8;
typedef int16_t INT16;
typedef int32_t INT32;
typedef int64_t INT64;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef SIZE_T* PSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef CHAR CCHAR;
typedef SHORT CSHORT;
typedef ULONG CLONG;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef ULONG ACCESS_MASK;
typedef LONG KPRIORITY;
typedef ULONG DEVICE_TYPE;
typedef ULONG LOGICAL;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif
#define MAXULONG 0xffffffffu
#define MAXLONG 0x7fffffff

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

// 64-bit integers are 8-aligned inside Windows records on x86 as well
// (documented for the Microsoft compiler; mingw-w64 follows it), while the
// i386 System V ABI aligns them to 4 inside structures. A record member of
// a 64-bit integer type is therefore marked ALIGNED_INT64 here, so that the
// 32-bit host build lays it out as x86 Windows does (a no-op on x64); the
// LARGE_INTEGER unions carry the mark on QuadPart. The type names
// themselves stay plain, so templates see the C++ types.
#define ALIGNED_INT64 DECLSPEC_ALIGN(8)

// What the pool guarantees a block's start (16 bytes on x64, 8 on x86). The
// kernel declares its pool-allocated objects with this alignment, which
// rounds their sizes up to it as well.
#if defined(KM_X64)
#define MEMORY_ALLOCATION_ALIGNMENT 16
#else
#define MEMORY_ALLOCATION_ALIGNMENT 8
#endif

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG ALIGNED_INT64 QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG ALIGNED_INT64 QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes in use, without a terminator
    USHORT MaximumLength;  // bytes available in Buffer
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
typedef STRING* PCANSI_STRING;  // "counted", not const: the DDK spells it so

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_CASE_INSENSITIVE 0x00000040
#define OBJ_KERNEL_HANDLE 0x00000200

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = nullptr;  \
    } while (0)

// Doubly linked list helpers, with the semantics of the kernel's inline
// versions (RemoveEntryList returns TRUE when the list became empty).
inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
    PLIST_ENTRY next = entry->Flink;
    PLIST_ENTRY prev = entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Blink;
    RemoveEntryList(entry);
    return entry;
}
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY last = head->Blink;
    entry->Flink = head;
    entry->Blink = last;
    last->Flink = entry;
    head->Blink = entry;
}
inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY first = head->Flink;
    entry->Flink = first;
    entry->Blink = head;
    first->Blink = entry;
    head->Flink = entry;
}

// Interlocked operations: full barriers, as on the real processor.
inline LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedOr(LONG volatile* p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(LONG volatile* p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) {
    return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
// Windows' ReadAcquire and ReadPointerAcquire: one load, ordered before
// the loads and stores after it, and atomic with respect to the interlocked
// operations of other processors (on x86 and x64 a plain aligned load).
inline LONG ReadAcquire(LONG const volatile* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline PVOID ReadPointerAcquire(PVOID const volatile* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }
inline BOOLEAN InterlockedBitTestAndSet(LONG volatile* base, LONG bit) {
    return (BOOLEAN)((__atomic_fetch_or(base, (LONG)(1u << bit), __ATOMIC_SEQ_CST) >> bit) & 1);
}
inline BOOLEAN InterlockedBitTestAndReset(LONG volatile* base, LONG bit) {
    return (BOOLEAN)((__atomic_fetch_and(base, (LONG)~(1u << bit), __ATOMIC_SEQ_CST) >> bit) & 1);
}

// Memory helpers the DDK spells as macros over the C library.
#define RtlZeroMemory(d, n) __builtin_memset((d), 0, (n))
#define RtlFillMemory(d, n, f) __builtin_memset((d), (f), (n))
#define RtlCopyMemory(d, s, n) __builtin_memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) __builtin_memmove((d), (s), (n))
#define RtlEqualMemory(a, b, n) (__builtin_memcmp((a), (b), (n)) == 0)
