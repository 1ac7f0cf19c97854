// The hardware seam's host backend: device bus routing and the processor model.
#include <gtest/gtest.h>

#include <cstdio>

#include "sim/platform.h"
#include "support/base/hw.h"

namespace {

// Answers reads with a value derived from the address (low byte never all
// ones at the end of a window) and records writes as "where:width:value".
class Recorder : public sim::Device {
 public:
  uint32_t PortRead(uint16_t port, int) override { return 0xA5A5A500u | ((port + 1) & 0xFF); }
  void PortWrite(uint16_t port, int width, uint32_t value) override { Log(port, width, value); }
  uint32_t MmioRead(uint64_t address, int) override { return 0x12345600u | ((address + 1) & 0xFF); }
  void MmioWrite(uint64_t address, int width, uint32_t value) override { Log(address, width, value); }
  void OnBootStart(unsigned boot) override { boots.push_back(boot); }
  void Log(uint64_t where, int width, uint32_t value) {
    char text[48];
    std::snprintf(text, sizeof text, "%llX:%d:%X", static_cast<unsigned long long>(where), width, value);
    writes.push_back(text);
  }
  std::vector<std::string> writes;
  std::vector<unsigned> boots;
};

class Bus : public ::testing::Test {
 protected:
  void SetUp() override {
    p.MapPorts(0x62, 1, &ec);
    p.MapPorts(0x66, 1, &ec);
    p.MapPorts(0x72, 2, &cmos);
    p.MapMmio(0xFED80000, 0x1000, &fch);
    p.BeginBoot();
  }
  sim::Platform p;
  Recorder ec, cmos, fch;
};

TEST_F(Bus, ReadsReachTheMappedDeviceOrFloatHigh) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {PortIn8(0x66), 0x67},                 // mapped
      {PortIn16(0x73), 0xA574},              // mapped, 16 bits
      {PortIn8(0x64), 0xFF},                 // unclaimed: all ones of the width
      {PortIn16(0x70), 0xFFFF},              //
      {PortIn32(0xCF8), 0xFFFFFFFF},         //
      {MmioRead32(0xFED80000), 0x12345601},  // first register
      {MmioRead8(0xFED80FFF), 0x00},         // last byte of the window
      {MmioRead8(0xFED81000), 0xFF},         // just past it
      {MmioRead32(0xFED7FFFC), 0xFFFFFFFF},  // just below it
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
  EXPECT_EQ(p.counters.portReads, 5u);
  EXPECT_EQ(p.counters.mmioReads, 4u);
}

TEST_F(Bus, WritesReachTheDeviceWithTheirWidthAndUnclaimedOnesVanish) {
  EXPECT_EQ(PortOut8(0x66, 0x80), 0x80);
  PortOut16(0x72, 0x1261);
  PortOut8(0x80, 0x12);
  MmioWrite32(0xFED80E00, 0xDEADBEEF);
  MmioWrite8(0xFEE00000, 1);
  EXPECT_EQ(ec.writes, std::vector<std::string>{"66:1:80"});
  EXPECT_EQ(cmos.writes, std::vector<std::string>{"72:2:1261"});
  EXPECT_EQ(fch.writes, std::vector<std::string>{"FED80E00:4:DEADBEEF"});
  EXPECT_EQ(p.counters.portWrites, 3u);
  EXPECT_EQ(p.counters.mmioWrites, 2u);
  for (const auto& e : p.trace) EXPECT_NE(e.kind, "PortOut") << "port writes are not traced by default";
  p.tracePorts = true;
  PortOut8(0x80, 0x34);
  EXPECT_EQ(p.trace.back().kind, "PortOut");
  EXPECT_EQ(p.trace.back().text, "PortOut8(0x80, 0x34)");
}

TEST_F(Bus, DevicesSeeEachBootStartOnceAndCanBeUnmapped) {
  p.BeginBoot();
  EXPECT_EQ(ec.boots, (std::vector<unsigned>{1, 2}));  // mapped twice, told once per boot
  p.MapPorts(0x60, 0x10, nullptr);                     // removes both EC ports
  EXPECT_EQ(PortIn8(0x62), 0xFF);
  EXPECT_EQ(PortIn8(0x73), 0x74);
  EXPECT_DEATH(p.MapPorts(0x73, 4, &ec), "overlaps");
}

// A wait polls the same ports over and over; whatever speeds that up must
// still follow the map as it changes and keep ports apart.
TEST_F(Bus, ReadsFollowTheMapAfterEveryChange) {
  Recorder kbc;
  EXPECT_EQ(PortIn8(0x62), 0x63);
  EXPECT_EQ(PortIn8(0x64), 0xFF);
  p.MapPorts(0x64, 1, &kbc);  // claimed after it was seen floating
  EXPECT_EQ(PortIn8(0x64), 0x65);
  p.MapPorts(0x62, 1, nullptr);  // unclaimed after it was seen mapped
  EXPECT_EQ(PortIn8(0x62), 0xFF);
  // Ports 64 apart, read in turn.
  const std::pair<uint16_t, uint32_t> turns[] = {
      {0x73, 0x74}, {0x33, 0xFF}, {0x73, 0x74}, {0xB3, 0xFF}, {0x66, 0x67}};
  for (const auto& t : turns) EXPECT_EQ(PortIn8(t.first), t.second) << std::hex << t.first;
  PortOut8(0x64, 0x60);
  EXPECT_EQ(kbc.writes, std::vector<std::string>{"64:1:60"});
  p.tracePorts = true;
  PortIn16(0x72);
  EXPECT_EQ(p.trace.back().kind, "PortIn");
  EXPECT_EQ(p.trace.back().text, "PortIn16(0x72) = 0xA573");
}

TEST_F(Bus, ProcessorModelAndVirtualClock) {
  p.cpu.tsc = 1000;
  p.cpu.tscStep = 5;
  EXPECT_EQ(ReadTsc(), 1000u);
  EXPECT_EQ(ReadTsc(), 1005u);
  SpinPause();
  SpinPause();
  EXPECT_EQ(ReadTsc(), 1210u);  // two pauses of 100 ticks
  p.BootServices()->Stall(3);   // 1000 ticks per microsecond
  EXPECT_EQ(ReadTsc(), 4215u);
  p.cpu.msrs[0xC0010064] = 0x8000000012345678ull;
  EXPECT_EQ(ReadMsr(0xC0010064), 0x8000000012345678ull);
  EXPECT_EQ(ReadMsr(0xC0010058), 0u);
  uint32_t regs[4] = {9, 9, 9, 9};
  CpuidLeaf(1, regs);
  EXPECT_EQ(regs[0] | regs[1] | regs[2] | regs[3], 0u);
  p.cpu.cpuid = [](uint32_t leaf, uint32_t r[4]) { r[0] = leaf == 0x80000001 ? 0x00A50F00 : 0; };
  CpuidLeaf(0x80000001, regs);
  EXPECT_EQ(regs[0], 0x00A50F00u);
  p.cpu.siProbe = [](uint32_t eax, uint32_t ebx) { return static_cast<uint16_t>(eax + ebx); };
  EXPECT_EQ(CpuidSiProbe(0x10, 0x20), 0x30);
  const sim::Counters& n = p.counters;
  EXPECT_EQ(std::vector<uint64_t>({n.tscReads, n.pauses, n.msrReads, n.cpuids}),
            std::vector<uint64_t>({4, 2, 2, 3}));
}

TEST(BusWithoutPlatform, HardwareAccessAborts) { EXPECT_DEATH(PortIn8(0x80), "no sim::Platform"); }

}  // namespace
