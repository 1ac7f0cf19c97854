// Pool and page allocation.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/platform.h"

namespace {

class Memory : public ::testing::Test {
 protected:
  void SetUp() override { p.BeginBoot(); }
  sim::Platform p;
  EFI_BOOT_SERVICES* bs = p.BootServices();
};

TEST_F(Memory, PoolIsTrackedWithItsTypeAndFreedOnlyOnce) {
  const EFI_MEMORY_TYPE types[] = {EfiBootServicesData, EfiRuntimeServicesData, EfiReservedMemoryType};
  for (EFI_MEMORY_TYPE type : types) {
    char* buffer = nullptr;
    ASSERT_EQ(bs->AllocatePool(type, 40, reinterpret_cast<void**>(&buffer)), EFI_SUCCESS);
    std::memset(buffer, 0, 40);
    std::vector<sim::Allocation> held = p.OutstandingAllocations();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].address, buffer);
    EXPECT_EQ(held[0].size, 40u);
    EXPECT_EQ(held[0].type, type);
    EXPECT_FALSE(held[0].pages);
    EXPECT_EQ(bs->FreePool(buffer + 8), EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs->FreePool(buffer), EFI_SUCCESS);
    EXPECT_EQ(bs->FreePool(buffer), EFI_INVALID_PARAMETER);
  }
  EXPECT_EQ(p.counters.allocations, 3u);
  EXPECT_EQ(p.counters.frees, 3u);
  void* buffer = nullptr;
  EXPECT_EQ(bs->AllocatePool(EfiConventionalMemory, 8, &buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->AllocatePool(EfiMaxMemoryType, 8, &buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->FreePool(nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(Memory, MaxAddressPagesEndAtOrBelowTheLimit) {
  const std::pair<EFI_PHYSICAL_ADDRESS, UINTN> cases[] = {{0xFFFFFFFF, 1}, {0xFFFFFFFF, 5}, {0x7FFFFFFF, 1}};
  for (const auto& c : cases) {
    EFI_PHYSICAL_ADDRESS address = c.first;
    ASSERT_EQ(bs->AllocatePages(AllocateMaxAddress, EfiReservedMemoryType, c.second, &address), EFI_SUCCESS);
    EXPECT_EQ(address % 4096, 0u);
    EXPECT_LE(address + c.second * 4096 - 1, c.first);
    std::memset(reinterpret_cast<void*>(address), 0, c.second * 4096);
    // A range running past the allocation frees nothing; the whole one does.
    EXPECT_EQ(bs->FreePages(address, c.second + 1), EFI_NOT_FOUND);
    EXPECT_EQ(bs->FreePages(address, c.second), EFI_SUCCESS);
    EXPECT_EQ(bs->FreePages(address, c.second), EFI_NOT_FOUND);
  }
}

TEST_F(Memory, FixedAddressPagesOnlyWhereTheRangeIsFree) {
  EFI_PHYSICAL_ADDRESS held = 0xFFFFFFFF;
  ASSERT_EQ(bs->AllocatePages(AllocateMaxAddress, EfiBootServicesData, 1, &held), EFI_SUCCESS);
  EFI_PHYSICAL_ADDRESS address = held;
  EXPECT_EQ(bs->AllocatePages(AllocateAddress, EfiBootServicesData, 1, &address), EFI_NOT_FOUND);
  ASSERT_EQ(bs->FreePages(held, 1), EFI_SUCCESS);
  ASSERT_EQ(bs->AllocatePages(AllocateAddress, EfiBootServicesData, 1, &address), EFI_SUCCESS);
  EXPECT_EQ(address, held);
}

// Low pages given back are kept for reuse; whatever way they are taken
// again, they come back as fresh memory (filled with 0xAF), not with what
// the last owner left, and a fixed range over kept pages can be had at any size.
TEST_F(Memory, LowPagesTakenAgainComeBackFresh) {
  const struct {
    const char* name;
    EFI_ALLOCATE_TYPE type;
    UINTN pages;  // of the second allocation; the first has 2
    bool sameAddress;
  } cases[] = {
      {"below 4 GiB, same size", AllocateMaxAddress, 2, false},
      {"at the same address, same size", AllocateAddress, 2, true},
      {"at the same address, larger", AllocateAddress, 3, true},
      {"at the same address, smaller", AllocateAddress, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EFI_PHYSICAL_ADDRESS first = 0xFFFFFFFF;
    ASSERT_EQ(bs->AllocatePages(AllocateMaxAddress, EfiReservedMemoryType, 2, &first), EFI_SUCCESS);
    std::memset(reinterpret_cast<void*>(first), 0x11, 2 * 4096);
    ASSERT_EQ(bs->FreePages(first, 2), EFI_SUCCESS);
    EFI_PHYSICAL_ADDRESS again = c.type == AllocateAddress ? first : 0xFFFFFFFF;
    ASSERT_EQ(bs->AllocatePages(c.type, EfiReservedMemoryType, c.pages, &again), EFI_SUCCESS);
    if (c.sameAddress) {
      EXPECT_EQ(again, first);
    }
    EXPECT_LE(again + c.pages * 4096 - 1, 0xFFFFFFFFu);
    const auto* bytes = reinterpret_cast<const uint8_t*>(again);
    for (UINTN i = 0; i < c.pages * 4096; i += 511) ASSERT_EQ(bytes[i], 0xAF) << "byte " << i;
    EXPECT_EQ(bs->FreePages(again, c.pages), EFI_SUCCESS);
  }
}

TEST_F(Memory, PoolTakenAgainComesBackFresh) {
  for (const UINTN size : {UINTN{24}, UINTN{2438}, UINTN{16388}}) {
    SCOPED_TRACE(size);
    void* first = nullptr;
    ASSERT_EQ(bs->AllocatePool(EfiRuntimeServicesData, size, &first), EFI_SUCCESS);
    std::memset(first, 0x11, size);
    ASSERT_EQ(bs->FreePool(first), EFI_SUCCESS);
    void* again = nullptr;
    ASSERT_EQ(bs->AllocatePool(EfiRuntimeServicesData, size, &again), EFI_SUCCESS);
    const auto* bytes = static_cast<const uint8_t*>(again);
    for (UINTN i = 0; i < size; i += 7) ASSERT_EQ(bytes[i], 0xAF) << "byte " << i;
    EXPECT_EQ(bs->FreePool(again), EFI_SUCCESS);
    EXPECT_EQ(bs->FreePool(again), EFI_INVALID_PARAMETER);  // a kept block is not allocated
  }
}

TEST_F(Memory, FailNthAllocationFailsExactlyThatOneOfPoolOrPages) {
  for (uint64_t n : {1u, 2u, 3u}) {
    p.FailNthAllocation(n);
    for (uint64_t i = 1; i <= 4; ++i) {
      void* buffer = nullptr;
      EFI_PHYSICAL_ADDRESS page = 0;
      EFI_STATUS s = i % 2 ? bs->AllocatePool(EfiBootServicesData, 8, &buffer)
                           : bs->AllocatePages(AllocateAnyPages, EfiBootServicesData, 1, &page);
      EXPECT_EQ(s, i == n ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS) << "n=" << n << " allocation " << i;
    }
  }
}

// A free that an injected failure refuses keeps the block, marked so that
// a leak check can tell it from one its owner never gave back.
TEST_F(Memory, AFreeRefusedByInjectionKeepsTheBlockMarked) {
  void* kept = nullptr;
  void* other = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 16, &kept), EFI_SUCCESS);
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 16, &other), EFI_SUCCESS);
  EFI_PHYSICAL_ADDRESS pages = 0;
  ASSERT_EQ(bs->AllocatePages(AllocateAnyPages, EfiBootServicesData, 2, &pages), EFI_SUCCESS);
  const auto marked = [&] {
    std::vector<bool> out;
    for (const sim::Allocation& a : p.OutstandingAllocations()) out.push_back(a.freeRefused);
    return out;
  };
  p.FailService(sim::Service::FreePool, 1, EFI_UNSUPPORTED, true);
  p.FailService(sim::Service::FreePages, 1, EFI_DEVICE_ERROR);
  // Refused pool frees that do not name a pool block exactly mark nothing.
  EXPECT_EQ(bs->FreePool(static_cast<char*>(other) + 8), EFI_UNSUPPORTED);
  EXPECT_EQ(bs->FreePool(reinterpret_cast<void*>(pages)), EFI_UNSUPPORTED);
  EXPECT_EQ(marked(), (std::vector<bool>{false, false, false}));
  EXPECT_EQ(bs->FreePool(kept), EFI_UNSUPPORTED);
  EXPECT_EQ(bs->FreePages(pages + 4096, 1), EFI_DEVICE_ERROR);  // from inside: its second page
  EXPECT_EQ(marked(), (std::vector<bool>{true, false, true}));
  p.ClearServiceFailures();
  EXPECT_EQ(bs->FreePool(kept), EFI_SUCCESS);
  EXPECT_EQ(p.OutstandingAllocations().size(), 2u);
  EXPECT_TRUE(p.violations.empty());
}

TEST_F(Memory, ANewBootReleasesThePreviousBootsMemory) {
  void* buffer = nullptr;
  EFI_PHYSICAL_ADDRESS page = 0xFFFFFFFF;
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &buffer), EFI_SUCCESS);
  ASSERT_EQ(bs->AllocatePages(AllocateMaxAddress, EfiBootServicesData, 1, &page), EFI_SUCCESS);
  p.BeginBoot();
  EXPECT_TRUE(p.OutstandingAllocations().empty());
  EXPECT_EQ(bs->FreePool(buffer), EFI_INVALID_PARAMETER);
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 8, &buffer), EFI_SUCCESS);
  EXPECT_EQ(p.OutstandingAllocations().at(0).boot, 2u);
}

}  // namespace
