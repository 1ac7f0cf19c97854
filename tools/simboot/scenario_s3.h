// Scenario keys for the SMM side and the S3 records: "smmCommunication" and
// "s3" (documented in scenario_s3.cpp), and the simulated pieces they set up.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/smm/smm_comm.h"
#include "tools/simboot/json_read.h"

namespace simboot {

struct SmmCommunicationSetting {
  bool installed = true;
  bool lockBoxSilent = false;
  bool regionTable = false;  // "regions" was given (possibly empty)
  std::vector<sim::SmmCommunication::Region> regions;
  uint32_t descriptorSize = 48;
  std::optional<std::vector<uint8_t>> rawRegionTable;
};

struct BootScriptTableSetting {
  uint16_t pages = 2;
  uint32_t scriptLength = 32;
};

struct S3Setting {
  uint64_t tableSize = 0;  // PcdChipsetS3LibTableSize
  bool commBuffer = true;  // PcdChipsetS3LibCommBuffer names the platform's buffer; false: 0
  std::optional<BootScriptTableSetting> bootScriptTable;
  std::optional<sim::ChipsetS3TableWrites> tableWrites;  // another module's writes to the chipset table
  std::optional<std::vector<uint8_t>> smmRecord;         // a published SMM boot-script record (24 bytes)
};

struct S3Scenario {
  std::optional<SmmCommunicationSetting> smmCommunication;
  std::optional<S3Setting> s3;
};
bool operator==(const S3Scenario& a, const S3Scenario& b);

// The keys these settings read, for the scenario's list of known keys.
extern const char* const kS3ScenarioKeys[2];
// Reads "smmCommunication" and "s3" from the scenario's root object when
// present; problems raise PathError.
void ReadS3Keys(const Json& root, S3Scenario* out);
// Writes them back (only the ones present) into the root object.
void WriteS3Keys(const S3Scenario& s3, OrderedJson& root);

// The pieces a scenario's keys ask for, attached to the platform: SMM
// communication with the lock-box and chipset S3 save handlers (when either
// key is present; the protocol itself only when "smmCommunication" is), the
// S3 PCDs and the boot-script table another module published (with "s3").
// The S3 tokens replace any that the "pcd" key declared. With "s3" the
// sealed boot-script table is traced (sim::WatchBootScriptSealing).
struct S3Stand {
  std::unique_ptr<sim::SmmCommunication> communication;
  std::unique_ptr<sim::LockBoxHandler> lockBox;
  std::unique_ptr<sim::ChipsetS3SaveHandler> chipsetS3;
  std::unique_ptr<sim::PublishedBootScript> bootScript;
  std::unique_ptr<sim::PublishedSmmBootScriptRecord> smmRecord;
};
std::unique_ptr<S3Stand> MakeS3Stand(const S3Scenario& s3, sim::Platform& platform, sim::PcdDatabase& pcd);

}  // namespace simboot
