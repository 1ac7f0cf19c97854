// The firmware image's x86-64 seam backend (support/base/efi/hw_x86.cpp),
// compiled for the host and executed instruction by instruction.
//
// Without I/O privilege every in/out, and rdmsr at user level, raises a
// general-protection fault, which Linux delivers as SIGSEGV with the
// faulting instruction's registers. The handler below decodes the
// instruction, records port, width and value (or the MSR index), supplies
// the value a device would return and steps over it. The CPUID probe runs
// with the trap flag set so that the registers the cpuid instruction sees
// can be inspected. Device memory accesses run on ordinary memory here;
// their single-access forms in the image are checked by check_image_forms.py.
#include <cpuid.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <ucontext.h>
#include <x86intrin.h>

#include <cstdint>
#include <cstring>
#include <functional>

#include "support/base/hw.h"

// The handlers below must see the faults, not the address sanitizer.
extern "C" const char* __asan_default_options() { return "handle_segv=0:allow_user_segv_handler=1"; }

namespace {

struct IoAccess {
  bool out;
  int width;
  uint16_t port;
  uint32_t value;
};

struct Faults {
  IoAccess io[8];
  int ioCount;
  uint32_t busValue;  // what an in instruction reads
  int msrCount;
  uint32_t msrIndex;
  uint64_t msrValue;  // what rdmsr returns
  int unknown;        // faults at instructions the handler does not know
};
Faults gFaults;

void OnFault(int, siginfo_t*, void* context) {
  greg_t* r = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  const uint8_t* ip = reinterpret_cast<const uint8_t*>(r[REG_RIP]);
  size_t length = 0;
  const bool operandSize16 = ip[0] == 0x66;
  if (operandSize16) length++;
  const uint8_t op = ip[length++];
  if (op == 0x0F && ip[length] == 0x32 && !operandSize16) {  // rdmsr
    gFaults.msrCount++;
    gFaults.msrIndex = static_cast<uint32_t>(r[REG_RCX]);
    r[REG_RAX] = static_cast<uint32_t>(gFaults.msrValue);
    r[REG_RDX] = static_cast<uint32_t>(gFaults.msrValue >> 32);
    r[REG_RIP] += static_cast<greg_t>(length + 1);
    return;
  }
  const bool immediate = op >= 0xE4 && op <= 0xE7;
  const bool viaDx = op >= 0xEC && op <= 0xEF;
  if ((!immediate && !viaDx) || gFaults.ioCount == 8) {
    gFaults.unknown++;
    signal(SIGSEGV, SIG_DFL);  // let the fault end the test program
    return;
  }
  IoAccess access{};
  access.out = (op & 0x02) != 0;
  access.width = (op & 0x01) == 0 ? 1 : (operandSize16 ? 2 : 4);
  access.port = immediate ? ip[length++] : static_cast<uint16_t>(r[REG_RDX]);
  const uint64_t mask = access.width == 1 ? 0xFF : access.width == 2 ? 0xFFFF : 0xFFFFFFFF;
  if (access.out) {
    access.value = static_cast<uint32_t>(r[REG_RAX] & mask);
  } else {
    access.value = static_cast<uint32_t>(gFaults.busValue & mask);
    // A 32-bit in zero-extends into RAX; narrower ones keep the upper bits.
    const uint64_t keep = access.width == 4 ? 0 : ~mask;
    r[REG_RAX] = static_cast<greg_t>((static_cast<uint64_t>(r[REG_RAX]) & keep) | access.value);
  }
  gFaults.io[gFaults.ioCount++] = access;
  r[REG_RIP] += static_cast<greg_t>(length);
}

// State of the single-step trace around the CPUID probe.
struct ProbeTrace {
  unsigned steps;
  bool sawCpuid;
  uint64_t eax, ebx, rsi;  // as the cpuid instruction found them
  uint64_t afterCpuid;     // address of the instruction after it
  uint16_t answer;         // SI a processor that acts on the request would leave
};
ProbeTrace gProbe;

void OnTrap(int, siginfo_t*, void* context) {
  greg_t* r = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  const uint64_t rip = static_cast<uint64_t>(r[REG_RIP]);
  const uint8_t* ip = reinterpret_cast<const uint8_t*>(rip);
  if (++gProbe.steps > 100000) {
    r[REG_EFL] &= ~static_cast<greg_t>(0x100);
    return;
  }
  if (gProbe.afterCpuid != 0 && rip == gProbe.afterCpuid) {
    r[REG_RSI] = static_cast<greg_t>((static_cast<uint64_t>(r[REG_RSI]) & ~0xFFFFull) | gProbe.answer);
    gProbe.afterCpuid = 0;
    return;
  }
  if (!gProbe.sawCpuid && ip[0] == 0x0F && ip[1] == 0xA2) {
    gProbe.sawCpuid = true;
    gProbe.eax = static_cast<uint64_t>(r[REG_RAX]);
    gProbe.ebx = static_cast<uint64_t>(r[REG_RBX]);
    gProbe.rsi = static_cast<uint64_t>(r[REG_RSI]);
    gProbe.afterCpuid = rip + 2;
  }
}

__attribute__((noinline)) uint16_t ProbeSingleStepped(uint32_t eax, uint32_t ebx) {
  __asm__ __volatile__("pushfq\n\torq $0x100, (%%rsp)\n\tpopfq" ::: "memory", "cc");
  const uint16_t si = CpuidSiProbe(eax, ebx);
  __asm__ __volatile__("pushfq\n\tandq $~0x100, (%%rsp)\n\tpopfq" ::: "memory", "cc");
  return si;
}

class X86Backend : public ::testing::Test {
 protected:
  struct sigaction oldSegv {};
  struct sigaction oldTrap {};
  cpu_set_t oldAffinity{};

  void SetUp() override {
    gFaults = Faults{};
    gProbe = ProbeTrace{};
    struct sigaction sa {};
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sa.sa_sigaction = OnFault;
    ASSERT_EQ(sigaction(SIGSEGV, &sa, &oldSegv), 0);
    sa.sa_sigaction = OnTrap;
    ASSERT_EQ(sigaction(SIGTRAP, &sa, &oldTrap), 0);
    // CPUID and the TSC are compared with the same processor's answers.
    ASSERT_EQ(sched_getaffinity(0, sizeof(oldAffinity), &oldAffinity), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
  }
  void TearDown() override {
    sigaction(SIGSEGV, &oldSegv, nullptr);
    sigaction(SIGTRAP, &oldTrap, nullptr);
    sched_setaffinity(0, sizeof(oldAffinity), &oldAffinity);
    EXPECT_EQ(gFaults.unknown, 0);
  }
};

TEST_F(X86Backend, PortWritesUseThePortWidthAndValueGiven) {
  struct Row {
    const char* name;
    std::function<uint32_t()> call;
    uint16_t port;
    int width;
    uint32_t value;
  };
  const Row rows[] = {
      {"out8 EC command", [] { return PortOut8(0x66, 0x81); }, 0x66, 1, 0x81},
      {"out8 CMOS index", [] { return PortOut8(0x72, 0x61); }, 0x72, 1, 0x61},
      {"out16 post-code marker", [] { return PortOut16(0xE0, 0xDEAD); }, 0xE0, 2, 0xDEAD},
      {"out32 post code", [] { return PortOut32(0x80, 0xB2000001); }, 0x80, 4, 0xB2000001},
      {"out32 above port 255", [] { return PortOut32(0xCF8, 0x8000F8A0); }, 0xCF8, 4, 0x8000F8A0},
      {"out16 above port 255", [] { return PortOut16(0x1234, 0x5AA5); }, 0x1234, 2, 0x5AA5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    gFaults.ioCount = 0;
    EXPECT_EQ(row.call(), row.value) << "a write returns the value written";
    ASSERT_EQ(gFaults.ioCount, 1) << "exactly one I/O instruction";
    EXPECT_TRUE(gFaults.io[0].out);
    EXPECT_EQ(gFaults.io[0].port, row.port);
    EXPECT_EQ(gFaults.io[0].width, row.width);
    EXPECT_EQ(gFaults.io[0].value, row.value);
  }
}

TEST_F(X86Backend, PortReadsReturnWhatTheBusDelivers) {
  struct Row {
    const char* name;
    std::function<uint32_t()> call;
    uint16_t port;
    int width;
    uint32_t bus;
    uint32_t expected;
  };
  const Row rows[] = {
      {"in8 EC status", [] { return PortIn8(0x66); }, 0x66, 1, 0xFFFFFF5A, 0x5A},
      {"in8 post-code delay", [] { return PortIn8(0x80); }, 0x80, 1, 0x01, 0x01},
      {"in16", [] { return PortIn16(0x1234); }, 0x1234, 2, 0xFFFFBEEF, 0xBEEF},
      {"in32 above port 255", [] { return PortIn32(0xCFC); }, 0xCFC, 4, 0xDEADBEEF, 0xDEADBEEF},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    gFaults.ioCount = 0;
    gFaults.busValue = row.bus;
    EXPECT_EQ(row.call(), row.expected);
    ASSERT_EQ(gFaults.ioCount, 1);
    EXPECT_FALSE(gFaults.io[0].out);
    EXPECT_EQ(gFaults.io[0].port, row.port);
    EXPECT_EQ(gFaults.io[0].width, row.width);
  }
}

TEST_F(X86Backend, ReadMsrTakesTheIndexInEcxAndJoinsEdxEax) {
  for (const uint32_t index : {0xC0010058u, 0xC0010063u, 0xC0010064u}) {
    SCOPED_TRACE(index);
    gFaults.msrCount = 0;
    gFaults.msrValue = 0x0000001234567890ull + index;
    EXPECT_EQ(ReadMsr(index), 0x0000001234567890ull + index);
    EXPECT_EQ(gFaults.msrCount, 1);
    EXPECT_EQ(gFaults.msrIndex, index);
  }
  gFaults.msrValue = 0x8000000000000001ull;
  EXPECT_EQ(ReadMsr(0xC0010064), 0x8000000000000001ull);
}

TEST_F(X86Backend, CpuidLeafMatchesTheProcessor) {
  unsigned maxBasic = 0, maxExtended = 0, b, c, d;
  __cpuid(0, maxBasic, b, c, d);
  __cpuid(0x80000000, maxExtended, b, c, d);
  std::vector<uint32_t> leaves = {0, 1};
  for (uint32_t leaf = 0x80000000; leaf <= std::min(maxExtended, 0x80000004u); leaf++) leaves.push_back(leaf);
  for (uint32_t leaf : leaves) {
    if (leaf < 0x80000000 && leaf > maxBasic) continue;
    SCOPED_TRACE(leaf);
    unsigned expected[4];
    __cpuid(leaf, expected[0], expected[1], expected[2], expected[3]);
    uint32_t regs[4] = {0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE};
    CpuidLeaf(leaf, regs);
    EXPECT_EQ(regs[0], expected[0]) << "EAX";
    EXPECT_EQ(regs[1], expected[1]) << "EBX";
    EXPECT_EQ(regs[2], expected[2]) << "ECX";
    EXPECT_EQ(regs[3], expected[3]) << "EDX";
  }
}

TEST_F(X86Backend, SiProbeLoadsEaxAndEbxAndClearsSiBeforeCpuid) {
  struct Row {
    uint32_t eax, ebx;
    uint16_t answer;
  };
  for (const Row& row : {Row{0xBACCD00B, 2, 0}, Row{0xBACCD00B, 2, 0x1234}, Row{0x00000001, 0x0000CAFE, 1}}) {
    SCOPED_TRACE(row.answer);
    gProbe = ProbeTrace{};
    gProbe.answer = row.answer;
    const uint16_t si = ProbeSingleStepped(row.eax, row.ebx);
    ASSERT_TRUE(gProbe.sawCpuid);
    EXPECT_EQ(static_cast<uint32_t>(gProbe.eax), row.eax);
    EXPECT_EQ(static_cast<uint32_t>(gProbe.ebx), row.ebx);
    EXPECT_EQ(gProbe.rsi & 0xFFFF, 0u) << "SI is cleared before the instruction";
    EXPECT_EQ(si, row.answer) << "the result is SI as the instruction left it";
  }
}

TEST_F(X86Backend, SiProbePreservesTheCallersRegisters) {
  // Canaries in RBX, RCX, RDX and the upper half of RSI (its lower half is
  // the EBX argument) across a direct call: the probe's CPUID would change
  // RBX, RCX and RDX, and its SI write RSI, if they were not saved.
  uint64_t rbx = 0x1111111111111111, rcx = 0x2222222222222222, rdx = 0x3333333333333333,
           rsi = 0x4444444400000002, rdi = 0xBACCD00B, rax = 0;
  __asm__ __volatile__("call CpuidSiProbe"
                       : "+b"(rbx), "+c"(rcx), "+d"(rdx), "+S"(rsi), "+D"(rdi), "=a"(rax)
                       :
                       : "r8", "r9", "r10", "r11", "xmm0", "xmm1", "xmm2", "xmm3", "memory", "cc");
  EXPECT_EQ(rbx, 0x1111111111111111u);
  EXPECT_EQ(rcx, 0x2222222222222222u);
  EXPECT_EQ(rdx, 0x3333333333333333u);
  EXPECT_EQ(rsi, 0x4444444400000002u);
  EXPECT_EQ(rax & 0xFFFF, 0u) << "no processor answers this request";
}

TEST_F(X86Backend, TscIsTheProcessorsCounterAndPauseExecutes) {
  uint64_t previous = ReadTsc();
  for (int i = 0; i < 1000; i++) {
    const uint64_t before = __rdtsc();
    const uint64_t tsc = ReadTsc();
    const uint64_t after = __rdtsc();
    EXPECT_LE(before, tsc);
    EXPECT_LE(tsc, after);
    EXPECT_GE(tsc, previous);
    previous = tsc;
    SpinPause();
  }
  // The pause instruction itself (F3 90) is the body of SpinPause.
  const uint8_t* code = reinterpret_cast<const uint8_t*>(&SpinPause);
  bool pause = false;
  for (int i = 0; i + 1 < 16 && code[i] != 0xC3; i++)
    pause = pause || (code[i] == 0xF3 && code[i + 1] == 0x90);
  EXPECT_TRUE(pause);
}

TEST_F(X86Backend, DeviceRegisterAccessesTouchExactlyTheirWidth) {
  alignas(8) uint8_t page[16];
  struct Row {
    const char* name;
    std::function<uint32_t(uint64_t)> call;
    size_t offset;
    std::vector<uint8_t> bytes;  // expected content at offset afterwards
    uint32_t result;
  };
  const Row rows[] = {
      {"write8", [](uint64_t a) { return MmioWrite8(a, 0x5A); }, 3, {0x5A}, 0x5A},
      {"write16", [](uint64_t a) { return MmioWrite16(a, 0xBEEF); }, 6, {0xEF, 0xBE}, 0xBEEF},
      {"write32",
       [](uint64_t a) { return MmioWrite32(a, 0x12345678); },
       8,
       {0x78, 0x56, 0x34, 0x12},
       0x12345678},
      {"read8", [](uint64_t a) { return MmioRead8(a); }, 5, {0xA5}, 0xA5},
      {"read16", [](uint64_t a) { return MmioRead16(a); }, 4, {0xA5, 0xA5}, 0xA5A5},
      {"read32", [](uint64_t a) { return MmioRead32(a); }, 4, {0xA5, 0xA5, 0xA5, 0xA5}, 0xA5A5A5A5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::memset(page, 0xA5, sizeof(page));
    EXPECT_EQ(row.call(reinterpret_cast<uint64_t>(page + row.offset)), row.result);
    for (size_t i = 0; i < sizeof(page); i++) {
      const bool inside = i >= row.offset && i < row.offset + row.bytes.size();
      EXPECT_EQ(page[i], inside ? row.bytes[i - row.offset] : 0xA5) << "byte " << i;
    }
  }
}

}  // namespace
