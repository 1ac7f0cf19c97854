#include "s3/smm_services.h"

#include "frame/module.h"
#include "s3/smm_base.h"
#include "support/debug/debug.h"
#include "support/timer/timer.h"

void* SmbusHc;
LIST_ENTRY* ListAnchor;
LIST_ENTRY* HeapBufferList;
EFI_DXE_SERVICES* DxeServices;
BOOLEAN BootServicesEnded;
PointerRegistryProtocol* PointerRegistry;
BOOLEAN IsRuntimeImage;

SmmServicesState SmmServices;

EFI_STATUS SmbusHcConstructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  return BootServices->LocateProtocol(&EFI_SMBUS_HC_PROTOCOL_GUID, nullptr, &SmbusHc);
}

// In SMM the anchor is looked up in and published to the SMM database, at
// boot time to the boot-services one; the pool is boot-services pool either way.
EFI_STATUS ListAnchorConstructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  EFI_SMM_SYSTEM_TABLE2* smst = nullptr;
  if (RunningInSmm()) {
    smst = LocateSmst();
    if (smst == nullptr) {
      return EFI_UNSUPPORTED;
    }
  }
  void* interface = nullptr;
  const EFI_STATUS status = smst != nullptr
                                ? smst->SmmLocateProtocol(&ListAnchorProtocolGuid, nullptr, &interface)
                                : BootServices->LocateProtocol(&ListAnchorProtocolGuid, nullptr, &interface);
  if (!EFI_ERROR(status)) {
    ListAnchor = static_cast<LIST_ENTRY*>(interface);
    return status;
  }
  LIST_ENTRY* head = static_cast<LIST_ENTRY*>(PoolAllocBs(sizeof(LIST_ENTRY)));
  if (head == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  ListAnchor = ListInit(head);
  EFI_HANDLE handle = nullptr;
  const EFI_STATUS installed =
      smst != nullptr
          ? smst->SmmInstallProtocolInterface(&handle, &ListAnchorProtocolGuid, EFI_NATIVE_INTERFACE, head)
          : BootServices->InstallProtocolInterface(&handle, &ListAnchorProtocolGuid, EFI_NATIVE_INTERFACE,
                                                   head);
  // Unpublished, no other module can reach the anchor: it goes back.
  if (EFI_ERROR(installed)) {
    BootServices->FreePool(head);
    ListAnchor = nullptr;
  }
  return installed;
}

HeapBufferNode* AddHeapBufferNode(const HeapBufferDescriptor* descriptor) {
  const BOOLEAN runtime = descriptor->PoolKind == kHeapPoolKindRuntime;
  HeapBufferNode* node = static_cast<HeapBufferNode*>(
      PoolAlloc(runtime ? EfiRuntimeServicesData : EfiBootServicesData,
                static_cast<UINTN>(descriptor->PayloadSize) + sizeof(HeapBufferNode)));
  if (node == nullptr) {
    PostCodeHalt(runtime ? 0x80211 : 0x80214);
    return nullptr;
  }
  MemCopy(&node->Descriptor, descriptor, sizeof(HeapBufferDescriptor));
  ListAddTail(HeapBufferList, &node->Link);
  return node;
}

void CollectHeapBuffers(void) {
  constexpr UINTN kDataOffset = sizeof(EFI_HOB_GUID_TYPE);
  for (const UINT8* hob = static_cast<const UINT8*>(FirstGuidHob(&HeapBufferHobGuid)); hob != nullptr;) {
    const UINT16 hobLength = Load16(hob + offsetof(EFI_HOB_GENERIC_HEADER, HobLength));
    // The descriptor and its payload must lie inside the HOB: a payload size
    // that runs past it would copy whatever follows in the HOB list.
    const UINTN room = hobLength > kDataOffset ? hobLength - kDataOffset : 0;
    if (room >= sizeof(HeapBufferDescriptor)) {
      HeapBufferDescriptor descriptor;
      MemCopy(&descriptor, hob + kDataOffset, sizeof(descriptor));
      if (descriptor.Signature == kHeapSignature && descriptor.TakeFlag == 1 &&
          descriptor.PayloadSize <= room - sizeof(HeapBufferDescriptor)) {
        HeapBufferNode* node = AddHeapBufferNode(&descriptor);
        if (node != nullptr) {
          MemCopy(node + 1, hob + kDataOffset + sizeof(HeapBufferDescriptor), descriptor.PayloadSize);
        }
      }
    }
    hob = static_cast<const UINT8*>(NextGuidHob(&HeapBufferHobGuid, hob + hobLength));
  }
}

EFI_STATUS HeapBufferListConstructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  void* interface = nullptr;
  if (!EFI_ERROR(BootServices->LocateProtocol(&HeapBufferListProtocolGuid, nullptr, &interface))) {
    HeapBufferList = &static_cast<HeapBufferListInterface*>(interface)->Head;
    return EFI_SUCCESS;
  }
  SmmServices.HeapBufferListData.Revision = 1;
  HeapBufferList = ListInit(&SmmServices.HeapBufferListData.Head);
  CollectHeapBuffers();
  EFI_HANDLE handle = nullptr;
  const EFI_STATUS status = BootServices->InstallProtocolInterface(
      &handle, &HeapBufferListProtocolGuid, EFI_NATIVE_INTERFACE, &SmmServices.HeapBufferListData);
  if (status != EFI_SUCCESS) {
    PostCodeHalt(0x80302);
  }
  return status;
}

EFI_STATUS DxeServicesConstructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  void* table = nullptr;
  const EFI_STATUS status = FindConfigurationTable(&DXE_SERVICES_TABLE_GUID, &table);
  DxeServices = EFI_ERROR(status) ? nullptr : static_cast<EFI_DXE_SERVICES*>(table);
  return status;
}

void EFIAPI OnBootServicesEnded(EFI_EVENT event, void*) {
  BootServices->CloseEvent(event);
  if (event == SmmServices.BootServicesEndedEvent) {
    SmmServices.BootServicesEndedEvent = nullptr;
  }
  BootServicesEnded = true;
}

EFI_STATUS BootServicesEndedConstructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  SmmServices.BootServicesEndedInSmm = RunningInSmm();
  if (!SmmServices.BootServicesEndedInSmm) {
    BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, OnBootServicesEnded, nullptr,
                                &EFI_EVENT_GROUP_EXIT_BOOT_SERVICES, &SmmServices.BootServicesEndedEvent);
    return EFI_SUCCESS;
  }
  SmmServices.BootServicesEndedSmst = LocateSmst();
  return SmmServices.BootServicesEndedSmst != nullptr ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS BootServicesEndedDestructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  if (SmmServices.BootServicesEndedEvent != nullptr) {
    BootServices->CloseEvent(SmmServices.BootServicesEndedEvent);
    SmmServices.BootServicesEndedEvent = nullptr;
  }
  return EFI_SUCCESS;
}

EFI_STATUS RegisterRuntimePointer(void** address) {
  if (PointerRegistry == nullptr || !IsRuntimeImage) {
    return EFI_ABORTED;
  }
  return PointerRegistry->RegisterPointer(address);
}

EFI_STATUS UnregisterRuntimePointer(void** address) {
  if (PointerRegistry == nullptr || !IsRuntimeImage) {
    return EFI_ABORTED;
  }
  return PointerRegistry->UnregisterPointer(address);
}

EFI_STATUS PointerRegistryConstructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE*) {
  if (RunningInSmm()) {
    return EFI_SUCCESS;
  }
  void* loadedImage = nullptr;
  IsRuntimeImage =
      !EFI_ERROR(BootServices->HandleProtocol(imageHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID, &loadedImage)) &&
      loadedImage != nullptr &&
      static_cast<EFI_LOADED_IMAGE_PROTOCOL*>(loadedImage)->ImageCodeType == EfiRuntimeServicesCode;
  void* interface = nullptr;
  if (EFI_ERROR(BootServices->LocateProtocol(&PointerRegistryProtocolGuid, nullptr, &interface))) {
    SmmServices.PointerRegistryEvent = CreateProtocolNotifyEvent(&PointerRegistryProtocolGuid, TPL_CALLBACK,
                                                                 OnPointerRegistry, nullptr, nullptr);
    return EFI_SUCCESS;
  }
  PointerRegistry = static_cast<PointerRegistryProtocol*>(interface);
  if (IsRuntimeImage) {
    RegisterRuntimePointer(reinterpret_cast<void**>(&PointerRegistry));
  }
  return EFI_SUCCESS;
}

void EFIAPI OnPointerRegistry(EFI_EVENT event, void*) {
  void* interface = nullptr;
  if (EFI_ERROR(BootServices->LocateProtocol(&PointerRegistryProtocolGuid, nullptr, &interface))) {
    return;
  }
  PointerRegistry = static_cast<PointerRegistryProtocol*>(interface);
  if (IsRuntimeImage) {
    RegisterRuntimePointer(reinterpret_cast<void**>(&PointerRegistry));
  }
  BootServices->CloseEvent(event);
  if (event == SmmServices.PointerRegistryEvent) {
    SmmServices.PointerRegistryEvent = nullptr;
  }
}

EFI_STATUS PointerRegistryDestructor(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  if (SmmServices.PointerRegistryEvent != nullptr) {
    BootServices->CloseEvent(SmmServices.PointerRegistryEvent);
    SmmServices.PointerRegistryEvent = nullptr;
  } else if (PointerRegistry != nullptr && IsRuntimeImage) {
    UnregisterRuntimePointer(reinterpret_cast<void**>(&PointerRegistry));
  }
  return EFI_SUCCESS;
}
