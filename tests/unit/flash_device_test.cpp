// Flash identification without the SPI controller: size codes, descriptor
// building, the PCD token walk and the memory-mapped command sequences.
#include "flash/flash_device.h"

#include <cstring>

#include "sim/pcd/pcd_db.h"
#include "tests/unit/driver_fixture.h"

namespace {

constexpr EFI_GUID kDevices = {0xCBDEF572, 0x719D, 0x426E, {0x8A, 0x43, 0x75, 0xAE, 0x91, 0x3C, 0xFF, 0xB2}};
constexpr EFI_GUID kParams = {0xEC17A54E, 0xFEC1, 0x431B, {0xAD, 0x9C, 0xB4, 0xF0, 0xBC, 0x6E, 0x2E, 0x56}};
constexpr EFI_GUID kInfo1 = {0x2F779836, 0x610C, 0x4615, {0xA4, 0x62, 0x54, 0xE7, 0x3E, 0xF1, 0x61, 0x92}};

TEST(FlashSizeCode, FollowsTheDeviceSize) {
  struct Row {
    uint16_t factor1, factor2;
    uint8_t code;
  };
  const Row rows[] = {{2, 0x100, 1},          {2, 0x200, 2},    {0x20, 0x40, 3},   {0x40, 0x20, 3},
                      {0x10, 0x100, 4},       {0x20, 0x100, 5}, {0x40, 0x100, 6},  {0x80, 0x100, 7},
                      {0x10, 0x1000, 8},      {0x80, 0x400, 9}, {0x10, 0x2000, 9}, {0x100, 0x400, 10},
                      {0x1000, 0x1000, 0xFF}, {3, 0x100, 0xFF}, {0, 0x100, 0xFF},  {0x200, 0x400, 0xFF}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.factor1 << " x " << row.factor2);
    FlashDeviceRecord record = {};
    static uint8_t raw[64];
    record.RawParams = raw;
    record.Entry.Kind = 2;
    record.Entry.SizeFactor1 = row.factor1;
    record.Entry.SizeFactor2 = row.factor2;
    FlashDeviceDescriptor descriptor = {};
    EXPECT_EQ(FlashDescriptorBuild(&record, &descriptor), EFI_SUCCESS);
    EXPECT_EQ(descriptor.SizeCode, row.code);
  }
}

TEST(FlashDescriptor, SpiParametersComeFromTheirRawBytes) {
  FlashDevice = {};
  FlashDevice.Spi.Flags = 0xFFFFF800;  // bits 11 and up stay as they are
  uint8_t raw[64];
  for (int i = 0; i < 64; i++) raw[i] = static_cast<uint8_t>(0xA0 + i);
  const uint8_t flagSources[7] = {1, 0, 1, 1, 0x0E, 0x05, 0xFF};  // bytes 16..22
  std::memcpy(raw + 16, flagSources, 7);
  FlashDeviceRecord record = {};
  record.RawParams = raw;
  record.Entry = {3, {}, 0x001840EF, 0x5A5A, 0x20, 0x800};
  std::memset(record.Info1, 0x11, 32);
  FlashDeviceDescriptor descriptor = {};
  ASSERT_EQ(FlashDescriptorBuild(&record, &descriptor), EFI_SUCCESS);
  const SpiFlashParams* spi = static_cast<const SpiFlashParams*>(descriptor.Params);
  ASSERT_EQ(spi, &FlashDevice.Spi);
  EXPECT_EQ(spi->Copied[0], 0xA4) << "ReadIdOpcode is raw byte 4";
  EXPECT_EQ(spi->Copied[1], 0xA5) << "EraseOpcode is raw byte 5";
  EXPECT_EQ(spi->Copied[11], 0xAF);
  // bit 0 from byte 16, 2 from 18, 3 from 19, 4-6 = 6 from byte 20, 7-9 = 5 from 21, 10 from 22.
  EXPECT_EQ(spi->Flags, 0xFFFFF800u | 0x1 | 0x4 | 0x8 | (6u << 4) | (5u << 7) | 0x400);
  EXPECT_EQ(spi->Copied2[0], 0xB8);
  EXPECT_EQ(spi->DeviceSize, 0x20u * 0x800 * 256);
  EXPECT_EQ(spi->EraseBlockSize, 0xC3C2C1C0u);
  EXPECT_EQ(spi->Aux2, 0xC7C6C5C4u);
  EXPECT_EQ(descriptor.Kind, 3u);
  EXPECT_EQ(descriptor.DeviceId, 0x001840EFu);
  EXPECT_EQ(descriptor.Aux, 0x5A5Au);
  EXPECT_EQ(descriptor.Marker, 0xFFFF);
  EXPECT_EQ(descriptor.SizeCode, 8) << "16 MiB";
  EXPECT_EQ(descriptor.Info1[31], 0x11);
  // An unknown kind fills the common fields and reports a device error.
  record.Entry.Kind = 4;
  FlashDeviceDescriptor other = {};
  EXPECT_EQ(FlashDescriptorBuild(&record, &other), EFI_DEVICE_ERROR);
  EXPECT_EQ(other.Marker, 0xFFFF);
  EXPECT_EQ(other.Params, nullptr);
  EXPECT_EQ(FlashDescriptorBuild(nullptr, &other), EFI_INVALID_PARAMETER);
  EXPECT_EQ(FlashDeviceSetCurrent(nullptr), EFI_INVALID_PARAMETER);
}

// A memory-mapped part of kind 0 or 1: answers its ID word while in ID mode
// and records every access.
class MappedPart : public sim::Device {
 public:
  MappedPart(uint64_t base, uint8_t kind, uint16_t id) : base_(base), kind_(kind), id_(id) {}
  struct Access {
    bool write;
    uint64_t offset;
    int width;
    uint32_t value;
  };
  std::vector<Access> accesses;
  uint32_t MmioRead(uint64_t address, int width) override {
    const uint32_t value = idMode_ && width == 2 && address - base_ == 0 ? id_ : (width == 2 ? 0xFFFF : 0xFF);
    accesses.push_back({false, address - base_, width, value});
    return value;
  }
  void MmioWrite(uint64_t address, int width, uint32_t value) override {
    accesses.push_back({true, address - base_, width, value});
    const uint64_t offset = address - base_;
    if (kind_ == 1) {
      if (value == 0x90) idMode_ = true;
      if (value == 0xFF) idMode_ = false;
      return;
    }
    if (value == 0xF0) {
      idMode_ = false;
      unlock_ = 0;
    } else if (unlock_ == 0 && offset == 0x555 && value == 0xAA) {
      unlock_ = 1;
    } else if (unlock_ == 1 && offset == 0x2AA && value == 0x55) {
      unlock_ = 2;
    } else if (unlock_ == 2 && offset == 0x555 && value == 0x90) {
      idMode_ = true;
    }
  }

 private:
  uint64_t base_;
  uint8_t kind_;
  uint16_t id_;
  bool idMode_ = false;
  int unlock_ = 0;
};

std::vector<uint8_t> EntryBytes(uint8_t kind, uint32_t id) {
  std::vector<uint8_t> e(16, 0);
  e[0] = kind;
  std::memcpy(e.data() + 4, &id, 4);
  e[12] = 0x10;  // 1 MiB: 0x10 x 0x100 x 256
  e[15] = 1;
  return e;
}

std::vector<uint8_t> MappedParams(uint64_t id, uint64_t cmd1, uint64_t cmd2) {
  std::vector<uint8_t> p(28, 0);
  std::memcpy(p.data() + 4, &id, 8);
  std::memcpy(p.data() + 12, &cmd1, 8);
  std::memcpy(p.data() + 20, &cmd2, 8);
  return p;
}

class FlashWalkTest : public DriverTest {
 protected:
  sim::PcdDatabase pcd{platform};
  std::vector<std::unique_ptr<MappedPart>> parts;
  // A kind-1 part per token at its own address, answering `id`.
  uint64_t AddPart(uint64_t token, uint8_t kind, uint16_t partId, uint32_t entryId) {
    const uint64_t base = 0xFF800000 + token * 0x10000;
    parts.push_back(std::make_unique<MappedPart>(base, kind, partId));
    platform.MapMmio(base, 0x1000, parts.back().get());
    pcd.DeclarePtr(kDevices, token, EntryBytes(kind, entryId));
    pcd.DeclarePtr(kParams, token,
                   kind == 0 ? MappedParams(base, base + 0x555, base + 0x2AA) : MappedParams(base, 0, 0));
    return base;
  }
  // Tokens whose part saw an access, in the order first touched.
  std::vector<uint64_t> Tried(const std::vector<uint64_t>& tokens) const {
    std::vector<uint64_t> tried;
    for (size_t i = 0; i < tokens.size(); i++) {
      if (!parts[i]->accesses.empty()) tried.push_back(tokens[i]);
    }
    return tried;
  }
  uint64_t Selector() const { return pcd.Find(kDevices, 0x20000001)->value; }
};

// Device tokens whose entry the walk reads, in order.
std::vector<uint64_t> gEntriesRead;
decltype(EFI_PCD_PROTOCOL::GetPtr) gRealGetPtr;
void* EFIAPI RecordEntryRead(const EFI_GUID* space, UINTN token) {
  if (std::memcmp(space, &kDevices, sizeof(EFI_GUID)) == 0) gEntriesRead.push_back(token);
  return gRealGetPtr(space, token);
}

TEST_F(FlashWalkTest, TheWalkSkipsTheSpecialTokensOnceEach) {
  // Token order 5, 0x12345678, 0x20000001, 7; entry 5 fails, the selector
  // token is tried as a device because it follows the generic token, 7 matches.
  AddPart(5, 1, 0x1111, 0x2222);
  pcd.DeclarePtr(kDevices, 0x12345678, EntryBytes(2, 0x12345678));
  pcd.Declare(kDevices, 0x20000001, sim::PcdDatabase::Kind::U32, 0);
  AddPart(7, 1, 0x00BF, 0xFFFF00BF);                          // only the low 16 bits compare
  pcd.DeclarePtr(kInfo1, 7, std::vector<uint8_t>(40, 0x77));  // longer than the block: cut at 32
  gEntriesRead.clear();
  gRealGetPtr = pcd.protocol.GetPtr;
  pcd.protocol.GetPtr = RecordEntryRead;
  Boot();
  pcd.protocol.GetPtr = gRealGetPtr;
  EXPECT_EQ(gEntriesRead, (std::vector<uint64_t>{5, 0x20000001, 7}));
  EXPECT_EQ(Selector(), 7u);
  EXPECT_EQ(Tried({5, 7}), (std::vector<uint64_t>{5, 7}));
  EXPECT_EQ(CurrentFlashDevice, &FlashDevice.Descriptor);
  EXPECT_EQ(FlashDevice.Descriptor.Info1[31], 0x77);
  EXPECT_EQ(FlashDevice.Record.RecordLength, 16u + 12);
  // The single command: 0x90 at the ID address, a 16-bit read there, 0xFF.
  const auto& a = parts[1]->accesses;
  ASSERT_EQ(a.size(), 3u);
  EXPECT_TRUE(a[0].write && a[0].offset == 0 && a[0].width == 1 && a[0].value == 0x90);
  EXPECT_TRUE(!a[1].write && a[1].offset == 0 && a[1].width == 2);
  EXPECT_TRUE(a[2].write && a[2].offset == 0 && a[2].width == 1 && a[2].value == 0xFF);
}

TEST_F(FlashWalkTest, TheWalkStartsAtTheRememberedToken) {
  AddPart(5, 1, 0x1234, 0x1234);
  AddPart(7, 0, 0x00BF, 0x00BF);
  pcd.Declare(kDevices, 0x20000001, sim::PcdDatabase::Kind::U32, 7);
  Boot();
  EXPECT_EQ(Selector(), 7u);
  EXPECT_EQ(Tried({5, 7}), (std::vector<uint64_t>{7})) << "5 comes before the remembered token";
  // The unlock sequence: AA at 0x555, 55 at 0x2AA, 90 at 0x555, the word, F0.
  const auto& a = parts[1]->accesses;
  ASSERT_EQ(a.size(), 5u);
  const struct {
    bool write;
    uint64_t offset;
    int width;
    uint32_t value;
  } want[] = {{true, 0x555, 1, 0xAA},
              {true, 0x2AA, 1, 0x55},
              {true, 0x555, 1, 0x90},
              {false, 0, 2, 0x00BF},
              {true, 0x555, 1, 0xF0}};
  for (size_t i = 0; i < 5; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(a[i].write, want[i].write);
    EXPECT_EQ(a[i].offset, want[i].offset);
    EXPECT_EQ(a[i].width, want[i].width);
    EXPECT_EQ(a[i].value, want[i].value);
  }
}

// A remembered token the PCD database no longer lists (a firmware update
// renumbered the list): the database cannot say what follows it, so the walk
// tries it once and then walks the list from its start.
TEST_F(FlashWalkTest, ARememberedTokenTheDatabaseLacksRestartsTheWalk) {
  AddPart(5, 1, 0x1111, 0x2222);
  AddPart(7, 1, 0x00BF, 0x00BF);
  pcd.Declare(kDevices, 0x20000001, sim::PcdDatabase::Kind::U32, 9);
  pcd.nextTokens = 0;
  Boot();
  EXPECT_EQ(Selector(), 7u);
  EXPECT_EQ(Tried({5, 7}), (std::vector<uint64_t>{5, 7}));
  EXPECT_LT(pcd.nextTokens, 10u) << "the lost token is not asked about again and again";
}

TEST_F(FlashWalkTest, RejectedEntriesFallThroughToTheGenericOne) {
  struct Row {
    const char* what;
    std::vector<uint8_t> entry;
    bool params;
  };
  const Row rows[] = {
      {"kind 4", EntryBytes(4, 1), true},
      {"kind 2 loads but is never identified", EntryBytes(2, 1), true},
      {"no parameters", EntryBytes(1, 1), false},
      {"an empty entry is kind 0 with nothing behind it", {}, true},
  };
  uint64_t token = 9;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    token++;
    pcd.DeclarePtr(kDevices, token, row.entry);
    if (row.params) pcd.DeclarePtr(kParams, token, MappedParams(0xFF000000, 0xFF000555, 0xFF0002AA));
    pcd.Declare(kDevices, 0x20000001, sim::PcdDatabase::Kind::U32, 0);
    Boot();
    EXPECT_EQ(Selector(), 0x12345678u) << "the generic token is remembered even when it is absent";
  }
}

}  // namespace
