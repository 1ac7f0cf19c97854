// Handle and protocol database, protocol-notify registrations and the
// configuration table.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sim/platform_impl.h"

namespace sim {

std::string Platform::Impl::HandleName(const HandleRecord* h) const {
  return "#" + std::to_string(h->serial);
}

HandleRecord* Platform::Impl::FindHandle(EFI_HANDLE handle) const {
  if (!handle) return nullptr;
  for (const auto& h : handles) {
    if (h.get() == handle) return h.get();
  }
  return nullptr;
}

Registration* Platform::Impl::FindRegistration(const void* key) const {
  for (const auto& r : registrations) {
    if (r.get() == key) return r.get();
  }
  return nullptr;
}

const Interface* Platform::Impl::FindInterface(uint64_t id, HandleRecord** owner) const {
  for (const auto& h : handles) {
    for (const Interface& i : h->interfaces) {
      if (i.id == id) {
        if (owner) *owner = h.get();
        return &i;
      }
    }
  }
  return nullptr;
}

void Platform::Impl::NotifyInstalled(const EFI_GUID& guid, uint64_t id) {
  for (const auto& r : registrations) {
    if (r->guid == guid) {
      r->pending.push_back(id);
      MarkSignalled(r->event);
    }
  }
}

void Platform::Impl::DropEmptyHandle(HandleRecord* handle) {
  if (!handle->interfaces.empty()) return;
  auto it = std::find_if(handles.begin(), handles.end(),
                         [handle](const std::unique_ptr<HandleRecord>& h) { return h.get() == handle; });
  // The record is kept until the boot ends, so that no later handle of this
  // boot has the address of a removed one: a stale handle stays invalid and
  // a new handle is always a different value.
  retiredHandles.push_back(std::move(*it));
  handles.erase(it);
}

EFI_STATUS Platform::Impl::InstallProtocol(EFI_HANDLE* handle, const EFI_GUID* guid, EFI_INTERFACE_TYPE type,
                                           void* pointer) {
  if (!handle || !guid || type != EFI_NATIVE_INTERFACE) return EFI_INVALID_PARAMETER;
  HandleRecord* h = nullptr;
  if (*handle) {
    h = FindHandle(*handle);
    if (!h) return EFI_INVALID_PARAMETER;
    for (const Interface& i : h->interfaces) {
      if (i.guid == *guid) return EFI_INVALID_PARAMETER;
    }
  } else {
    handles.push_back(std::make_unique<HandleRecord>());
    h = handles.back().get();
    h->serial = ++handleSerial;
  }
  const uint64_t id = ++interfaceId;
  h->interfaces.push_back(Interface{*guid, pointer, id});
  *handle = h;
  owner->Trace("InstallProtocol", "InstallProtocol " + GuidToString(*guid) + " on handle " + HandleName(h),
               {{"guid", GuidToString(*guid)},
                {"handle", HandleName(h)},
                {"interface", Hex(reinterpret_cast<uintptr_t>(pointer))}});
  NotifyInstalled(*guid, id);
  Dispatch(tpl);
  return EFI_SUCCESS;
}

EFI_STATUS Platform::Impl::UninstallProtocol(EFI_HANDLE handle, const EFI_GUID* guid, void* pointer,
                                             bool dropEmptyHandle) {
  HandleRecord* h = FindHandle(handle);
  if (!h || !guid) return EFI_INVALID_PARAMETER;
  auto it = std::find_if(h->interfaces.begin(), h->interfaces.end(),
                         [guid](const Interface& i) { return i.guid == *guid; });
  if (it == h->interfaces.end() || it->pointer != pointer) return EFI_NOT_FOUND;
  h->interfaces.erase(it);
  owner->Trace("UninstallProtocol",
               "UninstallProtocol " + GuidToString(*guid) + " from handle " + HandleName(h),
               {{"guid", GuidToString(*guid)}, {"handle", HandleName(h)}});
  if (dropEmptyHandle) DropEmptyHandle(h);
  return EFI_SUCCESS;
}

EFI_STATUS Platform::Impl::ReinstallProtocol(EFI_HANDLE handle, const EFI_GUID* guid, void* oldPointer,
                                             void* newPointer) {
  HandleRecord* h = FindHandle(handle);
  if (!h || !guid) return EFI_INVALID_PARAMETER;
  for (Interface& i : h->interfaces) {
    if (i.guid == *guid) {
      if (i.pointer != oldPointer) return EFI_NOT_FOUND;
      i.pointer = newPointer;
      // Watchers see the new interface as a fresh installation.
      NotifyInstalled(*guid, i.id);
      Dispatch(tpl);
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS Platform::Impl::HandleProtocol(EFI_HANDLE handle, const EFI_GUID* guid, void** pointer) {
  if (!pointer) return EFI_INVALID_PARAMETER;
  *pointer = nullptr;
  HandleRecord* h = FindHandle(handle);
  if (!h || !guid) return EFI_INVALID_PARAMETER;
  for (const Interface& i : h->interfaces) {
    if (i.guid == *guid) {
      *pointer = i.pointer;
      return EFI_SUCCESS;
    }
  }
  return EFI_UNSUPPORTED;
}

EFI_STATUS Platform::Impl::RegisterProtocolNotify(const EFI_GUID* guid, EFI_EVENT event,
                                                  void** registration) {
  Event* e = FindEvent(event);
  if (!guid || !e || !registration) return EFI_INVALID_PARAMETER;
  auto r = std::make_unique<Registration>();
  r->guid = *guid;
  r->event = e;
  *registration = r.get();
  registrations.push_back(std::move(r));
  return EFI_SUCCESS;
}

EFI_STATUS Platform::Impl::LocateProtocol(const EFI_GUID* guid, void* registration, void** pointer) {
  if (!pointer) return EFI_INVALID_PARAMETER;
  *pointer = nullptr;
  if (!guid) return EFI_INVALID_PARAMETER;
  if (registration) {
    Registration* r = FindRegistration(registration);
    if (!r || r->guid != *guid) return EFI_NOT_FOUND;
    while (!r->pending.empty()) {
      const uint64_t id = r->pending.front();
      r->pending.pop_front();
      if (const Interface* i = FindInterface(id)) {  // skip instances uninstalled meanwhile
        *pointer = i->pointer;
        return EFI_SUCCESS;
      }
    }
    return EFI_NOT_FOUND;
  }
  const Interface* first = nullptr;
  for (const auto& h : handles) {
    for (const Interface& i : h->interfaces) {
      if (i.guid == *guid && (!first || i.id < first->id)) first = &i;
    }
  }
  if (!first) return EFI_NOT_FOUND;
  *pointer = first->pointer;
  return EFI_SUCCESS;
}

EFI_STATUS Platform::Impl::SearchHandles(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, void* key,
                                         bool consume, std::vector<EFI_HANDLE>* out) {
  out->clear();
  switch (type) {
    case AllHandles:
      for (const auto& h : handles) out->push_back(h.get());
      return EFI_SUCCESS;
    case ByProtocol: {
      if (!guid) return EFI_INVALID_PARAMETER;
      // In the order the protocol's instances were installed.
      std::vector<std::pair<uint64_t, EFI_HANDLE>> found;
      for (const auto& h : handles) {
        for (const Interface& i : h->interfaces) {
          if (i.guid == *guid) found.emplace_back(i.id, h.get());
        }
      }
      std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      for (const auto& f : found) out->push_back(f.second);
      return EFI_SUCCESS;
    }
    case ByRegisterNotify: {
      Registration* r = FindRegistration(key);
      if (!r) return EFI_INVALID_PARAMETER;
      while (!r->pending.empty()) {
        HandleRecord* owner = nullptr;
        const bool live = FindInterface(r->pending.front(), &owner) != nullptr;
        if (live) {
          out->push_back(owner);
          if (consume) r->pending.pop_front();
          break;
        }
        r->pending.pop_front();
      }
      return EFI_SUCCESS;
    }
  }
  return EFI_INVALID_PARAMETER;
}

EFI_STATUS Platform::Impl::LocateHandle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, void* key,
                                        UINTN* bufferSize, EFI_HANDLE* buffer) {
  if (!bufferSize) return EFI_INVALID_PARAMETER;
  std::vector<EFI_HANDLE> found;
  EFI_STATUS s = SearchHandles(type, guid, key, false, &found);
  if (EFI_ERROR(s)) return s;
  if (found.empty()) return EFI_NOT_FOUND;
  const UINTN needed = found.size() * sizeof(EFI_HANDLE);
  if (*bufferSize < needed) {
    *bufferSize = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  if (!buffer) return EFI_INVALID_PARAMETER;
  if (type == ByRegisterNotify) SearchHandles(type, guid, key, true, &found);
  std::memcpy(buffer, found.data(), needed);
  *bufferSize = needed;
  return EFI_SUCCESS;
}

EFI_STATUS Platform::Impl::LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, void* key,
                                              UINTN* count, EFI_HANDLE** buffer) {
  if (!count || !buffer) return EFI_INVALID_PARAMETER;
  *count = 0;
  *buffer = nullptr;
  std::vector<EFI_HANDLE> found;
  EFI_STATUS s = SearchHandles(type, guid, key, false, &found);
  if (EFI_ERROR(s)) return s;
  if (found.empty()) return EFI_NOT_FOUND;
  void* pool = nullptr;
  s = AllocatePool(EfiBootServicesData, found.size() * sizeof(EFI_HANDLE), &pool);
  if (EFI_ERROR(s)) return EFI_OUT_OF_RESOURCES;
  if (type == ByRegisterNotify) SearchHandles(type, guid, key, true, &found);
  std::memcpy(pool, found.data(), found.size() * sizeof(EFI_HANDLE));
  *count = found.size();
  *buffer = static_cast<EFI_HANDLE*>(pool);
  return EFI_SUCCESS;
}

void Platform::Impl::DestroyProtocols() {
  registrations.clear();
  handles.clear();
  retiredHandles.clear();
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

EFI_STATUS Platform::Impl::InstallConfigurationTable(const EFI_GUID* guid, void* table) {
  if (!guid) return EFI_INVALID_PARAMETER;
  auto it = std::find_if(tables.begin(), tables.end(),
                         [guid](const EFI_CONFIGURATION_TABLE& t) { return t.VendorGuid == *guid; });
  if (table) {
    if (it != tables.end()) {
      it->VendorTable = table;
    } else {
      tables.push_back(EFI_CONFIGURATION_TABLE{*guid, table});
    }
  } else {
    if (it == tables.end()) return EFI_NOT_FOUND;
    tables.erase(it);
  }
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

size_t Platform::ProtocolCount(const EFI_GUID& guid) const {
  size_t n = 0;
  for (const auto& h : impl->handles) {
    for (const Interface& i : h->interfaces) n += i.guid == guid;
  }
  return n;
}

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
