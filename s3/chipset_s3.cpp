#include "s3/chipset_s3.h"

#include "frame/module.h"
#include "support/base/base.h"
#include "support/debug/debug.h"
#include "support/pcd/pcd.h"
#include "support/timer/timer.h"

ChipsetS3LibPrivateData* mChipsetS3LibPrivateData;

ChipsetS3LibState ChipsetS3Lib;

namespace {

ChipsetS3LibTableHeader* Table() {
  return reinterpret_cast<ChipsetS3LibTableHeader*>(
      static_cast<UINTN>(mChipsetS3LibPrivateData->TableHeader));
}

// Bytes the table was created with: the requested size, at least 0x4000,
// plus the four bytes behind it.
UINT64 TableBytes() {
  const UINT64 size = PcdRead64(&ChipsetS3LibTokenSpaceGuid, PcdChipsetS3LibTableSize);
  return (size < kChipsetS3MinTableSize ? kChipsetS3MinTableSize : size) + 4;
}

// Creates and publishes the record and the two events. FALSE ends the
// constructor with `*status`.
BOOLEAN CreateRecord(EFI_STATUS* status) {
  DebugMessage(kDebugErrorLevel, "ChipsetS3LibPrivateData allocation\n");
  ChipsetS3LibPrivateData* record =
      static_cast<ChipsetS3LibPrivateData*>(PoolAllocZeroRt(sizeof(ChipsetS3LibPrivateData)));
  if (record == nullptr) {
    PostCodeHalt(0xA0882);
    DebugMessage(kDebugErrorLevel, "ChipsetS3LibPrivateData allocate fail\n");
    *status = EFI_OUT_OF_RESOURCES;
    return false;
  }
  record->Locked = 0;
  record->TableClosed = 0;
  record->TableHeader = 0;
  PcdWrite64(&ChipsetS3LibTokenSpaceGuid, PcdChipsetS3LibPrivateData, reinterpret_cast<UINTN>(record));
  // Kept before the events exist: the lock event may fire even when the
  // constructor stops at the second event.
  mChipsetS3LibPrivateData = record;
  const EFI_EVENT lockEvent = CreateProtocolNotifyEvent(&EFI_DXE_SMM_READY_TO_LOCK_PROTOCOL_GUID,
                                                        TPL_CALLBACK, OnBootScriptLock, nullptr, nullptr);
  if (lockEvent == nullptr) {
    PostCodeHalt(0xA0905);
    DebugMessage(kDebugErrorLevel, "ChipsetS3SaveLib create BootScriptLock Event fail\n");
    *status = EFI_UNSUPPORTED;
    return false;
  }
  // Loaded after the ready-to-lock point, the registration run has already
  // locked the record and closed the event: the handle is not kept, so the
  // destructor does not close it again.
  if (record->Locked == 0) {
    ChipsetS3Lib.BootScriptLockEvent = lockEvent;
  }
  const EFI_STATUS created =
      BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ChipsetS3SaveCloseTableCallBack, nullptr,
                                  &EFI_EVENT_GROUP_READY_TO_BOOT, &ChipsetS3Lib.CloseTableEvent);
  if (created != EFI_SUCCESS) {
    PostCodeHalt(0xA0922);
    if (EFI_ERROR(created)) {
      DebugMessage(kDebugErrorLevel, "ChipsetS3SaveLib create CloseTable Event fail\n");
      *status = EFI_UNSUPPORTED;
      return false;
    }
  }
  return true;
}

}  // namespace

EFI_STATUS ChipsetS3SaveConstructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  const UINT64 recordAddress = PcdRead64(&ChipsetS3LibTokenSpaceGuid, PcdChipsetS3LibPrivateData);
  if (!ReadPcieMmioWindow(&ChipsetS3Lib.PcieBase, &ChipsetS3Lib.PcieSize)) {
    PostCodeHalt(0xA0876);
  }
  if (recordAddress == 0) {
    EFI_STATUS status = EFI_SUCCESS;
    if (!CreateRecord(&status)) {
      return status;
    }
  } else {
    mChipsetS3LibPrivateData = reinterpret_cast<ChipsetS3LibPrivateData*>(static_cast<UINTN>(recordAddress));
  }
  if (PcdRead64(&ChipsetS3LibTokenSpaceGuid, PcdChipsetS3LibTableHeader) != 0) {
    return EFI_SUCCESS;
  }
  UINT64 size = PcdRead64(&ChipsetS3LibTokenSpaceGuid, PcdChipsetS3LibTableSize);
  if (size < kChipsetS3MinTableSize) {
    size = kChipsetS3MinTableSize;
  }
  DebugMessage(kDebugErrorLevel, "ChipsetS3LibTableHeader buffer size = 0x%x\n", size);
  // A size the allocator cannot be asked for, or an allocation that fails,
  // leaves the module without a table: nothing is published and the close
  // callback finds no table.
  UINT8* table =
      size > ~static_cast<UINT64>(0) - 4 ? nullptr : static_cast<UINT8*>(PoolAllocZeroRt(size + 4));
  if (table == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  PcdWrite64(&ChipsetS3LibTokenSpaceGuid, PcdChipsetS3LibTableHeader, reinterpret_cast<UINTN>(table));
  mChipsetS3LibPrivateData->TableHeader = reinterpret_cast<UINTN>(table);
  ChipsetS3LibTableHeader* header = reinterpret_cast<ChipsetS3LibTableHeader*>(table);
  header->Signature = kChipsetS3Signature;
  header->Version = 1;
  header->BoundaryOffset = kChipsetS3BoundaryOffset;
  header->NextEntryOffset = sizeof(ChipsetS3LibTableHeader);
  const UINT32 marker = kChipsetS3BoundaryMarker;
  MemCopy(table + kChipsetS3BoundaryOffset, &marker, sizeof(marker));
  return EFI_SUCCESS;
}

void EFIAPI OnBootScriptLock(EFI_EVENT event, void*) {
  void* interface = nullptr;
  if (EFI_ERROR(
          BootServices->LocateProtocol(&EFI_DXE_SMM_READY_TO_LOCK_PROTOCOL_GUID, nullptr, &interface))) {
    return;
  }
  if (event != nullptr) {
    BootServices->CloseEvent(event);
    if (event == ChipsetS3Lib.BootScriptLockEvent) {
      ChipsetS3Lib.BootScriptLockEvent = nullptr;
    }
  }
  mChipsetS3LibPrivateData->Locked = 1;
}

UINT32 CheckChipsetS3Table(void) {
  const ChipsetS3LibTableHeader* header = Table();
  if (header->Signature != kChipsetS3Signature) {
    PostCodeHalt(0xA0706);
    DebugMessage(kDebugErrorLevel, "ChipsetS3Lib table Signature check fail\n");
    return kChipsetS3TableUnsound;
  }
  const UINT8* bytes = reinterpret_cast<const UINT8*>(header);
  // Offsets are read from memory other modules write to: the boundary must
  // lie where every table has room for it, and the end marker inside the
  // table, or the check and the close would reach outside the table.
  const UINT64 tableBytes = TableBytes();
  if (header->BoundaryOffset < sizeof(ChipsetS3LibTableHeader) ||
      header->BoundaryOffset > kChipsetS3BoundaryOffset ||
      Load32(bytes + header->BoundaryOffset) != kChipsetS3BoundaryMarker) {
    PostCodeHalt(0xA0711);
    DebugMessage(kDebugErrorLevel, "ChipsetS3Lib table boundary check fail\n");
    return kChipsetS3TableUnsound;
  }
  if (header->NextEntryOffset < sizeof(ChipsetS3LibTableHeader) ||
      header->NextEntryOffset > tableBytes - sizeof(kChipsetS3EndMarker)) {
    DebugMessage(kDebugErrorLevel, "ChipsetS3Lib table entry offset check fail\n");
    return kChipsetS3TableUnsound;
  }
  return 0;
}

void EFIAPI ChipsetS3SaveCloseTableCallBack(EFI_EVENT event, void*) {
  if (event != nullptr) {
    BootServices->CloseEvent(event);
    if (event == ChipsetS3Lib.CloseTableEvent) {
      ChipsetS3Lib.CloseTableEvent = nullptr;
    }
  }
  DebugMessage(kDebugErrorLevel, "ChipsetS3SaveCloseTableCallBack\n");
  if (mChipsetS3LibPrivateData == nullptr || mChipsetS3LibPrivateData->TableHeader == 0) {
    DebugMessage(kDebugErrorLevel, "mChipsetS3LibPrivateData is NULL\n");
    return;
  }
  if (CheckChipsetS3Table() != 0) {
    return;
  }
  ChipsetS3LibTableHeader* header = Table();
  const UINT16 endMarker = kChipsetS3EndMarker;
  MemCopy(reinterpret_cast<UINT8*>(header) + header->NextEntryOffset, &endMarker, sizeof(endMarker));
  const UINT64 bufferAddress = PcdRead64(&ChipsetS3LibTokenSpaceGuid, PcdChipsetS3LibCommBuffer);
  if (bufferAddress == 0) {
    PostCodeHalt(0xA0826);
    return;
  }
  ChipsetS3Handover* message = reinterpret_cast<ChipsetS3Handover*>(static_cast<UINTN>(bufferAddress));
  MemZero(message, sizeof(*message));
  CopyGuidValue(&message->Header.HeaderGuid, &ChipsetS3SaveSmmHandlerGuid);
  message->Header.MessageLength = sizeof(ChipsetS3Handover) - 24;
  message->HandoverFunction = 1;
  message->RecordAddress = reinterpret_cast<UINTN>(mChipsetS3LibPrivateData);
  void* interface = nullptr;
  if (BootServices->LocateProtocol(&EFI_SMM_COMMUNICATION_PROTOCOL_GUID, nullptr, &interface) !=
      EFI_SUCCESS) {
    PostCodeHalt(0xA0840);
  }
  if (interface == nullptr) {
    DebugMessage(kDebugErrorLevel, "ChipsetS3SaveLib locate SmmCommunicationProtocol fail \n");
    return;
  }
  EFI_SMM_COMMUNICATION_PROTOCOL* communication = static_cast<EFI_SMM_COMMUNICATION_PROTOCOL*>(interface);
  UINTN size = sizeof(ChipsetS3Handover);
  communication->Communicate(communication, message, &size);
  mChipsetS3LibPrivateData->TableClosed = 1;
  FreePool(header);
}

EFI_STATUS ChipsetS3SaveDestructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  if (ChipsetS3Lib.BootScriptLockEvent != nullptr &&
      BootServices->CloseEvent(ChipsetS3Lib.BootScriptLockEvent) != EFI_SUCCESS) {
    PostCodeHalt(0xA0970);
  }
  if (ChipsetS3Lib.CloseTableEvent != nullptr &&
      BootServices->CloseEvent(ChipsetS3Lib.CloseTableEvent) != EFI_SUCCESS) {
    PostCodeHalt(0xA0975);
  }
  return EFI_SUCCESS;
}
