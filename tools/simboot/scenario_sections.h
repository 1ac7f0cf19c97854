// The readers and writers of the scenario's sections that the document
// reader in scenario.cpp calls key by key, and what they share. Each reader
// takes the section's value and its path for messages and raises PathError;
// each writer gives the section's value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/simboot/json_read.h"
#include "tools/simboot/scenario.h"

namespace simboot {

inline constexpr uint64_t kMaxVariableSize = 0x10000;

// Shared (scenario.cpp): a GUID in the registry form or by alias, and a
// number as 0x-prefixed upper-case hex of at least `digits` digits.
EFI_GUID ReadGuid(const Json& value, const std::string& path);
std::string HexByte(uint64_t value, int digits = 2);

// "variables" (scenario_variables.cpp), and the records and byte lists
// other sections use: {"size": n, "fill": b, "set": {...}} read, bytes
// written as hex or as a record of their nonzero bytes.
std::vector<uint8_t> ReadRecord(const Json& value, const std::string& path);
OrderedJson BytesToJson(const std::vector<uint8_t>& data);
void ReadVariables(const Json& list, const std::string& path, std::vector<sim::Variable>* out);
OrderedJson VariablesToJson(const std::vector<sim::Variable>& list);
bool SameVariables(const std::vector<sim::Variable>& x, const std::vector<sim::Variable>& y);

// "imc", "ec", "cmos" and "cpu" (scenario_devices.cpp).
void ReadImc(const Json& value, const std::string& path, Scenario* s);
void ReadEc(const Json& value, const std::string& path, Scenario* s);
void ReadCmos(const Json& value, const std::string& path, Scenario* s);
void ReadCpu(const Json& value, const std::string& path, Scenario* s);
OrderedJson ImcToJson(const Scenario& s);
OrderedJson EcToJson(const Scenario& s);
OrderedJson CmosToJson(const Scenario& s);
OrderedJson CpuToJson(const Scenario& s);
bool SameEc(const sim::EmbeddedController::Behaviour& x, const sim::EmbeddedController::Behaviour& y);

// "pcd" (scenario_pcd.cpp).
void ReadPcd(const Json& value, const std::string& path, Scenario* s);
OrderedJson PcdToJson(const Scenario& s);
bool SamePcd(const std::vector<PcdSpace>& x, const std::vector<PcdSpace>& y);

}  // namespace simboot
