// sim/util/: the helpers every world of the simulator uses. Models nothing
// and records no violations.
//
// GUIDs compared, printed and parsed, UTF-8 and UTF-16 converted, bytes and
// numbers as hex, EFI_STATUS values by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "frame/uefi.h"

namespace sim {

// By two 64-bit halves, not memcmp: the protocol database and the variable
// store compare GUIDs on every service call, and under the fuzzers each
// memcmp goes through the sanitizer's interceptor and libFuzzer's hook.
inline bool operator==(const EFI_GUID& a, const EFI_GUID& b) {
  uint64_t x[2], y[2];
  std::memcpy(x, &a, sizeof x);
  std::memcpy(y, &b, sizeof y);
  return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
}
inline bool operator!=(const EFI_GUID& a, const EFI_GUID& b) { return !(a == b); }
bool operator<(const EFI_GUID& a, const EFI_GUID& b);
// Registry form, upper case: "8BE4DF61-93CA-11D2-AA0D-00E098032B8C".
std::string GuidToString(const EFI_GUID& g);
// Accepts the registry form with or without braces, any case.
bool ParseGuid(const std::string& text, EFI_GUID* out);
std::string Utf16ToUtf8(std::u16string_view s);
std::u16string Utf8ToUtf16(const std::string& s);
std::string HexBytes(const std::vector<uint8_t>& data);  // "01 81"
std::string HexPadded(uint64_t value, int digits);       // (0x1F, 4): "0x001F"
std::string StatusName(EFI_STATUS s);                    // "EFI_NOT_FOUND", "0x..." otherwise
// Whether this program is built with AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif
// Copies `size` bytes from memory that may hold AddressSanitizer redzones (a
// loaded image's data, globals apart) into our buffer.
void ReadUnchecked(void* to, uintptr_t from, size_t size);

}  // namespace sim
