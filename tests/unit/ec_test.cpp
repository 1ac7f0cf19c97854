// EC, CMOS and IMC mailboxes against the simulated devices.
#include "bootctl/ec.h"

#include "tests/unit/driver_fixture.h"

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
  EXPECT_EQ(notebook.ec.commands, (std::vector<uint8_t>{RD_EC, WR_EC}));
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

  EXPECT_EQ(EcSendByte(EC_DATA, 0x42), EFI_DEVICE_ERROR);
  EXPECT_EQ(notebook.ec.statusReads, kEcPollBound);
  // Every unsuccessful status read waits four port-0x80 reads; with no
  // output byte to drain the data port is left alone, and the byte itself is
  // never written.
  EXPECT_EQ(notebook.ec.dataReads, 0u);
  EXPECT_EQ(notebook.postCodes.reads - post80, 4u * kEcPollBound);
  EXPECT_TRUE(notebook.ec.commands.empty());
}

TEST_F(EcTest, ReadRegisterStopsAtTheFirstFailedSend) {
  notebook.ec.behaviour.neverAnswers = true;
  UINT8 value = 0xEE;
  EXPECT_EQ(EcReadRegister(0x19, &value), EFI_DEVICE_ERROR);
  EXPECT_EQ(notebook.ec.statusReads, kEcPollBound);
  EXPECT_EQ(value, 0xEE);
}

TEST_F(EcTest, WriteRegisterAttemptsAllThreeSendsWhenBusy) {
  notebook.ec.behaviour.neverAnswers = true;
  EcWriteRegister(0x94, 1);
  EXPECT_EQ(notebook.ec.statusReads, 3u * kEcPollBound);
}

TEST_F(EcTest, WaitOutputFullGivesUpAfterTheBound) {
  // The EC takes the command bytes but never produces an answer.
  notebook.ec.behaviour.goesDeadAfter = 1;
  UINT8 value = 0;
  EXPECT_EQ(EcReadRegister(0x19, &value), EFI_DEVICE_ERROR);
  EXPECT_EQ(EcWaitOutputFull(EC_SC), EFI_DEVICE_ERROR);
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
  EXPECT_EQ(notebook.cmos.writes[0].index, CMOS_CHGBOOT_MODE);
  EXPECT_EQ(notebook.cmos.bytes[CMOS_CHGBOOT_MODE], 3);
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
  for (const Row& row : {Row{true, IMC_PARAM_ENTER_IDLE}, Row{false, IMC_PARAM_LEAVE_IDLE}}) {
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
