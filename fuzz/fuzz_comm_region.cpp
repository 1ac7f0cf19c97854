// The communication-region table through the lock-box client's lookup.
//
// Input: the table's bytes as published (header: version, number of entries,
// descriptor size, reserved; then the entries). The table carries no length,
// so the harness places the input at the start of a zeroed block as large as
// the longest header the client walks (64 KiB of entries past the 16-byte
// header): every walk the client does stays inside it, and a read past the
// block is a finding.
//
// Oracle: the region is the PhysicalStart of the first entry, in the header's
// number of entries at its stride, whose type is 7 and whose pages reach 80
// bytes; 0 when none does or when the header claims more than 64 KiB of
// entries or a stride shorter than a 40-byte memory descriptor.
#include <cstring>

#include "fuzz/harness.h"
#include "s3/lockbox.h"

namespace {

uint64_t Expected(const uint8_t* t) {
  uint32_t entries, stride;
  std::memcpy(&entries, t + 4, 4);
  std::memcpy(&stride, t + 8, 4);
  if (stride < 40 || static_cast<uint64_t>(entries) * stride > 0x10000) return 0;
  for (uint64_t i = 0; i < entries; i++) {
    const uint8_t* e = t + 16 + i * stride;
    uint32_t type;
    uint64_t start, pages;
    std::memcpy(&type, e, 4);
    std::memcpy(&start, e + 8, 8);
    std::memcpy(&pages, e + 24, 8);
    if (type == 7 && (pages << 12) >= 80) return start;  // the byte size in 64-bit arithmetic
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kBlock = 16 + 0x10000;
  if (size > kBlock) return 0;
  std::vector<uint8_t> block(kBlock, 0);
  std::memcpy(block.data(), data, size);
  const uint64_t got = CommRegionFromTable(block.data());
  fuzz::Check(got == Expected(block.data()), "the region is not the first usable entry");
  return 0;
}
