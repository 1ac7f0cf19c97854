// Format strings and argument slots from the input through the print engine,
// narrow and wide.
//
// Input: flags (bit 0 wide output, bit 1 a wide format taken from the input
// as it is; without bit 1 the format is 8-bit and is also run widened), the
// capacity selector (16 bits: below 0xFFF0 the value modulo 300, else one of
// 0, 1, 1,000,000 and 1,000,001), the format block, then the arguments in the
// order the format consumes them: 64 bits for a number or "*"; for a pointer
// conversion a selector (0: null) and a block: the characters of a "%s"/"%S"
// (16-bit) or "%a" (8-bit) string up to its first zero, or the 16 bytes of a
// "%g" GUID or "%t" time.
//
// Pointer arguments point at buffers the harness owns, each exactly the size
// its conversion reads, terminator included; the slot list, the format and the
// output buffer are exactly sized too, so the sanitizer catches a read or write
// beyond any of them, and a slot consumed that the format's rules do not give
// is a read past the slot list.
//
// Oracle: every run gives the same result and buffer bytes as the reference
// copy of the engine (fuzz/print_reference.cpp). A capacity of 0 or above
// 1,000,000 returns 0 and leaves the buffer untouched; otherwise the result is at most capacity - 1 and the
// character at the result is the terminator. An 8-bit format and its widened copy give the same output, and
// 8-bit output is the low byte of each character of wide output.
#include <cstring>
#include <memory>

#include "fuzz/harness.h"
#include "fuzz/print_reference.h"
#include "support/print/print.h"

namespace {

using fuzz::Check;

constexpr size_t kMaxLength = 1000000;

struct Arguments {
  std::vector<std::unique_ptr<uint8_t[]>> owned;
  std::vector<uint64_t> slots;
};

// The format's character at index i.
uint32_t FormatChar(const std::vector<uint8_t>& format, size_t charSize, size_t i) {
  const size_t at = i * charSize;
  if (at + charSize > format.size()) return 0;
  return charSize == 2 ? static_cast<uint32_t>(format[at] | (format[at + 1] << 8)) : format[at];
}

uint64_t Own(Arguments& args, std::vector<uint8_t> bytes) {
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[bytes.size()]);
  std::memcpy(buffer.get(), bytes.data(), bytes.size());
  const uint64_t address = reinterpret_cast<uintptr_t>(buffer.get());
  args.owned.push_back(std::move(buffer));
  return address;
}

uint64_t PointerArgument(fuzz::Input& in, Arguments& args, uint32_t conversion) {
  if (in.U8() == 0) return 0;
  std::vector<uint8_t> block = in.Block();
  if (conversion == 'g' || conversion == 't') {
    block.resize(16);
    return Own(args, block);
  }
  const size_t charSize = conversion == 'a' ? 1 : 2;
  std::vector<uint8_t> text;
  for (size_t i = 0; i + charSize <= block.size(); i += charSize) {
    const bool zero = block[i] == 0 && (charSize == 1 || block[i + 1] == 0);
    if (zero) break;
    text.insert(text.end(), block.begin() + static_cast<long>(i),
                block.begin() + static_cast<long>(i + charSize));
  }
  text.resize(text.size() + charSize, 0);
  return Own(args, text);
}

// Walks the format by the conversion rules and gives every slot it consumes a
// value from the input.
Arguments BuildArguments(fuzz::Input& in, const std::vector<uint8_t>& format, size_t charSize) {
  Arguments args;
  size_t i = 0;
  for (;;) {
    uint32_t c = FormatChar(format, charSize, i);
    if (c == 0) break;
    if (c != '%') {
      i++;
      continue;
    }
    for (;;) {
      c = FormatChar(format, charSize, ++i);
      if (c == '-' || c == '+' || c == ' ' || c == ',' || c == '.' || c == 'l' || c == 'L') continue;
      if (c == '*') {
        args.slots.push_back(in.U64());
        continue;
      }
      if (c >= '0' && c <= '9') {
        while (FormatChar(format, charSize, i + 1) >= '0' && FormatChar(format, charSize, i + 1) <= '9') i++;
        continue;
      }
      break;
    }
    if (c == 0) break;
    switch (c) {
      case 'd':
      case 'u':
      case 'x':
      case 'X':
      case 'p':
      case 'c':
      case 'r':
        args.slots.push_back(in.U64());
        break;
      case 's':
      case 'S':
      case 'a':
      case 'g':
      case 't':
        args.slots.push_back(PointerArgument(in, args, c));
        break;
      default:
        break;
    }
    i++;
  }
  return args;
}

struct Output {
  UINTN result = 0;
  std::vector<uint16_t> chars;  // the characters before the terminator
};

// Runs the engine into an exactly sized buffer and checks the result.
Output Print(const std::vector<uint8_t>& format, size_t capacity, UINTN flags, const UINT64* slots) {
  const size_t outSize = (flags & PF_OUT_WIDE) ? 2 : 1;
  std::vector<uint8_t> terminated = format;
  terminated.resize(terminated.size() + ((flags & PF_FMT_WIDE) ? 2 : 1), 0);
  std::unique_ptr<uint8_t[]> fmt(new uint8_t[terminated.size()]);
  std::memcpy(fmt.get(), terminated.data(), terminated.size());

  const bool refused = capacity == 0 || capacity > kMaxLength;
  const size_t bytes = refused ? outSize : capacity * outSize;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[bytes]);
  std::memset(buffer.get(), 0xA5, bytes);

  std::unique_ptr<uint8_t[]> expected(new uint8_t[bytes]);
  std::memset(expected.get(), 0xA5, bytes);
  const UINTN expectedResult =
      print_reference::PrintEngine(expected.get(), capacity, flags, fmt.get(), slots);

  Output out;
  out.result = PrintEngine(buffer.get(), capacity, flags, fmt.get(), slots);
  Check(out.result == expectedResult && std::memcmp(buffer.get(), expected.get(), bytes) == 0,
        "the output differs from the reference engine's");
  if (refused) {
    Check(out.result == 0, "a refused capacity returned characters");
    for (size_t i = 0; i < bytes; i++) Check(buffer[i] == 0xA5, "a refused capacity wrote to the buffer");
    return out;
  }
  Check(out.result <= capacity - 1, "more characters than the capacity holds");
  const uint8_t* end = buffer.get() + out.result * outSize;
  Check(end[0] == 0 && (outSize == 1 || end[1] == 0), "the output is not terminated at the result");
  for (size_t i = 0; i < out.result; i++) {
    const uint8_t* p = buffer.get() + i * outSize;
    out.chars.push_back(static_cast<uint16_t>(outSize == 2 ? p[0] | (p[1] << 8) : p[0]));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t flags = in.U8();
  const uint16_t capacitySelector = in.U16();
  static const size_t kSpecial[] = {0, 1, kMaxLength, kMaxLength + 1};
  const size_t capacity = capacitySelector < 0xFFF0 ? capacitySelector % 300 : kSpecial[capacitySelector & 3];
  const bool wideFormat = flags & 2;
  std::vector<uint8_t> format = in.Block();
  if (wideFormat && format.size() % 2) format.pop_back();
  // The format ends at its first zero character.
  const size_t charSize = wideFormat ? 2 : 1;
  for (size_t i = 0; i < format.size() / charSize; i++) {
    if (FormatChar(format, charSize, i) == 0) {
      format.resize(i * charSize);
      break;
    }
  }

  const Arguments args = BuildArguments(in, format, charSize);
  std::unique_ptr<UINT64[]> slots(new UINT64[args.slots.size()]);
  for (size_t i = 0; i < args.slots.size(); i++) slots[i] = args.slots[i];

  if (wideFormat) {
    Print(format, capacity, PF_FMT_WIDE | ((flags & 1) ? PF_OUT_WIDE : 0), slots.get());
    return 0;
  }
  std::vector<uint8_t> widened;
  for (uint8_t b : format) widened.insert(widened.end(), {b, 0});
  const Output narrow = Print(format, capacity, 0, slots.get());
  const Output wide = Print(format, capacity, PF_OUT_WIDE, slots.get());
  const Output narrowFromWide = Print(widened, capacity, PF_FMT_WIDE, slots.get());
  const Output wideFromWide = Print(widened, capacity, PF_FMT_WIDE | PF_OUT_WIDE, slots.get());
  Check(narrow.chars == narrowFromWide.chars && wide.chars == wideFromWide.chars,
        "a widened format gives other output");
  Check(narrow.result == wide.result, "wide and narrow output differ in length");
  for (size_t i = 0; i < narrow.chars.size(); i++) {
    Check(narrow.chars[i] == (wide.chars[i] & 0xFF), "narrow output is not the low bytes of wide output");
  }
  return 0;
}
