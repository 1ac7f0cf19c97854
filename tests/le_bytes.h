// Little-endian fields read out of byte buffers, for tests that check what
// the driver put into a request, a record or a table.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

inline uint16_t U16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline uint32_t U32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t U64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint32_t U32(const std::vector<uint8_t>& b, size_t at) { return U32(b.data() + at); }
inline uint64_t U64(const std::vector<uint8_t>& b, size_t at) { return U64(b.data() + at); }
