// PI definitions for SMM, SMM communication and the DXE services table,
// written from the PI specification's facts (volumes 2 and 4). Layouts are
// those of real firmware; the offsets other components depend on are pinned.
#pragma once

#include "frame/uefi.h"

// ---------------------------------------------------------------- SMM base
struct EFI_SMM_SYSTEM_TABLE2;
struct EFI_SMM_BASE2_PROTOCOL;

inline constexpr EFI_GUID EFI_SMM_BASE2_PROTOCOL_GUID = {
    0xF4CCBFB7, 0xF6E0, 0x47FD, {0x9D, 0xD4, 0x10, 0xA8, 0xF1, 0x50, 0xC1, 0x91}};

struct EFI_SMM_BASE2_PROTOCOL {
  EFI_STATUS(EFIAPI* InSmm)(const EFI_SMM_BASE2_PROTOCOL* This, BOOLEAN* InSmram);
  // EFI_UNSUPPORTED outside SMM.
  EFI_STATUS(EFIAPI* GetSmstLocation)(const EFI_SMM_BASE2_PROTOCOL* This, EFI_SMM_SYSTEM_TABLE2** Smst);
};
static_assert(sizeof(EFI_SMM_BASE2_PROTOCOL) == 16, "SMM base 2 layout");

// ---------------------------------------------------------------- SMM system table
constexpr UINT64 SMM_SMST_SIGNATURE = 0x54534D53;  // "SMST"

// Called each time the protocol is installed in the SMM protocol database.
typedef EFI_STATUS(EFIAPI* EFI_SMM_NOTIFY_FN)(const EFI_GUID* Protocol, void* Interface, EFI_HANDLE Handle);

typedef EFI_STATUS(EFIAPI* EFI_SMM_CPU_IO2)(const void* This, UINTN Width, UINT64 Address, UINTN Count,
                                            void* Buffer);
struct EFI_SMM_IO_ACCESS2 {
  EFI_SMM_CPU_IO2 Read;
  EFI_SMM_CPU_IO2 Write;
};
struct EFI_SMM_CPU_IO2_PROTOCOL {
  EFI_SMM_IO_ACCESS2 Mem;
  EFI_SMM_IO_ACCESS2 Io;
};

typedef EFI_STATUS(EFIAPI* EFI_SMM_HANDLER_ENTRY_POINT2)(EFI_HANDLE DispatchHandle, const void* Context,
                                                         void* CommBuffer, UINTN* CommBufferSize);

struct EFI_SMM_SYSTEM_TABLE2 {
  EFI_TABLE_HEADER Hdr;
  CHAR16* SmmFirmwareVendor;
  UINT32 SmmFirmwareRevision;
  EFI_STATUS(EFIAPI* SmmInstallConfigurationTable)
  (const EFI_SMM_SYSTEM_TABLE2* SystemTable, const EFI_GUID* Guid, void* Table, UINTN TableSize);
  EFI_SMM_CPU_IO2_PROTOCOL SmmIo;
  EFI_STATUS(EFIAPI* SmmAllocatePool)(EFI_MEMORY_TYPE PoolType, UINTN Size, void** Buffer);
  EFI_STATUS(EFIAPI* SmmFreePool)(void* Buffer);
  EFI_STATUS(EFIAPI* SmmAllocatePages)
  (EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages, EFI_PHYSICAL_ADDRESS* Memory);
  EFI_STATUS(EFIAPI* SmmFreePages)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
  EFI_STATUS(EFIAPI* SmmStartupThisAp)(void (*Procedure)(void*), UINTN CpuNumber, void* ProcArguments);
  UINTN CurrentlyExecutingCpu;
  UINTN NumberOfCpus;
  UINTN* CpuSaveStateSize;
  void** CpuSaveState;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE* SmmConfigurationTable;
  EFI_STATUS(EFIAPI* SmmInstallProtocolInterface)
  (EFI_HANDLE* Handle, const EFI_GUID* Protocol, EFI_INTERFACE_TYPE InterfaceType, void* Interface);
  EFI_STATUS(EFIAPI* SmmUninstallProtocolInterface)
  (EFI_HANDLE Handle, const EFI_GUID* Protocol, void* Interface);
  EFI_STATUS(EFIAPI* SmmHandleProtocol)(EFI_HANDLE Handle, const EFI_GUID* Protocol, void** Interface);
  // With a null Function, cancels the registration that Registration names.
  EFI_STATUS(EFIAPI* SmmRegisterProtocolNotify)
  (const EFI_GUID* Protocol, EFI_SMM_NOTIFY_FN Function, void** Registration);
  EFI_STATUS(EFIAPI* SmmLocateHandle)
  (EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID* Protocol, void* SearchKey, UINTN* BufferSize,
   EFI_HANDLE* Buffer);
  EFI_STATUS(EFIAPI* SmmLocateProtocol)(const EFI_GUID* Protocol, void* Registration, void** Interface);
  EFI_STATUS(EFIAPI* SmiManage)
  (const EFI_GUID* HandlerType, const void* Context, void* CommBuffer, UINTN* CommBufferSize);
  EFI_STATUS(EFIAPI* SmiHandlerRegister)
  (EFI_SMM_HANDLER_ENTRY_POINT2 Handler, const EFI_GUID* HandlerType, EFI_HANDLE* DispatchHandle);
  EFI_STATUS(EFIAPI* SmiHandlerUnRegister)(EFI_HANDLE DispatchHandle);
};
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmInstallConfigurationTable) == 40, "SMST layout");
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmAllocatePool) == 80, "SMST layout");
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmFreePool) == 88, "SMST layout");
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, NumberOfTableEntries) == 152, "SMST layout");
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmInstallProtocolInterface) == 168, "SMST layout");
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmRegisterProtocolNotify) == 192, "SMST layout");
static_assert(offsetof(EFI_SMM_SYSTEM_TABLE2, SmmLocateProtocol) == 208, "SMST layout");
static_assert(sizeof(EFI_SMM_SYSTEM_TABLE2) == 240, "SMST layout");

// ---------------------------------------------------------------- SMM communication
inline constexpr EFI_GUID EFI_SMM_COMMUNICATION_PROTOCOL_GUID = {
    0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}};

struct EFI_SMM_COMMUNICATION_PROTOCOL {
  EFI_STATUS(EFIAPI* Communicate)
  (const EFI_SMM_COMMUNICATION_PROTOCOL* This, void* CommBuffer, UINTN* CommSize);
};

// Start of every SMM communication buffer; the message follows.
struct EFI_SMM_COMMUNICATE_HEADER {
  EFI_GUID HeaderGuid;
  UINTN MessageLength;
};
static_assert(sizeof(EFI_SMM_COMMUNICATE_HEADER) == 24, "communicate header");

// ---------------------------------------------------------------- SMM notifications
inline constexpr EFI_GUID EFI_DXE_SMM_READY_TO_LOCK_PROTOCOL_GUID = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};
inline constexpr EFI_GUID EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID = {
    0x47B7FA8C, 0xF4BD, 0x4AF6, {0x82, 0x00, 0x33, 0x30, 0x86, 0xF0, 0xD2, 0xC8}};
inline constexpr EFI_GUID SmmExitBootServicesNoticeGuid = {
    0x296EB418, 0xC4C8, 0x4E05, {0xAB, 0x59, 0x39, 0xE8, 0xAF, 0x56, 0xF0, 0x0A}};
inline constexpr EFI_GUID SmmLegacyBootNoticeGuid = {
    0x85A8AB57, 0x0644, 0x4110, {0x85, 0x0F, 0x98, 0x13, 0x22, 0x04, 0x70, 0x70}};

// ---------------------------------------------------------------- event groups
inline constexpr EFI_GUID EFI_EVENT_GROUP_EXIT_BOOT_SERVICES = {
    0x27ABF055, 0xB1B8, 0x4C26, {0x80, 0x48, 0x74, 0x8F, 0x37, 0xBA, 0xA2, 0xDF}};
inline constexpr EFI_GUID EFI_EVENT_GROUP_READY_TO_BOOT = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};

// ---------------------------------------------------------------- DXE services
inline constexpr EFI_GUID DXE_SERVICES_TABLE_GUID = {
    0x05AD34BA, 0x6F02, 0x4214, {0x95, 0x2E, 0x4D, 0xA0, 0x39, 0x8E, 0x2B, 0xB9}};

typedef EFI_STATUS(EFIAPI* EFI_DXE_SERVICE)();  // members this driver never calls

struct EFI_DXE_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_DXE_SERVICE AddMemorySpace;
  EFI_DXE_SERVICE AllocateMemorySpace;
  EFI_DXE_SERVICE FreeMemorySpace;
  EFI_DXE_SERVICE RemoveMemorySpace;
  EFI_DXE_SERVICE GetMemorySpaceDescriptor;
  EFI_STATUS(EFIAPI* SetMemorySpaceAttributes)
  (EFI_PHYSICAL_ADDRESS BaseAddress, UINT64 Length, UINT64 Attributes);
  EFI_DXE_SERVICE GetMemorySpaceMap;
  EFI_DXE_SERVICE AddIoSpace;
  EFI_DXE_SERVICE AllocateIoSpace;
  EFI_DXE_SERVICE FreeIoSpace;
  EFI_DXE_SERVICE RemoveIoSpace;
  EFI_DXE_SERVICE GetIoSpaceDescriptor;
  EFI_DXE_SERVICE GetIoSpaceMap;
  EFI_DXE_SERVICE Dispatch;
  EFI_DXE_SERVICE Schedule;
  EFI_DXE_SERVICE Trust;
  EFI_DXE_SERVICE ProcessFirmwareVolume;
  EFI_DXE_SERVICE SetMemorySpaceCapabilities;
};
static_assert(offsetof(EFI_DXE_SERVICES, SetMemorySpaceAttributes) == 64, "DXE services layout");
static_assert(sizeof(EFI_DXE_SERVICES) == 168, "DXE services layout");

// ---------------------------------------------------------------- other protocols
inline constexpr EFI_GUID EFI_SMBUS_HC_PROTOCOL_GUID = {
    0xE49D33ED, 0x513D, 0x4634, {0xB6, 0x98, 0x6F, 0x55, 0xAA, 0x75, 0x1C, 0x1B}};
inline constexpr EFI_GUID EFI_LOADED_IMAGE_PROTOCOL_GUID = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
