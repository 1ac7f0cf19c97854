// The firmware-information area of the simulated system flash and the area
// whose address the string library keeps: their bytes, and the flash device
// map entries that publish them.
//
// Area layout (offsets from its base): build date in BCD at 0x06 (year -
// 2000, month, day), build time in BCD at 0x0A (hour, minute, second),
// NUL-terminated ASCII texts at 0x0E (version), 0x27 (model) and 0x41 (third
// identification text), a run of NUL-terminated records from 0x15B on
// ("$VEREX...", "$PRODEX...", "$CCBVEX...") and the "$RDATE" marker with a
// BCD date after the records. Unwritten bytes read 0xFF, as erased flash.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame/uefi.h"
#include "sim/devices/flash_devices.h"

namespace sim {

inline constexpr EFI_GUID kFirmwareInfoAreaType = {
    0x32415DFC, 0xD106, 0x48C7, {0x9E, 0xB5, 0x80, 0x6C, 0x11, 0x4D, 0xD1, 0x07}};
inline constexpr EFI_GUID kKeptFlashAreaType = {
    0xB78E15D3, 0xF0A5, 0x4248, {0x8E, 0x2F, 0xD3, 0x15, 0x7A, 0xEF, 0x88, 0x36}};

struct FirmwareInfoSpec {
  uint32_t size = 0x200;                                // bytes of the area
  std::array<uint8_t, 3> dateBcd = {0x24, 0x03, 0x15};  // 2024-03-15
  std::array<uint8_t, 3> timeBcd = {0x10, 0x20, 0x30};  // 10:20:30
  std::string version = "VXPLN2A0D0105";                // at 0x0E
  std::string model = "QV2207";                         // at 0x27
  std::string third = "05.41.52";                       // at 0x41
  std::vector<std::string> records = {"$VEREXVXPLN2A0D0105.01", "$PRODEXQV2207-NB", "$CCBVEX05.41.52"};
  std::optional<std::array<uint8_t, 3>> rdateBcd = std::array<uint8_t, 3>{0x24, 0x03, 0x14};
};

// The area's bytes. Each text is written with its NUL, cut to fit before
// the next field (0x0E: 25 bytes, 0x27: 26, 0x41: up to 0x15B); the records
// follow one another with their NULs from 0x15B, then "$RDATE" and its three
// bytes. Everything must fit in `size`; what does not is left out.
std::vector<uint8_t> BuildFirmwareInfoArea(const FirmwareInfoSpec& spec);

// Flash addresses of the areas when the scenario does not place them: the
// firmware-information area and the kept area, 64 KiB apart below the top
// megabyte of the 4 GiB boot flash window.
inline constexpr uint64_t kFirmwareInfoAreaAddress = 0xFFD00000;
inline constexpr uint64_t kKeptFlashAreaAddress = 0xFFD10000;

// An area of the simulated system flash, memory-mapped at `base` on the bus:
// the driver reads it through the seam as it reads the flash of a real
// notebook. Reads give the bytes (little-endian for wider accesses); the
// array is read-only without the part's program commands, so a write is
// counted and traced, not stored. Map() once the area sits where it stays.
class FlashArea : public Device {
 public:
  FlashArea(const EFI_GUID& type, std::vector<uint8_t> bytes, uint64_t base)
      : type(type), bytes(std::move(bytes)), base(base) {}
  EFI_GUID type{};
  std::vector<uint8_t> bytes;
  uint64_t base = 0;
  unsigned writes = 0;
  void Map(Platform& platform);
  void Unmap(Platform& platform);
  // Its map entry for a map of that FlashBase (the offset wraps as the
  // driver's FlashBase + Offset does).
  FdmEntrySpec Entry(uint64_t flashBase) const;
  uint32_t MmioRead(uint64_t address, int width) override;
  void MmioWrite(uint64_t address, int width, uint32_t value) override;
};

}  // namespace sim
