// Whole boots: the libraries' results as the trace shows them, where no
// variable, port or register shows them: the flash descriptor
// identification settles on, the heap-buffer list built from the HOBs and
// the boot manager's registered package list.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "sim/devices/flash_devices.h"
#include "sim/pcd/pcd_db.h"
#include "tests/boot/whole_boot.h"

namespace {

using Fields = std::map<std::string, std::string>;

class ResultsBoot : public WholeBootTest {
 protected:
  sim::PcdDatabase pcd{platform};

  void SetUp() override { platform.bootManager = false; }
  void TearDown() override {
    for (const std::string& v : platform.violations) ADD_FAILURE() << "violation: " << v;
  }
  // The fields of every event of `kind` in the trace, in order.
  std::vector<Fields> Events(const std::string& kind) const {
    std::vector<Fields> found;
    for (const sim::TraceEvent& e : platform.trace) {
      if (e.kind == kind) found.emplace_back(e.fields.begin(), e.fields.end());
    }
    return found;
  }
};

// Each way identification can settle: the generic entry refined from the
// part's SFDP tables, an entry whose read-identification matches, a
// memory-mapped part, and no entry at all.
// A notebook with the flash hardware, its PCD database and the view.
struct FlashNotebook {
  sim::Platform platform;
  sim::Notebook notebook{platform};
  sim::PcdDatabase pcd{platform};
  sim::FlashPlatform flash{platform, notebook};
  FlashNotebook() { sim::WatchFlashIdentification(platform, pcd); }
};

TEST(FlashResults, FlashDescriptorShowsWhatIdentificationSettledOn) {
  struct Row {
    const char* what;
    std::function<void(sim::FlashPlatform&, sim::PcdDatabase&)> setUp;
    Fields expected;
  };
  const Row rows[] = {
      {"generic entry, SFDP of a W25Q16JV",
       [](sim::FlashPlatform& flash, sim::PcdDatabase& pcd) {
         flash.AttachSpiPart(sim::SpiNorPart::ByName("W25Q16JV"));
         sim::SpiParamsSpec params;
         params.eraseOpcode = 0xD8;
         params.eraseBlockSize = 0x10000;
         sim::DeclareFlashDevice(pcd, 0x12345678,
                                 sim::EncodeFlashDeviceEntry({3, 0x12345678, 0, 0x10, 0x1000}),
                                 sim::EncodeSpiFlashParams(params));
         sim::DeclareFlashSelector(pcd, 0);
       },
       // Size factors 0x10 x 0x1000: 16 MiB, size code 8. SFDP: density
       // 0x00FFFFFF is 2 MiB; first DWORD 0xE5: 4 KiB erase (opcode 0x20) and
       // a 64-byte write granularity, status-register protection not volatile;
       // the 64 KiB erase type is 0xD8.
       {{"selector", "0x12345678"},
        {"descriptor", "loaded"},
        {"kind", "3"},
        {"deviceId", "0x12345678"},
        {"sizeCode", "0x08"},
        {"marker", "0xFFFF"},
        {"deviceSize", "0x200000"},
        {"eraseBlockSize", "0x1000"},
        {"eraseOpcode", "0x20"},
        {"readIdOpcode", "0x9F"},
        {"flags", "0x00000408"},
        {"sfdpDone", "1"},
        {"blockEraseOpcode", "0xD8"},
        {"blockEraseSizeExp", "16"}}},
      {"an entry whose identification matches",
       [](sim::FlashPlatform& flash, sim::PcdDatabase& pcd) {
         flash.AttachSpiPart(sim::SpiNorPart::ByName("W25Q16JV"));  // answers EF 40 15
         sim::SpiParamsSpec params;
         params.eraseBlockSize = 0x1000;
         params.aux2 = 0x77;
         sim::DeclareFlashDevice(pcd, 5, sim::EncodeFlashDeviceEntry({3, 0x001540EF, 0xAB, 32, 256}),
                                 sim::EncodeSpiFlashParams(params.IdBytes(3)),
                                 std::vector<uint8_t>{0x11, 0x22});
         sim::DeclareFlashSelector(pcd, 0);
       },
       // Three identification bytes: Flags bits 4 and 5; 32 x 256 x 256 = 2 MiB, size code 5.
       {{"selector", "0x5"},
        {"kind", "3"},
        {"deviceId", "0x001540EF"},
        {"aux", "0xAB"},
        {"sizeCode", "0x05"},
        {"sizeFactor1", "0x20"},
        {"sizeFactor2", "0x100"},
        {"deviceSize", "0x200000"},
        {"eraseBlockSize", "0x1000"},
        {"aux2", "0x77"},
        {"flags", "0x00000030"},
        {"info1",
         "11 22 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"sfdpDone", "0"}}},
      {"a memory-mapped part identified by its unlock sequence",
       [](sim::FlashPlatform& flash, sim::PcdDatabase& pcd) {
         flash.AddMappedPart(sim::MappedFlashPart::Method::UnlockSequence, 0xFFE00000, 0x100000, 0x00BF,
                             0xFFE00000, 0xFFE05555, 0xFFE02AAA);
         sim::DeclareFlashDevice(pcd, 7, sim::EncodeFlashDeviceEntry({0, 0xFFFF00BF, 0, 0, 0}),
                                 sim::EncodeMappedFlashParams(0xFFE00000, 0xFFE05555, 0xFFE02AAA));
         sim::DeclareFlashSelector(pcd, 0);
       },
       // Only the low 16 bits are compared; a size of 0 has size code 0xFF.
       {{"selector", "0x7"},
        {"kind", "0"},
        {"deviceId", "0xFFFF00BF"},
        {"sizeCode", "0xFF"},
        {"idAddress", "0xFFE00000"},
        {"commandAddress1", "0xFFE05555"},
        {"commandAddress2", "0xFFE02AAA"}}},
      {"no device listed",
       [](sim::FlashPlatform&, sim::PcdDatabase& pcd) { sim::DeclareFlashSelector(pcd, 0); },
       {{"selector", "0x12345678"}, {"selectorStatus", "EFI_SUCCESS"}, {"descriptor", "none"}}},
  };
  sim::DriverImage image{sim::DriverImage::DefaultPath()};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FlashNotebook n;
    row.setUp(n.flash, n.pcd);
    const sim::BootOutcome boot = n.platform.RunBoot(image);
    ASSERT_TRUE(boot.entryReturned);
    EXPECT_TRUE(n.platform.violations.empty()) << n.platform.violations.front();
    std::vector<Fields> found;
    for (const sim::TraceEvent& e : n.platform.trace) {
      if (e.kind == "FlashDescriptor") found.emplace_back(e.fields.begin(), e.fields.end());
    }
    ASSERT_EQ(found.size(), 1u);
    for (const auto& [key, value] : row.expected) {
      ASSERT_EQ(found[0].count(key), 1u) << key;
      EXPECT_EQ(found[0].at(key), value) << key;
    }
  }
}

// Two HOBs to take and one to leave give a list of two nodes in HOB order,
// each in the pool its PoolKind selects (8: runtime services), with the
// descriptor copied and the payload byte for byte.
TEST_F(ResultsBoot, HeapBufferListShowsTheNodesTakenFromTheHobs) {
  sim::HeapHob first, skipped, runtime;
  first.payload = {0x01, 0x02, 0x03};
  skipped.payload = {0x55};
  skipped.take = 0;
  runtime.payload = {0xAA, 0xBB};
  runtime.poolKind = 8;
  platform.AddHeapHob(first);
  platform.AddHeapHob(skipped);
  platform.AddHeapHob(runtime);
  ASSERT_TRUE(platform.RunBoot(image).entryReturned);
  const std::vector<Fields> lists = Events("HeapBufferList");
  ASSERT_EQ(lists.size(), 1u);
  const Fields& f = lists[0];
  const Fields expected = {{"revision", "1"},
                           {"nodes", "2"},
                           {"node1.pool", "EfiBootServicesData"},
                           {"node1.signature", "0x50414548"},
                           {"node1.payloadSize", "3"},
                           {"node1.poolKind", "0"},
                           {"node1.take", "1"},
                           {"node1.payload", "01 02 03"},
                           {"node2.pool", "EfiRuntimeServicesData"},
                           {"node2.payloadSize", "2"},
                           {"node2.poolKind", "8"},
                           {"node2.payload", "AA BB"}};
  for (const auto& [key, value] : expected) {
    ASSERT_EQ(f.count(key), 1u) << key;
    EXPECT_EQ(f.at(key), value) << key;
  }
  EXPECT_EQ(f.count("node3.pool"), 0u);
  EXPECT_EQ(f.count("problem"), 0u);
}

// The boot manager's list: the 20-byte list header, the two string packages
// of the stored blob (1,623 and 791 bytes) and the 4-byte end marker, 2,438
// bytes in all.
TEST_F(ResultsBoot, PackageListShowsEachPackageLength) {
  platform.hii.SetAllPresent(true);
  ASSERT_TRUE(platform.RunBoot(image).entryReturned);
  const std::vector<Fields> lists = Events("HiiPackageList");
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0].at("guid"), "3B4D9B23-95AC-44F6-9FCD-0E9594586C72");
  EXPECT_EQ(lists[0].at("length"), "2438");
  EXPECT_EQ(lists[0].at("packageTypes"), "0x4;0x4;0xDF");
  EXPECT_EQ(lists[0].at("packageLengths"), "1623;791;4");
  EXPECT_EQ(lists[0].at("languages"), "en-US;zh-TW");
}

}  // namespace
