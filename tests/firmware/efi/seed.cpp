// Writes firmware variables from its command line, one argument each:
//
//   NAME:GUID:ATTR:DATA
//
// GUID is a registry-form GUID or a short name (see fw::ParseGuid), ATTR is
// hexadecimal. DATA is one of:
//   -                 delete the variable
//   0102AB            bytes in hexadecimal
//   zSIZE[+OFF=HH]..  SIZE zero bytes, then byte OFF (decimal) set to HH
//   pSIZE[+OFF=HH]..  SIZE bytes of a fixed pattern (byte i = i*13+7), then edits
//   wXXXX.XXXX..      16-bit little-endian words; the word "cur" stands for
//                     the words the variable holds now (absent: none)
//   oTEXT             an active load option described TEXT, device path empty
//   aTEXT             the ASCII text itself, no terminator
// Prints "FWT seed NAME GUID status=S" for each and stops at the first failure.
#include "fwlib.h"

namespace {

constexpr UINTN kMaxData = 16384;
constexpr UINTN kMaxName = 128;

UINT8 gData[kMaxData];
char gArgs[fw::kMaxArgs][fw::kMaxArgChars];

// Splits "A:B:C:D" in place; D keeps any further colons.
bool Split(char* text, char* fields[4]) {
  int n = 0;
  fields[n++] = text;
  for (char* p = text; *p != 0 && n < 4; p++) {
    if (*p == ':') {
      *p = 0;
      fields[n++] = p + 1;
    }
  }
  return n == 4;
}

bool ApplyEdits(const char* p, UINTN size) {
  while (*p == '+') {
    UINT64 offset = 0, value = 0;
    if (!fw::ParseDec(p + 1, &offset, &p) || *p != '=') return false;
    if (!fw::ParseHex(p + 1, &value, &p) || offset >= size || value > 0xFF) return false;
    gData[offset] = static_cast<UINT8>(value);
  }
  return *p == 0;
}

// Appends the current words of the variable to gData at *size.
bool AppendCurrentWords(const CHAR16* name, const EFI_GUID& guid, UINTN* size) {
  UINTN currentSize = kMaxData - *size;
  EFI_STATUS status = fw::gRT->GetVariable(name, &guid, nullptr, &currentSize, gData + *size);
  if (status == EFI_NOT_FOUND) return true;
  if (EFI_ERROR(status) || currentSize % 2 != 0) return false;
  *size += currentSize;
  return true;
}

bool BuildData(const char* source, const CHAR16* name, const EFI_GUID& guid, UINTN* size) {
  *size = 0;
  if (source[0] == 'z' || source[0] == 'p') {
    UINT64 n = 0;
    const char* rest = nullptr;
    if (!fw::ParseDec(source + 1, &n, &rest) || n > kMaxData) return false;
    for (UINTN i = 0; i < n; i++) gData[i] = source[0] == 'z' ? 0 : static_cast<UINT8>(i * 13 + 7);
    *size = n;
    return ApplyEdits(rest, n);
  }
  if (source[0] == 'w') {
    const char* p = source + 1;
    while (*p != 0) {
      if (fw::StartsWith(p, "cur")) {
        if (!AppendCurrentWords(name, guid, size)) return false;
        p += 3;
      } else {
        UINT64 word = 0;
        if (!fw::ParseHex(p, &word, &p) || word > 0xFFFF || *size + 2 > kMaxData) return false;
        gData[(*size)++] = static_cast<UINT8>(word);
        gData[(*size)++] = static_cast<UINT8>(word >> 8);
      }
      if (*p == '.')
        p++;
      else if (*p != 0)
        return false;
    }
    return true;
  }
  if (source[0] == 'a') {
    const UINTN n = fw::StrLen(source + 1);
    if (n > kMaxData) return false;
    memcpy(gData, source + 1, n);
    *size = n;
    return n > 0;
  }
  if (source[0] == 'o') {
    // EFI_LOAD_OPTION: Attributes, FilePathListLength, Description, FilePathList.
    const char* text = source + 1;
    const UINTN textChars = fw::StrLen(text) + 1;
    UINTN n = 0;
    const UINT32 active = 1;
    memcpy(gData, &active, 4);
    gData[4] = 4;
    gData[5] = 0;
    n = 6;
    for (UINTN i = 0; i < textChars; i++) {
      gData[n++] = static_cast<UINT8>(text[i]);
      gData[n++] = 0;
    }
    const UINT8 end[4] = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0};
    memcpy(gData + n, end, 4);
    *size = n + 4;
    return true;
  }
  // Plain hexadecimal bytes.
  UINTN n = 0;
  for (const char* p = source; *p != 0; p += 2) {
    char pair[3] = {p[0], p[1], 0};
    UINT64 value = 0;
    if (p[1] == 0 || !fw::ParseHex(pair, &value) || n >= kMaxData) return false;
    gData[n++] = static_cast<UINT8>(value);
  }
  *size = n;
  return n > 0;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI EfiMain(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  fw::Init(image, systemTable);
  const int argc = fw::GetArgs(gArgs);
  for (int i = 1; i < argc; i++) {
    char* fields[4];
    CHAR16 name[kMaxName];
    EFI_GUID guid;
    UINT64 attributes = 0;
    UINTN size = 0;
    if (!Split(gArgs[i], fields) || !fw::ToWide(fields[0], name, kMaxName) ||
        !fw::ParseGuid(fields[1], &guid) || !fw::ParseHex(fields[2], &attributes) ||
        attributes > 0xFFFFFFFF) {
      fw::Line("error").Str(" seed: bad variable argument ").Str(gArgs[i]).Emit();
      return EFI_INVALID_PARAMETER;
    }
    const bool remove = fw::StrEq(fields[3], "-");
    if (!remove && !BuildData(fields[3], name, guid, &size)) {
      fw::Line("error").Str(" seed: bad data ").Str(fields[3]).Emit();
      return EFI_INVALID_PARAMETER;
    }
    EFI_STATUS status = fw::gRT->SetVariable(name, &guid, static_cast<UINT32>(attributes), size, gData);
    // Deleting what is not there already is no failure for a seed.
    if (remove && status == EFI_NOT_FOUND) status = EFI_SUCCESS;
    fw::Line("seed").Char(' ').Wide(name).Char(' ').Guid(guid).Str(" status=").Hex(status).Emit();
    if (EFI_ERROR(status)) return status;
  }
  return EFI_SUCCESS;
}
