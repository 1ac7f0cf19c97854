// HII package bytes built by hand for tests: string blocks, string packages
// and package lists in the UEFI formats, independently of the driver's
// package builder.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "frame/uefi.h"

namespace hiitest {

using Bytes = std::vector<uint8_t>;

inline constexpr EFI_GUID kListGuid = {
    0x3B4D9B23, 0x95AC, 0x44F6, {0x9F, 0xCD, 0x0E, 0x95, 0x94, 0x58, 0x6C, 0x72}};

inline void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void Set32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// String blocks.
inline Bytes Str(const std::u16string& text) {
  Bytes b = {0x14};
  for (char16_t c : text) Put16(b, c);
  Put16(b, 0);
  return b;
}
inline Bytes Skip2(unsigned n) {
  Bytes b = {0x21};
  Put16(b, n);
  return b;
}
inline Bytes Skip1(uint8_t n) { return {0x22, n}; }
inline const Bytes kEnd = {0x00};

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A string package: header of 46 bytes + tag + NUL, blocks right after it.
inline Bytes StringPackage(const std::string& tag, const Bytes& blocks) {
  const uint32_t hdr = static_cast<uint32_t>(46 + tag.size() + 1);
  Bytes b;
  Put32(b, (hdr + static_cast<uint32_t>(blocks.size())) | 0x04u << 24);
  Put32(b, hdr);
  Put32(b, hdr);
  b.insert(b.end(), 32, 0);  // LanguageWindow
  Put16(b, 1);               // LanguageName
  b.insert(b.end(), tag.begin(), tag.end());
  b.push_back(0);
  b.insert(b.end(), blocks.begin(), blocks.end());
  return b;
}

// A package list: GUID, PackageLength, the packages, the end package.
inline Bytes List(const std::vector<Bytes>& packages, bool endPackage = true,
                  const EFI_GUID& guid = kListGuid) {
  Bytes b(16);
  std::memcpy(b.data(), &guid, 16);
  Put32(b, 0);
  for (const Bytes& p : packages) b.insert(b.end(), p.begin(), p.end());
  if (endPackage) b.insert(b.end(), {0x04, 0x00, 0x00, 0xDF});
  Set32(b, 16, static_cast<uint32_t>(b.size()));
  return b;
}

}  // namespace hiitest
