// Tells which protocols are installed:
//
//   protocols TAG GUID ...   "FWT installed TAG GUID yes|no" for each GUID
//
// Run from the shell after dispatch has ended, it shows which protocols of a
// driver's dependency expression never appeared.
#include "fwlib.h"

namespace {

char gArgs[fw::kMaxArgs][fw::kMaxArgChars];

}  // namespace

extern "C" EFI_STATUS EFIAPI EfiMain(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  fw::Init(image, systemTable);
  const int argc = fw::GetArgs(gArgs);
  if (argc < 3) {
    fw::Line("error").Str(" protocols: usage: protocols TAG GUID...").Emit();
    return EFI_INVALID_PARAMETER;
  }
  for (int i = 2; i < argc; i++) {
    EFI_GUID guid;
    if (!fw::ParseGuid(gArgs[i], &guid)) {
      fw::Line("error").Str(" protocols: bad GUID ").Str(gArgs[i]).Emit();
      return EFI_INVALID_PARAMETER;
    }
    void* interface = nullptr;
    const bool present = !EFI_ERROR(fw::gBS->LocateProtocol(&guid, nullptr, &interface));
    fw::Line("installed").Char(' ').Str(gArgs[1]).Char(' ').Guid(guid).Str(present ? " yes" : " no").Emit();
  }
  return EFI_SUCCESS;
}
