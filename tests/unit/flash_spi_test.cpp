// SPI flash identification on the simulated FCH SPI controller with the real
// parts' data, the transfer's edge cases, the access bracket and every
// hardware wait's bound.
#include <cstring>

#include "flash/fch.h"
#include "flash/flash_device.h"
#include "sim/devices/flash_devices.h"
#include "sim/pcd/pcd_db.h"
#include "tests/unit/driver_fixture.h"

namespace {

class SpiFlashTest : public DriverTest {
 protected:
  sim::PcdDatabase pcd{platform};
  sim::FlashPlatform flash{platform, notebook};

  void SetUp() override {
    flash.SetProcessorSignature(0x00A20F10);
    flash.SetLockWindow(0xFD000000);
    DriverTest::SetUp();
  }
  // One SPI device token with the given identification and byte count.
  void Device(uint64_t token, uint32_t id, uint8_t idBytes = 3) {
    sim::DeclareFlashDevice(pcd, token, sim::EncodeFlashDeviceEntry({3, id, 0, 0x20, 0x100}),
                            sim::EncodeSpiFlashParams(sim::SpiParamsSpec().IdBytes(idBytes)));
  }
  uint64_t Selector() const { return pcd.Find(sim::kFlashDeviceTokenSpace, 0x20000001)->value; }
  const SpiFlashParams& Spi() const { return FlashDevice.Spi; }
};

// Every part in the data set, through the generic entry: two SFDP reads
// (header, then the basic table) and the parameters they give.
TEST_F(SpiFlashTest, EveryRealPartIsDiscoveredThroughSfdp) {
  struct Row {
    const char* part;
    uint32_t jedecId;
    uint32_t size;
  };
  const Row rows[] = {
      {"MT25Q256ABA", 0x0019BA20, 0x2000000}, {"MX25L1606E", 0x001520C2, 0x200000},
      {"MX25L25635F", 0x001920C2, 0x2000000}, {"MX25L25645G", 0x001920C2, 0x2000000},
      {"MX25L51245G", 0x001A20C2, 0x4000000}, {"MX25U51245G", 0x003A25C2, 0x4000000},
      {"W25Q16JV", 0x001540EF, 0x200000},     {"W25Q256JV", 0x001940EF, 0x2000000},
  };
  sim::DeclareFlashDevice(pcd, 0x12345678, sim::EncodeFlashDeviceEntry({3, 0x12345678, 0, 0x10, 0x100}),
                          sim::EncodeSpiFlashParams(sim::SpiParamsSpec()));
  sim::DeclareFlashSelector(pcd, 0x12345678);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.part);
    flash.AttachSpiPart(sim::SpiNorPart::ByName(row.part));
    flash.spi.commands.clear();
    Boot();
    EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
    EXPECT_EQ(Selector(), 0x12345678u);
    ASSERT_EQ(flash.spi.commands.size(), 2u) << "two SFDP reads and nothing more";
    EXPECT_EQ(flash.spi.commands[0].opcode, 0x5A);
    EXPECT_EQ(flash.spi.commands[0].tx, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(flash.spi.commands[0].rx.size(), 16u);
    EXPECT_EQ(flash.spi.commands[1].rx.size(), 36u) << "at most 9 DWORDs";
    EXPECT_EQ(FlashDevice.SfdpDone, 1);
    EXPECT_EQ(Spi().DeviceSize, row.size);
    EXPECT_EQ(Spi().EraseBlockSize, 4096u);
    EXPECT_EQ(Spi().Copied[1], 0x20) << "the 4 KiB erase instruction";
    EXPECT_EQ(Spi().Flags & 0x8, 0x8u) << "write granularity of 64 bytes";
    EXPECT_EQ(Spi().Flags & 0x400, 0x400u) << "non-volatile protect bits";
    EXPECT_EQ(FlashDevice.SfdpBlockEraseOpcode, 0xD8);
    EXPECT_EQ(FlashDevice.SfdpBlockEraseSizeExp, 16);
    // Listed by its JEDEC identification instead: one transfer.
    FlashDevice = {};
    sim::DeclareFlashSelector(pcd, 0);
    Device(5, row.jedecId);
    flash.spi.commands.clear();
    Boot();
    EXPECT_EQ(Selector(), 5u);
    ASSERT_EQ(flash.spi.commands.size(), 1u);
    EXPECT_EQ(flash.spi.commands[0].opcode, 0x9F);
    EXPECT_EQ(FlashDevice.SfdpDone, 0);
    sim::DeclareFlashSelector(pcd, 0x12345678);
  }
}

// The tables built for what the real parts lack (sim/data/sfdp/synthetic):
// first their fields as JESD216 lays them out, then what discovery makes of
// them through the generic entry, whose own erase block size is 0x8000 and
// whose size factors give 1 MiB.
TEST_F(SpiFlashTest, SyntheticTablesCoverWhatTheRealPartsLack) {
  struct Row {
    const char* part;
    uint32_t pointer;  // the first parameter header's table pointer
    uint8_t dwords;    // its length
    uint32_t dword1, density;
    uint8_t eraseTypes[8];
    // Expected after discovery.
    uint32_t deviceSize, eraseBlockSize;
    uint8_t eraseOpcode;
    bool granularity64, nonvolatileProtect;
    uint8_t blockEraseOpcode;
  };
  const Row rows[] = {
      {"SYN-2GBIT-LINEAR",
       0x80,
       9,
       0xFFF120E1,
       0x7FFFFFFF,
       {12, 0x20, 15, 0x52, 16, 0xD8, 0, 0},
       0x10000000,
       4096,
       0x20,
       false,
       true,
       0xD8},
      {"SYN-4GBIT-EXP",
       0x120,
       9,
       0xFFF1FFEF,
       0x80000020,
       {16, 0xDC, 18, 0xD8, 0, 0xFF, 0, 0xFF},
       0x20000000,
       0x8000,
       0xFF,
       true,
       false,
       0xDC},
      {"SYN-16GBIT-EXP",
       0x010040,
       9,
       0xFFF121ED,
       0x80000022,
       {12, 0x21, 15, 0x5C, 0, 0xFF, 16, 0xDC},
       0x80000000,
       4096,
       0x21,
       true,
       false,
       0xDC},
      {"SYN-32GBIT-EXP",
       0x30,
       16,
       0xFFF120E5,
       0x80000023,
       {15, 0x52, 16, 0xD8, 16, 0xDC, 0, 0xFF},
       0x100000,
       4096,
       0x20,
       true,
       true,
       0xD8},
  };
  sim::SpiParamsSpec generic;
  generic.eraseBlockSize = 0x8000;
  sim::DeclareFlashDevice(pcd, 0x12345678, sim::EncodeFlashDeviceEntry({3, 0x12345678, 0, 0x10, 0x100}),
                          sim::EncodeSpiFlashParams(generic));
  sim::DeclareFlashSelector(pcd, 0x12345678);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.part);
    const sim::SpiNorPart part =
        sim::SpiNorPart::FromFile(sim::SpiNorPart::DataDirectory() + "/synthetic/" + row.part + ".json");
    const auto byte = [&](uint32_t address) { return part.SfdpByte(address); };
    const auto dword = [&](uint32_t address) {
      return uint32_t{byte(address)} | uint32_t{byte(address + 1)} << 8 | uint32_t{byte(address + 2)} << 16 |
             uint32_t{byte(address + 3)} << 24;
    };
    EXPECT_EQ(dword(0), 0x50444653u) << "\"SFDP\"";
    EXPECT_EQ(byte(7), 0xFF) << "access protocol";
    EXPECT_EQ(byte(8), 0x00) << "ID LSB of the basic flash parameter table";
    EXPECT_EQ(byte(10), 0x01) << "major revision";
    EXPECT_EQ(byte(11), row.dwords);
    EXPECT_EQ(dword(12) & 0xFFFFFF, row.pointer);
    EXPECT_EQ(byte(15), 0xFF) << "ID MSB";
    EXPECT_EQ(dword(row.pointer), row.dword1);
    EXPECT_EQ(dword(row.pointer + 4), row.density);
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(byte(row.pointer + 28 + i), row.eraseTypes[i]) << i;
    EXPECT_EQ(part.sfdp.count(row.pointer + row.dwords * 4u - 1u), 1u)
        << "the table is as long as its header says";
    EXPECT_EQ(part.sfdp.count(row.pointer + row.dwords * 4u), 0u);

    flash.AttachSpiPart(part);
    flash.spi.commands.clear();
    Boot();
    EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
    ASSERT_EQ(flash.spi.commands.size(), 2u);
    const uint8_t at[4] = {static_cast<uint8_t>(row.pointer >> 16), static_cast<uint8_t>(row.pointer >> 8),
                           static_cast<uint8_t>(row.pointer), 0};
    EXPECT_EQ(flash.spi.commands[1].tx, std::vector<uint8_t>(at, at + 4)) << "24-bit address, dummy byte";
    EXPECT_EQ(flash.spi.commands[1].rx.size(), 36u);
    EXPECT_EQ(Spi().DeviceSize, row.deviceSize);
    EXPECT_EQ(Spi().EraseBlockSize, row.eraseBlockSize);
    EXPECT_EQ(Spi().Copied[1], row.eraseOpcode);
    EXPECT_EQ((Spi().Flags & 0x8) != 0, row.granularity64);
    EXPECT_EQ((Spi().Flags & 0x400) != 0, row.nonvolatileProtect);
    EXPECT_EQ(FlashDevice.SfdpBlockEraseOpcode, row.blockEraseOpcode);
    EXPECT_EQ(FlashDevice.SfdpBlockEraseSizeExp, 16);
  }
}

TEST_F(SpiFlashTest, TheIdentificationComparesAll32BitsOfTheReceivedBytes) {
  flash.AttachSpiPart(sim::SpiNorPart::ByName("W25Q16JV"));  // answers EF 40 15
  struct Row {
    uint32_t id;
    uint8_t bytes;
    bool accepted;
  };
  const Row rows[] = {{0x001540EF, 3, true},  {0x000040EF, 2, true},  {0x000000EF, 1, true},
                      {0x001540EF, 2, false}, {0x000000EF, 3, false}, {0, 0, true},
                      {0x001540EE, 3, false}};
  uint64_t token = 20;
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.id << " with " << int(row.bytes) << " bytes");
    sim::DeclareFlashSelector(pcd, static_cast<uint32_t>(++token));
    Device(token, row.id, row.bytes);
    flash.spi.commands.clear();
    Boot();
    EXPECT_EQ(Selector() == token, row.accepted);
    ASSERT_FALSE(flash.spi.commands.empty());
    EXPECT_EQ(flash.spi.commands[0].opcode, 0x9F) << "the opcode is sent even for 0 bytes";
    EXPECT_EQ(flash.spi.commands[0].rx.size(), row.bytes);
  }
  // Only two of the three length bits count: a source byte of 7 asks for 3 bytes.
  sim::DeclareFlashSelector(pcd, 40);
  Device(40, 0x001540EF, 7);
  flash.spi.commands.clear();
  Boot();
  EXPECT_EQ(Selector(), 40u);
  ASSERT_FALSE(flash.spi.commands.empty());
  EXPECT_EQ(flash.spi.commands[0].rx.size(), 3u);
}

TEST_F(SpiFlashTest, TransferCountsAreCutToTheFifo) {
  flash.AttachSpiPart(sim::SpiNorPart::ByName("W25Q16JV"));
  uint8_t tx[67] = {};
  uint8_t rx[70] = {};
  struct Row {
    const char* what;
    UINT8 txCount;
    bool rxCountGiven, rxBytesGiven;
    UINT8 want;
    EFI_STATUS status;
    size_t programmedRx;
    UINT8 reported;
  };
  const Row rows[] = {
      {"67 sent, 5 wanted: nothing received", 67, true, true, 5, EFI_SUCCESS, 0, 5},
      {"4 sent, 70 wanted: 63 received", 4, true, true, 70, EFI_SUCCESS, 63, 63},
      {"no count: receive nothing", 4, false, true, 0, EFI_SUCCESS, 0, 0},
      {"no buffer: the controller still receives 5", 0, true, false, 5, EFI_SUCCESS, 5, 5},
      {"68 sent is refused", 68, true, true, 5, EFI_BAD_BUFFER_SIZE, 0, 5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    flash.spi.commands.clear();
    UINT8 count = row.want;
    EXPECT_EQ(SpiTransfer(0x5A, tx, row.txCount, row.rxBytesGiven ? rx : nullptr,
                          row.rxCountGiven ? &count : nullptr),
              row.status);
    if (row.status == EFI_SUCCESS) {
      ASSERT_EQ(flash.spi.commands.size(), 1u);
      EXPECT_EQ(flash.spi.commands[0].tx.size(), row.txCount);
      EXPECT_EQ(flash.spi.commands[0].rx.size(), row.programmedRx);
    } else {
      EXPECT_TRUE(flash.spi.commands.empty()) << "nothing is touched";
    }
    if (row.rxCountGiven) {
      EXPECT_EQ(count, row.reported);
    }
  }
  EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
}

// Every wait has a bound: a controller that is absent or stuck, or a lock
// the other agent never gives up, rejects the entry instead of hanging.
TEST_F(SpiFlashTest, EveryWaitIsBounded) {
  struct Row {
    const char* what;
    std::function<void()> arrange;
  };
  const Row rows[] = {
      {"no controller", [this] { flash.spi.SetPresent(false); }},
      {"busy forever", [this] { flash.spi.behaviour.stuckBusy = true; }},
      {"a FIFO pointer that never resets",
       [this] {
         flash.spi.behaviour.fifoResetIgnored = true;
         flash.spi.behaviour.fifoPointerAtBoot = 3;
       }},
      {"a lock never released", [this] { flash.peer.mode = sim::FlashLockPeer::Mode::Never; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    sim::SpiController::Behaviour fresh;
    flash.spi.behaviour = fresh;
    flash.spi.SetPresent(true);
    flash.peer.mode = sim::FlashLockPeer::Mode::Idle;
    flash.AttachSpiPart(sim::SpiNorPart::ByName("W25Q16JV"));
    row.arrange();
    sim::DeclareFlashSelector(pcd, 7);
    Device(7, 0x001540EF);
    const uint32_t reg298 = flash.FchRegister(0x298), reg2A8 = flash.FchRegister(0x2A8);
    Boot();  // a wait without a bound would be stopped as a hang
    EXPECT_NE(Selector(), 7u) << "the entry is rejected";
    EXPECT_EQ(flash.FchRegister(0x298), reg298) << "restored";
    EXPECT_EQ(flash.FchRegister(0x2A8), reg2A8) << "restored";
    EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
  }
}

TEST_F(SpiFlashTest, TheBracketSavesAndRestoresTheRegistersAndIdlesTheImcOnlyInAcpiMode) {
  notebook.EnableImc(true);
  flash.SetFchRegister(0x2A8, 0xFF);
  flash.SetFchRegister(0x298, 0x00C40100);
  for (bool acpi : {false, true}) {
    SCOPED_TRACE(acpi ? "SCI_EN set" : "SCI_EN clear");
    flash.SetSciEnabled(acpi);
    const size_t imcBefore = notebook.imc.requests.size();
    const size_t traceBefore = platform.trace.size();
    EXPECT_EQ(FlashAccessOpen(), EFI_SUCCESS);
    EXPECT_EQ(flash.FchRegister(0x298), 0x80C40100u);
    EXPECT_EQ(flash.FchRegister(0x2A8), 0xF3u);
    flash.SetFchRegister(0x2A8, 0x12);  // changed while open: close puts back the value taken at open
    EXPECT_EQ(FlashAccessClose(), EFI_SUCCESS);
    EXPECT_EQ(flash.FchRegister(0x298), 0x00C40100u);
    EXPECT_EQ(flash.FchRegister(0x2A8), 0xFFu);
    EXPECT_EQ(notebook.imc.requests.size() - imcBefore, acpi ? 2u : 0u);
    // The microcontroller is idled before 0xFED80298 changes and told to
    // resume before it is restored; 0xFED802A8 follows 0xFED80298 both ways.
    std::vector<std::string> order;
    for (size_t i = traceBefore; i < platform.trace.size(); ++i) {
      const sim::TraceEvent& e = platform.trace[i];
      if (e.kind == "ImcRequest") order.push_back("IMC");
      for (const auto& f : e.fields) {
        if (e.kind == "FlashRegister" && f.first == "register") order.push_back(f.second);
      }
    }
    const std::vector<std::string> open = {"0xFED80298", "0xFED802A8"};
    std::vector<std::string> expected;
    for (int pass = 0; pass < 2; ++pass) {
      if (acpi) expected.push_back("IMC");
      expected.insert(expected.end(), open.begin(), open.end());
    }
    EXPECT_EQ(order, expected);
  }
}

// The other agent takes the lock while the flash is open and never gives it
// back: close still puts both registers back and lets the microcontroller
// resume (flash left writable and the microcontroller idle for the rest of
// the boot would be worse than one unlocked restore), withdraws the host's
// claim and reports EFI_TIMEOUT.
TEST_F(SpiFlashTest, CloseRestoresTheRegistersEvenWithoutTheLock) {
  notebook.EnableImc(true);
  flash.SetSciEnabled(true);
  flash.SetFchRegister(0x2A8, 0xFF);
  flash.SetFchRegister(0x298, 0x00C40100);
  ASSERT_EQ(FlashAccessOpen(), EFI_SUCCESS);
  const size_t imcBefore = notebook.imc.requests.size();
  flash.peer.peerFlag = 1;
  flash.peer.turn = 1;
  const uint64_t reads = flash.peer.peerFlagReads;
  EXPECT_EQ(FlashAccessClose(), EFI_TIMEOUT);
  EXPECT_GE(flash.peer.peerFlagReads - reads, 1000000u) << "a million reads of the other agent's flag";
  EXPECT_EQ(flash.FchRegister(0x298), 0x00C40100u);
  EXPECT_EQ(flash.FchRegister(0x2A8), 0xFFu);
  EXPECT_EQ(notebook.imc.requests.size() - imcBefore, 1u) << "the resume request";
  EXPECT_EQ(flash.peer.hostFlag, 0u) << "the host's claim withdrawn";
  EXPECT_EQ(platform.violations.size(), 2u) << "the two unlocked changes the simulator sees";
}

TEST_F(SpiFlashTest, TheLockWindowRegisterFollowsTheProcessorFamily) {
  struct Row {
    uint32_t eax;
    uint32_t index;
  };
  const Row rows[] = {{0x00A20F10, 0x13E102E0},
                      {0x00870F10, 0x13E102E0},
                      {0x00830F00, 0x13E102E0},
                      {0x00860F01, 0x13B102E0},
                      {0x00810F10, 0x13B102E0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.eax);
    flash.SetProcessorSignature(row.eax);
    UINT32 base = 0;
    FindFlashLockBase(&base);
    EXPECT_EQ(flash.hostBridge.Index(), row.index);
  }
  // A window value without bits 31..20 has no lock to take; an all-ones read
  // is a register nothing decodes (the lock words would land in the boot
  // flash below 4 GiB). Neither gives lock traffic.
  struct Window {
    uint32_t value;
    bool found;
    uint32_t base;
  };
  const Window windows[] = {{0x000FFFFF, false, 0}, {0xFFFFFFFF, false, 0}, {0xFD000000, true, 0xFD000000}};
  flash.SetProcessorSignature(0x00A20F10);
  for (const Window& w : windows) {
    SCOPED_TRACE(testing::Message() << std::hex << w.value);
    flash.SetLockWindow(w.value);
    const uint64_t acquisitions = flash.peer.acquisitions;
    UINT32 base = 7;
    EXPECT_EQ(FindFlashLockBase(&base) != 0, w.found);
    EXPECT_EQ(base, w.base);
    EXPECT_EQ(FlashAccessOpen(), EFI_SUCCESS);
    EXPECT_EQ(FlashAccessClose(), EFI_SUCCESS);
    EXPECT_EQ(flash.peer.acquisitions - acquisitions, w.found ? 2u : 0u) << "open and close each take it";
  }
}

TEST_F(SpiFlashTest, TheFchPageGetsTheRuntimeAttribute) {
  ASSERT_FALSE(platform.dxeSetAttributesCalls.empty());
  const auto& call = platform.dxeSetAttributesCalls.back();
  EXPECT_EQ(call.base, 0xFED80000u);
  EXPECT_EQ(call.length, 0x1000u);
  EXPECT_EQ(call.attributes, 0x8000000000000000u);
  // Without a DXE services table nothing is called.
  platform.dxeServices = false;
  const size_t calls = platform.dxeSetAttributesCalls.size();
  Boot();
  EXPECT_EQ(platform.dxeSetAttributesCalls.size(), calls);
}

}  // namespace
