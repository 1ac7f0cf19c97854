// The device models on the virtual clock: the embedded controller's
// handshake and its timing, the IMC mailbox and its enable gate, CMOS.
#include "sim/devices/devices.h"

#include <gtest/gtest.h>

#include "sim/platform.h"
#include "support/base/hw.h"

namespace {

class Devices : public ::testing::Test {
 protected:
  void SetUp() override { p.BeginBoot(); }
  sim::Platform p;
  sim::Notebook nb{p};
  uint8_t Status() { return PortIn8(0x66); }
  // Polls the status port until (status & mask) == want, at most `bound` reads.
  bool WaitFor(uint8_t mask, uint8_t want, int bound = 100) {
    for (int i = 0; i < bound; ++i) {
      if ((Status() & mask) == want) return true;
    }
    return false;
  }
};

TEST(Clock, RunsDueActionsInTimeThenSchedulingOrder) {
  sim::Clock clock;
  std::string order;
  clock.Schedule(30, [&] { order += "c"; });
  clock.Schedule(10, [&] { order += "a"; });
  clock.Schedule(10, [&] { order += "b"; });
  const sim::Clock::Ticket dropped = clock.Schedule(20, [&] { order += "x"; });
  clock.Cancel(dropped);
  clock.Advance(9);
  EXPECT_EQ(order, "");
  clock.Advance(1);
  EXPECT_EQ(order, "ab");
  EXPECT_EQ(clock.Now(), 10u);
  // An action that schedules another at once: it runs within the same
  // Advance, before what falls due later.
  clock.Schedule(5, [&] { clock.Schedule(0, [&] { order += "d"; }); });
  clock.Advance(100);
  EXPECT_EQ(order, "abdc");
  EXPECT_EQ(clock.Now(), 110u);
  EXPECT_EQ(clock.Pending(), 0u);
}

TEST_F(Devices, EveryAccessCostsItsTimeOnTheClock) {
  const uint64_t t0 = p.clock.Now();
  PortIn8(0x80);
  EXPECT_EQ(p.clock.Now() - t0, 1000u) << "an LPC I/O cycle";
  MmioRead8(0xFED80E80);
  EXPECT_EQ(p.clock.Now() - t0, 1250u) << "an FCH register read";
  SpinPause();
  ReadTsc();
  EXPECT_EQ(p.clock.Now() - t0, 1280u);
  p.BootServices()->Stall(7);
  EXPECT_EQ(p.clock.Now() - t0, 8280u);
}

TEST_F(Devices, EcSetsIbfOnEveryWriteAndTakesTheByteAfterItsLatency) {
  nb.ec.behaviour.takeNs = 5000;
  EXPECT_EQ(Status() & 0x02, 0) << "idle at boot";
  PortOut8(0x66, 0x81);
  EXPECT_EQ(Status() & 0x02, 0x02) << "IBF right after the write";
  EXPECT_TRUE(WaitFor(0x02, 0, 6));
  EXPECT_EQ(nb.ec.commands, std::vector<uint8_t>{0x81});
  PortOut8(0x62, 0x94);
  EXPECT_EQ(Status() & 0x02, 0x02) << "IBF for an address byte too";
  EXPECT_TRUE(WaitFor(0x02, 0, 6));
  PortOut8(0x62, 0x01);
  EXPECT_TRUE(WaitFor(0x02, 0, 6));
  EXPECT_EQ(nb.ec.registers[0x94], 0x01);
  EXPECT_TRUE(p.violations.empty());
}

TEST_F(Devices, AByteWrittenWhileIbfIsSetIsLostAndRecorded) {
  nb.ec.behaviour.takeNs = 50000;
  PortOut8(0x66, 0x81);
  PortOut8(0x62, 0x94);  // no wait: the EC still holds the command byte
  EXPECT_TRUE(WaitFor(0x02, 0, 100));
  EXPECT_EQ(nb.ec.overruns, 1u);
  ASSERT_EQ(p.violations.size(), 1u);
  EXPECT_NE(p.violations[0].find("while IBF was set"), std::string::npos);
  // The EC is still waiting for the address the host thinks it sent.
  PortOut8(0x62, 0x16);
  EXPECT_TRUE(WaitFor(0x02, 0, 100));
  PortOut8(0x62, 0x02);
  EXPECT_TRUE(WaitFor(0x02, 0, 100));
  EXPECT_EQ(nb.ec.registers[0x16], 0x02);
  EXPECT_EQ(nb.ec.registers[0x94], 0x00);
}

TEST_F(Devices, EcAnswerAppearsOnTimeWhicheverPortIsTouched) {
  nb.ec.registers[0x19] = 0x5A;
  nb.ec.behaviour.takeNs = 2000;
  nb.ec.behaviour.answerNs = 10000;
  PortOut8(0x66, 0x80);
  EXPECT_TRUE(WaitFor(0x02, 0));
  PortOut8(0x62, 0x19);
  // Only post-code reads in between: the answer still arrives.
  for (int i = 0; i < 15; ++i) PortIn8(0x80);
  EXPECT_EQ(Status(), 0x01) << "OBF with the answer, IBF clear";
  EXPECT_EQ(PortIn8(0x62), 0x5A);
  EXPECT_EQ(Status(), 0x00);
}

TEST_F(Devices, DeadEcKeepsIbfAndNeverAnswers) {
  nb.ec.behaviour.neverAnswers = true;
  EXPECT_EQ(Status(), 0x02);
  PortOut8(0x66, 0x80);
  p.BootServices()->Stall(1000000);
  EXPECT_EQ(Status(), 0x02);
  EXPECT_TRUE(nb.ec.commands.empty());
  EXPECT_TRUE(p.violations.empty()) << "writing to a dead EC is the EC's fault, not the driver's";
}

TEST_F(Devices, EcThatGoesDeadTakesExactlyThatManyBytes) {
  nb.ec.behaviour.goesDeadAfter = 2;
  p.BeginBoot();
  for (uint8_t byte : {uint8_t{0x81}, uint8_t{0x94}}) {
    PortOut8(byte == 0x81 ? 0x66 : 0x62, byte);
    EXPECT_TRUE(WaitFor(0x02, 0));
  }
  PortOut8(0x62, 0x01);
  EXPECT_FALSE(WaitFor(0x02, 0, 1000));
  EXPECT_EQ(nb.ec.registers[0x94], 0x00);
}

// The race a real EC produces: the host reads the status (IBF still set for
// the address byte), the EC takes the address and answers, and a blind drain
// read of port 0x62 then swallows the answer.
TEST_F(Devices, BlindDrainAfterTheAddressSwallowsTheAnswer) {
  nb.ec.registers[0x19] = 0x01;
  nb.ec.behaviour.takeNs = 1500;  // lands between the status read and the drain
  nb.ec.behaviour.answerNs = 0;
  PortOut8(0x66, 0x80);
  EXPECT_TRUE(WaitFor(0x02, 0));
  PortOut8(0x62, 0x19);
  const uint8_t status = Status();
  EXPECT_EQ(status, 0x02) << "IBF set, no output byte yet";
  EXPECT_EQ(PortIn8(0x62), 0x01) << "the drain read takes the answer";
  EXPECT_FALSE(WaitFor(0x01, 0x01, 1000)) << "and it never comes again";
}

TEST_F(Devices, ImcActsOnlyWithItsGateSetAndAcknowledgesAfterItsLatency) {
  auto request = [](uint8_t parameter) {
    PortOut8(0x3E, 0x82);
    PortOut8(0x3F, 0x00);
    PortOut8(0x3E, 0x83);
    PortOut8(0x3F, parameter);
    PortOut8(0x3E, 0x80);
    PortOut8(0x3F, 0x96);
  };
  auto message0 = [] {
    PortOut8(0x3E, 0x82);
    return PortIn8(0x3F);
  };
  request(0xB4);
  p.BootServices()->Stall(1000);
  EXPECT_EQ(message0(), 0x00) << "gate clear: nothing acts on the command";
  EXPECT_EQ(nb.imc.ignored, 1u);
  EXPECT_TRUE(nb.imc.requests.empty());

  nb.EnableImc(true);
  nb.imc.ackNs = 20000;
  request(0xB4);
  EXPECT_EQ(message0(), 0x00) << "not yet";
  p.BootServices()->Stall(20);
  EXPECT_EQ(message0(), 0xFA);
  EXPECT_TRUE(nb.imc.idle);
  EXPECT_EQ(nb.imc.requests, std::vector<uint8_t>{0xB4});

  p.BeginBoot();  // a reset restarts the microcontroller
  EXPECT_FALSE(nb.imc.idle);
  EXPECT_EQ(message0(), 0x00);
}

TEST_F(Devices, CmosKeepsItsBytesAcrossResetsAndTracesReadsAndWrites) {
  PortOut8(0x72, 0x61);
  PortOut8(0x73, 0x03);
  PortOut8(0x72, 0x10);
  PortOut8(0x73, 0x7E);
  p.BeginBoot();
  PortOut8(0x72, 0x61);
  EXPECT_EQ(PortIn8(0x73), 0x03);
  PortOut8(0x72, 0x10);
  EXPECT_EQ(PortIn8(0x73), 0x7E);
  EXPECT_EQ(PortIn8(0x72), 0x10) << "the index reads back";
  size_t reads = 0, writes = 0;
  for (const sim::TraceEvent& e : p.trace) {
    reads += e.kind == "CmosRead";
    writes += e.kind == "CmosWrite";
  }
  EXPECT_EQ(reads, 2u);
  EXPECT_EQ(writes, 2u);
  ASSERT_EQ(nb.cmos.writes.size(), 2u);
  EXPECT_EQ(nb.cmos.writes[0].index, 0x61);
  EXPECT_EQ(nb.cmos.writes[0].value, 0x03);
}

TEST_F(Devices, DevicesLearnHowThePreviousBootEnded) {
  struct Row {
    std::function<void()> end;
    sim::BootCause cause;
  };
  EFI_RUNTIME_SERVICES* rt = p.RuntimeServices();
  EXPECT_EQ(p.Cause(), sim::BootCause::PowerOn);
  const Row rows[] = {
      {[&] { rt->ResetSystem(EfiResetWarm, EFI_SUCCESS, 0, nullptr); }, sim::BootCause::WarmReset},
      {[&] { rt->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr); }, sim::BootCause::ColdReset},
      {[&] { rt->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr); }, sim::BootCause::AfterShutdown},
      {[&] {
         p.CutPowerAfterNvWrite(1);
         const uint8_t b = 1;
         rt->SetVariable(u"X", &sim::kGlobalVariableGuid, 7, 1, &b);
       },
       sim::BootCause::AfterPowerLoss},
      {[] {}, sim::BootCause::ColdReset},
  };
  for (const Row& row : rows) {
    p.RunGuarded(row.end);
    p.BeginBoot();
    EXPECT_EQ(p.Cause(), row.cause) << sim::BootCauseName(row.cause);
  }
}

}  // namespace
