// Platform stand-in: a boot-service driver loaded before the driver under
// test. It publishes what the notebook's firmware provides and OVMF lacks,
// and watches what the driver does through the firmware's own services.
//
// Published:
//   - the platform hook protocol, whose factory-reset hook prints
//     "FWT hook factory-reset" and the watched variables, then succeeds;
//   - the boot-option purge idle marker (a protocol with no interface);
//   - the debug-message protocol: each message becomes "FWT dbg level=L TEXT"
//     (the format expanded, line ends dropped);
//   - the PCD tokens of the S3 libraries (see "PCD" below), and the comm
//     buffer that the chipset S3 save library hands its table over in.
// Watched:
//   - installs of the purge idle and busy markers: "FWT marker installed=X
//     idle=N busy=M" and the watched variables at that moment (the stand-in's
//     own install of the idle marker ends its line with " by=standin");
//   - platform resets through the firmware's reset notification protocol:
//     "FWT reset type=cold|warm|shutdown|..." and the watched variables as
//     the reset starts, then a snapshot of the whole variable store;
//   - LocateProtocol of the protocols the driver's constructors and handlers
//     look for: "FWT locate NAME status=S" (boot services' LocateProtocol is
//     wrapped; the call itself is passed on unchanged);
//   - installs of the list-anchor, heap-buffer list and DXE SMM ready-to-lock
//     protocols: "FWT protocol installed=NAME ..." with what the interface
//     holds.
//
// The shell's load command takes no arguments for the image, so the watched
// variables are named in the volatile variable FwTestWatch (test GUID): ASCII
// "NAME:GUID,NAME:GUID,..." (GUIDs as dumpvars takes them); absent, none.
// The S3 options come from the volatile variable FwTestS3 (test GUID): ASCII
// "KEY=HEX,..." with keys comm (1: provide the comm buffer, the default; 0:
// leave PCD 0x27001 at 0), size (the value of PCD 0x27003, default 0) and
// fail (a mask of the S3 PCD writes the stand-in refuses: 1 bs-record,
// 2 cs-record, 4 cs-table; default 0), and
// lock (0: withdraw the DXE SMM ready-to-lock protocol that OVMF installed
// before the shell, so the driver loads as it does when the DXE dispatcher
// runs it, before that point; 1, the default: leave it).
// Each published service is one entry of kServices, so the stand-in grows by
// adding entries as the driver comes to need more of the platform.
#include "fwlib.h"

#ifdef STANDIN_SCRIPT_TABLE
#include "s3/lockbox.h"
#endif

namespace {

const EFI_GUID kPlatformHookProtocolGuid = {
    0x14AFC99E, 0xE23E, 0x11E1, {0xA2, 0x34, 0xD0, 0xDF, 0x9A, 0x35, 0xC1, 0x06}};
const EFI_GUID kPurgeIdleMarkerGuid = {
    0x6F2F4E41, 0x0710, 0x4AB1, {0x8C, 0xDF, 0x2C, 0xD1, 0x5C, 0x23, 0x46, 0xEA}};
const EFI_GUID kPurgeBusyMarkerGuid = {
    0xCC5B20B9, 0xDA0A, 0x4164, {0x83, 0xFE, 0x04, 0xBF, 0x08, 0x02, 0xF2, 0x50}};
const EFI_GUID kResetNotificationProtocolGuid = {
    0x9DA34AE0, 0xEAF9, 0x4BBF, {0x8E, 0xC3, 0xFD, 0x60, 0x22, 0x6C, 0x44, 0xBE}};

typedef void(EFIAPI* EFI_RESET_SYSTEM)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                                       const void* ResetData);

struct EFI_RESET_NOTIFICATION_PROTOCOL {
  EFI_STATUS(EFIAPI* RegisterResetNotify)
  (EFI_RESET_NOTIFICATION_PROTOCOL* This, EFI_RESET_SYSTEM ResetFunction);
  EFI_STATUS(EFIAPI* UnregisterResetNotify)
  (EFI_RESET_NOTIFICATION_PROTOCOL* This, EFI_RESET_SYSTEM ResetFunction);
};

// The part of the platform hook interface the driver relies on: the length
// at offset 0 and the factory-reset hook's address at offset 120.
struct PlatformHookInterface {
  UINT32 Length;
  UINT8 Other[116];
  EFI_STATUS(EFIAPI* FactoryResetHook)(void);
};
static_assert(offsetof(PlatformHookInterface, FactoryResetHook) == 120, "hook offset");
static_assert(sizeof(PlatformHookInterface) == 128, "hook interface length");

constexpr int kMaxWatched = 24;
constexpr UINTN kMaxName = 64;

CHAR16 gWatchedNames[kMaxWatched][kMaxName];
EFI_GUID gWatchedGuids[kMaxWatched];
int gWatchedCount;
char gConfig[1024];

void DumpWatched(const char* tag) {
  for (int i = 0; i < gWatchedCount; i++) {
    fw::DumpVariable(tag, gWatchedNames[i], gWatchedGuids[i]);
  }
}

UINTN CountHandles(const EFI_GUID* protocol) {
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  if (EFI_ERROR(fw::gBS->LocateHandleBuffer(ByProtocol, protocol, nullptr, &count, &handles))) {
    return 0;
  }
  fw::Free(handles);
  return count;
}

// ---- platform hook

UINTN gHookCalls;

EFI_STATUS EFIAPI FactoryResetHook(void) {
  gHookCalls++;
  fw::Line("hook").Str(" factory-reset call=").Dec(gHookCalls).Emit();
  DumpWatched("hook");
  return EFI_SUCCESS;
}

PlatformHookInterface gPlatformHook = {sizeof(PlatformHookInterface), {}, FactoryResetHook};

EFI_STATUS PublishPlatformHook() {
  EFI_HANDLE handle = nullptr;
  return fw::gBS->InstallProtocolInterface(&handle, &kPlatformHookProtocolGuid, EFI_NATIVE_INTERFACE,
                                           &gPlatformHook);
}

// ---- purge markers

// Set while the stand-in installs the idle marker itself, so its own install
// is told apart from the driver's.
bool gPublishingIdle;

EFI_STATUS PublishIdleMarker() {
  EFI_HANDLE handle = nullptr;
  gPublishingIdle = true;
  EFI_STATUS status =
      fw::gBS->InstallProtocolInterface(&handle, &kPurgeIdleMarkerGuid, EFI_NATIVE_INTERFACE, nullptr);
  gPublishingIdle = false;
  return status;
}

void EFIAPI OnMarkerInstalled(EFI_EVENT, void* context) {
  const char* which = static_cast<const char*>(context);
  fw::Line line("marker");
  line.Str(" installed=").Str(which);
  line.Str(" idle=")
      .Dec(CountHandles(&kPurgeIdleMarkerGuid))
      .Str(" busy=")
      .Dec(CountHandles(&kPurgeBusyMarkerGuid));
  if (gPublishingIdle) {
    line.Str(" by=standin").Emit();
    return;
  }
  line.Emit();
  DumpWatched(which);
}

EFI_STATUS WatchMarker(const EFI_GUID* guid, const char* name) {
  EFI_EVENT event = nullptr;
  EFI_STATUS status = fw::gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnMarkerInstalled,
                                           const_cast<char*>(name), &event);
  if (EFI_ERROR(status)) return status;
  void* registration = nullptr;
  return fw::gBS->RegisterProtocolNotify(guid, event, &registration);
}

EFI_STATUS WatchMarkers() {
  EFI_STATUS status = WatchMarker(&kPurgeIdleMarkerGuid, "idle");
  return EFI_ERROR(status) ? status : WatchMarker(&kPurgeBusyMarkerGuid, "busy");
}

// ---- resets

void EFIAPI OnReset(EFI_RESET_TYPE type, EFI_STATUS, UINTN, const void*) {
  static const char* const kNames[] = {"cold", "warm", "shutdown", "platform-specific"};
  const EFI_TPL tpl = fw::gBS->RaiseTPL(TPL_HIGH_LEVEL);
  fw::gBS->RestoreTPL(tpl);
  fw::Line("reset")
      .Str(" type=")
      .Str(type <= EfiResetPlatformSpecific ? kNames[type] : "unknown")
      .Str(" tpl=")
      .Dec(tpl)
      .Emit();
  // The variable services may be used up to TPL_NOTIFY.
  if (tpl <= TPL_NOTIFY) {
    DumpWatched("reset");
    fw::SnapshotVariables("reset");
  }
}

EFI_STATUS WatchResets() {
  EFI_RESET_NOTIFICATION_PROTOCOL* notification = nullptr;
  EFI_STATUS status = fw::gBS->LocateProtocol(&kResetNotificationProtocolGuid, nullptr,
                                              reinterpret_cast<void**>(&notification));
  if (EFI_ERROR(status)) return status;
  return notification->RegisterResetNotify(notification, OnReset);
}

// ---- debug messages

const EFI_GUID kDebugMessageProtocolGuid = {
    0x669ED5B1, 0x49A3, 0x4C59, {0x9D, 0x2D, 0x04, 0x32, 0xAD, 0x6C, 0xDB, 0x61}};

// The message function: level, ASCII format, and the first of the 8-byte
// argument slots that follow the format in the caller's frame.
struct DebugMessageInterface {
  EFI_STATUS(EFIAPI* Message)(UINT64 level, const char* format, const UINT64* arguments);
};

void PutNumber(fw::Line& line, UINT64 value, int base, bool upper, UINTN width, char pad) {
  char digits[24];
  UINTN n = 0;
  do {
    const UINT64 d = value % base;
    digits[n++] = static_cast<char>(d < 10 ? '0' + d : (upper ? 'A' : 'a') + d - 10);
    value /= base;
  } while (value != 0);
  for (; width > n; width--) line.Char(pad);
  while (n > 0) line.Char(digits[--n]);
}

// Expands the conversions the platform's message formats use: %x %X %u %d
// %i %p %c %a (ASCII string) %s (UTF-16 string) %%, with a 0 flag, a width
// and l/ll. Without l a number is 32 bits wide, as the firmware's print
// functions take it. Anything else is copied as it stands.
EFI_STATUS EFIAPI DebugMessageFn(UINT64 level, const char* format, const UINT64* arguments) {
  fw::Line line("dbg");
  line.Str(" level=").Hex(level).Char(' ');
  for (const char* p = format; p != nullptr && *p != 0; p++) {
    if (*p == '\n' || *p == '\r') continue;
    if (*p != '%') {
      line.Char(*p);
      continue;
    }
    const char* start = p++;
    char pad = ' ';
    if (*p == '0') {
      pad = '0';
      p++;
    }
    UINTN width = 0;
    while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    bool wide = false;
    while (*p == 'l') {
      wide = true;
      p++;
    }
    switch (*p) {
      case 'x':
      case 'X':
      case 'u': {
        const UINT64 v = *arguments++;
        PutNumber(line, wide ? v : static_cast<UINT32>(v), *p == 'u' ? 10 : 16, *p == 'X', width, pad);
        break;
      }
      case 'd':
      case 'i': {
        const UINT64 raw = *arguments++;
        const INT64 v = wide ? static_cast<INT64>(raw) : static_cast<INT32>(raw);
        if (v < 0) line.Char('-');
        PutNumber(line, v < 0 ? 0 - static_cast<UINT64>(v) : static_cast<UINT64>(v), 10, false, width, pad);
        break;
      }
      case 'p':
        PutNumber(line, *arguments++, 16, true, 16, '0');
        break;
      case 'c':
        line.Char(static_cast<char>(*arguments++));
        break;
      case 'a': {
        const char* text = reinterpret_cast<const char*>(*arguments++);
        line.Str(text != nullptr ? text : "(null)");
        break;
      }
      case 's': {
        const CHAR16* text = reinterpret_cast<const CHAR16*>(*arguments++);
        if (text != nullptr) line.Wide(text);
        break;
      }
      case '%':
        line.Char('%');
        break;
      default:
        for (; start <= p && *start != 0; start++) line.Char(*start);
        if (*p == 0) p--;
        break;
    }
  }
  line.Emit();
  return EFI_SUCCESS;
}

DebugMessageInterface gDebugMessage = {DebugMessageFn};

EFI_STATUS PublishDebugMessage() {
  EFI_HANDLE handle = nullptr;
  return fw::gBS->InstallProtocolInterface(&handle, &kDebugMessageProtocolGuid, EFI_NATIVE_INTERFACE,
                                           &gDebugMessage);
}

// ---- PCD
//
// OVMF's PCD driver does not know the S3 libraries' token spaces, and a
// dynamic-ex token it does not know is a fault there. The stand-in answers
// those two spaces from its own store and passes every other request to
// OVMF's protocol: it puts a copy of OVMF's member table, with the members
// for these spaces replaced, in place of OVMF's interface on the same handle
// (ReinstallProtocolInterface). LocateProtocol returns the first instance
// installed for a protocol, so a second instance on a new handle would never
// be found; the reinstall is what makes the driver see the wrapper. Modules
// that located OVMF's interface before keep using it unchanged.
//
// Every read and write of the S3 tokens, and a write of the flash selector,
// is printed: "FWT pcd get NAME=VALUE"
// and "FWT pcd set NAME=VALUE status=S". The tokens are 64-bit; any other
// width used on them is reported as an error.

struct PcdToken {
  const EFI_GUID* space;
  UINTN token;
  const char* name;
  UINT64 value;
};

// The flash libraries' spaces: the flash device map's address (a map the
// stand-in publishes), and the flash device list. By default that list holds
// only the selector: no device is listed, so identification touches no
// hardware. The volatile variable FwTestFlash (test GUID, ASCII) lists SPI
// devices, so that identification runs and probes the FCH SPI controller,
// the FCH registers and the host bridge's lock window:
//   "id"    token 5, an SPI part with the 3-byte identification EF 40 18,
//           then token 6, one whose identification reads 00 00 00;
//   "sfdp"  only the generic entry 0x12345678 (identified by SFDP).
// Each device token has a 16-byte entry and a 40-byte parameter value; the
// information spaces stay empty. A read of a listed value is printed:
// "FWT pcd get flash-device|flash-param token=T size=N".
const EFI_GUID kFdmPcdSpace = {0xC51F1883, 0xDF00, 0x4F6A, {0x08, 0xA0, 0x36, 0x9F, 0x60, 0x98, 0xFD, 0xAF}};
const EFI_GUID kFlashDevicePcdSpace = {
    0xCBDEF572, 0x719D, 0x426E, {0x8A, 0x43, 0x75, 0xAE, 0x91, 0x3C, 0xFF, 0xB2}};
const EFI_GUID kFlashParamPcdSpace = {
    0xEC17A54E, 0xFEC1, 0x431B, {0xAD, 0x9C, 0xB4, 0xF0, 0xBC, 0x6E, 0x2E, 0x56}};
const EFI_GUID kFlashInfo1PcdSpace = {
    0x2F779836, 0x610C, 0x4615, {0xA4, 0x62, 0x54, 0xE7, 0x3E, 0xF1, 0x61, 0x92}};
const EFI_GUID kFlashInfo2PcdSpace = {
    0xE9A68F2A, 0x13F1, 0x4505, {0xB6, 0xA1, 0xE1, 0x82, 0x18, 0x8A, 0xC4, 0x9A}};

constexpr UINTN kFlashSelectorToken = 0x20000001;

bool FlashSpace(const EFI_GUID* space) {
  return fw::GuidEq(*space, kFdmPcdSpace) || fw::GuidEq(*space, kFlashDevicePcdSpace) ||
         fw::GuidEq(*space, kFlashParamPcdSpace) || fw::GuidEq(*space, kFlashInfo1PcdSpace) ||
         fw::GuidEq(*space, kFlashInfo2PcdSpace);
}

struct FlashDeviceValue {
  UINTN token;
  UINT32 id;  // the identification the entry expects
};

const FlashDeviceValue kIdDevices[] = {{5, 0x001840EF}, {6, 0x00000000}};
const FlashDeviceValue kSfdpDevices[] = {{0x12345678, 0x12345678}};

// Every listed device is an SPI part (kind 3) of 16 MiB (size factors 0x100
// and 0x100); bytes 4..7 of the entry are the identification, filled in when
// the entry is read. The parameters: read-identification opcode 0x9F, erase
// opcode 0x20, three identification bytes (byte 20), erase block 0x1000
// (bytes 32..35).
UINT8 gDeviceEntry[16] = {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x01};
UINT8 gDeviceParams[40] = {0, 0, 0, 0, 0x9F, 0x20, 0, 0, 0, 0, 0, 0, 0, 0,    0, 0, 0, 0, 0, 0,
                           3, 0, 0, 0, 0,    0,    0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0};
const FlashDeviceValue* gFlashDevices;
UINTN gFlashDeviceCount;

const FlashDeviceValue* FindFlashDevice(UINTN token) {
  for (UINTN i = 0; i < gFlashDeviceCount; i++) {
    if (gFlashDevices[i].token == token) return &gFlashDevices[i];
  }
  return nullptr;
}

// The listed value of a device or parameter token, with its size; null for
// any other space or token.
const UINT8* FlashDeviceBytes(const EFI_GUID* space, UINTN token, UINTN* size) {
  const FlashDeviceValue* d = FindFlashDevice(token);
  if (d == nullptr) return nullptr;
  if (fw::GuidEq(*space, kFlashDevicePcdSpace)) {
    for (int i = 0; i < 4; i++) gDeviceEntry[4 + i] = static_cast<UINT8>(d->id >> (8 * i));
    *size = sizeof(gDeviceEntry);
    return gDeviceEntry;
  }
  if (fw::GuidEq(*space, kFlashParamPcdSpace)) {
    *size = sizeof(gDeviceParams);
    return gDeviceParams;
  }
  return nullptr;
}

char gFlashConfig[16];

bool ReadFlashOption() {
  UINTN size = sizeof(gFlashConfig) - 1;
  const EFI_STATUS status =
      fw::gRT->GetVariable(u"FwTestFlash", &fw::kTestGuid, nullptr, &size, gFlashConfig);
  if (status == EFI_NOT_FOUND) return true;
  if (EFI_ERROR(status)) return false;
  gFlashConfig[size] = 0;
  if (fw::StrEq(gFlashConfig, "id")) {
    gFlashDevices = kIdDevices;
    gFlashDeviceCount = sizeof(kIdDevices) / sizeof(kIdDevices[0]);
  } else if (fw::StrEq(gFlashConfig, "sfdp")) {
    gFlashDevices = kSfdpDevices;
    gFlashDeviceCount = sizeof(kSfdpDevices) / sizeof(kSfdpDevices[0]);
  } else {
    return false;
  }
  return true;
}

// A flash device map with the three areas the driver looks up: the first
// area at offset 0x1000, a firmware volume at offset 0 whose header (in this
// buffer) gives a header length of 0x48, and the firmware-information area
// at offset 0x2000, 0x200 bytes (see BuildFirmwareInfo).
alignas(8) UINT8 gFlashImage[0x3000];
alignas(8) UINT8 gFlashMap[28 + 3 * 52];
constexpr UINTN kFirmwareInfoOffset = 0x2000;
constexpr UINTN kFirmwareInfoSize = 0x200;

// The firmware-information area: build date 2024-05-17 and time 13:45:09 in
// BCD at 0x06 and 0x0A, and the three identification texts the boot
// manager's strings 13, 14 and 15 are replaced with: the version at 0x0E,
// the model at 0x27, the third text at 0x41.
const char kFirmwareVersionText[] = "FWTEST.V1.2.3";
const char kFirmwareModelText[] = "FWT-MODEL 7";
const char kFirmwareThirdText[] = "07.08.09";

void BuildFirmwareInfo(UINT8* area) {
  const UINT8 date[3] = {0x24, 0x05, 0x17};
  const UINT8 time[3] = {0x13, 0x45, 0x09};
  for (int i = 0; i < 3; i++) {
    area[0x06 + i] = date[i];
    area[0x0A + i] = time[i];
  }
  const struct {
    UINTN offset;
    const char* text;
  } texts[3] = {{0x0E, kFirmwareVersionText}, {0x27, kFirmwareModelText}, {0x41, kFirmwareThirdText}};
  for (const auto& t : texts) {
    for (UINTN i = 0; t.text[i] != 0; i++) area[t.offset + i] = static_cast<UINT8>(t.text[i]);
  }
}

void BuildFlashMap() {
  const UINT8 firstArea[16] = {0xA2, 0xAC, 0xDD, 0xD9, 0x16, 0x08, 0xF3, 0x48,
                               0xAD, 0xED, 0x6B, 0x71, 0x65, 0x6B, 0x24, 0x8A};
  const UINT8 volume[16] = {0x74, 0x53, 0x3C, 0x77, 0xD1, 0x81, 0x43, 0x4D,
                            0xB2, 0x93, 0xF3, 0xD7, 0x4F, 0x18, 0x1D, 0x6B};
  const UINT8 firmwareInfo[16] = {0xFC, 0x5D, 0x41, 0x32, 0x06, 0xD1, 0xC7, 0x48,
                                  0x9E, 0xB5, 0x80, 0x6C, 0x11, 0x4D, 0xD1, 0x07};
  UINT8* m = gFlashMap;
  auto put32 = [](UINT8* at, UINT32 v) {
    for (int i = 0; i < 4; i++) at[i] = static_cast<UINT8>(v >> (8 * i));
  };
  auto put64 = [](UINT8* at, UINT64 v) {
    for (int i = 0; i < 8; i++) at[i] = static_cast<UINT8>(v >> (8 * i));
  };
  m[0] = 'H', m[1] = 'F', m[2] = 'D', m[3] = 'M';
  put32(m + 4, sizeof(gFlashMap));
  put32(m + 8, 28);
  put32(m + 12, 52);
  put64(m + 20, reinterpret_cast<UINTN>(gFlashImage));
  const struct {
    const UINT8* type;
    UINT64 offset, size;
  } entries[3] = {{firstArea, 0x1000, 0x1000},
                  {volume, 0, 0x1000},
                  {firmwareInfo, kFirmwareInfoOffset, kFirmwareInfoSize}};
  for (int i = 0; i < 3; i++) {
    UINT8* e = m + 28 + 52 * i;
    for (int b = 0; b < 16; b++) e[b] = entries[i].type[b];
    put64(e + 32, entries[i].offset);
    put64(e + 40, entries[i].size);
  }
  UINT8 sum = 0;
  for (int i = 0; i < 28; i++) sum = static_cast<UINT8>(sum + m[i]);
  m[16] = static_cast<UINT8>(0 - sum);
  gFlashImage[0x30] = 0x48;
  BuildFirmwareInfo(gFlashImage + kFirmwareInfoOffset);
}

PcdToken gPcdTokens[] = {
    {&fw::kBootScriptPcdSpace, 0x30000, "bs-record", 0},
    {&fw::kBootScriptPcdSpace, 0x30001, "bs-smm-record", 0},
    {&fw::kChipsetS3PcdSpace, 0x27000, "cs-record", 0},
    {&fw::kChipsetS3PcdSpace, 0x27001, "cs-comm-buffer", 0},
    {&fw::kChipsetS3PcdSpace, 0x27002, "cs-table", 0},
    {&fw::kChipsetS3PcdSpace, 0x27003, "cs-table-size", 0},
    {&kFdmPcdSpace, 0x30000017, "fdm-map", 0},
    {&kFlashDevicePcdSpace, 0x20000001, "flash-selector", 0},
};

fw::PiPcdProtocol* gOvmfPcd;
fw::PiPcdProtocol gPcdWrapper;

bool OwnSpace(const EFI_GUID* space) {
  return space != nullptr && (fw::GuidEq(*space, fw::kBootScriptPcdSpace) ||
                              fw::GuidEq(*space, fw::kChipsetS3PcdSpace) || FlashSpace(space));
}

PcdToken* FindToken(const EFI_GUID* space, UINTN token) {
  for (PcdToken& t : gPcdTokens) {
    if (fw::GuidEq(*t.space, *space) && t.token == token) return &t;
  }
  return nullptr;
}

void PcdMisuse(const char* member, const EFI_GUID* space, UINTN token) {
  fw::Line("error")
      .Str(" standin: PCD ")
      .Str(member)
      .Str(" on ")
      .Guid(*space)
      .Str(" token ")
      .Hex(token)
      .Emit();
}

UINT64 EFIAPI PcdGet64(const EFI_GUID* space, UINTN token) {
  if (!OwnSpace(space)) return gOvmfPcd->Get64(space, token);
  PcdToken* t = FindToken(space, token);
  if (t == nullptr) {
    PcdMisuse("Get64 of an unknown token", space, token);
    return 0;
  }
  if (!FlashSpace(space)) fw::Line("pcd").Str(" get ").Str(t->name).Str("=").Hex(t->value).Emit();
  return t->value;
}

// The FwTestS3 option fail (see ReadS3Options).
UINT64 gOptionFail = 0;

EFI_STATUS EFIAPI PcdSet64(const EFI_GUID* space, UINTN token, UINT64 value) {
  if (!OwnSpace(space)) return gOvmfPcd->Set64(space, token, value);
  PcdToken* t = FindToken(space, token);
  if (t == nullptr) {
    PcdMisuse("Set64 of an unknown token", space, token);
    return EFI_NOT_FOUND;
  }
  // fail=MASK: the S3 libraries' PCD writes that are refused (1 bs-record,
  // 2 cs-record, 4 cs-table), so that their constructor fails.
  static const char* const kFailing[] = {"bs-record", "cs-record", "cs-table"};
  for (UINTN i = 0; i < 3; i++) {
    if ((gOptionFail >> i & 1) != 0 && fw::StrEq(t->name, kFailing[i])) {
      fw::Line("pcd")
          .Str(" set ")
          .Str(t->name)
          .Str("=")
          .Hex(value)
          .Str(" status=")
          .Hex(EFI_OUT_OF_RESOURCES)
          .Emit();
      return EFI_OUT_OF_RESOURCES;
    }
  }
  t->value = value;
  fw::Line("pcd").Str(" set ").Str(t->name).Str("=").Hex(value).Str(" status=0").Emit();
  return EFI_SUCCESS;
}

UINTN EFIAPI PcdGetSize(const EFI_GUID* space, UINTN token) {
  if (!OwnSpace(space)) return gOvmfPcd->GetSize(space, token);
  UINTN size = 0;
  if (FlashDeviceBytes(space, token, &size) != nullptr) return size;
  return FindToken(space, token) != nullptr ? sizeof(UINT64) : 0;
}

// Token 0 asks for the first token of the space; after the last one the
// answer is 0.
EFI_STATUS EFIAPI PcdGetNextToken(const EFI_GUID* space, UINTN* token) {
  if (!OwnSpace(space)) return gOvmfPcd->GetNextToken(space, token);
  if (fw::GuidEq(*space, kFlashDevicePcdSpace) && gFlashDeviceCount > 0) {
    // The selector, then the listed devices in their order.
    bool take = *token == 0;
    if (take) {
      *token = kFlashSelectorToken;
      return EFI_SUCCESS;
    }
    take = *token == kFlashSelectorToken;
    for (UINTN i = 0; i < gFlashDeviceCount; i++) {
      if (take) {
        *token = gFlashDevices[i].token;
        return EFI_SUCCESS;
      }
      take = gFlashDevices[i].token == *token;
    }
    if (!take) return EFI_NOT_FOUND;
    *token = 0;
    return EFI_SUCCESS;
  }
  bool take = *token == 0;
  for (const PcdToken& t : gPcdTokens) {
    if (!fw::GuidEq(*t.space, *space)) continue;
    if (take) {
      *token = t.token;
      return EFI_SUCCESS;
    }
    take = t.token == *token;
  }
  if (!take) return EFI_NOT_FOUND;
  *token = 0;
  return EFI_SUCCESS;
}

// The other widths: passed on for OVMF's spaces, an error on ours.
UINT8 EFIAPI PcdGet8(const EFI_GUID* space, UINTN token) {
  if (!OwnSpace(space)) return gOvmfPcd->Get8(space, token);
  PcdMisuse("Get8", space, token);
  return 0;
}
UINT16 EFIAPI PcdGet16(const EFI_GUID* space, UINTN token) {
  if (!OwnSpace(space)) return gOvmfPcd->Get16(space, token);
  PcdMisuse("Get16", space, token);
  return 0;
}
UINT32 EFIAPI PcdGet32(const EFI_GUID* space, UINTN token) {
  if (!OwnSpace(space)) return gOvmfPcd->Get32(space, token);
  PcdToken* t = FlashSpace(space) ? FindToken(space, token) : nullptr;
  if (t == nullptr) {
    PcdMisuse("Get32", space, token);
    return 0;
  }
  return static_cast<UINT32>(t->value);
}
// Flash device and parameter values as listed; anything else is absent.
void* EFIAPI PcdGetPtr(const EFI_GUID* space, UINTN token) {
  if (!OwnSpace(space)) return gOvmfPcd->GetPtr(space, token);
  UINTN size = 0;
  if (const UINT8* bytes = FlashDeviceBytes(space, token, &size)) {
    fw::Line("pcd")
        .Str(fw::GuidEq(*space, kFlashDevicePcdSpace) ? " get flash-device" : " get flash-param")
        .Str(" token=")
        .Hex(token)
        .Str(" size=")
        .Dec(size)
        .Emit();
    return const_cast<UINT8*>(bytes);
  }
  if (FlashSpace(space) && FindToken(space, token) == nullptr) {
    return nullptr;
  }
  PcdMisuse("GetPtr", space, token);
  return nullptr;
}
BOOLEAN EFIAPI PcdGetBool(const EFI_GUID* space, UINTN token) {
  if (!OwnSpace(space)) return gOvmfPcd->GetBool(space, token);
  PcdMisuse("GetBool", space, token);
  return 0;
}
EFI_STATUS EFIAPI PcdSet8(const EFI_GUID* space, UINTN token, UINT8 value) {
  if (!OwnSpace(space)) return gOvmfPcd->Set8(space, token, value);
  PcdMisuse("Set8", space, token);
  return EFI_INVALID_PARAMETER;
}
EFI_STATUS EFIAPI PcdSet16(const EFI_GUID* space, UINTN token, UINT16 value) {
  if (!OwnSpace(space)) return gOvmfPcd->Set16(space, token, value);
  PcdMisuse("Set16", space, token);
  return EFI_INVALID_PARAMETER;
}
EFI_STATUS EFIAPI PcdSet32(const EFI_GUID* space, UINTN token, UINT32 value) {
  if (!OwnSpace(space)) return gOvmfPcd->Set32(space, token, value);
  PcdToken* t = FlashSpace(space) ? FindToken(space, token) : nullptr;
  if (t == nullptr) {
    PcdMisuse("Set32", space, token);
    return EFI_INVALID_PARAMETER;
  }
  t->value = value;
  fw::Line("pcd").Str(" set ").Str(t->name).Str("=").Hex(value).Str(" status=0").Emit();
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI PcdSetPtr(const EFI_GUID* space, UINTN token, UINTN* size, void* buffer) {
  if (!OwnSpace(space)) return gOvmfPcd->SetPtr(space, token, size, buffer);
  PcdMisuse("SetPtr", space, token);
  return EFI_INVALID_PARAMETER;
}
EFI_STATUS EFIAPI PcdSetBool(const EFI_GUID* space, UINTN token, BOOLEAN value) {
  if (!OwnSpace(space)) return gOvmfPcd->SetBool(space, token, value);
  PcdMisuse("SetBool", space, token);
  return EFI_INVALID_PARAMETER;
}

// S3 options from FwTestS3.
UINT64 gOptionComm = 1;
UINT64 gOptionSize = 0;
UINT64 gOptionLock = 1;
char gS3Config[256];

bool ReadS3Options() {
  UINTN size = sizeof(gS3Config) - 1;
  const EFI_STATUS status = fw::gRT->GetVariable(u"FwTestS3", &fw::kTestGuid, nullptr, &size, gS3Config);
  if (status == EFI_NOT_FOUND) return true;
  if (EFI_ERROR(status)) return false;
  gS3Config[size] = 0;
  const char* p = gS3Config;
  while (*p != 0) {
    UINT64* option = nullptr;
    if (fw::StartsWith(p, "comm=")) {
      option = &gOptionComm;
    } else if (fw::StartsWith(p, "size=")) {
      option = &gOptionSize;
    } else if (fw::StartsWith(p, "lock=")) {
      option = &gOptionLock;
    } else if (fw::StartsWith(p, "fail=")) {
      option = &gOptionFail;
    } else {
      return false;
    }
    p += 5;
    if (!fw::ParseHex(p, option, &p)) return false;
    if (*p == ',') {
      p++;
    } else if (*p != 0) {
      return false;
    }
  }
  return true;
}

// The chipset S3 save library builds its 40-byte hand-over message in this
// buffer. It is larger than the message and filled with 0xA5 so that a dump
// shows exactly which bytes the library wrote.
constexpr UINTN kCommBufferSize = 64;

EFI_STATUS WrapPcd() {
  if (!ReadS3Options()) {
    fw::Line("error").Str(" standin: bad FwTestS3").Emit();
    return EFI_INVALID_PARAMETER;
  }
  if (!ReadFlashOption()) {
    fw::Line("error").Str(" standin: bad FwTestFlash").Emit();
    return EFI_INVALID_PARAMETER;
  }
  EFI_STATUS status =
      fw::gBS->LocateProtocol(&fw::kPcdProtocolGuid, nullptr, reinterpret_cast<void**>(&gOvmfPcd));
  if (EFI_ERROR(status)) return status;
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  status = fw::gBS->LocateHandleBuffer(ByProtocol, &fw::kPcdProtocolGuid, nullptr, &count, &handles);
  if (EFI_ERROR(status)) return status;
  EFI_HANDLE handle = nullptr;
  for (UINTN i = 0; i < count && handle == nullptr; i++) {
    void* interface = nullptr;
    if (!EFI_ERROR(fw::gBS->HandleProtocol(handles[i], &fw::kPcdProtocolGuid, &interface)) &&
        interface == gOvmfPcd) {
      handle = handles[i];
    }
  }
  fw::Free(handles);
  if (handle == nullptr) return EFI_NOT_FOUND;

  if (gOptionComm != 0) {
    void* buffer = nullptr;
    status = fw::gBS->AllocatePool(EfiRuntimeServicesData, kCommBufferSize, &buffer);
    if (EFI_ERROR(status)) return status;
    memset(buffer, 0xA5, kCommBufferSize);
    gPcdTokens[3].value = reinterpret_cast<UINTN>(buffer);
  }
  gPcdTokens[5].value = gOptionSize;
  BuildFlashMap();
  gPcdTokens[6].value = reinterpret_cast<UINTN>(gFlashMap);

  gPcdWrapper = *gOvmfPcd;
  gPcdWrapper.Get8 = PcdGet8;
  gPcdWrapper.Get16 = PcdGet16;
  gPcdWrapper.Get32 = PcdGet32;
  gPcdWrapper.Get64 = PcdGet64;
  gPcdWrapper.GetPtr = PcdGetPtr;
  gPcdWrapper.GetBool = PcdGetBool;
  gPcdWrapper.GetSize = PcdGetSize;
  gPcdWrapper.Set8 = PcdSet8;
  gPcdWrapper.Set16 = PcdSet16;
  gPcdWrapper.Set32 = PcdSet32;
  gPcdWrapper.Set64 = PcdSet64;
  gPcdWrapper.SetPtr = PcdSetPtr;
  gPcdWrapper.SetBool = PcdSetBool;
  gPcdWrapper.GetNextToken = PcdGetNextToken;
  status = fw::gBS->ReinstallProtocolInterface(handle, &fw::kPcdProtocolGuid, gOvmfPcd, &gPcdWrapper);
  if (EFI_ERROR(status)) return status;
  void* found = nullptr;
  fw::gBS->LocateProtocol(&fw::kPcdProtocolGuid, nullptr, &found);
  fw::Line("standin")
      .Str(" pcd-wrapper comm-buffer=")
      .Hex(gPcdTokens[3].value)
      .Str(" table-size=")
      .Hex(gPcdTokens[5].value)
      .Str(" flash-devices=")
      .Dec(gFlashDeviceCount)
      .Str(" firmware-info=")
      .Hex(reinterpret_cast<UINTN>(gFlashImage + kFirmwareInfoOffset))
      .Str(found == &gPcdWrapper ? " located" : " not-located")
      .Emit();
  return found == &gPcdWrapper ? EFI_SUCCESS : EFI_NOT_FOUND;
}

// ---- protocols the driver looks for and installs
//
// (Every initializer here is a constant: the stand-in has no start-up code
// that would run dynamic initialisation.)

struct WatchedProtocol {
  const char* name;
  EFI_GUID guid;
  void* registration;
};

WatchedProtocol gWatchedProtocols[] = {
    {"smbus-hc", {0xE49D33ED, 0x513D, 0x4634, {0xB6, 0x98, 0x6F, 0x55, 0xAA, 0x75, 0x1C, 0x1B}}, nullptr},
    {"smm-base2", {0xF4CCBFB7, 0xF6E0, 0x47FD, {0x9D, 0xD4, 0x10, 0xA8, 0xF1, 0x50, 0xC1, 0x91}}, nullptr},
    {"smm-communication",
     {0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}},
     nullptr},
    {"dxe-smm-ready-to-lock",
     {0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}},
     nullptr},
    {"list-anchor", {0xF4540D21, 0x18C6, 0x4E74, {0xBC, 0x2D, 0x3C, 0x6F, 0xA0, 0x8D, 0x8B, 0xC6}}, nullptr},
    {"heap-buffer-list",
     {0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}},
     nullptr},
    {"pointer-registry",
     {0x1C2E4602, 0xE3BA, 0x4B07, {0xE3, 0xB8, 0x35, 0x55, 0xA5, 0x1C, 0x61, 0x3A}},
     nullptr},
    {"platform-hook",
     {0x14AFC99E, 0xE23E, 0x11E1, {0xA2, 0x34, 0xD0, 0xDF, 0x9A, 0x35, 0xC1, 0x06}},
     nullptr},
    {"pcd", {0x13A3F0F6, 0x264A, 0x3EF0, {0xF2, 0xE0, 0xDE, 0xC5, 0x12, 0x34, 0x2F, 0x34}}, nullptr},
};
WatchedProtocol& gReadyToLock = gWatchedProtocols[3];
WatchedProtocol& gListAnchor = gWatchedProtocols[4];
WatchedProtocol& gHeapBufferList = gWatchedProtocols[5];

EFI_STATUS(EFIAPI* gFirmwareLocateProtocol)(const EFI_GUID*, void*, void**);

// ---- the SMM services as the driver uses them
//
// When the driver itself (the caller's return address lies in the image of
// BootCtlDxe's firmware file, or of a file named BootCtlDxe.efi) locates the
// SMM base or the SMM communication protocol, it gets a copy of the
// interface whose members print what they were asked and what the firmware
// answered, and pass every call on unchanged. Every other caller gets the
// firmware's own interface.
//   "FWT smm-base2 in-smm status=S answer=B"
//   "FWT smm-base2 get-smst status=S smst=null|set"
//   "FWT comm call=N buffer=A memtype=T size=S data=HEX"   before the call
//   "FWT comm answer=N status=S size=S data=HEX"           after it
//   "FWT comm-region-table entries=N stride=S [type=T start=A pages=P]..."
//       with the first call that finds the table, or "absent"
// The data is the whole buffer as the size names it (at most 128 bytes);
// memtype is the memory map's type of the buffer's first byte (FFFFFFFF
// when no descriptor holds it).

struct SmmBase2 {  // the PI SMM base protocol, both members
  EFI_STATUS(EFIAPI* InSmm)(const SmmBase2* This, BOOLEAN* inSmram);
  EFI_STATUS(EFIAPI* GetSmstLocation)(const SmmBase2* This, void** smst);
};
struct SmmCommunication {  // the PI SMM communication protocol
  EFI_STATUS(EFIAPI* Communicate)(const SmmCommunication* This, void* buffer, UINTN* size);
};

const EFI_GUID kBootCtlFileGuid = {
    0xF8035659, 0x178C, 0x41FF, {0x8E, 0x0D, 0xEA, 0x92, 0x8C, 0x53, 0xDB, 0x3A}};
const EFI_GUID kCommRegionTableGuid = {
    0x4E28CA50, 0xD582, 0x44AC, {0xA1, 0x1F, 0xE3, 0xD5, 0x65, 0x26, 0xDB, 0x34}};

// True when the device path names BootCtlDxe: a firmware-file node with its
// file name, or a file-path node ending in "BootCtlDxe.efi".
bool NamesDriver(const EFI_DEVICE_PATH_PROTOCOL* node) {
  static const CHAR16 kFileName[] = u"BootCtlDxe.efi";
  constexpr UINTN kNameChars = sizeof(kFileName) / sizeof(CHAR16) - 1;
  for (int n = 0; node != nullptr && n < 32 && node->Type != 0x7F; n++) {
    const UINTN length = node->Length[0] | static_cast<UINTN>(node->Length[1]) << 8;
    if (length < 4) return false;
    const UINT8* bytes = reinterpret_cast<const UINT8*>(node);
    if (node->Type == 4 && node->SubType == 6 && length >= 20) {
      EFI_GUID file;
      memcpy(&file, bytes + 4, sizeof(file));
      if (fw::GuidEq(file, kBootCtlFileGuid)) return true;
    }
    if (node->Type == 4 && node->SubType == 4) {
      const UINTN chars = (length - 4) / 2;
      const CHAR16* text = reinterpret_cast<const CHAR16*>(bytes + 4);
      UINTN end = 0;
      while (end < chars && text[end] != 0) end++;
      if (end >= kNameChars) {
        bool same = true;
        for (UINTN i = 0; i < kNameChars && same; i++) same = text[end - kNameChars + i] == kFileName[i];
        if (same) return true;
      }
    }
    node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL*>(bytes + length);
  }
  return false;
}

bool CalledFromDriver(const void* address) {
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  if (EFI_ERROR(fw::gBS->LocateHandleBuffer(ByProtocol, &fw::kLoadedImageProtocolGuid, nullptr, &count,
                                            &handles))) {
    return false;
  }
  const UINTN at = reinterpret_cast<UINTN>(address);
  bool driver = false;
  for (UINTN i = 0; i < count && !driver; i++) {
    EFI_LOADED_IMAGE_PROTOCOL* image = nullptr;
    if (EFI_ERROR(fw::gBS->HandleProtocol(handles[i], &fw::kLoadedImageProtocolGuid,
                                          reinterpret_cast<void**>(&image)))) {
      continue;
    }
    const UINTN base = reinterpret_cast<UINTN>(image->ImageBase);
    driver = at >= base && at - base < image->ImageSize && NamesDriver(image->FilePath);
  }
  fw::Free(handles);
  return driver;
}

SmmBase2* gFirmwareSmmBase;
SmmCommunication* gFirmwareComm;
UINTN gCommCalls;
bool gRegionTableShown;

EFI_STATUS EFIAPI TracedInSmm(const SmmBase2*, BOOLEAN* inSmram) {
  const EFI_STATUS status = gFirmwareSmmBase->InSmm(gFirmwareSmmBase, inSmram);
  fw::Line("smm-base2")
      .Str(" in-smm status=")
      .Hex(status)
      .Str(" answer=")
      .Dec(inSmram != nullptr ? *inSmram : 0xFF)
      .Emit();
  return status;
}

EFI_STATUS EFIAPI TracedGetSmst(const SmmBase2*, void** smst) {
  const EFI_STATUS status = gFirmwareSmmBase->GetSmstLocation(gFirmwareSmmBase, smst);
  fw::Line("smm-base2")
      .Str(" get-smst status=")
      .Hex(status)
      .Str(smst != nullptr && *smst != nullptr ? " smst=set" : " smst=null")
      .Emit();
  return status;
}

SmmBase2 gSmmBaseWrapper = {TracedInSmm, TracedGetSmst};

UINT32 MemoryTypeAt(UINTN address) {
  UINTN size = 0;
  UINTN key = 0;
  UINTN stride = 0;
  UINT32 version = 0;
  fw::gBS->GetMemoryMap(&size, nullptr, &key, &stride, &version);
  size += 8 * sizeof(EFI_MEMORY_DESCRIPTOR);
  UINT8* map = static_cast<UINT8*>(fw::Allocate(size));
  if (map == nullptr) return 0xFFFFFFFF;
  UINT32 type = 0xFFFFFFFF;
  if (!EFI_ERROR(fw::gBS->GetMemoryMap(&size, reinterpret_cast<EFI_MEMORY_DESCRIPTOR*>(map), &key, &stride,
                                       &version)) &&
      stride >= sizeof(EFI_MEMORY_DESCRIPTOR)) {
    for (UINTN off = 0; off + stride <= size; off += stride) {
      const EFI_MEMORY_DESCRIPTOR* d = reinterpret_cast<const EFI_MEMORY_DESCRIPTOR*>(map + off);
      if (address >= d->PhysicalStart && (address - d->PhysicalStart) >> 12 < d->NumberOfPages) {
        type = d->Type;
        break;
      }
    }
  }
  fw::Free(map);
  return type;
}

void ShowRegionTable() {
  const UINT8* table = nullptr;
  for (UINTN i = 0; i < fw::gST->NumberOfTableEntries; i++) {
    if (fw::GuidEq(fw::gST->ConfigurationTable[i].VendorGuid, kCommRegionTableGuid)) {
      table = static_cast<const UINT8*>(fw::gST->ConfigurationTable[i].VendorTable);
    }
  }
  if (gRegionTableShown) return;
  fw::Line line("comm-region-table");
  if (table == nullptr) {
    line.Str(" absent").Emit();
    return;
  }
  gRegionTableShown = true;
  UINT32 entries = 0;
  UINT32 stride = 0;
  memcpy(&entries, table + 4, 4);
  memcpy(&stride, table + 8, 4);
  line.Str(" entries=").Dec(entries).Str(" stride=").Dec(stride);
  for (UINT32 i = 0; i < entries && i < 8 && stride >= 32; i++) {
    const UINT8* entry = table + 16 + static_cast<UINTN>(i) * stride;
    UINT32 type = 0;
    UINT64 start = 0;
    UINT64 pages = 0;
    memcpy(&type, entry, 4);
    memcpy(&start, entry + 8, 8);
    memcpy(&pages, entry + 24, 8);
    line.Str(" type=").Dec(type).Str(" start=").Hex(start).Str(" pages=").Dec(pages);
  }
  line.Emit();
}

constexpr UINTN kCommShownBytes = 128;

EFI_STATUS EFIAPI TracedCommunicate(const SmmCommunication*, void* buffer, UINTN* size) {
  const UINTN call = ++gCommCalls;
  ShowRegionTable();
  const UINTN shown = size == nullptr ? 0 : *size < kCommShownBytes ? *size : kCommShownBytes;
  fw::Line("comm")
      .Str(" call=")
      .Dec(call)
      .Str(" buffer=")
      .Hex(reinterpret_cast<UINTN>(buffer))
      .Str(" memtype=")
      .Hex(MemoryTypeAt(reinterpret_cast<UINTN>(buffer)))
      .Str(" size=")
      .Dec(size == nullptr ? 0 : *size)
      .Str(" data=")
      .Bytes(buffer, buffer == nullptr ? 0 : shown)
      .Emit();
  const EFI_STATUS status = gFirmwareComm->Communicate(gFirmwareComm, buffer, size);
  const UINTN after = size == nullptr ? 0 : *size < kCommShownBytes ? *size : kCommShownBytes;
  fw::Line("comm")
      .Str(" answer=")
      .Dec(call)
      .Str(" status=")
      .Hex(status)
      .Str(" size=")
      .Dec(size == nullptr ? 0 : *size)
      .Str(" data=")
      .Bytes(buffer, buffer == nullptr ? 0 : (after > shown ? after : shown))
      .Emit();
  return status;
}

SmmCommunication gCommWrapper = {TracedCommunicate};

const EFI_GUID kSmmBase2Guid = {0xF4CCBFB7, 0xF6E0, 0x47FD, {0x9D, 0xD4, 0x10, 0xA8, 0xF1, 0x50, 0xC1, 0x91}};
const EFI_GUID kSmmCommunicationGuid = {
    0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}};

// Hands the driver the traced copy of an SMM interface it located.
void WrapForDriver(const EFI_GUID* protocol, void** interface, const void* caller) {
  if (interface == nullptr || *interface == nullptr || !CalledFromDriver(caller)) return;
  if (fw::GuidEq(*protocol, kSmmBase2Guid)) {
    gFirmwareSmmBase = static_cast<SmmBase2*>(*interface);
    *interface = &gSmmBaseWrapper;
  } else if (fw::GuidEq(*protocol, kSmmCommunicationGuid)) {
    gFirmwareComm = static_cast<SmmCommunication*>(*interface);
    *interface = &gCommWrapper;
  }
}

EFI_STATUS EFIAPI TracedLocateProtocol(const EFI_GUID* protocol, void* registration, void** interface) {
  const EFI_STATUS status = gFirmwareLocateProtocol(protocol, registration, interface);
  if (protocol != nullptr) {
    for (const WatchedProtocol& w : gWatchedProtocols) {
      if (fw::GuidEq(w.guid, *protocol)) {
        fw::Line("locate").Char(' ').Str(w.name).Str(" status=").Hex(status).Emit();
        break;
      }
    }
    if (!EFI_ERROR(status) && registration == nullptr &&
        (fw::GuidEq(*protocol, kSmmBase2Guid) || fw::GuidEq(*protocol, kSmmCommunicationGuid))) {
      WrapForDriver(protocol, interface, __builtin_return_address(0));
    }
  }
  return status;
}

// The stand-in's own look-ups go to the firmware directly and are not printed.
EFI_STATUS QuietLocate(const EFI_GUID* protocol, void* registration, void** interface) {
  return (gFirmwareLocateProtocol != nullptr ? gFirmwareLocateProtocol : fw::gBS->LocateProtocol)(
      protocol, registration, interface);
}

bool IsEmptyList(const void* head) {
  const void* const* links = static_cast<const void* const*>(head);
  return links[0] == head && links[1] == head;
}

void EFIAPI OnProtocolInstalled(EFI_EVENT, void* context) {
  WatchedProtocol* w = static_cast<WatchedProtocol*>(context);
  void* interface = nullptr;
  while (!EFI_ERROR(QuietLocate(&w->guid, w->registration, &interface))) {
    fw::Line line("protocol");
    line.Str(" installed=").Str(w->name);
    if (w == &gListAnchor) {
      line.Str(" empty=").Dec(interface != nullptr && IsEmptyList(interface));
    } else if (w == &gHeapBufferList && interface != nullptr) {
      const UINT8* bytes = static_cast<const UINT8*>(interface);
      line.Str(" revision=")
          .Dec(*reinterpret_cast<const UINT64*>(bytes))
          .Str(" empty=")
          .Dec(IsEmptyList(bytes + 8));
    } else {
      line.Str(interface == nullptr ? " interface=null" : " interface=set");
    }
    line.Emit();
  }
}

EFI_STATUS WatchInstall(WatchedProtocol* w) {
  EFI_EVENT event = nullptr;
  EFI_STATUS status = fw::gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnProtocolInstalled, w, &event);
  if (EFI_ERROR(status)) return status;
  return fw::gBS->RegisterProtocolNotify(&w->guid, event, &w->registration);
}

// What OVMF provides of the S3 and SMM services, before the driver loads.
void ReportPlatform() {
  fw::Line line("standin");
  line.Str(" platform");
  for (const WatchedProtocol& w : gWatchedProtocols) {
    void* interface = nullptr;
    line.Char(' ').Str(w.name).Char('=').Str(
        EFI_ERROR(QuietLocate(&w.guid, nullptr, &interface)) ? "absent" : "present");
  }
  static const EFI_GUID kCommRegionTableGuid = {
      0x4E28CA50, 0xD582, 0x44AC, {0xA1, 0x1F, 0xE3, 0xD5, 0x65, 0x26, 0xDB, 0x34}};
  bool regionTable = false;
  for (UINTN i = 0; i < fw::gST->NumberOfTableEntries; i++) {
    regionTable = regionTable || fw::GuidEq(fw::gST->ConfigurationTable[i].VendorGuid, kCommRegionTableGuid);
  }
  line.Str(" comm-region-table=").Str(regionTable ? "present" : "absent").Emit();
}

// Takes OVMF's DXE SMM ready-to-lock instances away again (lock=0).
EFI_STATUS WithdrawReadyToLock() {
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  EFI_STATUS status = fw::gBS->LocateHandleBuffer(ByProtocol, &gReadyToLock.guid, nullptr, &count, &handles);
  if (status == EFI_NOT_FOUND) return EFI_SUCCESS;
  if (EFI_ERROR(status)) return status;
  for (UINTN i = 0; i < count && !EFI_ERROR(status); i++) {
    void* interface = nullptr;
    status = fw::gBS->HandleProtocol(handles[i], &gReadyToLock.guid, &interface);
    if (!EFI_ERROR(status)) {
      status = fw::gBS->UninstallProtocolInterface(handles[i], &gReadyToLock.guid, interface);
    }
  }
  fw::Free(handles);
  fw::Line("standin")
      .Str(" withdrew dxe-smm-ready-to-lock instances=")
      .Dec(count)
      .Str(" status=")
      .Hex(status)
      .Emit();
  return status;
}

EFI_STATUS WatchProtocols() {
  if (gOptionLock == 0) {
    const EFI_STATUS status = WithdrawReadyToLock();
    if (EFI_ERROR(status)) return status;
  }
  ReportPlatform();
  EFI_STATUS status = WatchInstall(&gListAnchor);
  if (!EFI_ERROR(status)) status = WatchInstall(&gHeapBufferList);
  if (!EFI_ERROR(status)) status = WatchInstall(&gReadyToLock);
  if (EFI_ERROR(status)) return status;
  // The boot services table changes under its CRC.
  const EFI_TPL tpl = fw::gBS->RaiseTPL(TPL_NOTIFY);
  gFirmwareLocateProtocol = fw::gBS->LocateProtocol;
  fw::gBS->LocateProtocol = TracedLocateProtocol;
  fw::gBS->Hdr.CRC32 = 0;
  UINT32 crc = 0;
  fw::gBS->CalculateCrc32(fw::gBS, fw::gBS->Hdr.HeaderSize, &crc);
  fw::gBS->Hdr.CRC32 = crc;
  fw::gBS->RestoreTPL(tpl);
  return EFI_SUCCESS;
}

#ifdef STANDIN_SCRIPT_TABLE
// ---- boot script and lock boxes (the SMM build's stand-in)
//
// A module that records boot-script entries: at End-of-DXE, before the
// platform's ready-to-lock, it gives the shared boot-script record a one-page
// table below 4 GiB holding 0x20 bytes of script (the page filled with the
// p-pattern, byte i = i*13+7), unless the record is missing, locked or has a
// table already.
//   "FWT standin script table=ADDR length=20 status=S"
//
// Around it the stand-in asks the firmware's lock box through the driver's
// own client code (s3/lockbox.cpp, linked into this image), each answer
// printed as "FWT lockbox STEP result=S length=N [data=HEX]":
//   - at End-of-DXE, before the lock, on a box of its own (16 bytes
//     0x00..0x0F): store, store again, restore into 8 bytes, restore in
//     place before and after set-attributes 1, restore of a box never
//     stored;
//   - at DXE SMM ready-to-lock, at TPL_NOTIFY in a notification registered
//     after the driver's: the driver's table box restored into a buffer
//     (its 4096 bytes printed in four lines "FWT lockbox table-bytes
//     part=N data=HEX") and in place over a zeroed table ("FWT lockbox
//     table-in-place result=S same=B"), and the address box;
//   - at ready-to-boot, after the platform locked SMM: a restore of the
//     table box and a store of a new box.
}  // namespace

// The module-wide tables the client code reaches the firmware through.
EFI_HANDLE ImageHandle;
EFI_SYSTEM_TABLE* SystemTable;
EFI_BOOT_SERVICES* BootServices;
EFI_RUNTIME_SERVICES* RuntimeServices;

namespace {

const EFI_GUID kEndOfDxeGroupGuid = {
    0x02CE967A, 0xDD7E, 0x4FFC, {0x9E, 0xE7, 0x81, 0x0C, 0xF0, 0x47, 0x08, 0x80}};
const EFI_GUID kReadyToBootGroupGuid = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};
const EFI_GUID kDxeSmmReadyToLockGuid = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};
const EFI_GUID kTableBox = {0xAEA6B965, 0xDCF5, 0x4311, {0xB4, 0xB8, 0x0F, 0x12, 0x46, 0x44, 0x94, 0xD2}};
const EFI_GUID kAddressBox = {0x1810AB4A, 0x2314, 0x4DF6, {0x81, 0xEB, 0x67, 0xC6, 0xEC, 0x05, 0x85, 0x91}};
const EFI_GUID kProbeBox = {0x3C4B7D21, 0x9A6E, 0x4F0B, {0x8D, 0x12, 0x5E, 0x77, 0x0A, 0xC3, 0x19, 0x64}};
const EFI_GUID kLateBox = {0x3C4B7D22, 0x9A6E, 0x4F0B, {0x8D, 0x12, 0x5E, 0x77, 0x0A, 0xC3, 0x19, 0x64}};
const EFI_GUID kNeverStoredBox = {
    0x3C4B7D23, 0x9A6E, 0x4F0B, {0x8D, 0x12, 0x5E, 0x77, 0x0A, 0xC3, 0x19, 0x64}};
constexpr UINT32 kScriptLength = 0x20;
constexpr UINTN kTableBytes = 4096;

UINT8 gProbeData[16];
UINT8 gRestored[kTableBytes + 64];
UINT8 gTableCopy[kTableBytes];

void ShowLockBox(const char* step, EFI_STATUS result, UINTN length, const void* data, UINTN shown) {
  fw::Line line("lockbox");
  line.Char(' ').Str(step).Str(" result=").Hex(result).Str(" length=").Dec(length);
  if (data != nullptr) line.Str(" data=").Bytes(data, shown);
  line.Emit();
}

UINT8* ScriptTable() {
  const UINT8* record = reinterpret_cast<const UINT8*>(static_cast<UINTN>(gPcdTokens[0].value));
  UINT64 table = 0;
  if (record != nullptr) memcpy(&table, record, sizeof(table));
  return reinterpret_cast<UINT8*>(static_cast<UINTN>(table));
}

void ProbeBeforeLock() {
  for (UINTN i = 0; i < sizeof(gProbeData); i++) gProbeData[i] = static_cast<UINT8>(i);
  ShowLockBox("store", LockBoxStore(&kProbeBox, gProbeData, sizeof(gProbeData)), sizeof(gProbeData), nullptr,
              0);
  ShowLockBox("store-again", LockBoxStore(&kProbeBox, gProbeData, sizeof(gProbeData)), sizeof(gProbeData),
              nullptr, 0);
  UINTN length = 8;
  EFI_STATUS result = LockBoxRestore(&kProbeBox, gRestored, &length);
  ShowLockBox("restore-short", result, length, nullptr, 0);
  memset(gProbeData, 0xEE, sizeof(gProbeData));
  result = LockBoxRestore(&kProbeBox, nullptr, nullptr);
  ShowLockBox("restore-in-place", result, 0, gProbeData, sizeof(gProbeData));
  ShowLockBox("set-attributes", LockBoxSetAttributes(&kProbeBox, 1), 0, nullptr, 0);
  result = LockBoxRestore(&kProbeBox, nullptr, nullptr);
  ShowLockBox("restore-in-place-attr1", result, 0, gProbeData, sizeof(gProbeData));
  length = sizeof(gRestored);
  result = LockBoxRestore(&kNeverStoredBox, gRestored, &length);
  ShowLockBox("restore-unknown", result, length, nullptr, 0);
}

void EFIAPI OnReadyToLockRoundTrip(EFI_EVENT, void*) {
  void* interface = nullptr;
  if (EFI_ERROR(QuietLocate(&kDxeSmmReadyToLockGuid, nullptr, &interface))) return;
  static bool done;
  if (done) return;
  done = true;
  UINTN length = sizeof(gRestored);
  memset(gRestored, 0xEE, sizeof(gRestored));
  EFI_STATUS result = LockBoxRestore(&kTableBox, gRestored, &length);
  ShowLockBox("table", result, length, nullptr, 0);
  for (UINTN part = 0; part < 4; part++) {
    fw::Line("lockbox")
        .Str(" table-bytes part=")
        .Dec(part)
        .Str(" data=")
        .Bytes(gRestored + part * 1024, 1024)
        .Emit();
  }
  UINT8* table = ScriptTable();
  if (table != nullptr) {
    memcpy(gTableCopy, table, kTableBytes);
    memset(table, 0, kTableBytes);
    result = LockBoxRestore(&kTableBox, nullptr, nullptr);
    bool same = true;
    for (UINTN i = 0; i < kTableBytes && same; i++) same = table[i] == gTableCopy[i];
    fw::Line("lockbox").Str(" table-in-place result=").Hex(result).Str(" same=").Dec(same).Emit();
    if (!same) memcpy(table, gTableCopy, kTableBytes);
  }
  length = sizeof(gRestored);
  result = LockBoxRestore(&kAddressBox, gRestored, &length);
  ShowLockBox("address", result, length, gRestored, length <= 64 ? length : 0);
}

void EFIAPI OnReadyToBootProbe(EFI_EVENT event, void*) {
  fw::gBS->CloseEvent(event);
  UINTN length = sizeof(gRestored);
  ShowLockBox("table-after-lock", LockBoxRestore(&kTableBox, gRestored, &length), length, nullptr, 0);
  ShowLockBox("store-after-lock", LockBoxStore(&kLateBox, gProbeData, sizeof(gProbeData)), sizeof(gProbeData),
              nullptr, 0);
  // The same restore built by hand in runtime-services memory, which the
  // firmware still takes after the lock.
  UINT8* request = nullptr;
  UINT8* into = nullptr;
  if (EFI_ERROR(fw::gBS->AllocatePool(EfiRuntimeServicesData, 72, reinterpret_cast<void**>(&request))) ||
      EFI_ERROR(
          fw::gBS->AllocatePool(EfiRuntimeServicesData, kTableBytes, reinterpret_cast<void**>(&into)))) {
    fw::Line("error").Str(" standin: no runtime pool for the request").Emit();
    return;
  }
  static const UINT8 kHandler[16] = {0xBD, 0xFE, 0x3C, 0x2A, 0xE8, 0x27, 0x0A, 0x4D,
                                     0x8B, 0x79, 0xD6, 0x88, 0xC2, 0xA3, 0xE1, 0xC0};
  const UINT64 fields[4] = {48, 0x0000003000000003ull, ~0ull, 0};
  memcpy(request, kHandler, 16);
  memcpy(request + 16, fields, 24);
  memcpy(request + 40, &kTableBox, 16);
  const UINT64 data[2] = {reinterpret_cast<UINTN>(into), kTableBytes};
  memcpy(request + 56, data, 16);
  UINTN size = 72;
  SmmCommunication* comm = nullptr;
  const EFI_STATUS status = QuietLocate(&kSmmCommunicationGuid, nullptr, reinterpret_cast<void**>(&comm));
  const EFI_STATUS sent = EFI_ERROR(status) ? status : comm->Communicate(comm, request, &size);
  UINT64 result = 0;
  memcpy(&result, request + 32, 8);
  const UINT8* table = ScriptTable();
  bool same = table != nullptr;
  for (UINTN i = 0; i < kTableBytes && same; i++) same = into[i] == table[i];
  fw::Line("lockbox")
      .Str(" table-after-lock-runtime status=")
      .Hex(sent)
      .Str(" result=")
      .Hex(result)
      .Str(" same=")
      .Dec(same)
      .Emit();
}

void EFIAPI OnEndOfDxeScript(EFI_EVENT event, void*) {
  fw::gBS->CloseEvent(event);
  ProbeBeforeLock();
  // Registered now, after the driver's own, so that at the same level it
  // runs after the driver's stores.
  void* registration = nullptr;
  EFI_EVENT lock = nullptr;
  if (!EFI_ERROR(
          fw::gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, OnReadyToLockRoundTrip, nullptr, &lock))) {
    fw::gBS->RegisterProtocolNotify(&kDxeSmmReadyToLockGuid, lock, &registration);
  }
  UINT8* record = reinterpret_cast<UINT8*>(static_cast<UINTN>(gPcdTokens[0].value));
  if (record == nullptr || ScriptTable() != nullptr || record[20] != 0) {
    fw::Line("standin").Str(" script none").Emit();
    return;
  }
  EFI_PHYSICAL_ADDRESS page = 0xFFFFFFFF;
  const EFI_STATUS status = fw::gBS->AllocatePages(AllocateMaxAddress, EfiReservedMemoryType, 1, &page);
  if (!EFI_ERROR(status)) {
    UINT8* bytes = reinterpret_cast<UINT8*>(static_cast<UINTN>(page));
    for (UINTN i = 0; i < kTableBytes; i++) bytes[i] = static_cast<UINT8>(i * 13 + 7);
    const UINT16 pages = 1;
    memcpy(record + 8, &kScriptLength, sizeof(kScriptLength));
    memcpy(record + 12, &pages, sizeof(pages));
    memcpy(record, &page, sizeof(page));
  }
  fw::Line("standin")
      .Str(" script table=")
      .Hex(page)
      .Str(" length=")
      .Hex(kScriptLength)
      .Str(" status=")
      .Hex(status)
      .Emit();
}

EFI_STATUS WatchEndOfDxeForScript() {
  ImageHandle = fw::gImage;
  SystemTable = fw::gST;
  BootServices = fw::gBS;
  RuntimeServices = fw::gRT;
  EFI_EVENT event = nullptr;
  EFI_STATUS status = fw::gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnEndOfDxeScript, nullptr,
                                             &kEndOfDxeGroupGuid, &event);
  if (EFI_ERROR(status)) return status;
  return fw::gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnReadyToBootProbe, nullptr,
                                &kReadyToBootGroupGuid, &event);
}
#endif

struct Service {
  const char* name;
  EFI_STATUS (*start)();
};

// Markers are watched before the idle marker is published, so the stand-in's
// own install shows up as the first "marker installed=idle" line. The
// protocol watch goes last, so that the stand-in's own services are in place
// (and not traced) before it.
const Service kServices[] = {
    {"reset-watch", WatchResets},
    {"marker-watch", WatchMarkers},
    {"platform-hook", PublishPlatformHook},
    {"purge-idle-marker", PublishIdleMarker},
    {"debug-message", PublishDebugMessage},
    {"pcd-wrapper", WrapPcd},
    {"protocol-watch", WatchProtocols},
#ifdef STANDIN_SCRIPT_TABLE
    {"script-at-end-of-dxe", WatchEndOfDxeForScript},
#endif
};

// Reads the watch list; returns false when it is present but malformed.
bool ReadWatchList() {
  UINTN size = sizeof(gConfig) - 1;
  EFI_STATUS status = fw::gRT->GetVariable(u"FwTestWatch", &fw::kTestGuid, nullptr, &size, gConfig);
  if (status == EFI_NOT_FOUND) return true;
  if (EFI_ERROR(status)) return false;
  gConfig[size] = 0;
  char* entry = gConfig;
  while (*entry != 0 && gWatchedCount < kMaxWatched) {
    char* end = entry;
    while (*end != 0 && *end != ',') end++;
    const bool last = *end == 0;
    *end = 0;
    char* colon = entry;
    while (*colon != 0 && *colon != ':') colon++;
    if (*colon != ':') return false;
    *colon = 0;
    if (!fw::ToWide(entry, gWatchedNames[gWatchedCount], kMaxName) ||
        !fw::ParseGuid(colon + 1, &gWatchedGuids[gWatchedCount])) {
      return false;
    }
    gWatchedCount++;
    if (last) break;
    entry = end + 1;
  }
  return true;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI StandinEntry(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  fw::Init(image, systemTable);
  if (!ReadWatchList()) {
    fw::Line("error").Str(" standin: bad FwTestWatch").Emit();
    return EFI_INVALID_PARAMETER;
  }
  // A service that cannot start is reported; the scenario's checks decide
  // whether the run can still prove anything.
  for (const Service& service : kServices) {
    const EFI_STATUS status = service.start();
    fw::Line("standin").Char(' ').Str(service.name).Str(" status=").Hex(status).Emit();
  }
  fw::Line("standin").Str(" watching=").Dec(static_cast<UINT64>(gWatchedCount)).Emit();
  return EFI_SUCCESS;
}
