// Platform lifetime, the system table, the HOB list, resets and the boot
// runner.
#include <dlfcn.h>

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

Platform::Impl::Impl(Platform* o) : owner(o) { InitTables(); }

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
  auto seal = [](EFI_TABLE_HEADER* header) {
    header->CRC32 = 0;
    header->CRC32 = Crc32(header, header->HeaderSize);
  };
  seal(&systemTable.Hdr);
  seal(&bootServices.Hdr);
  seal(&runtimeServices.Hdr);
}

Platform::Platform() : impl(std::make_unique<Impl>(this)) { LivePlatforms().push_back(this); }

Platform::~Platform() {
  auto& live = LivePlatforms();
  live.erase(std::remove(live.begin(), live.end(), this), live.end());
}

Platform* Platform::Current() { return LivePlatforms().empty() ? nullptr : LivePlatforms().back(); }

EFI_SYSTEM_TABLE* Platform::SystemTable() { return &impl->systemTable; }
EFI_BOOT_SERVICES* Platform::BootServices() { return &impl->bootServices; }
EFI_RUNTIME_SERVICES* Platform::RuntimeServices() { return &impl->runtimeServices; }
EFI_HANDLE Platform::ImageHandle() { return impl->imageHandle; }
unsigned Platform::BootNumber() const { return impl->bootNumber; }
std::optional<EFI_RESET_TYPE> Platform::LastReset() const { return impl->lastReset; }
bool Platform::AtRuntime() const { return impl->runtime; }

void Platform::Trace(std::string kind, std::string text,
                     std::vector<std::pair<std::string, std::string>> fields) {
  trace.push_back(TraceEvent{impl->bootNumber, std::move(kind), std::move(text), std::move(fields)});
}

void Platform::Impl::Violation(const std::string& text) {
  owner->violations.push_back(text);
  owner->Trace("Violation", text);
}

void Platform::Impl::BootServiceCall(const char* name) {
  if (runtime) Violation(std::string("BootServices->") + name + " called after ExitBootServices");
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
  std::free(hobList);
  hobList = nullptr;
  runtime = false;
  lastReset.reset();
  monotonicCount = 0;
  stage = BootStage::Entry;
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
  if (guards.empty()) {
    std::fprintf(stderr,
                 "sim: ResetSystem(%s) was called outside Platform::RunBoot or RunGuarded; "
                 "there is no boot runner to return to\n",
                 ResetTypeName(type));
    std::fflush(stderr);
    std::abort();
  }
  // Nothing between here and the guard owns resources of the platform.
  std::longjmp(*guards.back(), 1);
}

std::optional<EFI_RESET_TYPE> Platform::RunGuarded(const std::function<void()>& fn) {
  std::jmp_buf guard;
  const size_t depth = impl->guards.size();
  impl->guards.push_back(&guard);
  if (setjmp(guard) == 0) {
    fn();
    impl->guards.resize(depth);
    return std::nullopt;
  }
  impl->guards.resize(depth);
  return impl->lastReset;
}

// ---------------------------------------------------------------- boots

void Platform::BeginBoot() {
  impl->ResetBootState();
  impl->DropVolatileVariables();
  ++impl->bootNumber;
  Trace("Stage", "BeginBoot", {{"stage", "BeginBoot"}});

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
  image.ImageCodeType = EfiBootServicesCode;
  image.ImageDataType = EfiBootServicesData;
  impl->imageHandle = InstallProtocol(kLoadedImageProtocol, &image);

  for (auto& hook : bootHooks) hook(*this);

  impl->BuildHobList();
  if (hobListPresent) impl->InstallConfigurationTable(&kHobListGuid, impl->hobList);
}

BootOutcome Platform::RunBoot(DriverImage& image) {
  image.Unload();
  BeginBoot();
  const DriverImage::EntryPoint entry = image.Load();
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(entry), &info)) impl->loadedImage.ImageBase = info.dli_fbase;

  BootOutcome outcome;
  outcome.boot = impl->bootNumber;
  auto stage = [this](BootStage s, const std::string& text) {
    impl->stage = s;
    Trace("Stage", text, {{"stage", BootStageName(s)}});
  };
  outcome.reset = RunGuarded([&] {
    stage(BootStage::Entry, "DriverEntry");
    outcome.entryStatus = entry(impl->imageHandle, &impl->systemTable);
    outcome.entryReturned = true;
    Trace("Stage", "DriverEntry returned " + StatusName(outcome.entryStatus),
          {{"stage", "Entry"}, {"status", StatusName(outcome.entryStatus)}});
    if (impl->tpl != TPL_APPLICATION) {
      impl->Violation("DriverEntry returned at TPL " + std::to_string(impl->tpl));
    }
    stage(BootStage::EndOfDxe, "EndOfDxe");
    SignalEventGroup(kEndOfDxeGroup);
    stage(BootStage::ReadyToLock, "ReadyToLock");
    InstallProtocol(kDxeSmmReadyToLockProtocol, nullptr);
    stage(BootStage::ReadyToBoot, "ReadyToBoot");
    SignalEventGroup(kReadyToBootGroup);
    stage(BootStage::ExitBootServices, "ExitBootServices");
    SignalEventGroup(kExitBootServicesGroup);
    impl->runtime = true;
    stage(BootStage::Done, "Done");
  });
  outcome.endedAt = impl->stage;
  return outcome;
}

std::vector<BootOutcome> Platform::RunUntilNoReset(DriverImage& image, unsigned maxBoots) {
  std::vector<BootOutcome> outcomes;
  for (unsigned i = 0; i < maxBoots; ++i) {
    outcomes.push_back(RunBoot(image));
    const BootOutcome& last = outcomes.back();
    if (!last.reset || *last.reset == EfiResetShutdown) break;
  }
  return outcomes;
}

}  // namespace sim
