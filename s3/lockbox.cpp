#include "s3/lockbox.h"

#include "frame/module.h"
#include "support/base/base.h"

LockBoxClientState LockBoxClient;

namespace {

// Fills the fields every request shares, in field order.
void FillRequest(EFI_SMM_COMMUNICATE_HEADER* header, LockBoxRequestHeader* request, UINT32 command,
                 UINT32 requestLength, const EFI_GUID* boxGuid) {
  CopyGuidValue(&header->HeaderGuid, &LockBoxHandlerGuid);
  header->MessageLength = requestLength;
  request->Result = ~static_cast<UINT64>(0);
  request->Command = command;
  request->RequestLength = requestLength;
  CopyGuidValue(&request->BoxGuid, boxGuid);
}

// Sends a store or restore request; returns the handler's result.
EFI_STATUS SendDataRequest(EFI_SMM_COMMUNICATION_PROTOCOL* communication, UINT32 command,
                           const EFI_GUID* boxGuid, UINT64 address, UINT64* length) {
  LockBoxDataRequest onStack;
  const EFI_PHYSICAL_ADDRESS region = FindCommRegion();
  LockBoxDataRequest* message =
      region != 0 ? reinterpret_cast<LockBoxDataRequest*>(static_cast<UINTN>(region)) : &onStack;
  FillRequest(&message->Header, &message->Request, command,
              sizeof(LockBoxDataRequest) - sizeof(EFI_SMM_COMMUNICATE_HEADER), boxGuid);
  message->DataAddress = address;
  message->DataLength = *length;
  UINTN size = sizeof(LockBoxDataRequest);
  communication->Communicate(communication, message, &size);
  *length = message->DataLength;
  return message->Request.Result;
}

}  // namespace

EFI_SMM_COMMUNICATION_PROTOCOL* GetSmmCommunication(void) {
  if (LockBoxClient.CachedCommunication != nullptr) {
    return LockBoxClient.CachedCommunication;
  }
  void* interface = nullptr;
  if (EFI_ERROR(BootServices->LocateProtocol(&EFI_SMM_COMMUNICATION_PROTOCOL_GUID, nullptr, &interface))) {
    interface = nullptr;
  }
  LockBoxClient.CachedCommunication = static_cast<EFI_SMM_COMMUNICATION_PROTOCOL*>(interface);
  return LockBoxClient.CachedCommunication;
}

EFI_PHYSICAL_ADDRESS CommRegionFromTable(const void* table) {
  const UINT8* bytes = static_cast<const UINT8*>(table);
  const UINT32 entries = Load32(bytes + offsetof(CommRegionTableHeader, NumberOfEntries));
  const UINT32 stride = Load32(bytes + offsetof(CommRegionTableHeader, DescriptorSize));
  if (stride < sizeof(EFI_MEMORY_DESCRIPTOR) ||
      static_cast<UINT64>(entries) * stride > kCommRegionTableMaxSpan) {
    return 0;
  }
  const UINT8* entry = bytes + sizeof(CommRegionTableHeader);
  for (UINT32 i = 0; i < entries; i++, entry += stride) {
    const UINT32 type = Load32(entry + offsetof(EFI_MEMORY_DESCRIPTOR, Type));
    const UINT64 pages = Load64(entry + offsetof(EFI_MEMORY_DESCRIPTOR, NumberOfPages));
    if (type == EfiConventionalMemory && Shl64(pages, 12) >= kCommRegionMinBytes) {
      return Load64(entry + offsetof(EFI_MEMORY_DESCRIPTOR, PhysicalStart));
    }
  }
  return 0;
}

EFI_PHYSICAL_ADDRESS FindCommRegion(void) {
  if (LockBoxClient.CachedRegion != 0) {
    return LockBoxClient.CachedRegion;
  }
  void* table = nullptr;
  LockBoxClient.CachedRegion =
      EFI_ERROR(FindConfigurationTable(&CommRegionTableGuid, &table)) || table == nullptr
          ? 0
          : CommRegionFromTable(table);
  return LockBoxClient.CachedRegion;
}

EFI_STATUS LockBoxStore(const EFI_GUID* boxGuid, void* buffer, UINTN length) {
  if (boxGuid == nullptr || buffer == nullptr || length == 0) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_SMM_COMMUNICATION_PROTOCOL* communication = GetSmmCommunication();
  if (communication == nullptr) {
    return EFI_NOT_STARTED;
  }
  UINT64 dataLength = length;
  return SendDataRequest(communication, kLockBoxCommandStore, boxGuid, reinterpret_cast<UINTN>(buffer),
                         &dataLength);
}

EFI_STATUS LockBoxRestore(const EFI_GUID* boxGuid, void* buffer, UINTN* length) {
  if (boxGuid == nullptr || (buffer == nullptr) != (length == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_SMM_COMMUNICATION_PROTOCOL* communication = GetSmmCommunication();
  if (communication == nullptr) {
    return EFI_NOT_STARTED;
  }
  UINT64 dataLength = length != nullptr ? *length : 0;
  const EFI_STATUS result = SendDataRequest(communication, kLockBoxCommandRestore, boxGuid,
                                            reinterpret_cast<UINTN>(buffer), &dataLength);
  if (length != nullptr) {
    *length = dataLength;
  }
  return result;
}

EFI_STATUS LockBoxSetAttributes(const EFI_GUID* boxGuid, UINT64 attributes) {
  if (boxGuid == nullptr || (attributes & ~kLockBoxAttributeMask) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_SMM_COMMUNICATION_PROTOCOL* communication = GetSmmCommunication();
  if (communication == nullptr) {
    return EFI_NOT_STARTED;
  }
  LockBoxAttributesRequest onStack;
  const EFI_PHYSICAL_ADDRESS region = FindCommRegion();
  LockBoxAttributesRequest* message =
      region != 0 ? reinterpret_cast<LockBoxAttributesRequest*>(static_cast<UINTN>(region)) : &onStack;
  FillRequest(&message->Header, &message->Request, kLockBoxCommandSetAttributes,
              sizeof(LockBoxAttributesRequest) - sizeof(EFI_SMM_COMMUNICATE_HEADER), boxGuid);
  message->Attributes = attributes;
  UINTN size = sizeof(LockBoxAttributesRequest);
  communication->Communicate(communication, message, &size);
  return message->Request.Result;
}
