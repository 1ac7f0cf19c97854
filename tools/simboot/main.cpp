// simboot: runs the boot-control driver on a simulated notebook set up from a
// scenario file, boot after boot until one ends without a reset, and shows
// what every boot did and the state left behind.
//
// Exit status: 0 when the run settled (a boot ended without a reset, or the
// machine was shut down), 1 when it was still resetting after --max-boots,
// 2 for a bad command line, scenario or output file.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "sim/platform.h"
#include "tools/simboot/default_scenario.h"
#include "tools/simboot/efivarfs.h"
#include "tools/simboot/notebook_run.h"
#include "tools/simboot/report.h"
#include "tools/simboot/scenario.h"

namespace {

void WriteText(const std::string& path, const std::string& text, const char* what) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw simboot::ScenarioError(path + ": cannot write the " + what);
}

int Run(const std::string& scenarioPath, unsigned maxBoots, const std::string& jsonTrace,
        const std::string& writeState, bool quiet, bool verbose, const std::string& fromEfivarfs,
        const std::string& toEfivarfs) {
  simboot::Scenario scenario =
      scenarioPath.empty() ? simboot::ParseScenario(simboot::kDefaultScenario, simboot::kDefaultScenarioName)
                           : simboot::LoadScenarioFile(scenarioPath);
  if (!fromEfivarfs.empty()) simboot::ImportEfivarfs(fromEfivarfs, &scenario);
  const std::string driver = sim::DriverImage::DefaultPath();
  if (driver.empty() || ::access(driver.c_str(), R_OK) != 0) {
    throw simboot::ScenarioError("the driver image " + (driver.empty() ? "path" : driver) +
                                 " is missing: build the bootctl_driver target");
  }
  sim::DriverImage image(driver);
  simboot::NotebookRun run(scenario);
  const std::vector<sim::BootOutcome> boots = run.Run(image, maxBoots);
  const simboot::RunReport report = simboot::MakeReport(scenario, run, boots);

  if (!quiet) {
    std::cout << "Scenario: " << (scenarioPath.empty() ? simboot::kDefaultScenarioName : scenarioPath)
              << "\n";
    if (!scenario.description.empty()) std::cout << "  " << scenario.description << "\n";
    std::cout << simboot::FormatTrace(report, verbose);
  }
  std::cout << "Summary\n" << simboot::FormatSummary(report);
  std::cout << "Firmware time (us, with the number of effects of each kind)\n"
            << simboot::FormatCosts(report);
  if (!quiet) std::cout << "Final state\n" << simboot::FormatState(report);

  if (!jsonTrace.empty()) WriteText(jsonTrace, simboot::TraceJson(report), "JSON trace");
  if (!writeState.empty()) simboot::SaveScenarioFile(report.final, writeState);
  if (!toEfivarfs.empty()) simboot::ExportEfivarfs(report.final, toEfivarfs);
  const bool settled = !boots.empty() && (!boots.back().reset || *boots.back().reset == EfiResetShutdown);
  return settled ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Runs the boot-control driver on a simulated notebook, boot after boot until one ends without a "
      "reset, and prints a trace of every boot and the final state."};
  std::string scenarioPath, jsonTrace, writeState, fromEfivarfs, toEfivarfs;
  unsigned maxBoots = 8;
  bool quiet = false, verbose = false;
  app.add_option("scenario", scenarioPath,
                 "Scenario file (JSON); without one the built-in ordinary boot runs");
  app.add_option("--max-boots", maxBoots, "Most boots to run (default 8)")->check(CLI::Range(1u, 1000u));
  app.add_option("--json-trace", jsonTrace, "Write the trace as a JSON array of events to FILE")
      ->type_name("FILE");
  app.add_option("--write-state", writeState, "Write the final state as a scenario file to FILE")
      ->type_name("FILE");
  app.add_option(
         "--from-efivarfs", fromEfivarfs,
         "Start from the non-volatile variables of an efivarfs-like directory instead of the scenario's")
      ->type_name("DIR");
  app.add_option("--to-efivarfs", toEfivarfs, "Write the final variables to an efivarfs-like directory")
      ->type_name("DIR");
  CLI::Option* quietFlag = app.add_flag("-q,--quiet", quiet, "Print only the summary");
  app.add_flag("-v,--verbose", verbose, "Also print variable reads and every other platform event")
      ->excludes(quietFlag);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  try {
    return Run(scenarioPath, maxBoots, jsonTrace, writeState, quiet, verbose, fromEfivarfs, toEfivarfs);
  } catch (const std::exception& e) {
    std::cout.flush();
    std::fprintf(stderr, "simboot: %s\n", e.what());
    return 2;
  }
}
