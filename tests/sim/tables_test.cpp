// System table, configuration tables and the HOB list.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/platform.h"
#include "tests/sim/notify_log.h"

namespace {

using sim::operator==;
const EFI_GUID kTableA = {0xAAAA0001, 0, 0, {0}};
const EFI_GUID kTableB = {0xBBBB0001, 0, 0, {0}};

// The CRC covers the whole table with the CRC field read as zero.
uint32_t HeaderCrc(const EFI_TABLE_HEADER* header) {
  std::vector<uint8_t> copy(header->HeaderSize);
  std::memcpy(copy.data(), header, copy.size());
  std::memset(copy.data() + offsetof(EFI_TABLE_HEADER, CRC32), 0, 4);
  uint32_t crc = 0;
  sim::Platform::Current()->BootServices()->CalculateCrc32(copy.data(), copy.size(), &crc);
  return crc;
}

EFI_STATUS EFIAPI PatchedLocate(const EFI_GUID*, void*, void**) { return EFI_DEVICE_ERROR; }

TEST(SystemTable, FilledInAndRebuiltAtEachBoot) {
  sim::Platform p;
  p.BeginBoot();
  EFI_SYSTEM_TABLE* st = p.SystemTable();
  EXPECT_EQ(st->Hdr.Signature, EFI_SYSTEM_TABLE_SIGNATURE);
  EXPECT_EQ(st->Hdr.Revision, (2u << 16) | 70u);
  EXPECT_EQ(st->BootServices->Hdr.Signature, EFI_BOOT_SERVICES_SIGNATURE);
  EXPECT_EQ(st->RuntimeServices->Hdr.Signature, EFI_RUNTIME_SERVICES_SIGNATURE);
  EXPECT_EQ(std::u16string(st->FirmwareVendor), u"SimPlatform");
  EXPECT_EQ(st->BootServices->GetMemoryMap(nullptr, nullptr, nullptr, nullptr, nullptr), EFI_UNSUPPORTED);
  // Every service slot holds a function; only the reserved slot is empty.
  auto* slots = reinterpret_cast<void* const*>(st->BootServices);
  for (size_t i = 3; i < sizeof(EFI_BOOT_SERVICES) / sizeof(void*); ++i) {
    EXPECT_EQ(slots[i] == nullptr, i * sizeof(void*) == offsetof(EFI_BOOT_SERVICES, Reserved)) << i;
  }
  slots = reinterpret_cast<void* const*>(st->RuntimeServices);
  for (size_t i = 3; i < sizeof(EFI_RUNTIME_SERVICES) / sizeof(void*); ++i) EXPECT_NE(slots[i], nullptr) << i;

  st->BootServices->LocateProtocol = PatchedLocate;  // a hook lasts only until the next reset
  st->FirmwareVendor[0] = u'X';
  p.BeginBoot();
  EXPECT_NE(st->BootServices->LocateProtocol, PatchedLocate);
  EXPECT_EQ(std::u16string(st->FirmwareVendor), u"SimPlatform");
  for (const EFI_TABLE_HEADER* h : {&st->Hdr, &st->BootServices->Hdr, &st->RuntimeServices->Hdr}) {
    EXPECT_EQ(h->CRC32, HeaderCrc(h));
  }
}

TEST(ConfigurationTable, AddReplaceAndDeleteSignallingTheTablesGroup) {
  sim::Platform p;
  p.hobListPresent = false;
  p.dxeServices = false;  // start from an empty table
  p.BeginBoot();
  EFI_SYSTEM_TABLE* st = p.SystemTable();
  simtest::NotifyLog log(p);
  log.Create("watchA", TPL_CALLBACK, &kTableA);
  int t1 = 0, t2 = 0, t3 = 0;
  struct Step {
    const EFI_GUID* guid;
    void* table;
    EFI_STATUS expected;
    std::vector<std::pair<const EFI_GUID*, void*>> after;  // the whole table, in order
  };
  const Step steps[] = {
      {&kTableA, &t1, EFI_SUCCESS, {{&kTableA, &t1}}},
      {&kTableB, &t2, EFI_SUCCESS, {{&kTableA, &t1}, {&kTableB, &t2}}},
      {&kTableA, &t3, EFI_SUCCESS, {{&kTableA, &t3}, {&kTableB, &t2}}},  // replaced in place
      {&kTableA, nullptr, EFI_SUCCESS, {{&kTableB, &t2}}},
      {&kTableA, nullptr, EFI_NOT_FOUND, {{&kTableB, &t2}}},
      {nullptr, &t1, EFI_INVALID_PARAMETER, {{&kTableB, &t2}}},
  };
  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    const Step& s = steps[i];
    EXPECT_EQ(p.BootServices()->InstallConfigurationTable(s.guid, s.table), s.expected) << i;
    ASSERT_EQ(st->NumberOfTableEntries, s.after.size()) << i;
    for (size_t k = 0; k < s.after.size(); ++k) {
      EXPECT_TRUE(st->ConfigurationTable[k].VendorGuid == *s.after[k].first) << i;
      EXPECT_EQ(st->ConfigurationTable[k].VendorTable, s.after[k].second) << i;
    }
    EXPECT_EQ(st->Hdr.CRC32, HeaderCrc(&st->Hdr)) << i;
  }
  EXPECT_EQ(log.entries.size(), 3u);  // the three successful changes of table A
}

TEST(HobList, PhitThenGuidHobsThenEnd) {
  sim::Platform p;
  p.bootMode = BOOT_ON_S4_RESUME;
  struct Hob {
    EFI_GUID name;
    std::vector<uint8_t> data;
    uint16_t length;  // 24-byte header and name, then the data, rounded up to 8
  };
  const Hob hobs[] = {{kTableA, {1, 2, 3}, 32},
                      {kTableB, {}, 24},
                      {kTableA, std::vector<uint8_t>(8, 0xEE), 32},
                      {kTableB, std::vector<uint8_t>(9, 0x77), 40}};
  for (const Hob& h : hobs) p.AddGuidHob(h.name, h.data);
  p.bootHooks.push_back(
      [](sim::Platform& q) { q.bootMode = BOOT_IN_RECOVERY_MODE; });  // runs before the build
  p.BeginBoot();

  const uint8_t* list = static_cast<const uint8_t*>(p.FindConfigTable(sim::kHobListGuid));
  ASSERT_NE(list, nullptr);
  uint32_t bootMode = 0;
  std::memcpy(&bootMode, list + 12, 4);
  EXPECT_EQ(bootMode, BOOT_IN_RECOVERY_MODE);
  auto* phit = reinterpret_cast<const EFI_HOB_HANDOFF_INFO_TABLE*>(list);
  EXPECT_EQ(phit->Header.HobType, EFI_HOB_TYPE_HANDOFF);
  const uint8_t* at = list + phit->Header.HobLength;
  for (const Hob& h : hobs) {
    auto* g = reinterpret_cast<const EFI_HOB_GUID_TYPE*>(at);
    ASSERT_EQ(g->Header.HobType, EFI_HOB_TYPE_GUID_EXTENSION);
    EXPECT_EQ(g->Header.HobLength, h.length);
    EXPECT_TRUE(g->Name == h.name);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(g + 1);
    EXPECT_EQ(std::vector<uint8_t>(data, data + h.data.size()), h.data);
    at += g->Header.HobLength;
  }
  EXPECT_EQ(reinterpret_cast<const EFI_HOB_GENERIC_HEADER*>(at)->HobType, EFI_HOB_TYPE_END_OF_HOB_LIST);
  EXPECT_EQ(phit->EfiEndOfHobList, reinterpret_cast<uint64_t>(at));

  p.hobListPresent = false;
  p.BeginBoot();
  EXPECT_EQ(p.FindConfigTable(sim::kHobListGuid), nullptr);
}

}  // namespace
