// Byte access, trace text and allocation lookups shared by the SMM
// communication, its handlers and the S3 records. Not for use outside sim/smm/.
#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/platform.h"

namespace sim {
namespace comm {

inline constexpr uint64_t kPage = 4096;
inline constexpr uint64_t kHeaderSize = sizeof(EFI_SMM_COMMUNICATE_HEADER);  // 24

inline std::string HexText(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIX64, v);
  return text;
}

inline std::string Braced(const EFI_GUID& g) { return "{" + GuidToString(g) + "}"; }

inline uint64_t Get64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t Get32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void Put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }
inline void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// The pool or page allocation of this boot that holds `address`, if any.
inline bool AllocationAt(const Platform& platform, uint64_t address, Allocation* out) {
  for (const Allocation& a : platform.OutstandingAllocations()) {
    const uint64_t start = reinterpret_cast<uint64_t>(a.address);
    if (address >= start && address - start < a.size) {
      *out = a;
      return true;
    }
  }
  return false;
}

// When the range starts inside an allocation, the bytes it may cover from
// `address` on; UINT64_MAX when it starts in memory the platform did not hand
// out (a driver global or stack buffer).
inline uint64_t RoomInAllocation(const Platform& platform, uint64_t address) {
  Allocation a;
  if (!AllocationAt(platform, address, &a)) return UINT64_MAX;
  return reinterpret_cast<uint64_t>(a.address) + a.size - address;
}

}  // namespace comm
}  // namespace sim
