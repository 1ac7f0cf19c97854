// The flash hardware models through the hardware seam: the SPI controller's
// registers and commands on the clock, the real parts behind it, the
// memory-mapped parts' ID sequences, the host bridge window, the lock peer,
// the FCH register page shared with the IMC gate, the device map and PCD
// builders.
#include "sim/devices/flash_devices.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sim/platform.h"
#include "support/base/hw.h"

namespace {

constexpr uint64_t kCtl = 0xFEC10000;
constexpr uint64_t kFifo = 0xFEC1000C;
constexpr uint64_t kFifoPointer = 0xFEC1000D;
constexpr uint64_t kExtIndex = 0xFEC1001E;
constexpr uint64_t kExtData = 0xFEC1001F;
constexpr uint64_t kFifoPosition = 0xFEC1004E;

constexpr EFI_GUID kFdmSpace = {0xC51F1883, 0xDF00, 0x4F6A, {0x08, 0xA0, 0x36, 0x9F, 0x60, 0x98, 0xFD, 0xAF}};
constexpr EFI_GUID kDeviceSpace = {
    0xCBDEF572, 0x719D, 0x426E, {0x8A, 0x43, 0x75, 0xAE, 0x91, 0x3C, 0xFF, 0xB2}};
constexpr EFI_GUID kParamSpace = {
    0xEC17A54E, 0xFEC1, 0x431B, {0xAD, 0x9C, 0xB4, 0xF0, 0xBC, 0x6E, 0x2E, 0x56}};

class Flash : public ::testing::Test {
 protected:
  void SetUp() override { p.BeginBoot(); }
  void TearDown() override {
    if (!expectViolations) {
      EXPECT_TRUE(p.violations.empty()) << (p.violations.empty() ? "" : p.violations.front());
    }
  }

  bool WaitIdle(int bound = 1000) {
    for (int i = 0; i < bound; ++i) {
      if ((MmioRead32(kCtl) & 0x80010000u) == 0) return true;
    }
    return false;
  }
  void ResetFifo() { MmioWrite32(kCtl, MmioRead32(kCtl) | 0x100000u); }
  void SetCounts(uint8_t tx, uint8_t rx) {
    MmioWrite8(kExtIndex, 5);
    MmioWrite8(kExtData, tx);
    MmioWrite8(kExtIndex, 6);
    MmioWrite8(kExtData, rx);
  }
  void Start(uint8_t opcode, const std::vector<uint8_t>& tx, uint8_t rx) {
    ResetFifo();
    for (uint8_t b : tx) MmioWrite8(kFifo, b);
    SetCounts(static_cast<uint8_t>(tx.size()), rx);
    MmioWrite8(kCtl, opcode);
    MmioWrite32(kCtl, MmioRead32(kCtl) | 0x10000u);
  }
  // FIFO bytes from position `start` on, read as the receive side does.
  std::vector<uint8_t> FifoFrom(uint8_t start, unsigned count) {
    ResetFifo();
    for (int i = 0; i < 100 && MmioRead8(kFifoPosition) != start; ++i) MmioRead8(kFifo);
    std::vector<uint8_t> out;
    for (unsigned i = 0; i < count; ++i) out.push_back(MmioRead8(kFifo));
    return out;
  }
  std::vector<uint8_t> Command(uint8_t opcode, const std::vector<uint8_t>& tx, uint8_t rx) {
    Start(opcode, tx, rx);
    EXPECT_TRUE(WaitIdle());
    return FifoFrom(static_cast<uint8_t>(tx.size()), rx);
  }
  bool HasViolation(const std::string& part) const {
    for (const std::string& v : p.violations) {
      if (v.find(part) != std::string::npos) return true;
    }
    return false;
  }

  sim::Platform p;
  sim::Notebook nb{p};
  sim::FlashPlatform flash{p, nb};
  bool expectViolations = false;
};

// ---------------------------------------------------------------- controller registers
TEST_F(Flash, ControllerRegistersBehaveAsDescribed) {
  struct Case {
    const char* what;
    std::function<void()> act;
    uint64_t address;
    int width;
    uint32_t expected;
  };
  const std::vector<Case> cases = {
      {"ext register 5 reads back", [] { MmioWrite8(kExtIndex, 5), MmioWrite8(kExtData, 4); }, kExtData, 1,
       4},
      {"ext register 6 reads back", [] { MmioWrite8(kExtIndex, 6), MmioWrite8(kExtData, 16); }, kExtData, 1,
       16},
      {"ext index reads back", [] { MmioWrite8(kExtIndex, 6); }, kExtIndex, 1, 6},
      {"other registers hold 32-bit values", [] { MmioWrite32(0xFEC10004, 0x12345678); }, 0xFEC10004, 4,
       0x12345678},
      {"opcode byte at offset 0", [] { MmioWrite8(kCtl, 0x9F); }, kCtl, 4, 0x9F},
      {"three FIFO writes move the pointer to 3",
       [] {
         for (int i = 0; i < 3; ++i) MmioWrite8(kFifo, 0x11);
       },
       kFifoPointer, 1, 3},
      {"the transmit pointer shows bits 2..0 only",
       [] {
         for (int i = 0; i < 9; ++i) MmioWrite8(kFifo, 0);
       },
       kFifoPointer, 1, 1},
      {"the receive position shows all 8 bits",
       [] {
         for (int i = 0; i < 9; ++i) MmioWrite8(kFifo, 0);
       },
       kFifoPosition, 1, 9},
      {"FIFO reads move the position too",
       [] {
         for (int i = 0; i < 5; ++i) MmioRead8(kFifo);
       },
       kFifoPosition, 1, 5},
      {"bit 20 resets the pointer and reads 0 after",
       [] {
         for (int i = 0; i < 6; ++i) MmioWrite8(kFifo, 0);
         MmioWrite32(kCtl, 0x100000);
       },
       kCtl, 4, 0},
      {"after the reset the pointer is 0",
       [] {
         for (int i = 0; i < 6; ++i) MmioWrite8(kFifo, 0);
         MmioWrite32(kCtl, 0x100000);
       },
       kFifoPosition, 1, 0},
      {"the pointer wraps after 67 bytes",
       [] {
         for (int i = 0; i < 69; ++i) MmioWrite8(kFifo, 0);
       },
       kFifoPosition, 1, 2},
  };
  for (const Case& c : cases) {
    p.BeginBoot();
    c.act();
    const uint32_t value = c.width == 1 ? MmioRead8(c.address) : MmioRead32(c.address);
    EXPECT_EQ(value, c.expected) << c.what;
  }
}

TEST_F(Flash, TransfersPutTheAnswerAfterTheTransmitBytes) {
  flash.AttachSpiPart(sim::SpiNorPart::ByName("W25Q16JV"));
  struct Case {
    const char* what;
    uint8_t opcode;
    std::vector<uint8_t> tx;
    uint8_t rx;
    std::vector<uint8_t> expected;
  };
  const std::vector<Case> cases = {
      {"JEDEC ID", 0x9F, {}, 3, {0xEF, 0x40, 0x15}},
      {"ID bytes end in 0xFF", 0x9F, {}, 5, {0xEF, 0x40, 0x15, 0xFF, 0xFF}},
      {"a transmit byte overlaps the first ID byte", 0x9F, {0x00}, 3, {0x40, 0x15, 0xFF}},
      {"SFDP header",
       0x5A,
       {0, 0, 0, 0},
       16,
       {0x53, 0x46, 0x44, 0x50, 0x05, 0x01, 0x00, 0xFF, 0x00, 0x05, 0x01, 0x10, 0x80, 0x00, 0x00, 0xFF}},
      {"SFDP basic table at 0x80",
       0x5A,
       {0, 0, 0x80, 0},
       8,
       {0xE5, 0x20, 0xF9, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
      {"unlisted SFDP bytes read 0xFF", 0x5A, {0, 0x10, 0, 0}, 4, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"without the dummy byte the first byte time is the dummy",
       0x5A,
       {0, 0, 0},
       4,
       {0xFF, 0x53, 0x46, 0x44}},
      {"63 bytes after 4 transmit bytes fill the FIFO",
       0x5A,
       {0, 0x80, 0x38, 0},
       63,
       std::vector<uint8_t>(63, 0xFF)},
      {"unknown opcode", 0x05, {}, 2, {0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Command(c.opcode, c.tx, c.rx), c.expected) << c.what;
  }
  ASSERT_EQ(flash.spi.commands.size(), cases.size());
  EXPECT_EQ(flash.spi.commands[3].tx, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(flash.spi.commands[3].rx.size(), 16u);
  // The transmit bytes stay in the FIFO in front of the answer.
  Start(0x5A, {0, 0, 0x80, 0}, 2);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(FifoFrom(0, 6), (std::vector<uint8_t>{0, 0, 0x80, 0, 0xE5, 0x20}));
}

TEST_F(Flash, EverySpiCommandIsTracedDecoded) {
  flash.AttachSpiPart(sim::SpiNorPart::ByName("MX25L1606E"));
  Command(0x5A, {0, 0, 0x30, 0}, 2);
  const sim::TraceEvent* spi = nullptr;
  for (const sim::TraceEvent& e : p.trace) {
    if (e.kind == "Spi") spi = &e;
  }
  ASSERT_NE(spi, nullptr);
  const std::vector<std::pair<std::string, std::string>> want = {
      {"opcode", "0x5A"}, {"address", "0x000030"}, {"tx", "00 00 30 00"}, {"rx", "E5 20"}};
  for (const auto& field : want) {
    bool found = false;
    for (const auto& f : spi->fields) found |= f == field;
    EXPECT_TRUE(found) << field.first << " in " << spi->text;
  }
}

TEST_F(Flash, ControllerIsBusyForTheTransferTimeOnTheClock) {
  flash.AttachSpiPart(sim::SpiNorPart::ByName("W25Q16JV"));
  // 21 bytes at 33 MHz: 168 clocks of 30.3 ns = 5091 ns, plus 500 ns overhead.
  EXPECT_EQ(flash.spi.CommandNs(21), 5591u);
  Start(0x5A, {0, 0, 0, 0}, 16);
  const uint64_t started = p.clock.Now();
  EXPECT_EQ(MmioRead32(kCtl) & 0x80010000u, 0x80010000u);
  p.clock.Advance(5591 - (p.clock.Now() - started) - 1);
  EXPECT_TRUE(flash.spi.Busy()) << "one nanosecond before the end";
  p.clock.Advance(1);
  EXPECT_FALSE(flash.spi.Busy());
  EXPECT_EQ(MmioRead32(kCtl) & 0x80010000u, 0u);
  EXPECT_EQ(FifoFrom(4, 4), (std::vector<uint8_t>{0x53, 0x46, 0x44, 0x50}));
}

TEST_F(Flash, MisuseOfTheControllerIsAViolation) {
  expectViolations = true;
  flash.AttachSpiPart(sim::SpiNorPart::ByName("W25Q16JV"));
  struct Case {
    const char* what;
    std::function<void()> act;
    const char* violation;
  };
  const auto busy = [this] { Start(0x9F, {}, 3); };
  const std::vector<Case> cases = {
      {"FIFO written while busy", [&] { busy(), MmioWrite8(kFifo, 1); }, "FIFO write while a command runs"},
      {"FIFO read while busy", [&] { busy(), MmioRead8(kFifo); }, "FIFO read while a command runs"},
      {"count written while busy", [&] { busy(), SetCounts(1, 1); }, "transfer count written while"},
      {"started while busy", [&] { busy(), MmioWrite32(kCtl, 0x10000); }, "command started while"},
      {"FIFO reset while busy", [&] { busy(), MmioWrite32(kCtl, 0x100000); }, "FIFO pointer reset while"},
      {"more than 67 bytes",
       [&] {
         Start(0x5A, {0, 0, 0, 0}, 64);
       },
       "more than the 67-byte FIFO"},
      {"32-bit access to the FIFO port", [] { MmioRead32(kFifo); }, "4-byte read of the byte register"},
  };
  for (const Case& c : cases) {
    p.BeginBoot();
    p.violations.clear();
    c.act();
    EXPECT_TRUE(HasViolation(c.violation)) << c.what << ": " << (p.violations.empty() ? "" : p.violations[0]);
  }
  // The oversized command still ran with the receive count cut to what fits.
  p.BeginBoot();
  Start(0x5A, {0, 0, 0, 0}, 64);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(flash.spi.commands.back().rx.size(), 63u);
}

TEST_F(Flash, ControllerBehavioursForBoundedWaits) {
  flash.AttachSpiPart(sim::SpiNorPart::ByName("W25Q16JV"));
  // Stuck busy: busy from the start of the boot, a second of polling later too.
  flash.spi.behaviour.stuckBusy = true;
  p.BeginBoot();
  EXPECT_FALSE(WaitIdle(10));
  p.clock.Advance(1000000000);
  EXPECT_EQ(MmioRead32(kCtl) & 0x80010000u, 0x80010000u);
  flash.spi.behaviour.stuckBusy = false;

  // A command that never completes.
  flash.spi.behaviour.neverCompletes = true;
  p.BeginBoot();
  Start(0x9F, {}, 3);
  p.clock.Advance(1000000000);
  EXPECT_FALSE(WaitIdle(10));
  EXPECT_TRUE(flash.spi.commands.empty());
  flash.spi.behaviour.neverCompletes = false;

  // A slow FIFO reset: bit 20 reads 1 and the pointer stays until it is done.
  flash.spi.behaviour.fifoResetNs = 2000;
  p.BeginBoot();
  for (int i = 0; i < 3; ++i) MmioWrite8(kFifo, 0);
  MmioWrite32(kCtl, 0x100000);
  EXPECT_EQ(MmioRead32(kCtl) & 0x100000u, 0x100000u);
  EXPECT_EQ(MmioRead8(kFifoPointer), 3);
  p.clock.Advance(2000);
  EXPECT_EQ(MmioRead8(kFifoPointer), 0);
  EXPECT_EQ(MmioRead32(kCtl) & 0x100000u, 0u);
  flash.spi.behaviour.fifoResetNs = 0;

  // A FIFO pointer that never resets.
  flash.spi.behaviour.fifoResetIgnored = true;
  flash.spi.behaviour.fifoPointerAtBoot = 3;
  p.BeginBoot();
  for (int i = 0; i < 20; ++i) ResetFifo();
  EXPECT_EQ(MmioRead8(kFifoPointer), 3);

  // Absent: the whole block reads all ones.
  flash.spi.SetPresent(false);
  EXPECT_EQ(MmioRead32(kCtl), 0xFFFFFFFFu);
  EXPECT_EQ(MmioRead8(kFifoPosition), 0xFF);
  flash.spi.SetPresent(true);
  EXPECT_NE(MmioRead32(kCtl), 0xFFFFFFFFu);
}

TEST_F(Flash, NoPartOnTheBusAnswersAllOnes) {
  EXPECT_EQ(Command(0x9F, {}, 3), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF}));
}

// ---------------------------------------------------------------- the real parts
TEST_F(Flash, EveryRealPartAnswersItsIdAndSfdpThroughTheController) {
  struct Part {
    const char* name;
    std::vector<uint8_t> id;
    std::vector<uint8_t> header;
    uint8_t table;
    std::vector<uint8_t> firstTableBytes;
  };
  const std::vector<Part> parts = {
      {"MT25Q256ABA",
       {0x20, 0xBA, 0x19},
       {0x53, 0x46, 0x44, 0x50, 0x06, 0x01, 0x01, 0xFF, 0x00, 0x06, 0x01, 0x10, 0x30, 0x00, 0x00, 0xFF},
       0x30,
       {0xE5, 0x20, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
      {"MX25L1606E",
       {0xC2, 0x20, 0x15},
       {0x53, 0x46, 0x44, 0x50, 0x00, 0x01, 0x01, 0xFF, 0x00, 0x00, 0x01, 0x09, 0x30, 0x00, 0x00, 0xFF},
       0x30,
       {0xE5, 0x20, 0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
      {"MX25L25635F",
       {0xC2, 0x20, 0x19},
       {0x53, 0x46, 0x44, 0x50, 0x00, 0x01, 0x01, 0xFF, 0x00, 0x00, 0x01, 0x09, 0x30, 0x00, 0x00, 0xFF},
       0x30,
       {0xE5, 0x20, 0xF3, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
      {"MX25L25645G",
       {0xC2, 0x20, 0x19},
       {0x53, 0x46, 0x44, 0x50, 0x06, 0x01, 0x02, 0xFF, 0x00, 0x06, 0x01, 0x10, 0x30, 0x00, 0x00, 0xFF},
       0x30,
       {0xE5, 0x20, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
      {"MX25L51245G",
       {0xC2, 0x20, 0x1A},
       {0x53, 0x46, 0x44, 0x50, 0x06, 0x01, 0x02, 0xFF, 0x00, 0x06, 0x01, 0x10, 0x30, 0x00, 0x00, 0xFF},
       0x30,
       {0xE5, 0x20, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0x1F}},
      {"MX25U51245G",
       {0xC2, 0x25, 0x3A},
       {0x53, 0x46, 0x44, 0x50, 0x06, 0x01, 0x02, 0xFF, 0x00, 0x06, 0x01, 0x10, 0x30, 0x00, 0x00, 0xFF},
       0x30,
       {0xE5, 0x20, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0x1F}},
      {"W25Q16JV",
       {0xEF, 0x40, 0x15},
       {0x53, 0x46, 0x44, 0x50, 0x05, 0x01, 0x00, 0xFF, 0x00, 0x05, 0x01, 0x10, 0x80, 0x00, 0x00, 0xFF},
       0x80,
       {0xE5, 0x20, 0xF9, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
      {"W25Q256JV",
       {0xEF, 0x40, 0x19},
       {0x53, 0x46, 0x44, 0x50, 0x05, 0x01, 0x00, 0xFF, 0x00, 0x05, 0x01, 0x10, 0x80, 0x00, 0x00, 0xFF},
       0x80,
       {0xE5, 0x20, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
  };
  std::vector<std::string> names;
  for (const Part& part : parts) names.push_back(part.name);
  EXPECT_EQ(sim::SpiNorPart::KnownParts(), names) << "every data file has a row here";
  for (const Part& part : parts) {
    flash.AttachSpiPart(sim::SpiNorPart::ByName(part.name));
    p.BeginBoot();
    EXPECT_EQ(Command(0x9F, {}, 3), part.id) << part.name;
    EXPECT_EQ(Command(0x5A, {0, 0, 0, 0}, 16), part.header) << part.name;
    EXPECT_EQ(Command(0x5A, {0, 0, part.table, 0}, 8), part.firstTableBytes) << part.name;
  }
}

TEST(SpiNorPart, InlinePartsAndBadData) {
  const sim::SpiNorPart part =
      sim::SpiNorPart::FromJson(R"({"jedecId": "01 02", "sfdp": [{"address": "0x10", "bytes": "AA BB"}]})");
  EXPECT_EQ(part.jedecId, (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(part.SfdpByte(0x10), 0xAA);
  EXPECT_EQ(part.SfdpByte(0x11), 0xBB);
  EXPECT_EQ(part.SfdpByte(0x12), 0xFF);
  const std::vector<std::pair<const char*, const char*>> bad = {
      {"[1]", "not a JSON object"},
      {R"({"sfdp": []})", "\"jedecId\""},
      {R"({"jedecId": "EF 4"})", "\"4\" is not a hex byte"},
      {R"({"jedecId": "EF", "colour": 1})", "unknown key \"colour\""},
      {R"({"jedecId": "EF", "sfdp": [{"address": "0xFFFFFF", "bytes": "01 02"}]})", "24-bit"},
      {R"({"jedecId": "EF", "sfdp": [{"address": "zz", "bytes": "01"}]})", "is not a number"},
  };
  for (const auto& [text, message] : bad) {
    try {
      sim::SpiNorPart::FromJson(text);
      ADD_FAILURE() << text << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(sim::SpiNorPart::ByName("NOPE"), std::runtime_error);
  EXPECT_THROW(sim::SpiNorPart::ByName("../W25Q16JV"), std::runtime_error);
}

// ---------------------------------------------------------------- memory-mapped parts
TEST_F(Flash, MappedPartsAnswerTheirIdSequences) {
  using Method = sim::MappedFlashPart::Method;
  constexpr uint64_t kBase = 0xFFF00000;
  sim::MappedFlashPart& unlock = flash.AddMappedPart(Method::UnlockSequence, kBase, 0x80000, 0x00BF, kBase,
                                                     kBase + 0x5555, kBase + 0x2AAA);
  sim::MappedFlashPart& single =
      flash.AddMappedPart(Method::SingleCommand, 0xFFE00000, 0x80000, 0x8989, 0xFFE00000, 0, 0);
  struct Case {
    const char* what;
    std::function<void()> writes;
    uint64_t read;
    uint16_t expected;
  };
  const std::vector<Case> cases = {
      {"array content outside ID mode", [] {}, kBase, 0xFFFF},
      {"AA 55 90 enters ID mode",
       [] {
         MmioWrite8(kBase + 0x5555, 0xAA), MmioWrite8(kBase + 0x2AAA, 0x55), MmioWrite8(kBase + 0x5555, 0x90);
       },
       kBase, 0x00BF},
      {"F0 leaves it",
       [] {
         MmioWrite8(kBase + 0x5555, 0xAA), MmioWrite8(kBase + 0x2AAA, 0x55), MmioWrite8(kBase + 0x5555, 0x90);
         MmioWrite8(kBase + 0x5555, 0xF0);
       },
       kBase, 0xFFFF},
      {"the sequence out of order is ignored",
       [] {
         MmioWrite8(kBase + 0x2AAA, 0x55), MmioWrite8(kBase + 0x5555, 0xAA), MmioWrite8(kBase + 0x5555, 0x90);
       },
       kBase, 0xFFFF},
      {"the second cycle at the wrong address is ignored",
       [] {
         MmioWrite8(kBase + 0x5555, 0xAA), MmioWrite8(kBase + 0x5555, 0x55), MmioWrite8(kBase + 0x5555, 0x90);
       },
       kBase, 0xFFFF},
      {"90 alone does not unlock kind 0", [] { MmioWrite8(kBase + 0x5555, 0x90); }, kBase, 0xFFFF},
      {"90 enters ID mode of kind 1", [] { MmioWrite8(0xFFE00000, 0x90); }, 0xFFE00000, 0x8989},
      {"FF leaves it", [] { MmioWrite8(0xFFE00000, 0x90), MmioWrite8(0xFFE00000, 0xFF); }, 0xFFE00000,
       0xFFFF},
      {"a 16-bit command write is ignored", [] { MmioWrite16(0xFFE00000, 0x90); }, 0xFFE00000, 0xFFFF},
  };
  for (const Case& c : cases) {
    p.BeginBoot();
    c.writes();
    EXPECT_EQ(MmioRead16(c.read), c.expected) << c.what;
  }
  EXPECT_GT(unlock.ignoredWrites, 0u);
  EXPECT_EQ(single.idEntries, 2u);
  EXPECT_EQ(single.idExits, 1u);
  // ID mode ends with a reset.
  MmioWrite8(0xFFE00000, 0x90);
  p.BeginBoot();
  EXPECT_FALSE(single.InIdMode());
}

// ---------------------------------------------------------------- host bridge and CPUID
TEST_F(Flash, HostBridgeAnswersTheWindowRegisterOfTheProcessorFamily) {
  struct Case {
    uint32_t eax;
    uint32_t windowRegister;
  };
  const std::vector<Case> cases = {
      {0x00A20F10, 0x13E102E0}, {0x00870F10, 0x13E102E0}, {0x00830F00, 0x13E102E0},
      {0x00A50F00, 0x13B102E0}, {0x00860F01, 0x13B102E0}, {0, 0x13B102E0},
  };
  flash.SetLockWindow(0xFD000003);
  for (const Case& c : cases) {
    flash.SetProcessorSignature(c.eax);
    uint32_t regs[4];
    CpuidLeaf(0x80000001, regs);
    EXPECT_EQ(regs[0], c.eax);
    const uint32_t other = c.windowRegister == 0x13E102E0 ? 0x13B102E0 : 0x13E102E0;
    MmioWrite32(0xF80000B8, c.windowRegister);
    EXPECT_EQ(MmioRead32(0xF80000BC), 0xFD000003u) << std::hex << c.eax;
    MmioWrite32(0xF80000B8, other);
    EXPECT_EQ(MmioRead32(0xF80000BC), 0u) << std::hex << c.eax;
  }
  EXPECT_EQ(MmioRead32(0xF80000B8), 0x13E102E0u) << "the index reads back";
  EXPECT_EQ(MmioRead16(0xF8000000), 0x1022) << "AMD";
  EXPECT_EQ(flash.peer.WindowBase(), 0xFD000000u);
}

TEST_F(Flash, SignatureKeepsOtherCpuidLeaves) {
  p.cpu.cpuid = [](uint32_t leaf, uint32_t regs[4]) { regs[1] = leaf == 1 ? 0x55 : 0; };
  sim::SetProcessorSignature(p, 0x00A20F10);
  uint32_t regs[4];
  CpuidLeaf(1, regs);
  EXPECT_EQ(regs[1], 0x55u);
  CpuidLeaf(0x80000001, regs);
  EXPECT_EQ(regs[0], 0x00A20F10u);
}

TEST_F(Flash, WritingTheWindowRegisterIsAViolation) {
  expectViolations = true;
  flash.SetLockWindow(0xFD000000);
  MmioWrite32(0xF80000B8, 0x13B102E0);
  MmioWrite32(0xF80000BC, 0);
  EXPECT_TRUE(HasViolation("flash-lock window register"));
}

// ---------------------------------------------------------------- lock peer
TEST_F(Flash, LockPeerModes) {
  constexpr uint64_t kHost = 0xFD01055C, kPeer = 0xFD010560, kTurn = 0xFD010564;
  flash.SetLockWindow(0xFD000000);
  struct Case {
    sim::FlashLockPeer::Mode mode;
    uint64_t holdNs;
    uint32_t peerAtOnce;
    uint32_t peerAfter10us;
  };
  const std::vector<Case> cases = {
      {sim::FlashLockPeer::Mode::Idle, 0, 0, 0},
      {sim::FlashLockPeer::Mode::Holds, 5000, 1, 0},
      {sim::FlashLockPeer::Mode::Never, 0, 1, 1},
  };
  for (const Case& c : cases) {
    flash.peer.mode = c.mode;
    flash.peer.holdNs = c.holdNs;
    p.BeginBoot();
    const unsigned before = flash.peer.acquisitions;
    MmioWrite32(kHost, 1);
    MmioWrite32(kTurn, 1);
    EXPECT_EQ(MmioRead32(kPeer), c.peerAtOnce) << static_cast<int>(c.mode);
    EXPECT_EQ(MmioRead32(kTurn), 1u);
    p.clock.Advance(10000);
    EXPECT_EQ(MmioRead32(kPeer), c.peerAfter10us) << static_cast<int>(c.mode);
    MmioWrite32(kHost, 0);
    EXPECT_EQ(flash.peer.acquisitions - before, 1u);
  }
  // Holds: only the first acquisition of a boot finds the peer inside.
  flash.peer.mode = sim::FlashLockPeer::Mode::Holds;
  p.BeginBoot();
  MmioWrite32(kHost, 1);
  p.clock.Advance(5000);
  MmioWrite32(kHost, 0);
  MmioWrite32(kHost, 1);
  EXPECT_EQ(MmioRead32(kPeer), 0u);
  EXPECT_EQ(flash.peer.releases, 4u);
}

TEST_F(Flash, LockMisuseIsAViolation) {
  expectViolations = true;
  flash.SetLockWindow(0xFD000000);
  struct Case {
    const char* what;
    std::function<void()> act;
    const char* violation;
  };
  const std::vector<Case> cases = {
      {"the peer's flag", [] { MmioWrite32(0xFD010560, 1); }, "the other agent's flag"},
      {"turn 0", [] { MmioWrite32(0xFD010564, 0); }, "the turn word"},
      {"host flag 2", [] { MmioWrite32(0xFD01055C, 2); }, "the host flag"},
      {"a byte write of the host flag", [] { MmioWrite8(0xFD01055C, 1); }, "1-byte write"},
      {"another word of the page", [] { MmioWrite32(0xFD010000, 1); }, "not a lock word"},
  };
  for (const Case& c : cases) {
    p.violations.clear();
    c.act();
    EXPECT_TRUE(HasViolation(c.violation)) << c.what;
  }
  // Changing the flash registers while the peer is inside.
  p.violations.clear();
  flash.peer.mode = sim::FlashLockPeer::Mode::Never;
  p.BeginBoot();
  MmioWrite32(0xFED80298, 0x80000000);
  EXPECT_TRUE(HasViolation("while the other agent holds the flash lock"));
  // With the peer idle the same write is fine.
  p.violations.clear();
  flash.peer.mode = sim::FlashLockPeer::Mode::Idle;
  p.BeginBoot();
  MmioWrite32(0xFED80298, 0x80000000);
  EXPECT_TRUE(p.violations.empty());
}

TEST_F(Flash, NoWindowNoPeer) {
  flash.SetLockWindow(0x000FFFFF);
  EXPECT_EQ(flash.peer.WindowBase(), 0u);
  MmioWrite32(0xF80000B8, 0x13B102E0);
  EXPECT_EQ(MmioRead32(0xF80000BC), 0x000FFFFFu);
}

// ---------------------------------------------------------------- FCH page
TEST_F(Flash, FchFlashRegistersShareThePageWithTheImcGate) {
  nb.EnableImc(true);
  flash.SetSciEnabled(true);
  EXPECT_EQ(MmioRead32(0xFED80298), 0x00C40100u);
  EXPECT_EQ(MmioRead32(0xFED802A8), 0x0000000Fu);
  const uint16_t pm1 = MmioRead16(0xFED80362);
  EXPECT_EQ(pm1, 0x804);
  EXPECT_EQ(PortIn32(pm1) & 1, 1u);
  flash.SetSciEnabled(false);
  EXPECT_EQ(PortIn32(pm1) & 1, 0u);
  flash.SetPm1Port(0x404);
  EXPECT_EQ(PortIn32(0x804), 0xFFFFFFFFu) << "the old port floats";
  EXPECT_EQ(MmioRead16(0xFED80362), 0x404);

  MmioWrite32(0xFED80298, 0x80C40100);
  MmioWrite32(0xFED802A8, 0x3);
  EXPECT_EQ(flash.FchRegister(0x298), 0x80C40100u);
  EXPECT_EQ(flash.FchRegister(0x2A8), 0x3u);
  unsigned traced = 0;
  for (const sim::TraceEvent& e : p.trace) traced += e.kind == "FlashRegister";
  EXPECT_EQ(traced, 2u);

  // The IMC still sees its gate and acts on an idle request.
  EXPECT_EQ(MmioRead8(0xFED80E80) & 0x04, 0x04);
  PortOut8(0x3E, 0x83);
  PortOut8(0x3F, 0xB4);
  PortOut8(0x3E, 0x80);
  PortOut8(0x3F, 0x96);
  ASSERT_EQ(nb.imc.requests.size(), 1u);
  EXPECT_EQ(nb.imc.requests[0], 0xB4);
}

TEST_F(Flash, WritesThatMustNotHappen) {
  expectViolations = true;
  MmioWrite16(0xFED80362, 0x900);
  EXPECT_TRUE(HasViolation("0xFED80362"));
  p.violations.clear();
  PortOut32(0x804, 0x2000);
  EXPECT_TRUE(HasViolation("PM1 control register written"));
}

// ---------------------------------------------------------------- device map and PCD
TEST(FlashDeviceMap, HeaderEntriesAndChecksum) {
  const EFI_GUID type = {0x773C5374, 0x81D1, 0x4D43, {0xB2, 0x93, 0xF3, 0xD7, 0x4F, 0x18, 0x1D, 0x6B}};
  const std::vector<uint8_t> map =
      sim::BuildFlashDeviceMap(0xFF000000, {{type, {}, 0x20000, 0x10000, 2}, {type, {}, 0x40000, 0x1000, 0}});
  ASSERT_EQ(map.size(), 136u);  // 32 + 2 x 52
  EXPECT_EQ(std::string(map.begin(), map.begin() + 4), "HFDM");
  const auto u32 = [&](size_t at) {
    return map[at] | map[at + 1] << 8 | map[at + 2] << 16 | map[at + 3] << 24;
  };
  EXPECT_EQ(u32(4), 136);
  EXPECT_EQ(u32(8), 32);
  EXPECT_EQ(u32(12), 52);
  EXPECT_EQ(u32(24), 0);
  EXPECT_EQ(u32(20), static_cast<int>(0xFF000000));
  uint8_t sum = 0;
  for (int i = 0; i < 28; ++i) sum = static_cast<uint8_t>(sum + map[i]);
  EXPECT_EQ(sum, 0);
  EXPECT_EQ(map[32], 0x74);  // TypeGuid.Data1 low byte
  EXPECT_EQ(map[32 + 8 + 7], 0x6B);
  EXPECT_EQ(u32(32 + 32), 0x20000);
  EXPECT_EQ(u32(32 + 40), 0x10000);
  EXPECT_EQ(u32(32 + 48), 2);
  EXPECT_EQ(u32(84 + 32), 0x40000);
  // A Length shorter than the entries keeps the bytes; the checksum follows edits.
  std::vector<uint8_t> cut = sim::BuildFlashDeviceMap(0, {{type, {}, 0, 0, 0}}, {28, 0, 40});
  EXPECT_EQ(cut.size(), 80u);
  cut[18] = 0x77;
  sim::FixFlashDeviceMapChecksum(cut);
  sum = 0;
  for (int i = 0; i < 28; ++i) sum = static_cast<uint8_t>(sum + cut[i]);
  EXPECT_EQ(sum, 0);
  // A header whose bytes add up to 1: a bad checksum, the rest as before.
  sim::FdmLayout bad;
  bad.headerSum = 1;
  const std::vector<uint8_t> badMap = sim::BuildFlashDeviceMap(
      0xFF000000, {{type, {}, 0x20000, 0x10000, 2}, {type, {}, 0x40000, 0x1000, 0}}, bad);
  ASSERT_EQ(badMap.size(), map.size());
  sum = 0;
  for (int i = 0; i < 28; ++i) sum = static_cast<uint8_t>(sum + badMap[i]);
  EXPECT_EQ(sum, 1);
  EXPECT_EQ(std::vector<uint8_t>(badMap.begin() + 28, badMap.end()),
            std::vector<uint8_t>(map.begin() + 28, map.end()));
  // A stride shorter than an entry: the second entry starts 40 bytes after the first.
  const std::vector<uint8_t> shortStride = sim::BuildFlashDeviceMap(
      0, {{type, {}, 0x20000, 0x10000, 2}, {type, {}, 0x40000, 0x1000, 0}}, {32, 40, {}});
  EXPECT_EQ(shortStride.size(), 32u + 40u + 52u);
  EXPECT_EQ(shortStride[12], 40);
  EXPECT_EQ(shortStride[4], 32 + 2 * 40);  // Length follows the stride
  EXPECT_EQ(shortStride[72], 0x74) << "the second TypeGuid";
}

TEST_F(Flash, PublishedMapAndFlashTokens) {
  sim::PcdDatabase pcd{p};
  const uint64_t address = flash.PublishDeviceMap(pcd, sim::BuildFlashDeviceMap(0xFF000000, {}));
  const sim::PcdDatabase::Token* token = pcd.Find(kFdmSpace, 0x30000017);
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(token->value, address);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(address), "HFDM", 4), 0);

  sim::DeclareFlashDevice(pcd, 5, sim::EncodeFlashDeviceEntry({3, 0x001540EF, 0xAB, 32, 256}),
                          sim::EncodeSpiFlashParams(sim::SpiParamsSpec{}.IdBytes(3)));
  sim::DeclareFlashDevice(pcd, 7, std::nullopt,
                          sim::EncodeMappedFlashParams(0xFFF00000, 0xFFF05555, 0xFFF02AAA));
  sim::DeclareFlashSelector(pcd, 7);
  const sim::PcdDatabase::Token* entry = pcd.Find(kDeviceSpace, 5);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->bytes,
            (std::vector<uint8_t>{3, 0, 0, 0, 0xEF, 0x40, 0x15, 0x00, 0xAB, 0, 0, 0, 32, 0, 0, 1}));
  const sim::PcdDatabase::Token* spi = pcd.Find(kParamSpace, 5);
  ASSERT_NE(spi, nullptr);
  ASSERT_EQ(spi->bytes.size(), 40u);
  EXPECT_EQ(spi->bytes[4], 0x9F);
  EXPECT_EQ(spi->bytes[5], 0x20);
  EXPECT_EQ(spi->bytes[20], 3);
  EXPECT_EQ(pcd.Find(kDeviceSpace, 7), nullptr) << "a token without an entry value";
  const sim::PcdDatabase::Token* mapped = pcd.Find(kParamSpace, 7);
  ASSERT_NE(mapped, nullptr);
  ASSERT_EQ(mapped->bytes.size(), 28u);
  EXPECT_EQ(mapped->bytes[12], 0x55);
  EXPECT_EQ(mapped->bytes[13], 0x55);
  EXPECT_EQ(mapped->bytes[20], 0xAA);
  EXPECT_EQ(mapped->bytes[23], 0xFF);
  EXPECT_EQ(mapped->bytes[27], 0);
  const sim::PcdDatabase::Token* selector = pcd.Find(kDeviceSpace, 0x20000001);
  ASSERT_NE(selector, nullptr);
  EXPECT_EQ(selector->kind, sim::PcdDatabase::Kind::U32);
  EXPECT_EQ(selector->value, 7u);
}

}  // namespace
