// UEFI and PI definitions used by the driver, written from the public
// specifications' facts. Layouts match real firmware; the offsets that other
// components depend on are pinned with static_assert.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Firmware interfaces use the UEFI calling convention in both builds.
#define EFIAPI __attribute__((ms_abi))

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int32_t INT32;
typedef int64_t INT64;
typedef uint64_t UINTN;
typedef int64_t INTN;
typedef char16_t CHAR16;
typedef char CHAR8;
typedef uint8_t BOOLEAN;

static_assert(sizeof(void*) == 8, "x86-64 only");

typedef UINTN EFI_STATUS;
typedef void* EFI_HANDLE;
typedef void* EFI_EVENT;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;

constexpr EFI_STATUS kErrorBit = 0x8000000000000000ull;
constexpr EFI_STATUS EfiError(UINTN code) { return kErrorBit | code; }
constexpr bool EFI_ERROR(EFI_STATUS s) { return (s & kErrorBit) != 0; }

constexpr EFI_STATUS EFI_SUCCESS = 0;
constexpr EFI_STATUS EFI_LOAD_ERROR = EfiError(1);
constexpr EFI_STATUS EFI_INVALID_PARAMETER = EfiError(2);
constexpr EFI_STATUS EFI_UNSUPPORTED = EfiError(3);
constexpr EFI_STATUS EFI_BAD_BUFFER_SIZE = EfiError(4);
constexpr EFI_STATUS EFI_BUFFER_TOO_SMALL = EfiError(5);
constexpr EFI_STATUS EFI_NOT_READY = EfiError(6);
constexpr EFI_STATUS EFI_DEVICE_ERROR = EfiError(7);
constexpr EFI_STATUS EFI_WRITE_PROTECTED = EfiError(8);
constexpr EFI_STATUS EFI_OUT_OF_RESOURCES = EfiError(9);
constexpr EFI_STATUS EFI_VOLUME_CORRUPTED = EfiError(10);
constexpr EFI_STATUS EFI_VOLUME_FULL = EfiError(11);
constexpr EFI_STATUS EFI_NO_MEDIA = EfiError(12);
constexpr EFI_STATUS EFI_MEDIA_CHANGED = EfiError(13);
constexpr EFI_STATUS EFI_NOT_FOUND = EfiError(14);
constexpr EFI_STATUS EFI_ACCESS_DENIED = EfiError(15);
constexpr EFI_STATUS EFI_NO_RESPONSE = EfiError(16);
constexpr EFI_STATUS EFI_NO_MAPPING = EfiError(17);
constexpr EFI_STATUS EFI_TIMEOUT = EfiError(18);
constexpr EFI_STATUS EFI_NOT_STARTED = EfiError(19);
constexpr EFI_STATUS EFI_ALREADY_STARTED = EfiError(20);
constexpr EFI_STATUS EFI_ABORTED = EfiError(21);
constexpr EFI_STATUS EFI_ICMP_ERROR = EfiError(22);
constexpr EFI_STATUS EFI_TFTP_ERROR = EfiError(23);
constexpr EFI_STATUS EFI_PROTOCOL_ERROR = EfiError(24);
constexpr EFI_STATUS EFI_INCOMPATIBLE_VERSION = EfiError(25);
constexpr EFI_STATUS EFI_SECURITY_VIOLATION = EfiError(26);
constexpr EFI_STATUS EFI_CRC_ERROR = EfiError(27);
constexpr EFI_STATUS EFI_END_OF_MEDIA = EfiError(28);
constexpr EFI_STATUS EFI_END_OF_FILE = EfiError(31);
constexpr EFI_STATUS EFI_INVALID_LANGUAGE = EfiError(32);
constexpr EFI_STATUS EFI_COMPROMISED_DATA = EfiError(33);

constexpr EFI_STATUS EFI_WARN_UNKNOWN_GLYPH = 1;
constexpr EFI_STATUS EFI_WARN_DELETE_FAILURE = 2;
constexpr EFI_STATUS EFI_WARN_WRITE_FAILURE = 3;
constexpr EFI_STATUS EFI_WARN_BUFFER_TOO_SMALL = 4;
constexpr EFI_STATUS EFI_WARN_STALE_DATA = 5;

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16, "GUID layout");

struct EFI_TIME {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  int16_t TimeZone;
  UINT8 Daylight;
  UINT8 Pad2;
};
static_assert(sizeof(EFI_TIME) == 16, "EFI_TIME layout");

// Task priority levels.
constexpr EFI_TPL TPL_APPLICATION = 4;
constexpr EFI_TPL TPL_CALLBACK = 8;
constexpr EFI_TPL TPL_NOTIFY = 16;
constexpr EFI_TPL TPL_HIGH_LEVEL = 31;

// Event types.
constexpr UINT32 EVT_TIMER = 0x80000000u;
constexpr UINT32 EVT_RUNTIME = 0x40000000u;
constexpr UINT32 EVT_NOTIFY_WAIT = 0x00000100u;
constexpr UINT32 EVT_NOTIFY_SIGNAL = 0x00000200u;
constexpr UINT32 EVT_SIGNAL_EXIT_BOOT_SERVICES = 0x00000201u;
constexpr UINT32 EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE = 0x60000202u;

typedef void(EFIAPI* EFI_EVENT_NOTIFY)(EFI_EVENT Event, void* Context);

enum EFI_ALLOCATE_TYPE : UINT32 { AllocateAnyPages = 0, AllocateMaxAddress = 1, AllocateAddress = 2 };

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType = 0,
  EfiLoaderCode = 1,
  EfiLoaderData = 2,
  EfiBootServicesCode = 3,
  EfiBootServicesData = 4,
  EfiRuntimeServicesCode = 5,
  EfiRuntimeServicesData = 6,
  EfiConventionalMemory = 7,
  EfiUnusableMemory = 8,
  EfiACPIReclaimMemory = 9,
  EfiACPIMemoryNVS = 10,
  EfiMemoryMappedIO = 11,
  EfiMemoryMappedIOPortSpace = 12,
  EfiPalCode = 13,
  EfiPersistentMemory = 14,
  EfiMaxMemoryType = 15
};

enum EFI_RESET_TYPE : UINT32 {
  EfiResetCold = 0,
  EfiResetWarm = 1,
  EfiResetShutdown = 2,
  EfiResetPlatformSpecific = 3
};

enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles = 0, ByRegisterNotify = 1, ByProtocol = 2 };

enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE = 0 };

enum EFI_TIMER_DELAY : UINT32 { TimerCancel = 0, TimerPeriodic = 1, TimerRelative = 2 };

// Variable attributes.
constexpr UINT32 EFI_VARIABLE_NON_VOLATILE = 0x1;
constexpr UINT32 EFI_VARIABLE_BOOTSERVICE_ACCESS = 0x2;
constexpr UINT32 EFI_VARIABLE_RUNTIME_ACCESS = 0x4;
constexpr UINT32 EFI_VARIABLE_HARDWARE_ERROR_RECORD = 0x8;
constexpr UINT32 EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS = 0x10;
constexpr UINT32 EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS = 0x20;
constexpr UINT32 EFI_VARIABLE_APPEND_WRITE = 0x40;
constexpr UINT32 kVarNvBsRt = 7;  // non-volatile, boot-service and runtime access

constexpr UINT64 EFI_MEMORY_RUNTIME = 0x8000000000000000ull;

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24, "table header");

struct EFI_MEMORY_DESCRIPTOR {
  UINT32 Type;
  UINT32 Pad;
  EFI_PHYSICAL_ADDRESS PhysicalStart;
  EFI_VIRTUAL_ADDRESS VirtualStart;
  UINT64 NumberOfPages;
  UINT64 Attribute;
};
static_assert(offsetof(EFI_MEMORY_DESCRIPTOR, NumberOfPages) == 24, "memory descriptor");

struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
};

// Boot services, every member in the order the UEFI standard gives.
struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_TPL(EFIAPI* RaiseTPL)(EFI_TPL NewTpl);
  void(EFIAPI* RestoreTPL)(EFI_TPL OldTpl);
  EFI_STATUS(EFIAPI* AllocatePages)
  (EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages, EFI_PHYSICAL_ADDRESS* Memory);
  EFI_STATUS(EFIAPI* FreePages)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
  EFI_STATUS(EFIAPI* GetMemoryMap)
  (UINTN* MemoryMapSize, EFI_MEMORY_DESCRIPTOR* MemoryMap, UINTN* MapKey, UINTN* DescriptorSize,
   UINT32* DescriptorVersion);
  EFI_STATUS(EFIAPI* AllocatePool)(EFI_MEMORY_TYPE PoolType, UINTN Size, void** Buffer);
  EFI_STATUS(EFIAPI* FreePool)(void* Buffer);
  EFI_STATUS(EFIAPI* CreateEvent)
  (UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, void* NotifyContext, EFI_EVENT* Event);
  EFI_STATUS(EFIAPI* SetTimer)(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime);
  EFI_STATUS(EFIAPI* WaitForEvent)(UINTN NumberOfEvents, EFI_EVENT* Event, UINTN* Index);
  EFI_STATUS(EFIAPI* SignalEvent)(EFI_EVENT Event);
  EFI_STATUS(EFIAPI* CloseEvent)(EFI_EVENT Event);
  EFI_STATUS(EFIAPI* CheckEvent)(EFI_EVENT Event);
  EFI_STATUS(EFIAPI* InstallProtocolInterface)
  (EFI_HANDLE* Handle, const EFI_GUID* Protocol, EFI_INTERFACE_TYPE InterfaceType, void* Interface);
  EFI_STATUS(EFIAPI* ReinstallProtocolInterface)
  (EFI_HANDLE Handle, const EFI_GUID* Protocol, void* OldInterface, void* NewInterface);
  EFI_STATUS(EFIAPI* UninstallProtocolInterface)
  (EFI_HANDLE Handle, const EFI_GUID* Protocol, void* Interface);
  EFI_STATUS(EFIAPI* HandleProtocol)(EFI_HANDLE Handle, const EFI_GUID* Protocol, void** Interface);
  void* Reserved;
  EFI_STATUS(EFIAPI* RegisterProtocolNotify)(const EFI_GUID* Protocol, EFI_EVENT Event, void** Registration);
  EFI_STATUS(EFIAPI* LocateHandle)
  (EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID* Protocol, void* SearchKey, UINTN* BufferSize,
   EFI_HANDLE* Buffer);
  EFI_STATUS(EFIAPI* LocateDevicePath)
  (const EFI_GUID* Protocol, EFI_DEVICE_PATH_PROTOCOL** DevicePath, EFI_HANDLE* Device);
  EFI_STATUS(EFIAPI* InstallConfigurationTable)(const EFI_GUID* Guid, void* Table);
  EFI_STATUS(EFIAPI* LoadImage)
  (BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle, EFI_DEVICE_PATH_PROTOCOL* DevicePath, void* SourceBuffer,
   UINTN SourceSize, EFI_HANDLE* ImageHandle);
  EFI_STATUS(EFIAPI* StartImage)(EFI_HANDLE ImageHandle, UINTN* ExitDataSize, CHAR16** ExitData);
  EFI_STATUS(EFIAPI* Exit)
  (EFI_HANDLE ImageHandle, EFI_STATUS ExitStatus, UINTN ExitDataSize, CHAR16* ExitData);
  EFI_STATUS(EFIAPI* UnloadImage)(EFI_HANDLE ImageHandle);
  EFI_STATUS(EFIAPI* ExitBootServices)(EFI_HANDLE ImageHandle, UINTN MapKey);
  EFI_STATUS(EFIAPI* GetNextMonotonicCount)(UINT64* Count);
  EFI_STATUS(EFIAPI* Stall)(UINTN Microseconds);
  EFI_STATUS(EFIAPI* SetWatchdogTimer)
  (UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize, CHAR16* WatchdogData);
  EFI_STATUS(EFIAPI* ConnectController)
  (EFI_HANDLE ControllerHandle, EFI_HANDLE* DriverImageHandle, EFI_DEVICE_PATH_PROTOCOL* RemainingDevicePath,
   BOOLEAN Recursive);
  EFI_STATUS(EFIAPI* DisconnectController)
  (EFI_HANDLE ControllerHandle, EFI_HANDLE DriverImageHandle, EFI_HANDLE ChildHandle);
  EFI_STATUS(EFIAPI* OpenProtocol)
  (EFI_HANDLE Handle, const EFI_GUID* Protocol, void** Interface, EFI_HANDLE AgentHandle,
   EFI_HANDLE ControllerHandle, UINT32 Attributes);
  EFI_STATUS(EFIAPI* CloseProtocol)
  (EFI_HANDLE Handle, const EFI_GUID* Protocol, EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle);
  EFI_STATUS(EFIAPI* OpenProtocolInformation)
  (EFI_HANDLE Handle, const EFI_GUID* Protocol, void** EntryBuffer, UINTN* EntryCount);
  EFI_STATUS(EFIAPI* ProtocolsPerHandle)
  (EFI_HANDLE Handle, EFI_GUID*** ProtocolBuffer, UINTN* ProtocolBufferCount);
  EFI_STATUS(EFIAPI* LocateHandleBuffer)
  (EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID* Protocol, void* SearchKey, UINTN* NoHandles,
   EFI_HANDLE** Buffer);
  EFI_STATUS(EFIAPI* LocateProtocol)(const EFI_GUID* Protocol, void* Registration, void** Interface);
  EFI_STATUS(EFIAPI* InstallMultipleProtocolInterfaces)(EFI_HANDLE* Handle, ...);
  EFI_STATUS(EFIAPI* UninstallMultipleProtocolInterfaces)(EFI_HANDLE Handle, ...);
  EFI_STATUS(EFIAPI* CalculateCrc32)(void* Data, UINTN DataSize, UINT32* Crc32);
  void(EFIAPI* CopyMem)(void* Destination, const void* Source, UINTN Length);
  void(EFIAPI* SetMem)(void* Buffer, UINTN Size, UINT8 Value);
  EFI_STATUS(EFIAPI* CreateEventEx)
  (UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, const void* NotifyContext,
   const EFI_GUID* EventGroup, EFI_EVENT* Event);
};
static_assert(offsetof(EFI_BOOT_SERVICES, RaiseTPL) == 24, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 64, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEvent) == 80, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, SignalEvent) == 104, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 128, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 152, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, RegisterProtocolNotify) == 168, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, InstallConfigurationTable) == 192, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, ExitBootServices) == 232, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, Stall) == 248, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 280, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 312, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 320, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, CalculateCrc32) == 344, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEventEx) == 368, "boot services layout");
static_assert(sizeof(EFI_BOOT_SERVICES) == 376, "boot services layout");

// Runtime services, every member in the order the UEFI standard gives.
struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_STATUS(EFIAPI* GetTime)(EFI_TIME* Time, void* Capabilities);
  EFI_STATUS(EFIAPI* SetTime)(EFI_TIME* Time);
  EFI_STATUS(EFIAPI* GetWakeupTime)(BOOLEAN* Enabled, BOOLEAN* Pending, EFI_TIME* Time);
  EFI_STATUS(EFIAPI* SetWakeupTime)(BOOLEAN Enable, EFI_TIME* Time);
  EFI_STATUS(EFIAPI* SetVirtualAddressMap)
  (UINTN MemoryMapSize, UINTN DescriptorSize, UINT32 DescriptorVersion, EFI_MEMORY_DESCRIPTOR* VirtualMap);
  EFI_STATUS(EFIAPI* ConvertPointer)(UINTN DebugDisposition, void** Address);
  EFI_STATUS(EFIAPI* GetVariable)
  (const CHAR16* VariableName, const EFI_GUID* VendorGuid, UINT32* Attributes, UINTN* DataSize, void* Data);
  EFI_STATUS(EFIAPI* GetNextVariableName)
  (UINTN* VariableNameSize, CHAR16* VariableName, EFI_GUID* VendorGuid);
  EFI_STATUS(EFIAPI* SetVariable)
  (const CHAR16* VariableName, const EFI_GUID* VendorGuid, UINT32 Attributes, UINTN DataSize,
   const void* Data);
  EFI_STATUS(EFIAPI* GetNextHighMonotonicCount)(UINT32* HighCount);
  void(EFIAPI* ResetSystem)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                            const void* ResetData);
  EFI_STATUS(EFIAPI* UpdateCapsule)
  (void** CapsuleHeaderArray, UINTN CapsuleCount, EFI_PHYSICAL_ADDRESS ScatterGather);
  EFI_STATUS(EFIAPI* QueryCapsuleCapabilities)
  (void** CapsuleHeaderArray, UINTN CapsuleCount, UINT64* MaximumCapsuleSize, EFI_RESET_TYPE* ResetType);
  EFI_STATUS(EFIAPI* QueryVariableInfo)
  (UINT32 Attributes, UINT64* MaximumVariableStorageSize, UINT64* RemainingVariableStorageSize,
   UINT64* MaximumVariableSize);
};
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetTime) == 24, "runtime services layout");
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 72, "runtime services layout");
static_assert(offsetof(EFI_RUNTIME_SERVICES, SetVariable) == 88, "runtime services layout");
static_assert(offsetof(EFI_RUNTIME_SERVICES, ResetSystem) == 104, "runtime services layout");
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 136, "runtime services layout");

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  void* VendorTable;
};
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24, "configuration table entry");

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16* FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  void* ConIn;
  EFI_HANDLE ConsoleOutHandle;
  void* ConOut;
  EFI_HANDLE StandardErrorHandle;
  void* StdErr;
  EFI_RUNTIME_SERVICES* RuntimeServices;
  EFI_BOOT_SERVICES* BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE* ConfigurationTable;
};
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 88, "system table layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 96, "system table layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 104, "system table layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == 112, "system table layout");

constexpr UINT64 EFI_SYSTEM_TABLE_SIGNATURE = 0x5453595320494249ull;      // "IBI SYST"
constexpr UINT64 EFI_BOOT_SERVICES_SIGNATURE = 0x56524553544f4f42ull;     // "BOOTSERV"
constexpr UINT64 EFI_RUNTIME_SERVICES_SIGNATURE = 0x56524553544e5552ull;  // "RUNTSERV"

// Loaded image protocol (the fields up to ImageCodeType).
struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE* SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL* FilePath;
  void* Reserved;
  UINT32 LoadOptionsSize;
  void* LoadOptions;
  void* ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_STATUS(EFIAPI* Unload)(EFI_HANDLE ImageHandle);
};
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType) == 80, "loaded image layout");

// PI hand-off blocks.
constexpr UINT16 EFI_HOB_TYPE_HANDOFF = 0x0001;
constexpr UINT16 EFI_HOB_TYPE_MEMORY_ALLOCATION = 0x0002;
constexpr UINT16 EFI_HOB_TYPE_RESOURCE_DESCRIPTOR = 0x0003;
constexpr UINT16 EFI_HOB_TYPE_GUID_EXTENSION = 0x0004;
constexpr UINT16 EFI_HOB_TYPE_END_OF_HOB_LIST = 0xFFFF;

struct EFI_HOB_GENERIC_HEADER {
  UINT16 HobType;
  UINT16 HobLength;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8, "HOB header");

struct EFI_HOB_HANDOFF_INFO_TABLE {
  EFI_HOB_GENERIC_HEADER Header;
  UINT32 Version;
  UINT32 BootMode;
  EFI_PHYSICAL_ADDRESS EfiMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiEndOfHobList;
};
static_assert(offsetof(EFI_HOB_HANDOFF_INFO_TABLE, BootMode) == 12, "PHIT layout");
static_assert(sizeof(EFI_HOB_HANDOFF_INFO_TABLE) == 56, "PHIT layout");

struct EFI_HOB_GUID_TYPE {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
};
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 24, "GUID HOB layout");

// PI boot modes.
constexpr UINT32 BOOT_WITH_FULL_CONFIGURATION = 0x00;
constexpr UINT32 BOOT_WITH_MINIMAL_CONFIGURATION = 0x01;
constexpr UINT32 BOOT_ASSUMING_NO_CONFIGURATION_CHANGES = 0x02;
constexpr UINT32 BOOT_WITH_FULL_CONFIGURATION_PLUS_DIAGNOSTICS = 0x03;
constexpr UINT32 BOOT_WITH_DEFAULT_SETTINGS = 0x04;
constexpr UINT32 BOOT_ON_S4_RESUME = 0x05;
constexpr UINT32 BOOT_ON_S5_RESUME = 0x06;
constexpr UINT32 BOOT_WITH_MFG_MODE_SETTINGS = 0x07;
constexpr UINT32 BOOT_ON_S2_RESUME = 0x10;
constexpr UINT32 BOOT_ON_S3_RESUME = 0x11;
constexpr UINT32 BOOT_ON_FLASH_UPDATE = 0x12;
constexpr UINT32 BOOT_IN_RECOVERY_MODE = 0x20;

// Device path node types used by the boot-option scan.
constexpr UINT8 END_DEVICE_PATH_TYPE = 0x7F;
constexpr UINT8 END_ENTIRE_DEVICE_PATH_SUBTYPE = 0xFF;
constexpr UINT8 END_INSTANCE_DEVICE_PATH_SUBTYPE = 0x01;
constexpr UINT8 MEDIA_DEVICE_PATH = 0x04;
constexpr UINT8 MEDIA_HARDDRIVE_DP = 0x01;
