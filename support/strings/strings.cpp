// String-package and firmware-information libraries: their four constructors,
// the destructor, and the HII and firmware-information helpers they use.
#include "support/strings/strings.h"

#include "flash/fch.h"
#include "flash/fdm.h"
#include "frame/helpers.h"
#include "frame/module.h"
#include "support/print/print.h"
#include "support/timer/timer.h"

BootStringsState BootStrings;

namespace {

// Build-time switch, set in this build: the driver does not publish the
// shared buffer (another module may); nothing in the driver reads it.
constexpr UINT8 kSharedBufferSwitchedOff = 1;
constexpr UINTN kSharedBufferSize = 0x20000;

constexpr UINT8 kDaysInMonth[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

__attribute__((noinline)) UINT8 BcdByte(UINT8 value) {
  return static_cast<UINT8>((value >> 4) * 10 + (value & 0x0F));
}

// The area is memory-mapped flash: every byte is one single read through the
// device-register primitives, so the host build reaches the simulated flash.
BOOLEAN AreaMatches(UINT64 address, const CHAR8* marker, UINTN length) {
  for (UINTN i = 0; i < length; ++i) {
    if (RegRead8(address + i) != static_cast<UINT8>(marker[i])) return false;
  }
  return true;
}

// Copies a NUL-terminated ASCII text into `buffer` (at most `capacity`
// characters), each byte widened as a signed character, and returns its size
// with the NUL; 0 when no NUL comes before `limit` bytes. The text is either
// in memory (`local`) or in the area at `address`.
UINTN CopyText(const CHAR8* local, UINT64 address, UINT64 limit, CHAR16* buffer, UINTN capacity) {
  for (UINT64 i = 0; i < limit; ++i) {
    const int8_t c =
        static_cast<int8_t>(local != nullptr ? static_cast<UINT8>(local[i]) : RegRead8(address + i));
    if (i < capacity) buffer[i] = static_cast<CHAR16>(c);
    if (c == 0) return static_cast<UINTN>(i + 1);
  }
  return 0;
}

// Steps past the record at `*offset` when it begins with `marker`. FALSE when
// the record runs to the end of the area without its NUL.
BOOLEAN SkipRecord(UINT64 base, UINT64 areaSize, UINT64* offset, const CHAR8* marker, UINTN length) {
  if (*offset + length > areaSize || !AreaMatches(base + *offset, marker, length)) return true;
  for (UINT64 i = *offset; i < areaSize; ++i) {
    if (RegRead8(base + i) == 0) {
      *offset = i + 1;
      return true;
    }
  }
  return false;
}

void ReadBytes(UINT64 address, UINT8* out, UINTN count) {
  for (UINTN i = 0; i < count; ++i) out[i] = RegRead8(address + i);
}

struct RecordMarker {
  CHAR8 text[8];
  UINT8 length;
};
constexpr RecordMarker kRecordMarkers[3] = {{"$VEREX", 6}, {"$PRODEX", 7}, {"$CCBVEX", 7}};

}  // namespace

EFI_STATUS LocateHiiProtocols(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  // In the order of the five interface pointers of the module state.
  static constexpr EFI_GUID kHiiProtocols[5] = {EFI_HII_STRING_PROTOCOL_GUID, EFI_HII_DATABASE_PROTOCOL_GUID,
                                                EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID,
                                                EFI_HII_FONT_PROTOCOL_GUID, EFI_HII_IMAGE_PROTOCOL_GUID};
  for (int i = 0; i < 5; ++i) {
    if (EFI_ERROR(BootServices->LocateProtocol(&kHiiProtocols[i], nullptr, &BootStrings.Hii[i]))) {
      BootStrings.Hii[i] = nullptr;
    }
  }
  return EFI_SUCCESS;
}

// The shared buffer is switched off in this build; PublishSharedBuffer is
// what the constructor does with the switch clear.
EFI_STATUS PublishSharedBuffer() {
  if (!EFI_ERROR(
          BootServices->LocateProtocol(&SharedBufferProtocolGuid, nullptr, &BootStrings.SharedBuffer))) {
    return EFI_SUCCESS;
  }
  BootStrings.SharedBuffer = PoolAllocBs(kSharedBufferSize);
  if (BootStrings.SharedBuffer == nullptr) return EFI_OUT_OF_RESOURCES;
  EFI_HANDLE handle = nullptr;
  return BootServices->InstallProtocolInterface(&handle, &SharedBufferProtocolGuid, EFI_NATIVE_INTERFACE,
                                                BootStrings.SharedBuffer);
}

EFI_STATUS SharedBufferInit(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  if (kSharedBufferSwitchedOff) return EFI_SUCCESS;
  return PublishSharedBuffer();
}

EFI_STATUS KeepFlashAreaInit(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  BootStrings.KeptFlashArea = FdmRegionBase(&KeptFlashAreaTypeGuid, 1);
  return EFI_SUCCESS;
}

EFI_STATUS BootStringsInit(EFI_HANDLE imageHandle, EFI_SYSTEM_TABLE*) {
  void* record = nullptr;
  if (EFI_ERROR(BootServices->LocateProtocol(&SharedRecordProtocolGuid, nullptr, &record))) {
    SharedRecord* created = static_cast<SharedRecord*>(AllocateZeroedPool(sizeof(SharedRecord)));
    if (created == nullptr) return EFI_OUT_OF_RESOURCES;
    created->Flag[2] = 1;
    created->Flag[3] = 1;
    ListInit(&created->List);
    EFI_HANDLE handle = nullptr;
    EFI_STATUS status = BootServices->InstallProtocolInterface(&handle, &SharedRecordProtocolGuid,
                                                               EFI_NATIVE_INTERFACE, created);
    if (EFI_ERROR(status)) {
      FreePool(created);
      BootStrings.Record = nullptr;
      return status;
    }
    record = created;
  }
  BootStrings.Record = static_cast<SharedRecord*>(record);

  BootStrings.PackageList =
      NewPackageListFromBlobs(&BootStringPackageListGuid, imageHandle, BootStringBlob, nullptr);
  if (BootStrings.PackageList == nullptr) return EFI_ABORTED;
  FillFirmwareInfoStrings(BootStrings.PackageList);
  BootStrings.WatchEvent = CreateProtocolNotifyEvent(
      &WatchedProtocolGuid, TPL_CALLBACK, WatchedProtocolNotify, nullptr, &BootStrings.WatchRegistration);
  return EFI_SUCCESS;
}

void EFIAPI WatchedProtocolNotify(EFI_EVENT event, void*) {
  if (!EFI_ERROR(BootServices->LocateProtocol(&WatchedProtocolGuid, nullptr, &BootStrings.Watched))) {
    BootServices->CloseEvent(event);
    BootStrings.WatchClosed = true;
  }
}

EFI_STATUS BootStringsDestroy(EFI_HANDLE, EFI_SYSTEM_TABLE*) {
  if (BootStrings.WatchEvent != nullptr && !BootStrings.WatchClosed) {
    BootServices->CloseEvent(BootStrings.WatchEvent);
    BootStrings.WatchClosed = true;
  }
  return EFI_SUCCESS;
}

EFI_HII_HANDLE NewPackageListFromBlobs(const EFI_GUID* packageListGuid, EFI_HANDLE deviceHandle,
                                       const void* blob, ...) {
  if (packageListGuid == nullptr || blob == nullptr || HiiDatabaseProtocol() == nullptr) return nullptr;
  // A prefix below 4 would describe a negative length: such a blob adds
  // nothing.
  UINT32 total = 0;
  __builtin_va_list args;
  __builtin_va_start(args, blob);
  for (const void* next = blob; next != nullptr; next = __builtin_va_arg(args, const void*)) {
    const UINT32 length = Load32(next);
    if (length > 4) total += length - 4;
  }
  __builtin_va_end(args);
  if (total == 0) return nullptr;

  const UINT32 listSize = total + sizeof(EFI_HII_PACKAGE_LIST_HEADER) + 4;
  UINT8* list = static_cast<UINT8*>(AllocateZeroedPool(listSize));
  if (list == nullptr) return nullptr;
  EFI_HII_PACKAGE_LIST_HEADER* header = reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER*>(list);
  CopyGuidValue(&header->PackageListGuid, packageListGuid);
  header->PackageLength = listSize;
  UINT8* at = list + sizeof(EFI_HII_PACKAGE_LIST_HEADER);
  __builtin_va_start(args, blob);
  for (const void* next = blob; next != nullptr; next = __builtin_va_arg(args, const void*)) {
    const UINT32 length = Load32(next);
    if (length > 4) {
      MemCopy(at, static_cast<const UINT8*>(next) + 4, length - 4);
      at += length - 4;
    }
  }
  __builtin_va_end(args);
  const UINT32 end = HiiPackageHeader(4, EFI_HII_PACKAGE_END);
  MemCopy(at, &end, 4);

  EFI_HII_HANDLE handle = nullptr;
  EFI_HII_DATABASE_PROTOCOL* database = HiiDatabaseProtocol();
  if (EFI_ERROR(database->NewPackageList(database, reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER*>(list),
                                         deviceHandle, &handle))) {
    handle = nullptr;
  }
  FreePool(list);
  return handle;
}

CHAR8* GetPackageLanguages(EFI_HII_HANDLE hiiHandle) {
  EFI_HII_STRING_PROTOCOL* hii = HiiStringProtocol();
  if (hii == nullptr) return nullptr;
  UINTN size = 0;
  if (hii->GetLanguages(hii, hiiHandle, nullptr, &size) != EFI_BUFFER_TOO_SMALL) return nullptr;
  // One byte beyond the reported size stays NUL: the list is terminated even
  // if the firmware filled every byte it reported.
  CHAR8* languages = static_cast<CHAR8*>(AllocateZeroedPool(size + 1));
  if (languages == nullptr) return nullptr;
  if (EFI_ERROR(hii->GetLanguages(hii, hiiHandle, languages, &size))) {
    FreePool(languages);
    return nullptr;
  }
  return languages;
}

EFI_STRING_ID SetStringAllLanguages(EFI_HII_HANDLE hiiHandle, EFI_STRING_ID stringId, const CHAR16* text,
                                    const CHAR8* languages) {
  EFI_HII_STRING_PROTOCOL* hii = HiiStringProtocol();
  if (hii == nullptr) return 0;
  CHAR8* list = languages != nullptr ? static_cast<CHAR8*>(PoolAllocCopy(AsciiSize(languages), languages))
                                     : GetPackageLanguages(hiiHandle);
  if (list == nullptr) return 0;
  EFI_STATUS status = EFI_INVALID_PARAMETER;
  for (CHAR8* tag = list; *tag != 0;) {
    CHAR8* end = tag;
    while (*end != 0 && *end != ';') ++end;
    CHAR8* next = end;
    if (*end == ';') {
      *end = 0;
      ++next;
    }
    // The platform's own "x-UEFI..." tags are not languages for the user.
    if (languages != nullptr || AsciiCompareN(tag, "x-UEFI", 6) != 0) {
      status = stringId == 0 ? hii->NewString(hii, hiiHandle, &stringId, tag, nullptr, text, nullptr)
                             : hii->SetString(hii, hiiHandle, stringId, tag, text, nullptr);
      if (EFI_ERROR(status)) break;
    }
    tag = next;
  }
  FreePool(list);
  return EFI_ERROR(status) ? 0 : stringId;
}

// A text the area cannot give keeps the package's default string.
void FillFirmwareInfoStrings(EFI_HII_HANDLE hiiHandle) {
  for (UINT8 i = 0; i < 3; ++i) {
    CHAR16 buffer[32];
    UINTN size = 32;
    if (!EFI_ERROR(GetFirmwareInfoText(2 + i, &size, buffer))) {
      SetStringAllLanguages(hiiHandle, static_cast<EFI_STRING_ID>(13 + i), buffer, nullptr);
    }
  }
}

// Every read stays inside the area the map describes: a missing area, one
// too small for a field, or a text without its NUL before the area's end
// gives EFI_NOT_FOUND.
EFI_STATUS GetFirmwareInfoText(INTN kind, UINTN* size, CHAR16* buffer) {
  if (buffer == nullptr || size == nullptr || static_cast<UINTN>(kind) > 8) return EFI_INVALID_PARAMETER;
  UINT64 base = 0;
  UINT64 areaSize = 0;
  if (EFI_ERROR(FdmFindRegion(&FirmwareInfoAreaTypeGuid, 1, &base, &areaSize)) || base == 0) {
    return EFI_NOT_FOUND;
  }

  CHAR8 printed[32];
  const CHAR8* local = nullptr;
  UINT64 offset = kInfoRecords;
  if (kind <= 1 || kind == 8) {
    // Date then time, in BCD; a kind-8 date carries no time (zero).
    UINT8 bcd[6] = {0, 0, 0, 0, 0, 0};
    if (kind == 8) {
      for (; offset + 9 <= areaSize; ++offset) {
        if (AreaMatches(base + offset, "$RDATE", 6)) {
          ReadBytes(base + offset + 6, bcd, 3);
          break;
        }
      }
    } else if (areaSize >= kInfoBuildTime + 3) {
      ReadBytes(base + kInfoBuildDate, bcd, 3);
      ReadBytes(base + kInfoBuildTime, bcd + 3, 3);
    }
    EFI_TIME time;
    MemZero(&time, sizeof(time));
    BcdToDate(bcd, &time);                  // no date found: month 0, refused below
    UINT8* const clockFields = &time.Hour;  // Hour, Minute, Second
    for (int i = 0; i < 3; ++i) clockFields[i] = BcdByte(bcd[3 + i]);
    if (!IsValidDateTime(&time)) return EFI_NOT_FOUND;
    const BOOLEAN clock = kind == 1;
    PrintAscii(printed, sizeof(printed), clock ? "%02d:%02d:%02d" : "%02d/%02d/%04d",
               UINTN(clock ? time.Hour : time.Month), UINTN(clock ? time.Minute : time.Day),
               UINTN(clock ? time.Second : time.Year));
    local = printed;
  } else if (kind <= 4) {
    constexpr UINT8 kTexts[3] = {kInfoVersionText, kInfoModelText, kInfoThirdText};
    offset = kTexts[kind - 2];
  } else {
    // Records in order: each one before the wanted kind is stepped over when
    // it is there; the wanted one must be.
    const int wanted = static_cast<int>(kind - 5);
    for (int i = 0; i < wanted; ++i) {
      if (!SkipRecord(base, areaSize, &offset, kRecordMarkers[i].text, kRecordMarkers[i].length)) {
        return EFI_NOT_FOUND;
      }
    }
    const RecordMarker& marker = kRecordMarkers[wanted];
    if (offset + marker.length > areaSize || !AreaMatches(base + offset, marker.text, marker.length)) {
      return EFI_NOT_FOUND;
    }
    offset += marker.length;
  }

  // Measured first, copied only once it is known to fit: a failing call
  // leaves the caller's buffer as it was.
  const UINT64 limit = local != nullptr ? sizeof(printed) : (offset < areaSize ? areaSize - offset : 0);
  const UINTN needed = CopyText(local, base + offset, limit, buffer, 0);
  if (needed == 0) return EFI_NOT_FOUND;
  const BOOLEAN fits = needed <= *size;
  *size = needed;
  if (!fits) return EFI_BUFFER_TOO_SMALL;
  CopyText(local, base + offset, needed, buffer, needed);
  buffer[needed - 1] = 0;
  return EFI_SUCCESS;
}

EFI_STATUS BcdToDate(const UINT8* bcd, EFI_TIME* time) {
  if (bcd == nullptr || time == nullptr) return EFI_INVALID_PARAMETER;
  time->Year = static_cast<UINT16>(2000 + BcdByte(bcd[0]));
  time->Month = BcdByte(bcd[1]);
  time->Day = BcdByte(bcd[2]);
  return EFI_SUCCESS;
}

BOOLEAN IsValidDay(const EFI_TIME* time) {
  if (time->Month < 1 || time->Month > 12) return false;
  if (time->Day < 1 || time->Day > kDaysInMonth[time->Month - 1]) return false;
  if (time->Month == 2 && time->Day > 28) {
    const UINT16 year = time->Year;
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  }
  return true;
}

BOOLEAN IsValidDateTime(const EFI_TIME* time) {
  return time->Year >= 1900 && time->Year <= 9999 && IsValidDay(time) && time->Hour <= 23 &&
         time->Minute <= 59 && time->Second <= 59;
}
