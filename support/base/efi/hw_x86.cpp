// x86-64 backend of the hardware seam, linked into the firmware image only.
#include "support/base/hw.h"

extern "C" {

uint8_t PortIn8(uint16_t port) {
  uint8_t v;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(v) : "Nd"(port));
  return v;
}

uint8_t PortPoll8(uint16_t statusPort, uint8_t mask, uint8_t want, uint32_t bound, uint16_t drainPort,
                  uint8_t drainMask, uint16_t delayPort, uint8_t delayReads) {
  uint8_t status = 0;
  for (uint32_t i = 0; i < bound; i++) {
    status = PortIn8(statusPort);
    if ((status & mask) == want) return status;
    if ((status & drainMask) != 0) PortIn8(drainPort);
    for (uint8_t d = 0; d < delayReads; d++) PortIn8(delayPort);
  }
  return status;
}

uint16_t PortIn16(uint16_t port) {
  uint16_t v;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(v) : "Nd"(port));
  return v;
}

uint32_t PortIn32(uint16_t port) {
  uint32_t v;
  __asm__ __volatile__("inl %w1, %0" : "=a"(v) : "Nd"(port));
  return v;
}

uint8_t PortOut8(uint16_t port, uint8_t value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port));
  return value;
}

uint16_t PortOut16(uint16_t port, uint16_t value) {
  __asm__ __volatile__("outw %w0, %w1" : : "a"(value), "Nd"(port));
  return value;
}

uint32_t PortOut32(uint16_t port, uint32_t value) {
  __asm__ __volatile__("outl %0, %w1" : : "a"(value), "Nd"(port));
  return value;
}

uint8_t MmioRead8(uint64_t address) { return *reinterpret_cast<volatile uint8_t*>(address); }
uint16_t MmioRead16(uint64_t address) { return *reinterpret_cast<volatile uint16_t*>(address); }
uint32_t MmioRead32(uint64_t address) { return *reinterpret_cast<volatile uint32_t*>(address); }

uint8_t MmioWrite8(uint64_t address, uint8_t value) {
  *reinterpret_cast<volatile uint8_t*>(address) = value;
  return value;
}

uint16_t MmioWrite16(uint64_t address, uint16_t value) {
  *reinterpret_cast<volatile uint16_t*>(address) = value;
  return value;
}

uint32_t MmioWrite32(uint64_t address, uint32_t value) {
  *reinterpret_cast<volatile uint32_t*>(address) = value;
  return value;
}

uint64_t ReadMsr(uint32_t index) {
  uint32_t lo, hi;
  __asm__ __volatile__("rdmsr" : "=a"(lo), "=d"(hi) : "c"(index));
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

void CpuidLeaf(uint32_t leaf, uint32_t regs[4]) {
  uint32_t a, b, c, d;
  __asm__ __volatile__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(leaf));
  regs[0] = a;
  regs[1] = b;
  regs[2] = c;
  regs[3] = d;
}

uint16_t CpuidSiProbe(uint32_t eax, uint32_t ebx) {
  // SI is cleared just before CPUID; a processor that does not act on the
  // request leaves it at zero. RBX, RCX, RDX and RSI are preserved.
  uint64_t si;
  __asm__ __volatile__(
      "pushfq\n\t"
      "pushq %%rbx\n\t"
      "pushq %%rcx\n\t"
      "pushq %%rdx\n\t"
      "pushq %%rsi\n\t"
      "movl %k2, %%ebx\n\t"
      "xorl %%esi, %%esi\n\t"
      "cpuid\n\t"
      "movzwq %%si, %0\n\t"
      "popq %%rsi\n\t"
      "popq %%rdx\n\t"
      "popq %%rcx\n\t"
      "popq %%rbx\n\t"
      "popfq\n\t"
      : "=&D"(si), "+a"(eax)
      : "r"(ebx)
      : "memory", "cc");
  return static_cast<uint16_t>(si);
}

uint64_t ReadTsc(void) {
  uint32_t lo, hi;
  __asm__ __volatile__("rdtsc" : "=a"(lo), "=d"(hi));
  return (static_cast<uint64_t>(hi) << 32) | lo;
}

void SpinPause(void) { __asm__ __volatile__("pause"); }
}
