// sim/boot/: the boot runner. Models the platform's lifetime, the system
// table, the HOB list, resets and power cuts, failure injection, the loader
// of the driver image and the boot itself: DriverEntry, then the platform's
// events stage by stage. Records as violations: DriverEntry returning at a
// raised TPL, a boot stopped as hung (PAUSEs in a row past the spin limit,
// virtual time past the watchdog).
//
// How boots begin and end, and the driver image each boot loads afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame/uefi.h"

namespace sim {

// How the previous boot ended, as the devices see the start of the next.
enum class BootCause { PowerOn, WarmReset, ColdReset, AfterShutdown, AfterPowerLoss };
const char* BootCauseName(BootCause c);

// The host build of the driver is a shared object. Every Load() hands out an
// image whose module state is as the loader left it at load time (zero):
// the object is mapped once and its writable data restored at each Load.
class DriverImage {
 public:
  typedef EFI_STATUS(EFIAPI* EntryPoint)(EFI_HANDLE, EFI_SYSTEM_TABLE*);
  explicit DriverImage(std::string sharedObjectPath);
  ~DriverImage();
  DriverImage(const DriverImage&) = delete;
  DriverImage& operator=(const DriverImage&) = delete;
  EntryPoint Load();  // aborts with a message if the image cannot be loaded
  // Ends the loaded state (Symbol returns null); the mapping stays for the
  // next Load.
  void Unload();
  // Address of an exported symbol of the currently loaded image (tests only).
  void* Symbol(const char* name) const;
  static std::string DefaultPath();  // the path of the driver built next to the tests
  unsigned Loads() const { return loads_; }
  // Where the object is mapped (its load base), known once it was loaded.
  void* Base() const { return base_; }
  // Whether [address, address + size) lies in the image's writable data,
  // which stays mapped while the image does. Defined here so that a program
  // that links the platform without the loader (zkboot) has it.
  bool HoldsData(uintptr_t address, size_t size) const {
    for (const Snapshot& s : snapshots_) {
      if (address >= s.address && address - s.address <= s.bytes.size() &&
          size <= s.bytes.size() - (address - s.address)) {
        return true;
      }
    }
    return false;
  }
  // Bytes of writable data restored at each Load (0 before the first).
  size_t WritableBytes() const;

 private:
  struct Snapshot {
    uintptr_t address = 0;
    std::vector<unsigned char> bytes;  // load-time contents
  };
  void Map();
  std::string path_;
  void* handle_ = nullptr;
  bool direct_ = false;  // mapped from path_ itself rather than a private copy
  bool loaded_ = false;
  EntryPoint entry_ = nullptr;
  void* base_ = nullptr;
  std::vector<Snapshot> snapshots_;
  unsigned loads_ = 0;
};

// The stages of one boot, in order.
enum class BootStage { Entry, EndOfDxe, ReadyToLock, BootManager, ReadyToBoot, ExitBootServices, Done };
const char* BootStageName(BootStage s);

struct BootOutcome {
  unsigned boot = 0;
  bool entryReturned = false;
  EFI_STATUS entryStatus = 0;
  std::optional<EFI_RESET_TYPE> reset;  // set when the boot ended in ResetSystem
  BootStage endedAt = BootStage::Done;
  bool powerLost = false;          // the boot ended in an injected power cut
  std::string hung;                // why the boot was stopped as hung; empty if it was not
  unsigned resetsReturned = 0;     // ResetSystem calls that returned (Platform::resetReturns)
  std::optional<uint16_t> booted;  // the option the boot manager booted
};

}  // namespace sim
