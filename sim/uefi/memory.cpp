// Pool and page allocation. Pool and unconstrained pages come from the host
// heap so AddressSanitizer sees overruns and use after free; pages that must
// lie below an address come from mmap (MAP_32BIT for the low 4 GiB).
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sim/platform_impl.h"
#include "sim/uefi/memory_pool.h"

namespace sim {

namespace {

constexpr uint64_t kPageSize = 4096;
// Fresh firmware memory is not zeroed; fill it so code that forgets to
// initialise a buffer shows up in tests.
constexpr uint8_t kFreshFill = 0xAF;
// Larger requests fail as out of resources instead of exhausting the host.
constexpr uint64_t kMaxAllocation = 1ull << 30;
// Lowest address mmap may hand out on Linux by default.
constexpr uint64_t kLowestMappable = 0x10000;

bool ValidMemoryType(EFI_MEMORY_TYPE type) {
  uint32_t t = type;
  if (t >= 0x70000000u) return true;  // OEM and OS-loader ranges
  return t < EfiMaxMemoryType && t != EfiConventionalMemory && t != EfiPersistentMemory;
}

void* MapAt(uint64_t address, uint64_t bytes, int extraFlags) {
  void* p = mmap(reinterpret_cast<void*>(address), bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | extraFlags, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

// Maps `bytes` so that the last byte is at or below `maxAddress`.
void* MapBelow(uint64_t maxAddress, uint64_t bytes) {
  if (maxAddress < kLowestMappable + bytes - 1) return nullptr;
  if (void* p = MapAt(0, bytes, MAP_32BIT)) {
    if (reinterpret_cast<uint64_t>(p) + bytes - 1 <= maxAddress) return p;
    munmap(p, bytes);
  }
  // Probe downwards from the highest acceptable start for a free range.
  uint64_t start = (maxAddress + 1 - bytes) & ~(kPageSize - 1);
  const uint64_t step = 16ull << 20;
  for (int tries = 0; tries < 512 && start >= kLowestMappable; ++tries) {
    void* p = MapAt(start, bytes, MAP_FIXED_NOREPLACE);
    if (p == reinterpret_cast<void*>(start)) return p;
    if (p) munmap(p, bytes);  // kernel without MAP_FIXED_NOREPLACE treated it as a hint
    if (start < step) break;
    start -= step;
  }
  return nullptr;
}

// Released mappings and large pool blocks kept for reuse; beyond this many
// of a kind the oldest goes back.
constexpr size_t kSpareLimit = 8;
// Under AddressSanitizer large pool blocks go back to the heap at once: its
// quarantine keeps them from reuse for longer than the spare list would.
constexpr uint64_t kSparePoolMinimum = kAddressSanitizer ? UINT64_MAX : 1024;

// Takes the first kept block that `fits` accepts off `list`; null if none.
template <typename List, typename Fits>
void* TakeFirst(List& list, Fits fits) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (!fits(*it)) continue;
    void* p = it->address;
    list.erase(it);
    return p;
  }
  return nullptr;
}

}  // namespace

// A released mapping stays reserved for the next allocation of the same
// size: mapping low memory afresh costs page tables and page faults every
// boot. Like freed heap memory it is poisoned for AddressSanitizer, so a
// stale access is reported as a use after free. Large pool blocks are kept
// the same way (not under AddressSanitizer): the heap's large-block path
// costs more than the rest of an allocation.
void MemoryPool::ReleaseBlock(const MemoryBlock& block) {
  const Spare spare{block.info.address, block.info.size, block.mapped};
  if (block.mapped) {
    ASAN_POISON_MEMORY_REGION(spare.address, spare.bytes);
    Keep(spareMaps_, spare);
  } else if (!block.info.pages && spare.bytes >= kSparePoolMinimum) {
    Keep(sparePool_, spare);
  } else {
    std::free(spare.address);
  }
}

void MemoryPool::Keep(std::vector<Spare>& list, const Spare& spare) {
  if (list.size() == kSpareLimit) {
    Discard(list.front());
    list.erase(list.begin());
  }
  list.push_back(spare);
}

void MemoryPool::Discard(const Spare& spare) {
  if (spare.mapped) {
    ASAN_UNPOISON_MEMORY_REGION(spare.address, spare.bytes);
    munmap(spare.address, spare.bytes);
  } else {
    std::free(spare.address);
  }
}

// A kept mapping of `bytes` that starts at `address` (exact) or, with
// address 0, ends at or below `maxAddress`.
void* MemoryPool::TakeSpareMap(uint64_t address, uint64_t maxAddress, uint64_t bytes) {
  void* p = TakeFirst(spareMaps_, [&](const Spare& m) {
    const uint64_t start = reinterpret_cast<uint64_t>(m.address);
    return m.bytes == bytes && (address ? start == address : start + bytes - 1 <= maxAddress);
  });
  if (p) ASAN_UNPOISON_MEMORY_REGION(p, bytes);
  return p;
}

// A kept pool block of exactly `bytes`, or null.
void* MemoryPool::TakeSparePool(uint64_t bytes) {
  if (bytes < kSparePoolMinimum) return nullptr;
  return TakeFirst(sparePool_, [bytes](const Spare& m) { return m.bytes == bytes; });
}

// Unmaps kept mappings that overlap [address, address + bytes), so a fixed
// mapping there can be made.
void MemoryPool::DropSpareMaps(uint64_t address, uint64_t bytes) {
  for (auto it = spareMaps_.begin(); it != spareMaps_.end();) {
    const uint64_t start = reinterpret_cast<uint64_t>(it->address);
    if (start < address + bytes && address < start + it->bytes) {
      Discard(*it);
      it = spareMaps_.erase(it);
    } else {
      ++it;
    }
  }
}

MemoryPool::MemoryPool(Platform* owner, std::string servicePrefix)
    : owner_(owner), prefix_(std::move(servicePrefix)) {}

MemoryPool::~MemoryPool() {
  ReleaseAll();
  for (const Spare& m : spareMaps_) Discard(m);
  for (const Spare& m : sparePool_) Discard(m);
}

EFI_STATUS MemoryPool::AllocatePool(EFI_MEMORY_TYPE type, UINTN size, void** buffer) {
  if (!buffer || !ValidMemoryType(type)) return EFI_INVALID_PARAMETER;
  if ((failNext && failNext()) || size > kMaxAllocation) return EFI_OUT_OF_RESOURCES;
  void* p = TakeSparePool(size);
  if (!p) p = std::malloc(size ? size : 1);
  if (!p) return EFI_OUT_OF_RESOURCES;
  std::memset(p, kFreshFill, size);
  MemoryBlock block;
  block.info = Allocation{p, size, type, false, owner_->BootNumber()};
  block.serial = ++serial_;
  Record(p, std::move(block));
  ++owner_->counters.allocations;
  *buffer = p;
  return EFI_SUCCESS;
}

EFI_STATUS MemoryPool::FreePool(void* buffer) {
  auto it = blocks_.find(reinterpret_cast<uintptr_t>(buffer));
  if (!buffer || it == blocks_.end() || it->second.info.pages) {
    // Firmware would corrupt its pool or assert here; the caller never sees it.
    owner_->RecordViolation(prefix_ + "FreePool(" + Hex(reinterpret_cast<uintptr_t>(buffer)) + ") of " +
                            (!buffer ? std::string("a null pointer")
                             : it == blocks_.end()
                                 ? std::string("memory that is not allocated pool (double or foreign free)")
                                 : std::string("page memory")));
    return EFI_INVALID_PARAMETER;
  }
  ReleaseBlock(it->second);
  Forget(it);
  ++owner_->counters.frees;
  return EFI_SUCCESS;
}

EFI_STATUS MemoryPool::AllocatePages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType, UINTN pages,
                                     EFI_PHYSICAL_ADDRESS* memory) {
  if (!memory || type > AllocateAddress || !ValidMemoryType(memoryType) || pages == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (type == AllocateAddress && (*memory & (kPageSize - 1))) return EFI_INVALID_PARAMETER;
  if ((failNext && failNext()) || pages > kMaxAllocation / kPageSize) return EFI_OUT_OF_RESOURCES;
  const uint64_t bytes = pages * kPageSize;
  void* p = nullptr;
  bool mapped = false;
  switch (type) {
    case AllocateAnyPages:
      p = std::aligned_alloc(kPageSize, bytes);
      if (!p) return EFI_OUT_OF_RESOURCES;
      break;
    case AllocateMaxAddress:
      p = std::aligned_alloc(kPageSize, bytes);
      if (p && reinterpret_cast<uint64_t>(p) + bytes - 1 > *memory) {
        std::free(p);
        p = TakeSpareMap(0, *memory, bytes);
        if (!p) p = MapBelow(*memory, bytes);
        mapped = true;
      }
      if (!p) return EFI_NOT_FOUND;
      break;
    case AllocateAddress:
      p = TakeSpareMap(*memory, 0, bytes);
      if (p) {
        mapped = true;
        break;
      }
      DropSpareMaps(*memory, bytes);
      p = MapAt(*memory, bytes, MAP_FIXED_NOREPLACE);
      if (p && p != reinterpret_cast<void*>(*memory)) {
        munmap(p, bytes);
        p = nullptr;
      }
      if (!p) return EFI_NOT_FOUND;
      mapped = true;
      break;
  }
  std::memset(p, kFreshFill, bytes);
  MemoryBlock block;
  block.info = Allocation{p, bytes, memoryType, true, owner_->BootNumber()};
  block.serial = ++serial_;
  block.mapped = mapped;
  Record(p, std::move(block));
  ++owner_->counters.allocations;
  *memory = reinterpret_cast<EFI_PHYSICAL_ADDRESS>(p);
  return EFI_SUCCESS;
}

EFI_STATUS MemoryPool::FreePages(EFI_PHYSICAL_ADDRESS memory, UINTN pages) {
  if (memory & (kPageSize - 1)) return EFI_INVALID_PARAMETER;
  // Any whole-page range inside one allocation may be freed, as UEFI allows;
  // the block is released once none of its pages is still in use.
  auto it = blocks_.upper_bound(static_cast<uintptr_t>(memory));
  MemoryBlock* block = nullptr;
  if (it != blocks_.begin()) {
    --it;
    const uint64_t start = it->first;
    if (it->second.info.pages && memory >= start && memory < start + it->second.info.size)
      block = &it->second;
  }
  const uint64_t bytes = uint64_t{pages} * kPageSize;
  if (!block || pages == 0 || memory + bytes > it->first + block->info.size) {
    owner_->RecordViolation(prefix_ + "FreePages(" + Hex(memory) + ", " + std::to_string(pages) +
                            ") of pages that are not allocated (double or foreign free)");
    return EFI_NOT_FOUND;
  }
  const uint64_t first = (memory - it->first) / kPageSize;
  for (uint64_t p = first; p < first + pages; ++p) {
    if (block->freedPages.count(p)) {
      owner_->RecordViolation(prefix_ + "FreePages(" + Hex(memory) + ", " + std::to_string(pages) +
                              ") frees a page twice");
      return EFI_NOT_FOUND;
    }
  }
  for (uint64_t p = first; p < first + pages; ++p) block->freedPages.insert(p);
  if (block->freedPages.size() * kPageSize == block->info.size) {
    ReleaseBlock(*block);
    Forget(it);
  }
  ++owner_->counters.frees;
  return EFI_SUCCESS;
}

void MemoryPool::ReleaseAll() {
  for (auto& entry : blocks_) ReleaseBlock(entry.second);
  while (!blocks_.empty()) Forget(blocks_.begin());
}

void MemoryPool::Record(void* address, MemoryBlock block) {
  const uintptr_t key = reinterpret_cast<uintptr_t>(address);
  if (spareNodes_.empty()) {
    blocks_[key] = std::move(block);
    return;
  }
  auto node = std::move(spareNodes_.back());
  spareNodes_.pop_back();
  node.key() = key;
  node.mapped() = std::move(block);
  blocks_.insert(std::move(node));
}

void MemoryPool::Forget(std::map<uintptr_t, MemoryBlock>::iterator it) {
  spareNodes_.push_back(blocks_.extract(it));
  spareNodes_.back().mapped().freedPages.clear();
}

void MemoryPool::FreeRefused(uintptr_t address, bool pages) {
  auto it = blocks_.upper_bound(address);
  if (it == blocks_.begin()) return;
  --it;
  MemoryBlock& block = it->second;
  if (block.info.pages != pages) return;
  // Pool must be named exactly; pages may be given back from inside.
  const bool names = pages ? address - it->first < block.info.size : address == it->first;
  if (names) block.info.freeRefused = true;
}

const Allocation* MemoryPool::Containing(uintptr_t address) const {
  auto it = blocks_.upper_bound(address);
  if (it == blocks_.begin()) return nullptr;
  --it;
  const Allocation& a = it->second.info;
  return address - it->first < a.size ? &a : nullptr;
}

std::vector<Allocation> MemoryPool::Outstanding() const {
  std::vector<const MemoryBlock*> sorted;
  sorted.reserve(blocks_.size());
  for (const auto& entry : blocks_) sorted.push_back(&entry.second);
  std::sort(sorted.begin(), sorted.end(),
            [](const MemoryBlock* a, const MemoryBlock* b) { return a->serial < b->serial; });
  std::vector<Allocation> out;
  out.reserve(sorted.size());
  for (const MemoryBlock* b : sorted) out.push_back(b->info);
  return out;
}

// ---------------------------------------------------------------- boot services

bool Platform::Impl::InjectFailure() {
  if (failCountdown == 0) return false;
  return --failCountdown == 0;
}

std::vector<Allocation> Platform::OutstandingAllocations() const { return impl->memory.Outstanding(); }

void Platform::FailNthAllocation(uint64_t n) { impl->failCountdown = n; }

}  // namespace sim
