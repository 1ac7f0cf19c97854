// EC, CMOS and IMC mailbox access through I/O ports.
#include "bootctl/ec.h"

#include "support/base/hw.h"

namespace {

// Build-time guards of the IMC request; either one set makes it a no-op.
constexpr bool kImcGuardA = false;
constexpr bool kImcGuardB = false;

// Each status read that misses is followed by four reads of port 0x80, the
// classic I/O delay.
constexpr UINT16 kDelayPort = 0x80;
constexpr UINT8 kDelayReads = 4;

}  // namespace

// Drains a stale byte the EC left in its output buffer, but only one the
// very status read showed: while IBF is set nothing the host is waiting for
// can be there yet, whereas a blind read could swallow an answer the EC put
// there just after the status read.
EFI_STATUS EcWaitInputEmpty(UINT16 statusPort) {
  const UINT16 dataPort = static_cast<UINT16>(statusPort - 4);
  const UINT8 status =
      PortPoll8(statusPort, EC_IBF, 0, kEcPollBound, dataPort, EC_OBF, kDelayPort, kDelayReads);
  return (status & EC_IBF) == 0 ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}

EFI_STATUS EcWaitOutputFull(UINT16 statusPort) {
  const UINT8 status = PortPoll8(statusPort, EC_OBF, EC_OBF, kEcPollBound, 0, 0, kDelayPort, kDelayReads);
  return (status & EC_OBF) != 0 ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}

EFI_STATUS EcSendByte(UINT16 port, UINT8 value) {
  EFI_STATUS status = EcWaitInputEmpty(EC_SC);
  if (EFI_ERROR(status)) {
    return status;
  }
  PortOut8(port, value);
  return EcWaitInputEmpty(EC_SC);
}

EFI_STATUS EcReceiveByte(UINT16 port, UINT8* value) {
  EFI_STATUS status = EcWaitOutputFull(EC_SC);
  if (EFI_ERROR(status)) {
    return status;
  }
  *value = PortIn8(port);
  return EFI_SUCCESS;
}

EFI_STATUS EcReadRegister(UINT8 reg, UINT8* value) {
  EFI_STATUS status = EcSendByte(EC_SC, RD_EC);
  if (!EFI_ERROR(status)) {
    status = EcSendByte(EC_DATA, reg);
  }
  if (!EFI_ERROR(status)) {
    status = EcReceiveByte(EC_DATA, value);
  }
  return status;
}

// Every send is attempted even after a failure; the caller has no use for
// the outcome.
void EcWriteRegister(UINT8 reg, UINT8 value) {
  EcSendByte(EC_SC, WR_EC);
  EcSendByte(EC_DATA, reg);
  EcSendByte(EC_DATA, value);
}

void WriteChangeBootCmos(UINT8 mode) {
  PortOut8(CMOS_INDEX_PORT, CMOS_CHGBOOT_MODE);
  PortOut8(CMOS_DATA_PORT, mode);
}

EFI_STATUS ImcSetIdle(BOOLEAN idle) {
  if ((MmioRead8(IMC_GATE_ADDRESS) & IMC_GATE_BIT) == 0) {
    return EFI_SUCCESS;  // microcontroller not enabled
  }
  PortOut8(IMC_INDEX_PORT, IMC_REG_MESSAGE0);
  PortOut8(IMC_DATA_PORT, 0x00);
  PortOut8(IMC_INDEX_PORT, IMC_REG_MESSAGE1);
  PortOut8(IMC_DATA_PORT, idle ? IMC_PARAM_ENTER_IDLE : IMC_PARAM_LEAVE_IDLE);
  PortOut8(IMC_INDEX_PORT, IMC_REG_COMMAND);
  PortOut8(IMC_DATA_PORT, IMC_CMD_IDLE);
  for (UINT32 i = 0; i < kImcAckPollBound; i++) {
    PortOut8(IMC_INDEX_PORT, IMC_REG_MESSAGE0);
    if (PortIn8(IMC_DATA_PORT) == IMC_ACK) {
      return EFI_SUCCESS;
    }
  }
  return EFI_TIMEOUT;
}

EFI_STATUS ImcSetIdleGuarded(BOOLEAN idle) {
  if (kImcGuardA || kImcGuardB) {
    return EFI_UNSUPPORTED;
  }
  return ImcSetIdle(idle);
}
