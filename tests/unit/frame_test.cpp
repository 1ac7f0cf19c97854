// Entry point, constructor chain, variable reader and HOB walk.
#include <cstring>

#include "tests/unit/driver_fixture.h"

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
  EXPECT_TRUE(platform.OutstandingAllocations().empty());
}

TEST_F(FrameTest, AllocateZeroedPoolIsZeroAndBootServicesData) {
  auto* p = static_cast<UINT8*>(AllocateZeroedPool(64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; i++) EXPECT_EQ(p[i], 0);
  auto held = platform.OutstandingAllocations();
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

}  // namespace
