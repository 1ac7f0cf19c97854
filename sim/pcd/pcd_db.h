// sim/pcd/: the PCD world. Models the PI PCD protocol over declared token
// spaces and the debug-message protocol that formats into the trace. Records
// no violations: reads and writes are traced and their statuses are what the
// protocol answers.
//
// A PCD database producing the PI PCD protocol: token spaces by GUID, 8-,
// 16-, 32- and 64-bit, boolean and pointer values with their sizes, and a
// token order per space (the order in which tokens were declared).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "sim/platform.h"
#include "support/pcd/pcd.h"

namespace sim {

class PcdDatabase {
 public:
  enum class Kind { U8, U16, U32, U64, Bool, Ptr };
  struct Token {
    uint64_t number = 0;
    Kind kind = Kind::U32;
    uint64_t value = 0;          // numeric kinds
    std::vector<uint8_t> bytes;  // pointer kind
  };

  // Installs the protocol at the start of every boot unless `installed` is
  // false. Values set by the driver last for the boot; every boot starts
  // from the declared values.
  explicit PcdDatabase(Platform& platform);
  ~PcdDatabase();
  bool installed = true;

  void Declare(const EFI_GUID& space, uint64_t number, Kind kind, uint64_t value);
  void DeclarePtr(const EFI_GUID& space, uint64_t number, std::vector<uint8_t> bytes);
  const Token* Find(const EFI_GUID& space, uint64_t number) const;  // current (boot) value
  std::vector<std::pair<EFI_GUID, Token>> Declared() const;         // declaration order

  uint64_t gets = 0, sets = 0, nextTokens = 0;
  EFI_PCD_PROTOCOL protocol{};
  // Called after every Set call of the driver (numeric or pointer), whatever
  // its status, with the token space, the token number and the status.
  std::vector<std::function<void(const EFI_GUID& space, uint64_t token, EFI_STATUS status)>> setObservers;

 private:
  struct Space {
    EFI_GUID guid;
    std::vector<Token> tokens;
  };
  Platform& platform_;
  std::vector<Space> declared_;
  std::vector<Space> current_;
  Token* Lookup(const EFI_GUID* space, uint64_t number);
  Space* SpaceOf(std::vector<Space>& spaces, const EFI_GUID& guid);
  static PcdDatabase* active_;

  static EFI_STATUS Observed(const EFI_GUID* space, UINTN token, EFI_STATUS status);
  static uint64_t GetNumber(const EFI_GUID* space, UINTN token, Kind kind);
  static EFI_STATUS SetNumber(const EFI_GUID* space, UINTN token, Kind kind, uint64_t value);
  static void EFIAPI SetSku(UINTN);
  static UINT8 EFIAPI Get8(const EFI_GUID*, UINTN);
  static UINT16 EFIAPI Get16(const EFI_GUID*, UINTN);
  static UINT32 EFIAPI Get32(const EFI_GUID*, UINTN);
  static UINT64 EFIAPI Get64(const EFI_GUID*, UINTN);
  static void* EFIAPI GetPtr(const EFI_GUID*, UINTN);
  static BOOLEAN EFIAPI GetBool(const EFI_GUID*, UINTN);
  static UINTN EFIAPI GetSize(const EFI_GUID*, UINTN);
  static EFI_STATUS EFIAPI Set8(const EFI_GUID*, UINTN, UINT8);
  static EFI_STATUS EFIAPI Set16(const EFI_GUID*, UINTN, UINT16);
  static EFI_STATUS EFIAPI Set32(const EFI_GUID*, UINTN, UINT32);
  static EFI_STATUS EFIAPI Set64(const EFI_GUID*, UINTN, UINT64);
  static EFI_STATUS EFIAPI SetPtr(const EFI_GUID*, UINTN, UINTN*, void*);
  static EFI_STATUS EFIAPI SetBool(const EFI_GUID*, UINTN, BOOLEAN);
  static EFI_STATUS EFIAPI CallbackOnSet(const EFI_GUID*, UINTN, PCD_PROTOCOL_CALLBACK);
  static EFI_STATUS EFIAPI CancelCallback(const EFI_GUID*, UINTN, PCD_PROTOCOL_CALLBACK);
  static EFI_STATUS EFIAPI GetNextToken(const EFI_GUID*, UINTN*);
  static EFI_STATUS EFIAPI GetNextTokenSpace(const EFI_GUID**);
};

// The debug-message protocol's producer: formats each message (level, ASCII
// format, 8-byte argument slots) into the trace (kind "Debug").
class DebugConsole {
 public:
  explicit DebugConsole(Platform& platform);
  ~DebugConsole();
  bool installed = true;
  struct Message {
    unsigned boot;
    uint64_t level;
    std::string text;
  };
  std::vector<Message> messages;
  // Formats like the firmware's print engine for the conversions debug
  // messages use: %d %u %x %X %lx %p %c %a %s %g %r %%, flags - 0 and width.
  static std::string Format(const char* format, const uint64_t* slots);

 private:
  struct Interface {
    EFI_STATUS(EFIAPI* Message)(UINT64, const CHAR8*, const void*);
  };
  Interface interface_{};
  Platform& platform_;
  static DebugConsole* active_;
  static EFI_STATUS EFIAPI OnMessage(UINT64 level, const CHAR8* format, const void* arguments);
};

}  // namespace sim
