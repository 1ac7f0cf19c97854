#include "s3/smm_base.h"

#include "frame/module.h"

EFI_SMM_BASE2_PROTOCOL* LocateSmmBase(void) {
  void* interface = nullptr;
  if (EFI_ERROR(BootServices->LocateProtocol(&EFI_SMM_BASE2_PROTOCOL_GUID, nullptr, &interface))) {
    return nullptr;
  }
  return static_cast<EFI_SMM_BASE2_PROTOCOL*>(interface);
}

BOOLEAN RunningInSmm(void) {
  EFI_SMM_BASE2_PROTOCOL* base = LocateSmmBase();
  if (base == nullptr) {
    return false;
  }
  BOOLEAN inSmm = false;
  if (EFI_ERROR(base->InSmm(base, &inSmm))) {
    return false;
  }
  return inSmm;
}

EFI_SMM_SYSTEM_TABLE2* LocateSmst(void) {
  EFI_SMM_BASE2_PROTOCOL* base = LocateSmmBase();
  if (base == nullptr) {
    return nullptr;
  }
  EFI_SMM_SYSTEM_TABLE2* smst = nullptr;
  if (EFI_ERROR(base->GetSmstLocation(base, &smst))) {
    return nullptr;
  }
  return smst;
}
