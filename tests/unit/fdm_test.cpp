// Flash device map lookups: header checks, hidden entries, instances, the
// by-GUIDs search, the end of boot services and malformed headers.
#include "flash/fdm.h"

#include <cstring>

#include "s3/smm_services.h"
#include "sim/pcd/pcd_db.h"
#include "tests/unit/driver_fixture.h"

namespace {

constexpr EFI_GUID kSpace = {0xC51F1883, 0xDF00, 0x4F6A, {0x08, 0xA0, 0x36, 0x9F, 0x60, 0x98, 0xFD, 0xAF}};
constexpr EFI_GUID kTypeA = {0xD9DDACA2, 0x0816, 0x48F3, {0xAD, 0xED, 0x6B, 0x71, 0x65, 0x6B, 0x24, 0x8A}};
constexpr EFI_GUID kTypeB = {0x773C5374, 0x81D1, 0x4D43, {0xB2, 0x93, 0xF3, 0xD7, 0x4F, 0x18, 0x1D, 0x6B}};
constexpr EFI_GUID kZero = {};
constexpr EFI_GUID kArea1 = {0xAAAAAAAA, 0x1111, 0x2222, {3, 3, 3, 3, 3, 3, 3, 3}};

struct Entry {
  EFI_GUID type, area;
  uint64_t offset, size;
  uint32_t attributes;
};

// A map as a producer lays it out: header, then entries at `stride`; the
// checksum byte (offset 16) makes the 28 header bytes add up to `sum`.
std::vector<uint8_t> Map(const std::vector<Entry>& entries, uint64_t flashBase, uint32_t stride = 52,
                         uint32_t entriesOffset = 28, std::optional<uint32_t> length = std::nullopt,
                         uint8_t sum = 0) {
  size_t bytes = entriesOffset + entries.size() * stride;
  if (!entries.empty()) bytes = std::max(bytes, entriesOffset + (entries.size() - 1) * stride + 52);
  std::vector<uint8_t> t(bytes, 0);
  std::memcpy(t.data(), "HFDM", 4);
  const uint32_t len = length ? *length : static_cast<uint32_t>(t.size());
  std::memcpy(t.data() + 4, &len, 4);
  std::memcpy(t.data() + 8, &entriesOffset, 4);
  std::memcpy(t.data() + 12, &stride, 4);
  std::memcpy(t.data() + 20, &flashBase, 8);
  for (size_t i = 0; i < entries.size(); i++) {
    uint8_t* e = t.data() + entriesOffset + i * stride;
    std::memcpy(e, &entries[i].type, 16);
    std::memcpy(e + 16, &entries[i].area, 16);
    std::memcpy(e + 32, &entries[i].offset, 8);
    std::memcpy(e + 40, &entries[i].size, 8);
    std::memcpy(e + 48, &entries[i].attributes, 4);
  }
  uint8_t total = 0;
  for (int i = 0; i < 28; i++) total = static_cast<uint8_t>(total + t[i]);
  t[16] = static_cast<uint8_t>(sum - total);
  return t;
}

class FdmTest : public DriverTest {
 protected:
  sim::PcdDatabase pcd{platform};
  std::vector<uint8_t> table;
  void SetUp() override {
    pcd.Declare(kSpace, 0x30000017, sim::PcdDatabase::Kind::U64, 0);
    DriverTest::SetUp();
  }
  void Publish(std::vector<uint8_t> map) {
    table = std::move(map);
    pcd.Declare(kSpace, 0x30000017, sim::PcdDatabase::Kind::U64, reinterpret_cast<uintptr_t>(table.data()));
    Boot();
  }
};

TEST_F(FdmTest, InstancesHiddenEntriesAndTheFlashBase) {
  Publish(Map({{kTypeA, kArea1, 0x1000, 0x100, 0},
               {kTypeB, kZero, 0x2000, 0x200, 2},  // hidden
               {kTypeA, kZero, 0x3000, 0x300, 0x81},
               {kTypeB, kZero, 0x4000, 0x400, 0}},
              0xFF000000));
  UINT8 count = 0;
  EXPECT_EQ(FdmCountEntries(&count), EFI_SUCCESS);
  EXPECT_EQ(count, 3);
  struct Row {
    const EFI_GUID* type;
    UINT8 n;
    uint64_t base, size;
  };
  const Row rows[] = {{&kTypeA, 1, 0xFF001000, 0x100},
                      {&kTypeA, 2, 0xFF003000, 0x300},
                      {&kTypeA, 3, 0, 0},
                      {&kTypeB, 1, 0xFF004000, 0x400},
                      {&kTypeB, 2, 0, 0},
                      {&kTypeA, 0, 0, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "instance " << int(row.n));
    EXPECT_EQ(FdmRegionBase(row.type, row.n), row.base);
    EXPECT_EQ(FdmRegionSize(row.type, row.n), row.size);
  }
  EFI_GUID area;
  UINT64 offset = 7, size = 7;
  UINT32 attributes = 7;
  EXPECT_EQ(FdmGetEntry(&kTypeA, 2, &area, &offset, &size, &attributes), EFI_SUCCESS);
  EXPECT_EQ(offset, 0x3000u) << "the raw offset";
  EXPECT_EQ(attributes, 0x81u) << "other bits returned as stored";
  EXPECT_EQ(FdmGetEntry(&kTypeA, 0, &area, &offset, &size, &attributes), EFI_INVALID_PARAMETER);
  offset = 7;
  EXPECT_EQ(FdmGetEntry(&kTypeB, 2, &area, &offset, &size, &attributes), EFI_NOT_FOUND);
  EXPECT_EQ(offset, 7u) << "outputs written only on success";
}

// A FlashBase above 4 GiB: the checksum covers all 28 header bytes, the
// high half of FlashBase among them, and every address carries all 64 bits.
TEST_F(FdmTest, ASixtyFourBitFlashBase) {
  Publish(Map({{kTypeA, kZero, 0x20000, 0x1000, 0}}, 0x12FFFF0000));
  EXPECT_EQ(FdmRegionBase(&kTypeA, 1), 0x1300010000u);
  EXPECT_EQ(FdmRegionBaseByGuids(&kTypeA, &kZero, 1), 0x1300010000u);
  // Its high half counted out of the sum: the header no longer adds up.
  std::vector<uint8_t> map = Map({{kTypeA, kZero, 0x20000, 0x1000, 0}}, 0x12FFFF0000);
  map[16] = static_cast<uint8_t>(map[16] + 0x12);
  Publish(map);
  EFI_GUID area;
  UINT64 offset, size;
  UINT32 attributes;
  EXPECT_EQ(FdmGetEntry(&kTypeA, 1, &area, &offset, &size, &attributes), EFI_SECURITY_VIOLATION);
}

TEST_F(FdmTest, ByGuidsSkipsEntriesWithAnotherAreaGuid) {
  Publish(Map({{kTypeB, kZero, 0x100, 1, 0},
               {kTypeA, kArea1, 0x1000, 0x10, 0},
               {kTypeA, kZero, 0x2000, 0x20, 2},  // hidden
               {kTypeA, kZero, 0x3000, 0x30, 0},
               {kTypeA, kZero, 0x4000, 0x40, 0}},
              0));
  EXPECT_EQ(FdmRegionBaseByGuids(&kTypeA, &kZero, 1), 0x3000u);
  EXPECT_EQ(FdmRegionSizeByGuids(&kTypeA, &kZero, 1), 0x30u);
  EXPECT_EQ(FdmRegionBaseByGuids(&kTypeA, &kZero, 2), 0x4000u);
  EXPECT_EQ(FdmRegionBaseByGuids(&kTypeA, &kArea1, 1), 0x1000u);
  EXPECT_EQ(FdmRegionBaseByGuids(&kTypeA, &kArea1, 2), 0u);
  EXPECT_EQ(FdmRegionBaseByGuids(&kTypeB, &kArea1, 1), 0u);
  UINT64 address = 7, size = 7;
  EXPECT_EQ(FdmFindRegionByGuids(&kTypeA, &kZero, 0, &address, &size), EFI_NOT_FOUND) << "instance 0";
  EXPECT_EQ(address, 7u);
}

// Found by the flash-map fuzz target: a map of 256 visible entries counted
// in 8 bits gave 0, and the by-GUIDs search found nothing in it. Instance
// numbers are 8-bit: the count stops at 255, the lookups reach the first 255
// entries of a type.
TEST_F(FdmTest, MapsOfMoreThan255Entries) {
  std::vector<Entry> entries(256, {kTypeA, kZero, 0x1000, 0x100, 0});
  entries[1].offset = 0x2000;
  Publish(Map(entries, 0xFF000000));
  UINT8 count = 0;
  EXPECT_EQ(FdmCountEntries(&count), EFI_SUCCESS);
  EXPECT_EQ(count, 255);
  EXPECT_EQ(FdmRegionBaseByGuids(&kTypeA, &kZero, 1), 0xFF001000u);
  EXPECT_EQ(FdmRegionBaseByGuids(&kTypeA, &kZero, 2), 0xFF002000u);
  EXPECT_EQ(FdmRegionBaseByGuids(&kTypeA, &kZero, 255), 0xFF001000u);
  EXPECT_EQ(FdmRegionBase(&kTypeA, 255), 0xFF001000u);
}

TEST_F(FdmTest, TheAdditionIs64Bit) {
  Publish(Map({{kTypeA, kZero, 0x20000, 0x1000, 0}}, 0xFFFF0000));
  EXPECT_EQ(FdmRegionBase(&kTypeA, 1), 0x100010000ull);
}

TEST_F(FdmTest, HeaderChecks) {
  struct Row {
    const char* what;
    std::function<std::vector<uint8_t>()> map;
    EFI_STATUS count;
  };
  const Row rows[] = {
      {"byte sum 1",
       [] {
         return Map({{kTypeA, kZero, 0, 1, 0}}, 0, 52, 28, std::nullopt, 1);
       },
       EFI_SECURITY_VIOLATION},
      {"signature HFDN",
       [] {
         auto m = Map({{kTypeA, kZero, 0, 1, 0}}, 0);
         m[3] = 'N';
         return m;
       },
       EFI_NOT_FOUND},
      {"Length equal to EntriesOffset",
       [] {
         return Map({{kTypeA, kZero, 0, 1, 0}}, 0, 52, 28, 28);
       },
       EFI_SUCCESS},
      // Headers no producer should write: rejected or walked within Length.
      {"EntrySize 0",
       [] {
         return Map({{kTypeA, kZero, 0, 1, 0}}, 0, 0, 28, 28 + 52);
       },
       EFI_NOT_FOUND},
      {"EntrySize 51",
       [] {
         return Map({{kTypeA, kZero, 0, 1, 0}}, 0, 51, 28, 28 + 52);
       },
       EFI_NOT_FOUND},
      {"EntriesOffset past Length",
       [] {
         return Map({{kTypeA, kZero, 0, 1, 0}}, 0, 52, 28, 20);
       },
       EFI_SUCCESS},
      {"the only entry runs past Length",
       [] {
         return Map({{kTypeA, kZero, 0, 1, 0}}, 0, 52, 28, 28 + 51);
       },
       EFI_SUCCESS},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // The table is copied into a buffer that ends where its bytes end, so a
    // read past them is caught by the address sanitizer.
    Publish(row.map());
    UINT8 count = 0xEE;
    EXPECT_EQ(FdmCountEntries(&count), row.count);
    if (row.count == EFI_SUCCESS) {
      EXPECT_EQ(count, 0);
    }
    EFI_GUID area;
    UINT64 offset, size;
    UINT32 attributes;
    EXPECT_EQ(FdmGetEntry(&kTypeA, 1, &area, &offset, &size, &attributes),
              row.count == EFI_SUCCESS ? EFI_NOT_FOUND : row.count);
    UINT64 address = 0;
    EXPECT_EQ(FdmFindRegion(&kTypeA, 1, &address, &size), EFI_NOT_FOUND);
    EXPECT_EQ(FdmFindRegionByGuids(&kTypeA, &kZero, 1, &address, &size), EFI_NOT_FOUND);
    EXPECT_EQ(FdmRegionBase(&kTypeA, 1), 0u);
  }
}

TEST_F(FdmTest, NoMapAndTheEndOfBootServices) {
  UINT8 count = 0;
  EXPECT_EQ(FdmCountEntries(&count), EFI_NOT_FOUND) << "address value 0";
  Publish(Map({{kTypeA, kZero, 0x10, 0x20, 0}}, 0x1000));
  EXPECT_EQ(FdmRegionSize(&kTypeA, 1), 0x20u);
  platform.ExitBootServices();
  EXPECT_TRUE(BootServicesEnded);
  UINT64 address = 0, size = 0;
  EXPECT_EQ(FdmCountEntries(&count), EFI_UNSUPPORTED);
  EXPECT_EQ(FdmFindRegion(&kTypeA, 1, &address, &size), EFI_UNSUPPORTED);
  EXPECT_EQ(FdmFindRegionByGuids(&kTypeA, &kZero, 1, &address, &size), EFI_UNSUPPORTED);
  EXPECT_EQ(FdmRegionSize(&kTypeA, 1), 0u);
  EXPECT_EQ(FdmRegionBaseByGuids(&kTypeA, &kZero, 1), 0u);
}

TEST_F(FdmTest, TheMapIsReadAfreshOnEveryCall) {
  Publish(Map({{kTypeA, kZero, 0x10, 0x20, 0}}, 0x1000));
  EXPECT_EQ(FdmRegionBase(&kTypeA, 1), 0x1010u);
  const uint32_t hidden = 2;
  std::memcpy(table.data() + 28 + 48, &hidden, 4);
  EXPECT_EQ(FdmRegionBase(&kTypeA, 1), 0u);
}

}  // namespace
