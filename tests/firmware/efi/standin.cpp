// Platform stand-in: a boot-service driver loaded before the driver under
// test. It publishes what the notebook's firmware provides and OVMF lacks,
// and watches what the driver does through the firmware's own services.
//
// Published:
//   - the platform hook protocol, whose factory-reset hook prints
//     "FWT hook factory-reset" and the watched variables, then succeeds;
//   - the boot-option purge idle marker (a protocol with no interface).
// Watched:
//   - installs of the purge idle and busy markers: "FWT marker installed=X
//     idle=N busy=M" and the watched variables at that moment (the stand-in's
//     own install of the idle marker ends its line with " by=standin");
//   - platform resets through the firmware's reset notification protocol:
//     "FWT reset type=cold|warm|shutdown|..." and the watched variables as
//     the reset starts, then a snapshot of the whole variable store.
//
// The shell's load command takes no arguments for the image, so the watched
// variables are named in the volatile variable FwTestWatch (test GUID): ASCII
// "NAME:GUID,NAME:GUID,..." (GUIDs as dumpvars takes them); absent, none.
// Each published service is one entry of kServices, so the stand-in grows by
// adding entries as the driver comes to need more of the platform.
#include "fwlib.h"

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

struct Service {
  const char* name;
  EFI_STATUS (*start)();
};

// Markers are watched before the idle marker is published, so the stand-in's
// own install shows up as the first "marker installed=idle" line.
const Service kServices[] = {
    {"reset-watch", WatchResets},
    {"marker-watch", WatchMarkers},
    {"platform-hook", PublishPlatformHook},
    {"purge-idle-marker", PublishIdleMarker},
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
