// The flash device map through its lookups.
//
// Input: a type selector byte, an instance byte, then the map's bytes,
// published through the map's PCD in a buffer exactly as long as the map
// claims to be (its Length, zero-filled past the input; at least its
// header), so any read outside the map is a finding. Maps claiming more than
// 64 KiB are skipped. The selector picks the looked-up type from the map's
// own first entries (or a GUID no entry has).
//
// Oracle: a reference walk over the same bytes: the header signature
// "HFDM" and its 28-byte sum, a stride of at least 52, entries from
// EntriesOffset while a whole entry lies within Length, hidden entries
// (bit 1) skipped; FdmRegionBase and FdmRegionSize give FlashBase + Offset
// and Size of the n-th visible entry of the type, or 0; FdmRegionBaseByGuids
// with the all-zero area GUID the same among entries whose area GUID is zero
// (within the first 255 entries of the type: instance numbers are 8-bit).
// No violation.
#include <cstring>

#include "flash/fdm.h"
#include "fuzz/harness.h"
#include "sim/pcd/pcd_db.h"

namespace {

struct Found {
  uint64_t base = 0, size = 0;
};

uint64_t U64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
uint32_t U32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// The n-th visible entry of `type` (and of a zero area GUID with `byZeroArea`).
Found Reference(const std::vector<uint8_t>& t, const uint8_t* type, uint8_t n, bool byZeroArea) {
  if (t.size() < 28 || std::memcmp(t.data(), "HFDM", 4) != 0 || n == 0) return {};
  uint8_t sum = 0;
  for (int i = 0; i < 28; i++) sum = static_cast<uint8_t>(sum + t[i]);
  const uint64_t length = U32(t.data() + 4), stride = U32(t.data() + 12);
  if (sum != 0 || stride < 52) return {};
  const uint8_t zero[16] = {};
  unsigned matched = 0, ofType = 0;
  for (uint64_t at = U32(t.data() + 8); at < length && length - at >= 52; at += stride) {
    const uint8_t* e = t.data() + at;
    if (U32(e + 48) & 2) continue;
    if (std::memcmp(e, type, 16) != 0) continue;
    // Instance numbers are 8-bit: the by-GUIDs search reaches the first 255
    // entries of the type.
    if (byZeroArea && ++ofType > 255) return {};
    if (byZeroArea && std::memcmp(e + 16, zero, 16) != 0) continue;
    if (++matched == n) return {U64(t.data() + 20) + U64(e + 32), U64(e + 40)};
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t selector = in.U8();
  const uint8_t n = in.U8() % 4;
  std::vector<uint8_t> bytes = in.Bytes(in.Left());
  if (bytes.size() >= 28) {
    const uint32_t length = U32(bytes.data() + 4);
    if (length > 0x10000) return 0;
    bytes.resize(std::max<size_t>(28, length), 0);
  }
  // An exactly sized heap copy: reads past it are caught.
  std::unique_ptr<uint8_t[]> table(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(table.get(), bytes.data(), bytes.size());

  fuzz::Lease lease;
  fuzz::Notebook& nb = lease.notebook;
  sim::PcdDatabase pcd(nb.platform);
  pcd.Declare(FdmTokenSpaceGuid, 0x30000017, sim::PcdDatabase::Kind::U64,
              bytes.size() >= 28 ? reinterpret_cast<uintptr_t>(table.get()) : 0);
  nb.Start();

  // The type looked up: one the map's first entries carry, when there is one.
  uint8_t type[16] = {0xEE};
  if (bytes.size() >= 28) {
    const uint64_t at = U32(bytes.data() + 8) + static_cast<uint64_t>(selector % 4) * U32(bytes.data() + 12);
    if (at + 16 <= bytes.size()) std::memcpy(type, bytes.data() + at, 16);
  }
  EFI_GUID guid, zero = {};
  std::memcpy(&guid, type, 16);
  const Found want = bytes.size() >= 28 ? Reference(bytes, type, n, false) : Found{};
  fuzz::Check(FdmRegionBase(&guid, n) == want.base, "FdmRegionBase differs from the reference walk");
  fuzz::Check(FdmRegionSize(&guid, n) == want.size, "FdmRegionSize differs from the reference walk");
  const Found byGuids = bytes.size() >= 28 ? Reference(bytes, type, n, true) : Found{};
  fuzz::Check(FdmRegionBaseByGuids(&guid, &zero, n) == byGuids.base, "FdmRegionBaseByGuids differs");
  nb.CheckClean();
  return 0;
}
