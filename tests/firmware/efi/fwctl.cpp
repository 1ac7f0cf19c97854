// Script control for the firmware test: counts boots, tells the startup
// script which boot this is, prints markers and ends the run.
//
//   fwctl begin        count this boot; prints "FWT boot N" (first boot: 1)
//   fwctl is N         succeeds when this is boot N, fails otherwise
//   fwctl say WORDS    prints "FWT say WORDS"
//   fwctl exit CODE    prints "FWT exit CODE" and writes CODE to the QEMU
//                      exit device (port 0xF4); QEMU exits with 2*CODE+1
#include "fwlib.h"

namespace {

constexpr CHAR16 kBootCounter[] = u"FwTestBoot";
constexpr UINT16 kExitPort = 0xF4;

UINT32 ReadBootCounter() {
  UINT32 count = 0;
  UINTN size = sizeof(count);
  if (EFI_ERROR(fw::gRT->GetVariable(kBootCounter, &fw::kTestGuid, nullptr, &size, &count)) ||
      size != sizeof(count)) {
    return 0;
  }
  return count;
}

char gArgs[fw::kMaxArgs][fw::kMaxArgChars];

}  // namespace

extern "C" EFI_STATUS EFIAPI EfiMain(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  fw::Init(image, systemTable);
  const int argc = fw::GetArgs(gArgs);
  if (argc < 2) {
    fw::Line("error").Str(" fwctl: no command").Emit();
    return EFI_INVALID_PARAMETER;
  }
  const char* command = gArgs[1];
  if (fw::StrEq(command, "begin")) {
    UINT32 count = ReadBootCounter() + 1;
    EFI_STATUS status = fw::gRT->SetVariable(kBootCounter, &fw::kTestGuid, kVarNvBsRt, sizeof(count), &count);
    fw::Line("boot").Char(' ').Dec(count).Str(" status=").Hex(status).Emit();
    return status;
  }
  if (fw::StrEq(command, "is") && argc == 3) {
    UINT64 wanted = 0;
    if (!fw::ParseDec(gArgs[2], &wanted)) return EFI_INVALID_PARAMETER;
    return ReadBootCounter() == wanted ? EFI_SUCCESS : EFI_NOT_READY;
  }
  if (fw::StrEq(command, "say")) {
    fw::Line line("say");
    for (int i = 2; i < argc; i++) line.Char(' ').Str(gArgs[i]);
    line.Emit();
    return EFI_SUCCESS;
  }
  if (fw::StrEq(command, "exit") && argc == 3) {
    UINT64 code = 0;
    if (!fw::ParseHex(gArgs[2], &code) || code > 0xFF) return EFI_INVALID_PARAMETER;
    fw::Line("exit").Char(' ').Hex(code, 2).Emit();
    fw::PortWrite8(kExitPort, static_cast<UINT8>(code));
    // Still running: there is no exit device.
    fw::Line("error").Str(" fwctl: exit device did not stop the machine").Emit();
    return EFI_DEVICE_ERROR;
  }
  fw::Line("error").Str(" fwctl: bad command ").Str(command).Emit();
  return EFI_INVALID_PARAMETER;
}
