// Image entry point, the fixed library constructor and destructor chains, and
// the driver's own entry.
#include "entry/driver.h"

#include "bootctl/chgboot.h"
#include "bootctl/endofdxe.h"
#include "flash/fch.h"
#include "flash/flash_device.h"
#include "frame/module.h"
#include "s3/bootscript.h"
#include "s3/chipset_s3.h"
#include "s3/flash_pointers.h"
#include "s3/smm_services.h"
#include "support/base/base.h"
#include "support/strings/strings.h"
#include "support/timer/timer.h"

namespace {

EFI_STATUS StoreImageAndTables(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  ImageHandle = imageHandle;
  SystemTable = systemTable;
  BootServices = systemTable->BootServices;
  return EFI_SUCCESS;
}

EFI_STATUS StoreRuntimeServices(EFI_SYSTEM_TABLE* systemTable) {
  RuntimeServices = systemTable->RuntimeServices;
  return EFI_SUCCESS;
}

EFI_STATUS CacheHobList() {
  HobListStart();
  return EFI_SUCCESS;
}

EFI_STATUS LocatePlatformHook() {
  if (EFI_ERROR(BootServices->LocateProtocol(&PlatformHookProtocolGuid, nullptr, &PlatformHookProtocol))) {
    PlatformHookProtocol = nullptr;
  }
  return EFI_SUCCESS;
}

}  // namespace

// Every step runs whatever the previous one reported: a library that failed
// to set itself up leaves its users to cope with its absence. The numbers are
// the steps' places in the chain.
EFI_STATUS RunLibraryConstructors(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  StoreImageAndTables(imageHandle, systemTable);              // 1
  StoreRuntimeServices(systemTable);                          // 2
  TimerInit(imageHandle, systemTable);                        // 3
  SmbusHcConstructor(imageHandle, systemTable);               // 4
  BootScriptConstructor(imageHandle, systemTable);            // 5
  CacheHobList();                                             // 6
  ChipsetS3SaveConstructor(imageHandle, systemTable);         // 7
  ListAnchorConstructor(imageHandle, systemTable);            // 8
  HeapBufferListConstructor(imageHandle, systemTable);        // 9
  DxeServicesConstructor(imageHandle, systemTable);           // 10
  BootServicesEndedConstructor(imageHandle, systemTable);     // 11
  PointerRegistryConstructor(imageHandle, systemTable);       // 12
  MapFchRegistersRuntime(imageHandle, systemTable);           // 13
  FlashRuntimePointersConstructor(imageHandle, systemTable);  // 14
  FlashContextPointerConstructor(imageHandle, systemTable);   // 15
  FlashDeviceInit(imageHandle, systemTable);                  // 16
  LocateHiiProtocols(imageHandle, systemTable);               // 17
  SharedBufferInit(imageHandle, systemTable);                 // 18
  KeepFlashAreaInit(imageHandle, systemTable);                // 19
  BootStringsInit(imageHandle, systemTable);                  // 20
  LocatePlatformHook();                                       // 21
  return EFI_SUCCESS;
}

// The reverse of the constructors that own something to undo; the numbers
// are the steps' places in the chain.
EFI_STATUS RunLibraryDestructors(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  BootStringsDestroy(imageHandle, systemTable);              // 1
  FlashContextPointerDestructor(imageHandle, systemTable);   // 2
  FlashRuntimePointersDestructor(imageHandle, systemTable);  // 3
  PointerRegistryDestructor(imageHandle, systemTable);       // 4
  BootServicesEndedDestructor(imageHandle, systemTable);     // 5
  ChipsetS3SaveDestructor(imageHandle, systemTable);         // 6
  BootScriptDestructor(imageHandle, systemTable);            // 7
  return EFI_SUCCESS;
}

EFI_STATUS ModuleEntry(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  // A recovery boot belongs to the recovery path: no boot control at all.
  if (HobBootMode() == BOOT_IN_RECOVERY_MODE) {
    return EFI_SUCCESS;
  }
  FirstBootCheck(&FirstBootFlag);
  ProcessChangeBootRequest();  // may reset the platform and not return
  BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, EndOfDxeHandler, nullptr,
                              &EFI_END_OF_DXE_EVENT_GROUP_GUID, &EndOfDxeEvent);
  return EFI_SUCCESS;
}

extern "C" EFI_STATUS EFIAPI DriverEntry(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  RunLibraryConstructors(imageHandle, systemTable);
  EFI_STATUS status = ModuleEntry(imageHandle, systemTable);
  if (EFI_ERROR(status)) {
    RunLibraryDestructors(imageHandle, systemTable);
  }
  return status;
}
