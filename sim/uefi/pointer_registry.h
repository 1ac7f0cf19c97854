// The pointer-registry protocol's producer: other images hand it the
// addresses of pointer variables that must follow the runtime address map.
// It keeps the addresses it was given; entries 3 and 4 of its interface
// register and unregister one, entries 1 and 2 are not offered here.
#pragma once

#include <cstdint>
#include <vector>

#include "frame/uefi.h"

namespace sim {

inline constexpr EFI_GUID kPointerRegistryProtocolGuid = {
    0x1C2E4602, 0xE3BA, 0x4B07, {0xE3, 0xB8, 0x35, 0x55, 0xA5, 0x1C, 0x61, 0x3A}};

struct PointerRegistryProtocol {
  EFI_STATUS(EFIAPI* Entry1)();
  EFI_STATUS(EFIAPI* Entry2)();
  EFI_STATUS(EFIAPI* RegisterPointer)(void** address);
  EFI_STATUS(EFIAPI* UnregisterPointer)(void** address);
};

class Platform;

class PointerRegistry {
 public:
  // When the protocol appears in a boot: never, when the boot starts (before
  // the driver loads), or after the driver's entry point, just before the
  // End-of-DXE group is signalled.
  enum class Install { Absent, BootStart, BeforeEndOfDxe };
  Install install = Install::Absent;

  // Addresses registered in this boot and not unregistered, in order.
  // RegisterPointer of an address already held answers EFI_ALREADY_STARTED
  // (converting it twice would corrupt the pointer); UnregisterPointer of
  // one not held answers EFI_NOT_FOUND; a null address EFI_INVALID_PARAMETER.
  std::vector<void**> registered;
  uint64_t registerCalls = 0, unregisterCalls = 0;  // over all boots

  PointerRegistryProtocol protocol{};

  // Platform side: called by the boot runner.
  void OnBootStart(Platform& platform);
  void OnBeforeEndOfDxe(Platform& platform);
};

}  // namespace sim
