// Handle and protocol database, protocol-notify registrations and the
// configuration table.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sim/platform_impl.h"

namespace sim {

void Platform::Impl::SignalWatchers(const EFI_GUID& guid) {
  for (const auto& r : protocols.Registrations()) {
    if (r->guid == guid && r->event) MarkSignalled(r->event);
  }
  Dispatch(tpl);
}

EFI_STATUS Platform::Impl::InstallProtocol(EFI_HANDLE* handle, const EFI_GUID* guid, EFI_INTERFACE_TYPE type,
                                           void* pointer) {
  const EFI_STATUS s = protocols.Install(handle, guid, type, pointer);
  // The walk only feeds the trace.
  if (s == EFI_SUCCESS && *guid == kHeapBufferListProtocolGuid && owner->recordTrace)
    TraceHeapBufferList(pointer);
  return s;
}

EFI_STATUS Platform::Impl::UninstallProtocol(EFI_HANDLE handle, const EFI_GUID* guid, void* pointer,
                                             bool dropEmptyHandle) {
  return protocols.Uninstall(handle, guid, pointer, dropEmptyHandle);
}

EFI_STATUS Platform::Impl::ReinstallProtocol(EFI_HANDLE handle, const EFI_GUID* guid, void* oldPointer,
                                             void* newPointer) {
  return protocols.Reinstall(handle, guid, oldPointer, newPointer);
}

EFI_STATUS Platform::Impl::HandleProtocol(EFI_HANDLE handle, const EFI_GUID* guid, void** pointer) {
  return protocols.Handle(handle, guid, pointer);
}

EFI_STATUS Platform::Impl::RegisterProtocolNotify(const EFI_GUID* guid, EFI_EVENT event,
                                                  void** registration) {
  Event* e = FindEvent(event);
  if (!guid || !e || !registration) return EFI_INVALID_PARAMETER;
  Registration* r = protocols.AddRegistration(*guid);
  r->event = e;
  *registration = r;
  return EFI_SUCCESS;
}

EFI_STATUS Platform::Impl::LocateProtocol(const EFI_GUID* guid, void* registration, void** pointer) {
  return protocols.Locate(guid, registration, pointer);
}

EFI_STATUS Platform::Impl::LocateHandle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, void* key,
                                        UINTN* bufferSize, EFI_HANDLE* buffer) {
  return protocols.LocateHandle(type, guid, key, bufferSize, buffer);
}

EFI_STATUS Platform::Impl::LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, void* key,
                                              UINTN* count, EFI_HANDLE** buffer) {
  if (!count || !buffer) return EFI_INVALID_PARAMETER;
  *count = 0;
  *buffer = nullptr;
  std::vector<EFI_HANDLE> found;
  EFI_STATUS s = protocols.SearchHandles(type, guid, key, false, &found);
  if (EFI_ERROR(s)) return s;
  if (found.empty()) return EFI_NOT_FOUND;
  void* pool = nullptr;
  s = AllocatePool(EfiBootServicesData, found.size() * sizeof(EFI_HANDLE), &pool);
  if (EFI_ERROR(s)) return EFI_OUT_OF_RESOURCES;
  if (type == ByRegisterNotify) protocols.SearchHandles(type, guid, key, true, &found);
  std::memcpy(pool, found.data(), found.size() * sizeof(EFI_HANDLE));
  *count = found.size();
  *buffer = static_cast<EFI_HANDLE*>(pool);
  return EFI_SUCCESS;
}

void Platform::Impl::DestroyProtocols() {
  protocols.Clear();
  imageHandle = nullptr;
}

// ---------------------------------------------------------------- configuration table

void Platform::Impl::PublishTables() {
  // A new array on every change, like firmware that reallocates it: code that
  // kept a pointer into the old array trips AddressSanitizer.
  std::free(tableArray);
  tableArray = nullptr;
  if (!tables.empty()) {
    tableArray =
        static_cast<EFI_CONFIGURATION_TABLE*>(std::malloc(tables.size() * sizeof(EFI_CONFIGURATION_TABLE)));
    if (!tableArray) Fatal("out of host memory for the configuration table");
    std::memcpy(tableArray, tables.data(), tables.size() * sizeof(EFI_CONFIGURATION_TABLE));
  }
  systemTable.NumberOfTableEntries = tables.size();
  systemTable.ConfigurationTable = tableArray;
  UpdateTableCrcs();
}

EFI_STATUS EditConfigurationTables(std::vector<EFI_CONFIGURATION_TABLE>& tables, const EFI_GUID& guid,
                                   void* table) {
  auto it = std::find_if(tables.begin(), tables.end(),
                         [&guid](const EFI_CONFIGURATION_TABLE& t) { return t.VendorGuid == guid; });
  if (table) {
    if (it != tables.end()) {
      it->VendorTable = table;
    } else {
      tables.push_back(EFI_CONFIGURATION_TABLE{guid, table});
    }
    return EFI_SUCCESS;
  }
  if (it == tables.end()) return EFI_NOT_FOUND;
  tables.erase(it);
  return EFI_SUCCESS;
}

EFI_STATUS Platform::Impl::InstallConfigurationTable(const EFI_GUID* guid, void* table) {
  if (!guid) return EFI_INVALID_PARAMETER;
  const EFI_STATUS edited = EditConfigurationTables(tables, *guid, table);
  if (edited != EFI_SUCCESS) return edited;
  PublishTables();
  // Consumers may watch a table through the event group of its GUID.
  MarkGroupSignalled(*guid);
  Dispatch(tpl);
  return EFI_SUCCESS;
}

// ---------------------------------------------------------------- platform side

EFI_HANDLE Platform::InstallProtocol(const EFI_GUID& guid, void* interface, EFI_HANDLE handle) {
  EFI_HANDLE h = handle;
  EFI_STATUS s = impl->InstallProtocol(&h, &guid, EFI_NATIVE_INTERFACE, interface);
  return EFI_ERROR(s) ? nullptr : h;
}

EFI_STATUS Platform::UninstallProtocol(EFI_HANDLE handle, const EFI_GUID& guid, void* interface) {
  return impl->UninstallProtocol(handle, &guid, interface);
}

size_t Platform::ProtocolCount(const EFI_GUID& guid) const { return impl->protocols.Count(guid); }

void* Platform::LocateProtocolInterface(const EFI_GUID& guid) const {
  void* p = nullptr;
  impl->LocateProtocol(&guid, nullptr, &p);
  return p;
}

EFI_STATUS Platform::InstallConfigTable(const EFI_GUID& guid, void* table) {
  return impl->InstallConfigurationTable(&guid, table);
}

void* Platform::FindConfigTable(const EFI_GUID& guid) const {
  for (const auto& t : impl->tables) {
    if (t.VendorGuid == guid) return t.VendorTable;
  }
  return nullptr;
}

}  // namespace sim
