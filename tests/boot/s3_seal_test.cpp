// Whole boots with SMM communication present: what the S3 libraries seal
// into lock boxes and hand to the chipset S3 save handler, byte for byte.
#include <cstring>
#include <map>
#include <string>

#include "sim/pcd/pcd_db.h"
#include "sim/smm/smm_comm.h"
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

constexpr EFI_GUID kSmmReadyToLock = {
    0x47B7FA8C, 0xF4BD, 0x4AF6, {0x82, 0x00, 0x33, 0x30, 0x86, 0xF0, 0xD2, 0xC8}};

using Fields = std::map<std::string, std::string>;

class S3SealTest : public WholeBootTest {
 protected:
  sim::PcdDatabase pcd{platform};
  sim::DebugConsole console{platform};
  sim::SmmCommunication communication{platform};
  sim::LockBoxHandler lockBoxes{platform, communication};
  sim::ChipsetS3SaveHandler chipset{platform, communication};

  void SetUp() override {
    sim::DeclareS3Pcds(pcd, chipset.CommBufferAddress(), 0);
    sim::WatchBootScriptSealing(platform, pcd);
    platform.bootManager = false;
    platform.cpu.msrs[0xC0010058] = 0xF8000000 | (8 << 2) | 1;
  }
  // The fields of every event of `kind` in the trace, in order.
  std::vector<Fields> Events(const std::string& kind) const {
    std::vector<Fields> found;
    for (const sim::TraceEvent& e : platform.trace) {
      if (e.kind == kind) found.emplace_back(e.fields.begin(), e.fields.end());
    }
    return found;
  }
  // The LockBox store event of a box.
  Fields StoreOf(const EFI_GUID& box) const {
    for (const Fields& f : Events("LockBox")) {
      if (f.at("command") == "store" && f.at("box") == sim::GuidToString(box)) return f;
    }
    return {};
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

  // With no SMM record published the driver made its own and registered for
  // both notices besides SMM ready-to-lock.
  std::map<std::string, int> registered;
  for (const Fields& f : Events("SmmRegisterProtocolNotify")) ++registered[f.at("guid")];
  EXPECT_EQ(registered[sim::GuidToString(kSmmReadyToLock)], 1);
  EXPECT_EQ(registered["296EB418-C4C8-4E05-AB59-39E8AF56F00A"], 1);
  EXPECT_EQ(registered["85A8AB57-0644-4110-850F-981322047070"], 1);

  // The trace shows the sealed table through the shared record: terminated
  // at 0x20 with FF 00 03 and the length 0x23 at offset 5.
  const std::vector<Fields> seals = Events("BootScriptSeal");
  ASSERT_EQ(seals.size(), 1u);
  const Fields& seal = seals[0];
  EXPECT_EQ(seal.at("locked"), "1");
  EXPECT_EQ(seal.at("scriptLength"), "0x20");
  EXPECT_EQ(seal.at("tablePages"), "2");
  EXPECT_EQ(seal.at("tableLength"), "0x23");
  EXPECT_EQ(seal.at("terminator"), "FF 00 03");
  std::vector<uint8_t> sealed = script.Script();
  sealed[5] = 0x23;
  sealed.insert(sealed.end(), {0xFF, 0x00, 0x03});
  EXPECT_EQ(seal.at("tableBytes"), sim::HexBytes(sealed));
  // And what each box holds: the whole table by length and CRC, the others
  // byte for byte; the boot-time script box holds the sealed script.
  const Fields tableStore = StoreOf(kScriptTableBox);
  EXPECT_EQ(tableStore.at("boxLength"), "8192");
  EXPECT_EQ(tableStore.at("boxCrc32").size(), 10u);
  EXPECT_EQ(StoreOf(kBootTimeScriptBox).at("boxBytes"), sim::HexBytes(sealed));
  const Fields recordStore = StoreOf(kScriptRecordBox);
  EXPECT_EQ(recordStore.at("boxLength"), "24");
  EXPECT_EQ(recordStore.at("boxBytes"), sim::HexBytes(record->data));
  EXPECT_EQ(recordStore.at("boxBytes").substr(3 * 20, 5), "01 01") << "Locked and ResumeCopy";
  uint64_t tableAddress = script.TableAddress();
  EXPECT_EQ(StoreOf(kScriptAddressBox).at("boxBytes"),
            sim::HexBytes(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&tableAddress),
                                               reinterpret_cast<uint8_t*>(&tableAddress) + 8)));
}

// Another module already published the SMM record: the driver registers
// only for SMM ready-to-lock, not for the exit-boot-services and legacy-boot
// notices, so no boot-time script or record box is stored; at SMM
// ready-to-lock an empty published record receives the copy (IsSmmCopy 1),
// one that already names a table keeps its bytes.
TEST_F(S3SealTest, APublishedSmmRecordTakesTheCopyAndNoNotice) {
  struct Row {
    const char* what;
    uint64_t tableAddress;
    bool copied;
  };
  const Row rows[] = {{"empty record", 0, true}, {"record naming a table", 0x5000, false}};
  sim::PublishedBootScript script(platform, pcd, 2, 0x20);
  platform.smm.basePresent = true;
  platform.smm.inSmm = true;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<uint8_t> bytes(24, 0);
    std::memcpy(bytes.data(), &row.tableAddress, 8);
    sim::PublishedSmmBootScriptRecord smmRecord(platform, pcd, bytes);
    platform.trace.clear();
    const sim::BootOutcome boot = platform.RunBoot(image);
    ASSERT_FALSE(boot.reset.has_value());
    EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
    std::map<std::string, int> registered;
    for (const Fields& f : Events("SmmRegisterProtocolNotify")) ++registered[f.at("guid")];
    EXPECT_EQ(registered[sim::GuidToString(kSmmReadyToLock)], 1);
    EXPECT_EQ(registered["296EB418-C4C8-4E05-AB59-39E8AF56F00A"], 0) << "exit-boot-services notice";
    EXPECT_EQ(registered["85A8AB57-0644-4110-850F-981322047070"], 0) << "legacy-boot notice";
    EXPECT_EQ(lockBoxes.Find(kBootTimeScriptBox), nullptr);
    EXPECT_EQ(lockBoxes.Find(kScriptRecordBox), nullptr);
    ASSERT_NE(lockBoxes.Find(kScriptTableBox), nullptr) << "the table is still sealed";
    const uint8_t* r = smmRecord.Record();
    if (row.copied) {
      EXPECT_EQ(U64(r), script.TableAddress());
      EXPECT_EQ(U32(r + 8), 0x20u);
      EXPECT_EQ(r[14], 1) << "IsSmmCopy";
      EXPECT_EQ(r[20], 1) << "Locked, copied after sealing";
    } else {
      EXPECT_EQ(std::vector<uint8_t>(r, r + 24), bytes);
    }
    platform.bootHooks.pop_back();  // the record's refill
  }
}

// Another module writes the chipset S3 table between load and ready-to-boot:
// a changed signature or a missing boundary marker stops the hand-over with
// its message; a later NextEntryOffset moves the end marker.
TEST_F(S3SealTest, AnotherModulesWritesDecideTheHandover) {
  struct Row {
    const char* what;
    sim::ChipsetS3TableWrites writes;
    const char* message;     // the check's message, or null
    size_t handedOverBytes;  // 0: no hand-over
  };
  sim::ChipsetS3TableWrites signature, boundary, next;
  signature.signature = 0x5433534E;
  boundary.boundaryMarker = 0;
  next.nextEntryOffset = 0x40;
  const Row rows[] = {
      {"signature overwritten", signature, "ChipsetS3Lib table Signature check fail\n", 0},
      {"boundary marker cleared", boundary, "ChipsetS3Lib table boundary check fail\n", 0},
      {"an entry appended", next, nullptr, 0x42},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    sim::WriteChipsetS3TableAtEndOfDxe(platform, pcd, row.writes);
    const size_t handovers = chipset.handovers.size();
    console.messages.clear();
    platform.trace.clear();
    const sim::BootOutcome boot = platform.RunBoot(image);
    platform.stageHooks.pop_back();
    ASSERT_FALSE(boot.reset.has_value());
    const std::vector<Fields> writes = Events("S3TableWrite");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].at("result"), "written");
    bool messaged = false;
    for (const auto& m : console.messages) messaged = messaged || (row.message && m.text == row.message);
    EXPECT_EQ(messaged, row.message != nullptr);
    if (row.handedOverBytes == 0) {
      EXPECT_EQ(chipset.handovers.size(), handovers) << "not handed over";
      EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
    } else {
      ASSERT_EQ(chipset.handovers.size(), handovers + 1);
      const auto& table = chipset.handovers.back().table;
      ASSERT_EQ(table.size(), row.handedOverBytes);
      EXPECT_EQ(table[0x40], 0xFF);
      EXPECT_EQ(table[0x41], 0xFF);
    }
  }
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
  // The record the driver created was locked with no table to seal.
  const std::vector<Fields> seals = Events("BootScriptSeal");
  ASSERT_EQ(seals.size(), 1u);
  EXPECT_EQ(seals[0].at("locked"), "1");
  EXPECT_EQ(seals[0].at("tableAddress"), "0x0");
  EXPECT_EQ(seals[0].count("tableBytes"), 0u);
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
