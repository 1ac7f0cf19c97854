// Entry point, constructor chain, variable reader and HOB walk.
#include <cstring>

#include "support/debug/debug.h"
#include "tests/unit/driver_fixture.h"
#include "tests/unit/shims.h"

namespace {

using FrameTest = DriverTest;

constexpr EFI_GUID kTestGuidA = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 5, 5, 5, 5}};
constexpr EFI_GUID kTestGuidB = {0x66666666, 0x7777, 0x8888, {9, 9, 9, 9, 9, 9, 9, 9}};

TEST_F(FrameTest, ConstructorsStoreTheTables) {
  EXPECT_EQ(SystemTable, platform.SystemTable());
  EXPECT_EQ(BootServices, platform.BootServices());
  EXPECT_EQ(RuntimeServices, platform.RuntimeServices());
  EXPECT_EQ(ImageHandle, platform.ImageHandle());
  EXPECT_NE(CachedHobList, nullptr);
  EXPECT_EQ(PlatformHookProtocol, nullptr);
}

TEST_F(FrameTest, ReadWholeVariable) {
  Put(u"Two", kTestGuidA, {0xAB, 0xCD}, 3);
  UINT32 attributes = 0;
  UINTN size = 0;
  auto* data = static_cast<UINT8*>(ReadWholeVariable(u"Two", &kTestGuidA, &attributes, &size));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(attributes, 3u);
  EXPECT_EQ(data[0], 0xAB);
  EXPECT_EQ(data[1], 0xCD);
  FreePool(data);

  data = static_cast<UINT8*>(ReadWholeVariable(u"Two", &kTestGuidA, nullptr, nullptr));
  ASSERT_NE(data, nullptr);
  FreePool(data);

  attributes = 0x55;
  size = 0x66;
  EXPECT_EQ(ReadWholeVariable(u"Absent", &kTestGuidA, &attributes, &size), nullptr);
  EXPECT_EQ(ReadWholeVariable(u"Two", &kTestGuidB, &attributes, &size), nullptr);
  EXPECT_EQ(attributes, 0x55u);
  EXPECT_EQ(size, 0x66u);
  EXPECT_EQ(ReadWholeVariable(nullptr, &kTestGuidA, nullptr, nullptr), nullptr);
  EXPECT_EQ(ReadWholeVariable(u"Two", nullptr, nullptr, nullptr), nullptr);

  platform.FailNthAllocation(1);
  EXPECT_EQ(ReadWholeVariable(u"Two", &kTestGuidA, &attributes, &size), nullptr);
  EXPECT_EQ(size, 0x66u);
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty());
}

// The size probe succeeds but the read itself fails: the buffer goes back to
// the pool and neither out-parameter is written.
TEST_F(FrameTest, ReadWholeVariableWhoseSecondReadFails) {
  Put(u"Two", kTestGuidA, {0xAB, 0xCD}, 3);
  int reads = 0;
  VariableFailures failures(
      RuntimeServices, [&](const std::u16string&) { return ++reads == 2 ? EFI_DEVICE_ERROR : EFI_SUCCESS; });
  UINT32 attributes = 0x55;
  UINTN size = 0x66;
  EXPECT_EQ(ReadWholeVariable(u"Two", &kTestGuidA, &attributes, &size), nullptr);
  EXPECT_EQ(reads, 2);
  EXPECT_EQ(attributes, 0x55u);
  EXPECT_EQ(size, 0x66u);
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty());
}

TEST_F(FrameTest, AllocateZeroedPoolIsZeroAndBootServicesData) {
  auto* p = static_cast<UINT8*>(AllocateZeroedPool(64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; i++) EXPECT_EQ(p[i], 0);
  auto held = HeldBeyondLibraryRecords();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].type, EfiBootServicesData);
  FreePool(p);
  platform.FailNthAllocation(1);
  EXPECT_EQ(AllocateZeroedPool(8), nullptr);
}

TEST_F(FrameTest, ConfigurationTableLookup) {
  static UINT64 table = 42;
  ASSERT_EQ(BootServices->InstallConfigurationTable(&kTestGuidB, &table), EFI_SUCCESS);
  void* found = reinterpret_cast<void*>(1);
  EXPECT_EQ(FindConfigurationTable(&kTestGuidB, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &table);
  EXPECT_EQ(FindConfigurationTable(&kTestGuidA, &found), EFI_NOT_FOUND);
  EXPECT_EQ(found, nullptr);
}

TEST_F(FrameTest, GuidHobWalk) {
  platform.AddGuidHob(kTestGuidA, {1});
  platform.AddGuidHob(kTestGuidB, {2, 2});
  platform.AddGuidHob(kTestGuidA, {3, 3, 3});
  Boot();

  auto* first = static_cast<EFI_HOB_GUID_TYPE*>(FirstGuidHob(&kTestGuidB));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(reinterpret_cast<UINT8*>(first + 1)[0], 2);
  auto after = [](void* hob) {
    return static_cast<UINT8*>(hob) + static_cast<EFI_HOB_GENERIC_HEADER*>(hob)->HobLength;
  };
  EXPECT_EQ(NextGuidHob(&kTestGuidB, after(first)), nullptr);

  auto* a1 = static_cast<EFI_HOB_GUID_TYPE*>(FirstGuidHob(&kTestGuidA));
  ASSERT_NE(a1, nullptr);
  auto* a2 = static_cast<EFI_HOB_GUID_TYPE*>(NextGuidHob(&kTestGuidA, after(a1)));
  ASSERT_NE(a2, nullptr);
  EXPECT_EQ(reinterpret_cast<UINT8*>(a2 + 1)[0], 3);
  EXPECT_EQ(NextGuidHob(&kTestGuidA, after(a2)), nullptr);
  EXPECT_EQ(NextGuidHob(&kTestGuidA, a1), a1) << "the start HOB is a candidate";
}

TEST_F(FrameTest, HobWalkStopsAtAZeroLengthHob) {
  alignas(8) UINT8 list[64] = {};
  auto* bad = reinterpret_cast<EFI_HOB_GENERIC_HEADER*>(list);
  bad->HobType = EFI_HOB_TYPE_MEMORY_ALLOCATION;
  bad->HobLength = 0;
  EXPECT_EQ(NextGuidHob(&kTestGuidA, list), nullptr);
}

// A GUID HOB whose length does not cover its 16-byte name (lengths 8 to 23)
// matches nothing and is stepped over; its would-be name is never read.
TEST_F(FrameTest, GuidHobTooShortForItsNameIsSkipped) {
  // The end HOB's header (FF FF 08 00 00 00 00 00) supplies the last eight
  // name bytes that a 16-byte GUID HOB would cover, so a walk that read the
  // name regardless would find this GUID there.
  constexpr EFI_GUID wanted = {0x0A0B0C0D, 0x1E1F, 0x2A2B, {0xFF, 0xFF, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00}};
  auto header = [](std::vector<UINT8>& list, size_t at, UINT16 type, UINT16 length) {
    list[at] = static_cast<UINT8>(type);
    list[at + 1] = static_cast<UINT8>(type >> 8);
    list[at + 2] = static_cast<UINT8>(length);
    list[at + 3] = static_cast<UINT8>(length >> 8);
  };
  for (UINT16 length = 8; length <= 23; length++) {
    SCOPED_TRACE(length);
    // The short GUID HOB, then the end of the list, in a buffer that ends
    // with the end HOB (ASan reports any read past it).
    std::vector<UINT8> list(length + 8u, 0);
    header(list, 0, EFI_HOB_TYPE_GUID_EXTENSION, length);
    std::memcpy(list.data() + 8, &wanted, length - 8u);
    header(list, length, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
    EXPECT_EQ(NextGuidHob(&wanted, list.data()), nullptr);

    // Followed by a whole GUID HOB of that name: the walk goes on to it.
    std::vector<UINT8> longer(length + 24u + 8u, 0);
    header(longer, 0, EFI_HOB_TYPE_GUID_EXTENSION, length);
    header(longer, length, EFI_HOB_TYPE_GUID_EXTENSION, 24);
    std::memcpy(longer.data() + length + 8, &wanted, 16);
    header(longer, length + 24u, EFI_HOB_TYPE_END_OF_HOB_LIST, 8);
    EXPECT_EQ(NextGuidHob(&wanted, longer.data()), longer.data() + length);
  }
}

TEST_F(FrameTest, BootModeComesFromTheHandOffTable) {
  platform.bootMode = BOOT_ON_S4_RESUME;
  Boot();
  EXPECT_EQ(HobBootMode(), BOOT_ON_S4_RESUME);
  platform.hobListPresent = false;
  Boot();
  EXPECT_EQ(HobListStart(), nullptr);
  EXPECT_EQ(HobBootMode(), BOOT_WITH_FULL_CONFIGURATION);
}

TEST_F(FrameTest, RecoveryBootDoesNoBootControl) {
  platform.bootMode = BOOT_IN_RECOVERY_MODE;
  Put(u"ZKChgBoot", BootControlVendorGuid, {1, 1});
  Boot();
  const sim::Counters before = platform.counters;
  const size_t events = platform.OpenEventCount();
  EXPECT_EQ(ModuleEntry(ImageHandle, SystemTable), EFI_SUCCESS);
  EXPECT_EQ(platform.counters.varReads, before.varReads);
  EXPECT_EQ(platform.counters.varWrites, before.varWrites);
  EXPECT_EQ(platform.counters.portReads, before.portReads);
  EXPECT_EQ(platform.counters.portWrites, before.portWrites);
  EXPECT_EQ(platform.OpenEventCount(), events);
}

TEST_F(FrameTest, EveryOtherBootModeRunsBootControl) {
  for (UINT32 mode : {BOOT_WITH_FULL_CONFIGURATION, BOOT_ASSUMING_NO_CONFIGURATION_CHANGES, BOOT_ON_S4_RESUME,
                      BOOT_ON_S5_RESUME, BOOT_ON_FLASH_UPDATE, BOOT_WITH_DEFAULT_SETTINGS}) {
    SCOPED_TRACE(mode);
    platform.RemoveVariable(u"ZKFirstBoot", BootControlVendorGuid);
    platform.bootMode = mode;
    Boot();
    const size_t events = platform.OpenEventCount();
    EXPECT_EQ(ModuleEntry(ImageHandle, SystemTable), EFI_SUCCESS);
    EXPECT_TRUE(FirstBootFlag);
    EXPECT_TRUE(Var(u"ZKFirstBoot", BootControlVendorGuid).has_value());
    EXPECT_EQ(platform.OpenEventCount(), events + 1) << "End-of-DXE handler registered";
  }
}

// The first-boot marker is made before the change-boot request is taken, so
// a request that ends the boot in a reset still leaves the marker behind.
TEST_F(FrameTest, FirstBootMarkerComesBeforeTheRequest) {
  std::vector<uint8_t> setup(128, 0);
  setup[92] = 1;
  Put(u"Setup", SetupVariableGuid, setup);
  Put(u"ZKChgBoot", BootControlVendorGuid, {1, 0x01});
  EXPECT_EQ(Run([&] { ModuleEntry(ImageHandle, SystemTable); }), EfiResetWarm);
  EXPECT_TRUE(FirstBootFlag);
  EXPECT_TRUE(Var(u"ZKFirstBoot", BootControlVendorGuid).has_value());
  const std::vector<std::string> calls = VariableCalls();
  const auto marker = std::find(calls.begin(), calls.end(), "SetVariable ZKFirstBoot");
  const auto request = std::find(calls.begin(), calls.end(), "GetVariable ZKChgBoot");
  ASSERT_NE(marker, calls.end());
  ASSERT_NE(request, calls.end());
  EXPECT_LT(marker - calls.begin(), request - calls.begin());
}

// Constructors that fail (no HOB list, no processor frequency, no memory for
// the frequency table) neither stop the chain nor change DriverEntry's result.
TEST_F(FrameTest, FailingConstructorsDoNotChangeTheEntryResult) {
  static UINT8 hook[128] = {128};
  platform.bootHooks.push_back([](sim::Platform& p) { p.InstallProtocol(PlatformHookProtocolGuid, hook); });
  struct Row {
    const char* name;
    bool hobList;
    bool frequency;
    bool allocationFails;
  };
  for (const Row& row : {Row{"no_hob_list", false, true, false}, Row{"no_frequency", true, false, false},
                         Row{"no_memory", true, true, true}, Row{"all_three", false, false, true}}) {
    SCOPED_TRACE(row.name);
    platform.hobListPresent = row.hobList;
    platform.cpu.msrs.clear();
    if (row.frequency) {
      platform.cpu.msrs[0xC0010063] = 0;
      platform.cpu.msrs[0xC0010064] = 0x8000000000000000ull | (2u << 8) | 28;  // 200 x 28 / 2 = 2800 MHz
    }
    platform.RemoveVariable(u"ZKFirstBoot", BootControlVendorGuid);
    platform.BeginBoot();
    ResetDriverState();
    if (row.allocationFails) platform.FailNthAllocation(1);
    EFI_STATUS status = 0xDEAD;
    EXPECT_FALSE(
        Run([&] { status = DriverEntry(platform.ImageHandle(), platform.SystemTable()); }).has_value());
    EXPECT_EQ(status, EFI_SUCCESS);
    EXPECT_EQ(CachedHobList != nullptr, row.hobList);
    EXPECT_EQ(TscHz, row.frequency ? 2800000000u : 0u);
    EXPECT_EQ(PlatformHookProtocol, hook) << "the last step still ran";
    EXPECT_TRUE(FirstBootFlag);
    EXPECT_TRUE(Var(u"ZKFirstBoot", BootControlVendorGuid).has_value());
    EXPECT_NE(EndOfDxeEvent, nullptr) << "End-of-DXE handler registered";
  }
}

// The identifiers other firmware and the operating system share with the
// driver, byte for byte.
TEST(FrameConstants, GuidsAreTheAgreedOnes) {
  struct Row {
    const char* name;
    const EFI_GUID& guid;
    EFI_GUID expected;
  };
  const Row rows[] = {
      {"BootControlVendorGuid",
       BootControlVendorGuid,
       {0x99165095, 0x035D, 0x44CC, {0x92, 0x34, 0xDB, 0x41, 0xD2, 0xD3, 0xE9, 0x59}}},
      {"LidFlagVendorGuid",
       LidFlagVendorGuid,
       {0x99165095, 0x035D, 0x44CC, {0x92, 0x34, 0xDB, 0x41, 0xD2, 0xD3, 0x59, 0xE9}}},
      {"SetupVariableGuid",
       SetupVariableGuid,
       {0xA04A27F4, 0xDF00, 0x4D42, {0xB5, 0x52, 0x39, 0x51, 0x13, 0x02, 0x11, 0x3D}}},
      {"EFI_GLOBAL_VARIABLE",
       EFI_GLOBAL_VARIABLE,
       {0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}}},
      {"PhysicalBootOrderGuid",
       PhysicalBootOrderGuid,
       {0x59D1C24F, 0x50F1, 0x401A, {0xB1, 0x01, 0xF3, 0x3E, 0x0D, 0xAE, 0xD4, 0x43}}},
      {"OobTestVendorGuid",
       OobTestVendorGuid,
       {0x259C170F, 0x0FC4, 0x4FE1, {0xBC, 0x23, 0xB0, 0xB8, 0x07, 0x00, 0x72, 0x5E}}},
      {"ChgKeyVendorGuid",
       ChgKeyVendorGuid,
       {0xA3ADAF88, 0xB599, 0x4204, {0xB4, 0xC5, 0xEE, 0x92, 0x02, 0x6A, 0xFD, 0x31}}},
      {"PurgeIdleMarkerGuid",
       PurgeIdleMarkerGuid,
       {0x6F2F4E41, 0x0710, 0x4AB1, {0x8C, 0xDF, 0x2C, 0xD1, 0x5C, 0x23, 0x46, 0xEA}}},
      {"PurgeBusyMarkerGuid",
       PurgeBusyMarkerGuid,
       {0xCC5B20B9, 0xDA0A, 0x4164, {0x83, 0xFE, 0x04, 0xBF, 0x08, 0x02, 0xF2, 0x50}}},
      {"PlatformHookProtocolGuid",
       PlatformHookProtocolGuid,
       {0x14AFC99E, 0xE23E, 0x11E1, {0xA2, 0x34, 0xD0, 0xDF, 0x9A, 0x35, 0xC1, 0x06}}},
      {"EFI_END_OF_DXE_EVENT_GROUP_GUID",
       EFI_END_OF_DXE_EVENT_GROUP_GUID,
       {0x02CE967A, 0xDD7E, 0x4FFC, {0x9E, 0xE7, 0x81, 0x0C, 0xF0, 0x47, 0x08, 0x80}}},
      {"EFI_HOB_LIST_GUID",
       EFI_HOB_LIST_GUID,
       {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}}},
      {"TscFrequencyGuid",
       TscFrequencyGuid,
       {0xDBA6A7E3, 0xBB57, 0x4BE7, {0x8A, 0xF8, 0xD5, 0x78, 0xDB, 0x7E, 0x56, 0x87}}},
      {"EFI_PCD_PROTOCOL_GUID",
       EFI_PCD_PROTOCOL_GUID,
       {0x13A3F0F6, 0x264A, 0x3EF0, {0xF2, 0xE0, 0xDE, 0xC5, 0x12, 0x34, 0x2F, 0x34}}},
      {"DebugMessageProtocolGuid",
       DebugMessageProtocolGuid,
       {0x669ED5B1, 0x49A3, 0x4C59, {0x9D, 0x2D, 0x04, 0x32, 0xAD, 0x6C, 0xDB, 0x61}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(std::memcmp(&row.guid, &row.expected, sizeof(EFI_GUID)), 0);
  }
}

}  // namespace
