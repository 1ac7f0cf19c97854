// The boot runner: a fresh image per boot, the platform stages in order,
// resets at any stage, and runtime after exit-boot-services.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/platform.h"
#include "tests/sim_image/counter_image.h"

namespace {

class Boot : public ::testing::Test {
 protected:
  std::string Read(const CHAR16* name) {
    const sim::Variable* v = p.FindVariable(name, kCounterImageGuid);
    return v ? std::string(v->data.begin(), v->data.end()) : "(absent)";
  }
  void RequestReset(char stage, uint8_t type) {
    p.PutVariable(kResetRequestName, kCounterImageGuid,
                  EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS,
                  {static_cast<uint8_t>(stage), type});
  }
  sim::Platform p;
  sim::DriverImage image{TEST_IMAGE_PATH};
};

TEST_F(Boot, EveryBootLoadsAFreshImage) {
  for (unsigned boot = 1; boot <= 3; ++boot) {
    EXPECT_EQ(p.RunBoot(image).boot, boot);
    EXPECT_EQ(Read(kEntriesName), std::string("\1\0\0\0", 4)) << "zeroed state carried into boot " << boot;
    EXPECT_EQ(Read(kSeedName), "\x34\x12\xED\x5E") << "initialised data carried into boot " << boot;
  }
  EXPECT_EQ(image.Loads(), 3u);
  EXPECT_GT(image.WritableBytes(), 0u);
}

// Two images of the same file alive at once keep their own module state:
// booting one does not reset or reuse the other's.
TEST_F(Boot, TwoImagesOfOneFileDoNotShareModuleState) {
  sim::DriverImage other{TEST_IMAGE_PATH};
  for (sim::DriverImage* each : {&image, &other, &image}) {
    p.RunBoot(*each);
    EXPECT_EQ(Read(kEntriesName), std::string("\1\0\0\0", 4));
    EXPECT_EQ(Read(kSeedName), "\x34\x12\xED\x5E");
  }
  void* mine = image.Symbol("DriverEntry");
  void* theirs = other.Symbol("DriverEntry");
  ASSERT_NE(mine, nullptr);
  ASSERT_NE(theirs, nullptr);
  EXPECT_NE(mine, theirs) << "the second image is a mapping of its own";
}

TEST_F(Boot, RunsTheStagesInOrderOnTheLoadedImageHandle) {
  sim::BootOutcome outcome = p.RunBoot(image);
  EXPECT_TRUE(outcome.entryReturned);
  EXPECT_EQ(outcome.entryStatus, EFI_SUCCESS);
  EXPECT_FALSE(outcome.reset.has_value());
  EXPECT_EQ(outcome.endedAt, sim::BootStage::Done);
  EXPECT_EQ(Read(kStagesName), "DELBX");
  EXPECT_EQ(Read(kImageOkName), "\1");
  std::vector<std::string> stages;
  for (const auto& e : p.trace) {
    if (e.kind == "Stage") stages.push_back(e.text);
  }
  EXPECT_EQ(stages, (std::vector<std::string>{"BeginBoot after power-on", "DriverEntry",
                                              "DriverEntry returned EFI_SUCCESS", "EndOfDxe", "ReadyToLock",
                                              "BootManager", "ReadyToBoot", "ExitBootServices", "Done"}));
  EXPECT_TRUE(p.violations.empty());
}

TEST_F(Boot, AResetAtAnyStageEndsTheBootThere) {
  struct Case {
    char letter;
    sim::BootStage stage;
    const char* stagesSeen;
  };
  const Case cases[] = {{'D', sim::BootStage::Entry, "D"},
                        {'E', sim::BootStage::EndOfDxe, "DE"},
                        {'L', sim::BootStage::ReadyToLock, "DEL"},
                        {'B', sim::BootStage::ReadyToBoot, "DELB"},
                        {'X', sim::BootStage::ExitBootServices, "DELBX"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.letter);
    RequestReset(c.letter, EfiResetCold);
    sim::BootOutcome first = p.RunBoot(image);
    EXPECT_EQ(first.reset, EfiResetCold);
    EXPECT_EQ(first.endedAt, c.stage);
    EXPECT_EQ(first.entryReturned, c.letter != 'D');
    EXPECT_EQ(Read(kStagesName), c.stagesSeen);
    EXPECT_EQ(p.trace.back().text, "ResetSystem(EfiResetCold)");
    std::vector<sim::BootOutcome> next = p.RunUntilNoReset(image, 5);  // the request was consumed
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(Read(kStagesName), "DELBX");  // volatile: only this boot's stages
  }
}

TEST_F(Boot, RunUntilNoResetIsBoundedAndStopsAtShutdown) {
  const struct {
    uint8_t type;
    unsigned boots;
  } cases[] = {{EfiResetWarm, 2}, {EfiResetWarm | kKeepRequest, 3}, {EfiResetShutdown | kKeepRequest, 1}};
  for (const auto& c : cases) {
    RequestReset('B', c.type);
    std::vector<sim::BootOutcome> outcomes = p.RunUntilNoReset(image, 3);
    ASSERT_EQ(outcomes.size(), c.boots) << int{c.type};
    EXPECT_EQ(outcomes[0].reset, static_cast<EFI_RESET_TYPE>(c.type & ~kKeepRequest));
  }
  p.RemoveVariable(kResetRequestName, kCounterImageGuid);
}

TEST_F(Boot, AfterExitBootServicesOnlyRuntimeVariablesAndNoBootServices) {
  p.RunBoot(image);
  ASSERT_TRUE(p.AtRuntime());
  p.PutVariable(u"BsOnly", kCounterImageGuid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS,
                {1});
  p.PutVariable(u"Runtime", kCounterImageGuid, kVarNvBsRt, {2});
  EFI_RUNTIME_SERVICES* rt = p.RuntimeServices();
  uint8_t data = 0;
  UINTN size = 1;
  EXPECT_EQ(rt->GetVariable(u"BsOnly", &kCounterImageGuid, nullptr, &size, &data), EFI_NOT_FOUND);
  EXPECT_EQ(rt->GetVariable(u"Runtime", &kCounterImageGuid, nullptr, &size, &data), EFI_SUCCESS);
  EXPECT_EQ(rt->SetVariable(u"New", &kCounterImageGuid, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &data),
            EFI_INVALID_PARAMETER);
  void* buffer = nullptr;
  p.BootServices()->AllocatePool(EfiBootServicesData, 8, &buffer);
  ASSERT_EQ(p.violations.size(), 1u);
  EXPECT_NE(p.violations[0].find("AllocatePool"), std::string::npos);
}

TEST(BootRunner, ResetWithoutAGuardAborts) {
  sim::Platform p;
  p.BeginBoot();
  EXPECT_DEATH(p.RuntimeServices()->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr), "outside");
}

}  // namespace
