// The print engine against glibc snprintf on the formats the driver prints,
// side by side in one run. Each format has a pair of benchmarks named
// Print/<format>/ours and Print/<format>/glibc; bench/run.sh turns their
// medians into ratios. Before timing, each benchmark checks that its side
// produces the expected text for every value set, so both measure the same
// work; a wrong text fails the benchmark and the program's exit status.
//
// The glibc side is the nearest equivalent: upper-case hexadecimal is "%X"
// there, the GUID is spelled out as its field format, and the line end is
// written as "\r\n" (the engine turns "\n" into "\r\n").
//
// With --guard FIGURES (bench/guard.h) it checks instead that the engine
// takes at most twice the stored multiple of glibc's time over all formats.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "bench/guard.h"
#include "support/print/print.h"

namespace {

constexpr size_t kChars = 128;
constexpr size_t kValueSets = 4;

struct Out {
  CHAR8 ascii[kChars];
  CHAR16 wide[kChars];
  char glibc[kChars];
};

struct Case {
  const char* name;
  UINTN (*ours)(size_t i, Out* out);
  int (*glibc)(size_t i, Out* out);
  bool wide;  // ours writes UCS-2
  const char* expected[kValueSets];
};

// Values are read through volatile tables so that no call sees a constant;
// the benchmarks cycle through the four sets.
volatile UINT64 gBoot[kValueSets] = {0x0000, 0x0001, 0x000A, 0x2001};
volatile UINT64 gDate[kValueSets][3] = {{3, 4, 2021}, {12, 31, 1999}, {1, 1, 2000}, {10, 9, 2026}};
volatile UINT64 gTime[kValueSets][3] = {{5, 6, 7}, {23, 59, 59}, {0, 0, 0}, {12, 30, 45}};
volatile UINT64 gInt[kValueSets] = {0, 42, static_cast<UINT64>(-123456), 2147483647};
volatile UINT64 gLong[kValueSets] = {0, 0x1F, 0xFFFFF80012345678ull, ~0ull};
volatile UINT64 gSize[kValueSets] = {0x4000, 0x8000, 0x4000, 0x10000};
volatile UINTN gRoom[kValueSets] = {kChars, kChars - 1, kChars - 2, kChars - 3};
const EFI_GUID kGuids[kValueSets] = {
    {0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}},
    {0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}},
    {0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}},
    {0xC68ED8E2, 0x9DC6, 0x4CBD, {0x9D, 0x94, 0xDB, 0x65, 0xAC, 0xC5, 0xC3, 0x32}},
};
const EFI_GUID* volatile gGuid[kValueSets] = {&kGuids[0], &kGuids[1], &kGuids[2], &kGuids[3]};

int Int(volatile UINT64& v) { return static_cast<int>(v); }
UINT64 Slot(volatile UINT64& v) { return v; }

const Case kCases[] = {
    {"BootOption_wide",
     [](size_t i, Out* o) { return PrintWide(o->wide, sizeof(o->wide), u"Boot%04x", Slot(gBoot[i])); },
     [](size_t i, Out* o) { return snprintf(o->glibc, kChars, "Boot%04X", Int(gBoot[i])); },
     true,
     {"Boot0000", "Boot0001", "Boot000A", "Boot2001"}},
    {"Date",
     [](size_t i, Out* o) {
       return PrintAscii(o->ascii, kChars, "%02d/%02d/%04d", Slot(gDate[i][0]), Slot(gDate[i][1]),
                         Slot(gDate[i][2]));
     },
     [](size_t i, Out* o) {
       return snprintf(o->glibc, kChars, "%02d/%02d/%04d", Int(gDate[i][0]), Int(gDate[i][1]),
                       Int(gDate[i][2]));
     },
     false,
     {"03/04/2021", "12/31/1999", "01/01/2000", "10/09/2026"}},
    {"Time",
     [](size_t i, Out* o) {
       return PrintAscii(o->ascii, kChars, "%02d:%02d:%02d", Slot(gTime[i][0]), Slot(gTime[i][1]),
                         Slot(gTime[i][2]));
     },
     [](size_t i, Out* o) {
       return snprintf(o->glibc, kChars, "%02d:%02d:%02d", Int(gTime[i][0]), Int(gTime[i][1]),
                       Int(gTime[i][2]));
     },
     false,
     {"05:06:07", "23:59:59", "00:00:00", "12:30:45"}},
    // The chipset S3 save-table messages: the one with a number and two plain texts.
    {"S3_size_message",
     [](size_t i, Out* o) {
       return PrintAscii(o->ascii, kChars, "ChipsetS3LibTableHeader buffer size = 0x%x\n", Slot(gSize[i]));
     },
     [](size_t i, Out* o) {
       return snprintf(o->glibc, kChars, "ChipsetS3LibTableHeader buffer size = 0x%X\r\n", Int(gSize[i]));
     },
     false,
     {"ChipsetS3LibTableHeader buffer size = 0x4000\r\n", "ChipsetS3LibTableHeader buffer size = 0x8000\r\n",
      "ChipsetS3LibTableHeader buffer size = 0x4000\r\n",
      "ChipsetS3LibTableHeader buffer size = 0x10000\r\n"}},
    {"S3_close_message",
     [](size_t i, Out* o) { return PrintAscii(o->ascii, gRoom[i], "ChipsetS3SaveCloseTableCallBack\n"); },
     [](size_t i, Out* o) { return snprintf(o->glibc, gRoom[i], "ChipsetS3SaveCloseTableCallBack\r\n"); },
     false,
     {"ChipsetS3SaveCloseTableCallBack\r\n", "ChipsetS3SaveCloseTableCallBack\r\n",
      "ChipsetS3SaveCloseTableCallBack\r\n", "ChipsetS3SaveCloseTableCallBack\r\n"}},
    {"S3_locate_message",
     [](size_t i, Out* o) {
       return PrintAscii(o->ascii, gRoom[i], "ChipsetS3SaveLib locate SmmCommunicationProtocol fail \n");
     },
     [](size_t i, Out* o) {
       return snprintf(o->glibc, gRoom[i], "ChipsetS3SaveLib locate SmmCommunicationProtocol fail \r\n");
     },
     false,
     {"ChipsetS3SaveLib locate SmmCommunicationProtocol fail \r\n",
      "ChipsetS3SaveLib locate SmmCommunicationProtocol fail \r\n",
      "ChipsetS3SaveLib locate SmmCommunicationProtocol fail \r\n",
      "ChipsetS3SaveLib locate SmmCommunicationProtocol fail \r\n"}},
    {"Guid",
     [](size_t i, Out* o) {
       return PrintAscii(o->ascii, kChars, "%g", static_cast<UINT64>(reinterpret_cast<uintptr_t>(gGuid[i])));
     },
     [](size_t i, Out* o) {
       const EFI_GUID* g = gGuid[i];
       return snprintf(o->glibc, kChars, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g->Data1,
                       g->Data2, g->Data3, g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3], g->Data4[4],
                       g->Data4[5], g->Data4[6], g->Data4[7]);
     },
     false,
     {"8BE4DF61-93CA-11D2-AA0D-00E098032B8C", "60FF8964-E906-41D0-AFED-F241E974E08E",
      "7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B", "C68ED8E2-9DC6-4CBD-9D94-DB65ACC5C332"}},
    {"Decimal",
     [](size_t i, Out* o) { return PrintAscii(o->ascii, kChars, "%d", Slot(gInt[i])); },
     [](size_t i, Out* o) { return snprintf(o->glibc, kChars, "%d", Int(gInt[i])); },
     false,
     {"0", "42", "-123456", "2147483647"}},
    {"Hex64",
     [](size_t i, Out* o) { return PrintAscii(o->ascii, kChars, "%lx", Slot(gLong[i])); },
     [](size_t i, Out* o) { return snprintf(o->glibc, kChars, "%lX", static_cast<unsigned long>(gLong[i])); },
     false,
     {"0", "1F", "FFFFF80012345678", "FFFFFFFFFFFFFFFF"}},
};

bool gWrongText = false;

std::string Text(const Out& out, const Case& c, bool ours) {
  if (!ours) return out.glibc;
  if (!c.wide) return out.ascii;
  std::string s;
  for (const CHAR16* p = out.wide; *p != 0; ++p) s.push_back(static_cast<char>(*p));
  return s;
}

void Run(benchmark::State& state, const Case& c, bool ours) {
  Out out{};
  for (size_t i = 0; i < kValueSets; ++i) {
    if (ours) {
      c.ours(i, &out);
    } else {
      c.glibc(i, &out);
    }
    const std::string text = Text(out, c, ours);
    if (text != c.expected[i]) {
      gWrongText = true;
      state.SkipWithError(("wrote \"" + text + "\", expected \"" + c.expected[i] + "\"").c_str());
      return;
    }
  }
  size_t i = 0;
  if (ours) {
    for (auto _ : state) {
      benchmark::DoNotOptimize(c.ours(i, &out));
      benchmark::ClobberMemory();
      i = (i + 1) % kValueSets;
    }
  } else {
    for (auto _ : state) {
      benchmark::DoNotOptimize(c.glibc(i, &out));
      benchmark::ClobberMemory();
      i = (i + 1) % kValueSets;
    }
  }
}

// Every format once per unit, cycling through the value sets, on one side.
void EveryFormat(bool ours, unsigned units, unsigned repeat) {
  Out out{};
  for (unsigned u = 0; u < units; ++u) {
    const size_t i = u % kValueSets;
    for (const Case& c : kCases) {
      for (unsigned r = 0; r < repeat; ++r) {
        if (ours) {
          benchmark::DoNotOptimize(c.ours(i, &out));
        } else {
          benchmark::DoNotOptimize(c.glibc(i, &out));
        }
        benchmark::ClobberMemory();
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const guard::Options options = guard::TakeOptions(&argc, argv);
  if (options.figures) {
    return guard::Check(options, "print", "engine, every format",
                        guard::Side([&](unsigned units) { EveryFormat(true, units, options.slowdown); }),
                        "glibc snprintf", guard::Side([](unsigned units) { EveryFormat(false, units, 1); }));
  }
  for (const Case& c : kCases) {
    benchmark::RegisterBenchmark((std::string("Print/") + c.name + "/ours").c_str(),
                                 [&c](benchmark::State& s) { Run(s, c, true); });
    benchmark::RegisterBenchmark((std::string("Print/") + c.name + "/glibc").c_str(),
                                 [&c](benchmark::State& s) { Run(s, c, false); });
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return gWrongText ? 1 : 0;
}
