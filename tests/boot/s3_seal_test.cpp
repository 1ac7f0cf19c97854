// Whole boots with SMM communication present: what the S3 libraries seal
// into lock boxes and hand to the chipset S3 save handler, byte for byte.
#include <cstring>

#include "sim/pcd_db.h"
#include "sim/smm_comm.h"
#include "tests/boot/whole_boot.h"
#include "tests/le_bytes.h"

namespace {

constexpr EFI_GUID kScriptTableBox = {
    0xAEA6B965, 0xDCF5, 0x4311, {0xB4, 0xB8, 0x0F, 0x12, 0x46, 0x44, 0x94, 0xD2}};
constexpr EFI_GUID kScriptAddressBox = {
    0x1810AB4A, 0x2314, 0x4DF6, {0x81, 0xEB, 0x67, 0xC6, 0xEC, 0x05, 0x85, 0x91}};
constexpr EFI_GUID kBootTimeScriptBox = {
    0xB5AF1D7A, 0xB8CF, 0x4EB3, {0x89, 0x25, 0xA8, 0x20, 0xE1, 0x6B, 0x68, 0x7D}};
constexpr EFI_GUID kScriptRecordBox = {
    0x627EE2DA, 0x3BF9, 0x439B, {0x92, 0x9F, 0x2E, 0x0E, 0x6E, 0x9D, 0xBA, 0x62}};

class S3SealTest : public WholeBootTest {
 protected:
  sim::PcdDatabase pcd{platform};
  sim::SmmCommunication communication{platform};
  sim::LockBoxHandler lockBoxes{platform, communication};
  sim::ChipsetS3SaveHandler chipset{platform, communication};

  void SetUp() override {
    sim::DeclareS3Pcds(pcd, chipset.CommBufferAddress(), 0);
    platform.bootManager = false;
    platform.cpu.msrs[0xC0010058] = 0xF8000000 | (8 << 2) | 1;
  }
};

// The driver takes the SMM branches (another module published the record and
// the table): at SMM ready-to-lock the table is terminated and sealed and the
// record copied into SMRAM; at the SMM exit-boot-services notice the boot-time
// script and the record are stored.
TEST_F(S3SealTest, ABootInSmmSealsTheTableAndTheRecord) {
  sim::PublishedBootScript script(platform, pcd, 2, 0x20);
  platform.smm.basePresent = true;
  platform.smm.inSmm = true;
  const sim::BootOutcome boot = platform.RunBoot(image);
  ASSERT_FALSE(boot.reset.has_value());
  EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();

  const sim::LockBoxHandler::LockBox* table = lockBoxes.Find(kScriptTableBox);
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(table->data.size(), 8192u) << "both pages";
  EXPECT_EQ(table->address, script.TableAddress());
  EXPECT_EQ(table->attributes, 1u);
  EXPECT_EQ(table->data[0x20], 0xFF);
  EXPECT_EQ(table->data[0x21], 0x00);
  EXPECT_EQ(table->data[0x22], 0x03);
  EXPECT_EQ(U32(table->data.data() + 5), 0x23u);
  const std::vector<uint8_t> original = script.Script();
  EXPECT_TRUE(std::equal(original.begin() + 9, original.end(), table->data.begin() + 9)) << "script kept";

  const sim::LockBoxHandler::LockBox* address = lockBoxes.Find(kScriptAddressBox);
  ASSERT_NE(address, nullptr);
  ASSERT_EQ(address->data.size(), 8u);
  EXPECT_EQ(U64(address->data.data()), script.TableAddress());
  EXPECT_EQ(address->attributes, 1u);

  const sim::LockBoxHandler::LockBox* bootTime = lockBoxes.Find(kBootTimeScriptBox);
  ASSERT_NE(bootTime, nullptr);
  ASSERT_EQ(bootTime->data.size(), 0x23u) << "the script with its terminator";
  EXPECT_TRUE(std::equal(bootTime->data.begin(), bootTime->data.end(), table->data.begin()));

  const sim::LockBoxHandler::LockBox* record = lockBoxes.Find(kScriptRecordBox);
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(record->data.size(), 24u);
  const uint8_t* r = record->data.data();
  EXPECT_EQ(U64(r), script.TableAddress());
  EXPECT_EQ(U32(r + 8), 0x20u) << "ScriptLength";
  EXPECT_EQ(r[14], 1) << "IsSmmCopy";
  EXPECT_EQ(r[15], 1) << "RuntimePhase";
  EXPECT_EQ(U32(r + 16), 0x23u) << "BootTimeLength";
  EXPECT_EQ(r[20], 1) << "Locked";
  EXPECT_EQ(r[21], 1) << "ResumeCopy in the stored copy";
  EXPECT_EQ(record->attributes, 1u);
  // In memory: the shared record was locked, the SMM copy keeps ResumeCopy 0.
  EXPECT_EQ(script.Record()[20], 1);
  const uint64_t smmRecord = pcd.Find(sim::kBootScriptPcdTokenSpace, 0x30001)->value;
  ASSERT_NE(smmRecord, 0u);
  const uint8_t* smm = reinterpret_cast<const uint8_t*>(smmRecord);
  EXPECT_EQ(smm[21], 0);
  EXPECT_EQ(smm[15], 1);
  // The table box was put back in place before the boot-time part was taken.
  size_t restores = 0;
  for (const auto& q : lockBoxes.requests) restores += q.command == 3;
  EXPECT_EQ(restores, 1u);
}

// A boot outside SMM, with the driver the first module: it creates the
// record, seals it at ready-to-lock (no table yet: the table store is
// refused before it is sent) and hands the chipset table over at ready-to-boot.
TEST_F(S3SealTest, ABootTimeBootHandsTheChipsetTableOver) {
  const sim::BootOutcome boot = platform.RunBoot(image);
  ASSERT_FALSE(boot.reset.has_value());
  EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
  EXPECT_EQ(lockBoxes.Find(kScriptTableBox), nullptr);
  const sim::LockBoxHandler::LockBox* address = lockBoxes.Find(kScriptAddressBox);
  ASSERT_NE(address, nullptr);
  EXPECT_EQ(U64(address->data.data()), 0u) << "no table yet";
  ASSERT_EQ(chipset.handovers.size(), 1u);
  const auto& handover = chipset.handovers[0];
  ASSERT_EQ(handover.message.size(), 40u);
  EXPECT_EQ(U64(handover.message.data() + 16), 16u);
  EXPECT_EQ(U32(handover.message.data() + 24), 1u);
  EXPECT_TRUE(handover.endMarker);
  ASSERT_EQ(handover.table.size(), 0x32u) << "the 48-byte header and the end marker";
  EXPECT_EQ(0, std::memcmp(handover.table.data(), "AS3T", 4));
  EXPECT_EQ(handover.table[0x30], 0xFF);
  EXPECT_EQ(handover.table[0x31], 0xFF);
  ASSERT_EQ(handover.record.size(), 16u);
  EXPECT_EQ(handover.record[0], 1) << "Locked at ready-to-lock";
}

// The platform's own ready-to-lock notification, registered before any
// driver at TPL_CALLBACK, locks SMM; the driver's requests must reach the lock
// box before it. The boot-script library's notification runs at TPL_NOTIFY,
// ahead of it: every request is taken (the table box has no table to store,
// so its attributes are not found; the address box is stored and marked).
TEST_F(S3SealTest, ReadyToLockRequestsReachTheLockBoxBeforeThePlatformLocksSmm) {
  const sim::BootOutcome boot = platform.RunBoot(image);
  ASSERT_FALSE(boot.reset.has_value());
  EXPECT_TRUE(communication.Locked());
  struct Expected {
    uint32_t command;
    const EFI_GUID* box;
    uint64_t result;
  };
  const Expected expected[] = {
      {4, &kScriptTableBox, 0x800000000000000E},
      {1, &kScriptAddressBox, 0},
      {4, &kScriptAddressBox, 0},
  };
  ASSERT_EQ(lockBoxes.requests.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(lockBoxes.requests[i].command, expected[i].command) << i;
    EXPECT_EQ(0, std::memcmp(&lockBoxes.requests[i].box, expected[i].box, sizeof(EFI_GUID))) << i;
    EXPECT_EQ(lockBoxes.requests[i].result, expected[i].result) << i;
  }
  const sim::LockBoxHandler::LockBox* address = lockBoxes.Find(kScriptAddressBox);
  ASSERT_NE(address, nullptr);
  EXPECT_EQ(address->attributes, 1u);
}

}  // namespace
