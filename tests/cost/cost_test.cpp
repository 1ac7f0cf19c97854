// The firmware-time cost model: its SPI flash figures against the parts'
// SFDP tables, the variable store's arithmetic, and where the platform
// charges each kind of effect.
#include "sim/cost/cost.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "sim/devices/devices.h"
#include "sim/platform.h"
#include "support/base/hw.h"

namespace {

// ---------------------------------------------------------------- SFDP

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  std::istringstream in(hex);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

uint32_t Dword(const std::vector<uint8_t>& t, size_t n) {  // 1-based, as JESD216 numbers them
  const size_t i = (n - 1) * 4;
  return t[i] | t[i + 1] << 8 | t[i + 2] << 16 | static_cast<uint32_t>(t[i + 3]) << 24;
}

// Decodes the timing of a basic flash parameter table (JESD216B: DWORD 8
// erase type 1, DWORD 10 erase times, DWORD 11 program times); false when
// the table is shorter than 11 DWORDs.
bool DecodeTiming(const std::vector<uint8_t>& t, sim::SpiFlashTiming* out) {
  if (t.size() < 44) return false;
  const uint32_t d8 = Dword(t, 8), d10 = Dword(t, 10), d11 = Dword(t, 11);
  out->sectorBytes = 1u << (d8 & 0xFF);
  const uint64_t eraseUnitNs[] = {1000000, 16000000, 128000000, 1000000000};
  out->sectorEraseNs = (((d10 >> 4) & 0x1F) + 1) * eraseUnitNs[(d10 >> 9) & 3];
  out->pageBytes = 1u << ((d11 >> 4) & 0xF);
  out->pageProgramNs = (((d11 >> 8) & 0x1F) + 1) * ((d11 >> 13) & 1 ? 64000 : 8000);
  out->firstByteNs = (((d11 >> 14) & 0xF) + 1) * ((d11 >> 18) & 1 ? 8000 : 1000);
  out->additionalByteNs = (((d11 >> 19) & 0xF) + 1) * ((d11 >> 23) & 1 ? 8000 : 1000);
  return true;
}

TEST(SpiFlashFigures, AreTheTypicalTimesInEachPartsSfdp) {
  const std::string parts[] = {"MT25Q256ABA", "MX25L1606E",  "MX25L25635F", "MX25L25645G",
                               "MX25L51245G", "MX25U51245G", "W25Q16JV",    "W25Q256JV"};
  unsigned withTiming = 0;
  for (const std::string& part : parts) {
    SCOPED_TRACE(part);
    std::ifstream in(std::string(SFDP_DIR) + "/" + part + ".json");
    ASSERT_TRUE(in) << "missing SFDP dump";
    const nlohmann::json doc = nlohmann::json::parse(in);
    const std::vector<uint8_t> header = Bytes(doc["sfdp"][0]["bytes"]);
    // The first parameter header points at the basic table (bytes 12..14).
    const uint32_t pointer = header[12] | header[13] << 8 | header[14] << 16;
    std::vector<uint8_t> table;
    for (const auto& run : doc["sfdp"]) {
      if (std::stoul(run["address"].get<std::string>(), nullptr, 16) == pointer) table = Bytes(run["bytes"]);
    }
    ASSERT_FALSE(table.empty());
    sim::SpiFlashTiming decoded;
    const sim::SpiFlashTiming* figures = sim::FindSpiFlashPart(part);
    if (!DecodeTiming(table, &decoded)) {
      EXPECT_EQ(figures, nullptr) << "a part whose table carries no timing has no figures";
      continue;
    }
    ++withTiming;
    ASSERT_NE(figures, nullptr);
    EXPECT_EQ(figures->pageBytes, decoded.pageBytes);
    EXPECT_EQ(figures->pageProgramNs, decoded.pageProgramNs);
    EXPECT_EQ(figures->firstByteNs, decoded.firstByteNs);
    EXPECT_EQ(figures->additionalByteNs, decoded.additionalByteNs);
    EXPECT_EQ(figures->sectorBytes, decoded.sectorBytes);
    EXPECT_EQ(figures->sectorEraseNs, decoded.sectorEraseNs);
  }
  EXPECT_EQ(withTiming, 6u);
  EXPECT_EQ(sim::SpiFlashParts().size(), 6u);
}

// ---------------------------------------------------------------- store arithmetic

TEST(VariableStoreCosts, FollowTheDefaultPartsDatasheetFigures) {
  // W25Q256JV typical: page program 704 us, first byte 32 us, each further
  // byte 3 us, 4 KiB erase 64 ms; SPI at 33 MHz, 1 us controller set-up,
  // 1 us lookup, 60-byte record header. BootNext: 18 name bytes, 2 data.
  const sim::VariableStoreCosts c;
  EXPECT_STREQ(c.flash.part, "W25Q256JV");
  struct Case {
    const char* what;
    uint64_t ns;
    uint64_t expected;
  };
  const Case cases[] = {
      // 86 bytes (6 command + 80 record) x 8 bits / 33 MHz = 20,848.5 ns
      {"read BootNext", c.ReadNs(18, 2), 1000 + 1000 + 20849},
      // + 80-byte program 32 + 79 x 3 = 269 us, + 80/4096 of 64 ms = 1,250 us
      {"new BootNext", c.WriteNs(18, 2, false), 1000 + 1000 + 20849 + 269000 + 1250000},
      // + the old record's state byte: 1 us set-up, 7 bytes 1,697 ns, 32 us
      {"replaced BootNext", c.WriteNs(18, 2, true),
       1000 + 1000 + 20849 + 269000 + 1250000 + 1000 + 1697 + 32000},
      {"delete", c.DeleteNs(), 1000 + 1000 + 1697 + 32000},
      // 600-byte record: pages of 256, 256 and 88 bytes, each its own command;
      // full pages take the page time (704 us), 88 bytes 32 + 87 x 3 = 293 us;
      // transfers 262, 262 and 94 bytes; 600/4096 of 64 ms = 9,375 us.
      {"600-byte record", c.WriteNs(28, 512, false),
       1000 + 3 * 1000 + 63516 + 704000 + 63516 + 704000 + 22788 + 293000 + 9375000},
  };
  for (const Case& k : cases) EXPECT_EQ(k.ns, k.expected) << k.what;
  EXPECT_EQ(sim::Microseconds(1541849), "1541.849");
  EXPECT_EQ(sim::Microseconds(7), "0.007");
}

TEST(VariableStoreCosts, AnotherPartChangesTheProgramAndEraseShares) {
  sim::VariableStoreCosts c;
  c.flash = *sim::FindSpiFlashPart("MT25Q256ABA");  // 120 us page, 15 + 1 us/byte, 48 ms 4 KiB erase
  EXPECT_EQ(c.WriteNs(18, 2, false), 1000 + 1000 + 20849 + (15000 + 79 * 1000) + 80 * 48000000ull / 4096);
  EXPECT_EQ(c.flash.ProgramNs(256), 120000u) << "a whole page never takes longer than the page time";
  EXPECT_EQ(c.flash.ProgramNs(0), 0u);
}

// ---------------------------------------------------------------- charging

class Charging : public ::testing::Test {
 protected:
  Charging() {
    p.BeginBoot();
    start = p.clock.Now();
  }
  sim::Platform p;
  sim::Notebook notebook{p};
  uint64_t start = 0;
  const sim::CostLine& Line(sim::CostKind k) const { return p.cost[k]; }
};

TEST_F(Charging, VariableServicesCostWhatTheStoreTakesOnTheClock) {
  p.PutVariable(u"BootNext", sim::kGlobalVariableGuid, 7, {1, 0});
  p.PutVariable(u"Scratch", sim::kGlobalVariableGuid, 6, {1, 2, 3});  // volatile
  EFI_RUNTIME_SERVICES* rt = p.RuntimeServices();
  const sim::VariableStoreCosts& c = p.clock.costs.variables;
  uint8_t buffer[8];
  UINT16 next = 2;
  struct Case {
    const char* what;
    std::function<EFI_STATUS()> call;
    EFI_STATUS status;
    sim::CostKind kind;
    uint64_t ns;
  };
  const Case cases[] = {
      {"NV read",
       [&] {
         UINTN n = 8;
         return rt->GetVariable(u"BootNext", &sim::kGlobalVariableGuid, nullptr, &n, buffer);
       },
       EFI_SUCCESS, sim::CostKind::VariableRead, c.ReadNs(18, 2)},
      {"size query",
       [&] {
         UINTN n = 0;
         return rt->GetVariable(u"BootNext", &sim::kGlobalVariableGuid, nullptr, &n, nullptr);
       },
       EFI_BUFFER_TOO_SMALL, sim::CostKind::VariableRead, c.lookupNs},
      {"absent",
       [&] {
         UINTN n = 8;
         return rt->GetVariable(u"BootPrev", &sim::kGlobalVariableGuid, nullptr, &n, buffer);
       },
       EFI_NOT_FOUND, sim::CostKind::VariableRead, c.lookupNs},
      {"volatile read",
       [&] {
         UINTN n = 8;
         return rt->GetVariable(u"Scratch", &sim::kGlobalVariableGuid, nullptr, &n, buffer);
       },
       EFI_SUCCESS, sim::CostKind::VariableRead, c.lookupNs},
      {"NV replace", [&] { return rt->SetVariable(u"BootNext", &sim::kGlobalVariableGuid, 7, 2, &next); },
       EFI_SUCCESS, sim::CostKind::VariableWrite, c.WriteNs(18, 2, true)},
      {"NV new", [&] { return rt->SetVariable(u"BootNexu", &sim::kGlobalVariableGuid, 7, 2, &next); },
       EFI_SUCCESS, sim::CostKind::VariableWrite, c.WriteNs(18, 2, false)},
      {"NV delete", [&] { return rt->SetVariable(u"BootNexu", &sim::kGlobalVariableGuid, 7, 0, nullptr); },
       EFI_SUCCESS, sim::CostKind::VariableWrite, c.DeleteNs()},
      {"refused", [&] { return rt->SetVariable(u"BootNext", &sim::kGlobalVariableGuid, 3, 2, &next); },
       EFI_INVALID_PARAMETER, sim::CostKind::VariableWrite, c.lookupNs},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const uint64_t t0 = p.clock.Now();
    const sim::CostLine before = Line(k.kind);
    EXPECT_EQ(k.call(), k.status);
    EXPECT_EQ(p.clock.Now() - t0, k.ns);
    EXPECT_EQ(Line(k.kind).ns - before.ns, k.ns);
    EXPECT_EQ(Line(k.kind).count - before.count, 1u);
  }
  EXPECT_EQ(p.cost.nvWrites, 3u);
  EXPECT_EQ(p.cost.TotalNs(), p.clock.Now() - start) << "all the time passed was charged";
}

TEST_F(Charging, PortsByDeviceAndDelaysToTheDeviceWaitedOn) {
  PortIn8(0x66);  // EC status
  PortIn8(0x80);  // delay while waiting on the EC
  PortIn8(0x80);
  SpinPause();           // also part of that wait
  PortOut8(0x72, 0x61);  // CMOS index
  PortIn8(0x80);         // a delay after CMOS: LPC I/O
  PortOut8(0x80, 0x12);  // a post code
  MmioRead8(0xFED80E80);
  ReadMsr(0xC0010063);
  p.BootServices()->Stall(5);
  EXPECT_EQ(Line(sim::CostKind::Ec).count, 1u);
  EXPECT_EQ(Line(sim::CostKind::Ec).ns, 3000u + 20);
  EXPECT_EQ(Line(sim::CostKind::LpcIo).count, 2u);
  EXPECT_EQ(Line(sim::CostKind::LpcIo).ns, 3000u);
  EXPECT_EQ(Line(sim::CostKind::DeviceRegister).ns, 250u);
  EXPECT_EQ(Line(sim::CostKind::Processor).ns, 100u);
  EXPECT_EQ(Line(sim::CostKind::Stall).ns, 5000u);
  EXPECT_EQ(p.cost.TotalNs(), p.clock.Now() - start);
  p.BeginBoot();
  EXPECT_EQ(p.cost.TotalNs(), 0u) << "each boot has its own ledger";
}

}  // namespace
