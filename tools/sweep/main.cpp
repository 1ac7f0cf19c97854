// simsweep: boots every given scenario fault-free and then once per single
// injected fault (each allocation, each GetVariable and SetVariable call
// failing once or from then on, a power cut after each non-volatile write,
// the EC dying after each byte), until the platform settles, and prints one
// line per case against the fault-free run.
//
// Exit status: 0 when no case broke an invariant, 1 when one did, 2 for a bad
// command line or scenario.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "sim/platform.h"
#include "tools/simboot/default_scenario.h"
#include "tools/simboot/scenario.h"
#include "tools/sweep/sweep.h"

namespace {

bool KindFromName(const std::string& name, std::vector<sweep::FaultKind>* kinds) {
  using sweep::FaultKind;
  if (name == "alloc") {
    kinds->push_back(FaultKind::Allocation);
  } else if (name == "get") {
    kinds->insert(kinds->end(), {FaultKind::GetVariableOnce, FaultKind::GetVariableOn});
  } else if (name == "set") {
    kinds->insert(kinds->end(), {FaultKind::SetVariableOnce, FaultKind::SetVariableOn});
  } else if (name == "power") {
    kinds->push_back(FaultKind::PowerCut);
  } else if (name == "ec") {
    kinds->push_back(FaultKind::EcDead);
  } else {
    return false;
  }
  return true;
}

int Run(std::vector<std::string> files, const std::string& directory, bool withDefault,
        const sweep::Limits& limits, const std::vector<std::string>& only, bool all) {
  std::vector<sweep::FaultKind> kinds;
  for (const std::string& name : only) {
    if (!KindFromName(name, &kinds)) throw simboot::ScenarioError("unknown fault kind " + name);
  }
  if (!directory.empty()) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
      if (entry.path().extension() == ".json") found.push_back(entry.path().string());
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
  if (files.empty()) withDefault = true;
  const std::string driver = sim::DriverImage::DefaultPath();
  if (driver.empty() || ::access(driver.c_str(), R_OK) != 0) {
    throw simboot::ScenarioError("the driver image " + (driver.empty() ? "path" : driver) +
                                 " is missing: build the bootctl_driver target");
  }
  std::vector<std::pair<std::string, simboot::Scenario>> scenarios;
  if (withDefault) {
    scenarios.emplace_back(simboot::kDefaultScenarioName,
                           simboot::ParseScenario(simboot::kDefaultScenario, simboot::kDefaultScenarioName));
  }
  for (const std::string& file : files) {
    scenarios.emplace_back(std::filesystem::path(file).filename().string(), simboot::LoadScenarioFile(file));
  }
  sim::DriverImage image(driver);
  std::vector<sweep::ScenarioSweep> sweeps;
  for (const auto& [name, scenario] : scenarios) {
    sweeps.push_back(sweep::SweepScenario(scenario, name, image, limits, kinds));
  }
  std::cout << sweep::FormatSweep(sweeps, all);
  return sweep::AnyBreach(sweeps) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Boots each scenario fault-free, then once for every single injected fault, until the platform "
      "settles; checks the invariants of every boot and prints each case against the fault-free run."};
  std::vector<std::string> files, only;
  std::string directory;
  bool withDefault = false, all = false;
  sweep::Limits limits;
  app.add_option("scenario", files, "Scenario files (JSON); without any, the built-in ordinary boot");
  app.add_option("--dir", directory, "Also every *.json scenario in DIR, in name order")->type_name("DIR");
  app.add_flag("--default", withDefault, "Also the built-in ordinary boot");
  app.add_option("--only", only, "Only these fault kinds: alloc, get, set, power, ec");
  app.add_option("--max-boots", limits.maxBoots,
                 "Boots per case before it counts as not settling (default 8)")
      ->check(CLI::Range(2u, 100u));
  app.add_option("--max-resets", limits.maxResetsInARow, "Resets in a row that make a reset loop (default 3)")
      ->check(CLI::Range(1u, 100u));
  app.add_flag("-a,--all", all, "Also list the cases that end as the fault-free run");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  try {
    return Run(files, directory, withDefault, limits, only, all);
  } catch (const std::exception& e) {
    std::cout.flush();
    std::fprintf(stderr, "simsweep: %s\n", e.what());
    return 2;
  }
}
