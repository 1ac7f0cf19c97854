// What BootCtlDxe waits for before the DXE dispatcher may start it, and the
// name it carries in the firmware volume.
//
// Only what the entry point and the constructor chain need at load, and
// cannot get later, belongs here. A protocol the driver copes without must
// stay out: a platform without it would never load the driver.
//
// Left out on purpose:
//   - SMBus host controller: located only; a missing one is allowed.
//   - SMM base 2 and SMM communication: absent means boot time and no SMM
//     copies, which the S3 libraries handle.
//   - DXE SMM ready-to-lock and the pointer registry: the driver registers
//     notifications for them at load; waiting for them would start the
//     driver after End-of-DXE and miss the events it exists for.
//   - Platform hook: a missing hook makes the factory-reset call report
//     "unsupported" and the reset goes on.
//   - Purge markers: whether one is installed is state the driver reads.
//   - Debug-message protocol: looked up on every message; none, no output.
//   - HII configuration-routing, font and image protocols: located only.
//   - The watched protocol: the string library waits for it with a
//     notification.
#include "tools/ffs/ffs.h"

namespace fwfile {

const char* const kBootCtlFileGuid = "F8035659-178C-41FF-8E0D-EA928C53DB3A";
const char* const kBootCtlUiName = "BootCtlDxe";

const std::vector<DepexItem>& BootCtlDepex() {
  static const std::vector<DepexItem> items = {
      // GetVariable at load: the first-boot marker, ZKChgBoot, Setup and the
      // boot orders are read before the entry point returns.
      {"1E5668E2-8481-11D4-BCF1-0080C73C8881", "EFI_VARIABLE_ARCH_PROTOCOL"},
      // SetVariable of non-volatile variables at load: the first-boot marker
      // is created and the change-boot request written back, Setup edited.
      {"6441F818-6362-4E44-B570-7DBA31DD2453", "EFI_VARIABLE_WRITE_ARCH_PROTOCOL"},
      // ResetSystem at load: a taken change-boot request ends in a warm or
      // cold reset from inside the entry point.
      {"27CFAC88-46CC-11D4-9A38-0090273FC14D", "EFI_RESET_ARCH_PROTOCOL"},
      // The S3 and flash constructors read their PCD tokens once, at load,
      // and keep what they read (record addresses, the flash device list);
      // the access layer expects the protocol whenever it runs.
      {"13A3F0F6-264A-3EF0-F2E0-DEC512342F34", "EFI_PCD_PROTOCOL"},
      // The FCH register page is marked runtime through the DXE services'
      // SetMemorySpaceAttributes, once, at load; the attributes cannot be
      // applied before the CPU architectural protocol is installed.
      {"26BACCB1-6F42-11D4-BCE7-0080C73C8881", "EFI_CPU_ARCH_PROTOCOL"},
      // The boot manager's string package is registered, and its firmware
      // version, model and third identification texts set, only at load:
      // without the database then, the boot manager has no strings.
      {"EF9FC172-A1B2-4693-B327-6D32FC416042", "EFI_HII_DATABASE_PROTOCOL"},
      {"0FD96974-23AA-4CDC-B9CB-98D17750322A", "EFI_HII_STRING_PROTOCOL"},
  };
  return items;
}

}  // namespace fwfile
