// A handle and protocol database as UEFI boot services and the SMM core keep
// one: handles carrying protocol interfaces, protocol-notify registrations
// with their queue of new instances, and the searches over them. How an
// installation reaches the watchers is the owner's business (event signals
// in the boot-services world, direct calls in SMM): the database calls its
// install hook after every installation.
//
// Not for use outside sim/.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frame/pi.h"
#include "sim/platform.h"

namespace sim {

struct Event;

struct Interface {
  EFI_GUID guid{};
  void* pointer = nullptr;
  uint64_t id = 0;  // unique; increasing in install order
};

struct HandleRecord {
  std::vector<Interface> interfaces;  // in install order
  uint64_t serial = 0;                // names the handle in the trace: "#3"
};

struct Registration {
  EFI_GUID guid{};
  Event* event = nullptr;                // boot-services world: the event to signal
  EFI_SMM_NOTIFY_FN function = nullptr;  // SMM world: the function to call
  uint64_t serial = 0;                   // creation order
  std::deque<uint64_t> pending;          // interface ids installed since registration, not yet returned
};

class ProtocolDatabase {
 public:
  // `tracePrefix` starts the trace kinds and texts: "" gives
  // "InstallProtocol"/"UninstallProtocol", "Smm" gives "SmmInstallProtocol"...
  ProtocolDatabase(Platform* owner, std::string tracePrefix);

  // Called after each installation (and reinstallation) once the interface
  // is in place and every registration for its protocol has it queued.
  std::function<void(const EFI_GUID& guid, uint64_t id)> onInstall;

  EFI_STATUS Install(EFI_HANDLE* handle, const EFI_GUID* guid, EFI_INTERFACE_TYPE type, void* pointer);
  EFI_STATUS Uninstall(EFI_HANDLE handle, const EFI_GUID* guid, void* pointer, bool dropEmptyHandle = true);
  EFI_STATUS Reinstall(EFI_HANDLE handle, const EFI_GUID* guid, void* oldPointer, void* newPointer);
  EFI_STATUS Handle(EFI_HANDLE handle, const EFI_GUID* guid, void** pointer) const;
  // With a registration: the next instance installed since it was made.
  EFI_STATUS Locate(const EFI_GUID* guid, void* registration, void** pointer);
  // Handles matching a search; for ByRegisterNotify the next new one, taken
  // from the registration only when `consume` is set.
  EFI_STATUS SearchHandles(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, void* key, bool consume,
                           std::vector<EFI_HANDLE>* out);
  EFI_STATUS LocateHandle(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, void* key, UINTN* bufferSize,
                          EFI_HANDLE* buffer);

  Registration* AddRegistration(const EFI_GUID& guid);
  void RemoveRegistration(const Registration* r);
  // Drops every registration the predicate selects.
  void RemoveRegistrations(const std::function<bool(const Registration&)>& which);
  Registration* FindRegistration(const void* key) const;
  const std::vector<std::unique_ptr<Registration>>& Registrations() const { return registrations_; }

  HandleRecord* FindHandle(EFI_HANDLE handle) const;
  const Interface* FindInterface(uint64_t id, HandleRecord** owner = nullptr) const;
  // Retires a handle that carries nothing any more.
  void DropEmptyHandle(HandleRecord* handle);
  std::string HandleName(const HandleRecord* h) const;
  const std::vector<std::unique_ptr<HandleRecord>>& Handles() const { return handles_; }
  size_t Count(const EFI_GUID& guid) const;  // instances of a protocol
  // Forgets everything: handles, retired handles and registrations.
  void Clear();
  // Clear, and numbering (handles, interfaces, registrations) starts over.
  void Renew();

 private:
  Platform* owner_;
  std::string prefix_;
  std::vector<std::unique_ptr<HandleRecord>> handles_;         // creation order
  std::vector<std::unique_ptr<HandleRecord>> retiredHandles_;  // removed in this boot
  std::vector<std::unique_ptr<HandleRecord>> spareHandles_;    // records of earlier boots, for reuse
  std::vector<std::unique_ptr<Registration>> registrations_;
  uint64_t interfaceId_ = 0;
  uint64_t handleSerial_ = 0;
  uint64_t registrationSerial_ = 0;
  void Installed(const EFI_GUID& guid, uint64_t id);
};

}  // namespace sim
