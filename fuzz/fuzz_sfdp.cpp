// SFDP answers of an SPI flash part through the generic entry's discovery.
//
// Input: the 16 header bytes the part answers at SFDP address 0, then up to
// 36 bytes it answers at the address the first parameter header names (the
// basic flash parameter table); addresses not given read 0xFF, as on a real
// part. The part sits on the simulated FCH SPI controller; the platform lists
// only the generic entry, with a size of 1 MiB and an erase block of 0x10000.
//
// Oracle: a reference reading of the same bytes: without the "SFDP"
// signature the entry's parameters stay; otherwise min(length, 9) DWORDs of
// the table (zeros past them) give the 4 KiB erase block size, the write
// granularity and protect flags, the 4 KiB erase opcode, the first 64 KiB
// erase type and the density (2^N bits for N from 3 to 34, else the entry's
// size stays). Two SFDP reads at most, no violation, no pool left.
#include <cstring>

#include "flash/flash_device.h"
#include "fuzz/harness.h"
#include "sim/devices/flash_devices.h"
#include "sim/pcd/pcd_db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const std::vector<uint8_t> header = in.Bytes(16);
  const std::vector<uint8_t> table = in.Bytes(36);

  sim::SpiNorPart part;
  part.name = "fuzzed";
  part.jedecId = {0xEF, 0x40, 0x15};
  for (size_t i = 0; i < header.size(); i++) part.sfdp[static_cast<uint32_t>(i)] = header[i];
  const auto at = [&](uint32_t a) { return a < header.size() ? header[a] : part.SfdpByte(a); };
  const uint32_t pointer =
      header.size() == 16 ? (header[12] | (header[13] << 8) | (header[14] << 16)) : 0xFFFFFF;
  for (size_t i = 0; i < table.size(); i++) {
    const uint32_t a = (pointer + static_cast<uint32_t>(i)) & 0xFFFFFF;
    if (a >= header.size()) part.sfdp[a] = table[i];
  }

  fuzz::Lease lease;
  fuzz::Notebook& nb = lease.notebook;
  sim::PcdDatabase pcd(nb.platform);
  sim::FlashPlatform flash(nb.platform, nb.devices);
  flash.AttachSpiPart(part);
  sim::SpiParamsSpec params;
  params.eraseBlockSize = 0x10000;
  sim::DeclareFlashDevice(pcd, 0x12345678, sim::EncodeFlashDeviceEntry({3, 0x12345678, 0, 0x10, 0x100}),
                          sim::EncodeSpiFlashParams(params));
  sim::DeclareFlashSelector(pcd, 0x12345678);
  nb.Start();
  nb.CheckClean();

  // The reference reading.
  uint8_t h[16], t[36] = {};
  for (uint32_t i = 0; i < 16; i++) h[i] = at(i);
  uint32_t expectSize = 0x100000, expectErase = 0x10000, expectFlags = 0;
  uint8_t expectOpcode = 0x20, blockOpcode = 0, blockExp = 0;
  bool discovered = false;
  uint32_t signature;
  std::memcpy(&signature, h, 4);
  if (signature == 0x50444653) {
    discovered = true;
    const uint32_t ptr = h[12] | (h[13] << 8) | (h[14] << 16);
    const uint32_t dwords = h[11] < 9 ? h[11] : 9;
    for (uint32_t i = 0; i < dwords * 4; i++) t[i] = at((ptr + i) & 0xFFFFFF);
    if ((t[0] & 3) == 1) expectErase = 4096;
    if (t[0] & 4) expectFlags |= 0x8;
    if (!(t[0] & 8)) expectFlags |= 0x400;
    expectOpcode = t[1];
    for (int k = 0; k < 4; k++) {
      if (t[28 + 2 * k] == 16) {
        blockOpcode = t[29 + 2 * k];
        blockExp = 16;
        break;
      }
    }
    uint32_t density;
    std::memcpy(&density, t + 4, 4);
    if (density & 0x80000000u) {
      const uint32_t n = density & 0x7FFFFFFF;
      if (n >= 3 && n < 35) expectSize = 1u << (n - 3);
    } else {
      expectSize = (density + 1) / 8;
    }
  }
  const SpiFlashParams& spi = FlashDevice.Spi;
  fuzz::Check(flash.spi.commands.size() <= 2, "more than two SFDP reads");
  fuzz::Check(FlashDevice.SfdpDone == 1, "the generic entry was not discovered");
  fuzz::Check(spi.DeviceSize == expectSize, "DeviceSize differs from the reference reading");
  fuzz::Check(spi.EraseBlockSize == expectErase, "EraseBlockSize differs");
  fuzz::Check((spi.Flags & 0x408) == (discovered ? expectFlags : 0), "the SFDP flags differ");
  fuzz::Check(spi.Copied[1] == expectOpcode, "the 4 KiB erase opcode differs");
  fuzz::Check(
      FlashDevice.SfdpBlockEraseOpcode == blockOpcode && FlashDevice.SfdpBlockEraseSizeExp == blockExp,
      "the 64 KiB erase type differs");
  return 0;
}
