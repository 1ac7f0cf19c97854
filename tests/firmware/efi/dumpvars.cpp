// Prints firmware variables to the debug console:
//
//   dumpvars TAG NAME:GUID ...   "FWT var TAG ..." for each variable
//   dumpvars TAG all             "FWT snap TAG ..." for every variable in
//                                the store, then "FWT snapend TAG COUNT"
#include "fwlib.h"

namespace {

constexpr UINTN kMaxName = 128;
char gArgs[fw::kMaxArgs][fw::kMaxArgChars];

}  // namespace

extern "C" EFI_STATUS EFIAPI EfiMain(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  fw::Init(image, systemTable);
  const int argc = fw::GetArgs(gArgs);
  if (argc < 3) {
    fw::Line("error").Str(" dumpvars: usage: dumpvars TAG NAME:GUID... | all").Emit();
    return EFI_INVALID_PARAMETER;
  }
  const char* tag = gArgs[1];
  for (int i = 2; i < argc; i++) {
    if (fw::StrEq(gArgs[i], "all")) {
      fw::SnapshotVariables(tag);
      continue;
    }
    char* colon = gArgs[i];
    while (*colon != 0 && *colon != ':') colon++;
    CHAR16 name[kMaxName];
    EFI_GUID guid;
    if (*colon != ':') {
      fw::Line("error").Str(" dumpvars: bad argument ").Str(gArgs[i]).Emit();
      return EFI_INVALID_PARAMETER;
    }
    *colon = 0;
    if (!fw::ToWide(gArgs[i], name, kMaxName) || !fw::ParseGuid(colon + 1, &guid)) {
      fw::Line("error").Str(" dumpvars: bad argument ").Str(gArgs[i]).Emit();
      return EFI_INVALID_PARAMETER;
    }
    fw::DumpVariable(tag, name, guid);
  }
  return EFI_SUCCESS;
}
