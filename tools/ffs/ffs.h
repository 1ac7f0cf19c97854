// Builds PI firmware files: a DXE driver file holding a dependency
// expression, the PE32+ image and the driver's user-interface name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fwfile {

using Bytes = std::vector<uint8_t>;

// A GUID in its stored byte order (first three fields little-endian).
struct Guid {
  uint8_t bytes[16];
};

// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", braces optional.
std::optional<Guid> ParseGuid(const std::string& text);
std::string FormatGuid(const Guid& guid);

// One protocol the driver waits for, with the reason it is waited for.
struct DepexItem {
  const char* guid;
  const char* name;
};

// Dependency-expression opcodes.
enum : uint8_t {
  kDepexBefore = 0x00,
  kDepexAfter = 0x01,
  kDepexPush = 0x02,
  kDepexAnd = 0x03,
  kDepexTrue = 0x06,
  kDepexEnd = 0x08,
};

// Section types.
enum : uint8_t {
  kSectionPe32 = 0x10,
  kSectionDxeDepex = 0x13,
  kSectionUserInterface = 0x15,
};

constexpr uint8_t kFileTypeDriver = 0x07;
// Data checksum of a file whose attributes do not ask for one.
constexpr uint8_t kFixedDataChecksum = 0xAA;
// File state "header construction, header valid, data valid" as stored in a
// volume whose erased bits read 1: every state bit that is set is written 0.
constexpr uint8_t kStateValidErasedOnes = 0xF8;
constexpr size_t kFileHeaderSize = 24;
constexpr size_t kSectionHeaderSize = 4;
// Largest file and section a 24-bit size field can describe.
constexpr size_t kMaxSize24 = 0xFFFFFF;

// PUSH of each GUID, AND between them, END. An empty list gives TRUE END.
Bytes AllOfDepex(const std::vector<Guid>& protocols);
// BEFORE or AFTER a named file, END: that is the whole expression.
Bytes OrderDepex(uint8_t opcode, const Guid& file);

// A section: 24-bit length (header included) and type, then the payload.
// Fails (nullopt) when the section would not fit the 24-bit length.
std::optional<Bytes> Section(uint8_t type, const Bytes& payload);
// The NUL-terminated UCS-2 form of an ASCII name.
Bytes Ucs2(const std::string& ascii);

struct DriverFile {
  Guid name;
  Bytes depex;  // the expression, without its section header
  Bytes image;  // the PE32+ image
  std::string uiName;
};

// The whole file: header, then the depex, PE32 and user-interface sections,
// each starting on a 4-byte boundary of the file. nullopt with `error` set
// when the file does not fit a 24-bit size.
std::optional<Bytes> BuildDriverFile(const DriverFile& file, std::string* error);

// The BootCtlDxe dependency list and file name.
const std::vector<DepexItem>& BootCtlDepex();
extern const char* const kBootCtlFileGuid;
extern const char* const kBootCtlUiName;

}  // namespace fwfile
