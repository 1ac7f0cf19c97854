// sim/hii/: the HII world. Models the HII database and string protocols over
// parsed package lists, the other HII protocols as stand-ins, and the watched
// protocol and shared record of other modules. Records as violations: a
// member called with a This that is not the protocol's interface, above its
// TPL limit or after ExitBootServices; a database member this platform does
// not offer; any member of a protocol offered to be located only.
//
// The platform's HII: a database that takes package lists as
// EFI_HII_DATABASE_PROTOCOL.NewPackageList receives them and keeps their
// strings per language, the EFI_HII_STRING_PROTOCOL over it, the three other
// HII protocols as stand-ins that may only be located, and the two protocols
// of other modules that the boot manager's string library watches for or
// shares (the watched protocol and the shared record).
//
// Package lists are parsed as the UEFI package formats define them and
// refused with EFI_INVALID_PARAMETER when malformed (the cases are listed at
// ParseHiiPackageList). The database is boot-scoped: BeginBoot empties it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame/hii.h"

namespace sim {

class Platform;

inline constexpr EFI_GUID kWatchedProtocolGuid = {
    0x8BFFF2C1, 0x0BB8, 0x47FD, {0x9F, 0x6A, 0xAE, 0xC1, 0x01, 0xAC, 0xBE, 0x6E}};
inline constexpr EFI_GUID kSharedRecordProtocolGuid = {
    0xDA8A55E4, 0x4940, 0x4AF9, {0x9F, 0x36, 0x2D, 0xB4, 0x3E, 0xC2, 0x82, 0x59}};

// One string package of a list: its language and the strings it defines.
// Ids below nextId that have no string are the ones the package skips.
struct HiiStringPackage {
  std::string language;  // the ASCII tag, "en-US"
  EFI_STRING_ID languageName = 0;
  std::map<EFI_STRING_ID, std::u16string> strings;
  uint32_t nextId = 1;  // the id the package's end block stands at
};

struct HiiPackageList {
  EFI_GUID guid{};
  unsigned serial = 0;  // names the list in the trace: "#1", in registration order
  EFI_HANDLE driverHandle = nullptr;
  std::vector<HiiStringPackage> stringPackages;  // in package order
  unsigned otherPackages = 0;                    // packages of other types, kept as opaque bytes
  // Every package's type and byte length (header included), end package too, in list order.
  std::vector<std::pair<uint8_t, uint32_t>> packages;
  std::vector<uint8_t> bytes;  // the list as registered (header and end package)
  // What the string protocol changed since the list was made from a parse:
  // the ids SetString replaced (package index, id), and whether NewString
  // added ids or packages. HiiServices::NewList puts back only these when
  // it reuses the list for the same parse.
  std::vector<std::pair<size_t, EFI_STRING_ID>> edited;
  bool reshaped = false;
  uint64_t parse = 0;  // the parse the list was copied from (HiiServices), 0: none
  const HiiStringPackage* Package(const std::string& language) const;
  HiiStringPackage* Package(const std::string& language);
  // The id a new string takes: one past the highest id any package accounts for.
  uint32_t NextId() const;
};

struct HiiParseResult {
  EFI_STATUS status = EFI_SUCCESS;
  std::string reason;  // why the list was refused; empty on success
  HiiPackageList list;
};

// Parses a package list. `available` is how many bytes may be read at
// `data` (the list's header is read first; PackageLength must fit in it).
// Every read stays inside min(PackageLength, available).
HiiParseResult ParseHiiPackageList(const uint8_t* data, size_t available);

// What SetString does with an id that a language's package skips (an id
// below the package's end that a skip block left undefined).
enum class SkippedIdRule {
  Define,  // the id gets the text in that language (default)
  Refuse,  // EFI_NOT_FOUND, as for an id the package does not reach
};

// When a protocol of another module appears in a boot.
enum class LateInstall { Absent, BootStart, BeforeEndOfDxe, AfterEndOfDxe };

// The platform's HII and the other modules' protocols around it; a member
// of sim::Platform (`hii`).
class HiiServices {
 public:
  // ---- configuration (read at every boot start). A bare platform has no
  // HII; simboot scenarios install all five protocols unless told not to.
  bool stringProtocol = false;    // EFI_HII_STRING_PROTOCOL installed
  bool databaseProtocol = false;  // EFI_HII_DATABASE_PROTOCOL installed
  bool configRouting = false;     // EFI_HII_CONFIG_ROUTING_PROTOCOL stand-in installed
  bool font = false;              // EFI_HII_FONT_PROTOCOL stand-in installed
  bool image = false;             // EFI_HII_IMAGE_PROTOCOL stand-in installed
  SkippedIdRule skippedId = SkippedIdRule::Define;
  LateInstall watched = LateInstall::Absent;  // the watched protocol
  bool sharedRecord = false;                  // another module publishes the shared record at boot start
  void SetAllPresent(bool present);
  // The configuration as constructed and no lists (their storage is kept
  // for the next ones).
  void Renew();

  // ---- what the driver registered and set in this boot
  const std::vector<std::unique_ptr<HiiPackageList>>& Lists() const { return lists_; }
  const HiiPackageList* Find(EFI_HII_HANDLE handle) const;
  const HiiPackageList* Find(const EFI_GUID& guid) const;
  EFI_HII_HANDLE HandleOf(const EFI_GUID& guid) const;  // null when no list has the GUID
  std::optional<std::u16string> String(EFI_HII_HANDLE handle, const std::string& language,
                                       EFI_STRING_ID id) const;
  std::optional<std::u16string> String(const EFI_GUID& list, const std::string& language,
                                       EFI_STRING_ID id) const;

  // ---- the interfaces (installed by OnBootStart as configured)
  EFI_HII_STRING_PROTOCOL stringInterface{};
  EFI_HII_DATABASE_PROTOCOL databaseInterface{};
  struct Stand {
    EFI_STATUS(EFIAPI* member[6])();
  };
  Stand configRoutingInterface{}, fontInterface{}, imageInterface{};
  alignas(8) uint8_t sharedRecordInterface[40] = {};
  alignas(8) uint8_t watchedInterface[16] = {};

  // ---- platform side: called by the boot runner
  void OnBootStart(Platform& platform);
  void OnBeforeEndOfDxe(Platform& platform);
  void OnAfterEndOfDxe(Platform& platform);

  // ---- used by the protocol members (sim/hii/hii.cpp)
  HiiPackageList* FindMutable(EFI_HII_HANDLE handle);
  EFI_HII_HANDLE Add(std::unique_ptr<HiiPackageList> list);
  bool Remove(EFI_HII_HANDLE handle);
  // ParseHiiPackageList, except that a list whose bytes are those of the
  // last list parsed without refusal takes that parse's result: the driver
  // registers the same list at every boot.
  const HiiParseResult& Parse(const uint8_t* data, size_t available);
  // A copy of the last parse's list (Parse) in a list object of an earlier
  // boot when there is one, else in a new one. A reused list that was copied
  // from the same parse gets back only the strings changed since.
  std::unique_ptr<HiiPackageList> NewList();

 private:
  std::vector<std::unique_ptr<HiiPackageList>> lists_;
  std::vector<std::unique_ptr<HiiPackageList>> spare_;  // lists of earlier boots, for NewList
  HiiParseResult lastParse_;
  uint64_t parses_ = 0;  // parses made; names lastParse_ for the lists copied from it
};

// UTF-8 for the trace: U+FFF1 and U+FFF0 (the wide and narrow glyph
// controls) shown as ⟨W⟩ and ⟨N⟩.
std::string HiiText(const std::u16string& text);

}  // namespace sim
