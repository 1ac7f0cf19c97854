// Small SMM-aware constructors that fetch or publish one platform service
// each: the SMBus host controller, the shared list anchor, the heap-buffer
// list built from HOBs, the DXE services table, the end of boot services and
// the pointer registry.
#pragma once

#include "frame/pi.h"
#include "support/base/base.h"

inline constexpr EFI_GUID ListAnchorProtocolGuid = {
    0xF4540D21, 0x18C6, 0x4E74, {0xBC, 0x2D, 0x3C, 0x6F, 0xA0, 0x8D, 0x8B, 0xC6}};
inline constexpr EFI_GUID HeapBufferListProtocolGuid = {
    0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};
inline constexpr EFI_GUID HeapBufferHobGuid = {
    0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};
inline constexpr EFI_GUID PointerRegistryProtocolGuid = {
    0x1C2E4602, 0xE3BA, 0x4B07, {0xE3, 0xB8, 0x35, 0x55, 0xA5, 0x1C, 0x61, 0x3A}};

// Published for other modules, which find the list head at offset 8.
struct HeapBufferListInterface {
  UINT64 Revision;
  LIST_ENTRY Head;
};
static_assert(offsetof(HeapBufferListInterface, Head) == 8, "heap-buffer list layout");
static_assert(sizeof(HeapBufferListInterface) == 24, "heap-buffer list layout");

// At the start of the data of each heap-buffer HOB.
struct HeapBufferDescriptor {
  UINT32 Signature;  // "HEAP"
  UINT32 NotExamined;
  UINT32 PayloadSize;  // payload bytes after the descriptor
  UINT8 PoolKind;      // 8: runtime-services pool; otherwise boot-services pool
  UINT8 TakeFlag;      // taken only when 1
  UINT8 NotExamined2[2];
};
static_assert(sizeof(HeapBufferDescriptor) == 16, "heap-buffer descriptor layout");

struct HeapBufferNode {
  LIST_ENTRY Link;
  HeapBufferDescriptor Descriptor;
  // payload follows
};
static_assert(sizeof(HeapBufferNode) == 32, "heap-buffer node layout");

constexpr UINT32 kHeapSignature = 0x50414548;
constexpr UINT8 kHeapPoolKindRuntime = 8;

typedef EFI_STATUS(EFIAPI* POINTER_REGISTRY_FUNCTION)(void** address);
struct PointerRegistryProtocol {
  void* Reserved[2];
  POINTER_REGISTRY_FUNCTION RegisterPointer;
  POINTER_REGISTRY_FUNCTION UnregisterPointer;
};
static_assert(offsetof(PointerRegistryProtocol, RegisterPointer) == 16, "pointer registry layout");
static_assert(offsetof(PointerRegistryProtocol, UnregisterPointer) == 24, "pointer registry layout");

EFI_STATUS SmbusHcConstructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS ListAnchorConstructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS HeapBufferListConstructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS DxeServicesConstructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS BootServicesEndedConstructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS BootServicesEndedDestructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS PointerRegistryConstructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
EFI_STATUS PointerRegistryDestructor(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE* systemTable);
void EFIAPI OnBootServicesEnded(EFI_EVENT event, void* context);
void EFIAPI OnPointerRegistry(EFI_EVENT event, void* context);
void CollectHeapBuffers(void);
HeapBufferNode* AddHeapBufferNode(const HeapBufferDescriptor* descriptor);
EFI_STATUS RegisterRuntimePointer(void** address);
EFI_STATUS UnregisterRuntimePointer(void** address);

extern void* SmbusHc;
extern LIST_ENTRY* ListAnchor;
extern LIST_ENTRY* HeapBufferList;
extern EFI_DXE_SERVICES* DxeServices;
extern BOOLEAN BootServicesEnded;
extern PointerRegistryProtocol* PointerRegistry;
extern BOOLEAN IsRuntimeImage;

// Module state of these constructors beyond the values other parts read, zero at load.
struct SmmServicesState {
  EFI_EVENT BootServicesEndedEvent;
  BOOLEAN BootServicesEndedInSmm;
  EFI_SMM_SYSTEM_TABLE2* BootServicesEndedSmst;
  EFI_EVENT PointerRegistryEvent;
  HeapBufferListInterface HeapBufferListData;  // published when no module did before
};
extern SmmServicesState SmmServices;
