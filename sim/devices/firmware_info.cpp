// The firmware-information area's bytes and the map entries of flash areas.
#include "sim/devices/firmware_info.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

// Writes `text` and a NUL at `at`, at most `room` bytes in all (the NUL is
// dropped first when the text does not fit), inside `area`.
void PutText(std::vector<uint8_t>& area, size_t at, size_t room, const std::string& text) {
  if (at >= area.size()) return;
  room = std::min(room, area.size() - at);
  const size_t n = std::min(text.size() + 1, room);
  for (size_t i = 0; i < n; ++i) area[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
}

void PutBytes(std::vector<uint8_t>& area, size_t at, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n && at + i < area.size(); ++i) area[at + i] = bytes[i];
}

}  // namespace

std::vector<uint8_t> BuildFirmwareInfoArea(const FirmwareInfoSpec& spec) {
  std::vector<uint8_t> area(spec.size, 0xFF);
  PutBytes(area, 0x06, spec.dateBcd.data(), 3);
  PutBytes(area, 0x0A, spec.timeBcd.data(), 3);
  PutText(area, 0x0E, 0x27 - 0x0E, spec.version);
  PutText(area, 0x27, 0x41 - 0x27, spec.model);
  PutText(area, 0x41, 0x15B - 0x41, spec.third);
  size_t at = 0x15B;
  for (const std::string& record : spec.records) {
    PutText(area, at, record.size() + 1, record);
    at += record.size() + 1;
  }
  if (spec.rdateBcd) {
    PutBytes(area, at, reinterpret_cast<const uint8_t*>("$RDATE"), 6);
    PutBytes(area, at + 6, spec.rdateBcd->data(), 3);
  }
  return area;
}

FdmEntrySpec FlashArea::Entry(uint64_t flashBase) const {
  FdmEntrySpec e;
  e.type = type;
  e.offset = base - flashBase;
  e.size = bytes.size();
  return e;
}

void FlashArea::Map(Platform& platform) {
  if (!bytes.empty()) platform.MapMmio(base, bytes.size(), this);
}

void FlashArea::Unmap(Platform& platform) {
  if (!bytes.empty()) platform.MapMmio(base, bytes.size(), nullptr);
}

uint32_t FlashArea::MmioRead(uint64_t address, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) {
    const uint64_t at = address - base + static_cast<uint64_t>(i);
    const uint32_t byte = at < bytes.size() ? bytes[at] : 0xFF;
    value |= byte << (8 * i);
  }
  return value;
}

void FlashArea::MmioWrite(uint64_t, int, uint32_t) { ++writes; }

}  // namespace sim
