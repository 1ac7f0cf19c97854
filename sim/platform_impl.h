// Internal state of the simulated platform, shared by the files of sim/'s
// folders that implement the services. Not for use outside sim/.
#pragma once

#include <array>
#include <csetjmp>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/platform.h"
#include "sim/smm/smm.h"
#include "sim/uefi/memory_pool.h"
#include "sim/uefi/protocol_db.h"

namespace sim {

// Prints "sim: <message>" to stderr and aborts. For configuration errors of a
// test and for conditions the simulation cannot continue from.
[[noreturn]] void Fatal(const std::string& message);
std::string Hex(uint64_t value);  // "0x1F"

// InstallConfigurationTable's edit of a table list, the same in the system
// table and the SMST: a table replaces or adds the entry of its GUID, a null
// table removes it (EFI_NOT_FOUND when there is none).
EFI_STATUS EditConfigurationTables(std::vector<EFI_CONFIGURATION_TABLE>& tables, const EFI_GUID& guid,
                                   void* table);

struct Event {
  uint32_t type = 0;
  EFI_TPL tpl = 0;
  EFI_EVENT_NOTIFY notify = nullptr;
  void* context = nullptr;
  std::optional<EFI_GUID> group;
  bool signaled = false;  // signal state of wait and plain events
  bool queued = false;    // notification pending in a TPL queue
  uint64_t serial = 0;    // names the event in the trace: "#2"
};

struct DeviceRange {
  uint64_t size = 0;
  Device* device = nullptr;
};

struct Platform::Impl {
  explicit Impl(Platform* owner);
  ~Impl();

  Platform* owner;

  // ---- tables handed to the driver
  EFI_SYSTEM_TABLE systemTable{};
  EFI_BOOT_SERVICES bootServices{};
  EFI_RUNTIME_SERVICES runtimeServices{};
  char16_t firmwareVendor[12] = u"SimPlatform";
  void InitTables();
  // Seals each table header's CRC; a table whose bytes are those it had when
  // last sealed keeps that CRC without a recomputation.
  void UpdateTableCrcs();
  struct SealedTable {
    std::vector<uint8_t> bytes;  // the table as last sealed, CRC field zero
    uint32_t crc = 0;
  };
  SealedTable sealed[3];  // system table, boot services, runtime services

  // ---- boot state
  unsigned bootNumber = 0;
  const DriverImage* image = nullptr;  // the image of RunBoot's boot in progress
  bool runtime = false;                // exit-boot-services has been signalled
  BootStage stage = BootStage::Done;
  std::optional<EFI_RESET_TYPE> lastReset;
  BootCause cause = BootCause::PowerOn;  // how the previous boot ended
  std::vector<std::jmp_buf*> guards;     // innermost last
  Platform::Stop stop = Platform::Stop::None;
  std::string hangReason;
  unsigned resetsReturned = 0;
  [[noreturn]] void Unwind(Platform::Stop why);
  // Interface lists of InstallMultipleProtocolInterfaces calls in progress:
  // kept here, not on the stack, so that a reset from a notification they
  // trigger leaks nothing. RunGuarded truncates it on unwind.
  std::vector<std::vector<std::pair<const EFI_GUID*, void*>>> interfaceLists;

  // ---- failure injection and call counts (driver calls only)
  struct FailureRule {
    Service service;
    uint64_t atCall;  // absolute call number of the service
    EFI_STATUS status;
    bool fromThenOn;
  };
  std::vector<FailureRule> failureRules;
  uint64_t serviceCalls[static_cast<unsigned>(Service::Count)] = {};
  // Counts the call and returns the injected failure, if one is due.
  std::optional<EFI_STATUS> Injected(Service service);
  uint64_t powerCutCountdown = 0;
  void NvWritten();  // a non-volatile write or delete succeeded

  // ---- hang detection
  uint64_t pausesInARow = 0;
  uint64_t bootStartNs = 0;
  void Activity() { pausesInARow = 0; }
  void Elapse(uint64_t ns);  // a hardware access of that duration

  // ---- firmware time by kind (hw_host.cpp)
  CostKind waitedOn = CostKind::LpcIo;  // the kind of the last access: what a delay waits on
  // Adds to the boot's ledger without advancing the clock.
  void Account(CostKind kind, uint64_t ns);
  // Adds to the ledger and lets the time pass (may end the boot as hung).
  void Spend(CostKind kind, uint64_t ns);
  // `count` effects of `ns` each, as many Account calls would add them.
  void AccountRepeated(CostKind kind, uint64_t ns, uint64_t count);
  // Status-poll iterations that PortPoll8 may take at once after a miss
  // without a drain. `dueAtRead` is Clock::NextDue() right after the
  // iteration's status read. None when an action fell due since that read
  // (the status may have changed), when the trace shows port reads or when
  // a device of the iteration reads with effects; else as many of `left` as
  // end before the next action falls due and within the watchdog. Takes
  // them: counts, ledger, clock and the devices' read counts as the reads
  // themselves would. Returns how many.
  uint64_t SkipPollIterations(uint16_t statusPort, uint16_t delayPort, unsigned delayReads, uint64_t left,
                              uint64_t dueAtRead);
  uint64_t serviceNs = 0;  // what the last variable service call costs
  void Spin();
  void CheckWatchdog() {
    if (owner->clock.Now() - bootStartNs > owner->watchdogNs) WatchdogExpired();
  }
  [[noreturn]] void WatchdogExpired();

  // ---- TPL rules
  bool inExitBootServicesNotify = false;
  // Records a violation when the service is called above `maxTpl`.
  void CheckTpl(const char* service, EFI_TPL maxTpl);
  EFI_HANDLE imageHandle = nullptr;
  EFI_LOADED_IMAGE_PROTOCOL loadedImage{};
  uint64_t monotonicCount = 0;
  void ResetBootState();  // releases everything that a reset wipes
  void Renew();           // the state of a newly constructed platform (Platform::Renew)
  void Violation(const std::string& text);
  // Called by every boot service: records a violation after
  // exit-boot-services and when the TPL is above the service's limit.
  void BootServiceCall(const char* name, EFI_TPL maxTpl);
  // Memory services: not allowed inside exit-boot-services notifications.
  void MemoryServiceCall(const char* name);
  // Ends the boot (does not return) unless Platform::resetReturns is set.
  void Reset(EFI_RESET_TYPE type, EFI_STATUS status, UINTN dataSize, const void* data);

  // ---- memory (memory.cpp)
  MemoryPool memory;
  uint64_t failCountdown = 0;  // 0: no failure armed
  bool InjectFailure();
  EFI_STATUS AllocatePool(EFI_MEMORY_TYPE type, UINTN size, void** buffer) {
    return memory.AllocatePool(type, size, buffer);
  }
  EFI_STATUS FreePool(void* buffer) { return memory.FreePool(buffer); }
  EFI_STATUS AllocatePages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType, UINTN pages,
                           EFI_PHYSICAL_ADDRESS* address) {
    return memory.AllocatePages(type, memoryType, pages, address);
  }
  EFI_STATUS FreePages(EFI_PHYSICAL_ADDRESS address, UINTN pages) { return memory.FreePages(address, pages); }
  void ReleaseAllMemory() { memory.ReleaseAll(); }

  // ---- events and TPL (events.cpp)
  EFI_TPL tpl = TPL_APPLICATION;
  std::vector<std::unique_ptr<Event>> events;  // creation order
  uint64_t eventSerial = 0;
  std::deque<Event*> queues[TPL_HIGH_LEVEL + 1];
  Event* FindEvent(EFI_EVENT event) const;
  EFI_TPL RaiseTpl(EFI_TPL newTpl);
  void RestoreTpl(EFI_TPL oldTpl);
  EFI_STATUS CreateEvent(uint32_t type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify, const void* context,
                         const EFI_GUID* group, EFI_EVENT* event);
  EFI_STATUS SignalEvent(EFI_EVENT event);
  EFI_STATUS CloseEvent(EFI_EVENT event);
  EFI_STATUS CheckEvent(EFI_EVENT event);
  EFI_STATUS WaitForEvent(UINTN count, EFI_EVENT* list, UINTN* index);
  // Marks an event (and its whole group) signalled without dispatching.
  void MarkSignalled(Event* event);
  void MarkGroupSignalled(const EFI_GUID& group);
  // Runs queued notifications above `level`, highest TPL first, then leaves
  // the TPL at `level`.
  void Dispatch(EFI_TPL level);
  void DestroyEvents();

  // ---- protocol database (protocols.cpp)
  ProtocolDatabase protocols;
  HandleRecord* FindHandle(EFI_HANDLE handle) const { return protocols.FindHandle(handle); }
  void DropEmptyHandle(HandleRecord* handle) { protocols.DropEmptyHandle(handle); }
  EFI_STATUS InstallProtocol(EFI_HANDLE* handle, const EFI_GUID* guid, EFI_INTERFACE_TYPE type,
                             void* pointer);
  EFI_STATUS UninstallProtocol(EFI_HANDLE handle, const EFI_GUID* guid, void* pointer,
                               bool dropEmptyHandle = true);
  EFI_STATUS ReinstallProtocol(EFI_HANDLE handle, const EFI_GUID* guid, void* oldPointer, void* newPointer);
  EFI_STATUS HandleProtocol(EFI_HANDLE handle, const EFI_GUID* guid, void** pointer);
  EFI_STATUS RegisterProtocolNotify(const EFI_GUID* guid, EFI_EVENT event, void** registration);
  EFI_STATUS LocateProtocol(const EFI_GUID* guid, void* registration, void** pointer);
  EFI_STATUS LocateHandle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, void* key, UINTN* bufferSize,
                          EFI_HANDLE* buffer);
  EFI_STATUS LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, void* key, UINTN* count,
                                EFI_HANDLE** buffer);
  // An installation signals the events of the registrations for its protocol.
  void SignalWatchers(const EFI_GUID& guid);
  void DestroyProtocols();

  // ---- configuration tables (protocols.cpp)
  std::vector<EFI_CONFIGURATION_TABLE> tables;
  EFI_CONFIGURATION_TABLE* tableArray = nullptr;  // what SystemTable points at; replaced on change
  EFI_STATUS InstallConfigurationTable(const EFI_GUID* guid, void* table);
  void PublishTables();

  std::optional<uint16_t> RunBootManager();

  // ---- SMM world (smm.cpp) and the S3 platform services (platform_services.cpp)
  std::unique_ptr<SmmWorld> smmWorld;
  EFI_DXE_SERVICES dxeTable{};
  struct SmbusHcInterface {
    EFI_STATUS(EFIAPI* Execute)(const void*, UINTN, UINTN, UINT32, BOOLEAN, UINTN*, void*);
    EFI_STATUS(EFIAPI* ArpDevice)(const void*, BOOLEAN, void*, UINTN*);
    EFI_STATUS(EFIAPI* GetArpMap)(const void*, UINTN*, void**);
    EFI_STATUS(EFIAPI* Notify)(const void*, UINTN, UINTN, void*);
  } smbusInterface{};
  // At boot start, after the loaded image: the DXE services table, the
  // SMBus host controller, the SMM base protocol and the pointer registry,
  // as configured.
  void InstallPlatformServices();
  // Traces the heap-buffer list an interface of kHeapBufferListProtocolGuid
  // heads, as its installation finds it.
  void TraceHeapBufferList(const void* interface);

  // ---- HOB list (platform.cpp)
  std::vector<std::pair<EFI_GUID, std::vector<uint8_t>>> guidHobs;
  uint8_t* hobList = nullptr;
  void BuildHobList();

  // ---- variables (variables.cpp); persistent across boots
  std::vector<Variable> variables;  // creation order
  uint64_t StoreUsed(bool nonVolatile) const;
  EFI_STATUS QueryVariableInfo(UINT32 attributes, UINT64* maxStorage, UINT64* remaining, UINT64* maxSize);
  Variable* LookupVariable(const char16_t* name, const EFI_GUID& guid);
  bool Visible(const Variable& v) const;  // boot-service-only variables vanish at runtime
  EFI_STATUS GetVariable(const CHAR16* name, const EFI_GUID* guid, UINT32* attributes, UINTN* dataSize,
                         void* data);
  EFI_STATUS SetVariable(const CHAR16* name, const EFI_GUID* guid, UINT32 attributes, UINTN dataSize,
                         const void* data);
  EFI_STATUS StoreVariable(const CHAR16* name, const EFI_GUID* guid, UINT32 attributes, UINTN dataSize,
                           const void* data, bool* nvChanged);
  EFI_STATUS GetNextVariableName(UINTN* nameSize, CHAR16* name, EFI_GUID* guid);
  void DropVolatileVariables();

  // ---- device bus (hw_host.cpp)
  std::map<uint64_t, DeviceRange> ports;  // keyed by first port
  std::map<uint64_t, DeviceRange> mmio;   // keyed by base address
  static Device* Lookup(const std::map<uint64_t, DeviceRange>& map, uint64_t address);
  // The last device found for each port, direct-mapped by the port's low
  // bits: a wait polls the same two or three ports hundreds of thousands of
  // times. Emptied whenever the port map changes.
  struct PortSlot {
    uint32_t port = 0xFFFFFFFFu;  // no port
    Device* device = nullptr;     // null: nothing decodes the port
  };
  std::array<PortSlot, 64> portCache{};
  Device* PortDevice(uint16_t port) {
    PortSlot& slot = portCache[port & 63];
    if (slot.port != port) slot = PortSlot{port, Lookup(ports, port)};
    return slot.device;
  }
  static void Map(std::map<uint64_t, DeviceRange>& map, uint64_t base, uint64_t size, Device* device,
                  const char* what);
};

// The live platform that the services act on; aborts when there is none.
Platform::Impl& Sim();

// Service tables (boot_services.cpp, runtime_services.cpp).
void FillBootServices(EFI_BOOT_SERVICES* bs);
void FillRuntimeServices(EFI_RUNTIME_SERVICES* rs);
uint32_t Crc32(const void* data, size_t size);

}  // namespace sim
