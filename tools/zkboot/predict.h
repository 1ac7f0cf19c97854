// What the driver will do on the next boot, found by running the driver's own
// code (compiled for the host) on a simulated notebook that holds a copy of
// the variables: its load, and its End-of-DXE handler when the load does not
// reset, boot after boot until one goes on to the operating system. The EC is
// taken to answer and not to ask for a power-off; the boot mode is an
// ordinary one; no platform hook and no purge marker are present.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame/uefi.h"
#include "tools/zkboot/efivars.h"

namespace zkboot {

struct VariableChange {
  std::string name;
  EFI_GUID guid{};
  std::optional<std::vector<uint8_t>> before, after;  // nullopt: absent
};

struct EcWrite {
  uint8_t reg;
  uint8_t value;
};

struct BootPrediction {
  unsigned boot = 0;                    // 1 = the next boot
  std::optional<uint8_t> cmos61;        // the value written to CMOS index 0x61
  std::vector<VariableChange> changes;  // in store order: changed, created, then deleted
  std::vector<EcWrite> ecWrites;
  std::optional<EFI_RESET_TYPE> reset;  // how the boot ended, if in a reset
  bool endOfDxe = false;                // the End-of-DXE handler ran
};

struct Prediction {
  std::vector<BootPrediction> boots;
  bool settled = false;  // the last boot went on without a reset (or shut down)
  // BootNext as the last boot leaves it, and whether that boot wrote it.
  std::optional<uint16_t> bootNext;
  bool bootNextWritten = false;
};

// Runs at most maxBoots simulated boots on the non-volatile variables given.
Prediction PredictBoots(const std::vector<EfiVariable>& store, unsigned maxBoots = 4);

}  // namespace zkboot
