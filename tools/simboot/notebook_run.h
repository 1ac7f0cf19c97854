// A simulated notebook set up from a scenario: the platform, its devices, and
// the stand-ins for the firmware components the driver expects to find.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/devices/devices.h"
#include "sim/devices/flash_devices.h"
#include "sim/pcd/pcd_db.h"
#include "sim/platform.h"
#include "tools/simboot/scenario.h"

namespace simboot {

// Size of the platform hook interface stand-in: the length field at offset 0
// must reach past the hook address at offset 120.
constexpr size_t kPlatformHookInterfaceSize = 128;

// Boot-scoped state read at the end of a boot, before the next boot clears it.
struct BootEndState {
  unsigned boot = 0;
  bool tscPublished = false;  // the TSC frequency configuration table is installed
  uint64_t tscHz = 0;         // its value
  sim::BootCost cost;         // the driver's firmware time in the boot, by kind
};

class NotebookRun {
 public:
  explicit NotebookRun(const Scenario& scenario);
  NotebookRun(const NotebookRun&) = delete;
  NotebookRun& operator=(const NotebookRun&) = delete;
  ~NotebookRun();

  // Boots until one ends without a reset (or in a shutdown), at most maxBoots,
  // and records each boot's end state in bootEnds.
  std::vector<sim::BootOutcome> Run(sim::DriverImage& image, unsigned maxBoots);
  // The persistent state now, as a scenario: non-volatile variables, CMOS and
  // EC registers, MSRs; the configuration (devices, hooks, boot mode, declared
  // PCD values) as loaded.
  Scenario State() const;
  // The PCD values as the current (or last) boot left them, in declaration order.
  std::vector<PcdSpace> PcdValues() const;

  sim::Platform platform;
  sim::Notebook notebook{platform};
  sim::PcdDatabase pcd{platform};
  sim::DebugConsole debugConsole{platform};
  std::unique_ptr<S3Stand> s3;                // the SMM side and S3 records the scenario asks for
  std::unique_ptr<sim::FlashPlatform> flash;  // with a "flash" section only
  std::vector<BootEndState> bootEnds;
  // Flash areas in host memory that the flash device map names (the
  // firmware-information area and the kept area), and the map published
  // for them when the scenario's "flash" section gives none.
  std::vector<sim::FlashArea> flashAreas;
  std::vector<uint8_t> areaMap;

 private:
  Scenario scenario_;
  alignas(8) uint8_t hookInterface_[kPlatformHookInterfaceSize] = {};
};

// Builds the flash hardware of a "flash" section into `run` (nothing without
// one); `cpuidEax` is the processor signature unless the section names one.
void ApplyFlashSetting(const FlashSetting& flash, uint32_t cpuidEax, NotebookRun& run);

}  // namespace simboot
