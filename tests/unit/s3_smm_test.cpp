// The SMM branches of the S3 libraries, with the simulated platform
// answering InSmm with TRUE, and the SMM base protocol outside SMM.
#include <cstring>

#include "flash/flash_device.h"
#include "s3/bootscript.h"
#include "s3/flash_pointers.h"
#include "s3/smm_services.h"
#include "sim/pcd/pcd_db.h"
#include "tests/unit/comm_capture.h"
#include "tests/unit/driver_fixture.h"

namespace {

constexpr EFI_GUID kScriptSpace = {
    0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};
constexpr EFI_GUID kExitNotice = {
    0x296EB418, 0xC4C8, 0x4E05, {0xAB, 0x59, 0x39, 0xE8, 0xAF, 0x56, 0xF0, 0x0A}};
constexpr EFI_GUID kLegacyNotice = {
    0x85A8AB57, 0x0644, 0x4110, {0x85, 0x0F, 0x98, 0x13, 0x22, 0x04, 0x70, 0x70}};
constexpr EFI_GUID kSmmReadyToLock = {
    0x47B7FA8C, 0xF4BD, 0x4AF6, {0x82, 0x00, 0x33, 0x30, 0x86, 0xF0, 0xD2, 0xC8}};
constexpr EFI_GUID kDxeSmmReadyToLock = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};
constexpr EFI_GUID kListAnchor = {
    0xF4540D21, 0x18C6, 0x4E74, {0xBC, 0x2D, 0x3C, 0x6F, 0xA0, 0x8D, 0x8B, 0xC6}};
constexpr EFI_GUID kSmmVariable = {
    0xED32D533, 0x99E6, 0x4209, {0x9C, 0xC0, 0x2D, 0x72, 0xCD, 0xD9, 0x98, 0xA7}};
constexpr EFI_GUID kCommunicationGuid = {
    0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}};

class SmmTest : public DriverTest {
 protected:
  sim::PcdDatabase pcd{platform};
  Capture capture;
  BootScriptPrivateData published = {};

  void SetUp() override {
    Capture::active = &capture;
    capture.answers = false;
    pcd.Declare(kScriptSpace, 0x30000, sim::PcdDatabase::Kind::U64, reinterpret_cast<uintptr_t>(&published));
    pcd.Declare(kScriptSpace, 0x30001, sim::PcdDatabase::Kind::U64, 0);
    platform.smm.basePresent = true;
    platform.smm.inSmm = true;
    platform.bootHooks.push_back(
        [this](sim::Platform& p) { p.InstallProtocol(kCommunicationGuid, &capture.protocol); });
    DriverTest::SetUp();
  }
  uint64_t Pcd(uint64_t token) const { return pcd.Find(kScriptSpace, token)->value; }
};

TEST_F(SmmTest, TheFirstSmmModuleKeepsAnSmmCopyAndRegistersForTheNotices) {
  EXPECT_EQ(BootScriptLib.CurrentRecord, &published)
      << "the published record, nothing allocated at boot time";
  EXPECT_EQ(BootScriptLib.ReadyToLockEvent, nullptr);
  ASSERT_NE(BootScriptLib.SmmRecord, nullptr);
  EXPECT_EQ(Pcd(0x30001), reinterpret_cast<uintptr_t>(BootScriptLib.SmmRecord));
  const auto smram = platform.OutstandingSmmAllocations();
  ASSERT_EQ(smram.size(), 1u);
  EXPECT_EQ(smram[0].size, 24u);
  EXPECT_EQ(smram[0].type, EfiRuntimeServicesData);
  EXPECT_EQ(platform.SmmNotifyCount(kExitNotice), 1u);
  EXPECT_EQ(platform.SmmNotifyCount(kLegacyNotice), 1u);
  EXPECT_EQ(platform.SmmNotifyCount(kSmmReadyToLock), 1u);
}

TEST_F(SmmTest, AModuleThatFindsTheSmmRecordRegistersOnlyForReadyToLock) {
  static BootScriptPrivateData smmRecord = {};
  pcd.Declare(kScriptSpace, 0x30001, sim::PcdDatabase::Kind::U64, reinterpret_cast<uintptr_t>(&smmRecord));
  Boot();
  EXPECT_EQ(BootScriptLib.SmmRecord, &smmRecord);
  EXPECT_TRUE(platform.OutstandingSmmAllocations().empty());
  EXPECT_EQ(platform.SmmNotifyCount(kExitNotice), 0u);
  EXPECT_EQ(platform.SmmNotifyCount(kLegacyNotice), 0u);
  EXPECT_EQ(platform.SmmNotifyCount(kSmmReadyToLock), 1u);
}

TEST_F(SmmTest, SmmReadyToLockSealsOnceAndSwitchesToTheSmmCopy) {
  static uint8_t table[4096];
  published.TableAddress = reinterpret_cast<uintptr_t>(table);
  published.ScriptLength = 0x10;
  published.TablePages = 1;
  // Before the boot-time protocol exists, the SMM one only copies.
  platform.InstallSmmProtocol(kSmmReadyToLock, nullptr);
  EXPECT_EQ(published.Locked, 0);
  EXPECT_TRUE(capture.calls.empty());
  BootScriptPrivateData* smm = BootScriptLib.SmmRecord;
  EXPECT_EQ(BootScriptLib.CurrentRecord, smm);
  EXPECT_EQ(smm->TableAddress, published.TableAddress);
  EXPECT_EQ(smm->IsSmmCopy, 1);
  EXPECT_EQ(published.IsSmmCopy, 0);
  // From now on the SMM copy is the working record: a second SMM
  // ready-to-lock does nothing.
  platform.InstallProtocol(kDxeSmmReadyToLock, nullptr);
  platform.InstallSmmProtocol(kSmmReadyToLock, nullptr);
  EXPECT_TRUE(capture.calls.empty());
}

TEST_F(SmmTest, TheNoticeStoresTheBootTimeScriptAndTheRecordOnce) {
  static uint8_t table[4096];
  published.TableAddress = reinterpret_cast<uintptr_t>(table);
  published.ScriptLength = 0x10;
  published.TablePages = 1;
  platform.InstallProtocol(kDxeSmmReadyToLock, nullptr);
  platform.InstallSmmProtocol(kSmmReadyToLock, nullptr);
  EXPECT_EQ(published.Locked, 1);
  EXPECT_EQ(capture.calls.size(), 4u) << "table and address stored and locked";
  capture.calls.clear();
  platform.SignalLegacyBoot();
  BootScriptPrivateData* smm = BootScriptLib.SmmRecord;
  EXPECT_EQ(smm->RuntimePhase, 1);
  EXPECT_EQ(smm->BootTimeLength, 0x13u);
  EXPECT_EQ(smm->ResumeCopy, 0);
  // Restore the table in place, store the boot-time part, store and lock the record.
  ASSERT_EQ(capture.calls.size(), 4u);
  const uint32_t commands[4] = {3, 1, 1, 4};
  for (int i = 0; i < 4; i++) {
    uint32_t command;
    std::memcpy(&command, capture.calls[i].bytes.data() + 24, 4);
    EXPECT_EQ(command, commands[i]) << i;
  }
  uint64_t address = 0, length = 0;
  std::memcpy(&address, capture.calls[0].bytes.data() + 56, 8);
  std::memcpy(&length, capture.calls[0].bytes.data() + 64, 8);
  EXPECT_EQ(address, 0u);
  EXPECT_EQ(length, 0u);
  std::memcpy(&length, capture.calls[1].bytes.data() + 64, 8);
  EXPECT_EQ(length, 0x13u);
  const uint8_t* stored = capture.calls[2].bytes.data();
  std::memcpy(&address, stored + 56, 8);
  EXPECT_EQ(address, reinterpret_cast<uintptr_t>(smm));
  EXPECT_EQ(smm->ResumeCopy, 0) << "set only for the stored copy";
  // The exit-boot-services notice after it finds the phase done.
  capture.calls.clear();
  platform.InstallSmmProtocol(kExitNotice, nullptr);
  EXPECT_TRUE(capture.calls.empty());
}

TEST_F(SmmTest, TheDestructorCancelsEverySmmRegistrationAndFreesTheCopy) {
  BootScriptDestructor(ImageHandle, SystemTable);
  EXPECT_EQ(platform.SmmNotifyCount(kExitNotice), 0u);
  EXPECT_EQ(platform.SmmNotifyCount(kLegacyNotice), 0u);
  EXPECT_EQ(platform.SmmNotifyCount(kSmmReadyToLock), 0u);
  EXPECT_TRUE(platform.OutstandingSmmAllocations().empty());
  EXPECT_EQ(Pcd(0x30001), 0u);
  EXPECT_EQ(Pcd(0x30000), reinterpret_cast<uintptr_t>(&published)) << "not this module's to free";
  EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
}

TEST_F(SmmTest, AFailedSmramAllocationRegistersNothing) {
  platform.FailService(sim::Service::SmmAllocatePool, 1, EFI_OUT_OF_RESOURCES);
  Boot();
  EXPECT_EQ(BootScriptLib.SmmRecord, nullptr);
  EXPECT_EQ(Pcd(0x30001), 0u);
  EXPECT_EQ(platform.SmmNotifyCount(kSmmReadyToLock), 0u);
  EXPECT_EQ(platform.SmmNotifyCount(kExitNotice), 0u);
}

TEST_F(SmmTest, OtherConstructorsTakeTheirSmmBranches) {
  // The list anchor goes into the SMM database; the end of boot services is
  // not watched; the pointer registry is not looked for.
  EXPECT_EQ(platform.SmmProtocolCount(kListAnchor), 1u);
  EXPECT_EQ(platform.ProtocolCount(kListAnchor), 0u);
  EXPECT_EQ(SmmServices.BootServicesEndedEvent, nullptr);
  EXPECT_EQ(SmmServices.BootServicesEndedSmst, platform.Smst());
  EXPECT_EQ(SmmServices.PointerRegistryEvent, nullptr);
  // The flash pointers wait for the SMM variable service.
  EXPECT_EQ(FlashPointers.RuntimeServicesCopy, nullptr);
  EXPECT_EQ(FlashPointers.SmmVariable, nullptr);
  EXPECT_EQ(platform.SmmNotifyCount(kSmmVariable), 1u);
  static uint64_t variableService;
  platform.InstallSmmProtocol(kSmmVariable, &variableService);
  EXPECT_EQ(FlashPointers.SmmVariable, &variableService);
  RunLibraryDestructors(ImageHandle, SystemTable);
  EXPECT_EQ(platform.SmmNotifyCount(kSmmVariable), 0u);
}

// Outside SMM, with the SMM base protocol installed: the boot-time record is
// set up and the constructor stops at GetSmstLocation.
TEST_F(SmmTest, OutsideSmmNothingIsRegisteredInSmm) {
  platform.smm.inSmm = false;
  pcd.Declare(kScriptSpace, 0x30000, sim::PcdDatabase::Kind::U64, 0);
  Boot();
  ASSERT_NE(BootScriptLib.CurrentRecord, nullptr);
  EXPECT_NE(BootScriptLib.CurrentRecord, &published);
  EXPECT_NE(BootScriptLib.ReadyToLockEvent, nullptr);
  EXPECT_EQ(BootScriptLib.Smst, nullptr);
  EXPECT_EQ(BootScriptLib.SmmRecord, nullptr);
  EXPECT_EQ(platform.SmmNotifyCount(kSmmReadyToLock), 0u);
  EXPECT_EQ(platform.SmmNotifyCount(kExitNotice), 0u);
  EXPECT_TRUE(platform.OutstandingSmmAllocations().empty());
  EXPECT_EQ(platform.ProtocolCount(kListAnchor), 1u);
}

}  // namespace
