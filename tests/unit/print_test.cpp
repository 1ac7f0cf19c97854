// Formatted print engine: conversions, flags, line ends, character widths,
// truncation and refusals.
#include "support/print/print.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kCanary = 0xCC;

UINT64 Ptr(const void* p) { return static_cast<UINT64>(reinterpret_cast<uintptr_t>(p)); }
UINT64 Neg(int64_t v) { return static_cast<UINT64>(v); }

std::u16string Widen(const std::string& s) {
  std::u16string w;
  for (unsigned char c : s) w.push_back(c);
  return w;
}

std::string Printable(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[12];
      snprintf(hex, sizeof(hex), "\\u%04X", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}

struct Output {
  UINTN count = 0;
  std::u16string text;  // characters before the terminator, in the output width
};

// Runs the engine (or the variadic entry point) into a canary-filled buffer and
// checks the terminator, the count and that nothing beyond the terminator moved.
Output Format(UINTN flags, const void* format, const std::vector<UINT64>& args, UINTN capacity = 200,
              bool variadic = false, size_t misalign = 0) {
  const UINTN charSize = (flags & PF_OUT_WIDE) ? 2 : 1;
  std::vector<uint8_t> storage(misalign + (capacity + 8) * charSize, kCanary);
  uint8_t* buffer = storage.data() + misalign;
  UINT64 a[8] = {};
  EXPECT_LE(args.size(), 8u);
  for (size_t i = 0; i < args.size() && i < 8; ++i) a[i] = args[i];

  Output out;
  if (variadic) {
    out.count =
        PrintWithFlags(buffer, capacity, flags, format, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
  } else {
    out.count = PrintEngine(buffer, capacity, flags, format, a);
  }
  EXPECT_LT(out.count, capacity);
  for (UINTN i = 0; i < out.count; ++i) {
    char16_t c = buffer[i * charSize];
    if (charSize == 2) c = static_cast<char16_t>(c | (buffer[i * charSize + 1] << 8));
    out.text.push_back(c);
  }
  for (UINTN b = 0; b < charSize; ++b) EXPECT_EQ(buffer[out.count * charSize + b], 0) << "terminator";
  for (size_t i = misalign + (out.count + 1) * charSize; i < storage.size(); ++i) {
    EXPECT_EQ(storage[i], kCanary) << "byte " << i << " written beyond the terminator";
  }
  for (size_t i = 0; i < misalign; ++i) EXPECT_EQ(storage[i], kCanary);
  return out;
}

struct Row {
  const char* format;
  std::vector<UINT64> args;
  const char* expected;
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << '"' << Printable(Widen(row.format)) << "\" -> \"" << Printable(Widen(row.expected)) << '"';
}

const EFI_GUID kGuid = {0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}};
const EFI_TIME kTime = {2021, 3, 4, 5, 6, 7, 0, 0, 0, 0, 0};
const EFI_GUID kDigitsGuid = {0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
const EFI_GUID kSmallGuid = {0x0000000A, 0x000B, 0x000C, {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}};

const Row kRows[] = {
    // Decimal.
    {"%d", {0}, "0"},
    {"%.0d", {0}, ""},
    {"%d", {42}, "42"},
    {"%d", {Neg(-42)}, "-42"},
    {"%d", {0x12345678FFFFFFD6ull}, "-42"},  // only the low half of the slot counts
    {"%d", {0x80000000u}, "-2147483648"},
    {"%ld", {0x8000000000000000ull}, "-9223372036854775808"},
    {"%Ld", {Neg(-7)}, "-7"},
    {"%lld", {Neg(-1)}, "-1"},
    {"%u", {0xFFFFFFFFu}, "4294967295"},
    {"%u", {~0ull}, "4294967295"},
    {"%lu", {~0ull}, "18446744073709551615"},
    {"%5d", {Neg(-42)}, "  -42"},
    {"%05d", {Neg(-42)}, "-0042"},
    {"%-5d|", {42}, "42   |"},
    {"%-05d|", {42}, "42   |"},
    {"%+d", {5}, "+5"},
    {"% d", {5}, " 5"},
    {"%+ d", {5}, "+5"},
    {"%+d", {Neg(-5)}, "-5"},
    {"% d", {Neg(-5)}, "-5"},
    {"%+u", {5}, "5"},
    {"% u", {5}, " 5"},
    {"%+.0d", {0}, "+"},
    {"%+05d", {42}, "+0042"},
    {"%.3d", {7}, "007"},
    {"%5.3d", {7}, "  007"},
    {"%-6.3d|", {Neg(-7)}, "-007  |"},
    {"%010.3d", {7}, "       007"},
    {"%.05d", {7}, "00007"},
    // Digit boundaries: 32-bit limits, powers of ten, every hexadecimal digit.
    {"%lu", {4294967295ull}, "4294967295"},
    {"%lu", {4294967296ull}, "4294967296"},
    {"%lu", {999999999ull}, "999999999"},
    {"%lu", {1000000000ull}, "1000000000"},
    {"%lu", {9999999999999999999ull}, "9999999999999999999"},
    {"%lu", {10000000000000000000ull}, "10000000000000000000"},
    {"%ld", {Neg(-1000000000000ll)}, "-1000000000000"},
    {"%d", {2147483647}, "2147483647"},
    {"%x", {0}, "0"},
    {"%lx", {0x100000000ull}, "100000000"},
    {"%lx", {0x8000000000000000ull}, "8000000000000000"},
    {"%lx", {0x0123456789ABCDEFull}, "123456789ABCDEF"},
    {"%lX", {0xFEDCBA9876543210ull}, "FEDCBA9876543210"},
    {"%020lx", {0xABCull}, "00000000000000000ABC"},
    {"%.20lu", {7}, "00000000000000000007"},
    {"%25lu|", {~0ull}, "     18446744073709551615|"},
    // Thousands separators.
    {"%,d", {1234567}, "1,234,567"},
    {"%,d", {123}, "123"},
    {"%,d", {1234}, "1,234"},
    {"%,d", {123456}, "123,456"},
    {"%,d", {0}, "0"},
    {"%,d", {Neg(-1234)}, "-1,234"},
    {"%,ld", {0x8000000000000000ull}, "-9,223,372,036,854,775,808"},
    {"%,lu", {~0ull}, "18,446,744,073,709,551,615"},
    {"%,08d", {1234}, "   1,234"},
    {"%,5d", {123}, "  123"},
    {"%,9d", {123456}, "  123,456"},
    {"%,.6d", {12}, "12"},
    {"%-,8d|", {1234}, "1,234   |"},
    // Hexadecimal (always upper-case digits).
    {"%x", {0xabcdef}, "ABCDEF"},
    {"%x", {0xFFFFFFFFu}, "FFFFFFFF"},
    {"%x", {~0ull}, "FFFFFFFF"},
    {"%lx", {~0ull}, "FFFFFFFFFFFFFFFF"},
    {"%08x", {0x1F}, "0000001F"},
    {"%X", {0x1F}, "1F"},
    {"%8X", {0x1F}, "0000001F"},
    {"%8x", {0x1F}, "      1F"},
    {"%-8X|", {0x1F}, "1F      |"},
    {"%.3x", {0xA}, "00A"},
    {"%,x", {0x123456}, "123456"},
    {"%+x", {0x1F}, "+1F"},
    {"Boot%04x", {10}, "Boot000A"},
    {"Boot%04x", {0x2001}, "Boot2001"},
    // Pointers.
    {"%p", {0x1234}, "1234"},
    {"%p", {0xFFFFFFFF00000000ull}, "FFFFFFFF00000000"},
    {"%+ p", {0x1F}, "1F"},
    {"%10p", {0x1F}, "000000001F"},
    // Width and precision from the argument list.
    {"%*d", {6, 42}, "    42"},
    {"%-*d|", {4, 42}, "42  |"},
    {"%.*d", {4, 42}, "0042"},
    {"%*.*d", {6, 4, 42}, "  0042"},
    {"%.*a", {3, Ptr("abcdef")}, "abc"},
    // Characters and strings.
    {"%c", {'A'}, "A"},
    {"%c", {0xFFFF0041u}, "A"},
    {"%3c", {'A'}, "  A"},
    {"%-3c|", {'A'}, "A  |"},
    {"%a", {Ptr("hello")}, "hello"},
    {"%a", {Ptr("")}, ""},
    {"%s", {Ptr(u"wide")}, "wide"},
    {"%S", {Ptr(u"wide")}, "wide"},
    {"%s", {0}, "<null string>"},
    {"%a", {0}, "<null string>"},
    {"%.3s", {0}, "<nu"},
    {"%.5s", {Ptr(u"ab")}, "   ab"},
    {"%.1s", {Ptr(u"ab")}, "a"},
    {"%.1a", {Ptr("ab")}, "a"},
    {"%.0a", {Ptr("ab")}, ""},
    {"%5a", {Ptr("ab")}, "   ab"},
    {"%05a", {Ptr("ab")}, "   ab"},
    {"%-5a|", {Ptr("ab")}, "ab   |"},
    {"%5.3a", {Ptr("abcdef")}, "  abc"},
    {"%6.4a|", {Ptr("ab")}, "    ab|"},
    // GUIDs, times, statuses.
    {"%g", {Ptr(&kGuid)}, "8BE4DF61-93CA-11D2-AA0D-00E098032B8C"},
    {"%g", {0}, "<null guid>"},
    {"%g", {Ptr(&kDigitsGuid)}, "01234567-89AB-CDEF-FEDC-BA9876543210"},
    {"%g", {Ptr(&kSmallGuid)}, "0000000A-000B-000C-0001-020304050607"},
    {"%.8g", {Ptr(&kGuid)}, "8BE4DF61"},
    {"[%40g]", {Ptr(&kGuid)}, "[    8BE4DF61-93CA-11D2-AA0D-00E098032B8C]"},
    {"%t", {Ptr(&kTime)}, "03/04/2021  05:06"},
    {"%t", {0}, "<null time>"},
    {"%r", {EFI_SUCCESS}, "Success"},
    {"%r", {EFI_NOT_FOUND}, "Not Found"},
    {"%r", {6}, "00000006"},
    {"%r", {EfiError(34)}, "00000022"},
    {"%r", {kErrorBit}, "00000000"},
    {"%r", {0x1234567890ull}, "34567890"},
    {"%r", {0xC000000000000001ull}, "00000001"},
    {"%12r|", {EFI_NOT_FOUND}, "   Not Found|"},
    {"%-12r|", {EFI_NOT_FOUND}, "Not Found   |"},
    {"%.3r", {EFI_NOT_FOUND}, "Not"},
    // Line ends and literals.
    {"", {}, ""},
    {"plain", {}, "plain"},
    {"a\nb", {}, "a\r\nb"},
    {"a\n\rb", {}, "a\r\nb"},
    {"a\r\nb", {}, "a\r\nb"},
    {"a\rb", {}, "a\rb"},
    {"\n\n", {}, "\r\n\r\n"},
    {"\r\r", {}, "\r\r"},
    {"a%\nb", {}, "a\r\nb"},
    {"a%\rb", {}, "a\rb"},
    {"%5\n|", {}, "   \r\n|"},  // after "%" a line end is an item, padded to the width
    {"%-4\r|", {}, "\r   |"},
    {"%%", {}, "%"},
    {"100%%", {}, "100%"},
    {"%i", {}, "i"},
    {"%5%", {}, "    %"},
    {"ab%", {}, "ab"},
    {"ab%-5", {}, "ab"},
    // Several arguments are taken in order, one slot each.
    {"%d %x %a %c %s|%u", {Neg(-1), 0xFF, Ptr("s"), 'z', Ptr(u"w"), 9}, "-1 FF s z w|9"},
    {"%02d/%02d/%04d", {3, 4, 2021}, "03/04/2021"},
};

class PrintTableTest : public ::testing::TestWithParam<Row> {};

TEST_P(PrintTableTest, EveryWidthCombination) {
  const Row& row = GetParam();
  const std::u16string expected = Widen(row.expected);
  const std::u16string wideFormat = Widen(row.format);
  const struct {
    const char* name;
    UINTN flags;
    const void* format;
    bool variadic;
  } kModes[] = {
      {"ascii->ascii", 0, row.format, false},
      {"ascii->wide", PF_OUT_WIDE, row.format, false},
      {"wide->ascii", PF_FMT_WIDE, wideFormat.c_str(), false},
      {"wide->wide", PF_OUT_WIDE | PF_FMT_WIDE, wideFormat.c_str(), false},
      {"ascii->ascii variadic", 0, row.format, true},
      {"wide->wide variadic", PF_OUT_WIDE | PF_FMT_WIDE, wideFormat.c_str(), true},
  };
  for (const auto& mode : kModes) {
    SCOPED_TRACE(mode.name);
    const Output out = Format(mode.flags, mode.format, row.args, 200, mode.variadic);
    EXPECT_EQ(Printable(out.text), Printable(expected));
    EXPECT_EQ(out.count, expected.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Conversions, PrintTableTest, ::testing::ValuesIn(kRows));

TEST(PrintStatus, EveryNamedStatus) {
  const struct {
    EFI_STATUS status;
    const char* name;
  } kNames[] = {
      {0, "Success"},
      {1, "Warning Unknown Glyph"},
      {2, "Warning Delete Failure"},
      {3, "Warning Write Failure"},
      {4, "Warning Buffer Too Small"},
      {5, "Warning Stale Data"},
      {EfiError(1), "Load Error"},
      {EfiError(2), "Invalid Parameter"},
      {EfiError(3), "Unsupported"},
      {EfiError(4), "Bad Buffer Size"},
      {EfiError(5), "Buffer Too Small"},
      {EfiError(6), "Not Ready"},
      {EfiError(7), "Device Error"},
      {EfiError(8), "Write Protected"},
      {EfiError(9), "Out of Resources"},
      {EfiError(10), "Volume Corrupt"},
      {EfiError(11), "Volume Full"},
      {EfiError(12), "No Media"},
      {EfiError(13), "Media changed"},
      {EfiError(14), "Not Found"},
      {EfiError(15), "Access Denied"},
      {EfiError(16), "No Response"},
      {EfiError(17), "No mapping"},
      {EfiError(18), "Time out"},
      {EfiError(19), "Not started"},
      {EfiError(20), "Already started"},
      {EfiError(21), "Aborted"},
      {EfiError(22), "ICMP Error"},
      {EfiError(23), "TFTP Error"},
      {EfiError(24), "Protocol Error"},
      {EfiError(25), "Incompatible Version"},
      {EfiError(26), "Security Violation"},
      {EfiError(27), "CRC Error"},
      {EfiError(28), "End of Media"},
      {EfiError(29), "Reserved (29)"},
      {EfiError(30), "Reserved (30)"},
      {EfiError(31), "End of File"},
      {EfiError(32), "Invalid Language"},
      {EfiError(33), "Compromised Data"},
  };
  for (const auto& n : kNames) {
    char buffer[64];
    const UINTN count = PrintAscii(buffer, sizeof(buffer), "%r", static_cast<UINT64>(n.status));
    EXPECT_STREQ(buffer, n.name) << std::hex << n.status;
    EXPECT_EQ(count, strlen(n.name));
  }
}

// Characters outside 7-bit ASCII: 8-bit texts are zero-extended into wide
// output, 16-bit texts keep their low byte in ASCII output, and wide format
// characters are compared in all 16 bits.
TEST(PrintCharacterWidths, WideAndEightBitCharacters) {
  const struct {
    const char* name;
    UINTN flags;
    const void* format;
    std::vector<UINT64> args;
    std::u16string expected;
  } kCases[] = {
      {"8-bit text into wide output", PF_OUT_WIDE, "%a", {Ptr("\xE9\x80")}, u"\u00E9\u0080"},
      {"8-bit format into wide output", PF_OUT_WIDE, "\xE9", {}, u"\u00E9"},
      {"wide text into wide output", PF_OUT_WIDE, "%s", {Ptr(u"\u263A\u00E9")}, u"\u263A\u00E9"},
      {"wide text into ASCII output", 0, "%s", {Ptr(u"\u263A\u00E9")}, u"\u003A\u00E9"},
      {"wide character into wide output", PF_OUT_WIDE, "%c", {0x263A}, u"\u263A"},
      {"wide character into ASCII output", 0, "%c", {0x263A}, u"\u003A"},
      {"wide format character is not %", PF_OUT_WIDE | PF_FMT_WIDE, u"\u0125d", {7}, u"\u0125d"},
      {"wide format character into ASCII", PF_FMT_WIDE, u"\u0125d", {7}, u"\u0025d"},
      {"wide digit look-alike is no width", PF_OUT_WIDE | PF_FMT_WIDE, u"%\u0135d", {7}, u"\u0135d"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Output out = Format(c.flags, c.format, c.args);
    EXPECT_EQ(Printable(out.text), Printable(c.expected));
  }
}

TEST(PrintAlignment, AnyAlignmentOfBufferFormatAndArguments) {
  // Wide output and a wide format at odd addresses.
  std::vector<uint8_t> format(1 + 2 * 8, 0);
  const char16_t text[] = u"%d:\u263A";
  memcpy(format.data() + 1, text, sizeof(text));
  const Output out = Format(PF_OUT_WIDE | PF_FMT_WIDE, format.data() + 1, {12}, 16, false, 1);
  EXPECT_EQ(out.text, u"12:\u263A");

  // A GUID and a time record at odd addresses.
  alignas(8) uint8_t record[1 + sizeof(EFI_GUID) + sizeof(EFI_TIME)];
  memcpy(record + 1, &kGuid, sizeof(kGuid));
  memcpy(record + 1 + sizeof(EFI_GUID), &kTime, sizeof(kTime));
  const Output guid = Format(0, "%g %t", {Ptr(record + 1), Ptr(record + 1 + sizeof(EFI_GUID))});
  EXPECT_EQ(guid.text, u"8BE4DF61-93CA-11D2-AA0D-00E098032B8C 03/04/2021  05:06");
}

TEST(PrintWide, BootOptionNames) {
  const struct {
    UINTN sizeInBytes;
    UINT64 number;
    const char16_t* expected;
  } kCases[] = {
      {18, 10, u"Boot000A"},     {18, 0x2001, u"Boot2001"},
      {18, 0xFFFF, u"BootFFFF"}, {18, 0x12345, u"Boot1234"},  // five digits do not fit nine characters
      {10, 0x2001, u"Boot"},                                  // five characters: four plus the terminator
      {11, 0x2001, u"Boot"},                                  // an odd byte count rounds down
  };
  for (const auto& c : kCases) {
    CHAR16 name[16];
    for (auto& ch : name) ch = 0xCCCC;
    const UINTN count = PrintWide(name, c.sizeInBytes, u"Boot%04x", c.number);
    const std::u16string expected = c.expected;
    EXPECT_EQ(std::u16string(name), expected);
    EXPECT_EQ(count, expected.size());
    EXPECT_EQ(name[expected.size() + 1], 0xCCCC) << "only the terminator follows the text";
  }
}

// Callers pass plain int and char arguments to the 32-bit and character
// conversions; only the low part of each slot may be relied on.
TEST(PrintAscii, NativeArgumentTypes) {
  char text[32];
  memset(text, 'x', sizeof(text));
  EXPECT_EQ(PrintAscii(text, sizeof(text), "%02d/%02d/%04d", 12, 31, 1999), 10u);
  EXPECT_STREQ(text, "12/31/1999");
  const int negative = -5;
  EXPECT_EQ(PrintAscii(text, sizeof(text), "%d %x %c %u %d|%a", negative, 0xAB, 'Q', 7u, negative, "end"),
            16u);
  EXPECT_STREQ(text, "-5 AB Q 7 -5|end");
}

// Output that does not fit is cut at capacity - 1 characters and terminated.
TEST(PrintTruncation, CutAtCapacity) {
  const Row kCases[] = {
      {"abcdef", {}, "abc"},           // literal text
      {"%08x", {0x1F}, "000"},         // inside the zero fill
      {"%5d", {Neg(-42)}, "  -"},      // between the sign and the digits
      {"%-8d|", {42}, "42 "},          // inside the trailing blanks
      {"%,d", {1234567}, "1,2"},       // after a separator
      {"a\nb", {}, "a\r\n"},           // the line end just fits
      {"ab\nc", {}, "ab\r"},           // the line end is split
      {"%a", {Ptr("hello")}, "hel"},   // inside a string argument
      {"%g", {Ptr(&kGuid)}, "8BE"},    // inside a rendered GUID
      {"%r", {EFI_NOT_FOUND}, "Not"},  // inside a status name
      {"ab%d", {123456}, "ab1"},       // inside a number after text
  };
  for (const UINTN flags : {UINTN{0}, PF_OUT_WIDE, PF_OUT_WIDE | PF_FMT_WIDE}) {
    for (const auto& c : kCases) {
      SCOPED_TRACE(std::string(c.format) + " flags " + std::to_string(flags));
      const std::u16string wideFormat = Widen(c.format);
      const void* format = (flags & PF_FMT_WIDE) ? static_cast<const void*>(wideFormat.c_str()) : c.format;
      const Output out = Format(flags, format, c.args, 4);
      EXPECT_EQ(Printable(out.text), Printable(Widen(c.expected)));
    }
  }
}

TEST(PrintTruncation, CapacityOneWritesOnlyTheTerminator) {
  for (const UINTN flags : {UINTN{0}, PF_OUT_WIDE}) {
    const Output out = Format(flags, "abc%d", {5}, 1);
    EXPECT_EQ(out.count, 0u);
    EXPECT_TRUE(out.text.empty());
  }
}

// Every refusal returns 0 and leaves the buffer untouched, terminator included.
TEST(PrintRefusals, BufferUntouched) {
  const std::string longAscii(kPrintMaxAsciiLength + 1, 'a');
  const std::u16string longWide(kPrintMaxWideLength + 1, u'a');
  const struct {
    const char* name;
    bool nullBuffer;
    UINTN capacity;
    UINTN flags;
    const void* format;
  } kCases[] = {
      {"capacity 0", false, 0, 0, "abc"},
      {"capacity 0 wide", false, 0, PF_OUT_WIDE, "abc"},
      {"null buffer", true, 10, 0, "abc"},
      {"null format", false, 10, 0, nullptr},
      {"null format, capacity 0", false, 0, 0, nullptr},
      {"null buffer, capacity 0", true, 0, 0, "abc"},
      {"ASCII capacity above the maximum", false, kPrintMaxAsciiLength + 1, 0, "abc"},
      {"wide capacity above the maximum", false, kPrintMaxWideLength + 1, PF_OUT_WIDE, "abc"},
      {"ASCII format above the maximum", false, 10, 0, longAscii.c_str()},
      {"wide format above the maximum", false, 10, PF_FMT_WIDE, longWide.c_str()},
  };
  std::vector<uint8_t> buffer(16, kCanary);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    void* target = c.nullBuffer ? nullptr : buffer.data();
    EXPECT_EQ(PrintEngine(target, c.capacity, c.flags, c.format, nullptr), 0u);
    for (uint8_t b : buffer) EXPECT_EQ(b, kCanary);
  }
}

TEST(PrintLimits, LargestAcceptedCapacityAndFormat) {
  // A capacity of exactly the maximum is accepted.
  std::vector<char> big(kPrintMaxAsciiLength, 'x');
  EXPECT_EQ(PrintEngine(big.data(), big.size(), 0, "ok", nullptr), 2u);
  EXPECT_STREQ(big.data(), "ok");
  std::vector<CHAR16> bigWide(kPrintMaxWideLength, u'x');
  EXPECT_EQ(PrintEngine(bigWide.data(), bigWide.size(), PF_OUT_WIDE, "ok", nullptr), 2u);
  EXPECT_EQ(std::u16string(bigWide.data()), u"ok");

  // A format of exactly the maximum is accepted and cut at the capacity.
  const std::string longAscii(kPrintMaxAsciiLength, 'a');
  EXPECT_EQ(Printable(Format(0, longAscii.c_str(), {}, 6).text), "aaaaa");
  const std::u16string longWide(kPrintMaxWideLength, u'b');
  EXPECT_EQ(Printable(Format(PF_FMT_WIDE, longWide.c_str(), {}, 6).text), "bbbbb");
}

TEST(PrintArguments, NullArgumentListReadsZeros) {
  char buffer[64];
  const UINTN count = PrintEngine(buffer, sizeof(buffer), 0, "%d|%a|%*d|%r", nullptr);
  EXPECT_STREQ(buffer, "0|<null string>|0|Success");
  EXPECT_EQ(count, strlen(buffer));
}

TEST(PrintFill, CountsEndAndByteOrder) {
  const struct {
    INTN count;
    size_t room;  // bytes before end
    UINTN charSize;
    std::vector<uint8_t> expected;
  } kCases[] = {
      {0, 8, 1, {}},
      {-3, 8, 1, {}},
      {3, 8, 1, {'-', '-', '-'}},
      {3, 2, 1, {'-', '-'}},
      {2, 8, 2, {0x3A, 0x26, 0x3A, 0x26}},
      {3, 4, 2, {0x3A, 0x26, 0x3A, 0x26}},
      {INTN{1} << 62, 5, 1, {'-', '-', '-', '-', '-'}},
  };
  for (const auto& c : kCases) {
    uint8_t buffer[16];
    memset(buffer, kCanary, sizeof(buffer));
    const UINT16 character = c.charSize == 2 ? 0x263A : '-';
    UINT8* next = PrintFill(buffer, buffer + c.room, c.count, character, c.charSize);
    EXPECT_EQ(static_cast<size_t>(next - buffer), c.expected.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + c.expected.size()), c.expected);
    for (size_t i = c.expected.size(); i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], kCanary);
  }
}

TEST(PrintValueToDigits, ReversedDigitsAfterTerminator) {
  const struct {
    UINT64 value;
    UINT32 radix;
    const char* digits;  // most significant first
  } kCases[] = {
      {0, 10, "0"},
      {0, 16, "0"},
      {7, 10, "7"},
      {1234, 10, "1234"},
      {0xABCDEF, 16, "ABCDEF"},
      {~0ull, 16, "FFFFFFFFFFFFFFFF"},
      {~0ull, 10, "18446744073709551615"},
      {5, 2, "101"},
      {4294967295ull, 10, "4294967295"},
      {4294967296ull, 10, "4294967296"},
      {1000000000ull, 10, "1000000000"},
      {10000000000000000000ull, 10, "10000000000000000000"},
      {0x100000000ull, 16, "100000000"},
      // 255 and 0xDEADBEEF in every radix; all 64 bits set from radix 4 up.
      {255, 2, "11111111"},
      {255, 3, "100110"},
      {255, 4, "3333"},
      {255, 5, "2010"},
      {255, 6, "1103"},
      {255, 7, "513"},
      {255, 8, "377"},
      {255, 9, "313"},
      {255, 10, "255"},
      {255, 11, "212"},
      {255, 12, "193"},
      {255, 13, "168"},
      {255, 14, "143"},
      {255, 15, "120"},
      {255, 16, "FF"},
      {0xDEADBEEF, 2, "11011110101011011011111011101111"},
      {0xDEADBEEF, 3, "100122100210211112102"},
      {0xDEADBEEF, 7, "161402603666"},
      {0xDEADBEEF, 8, "33653337357"},
      {0xDEADBEEF, 11, "164791A470"},
      {0xDEADBEEF, 13, "476CC321C"},
      {0xDEADBEEF, 15, "16CEB1BDE"},
      {~0ull, 4, "33333333333333333333333333333333"},
      {~0ull, 5, "2214220303114400424121122430"},
      {~0ull, 8, "1777777777777777777777"},
      {~0ull, 9, "145808576354216723756"},
      {~0ull, 12, "839365134A2A240713"},
      {~0ull, 14, "8681049ADB03DB171"},
  };
  for (const auto& c : kCases) {
    CHAR8 scratch[kPrintScratchLength];
    memset(scratch, 'x', sizeof(scratch));
    const CHAR8* last = PrintValueToDigits(scratch, c.value, c.radix);
    const size_t count = static_cast<size_t>(last - scratch);
    EXPECT_EQ(scratch[0], 0);
    ASSERT_EQ(count, strlen(c.digits)) << c.digits;
    std::string forward;
    for (const CHAR8* p = last; p > scratch; --p) forward.push_back(*p);
    EXPECT_EQ(forward, c.digits);
  }
}

// Literal text is copied in blocks. Every length, format alignment and cut,
// with NULs and "%" around the format that must not be taken for part of it.
TEST(PrintLiteralRuns, EveryLengthAlignmentAndCut) {
  const std::string text = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNO";  // 51 characters
  alignas(16) char storage[128];
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t length = 0; length <= text.size(); ++length) {
      memset(storage, '%', sizeof(storage));
      if (offset > 0) storage[offset - 1] = 0;
      memcpy(storage + offset, text.data(), length);
      storage[offset + length] = 0;
      for (const UINTN capacity : {length + 1, length + 8, length / 2 + 1, size_t{1}, size_t{17}}) {
        for (const UINTN flags : {UINTN{0}, PF_OUT_WIDE}) {
          SCOPED_TRACE("offset " + std::to_string(offset) + " length " + std::to_string(length) +
                       " capacity " + std::to_string(capacity) + " flags " + std::to_string(flags));
          const Output out = Format(flags, storage + offset, {}, capacity);
          const std::string expected = text.substr(0, std::min<size_t>(length, capacity - 1));
          EXPECT_EQ(Printable(out.text), expected);
        }
      }
    }
  }
}

// A conversion or line end at every position of the text, and literal runs
// after it; "%" and line ends before the format must not count.
TEST(PrintLiteralRuns, SpecialCharacterAtEveryPosition) {
  const std::string text = "0123456789abcdefghijklmnopqrstuvwxyzABCDE";  // 41 characters
  const struct {
    const char* special;
    const char* emitted;
  } kSpecials[] = {{"%d", "-7"}, {"%%", "%"},      {"\n", "\r\n"},
                   {"\r", "\r"}, {"\r\n", "\r\n"}, {"\n\r", "\r\n"}};
  alignas(16) char storage[128];
  for (const auto& sp : kSpecials) {
    for (size_t offset = 0; offset < 16; offset += 5) {
      for (size_t at = 0; at <= text.size(); ++at) {
        const std::string format = text.substr(0, at) + sp.special + text.substr(at);
        memset(storage, '%', sizeof(storage));
        if (offset > 0) storage[offset - 1] = '\n';
        memcpy(storage + offset, format.c_str(), format.size() + 1);
        const std::string expected = text.substr(0, at) + sp.emitted + text.substr(at);
        SCOPED_TRACE(Printable(Widen(format)) + " at offset " + std::to_string(offset));
        EXPECT_EQ(Printable(Format(0, storage + offset, {Neg(-7)}).text), Printable(Widen(expected)));
        EXPECT_EQ(Printable(Format(PF_OUT_WIDE, storage + offset, {Neg(-7)}).text),
                  Printable(Widen(expected)));
        const std::u16string wide = Widen(format);
        EXPECT_EQ(Printable(Format(PF_FMT_WIDE, wide.c_str(), {Neg(-7)}).text), Printable(Widen(expected)));
      }
    }
  }
}

// The format is measured in whole aligned blocks: a format that ends at the
// last byte before an inaccessible page is read without touching that page.
TEST(PrintLiteralRuns, FormatEndingAtAPageBoundary) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  ASSERT_EQ(mprotect(static_cast<char*>(map) + page, page, PROT_NONE), 0);
  char* const pageEnd = static_cast<char*>(map) + page;
  const std::string text = "ChipsetS3LibTableHeader buffer size = 0x";  // 40 characters
  for (size_t length = 0; length <= text.size(); ++length) {
    char* format = pageEnd - (length + 1);
    memcpy(format, text.data(), length + 1);
    format[length] = 0;
    char out[64];
    EXPECT_EQ(PrintAscii(out, sizeof(out), format), length);
    EXPECT_EQ(std::string(out), text.substr(0, length));
  }
  static const char kMessage[] = "ChipsetS3LibTableHeader buffer size = 0x%x\n";
  memcpy(pageEnd - sizeof(kMessage), kMessage, sizeof(kMessage));
  char out[64];
  EXPECT_EQ(PrintAscii(out, sizeof(out), pageEnd - sizeof(kMessage), UINT64{0x4000}), 46u);
  EXPECT_STREQ(out, "ChipsetS3LibTableHeader buffer size = 0x4000\r\n");
  memcpy(pageEnd - sizeof(u"Boot%04x"), u"Boot%04x", sizeof(u"Boot%04x"));
  CHAR16 name[16];
  EXPECT_EQ(PrintWide(name, sizeof(name), reinterpret_cast<const CHAR16*>(pageEnd - sizeof(u"Boot%04x")),
                      UINT64{0x2001}),
            8u);
  EXPECT_EQ(std::u16string(name), u"Boot2001");
  munmap(map, 2 * page);
}

// The length limit holds at every alignment of the format.
TEST(PrintLimits, FormatLimitAtEveryAlignment) {
  std::vector<char> big(kPrintMaxAsciiLength + 32, 'a');
  for (size_t offset = 0; offset < 16; ++offset) {
    SCOPED_TRACE(offset);
    char* format = big.data() + offset;
    format[kPrintMaxAsciiLength] = 0;  // exactly the maximum: accepted
    char out[8];
    EXPECT_EQ(PrintEngine(out, sizeof(out), 0, format, nullptr), 7u);
    EXPECT_STREQ(out, "aaaaaaa");
    format[kPrintMaxAsciiLength] = 'a';
    format[kPrintMaxAsciiLength + 1] = 0;  // one more: refused, buffer untouched
    memset(out, kCanary, sizeof(out));
    EXPECT_EQ(PrintEngine(out, sizeof(out), 0, format, nullptr), 0u);
    for (char c : out) EXPECT_EQ(static_cast<uint8_t>(c), kCanary);
    format[kPrintMaxAsciiLength + 1] = 'a';
  }
}

}  // namespace
