// What the notebook's own firmware adds around the driver, for the Linux
// guest tests in OVMF: a DXE driver dispatched from the volume just before
// BootCtlDxe in every boot.
//
//   - Setup: the notebook's setup stores its defaults when the variable is
//     absent (first boot, or after a factory reset deleted it): 1024 bytes,
//     zero but byte 92 = 0x01, byte 100 = 0x05 and byte 111 = 0x01.
//     "FWT oem setup created status=S" when it does.
//   - Boot option names: the notebook's boot manager calls a USB disk
//     "EFI USB Device (...)" and the network boot "EFI PXE 0 for IPv4 (...)";
//     OVMF's boot manager calls them "UEFI <device>" and "UEFI PXEv4 (...)".
//     At every ready-to-boot (the boot manager has made the options of new
//     devices by then), each such option of BootOrder gets a twin of the
//     notebook's name with the same device path, just before it in BootOrder,
//     unless it has one: "FWT oem added BootXXXX NAME status=S".
// "FWT oem options BootXXXX=NAME,..." lists BootOrder at the start (as the
// driver finds it at End-of-DXE) and after each ready-to-boot.
#include "fwlib.h"

namespace {

const EFI_GUID kGlobalVariableGuid = {
    0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}};
const EFI_GUID kSetupVariableGuid = {
    0xA04A27F4, 0xDF00, 0x4D42, {0xB5, 0x52, 0x39, 0x51, 0x13, 0x02, 0x11, 0x3D}};
constexpr UINT32 kNvBsRt = 7;

CHAR16 kSetupName[] = {'S', 'e', 't', 'u', 'p', 0};
CHAR16 kBootOrderName[] = {'B', 'o', 'o', 't', 'O', 'r', 'd', 'e', 'r', 0};

UINT8 gBuffer[4096];
UINT8 gRenamed[4096];

void CreateSetupDefaults() {
  UINTN size = sizeof(gBuffer);
  EFI_STATUS status =
      fw::gRT->GetVariable(kSetupName, const_cast<EFI_GUID*>(&kSetupVariableGuid), nullptr, &size, gBuffer);
  if (status != EFI_NOT_FOUND) return;
  memset(gBuffer, 0, 1024);
  gBuffer[92] = 0x01;
  gBuffer[100] = 0x05;
  gBuffer[111] = 0x01;
  status =
      fw::gRT->SetVariable(kSetupName, const_cast<EFI_GUID*>(&kSetupVariableGuid), kNvBsRt, 1024, gBuffer);
  fw::Line("oem").Str(" setup created status=").Hex(status).Emit();
}

void OptionName(UINT16 number, CHAR16* name) {
  const char* digits = "0123456789ABCDEF";
  const char* prefix = "Boot";
  for (int i = 0; i < 4; i++) name[i] = static_cast<CHAR16>(prefix[i]);
  for (int i = 0; i < 4; i++) name[4 + i] = static_cast<CHAR16>(digits[(number >> (12 - 4 * i)) & 0xF]);
  name[8] = 0;
}

UINTN WideLen(const CHAR16* text, UINTN max) {
  UINTN n = 0;
  while (n < max && text[n] != 0) n++;
  return n;
}

bool WideStarts(const CHAR16* text, UINTN len, const char* prefix) {
  UINTN i = 0;
  for (; prefix[i] != 0; i++) {
    if (i >= len || text[i] != static_cast<CHAR16>(prefix[i])) return false;
  }
  return true;
}

// Appends ASCII to a UTF-16 buffer.
UINTN PutAscii(CHAR16* out, UINTN at, const char* text) {
  for (UINTN i = 0; text[i] != 0; i++) out[at++] = static_cast<CHAR16>(text[i]);
  return at;
}

UINTN PutWide(CHAR16* out, UINTN at, const CHAR16* text, UINTN len) {
  for (UINTN i = 0; i < len; i++) out[at++] = text[i];
  return at;
}

// The notebook's name for an option OVMF named, or 0 when it keeps its name.
// Writes the new description to `out` and returns its length in characters.
UINTN NotebookName(const CHAR16* desc, UINTN len, CHAR16* out) {
  struct Rule {
    const char* ovmf;
    const char* notebook;
    bool bracket;  // the rest of OVMF's name goes into brackets
  };
  static const Rule kRules[] = {
      {"UEFI PXEv4 ", "EFI PXE 0 for IPv4 ", false},
      {"UEFI PXEv6 ", "EFI PXE 0 for IPv6 ", false},
      {"UEFI QEMU QEMU USB HARDDRIVE", "EFI USB Device (", true},
  };
  for (const Rule& rule : kRules) {
    if (!WideStarts(desc, len, rule.ovmf)) continue;
    UINTN skip = rule.bracket ? 5 : fw::StrLen(rule.ovmf);  // "UEFI " only, when bracketed
    UINTN at = PutAscii(out, 0, rule.notebook);
    at = PutWide(out, at, desc + skip, len - skip);
    if (rule.bracket) at = PutAscii(out, at, ")");
    return at;
  }
  return 0;
}

UINT16 gOrder[256];
UINTN gOrderCount;

bool ReadOrder() {
  UINTN size = sizeof(gOrder);
  if (EFI_ERROR(fw::gRT->GetVariable(kBootOrderName, const_cast<EFI_GUID*>(&kGlobalVariableGuid), nullptr,
                                     &size, gOrder))) {
    gOrderCount = 0;
    return false;
  }
  gOrderCount = size / 2;
  return true;
}

// Reads option `number` into gBuffer; its size, or 0 when it is absent or no
// load option (no terminated description).
UINTN ReadOption(UINT16 number, UINT32* attributes) {
  CHAR16 name[9];
  OptionName(number, name);
  UINTN size = sizeof(gBuffer) - 2;
  if (EFI_ERROR(fw::gRT->GetVariable(name, const_cast<EFI_GUID*>(&kGlobalVariableGuid), attributes, &size,
                                     gBuffer)) ||
      size < 8) {
    return 0;
  }
  const UINTN maxChars = (size - 6) / 2;
  return WideLen(reinterpret_cast<const CHAR16*>(gBuffer + 6), maxChars) < maxChars ? size : 0;
}

bool SameBytes(const UINT8* a, const UINT8* b, UINTN n) {
  for (UINTN i = 0; i < n; i++) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Whether BootOrder already holds an option with this description and path.
bool HasOption(const CHAR16* desc, UINTN descChars, const UINT8* path, UINTN pathSize) {
  static UINT8 saved[sizeof(gBuffer)];
  memcpy(saved, gBuffer, sizeof(gBuffer));
  bool found = false;
  for (UINTN i = 0; i < gOrderCount && !found; i++) {
    UINT32 attributes = 0;
    const UINTN size = ReadOption(gOrder[i], &attributes);
    const UINTN want = 6 + 2 * (descChars + 1) + pathSize;
    found = size >= want &&
            SameBytes(gBuffer + 6, reinterpret_cast<const UINT8*>(desc), 2 * (descChars + 1)) &&
            SameBytes(gBuffer + 6 + 2 * (descChars + 1), path, pathSize);
  }
  memcpy(gBuffer, saved, sizeof(gBuffer));
  return found;
}

// The lowest option number no variable uses.
bool FreeNumber(UINT16* number) {
  for (UINT32 n = 0; n <= 0xFFFF; n++) {
    CHAR16 name[9];
    OptionName(static_cast<UINT16>(n), name);
    UINTN size = 0;
    if (fw::gRT->GetVariable(name, const_cast<EFI_GUID*>(&kGlobalVariableGuid), nullptr, &size, nullptr) ==
        EFI_NOT_FOUND) {
      *number = static_cast<UINT16>(n);
      return true;
    }
  }
  return false;
}

// For each option OVMF named after a USB disk or a PXE boot, an option of the
// notebook's name with the same device path, just before it in BootOrder.
// OVMF's boot manager keeps its own options (it deletes and remakes one whose
// description changed), so the notebook's stand beside them, stable.
void AddNotebookOptions() {
  if (!ReadOrder()) return;
  for (UINTN i = 0; i < gOrderCount; i++) {
    UINT32 attributes = 0;
    const UINTN size = ReadOption(gOrder[i], &attributes);
    if (size == 0) continue;
    const CHAR16* desc = reinterpret_cast<const CHAR16*>(gBuffer + 6);
    const UINTN len = WideLen(desc, (size - 6) / 2);
    const UINT16 pathSize = static_cast<UINT16>(gBuffer[4] | gBuffer[5] << 8);
    const UINT8* path = gBuffer + 6 + 2 * (len + 1);
    if (path + pathSize > gBuffer + size) continue;
    CHAR16* newDesc = reinterpret_cast<CHAR16*>(gRenamed + 6);
    const UINTN newLen = NotebookName(desc, len, newDesc);
    if (newLen == 0) continue;
    newDesc[newLen] = 0;
    // The twin is built whole before the search, which reads into gBuffer.
    UINT8* newPath = gRenamed + 6 + 2 * (newLen + 1);
    if (newPath + pathSize > gRenamed + sizeof(gRenamed)) continue;
    memcpy(newPath, path, pathSize);
    gRenamed[0] = 1;  // attributes: active; no optional data
    gRenamed[1] = gRenamed[2] = gRenamed[3] = 0;
    gRenamed[4] = static_cast<UINT8>(pathSize);
    gRenamed[5] = static_cast<UINT8>(pathSize >> 8);
    if (HasOption(newDesc, newLen, newPath, pathSize) || gOrderCount >= 255) continue;
    UINT16 number = 0;
    if (!FreeNumber(&number)) return;
    CHAR16 name[9];
    OptionName(number, name);
    EFI_STATUS status = fw::gRT->SetVariable(name, const_cast<EFI_GUID*>(&kGlobalVariableGuid), kNvBsRt,
                                             6 + 2 * (newLen + 1) + pathSize, gRenamed);
    if (!EFI_ERROR(status)) {
      for (UINTN j = gOrderCount; j > i; j--) gOrder[j] = gOrder[j - 1];
      gOrder[i] = number;
      gOrderCount++;
      i++;  // past the twin
      status = fw::gRT->SetVariable(kBootOrderName, const_cast<EFI_GUID*>(&kGlobalVariableGuid), kNvBsRt,
                                    gOrderCount * 2, gOrder);
    }
    fw::Line("oem").Str(" added ").Wide(name).Str(" ").Wide(newDesc).Str(" status=").Hex(status).Emit();
  }
}

void ListOptions() {
  if (!ReadOrder()) {
    fw::Line("oem").Str(" options none").Emit();
    return;
  }
  fw::Line list("oem");
  list.Str(" options");
  for (UINTN i = 0; i < gOrderCount; i++) {
    CHAR16 name[9];
    OptionName(gOrder[i], name);
    UINT32 attributes = 0;
    if (ReadOption(gOrder[i], &attributes) == 0) continue;
    list.Str(i == 0 ? " " : ",").Wide(name).Str("=").Wide(reinterpret_cast<const CHAR16*>(gBuffer + 6));
  }
  list.Emit();
}

const EFI_GUID kReadyToBootGroup = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};

void EFIAPI OnReadyToBoot(EFI_EVENT, void*) {
  fw::Line("oem").Str(" ready-to-boot").Emit();
  AddNotebookOptions();
  ListOptions();
}

}  // namespace

extern "C" EFI_STATUS EFIAPI OemPlatformEntry(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  fw::Init(image, systemTable);
  CreateSetupDefaults();
  ListOptions();
  // The boot manager makes the options of new devices after End-of-DXE; the
  // notebook adds its own before it starts one.
  EFI_EVENT event = nullptr;
  return fw::gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnReadyToBoot, nullptr, &kReadyToBootGroup,
                                &event);
}
