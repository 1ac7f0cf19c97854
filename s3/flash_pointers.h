// Flash runtime-pointer constructors: find two flash areas through the
// flash device map and hand the addresses of the variables that hold them
// (and of the flash descriptor pointer) to the pointer registry, so they can
// be converted when the runtime address map changes.
#pragma once

#include "frame/pi.h"

inline constexpr EFI_GUID SmmVariableServiceGuid = {
    0xED32D533, 0x99E6, 0x4209, {0x9C, 0xC0, 0x2D, 0x72, 0xCD, 0xD9, 0x98, 0xA7}};
inline constexpr EFI_GUID FlashRuntimeAreaTypeGuid = {
    0xD9DDACA2, 0x0816, 0x48F3, {0xAD, 0xED, 0x6B, 0x71, 0x65, 0x6B, 0x24, 0x8A}};
inline constexpr EFI_GUID FirmwareVolumeAreaTypeGuid = {
    0x773C5374, 0x81D1, 0x4D43, {0xB2, 0x93, 0xF3, 0xD7, 0x4F, 0x18, 0x1D, 0x6B}};
constexpr UINT64 kFvHeaderLengthOffset = 0x30;

EFI_STATUS FlashRuntimePointersConstructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS FlashRuntimePointersDestructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS FlashContextPointerConstructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS FlashContextPointerDestructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
void EFIAPI OnFlashBootServicesEnded(EFI_EVENT event, void* context);
EFI_STATUS EFIAPI OnSmmVariableService(const EFI_GUID* protocol, void* interface, EFI_HANDLE handle);

// Module state, zero at load.
struct FlashPointersState {
  EFI_RUNTIME_SERVICES* RuntimeServicesCopy;
  UINT64 AreaAddress;
  UINT64 AreaSize;
  UINT64 AfterVolumeHeader;
  void* SmmVariable;
  EFI_SMM_SYSTEM_TABLE2* Smst;
  void* SmmVariableRegistration;
  EFI_EVENT ExitBootServicesEvent;
  BOOLEAN Ended;  // boot services have ended (this library's own flag)
};
extern FlashPointersState FlashPointers;
