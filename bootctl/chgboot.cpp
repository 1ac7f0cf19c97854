// First-boot marker, change-boot request, factory reset and boot-option purge.
#include "bootctl/chgboot.h"

#include "bootctl/ec.h"
#include "bootctl/vars.h"
#include "frame/helpers.h"
#include "frame/module.h"
#include "support/base/base.h"

UINT8 ChangeBootRequest[2];
UINTN ChangeBootRequestSize;

namespace {

// The marker swap around the purge is built in.
constexpr bool kPurgeMarkerSwap = true;

// A delete without access attributes removes the variable whatever attributes
// it was stored with; the factory reset must not stop at one that another
// writer stored differently.
constexpr UINT32 kDeleteAnyAttributes = 0;

void DeleteVariable(const CHAR16* name, const EFI_GUID* guid, UINT32 attributes) {
  RuntimeServices->SetVariable(name, guid, attributes, 0, nullptr);
}

void DeleteBootOptions(const UINT16* order, UINTN count) {
  CHAR16 name[kBootOptionNameChars];
  for (UINTN i = 0; i < count; i++) {
    BootOptionName(name, order[i]);
    DeleteVariable(name, &EFI_GLOBAL_VARIABLE, kDeleteAnyAttributes);
  }
}

// Applies a mode's edits to Setup; returns whether any byte changed.
bool EditSetup(UINT8 mode, UINT8* setup) {
  bool changed = false;
  if ((mode == 1 || mode == 2) && setup[kSetupByteA] != 0) {
    setup[kSetupByteA] = 0;
    changed = true;
  }
  if ((mode == 2 || mode == 5) && setup[kSetupByteC] == 0) {
    setup[kSetupByteC] = 1;
    setup[kSetupByteB] = 0;
    changed = true;
  }
  if (mode == 3 && setup[kSetupByteC] != 0) {
    setup[kSetupByteC] = 0;
    changed = true;
  }
  return changed;
}

EFI_STATUS InstallMarker(const EFI_GUID* guid) {
  EFI_HANDLE handle = nullptr;
  return BootServices->InstallProtocolInterface(&handle, guid, EFI_NATIVE_INTERFACE, nullptr);
}

// Removes every instance of `drop`, then makes sure one `keep` is present.
EFI_STATUS SwapMarker(const EFI_GUID* drop, const EFI_GUID* keep) {
  if (!kPurgeMarkerSwap) {
    return EFI_SUCCESS;
  }
  EFI_STATUS status = UninstallAllInstances(drop);
  if (EFI_ERROR(status)) {
    return status;
  }
  void* present = nullptr;
  if (!EFI_ERROR(BootServices->LocateProtocol(keep, nullptr, &present))) {
    return EFI_SUCCESS;
  }
  return InstallMarker(keep);
}

}  // namespace

EFI_STATUS FirstBootCheck(BOOLEAN* firstBoot) {
  if (firstBoot == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  UINT8 marker = 0;
  UINTN size = sizeof(marker);
  if (RuntimeServices->GetVariable(kZkFirstBoot, &BootControlVendorGuid, nullptr, &size, &marker) !=
      EFI_NOT_FOUND) {
    *firstBoot = false;
    return EFI_SUCCESS;
  }
  *firstBoot = true;
  marker = 0;
  return RuntimeServices->SetVariable(kZkFirstBoot, &BootControlVendorGuid, kVarNvBsRt, sizeof(marker),
                                      &marker);
}

EFI_STATUS ProcessChangeBootRequest(void) {
  MemZero(ChangeBootRequest, sizeof(ChangeBootRequest));
  ChangeBootRequestSize = sizeof(ChangeBootRequest);
  UINT32 requestAttributes = 0;
  EFI_STATUS status = RuntimeServices->GetVariable(kZkChgBoot, &BootControlVendorGuid, &requestAttributes,
                                                   &ChangeBootRequestSize, ChangeBootRequest);
  if (EFI_ERROR(status) || ChangeBootRequest[0] == 0) {
    return EFI_SUCCESS;
  }

  // From here on the request counts as taken, whatever follows. It is
  // written back with the attributes it was stored with: with any others the
  // store refuses the write and the request would be acted on at every boot.
  ChangeBootRequest[0] = 0;
  RuntimeServices->SetVariable(kZkChgBoot, &BootControlVendorGuid, requestAttributes, ChangeBootRequestSize,
                               ChangeBootRequest);

  UINT32 setupAttributes = 0;
  UINTN setupSize = 0;
  UINT8* setup =
      static_cast<UINT8*>(ReadWholeVariable(kSetup, &SetupVariableGuid, &setupAttributes, &setupSize));
  if (setup == nullptr) {
    return EFI_NOT_FOUND;
  }

  const UINT8 mode = ChangeBootRequest[1] & 0x7F;
  if (mode < 1 || mode > 5) {
    FreePool(setup);
    return EFI_UNSUPPORTED;
  }
  if (mode == 4) {
    FreePool(setup);
    WriteChangeBootCmos(mode);
    FactoryReset();
    return EFI_SUCCESS;
  }
  // A record too short to hold the edited bytes is not a Setup this driver
  // knows how to edit: it is treated as unreadable.
  if (setupSize < kSetupMinimumSize) {
    FreePool(setup);
    return EFI_NOT_FOUND;
  }

  WriteChangeBootCmos(mode);
  if (!EditSetup(mode, setup)) {
    FreePool(setup);
    return EFI_SUCCESS;
  }
  status = RuntimeServices->SetVariable(kSetup, &SetupVariableGuid, setupAttributes, setupSize, setup);
  FreePool(setup);
  // The reset is what makes the edit take effect; without the edit stored it
  // would only bring the same boot back, over and over.
  if (EFI_ERROR(status)) {
    return status;
  }
  RuntimeServices->ResetSystem(EfiResetWarm, EFI_SUCCESS, 0, nullptr);
  return EFI_SUCCESS;
}

void FactoryReset(void) {
  DeleteVariable(kZkChgBoot, &BootControlVendorGuid, kDeleteAnyAttributes);
  CallFactoryResetHook();

  UINTN size = 0;
  if (RuntimeServices->GetVariable(kSetup, &SetupVariableGuid, nullptr, &size, nullptr) !=
      EFI_BUFFER_TOO_SMALL) {
    return;  // Setup is gone already: nothing more to delete, no reset
  }
  // A write without access attributes deletes whatever attributes Setup
  // was stored with; attributes 7 would fail on any other set and leave the
  // factory reset undone.
  if (EFI_ERROR(RuntimeServices->SetVariable(kSetup, &SetupVariableGuid, kDeleteAnyAttributes, 0, nullptr))) {
    return;
  }
  PurgeBootOptions();
  RuntimeServices->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr);
  for (;;) {
    SpinPause();
  }
}

EFI_STATUS PurgeBootOptions(void) {
  void* idle = nullptr;
  const bool wasIdle = !EFI_ERROR(BootServices->LocateProtocol(&PurgeIdleMarkerGuid, nullptr, &idle));
  if (wasIdle) {
    EnterPurgeState();
  }

  UINT32 orderAttributes = 0;
  UINTN orderSize = 0;
  UINT16* order =
      static_cast<UINT16*>(ReadWholeVariable(kBootOrder, &EFI_GLOBAL_VARIABLE, &orderAttributes, &orderSize));
  UINT32 physicalAttributes = 0;
  UINTN physicalSize = 0;
  UINT16* physical = static_cast<UINT16*>(
      ReadWholeVariable(kPhysicalBootOrder, &PhysicalBootOrderGuid, &physicalAttributes, &physicalSize));

  // Setup is gone by now: without BootOrder the options PhysicalBootOrder
  // names must still go, or the reset is left half done.
  if (order != nullptr) {
    DeleteBootOptions(order, orderSize / 2);
    DeleteVariable(kBootOrder, &EFI_GLOBAL_VARIABLE, orderAttributes);
  }
  if (physical != nullptr) {
    DeleteBootOptions(physical, physicalSize / 2);
    DeleteVariable(kPhysicalBootOrder, &PhysicalBootOrderGuid, physicalAttributes);
  }
  if (wasIdle) {
    LeavePurgeState();
  }
  if (physical != nullptr) {
    FreePool(physical);
  }
  if (order == nullptr) {
    return EFI_NOT_FOUND;
  }
  FreePool(order);
  return EFI_SUCCESS;
}

EFI_STATUS EnterPurgeState(void) { return SwapMarker(&PurgeIdleMarkerGuid, &PurgeBusyMarkerGuid); }

EFI_STATUS LeavePurgeState(void) { return SwapMarker(&PurgeBusyMarkerGuid, &PurgeIdleMarkerGuid); }

EFI_STATUS UninstallAllInstances(const EFI_GUID* protocolGuid) {
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  if (EFI_ERROR(BootServices->LocateHandleBuffer(ByProtocol, protocolGuid, nullptr, &count, &handles))) {
    return EFI_SUCCESS;
  }
  EFI_STATUS status = EFI_SUCCESS;
  for (UINTN i = 0; i < count && !EFI_ERROR(status); i++) {
    status = BootServices->UninstallProtocolInterface(handles[i], protocolGuid, nullptr);
  }
  FreePool(handles);
  return status;
}
