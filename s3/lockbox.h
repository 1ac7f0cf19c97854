// Lock-box client: hands copies of memory to the SMM lock-box service over
// SMM communication, puts them back, and sets their attributes.
#pragma once

#include "frame/pi.h"

inline constexpr EFI_GUID LockBoxHandlerGuid = {
    0x2A3CFEBD, 0x27E8, 0x4D0A, {0x8B, 0x79, 0xD6, 0x88, 0xC2, 0xA3, 0xE1, 0xC0}};
inline constexpr EFI_GUID CommRegionTableGuid = {
    0x4E28CA50, 0xD582, 0x44AC, {0xA1, 0x1F, 0xE3, 0xD5, 0x65, 0x26, 0xDB, 0x34}};

constexpr UINT32 kLockBoxCommandStore = 1;
constexpr UINT32 kLockBoxCommandRestore = 3;
constexpr UINT32 kLockBoxCommandSetAttributes = 4;
constexpr UINT64 kLockBoxAttributeMask = 3;  // the only attribute bits the service accepts

// The request that follows the communicate header; shared with the SMM
// handler, so every offset is fixed.
struct LockBoxRequestHeader {
  UINT32 Command;
  UINT32 RequestLength;  // equals the communicate header's MessageLength
  UINT64 Result;         // written by the handler; preset to all ones
  EFI_GUID BoxGuid;
};

struct LockBoxDataRequest {  // store and restore
  EFI_SMM_COMMUNICATE_HEADER Header;
  LockBoxRequestHeader Request;
  UINT64 DataAddress;
  UINT64 DataLength;
};
static_assert(offsetof(LockBoxDataRequest, Request.Command) == 24, "lock-box request layout");
static_assert(offsetof(LockBoxDataRequest, Request.Result) == 32, "lock-box request layout");
static_assert(offsetof(LockBoxDataRequest, Request.BoxGuid) == 40, "lock-box request layout");
static_assert(offsetof(LockBoxDataRequest, DataAddress) == 56, "lock-box request layout");
static_assert(offsetof(LockBoxDataRequest, DataLength) == 64, "lock-box request layout");
static_assert(sizeof(LockBoxDataRequest) == 72, "lock-box request layout");

struct LockBoxAttributesRequest {
  EFI_SMM_COMMUNICATE_HEADER Header;
  LockBoxRequestHeader Request;
  UINT64 Attributes;
};
static_assert(offsetof(LockBoxAttributesRequest, Attributes) == 56, "lock-box request layout");
static_assert(sizeof(LockBoxAttributesRequest) == 64, "lock-box request layout");

// The communication-region table: a header, then memory descriptors at the
// table's own stride.
struct CommRegionTableHeader {
  UINT32 Version;
  UINT32 NumberOfEntries;
  UINT32 DescriptorSize;
  UINT32 Reserved;
};
static_assert(sizeof(CommRegionTableHeader) == 16, "region table header");

constexpr UINT64 kCommRegionMinBytes = 80;
// A table is published by the SMM core and carries no length of its own; a
// header that claims more than this or a stride shorter than a memory
// descriptor is not a table this client walks.
constexpr UINT64 kCommRegionTableMaxSpan = 0x10000;

EFI_STATUS LockBoxStore(const EFI_GUID* boxGuid, void* buffer, UINTN length);
EFI_STATUS LockBoxRestore(const EFI_GUID* boxGuid, void* buffer, UINTN* length);
EFI_STATUS LockBoxSetAttributes(const EFI_GUID* boxGuid, UINT64 attributes);
EFI_SMM_COMMUNICATION_PROTOCOL* GetSmmCommunication(void);
EFI_PHYSICAL_ADDRESS FindCommRegion(void);
// The region a table names: the first conventional-memory entry of at least
// 80 bytes, or 0.
EFI_PHYSICAL_ADDRESS CommRegionFromTable(const void* table);

// Module state of the client, zero at load: what the lookups found.
struct LockBoxClientState {
  EFI_SMM_COMMUNICATION_PROTOCOL* CachedCommunication;
  EFI_PHYSICAL_ADDRESS CachedRegion;
};
extern LockBoxClientState LockBoxClient;
