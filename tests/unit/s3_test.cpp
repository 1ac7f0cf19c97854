// S3 libraries at boot time: the boot-script record and its sealing, the
// chipset S3 save table and its hand-over, the SMM-aware constructors.
#include <cstring>
#include <map>

#include "flash/flash_device.h"
#include "s3/bootscript.h"
#include "s3/chipset_s3.h"
#include "s3/flash_pointers.h"
#include "s3/smm_services.h"
#include "sim/devices/flash_devices.h"
#include "sim/pcd/pcd_db.h"
#include "tests/le_bytes.h"
#include "tests/unit/comm_capture.h"
#include "tests/unit/driver_fixture.h"

namespace {

constexpr EFI_GUID kScriptSpace = {
    0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};
constexpr EFI_GUID kChipsetSpace = {
    0x7788ADF0, 0x9788, 0x4A3F, {0x83, 0xFA, 0xCB, 0x51, 0x2E, 0x7C, 0xF8, 0xDD}};
constexpr EFI_GUID kCommunicationGuid = {
    0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}};
constexpr EFI_GUID kDxeSmmReadyToLock = {
    0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};
constexpr EFI_GUID kReadyToBoot = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};
constexpr EFI_GUID kHeapHob = {0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};
constexpr EFI_GUID kHeapList = {0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};
constexpr EFI_GUID kListAnchor = {
    0xF4540D21, 0x18C6, 0x4E74, {0xBC, 0x2D, 0x3C, 0x6F, 0xA0, 0x8D, 0x8B, 0xC6}};
constexpr EFI_GUID kRegistry = {0x1C2E4602, 0xE3BA, 0x4B07, {0xE3, 0xB8, 0x35, 0x55, 0xA5, 0x1C, 0x61, 0x3A}};
constexpr EFI_GUID kDxeServices = {
    0x05AD34BA, 0x6F02, 0x4214, {0x95, 0x2E, 0x4D, 0xA0, 0x39, 0x8E, 0x2B, 0xB9}};
const uint8_t kScriptTableBox[16] = {0x65, 0xB9, 0xA6, 0xAE, 0xF5, 0xDC, 0x11, 0x43,
                                     0xB4, 0xB8, 0x0F, 0x12, 0x46, 0x44, 0x94, 0xD2};
const uint8_t kScriptAddressBox[16] = {0x4A, 0xAB, 0x10, 0x18, 0x14, 0x23, 0xF6, 0x4D,
                                       0x81, 0xEB, 0x67, 0xC6, 0xEC, 0x05, 0x85, 0x91};

class S3Test : public DriverTest {
 protected:
  sim::PcdDatabase pcd{platform};
  sim::DebugConsole console{platform};
  Capture capture;
  bool withCommunication = true;

  void SetUp() override {
    Capture::active = &capture;
    capture.answers = false;
    for (uint64_t token : {0x30000, 0x30001})
      pcd.Declare(kScriptSpace, token, sim::PcdDatabase::Kind::U64, 0);
    for (uint64_t token : {0x27000, 0x27001, 0x27002, 0x27003}) {
      pcd.Declare(kChipsetSpace, token, sim::PcdDatabase::Kind::U64, 0);
    }
    platform.cpu.msrs[0xC0010058] = 0xF8000000 | (8 << 2) | 1;  // PCI Express window enabled, 256 buses
    platform.bootHooks.push_back([this](sim::Platform& p) {
      if (withCommunication) p.InstallProtocol(kCommunicationGuid, &capture.protocol);
    });
    DriverTest::SetUp();
  }
  uint64_t Pcd(const EFI_GUID& space, uint64_t token) const { return pcd.Find(space, token)->value; }
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (const auto& m : console.messages) out.push_back(m.text);
    return out;
  }
  std::vector<sim::Allocation> Pages() const {
    std::vector<sim::Allocation> pages;
    for (const sim::Allocation& a : platform.OutstandingAllocations()) {
      if (a.pages) pages.push_back(a);
    }
    return pages;
  }
};

// ---------------------------------------------------------------- boot script

// The record page is asked for below 4 GiB (the highest address it may end
// at is 0xFFFFFFFF) as one page of reserved memory.
decltype(EFI_BOOT_SERVICES::AllocatePages) gRealAllocatePages;
std::vector<std::vector<uint64_t>> gPageRequests;  // allocation type, memory type, pages, address given
EFI_STATUS EFIAPI RecordPageRequest(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memoryType, UINTN pages,
                                    EFI_PHYSICAL_ADDRESS* memory) {
  gPageRequests.push_back({uint64_t(type), uint64_t(memoryType), pages, *memory});
  return gRealAllocatePages(type, memoryType, pages, memory);
}

TEST_F(S3Test, TheRecordPageIsAskedForBelow4GiB) {
  platform.BeginBoot();
  ResetDriverState();
  gPageRequests.clear();
  gRealAllocatePages = platform.BootServices()->AllocatePages;
  platform.BootServices()->AllocatePages = RecordPageRequest;
  RunLibraryConstructors(platform.ImageHandle(), platform.SystemTable());
  platform.BootServices()->AllocatePages = gRealAllocatePages;
  ASSERT_FALSE(gPageRequests.empty());
  EXPECT_EQ(gPageRequests[0], (std::vector<uint64_t>{uint64_t(AllocateMaxAddress),
                                                     uint64_t(EfiReservedMemoryType), 1, 0xFFFFFFFF}));
}

TEST_F(S3Test, TheFirstModuleCreatesTheRecordBelow4GiB) {
  const uint64_t record = Pcd(kScriptSpace, 0x30000);
  ASSERT_NE(record, 0u);
  EXPECT_LT(record + 4096, 0x100000001ull);
  EXPECT_EQ(record % 4096, 0u);
  const auto pages = Pages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(pages[0].address), record);
  EXPECT_EQ(pages[0].size, 4096u);
  EXPECT_EQ(pages[0].type, EfiReservedMemoryType);
  const uint8_t zero[24] = {};
  EXPECT_EQ(0, std::memcmp(reinterpret_cast<void*>(record), zero, 24));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(BootScriptLib.CurrentRecord), record);
  EXPECT_NE(BootScriptLib.ReadyToLockEvent, nullptr);
}

TEST_F(S3Test, AModuleThatFindsTheRecordAllocatesNothingAndRegistersNoHandler) {
  static uint8_t published[24] = {};
  pcd.Declare(kScriptSpace, 0x30000, sim::PcdDatabase::Kind::U64, reinterpret_cast<uintptr_t>(published));
  Boot();
  EXPECT_TRUE(Pages().empty());
  EXPECT_EQ(BootScriptLib.CurrentRecord, reinterpret_cast<BootScriptPrivateData*>(published));
  EXPECT_EQ(BootScriptLib.ReadyToLockEvent, nullptr);
  // The ready-to-lock point does nothing for this module.
  platform.InstallProtocol(kDxeSmmReadyToLock, nullptr);
  EXPECT_EQ(published[20], 0);
}

TEST_F(S3Test, AFailedRecordPublicationGivesThePageBack) {
  struct Row {
    const char* what;
    std::function<void()> arrange;
  };
  const Row rows[] = {
      {"PCD write refused", [this] { pcd.installed = false; }},
      {"no page below 4 GiB",
       [this] { platform.FailService(sim::Service::AllocatePages, 1, EFI_OUT_OF_RESOURCES); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    pcd.installed = true;
    row.arrange();
    Boot();
    EXPECT_TRUE(Pages().empty());
    EXPECT_EQ(BootScriptLib.CurrentRecord, nullptr);
    EXPECT_EQ(BootScriptLib.ReadyToLockEvent, nullptr);
    platform.InstallProtocol(kDxeSmmReadyToLock, nullptr);  // nothing to lock: no crash, no request
    EXPECT_TRUE(capture.calls.empty());
  }
}

// A table that another module created: 2 pages, 0x20 bytes of script.
struct ScriptTable {
  alignas(4096) uint8_t bytes[2 * 4096];
};

TEST_F(S3Test, ReadyToLockTerminatesTheTableAndSealsIt) {
  static ScriptTable table;
  std::memset(table.bytes, 0xAA, sizeof(table.bytes));
  auto* record = BootScriptLib.CurrentRecord;
  ASSERT_NE(record, nullptr);
  record->TableAddress = reinterpret_cast<uintptr_t>(table.bytes);
  record->ScriptLength = 0x20;
  record->TablePages = 2;
  // The signal at registration came before the protocol: nothing happened.
  EXPECT_EQ(record->Locked, 0);
  EXPECT_TRUE(capture.calls.empty());
  platform.InstallProtocol(kDxeSmmReadyToLock, nullptr);
  EXPECT_EQ(record->Locked, 1);
  EXPECT_EQ(table.bytes[0x20], 0xFF);
  EXPECT_EQ(table.bytes[0x21], 0x00);
  EXPECT_EQ(table.bytes[0x22], 0x03);
  EXPECT_EQ(table.bytes[0x23], 0xAA) << "nothing written past the terminator";
  EXPECT_EQ(U32(table.bytes + 5), 0x23u);
  EXPECT_EQ(record->ScriptLength, 0x20u);
  // Store the pages, lock them; store the 8-byte address, lock it.
  ASSERT_EQ(capture.calls.size(), 4u);
  const struct {
    uint32_t command;
    const uint8_t* box;
    uint64_t word56, word64;
  } expected[] = {
      {1, kScriptTableBox, reinterpret_cast<uintptr_t>(table.bytes), 8192},
      {4, kScriptTableBox, 1, 0},
      {1, kScriptAddressBox, reinterpret_cast<uintptr_t>(record), 8},
      {4, kScriptAddressBox, 1, 0},
  };
  for (size_t i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    const uint8_t* b = capture.calls[i].bytes.data();
    EXPECT_EQ(U32(b + 24), expected[i].command);
    EXPECT_EQ(0, std::memcmp(b + 40, expected[i].box, 16));
    EXPECT_EQ(U64(b + 56), expected[i].word56);
    if (expected[i].command == 1) {
      EXPECT_EQ(U64(b + 64), expected[i].word64);
    }
  }
  // Later signals find the record locked.
  platform.UninstallProtocol(platform.InstallProtocol(kDxeSmmReadyToLock, nullptr), kDxeSmmReadyToLock,
                             nullptr);
  OnDxeSmmReadyToLock(nullptr, nullptr);
  EXPECT_EQ(capture.calls.size(), 4u);
}

// A module loaded after the ready-to-lock point (from the shell, or
// dispatched late) seals at once: the notification's registration run finds
// the protocol installed.
TEST_F(S3Test, ALoadAfterReadyToLockSealsAtOnce) {
  platform.bootHooks.push_back([](sim::Platform& p) { p.InstallProtocol(kDxeSmmReadyToLock, nullptr); });
  capture.calls.clear();
  Boot();
  ASSERT_NE(BootScriptLib.CurrentRecord, nullptr);
  EXPECT_EQ(BootScriptLib.CurrentRecord->Locked, 1);
  EXPECT_EQ(capture.calls.size(), 3u)
      << "attributes of the table box, then the address box stored and locked";
  EXPECT_EQ(mChipsetS3LibPrivateData->Locked, 1);
  platform.bootHooks.pop_back();
}

TEST_F(S3Test, WithoutATableOnlyTheTableStoreIsRefused) {
  platform.InstallProtocol(kDxeSmmReadyToLock, nullptr);
  EXPECT_EQ(BootScriptLib.CurrentRecord->Locked, 1);
  // The store of a table at address 0 is refused before it is sent; the
  // other three requests go out.
  ASSERT_EQ(capture.calls.size(), 3u);
  EXPECT_EQ(U32(capture.calls[0].bytes.data() + 24), 4u);
  EXPECT_EQ(U32(capture.calls[1].bytes.data() + 24), 1u);
  EXPECT_EQ(0, std::memcmp(capture.calls[1].bytes.data() + 40, kScriptAddressBox, 16));
}

TEST_F(S3Test, AScriptLengthPastTheTableIsNotTerminated) {
  static ScriptTable table;
  std::memset(table.bytes, 0xAA, sizeof(table.bytes));
  auto* record = BootScriptLib.CurrentRecord;
  record->TableAddress = reinterpret_cast<uintptr_t>(table.bytes);
  record->TablePages = 1;
  record->ScriptLength = 4094;  // the terminator would end past the one page
  platform.InstallProtocol(kDxeSmmReadyToLock, nullptr);
  EXPECT_EQ(table.bytes[4094], 0xAA);
  EXPECT_EQ(table.bytes[4095], 0xAA);
  EXPECT_EQ(U32(table.bytes + 5), 0xAAAAAAAAu);
  EXPECT_EQ(record->Locked, 1);
}

TEST_F(S3Test, TheDestructorUndoesWhatTheConstructorOwns) {
  const uint64_t record = Pcd(kScriptSpace, 0x30000);
  ASSERT_NE(record, 0u);
  const size_t events = platform.OpenEventCount();
  BootScriptDestructor(ImageHandle, SystemTable);
  EXPECT_TRUE(Pages().empty());
  EXPECT_EQ(Pcd(kScriptSpace, 0x30000), 0u);
  EXPECT_EQ(platform.OpenEventCount(), events - 1);
  EXPECT_TRUE(platform.violations.empty());
}

// ---------------------------------------------------------------- chipset S3 table

ChipsetS3LibTableHeader* Header() {
  return reinterpret_cast<ChipsetS3LibTableHeader*>(mChipsetS3LibPrivateData->TableHeader);
}

TEST_F(S3Test, TheTableIsSizedFromItsPcd) {
  struct Row {
    uint64_t requested, allocated;
  };
  for (const Row& row : {Row{0, 0x4004}, Row{0x100, 0x4004}, Row{0x4000, 0x4004}, Row{0x8000, 0x8004}}) {
    SCOPED_TRACE(row.requested);
    pcd.Declare(kChipsetSpace, 0x27003, sim::PcdDatabase::Kind::U64, row.requested);
    console.messages.clear();
    Boot();
    ASSERT_NE(mChipsetS3LibPrivateData, nullptr);
    const uint64_t table = Pcd(kChipsetSpace, 0x27002);
    EXPECT_EQ(mChipsetS3LibPrivateData->TableHeader, table);
    EXPECT_EQ(Pcd(kChipsetSpace, 0x27000), reinterpret_cast<uintptr_t>(mChipsetS3LibPrivateData));
    bool found = false;
    for (const sim::Allocation& a : platform.OutstandingAllocations()) {
      if (reinterpret_cast<uintptr_t>(a.address) == table) {
        found = true;
        EXPECT_EQ(a.size, row.allocated);
        EXPECT_EQ(a.type, EfiRuntimeServicesData);
      }
      if (a.address == mChipsetS3LibPrivateData) {
        EXPECT_EQ(a.size, 16u);
        EXPECT_EQ(a.type, EfiRuntimeServicesData);
      }
    }
    EXPECT_TRUE(found);
    const uint8_t* t = reinterpret_cast<const uint8_t*>(table);
    EXPECT_EQ(0, std::memcmp(t, "AS3T", 4));
    EXPECT_EQ(U32(t + 4), 1u);
    EXPECT_EQ(U64(t + 0x20), 0x4000u);
    EXPECT_EQ(U64(t + 0x28), 0x30u);
    EXPECT_EQ(U32(t + 0x4000), 0x01558844u);
    const std::vector<std::string> expected = {"ChipsetS3LibPrivateData allocation\n",
                                               row.allocated == 0x4004
                                                   ? "ChipsetS3LibTableHeader buffer size = 0x4000\n"
                                                   : "ChipsetS3LibTableHeader buffer size = 0x8000\n"};
    EXPECT_EQ(Messages(), expected);
  }
}

TEST_F(S3Test, ASecondModuleUsesThePublishedRecordAndTable) {
  static ChipsetS3LibPrivateData record = {};
  static uint8_t table[0x4004];
  record.TableHeader = reinterpret_cast<uintptr_t>(table);
  pcd.Declare(kChipsetSpace, 0x27000, sim::PcdDatabase::Kind::U64, reinterpret_cast<uintptr_t>(&record));
  pcd.Declare(kChipsetSpace, 0x27002, sim::PcdDatabase::Kind::U64, reinterpret_cast<uintptr_t>(table));
  console.messages.clear();
  Boot();
  EXPECT_EQ(mChipsetS3LibPrivateData, &record);
  EXPECT_EQ(ChipsetS3Lib.BootScriptLockEvent, nullptr);
  EXPECT_EQ(ChipsetS3Lib.CloseTableEvent, nullptr);
  for (const sim::Allocation& a : platform.OutstandingAllocations()) {
    EXPECT_NE(a.type, EfiRuntimeServicesData) << "no chipset S3 pool";
  }
  EXPECT_TRUE(Messages().empty());
}

TEST_F(S3Test, ReadyToLockMarksTheRecordLockedOnce) {
  EXPECT_EQ(mChipsetS3LibPrivateData->Locked, 0) << "the registration signal is filtered";
  platform.InstallProtocol(kDxeSmmReadyToLock, nullptr);
  EXPECT_EQ(mChipsetS3LibPrivateData->Locked, 1);
  EXPECT_EQ(ChipsetS3Lib.BootScriptLockEvent, nullptr) << "the event closed itself";
}

TEST_F(S3Test, ReadyToBootHandsTheTableOverAndFreesIt) {
  static uint8_t commBuffer[64];
  std::memset(commBuffer, 0xEE, sizeof(commBuffer));
  pcd.Declare(kChipsetSpace, 0x27001, sim::PcdDatabase::Kind::U64, reinterpret_cast<uintptr_t>(commBuffer));
  Boot();
  uint8_t* table = reinterpret_cast<uint8_t*>(Header());
  capture.calls.clear();
  console.messages.clear();
  platform.SignalEventGroup(kReadyToBoot);
  ASSERT_EQ(capture.calls.size(), 1u);
  const auto& message = capture.calls[0];
  EXPECT_EQ(message.buffer, reinterpret_cast<uintptr_t>(commBuffer));
  EXPECT_EQ(message.size, 40u);
  const uint8_t handler[16] = {0xF0, 0x61, 0x40, 0x5C, 0x51, 0xD0, 0x43, 0x4F,
                               0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0};
  EXPECT_EQ(0, std::memcmp(message.bytes.data(), handler, 16));
  EXPECT_EQ(U64(message.bytes.data() + 16), 16u);
  EXPECT_EQ(U32(message.bytes.data() + 24), 1u);
  EXPECT_EQ(U32(message.bytes.data() + 28), 0u);
  EXPECT_EQ(U64(message.bytes.data() + 32), reinterpret_cast<uintptr_t>(mChipsetS3LibPrivateData));
  EXPECT_EQ(commBuffer[40], 0xEE) << "only 40 bytes are written";
  EXPECT_EQ(mChipsetS3LibPrivateData->TableClosed, 1);
  EXPECT_EQ(mChipsetS3LibPrivateData->TableHeader, reinterpret_cast<uintptr_t>(table)) << "address kept";
  for (const sim::Allocation& a : platform.OutstandingAllocations()) {
    EXPECT_NE(a.address, table) << "the table's pool is freed";
  }
  EXPECT_EQ(Messages(), std::vector<std::string>{"ChipsetS3SaveCloseTableCallBack\n"});
  EXPECT_EQ(ChipsetS3Lib.CloseTableEvent, nullptr);
  EXPECT_TRUE(platform.violations.empty());
}

// Each failed check stops the close before anything is handed over.
TEST_F(S3Test, AnUnsoundTableOrAMissingPathIsNotHandedOver) {
  static uint8_t commBuffer[64];
  struct Row {
    const char* what;
    std::function<void(uint8_t* table)> spoil;
    bool commBuffer;
    bool communication;
    std::vector<std::string> messages;
    bool endMarker;  // FF FF written at offset 0x30
    bool freed;
  };
  const Row rows[] = {
      {"signature overwritten",
       [](uint8_t* t) { t[0] = 'X'; },
       true,
       true,
       {"ChipsetS3SaveCloseTableCallBack\n", "ChipsetS3Lib table Signature check fail\n"},
       false,
       false},
      {"boundary marker overwritten",
       [](uint8_t* t) { t[0x4000] = 0; },
       true,
       true,
       {"ChipsetS3SaveCloseTableCallBack\n", "ChipsetS3Lib table boundary check fail\n"},
       false,
       false},
      {"boundary offset beyond the smallest table",
       [](uint8_t* t) {
         const uint64_t far = 0x100000;
         std::memcpy(t + 0x20, &far, 8);
       },
       true,
       true,
       {"ChipsetS3SaveCloseTableCallBack\n", "ChipsetS3Lib table boundary check fail\n"},
       false,
       false},
      {"next entry past the table",
       [](uint8_t* t) {
         const uint64_t far = 0x4003;
         std::memcpy(t + 0x28, &far, 8);
       },
       true,
       true,
       {"ChipsetS3SaveCloseTableCallBack\n", "ChipsetS3Lib table entry offset check fail\n"},
       false,
       false},
      {"no communication buffer",
       [](uint8_t*) {},
       false,
       true,
       {"ChipsetS3SaveCloseTableCallBack\n"},
       true,
       false},
      {"no SMM communication",
       [](uint8_t*) {},
       true,
       false,
       {"ChipsetS3SaveCloseTableCallBack\n", "ChipsetS3SaveLib locate SmmCommunicationProtocol fail \n"},
       true,
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    pcd.Declare(kChipsetSpace, 0x27001, sim::PcdDatabase::Kind::U64,
                row.commBuffer ? reinterpret_cast<uintptr_t>(commBuffer) : 0);
    withCommunication = row.communication;
    Boot();
    uint8_t* table = reinterpret_cast<uint8_t*>(Header());
    row.spoil(table);
    capture.calls.clear();
    console.messages.clear();
    platform.SignalEventGroup(kReadyToBoot);
    EXPECT_TRUE(capture.calls.empty());
    EXPECT_EQ(Messages(), row.messages);
    EXPECT_EQ(mChipsetS3LibPrivateData->TableClosed, 0);
    bool held = false;
    for (const sim::Allocation& a : platform.OutstandingAllocations()) held |= a.address == table;
    EXPECT_TRUE(held) << "the table stays allocated";
    EXPECT_EQ(table[0x30] == 0xFF && table[0x31] == 0xFF, row.endMarker);
  }
}

TEST_F(S3Test, AllocationFailuresEndTheConstructor) {
  struct Row {
    const char* what;
    uint64_t failAllocation;  // the n-th allocation from the chipset constructor's first
    uint64_t tableSize;
    EFI_STATUS status;
    std::vector<std::string> messages;
    bool recordPublished;
  };
  const Row rows[] = {
      {"record",
       1,
       0,
       EFI_OUT_OF_RESOURCES,
       {"ChipsetS3LibPrivateData allocation\n", "ChipsetS3LibPrivateData allocate fail\n"},
       false},
      {"table",
       2,
       0,
       EFI_OUT_OF_RESOURCES,
       {"ChipsetS3LibPrivateData allocation\n", "ChipsetS3LibTableHeader buffer size = 0x4000\n"},
       true},
      {"a size that wraps",
       0,
       0xFFFFFFFFFFFFFFFE,
       EFI_OUT_OF_RESOURCES,
       {"ChipsetS3LibPrivateData allocation\n", "ChipsetS3LibTableHeader buffer size = 0xFFFFFFFE\n"},
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    pcd.Declare(kChipsetSpace, 0x27003, sim::PcdDatabase::Kind::U64, row.tableSize);
    platform.BeginBoot();
    ResetDriverState();
    // Run the chain up to the chipset constructor's place by hand.
    ImageHandle = platform.ImageHandle();
    SystemTable = platform.SystemTable();
    BootServices = SystemTable->BootServices;
    RuntimeServices = SystemTable->RuntimeServices;
    console.messages.clear();
    if (row.failAllocation) platform.FailNthAllocation(row.failAllocation);
    EXPECT_EQ(ChipsetS3SaveConstructor(ImageHandle, SystemTable), row.status);
    EXPECT_EQ(Messages(), row.messages);
    EXPECT_EQ(Pcd(kChipsetSpace, 0x27000) != 0, row.recordPublished);
    EXPECT_EQ(Pcd(kChipsetSpace, 0x27002), 0u) << "no table published";
    // With no table the close says so and stops.
    console.messages.clear();
    if (row.recordPublished) {
      platform.SignalEventGroup(kReadyToBoot);
      EXPECT_EQ(Messages(), (std::vector<std::string>{"ChipsetS3SaveCloseTableCallBack\n",
                                                      "mChipsetS3LibPrivateData is NULL\n"}));
    }
  }
}

// ---------------------------------------------------------------- SMM-aware constructors

std::vector<uint8_t> HeapHob(uint32_t signature, uint32_t payloadSize, uint8_t poolKind, uint8_t take,
                             std::vector<uint8_t> payload) {
  std::vector<uint8_t> d(16 + payload.size(), 0);
  std::memcpy(d.data(), &signature, 4);
  std::memcpy(d.data() + 8, &payloadSize, 4);
  d[12] = poolKind;
  d[13] = take;
  for (size_t i = 0; i < payload.size(); i++) d[16 + i] = payload[i];
  return d;
}

std::vector<std::vector<uint8_t>> ListPayloads(LIST_ENTRY* head, std::vector<uint8_t>* kinds = nullptr) {
  std::vector<std::vector<uint8_t>> out;
  for (LIST_ENTRY* e = head->ForwardLink; e != head && out.size() < 16; e = e->ForwardLink) {
    auto* node = reinterpret_cast<HeapBufferNode*>(e);
    const uint8_t* payload = reinterpret_cast<const uint8_t*>(node + 1);
    out.emplace_back(payload, payload + node->Descriptor.PayloadSize);
    if (kinds) kinds->push_back(node->Descriptor.PoolKind);
  }
  return out;
}

TEST_F(S3Test, HeapHobsThatAskToBeTakenBecomeNodesInHobOrder) {
  platform.AddGuidHob(kHeapHob, HeapHob(0x50414548, 3, 8, 1, {1, 2, 3}));
  platform.AddGuidHob(kHeapHob, HeapHob(0x50414548, 2, 4, 0, {9, 9}));  // not taken
  platform.AddGuidHob(kHeapHob, HeapHob(0x50414548, 2, 4, 2, {6, 6}));  // taken only at 1
  platform.AddGuidHob(kHeapHob, HeapHob(0x50414549, 2, 4, 1, {8, 8}));  // not "HEAP"
  platform.AddGuidHob(kHeapHob, HeapHob(0x50414548, 9, 4, 1, {7, 7}));  // payload runs past the HOB
  platform.AddGuidHob(kHeapHob,
                      HeapHob(0x50414548, 4, 0, 1, {4, 5, 6, 7, 0}));  // shorter than its data: fine
  Boot();
  ASSERT_NE(HeapBufferList, nullptr);
  std::vector<uint8_t> kinds;
  EXPECT_EQ(ListPayloads(HeapBufferList, &kinds),
            (std::vector<std::vector<uint8_t>>{{1, 2, 3}, {4, 5, 6, 7}}));
  EXPECT_EQ(kinds, (std::vector<uint8_t>{8, 0}));
  std::map<uint64_t, EFI_MEMORY_TYPE> nodeTypes;
  for (const sim::Allocation& a : platform.OutstandingAllocations()) nodeTypes[a.size] = a.type;
  EXPECT_EQ(nodeTypes[35], EfiRuntimeServicesData);
  EXPECT_EQ(nodeTypes[36], EfiBootServicesData);
  // Published with revision 1 and the list head at offset 8.
  auto* published = static_cast<uint8_t*>(platform.LocateProtocolInterface(kHeapList));
  ASSERT_NE(published, nullptr);
  EXPECT_EQ(U64(published), 1u);
  EXPECT_EQ(reinterpret_cast<LIST_ENTRY*>(published + 8), HeapBufferList);
}

TEST_F(S3Test, APublishedHeapListIsUsedAndNoHobCopiedAgain) {
  static HeapBufferListInterface interface;
  platform.AddGuidHob(kHeapHob, HeapHob(0x50414548, 1, 4, 1, {1}));
  platform.bootHooks.push_back([](sim::Platform& p) {
    interface.Revision = 1;
    interface.Head.ForwardLink = interface.Head.BackLink = &interface.Head;
    p.InstallProtocol(kHeapList, &interface);
  });
  Boot();
  EXPECT_EQ(reinterpret_cast<uint8_t*>(HeapBufferList), reinterpret_cast<uint8_t*>(&interface) + 8);
  EXPECT_EQ(interface.Head.ForwardLink, &interface.Head) << "nothing added";
  EXPECT_EQ(platform.ProtocolCount(kHeapList), 1u);
  for (const sim::Allocation& a : platform.OutstandingAllocations()) EXPECT_NE(a.size, 33u) << "no node";
}

TEST_F(S3Test, AFailedNodeAllocationSkipsThatHob) {
  platform.AddGuidHob(kHeapHob, HeapHob(0x50414548, 1, 8, 1, {1}));
  platform.AddGuidHob(kHeapHob, HeapHob(0x50414548, 1, 4, 1, {2}));
  platform.BeginBoot();
  ResetDriverState();
  ImageHandle = platform.ImageHandle();
  SystemTable = platform.SystemTable();
  BootServices = SystemTable->BootServices;
  HobListStart();
  platform.FailNthAllocation(1);
  EXPECT_EQ(HeapBufferListConstructor(ImageHandle, SystemTable), EFI_SUCCESS);
  EXPECT_EQ(ListPayloads(HeapBufferList), (std::vector<std::vector<uint8_t>>{{2}}));
}

TEST_F(S3Test, TheListAnchorIsCreatedEmptyOrShared) {
  auto* anchor = static_cast<LIST_ENTRY*>(platform.LocateProtocolInterface(kListAnchor));
  ASSERT_NE(anchor, nullptr);
  EXPECT_EQ(anchor, ListAnchor);
  EXPECT_EQ(anchor->ForwardLink, anchor);
  EXPECT_EQ(anchor->BackLink, anchor);
  static LIST_ENTRY shared;
  platform.bootHooks.push_back([](sim::Platform& p) { p.InstallProtocol(kListAnchor, &shared); });
  Boot();
  EXPECT_EQ(ListAnchor, &shared);
  EXPECT_EQ(platform.ProtocolCount(kListAnchor), 1u);
}

// Found by the whole-boot fuzz target: when the anchor cannot be published,
// nothing else can reach it; it goes back to the pool.
TEST_F(S3Test, AnAnchorThatCannotBePublishedIsNotKept) {
  platform.BeginBoot();
  ResetDriverState();
  ImageHandle = platform.ImageHandle();
  SystemTable = platform.SystemTable();
  BootServices = SystemTable->BootServices;
  platform.FailService(sim::Service::InstallProtocolInterface, 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(ListAnchorConstructor(ImageHandle, SystemTable), EFI_DEVICE_ERROR);
  EXPECT_EQ(ListAnchor, nullptr);
  EXPECT_EQ(platform.ProtocolCount(kListAnchor), 0u);
  EXPECT_TRUE(platform.OutstandingAllocations().empty())
      << platform.OutstandingAllocations().size() << " held";
  EXPECT_TRUE(platform.violations.empty());
}

TEST_F(S3Test, BootServicesEndWithTheExitGroup) {
  EXPECT_FALSE(BootServicesEnded);
  platform.ExitBootServices();
  EXPECT_TRUE(BootServicesEnded);
  EXPECT_EQ(SmmServices.BootServicesEndedEvent, nullptr);
  EXPECT_TRUE(platform.violations.empty());
}

TEST_F(S3Test, DxeServicesComeFromTheConfigurationTable) {
  static EFI_DXE_SERVICES services = {};
  if (platform.FindConfigTable(kDxeServices) == nullptr) {
    EXPECT_EQ(DxeServices, nullptr);
    EXPECT_EQ(DxeServicesConstructor(ImageHandle, SystemTable), EFI_NOT_FOUND);
  }
  BootServices->InstallConfigurationTable(&kDxeServices, &services);
  EXPECT_EQ(DxeServicesConstructor(ImageHandle, SystemTable), EFI_SUCCESS);
  EXPECT_EQ(DxeServices, &services);
}

// A registry that records what is registered with it.
struct Registry {
  PointerRegistryProtocol protocol{{nullptr, nullptr}, Register, Unregister};
  std::vector<void**> registered, unregistered;
  static inline Registry* active = nullptr;
  static EFI_STATUS EFIAPI Register(void** address) {
    active->registered.push_back(address);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Unregister(void** address) {
    active->unregistered.push_back(address);
    return EFI_SUCCESS;
  }
};

// The flash runtime pointers' values: the first area of its type whose area
// GUID is zero (address and size), and the first byte after the volume's
// header, whose length is the UINT16 at offset 0x30 (the checksum follows).
TEST_F(S3Test, TheFlashRuntimePointersHoldTheirAreas) {
  sim::FlashPlatform flash{platform, notebook};
  const EFI_GUID runtimeArea = {0xD9DDACA2, 0x0816, 0x48F3, {0xAD, 0xED, 0x6B, 0x71, 0x65, 0x6B, 0x24, 0x8A}};
  const EFI_GUID volume = {0x773C5374, 0x81D1, 0x4D43, {0xB2, 0x93, 0xF3, 0xD7, 0x4F, 0x18, 0x1D, 0x6B}};
  const EFI_GUID named = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  sim::MappedFlashPart& part =
      flash.AddMappedPart(sim::MappedFlashPart::Method::SingleCommand, 0xFF800000, 0x1000, 0, 0, 0, 0);
  std::fill(part.array.begin(), part.array.end(), 0xFF);
  const uint8_t header[4] = {0x48, 0x00, 0x34, 0x12};  // HeaderLength 0x48, then the checksum
  std::copy(header, header + 4, part.array.begin() + 0x30);
  flash.PublishDeviceMap(pcd, sim::BuildFlashDeviceMap(0xFF000000, {{runtimeArea, named, 0x10000, 0x1000, 0},
                                                                    {runtimeArea, {}, 0x20000, 0x3000, 0},
                                                                    {volume, {}, 0x800000, 0x1000, 0}}));
  Boot();
  EXPECT_EQ(FlashPointers.AreaAddress, 0xFF020000u);
  EXPECT_EQ(FlashPointers.AreaSize, 0x3000u);
  EXPECT_EQ(FlashPointers.AfterVolumeHeader, 0xFF800048u);
  EXPECT_EQ(FlashPointers.RuntimeServicesCopy, RuntimeServices);
}

TEST_F(S3Test, ThePointerRegistryIsFoundLateAndUsedOnlyByARuntimeImage) {
  Registry registry;
  Registry::active = &registry;
  struct Row {
    const char* what;
    EFI_MEMORY_TYPE codeType;
    bool atLoad;
    size_t registrations;
  };
  const Row rows[] = {
      {"boot-service image, registry at load", EfiBootServicesCode, true, 0},
      {"boot-service image, registry later", EfiBootServicesCode, false, 0},
      // The registry's own pointer, then the flash libraries' four.
      {"runtime image, registry at load", EfiRuntimeServicesCode, true, 5},
      {"runtime image, registry later", EfiRuntimeServicesCode, false, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    registry.registered.clear();
    platform.bootHooks.clear();
    platform.bootHooks.push_back([&](sim::Platform& p) {
      void* loaded = nullptr;
      p.BootServices()->HandleProtocol(p.ImageHandle(), &EFI_LOADED_IMAGE_PROTOCOL_GUID, &loaded);
      static_cast<EFI_LOADED_IMAGE_PROTOCOL*>(loaded)->ImageCodeType = row.codeType;
      if (row.atLoad) p.InstallProtocol(kRegistry, &registry.protocol);
    });
    Boot();
    EXPECT_EQ(IsRuntimeImage, row.codeType == EfiRuntimeServicesCode);
    EXPECT_EQ(PointerRegistry != nullptr, row.atLoad);
    if (!row.atLoad) {
      EXPECT_NE(SmmServices.PointerRegistryEvent, nullptr);
      platform.InstallProtocol(kRegistry, &registry.protocol);
      EXPECT_EQ(PointerRegistry, &registry.protocol);
      EXPECT_EQ(SmmServices.PointerRegistryEvent, nullptr) << "the notification closed itself";
    }
    ASSERT_EQ(registry.registered.size(), row.registrations);
    if (row.registrations) {
      EXPECT_EQ(registry.registered[0], reinterpret_cast<void**>(&PointerRegistry));
    }
    if (row.registrations == 5) {
      EXPECT_EQ(registry.registered[1], reinterpret_cast<void**>(&FlashPointers.RuntimeServicesCopy));
      EXPECT_EQ(registry.registered[2], reinterpret_cast<void**>(&FlashPointers.AreaAddress));
      EXPECT_EQ(registry.registered[3], reinterpret_cast<void**>(&FlashPointers.AfterVolumeHeader));
      EXPECT_EQ(registry.registered[4], reinterpret_cast<void**>(&CurrentFlashDevice));
      // The destructors take back all but the after-header address.
      registry.unregistered.clear();
      RunLibraryDestructors(ImageHandle, SystemTable);
      EXPECT_EQ(registry.unregistered,
                (std::vector<void**>{reinterpret_cast<void**>(&CurrentFlashDevice),
                                     reinterpret_cast<void**>(&FlashPointers.RuntimeServicesCopy),
                                     reinterpret_cast<void**>(&FlashPointers.AreaAddress),
                                     reinterpret_cast<void**>(&PointerRegistry)}));
    }
    void* variable = nullptr;
    EXPECT_EQ(RegisterRuntimePointer(&variable),
              row.codeType == EfiRuntimeServicesCode ? EFI_SUCCESS : EFI_ABORTED);
  }
  platform.bootHooks.clear();
}

}  // namespace
