// EC, CMOS and IMC mailboxes against the simulated devices.
#include "bootctl/ec.h"

#include "tests/unit/driver_fixture.h"
#include "tests/unit/shims.h"

namespace {

using EcTest = DriverTest;

TEST_F(EcTest, ReadAndWriteRegistersThroughTheHandshake) {
  notebook.ec.registers[0x19] = 0x5A;
  UINT8 value = 0;
  EXPECT_EQ(EcReadRegister(0x19, &value), EFI_SUCCESS);
  EXPECT_EQ(value, 0x5A);

  EcWriteRegister(0x94, 0x01);
  ASSERT_EQ(notebook.ec.writes.size(), 1u);
  EXPECT_EQ(notebook.ec.writes[0].reg, 0x94);
  EXPECT_EQ(notebook.ec.writes[0].value, 0x01);
  EXPECT_EQ(notebook.ec.commands, (std::vector<uint8_t>{0x80, 0x81}));
}

TEST_F(EcTest, SlowEcIsWaitedFor) {
  // A slow EC: half a millisecond per byte and as long again for an answer.
  notebook.ec.behaviour.takeNs = 500000;
  notebook.ec.behaviour.answerNs = 500000;
  notebook.ec.registers[0x16] = 7;
  UINT8 value = 0;
  EXPECT_EQ(EcReadRegister(0x16, &value), EFI_SUCCESS);
  EXPECT_EQ(value, 7);
  EcWriteRegister(0x16, 2);
  EXPECT_EQ(notebook.ec.registers[0x16], 2);
}

TEST_F(EcTest, BusyForTheWholeWaitFailsWithoutWriting) {
  notebook.ec.behaviour.neverAnswers = true;
  const uint64_t post80 = notebook.postCodes.reads;

  EXPECT_EQ(EcSendByte(0x62, 0x42), EFI_DEVICE_ERROR);
  EXPECT_EQ(notebook.ec.statusReads, 65536u);
  // Every unsuccessful status read waits four port-0x80 reads; with no
  // output byte to drain the data port is left alone, and the byte itself is
  // never written.
  EXPECT_EQ(notebook.ec.dataReads, 0u);
  EXPECT_EQ(notebook.postCodes.reads - post80, 4u * 65536);
  EXPECT_TRUE(notebook.ec.commands.empty());
}

TEST_F(EcTest, ReadRegisterStopsAtTheFirstFailedSend) {
  notebook.ec.behaviour.neverAnswers = true;
  UINT8 value = 0xEE;
  EXPECT_EQ(EcReadRegister(0x19, &value), EFI_DEVICE_ERROR);
  EXPECT_EQ(notebook.ec.statusReads, 65536u);
  EXPECT_EQ(value, 0xEE);
}

TEST_F(EcTest, WriteRegisterAttemptsAllThreeSendsWhenBusy) {
  notebook.ec.behaviour.neverAnswers = true;
  EcWriteRegister(0x94, 1);
  EXPECT_EQ(notebook.ec.statusReads, 3u * 65536);
}

TEST_F(EcTest, WaitOutputFullGivesUpAfterTheBound) {
  // The EC takes the command bytes but never produces an answer.
  notebook.ec.behaviour.goesDeadAfter = 1;
  UINT8 value = 0;
  EXPECT_EQ(EcReadRegister(0x19, &value), EFI_DEVICE_ERROR);
  EXPECT_EQ(EcWaitOutputFull(0x66), EFI_DEVICE_ERROR);
}

TEST_F(EcTest, WaitOutputFullDelaysWithoutDrainingAndGivesUpAfter65536Reads) {
  notebook.ec.behaviour.neverAnswers = true;
  const uint64_t post80 = notebook.postCodes.reads;
  EXPECT_EQ(EcWaitOutputFull(0x66), EFI_DEVICE_ERROR);
  EXPECT_EQ(notebook.ec.statusReads, 65536u);
  EXPECT_EQ(notebook.postCodes.reads - post80, 4u * 65536);
  EXPECT_EQ(notebook.ec.dataReads, 0u) << "waiting for output drains nothing";
}

// Each unsuccessful status read is followed first by the drain of the data
// port when that read showed an output byte, then by the four port-0x80
// reads of the delay.
TEST_F(EcTest, WaitsReadStatusThenDrainThenDelay) {
  using A = PortSpy::Access;
  const A status{false, 0x66}, data{false, 0x62}, delay{false, 0x80};
  struct Row {
    const char* name;
    bool inputEmpty;
    std::vector<A> expected;
  };
  const std::vector<A> delays = {delay, delay, delay, delay};
  auto concat = [](std::vector<std::vector<A>> parts) {
    std::vector<A> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const Row rows[] = {
      {"input_empty", true, concat({{status, data}, delays, {status}, delays, {status}})},
      {"output_full", false,
       concat({{status}, delays, {status}, delays, {status}})},  // first 11 of a dead EC
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    notebook.ec.behaviour = {};
    Boot();
    if (row.inputEmpty) {
      // Busy for two poll rounds (5 us each) with a stale byte waiting.
      notebook.ec.behaviour.busyAtBootNs = 8000;
      notebook.ec.behaviour.staleOutput = 0x55;
      Boot();
      PortSpy spy(platform, {{0x62, &notebook.ec}, {0x66, &notebook.ec}, {0x80, &notebook.postCodes}});
      EXPECT_EQ(EcWaitInputEmpty(0x66), EFI_SUCCESS);
      EXPECT_EQ(spy.log, row.expected);
    } else {
      notebook.ec.behaviour.neverAnswers = true;
      PortSpy spy(platform, {{0x62, &notebook.ec}, {0x66, &notebook.ec}, {0x80, &notebook.postCodes}});
      EXPECT_EQ(EcWaitOutputFull(0x66), EFI_DEVICE_ERROR);
      const std::vector<A> head(spy.log.begin(), spy.log.begin() + std::min<size_t>(spy.log.size(), 11));
      EXPECT_EQ(head, row.expected);
      ASSERT_EQ(spy.log.size(), 5u * 65536);
      size_t misplaced = 0;
      for (size_t i = 0; i < spy.log.size(); i++) misplaced += !(spy.log[i] == (i % 5 == 0 ? status : delay));
      EXPECT_EQ(misplaced, 0u);
    }
  }
}

TEST_F(EcTest, StaleOutputByteIsDrainedOncePerBusyRead) {
  // Busy for three poll rounds (a status read and four port-0x80 reads, 5 us
  // each) with a byte left in the output buffer.
  notebook.ec.behaviour.busyAtBootNs = 14000;
  notebook.ec.behaviour.staleOutput = 0x55;
  notebook.ec.registers[0x19] = 0x00;
  Boot();
  UINT8 value = 0xEE;
  EXPECT_EQ(EcReadRegister(0x19, &value), EFI_SUCCESS);
  EXPECT_EQ(notebook.ec.drainedBytes, 1u);
  EXPECT_EQ(value, 0x00) << "the stale byte must not be taken as the answer";
  // The first busy status read shows the stale byte and drains it; the later
  // ones show no output byte and leave the data port alone. Then the answer.
  EXPECT_EQ(notebook.ec.dataReads, 2u);
}

TEST_F(EcTest, ChangeBootCmosWritesExactlyIndexThenMode) {
  const uint64_t writes = platform.counters.portWrites;
  WriteChangeBootCmos(3);
  EXPECT_EQ(platform.counters.portWrites - writes, 2u);
  ASSERT_EQ(notebook.cmos.writes.size(), 1u);
  EXPECT_EQ(notebook.cmos.writes[0].index, 0x61);
  EXPECT_EQ(notebook.cmos.bytes[0x61], 3);
}

TEST_F(EcTest, ImcGateClearTouchesNoPort) {
  notebook.EnableImc(false);
  const uint64_t reads = platform.counters.portReads, writes = platform.counters.portWrites;
  EXPECT_EQ(ImcSetIdleGuarded(true), EFI_SUCCESS);
  EXPECT_EQ(platform.counters.portReads, reads);
  EXPECT_EQ(platform.counters.portWrites, writes);
  EXPECT_TRUE(notebook.imc.requests.empty());
}

TEST_F(EcTest, ImcIdleAndResumeDifferOnlyInTheParameter) {
  notebook.EnableImc(true);
  notebook.imc.ackNs = 0;  // acknowledged by the first poll
  struct Row {
    BOOLEAN idle;
    uint8_t parameter;
  };
  for (const Row& row : {Row{true, 0xB4}, Row{false, 0xB5}}) {
    SCOPED_TRACE(row.parameter);
    notebook.imc.requests.clear();
    const uint64_t writes = platform.counters.portWrites;
    EXPECT_EQ(ImcSetIdleGuarded(row.idle), EFI_SUCCESS);
    EXPECT_EQ(notebook.imc.requests, std::vector<uint8_t>{row.parameter});
    EXPECT_EQ(notebook.imc.idle, row.idle != 0);
    // Six writes set up the request, one index write per acknowledge poll.
    EXPECT_EQ(platform.counters.portWrites - writes, 7u);
  }
}

TEST_F(EcTest, ImcWithoutAcknowledgeTimesOut) {
  notebook.EnableImc(true);
  notebook.imc.acknowledges = false;
  const uint64_t reads = platform.counters.portReads;
  EXPECT_EQ(ImcSetIdleGuarded(true), EFI_TIMEOUT);
  EXPECT_EQ(platform.counters.portReads - reads, kImcAckPollBound);
}

}  // namespace
