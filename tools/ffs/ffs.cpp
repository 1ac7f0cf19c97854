// PI firmware file and section formats: a file header with its two
// checksums, sections with 24-bit lengths on 4-byte boundaries, and the
// postfix dependency-expression encoding.
#include "tools/ffs/ffs.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace fwfile {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void Append(Bytes& out, const Guid& guid) { out.insert(out.end(), guid.bytes, guid.bytes + 16); }

void Put24(uint8_t* at, size_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
}

uint8_t Sum8(const uint8_t* data, size_t size) {
  uint8_t sum = 0;
  for (size_t i = 0; i < size; i++) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

}  // namespace

std::optional<Guid> ParseGuid(const std::string& text) {
  std::string s = text;
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
  if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return std::nullopt;
  uint8_t raw[16];
  size_t n = 0;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '-') continue;
    const int hi = HexDigit(s[i]);
    const int lo = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
    if (hi < 0 || lo < 0) return std::nullopt;
    raw[n++] = static_cast<uint8_t>(hi << 4 | lo);
    i++;
  }
  if (n != 16) return std::nullopt;
  // Text order is big-endian per field; the first three fields are stored
  // little-endian.
  Guid g;
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; i++) g.bytes[i] = raw[order[i]];
  return g;
}

std::string FormatGuid(const Guid& guid) {
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string out;
  char hex[3];
  for (int i = 0; i < 16; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    std::snprintf(hex, sizeof hex, "%02X", guid.bytes[order[i]]);
    out += hex;
  }
  return out;
}

Bytes AllOfDepex(const std::vector<Guid>& protocols) {
  Bytes out;
  if (protocols.empty()) {
    out.push_back(kDepexTrue);
  }
  for (size_t i = 0; i < protocols.size(); i++) {
    out.push_back(kDepexPush);
    Append(out, protocols[i]);
    if (i > 0) out.push_back(kDepexAnd);
  }
  out.push_back(kDepexEnd);
  return out;
}

Bytes OrderDepex(uint8_t opcode, const Guid& file) {
  // Sized first: g++ 12 at -O3 warns of a bounds fault that an insert into a
  // one-byte vector cannot have.
  Bytes out(18);
  out[0] = opcode;
  std::copy(file.bytes, file.bytes + 16, out.begin() + 1);
  out[17] = kDepexEnd;
  return out;
}

std::optional<Bytes> Section(uint8_t type, const Bytes& payload) {
  const size_t size = kSectionHeaderSize + payload.size();
  if (size > kMaxSize24) return std::nullopt;
  Bytes out(kSectionHeaderSize);
  Put24(out.data(), size);
  out[3] = type;
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes Ucs2(const std::string& ascii) {
  Bytes out;
  for (char c : ascii) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::optional<Bytes> BuildDriverFile(const DriverFile& file, std::string* error) {
  Bytes out(kFileHeaderSize);
  std::optional<Bytes> sections[] = {Section(kSectionDxeDepex, file.depex), Section(kSectionPe32, file.image),
                                     Section(kSectionUserInterface, Ucs2(file.uiName))};
  for (const auto& section : sections) {
    if (!section) {
      *error = "a section does not fit a 24-bit length";
      return std::nullopt;
    }
    // The file starts 8-byte aligned in its volume, so an offset that is a
    // multiple of 4 within the file is a 4-byte boundary in the volume.
    while (out.size() % 4 != 0) out.push_back(0);
    out.insert(out.end(), section->begin(), section->end());
  }
  if (out.size() > kMaxSize24) {
    *error = "the file does not fit a 24-bit size";
    return std::nullopt;
  }
  uint8_t* h = out.data();
  for (int i = 0; i < 16; i++) h[i] = file.name.bytes[i];
  h[16] = 0;  // header checksum, below
  h[17] = 0;  // data checksum: counted as 0 for the header sum
  h[18] = kFileTypeDriver;
  h[19] = 0;  // attributes: no data checksum, no alignment, not a large file
  Put24(h + 20, out.size());
  h[23] = 0;  // state: counted as 0 for the header sum
  h[16] = static_cast<uint8_t>(0x100 - Sum8(h, kFileHeaderSize));
  h[17] = kFixedDataChecksum;
  h[23] = kStateValidErasedOnes;
  return out;
}

}  // namespace fwfile
