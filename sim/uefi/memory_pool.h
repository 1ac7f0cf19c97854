// Pool and page bookkeeping as a firmware memory service keeps it: every
// allocation is recorded, a free must name one exactly (a double or foreign
// free is recorded as a violation), and pages may be given back in parts.
// The boot-services world and SMRAM each have their own instance.
//
// Not for use outside sim/.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/platform.h"

namespace sim {

struct MemoryBlock {
  Allocation info;
  uint64_t serial = 0;            // allocation order
  bool mapped = false;            // from mmap (address constraints) rather than the heap
  std::set<uint64_t> freedPages;  // page numbers already given back by a partial FreePages
};

class MemoryPool {
 public:
  // `servicePrefix` names the services in violations: "" gives "FreePool",
  // "Smm" gives "SmmFreePool".
  MemoryPool(Platform* owner, std::string servicePrefix);
  ~MemoryPool();
  MemoryPool(const MemoryPool&) = delete;
  MemoryPool& operator=(const MemoryPool&) = delete;

  // Asked before each allocation; true makes it fail as out of resources.
  std::function<bool()> failNext;

  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE type, UINTN size, void** buffer);
  EFI_STATUS FreePool(void* buffer);
  EFI_STATUS AllocatePages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType, UINTN pages,
                           EFI_PHYSICAL_ADDRESS* memory);
  EFI_STATUS FreePages(EFI_PHYSICAL_ADDRESS memory, UINTN pages);
  std::vector<Allocation> Outstanding() const;  // in allocation order
  // The outstanding allocation that holds `address`, or null.
  const Allocation* Containing(uintptr_t address) const;
  // A free of `address` was refused (an injected failure): the pool block
  // it names, or the page block it lies in, is kept and marked.
  void FreeRefused(uintptr_t address, bool pages);
  void ReleaseAll();
  // ReleaseAll, and allocation order starts over.
  void Renew() {
    ReleaseAll();
    serial_ = 0;
  }

 private:
  Platform* owner_;
  std::string prefix_;
  std::map<uintptr_t, MemoryBlock> blocks_;
  // Nodes of released blocks, reused by the next allocations: a boot makes
  // and releases the same few dozen records every time.
  std::vector<std::map<uintptr_t, MemoryBlock>::node_type> spareNodes_;
  // A released block kept for reuse: a mapping or a large pool block.
  struct Spare {
    void* address;
    uint64_t bytes;
    bool mapped;
  };
  std::vector<Spare> spareMaps_;  // released mappings, oldest first
  std::vector<Spare> sparePool_;  // released large pool blocks, oldest first
  void ReleaseBlock(const MemoryBlock& block);
  void Keep(std::vector<Spare>& list, const Spare& spare);
  static void Discard(const Spare& spare);  // back to the host for good
  void* TakeSpareMap(uint64_t address, uint64_t maxAddress, uint64_t bytes);
  void DropSpareMaps(uint64_t address, uint64_t bytes);
  void* TakeSparePool(uint64_t bytes);
  void Record(void* address, MemoryBlock block);
  void Forget(std::map<uintptr_t, MemoryBlock>::iterator it);
  uint64_t serial_ = 0;
};

}  // namespace sim
