// Thin forwarding layer over the PI PCD protocol.
#include "support/pcd/pcd.h"

#include "frame/module.h"

EFI_PCD_PROTOCOL* PcdProtocol;

EFI_PCD_PROTOCOL* GetPcdProtocol(void) {
  if (PcdProtocol == nullptr) {
    BootServices->LocateProtocol(&EFI_PCD_PROTOCOL_GUID, nullptr, reinterpret_cast<void**>(&PcdProtocol));
  }
  return PcdProtocol;
}

UINT32 PcdRead32(const EFI_GUID* tokenSpace, UINTN token) {
  EFI_PCD_PROTOCOL* pcd = GetPcdProtocol();
  return pcd != nullptr ? pcd->Get32(tokenSpace, token) : 0;
}

UINT64 PcdRead64(const EFI_GUID* tokenSpace, UINTN token) {
  EFI_PCD_PROTOCOL* pcd = GetPcdProtocol();
  return pcd != nullptr ? pcd->Get64(tokenSpace, token) : 0;
}

void* PcdReadPtr(const EFI_GUID* tokenSpace, UINTN token) {
  EFI_PCD_PROTOCOL* pcd = GetPcdProtocol();
  return pcd != nullptr ? pcd->GetPtr(tokenSpace, token) : nullptr;
}

UINTN PcdReadSize(const EFI_GUID* tokenSpace, UINTN token) {
  EFI_PCD_PROTOCOL* pcd = GetPcdProtocol();
  return pcd != nullptr ? pcd->GetSize(tokenSpace, token) : 0;
}

EFI_STATUS PcdWrite32(const EFI_GUID* tokenSpace, UINTN token, UINT32 value) {
  EFI_PCD_PROTOCOL* pcd = GetPcdProtocol();
  return pcd != nullptr ? pcd->Set32(tokenSpace, token, value) : EFI_NOT_FOUND;
}

EFI_STATUS PcdWrite64(const EFI_GUID* tokenSpace, UINTN token, UINT64 value) {
  EFI_PCD_PROTOCOL* pcd = GetPcdProtocol();
  return pcd != nullptr ? pcd->Set64(tokenSpace, token, value) : EFI_NOT_FOUND;
}

UINTN PcdNextToken(const EFI_GUID* tokenSpace, UINTN token) {
  EFI_PCD_PROTOCOL* pcd = GetPcdProtocol();
  if (pcd == nullptr) {
    return 0;
  }
  UINTN next = token;
  pcd->GetNextToken(tokenSpace, &next);
  return next;
}
