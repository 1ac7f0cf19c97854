// Memory, string, arithmetic, GUID, list, device-path and pool primitives.
#include "support/base/base.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "entry/driver.h"
#include "sim/platform.h"

namespace {

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(0x10 + i);
  return v;
}

// ---------------------------------------------------------------- memory

TEST(MemCopy, OverlapAndAlignment) {
  const struct {
    size_t from, to, length;
  } kCases[] = {
      {0, 3, 10},   // destination inside the source: copied from the last byte down
      {3, 0, 10},   // destination below the source: forwards
      {0, 1, 40},   // long overlap by one byte
      {1, 0, 40},   //
      {5, 13, 37},  // overlap by less than one 8-byte block
      {13, 5, 37},  //
      {0, 20, 20},  // adjacent, no overlap
      {1, 30, 27},  // disjoint, unaligned, with a tail
      {4, 4, 9},    // the same address
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.from << "->" << c.to << " x" << c.length);
    std::vector<uint8_t> buffer = Pattern(64);
    std::vector<uint8_t> expected = buffer;
    memmove(expected.data() + c.to, buffer.data() + c.from, c.length);
    EXPECT_EQ(MemCopy(buffer.data() + c.to, buffer.data() + c.from, c.length), buffer.data() + c.to);
    EXPECT_EQ(buffer, expected);
  }
}

TEST(MemCopy, ZeroLengthTouchesNothing) {
  EXPECT_EQ(MemCopy(nullptr, nullptr, 0), nullptr);
  uint8_t a = 1, b = 2;
  EXPECT_EQ(MemCopy(&a, &b, 0), &a);
  EXPECT_EQ(a, 1);
}

TEST(MemZeroAndFill, WriteExactlyTheRange) {
  const struct {
    size_t offset, length;
  } kCases[] = {{0, 0}, {1, 1}, {3, 7}, {1, 8}, {5, 17}, {0, 32}, {7, 25}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.offset << "+" << c.length);
    for (int fill = 0; fill < 2; ++fill) {
      std::vector<uint8_t> buffer(40, 0xEE);
      void* start = buffer.data() + c.offset;
      void* result = fill ? MemFill(start, c.length, 0x5A) : MemZero(start, c.length);
      EXPECT_EQ(result, start);
      for (size_t i = 0; i < buffer.size(); ++i) {
        const bool inside = i >= c.offset && i < c.offset + c.length;
        EXPECT_EQ(buffer[i], inside ? (fill ? 0x5A : 0x00) : 0xEE) << "byte " << i;
      }
    }
  }
}

TEST(MemCompare, FirstDifferenceAsUnsignedBytes) {
  const struct {
    const char* a;
    const char* b;
    UINTN length;
    INTN expected;
  } kCases[] = {
      {"abc", "abd", 3, -1},    {"abc", "abd", 2, 0},      {"abd", "abc", 3, 1},    {"abc", "xyz", 0, 0},
      {"\xFF", "\x01", 1, 254}, {"\x01", "\xFF", 1, -254}, {"a\0b", "a\0c", 3, -1},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(MemCompare(c.a, c.b, c.length), c.expected) << c.a << " / " << c.b << " x" << c.length;
  }
  const char same[] = "same";
  EXPECT_EQ(MemCompare(same, same, 4), 0);
}

// ---------------------------------------------------------------- strings

TEST(AsciiStrings, LengthsAndSizes) {
  EXPECT_EQ(AsciiLength(""), 0u);
  EXPECT_EQ(AsciiLength("0123456789"), 10u);
  EXPECT_EQ(AsciiSize(""), 1u);
  EXPECT_EQ(AsciiSize("0123456789"), 11u);
  const struct {
    const CHAR8* text;
    UINTN maximum;
    UINTN expected;
  } kCases[] = {{"0123456789", 4, 4}, {"0123456789", 10, 10}, {"0123456789", 50, 10},
                {"0123456789", 0, 0}, {nullptr, 5, 0},        {"", 5, 0}};
  for (const auto& c : kCases) EXPECT_EQ(AsciiLengthMax(c.text, c.maximum), c.expected) << c.maximum;
}

TEST(WideStrings, LengthsAndSizes) {
  EXPECT_EQ(WideLength(u""), 0u);
  EXPECT_EQ(WideLength(u"0123456789"), 10u);
  EXPECT_EQ(WideSize(u""), 2u);
  EXPECT_EQ(WideSize(u"0123456789"), 22u);
  const struct {
    const CHAR16* text;
    UINTN maximum;
    UINTN expected;
  } kCases[] = {{u"0123456789", 4, 4}, {u"0123456789", 10, 10}, {u"0123456789", 50, 10},
                {u"0123456789", 0, 0}, {nullptr, 5, 0},         {u"", 5, 0}};
  for (const auto& c : kCases) EXPECT_EQ(WideLengthMax(c.text, c.maximum), c.expected) << c.maximum;
}

TEST(AsciiCompareN, StopsAtCountNulOrDifference) {
  const struct {
    const CHAR8* a;
    const CHAR8* b;
    UINTN count;
    INTN expected;
  } kCases[] = {
      {"abc", "abd", 2, 0},   {"abc", "abd", 3, -1},     {"ab", "abc", 5, -99},
      {"abc", "ab", 5, 99},   {"abc", "abc", 10, 0},     {"abc", "xyz", 0, 0},
      {"a", "b", 1, -1},      {"\x80", "\x01", 1, -129},  // characters are signed 8-bit
      {"\x01", "\xFF", 1, 2},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(AsciiCompareN(c.a, c.b, c.count), c.expected) << c.a << " / " << c.b << " x" << c.count;
  }
}

TEST(WideCompareN, StopsAtCountNulOrDifference) {
  const struct {
    const CHAR16* a;
    const CHAR16* b;
    UINTN count;
    INTN expected;
  } kCases[] = {
      {u"abc", u"abd", 2, 0},           {u"abc", u"abd", 3, -1}, {u"ab", u"abc", 5, -99},
      {u"abc", u"abc", 10, 0},          {u"abc", u"xyz", 0, 0},  {u"\xFFFF", u"\x0001", 1, 65534},
      {u"\x8000", u"\x0001", 1, 32767},  // characters are unsigned 16-bit
  };
  for (const auto& c : kCases) EXPECT_EQ(WideCompareN(c.a, c.b, c.count), c.expected) << c.count;
}

// ---------------------------------------------------------------- arithmetic

TEST(Arithmetic, ShiftsAndRotateTakeCountModulo64) {
  const struct {
    UINT64 value;
    UINTN count;
    UINT64 shl, shr, rotl;
  } kCases[] = {
      {0xDEAD000012345678ull, 8, 0xAD00001234567800ull, 0x00DEAD0000123456ull, 0xAD000012345678DEull},
      {0x8000000000000001ull, 0, 0x8000000000000001ull, 0x8000000000000001ull, 0x8000000000000001ull},
      {0x8000000000000001ull, 64, 0x8000000000000001ull, 0x8000000000000001ull, 0x8000000000000001ull},
      {0x8000000000000001ull, 65, 0x0000000000000002ull, 0x4000000000000000ull, 0x0000000000000003ull},
      {0x8000000000000001ull, 63, 0x8000000000000000ull, 0x0000000000000001ull, 0xC000000000000000ull},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.value << " by " << std::dec << c.count);
    EXPECT_EQ(Shr64(c.value, c.count), c.shr);
    EXPECT_EQ(Rotl64(c.value, c.count), c.rotl);
    EXPECT_EQ(Shl64(c.value, c.count), c.shl);
  }
}

TEST(Arithmetic, MultiplyKeepsLow64Bits) {
  EXPECT_EQ(Mul64x32(0x100000000ull, 0x10), 0x1000000000ull);
  EXPECT_EQ(Mul64x32(0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFu), 0xFFFFFFFF00000001ull);
  EXPECT_EQ(Mul64x64(0x123456789ull, 0x987654321ull), 0x123456789ull * 0x987654321ull);
  EXPECT_EQ(Mul64x64(1ull << 63, 2), 0u);
}

TEST(Arithmetic, DivideWithRemainder) {
  const struct {
    UINT64 value;
    UINT32 divisor;
    UINT64 quotient;
    UINT32 remainder;
  } kCases[] = {
      {100, 7, 14, 2},
      {0, 9, 0, 0},
      {~0ull, 1, ~0ull, 0},
      {~0ull, 0xFFFFFFFFu, 0x100000001ull, 0},
      {~0ull, 10, 1844674407370955161ull, 5},
      {1234, 0, ~0ull, 0},  // division by zero: all ones, remainder 0
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.value << " / " << c.divisor);
    UINT32 remainder = 0xA5A5A5A5u;
    EXPECT_EQ(Div64x32Rem(c.value, c.divisor, &remainder), c.quotient);
    EXPECT_EQ(remainder, c.remainder);
    EXPECT_EQ(Div64x32Rem(c.value, c.divisor, nullptr), c.quotient);
    EXPECT_EQ(Div64x32(c.value, c.divisor), c.quotient);
  }
}

TEST(Arithmetic, ByteSwaps) {
  EXPECT_EQ(Swap16(0x1234), 0x3412);
  EXPECT_EQ(Swap16(0xFF00), 0x00FF);
  EXPECT_EQ(Swap32(0x12345678u), 0x78563412u);
  EXPECT_EQ(Swap32(0xFF000080u), 0x800000FFu);
}

// ---------------------------------------------------------------- unaligned access, GUIDs

TEST(Unaligned, LoadsAndStoresAtEveryOffset) {
  for (size_t offset = 0; offset < 8; ++offset) {
    SCOPED_TRACE(offset);
    std::vector<uint8_t> bytes = Pattern(24);
    const uint8_t* p = bytes.data() + offset;
    EXPECT_EQ(Load16(p), static_cast<UINT16>(p[0] | p[1] << 8));
    EXPECT_EQ(Load32(p),
              static_cast<UINT32>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<UINT32>(p[3]) << 24));
    UINT64 expected = 0;
    for (int i = 7; i >= 0; --i) expected = expected << 8 | p[i];
    EXPECT_EQ(Load64(p), expected);

    std::vector<uint8_t> target(24, 0xEE);
    EXPECT_EQ(Store64(target.data() + offset, 0x0807060504030201ull), 0x0807060504030201ull);
    for (size_t i = 0; i < target.size(); ++i) {
      const bool inside = i >= offset && i < offset + 8;
      EXPECT_EQ(target[i], inside ? i - offset + 1 : 0xEE) << i;
    }
  }
}

TEST(Guids, CompareAndCopyBothHalves) {
  const EFI_GUID base = {0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}};
  EFI_GUID other = base;
  EXPECT_TRUE(SameGuid(&base, &other));
  for (size_t byte = 0; byte < sizeof(EFI_GUID); ++byte) {
    other = base;
    reinterpret_cast<uint8_t*>(&other)[byte] ^= 0x01;
    EXPECT_FALSE(SameGuid(&base, &other)) << "byte " << byte;
  }

  // Copy between unaligned places.
  alignas(8) uint8_t storage[2 + 2 * sizeof(EFI_GUID)] = {};
  memcpy(storage + 1, &base, sizeof(base));
  EFI_GUID* source = reinterpret_cast<EFI_GUID*>(storage + 1);
  EFI_GUID* destination = reinterpret_cast<EFI_GUID*>(storage + 1 + sizeof(EFI_GUID));
  EXPECT_EQ(CopyGuidValue(destination, source), destination);
  EXPECT_EQ(memcmp(storage + 1 + sizeof(EFI_GUID), &base, sizeof(base)), 0);
  EXPECT_TRUE(SameGuid(source, destination));
  EXPECT_EQ(storage[0], 0);
  EXPECT_EQ(storage[sizeof(storage) - 1], 0);
}

// ---------------------------------------------------------------- lists, device paths

TEST(Lists, AddTailKeepsOrderBothWays) {
  LIST_ENTRY head, first, second, third;
  EXPECT_EQ(ListInit(&head), &head);
  EXPECT_EQ(head.ForwardLink, &head);
  EXPECT_EQ(head.BackLink, &head);

  // Three entries: from the third on, the last entry and the first differ.
  EXPECT_EQ(ListAddTail(&head, &first), &head);
  EXPECT_EQ(ListAddTail(&head, &second), &head);
  EXPECT_EQ(ListAddTail(&head, &third), &head);
  const LIST_ENTRY* forward[] = {&head, &first, &second, &third, &head};
  const LIST_ENTRY* p = &head;
  for (size_t i = 1; i < 5; ++i) {
    p = p->ForwardLink;
    EXPECT_EQ(p, forward[i]) << "forward step " << i;
  }
  p = &head;
  for (size_t i = 1; i < 5; ++i) {
    p = p->BackLink;
    EXPECT_EQ(p, forward[4 - i]) << "backward step " << i;
  }
}

TEST(DevicePaths, StepByLengthAndStopAtEnd) {
  // Three nodes: 6 bytes (odd-length payload), 5 bytes, then the end node; the
  // second node's header is unaligned.
  alignas(8) uint8_t path[] = {MEDIA_DEVICE_PATH,
                               MEDIA_HARDDRIVE_DP,
                               6,
                               0,
                               0xAA,
                               0xBB,
                               0x03,
                               0x01,
                               5,
                               0,
                               0xCC,
                               END_DEVICE_PATH_TYPE,
                               END_ENTIRE_DEVICE_PATH_SUBTYPE,
                               4,
                               0};
  const auto* node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL*>(path);
  EXPECT_FALSE(PathIsEnd(node));
  node = PathNext(node);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(node), path + 6);
  EXPECT_FALSE(PathIsEnd(node));
  node = PathNext(node);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(node), path + 11);
  EXPECT_TRUE(PathIsEnd(node));

  // The length is 16 bits wide; any end subtype ends the path.
  alignas(8) uint8_t wide[0x110] = {0x01, 0x01, 0x04, 0x01};
  wide[0x104] = END_DEVICE_PATH_TYPE;
  wide[0x105] = END_INSTANCE_DEVICE_PATH_SUBTYPE;
  node = PathNext(reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL*>(wide));
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(node), wide + 0x104);
  EXPECT_TRUE(PathIsEnd(node));
}

// ---------------------------------------------------------------- pool

// A boot-services table whose pool services record their calls. Allocations
// come from malloc, pre-filled with a pattern so zeroing is visible; a failing
// call leaves a non-null pointer behind to prove it is not returned.
struct PoolRecorder {
  int allocations = 0;
  EFI_MEMORY_TYPE type = EfiReservedMemoryType;
  UINTN size = 0;
  EFI_STATUS result = EFI_SUCCESS;
};
PoolRecorder recorder;
uint8_t junk;

EFI_STATUS EFIAPI RecordingAllocatePool(EFI_MEMORY_TYPE type, UINTN size, void** buffer) {
  ++recorder.allocations;
  recorder.type = type;
  recorder.size = size;
  if (EFI_ERROR(recorder.result)) {
    *buffer = &junk;
    return recorder.result;
  }
  *buffer = malloc(size == 0 ? 1 : size);
  memset(*buffer, 0xA5, size);
  return recorder.result;
}

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = BootServices;
    memset(&table_, 0, sizeof(table_));
    table_.AllocatePool = RecordingAllocatePool;
    BootServices = &table_;
    recorder = PoolRecorder();
  }
  void TearDown() override { BootServices = saved_; }

 private:
  EFI_BOOT_SERVICES table_;
  EFI_BOOT_SERVICES* saved_ = nullptr;
};

const uint8_t kSource[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

const struct PoolCase {
  const char* name;
  void* (*allocate)(UINTN size);
  EFI_MEMORY_TYPE type;
  enum { kAsLeft, kZeroed, kCopied } content;
} kPoolCases[] = {
    {"PoolAlloc", [](UINTN n) { return PoolAlloc(EfiACPIMemoryNVS, n); }, EfiACPIMemoryNVS,
     PoolCase::kAsLeft},
    {"PoolAllocBs", PoolAllocBs, EfiBootServicesData, PoolCase::kAsLeft},
    {"PoolAllocRt", PoolAllocRt, EfiRuntimeServicesData, PoolCase::kAsLeft},
    {"PoolAllocZeroRt", PoolAllocZeroRt, EfiRuntimeServicesData, PoolCase::kZeroed},
    {"PoolAllocCopy", [](UINTN n) { return PoolAllocCopy(n, kSource); }, EfiBootServicesData,
     PoolCase::kCopied},
};

TEST_F(PoolTest, TypeAndContent) {
  for (const auto& c : kPoolCases) {
    SCOPED_TRACE(c.name);
    recorder = PoolRecorder();
    auto* p = static_cast<uint8_t*>(c.allocate(sizeof(kSource)));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(recorder.allocations, 1);
    EXPECT_EQ(recorder.type, c.type);
    EXPECT_EQ(recorder.size, sizeof(kSource));
    for (size_t i = 0; i < sizeof(kSource); ++i) {
      const uint8_t expected = c.content == PoolCase::kZeroed   ? 0
                               : c.content == PoolCase::kCopied ? kSource[i]
                                                                : 0xA5;
      EXPECT_EQ(p[i], expected) << "byte " << i;
    }
    free(p);
  }
}

TEST_F(PoolTest, NullOnAnyError) {
  for (const EFI_STATUS failure : {EFI_OUT_OF_RESOURCES, EFI_INVALID_PARAMETER}) {
    for (const auto& c : kPoolCases) {
      SCOPED_TRACE(c.name);
      recorder = PoolRecorder();
      recorder.result = failure;
      EXPECT_EQ(c.allocate(sizeof(kSource)), nullptr);
      EXPECT_EQ(recorder.allocations, 1);
      EXPECT_EQ(junk, 0) << "nothing written through the pointer of a failed allocation";
    }
  }
}

// ---------------------------------------------------------------- processor

TEST(RunCpuid, StoresRequestedRegistersAndReturnsLeaf) {
  sim::Platform platform;
  platform.cpu.cpuid = [](uint32_t leaf, uint32_t regs[4]) {
    for (uint32_t i = 0; i < 4; ++i) regs[i] = leaf * 0x10 + i + 1;
  };
  UINT32 eax = 0, ebx = 0, ecx = 0, edx = 0;
  EXPECT_EQ(RunCpuid(0x80000007u, &eax, &ebx, &ecx, &edx), 0x80000007u);
  EXPECT_EQ(eax, 0x00000071u);
  EXPECT_EQ(ebx, 0x00000072u);
  EXPECT_EQ(ecx, 0x00000073u);
  EXPECT_EQ(edx, 0x00000074u);

  // Null out-parameters are skipped; the others still receive their register.
  UINT32 onlyEdx = 0;
  EXPECT_EQ(RunCpuid(2, nullptr, nullptr, nullptr, &onlyEdx), 2u);
  EXPECT_EQ(onlyEdx, 0x24u);
  UINT32 onlyEbx = 0;
  EXPECT_EQ(RunCpuid(3, nullptr, &onlyEbx, nullptr, nullptr), 3u);
  EXPECT_EQ(onlyEbx, 0x32u);
  EXPECT_EQ(platform.counters.cpuids, 3u) << "one CPUID per call";
}

}  // namespace
