// A scenario: the state of the simulated notebook before a run (or after one,
// when written back), loaded from and saved to JSON.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/devices/devices.h"
#include "sim/devices/firmware_info.h"
#include "sim/hii/hii.h"
#include "sim/pcd/pcd_db.h"
#include "sim/platform.h"
#include "tools/simboot/json_read.h"
#include "tools/simboot/scenario_s3.h"

namespace simboot {

// A scenario file that cannot be used. what() is one line:
// "scenario.json: variables[2].data[5]: 300 is not a byte".
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A PCD token space and its tokens in declaration order (the order the PCD
// protocol enumerates them in).
struct PcdSpace {
  EFI_GUID guid{};
  std::vector<sim::PcdDatabase::Token> tokens;
};

// The platform hook protocol's producer: its interface length, what its
// factory-reset hook returns and, optionally, a variable the hook deletes.
struct PlatformHookSetting {
  uint32_t length = 128;
  EFI_STATUS status = 0;  // EFI_SUCCESS
  std::string deletes;    // variable name; empty: deletes nothing
  EFI_GUID deletesGuid{};
};

// A service call made to fail (see sim::Platform::FailService).
struct FailureSetting {
  sim::Service service = sim::Service::GetVariable;
  uint64_t call = 1;
  EFI_STATUS status = 0;
  bool fromThenOn = false;
};

// The platform services the S3 libraries look up (scenario_services.cpp).
struct PlatformServicesSetting {
  bool smmBase = false;        // EFI_SMM_BASE2_PROTOCOL installed
  bool inSmm = false;          // what its InSmm answers
  uint32_t imageCodeType = 3;  // EfiBootServicesCode
  bool dxeServices = true;
  sim::PointerRegistry::Install pointerRegistry = sim::PointerRegistry::Install::Absent;
  bool smbusHc = false;
  std::vector<sim::HeapHob> heapHobs;
};
// The "flash" section: the flash hardware and the flash configuration the
// platform publishes (tools/simboot/scenario_flash.cpp).
struct FlashDeviceSetting {
  uint64_t token = 0;
  uint8_t kind = 3;
  uint32_t deviceId = 0;
  uint32_t aux = 0;
  uint16_t sizeFactor1 = 0, sizeFactor2 = 0;
  std::optional<std::vector<uint8_t>> params, info1, info2;  // missing: a token without value
};
struct FlashMapEntrySetting {
  EFI_GUID type{}, area{};
  uint64_t offset = 0, size = 0;
  uint32_t attributes = 0;
};
struct MappedPartSetting {
  uint8_t kind = 0;  // 0: unlock sequence, 1: single command
  uint64_t base = 0, size = 0, idAddress = 0, commandAddress1 = 0, commandAddress2 = 0;
  uint16_t id = 0;
};
// The flash device map's header fields where they should not follow the
// entries (unset: the natural value).
struct FlashMapHeaderSetting {
  std::optional<uint32_t> entriesOffset, entrySize, length;
  uint8_t headerSum = 0;  // what the 28 header bytes add up to; 0 is a sound checksum
  bool Any() const { return entriesOffset || entrySize || length || headerSum != 0; }
};
struct FlashSetting {
  bool present = false;                // the scenario has a "flash" section
  std::string spiPart;                 // a real part by name
  std::string spiPartInline;           // or an inline part, as compact JSON
  std::string controller = "present";  // "present", "absent", "stuck-busy"
  bool sciEn = false;
  std::optional<uint32_t> processorSignature;
  uint32_t lockWindow = 0;
  std::string peerMode = "idle";  // "idle", "holds", "never"
  uint64_t holdNs = 5000;
  uint32_t reg298 = 0x00C40100, reg2A8 = 0x0000000F;
  uint16_t pm1Port = 0x804;
  std::vector<FlashDeviceSetting> devices;
  std::optional<uint32_t> selector;
  std::vector<MappedPartSetting> mappedParts;
  bool hasMap = false;
  uint64_t flashBase = 0;
  std::vector<FlashMapEntrySetting> map;
  FlashMapHeaderSetting mapHeader;
};
bool operator==(const FlashSetting& a, const FlashSetting& b);

// The HII protocols, the protocols of other modules the string library meets,
// and the flash areas it reads (tools/simboot/scenario_hii.cpp).
struct HiiScenario {
  bool stringProtocol = true, databaseProtocol = true, configRouting = true, font = true, image = true;
  sim::SkippedIdRule skippedId = sim::SkippedIdRule::Define;
  sim::LateInstall watched = sim::LateInstall::Absent;
  bool sharedRecord = false;
  std::optional<sim::FirmwareInfoSpec> firmwareInfo;    // the area built from its fields
  std::optional<std::vector<uint8_t>> firmwareInfoRaw;  // or given byte for byte
  std::optional<uint32_t> keptAreaSize;                 // the kept area, erased flash of this size
};
bool operator==(const HiiScenario& a, const HiiScenario& b);
const std::vector<std::string>& HiiScenarioKeys();
void ReadHiiScenario(const Json& root, HiiScenario* hii);
void WriteHiiScenario(const HiiScenario& hii, OrderedJson* root);
void ApplyHiiScenario(const HiiScenario& hii, sim::Platform& platform);
// The flash areas the setting puts in the map, in map order.
std::vector<sim::FlashArea> HiiFlashAreas(const HiiScenario& hii);

struct Scenario {
  std::string description;
  uint32_t bootMode = 0;         // PI boot mode, BOOT_WITH_FULL_CONFIGURATION
  bool platformHook = false;     // platform hook protocol with a factory-reset hook
  PlatformHookSetting hook;      // used when platformHook is set
  unsigned purgeIdleMarker = 0;  // purge-idle marker protocol installed on this many handles each boot
  sim::VariableStoreConfig store;
  std::vector<FailureSetting> failures;
  uint64_t powerCutAfterNvWrite = 0;  // 0: no power cut
  bool resetReturns = false;
  bool bootManager = true;
  bool imcEnabled = false;
  bool imcAcknowledges = true;
  std::array<uint8_t, 128> cmos{};
  std::array<uint8_t, 256> ecRegisters{};
  sim::EmbeddedController::Behaviour ec;
  std::vector<sim::Variable> variables;  // in creation order
  bool pcdInstalled = true;              // the PCD protocol is installed each boot
  std::vector<PcdSpace> pcd;             // declared values; every boot starts from them
  bool debugConsole = true;              // the debug-message protocol is installed each boot
  std::map<uint32_t, uint64_t> msrs;     // unlisted MSRs read as 0
  uint32_t cpuid80000001Eax = 0;         // EAX of CPUID leaf 0x80000001; other leaves read as 0
  uint16_t postCodeProbe = 0;            // answer of the magic post-code CPUID probe; 0: no answer
  uint64_t pauseTicks = 100;             // TSC ticks each PAUSE takes
  PlatformServicesSetting services;
  S3Scenario s3;  // "smmCommunication" and "s3" (scenario_s3.cpp)
  FlashSetting flash;
  HiiScenario hii;
};

// The P-state registers in their short form: the current P-state number
// (status MSR 0xC0010063) and definitions 0..n-1 (MSRs 0xC0010064 + n) made of
// FID (bits 7:0) and DID (bits 13:8) only.
struct PstateForm {
  unsigned current = 0;
  std::vector<std::pair<uint8_t, uint8_t>> definitions;  // {fid, did}
};
constexpr uint32_t kPstateStatusMsr = 0xC0010063;
constexpr uint32_t kPstateDefinitionMsr = 0xC0010064;
constexpr unsigned kPstateCount = 8;
// True when `msrs` holds the P-state registers exactly in that form: the
// status register holds only a P-state number that has a definition, and every
// definition holds only FID and DID bits. `form` is then filled.
bool PstatesOf(const std::map<uint32_t, uint64_t>& msrs, PstateForm* form);

bool operator==(const Scenario& a, const Scenario& b);

// The keys of PlatformServicesSetting: read from, written to and compared in
// the scenario's top-level object, and applied to a platform.
const std::vector<std::string>& PlatformServiceKeys();
void ReadPlatformServices(const Json& root, Scenario* s);
void WritePlatformServices(const Scenario& s, OrderedJson* root);
bool SamePlatformServices(const Scenario& a, const Scenario& b);
void ApplyPlatformServices(const Scenario& s, sim::Platform& platform);
// The "flash" section read from and written to its JSON text.
FlashSetting ParseFlashSetting(const std::string& jsonText, const std::string& path);
std::string FlashSettingToText(const FlashSetting& flash);
inline bool operator!=(const Scenario& a, const Scenario& b) { return !(a == b); }

// `source` names the document in messages (usually the file path).
Scenario ParseScenario(const std::string& text, const std::string& source);
Scenario LoadScenarioFile(const std::string& path);

// The scenario in its most readable exact form: load options by description
// and node kinds, option lists as numbers, large records by their nonzero
// bytes. Parsing the text gives back an equal scenario.
std::string ScenarioToText(const Scenario& scenario);
void SaveScenarioFile(const Scenario& scenario, const std::string& path);  // ScenarioError on failure

// Vendor GUID aliases ("global", "lid-flag", ...) and PI boot mode names.
bool GuidFromText(const std::string& text, EFI_GUID* guid);
std::string GuidText(const EFI_GUID& guid);  // the alias if there is one, else the registry form
std::string BootModeText(uint32_t mode);     // the name if there is one, else the number

}  // namespace simboot
