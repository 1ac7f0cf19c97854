// The firmware image's x86-64 seam backend (support/base/efi/hw_x86.cpp),
// compiled for the host and executed instruction by instruction.
//
// Without I/O privilege every in/out, and rdmsr at user level, raises a
// general-protection fault, which Linux delivers as SIGSEGV with the
// faulting instruction's registers; so does rdtsc once PR_TSC_SIGSEGV is
// set. The handler below decodes the instruction, records port, width and
// value (or the MSR index), supplies the value a device or the counter would
// return and steps over it. CPUID runs under the trap flag and is emulated
// at the trap before it, so the registers it sees can be inspected and its
// answer is the test's, whatever processor or hypervisor runs the test.
// Device memory accesses run on ordinary memory here; their single-access
// forms in the image are checked by check_image_forms.py.
#include <cpuid.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <ucontext.h>
#include <x86intrin.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

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
  int busSwitchAt;    // when above 0: the access from which on an in reads busValueLater
  uint32_t busValueLater;
  int msrCount;
  uint32_t msrIndex;
  uint64_t msrValue;  // what rdmsr returns
  int tscCount;
  uint64_t tscValue;  // what rdtsc returns (with PR_TSC_SIGSEGV set)
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
  if (op == 0x0F && ip[length] == 0x31 && !operandSize16) {  // rdtsc
    gFaults.tscCount++;
    r[REG_RAX] = static_cast<uint32_t>(gFaults.tscValue);
    r[REG_RDX] = static_cast<uint32_t>(gFaults.tscValue >> 32);
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
    const bool later = gFaults.busSwitchAt > 0 && gFaults.ioCount >= gFaults.busSwitchAt;
    access.value = static_cast<uint32_t>((later ? gFaults.busValueLater : gFaults.busValue) & mask);
    // A 32-bit in zero-extends into RAX; narrower ones keep the upper bits.
    const uint64_t keep = access.width == 4 ? 0 : ~mask;
    r[REG_RAX] = static_cast<greg_t>((static_cast<uint64_t>(r[REG_RAX]) & keep) | access.value);
  }
  gFaults.io[gFaults.ioCount++] = access;
  r[REG_RIP] += static_cast<greg_t>(length);
}

// Single-step trace of a call that executes CPUID. The instruction itself
// is never executed: at the trap before it the handler records the
// registers it would see, writes the answer a processor would give and steps
// RIP past it. A hypervisor intercepts CPUID and may drop the trap that
// follows it, so nothing here depends on a trap after the instruction.
struct CpuidTrace {
  unsigned steps;
  int cpuids;              // CPUID instructions reached
  uint64_t rax, rbx, rsi;  // as the (first) cpuid instruction found them
  uint32_t answer[4];      // EAX, EBX, ECX, EDX it leaves
  bool setSi;              // also leave answerSi in SI, as a processor that acts on the request
  uint16_t answerSi;
};
CpuidTrace gCpuid;

void OnTrap(int, siginfo_t*, void* context) {
  greg_t* r = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  const uint8_t* ip = reinterpret_cast<const uint8_t*>(r[REG_RIP]);
  if (++gCpuid.steps > 100000) {
    r[REG_EFL] &= ~static_cast<greg_t>(0x100);
    return;
  }
  if (ip[0] != 0x0F || ip[1] != 0xA2) return;
  if (gCpuid.cpuids++ == 0) {
    gCpuid.rax = static_cast<uint64_t>(r[REG_RAX]);
    gCpuid.rbx = static_cast<uint64_t>(r[REG_RBX]);
    gCpuid.rsi = static_cast<uint64_t>(r[REG_RSI]);
  }
  // CPUID writes the four 32-bit registers, which clears their upper halves.
  r[REG_RAX] = static_cast<greg_t>(gCpuid.answer[0]);
  r[REG_RBX] = static_cast<greg_t>(gCpuid.answer[1]);
  r[REG_RCX] = static_cast<greg_t>(gCpuid.answer[2]);
  r[REG_RDX] = static_cast<greg_t>(gCpuid.answer[3]);
  if (gCpuid.setSi)
    r[REG_RSI] = static_cast<greg_t>((static_cast<uint64_t>(r[REG_RSI]) & ~0xFFFFull) | gCpuid.answerSi);
  r[REG_RIP] += 2;
}

// Arms the emulated CPUID of the probe tests: it overwrites EAX..EDX with
// values no caller passes in and, for a processor that acts on the request,
// leaves si in SI.
void ArmProbeCpuid(bool acts, uint16_t si) {
  gCpuid = CpuidTrace{};
  const uint32_t clobber[4] = {0xA0A0A0A0, 0xB1B1B1B1, 0xC2C2C2C2, 0xD3D3D3D3};
  std::memcpy(gCpuid.answer, clobber, sizeof(clobber));
  gCpuid.setSi = acts;
  gCpuid.answerSi = si;
}

// Runs call with the trap flag set; the flag is cleared again afterwards.
template <typename Call>
__attribute__((noinline)) void SingleStepped(Call call) {
  __asm__ __volatile__("pushfq\n\torq $0x100, (%%rsp)\n\tpopfq" ::: "memory", "cc");
  call();
  __asm__ __volatile__("pushfq\n\tandq $~0x100, (%%rsp)\n\tpopfq" ::: "memory", "cc");
}

class X86Backend : public ::testing::Test {
 protected:
  struct sigaction oldSegv {};
  struct sigaction oldTrap {};

  void SetUp() override {
    gFaults = Faults{};
    gCpuid = CpuidTrace{};
    struct sigaction sa {};
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sa.sa_sigaction = OnFault;
    ASSERT_EQ(sigaction(SIGSEGV, &sa, &oldSegv), 0);
    sa.sa_sigaction = OnTrap;
    ASSERT_EQ(sigaction(SIGTRAP, &sa, &oldTrap), 0);
  }
  void TearDown() override {
    sigaction(SIGSEGV, &oldSegv, nullptr);
    sigaction(SIGTRAP, &oldTrap, nullptr);
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

// The EC wait's poll: the status port until the masked status matches, the
// data port once after a status with OBF, four reads of port 0x80 after
// each miss, at most `bound` status reads.
TEST_F(X86Backend, PortPollReadsTheStatusDrainsAndDelaysInOrder) {
  struct Row {
    const char* name;
    uint32_t bound;
    uint32_t first;  // the status (and any read) until the switch
    int switchAt;    // the access from which on reads give 0x00
    uint8_t expected;
    std::vector<uint16_t> ports;
  };
  const Row rows[] = {
      {"IBF, then clear", 2, 0x02, 5, 0x00, {0x66, 0x80, 0x80, 0x80, 0x80, 0x66}},
      {"IBF with OBF: drained, then clear", 2, 0x03, 6, 0x00, {0x66, 0x62, 0x80, 0x80, 0x80, 0x80, 0x66}},
      {"IBF at the only read allowed", 1, 0x02, 0, 0x02, {0x66, 0x80, 0x80, 0x80, 0x80}},
      {"clear at once", 5, 0x00, 0, 0x00, {0x66}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    gFaults.ioCount = 0;
    gFaults.busValue = row.first;
    gFaults.busSwitchAt = row.switchAt;
    gFaults.busValueLater = 0x00;
    EXPECT_EQ(PortPoll8(0x66, 0x02, 0x00, row.bound, 0x62, 0x01, 0x80, 4), row.expected);
    ASSERT_EQ(gFaults.ioCount, static_cast<int>(row.ports.size()));
    for (size_t i = 0; i < row.ports.size(); i++) {
      EXPECT_FALSE(gFaults.io[i].out);
      EXPECT_EQ(gFaults.io[i].port, row.ports[i]) << "access " << i;
      EXPECT_EQ(gFaults.io[i].width, 1);
    }
  }
  gFaults.busSwitchAt = 0;
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

TEST_F(X86Backend, CpuidLeafPassesTheLeafInEaxAndStoresEaxEbxEcxEdxInOrder) {
  struct Row {
    uint32_t leaf;
    uint32_t answer[4];
  };
  const Row rows[] = {
      {0x00000000, {0x00000010, 0x68747541, 0x444D4163, 0x69746E65}},
      {0x00000001, {0x00A00F11, 0x01020800, 0xFED83203, 0x178BFBFF}},
      {0x80000001, {0x00A00F11, 0x40000000, 0x75C237FF, 0x2FD3FBFF}},
      {0x8000001F, {0xFFFFFFFF, 0x00000000, 0x80000000, 0x00000001}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.leaf);
    gCpuid = CpuidTrace{};
    std::memcpy(gCpuid.answer, row.answer, sizeof(row.answer));
    uint32_t regs[4] = {0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE};
    SingleStepped([&] { CpuidLeaf(row.leaf, regs); });
    ASSERT_EQ(gCpuid.cpuids, 1) << "exactly one cpuid instruction";
    EXPECT_EQ(static_cast<uint32_t>(gCpuid.rax), row.leaf) << "the leaf is in EAX";
    EXPECT_EQ(regs[0], row.answer[0]) << "EAX";
    EXPECT_EQ(regs[1], row.answer[1]) << "EBX";
    EXPECT_EQ(regs[2], row.answer[2]) << "ECX";
    EXPECT_EQ(regs[3], row.answer[3]) << "EDX";
  }
}

TEST_F(X86Backend, CpuidLeafRunsNatively) {
  // Leaf 0 (highest leaf and vendor text) is the same on every processor of
  // a machine, so the processor's own answer can be compared directly.
  unsigned expected[4];
  __cpuid(0, expected[0], expected[1], expected[2], expected[3]);
  uint32_t regs[4] = {0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE};
  CpuidLeaf(0, regs);
  for (int i = 0; i < 4; i++) EXPECT_EQ(regs[i], expected[i]) << "register " << i;
}

TEST_F(X86Backend, SiProbeLoadsEaxAndEbxAndClearsSiBeforeCpuid) {
  struct Row {
    uint32_t eax, ebx;
    bool acts;  // the processor acts on the request and leaves answer in SI
    uint16_t answer;
  };
  const Row rows[] = {
      {0xBACCD00B, 2, false, 0},
      {0xBACCD00B, 2, true, 0x1234},
      {0x00000001, 0x0000CAFE, true, 1},
      {0x80000000, 0xFFFFFFFF, true, 0xFFFF},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.answer);
    ArmProbeCpuid(row.acts, row.answer);
    uint16_t si = 0xEEEE;
    SingleStepped([&] { si = CpuidSiProbe(row.eax, row.ebx); });
    ASSERT_EQ(gCpuid.cpuids, 1) << "exactly one cpuid instruction";
    EXPECT_EQ(static_cast<uint32_t>(gCpuid.rax), row.eax);
    EXPECT_EQ(static_cast<uint32_t>(gCpuid.rbx), row.ebx);
    EXPECT_EQ(gCpuid.rsi & 0xFFFF, 0u) << "SI is cleared before the instruction";
    EXPECT_EQ(si, row.answer) << "the result is SI as the instruction left it";
  }
}

TEST_F(X86Backend, SiProbePreservesTheCallersRegisters) {
  // Canaries in RBX, RCX, RDX and the upper half of RSI (its lower half is
  // the EBX argument) across a direct call, with the trap flag set around
  // it: the emulated CPUID overwrites RBX, RCX, RDX and SI, which the probe
  // must restore.
  ArmProbeCpuid(true, 0x5AA5);
  uint64_t rbx = 0x1111111111111111, rcx = 0x2222222222222222, rdx = 0x3333333333333333,
           rsi = 0x4444444400000002, rdi = 0xBACCD00B, rax = 0;
  __asm__ __volatile__(
      "pushfq\n\torq $0x100, (%%rsp)\n\tpopfq\n\t"
      "call CpuidSiProbe\n\t"
      "pushfq\n\tandq $~0x100, (%%rsp)\n\tpopfq"
      : "+b"(rbx), "+c"(rcx), "+d"(rdx), "+S"(rsi), "+D"(rdi), "=a"(rax)
      :
      : "r8", "r9", "r10", "r11", "xmm0", "xmm1", "xmm2", "xmm3", "memory", "cc");
  ASSERT_EQ(gCpuid.cpuids, 1);
  EXPECT_EQ(rbx, 0x1111111111111111u);
  EXPECT_EQ(rcx, 0x2222222222222222u);
  EXPECT_EQ(rdx, 0x3333333333333333u);
  EXPECT_EQ(rsi, 0x4444444400000002u);
  EXPECT_EQ(rax & 0xFFFF, 0x5AA5u);
}

// Runs call with RDTSC faulting (PR_TSC_SIGSEGV), so the fault handler
// supplies the counter and the result does not depend on which processor
// ran it. Nothing else runs meanwhile: the C library's clocks read the TSC
// too. False if the process cannot make RDTSC fault.
template <typename Call>
bool WithTscFaulting(Call call) {
  if (prctl(PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0) != 0) return false;
  call();
  prctl(PR_SET_TSC, PR_TSC_ENABLE, 0, 0, 0);
  return true;
}

TEST_F(X86Backend, ReadTscJoinsEdxEaxOfOneRdtsc) {
  gFaults.tscValue = 1;
  if (!WithTscFaulting([] { (void)__rdtsc(); }))
    GTEST_SKIP() << "prctl(PR_SET_TSC) is not available here: RDTSC cannot be made to fault";
  if (gFaults.tscCount != 1) GTEST_SKIP() << "RDTSC does not fault at user level here despite PR_TSC_SIGSEGV";
  const uint64_t values[] = {0x0ull, 0x00000000FFFFFFFFull, 0x0000000100000000ull, 0x123456789ABCDEF0ull,
                             0xFFFFFFFFFFFFFFFFull};
  for (const uint64_t value : values) {
    SCOPED_TRACE(value);
    gFaults.tscCount = 0;
    gFaults.tscValue = value;
    uint64_t tsc = 0;
    ASSERT_TRUE(WithTscFaulting([&] { tsc = ReadTsc(); }));
    EXPECT_EQ(tsc, value);
    EXPECT_EQ(gFaults.tscCount, 1) << "exactly one rdtsc";
  }
}

TEST_F(X86Backend, PauseIsTheBodyOfSpinPause) {
  SpinPause();
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
