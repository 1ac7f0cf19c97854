// The runtime-services table: variables, a fixed clock and ResetSystem.
#include <cstring>

#include "sim/platform_impl.h"

namespace sim {

namespace {

// Runtime services may be called at any time, but the variable and time
// services only up to TPL_CALLBACK.
Platform::Impl& Runtime(const char* service, EFI_TPL maxTpl) {
  Platform::Impl& sim = Sim();
  sim.Activity();
  sim.CheckTpl(service, maxTpl);
  return sim;
}

EFI_STATUS EFIAPI GetTime(EFI_TIME* time, void* capabilities) {
  Runtime("GetTime", TPL_CALLBACK);
  if (!time) return EFI_INVALID_PARAMETER;
  // A fixed wall clock keeps traces reproducible.
  std::memset(time, 0, sizeof *time);
  time->Year = 2024;
  time->Month = 1;
  time->Day = 1;
  time->Hour = 12;
  time->TimeZone = 0x07FF;  // unspecified
  if (capabilities) {
    struct Capabilities {
      UINT32 Resolution;
      UINT32 Accuracy;
      BOOLEAN SetsToZero;
    } caps = {1, 50000000, 0};
    std::memcpy(capabilities, &caps, sizeof caps);
  }
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI SetTime(EFI_TIME*) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI GetWakeupTime(BOOLEAN*, BOOLEAN*, EFI_TIME*) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI SetWakeupTime(BOOLEAN, EFI_TIME*) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI SetVirtualAddressMap(UINTN, UINTN, UINT32, EFI_MEMORY_DESCRIPTOR*) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI ConvertPointer(UINTN, void**) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI GetVariable(const CHAR16* name, const EFI_GUID* guid, UINT32* attributes, UINTN* dataSize,
                              void* data) {
  Platform::Impl& sim = Runtime("GetVariable", TPL_CALLBACK);
  if (auto failed = sim.Injected(Service::GetVariable)) {
    ++sim.owner->counters.varReads;
    sim.Spend(CostKind::VariableRead, sim.owner->clock.costs.variables.lookupNs);
    return *failed;
  }
  const EFI_STATUS status = sim.GetVariable(name, guid, attributes, dataSize, data);
  sim.Spend(CostKind::VariableRead, sim.serviceNs);  // may end the boot as hung: nothing owned here
  return status;
}

EFI_STATUS EFIAPI GetNextVariableName(UINTN* nameSize, CHAR16* name, EFI_GUID* guid) {
  Platform::Impl& sim = Runtime("GetNextVariableName", TPL_CALLBACK);
  if (auto failed = sim.Injected(Service::GetNextVariableName)) return *failed;
  return sim.GetNextVariableName(nameSize, name, guid);
}

EFI_STATUS EFIAPI SetVariable(const CHAR16* name, const EFI_GUID* guid, UINT32 attributes, UINTN dataSize,
                              const void* data) {
  Platform::Impl& sim = Runtime("SetVariable", TPL_CALLBACK);
  if (auto failed = sim.Injected(Service::SetVariable)) {
    ++sim.owner->counters.varWrites;
    sim.Spend(CostKind::VariableWrite, sim.owner->clock.costs.variables.lookupNs);
    return *failed;
  }
  return sim.SetVariable(name, guid, attributes, dataSize, data);
}

EFI_STATUS EFIAPI GetNextHighMonotonicCount(UINT32*) { return EFI_UNSUPPORTED; }

void EFIAPI ResetSystem(EFI_RESET_TYPE type, EFI_STATUS status, UINTN dataSize, const void* data) {
  Runtime("ResetSystem", TPL_HIGH_LEVEL).Reset(type, status, dataSize, data);
}

EFI_STATUS EFIAPI UpdateCapsule(void**, UINTN, EFI_PHYSICAL_ADDRESS) { return EFI_UNSUPPORTED; }

EFI_STATUS EFIAPI QueryCapsuleCapabilities(void**, UINTN, UINT64*, EFI_RESET_TYPE*) {
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI QueryVariableInfo(UINT32 attributes, UINT64* maxStorage, UINT64* remaining,
                                    UINT64* maxSize) {
  Platform::Impl& sim = Runtime("QueryVariableInfo", TPL_CALLBACK);
  if (auto failed = sim.Injected(Service::QueryVariableInfo)) return *failed;
  return sim.QueryVariableInfo(attributes, maxStorage, remaining, maxSize);
}

}  // namespace

void FillRuntimeServices(EFI_RUNTIME_SERVICES* rs) {
  std::memset(rs, 0, sizeof *rs);
  rs->Hdr.Signature = EFI_RUNTIME_SERVICES_SIGNATURE;
  rs->Hdr.Revision = (2u << 16) | 70u;
  rs->Hdr.HeaderSize = sizeof *rs;
  rs->GetTime = GetTime;
  rs->SetTime = SetTime;
  rs->GetWakeupTime = GetWakeupTime;
  rs->SetWakeupTime = SetWakeupTime;
  rs->SetVirtualAddressMap = SetVirtualAddressMap;
  rs->ConvertPointer = ConvertPointer;
  rs->GetVariable = GetVariable;
  rs->GetNextVariableName = GetNextVariableName;
  rs->SetVariable = SetVariable;
  rs->GetNextHighMonotonicCount = GetNextHighMonotonicCount;
  rs->ResetSystem = ResetSystem;
  rs->UpdateCapsule = UpdateCapsule;
  rs->QueryCapsuleCapabilities = QueryCapsuleCapabilities;
  rs->QueryVariableInfo = QueryVariableInfo;
}

}  // namespace sim
