// Timer calibration and delays, PCD access, debug messages and post codes.
#include "sim/pcd/pcd_db.h"
#include "support/debug/debug.h"
#include "tests/unit/driver_fixture.h"

namespace {

constexpr EFI_GUID kSpace = {0xCBDEF572, 0x719D, 0x426E, {0x8A, 0x43, 0x75, 0xAE, 0x91, 0x3C, 0xFF, 0xB2}};
constexpr EFI_GUID kOtherSpace = {
    0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};

uint64_t PstateDefinition(uint32_t fid, uint32_t did) { return (1ull << 63) | (did << 8) | fid; }

// ---------------------------------------------------------------- timer

using TimerTest = DriverTest;

TEST_F(TimerTest, PstateFrequencyRounding) {
  struct Row {
    uint32_t fid, did, mhz;
  };
  for (const Row& row : {Row{0x8C, 8, 3500}, Row{0x62, 0x0C, 1600}, Row{0x6B, 0x0C, 1800}, Row{33, 4, 1700},
                         Row{0x64, 0x08, 2500}, Row{0x10, 0x3F, 100}, Row{0xFF, 1, 51000}, Row{0x8C, 0, 0},
                         Row{0x8C, 0x28, 700}}) {
    SCOPED_TRACE(row.fid * 1000 + row.did);
    platform.cpu.msrs[0xC0010064 + 3] = PstateDefinition(row.fid, row.did);
    UINT32 mhz = 0xFFFF;
    PstateMhz(3, &mhz);
    EXPECT_EQ(mhz, row.mhz);
  }
}

// The current P-state number is three bits of the status register.
TEST_F(TimerTest, TheCurrentPstateUsesThreeStatusBits) {
  platform.cpu.msrs[0xC0010063] = 5;
  platform.cpu.msrs[0xC0010064 + 1] = PstateDefinition(0x62, 0x0C);
  platform.cpu.msrs[0xC0010064 + 5] = PstateDefinition(0x64, 0x08);
  EXPECT_EQ(CurrentPstateMhz(), 2500u);
}

TEST_F(TimerTest, TimerInitPublishesTheCurrentPstateFrequency) {
  platform.cpu.msrs[0xC0010063] = 2;
  platform.cpu.msrs[0xC0010064 + 0] = PstateDefinition(0x62, 0x0C);
  platform.cpu.msrs[0xC0010064 + 2] = PstateDefinition(0x8C, 8);
  Boot();
  EXPECT_EQ(GetTscHz(), 3500000000ull);
  auto* table = static_cast<UINT64*>(platform.FindConfigTable(TscFrequencyGuid));
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(*table, 3500000000ull);
  auto held = platform.OutstandingAllocations();
  auto record =
      std::find_if(held.begin(), held.end(), [&](const sim::Allocation& a) { return a.address == table; });
  ASSERT_NE(record, held.end()) << "the published table is pool";
  EXPECT_EQ(record->size, 8u);
  EXPECT_EQ(record->type, EfiBootServicesData);
}

TEST_F(TimerTest, PublishedFrequencyIsAdoptedUnchanged) {
  static UINT64 published = 1234567890;
  platform.cpu.msrs[0xC0010064] = PstateDefinition(0x8C, 8);
  platform.bootHooks.push_back(
      [](sim::Platform& p) { p.BootServices()->InstallConfigurationTable(&TscFrequencyGuid, &published); });
  Boot();
  EXPECT_EQ(GetTscHz(), 1234567890ull);
  for (const sim::Allocation& a : platform.OutstandingAllocations()) {
    EXPECT_FALSE(a.size == 8 && a.type == EfiBootServicesData) << "no second frequency record";
  }
  EXPECT_EQ(platform.FindConfigTable(TscFrequencyGuid), &published);
}

TEST_F(TimerTest, ZeroFrequencyOrFailedAllocationIsNotPublished) {
  // All P-state registers read 0 (a divisor of 0): nothing to publish.
  EXPECT_EQ(GetTscHz(), 0u);
  EXPECT_EQ(platform.FindConfigTable(TscFrequencyGuid), nullptr);

  platform.cpu.msrs[0xC0010064] = PstateDefinition(0x8C, 8);
  platform.BeginBoot();
  ResetDriverState();
  platform.FailNthAllocation(1);
  RunLibraryConstructors(platform.ImageHandle(), platform.SystemTable());
  EXPECT_EQ(GetTscHz(), 3500000000ull) << "kept for this module";
  EXPECT_EQ(platform.FindConfigTable(TscFrequencyGuid), nullptr);
}

TEST_F(TimerTest, StallsSpinOnTheTsc) {
  TscHz = 3500000000ull;
  platform.cpu.pauseTicks = 1000000;
  uint64_t start = platform.cpu.tsc;
  EXPECT_EQ(StallMicroseconds(2500000), 2500000u);
  const uint64_t elapsed = platform.cpu.tsc - start;
  EXPECT_GT(elapsed, 8750000000ull);
  EXPECT_LT(elapsed, 8750000000ull + 2 * platform.cpu.pauseTicks);

  // A zero stall returns after the first reading above the start.
  const uint64_t reads = platform.counters.tscReads, pauses = platform.counters.pauses;
  EXPECT_EQ(StallMicroseconds(0), 0u);
  EXPECT_EQ(platform.counters.tscReads - reads, 2u);
  EXPECT_EQ(platform.counters.pauses - pauses, 1u);
  start = platform.cpu.tsc;
  EXPECT_GT(SpinTscTicks(5), start + 5);
}

// The spin ends at the first reading above the target, never at the target
// itself: with a counter that moves one tick per PAUSE, a wait of n ticks
// returns start + n + 1 after n + 1 pauses.
TEST_F(TimerTest, SpinEndsAboveTheTarget) {
  platform.cpu.tscStep = 0;
  platform.cpu.pauseTicks = 1;
  for (const uint64_t ticks : {0ull, 1ull, 3ull, 100ull}) {
    SCOPED_TRACE(ticks);
    const uint64_t start = platform.cpu.tsc;
    const uint64_t pauses = platform.counters.pauses;
    EXPECT_EQ(SpinTscTicks(ticks), start + ticks + 1);
    EXPECT_EQ(platform.counters.pauses - pauses, ticks + 1);
  }
}

TEST_F(TimerTest, PcieWindowRegister) {
  struct Row {
    uint64_t msr;
    bool enabled;
    uint64_t base;
    uint32_t size;
  };
  for (const Row& row :
       {Row{0xF8000021, true, 0xF8000000, 0x10000000}, Row{0xF8000020, false, 0, 0},
        Row{0xE0000001, true, 0xE0000000, 0x100000}, Row{0x1F800002D, true, 0x1F8000000, 0x80000000},
        Row{0xE0000031, false, 0, 0}, Row{0xE000003D, false, 0, 0}}) {
    SCOPED_TRACE(row.msr);
    platform.cpu.msrs[0xC0010058] = row.msr;
    UINT64 base = 0x5555;
    UINT32 size = 0x6666;
    EXPECT_EQ(ReadPcieMmioWindow(&base, &size) != 0, row.enabled);
    EXPECT_EQ(base, row.enabled ? row.base : 0x5555u);
    EXPECT_EQ(size, row.enabled ? row.size : 0x6666u);
  }
}

unsigned gNotifications;
void EFIAPI CountNotify(EFI_EVENT, void* context) {
  gNotifications++;
  EXPECT_EQ(context, &gNotifications);
}

TEST_F(TimerTest, ProtocolNotifyEventRunsOnceAtOnceAndOnInstall) {
  static const EFI_GUID watched = {
      0x8BFFF2C1, 0x0BB8, 0x47FD, {0x9F, 0x6A, 0xAE, 0xC1, 0x01, 0xAC, 0xBE, 0x6E}};
  gNotifications = 0;
  void* registration = nullptr;
  EFI_EVENT event =
      CreateProtocolNotifyEvent(&watched, TPL_CALLBACK, CountNotify, &gNotifications, &registration);
  ASSERT_NE(event, nullptr);
  EXPECT_NE(registration, nullptr);
  EXPECT_EQ(gNotifications, 1u);
  static int iface;
  platform.InstallProtocol(watched, &iface);
  EXPECT_EQ(gNotifications, 2u);
  void* found = nullptr;
  EXPECT_EQ(BootServices->LocateProtocol(&watched, registration, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &iface);
}

// ---------------------------------------------------------------- PCD

unsigned gLocates;
EFI_STATUS(EFIAPI* gRealLocate)(const EFI_GUID*, void*, void**);
EFI_STATUS EFIAPI CountingLocate(const EFI_GUID* guid, void* registration, void** iface) {
  gLocates++;
  return gRealLocate(guid, registration, iface);
}

class PcdTest : public DriverTest {
 protected:
  sim::PcdDatabase pcd{platform};
  void SetUp() override {
    pcd.Declare(kSpace, 5, sim::PcdDatabase::Kind::U32, 0x11);
    pcd.Declare(kSpace, 0x12345678, sim::PcdDatabase::Kind::U32, 0x22);
    pcd.Declare(kSpace, 0x20000001, sim::PcdDatabase::Kind::U32, 0);
    pcd.Declare(kSpace, 7, sim::PcdDatabase::Kind::U64, 0x1122334455667788ull);
    pcd.DeclarePtr(kOtherSpace, 0x30000, {1, 2, 3});
    DriverTest::SetUp();
    PcdProtocol = nullptr;  // the constructors' reads located it; measure a first use
    gLocates = 0;
    gRealLocate = BootServices->LocateProtocol;
    BootServices->LocateProtocol = CountingLocate;
  }
  void TearDown() override { BootServices->LocateProtocol = gRealLocate; }
};

TEST_F(PcdTest, ProtocolIsLocatedOnceAndRequestsForwarded) {
  EXPECT_EQ(PcdRead32(&kSpace, 5), 0x11u);
  EXPECT_EQ(PcdRead64(&kSpace, 7), 0x1122334455667788ull);
  EXPECT_EQ(gLocates, 1u);
  EXPECT_EQ(PcdWrite32(&kSpace, 0x20000001, 0x12345678), EFI_SUCCESS);
  EXPECT_EQ(PcdRead32(&kSpace, 0x20000001), 0x12345678u);
  EXPECT_EQ(PcdWrite64(&kSpace, 7, 9), EFI_SUCCESS);
  EXPECT_EQ(PcdWrite64(&kSpace, 5, 9), EFI_INVALID_PARAMETER) << "width mismatch reported by the database";
  EXPECT_EQ(PcdWrite32(&kSpace, 99, 1), EFI_NOT_FOUND);
  EXPECT_EQ(PcdReadSize(&kOtherSpace, 0x30000), 3u);
  EXPECT_EQ(static_cast<UINT8*>(PcdReadPtr(&kOtherSpace, 0x30000))[2], 3);
  EXPECT_EQ(PcdReadSize(&kSpace, 7), 8u);
  EXPECT_EQ(gLocates, 1u);
}

TEST_F(PcdTest, NextTokenWalksTheSpaceInItsOrder) {
  std::vector<UINTN> walk;
  for (UINTN t = PcdNextToken(&kSpace, 0); t != 0 && walk.size() < 10; t = PcdNextToken(&kSpace, t)) {
    walk.push_back(t);
  }
  EXPECT_EQ(walk, (std::vector<UINTN>{5, 0x12345678, 0x20000001, 7}));
  EXPECT_EQ(PcdNextToken(&kSpace, 7), 0u) << "last token";
  EXPECT_EQ(PcdNextToken(&kSpace, 0x999), 0x999u) << "left as the database leaves it";
}

TEST_F(PcdTest, AbsentProtocolAnswersLikeAnAbsentToken) {
  pcd.installed = false;
  Boot();
  gLocates = 0;
  gRealLocate = BootServices->LocateProtocol;
  BootServices->LocateProtocol = CountingLocate;
  EXPECT_EQ(PcdRead32(&kSpace, 5), 0u);
  EXPECT_EQ(PcdRead64(&kSpace, 7), 0u);
  EXPECT_EQ(PcdReadPtr(&kOtherSpace, 0x30000), nullptr);
  EXPECT_EQ(PcdReadSize(&kOtherSpace, 0x30000), 0u);
  EXPECT_EQ(PcdWrite32(&kSpace, 5, 1), EFI_NOT_FOUND);
  EXPECT_EQ(PcdWrite64(&kSpace, 7, 1), EFI_NOT_FOUND);
  EXPECT_EQ(PcdNextToken(&kSpace, 0), 0u);
  EXPECT_EQ(gLocates, 7u) << "looked for again while absent";
  // Installed later in the boot: found by the next request.
  platform.InstallProtocol(EFI_PCD_PROTOCOL_GUID, &pcd.protocol);
  EXPECT_EQ(PcdRead32(&kSpace, 5), 0x11u);
}

// ---------------------------------------------------------------- debug and post codes

using DebugTest = DriverTest;

TEST_F(DebugTest, MessageWithoutProducerIsDropped) {
  const size_t trace = platform.trace.size();
  EXPECT_EQ(DebugMessage(kDebugErrorLevel, "ChipsetS3SaveCloseTableCallBack\n"), EFI_NOT_FOUND);
  for (size_t i = trace; i < platform.trace.size(); i++) EXPECT_NE(platform.trace[i].kind, "Debug");
}

TEST_F(DebugTest, MessageReachesTheProducerWithItsSlots) {
  sim::DebugConsole console(platform);
  Boot();
  console.messages.clear();  // what the constructors said
  EXPECT_EQ(DebugMessage(kDebugErrorLevel, "ChipsetS3LibTableHeader buffer size = 0x%x\n",
                         static_cast<UINT64>(0x4000)),
            EFI_SUCCESS);
  EXPECT_EQ(DebugMessage(kDebugErrorLevel, "%a %d %lx\n", "three", static_cast<UINT64>(-3), 0x1122334455ull),
            EFI_SUCCESS);
  ASSERT_EQ(console.messages.size(), 2u);
  EXPECT_EQ(console.messages[0].text, "ChipsetS3LibTableHeader buffer size = 0x4000\n");
  EXPECT_EQ(console.messages[0].level, 0x0004000000000000u);
  EXPECT_EQ(console.messages[1].text, "three -3 1122334455\n");
}

TEST_F(DebugTest, PostCodeHaltIsOffInThisBuild) {
  const uint64_t writes = platform.counters.portWrites;
  EXPECT_TRUE(PostCodeHalt(0xA0706));
  EXPECT_EQ(platform.counters.portWrites, writes);
}

TEST_F(DebugTest, PostCodeHaltStopsWhenTheProbeAnswers) {
  platform.cpu.siProbe = [](uint32_t eax, uint32_t ebx) -> uint16_t {
    return eax == 0xBACCD00B && ebx == 2 ? 1 : 0;
  };
  EXPECT_TRUE(PostCodeHaltIf(true, 0xB2000001));
  ASSERT_EQ(notebook.postCodes.codes.size(), 2u);
  EXPECT_EQ(notebook.postCodes.codes[0].port, 0xE0);
  EXPECT_EQ(notebook.postCodes.codes[0].width, 2);
  EXPECT_EQ(notebook.postCodes.codes[0].value, 0xDEADu);
  EXPECT_EQ(notebook.postCodes.codes[1].port, 0x80);
  EXPECT_EQ(notebook.postCodes.codes[1].width, 4);
  EXPECT_EQ(notebook.postCodes.codes[1].value, 0xB2000001u);
}

TEST_F(DebugTest, PostCodeScrollsUntilReset) {
  TscHz = 3500000000ull;
  platform.cpu.pauseTicks = 10000000;
  std::vector<uint64_t> stamps;
  notebook.postCodes.onWrite = [&](const sim::PostCodes::Code&) {
    stamps.push_back(platform.cpu.tsc);
    if (notebook.postCodes.codes.size() == 2 + 13) {
      platform.RuntimeServices()->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr);  // the reset button
    }
  };
  EXPECT_EQ(Run([] { PostCodeHaltIf(true, 0xB2000001); }), EfiResetCold);
  std::vector<uint32_t> values;
  for (const auto& c : notebook.postCodes.codes) values.push_back(c.value);
  const std::vector<uint32_t> round = {0x010000DE, 0x0000DEAD, 0x00DEADB2,
                                       0xDEADB200, 0xADB20000, 0xB2000001};
  std::vector<uint32_t> expected = {0xDEAD, 0xB2000001};
  expected.insert(expected.end(), round.begin(), round.end());
  expected.insert(expected.end(), round.begin(), round.end());
  expected.push_back(round[0]);
  EXPECT_EQ(values, expected);
  // Consecutive scroll steps are 2.5 s of TSC apart.
  for (size_t i = 3; i < stamps.size(); i++) {
    EXPECT_GE(stamps[i] - stamps[i - 1], 8750000000ull);
    EXPECT_LT(stamps[i] - stamps[i - 1], 8750000000ull + 3 * platform.cpu.pauseTicks);
  }
}

}  // namespace
