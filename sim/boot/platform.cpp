// Platform lifetime, the system table, the HOB list, resets and the boot
// runner.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/platform_impl.h"

namespace sim {

namespace {

constexpr uint32_t kUefiRevision = (2u << 16) | 70u;
constexpr uint32_t kPhitVersion = 9;
constexpr size_t kMaxHobLength = 0xFFF8;

std::vector<Platform*>& LivePlatforms() {
  static std::vector<Platform*> live;
  return live;
}

// The newest live platform, kept apart from the list: the seam asks for it on
// every hardware access.
Platform* current = nullptr;

const char* ResetTypeName(EFI_RESET_TYPE type) {
  switch (type) {
    case EfiResetCold:
      return "EfiResetCold";
    case EfiResetWarm:
      return "EfiResetWarm";
    case EfiResetShutdown:
      return "EfiResetShutdown";
    case EfiResetPlatformSpecific:
      return "EfiResetPlatformSpecific";
  }
  return "EfiResetInvalid";
}

size_t GuidHobLength(size_t dataSize) { return (sizeof(EFI_HOB_GUID_TYPE) + dataSize + 7) & ~size_t{7}; }

}  // namespace

Platform::Impl& Sim() {
  Platform* p = Platform::Current();
  if (!p) Fatal("a firmware service was called while no sim::Platform exists");
  return *p->impl;
}

// ---------------------------------------------------------------- lifetime

Platform::Impl::Impl(Platform* o) : owner(o), memory(o, ""), protocols(o, "") {
  memory.failNext = [this] { return InjectFailure(); };
  smmWorld = std::make_unique<SmmWorld>(o);
  protocols.onInstall = [this](const EFI_GUID& guid, uint64_t) { SignalWatchers(guid); };
  InitTables();
}

void Platform::Impl::InitTables() {
  // Rebuilt at every boot: whatever code patched into the tables during the
  // previous boot is gone after a reset, as on real firmware.
  FillBootServices(&bootServices);
  FillRuntimeServices(&runtimeServices);
  std::memset(&systemTable, 0, sizeof systemTable);
  systemTable.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  systemTable.Hdr.Revision = kUefiRevision;
  systemTable.Hdr.HeaderSize = sizeof systemTable;
  std::memcpy(firmwareVendor, u"SimPlatform", sizeof firmwareVendor);
  systemTable.FirmwareVendor = firmwareVendor;
  systemTable.FirmwareRevision = 0x00010000;
  systemTable.BootServices = &bootServices;
  systemTable.RuntimeServices = &runtimeServices;
  systemTable.NumberOfTableEntries = tables.size();
  systemTable.ConfigurationTable = tableArray;
  UpdateTableCrcs();
}

Platform::Impl::~Impl() {
  ReleaseAllMemory();
  std::free(tableArray);
  std::free(hobList);
}

void Platform::Impl::UpdateTableCrcs() {
  // Each header's CRC covers the whole table with the CRC field zero.
  auto seal = [](EFI_TABLE_HEADER* header, SealedTable& last) {
    header->CRC32 = 0;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(header);
    if (last.bytes.size() != header->HeaderSize ||
        std::memcmp(last.bytes.data(), bytes, header->HeaderSize) != 0) {
      last.bytes.assign(bytes, bytes + header->HeaderSize);
      last.crc = Crc32(bytes, header->HeaderSize);
    }
    header->CRC32 = last.crc;
  };
  seal(&systemTable.Hdr, sealed[0]);
  seal(&bootServices.Hdr, sealed[1]);
  seal(&runtimeServices.Hdr, sealed[2]);
}

Platform::Platform() : impl(std::make_unique<Impl>(this)) {
  LivePlatforms().push_back(this);
  current = this;
}

Platform::~Platform() {
  auto& live = LivePlatforms();
  live.erase(std::remove(live.begin(), live.end(), this), live.end());
  current = live.empty() ? nullptr : live.back();
}

Platform* Platform::Current() { return current; }

void Platform::Renew() {
  bootMode = BOOT_WITH_FULL_CONFIGURATION;
  ClearGuidHobs();
  hobListPresent = true;
  bootHooks.clear();
  smm = SmmSettings{};
  imageCodeType = EfiBootServicesCode;
  dxeServices = true;
  dxeSetAttributesStatus = EFI_SUCCESS;
  dxeSetAttributesCalls.clear();
  smbusHc = false;
  pointerRegistry = PointerRegistry{};
  hii.Renew();
  cpu = Processor{};
  resetReturns = false;
  spinLimit = kDefaultSpinLimit;
  watchdogNs = kDefaultWatchdogNs;
  store = VariableStoreConfig{};
  bootManager = true;
  clock.Renew();
  counters = Counters{};
  cost = BootCost{};
  trace.clear();
  violations.clear();
  tracePorts = false;
  recordTrace = true;
  impl->Renew();
}

EFI_SYSTEM_TABLE* Platform::SystemTable() { return &impl->systemTable; }
EFI_BOOT_SERVICES* Platform::BootServices() { return &impl->bootServices; }
EFI_RUNTIME_SERVICES* Platform::RuntimeServices() { return &impl->runtimeServices; }
EFI_HANDLE Platform::ImageHandle() { return impl->imageHandle; }
unsigned Platform::BootNumber() const { return impl->bootNumber; }
std::optional<EFI_RESET_TYPE> Platform::LastReset() const { return impl->lastReset; }
bool Platform::AtRuntime() const { return impl->runtime; }

void Platform::Trace(std::string kind, std::string text,
                     std::vector<std::pair<std::string, std::string>> fields) {
  if (!recordTrace) return;
  trace.push_back(TraceEvent{impl->bootNumber, std::move(kind), std::move(text), std::move(fields)});
}

void Platform::Trace(std::string kind, TraceLog::Formatter format) {
  if (!recordTrace) return;
  trace.AddLazy(impl->bootNumber, std::move(kind), std::move(format));
}

void TraceLog::AddLazy(unsigned boot, std::string kind, Formatter format) {
  pending_.emplace_back(events_.size(), std::move(format));
  events_.push_back(TraceEvent{boot, std::move(kind), {}, {}});
}

void TraceLog::MoveLastTo(size_t at) {
  Events();  // pending text refers to positions; format it first
  if (at + 1 >= events_.size()) return;
  std::rotate(events_.begin() + static_cast<std::ptrdiff_t>(at), events_.end() - 1, events_.end());
}

void TraceLog::clear() {
  events_.clear();
  pending_.clear();
}

const std::vector<TraceEvent>& TraceLog::Events() const {
  if (!pending_.empty()) {
    for (auto& [index, format] : pending_) format(events_[index]);
    pending_.clear();
  }
  return events_;
}

void Platform::RecordViolation(const std::string& text) { impl->Violation(text); }

void Platform::Impl::Violation(const std::string& text) {
  owner->violations.push_back(text);
  owner->Trace("Violation", text);
}

void Platform::Impl::BootServiceCall(const char* name, EFI_TPL maxTpl) {
  Activity();
  if (runtime) Violation(std::string("BootServices->") + name + " called after ExitBootServices");
  CheckTpl(name, maxTpl);
}

void Platform::Impl::CheckTpl(const char* service, EFI_TPL maxTpl) {
  if (tpl > maxTpl) {
    Violation(std::string(service) + " called at TPL " + std::to_string(tpl) + "; its limit is TPL " +
              std::to_string(maxTpl));
  }
}

void Platform::Impl::MemoryServiceCall(const char* name) {
  if (inExitBootServicesNotify) {
    Violation(std::string(name) +
              " called from an exit-boot-services notification: the memory map must not change");
  }
}

// ---------------------------------------------------------------- HOB list

void Platform::AddGuidHob(const EFI_GUID& name, std::vector<uint8_t> data) {
  if (GuidHobLength(data.size()) > kMaxHobLength) {
    Fatal("AddGuidHob: " + std::to_string(data.size()) + " bytes do not fit a HOB");
  }
  impl->guidHobs.emplace_back(name, std::move(data));
}

void Platform::ClearGuidHobs() { impl->guidHobs.clear(); }

void Platform::Impl::BuildHobList() {
  std::free(hobList);
  size_t size = sizeof(EFI_HOB_HANDOFF_INFO_TABLE) + sizeof(EFI_HOB_GENERIC_HEADER);
  for (const auto& hob : guidHobs) size += GuidHobLength(hob.second.size());
  hobList = static_cast<uint8_t*>(std::calloc(1, size));
  if (!hobList) Fatal("out of host memory for the HOB list");
  const uint64_t base = reinterpret_cast<uint64_t>(hobList);

  auto* phit = reinterpret_cast<EFI_HOB_HANDOFF_INFO_TABLE*>(hobList);
  phit->Header.HobType = EFI_HOB_TYPE_HANDOFF;
  phit->Header.HobLength = sizeof *phit;
  phit->Version = kPhitVersion;
  phit->BootMode = owner->bootMode;
  phit->EfiMemoryBottom = base;
  phit->EfiMemoryTop = base + size;
  phit->EfiFreeMemoryBottom = base + size;
  phit->EfiFreeMemoryTop = base + size;
  phit->EfiEndOfHobList = base + size - sizeof(EFI_HOB_GENERIC_HEADER);

  size_t offset = sizeof *phit;
  for (const auto& hob : guidHobs) {
    auto* g = reinterpret_cast<EFI_HOB_GUID_TYPE*>(hobList + offset);
    g->Header.HobType = EFI_HOB_TYPE_GUID_EXTENSION;
    g->Header.HobLength = static_cast<UINT16>(GuidHobLength(hob.second.size()));
    g->Name = hob.first;
    if (!hob.second.empty()) std::memcpy(g + 1, hob.second.data(), hob.second.size());
    offset += g->Header.HobLength;
  }
  auto* end = reinterpret_cast<EFI_HOB_GENERIC_HEADER*>(hobList + offset);
  end->HobType = EFI_HOB_TYPE_END_OF_HOB_LIST;
  end->HobLength = sizeof *end;
}

// ---------------------------------------------------------------- resets

void Platform::Impl::ResetBootState() {
  DestroyEvents();
  DestroyProtocols();
  tables.clear();
  InitTables();
  PublishTables();
  ReleaseAllMemory();
  smmWorld->Reset();
  std::free(hobList);
  hobList = nullptr;
  runtime = false;
  lastReset.reset();
  monotonicCount = 0;
  stage = BootStage::Entry;
}

void Platform::Impl::Renew() {
  ResetBootState();
  protocols.Renew();
  memory.Renew();
  smmWorld->protocols.Renew();
  smmWorld->pool.Renew();
  eventSerial = 0;
  stage = BootStage::Done;
  bootNumber = 0;
  cause = BootCause::PowerOn;
  stop = Platform::Stop::None;
  hangReason.clear();
  resetsReturned = 0;
  interfaceLists.clear();
  failureRules.clear();
  std::fill(std::begin(serviceCalls), std::end(serviceCalls), 0);
  powerCutCountdown = 0;
  failCountdown = 0;
  pausesInARow = 0;
  bootStartNs = 0;
  waitedOn = CostKind::LpcIo;
  serviceNs = 0;
  inExitBootServicesNotify = false;
  imageHandle = nullptr;
  loadedImage = EFI_LOADED_IMAGE_PROTOCOL{};
  guidHobs.clear();
  variables.clear();
}

namespace {

void RecordReset(Platform::Impl& sim, EFI_RESET_TYPE type, EFI_STATUS status, UINTN dataSize,
                 const void* data) {
  sim.lastReset = type;
  std::vector<uint8_t> bytes;
  if (data && dataSize) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    bytes.assign(p, p + dataSize);
  }
  sim.owner->Trace("Reset", std::string("ResetSystem(") + ResetTypeName(type) + ")",
                   {{"type", ResetTypeName(type)},
                    {"status", StatusName(status)},
                    {"stage", BootStageName(sim.stage)},
                    {"data", HexBytes(bytes)}});
}

}  // namespace

void Platform::Impl::Reset(EFI_RESET_TYPE type, EFI_STATUS status, UINTN dataSize, const void* data) {
  RecordReset(*this, type, status, dataSize, data);
  if (owner->resetReturns) {
    ++resetsReturned;
    owner->Trace("ResetReturned", "ResetSystem returned to its caller", {{"type", ResetTypeName(type)}});
    return;
  }
  Unwind(Platform::Stop::Reset);
}

void Platform::Impl::Unwind(Platform::Stop why) {
  stop = why;
  if (guards.empty()) {
    std::fprintf(stderr,
                 "sim: the boot ended (%s) outside Platform::RunBoot or RunGuarded; "
                 "there is no boot runner to return to\n",
                 why == Platform::Stop::Reset       ? "ResetSystem"
                 : why == Platform::Stop::PowerLoss ? "power cut"
                                                    : "hang");
    std::fflush(stderr);
    std::abort();
  }
  // Simulator frames between here and the guard own nothing: what they
  // need lives in the platform and RunGuarded releases it.
  std::longjmp(*guards.back(), 1);
}

std::optional<EFI_RESET_TYPE> Platform::RunGuarded(const std::function<void()>& fn) {
  std::jmp_buf guard;
  const size_t depth = impl->guards.size();
  const EFI_TPL tpl = impl->tpl;
  const size_t lists = impl->interfaceLists.size();
  const bool inEbsNotify = impl->inExitBootServicesNotify;
  impl->guards.push_back(&guard);
  impl->stop = Stop::None;
  impl->pausesInARow = 0;
  if (setjmp(guard) == 0) {
    fn();
    impl->guards.resize(depth);
    return std::nullopt;
  }
  impl->guards.resize(depth);
  impl->tpl = tpl;
  impl->interfaceLists.resize(lists);
  impl->inExitBootServicesNotify = inEbsNotify;
  return impl->stop == Stop::Reset ? impl->lastReset : std::nullopt;
}

Platform::Stop Platform::Stopped() const { return impl->stop; }

void Platform::ExitBootServices() {
  SignalEventGroup(kExitBootServicesGroup);
  // The SMM side hears of it while ExitBootServices is still in progress, as
  // from the SMM IPL's own exit-boot-services notification: the notice's
  // handlers may still reach SMM through SMM communication.
  if (smm.basePresent) InstallSmmProtocol(SmmExitBootServicesNoticeGuid, nullptr);
  impl->runtime = true;
}

// ---------------------------------------------------------------- failures

namespace {

const char* const kServiceNames[] = {
    "GetVariable",
    "SetVariable",
    "GetNextVariableName",
    "QueryVariableInfo",
    "AllocatePool",
    "FreePool",
    "AllocatePages",
    "FreePages",
    "LocateProtocol",
    "LocateHandleBuffer",
    "HandleProtocol",
    "InstallProtocolInterface",
    "UninstallProtocolInterface",
    "InstallMultipleProtocolInterfaces",
    "RegisterProtocolNotify",
    "CreateEvent",
    "CreateEventEx",
    "SignalEvent",
    "CloseEvent",
    "InstallConfigurationTable",
    "SmmAllocatePool",
    "SmmFreePool",
    "SmmAllocatePages",
    "SmmFreePages",
    "SmmInstallProtocolInterface",
    "SmmUninstallProtocolInterface",
    "SmmHandleProtocol",
    "SmmRegisterProtocolNotify",
    "SmmLocateHandle",
    "SmmLocateProtocol",
    "SmmInstallConfigurationTable",
    "NewPackageList",
    "NewString",
    "SetString",
    "GetLanguages",
    "GetString",
};
static_assert(sizeof kServiceNames / sizeof kServiceNames[0] == static_cast<unsigned>(Service::Count));

}  // namespace

const char* ServiceName(Service s) {
  return s < Service::Count ? kServiceNames[static_cast<unsigned>(s)] : "(no service)";
}

bool ServiceFromName(const std::string& name, Service* out) {
  for (unsigned i = 0; i < static_cast<unsigned>(Service::Count); ++i) {
    if (name == kServiceNames[i]) {
      *out = static_cast<Service>(i);
      return true;
    }
  }
  return false;
}

const char* BootCauseName(BootCause c) {
  switch (c) {
    case BootCause::PowerOn:
      return "power-on";
    case BootCause::WarmReset:
      return "warm reset";
    case BootCause::ColdReset:
      return "cold reset";
    case BootCause::AfterShutdown:
      return "power-on after shutdown";
    case BootCause::AfterPowerLoss:
      return "power-on after power loss";
  }
  return "?";
}

void Platform::FailService(Service service, uint64_t nth, EFI_STATUS status, bool fromThenOn) {
  if (service >= Service::Count || nth == 0) Fatal("FailService: no such service or call 0");
  impl->failureRules.push_back(
      {service, impl->serviceCalls[static_cast<unsigned>(service)] + nth, status, fromThenOn});
}

void Platform::ClearServiceFailures() { impl->failureRules.clear(); }

uint64_t Platform::ServiceCalls(Service service) const {
  return service < Service::Count ? impl->serviceCalls[static_cast<unsigned>(service)] : 0;
}

std::optional<EFI_STATUS> Platform::Impl::Injected(Service service) {
  Activity();
  const uint64_t call = ++serviceCalls[static_cast<unsigned>(service)];
  for (const FailureRule& r : failureRules) {
    if (r.service == service && (call == r.atCall || (r.fromThenOn && call > r.atCall))) {
      owner->Trace("Injected",
                   std::string(ServiceName(service)) + " call " + std::to_string(call) + " fails with " +
                       StatusName(r.status),
                   {{"service", ServiceName(service)},
                    {"call", std::to_string(call)},
                    {"status", StatusName(r.status)}});
      return r.status;
    }
  }
  return std::nullopt;
}

void Platform::CutPowerAfterNvWrite(uint64_t k) { impl->powerCutCountdown = k; }

void Platform::Impl::NvWritten() {
  ++owner->counters.nvWrites;
  ++owner->cost.nvWrites;
  if (powerCutCountdown == 0 || --powerCutCountdown != 0) return;
  owner->Trace("PowerLoss", "power cut after a non-volatile write", {{"stage", BootStageName(stage)}});
  Unwind(Platform::Stop::PowerLoss);
}

// ---------------------------------------------------------------- hangs

void Platform::Impl::Spin() {
  if (++pausesInARow < owner->spinLimit) return;
  hangReason =
      std::to_string(pausesInARow) + " PAUSEs in a row with nothing else: the processor spins forever";
  owner->Trace("Hang", hangReason, {{"stage", BootStageName(stage)}});
  Unwind(Platform::Stop::Hang);
}

void Platform::Impl::WatchdogExpired() {
  hangReason = "the boot ran past the watchdog's " + std::to_string(owner->watchdogNs / 1000000) + " ms";
  owner->Trace("Hang", hangReason, {{"stage", BootStageName(stage)}});
  Unwind(Platform::Stop::Hang);
}

BootCause Platform::Cause() const { return impl->cause; }

const DriverImage* Platform::LoadedImage() const { return impl->image; }

// ---------------------------------------------------------------- boots

void Platform::BeginBoot() {
  // How the previous boot ended decides what the devices see now.
  BootCause cause = BootCause::PowerOn;
  if (impl->bootNumber > 0) {
    if (impl->stop == Stop::PowerLoss) {
      cause = BootCause::AfterPowerLoss;
    } else if (impl->lastReset == EfiResetWarm) {
      cause = BootCause::WarmReset;
    } else if (impl->lastReset == EfiResetShutdown) {
      cause = BootCause::AfterShutdown;
    } else {
      cause = BootCause::ColdReset;  // a cold reset, or the OS restarting after a finished boot
    }
  }
  impl->cause = cause;
  impl->stop = Stop::None;
  impl->hangReason.clear();
  impl->resetsReturned = 0;
  impl->pausesInARow = 0;
  impl->ResetBootState();
  impl->DropVolatileVariables();
  cost = BootCost{};
  impl->waitedOn = CostKind::LpcIo;
  ++impl->bootNumber;
  Trace("Stage", [cause](TraceEvent& e) {
    e.text = std::string("BeginBoot after ") + BootCauseName(cause);
    e.fields = {{"stage", "BeginBoot"}, {"cause", BootCauseName(cause)}};
  });
  // Work the devices had scheduled does not outlive the reset.
  clock.CancelAll();
  impl->bootStartNs = clock.Now();

  std::vector<Device*> devices;
  for (const auto* map : {&impl->ports, &impl->mmio}) {
    for (const auto& range : *map) {
      if (std::find(devices.begin(), devices.end(), range.second.device) == devices.end()) {
        devices.push_back(range.second.device);
      }
    }
  }
  for (Device* d : devices) d->OnBootStart(impl->bootNumber);

  EFI_LOADED_IMAGE_PROTOCOL& image = impl->loadedImage;
  std::memset(&image, 0, sizeof image);
  image.Revision = 0x1000;
  image.SystemTable = &impl->systemTable;
  image.ImageCodeType = imageCodeType;
  image.ImageDataType = imageCodeType == EfiRuntimeServicesCode ? EfiRuntimeServicesData
                        : imageCodeType == EfiLoaderCode        ? EfiLoaderData
                                                                : EfiBootServicesData;
  impl->imageHandle = InstallProtocol(kLoadedImageProtocol, &image);
  impl->InstallPlatformServices();

  for (auto& hook : bootHooks) hook(*this);

  impl->BuildHobList();
  if (hobListPresent) impl->InstallConfigurationTable(&kHobListGuid, impl->hobList);
}

BootOutcome Platform::RunBoot(DriverImage& image) {
  image.Unload();
  BeginBoot();
  const DriverImage::EntryPoint entry = image.Load();
  impl->loadedImage.ImageBase = image.Base();

  BootOutcome outcome;
  outcome.boot = impl->bootNumber;
  impl->image = &image;
  auto stage = [this](BootStage s, const char* text) {
    impl->stage = s;
    Trace("Stage", [s, text](TraceEvent& e) {
      e.text = text;
      e.fields = {{"stage", BootStageName(s)}};
    });
    for (auto& hook : stageHooks) hook(*this, s);
  };
  outcome.reset = RunGuarded([&] {
    stage(BootStage::Entry, "DriverEntry");
    outcome.entryStatus = entry(impl->imageHandle, &impl->systemTable);
    outcome.entryReturned = true;
    Trace("Stage", [status = outcome.entryStatus](TraceEvent& e) {
      e.text = "DriverEntry returned " + StatusName(status);
      e.fields = {{"stage", "Entry"}, {"status", StatusName(status)}};
    });
    if (impl->tpl != TPL_APPLICATION) {
      impl->Violation("DriverEntry returned at TPL " + std::to_string(impl->tpl));
    }
    pointerRegistry.OnBeforeEndOfDxe(*this);
    hii.OnBeforeEndOfDxe(*this);
    stage(BootStage::EndOfDxe, "EndOfDxe");
    SignalEventGroup(kEndOfDxeGroup);
    hii.OnAfterEndOfDxe(*this);
    stage(BootStage::ReadyToLock, "ReadyToLock");
    {
      const EFI_TPL level = impl->RaiseTpl(TPL_CALLBACK);
      InstallProtocol(kDxeSmmReadyToLockProtocol, nullptr);
      for (auto& hook : readyToLockHooks) hook(*this);
      impl->RestoreTpl(level);
    }
    if (smm.basePresent) InstallSmmProtocol(EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID, nullptr);
    if (bootManager) {
      stage(BootStage::BootManager, "BootManager");
      outcome.booted = impl->RunBootManager();
    }
    stage(BootStage::ReadyToBoot, "ReadyToBoot");
    SignalEventGroup(kReadyToBootGroup);
    stage(BootStage::ExitBootServices, "ExitBootServices");
    ExitBootServices();
    stage(BootStage::Done, "Done");
  });
  impl->image = nullptr;
  outcome.endedAt = impl->stage;
  outcome.powerLost = impl->stop == Stop::PowerLoss;
  if (impl->stop == Stop::Hang) {
    outcome.hung = impl->hangReason;
    impl->Violation("boot " + std::to_string(impl->bootNumber) + " hung at " + BootStageName(impl->stage) +
                    ": " + impl->hangReason);
  }
  outcome.resetsReturned = impl->resetsReturned;
  return outcome;
}

// The UEFI boot manager's part of a boot: BootNext, when it names an option
// that exists, is deleted and that option boots; otherwise the first option
// of BootOrder that exists boots. Platform-side: not counted as the driver's.
std::optional<uint16_t> Platform::Impl::RunBootManager() {
  auto optionExists = [this](uint16_t number) {
    char name[16];
    std::snprintf(name, sizeof name, "Boot%04X", number);
    const Variable* v = LookupVariable(Utf8ToUtf16(name).c_str(), kGlobalVariableGuid);
    return v != nullptr ? std::optional<std::u16string>(v->name) : std::nullopt;
  };
  std::optional<uint16_t> chosen;
  std::string how;
  if (const Variable* next = LookupVariable(u"BootNext", kGlobalVariableGuid)) {
    std::optional<uint16_t> number;
    if (next->data.size() == 2) number = static_cast<uint16_t>(next->data[0] | next->data[1] << 8);
    variables.erase(variables.begin() + (next - variables.data()));
    owner->Trace("BootManager", "BootNext consumed", {{"action", "delete BootNext"}});
    if (number && optionExists(*number)) {
      chosen = number;
      how = "BootNext";
    }
  }
  if (!chosen) {
    if (const Variable* order = LookupVariable(u"BootOrder", kGlobalVariableGuid)) {
      for (size_t i = 0; i + 1 < order->data.size(); i += 2) {
        const uint16_t number = static_cast<uint16_t>(order->data[i] | order->data[i + 1] << 8);
        if (optionExists(number)) {
          chosen = number;
          how = "BootOrder";
          break;
        }
      }
    }
  }
  if (chosen) {
    char name[16];
    std::snprintf(name, sizeof name, "Boot%04X", *chosen);
    owner->Trace("Booted", std::string("boot manager boots ") + name + " (from " + how + ")",
                 {{"option", name}, {"from", how}});
  } else {
    owner->Trace("Booted", "boot manager finds no boot option", {{"option", ""}, {"from", ""}});
  }
  return chosen;
}

std::vector<BootOutcome> Platform::RunUntilNoReset(DriverImage& image, unsigned maxBoots) {
  std::vector<BootOutcome> outcomes;
  for (unsigned i = 0; i < maxBoots; ++i) {
    outcomes.push_back(RunBoot(image));
    const BootOutcome& last = outcomes.back();
    if (last.powerLost) continue;
    if (!last.reset || *last.reset == EfiResetShutdown) break;
  }
  return outcomes;
}

}  // namespace sim
