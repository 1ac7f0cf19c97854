// GUID, string and status helpers of the simulated platform.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/platform_impl.h"

namespace sim {

const EFI_GUID kEndOfDxeGroup = {
    0x02CE967A, 0xDD7E, 0x4FFC, {0x9E, 0xE7, 0x81, 0x0C, 0xF0, 0x47, 0x08, 0x80}};
const EFI_GUID kReadyToBootGroup = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};
const EFI_GUID kExitBootServicesGroup = {
    0x27ABF055, 0xB1B8, 0x4C26, {0x80, 0x48, 0x74, 0x8F, 0x37, 0xBA, 0xA2, 0xDF}};
const EFI_GUID kDxeSmmReadyToLockProtocol = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};
const EFI_GUID kHobListGuid = {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
const EFI_GUID kLoadedImageProtocol = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
const EFI_GUID kGlobalVariableGuid = {
    0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}};
const EFI_GUID kVirtualAddressChangeGroup = {
    0x13FA7698, 0xC831, 0x49C7, {0x87, 0xEA, 0x8F, 0x43, 0xFC, 0xC2, 0x51, 0x96}};

void Fatal(const std::string& message) {
  std::fprintf(stderr, "sim: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Writes `digits` upper-case hex digits of `value` at `out`.
void PutHex(char* out, uint64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i, value >>= 4) out[i] = kHexDigits[value & 0xF];
}

}  // namespace

std::string HexPadded(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

// Formatted by hand: the trace formats these for every event it prints.
std::string Hex(uint64_t value) {
  int digits = 1;
  while (digits < 16 && (value >> (4 * digits)) != 0) ++digits;
  std::string text(2 + digits, 'x');
  text[0] = '0';
  PutHex(&text[2], value, digits);
  return text;
}

bool operator<(const EFI_GUID& a, const EFI_GUID& b) { return std::memcmp(&a, &b, sizeof a) < 0; }

std::string GuidToString(const EFI_GUID& g) {
  std::string text(36, '-');
  PutHex(&text[0], g.Data1, 8);
  PutHex(&text[9], g.Data2, 4);
  PutHex(&text[14], g.Data3, 4);
  PutHex(&text[19], g.Data4[0], 2);
  PutHex(&text[21], g.Data4[1], 2);
  for (int i = 0; i < 6; ++i) PutHex(&text[24 + 2 * i], g.Data4[2 + i], 2);
  return text;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hex digits at text[pos].
bool HexField(const std::string& text, size_t pos, int digits, uint64_t* value) {
  uint64_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexDigit(text[pos + i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  *value = v;
  return true;
}

}  // namespace

bool ParseGuid(const std::string& input, EFI_GUID* out) {
  std::string text = input;
  if (!text.empty() && text.front() == '{') {
    if (text.back() != '}') return false;
    text = text.substr(1, text.size() - 2);
  }
  if (text.size() != 36) return false;
  for (size_t dash : {8u, 13u, 18u, 23u}) {
    if (text[dash] != '-') return false;
  }
  uint64_t d1, d2, d3, d4a, d4b;
  if (!HexField(text, 0, 8, &d1) || !HexField(text, 9, 4, &d2) || !HexField(text, 14, 4, &d3) ||
      !HexField(text, 19, 4, &d4a) || !HexField(text, 24, 12, &d4b)) {
    return false;
  }
  EFI_GUID g;
  g.Data1 = static_cast<uint32_t>(d1);
  g.Data2 = static_cast<uint16_t>(d2);
  g.Data3 = static_cast<uint16_t>(d3);
  g.Data4[0] = static_cast<uint8_t>(d4a >> 8);
  g.Data4[1] = static_cast<uint8_t>(d4a);
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<uint8_t>(d4b >> (8 * (5 - i)));
  *out = g;
  return true;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // unpaired surrogate
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  size_t i = 0;
  while (i < s.size()) {
    uint8_t b = static_cast<uint8_t>(s[i]);
    uint32_t c;
    size_t extra;
    uint32_t minimum;
    if (b < 0x80) {
      c = b, extra = 0, minimum = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, extra = 1, minimum = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, extra = 2, minimum = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, extra = 3, minimum = 0x10000;
    } else {
      out += u'\xFFFD';
      ++i;
      continue;
    }
    bool ok = true;
    for (size_t k = 1; ok && k <= extra; ++k) {
      if (i + k >= s.size()) {
        ok = false;
        break;
      }
      uint8_t t = static_cast<uint8_t>(s[i + k]);
      if ((t & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (t & 0x3F);
    }
    if (!ok || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out += u'\xFFFD';
      ++i;  // resynchronise on the next byte
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::string HexBytes(const std::vector<uint8_t>& data) {
  if (data.empty()) return {};
  std::string out(data.size() * 3 - 1, ' ');
  for (size_t i = 0; i < data.size(); ++i) PutHex(&out[i * 3], data[i], 2);
  return out;
}

std::string StatusName(EFI_STATUS s) {
  static const char* const kErrors[] = {
      nullptr,
      "EFI_LOAD_ERROR",
      "EFI_INVALID_PARAMETER",
      "EFI_UNSUPPORTED",
      "EFI_BAD_BUFFER_SIZE",
      "EFI_BUFFER_TOO_SMALL",
      "EFI_NOT_READY",
      "EFI_DEVICE_ERROR",
      "EFI_WRITE_PROTECTED",
      "EFI_OUT_OF_RESOURCES",
      "EFI_VOLUME_CORRUPTED",
      "EFI_VOLUME_FULL",
      "EFI_NO_MEDIA",
      "EFI_MEDIA_CHANGED",
      "EFI_NOT_FOUND",
      "EFI_ACCESS_DENIED",
      "EFI_NO_RESPONSE",
      "EFI_NO_MAPPING",
      "EFI_TIMEOUT",
      "EFI_NOT_STARTED",
      "EFI_ALREADY_STARTED",
      "EFI_ABORTED",
      "EFI_ICMP_ERROR",
      "EFI_TFTP_ERROR",
      "EFI_PROTOCOL_ERROR",
      "EFI_INCOMPATIBLE_VERSION",
      "EFI_SECURITY_VIOLATION",
      "EFI_CRC_ERROR",
      "EFI_END_OF_MEDIA",
      nullptr,
      nullptr,
      "EFI_END_OF_FILE",
      "EFI_INVALID_LANGUAGE",
      "EFI_COMPROMISED_DATA",
  };
  static const char* const kWarnings[] = {
      "EFI_SUCCESS",
      "EFI_WARN_UNKNOWN_GLYPH",
      "EFI_WARN_DELETE_FAILURE",
      "EFI_WARN_WRITE_FAILURE",
      "EFI_WARN_BUFFER_TOO_SMALL",
      "EFI_WARN_STALE_DATA",
  };
  const size_t errorCount = sizeof kErrors / sizeof kErrors[0];
  const size_t warningCount = sizeof kWarnings / sizeof kWarnings[0];
  if (EFI_ERROR(s)) {
    uint64_t code = s & ~kErrorBit;
    if (code < errorCount && kErrors[code]) return kErrors[code];
  } else if (s < warningCount) {
    return kWarnings[s];
  }
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(s));
  return text;
}

const char* BootStageName(BootStage s) {
  switch (s) {
    case BootStage::Entry:
      return "Entry";
    case BootStage::EndOfDxe:
      return "EndOfDxe";
    case BootStage::ReadyToLock:
      return "ReadyToLock";
    case BootStage::BootManager:
      return "BootManager";
    case BootStage::ReadyToBoot:
      return "ReadyToBoot";
    case BootStage::ExitBootServices:
      return "ExitBootServices";
    case BootStage::Done:
      return "Done";
  }
  return "?";
}

namespace {

// The reflected CRC-32 (polynomial 0xEDB88320), eight bytes a step: table k
// holds the CRC of a byte followed by k zero bytes, so eight lookups fold a
// whole word (the tables are sealed at every boot).
struct Crc32Table {
  uint32_t entries[8][256];
  Crc32Table() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
      entries[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (int k = 1; k < 8; ++k)
        entries[k][i] = (entries[k - 1][i] >> 8) ^ entries[0][entries[k - 1][i] & 0xFFu];
    }
  }
};

}  // namespace

uint32_t Crc32(const void* data, size_t size) {
  static const Crc32Table table;
  const auto& t = table.entries;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t crc = 0xFFFFFFFFu;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    const uint32_t lo = (p[i] | p[i + 1] << 8 | p[i + 2] << 16 | static_cast<uint32_t>(p[i + 3]) << 24) ^ crc;
    crc = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^ t[4][lo >> 24] ^
          t[3][p[i + 4]] ^ t[2][p[i + 5]] ^ t[1][p[i + 6]] ^ t[0][p[i + 7]];
  }
  for (; i < size; ++i) crc = (crc >> 8) ^ t[0][(crc ^ p[i]) & 0xFFu];
  return ~crc;
}

__attribute__((no_sanitize("address", "undefined"))) void ReadUnchecked(void* to, uintptr_t from,
                                                                        size_t size) {
  auto* d = static_cast<unsigned char*>(to);
  const auto* s = reinterpret_cast<const volatile unsigned char*>(from);
  for (size_t i = 0; i < size; ++i) d[i] = s[i];
}

}  // namespace sim
