// Formatted print engine: a printf-like formatter into a caller's buffer,
// ASCII or UCS-2 on either side (format and output independently). It never
// allocates and never calls the firmware.
//
// Arguments are a list of 8-byte slots, one per argument whatever its type:
// a 32-bit number is the low half of its slot, a character the low 16 bits,
// a pointer or a 64-bit number ("%lx", "%p", "%s", "%r", "*") the whole slot.
// The variadic entry points use the UEFI calling convention in both builds,
// whose variable arguments are exactly such a slot list; they hand a pointer
// to the first slot to PrintEngine. Pass 64-bit values (UINTN, UINT64 or a
// pointer) wherever a conversion reads the whole slot: the upper half of a
// slot that carries a narrower value is undefined.
//
// Conversions: %d %u %x %X %p %c %s/%S (UCS-2 string) %a (ASCII string)
// %g (EFI_GUID*) %t (EFI_TIME*) %r (EFI_STATUS), with the flags "-", "+",
// " ", ",", "0", width and precision (digits or "*") and "l"/"L" for 64-bit
// numbers. Hexadecimal digits are always upper case. A "\n" in the format
// emits "\r\n" (a following "\r" is absorbed); "\r\n" stays "\r\n".
#pragma once

#include "frame/uefi.h"

// Flag word. The caller sets only PF_OUT_WIDE and PF_FMT_WIDE; the engine
// uses the rest while it parses one conversion.
constexpr UINTN PF_LEFT_ALIGN = 0x0001;
constexpr UINTN PF_PLUS_SIGN = 0x0002;
constexpr UINTN PF_SPACE_SIGN = 0x0004;
constexpr UINTN PF_THOUSANDS = 0x0008;
constexpr UINTN PF_64BIT = 0x0010;
constexpr UINTN PF_ZERO_FILL = 0x0020;
constexpr UINTN PF_OUT_WIDE = 0x0040;
constexpr UINTN PF_HEX = 0x0080;
constexpr UINTN PF_FMT_WIDE = 0x0100;
constexpr UINTN PF_WIDTH_SET = 0x0200;
constexpr UINTN PF_ARG_WIDE = 0x0400;
constexpr UINTN PF_PRECISION_SET = 0x0800;
constexpr UINTN PF_ARG_BACKWARD = 0x1000;
constexpr UINTN PF_UNSIGNED = 0x4000;

// Longest accepted format and largest accepted capacity, in characters.
// 0 would switch the corresponding check off.
constexpr UINTN kPrintMaxAsciiLength = 1000000;
constexpr UINTN kPrintMaxWideLength = 1000000;
// Scratch text for number digits and the %g, %t and %r texts, in characters.
constexpr UINTN kPrintScratchLength = 38;

// Formats into `buffer`. `capacity` counts characters of the output width
// (PF_OUT_WIDE: 16-bit), terminator included; `format` is 16-bit when
// PF_FMT_WIDE is set. `arguments` points at the first 8-byte slot (a null list
// reads as zeros). Returns the characters written without the terminator.
// Output that does not fit is cut at capacity - 1 characters and terminated.
// Returns 0 and writes nothing when capacity is 0 or above the maximum, the
// format is null or longer than the maximum, or the buffer is null.
UINTN PrintEngine(void* buffer, UINTN capacity, UINTN flags, const void* format, const UINT64* arguments);

// ASCII format, ASCII output, capacity in characters.
UINTN EFIAPI PrintAscii(CHAR8* buffer, UINTN capacity, const CHAR8* format, ...);
// UCS-2 format, UCS-2 output; the capacity is given in bytes.
UINTN EFIAPI PrintWide(CHAR16* buffer, UINTN sizeInBytes, const CHAR16* format, ...);
// Any combination of widths, chosen by PF_OUT_WIDE and PF_FMT_WIDE in `flags`.
UINTN EFIAPI PrintWithFlags(void* buffer, UINTN capacity, UINTN flags, const void* format, ...);

// Writes `character` `count` times (nothing when count <= 0), each only while
// `cursor` is below `end`; `charSize` 2 writes low byte then high byte.
// Returns the advanced cursor.
UINT8* PrintFill(UINT8* cursor, const UINT8* end, INTN count, UINT16 character, UINTN charSize);

// Stores a NUL in scratch[0], then the digits of `value` in `radix` (2..16),
// least significant first. Returns a pointer to the most significant digit,
// so the digit count is the result minus `scratch` (at least 1).
CHAR8* PrintValueToDigits(CHAR8* scratch, UINT64 value, UINT32 radix);
