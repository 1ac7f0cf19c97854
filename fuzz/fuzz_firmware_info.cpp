// The firmware-information area through GetFirmwareInfoText.
//
// Input: the area's size (u16, at most 0x1000), the caller's buffer size in
// characters (one byte), then the area's bytes (erased flash, 0xFF, past the
// input). The area is memory-mapped at an address the flash device map names
// and answered by a device that reports any read outside the area as a
// finding.
//
// Oracle: a reference reading of the same bytes for every kind 0 to 8: the
// BCD date at 0x06 and time at 0x0A, the texts at 0x0E, 0x27 and 0x41, the
// "$VEREX", "$PRODEX", "$CCBVEX" records from 0x15B and the first "$RDATE"
// from 0x15B with its three date bytes inside the area; a text counts only
// with its NUL inside the area. Status, size and characters must agree. No
// violation, nothing left allocated.
#include <cstring>
#include <string>

#include "fuzz/harness.h"
#include "sim/devices/flash_devices.h"
#include "sim/pcd/pcd_db.h"
#include "support/strings/strings.h"

namespace {

constexpr uint64_t kFlashBase = 0xFF000000;
constexpr uint64_t kAreaOffset = 0x300000;
constexpr uint64_t kAreaBase = kFlashBase + kAreaOffset;

// Memory-mapped area bytes; a read outside [base, base + size) is a finding.
class StrictArea : public sim::Device {
 public:
  std::vector<uint8_t> bytes;
  uint32_t MmioRead(uint64_t address, int width) override {
    fuzz::Check(address >= kAreaBase && address + width <= kAreaBase + bytes.size(),
                "read outside the firmware-information area");
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + (address - kAreaBase), static_cast<size_t>(width));
    return v;
  }
  void MmioWrite(uint64_t, int, uint32_t) override { fuzz::Fail("write to the firmware-information area"); }
};

struct Expected {
  EFI_STATUS status;
  std::string text;  // the ASCII source text on success
};

int Bcd(uint8_t b) { return (b >> 4) * 10 + (b & 15); }

bool ValidDateTime(int year, int month, int day, int hour, int minute, int second) {
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1])
    return false;
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (month == 2 && day > 28 && !leap) return false;
  return hour <= 23 && minute <= 59 && second <= 59;
}

std::string TwoDigits(int v) {
  char s[8];
  std::snprintf(s, sizeof(s), "%02d", v);
  return s;
}

// The text at `at` up to its NUL inside the area; false without one.
bool TextAt(const std::vector<uint8_t>& a, size_t at, std::string* text) {
  for (size_t i = at; i < a.size(); ++i) {
    if (a[i] == 0) {
      text->assign(a.begin() + static_cast<long>(at), a.begin() + static_cast<long>(i));
      return true;
    }
  }
  return false;
}

bool Begins(const std::vector<uint8_t>& a, size_t at, const char* marker) {
  const size_t n = std::strlen(marker);
  return at + n <= a.size() && std::memcmp(a.data() + at, marker, n) == 0;
}

Expected Reference(const std::vector<uint8_t>& a, int kind) {
  const Expected missing{EFI_NOT_FOUND, {}};
  if (kind <= 1 || kind == 8) {
    int d[6] = {0, 0, 0, 0, 0, 0};
    bool found = false;
    if (kind == 8) {
      for (size_t at = 0x15B; at + 9 <= a.size() && !found; ++at) {
        if (Begins(a, at, "$RDATE")) {
          for (int i = 0; i < 3; ++i) d[i] = Bcd(a[at + 6 + i]);
          found = true;
        }
      }
    } else if (a.size() >= 0x0D) {
      for (int i = 0; i < 3; ++i) d[i] = Bcd(a[0x06 + i]), d[3 + i] = Bcd(a[0x0A + i]);
      found = true;
    }
    // The conversion works in 8 bits, as the firmware's does.
    for (int& v : d) v &= 0xFF;
    const int year = found ? 2000 + d[0] : 0;
    if (!ValidDateTime(year, d[1], d[2], d[3], d[4], d[5])) return missing;
    if (kind == 1) return {EFI_SUCCESS, TwoDigits(d[3]) + ":" + TwoDigits(d[4]) + ":" + TwoDigits(d[5])};
    return {EFI_SUCCESS, TwoDigits(d[1]) + "/" + TwoDigits(d[2]) + "/" + std::to_string(year)};
  }
  std::string text;
  size_t at = 0;
  if (kind <= 4) {
    at = kind == 2 ? 0x0E : kind == 3 ? 0x27 : 0x41;
  } else {
    static const char* const kMarkers[3] = {"$VEREX", "$PRODEX", "$CCBVEX"};
    at = 0x15B;
    for (int i = 0; i < kind - 5; ++i) {
      if (!Begins(a, at, kMarkers[i])) continue;
      std::string record;
      if (!TextAt(a, at, &record)) return missing;
      at += record.size() + 1;
    }
    if (!Begins(a, at, kMarkers[kind - 5])) return missing;
    at += std::strlen(kMarkers[kind - 5]);
  }
  if (!TextAt(a, at, &text)) return missing;
  return {EFI_SUCCESS, text};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const size_t areaSize = in.U16() % 0x1001;
  const UINTN capacity = in.U8() % 40;
  StrictArea area;
  area.bytes = in.Bytes(areaSize);
  area.bytes.resize(areaSize, 0xFF);

  fuzz::Lease lease;
  fuzz::Notebook& nb = lease.notebook;
  sim::PcdDatabase pcd(nb.platform);
  sim::FlashPlatform flash(nb.platform, nb.devices);
  flash.PublishDeviceMap(
      pcd, sim::BuildFlashDeviceMap(kFlashBase, {{FirmwareInfoAreaTypeGuid, {}, kAreaOffset, areaSize, 0}}));
  if (areaSize != 0) nb.platform.MapMmio(kAreaBase, areaSize, &area);
  nb.Start();

  for (int kind = 0; kind <= 8; ++kind) {
    const Expected want = areaSize == 0 ? Expected{EFI_NOT_FOUND, {}} : Reference(area.bytes, kind);
    std::vector<CHAR16> buffer(capacity + 1, 0x5A5A);
    UINTN got = capacity;
    const EFI_STATUS status = GetFirmwareInfoText(kind, &got, buffer.data());
    const std::string where = "kind " + std::to_string(kind);
    if (want.status != EFI_SUCCESS) {
      fuzz::Check(status == want.status, where + ": expected EFI_NOT_FOUND");
      continue;
    }
    const UINTN needed = want.text.size() + 1;
    fuzz::Check(got == needed, where + ": size is not the text's length plus its NUL");
    if (needed > capacity) {
      fuzz::Check(status == EFI_BUFFER_TOO_SMALL, where + ": expected EFI_BUFFER_TOO_SMALL");
      continue;
    }
    fuzz::Check(status == EFI_SUCCESS, where + ": expected success");
    for (size_t i = 0; i < needed; ++i) {
      const CHAR16 c = i < want.text.size() ? static_cast<CHAR16>(static_cast<int8_t>(want.text[i])) : 0;
      if (buffer[i] != c) fuzz::Fail(where + ": character " + std::to_string(i) + " differs");
    }
    fuzz::Check(buffer[capacity] == 0x5A5A, where + ": written past the buffer");
  }
  nb.CheckClean();
  if (areaSize != 0) nb.platform.MapMmio(kAreaBase, areaSize, nullptr);
  return 0;
}
