// Embedded controller (ACPI EC interface), CMOS and FCH integrated
// microcontroller mailboxes.
#pragma once

#include "frame/uefi.h"

constexpr UINT16 EC_DATA = 0x62;
constexpr UINT16 EC_SC = 0x66;
constexpr UINT8 EC_OBF = 0x01;
constexpr UINT8 EC_IBF = 0x02;
constexpr UINT8 RD_EC = 0x80;
constexpr UINT8 WR_EC = 0x81;
constexpr UINT32 kEcPollBound = 0x10000;  // status reads per wait

constexpr UINT8 EC_REG_OOB_TEST = 0x16;
constexpr UINT8 EC_REG_POWER_OFF_REQUEST = 0x19;
constexpr UINT8 EC_REG_LID_FLAG = 0x94;

constexpr UINT16 CMOS_INDEX_PORT = 0x72;
constexpr UINT16 CMOS_DATA_PORT = 0x73;
constexpr UINT8 CMOS_CHGBOOT_MODE = 0x61;

constexpr UINT16 IMC_INDEX_PORT = 0x3E;
constexpr UINT16 IMC_DATA_PORT = 0x3F;
constexpr UINT8 IMC_REG_COMMAND = 0x80;
constexpr UINT8 IMC_REG_MESSAGE0 = 0x82;
constexpr UINT8 IMC_REG_MESSAGE1 = 0x83;
constexpr UINT8 IMC_CMD_IDLE = 0x96;
constexpr UINT8 IMC_PARAM_ENTER_IDLE = 0xB4;
constexpr UINT8 IMC_PARAM_LEAVE_IDLE = 0xB5;
constexpr UINT8 IMC_ACK = 0xFA;
constexpr UINT64 IMC_GATE_ADDRESS = 0xFED80E80;
constexpr UINT8 IMC_GATE_BIT = 0x04;
// Acknowledge polls before the request is given up (each poll is one index
// write and one data read, roughly two microseconds of I/O).
constexpr UINT32 kImcAckPollBound = 0x40000;

EFI_STATUS EcWaitInputEmpty(UINT16 statusPort);
EFI_STATUS EcWaitOutputFull(UINT16 statusPort);
EFI_STATUS EcSendByte(UINT16 port, UINT8 value);
EFI_STATUS EcReceiveByte(UINT16 port, UINT8* value);
EFI_STATUS EcReadRegister(UINT8 reg, UINT8* value);
void EcWriteRegister(UINT8 reg, UINT8 value);
void WriteChangeBootCmos(UINT8 mode);
// EFI_SUCCESS once acknowledged (or when the microcontroller is not enabled),
// EFI_TIMEOUT when no acknowledge came within the poll bound.
EFI_STATUS ImcSetIdle(BOOLEAN idle);
EFI_STATUS ImcSetIdleGuarded(BOOLEAN idle);
