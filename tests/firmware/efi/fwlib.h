// Shared code of the firmware-test EFI helpers: service tables, output to the
// debug console, command-line parsing and variable dumps.
//
// Every line a helper prints goes to the debug console (I/O port 0x402) as
// "FWT <kind> ..." so the runner can tell our lines from the firmware's.
#pragma once

#include "frame/uefi.h"

extern "C" void* memset(void* destination, int value, size_t count);
extern "C" void* memcpy(void* destination, const void* source, size_t count);

namespace fw {

extern EFI_HANDLE gImage;
extern EFI_SYSTEM_TABLE* gST;
extern EFI_BOOT_SERVICES* gBS;
extern EFI_RUNTIME_SERVICES* gRT;

void Init(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable);

void PortWrite8(UINT16 port, UINT8 value);
UINT64 ReadTsc();

// One output line, built in a static buffer and sent whole by Emit(). Text
// past the buffer's end is dropped and the line is marked truncated.
class Line {
 public:
  explicit Line(const char* kind);
  Line& Str(const char* text);
  Line& Char(char c);
  Line& Hex(UINT64 value, int digits = 0);
  Line& Dec(UINT64 value);
  Line& Guid(const EFI_GUID& guid);
  Line& Bytes(const void* data, UINTN size);
  // A UTF-16 name; anything outside printable ASCII (and space) is escaped
  // as \uXXXX so the name stays one token.
  Line& Wide(const CHAR16* text);
  void Emit();
};

// Command line of this image (EFI_LOADED_IMAGE_PROTOCOL.LoadOptions), split
// at blanks, double quotes grouping; argv[0] is the command itself.
constexpr int kMaxArgs = 48;
constexpr int kMaxArgChars = 256;
int GetArgs(char (*argv)[kMaxArgChars]);

bool StrEq(const char* a, const char* b);
bool GuidEq(const EFI_GUID& a, const EFI_GUID& b);
bool StartsWith(const char* text, const char* prefix);
UINTN StrLen(const char* text);
// Parses hexadecimal digits (optional 0x) up to the end or a stop character.
bool ParseHex(const char* text, UINT64* value, const char** end = nullptr);
bool ParseDec(const char* text, UINT64* value, const char** end = nullptr);
// A GUID in registry form, or one of the short names the scenarios use:
// bc, lid, setup, global, phys, oob, chgkey, test.
bool ParseGuid(const char* text, EFI_GUID* guid);
// ASCII name to UTF-16; returns false when it does not fit.
bool ToWide(const char* text, CHAR16* out, UINTN outChars);

void* Allocate(UINTN size);
void Free(void* buffer);

// Prints "FWT var TAG NAME GUID attr=.. size=.. data=HEX" or "... absent".
void DumpVariable(const char* tag, const CHAR16* name, const EFI_GUID& guid);
// Prints one "FWT snap TAG NAME GUID ATTR SIZE CRC32" line per variable in
// the store, then "FWT snapend TAG COUNT".
void SnapshotVariables(const char* tag);

// The PI PCD protocol, every member in its place (18 pointers). The helpers
// keep their own copy of the layout so that a fault in the driver's is not
// mirrored here.
extern const EFI_GUID kPcdProtocolGuid;
struct PiPcdProtocol {
  void(EFIAPI* SetSku)(UINTN skuId);
  UINT8(EFIAPI* Get8)(const EFI_GUID* space, UINTN token);
  UINT16(EFIAPI* Get16)(const EFI_GUID* space, UINTN token);
  UINT32(EFIAPI* Get32)(const EFI_GUID* space, UINTN token);
  UINT64(EFIAPI* Get64)(const EFI_GUID* space, UINTN token);
  void*(EFIAPI* GetPtr)(const EFI_GUID* space, UINTN token);
  BOOLEAN(EFIAPI* GetBool)(const EFI_GUID* space, UINTN token);
  UINTN(EFIAPI* GetSize)(const EFI_GUID* space, UINTN token);
  EFI_STATUS(EFIAPI* Set8)(const EFI_GUID* space, UINTN token, UINT8 value);
  EFI_STATUS(EFIAPI* Set16)(const EFI_GUID* space, UINTN token, UINT16 value);
  EFI_STATUS(EFIAPI* Set32)(const EFI_GUID* space, UINTN token, UINT32 value);
  EFI_STATUS(EFIAPI* Set64)(const EFI_GUID* space, UINTN token, UINT64 value);
  EFI_STATUS(EFIAPI* SetPtr)(const EFI_GUID* space, UINTN token, UINTN* size, void* buffer);
  EFI_STATUS(EFIAPI* SetBool)(const EFI_GUID* space, UINTN token, BOOLEAN value);
  void* CallbackOnSet;
  void* CancelCallback;
  EFI_STATUS(EFIAPI* GetNextToken)(const EFI_GUID* space, UINTN* token);
  void* GetNextTokenSpace;
};
static_assert(sizeof(PiPcdProtocol) == 144, "PI PCD protocol: 18 members");
static_assert(offsetof(PiPcdProtocol, Get64) == 32, "PI PCD protocol layout");
static_assert(offsetof(PiPcdProtocol, Set64) == 88, "PI PCD protocol layout");
static_assert(offsetof(PiPcdProtocol, GetNextToken) == 128, "PI PCD protocol layout");

// Token spaces of the S3 libraries' PCDs (boot-script record, chipset S3
// save table), answered by the platform stand-in.
extern const EFI_GUID kBootScriptPcdSpace;
extern const EFI_GUID kChipsetS3PcdSpace;

// Vendor GUID of the test's own bookkeeping variables.
extern const EFI_GUID kTestGuid;
extern const EFI_GUID kLoadedImageProtocolGuid;

}  // namespace fw
