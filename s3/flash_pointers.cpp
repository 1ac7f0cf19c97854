#include "s3/flash_pointers.h"

#include "flash/fch.h"
#include "flash/fdm.h"
#include "flash/flash_device.h"
#include "frame/module.h"
#include "s3/smm_base.h"
#include "s3/smm_services.h"

FlashPointersState FlashPointers;

EFI_STATUS FlashRuntimePointersConstructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  static const EFI_GUID kAnyArea = {};
  FlashPointers.AreaAddress = FdmRegionBaseByGuids(&FlashRuntimeAreaTypeGuid, &kAnyArea, 1);
  FlashPointers.AreaSize = FdmRegionSizeByGuids(&FlashRuntimeAreaTypeGuid, &kAnyArea, 1);
  const UINT64 volume = FdmRegionBase(&FirmwareVolumeAreaTypeGuid, 1);
  // A volume missing from the map has no header to step over: the address
  // stays 0 instead of reading a length at address 0x30.
  if (volume != 0) {
    FlashPointers.AfterVolumeHeader = volume + RegRead16(volume + kFvHeaderLengthOffset);
  }
  if (RunningInSmm()) {
    FlashPointers.Smst = LocateSmst();
    if (FlashPointers.Smst == nullptr) {
      return EFI_UNSUPPORTED;
    }
    const EFI_STATUS status =
        FlashPointers.Smst->SmmLocateProtocol(&SmmVariableServiceGuid, nullptr, &FlashPointers.SmmVariable);
    if (!EFI_ERROR(status)) {
      return status;
    }
    return FlashPointers.Smst->SmmRegisterProtocolNotify(&SmmVariableServiceGuid, OnSmmVariableService,
                                                         &FlashPointers.SmmVariableRegistration);
  }
  FlashPointers.RuntimeServicesCopy = RuntimeServices;
  RegisterRuntimePointer(reinterpret_cast<void**>(&FlashPointers.RuntimeServicesCopy));
  RegisterRuntimePointer(reinterpret_cast<void**>(&FlashPointers.AreaAddress));
  RegisterRuntimePointer(reinterpret_cast<void**>(&FlashPointers.AfterVolumeHeader));
  return BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnFlashBootServicesEnded, nullptr,
                                     &EFI_EVENT_GROUP_EXIT_BOOT_SERVICES,
                                     &FlashPointers.ExitBootServicesEvent);
}

void EFIAPI OnFlashBootServicesEnded(EFI_EVENT event, void*) {
  FlashPointers.Ended = true;
  BootServices->CloseEvent(event);
  if (event == FlashPointers.ExitBootServicesEvent) {
    FlashPointers.ExitBootServicesEvent = nullptr;
  }
}

EFI_STATUS EFIAPI OnSmmVariableService(const EFI_GUID*, void*, EFI_HANDLE) {
  return FlashPointers.Smst->SmmLocateProtocol(&SmmVariableServiceGuid, nullptr, &FlashPointers.SmmVariable);
}

EFI_STATUS FlashRuntimePointersDestructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  if (FlashPointers.ExitBootServicesEvent != nullptr) {
    BootServices->CloseEvent(FlashPointers.ExitBootServicesEvent);
    FlashPointers.ExitBootServicesEvent = nullptr;
  }
  if (FlashPointers.RuntimeServicesCopy != nullptr) {
    UnregisterRuntimePointer(reinterpret_cast<void**>(&FlashPointers.RuntimeServicesCopy));
    UnregisterRuntimePointer(reinterpret_cast<void**>(&FlashPointers.AreaAddress));
  }
  if (FlashPointers.Smst != nullptr && FlashPointers.SmmVariableRegistration != nullptr) {
    FlashPointers.Smst->SmmRegisterProtocolNotify(&SmmVariableServiceGuid, nullptr,
                                                  &FlashPointers.SmmVariableRegistration);
  }
  return EFI_SUCCESS;
}

EFI_STATUS FlashContextPointerConstructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  RegisterRuntimePointer(reinterpret_cast<void**>(&CurrentFlashDevice));
  return EFI_SUCCESS;
}

EFI_STATUS FlashContextPointerDestructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  UnregisterRuntimePointer(reinterpret_cast<void**>(&CurrentFlashDevice));
  return EFI_SUCCESS;
}
