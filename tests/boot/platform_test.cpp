// Whole boots on the stricter platform: a store that refuses writes, an EC
// on realistic and racing timings, resets that return, power cuts, and the
// boot manager that consumes BootNext.
#include "sim/platform.h"

#include <gtest/gtest.h>

#include "bootctl/vars.h"
#include "sim/devices/devices.h"
#include "sim/uefi/load_option.h"
#include "tests/boot/whole_boot.h"

namespace {

class PlatformBoot : public WholeBootTest {
 protected:
  void SetUp() override {
    Put(u"ZKFirstBoot", BootControlVendorGuid, {0});
    Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0000, 0x0001}));
    Put(u"Boot0000", EFI_GLOBAL_VARIABLE,
        sim::BuildLoadOption(1, u"Windows Boot Manager", {sim::HardDriveNode(1, 1, 1)}));
    Put(u"Boot0001", EFI_GLOBAL_VARIABLE, sim::BuildLoadOption(1, u"EFI USB Device", {sim::UsbNode(1, 0)}));
  }
  void TearDown() override {
    for (const std::string& v : platform.violations) ADD_FAILURE() << "violation: " << v;
  }
  void SetupWithByte92(uint32_t attributes = 7) {
    std::vector<uint8_t> setup(512, 0);
    setup[92] = 1;
    Put(u"Setup", SetupVariableGuid, setup, attributes);
  }
  size_t Count(const std::string& kind) const {
    size_t n = 0;
    for (const sim::TraceEvent& e : platform.trace) n += e.kind == kind;
    return n;
  }
};

// Mode 1 clears Setup byte 92 and warm-resets. When the Setup write fails the
// reset would only bring the same boot back: a store that refuses writes
// must not turn into a reset loop.
TEST_F(PlatformBoot, AStoreThatRefusesWritesEndsInOneBoot) {
  struct Row {
    const char* name;
    std::function<void()> arm;
  };
  const Row rows[] = {
      {"write-protected store", [&] { platform.store.writeProtected = true; }},
      {"SetVariable failing from the first call on",
       [&] { platform.FailService(sim::Service::SetVariable, 1, EFI_DEVICE_ERROR, true); }},
      {"only the Setup write failing",
       [&] { platform.FailService(sim::Service::SetVariable, 2, EFI_OUT_OF_RESOURCES); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    platform.store.writeProtected = false;
    platform.ClearServiceFailures();
    Put(u"ZKChgBoot", BootControlVendorGuid, {0x01, 0x01});
    SetupWithByte92();
    row.arm();
    const std::vector<sim::BootOutcome> boots = platform.RunUntilNoReset(image, 10);
    ASSERT_EQ(boots.size(), 1u);
    EXPECT_FALSE(boots[0].reset.has_value());
    EXPECT_EQ(notebook.cmos.bytes[0x61], 1);
    EXPECT_EQ((*Var(u"Setup", SetupVariableGuid))[92], 1) << "the edit did not reach the store";
  }
}

TEST_F(PlatformBoot, ASlowEcStillGetsEveryEndOfDxeAction) {
  notebook.ec.behaviour.takeNs = 6000;
  notebook.ec.behaviour.answerNs = 9000;
  Put(u"ZKChgBoot", BootControlVendorGuid, {0x00, 0x81});
  Put(u"ZKSaveLidFlag", LidFlagVendorGuid, {0x01});
  Put(u"ZKOOBTest", OobTestVendorGuid, {0x03});
  platform.bootManager = false;
  const sim::BootOutcome boot = platform.RunBoot(image);
  EXPECT_FALSE(boot.reset.has_value());
  EXPECT_EQ(notebook.ec.registers[0x94], 0x01);
  EXPECT_EQ(notebook.ec.registers[0x16], 0x02);
  EXPECT_EQ(Var(u"ZKOOBTest", OobTestVendorGuid), std::vector<uint8_t>{0x02});
  EXPECT_EQ(Var(u"BootNext", EFI_GLOBAL_VARIABLE), sim::Uint16List({0x0001}));
  EXPECT_EQ(notebook.ec.overruns, 0u);
}

// The EC takes the address of the power-off read and answers between the
// driver's status read and what used to be a blind drain of port 0x62: the
// answer must still be read, so the EC's request is honoured.
TEST_F(PlatformBoot, AnEcAnswerRacingTheDrainIsNotSwallowed) {
  notebook.ec.behaviour.takeNs = 1500;
  notebook.ec.behaviour.answerNs = 0;
  notebook.ec.registers[0x19] = 1;
  const sim::BootOutcome boot = platform.RunBoot(image);
  EXPECT_EQ(boot.reset, EfiResetShutdown);
  EXPECT_EQ(notebook.ec.registers[0x19], 0) << "acknowledged";
  EXPECT_EQ(notebook.ec.drainedBytes, 0u);
}

TEST_F(PlatformBoot, TheBootManagerConsumesBootNextOrFallsBackToBootOrder) {
  struct Row {
    std::vector<uint8_t> request;
    std::optional<uint16_t> booted;
  };
  const Row rows[] = {
      {{0x00, 0x81}, 0x0001},  // the USB option the driver picked
      {{0x00, 0x01}, 0x0000},  // BootNext 0x2001 names no option: first of BootOrder
      {{0x00, 0x00}, 0x0000},  // no BootNext
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(int{row.request[1]});
    Put(u"ZKChgBoot", BootControlVendorGuid, row.request);
    const sim::BootOutcome boot = platform.RunBoot(image);
    EXPECT_EQ(boot.booted, row.booted);
    EXPECT_FALSE(Var(u"BootNext", EFI_GLOBAL_VARIABLE).has_value());
  }
}

// Resets that come back: the factory reset stops dead instead of going on,
// and the power-off path does not go on to choose BootNext.
TEST_F(PlatformBoot, AResetThatReturnsIsGuarded) {
  platform.resetReturns = true;
  platform.bootManager = false;
  notebook.ec.registers[0x19] = 1;
  Put(u"ZKChgBoot", BootControlVendorGuid, {0x00, 0x81});
  const sim::BootOutcome shutdown = platform.RunBoot(image);
  EXPECT_EQ(shutdown.resetsReturned, 1u);
  EXPECT_FALSE(Var(u"BootNext", EFI_GLOBAL_VARIABLE).has_value());

  notebook.ec.registers[0x19] = 0;
  Put(u"ZKChgBoot", BootControlVendorGuid, {0x01, 0x04});
  SetupWithByte92();
  const sim::BootOutcome factory = platform.RunBoot(image);
  EXPECT_EQ(factory.resetsReturned, 1u);
  EXPECT_FALSE(factory.hung.empty()) << "the driver halts after a cold reset that returned";
  EXPECT_EQ(factory.endedAt, sim::BootStage::Entry);
  platform.violations.clear();  // the halt is reported as a hang on purpose
}

// A request stored with attributes other than 7 (here 0xF, a hardware error
// record) is taken all the same: the next boot does not act on it again.
TEST_F(PlatformBoot, ARequestStoredWithOtherAttributesIsTakenOnce) {
  Put(u"ZKChgBoot", BootControlVendorGuid, {0x01, 0x01}, 0xF);
  SetupWithByte92();
  const std::vector<sim::BootOutcome> boots = platform.RunUntilNoReset(image, 10);
  ASSERT_EQ(boots.size(), 2u);
  EXPECT_EQ(boots[0].reset, EfiResetWarm);
  EXPECT_EQ(Var(u"ZKChgBoot", BootControlVendorGuid), (std::vector<uint8_t>{0x00, 0x01}));
  EXPECT_EQ(platform.FindVariable(u"ZKChgBoot", BootControlVendorGuid)->attributes, 0xFu);
}

// Setup stored with attributes other than 7 (here boot-service only): the
// factory reset still deletes it and purges the options.
TEST_F(PlatformBoot, AFactoryResetDeletesSetupWhateverItsAttributes) {
  Put(u"ZKChgBoot", BootControlVendorGuid, {0x01, 0x04});
  SetupWithByte92(EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
  const sim::BootOutcome boot = platform.RunBoot(image);
  EXPECT_EQ(boot.reset, EfiResetCold);
  EXPECT_FALSE(Var(u"Setup", SetupVariableGuid).has_value());
  EXPECT_FALSE(Var(u"BootOrder", EFI_GLOBAL_VARIABLE).has_value());
  EXPECT_FALSE(Var(u"Boot0001", EFI_GLOBAL_VARIABLE).has_value());
}

// A power cut right after the request is taken: the next boot starts from
// power-on, finds the request taken and goes on; nothing loops.
TEST_F(PlatformBoot, APowerCutAfterTheRequestIsTakenLosesOnlyThatBootsEdit) {
  Put(u"ZKChgBoot", BootControlVendorGuid, {0x01, 0x01});
  SetupWithByte92();
  platform.CutPowerAfterNvWrite(1);
  const std::vector<sim::BootOutcome> boots = platform.RunUntilNoReset(image, 10);
  ASSERT_EQ(boots.size(), 2u);
  EXPECT_TRUE(boots[0].powerLost);
  EXPECT_EQ(Var(u"ZKChgBoot", BootControlVendorGuid), (std::vector<uint8_t>{0x00, 0x01}));
  EXPECT_EQ((*Var(u"Setup", SetupVariableGuid))[92], 1) << "the request was taken before the edit";
  EXPECT_EQ(platform.Cause(), sim::BootCause::AfterPowerLoss);
  EXPECT_EQ(Count("PowerLoss"), 1u);
}

}  // namespace
