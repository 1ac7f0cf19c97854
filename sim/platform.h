// The simulated platform: UEFI boot and runtime services that behave as the
// UEFI and PI specifications say, a device bus behind the hardware seam, and a
// boot runner that loads a fresh driver image for every simulated boot.
//
// Host only. Everything the driver does through the system table or the seam
// lands here, is counted, and is written to a readable trace.
//
// Platform ties the simulator's worlds together; each has a folder whose main
// header says what it models and what it records as a violation:
//   sim/uefi/     boot and runtime services, events, protocols, memory,
//                 variables (services.h)
//   sim/smm/      the SMM world, SMM communication and its handlers (smm_comm.h)
//   sim/hii/      the HII database and string protocols (hii.h)
//   sim/pcd/      the PCD database (pcd_db.h)
//   sim/devices/  the devices on the clock behind the seam (devices.h)
//   sim/cost/     the virtual clock and the cost model (cost.h)
//   sim/boot/     the boot runner and the driver image loader (boot.h)
//   sim/util/     helpers of every world (util.h)
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "frame/pi.h"
#include "frame/uefi.h"
#include "sim/boot/boot.h"
#include "sim/cost/clock.h"
#include "sim/devices/device.h"
#include "sim/hii/hii.h"
#include "sim/uefi/pointer_registry.h"
#include "sim/uefi/services.h"
#include "sim/util/util.h"

namespace sim {

// ---------------------------------------------------------------- SMM
// The SMM side of the platform. With `basePresent`, EFI_SMM_BASE2_PROTOCOL is
// installed in the boot-services database as each boot starts. `inSmm` is
// what its InSmm answers; GetSmstLocation hands out the SMM system table only
// then (outside SMM it answers EFI_UNSUPPORTED, as real firmware does).
struct SmmSettings {
  bool basePresent = false;
  bool inSmm = false;
};

// ---------------------------------------------------------------- observation
struct Counters {
  uint64_t portReads = 0, portWrites = 0;
  uint64_t mmioReads = 0, mmioWrites = 0;
  uint64_t msrReads = 0, cpuids = 0, tscReads = 0, pauses = 0;
  uint64_t varReads = 0;                // GetVariable calls
  uint64_t varWrites = 0;               // SetVariable calls that store data
  uint64_t varDeletes = 0;              // SetVariable calls that delete
  uint64_t nvWrites = 0;                // successful writes or deletes of non-volatile variables
  uint64_t allocations = 0, frees = 0;  // successful pool/page allocations and frees
};

// The services whose calls by the driver are counted and can be made to fail.
enum class Service : unsigned {
  GetVariable,
  SetVariable,
  GetNextVariableName,
  QueryVariableInfo,
  AllocatePool,
  FreePool,
  AllocatePages,
  FreePages,
  LocateProtocol,
  LocateHandleBuffer,
  HandleProtocol,
  InstallProtocolInterface,
  UninstallProtocolInterface,
  InstallMultipleProtocolInterfaces,
  RegisterProtocolNotify,
  CreateEvent,
  CreateEventEx,
  SignalEvent,
  CloseEvent,
  InstallConfigurationTable,
  // SMM system table services
  SmmAllocatePool,
  SmmFreePool,
  SmmAllocatePages,
  SmmFreePages,
  SmmInstallProtocolInterface,
  SmmUninstallProtocolInterface,
  SmmHandleProtocol,
  SmmRegisterProtocolNotify,
  SmmLocateHandle,
  SmmLocateProtocol,
  SmmInstallConfigurationTable,
  // HII protocol members
  NewPackageList,
  NewString,
  SetString,
  GetLanguages,
  GetString,
  Count
};
const char* ServiceName(Service s);
bool ServiceFromName(const std::string& name, Service* out);

// One entry of the trace. `kind` is a short machine-readable tag
// ("GetVariable", "SetVariable", "Reset", "PortOut", "EcWrite", ...),
// `text` the readable line, `fields` the values for JSON output.
struct TraceEvent {
  unsigned boot = 0;
  std::string kind;
  std::string text;
  std::vector<std::pair<std::string, std::string>> fields;
};

// What makes a trace event's text and fields when the trace is read: any
// callable taking the event, like a std::function, but with room for the
// captures of the simulator's formatters in place, so that recording an
// event allocates nothing for it (larger ones go to the heap).
class TraceFormatter {
 public:
  TraceFormatter() = default;
  template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TraceFormatter> &&
                                                    std::is_invocable_v<std::decay_t<F>&, TraceEvent&>>>
  TraceFormatter(F&& f) {  // converts from any callable, as std::function does
    using T = std::decay_t<F>;
    if constexpr (sizeof(T) <= sizeof(storage_) && alignof(T) <= alignof(std::max_align_t) &&
                  std::is_nothrow_move_constructible_v<T>) {
      new (storage_) T(std::forward<F>(f));
      ops_ = &kInPlace<T>;
    } else {
      *reinterpret_cast<T**>(storage_) = new T(std::forward<F>(f));
      ops_ = &kOnHeap<T>;
    }
  }
  TraceFormatter(TraceFormatter&& other) noexcept { Take(other); }
  TraceFormatter& operator=(TraceFormatter&& other) noexcept {
    if (this != &other) {
      Drop();
      Take(other);
    }
    return *this;
  }
  TraceFormatter(const TraceFormatter&) = delete;
  TraceFormatter& operator=(const TraceFormatter&) = delete;
  ~TraceFormatter() { Drop(); }
  void operator()(TraceEvent& event) { ops_->call(storage_, event); }
  explicit operator bool() const { return ops_ != nullptr; }

 private:
  struct Ops {
    void (*call)(void* self, TraceEvent& event);
    void (*move)(void* to, void* from);  // leaves `from` empty
    void (*destroy)(void* self);
  };
  template <typename T>
  static constexpr Ops kInPlace = {[](void* self, TraceEvent& event) { (*static_cast<T*>(self))(event); },
                                   [](void* to, void* from) {
                                     new (to) T(std::move(*static_cast<T*>(from)));
                                     static_cast<T*>(from)->~T();
                                   },
                                   [](void* self) { static_cast<T*>(self)->~T(); }};
  template <typename T>
  static constexpr Ops kOnHeap = {
      [](void* self, TraceEvent& event) { (**static_cast<T**>(self))(event); },
      [](void* to, void* from) { *static_cast<T**>(to) = *static_cast<T**>(from); },
      [](void* self) { delete *static_cast<T**>(self); }};
  void Take(TraceFormatter& other) {
    ops_ = other.ops_;
    if (ops_) ops_->move(storage_, other.storage_);
    other.ops_ = nullptr;
  }
  void Drop() {
    if (ops_) ops_->destroy(storage_);
    ops_ = nullptr;
  }
  alignas(std::max_align_t) unsigned char storage_[112];
  const Ops* ops_ = nullptr;
};

// The platform's trace. An event may be recorded with a formatter instead of
// its text and fields: they are filled in when the trace is first read, so a
// boot whose trace nobody prints does not pay for formatting it (variable
// data as hex, GUIDs, names). Reading looks like a const std::vector.
class TraceLog {
 public:
  using Formatter = TraceFormatter;
  using const_iterator = std::vector<TraceEvent>::const_iterator;
  void push_back(TraceEvent event) { events_.push_back(std::move(event)); }
  // Records an event whose text and fields `format` fills in later.
  void AddLazy(unsigned boot, std::string kind, Formatter format);
  void clear();
  // Moves the last event to position `at`, ahead of those that followed it.
  void MoveLastTo(size_t at);
  size_t size() const { return events_.size(); }
  bool empty() const { return events_.empty(); }
  const std::vector<TraceEvent>& Events() const;  // formats what is pending
  operator const std::vector<TraceEvent>&() const { return Events(); }
  const TraceEvent& operator[](size_t i) const { return Events()[i]; }
  const TraceEvent& back() const { return Events().back(); }
  const_iterator begin() const { return Events().begin(); }
  const_iterator end() const { return Events().end(); }

 private:
  mutable std::vector<TraceEvent> events_;
  mutable std::vector<std::pair<size_t, Formatter>> pending_;  // event index, its formatter
};

class Platform {
 public:
  Platform();
  ~Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  // The platform the hardware seam talks to (the most recently created one).
  static Platform* Current();

  // Makes this platform as a newly constructed one (no variables, no boots,
  // every setting at its default, counters, trace and clock at zero) while
  // its containers keep their storage: a fuzz target runs every input on
  // one platform. The device mappings stay; the devices renew themselves.
  void Renew();

  // ---- persistent state: survives resets
  // Stores a variable directly (platform side; not counted, not traced).
  void PutVariable(const std::u16string& name, const EFI_GUID& guid, uint32_t attributes,
                   std::vector<uint8_t> data);
  const Variable* FindVariable(const std::u16string& name, const EFI_GUID& guid) const;
  std::vector<Variable> Variables() const;  // in creation order
  void RemoveVariable(const std::u16string& name, const EFI_GUID& guid);

  // ---- per-boot configuration
  uint32_t bootMode = BOOT_WITH_FULL_CONFIGURATION;
  void AddGuidHob(const EFI_GUID& name, std::vector<uint8_t> data);
  void ClearGuidHobs();
  bool hobListPresent = true;  // false: no HOB list configuration table
  // Runs at the start of each boot, after the services are reset and before
  // the driver loads: install platform protocols, tables and so on here.
  std::vector<std::function<void(Platform&)>> bootHooks;
  // Run by RunBoot as each of its stages begins, before the platform
  // delivers that stage's event: Entry (before DriverEntry is called),
  // EndOfDxe (once it has returned), ReadyToLock, BootManager, ReadyToBoot,
  // ExitBootServices and Done. Other modules' work between the driver's
  // notifications, and views of what the driver left, go here.
  std::vector<std::function<void(Platform&, BootStage)>> stageHooks;
  // The platform's own notifications of DXE SMM ready-to-lock (the SMM
  // IPL's, which signals the lock into SMM): registered before any driver at
  // TPL_CALLBACK, they run after the TPL_NOTIFY notifications of the install
  // and before every TPL_CALLBACK notification of a driver.
  std::vector<std::function<void(Platform&)>> readyToLockHooks;

  // ---- SMM and the services the S3 libraries look up (see the types above)
  SmmSettings smm;
  // ImageCodeType of the loaded-image protocol on the image handle; the
  // data type follows it (runtime code: runtime data, loader code: loader
  // data, else boot-services data).
  EFI_MEMORY_TYPE imageCodeType = EfiBootServicesCode;
  // The DXE services table as a configuration table, as DXE always
  // publishes it. Its SetMemorySpaceAttributes records each call and answers
  // dxeSetAttributesStatus; the other members answer EFI_UNSUPPORTED.
  bool dxeServices = true;
  EFI_STATUS dxeSetAttributesStatus = EFI_SUCCESS;
  std::vector<MemorySpaceAttributesCall> dxeSetAttributesCalls;  // over all boots
  // EFI_SMBUS_HC_PROTOCOL installed at boot start; calling any member is a
  // violation (the driver only locates it).
  bool smbusHc = false;
  PointerRegistry pointerRegistry;
  // The HII database and string protocols, the other HII protocols as
  // stand-ins, the watched protocol and the shared record (sim/hii/hii.h).
  HiiServices hii;
  // A HEAP buffer HOB in the HOB list of every boot (after those already added).
  void AddHeapHob(const HeapHob& hob);

  // ---- the SMM world (valid during a boot; emptied at every BeginBoot)
  EFI_SMM_SYSTEM_TABLE2* Smst();
  // Platform-side installs into the SMM database: the SMM notify functions
  // registered for the protocol are called. Null when the install fails.
  EFI_HANDLE InstallSmmProtocol(const EFI_GUID& guid, void* interface, EFI_HANDLE handle = nullptr);
  EFI_STATUS UninstallSmmProtocol(EFI_HANDLE handle, const EFI_GUID& guid, void* interface);
  size_t SmmProtocolCount(const EFI_GUID& guid) const;  // instances in the SMM database
  size_t SmmNotifyCount(const EFI_GUID& guid) const;    // live SMM registrations for the protocol
  void* FindSmmConfigTable(const EFI_GUID& guid) const;
  std::vector<Allocation> OutstandingSmmAllocations() const;
  // Installs SmmLegacyBootNoticeGuid in the SMM database, as a legacy boot would.
  void SignalLegacyBoot();

  // ---- devices and processor
  // Ranges must not overlap an existing mapping; a null device removes the
  // mappings that overlap the range. The platform does not own devices.
  void MapPorts(uint16_t first, uint16_t count, Device* device);
  void MapMmio(uint64_t base, uint64_t size, Device* device);
  Processor cpu;

  // ---- the firmware as the driver sees it (valid during a boot)
  EFI_SYSTEM_TABLE* SystemTable();
  EFI_BOOT_SERVICES* BootServices();
  EFI_RUNTIME_SERVICES* RuntimeServices();
  EFI_HANDLE ImageHandle();
  EFI_TPL CurrentTpl() const;

  // Platform-side service calls: they go through the same protocol database,
  // event and table logic as the driver's calls (notifications fire).
  // InstallProtocol returns the handle, or null when the installation fails
  // (unknown handle, protocol already on it).
  EFI_HANDLE InstallProtocol(const EFI_GUID& guid, void* interface, EFI_HANDLE handle = nullptr);
  EFI_STATUS UninstallProtocol(EFI_HANDLE handle, const EFI_GUID& guid, void* interface);
  size_t ProtocolCount(const EFI_GUID& guid) const;           // handles that carry it
  void* LocateProtocolInterface(const EFI_GUID& guid) const;  // first instance or null
  void SignalEventGroup(const EFI_GUID& group);
  // Signals the exit-boot-services group; from then on the platform is at
  // runtime (boot-service-only variables hidden, boot services violations).
  void ExitBootServices();
  void* FindConfigTable(const EFI_GUID& guid) const;
  // Adds, replaces or (with a null table) removes a configuration table, as
  // InstallConfigurationTable does, without counting it as the driver's call.
  EFI_STATUS InstallConfigTable(const EFI_GUID& guid, void* table);
  size_t OpenEventCount() const;

  // ---- boots
  // Starts a boot without running the driver: resets boot-scoped state
  // (events, protocols, tables, pool, volatile variables, TPL), builds the HOB
  // list and runs the boot hooks. Unit tests call it before calling driver
  // code directly.
  void BeginBoot();
  // Runs fn; if it ends in ResetSystem, returns the reset type (the call does
  // not return to fn). Otherwise returns nullopt; Stopped() then tells
  // whether fn was cut short by a power cut or as hung. A stop unwinds with
  // longjmp; simulator frames keep what they own in platform storage that
  // the unwind releases, and the TPL is back at its level on entry.
  std::optional<EFI_RESET_TYPE> RunGuarded(const std::function<void()>& fn);
  enum class Stop { None, Reset, PowerLoss, Hang };
  Stop Stopped() const;  // how the last RunGuarded ended
  // One whole boot: BeginBoot, load a fresh image, DriverEntry, then the
  // platform events in boot order: End-of-DXE group, DXE SMM ready-to-lock
  // protocol installed, the boot manager (bootManager), ready-to-boot group,
  // exit-boot-services group. With smm.basePresent, the SMM ready-to-lock
  // protocol follows the DXE one and the SMM exit-boot-services notice
  // follows the exit-boot-services group, both in the SMM database. A
  // pointer registry set to appear late is installed right before End-of-DXE;
  // the watched protocol (hii.watched) right before or right after it.
  // The image of the previous boot is unloaded when the next RunBoot starts,
  // so exported symbols stay inspectable after a boot.
  BootOutcome RunBoot(DriverImage& image);
  // Boots until one ends without a reset, at most maxBoots. A shutdown or a
  // hang also ends the sequence: the machine stays off or stuck. A power cut
  // does not: the power comes back.
  std::vector<BootOutcome> RunUntilNoReset(DriverImage& image, unsigned maxBoots);
  unsigned BootNumber() const;  // 1-based, 0 before the first boot
  // The image RunBoot loaded for this boot; null outside RunBoot's boots
  // (unit tests call driver code directly).
  const DriverImage* LoadedImage() const;
  std::optional<EFI_RESET_TYPE> LastReset() const;  // the reset that ended this boot; cleared by BeginBoot
  // True once the exit-boot-services group has been signalled in this boot:
  // boot-service-only variables are then invisible and boot-service calls are
  // recorded as violations.
  bool AtRuntime() const;

  // ---- failure injection
  // Makes the n-th pool or page allocation from now on fail (1 = the next).
  void FailNthAllocation(uint64_t n);
  // Makes the n-th call of `service` by the driver from now on (1 = the
  // next; counted across boots) fail with `status`, once or, with
  // `fromThenOn`, that call and every later one. Several rules may be armed.
  void FailService(Service service, uint64_t nth, EFI_STATUS status, bool fromThenOn = false);
  void ClearServiceFailures();
  // Driver calls of `service` so far, over all boots.
  uint64_t ServiceCalls(Service service) const;
  // Cuts the power right after the k-th successful non-volatile write or
  // delete from now on (1 = the next): the write is kept, the boot stops and
  // the next one starts from power-on. 0 disarms.
  void CutPowerAfterNvWrite(uint64_t k);
  // ResetSystem records the reset and returns to its caller instead of
  // ending the boot, as broken firmware might: the driver's guards run.
  bool resetReturns = false;
  // A boot in which the processor executes this many PAUSEs in a row with
  // no other hardware access or service call is spinning forever: it is
  // stopped and reported as hung. So is a boot whose virtual time passes
  // `watchdogNs`.
  static constexpr uint64_t kDefaultSpinLimit = 1000000;
  static constexpr uint64_t kDefaultWatchdogNs = 60ull * 1000 * 1000 * 1000;
  uint64_t spinLimit = kDefaultSpinLimit;
  uint64_t watchdogNs = kDefaultWatchdogNs;

  // ---- variable store
  VariableStoreConfig store;

  // ---- the boot manager: after the driver's End-of-DXE and ready-to-lock
  // work it consumes BootNext (deletes it and boots that option, else the
  // first of BootOrder that exists), as the UEFI boot manager does. Off:
  // the boot goes straight on to ready-to-boot and exit-boot-services.
  bool bootManager = true;

  // ---- the virtual clock every device and the processor run on
  Clock clock;
  // How the previous boot ended (PowerOn for the first).
  BootCause Cause() const;

  // ---- observation
  Counters counters;
  // The driver's firmware time in the current boot, by kind of effect
  // (cleared when a boot begins).
  BootCost cost;
  TraceLog trace;
  // Misuse that real firmware would assert on or that leaves it undefined
  // (lowering the TPL with RaiseTPL, boot services after ExitBootServices...).
  // Also traced with kind "Violation".
  std::vector<std::string> violations;
  bool tracePorts = false;  // trace every port access (kinds "PortOut" and "PortIn")
  // Record the trace. A fuzz target, which reads none, turns it off; the
  // counters, the cost and the violations are kept either way.
  bool recordTrace = true;
  // Device models report misuse of their interface here.
  void RecordViolation(const std::string& text);
  void Trace(std::string kind, std::string text,
             std::vector<std::pair<std::string, std::string>> fields = {});
  // The same event with its text and fields made only when the trace is read.
  void Trace(std::string kind, TraceLog::Formatter format);
  std::vector<Allocation> OutstandingAllocations() const;

  // ---- seam entry points (called by the host backend of the seam)
  uint32_t SeamPortRead(uint16_t port, int width);
  void SeamPortWrite(uint16_t port, int width, uint32_t value);
  uint32_t SeamMmioRead(uint64_t address, int width);
  void SeamMmioWrite(uint64_t address, int width, uint32_t value);

  struct Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace sim
