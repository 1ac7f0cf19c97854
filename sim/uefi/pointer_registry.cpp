// The pointer-registry producer.
#include "sim/uefi/pointer_registry.h"

#include <algorithm>

#include "sim/platform_impl.h"

namespace sim {

namespace {

PointerRegistry& Registry(const char* entry, const void* address) {
  Platform::Impl& sim = Sim();
  sim.Activity();
  sim.owner->Trace("PointerRegistry",
                   std::string(entry) + "(" + Hex(reinterpret_cast<uintptr_t>(address)) + ")",
                   {{"entry", entry}, {"address", Hex(reinterpret_cast<uintptr_t>(address))}});
  return sim.owner->pointerRegistry;
}

EFI_STATUS EFIAPI Entry1() {
  Registry("Entry1", nullptr);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI Entry2() {
  Registry("Entry2", nullptr);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI RegisterPointer(void** address) {
  PointerRegistry& r = Registry("RegisterPointer", address);
  ++r.registerCalls;
  if (!address) return EFI_INVALID_PARAMETER;
  if (std::find(r.registered.begin(), r.registered.end(), address) != r.registered.end()) {
    return EFI_ALREADY_STARTED;
  }
  r.registered.push_back(address);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI UnregisterPointer(void** address) {
  PointerRegistry& r = Registry("UnregisterPointer", address);
  ++r.unregisterCalls;
  if (!address) return EFI_INVALID_PARAMETER;
  auto it = std::find(r.registered.begin(), r.registered.end(), address);
  if (it == r.registered.end()) return EFI_NOT_FOUND;
  r.registered.erase(it);
  return EFI_SUCCESS;
}

}  // namespace

void PointerRegistry::OnBootStart(Platform& platform) {
  registered.clear();
  protocol.Entry1 = Entry1;
  protocol.Entry2 = Entry2;
  protocol.RegisterPointer = RegisterPointer;
  protocol.UnregisterPointer = UnregisterPointer;
  if (install == Install::BootStart) platform.InstallProtocol(kPointerRegistryProtocolGuid, &protocol);
}

void PointerRegistry::OnBeforeEndOfDxe(Platform& platform) {
  if (install == Install::BeforeEndOfDxe) platform.InstallProtocol(kPointerRegistryProtocolGuid, &protocol);
}

}  // namespace sim
