// The boot-services table: thin EFIAPI entry points over the platform state.
// Services no driver code here relies on report EFI_UNSUPPORTED.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "sim/platform_impl.h"

namespace sim {

namespace {

// The highest TPL each service may be called at (the UEFI "Task Priority
// Level Restrictions" table). The variable and time services are the
// runtime table's: TPL_CALLBACK.
Platform::Impl& Boot(const char* service, EFI_TPL maxTpl = TPL_HIGH_LEVEL) {
  Platform::Impl& sim = Sim();
  sim.BootServiceCall(service, maxTpl);
  return sim;
}

Platform::Impl& Memory(const char* service) {
  Platform::Impl& sim = Boot(service, TPL_NOTIFY);
  sim.MemoryServiceCall(service);
  return sim;
}

EFI_TPL EFIAPI RaiseTPL(EFI_TPL newTpl) { return Boot("RaiseTPL").RaiseTpl(newTpl); }

void EFIAPI RestoreTPL(EFI_TPL oldTpl) { Boot("RestoreTPL").RestoreTpl(oldTpl); }

EFI_STATUS EFIAPI AllocatePages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType, UINTN pages,
                                EFI_PHYSICAL_ADDRESS* memory) {
  Platform::Impl& sim = Memory("AllocatePages");
  if (auto failed = sim.Injected(Service::AllocatePages)) return *failed;
  return sim.AllocatePages(type, memoryType, pages, memory);
}

EFI_STATUS EFIAPI FreePages(EFI_PHYSICAL_ADDRESS memory, UINTN pages) {
  Platform::Impl& sim = Memory("FreePages");
  if (auto failed = sim.Injected(Service::FreePages)) {
    sim.memory.FreeRefused(static_cast<uintptr_t>(memory), true);
    return *failed;
  }
  return sim.FreePages(memory, pages);
}

EFI_STATUS EFIAPI GetMemoryMap(UINTN*, EFI_MEMORY_DESCRIPTOR*, UINTN*, UINTN*, UINT32*) {
  Boot("GetMemoryMap", TPL_HIGH_LEVEL);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE type, UINTN size, void** buffer) {
  Platform::Impl& sim = Memory("AllocatePool");
  if (auto failed = sim.Injected(Service::AllocatePool)) return *failed;
  return sim.AllocatePool(type, size, buffer);
}

EFI_STATUS EFIAPI FreePool(void* buffer) {
  Platform::Impl& sim = Memory("FreePool");
  if (auto failed = sim.Injected(Service::FreePool)) {
    sim.memory.FreeRefused(reinterpret_cast<uintptr_t>(buffer), false);
    return *failed;
  }
  return sim.FreePool(buffer);
}

EFI_STATUS EFIAPI CreateEvent(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify, void* context,
                              EFI_EVENT* event) {
  Platform::Impl& sim = Boot("CreateEvent", TPL_NOTIFY);
  if (auto failed = sim.Injected(Service::CreateEvent)) return *failed;
  return sim.CreateEvent(type, notifyTpl, notify, context, nullptr, event);
}

EFI_STATUS EFIAPI SetTimer(EFI_EVENT, EFI_TIMER_DELAY, UINT64) {
  Boot("SetTimer", TPL_HIGH_LEVEL - 1);
  return EFI_UNSUPPORTED;  // no timer interrupt in the simulation
}

EFI_STATUS EFIAPI WaitForEvent(UINTN count, EFI_EVENT* events, UINTN* index) {
  return Boot("WaitForEvent", TPL_APPLICATION).WaitForEvent(count, events, index);
}

EFI_STATUS EFIAPI SignalEvent(EFI_EVENT event) {
  Platform::Impl& sim = Boot("SignalEvent", TPL_HIGH_LEVEL);
  if (auto failed = sim.Injected(Service::SignalEvent)) return *failed;
  return sim.SignalEvent(event);
}

EFI_STATUS EFIAPI CloseEvent(EFI_EVENT event) {
  Platform::Impl& sim = Boot("CloseEvent", TPL_NOTIFY);
  if (auto failed = sim.Injected(Service::CloseEvent)) return *failed;
  return sim.CloseEvent(event);
}

EFI_STATUS EFIAPI CheckEvent(EFI_EVENT event) {
  return Boot("CheckEvent", TPL_HIGH_LEVEL - 1).CheckEvent(event);
}

EFI_STATUS EFIAPI InstallProtocolInterface(EFI_HANDLE* handle, const EFI_GUID* protocol,
                                           EFI_INTERFACE_TYPE type, void* interface) {
  Platform::Impl& sim = Boot("InstallProtocolInterface", TPL_NOTIFY);
  if (auto failed = sim.Injected(Service::InstallProtocolInterface)) return *failed;
  return sim.InstallProtocol(handle, protocol, type, interface);
}

EFI_STATUS EFIAPI ReinstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID* protocol, void* oldInterface,
                                             void* newInterface) {
  return Boot("ReinstallProtocolInterface", TPL_NOTIFY)
      .ReinstallProtocol(handle, protocol, oldInterface, newInterface);
}

EFI_STATUS EFIAPI UninstallProtocolInterface(EFI_HANDLE handle, const EFI_GUID* protocol, void* interface) {
  Platform::Impl& sim = Boot("UninstallProtocolInterface", TPL_NOTIFY);
  if (auto failed = sim.Injected(Service::UninstallProtocolInterface)) return *failed;
  return sim.UninstallProtocol(handle, protocol, interface);
}

EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE handle, const EFI_GUID* protocol, void** interface) {
  Platform::Impl& sim = Boot("HandleProtocol", TPL_NOTIFY);
  if (auto failed = sim.Injected(Service::HandleProtocol)) return *failed;
  return sim.HandleProtocol(handle, protocol, interface);
}

EFI_STATUS EFIAPI RegisterProtocolNotify(const EFI_GUID* protocol, EFI_EVENT event, void** registration) {
  Platform::Impl& sim = Boot("RegisterProtocolNotify", TPL_NOTIFY);
  if (auto failed = sim.Injected(Service::RegisterProtocolNotify)) return *failed;
  return sim.RegisterProtocolNotify(protocol, event, registration);
}

EFI_STATUS EFIAPI LocateHandle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* protocol, void* key,
                               UINTN* bufferSize, EFI_HANDLE* buffer) {
  return Boot("LocateHandle", TPL_NOTIFY).LocateHandle(type, protocol, key, bufferSize, buffer);
}

EFI_STATUS EFIAPI LocateDevicePath(const EFI_GUID*, EFI_DEVICE_PATH_PROTOCOL**, EFI_HANDLE*) {
  Boot("LocateDevicePath");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI InstallConfigurationTable(const EFI_GUID* guid, void* table) {
  Platform::Impl& sim = Memory("InstallConfigurationTable");
  if (auto failed = sim.Injected(Service::InstallConfigurationTable)) return *failed;
  return sim.InstallConfigurationTable(guid, table);
}

EFI_STATUS EFIAPI LoadImage(BOOLEAN, EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL*, void*, UINTN, EFI_HANDLE*) {
  Boot("LoadImage", TPL_CALLBACK - 1);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI StartImage(EFI_HANDLE, UINTN*, CHAR16**) {
  Boot("StartImage", TPL_CALLBACK - 1);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI Exit(EFI_HANDLE, EFI_STATUS, UINTN, CHAR16*) {
  Boot("Exit");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI UnloadImage(EFI_HANDLE) {
  Boot("UnloadImage", TPL_CALLBACK - 1);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI ExitBootServices(EFI_HANDLE, UINTN) {
  Boot("ExitBootServices", TPL_APPLICATION);
  return EFI_UNSUPPORTED;  // the boot runner ends boot services itself
}

EFI_STATUS EFIAPI GetNextMonotonicCount(UINT64* count) {
  Platform::Impl& sim = Boot("GetNextMonotonicCount");
  if (!count) return EFI_INVALID_PARAMETER;
  // The high half counts boots, the low half calls within a boot.
  *count = (static_cast<uint64_t>(sim.bootNumber) << 32) | ++sim.monotonicCount;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Stall(UINTN microseconds) {
  Platform::Impl& sim = Boot("Stall");
  Processor& cpu = sim.owner->cpu;
  cpu.tsc += microseconds * cpu.stallTicksPerMicrosecond;
  sim.Spend(CostKind::Stall, uint64_t{microseconds} * 1000);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetWatchdogTimer(UINTN, UINT64, UINTN, CHAR16*) {
  Boot("SetWatchdogTimer");
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI ConnectController(EFI_HANDLE, EFI_HANDLE*, EFI_DEVICE_PATH_PROTOCOL*, BOOLEAN) {
  Boot("ConnectController", TPL_CALLBACK - 1);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI DisconnectController(EFI_HANDLE, EFI_HANDLE, EFI_HANDLE) {
  Boot("DisconnectController", TPL_CALLBACK - 1);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI OpenProtocol(EFI_HANDLE, const EFI_GUID*, void**, EFI_HANDLE, EFI_HANDLE, UINT32) {
  Boot("OpenProtocol", TPL_NOTIFY);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI CloseProtocol(EFI_HANDLE, const EFI_GUID*, EFI_HANDLE, EFI_HANDLE) {
  Boot("CloseProtocol", TPL_NOTIFY);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI OpenProtocolInformation(EFI_HANDLE, const EFI_GUID*, void**, UINTN*) {
  Boot("OpenProtocolInformation", TPL_NOTIFY);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI ProtocolsPerHandle(EFI_HANDLE, EFI_GUID***, UINTN*) {
  Boot("ProtocolsPerHandle", TPL_NOTIFY);
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* protocol, void* key,
                                     UINTN* count, EFI_HANDLE** buffer) {
  Platform::Impl& sim = Boot("LocateHandleBuffer", TPL_NOTIFY);
  if (auto failed = sim.Injected(Service::LocateHandleBuffer)) return *failed;
  return sim.LocateHandleBuffer(type, protocol, key, count, buffer);
}

EFI_STATUS EFIAPI LocateProtocol(const EFI_GUID* protocol, void* registration, void** interface) {
  Platform::Impl& sim = Boot("LocateProtocol", TPL_NOTIFY);
  if (auto failed = sim.Injected(Service::LocateProtocol)) return *failed;
  return sim.LocateProtocol(protocol, registration, interface);
}

typedef std::vector<std::pair<const EFI_GUID*, void*>> InterfaceList;

// The GUID/interface pairs of a variable argument list ended by a null GUID.
InterfaceList ReadPairs(__builtin_ms_va_list args) {
  InterfaceList pairs;
  for (;;) {
    const EFI_GUID* guid = __builtin_va_arg(args, const EFI_GUID*);
    if (!guid) break;
    void* interface = __builtin_va_arg(args, void*);
    pairs.emplace_back(guid, interface);
  }
  return pairs;
}

EFI_STATUS InstallAll(Platform::Impl& sim, EFI_HANDLE* handle, const InterfaceList& pairs) {
  if (!handle) return EFI_INVALID_PARAMETER;
  // Watchers are notified once the whole set is in place.
  const EFI_TPL old = sim.RaiseTpl(std::max<EFI_TPL>(sim.tpl, TPL_NOTIFY));
  const EFI_HANDLE original = *handle;
  EFI_STATUS status = EFI_SUCCESS;
  size_t installed = 0;
  for (; installed < pairs.size(); ++installed) {
    status =
        sim.InstallProtocol(handle, pairs[installed].first, EFI_NATIVE_INTERFACE, pairs[installed].second);
    if (EFI_ERROR(status)) break;
  }
  if (EFI_ERROR(status)) {
    for (size_t i = installed; i-- > 0;) sim.UninstallProtocol(*handle, pairs[i].first, pairs[i].second);
    *handle = original;
  }
  sim.RestoreTpl(old);
  return status;
}

EFI_STATUS UninstallAll(Platform::Impl& sim, EFI_HANDLE handle, const InterfaceList& pairs) {
  HandleRecord* record = sim.FindHandle(handle);
  if (!record) return EFI_INVALID_PARAMETER;
  size_t removed = 0;
  EFI_STATUS status = EFI_SUCCESS;
  for (; removed < pairs.size(); ++removed) {
    status = sim.UninstallProtocol(handle, pairs[removed].first, pairs[removed].second, false);
    if (EFI_ERROR(status)) break;
  }
  if (EFI_ERROR(status)) {
    for (size_t i = 0; i < removed; ++i) {
      EFI_HANDLE h = handle;
      sim.InstallProtocol(&h, pairs[i].first, EFI_NATIVE_INTERFACE, pairs[i].second);
    }
    return EFI_INVALID_PARAMETER;
  }
  sim.DropEmptyHandle(record);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI InstallMultipleProtocolInterfaces(EFI_HANDLE* handle, ...) {
  Platform::Impl& sim = Boot("InstallMultipleProtocolInterfaces", TPL_NOTIFY);
  if (auto failed = sim.Injected(Service::InstallMultipleProtocolInterfaces)) return *failed;
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, handle);
  // The installation notifies watchers, which may reset the platform: the
  // list lives in the platform, which releases it on the unwind.
  sim.interfaceLists.push_back(ReadPairs(args));
  __builtin_ms_va_end(args);
  const EFI_STATUS status = InstallAll(sim, handle, sim.interfaceLists.back());
  sim.interfaceLists.pop_back();
  return status;
}

EFI_STATUS EFIAPI UninstallMultipleProtocolInterfaces(EFI_HANDLE handle, ...) {
  Platform::Impl& sim = Boot("UninstallMultipleProtocolInterfaces", TPL_NOTIFY);
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, handle);
  InterfaceList pairs = ReadPairs(args);
  __builtin_ms_va_end(args);
  return UninstallAll(sim, handle, pairs);
}

EFI_STATUS EFIAPI CalculateCrc32(void* data, UINTN size, UINT32* crc) {
  Boot("CalculateCrc32");
  if (!data || !crc || size == 0) return EFI_INVALID_PARAMETER;
  *crc = Crc32(data, size);
  return EFI_SUCCESS;
}

void EFIAPI CopyMem(void* destination, const void* source, UINTN length) {
  Boot("CopyMem");
  if (length) std::memmove(destination, source, length);
}

void EFIAPI SetMem(void* buffer, UINTN size, UINT8 value) {
  Boot("SetMem");
  if (size) std::memset(buffer, value, size);
}

EFI_STATUS EFIAPI CreateEventEx(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify, const void* context,
                                const EFI_GUID* group, EFI_EVENT* event) {
  Platform::Impl& sim = Boot("CreateEventEx", TPL_NOTIFY);
  if (auto failed = sim.Injected(Service::CreateEventEx)) return *failed;
  return sim.CreateEvent(type, notifyTpl, notify, context, group, event);
}

}  // namespace

void FillBootServices(EFI_BOOT_SERVICES* bs) {
  std::memset(bs, 0, sizeof *bs);
  bs->Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  bs->Hdr.Revision = (2u << 16) | 70u;
  bs->Hdr.HeaderSize = sizeof *bs;
  bs->RaiseTPL = RaiseTPL;
  bs->RestoreTPL = RestoreTPL;
  bs->AllocatePages = AllocatePages;
  bs->FreePages = FreePages;
  bs->GetMemoryMap = GetMemoryMap;
  bs->AllocatePool = AllocatePool;
  bs->FreePool = FreePool;
  bs->CreateEvent = CreateEvent;
  bs->SetTimer = SetTimer;
  bs->WaitForEvent = WaitForEvent;
  bs->SignalEvent = SignalEvent;
  bs->CloseEvent = CloseEvent;
  bs->CheckEvent = CheckEvent;
  bs->InstallProtocolInterface = InstallProtocolInterface;
  bs->ReinstallProtocolInterface = ReinstallProtocolInterface;
  bs->UninstallProtocolInterface = UninstallProtocolInterface;
  bs->HandleProtocol = HandleProtocol;
  bs->Reserved = nullptr;
  bs->RegisterProtocolNotify = RegisterProtocolNotify;
  bs->LocateHandle = LocateHandle;
  bs->LocateDevicePath = LocateDevicePath;
  bs->InstallConfigurationTable = InstallConfigurationTable;
  bs->LoadImage = LoadImage;
  bs->StartImage = StartImage;
  bs->Exit = Exit;
  bs->UnloadImage = UnloadImage;
  bs->ExitBootServices = ExitBootServices;
  bs->GetNextMonotonicCount = GetNextMonotonicCount;
  bs->Stall = Stall;
  bs->SetWatchdogTimer = SetWatchdogTimer;
  bs->ConnectController = ConnectController;
  bs->DisconnectController = DisconnectController;
  bs->OpenProtocol = OpenProtocol;
  bs->CloseProtocol = CloseProtocol;
  bs->OpenProtocolInformation = OpenProtocolInformation;
  bs->ProtocolsPerHandle = ProtocolsPerHandle;
  bs->LocateHandleBuffer = LocateHandleBuffer;
  bs->LocateProtocol = LocateProtocol;
  bs->InstallMultipleProtocolInterfaces = InstallMultipleProtocolInterfaces;
  bs->UninstallMultipleProtocolInterfaces = UninstallMultipleProtocolInterfaces;
  bs->CalculateCrc32 = CalculateCrc32;
  bs->CopyMem = CopyMem;
  bs->SetMem = SetMem;
  bs->CreateEventEx = CreateEventEx;
}

}  // namespace sim
