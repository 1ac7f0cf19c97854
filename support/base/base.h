// Memory, string, arithmetic, GUID, list, device-path, pool and processor
// primitives shared by every part of the driver. All are stateless.
#pragma once

#include "frame/uefi.h"
#include "support/base/hw.h"

// Memory.
void* MemZero(void* buffer, UINTN length);
void* MemFill(void* buffer, UINTN length, UINT8 value);
void* MemCopy(void* destination, const void* source, UINTN length);
// Difference of the first differing bytes (a minus b, as unsigned bytes); 0 when equal.
INTN MemCompare(const void* a, const void* b, UINTN length);

// Strings (ASCII and UCS-2).
UINTN AsciiLength(const CHAR8* text);
UINTN AsciiSize(const CHAR8* text);
UINTN AsciiLengthMax(const CHAR8* text, UINTN maximum);
INTN AsciiCompareN(const CHAR8* a, const CHAR8* b, UINTN count);
UINTN WideLength(const CHAR16* text);
UINTN WideSize(const CHAR16* text);
UINTN WideLengthMax(const CHAR16* text, UINTN maximum);
INTN WideCompareN(const CHAR16* a, const CHAR16* b, UINTN count);

// Arithmetic (unsigned 64-bit).
UINT64 Shl64(UINT64 value, UINTN count);
UINT64 Shr64(UINT64 value, UINTN count);
UINT64 Rotl64(UINT64 value, UINTN count);
UINT64 Mul64x32(UINT64 value, UINT32 factor);
UINT64 Mul64x64(UINT64 a, UINT64 b);
// Division by zero yields an all-ones quotient and a zero remainder.
UINT64 Div64x32(UINT64 value, UINT32 divisor);
UINT64 Div64x32Rem(UINT64 value, UINT32 divisor, UINT32* remainder);
UINT16 Swap16(UINT16 value);
UINT32 Swap32(UINT32 value);

// Unaligned access.
UINT16 Load16(const void* address);
UINT32 Load32(const void* address);
UINT64 Load64(const void* address);
UINT64 Store64(void* address, UINT64 value);

// GUIDs.
BOOLEAN SameGuid(const EFI_GUID* a, const EFI_GUID* b);
EFI_GUID* CopyGuidValue(EFI_GUID* destination, const EFI_GUID* source);

// Doubly linked list.
struct LIST_ENTRY {
  LIST_ENTRY* ForwardLink;
  LIST_ENTRY* BackLink;
};
LIST_ENTRY* ListInit(LIST_ENTRY* head);
LIST_ENTRY* ListAddTail(LIST_ENTRY* head, LIST_ENTRY* entry);

// Device-path nodes.
BOOLEAN PathIsEnd(const EFI_DEVICE_PATH_PROTOCOL* node);
const EFI_DEVICE_PATH_PROTOCOL* PathNext(const EFI_DEVICE_PATH_PROTOCOL* node);

// Pool family (null on any failure of the boot service).
void* PoolAlloc(EFI_MEMORY_TYPE type, UINTN size);
void* PoolAllocBs(UINTN size);
void* PoolAllocRt(UINTN size);
void* PoolAllocZeroRt(UINTN size);
void* PoolAllocCopy(UINTN size, const void* source);

// Processor instructions (ReadTsc, ReadMsr and SpinPause come from the seam).
UINT32 RunCpuid(UINT32 leaf, UINT32* eax, UINT32* ebx, UINT32* ecx, UINT32* edx);
void CompilerBarrier(void);
