// The SMM base protocol, the SMM system table and their services.
#include "sim/smm/smm.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sim/platform_impl.h"

namespace sim {

namespace {

constexpr uint32_t kSmstRevision = (1u << 16) | 70u;

SmmWorld& Smm() { return *Sim().smmWorld; }

// SMRAM pool and pages are runtime code or data; nothing else exists there.
bool SmramType(EFI_MEMORY_TYPE type) {
  return type == EfiRuntimeServicesCode || type == EfiRuntimeServicesData;
}

std::string Pointer(const void* p) { return Hex(reinterpret_cast<uintptr_t>(p)); }

// ---- EFI_SMM_BASE2_PROTOCOL

EFI_STATUS EFIAPI InSmm(const EFI_SMM_BASE2_PROTOCOL*, BOOLEAN* inSmram) {
  Platform::Impl& sim = Sim();
  sim.Activity();
  if (!inSmram) return EFI_INVALID_PARAMETER;
  *inSmram = sim.owner->smm.inSmm ? 1 : 0;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetSmstLocation(const EFI_SMM_BASE2_PROTOCOL*, EFI_SMM_SYSTEM_TABLE2** smst) {
  Platform::Impl& sim = Sim();
  sim.Activity();
  if (!smst) return EFI_INVALID_PARAMETER;
  if (!sim.owner->smm.inSmm) return EFI_UNSUPPORTED;  // the table is only reachable from inside SMM
  *smst = &sim.smmWorld->smst;
  return EFI_SUCCESS;
}

// ---- SMM system table services

EFI_STATUS EFIAPI SmmInstallConfigurationTable(const EFI_SMM_SYSTEM_TABLE2*, const EFI_GUID* guid,
                                               void* table, UINTN size) {
  Platform::Impl& sim = Sim();
  if (auto failed = sim.Injected(Service::SmmInstallConfigurationTable)) return *failed;
  return sim.smmWorld->InstallConfigurationTable(guid, table, size);
}

EFI_STATUS EFIAPI SmmIoAccess(const void*, UINTN, UINT64, UINTN, void*) {
  Sim().Activity();
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SmmAllocatePool(EFI_MEMORY_TYPE type, UINTN size, void** buffer) {
  Platform::Impl& sim = Sim();
  if (auto failed = sim.Injected(Service::SmmAllocatePool)) return *failed;
  EFI_STATUS s = EFI_INVALID_PARAMETER;
  if (SmramType(type)) s = sim.smmWorld->pool.AllocatePool(type, size, buffer);
  sim.owner->Trace("SmmAllocatePool",
                   "SmmAllocatePool(" + std::to_string(type) + ", " + std::to_string(size) + ") " +
                       (EFI_ERROR(s) ? StatusName(s) : Pointer(*buffer)),
                   {{"type", std::to_string(type)},
                    {"size", std::to_string(size)},
                    {"status", StatusName(s)},
                    {"address", EFI_ERROR(s) ? std::string() : Pointer(*buffer)}});
  return s;
}

EFI_STATUS EFIAPI SmmFreePool(void* buffer) {
  Platform::Impl& sim = Sim();
  if (auto failed = sim.Injected(Service::SmmFreePool)) {
    sim.smmWorld->pool.FreeRefused(reinterpret_cast<uintptr_t>(buffer), false);
    return *failed;
  }
  const EFI_STATUS s = sim.smmWorld->pool.FreePool(buffer);
  sim.owner->Trace("SmmFreePool", "SmmFreePool(" + Pointer(buffer) + ") " + StatusName(s),
                   {{"address", Pointer(buffer)}, {"status", StatusName(s)}});
  return s;
}

EFI_STATUS EFIAPI SmmAllocatePages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType, UINTN pages,
                                   EFI_PHYSICAL_ADDRESS* memory) {
  Platform::Impl& sim = Sim();
  if (auto failed = sim.Injected(Service::SmmAllocatePages)) return *failed;
  EFI_STATUS s = EFI_INVALID_PARAMETER;
  if (SmramType(memoryType)) s = sim.smmWorld->pool.AllocatePages(type, memoryType, pages, memory);
  sim.owner->Trace("SmmAllocatePages",
                   "SmmAllocatePages(" + std::to_string(type) + ", " + std::to_string(memoryType) + ", " +
                       std::to_string(pages) + ") " + (EFI_ERROR(s) ? StatusName(s) : Hex(*memory)),
                   {{"type", std::to_string(type)},
                    {"memoryType", std::to_string(memoryType)},
                    {"pages", std::to_string(pages)},
                    {"status", StatusName(s)},
                    {"address", EFI_ERROR(s) ? std::string() : Hex(*memory)}});
  return s;
}

EFI_STATUS EFIAPI SmmFreePages(EFI_PHYSICAL_ADDRESS memory, UINTN pages) {
  Platform::Impl& sim = Sim();
  if (auto failed = sim.Injected(Service::SmmFreePages)) {
    sim.smmWorld->pool.FreeRefused(static_cast<uintptr_t>(memory), true);
    return *failed;
  }
  const EFI_STATUS s = sim.smmWorld->pool.FreePages(memory, pages);
  sim.owner->Trace("SmmFreePages",
                   "SmmFreePages(" + Hex(memory) + ", " + std::to_string(pages) + ") " + StatusName(s),
                   {{"address", Hex(memory)}, {"pages", std::to_string(pages)}, {"status", StatusName(s)}});
  return s;
}

EFI_STATUS EFIAPI SmmStartupThisAp(void (*)(void*), UINTN, void*) {
  Sim().Activity();
  return EFI_UNSUPPORTED;  // one processor
}

EFI_STATUS EFIAPI SmmInstallProtocolInterface(EFI_HANDLE* handle, const EFI_GUID* protocol,
                                              EFI_INTERFACE_TYPE type, void* interface) {
  Platform::Impl& sim = Sim();
  if (auto failed = sim.Injected(Service::SmmInstallProtocolInterface)) return *failed;
  return Smm().protocols.Install(handle, protocol, type, interface);
}

EFI_STATUS EFIAPI SmmUninstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID* protocol,
                                                void* interface) {
  Platform::Impl& sim = Sim();
  if (auto failed = sim.Injected(Service::SmmUninstallProtocolInterface)) return *failed;
  return Smm().protocols.Uninstall(handle, protocol, interface);
}

EFI_STATUS EFIAPI SmmHandleProtocol(EFI_HANDLE handle, const EFI_GUID* protocol, void** interface) {
  Platform::Impl& sim = Sim();
  if (auto failed = sim.Injected(Service::SmmHandleProtocol)) return *failed;
  return Smm().protocols.Handle(handle, protocol, interface);
}

EFI_STATUS EFIAPI SmmRegisterProtocolNotify(const EFI_GUID* protocol, EFI_SMM_NOTIFY_FN function,
                                            void** registration) {
  Platform::Impl& sim = Sim();
  if (auto failed = sim.Injected(Service::SmmRegisterProtocolNotify)) return *failed;
  return Smm().RegisterNotify(protocol, function, registration);
}

EFI_STATUS EFIAPI SmmLocateHandle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* protocol, void* key,
                                  UINTN* bufferSize, EFI_HANDLE* buffer) {
  Platform::Impl& sim = Sim();
  if (auto failed = sim.Injected(Service::SmmLocateHandle)) return *failed;
  return Smm().protocols.LocateHandle(type, protocol, key, bufferSize, buffer);
}

EFI_STATUS EFIAPI SmmLocateProtocol(const EFI_GUID* protocol, void* registration, void** interface) {
  Platform::Impl& sim = Sim();
  if (auto failed = sim.Injected(Service::SmmLocateProtocol)) return *failed;
  return Smm().protocols.Locate(protocol, registration, interface);
}

EFI_STATUS EFIAPI SmiManage(const EFI_GUID*, const void*, void*, UINTN*) {
  Sim().Activity();
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SmiHandlerRegister(EFI_SMM_HANDLER_ENTRY_POINT2, const EFI_GUID*, EFI_HANDLE*) {
  Sim().Activity();
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SmiHandlerUnRegister(EFI_HANDLE) {
  Sim().Activity();
  return EFI_UNSUPPORTED;
}

}  // namespace

SmmWorld::SmmWorld(Platform* owner) : protocols(owner, "Smm"), pool(owner, "Smm"), owner_(owner) {
  protocols.onInstall = [this](const EFI_GUID& guid, uint64_t id) { CallNotifies(guid, id); };
  base.InSmm = InSmm;
  base.GetSmstLocation = GetSmstLocation;
  saveState_[0] = saveStateArea_;
  FillTable();
}

SmmWorld::~SmmWorld() { std::free(tableArray_); }

void SmmWorld::FillTable() {
  std::memset(&smst, 0, sizeof smst);
  smst.Hdr.Signature = SMM_SMST_SIGNATURE;
  smst.Hdr.Revision = kSmstRevision;
  smst.Hdr.HeaderSize = sizeof smst;
  std::memcpy(vendor_, u"SimPlatform", sizeof vendor_);
  smst.SmmFirmwareVendor = vendor_;
  smst.SmmFirmwareRevision = 0x00010000;
  smst.SmmInstallConfigurationTable = SmmInstallConfigurationTable;
  smst.SmmIo.Mem.Read = SmmIoAccess;
  smst.SmmIo.Mem.Write = SmmIoAccess;
  smst.SmmIo.Io.Read = SmmIoAccess;
  smst.SmmIo.Io.Write = SmmIoAccess;
  smst.SmmAllocatePool = SmmAllocatePool;
  smst.SmmFreePool = SmmFreePool;
  smst.SmmAllocatePages = SmmAllocatePages;
  smst.SmmFreePages = SmmFreePages;
  smst.SmmStartupThisAp = SmmStartupThisAp;
  smst.CurrentlyExecutingCpu = 0;
  smst.NumberOfCpus = 1;
  smst.CpuSaveStateSize = saveStateSize_;
  smst.CpuSaveState = saveState_;
  smst.SmmInstallProtocolInterface = SmmInstallProtocolInterface;
  smst.SmmUninstallProtocolInterface = SmmUninstallProtocolInterface;
  smst.SmmHandleProtocol = SmmHandleProtocol;
  smst.SmmRegisterProtocolNotify = SmmRegisterProtocolNotify;
  smst.SmmLocateHandle = SmmLocateHandle;
  smst.SmmLocateProtocol = SmmLocateProtocol;
  smst.SmiManage = SmiManage;
  smst.SmiHandlerRegister = SmiHandlerRegister;
  smst.SmiHandlerUnRegister = SmiHandlerUnRegister;
  PublishTables();
}

void SmmWorld::PublishTables() {
  // A new array on every change, as for the boot-services table.
  std::free(tableArray_);
  tableArray_ = nullptr;
  if (!tables_.empty()) {
    tableArray_ =
        static_cast<EFI_CONFIGURATION_TABLE*>(std::malloc(tables_.size() * sizeof(EFI_CONFIGURATION_TABLE)));
    if (!tableArray_) Fatal("out of host memory for the SMM configuration table");
    std::memcpy(tableArray_, tables_.data(), tables_.size() * sizeof(EFI_CONFIGURATION_TABLE));
  }
  smst.NumberOfTableEntries = tables_.size();
  smst.SmmConfigurationTable = tableArray_;
  smst.Hdr.CRC32 = 0;
  smst.Hdr.CRC32 = Crc32(&smst, smst.Hdr.HeaderSize);
}

void SmmWorld::Reset() {
  protocols.Clear();
  pool.ReleaseAll();
  tables_.clear();
  std::memset(saveStateArea_, 0, sizeof saveStateArea_);
  FillTable();
}

EFI_STATUS SmmWorld::InstallConfigurationTable(const EFI_GUID* guid, void* table, UINTN size) {
  if (!guid) return EFI_INVALID_PARAMETER;
  const EFI_STATUS edited = EditConfigurationTables(tables_, *guid, table);
  if (edited != EFI_SUCCESS) return edited;
  PublishTables();
  owner_->Trace("SmmInstallConfigurationTable",
                "SmmInstallConfigurationTable " + GuidToString(*guid) + " " +
                    (table ? Pointer(table) + " size " + std::to_string(size) : std::string("removed")),
                {{"guid", GuidToString(*guid)}, {"table", Pointer(table)}, {"size", std::to_string(size)}});
  return EFI_SUCCESS;
}

void* SmmWorld::FindConfigTable(const EFI_GUID& guid) const {
  for (const auto& t : tables_) {
    if (t.VendorGuid == guid) return t.VendorTable;
  }
  return nullptr;
}

EFI_STATUS SmmWorld::RegisterNotify(const EFI_GUID* protocol, EFI_SMM_NOTIFY_FN function,
                                    void** registration) {
  if (!protocol || !registration) return EFI_INVALID_PARAMETER;
  if (!function) {
    // A null function cancels the registration *Registration names, which
    // must be one for this protocol.
    Registration* r = protocols.FindRegistration(*registration);
    if (!r || !r->function || r->guid != *protocol) return EFI_NOT_FOUND;
    owner_->Trace("SmmNotifyCancel", "SmmRegisterProtocolNotify " + GuidToString(*protocol) + " cancelled",
                  {{"guid", GuidToString(*protocol)}, {"registration", std::to_string(r->serial)}});
    protocols.RemoveRegistration(r);
    return EFI_SUCCESS;
  }
  Registration* r = protocols.AddRegistration(*protocol);
  r->function = function;
  *registration = r;
  owner_->Trace("SmmRegisterProtocolNotify", "SmmRegisterProtocolNotify " + GuidToString(*protocol),
                {{"guid", GuidToString(*protocol)},
                 {"registration", std::to_string(r->serial)},
                 {"function", Pointer(reinterpret_cast<const void*>(function))}});
  return EFI_SUCCESS;
}

size_t SmmWorld::NotifyCount(const EFI_GUID& guid) const {
  size_t n = 0;
  for (const auto& r : protocols.Registrations()) n += r->function && r->guid == guid;
  return n;
}

void SmmWorld::CallNotifies(const EFI_GUID& guid, uint64_t id) {
  // The list may change under a called function (a registration made or
  // cancelled, a reset): it is searched afresh for each call, and nothing
  // here owns memory across a call.
  uint64_t newest = 0;
  for (const auto& r : protocols.Registrations()) newest = std::max(newest, r->serial);
  uint64_t done = 0;
  for (;;) {
    const Registration* next = nullptr;
    for (const auto& r : protocols.Registrations()) {
      if (r->function && r->guid == guid && r->serial > done && r->serial <= newest &&
          (!next || r->serial < next->serial)) {
        next = r.get();
      }
    }
    if (!next) return;
    done = next->serial;
    HandleRecord* handle = nullptr;
    const Interface* installed = protocols.FindInterface(id, &handle);
    if (!installed) return;  // an earlier function uninstalled it
    const EFI_SMM_NOTIFY_FN function = next->function;
    void* const interface = installed->pointer;
    owner_->Trace("SmmNotify",
                  "SmmNotify " + GuidToString(guid) + " handle " + protocols.HandleName(handle) +
                      " registration " + std::to_string(next->serial),
                  {{"guid", GuidToString(guid)},
                   {"handle", protocols.HandleName(handle)},
                   {"interface", Pointer(interface)},
                   {"registration", std::to_string(next->serial)}});
    const EFI_STATUS s = function(&guid, interface, handle);
    owner_->Trace("SmmNotifyReturned", "SmmNotify function returned " + StatusName(s),
                  {{"guid", GuidToString(guid)}, {"status", StatusName(s)}});
  }
}

// ---------------------------------------------------------------- platform side

EFI_SMM_SYSTEM_TABLE2* Platform::Smst() { return &impl->smmWorld->smst; }

EFI_HANDLE Platform::InstallSmmProtocol(const EFI_GUID& guid, void* interface, EFI_HANDLE handle) {
  EFI_HANDLE h = handle;
  const EFI_STATUS s = impl->smmWorld->protocols.Install(&h, &guid, EFI_NATIVE_INTERFACE, interface);
  return EFI_ERROR(s) ? nullptr : h;
}

EFI_STATUS Platform::UninstallSmmProtocol(EFI_HANDLE handle, const EFI_GUID& guid, void* interface) {
  return impl->smmWorld->protocols.Uninstall(handle, &guid, interface);
}

size_t Platform::SmmProtocolCount(const EFI_GUID& guid) const {
  return impl->smmWorld->protocols.Count(guid);
}

size_t Platform::SmmNotifyCount(const EFI_GUID& guid) const { return impl->smmWorld->NotifyCount(guid); }

void* Platform::FindSmmConfigTable(const EFI_GUID& guid) const {
  return impl->smmWorld->FindConfigTable(guid);
}

std::vector<Allocation> Platform::OutstandingSmmAllocations() const {
  return impl->smmWorld->pool.Outstanding();
}

void Platform::SignalLegacyBoot() { InstallSmmProtocol(SmmLegacyBootNoticeGuid, nullptr); }

}  // namespace sim
