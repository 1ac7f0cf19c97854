// sim/uefi/: the UEFI world. Models the boot- and runtime-services tables,
// events, event groups and task priority levels, the handle and protocol
// database with protocol notifications, configuration tables, pool and page
// memory, the variable store, load options, and the platform services the
// S3 libraries look up (DXE services table, SMBus host controller, HEAP
// buffer HOBs, pointer registry). Records as violations: a boot service
// called after ExitBootServices or above its TPL limit, a memory service
// inside an exit-boot-services notification, a variable or time service
// above TPL_CALLBACK, RaiseTPL to a lower or RestoreTPL to a higher level, a
// notification that returns at another TPL, a double or foreign FreePool or
// FreePages, a call of an SMBus host-controller member.
//
// The types the UEFI world shares with tests and tools: variables and the
// store's limits, allocations, the S3 services' HOBs and calls, and the
// well-known GUIDs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame/uefi.h"

namespace sim {

struct Variable {
  std::u16string name;
  EFI_GUID guid{};
  uint32_t attributes = 0;
  std::vector<uint8_t> data;
};

// The non-volatile variable store. Each variable takes a header, its name
// (UTF-16 with the terminator) and its data; a write that does not fit
// fails with EFI_OUT_OF_RESOURCES. Volatile variables have a store of the
// same size of their own.
struct VariableStoreConfig {
  uint64_t capacity = 0x20000;         // bytes
  uint64_t maxVariableSize = 0x10000;  // name and data of one variable
  bool writeProtected = false;         // non-volatile writes and deletes: EFI_WRITE_PROTECTED
};
constexpr uint64_t kVariableHeaderBytes = 60;

struct Allocation {
  void* address = nullptr;
  uint64_t size = 0;  // bytes (pages x 4096 for page allocations)
  EFI_MEMORY_TYPE type = EfiBootServicesData;
  bool pages = false;
  unsigned boot = 0;
  // An injected failure refused to free it: its owner did give it back, the
  // firmware kept it.
  bool freeRefused = false;
};

// Data of a GUID-extension HOB named kHeapBufferHobGuid: a 16-byte HEAP
// descriptor (Signature at 0, PayloadSize at 8, PoolKind at 12, TakeFlag at
// 13) and the payload.
struct HeapHob {
  std::vector<uint8_t> payload;
  uint8_t poolKind = 0;  // 8: runtime-services pool; anything else: boot-services pool
  uint8_t take = 1;      // the HOB is taken only when this is 1
  // The PayloadSize field when it should not match the payload (a HOB that
  // claims more than it holds); unset: the payload's size.
  std::optional<uint32_t> statedPayloadSize;
  uint32_t signature = 0x50414548;  // "HEAP"
};

// One call of the DXE services' SetMemorySpaceAttributes.
struct MemorySpaceAttributesCall {
  uint64_t base = 0;
  uint64_t length = 0;
  uint64_t attributes = 0;
  unsigned boot = 0;
};

// Well-known GUIDs the platform uses.
extern const EFI_GUID kEndOfDxeGroup;
extern const EFI_GUID kReadyToBootGroup;
extern const EFI_GUID kExitBootServicesGroup;
extern const EFI_GUID kDxeSmmReadyToLockProtocol;
extern const EFI_GUID kHobListGuid;
extern const EFI_GUID kLoadedImageProtocol;
extern const EFI_GUID kGlobalVariableGuid;
extern const EFI_GUID kVirtualAddressChangeGroup;
extern const EFI_GUID kHeapBufferHobGuid;
// The heap-buffer list protocol: installing it traces the list its interface
// heads (kind "HeapBufferList"; see sim/uefi/platform_services.cpp).
extern const EFI_GUID kHeapBufferListProtocolGuid;

}  // namespace sim
