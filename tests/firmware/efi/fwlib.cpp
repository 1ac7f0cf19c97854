#include "fwlib.h"

// The compiler may emit calls to these for block copies and clears; the
// helpers link no C library.
extern "C" void* memset(void* destination, int value, size_t count) {
  UINT8* d = static_cast<UINT8*>(destination);
  for (size_t i = 0; i < count; i++) {
    d[i] = static_cast<UINT8>(value);
  }
  return destination;
}

extern "C" void* memcpy(void* destination, const void* source, size_t count) {
  UINT8* d = static_cast<UINT8*>(destination);
  const UINT8* s = static_cast<const UINT8*>(source);
  for (size_t i = 0; i < count; i++) {
    d[i] = s[i];
  }
  return destination;
}

namespace fw {

EFI_HANDLE gImage;
EFI_SYSTEM_TABLE* gST;
EFI_BOOT_SERVICES* gBS;
EFI_RUNTIME_SERVICES* gRT;

const EFI_GUID kTestGuid = {0xCEE76250, 0x3872, 0x4773, {0x8E, 0x13, 0x12, 0xBC, 0x56, 0xC4, 0xB8, 0xAC}};
const EFI_GUID kLoadedImageProtocolGuid = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

const EFI_GUID kPcdProtocolGuid = {
    0x13A3F0F6, 0x264A, 0x3EF0, {0xF2, 0xE0, 0xDE, 0xC5, 0x12, 0x34, 0x2F, 0x34}};
const EFI_GUID kBootScriptPcdSpace = {
    0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};
const EFI_GUID kChipsetS3PcdSpace = {
    0x7788ADF0, 0x9788, 0x4A3F, {0x83, 0xFA, 0xCB, 0x51, 0x2E, 0x7C, 0xF8, 0xDD}};

namespace {

constexpr UINT16 kDebugConsolePort = 0x402;
constexpr UINTN kLineMax = 8192;

char gLine[kLineMax];
UINTN gLineLength;
bool gLineTruncated;

struct NamedGuid {
  const char* name;
  EFI_GUID guid;
};

const NamedGuid kNamedGuids[] = {
    {"bc", {0x99165095, 0x035D, 0x44CC, {0x92, 0x34, 0xDB, 0x41, 0xD2, 0xD3, 0xE9, 0x59}}},
    {"lid", {0x99165095, 0x035D, 0x44CC, {0x92, 0x34, 0xDB, 0x41, 0xD2, 0xD3, 0x59, 0xE9}}},
    {"setup", {0xA04A27F4, 0xDF00, 0x4D42, {0xB5, 0x52, 0x39, 0x51, 0x13, 0x02, 0x11, 0x3D}}},
    {"global", {0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}}},
    {"phys", {0x59D1C24F, 0x50F1, 0x401A, {0xB1, 0x01, 0xF3, 0x3E, 0x0D, 0xAE, 0xD4, 0x43}}},
    {"oob", {0x259C170F, 0x0FC4, 0x4FE1, {0xBC, 0x23, 0xB0, 0xB8, 0x07, 0x00, 0x72, 0x5E}}},
    {"chgkey", {0xA3ADAF88, 0xB599, 0x4204, {0xB4, 0xC5, 0xEE, 0x92, 0x02, 0x6A, 0xFD, 0x31}}},
    {"test", {0xCEE76250, 0x3872, 0x4773, {0x8E, 0x13, 0x12, 0xBC, 0x56, 0xC4, 0xB8, 0xAC}}},
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void Put(char c) {
  if (gLineLength < kLineMax - 1) {
    gLine[gLineLength++] = c;
  } else {
    gLineTruncated = true;
  }
}

bool IsBlank(CHAR16 c) { return c == u' ' || c == u'\t'; }

}  // namespace

void Init(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  gImage = image;
  gST = systemTable;
  gBS = systemTable->BootServices;
  gRT = systemTable->RuntimeServices;
}

void PortWrite8(UINT16 port, UINT8 value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port));
}

UINT64 ReadTsc() {
  UINT32 lo, hi;
  __asm__ __volatile__("rdtsc" : "=a"(lo), "=d"(hi));
  return (static_cast<UINT64>(hi) << 32) | lo;
}

Line::Line(const char* kind) {
  gLineLength = 0;
  gLineTruncated = false;
  Str("FWT ");
  Str(kind);
}

Line& Line::Str(const char* text) {
  while (*text != 0) {
    Put(*text++);
  }
  return *this;
}

Line& Line::Char(char c) {
  Put(c);
  return *this;
}

Line& Line::Hex(UINT64 value, int digits) {
  char buf[16];
  int n = 0;
  do {
    buf[n++] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  } while (value != 0 && n < 16);
  while (n < digits && n < 16) {
    buf[n++] = '0';
  }
  while (n > 0) {
    Put(buf[--n]);
  }
  return *this;
}

Line& Line::Dec(UINT64 value) {
  char buf[20];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) {
    Put(buf[--n]);
  }
  return *this;
}

Line& Line::Guid(const EFI_GUID& g) {
  Hex(g.Data1, 8).Char('-').Hex(g.Data2, 4).Char('-').Hex(g.Data3, 4).Char('-');
  Hex(g.Data4[0], 2).Hex(g.Data4[1], 2).Char('-');
  for (int i = 2; i < 8; i++) {
    Hex(g.Data4[i], 2);
  }
  return *this;
}

Line& Line::Bytes(const void* data, UINTN size) {
  const UINT8* p = static_cast<const UINT8*>(data);
  for (UINTN i = 0; i < size; i++) {
    Hex(p[i], 2);
  }
  return *this;
}

Line& Line::Wide(const CHAR16* text) {
  for (; *text != 0; text++) {
    if (*text > u' ' && *text < 0x7F && *text != u'\\') {
      Put(static_cast<char>(*text));
    } else {
      Str("\\u").Hex(*text, 4);
    }
  }
  return *this;
}

void Line::Emit() {
  if (gLineTruncated) {
    gLineLength = kLineMax - 16;
    Str(" <truncated>");
  }
  Put('\n');
  for (UINTN i = 0; i < gLineLength; i++) {
    PortWrite8(kDebugConsolePort, static_cast<UINT8>(gLine[i]));
  }
  gLineLength = 0;
}

int GetArgs(char (*argv)[kMaxArgChars]) {
  EFI_LOADED_IMAGE_PROTOCOL* loaded = nullptr;
  if (EFI_ERROR(gBS->HandleProtocol(gImage, &kLoadedImageProtocolGuid, reinterpret_cast<void**>(&loaded))) ||
      loaded->LoadOptions == nullptr) {
    return 0;
  }
  const CHAR16* p = static_cast<const CHAR16*>(loaded->LoadOptions);
  const UINTN chars = loaded->LoadOptionsSize / sizeof(CHAR16);
  UINTN i = 0;
  int argc = 0;
  while (argc < kMaxArgs) {
    while (i < chars && IsBlank(p[i])) i++;
    if (i >= chars || p[i] == 0) break;
    int n = 0;
    bool quoted = false;
    while (i < chars && p[i] != 0 && (quoted || !IsBlank(p[i]))) {
      if (p[i] == u'"') {
        quoted = !quoted;
      } else if (n < kMaxArgChars - 1) {
        // The helpers take ASCII arguments only.
        argv[argc][n++] = p[i] < 0x80 ? static_cast<char>(p[i]) : '?';
      } else if (n == kMaxArgChars - 1) {
        argv[argc][n++] = 0;
        Line("error").Str(" argument too long: ").Str(argv[argc]).Emit();
      }
      i++;
    }
    if (n < kMaxArgChars) argv[argc][n] = 0;
    argc++;
  }
  return argc;
}

bool StrEq(const char* a, const char* b) {
  while (*a != 0 && *a == *b) {
    a++;
    b++;
  }
  return *a == *b;
}

bool GuidEq(const EFI_GUID& a, const EFI_GUID& b) {
  const UINT8* x = reinterpret_cast<const UINT8*>(&a);
  const UINT8* y = reinterpret_cast<const UINT8*>(&b);
  for (UINTN i = 0; i < sizeof(EFI_GUID); i++) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

bool StartsWith(const char* text, const char* prefix) {
  while (*prefix != 0) {
    if (*text++ != *prefix++) return false;
  }
  return true;
}

UINTN StrLen(const char* text) {
  UINTN n = 0;
  while (text[n] != 0) n++;
  return n;
}

bool ParseHex(const char* text, UINT64* value, const char** end) {
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  UINT64 v = 0;
  int digits = 0;
  for (; HexDigit(*text) >= 0 && digits < 16; text++, digits++) {
    v = (v << 4) | static_cast<UINT64>(HexDigit(*text));
  }
  *value = v;
  if (end != nullptr) {
    *end = text;
  } else if (*text != 0) {
    return false;
  }
  return digits > 0;
}

bool ParseDec(const char* text, UINT64* value, const char** end) {
  UINT64 v = 0;
  int digits = 0;
  for (; *text >= '0' && *text <= '9' && digits < 19; text++, digits++) {
    v = v * 10 + static_cast<UINT64>(*text - '0');
  }
  *value = v;
  if (end != nullptr) {
    *end = text;
  } else if (*text != 0) {
    return false;
  }
  return digits > 0;
}

bool ParseGuid(const char* text, EFI_GUID* guid) {
  for (const NamedGuid& named : kNamedGuids) {
    if (StrEq(text, named.name)) {
      *guid = named.guid;
      return true;
    }
  }
  // XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX
  if (StrLen(text) != 36) return false;
  UINT8 bytes[16];
  int n = 0;
  for (int i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      i++;
      continue;
    }
    const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes[n++] = static_cast<UINT8>(hi << 4 | lo);
    i += 2;
  }
  guid->Data1 = static_cast<UINT32>(bytes[0]) << 24 | static_cast<UINT32>(bytes[1]) << 16 |
                static_cast<UINT32>(bytes[2]) << 8 | bytes[3];
  guid->Data2 = static_cast<UINT16>(bytes[4] << 8 | bytes[5]);
  guid->Data3 = static_cast<UINT16>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; i++) guid->Data4[i] = bytes[8 + i];
  return true;
}

bool ToWide(const char* text, CHAR16* out, UINTN outChars) {
  UINTN n = 0;
  for (; text[n] != 0; n++) {
    if (n + 1 >= outChars) return false;
    out[n] = static_cast<CHAR16>(static_cast<UINT8>(text[n]));
  }
  out[n] = 0;
  return true;
}

void* Allocate(UINTN size) {
  void* buffer = nullptr;
  if (EFI_ERROR(gBS->AllocatePool(EfiBootServicesData, size == 0 ? 1 : size, &buffer))) return nullptr;
  return buffer;
}

void Free(void* buffer) {
  if (buffer != nullptr) gBS->FreePool(buffer);
}

void DumpVariable(const char* tag, const CHAR16* name, const EFI_GUID& guid) {
  UINTN size = 0;
  UINT32 attributes = 0;
  EFI_STATUS status = gRT->GetVariable(name, &guid, &attributes, &size, nullptr);
  void* data = nullptr;
  if (status == EFI_BUFFER_TOO_SMALL) {
    data = Allocate(size);
    status = data == nullptr ? EFI_OUT_OF_RESOURCES : gRT->GetVariable(name, &guid, &attributes, &size, data);
  }
  Line line("var");
  line.Char(' ').Str(tag).Char(' ').Wide(name).Char(' ').Guid(guid);
  if (status == EFI_NOT_FOUND) {
    line.Str(" absent");
  } else if (EFI_ERROR(status)) {
    line.Str(" error status=").Hex(status);
  } else {
    line.Str(" attr=").Hex(attributes, 8).Str(" size=").Dec(size).Str(" data=").Bytes(data, size);
  }
  line.Emit();
  Free(data);
}

void SnapshotVariables(const char* tag) {
  UINTN nameCapacity = 1024;
  CHAR16* name = static_cast<CHAR16*>(Allocate(nameCapacity));
  if (name == nullptr) {
    Line("snaperror").Char(' ').Str(tag).Str(" no memory").Emit();
    return;
  }
  name[0] = 0;
  EFI_GUID guid = {};
  UINTN count = 0;
  for (;;) {
    UINTN nameSize = nameCapacity;
    EFI_STATUS status = gRT->GetNextVariableName(&nameSize, name, &guid);
    if (status == EFI_BUFFER_TOO_SMALL) {
      CHAR16* bigger = static_cast<CHAR16*>(Allocate(nameSize));
      if (bigger == nullptr) break;
      memcpy(bigger, name, nameCapacity);
      Free(name);
      name = bigger;
      nameCapacity = nameSize;
      continue;
    }
    if (status == EFI_NOT_FOUND) break;
    if (EFI_ERROR(status)) {
      Line("snaperror").Char(' ').Str(tag).Str(" status=").Hex(status).Emit();
      break;
    }
    UINTN size = 0;
    UINT32 attributes = 0;
    UINT32 crc = 0;
    void* data = nullptr;
    status = gRT->GetVariable(name, &guid, &attributes, &size, nullptr);
    if (status == EFI_BUFFER_TOO_SMALL) {
      data = Allocate(size);
      if (data != nullptr && !EFI_ERROR(gRT->GetVariable(name, &guid, &attributes, &size, data))) {
        gBS->CalculateCrc32(data, size, &crc);
      }
    }
    Line line("snap");
    line.Char(' ').Str(tag).Char(' ').Wide(name).Char(' ').Guid(guid).Char(' ');
    line.Hex(attributes, 8).Char(' ').Dec(size).Char(' ').Hex(crc, 8).Emit();
    Free(data);
    count++;
  }
  Free(name);
  Line("snapend").Char(' ').Str(tag).Char(' ').Dec(count).Emit();
}

}  // namespace fw
