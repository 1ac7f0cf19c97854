// Fixture for tests that call driver code directly: a simulated notebook, a
// started boot and the frame's constructors run, with module state reset.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "bootctl/chgboot.h"
#include "bootctl/vars.h"
#include "entry/driver.h"
#include "frame/helpers.h"
#include "sim/devices/devices.h"
#include "sim/platform.h"
#include "sim/uefi/load_option.h"
#include "support/pcd/pcd.h"
#include "support/timer/timer.h"
#include "tools/driver_state.h"

class DriverTest : public ::testing::Test {
 protected:
  sim::Platform platform;
  sim::Notebook notebook{platform};

  void SetUp() override { Boot(); }

  // Starts a (new) boot and runs the frame's constructors on it, as a freshly
  // loaded image would.
  void Boot() {
    platform.BeginBoot();
    ResetDriverState();
    RunLibraryConstructors(platform.ImageHandle(), platform.SystemTable());
    libraryRecords = platform.OutstandingAllocations();
  }

  // What the constructors left allocated: the records the libraries publish
  // for other modules, which stay for the whole boot.
  std::vector<sim::Allocation> libraryRecords;
  // Allocations held now that the constructors did not leave.
  std::vector<sim::Allocation> HeldBeyondLibraryRecords() const {
    std::vector<sim::Allocation> held;
    for (const sim::Allocation& a : platform.OutstandingAllocations()) {
      const bool record = std::any_of(libraryRecords.begin(), libraryRecords.end(),
                                      [&](const sim::Allocation& r) { return r.address == a.address; });
      if (!record) held.push_back(a);
    }
    return held;
  }

  static void ResetDriverState() { ResetDriverModuleState(); }

  void Put(const std::u16string& name, const EFI_GUID& guid, std::vector<uint8_t> data,
           uint32_t attributes = kVarNvBsRt) {
    platform.PutVariable(name, guid, attributes, std::move(data));
  }

  std::optional<std::vector<uint8_t>> Var(const std::u16string& name, const EFI_GUID& guid) const {
    const sim::Variable* v = platform.FindVariable(name, guid);
    if (v == nullptr) return std::nullopt;
    return v->data;
  }

  // Variable-service calls of the given kinds ("GetVariable", "SetVariable",
  // "DeleteVariable"), in order, as "Kind Name" or, with one kind, "Name".
  std::vector<std::string> VariableCalls(std::vector<std::string> kinds = {"GetVariable", "SetVariable",
                                                                           "DeleteVariable"}) const {
    std::vector<std::string> calls;
    for (const sim::TraceEvent& e : platform.trace) {
      if (std::find(kinds.begin(), kinds.end(), e.kind) == kinds.end()) continue;
      for (const auto& f : e.fields) {
        if (f.first == "name") calls.push_back(kinds.size() == 1 ? f.second : e.kind + " " + f.second);
      }
    }
    return calls;
  }

  // Names of variables deleted so far in this test, in order.
  std::vector<std::string> Deleted() const { return VariableCalls({"DeleteVariable"}); }

  std::optional<EFI_RESET_TYPE> Run(const std::function<void()>& fn) { return platform.RunGuarded(fn); }
};
