// S3 control for the firmware test: plays the platform's part around the
// driver's S3 libraries and shows what they left in memory. In the shell the
// driver loads after OVMF has passed ready-to-lock and ready-to-boot, so the
// events its S3 libraries wait for are raised again from here, after the
// load. (eod stays the End-of-DXE timing helper; these events have their own.)
//
//   s3ctl lock        installs the DXE SMM ready-to-lock protocol (no
//                     interface) on a new handle, as the platform does before
//                     it runs third-party code; "FWT s3 lock status=S"
//   s3ctl boot        signals the ready-to-boot event group through a member
//                     of its own; "FWT s3 ready-to-boot status=S notified=N"
//                     (N: how often that member ran in the signal)
//   s3ctl script LEN  gives the shared boot-script record a one-page table
//                     below 4 GiB holding LEN bytes of script, as a module
//                     that records script entries does (the page is filled
//                     with the p-pattern, byte i = i*13+7); "FWT s3 script
//                     table=ADDR length=LEN status=S"
//   s3ctl dump TAG    reads the S3 PCDs through the PCD protocol and prints
//                     the memory they name:
//                       FWT s3 TAG pcd bs-record=A bs-smm-record=A
//                           cs-record=A comm=A table=A size=N
//                       FWT s3 TAG bs-record data=HEX        (24 bytes)
//                       FWT s3 TAG script data=HEX           (LEN+8 bytes)
//                       FWT s3 TAG cs-record data=HEX        (16 bytes)
//                       FWT s3 TAG table head=HEX boundary=HEX next=HEX
//                           (48 header bytes, 4 at 0x4000, 4 at
//                           NextEntryOffset; "table freed" once the record
//                           says TableClosed)
//                       FWT s3 TAG comm data=HEX             (64 bytes)
//                     A line is left out when its PCD is 0.
#include "fwlib.h"

namespace {

const EFI_GUID kDxeSmmReadyToLockGuid = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};
const EFI_GUID kReadyToBootGroupGuid = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};

// Record and table offsets, as the S3 libraries share them with other
// modules.
constexpr UINTN kRecordBytes = 24;
constexpr UINTN kRecordTableAddress = 0;
constexpr UINTN kRecordScriptLength = 8;
constexpr UINTN kRecordTablePages = 12;
constexpr UINTN kChipsetRecordBytes = 16;
constexpr UINTN kChipsetRecordTableClosed = 1;
constexpr UINTN kTableHeaderBytes = 48;
constexpr UINTN kTableNextEntryOffset = 0x28;
constexpr UINTN kTableBoundary = 0x4000;
constexpr UINTN kTableMinSize = 0x4000;
constexpr UINTN kCommDumpBytes = 64;

char gArgs[fw::kMaxArgs][fw::kMaxArgChars];
UINTN gNotified;

void EFIAPI CountNotify(EFI_EVENT, void*) { gNotified++; }

template <typename T>
T Read(UINT64 address) {
  T value;
  memcpy(&value, reinterpret_cast<const void*>(static_cast<UINTN>(address)), sizeof(T));
  return value;
}

const void* At(UINT64 address) { return reinterpret_cast<const void*>(static_cast<UINTN>(address)); }

fw::PiPcdProtocol* Pcd() {
  fw::PiPcdProtocol* pcd = nullptr;
  if (EFI_ERROR(fw::gBS->LocateProtocol(&fw::kPcdProtocolGuid, nullptr, reinterpret_cast<void**>(&pcd)))) {
    fw::Line("error").Str(" s3ctl: no PCD protocol").Emit();
    return nullptr;
  }
  return pcd;
}

EFI_STATUS Lock() {
  EFI_HANDLE handle = nullptr;
  const EFI_STATUS status =
      fw::gBS->InstallProtocolInterface(&handle, &kDxeSmmReadyToLockGuid, EFI_NATIVE_INTERFACE, nullptr);
  fw::Line("s3").Str(" lock status=").Hex(status).Emit();
  return status;
}

EFI_STATUS ReadyToBoot() {
  EFI_EVENT event = nullptr;
  EFI_STATUS status = fw::gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountNotify, nullptr,
                                             &kReadyToBootGroupGuid, &event);
  if (EFI_ERROR(status)) {
    fw::Line("s3").Str(" ready-to-boot create-failed status=").Hex(status).Emit();
    return status;
  }
  status = fw::gBS->SignalEvent(event);
  fw::Line("s3").Str(" ready-to-boot status=").Hex(status).Str(" notified=").Dec(gNotified).Emit();
  fw::gBS->CloseEvent(event);
  return status;
}

EFI_STATUS Script(const char* lengthText) {
  UINT64 length = 0;
  if (!fw::ParseHex(lengthText, &length) || length + 8 > 4096) return EFI_INVALID_PARAMETER;
  fw::PiPcdProtocol* pcd = Pcd();
  if (pcd == nullptr) return EFI_NOT_FOUND;
  const UINT64 record = pcd->Get64(&fw::kBootScriptPcdSpace, 0x30000);
  if (record == 0) {
    fw::Line("error").Str(" s3ctl: no boot-script record").Emit();
    return EFI_NOT_READY;
  }
  EFI_PHYSICAL_ADDRESS page = 0xFFFFFFFF;
  const EFI_STATUS status = fw::gBS->AllocatePages(AllocateMaxAddress, EfiReservedMemoryType, 1, &page);
  if (!EFI_ERROR(status)) {
    UINT8* table = reinterpret_cast<UINT8*>(static_cast<UINTN>(page));
    for (UINTN i = 0; i < 4096; i++) table[i] = static_cast<UINT8>(i * 13 + 7);
    UINT8* bytes = reinterpret_cast<UINT8*>(static_cast<UINTN>(record));
    const UINT32 scriptLength = static_cast<UINT32>(length);
    const UINT16 pages = 1;
    memcpy(bytes + kRecordScriptLength, &scriptLength, sizeof(scriptLength));
    memcpy(bytes + kRecordTablePages, &pages, sizeof(pages));
    memcpy(bytes + kRecordTableAddress, &page, sizeof(page));
  }
  fw::Line("s3")
      .Str(" script table=")
      .Hex(page)
      .Str(" length=")
      .Hex(length)
      .Str(" status=")
      .Hex(status)
      .Emit();
  return status;
}

EFI_STATUS Dump(const char* tag) {
  fw::PiPcdProtocol* pcd = Pcd();
  if (pcd == nullptr) return EFI_NOT_FOUND;
  const UINT64 record = pcd->Get64(&fw::kBootScriptPcdSpace, 0x30000);
  const UINT64 smmRecord = pcd->Get64(&fw::kBootScriptPcdSpace, 0x30001);
  const UINT64 csRecord = pcd->Get64(&fw::kChipsetS3PcdSpace, 0x27000);
  const UINT64 comm = pcd->Get64(&fw::kChipsetS3PcdSpace, 0x27001);
  const UINT64 table = pcd->Get64(&fw::kChipsetS3PcdSpace, 0x27002);
  const UINT64 size = pcd->Get64(&fw::kChipsetS3PcdSpace, 0x27003);
  fw::Line("s3")
      .Char(' ')
      .Str(tag)
      .Str(" pcd bs-record=")
      .Hex(record)
      .Str(" bs-smm-record=")
      .Hex(smmRecord)
      .Str(" cs-record=")
      .Hex(csRecord)
      .Str(" comm=")
      .Hex(comm)
      .Str(" table=")
      .Hex(table)
      .Str(" size=")
      .Hex(size)
      .Emit();
  if (record != 0) {
    fw::Line("s3").Char(' ').Str(tag).Str(" bs-record data=").Bytes(At(record), kRecordBytes).Emit();
    const UINT64 script = Read<UINT64>(record + kRecordTableAddress);
    const UINT32 length = Read<UINT32>(record + kRecordScriptLength);
    if (script != 0 && length + 8 <= 4096) {
      fw::Line("s3").Char(' ').Str(tag).Str(" script data=").Bytes(At(script), length + 8).Emit();
    }
  }
  if (csRecord != 0) {
    fw::Line("s3").Char(' ').Str(tag).Str(" cs-record data=").Bytes(At(csRecord), kChipsetRecordBytes).Emit();
  }
  if (table != 0) {
    fw::Line line("s3");
    line.Char(' ').Str(tag).Str(" table");
    if (csRecord != 0 && Read<UINT8>(csRecord + kChipsetRecordTableClosed) != 0) {
      line.Str(" freed");
    } else {
      const UINT64 bytes = (size < kTableMinSize ? kTableMinSize : size) + 4;
      const UINT64 next = Read<UINT64>(table + kTableNextEntryOffset);
      line.Str(" head=")
          .Bytes(At(table), kTableHeaderBytes)
          .Str(" boundary=")
          .Bytes(At(table + kTableBoundary), 4);
      // The end marker's place, as far as it lies inside the table.
      if (next >= kTableHeaderBytes && next + 4 <= bytes) {
        line.Str(" next=").Bytes(At(table + next), 4);
      } else {
        line.Str(" next=outside");
      }
    }
    line.Emit();
  }
  if (comm != 0) {
    fw::Line("s3").Char(' ').Str(tag).Str(" comm data=").Bytes(At(comm), kCommDumpBytes).Emit();
  }
  return EFI_SUCCESS;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI EfiMain(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  fw::Init(image, systemTable);
  const int argc = fw::GetArgs(gArgs);
  const char* command = argc >= 2 ? gArgs[1] : "";
  if (fw::StrEq(command, "lock") && argc == 2) return Lock();
  if (fw::StrEq(command, "boot") && argc == 2) return ReadyToBoot();
  if (fw::StrEq(command, "script") && argc == 3) return Script(gArgs[2]);
  if (fw::StrEq(command, "dump") && argc == 3) return Dump(gArgs[2]);
  fw::Line("error").Str(" s3ctl: bad command ").Str(command).Emit();
  return EFI_INVALID_PARAMETER;
}
