// Handle and protocol database shared by the boot-services and SMM worlds.
#include "sim/uefi/protocol_db.h"

#include <algorithm>
#include <cstring>

#include "sim/platform_impl.h"

namespace sim {

ProtocolDatabase::ProtocolDatabase(Platform* owner, std::string tracePrefix)
    : owner_(owner), prefix_(std::move(tracePrefix)) {}

std::string ProtocolDatabase::HandleName(const HandleRecord* h) const {
  return "#" + std::to_string(h->serial);
}

HandleRecord* ProtocolDatabase::FindHandle(EFI_HANDLE handle) const {
  if (!handle) return nullptr;
  for (const auto& h : handles_) {
    if (h.get() == handle) return h.get();
  }
  return nullptr;
}

Registration* ProtocolDatabase::FindRegistration(const void* key) const {
  if (!key) return nullptr;
  for (const auto& r : registrations_) {
    if (r.get() == key) return r.get();
  }
  return nullptr;
}

const Interface* ProtocolDatabase::FindInterface(uint64_t id, HandleRecord** owner) const {
  for (const auto& h : handles_) {
    for (const Interface& i : h->interfaces) {
      if (i.id == id) {
        if (owner) *owner = h.get();
        return &i;
      }
    }
  }
  return nullptr;
}

size_t ProtocolDatabase::Count(const EFI_GUID& guid) const {
  size_t n = 0;
  for (const auto& h : handles_) {
    for (const Interface& i : h->interfaces) n += i.guid == guid;
  }
  return n;
}

Registration* ProtocolDatabase::AddRegistration(const EFI_GUID& guid) {
  auto r = std::make_unique<Registration>();
  r->guid = guid;
  r->serial = ++registrationSerial_;
  registrations_.push_back(std::move(r));
  return registrations_.back().get();
}

void ProtocolDatabase::RemoveRegistration(const Registration* r) {
  RemoveRegistrations([r](const Registration& each) { return &each == r; });
}

void ProtocolDatabase::RemoveRegistrations(const std::function<bool(const Registration&)>& which) {
  registrations_.erase(std::remove_if(registrations_.begin(), registrations_.end(),
                                      [&which](const std::unique_ptr<Registration>& r) { return which(*r); }),
                       registrations_.end());
}

void ProtocolDatabase::Installed(const EFI_GUID& guid, uint64_t id) {
  for (const auto& r : registrations_) {
    if (r->guid == guid) r->pending.push_back(id);
  }
  if (onInstall) onInstall(guid, id);
}

void ProtocolDatabase::DropEmptyHandle(HandleRecord* handle) {
  if (!handle->interfaces.empty()) return;
  auto it = std::find_if(handles_.begin(), handles_.end(),
                         [handle](const std::unique_ptr<HandleRecord>& h) { return h.get() == handle; });
  if (it == handles_.end()) return;
  // The record is kept until the boot ends, so that no later handle of this
  // boot has the address of a removed one: a stale handle stays invalid and
  // a new handle is always a different value.
  retiredHandles_.push_back(std::move(*it));
  handles_.erase(it);
}

EFI_STATUS ProtocolDatabase::Install(EFI_HANDLE* handle, const EFI_GUID* guid, EFI_INTERFACE_TYPE type,
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
    if (spareHandles_.empty()) {
      handles_.push_back(std::make_unique<HandleRecord>());
    } else {
      handles_.push_back(std::move(spareHandles_.back()));
      spareHandles_.pop_back();
    }
    h = handles_.back().get();
    h->serial = ++handleSerial_;
  }
  const uint64_t id = ++interfaceId_;
  h->interfaces.push_back(Interface{*guid, pointer, id});
  *handle = h;
  owner_->Trace(
      prefix_ + "InstallProtocol", [prefix = prefix_, g = *guid, serial = h->serial, pointer](TraceEvent& e) {
        const std::string name = GuidToString(g), handleName = "#" + std::to_string(serial);
        e.text = prefix + "InstallProtocol " + name + " on handle " + handleName;
        e.fields = {
            {"guid", name}, {"handle", handleName}, {"interface", Hex(reinterpret_cast<uintptr_t>(pointer))}};
      });
  Installed(*guid, id);
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolDatabase::Uninstall(EFI_HANDLE handle, const EFI_GUID* guid, void* pointer,
                                       bool dropEmptyHandle) {
  HandleRecord* h = FindHandle(handle);
  if (!h || !guid) return EFI_INVALID_PARAMETER;
  auto it = std::find_if(h->interfaces.begin(), h->interfaces.end(),
                         [guid](const Interface& i) { return i.guid == *guid; });
  if (it == h->interfaces.end() || it->pointer != pointer) return EFI_NOT_FOUND;
  h->interfaces.erase(it);
  owner_->Trace(prefix_ + "UninstallProtocol",
                [prefix = prefix_, g = *guid, serial = h->serial](TraceEvent& e) {
                  const std::string name = GuidToString(g), handleName = "#" + std::to_string(serial);
                  e.text = prefix + "UninstallProtocol " + name + " from handle " + handleName;
                  e.fields = {{"guid", name}, {"handle", handleName}};
                });
  if (dropEmptyHandle) DropEmptyHandle(h);
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolDatabase::Reinstall(EFI_HANDLE handle, const EFI_GUID* guid, void* oldPointer,
                                       void* newPointer) {
  HandleRecord* h = FindHandle(handle);
  if (!h || !guid) return EFI_INVALID_PARAMETER;
  for (Interface& i : h->interfaces) {
    if (i.guid == *guid) {
      if (i.pointer != oldPointer) return EFI_NOT_FOUND;
      i.pointer = newPointer;
      // Watchers see the new interface as a fresh installation.
      Installed(*guid, i.id);
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

EFI_STATUS ProtocolDatabase::Handle(EFI_HANDLE handle, const EFI_GUID* guid, void** pointer) const {
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

EFI_STATUS ProtocolDatabase::Locate(const EFI_GUID* guid, void* registration, void** pointer) {
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
  for (const auto& h : handles_) {
    for (const Interface& i : h->interfaces) {
      if (i.guid == *guid && (!first || i.id < first->id)) first = &i;
    }
  }
  if (!first) return EFI_NOT_FOUND;
  *pointer = first->pointer;
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolDatabase::SearchHandles(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, void* key,
                                           bool consume, std::vector<EFI_HANDLE>* out) {
  out->clear();
  switch (type) {
    case AllHandles:
      for (const auto& h : handles_) out->push_back(h.get());
      return EFI_SUCCESS;
    case ByProtocol: {
      if (!guid) return EFI_INVALID_PARAMETER;
      // In the order the protocol's instances were installed.
      std::vector<std::pair<uint64_t, EFI_HANDLE>> found;
      for (const auto& h : handles_) {
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

EFI_STATUS ProtocolDatabase::LocateHandle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, void* key,
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

void ProtocolDatabase::Clear() {
  registrations_.clear();
  // The records are kept for the next boot's handles: a boot makes the
  // same few every time. Within a boot a retired handle is never reused.
  for (auto* from : {&handles_, &retiredHandles_}) {
    for (auto& h : *from) {
      h->interfaces.clear();
      spareHandles_.push_back(std::move(h));
    }
    from->clear();
  }
}

void ProtocolDatabase::Renew() {
  Clear();
  interfaceId_ = 0;
  handleSerial_ = 0;
  registrationSerial_ = 0;
}

}  // namespace sim
