// A scenario's variables to and from an efivarfs-like directory: one file per
// variable named "Name-guid" (vendor GUID in lower case) that holds the 4-byte
// little-endian attributes followed by the data, as Linux shows the firmware
// store. The operating-system tools and the simulated notebook meet there.
#pragma once

#include <string>

#include "tools/simboot/scenario.h"

namespace simboot {

// Replaces the scenario's variables with the non-volatile variables found in
// `dir`, in file-name order; files of volatile variables are skipped.
// ScenarioError when the directory or a variable file cannot be used.
void ImportEfivarfs(const std::string& dir, Scenario* scenario);

// Makes `dir` hold exactly the scenario's variables: writes one file per
// variable and deletes the variable files of any other variable.
void ExportEfivarfs(const Scenario& scenario, const std::string& dir);

}  // namespace simboot
