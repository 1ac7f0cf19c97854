#include "s3/bootscript.h"

#include "frame/module.h"
#include "s3/lockbox.h"
#include "s3/smm_base.h"
#include "support/base/base.h"
#include "support/pcd/pcd.h"
#include "support/timer/timer.h"

BootScriptLibState BootScriptLib;

namespace {

BootScriptPrivateData* RecordAt(UINT64 address) {
  return reinterpret_cast<BootScriptPrivateData*>(static_cast<UINTN>(address));
}

// The boot-time record: found through the PCD, or allocated below 4 GiB and
// published by the first module that looks. FALSE ends the constructor.
BOOLEAN SetUpBootRecord() {
  const UINT64 published = PcdRead64(&BootScriptPcdTokenSpaceGuid, PcdBootScriptRecord);
  if (published != 0) {
    BootScriptLib.CurrentRecord = RecordAt(published);
    return true;
  }
  EFI_PHYSICAL_ADDRESS page = 0xFFFFFFFF;
  // Without the page there is no record to publish: the module runs without
  // boot-script support rather than write through an address it was not given.
  if (EFI_ERROR(BootServices->AllocatePages(AllocateMaxAddress, EfiReservedMemoryType, 1, &page))) {
    return false;
  }
  if (EFI_ERROR(PcdWrite64(&BootScriptPcdTokenSpaceGuid, PcdBootScriptRecord, page))) {
    BootServices->FreePages(page, 1);
    return false;
  }
  BootScriptLib.OwnsBootRecord = true;
  MemZero(RecordAt(page), sizeof(BootScriptPrivateData));
  // The record is current before the notification exists: its first run,
  // at registration, seals the table at once when ready-to-lock has already
  // passed. TPL_NOTIFY: the platform's own notification of the same install
  // (at TPL_CALLBACK, registered before any driver) locks SMM, and a locked
  // lock box takes no store; at TPL_NOTIFY the boxes are stored first.
  BootScriptLib.CurrentRecord = RecordAt(page);
  BootScriptLib.ReadyToLockEvent = CreateProtocolNotifyEvent(
      &EFI_DXE_SMM_READY_TO_LOCK_PROTOCOL_GUID, TPL_NOTIFY, OnDxeSmmReadyToLock, nullptr, nullptr);
  return true;
}

// The SMM side: the SMM copy of the record and the SMM notifications.
void SetUpSmmRecord() {
  BootScriptLib.CurrentRecord = RecordAt(PcdRead64(&BootScriptPcdTokenSpaceGuid, PcdBootScriptRecord));
  BootScriptLib.Smst = LocateSmst();
  if (BootScriptLib.Smst == nullptr) {
    return;
  }
  UINT64 smmRecord = PcdRead64(&BootScriptPcdTokenSpaceGuid, PcdBootScriptSmmRecord);
  if (smmRecord == 0) {
    void* buffer = nullptr;
    // Without SMRAM for the copy nothing can be kept in SMM: register nothing.
    if (EFI_ERROR(BootScriptLib.Smst->SmmAllocatePool(EfiRuntimeServicesData, sizeof(BootScriptPrivateData),
                                                      &buffer)) ||
        buffer == nullptr) {
      return;
    }
    if (EFI_ERROR(PcdWrite64(&BootScriptPcdTokenSpaceGuid, PcdBootScriptSmmRecord,
                             reinterpret_cast<UINTN>(buffer)))) {
      BootScriptLib.Smst->SmmFreePool(buffer);
      return;
    }
    BootScriptLib.OwnsSmmRecord = true;
    MemZero(buffer, sizeof(BootScriptPrivateData));
    BootScriptLib.Smst->SmmRegisterProtocolNotify(&SmmExitBootServicesNoticeGuid, OnSmmRuntimeNotice,
                                                  &BootScriptLib.ExitBootServicesNoticeRegistration);
    BootScriptLib.Smst->SmmRegisterProtocolNotify(&SmmLegacyBootNoticeGuid, OnSmmRuntimeNotice,
                                                  &BootScriptLib.LegacyBootNoticeRegistration);
    smmRecord = reinterpret_cast<UINTN>(buffer);
  }
  BootScriptLib.SmmRecord = RecordAt(smmRecord);
  BootScriptLib.Smst->SmmRegisterProtocolNotify(&EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID, OnSmmReadyToLock,
                                                &BootScriptLib.SmmReadyToLockRegistration);
}

void CancelSmmRegistration(const EFI_GUID* protocol, void** registration) {
  if (*registration != nullptr) {
    BootScriptLib.Smst->SmmRegisterProtocolNotify(protocol, nullptr, registration);
  }
}

}  // namespace

EFI_STATUS BootScriptConstructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  if (!RunningInSmm()) {
    if (!SetUpBootRecord() || LocateSmmBase() == nullptr) {
      return EFI_SUCCESS;
    }
  }
  SetUpSmmRecord();
  return EFI_SUCCESS;
}

void CloseScriptTable(void) {
  if (BootScriptLib.CurrentRecord->TableAddress == 0) {
    return;
  }
  // A length that leaves no room for the terminator inside the table's own
  // pages would make the write land in someone else's memory.
  if (static_cast<UINT64>(BootScriptLib.CurrentRecord->ScriptLength) + kScriptTerminatorLength >
      static_cast<UINT64>(BootScriptLib.CurrentRecord->TablePages) * 4096) {
    return;
  }
  UINT8* table = reinterpret_cast<UINT8*>(static_cast<UINTN>(BootScriptLib.CurrentRecord->TableAddress));
  UINT8* terminator = table + BootScriptLib.CurrentRecord->ScriptLength;
  terminator[0] = static_cast<UINT8>(kScriptTerminatorOpcode);
  terminator[1] = static_cast<UINT8>(kScriptTerminatorOpcode >> 8);
  terminator[2] = kScriptTerminatorLength;
  const UINT32 total = BootScriptLib.CurrentRecord->ScriptLength + kScriptTerminatorLength;
  MemCopy(table + kScriptTableLengthOffset, &total, sizeof(total));
}

void SaveScriptTableBoxes(void) {
  LockBoxStore(&ScriptTableBoxGuid,
               reinterpret_cast<void*>(static_cast<UINTN>(BootScriptLib.CurrentRecord->TableAddress)),
               static_cast<UINTN>(BootScriptLib.CurrentRecord->TablePages) * 4096);
  LockBoxSetAttributes(&ScriptTableBoxGuid, 1);
  LockBoxStore(&ScriptAddressBoxGuid, &BootScriptLib.CurrentRecord->TableAddress,
               sizeof(BootScriptLib.CurrentRecord->TableAddress));
  LockBoxSetAttributes(&ScriptAddressBoxGuid, 1);
}

void EFIAPI OnDxeSmmReadyToLock(EFI_EVENT, void*) {
  void* interface = nullptr;
  // The registration signal comes before the protocol exists: ignore it.
  if (EFI_ERROR(
          BootServices->LocateProtocol(&EFI_DXE_SMM_READY_TO_LOCK_PROTOCOL_GUID, nullptr, &interface))) {
    return;
  }
  if (BootScriptLib.CurrentRecord == nullptr || BootScriptLib.CurrentRecord->Locked != 0) {
    return;
  }
  CloseScriptTable();
  BootScriptLib.CurrentRecord->Locked = 1;
  SaveScriptTableBoxes();
}

EFI_STATUS EFIAPI OnSmmReadyToLock(const EFI_GUID*, void*, EFI_HANDLE) {
  if (BootScriptLib.SmmRecord == BootScriptLib.CurrentRecord) {
    return EFI_SUCCESS;
  }
  OnDxeSmmReadyToLock(nullptr, nullptr);
  if (BootScriptLib.SmmRecord->TableAddress == 0 && BootScriptLib.CurrentRecord != nullptr) {
    MemCopy(BootScriptLib.SmmRecord, BootScriptLib.CurrentRecord, sizeof(BootScriptPrivateData));
    BootScriptLib.SmmRecord->IsSmmCopy = 1;
  }
  BootScriptLib.CurrentRecord = BootScriptLib.SmmRecord;
  return EFI_SUCCESS;
}

void SaveBootTimeScript(void) {
  LockBoxRestore(&ScriptTableBoxGuid, nullptr, nullptr);
  LockBoxStore(&BootTimeScriptBoxGuid,
               reinterpret_cast<void*>(static_cast<UINTN>(BootScriptLib.CurrentRecord->TableAddress)),
               BootScriptLib.CurrentRecord->BootTimeLength);
}

void SaveScriptRecordBox(void) {
  BootScriptLib.CurrentRecord->ResumeCopy = 1;
  LockBoxStore(&ScriptRecordBoxGuid, BootScriptLib.CurrentRecord, sizeof(BootScriptPrivateData));
  LockBoxSetAttributes(&ScriptRecordBoxGuid, 1);
  BootScriptLib.CurrentRecord->ResumeCopy = 0;
}

EFI_STATUS EFIAPI OnSmmRuntimeNotice(const EFI_GUID*, void*, EFI_HANDLE) {
  if (BootScriptLib.CurrentRecord == nullptr || BootScriptLib.CurrentRecord->RuntimePhase != 0) {
    return EFI_SUCCESS;
  }
  BootScriptLib.CurrentRecord->BootTimeLength =
      BootScriptLib.CurrentRecord->ScriptLength + kScriptTerminatorLength;
  SaveBootTimeScript();
  BootScriptLib.CurrentRecord->RuntimePhase = 1;
  SaveScriptRecordBox();
  return EFI_SUCCESS;
}

EFI_STATUS BootScriptDestructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  if (BootScriptLib.ReadyToLockEvent != nullptr) {
    BootServices->CloseEvent(BootScriptLib.ReadyToLockEvent);
  }
  if (BootScriptLib.Smst != nullptr) {
    CancelSmmRegistration(&SmmExitBootServicesNoticeGuid, &BootScriptLib.ExitBootServicesNoticeRegistration);
    CancelSmmRegistration(&SmmLegacyBootNoticeGuid, &BootScriptLib.LegacyBootNoticeRegistration);
    CancelSmmRegistration(&EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID, &BootScriptLib.SmmReadyToLockRegistration);
  }
  if (BootScriptLib.OwnsBootRecord) {
    BootServices->FreePages(reinterpret_cast<UINTN>(BootScriptLib.CurrentRecord), 1);
    PcdWrite64(&BootScriptPcdTokenSpaceGuid, PcdBootScriptRecord, 0);
  }
  if (BootScriptLib.Smst != nullptr && BootScriptLib.OwnsSmmRecord) {
    BootScriptLib.Smst->SmmFreePool(BootScriptLib.SmmRecord);
    PcdWrite64(&BootScriptPcdTokenSpaceGuid, PcdBootScriptSmmRecord, 0);
  }
  return EFI_SUCCESS;
}
