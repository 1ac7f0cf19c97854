// Reads the boot manager's strings back from the firmware's own HII
// database, through the firmware's HII string protocol.
//
//   hiiread strings   finds the package lists whose GUID is the boot
//                     manager's string package list {3B4D9B23-95AC-44F6-
//                     9FCD-0E9594586C72} (ListPackageLists, then
//                     ExportPackageLists of each list to read its GUID) and,
//                     for the first, prints:
//                       FWT hii lists count=N
//                       FWT hii package type=T length=L lang=TAG  (each one)
//                       FWT hii languages=LIST
//                       FWT hii str LANG ID status=S text=TEXT
//                     for LANG en-US and zh-TW and ids 1 to 33 (TEXT as
//                     fw::Line::Wide prints it: \uXXXX for anything outside
//                     printable ASCII; empty on an error)
//   hiiread skiptest  registers a package list of its own (en-US ids 1 to 3;
//                     zh-TW id 1, then a skip block over ids 2 and 3), and
//                     shows what the database does with a skipped id:
//                       FWT hii skiptest new status=S
//                       FWT hii skiptest get-skipped status=S text=TEXT
//                       FWT hii skiptest set-skipped status=S
//                       FWT hii skiptest get-set status=S text=TEXT
//                       FWT hii skiptest get-next status=S text=TEXT
//                       FWT hii skiptest remove status=S
//
// The protocol layouts are this helper's own copies, written from the UEFI
// specification, so that a fault in the driver's definitions is not
// mirrored here.
#include "fwlib.h"

namespace {

typedef void* HiiHandle;

struct HiiDatabase {
  EFI_STATUS(EFIAPI* NewPackageList)
  (HiiDatabase* self, const void* list, EFI_HANDLE driver, HiiHandle* handle);
  EFI_STATUS(EFIAPI* RemovePackageList)(HiiDatabase* self, HiiHandle handle);
  void* UpdatePackageList;
  EFI_STATUS(EFIAPI* ListPackageLists)
  (HiiDatabase* self, UINT8 type, const EFI_GUID* guid, UINTN* length, HiiHandle* handles);
  EFI_STATUS(EFIAPI* ExportPackageLists)(HiiDatabase* self, HiiHandle handle, UINTN* size, void* buffer);
};
static_assert(offsetof(HiiDatabase, ExportPackageLists) == 32, "HII database protocol layout");

struct HiiString {
  EFI_STATUS(EFIAPI* NewString)
  (HiiString* self, HiiHandle list, UINT16* id, const char* language, const CHAR16* name, const CHAR16* text,
   const void* font);
  EFI_STATUS(EFIAPI* GetString)
  (HiiString* self, const char* language, HiiHandle list, UINT16 id, CHAR16* text, UINTN* size, void** font);
  EFI_STATUS(EFIAPI* SetString)
  (HiiString* self, HiiHandle list, UINT16 id, const char* language, const CHAR16* text, const void* font);
  EFI_STATUS(EFIAPI* GetLanguages)(HiiString* self, HiiHandle list, char* languages, UINTN* size);
};
static_assert(offsetof(HiiString, GetLanguages) == 24, "HII string protocol layout");

const EFI_GUID kHiiDatabaseGuid = {
    0xEF9FC172, 0xA1B2, 0x4693, {0xB3, 0x27, 0x6D, 0x32, 0xFC, 0x41, 0x60, 0x42}};
const EFI_GUID kHiiStringGuid = {
    0x0FD96974, 0x23AA, 0x4CDC, {0xB9, 0xCB, 0x98, 0xD1, 0x77, 0x50, 0x32, 0x2A}};
const EFI_GUID kBootStringsListGuid = {
    0x3B4D9B23, 0x95AC, 0x44F6, {0x9F, 0xCD, 0x0E, 0x95, 0x94, 0x58, 0x6C, 0x72}};
const EFI_GUID kSkipTestListGuid = {
    0xCEE76250, 0x3872, 0x4773, {0x8E, 0x13, 0x12, 0xBC, 0x56, 0xC4, 0xB8, 0xAD}};

constexpr UINT8 kPackageStrings = 0x04;
constexpr UINTN kMaxLists = 64;
constexpr UINTN kTextChars = 512;

HiiDatabase* gDatabase;
HiiString* gStrings;
CHAR16 gText[kTextChars];
char gArgs[fw::kMaxArgs][fw::kMaxArgChars];

UINT32 Le32(const UINT8* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<UINT32>(p[3]) << 24); }

// GetString into gText; the text is empty on an error.
EFI_STATUS ReadString(const char* language, HiiHandle list, UINT16 id) {
  UINTN size = sizeof(gText);
  gText[0] = 0;
  const EFI_STATUS status = gStrings->GetString(gStrings, language, list, id, gText, &size, nullptr);
  if (EFI_ERROR(status)) gText[0] = 0;
  return status;
}

// Prints each package of an exported list: type, length, and the language
// tag of a string package.
void PrintPackages(const UINT8* list, UINTN size) {
  const UINTN end = size < Le32(list + 16) ? size : Le32(list + 16);
  for (UINTN at = 20; at + 4 <= end;) {
    const UINT32 header = Le32(list + at);
    const UINT32 length = header & 0xFFFFFF;
    const UINT8 type = static_cast<UINT8>(header >> 24);
    fw::Line line("hii");
    line.Str(" package type=").Hex(type, 2).Str(" length=").Dec(length);
    if (type == kPackageStrings && length > 46 && at + length <= end) {
      line.Str(" lang=");
      for (UINTN i = at + 46; i < at + length && list[i] != 0; i++) line.Char(static_cast<char>(list[i]));
    }
    line.Emit();
    if (length < 4) break;
    at += length;
  }
}

EFI_STATUS Strings() {
  HiiHandle handles[kMaxLists];
  UINTN length = sizeof(handles);
  EFI_STATUS status = gDatabase->ListPackageLists(gDatabase, kPackageStrings, nullptr, &length, handles);
  if (EFI_ERROR(status)) {
    fw::Line("error").Str(" hiiread: ListPackageLists status=").Hex(status).Emit();
    return status;
  }
  HiiHandle ours = nullptr;
  UINTN count = 0;
  for (UINTN i = 0; i < length / sizeof(HiiHandle); i++) {
    UINTN size = 0;
    status = gDatabase->ExportPackageLists(gDatabase, handles[i], &size, nullptr);
    if (status != EFI_BUFFER_TOO_SMALL) continue;
    UINT8* list = static_cast<UINT8*>(fw::Allocate(size));
    if (list == nullptr) return EFI_OUT_OF_RESOURCES;
    if (!EFI_ERROR(gDatabase->ExportPackageLists(gDatabase, handles[i], &size, list)) && size >= 24 &&
        fw::GuidEq(*reinterpret_cast<const EFI_GUID*>(list), kBootStringsListGuid)) {
      if (count++ == 0) {
        ours = handles[i];
        PrintPackages(list, size);
      }
    }
    fw::Free(list);
  }
  fw::Line("hii").Str(" lists count=").Dec(count).Emit();
  if (ours == nullptr) return EFI_SUCCESS;

  char languages[128] = {};
  UINTN size = sizeof(languages) - 1;
  status = gStrings->GetLanguages(gStrings, ours, languages, &size);
  fw::Line("hii")
      .Str(" languages=")
      .Str(EFI_ERROR(status) ? "" : languages)
      .Str(" status=")
      .Hex(status)
      .Emit();

  const char* const kLanguages[] = {"en-US", "zh-TW"};
  for (const char* language : kLanguages) {
    for (UINT16 id = 1; id <= 33; id++) {
      status = ReadString(language, ours, id);
      fw::Line("hii")
          .Str(" str ")
          .Str(language)
          .Char(' ')
          .Dec(id)
          .Str(" status=")
          .Hex(status)
          .Str(" text=")
          .Wide(gText)
          .Emit();
    }
  }
  return EFI_SUCCESS;
}

// A package list in UEFI formats: the list header, string packages, the end
// package.
class ListBuilder {
 public:
  void Begin(const EFI_GUID& guid) {
    size_ = 0;
    Bytes(&guid, sizeof(guid));
    Put32(0);  // the list length, set in End()
  }
  void BeginStrings(const char* language) {
    package_ = size_;
    Put32(0);                              // length and type, set in EndStrings()
    Put32(46 + fw::StrLen(language) + 1);  // HdrSize
    Put32(46 + fw::StrLen(language) + 1);  // StringInfoOffset
    for (int i = 0; i < 32; i++) Put8(0);  // LanguageWindow
    Put16(1);                              // LanguageName: string id 1
    Bytes(language, fw::StrLen(language) + 1);
  }
  void String(const char* text) {
    Put8(0x14);
    for (UINTN i = 0; text[i] != 0; i++) Put16(static_cast<UINT8>(text[i]));
    Put16(0);
  }
  void Skip(UINT16 count) {
    Put8(0x21);
    Put16(count);
  }
  void EndStrings() {
    Put8(0x00);
    Set32(package_, static_cast<UINT32>(size_ - package_) | (static_cast<UINT32>(kPackageStrings) << 24));
  }
  const void* End() {
    Put32(0xDF000004);
    Set32(16, static_cast<UINT32>(size_));
    return buffer_;
  }

 private:
  void Put8(UINT8 v) { buffer_[size_++] = v; }
  void Put16(UINT16 v) {
    Put8(static_cast<UINT8>(v));
    Put8(static_cast<UINT8>(v >> 8));
  }
  void Put32(UINT32 v) {
    Put16(static_cast<UINT16>(v));
    Put16(static_cast<UINT16>(v >> 16));
  }
  void Set32(UINTN at, UINT32 v) {
    for (int i = 0; i < 4; i++) buffer_[at + i] = static_cast<UINT8>(v >> (8 * i));
  }
  void Bytes(const void* data, UINTN n) {
    for (UINTN i = 0; i < n; i++) Put8(static_cast<const UINT8*>(data)[i]);
  }
  alignas(8) UINT8 buffer_[512];
  UINTN size_ = 0;
  UINTN package_ = 0;
};

ListBuilder gList;

void PrintSkipTest(const char* step, EFI_STATUS status, bool text) {
  fw::Line line("hii");
  line.Str(" skiptest ").Str(step).Str(" status=").Hex(status);
  if (text) line.Str(" text=").Wide(gText);
  line.Emit();
}

EFI_STATUS SkipTest() {
  gList.Begin(kSkipTestListGuid);
  gList.BeginStrings("en-US");
  gList.String("One");
  gList.String("Two");
  gList.String("Three");
  gList.EndStrings();
  gList.BeginStrings("zh-TW");
  gList.String("Yi");
  gList.Skip(2);
  gList.EndStrings();
  HiiHandle handle = nullptr;
  EFI_STATUS status = gDatabase->NewPackageList(gDatabase, gList.End(), nullptr, &handle);
  PrintSkipTest("new", status, false);
  if (EFI_ERROR(status)) return status;
  PrintSkipTest("get-skipped", ReadString("zh-TW", handle, 2), true);
  static const CHAR16 kSet[] = u"Er";
  PrintSkipTest("set-skipped", gStrings->SetString(gStrings, handle, 2, "zh-TW", kSet, nullptr), false);
  PrintSkipTest("get-set", ReadString("zh-TW", handle, 2), true);
  PrintSkipTest("get-next", ReadString("zh-TW", handle, 3), true);
  status = gDatabase->RemovePackageList(gDatabase, handle);
  PrintSkipTest("remove", status, false);
  return status;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI EfiMain(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  fw::Init(image, systemTable);
  const int argc = fw::GetArgs(gArgs);
  if (EFI_ERROR(fw::gBS->LocateProtocol(&kHiiDatabaseGuid, nullptr, reinterpret_cast<void**>(&gDatabase))) ||
      EFI_ERROR(fw::gBS->LocateProtocol(&kHiiStringGuid, nullptr, reinterpret_cast<void**>(&gStrings)))) {
    fw::Line("error").Str(" hiiread: no HII database or string protocol").Emit();
    return EFI_NOT_FOUND;
  }
  if (argc == 2 && fw::StrEq(gArgs[1], "strings")) return Strings();
  if (argc == 2 && fw::StrEq(gArgs[1], "skiptest")) return SkipTest();
  fw::Line("error").Str(" hiiread: bad command").Emit();
  return EFI_INVALID_PARAMETER;
}
