// The fault sweep: its invariant checks, its comparison with the fault-free
// run, and sweeps of a shipped scenario.
#include "tools/sweep/sweep.h"

#include <gtest/gtest.h>

#include "bootctl/vars.h"
#include "tools/simboot/scenario.h"

namespace {

using sweep::FaultKind;

// Boots from letters: W warm reset, C cold reset, S shutdown, P power cut,
// H hang, - completed.
std::vector<sim::BootOutcome> Boots(const std::string& letters) {
  std::vector<sim::BootOutcome> boots;
  for (char c : letters) {
    sim::BootOutcome o;
    o.boot = static_cast<unsigned>(boots.size() + 1);
    if (c == 'W') o.reset = EfiResetWarm;
    if (c == 'C') o.reset = EfiResetCold;
    if (c == 'S') o.reset = EfiResetShutdown;
    if (c == 'P') o.powerLost = true;
    if (c == 'H') {
      o.hung = "spins";
      o.endedAt = sim::BootStage::EndOfDxe;
    }
    boots.push_back(o);
  }
  return boots;
}

TEST(SweepInvariants, ResetLoopsHangsHeldPoolAndViolations) {
  struct Row {
    const char* boots;
    unsigned maxResets;
    std::vector<std::vector<uint64_t>> held;
    std::vector<std::string> violations;
    std::vector<std::string> breaches;
  };
  const std::vector<Row> rows = {
      {"W-", 3, {}, {}, {}},
      {"WWW-", 3, {}, {}, {}},
      {"WWWW-", 3, {}, {}, {"reset loop: 4 resets in a row"}},
      {"WPWW-", 3, {}, {}, {}},  // a power cut neither counts nor ends the run of resets
      {"WWPWW-", 3, {}, {}, {"reset loop: 4 resets in a row"}},
      {"WCS", 2, {}, {}, {}},  // a shutdown ends the run
      {"WWWWWWWW", 3, {}, {}, {"reset loop: 8 resets in a row"}},
      {"WWWWWWWW", 10, {}, {}, {"still resetting after 8 boots"}},
      {"W-", 3, {{}, {16, 32}}, {}, {"boot 2 ends holding 48 bytes of pool in 2 allocation(s)"}},
      {"WH", 3, {}, {"boot 2 hung at EndOfDxe: spins"}, {"boot 2 hung at EndOfDxe: spins"}},
      {"-", 3, {}, {"FreePool of foreign memory"}, {"violation: FreePool of foreign memory"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.boots);
    sweep::Limits limits;
    limits.maxResetsInARow = row.maxResets;
    EXPECT_EQ(sweep::CheckBoots(Boots(row.boots), row.held, row.violations, limits), row.breaches);
  }
}

// The fault-free end of an ordinary boot: request taken, Setup edited, CMOS
// 0x61 = 1, the lid flag handed over, the USB option booted.
class SweepCompare : public ::testing::Test {
 protected:
  simboot::Scenario initial;
  sweep::EndState faultFree;
  void SetUp() override {
    initial.variables = {Var(u"ZKChgBoot", BootControlVendorGuid, {0x01, 0x81}),
                         Var(u"ZKSaveLidFlag", LidFlagVendorGuid, {0x01}),
                         Var(u"Setup", SetupVariableGuid, Setup(1))};
    Put(&faultFree, Var(u"ZKChgBoot", BootControlVendorGuid, {0x00, 0x81}));
    Put(&faultFree, Var(u"Setup", SetupVariableGuid, Setup(0)));
    faultFree.cmos[0x61] = 1;
    faultFree.ec[0x94] = 1;
    faultFree.booted = 0x0001;
    faultFree.ending = "completed";
  }
  static std::vector<uint8_t> Setup(uint8_t byte92) {
    std::vector<uint8_t> setup(512, 0);
    setup[92] = byte92;
    return setup;
  }
  static sim::Variable Var(const std::u16string& name, const EFI_GUID& guid, std::vector<uint8_t> data) {
    return sim::Variable{name, guid, 7, std::move(data)};
  }
  static void Put(sweep::EndState* s, const sim::Variable& v) {
    s->variables[{v.name, sim::GuidToString(v.guid)}] = v;
  }
  sweep::CaseResult Case(const std::function<void(sweep::EndState&)>& change) const {
    sweep::CaseResult c;
    c.end = faultFree;
    change(c.end);
    sweep::Compare(initial, faultFree, &c);
    return c;
  }
};

TEST_F(SweepCompare, SameEndIsNoDifference) {
  const sweep::CaseResult c = Case([](sweep::EndState&) {});
  EXPECT_TRUE(c.differences.empty());
  EXPECT_TRUE(c.lost.empty());
}

TEST_F(SweepCompare, RequestTakenWithoutItsEffectIsLost) {
  const sweep::CaseResult c = Case([](sweep::EndState& s) {
    Put(&s, Var(u"Setup", SetupVariableGuid, Setup(1)));
    s.cmos[0x61] = 0;
  });
  EXPECT_EQ(c.lost, std::vector<std::string>{"change-boot request (mode 81)"});
  EXPECT_EQ(c.differences,
            (std::vector<std::string>{"Setup: [92]=01 (fault-free 00)", "CMOS 0x61=00 (fault-free 01)"}));
}

TEST_F(SweepCompare, RequestStillPendingIsNotLost) {
  const sweep::CaseResult c = Case([](sweep::EndState& s) {
    Put(&s, Var(u"ZKChgBoot", BootControlVendorGuid, {0x01, 0x81}));
    Put(&s, Var(u"Setup", SetupVariableGuid, Setup(1)));
  });
  EXPECT_TRUE(c.lost.empty());
  EXPECT_EQ(c.differences.size(), 2u);
  EXPECT_EQ(c.differences[1], "ZKChgBoot: 01 81 (fault-free 00 81)");
}

TEST_F(SweepCompare, LidFlagAndBootChoice) {
  const sweep::CaseResult lid = Case([](sweep::EndState& s) { s.ec[0x94] = 0; });
  EXPECT_EQ(lid.lost, std::vector<std::string>{"lid flag"});
  EXPECT_EQ(lid.differences, std::vector<std::string>{"EC 0x94=00 (fault-free 01)"});
  // The flag still stored: it is handed over in a later boot, not lost.
  const sweep::CaseResult kept = Case([](sweep::EndState& s) {
    s.ec[0x94] = 0;
    Put(&s, Var(u"ZKSaveLidFlag", LidFlagVendorGuid, {0x01}));
  });
  EXPECT_TRUE(kept.lost.empty());
  const sweep::CaseResult booted = Case([](sweep::EndState& s) { s.booted = 0x0000; });
  EXPECT_EQ(booted.lost, std::vector<std::string>{"this boot's BootNext"});
  EXPECT_EQ(booted.differences, std::vector<std::string>{"booted Boot0000 (fault-free Boot0001)"});
}

TEST(SweepFaults, RangesFollowTheFaultFreeCounts) {
  sweep::CallCounts counts;
  counts.allocations = 2;
  counts.getVariable = 3;
  counts.setVariable = 1;
  counts.nvWrites = 2;
  counts.ecBytes = 4;
  const std::vector<sweep::Fault> faults = sweep::FaultsFor(counts);
  // allocations 1-3, GetVariable 1-4 twice, SetVariable 1-2 twice, power
  // cuts 1-2, EC deaths after 0-4 bytes.
  EXPECT_EQ(faults.size(), 3u + 8u + 4u + 2u + 5u);
  EXPECT_EQ(sweep::FaultText(faults.front()), "allocation #1");
  EXPECT_EQ(sweep::FaultText(faults.back()), "EC dead after 4 bytes");
  EXPECT_EQ(sweep::FaultsFor(counts, {FaultKind::PowerCut}).size(), 2u);
}

class SweepRun : public ::testing::Test {
 protected:
  sim::DriverImage image{sim::DriverImage::DefaultPath()};
  simboot::Scenario ordinary = simboot::LoadScenarioFile(SCENARIO_DIR "/ordinary-boot.json");
};

TEST_F(SweepRun, FaultFreeOrdinaryBootIsTheReference) {
  sweep::CallCounts counts;
  const sweep::CaseResult c = sweep::RunCase(ordinary, image, {}, sweep::Limits{}, &counts);
  EXPECT_TRUE(c.breaches.empty()) << c.breaches.front();
  ASSERT_EQ(c.boots.size(), 2u);
  EXPECT_EQ(c.boots[0].reset, EfiResetWarm);
  EXPECT_EQ(c.end.booted, 0x0001);
  EXPECT_EQ(c.end.cmos[0x61], 1);
  EXPECT_EQ(c.end.ec[0x94], 1);
  EXPECT_GT(counts.getVariable, 4u);
  EXPECT_GE(counts.setVariable, 3u);  // ZKChgBoot taken, Setup, then the lid flag's delete, BootNext...
  EXPECT_GE(counts.nvWrites, 3u);
  // Boot 2 writes EC registers 0x94 and 0x16 (three bytes each) and reads
  // 0x19 (two bytes).
  EXPECT_EQ(counts.ecBytes, 8u);
}

// A failing read of Setup after the request was taken loses the request, as
// the ordering means it to; the sweep names it, and no case breaks an
// invariant.
TEST_F(SweepRun, GetVariableSweepNamesTheLostRequest) {
  const sweep::ScenarioSweep s = sweep::SweepScenario(ordinary, "ordinary-boot.json", image, sweep::Limits{},
                                                      {FaultKind::GetVariableOnce});
  ASSERT_EQ(s.cases.size(), s.counts.getVariable + 1);
  size_t lost = 0;
  for (const sweep::CaseResult& c : s.cases) {
    EXPECT_TRUE(c.breaches.empty()) << sweep::FaultText(c.fault) << ": " << c.breaches.front();
    if (std::find(c.lost.begin(), c.lost.end(), "change-boot request (mode 81)") != c.lost.end()) ++lost;
  }
  EXPECT_GE(lost, 1u);
  EXPECT_NE(sweep::FormatSweep({s}, false).find("LOST change-boot request (mode 81)"), std::string::npos);
  EXPECT_FALSE(sweep::AnyBreach({s}));
}

TEST_F(SweepRun, PowerCutsAreReachedAndThePlatformBootsOn) {
  const sweep::ScenarioSweep s =
      sweep::SweepScenario(ordinary, "ordinary-boot.json", image, sweep::Limits{}, {FaultKind::PowerCut});
  ASSERT_EQ(s.cases.size(), s.counts.nvWrites);
  for (const sweep::CaseResult& c : s.cases) {
    SCOPED_TRACE(sweep::FaultText(c.fault));
    EXPECT_TRUE(c.reached);
    EXPECT_TRUE(c.breaches.empty());
    ASSERT_GE(c.boots.size(), 2u);
    EXPECT_EQ(
        std::count_if(c.boots.begin(), c.boots.end(), [](const sim::BootOutcome& o) { return o.powerLost; }),
        1);
    EXPECT_FALSE(c.boots.back().reset.has_value()) << "settles";
  }
}

}  // namespace
