// The SMM world of the simulated platform: EFI_SMM_BASE2_PROTOCOL and an
// EFI_SMM_SYSTEM_TABLE2 with its own pool (SMRAM), its own protocol database
// and SMM protocol notifications that call the registered function directly.
// SMRAM does not survive a reset: everything here starts empty at each boot.
//
// Not for use outside sim/; tests reach it through sim::Platform.
#pragma once

#include <cstdint>
#include <vector>

#include "frame/pi.h"
#include "sim/uefi/memory_pool.h"
#include "sim/uefi/protocol_db.h"

namespace sim {

class SmmWorld {
 public:
  explicit SmmWorld(Platform* owner);
  ~SmmWorld();
  SmmWorld(const SmmWorld&) = delete;
  SmmWorld& operator=(const SmmWorld&) = delete;

  // Empties SMRAM and the SMM database and rebuilds the tables.
  void Reset();

  EFI_SMM_SYSTEM_TABLE2 smst{};
  EFI_SMM_BASE2_PROTOCOL base{};
  ProtocolDatabase protocols;
  MemoryPool pool;

  EFI_STATUS RegisterNotify(const EFI_GUID* protocol, EFI_SMM_NOTIFY_FN function, void** registration);
  EFI_STATUS InstallConfigurationTable(const EFI_GUID* guid, void* table, UINTN size);
  size_t NotifyCount(const EFI_GUID& guid) const;
  void* FindConfigTable(const EFI_GUID& guid) const;

 private:
  Platform* owner_;
  char16_t vendor_[12] = u"SimPlatform";
  std::vector<EFI_CONFIGURATION_TABLE> tables_;
  EFI_CONFIGURATION_TABLE* tableArray_ = nullptr;  // what the SMST points at; replaced on change
  UINTN saveStateSize_[1] = {0x400};
  void* saveState_[1] = {nullptr};
  uint8_t saveStateArea_[0x400] = {};
  void FillTable();
  void PublishTables();
  // Calls the functions registered for the protocol, oldest first. Only
  // registrations that existed at the installation are called.
  void CallNotifies(const EFI_GUID& guid, uint64_t id);
};

}  // namespace sim
