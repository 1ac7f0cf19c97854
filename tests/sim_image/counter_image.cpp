// Test driver image: counts its entries in module state, records the boot
// stages it is notified of, and resets when a variable asks it to.
#include "tests/sim_image/counter_image.h"

namespace {

constexpr EFI_GUID kEndOfDxe = {0x02CE967A, 0xDD7E, 0x4FFC, {0x9E, 0xE7, 0x81, 0x0C, 0xF0, 0x47, 0x08, 0x80}};
constexpr EFI_GUID kReadyToBoot = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};
constexpr EFI_GUID kReadyToLock = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};
constexpr EFI_GUID kLoadedImage = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

EFI_SYSTEM_TABLE* gSystemTable;
UINT32 gEntries;            // zero in every freshly loaded copy
UINT32 gSeed = 0x5EED1234;  // initialised data: 0x5EED1234 in every freshly loaded copy
void* gReadyToLockRegistration;

void MaybeReset(UINT8 stage) {
  EFI_RUNTIME_SERVICES* rt = gSystemTable->RuntimeServices;
  UINT8 request[2];
  UINTN size = sizeof request;
  if (rt->GetVariable(kResetRequestName, &kCounterImageGuid, nullptr, &size, request) != EFI_SUCCESS ||
      size != 2 || request[0] != stage) {
    return;
  }
  if (!(request[1] & kKeepRequest)) {
    rt->SetVariable(kResetRequestName, &kCounterImageGuid, 0, 0, nullptr);
  }
  rt->ResetSystem(static_cast<EFI_RESET_TYPE>(request[1] & ~kKeepRequest), EFI_SUCCESS, 0, nullptr);
}

void Record(UINT8 stage) {
  gSystemTable->RuntimeServices->SetVariable(kStagesName, &kCounterImageGuid,
                                             EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_APPEND_WRITE, 1,
                                             &stage);
  MaybeReset(stage);
}

void EFIAPI OnEndOfDxe(EFI_EVENT, void*) { Record('E'); }

void EFIAPI OnReadyToLock(EFI_EVENT, void*) {
  void* interface;
  if (gSystemTable->BootServices->LocateProtocol(&kReadyToLock, gReadyToLockRegistration, &interface) ==
      EFI_SUCCESS) {
    Record('L');
  }
}

void EFIAPI OnReadyToBoot(EFI_EVENT, void*) { Record('B'); }

void EFIAPI OnExitBootServices(EFI_EVENT, void*) { Record('X'); }

}  // namespace

extern "C" __attribute__((visibility("default"))) EFI_STATUS EFIAPI
DriverEntry(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable) {
  gSystemTable = systemTable;
  EFI_BOOT_SERVICES* bs = systemTable->BootServices;
  EFI_RUNTIME_SERVICES* rt = systemTable->RuntimeServices;

  ++gEntries;
  rt->SetVariable(kEntriesName, &kCounterImageGuid, EFI_VARIABLE_BOOTSERVICE_ACCESS, sizeof gEntries,
                  &gEntries);
  rt->SetVariable(kSeedName, &kCounterImageGuid, EFI_VARIABLE_BOOTSERVICE_ACCESS, sizeof gSeed, &gSeed);
  gSeed = 0;

  EFI_LOADED_IMAGE_PROTOCOL* loaded = nullptr;
  UINT8 ok =
      bs->HandleProtocol(imageHandle, &kLoadedImage, reinterpret_cast<void**>(&loaded)) == EFI_SUCCESS &&
      loaded->SystemTable == systemTable && loaded->ImageCodeType == EfiBootServicesCode;
  rt->SetVariable(kImageOkName, &kCounterImageGuid, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &ok);

  Record('D');

  EFI_EVENT event;
  bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnEndOfDxe, nullptr, &kEndOfDxe, &event);
  bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnReadyToLock, nullptr, &event);
  bs->RegisterProtocolNotify(&kReadyToLock, event, &gReadyToLockRegistration);
  bs->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnReadyToBoot, nullptr, &kReadyToBoot, &event);
  bs->CreateEvent(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_CALLBACK, OnExitBootServices, nullptr, &event);
  return EFI_SUCCESS;
}
