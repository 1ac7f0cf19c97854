// Memory, string, arithmetic, GUID, list, device-path, pool and processor
// primitives. Every function is stateless; none allocates except the pool
// family, which goes straight to the boot services.
#include "support/base/base.h"

#include "frame/module.h"

namespace {

// Views that let the compiler emit one unaligned access without undefined
// behaviour (and without a memcpy call).
typedef UINT16 __attribute__((aligned(1), may_alias)) Unaligned16;
typedef UINT32 __attribute__((aligned(1), may_alias)) Unaligned32;
typedef UINT64 __attribute__((aligned(1), may_alias)) Unaligned64;

}  // namespace

// ---------------------------------------------------------------- memory

void* MemZero(void* buffer, UINTN length) {
  if (length == 0) return buffer;
  UINT8* p = static_cast<UINT8*>(buffer);
  for (; length >= 8; length -= 8, p += 8) *reinterpret_cast<Unaligned64*>(p) = 0;
  for (; length != 0; --length) *p++ = 0;
  return buffer;
}

void* MemFill(void* buffer, UINTN length, UINT8 value) {
  UINT8* p = static_cast<UINT8*>(buffer);
  for (; length != 0; --length) *p++ = value;
  return buffer;
}

void* MemCopy(void* destination, const void* source, UINTN length) {
  if (length == 0 || destination == source) return destination;
  UINT8* d = static_cast<UINT8*>(destination);
  const UINT8* s = static_cast<const UINT8*>(source);
  const uintptr_t da = reinterpret_cast<uintptr_t>(d);
  const uintptr_t sa = reinterpret_cast<uintptr_t>(s);
  if (da > sa && da - sa < length) {
    // The destination starts inside the source: copy from the last byte down
    // so no source byte is overwritten before it has been read.
    while (length != 0) {
      --length;
      d[length] = s[length];
    }
    return destination;
  }
  // Forwards is safe otherwise; each 8-byte block is loaded before it is stored.
  for (; length >= 8; length -= 8, d += 8, s += 8) {
    *reinterpret_cast<Unaligned64*>(d) = *reinterpret_cast<const Unaligned64*>(s);
  }
  for (; length != 0; --length) *d++ = *s++;
  return destination;
}

INTN MemCompare(const void* a, const void* b, UINTN length) {
  if (length == 0 || a == b) return 0;
  const UINT8* pa = static_cast<const UINT8*>(a);
  const UINT8* pb = static_cast<const UINT8*>(b);
  for (UINTN i = 0; i < length; ++i) {
    if (pa[i] != pb[i]) return static_cast<INTN>(pa[i]) - static_cast<INTN>(pb[i]);
  }
  return 0;
}

// ---------------------------------------------------------------- strings

UINTN AsciiLength(const CHAR8* text) {
  UINTN n = 0;
  while (text[n] != 0) ++n;
  return n;
}

UINTN AsciiSize(const CHAR8* text) { return AsciiLength(text) + 1; }

UINTN AsciiLengthMax(const CHAR8* text, UINTN maximum) {
  if (text == nullptr || maximum == 0) return 0;
  UINTN n = 0;
  while (n < maximum && text[n] != 0) ++n;
  return n;
}

INTN AsciiCompareN(const CHAR8* a, const CHAR8* b, UINTN count) {
  if (count == 0) return 0;
  while (*a != 0 && *b != 0 && *a == *b && count > 1) {
    ++a;
    ++b;
    --count;
  }
  return static_cast<INTN>(static_cast<int8_t>(*a)) - static_cast<INTN>(static_cast<int8_t>(*b));
}

UINTN WideLength(const CHAR16* text) {
  UINTN n = 0;
  while (text[n] != 0) ++n;
  return n;
}

UINTN WideSize(const CHAR16* text) { return (WideLength(text) + 1) * sizeof(CHAR16); }

UINTN WideLengthMax(const CHAR16* text, UINTN maximum) {
  if (text == nullptr || maximum == 0) return 0;
  UINTN n = 0;
  while (n < maximum && text[n] != 0) ++n;
  return n;
}

INTN WideCompareN(const CHAR16* a, const CHAR16* b, UINTN count) {
  if (count == 0) return 0;
  while (*a != 0 && *b != 0 && *a == *b && count > 1) {
    ++a;
    ++b;
    --count;
  }
  return static_cast<INTN>(static_cast<UINT16>(*a)) - static_cast<INTN>(static_cast<UINT16>(*b));
}

// ---------------------------------------------------------------- arithmetic

UINT64 Shl64(UINT64 value, UINTN count) { return value << (count & 63); }

UINT64 Shr64(UINT64 value, UINTN count) { return value >> (count & 63); }

UINT64 Rotl64(UINT64 value, UINTN count) {
  count &= 63;
  if (count == 0) return value;
  return (value << count) | (value >> (64 - count));
}

UINT64 Mul64x32(UINT64 value, UINT32 factor) { return value * factor; }

UINT64 Mul64x64(UINT64 a, UINT64 b) { return a * b; }

UINT64 Div64x32(UINT64 value, UINT32 divisor) { return Div64x32Rem(value, divisor, nullptr); }

UINT64 Div64x32Rem(UINT64 value, UINT32 divisor, UINT32* remainder) {
  if (divisor == 0) {
    if (remainder != nullptr) *remainder = 0;
    return ~static_cast<UINT64>(0);
  }
  if (remainder != nullptr) *remainder = static_cast<UINT32>(value % divisor);
  return value / divisor;
}

UINT16 Swap16(UINT16 value) { return static_cast<UINT16>((value << 8) | (value >> 8)); }

UINT32 Swap32(UINT32 value) {
  const UINT32 low = Swap16(static_cast<UINT16>(value));
  const UINT32 high = Swap16(static_cast<UINT16>(value >> 16));
  return (low << 16) | high;
}

// ---------------------------------------------------------------- unaligned access

UINT16 Load16(const void* address) { return *static_cast<const Unaligned16*>(address); }

UINT32 Load32(const void* address) { return *static_cast<const Unaligned32*>(address); }

UINT64 Load64(const void* address) { return *static_cast<const Unaligned64*>(address); }

UINT64 Store64(void* address, UINT64 value) {
  *static_cast<Unaligned64*>(address) = value;
  return value;
}

// ---------------------------------------------------------------- GUIDs

BOOLEAN SameGuid(const EFI_GUID* a, const EFI_GUID* b) {
  const UINT8* pa = reinterpret_cast<const UINT8*>(a);
  const UINT8* pb = reinterpret_cast<const UINT8*>(b);
  return Load64(pa) == Load64(pb) && Load64(pa + 8) == Load64(pb + 8);
}

EFI_GUID* CopyGuidValue(EFI_GUID* destination, const EFI_GUID* source) {
  UINT8* d = reinterpret_cast<UINT8*>(destination);
  const UINT8* s = reinterpret_cast<const UINT8*>(source);
  Store64(d, Load64(s));
  Store64(d + 8, Load64(s + 8));
  return destination;
}

// ---------------------------------------------------------------- lists

LIST_ENTRY* ListInit(LIST_ENTRY* head) {
  head->ForwardLink = head;
  head->BackLink = head;
  return head;
}

LIST_ENTRY* ListAddTail(LIST_ENTRY* head, LIST_ENTRY* entry) {
  LIST_ENTRY* last = head->BackLink;
  entry->ForwardLink = head;
  entry->BackLink = last;
  last->ForwardLink = entry;
  head->BackLink = entry;
  return head;
}

// ---------------------------------------------------------------- device paths

BOOLEAN PathIsEnd(const EFI_DEVICE_PATH_PROTOCOL* node) { return node->Type == END_DEVICE_PATH_TYPE; }

const EFI_DEVICE_PATH_PROTOCOL* PathNext(const EFI_DEVICE_PATH_PROTOCOL* node) {
  const UINT8* p = reinterpret_cast<const UINT8*>(node);
  return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL*>(p + Load16(node->Length));
}

// ---------------------------------------------------------------- pool

void* PoolAlloc(EFI_MEMORY_TYPE type, UINTN size) {
  void* buffer = nullptr;
  if (EFI_ERROR(BootServices->AllocatePool(type, size, &buffer))) return nullptr;
  return buffer;
}

void* PoolAllocBs(UINTN size) { return PoolAlloc(EfiBootServicesData, size); }

void* PoolAllocRt(UINTN size) { return PoolAlloc(EfiRuntimeServicesData, size); }

void* PoolAllocZeroRt(UINTN size) {
  void* buffer = PoolAllocRt(size);
  if (buffer != nullptr) MemZero(buffer, size);
  return buffer;
}

void* PoolAllocCopy(UINTN size, const void* source) {
  void* buffer = PoolAllocBs(size);
  if (buffer != nullptr) MemCopy(buffer, source, size);
  return buffer;
}

// ---------------------------------------------------------------- processor

UINT32 RunCpuid(UINT32 leaf, UINT32* eax, UINT32* ebx, UINT32* ecx, UINT32* edx) {
  UINT32 regs[4];
  CpuidLeaf(leaf, regs);
  if (eax != nullptr) *eax = regs[0];
  if (ebx != nullptr) *ebx = regs[1];
  if (ecx != nullptr) *ecx = regs[2];
  if (edx != nullptr) *edx = regs[3];
  return leaf;
}

// Out of line and opaque: callers must assume any memory may have changed, so
// device-register accesses on either side are neither merged nor reordered.
__attribute__((noinline)) void CompilerBarrier(void) { __asm__ __volatile__("" ::: "memory"); }
