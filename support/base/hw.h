// The hardware seam: the only code with two backends. The firmware image
// executes the x86-64 instructions (hw_x86.cpp); the host build routes every
// access to the simulated platform's devices.
#pragma once

#include <stdint.h>

extern "C" {
// I/O ports. A write returns the value written.
uint8_t PortIn8(uint16_t port);
uint16_t PortIn16(uint16_t port);
uint32_t PortIn32(uint16_t port);
uint8_t PortOut8(uint16_t port, uint8_t value);
uint16_t PortOut16(uint16_t port, uint16_t value);
uint32_t PortOut32(uint16_t port, uint32_t value);
// A status poll: reads statusPort at most `bound` times until
// (status & mask) == want. After each read that misses, reads drainPort once
// when the status has a bit of drainMask set, then delayPort delayReads
// times. Returns the last status read (0 when bound is 0). Exactly these
// reads, in this order, on every backend.
uint8_t PortPoll8(uint16_t statusPort, uint8_t mask, uint8_t want, uint32_t bound, uint16_t drainPort,
                  uint8_t drainMask, uint16_t delayPort, uint8_t delayReads);

// Device registers: one access of the stated width at a physical address.
uint8_t MmioRead8(uint64_t address);
uint16_t MmioRead16(uint64_t address);
uint32_t MmioRead32(uint64_t address);
uint8_t MmioWrite8(uint64_t address, uint8_t value);
uint16_t MmioWrite16(uint64_t address, uint16_t value);
uint32_t MmioWrite32(uint64_t address, uint32_t value);

// Processor.
uint64_t ReadMsr(uint32_t index);
// CPUID with EAX = leaf (ECX not set); regs receives EAX, EBX, ECX, EDX.
void CpuidLeaf(uint32_t leaf, uint32_t regs[4]);
// CPUID with EAX = eax and EBX = ebx after SI is cleared; returns SI.
uint16_t CpuidSiProbe(uint32_t eax, uint32_t ebx);
uint64_t ReadTsc(void);
void SpinPause(void);
}
