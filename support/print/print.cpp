// Formatted print engine.
#include "support/print/print.h"

#include "support/base/base.h"

namespace {

constexpr CHAR8 kDigitTable[] = "0123456789ABCDEF";
constexpr CHAR8 kCrLf[] = "\r\n";
constexpr CHAR8 kCr[] = "\r";
constexpr CHAR8 kNullString[] = "<null string>";
constexpr CHAR8 kNullGuid[] = "<null guid>";
constexpr CHAR8 kNullTime[] = "<null time>";
constexpr CHAR8 kTimeFormat[] = "%02d/%02d/%04d  %02d:%02d";
constexpr CHAR8 kStatusFallbackFormat[] = "%08X";

// Success and the warnings at their own value; error code n at 5 + n.
constexpr UINTN kLastWarning = 5;
constexpr UINTN kLastErrorCode = 33;
// The names one after the other, each with its NUL: a packed table needs no
// pointer (and no relocation) per name.
constexpr CHAR8 kStatusNames[] =
    "Success\0"
    // Warnings 1 to 5.
    "Warning Unknown Glyph\0"
    "Warning Delete Failure\0"
    "Warning Write Failure\0"
    "Warning Buffer Too Small\0"
    "Warning Stale Data\0"
    // Errors 1 to 33.
    "Load Error\0"
    "Invalid Parameter\0"
    "Unsupported\0"
    "Bad Buffer Size\0"
    "Buffer Too Small\0"
    "Not Ready\0"
    "Device Error\0"
    "Write Protected\0"
    "Out of Resources\0"
    "Volume Corrupt\0"
    "Volume Full\0"
    "No Media\0"
    "Media changed\0"
    "Not Found\0"
    "Access Denied\0"
    "No Response\0"
    "No mapping\0"
    "Time out\0"
    "Not started\0"
    "Already started\0"
    "Aborted\0"
    "ICMP Error\0"
    "TFTP Error\0"
    "Protocol Error\0"
    "Incompatible Version\0"
    "Security Violation\0"
    "CRC Error\0"
    "End of Media\0"
    "Reserved (29)\0"
    "Reserved (30)\0"
    "End of File\0"
    "Invalid Language\0"
    "Compromised Data";

constexpr UINTN CountNames(const CHAR8* names, UINTN size) {
  UINTN n = 0;
  for (UINTN i = 0; i < size; ++i) n += names[i] == 0;
  return n;
}
static_assert(CountNames(kStatusNames, sizeof(kStatusNames)) == kLastWarning + 1 + kLastErrorCode,
              "one name per success, warning and error code");

const CHAR8* StatusName(UINTN index) {
  const CHAR8* name = kStatusNames;
  while (index-- != 0) {
    while (*name++ != 0) {
    }
  }
  return name;
}

// One character of a text or format stored with `size` bytes per character,
// assembled byte by byte so any alignment works.
inline UINTN CharAt(const UINT8* p, UINTN size) {
  if (size == 2) return static_cast<UINTN>(p[0]) | (static_cast<UINTN>(p[1]) << 8);
  return p[0];
}

// Characters before the NUL, counting at most `limit`.
UINTN TextLength(const UINT8* text, UINTN size, UINTN limit) {
  UINTN n = 0;
  while (n < limit && CharAt(text + n * size, size) != 0) ++n;
  return n;
}

// Writes one output character; the caller has checked that there is room.
inline UINT8* Put(UINT8* cursor, UINTN c, UINTN outSize) {
  cursor[0] = static_cast<UINT8>(c);
  if (outSize == 2) cursor[1] = static_cast<UINT8>(c >> 8);
  return cursor + outSize;
}

inline UINT8* PutBounded(UINT8* cursor, const UINT8* end, UINTN c, UINTN outSize) {
  return cursor < end ? Put(cursor, c, outSize) : cursor;
}

// PrintFill, called only when there is something to write.
inline UINT8* Fill(UINT8* cursor, const UINT8* end, INTN count, UINT16 character, UINTN outSize) {
  return count > 0 ? PrintFill(cursor, end, count, character, outSize) : cursor;
}

// Sixteen format bytes at a time (SSE2, present on every x86-64 processor).
typedef char Bytes16 __attribute__((vector_size(16), may_alias));
typedef char UnalignedBytes16 __attribute__((vector_size(16), aligned(1), may_alias));

// One bit per byte of `v`: the bytes that compare true.
inline UINT32 ByteMask(Bytes16 v) { return static_cast<UINT32>(__builtin_ia32_pmovmskb128(v)); }

// Characters of an 8-bit format before its NUL, and in *literal the number of
// leading characters that are not "%", "\n" or "\r"; a result above `limit`
// only says that the format is longer. Reads whole aligned 16-byte blocks: an
// aligned block never crosses a page, so the bytes it holds before the format
// and past the terminator can always be read, though they are not part of the
// format (hence no address checks here).
__attribute__((no_sanitize_address)) UINTN FormatLength8(const UINT8* format, UINTN limit, UINTN* literal) {
  const UINTN offset = reinterpret_cast<uintptr_t>(format) & 15;
  const Bytes16* block = reinterpret_cast<const Bytes16*>(format - offset);
  UINTN n = 0 - offset;  // position of the block's first byte
  UINTN first = ~static_cast<UINTN>(0);
  UINT32 inFormat = ~0u << offset;  // the bytes of this block that belong to the format
  for (;;) {
    const Bytes16 v = *block++;
    if (first == ~static_cast<UINTN>(0)) {
      const UINT32 special =
          ByteMask(reinterpret_cast<Bytes16>((v == '%') | (v == '\n') | (v == '\r'))) & inFormat;
      if (special != 0) first = n + static_cast<UINTN>(__builtin_ctz(special));
    }
    const UINT32 zero = ByteMask(reinterpret_cast<Bytes16>(v == 0)) & inFormat;
    if (zero != 0) {
      n += static_cast<UINTN>(__builtin_ctz(zero));
      *literal = first < n ? first : n;
      return n;
    }
    n += 16;
    if (n > limit) return n;
    inFormat = ~0u;
  }
}

// Copies `length` bytes that do not overlap, sixteen at a time; the last
// block may overlap the one before it rather than writing past the end.
void CopyBytes(UINT8* destination, const UINT8* source, UINTN length) {
  if (length < 16) {
    for (UINTN i = 0; i < length; ++i) destination[i] = source[i];
    return;
  }
  for (UINTN i = 0; i + 16 < length; i += 16) {
    *reinterpret_cast<UnalignedBytes16*>(destination + i) =
        *reinterpret_cast<const UnalignedBytes16*>(source + i);
  }
  *reinterpret_cast<UnalignedBytes16*>(destination + length - 16) =
      *reinterpret_cast<const UnalignedBytes16*>(source + length - 16);
}

// Copies format characters up to the next "%", "\n", "\r" or the NUL, or
// until the room is full; moves *format past the characters copied. Kept out
// of line: the compiler would otherwise copy it into several paths of the
// main loop.
__attribute__((noinline)) UINT8* CopyLiteral(UINT8* cursor, const UINT8* end, const UINT8** format,
                                             UINTN fmtSize, UINTN outSize) {
  const UINT8* fp = *format;
  for (UINTN c = CharAt(fp, fmtSize); c != 0 && c != '%' && c != '\n' && c != '\r' && cursor < end;
       c = CharAt(fp, fmtSize)) {
    cursor = Put(cursor, c, outSize);
    fp += fmtSize;
  }
  *format = fp;
  return cursor;
}

inline UINT64 NextSlot(const UINT64** cursor) {
  if (*cursor == nullptr) return 0;
  return *(*cursor)++;
}

// One conversion or literal, ready to be written.
struct Item {
  UINTN flags;
  UINTN width;
  UINTN precision;
  const UINT8* text;  // first character; for numbers the most significant digit
  UINTN length;       // numbers: output positions including prefix and separators
  UINTN phase;        // thousands-separator phase of the first digit
  CHAR8 prefix;       // '+', '-', ' ' or 0
  bool number;
};

UINT8* EmitItem(UINT8* cursor, const UINT8* end, UINTN outSize, Item* item) {
  const UINTN flags = item->flags;
  const UINTN argSize = (flags & PF_ARG_WIDE) ? 2 : 1;
  if (!item->number) {
    const UINTN limit = (flags & PF_PRECISION_SET) ? item->precision : ~static_cast<UINTN>(0);
    item->length = TextLength(item->text, argSize, limit);
  }
  const UINTN length = item->length;
  const UINTN field = item->precision > length ? item->precision : length;
  const bool padToWidth = (flags & PF_WIDTH_SET) != 0;
  const bool left = (flags & PF_LEFT_ALIGN) != 0;

  if (padToWidth && !left) {
    cursor = Fill(cursor, end, static_cast<INTN>(item->width - field), ' ', outSize);
  }
  if (item->number) {
    if (item->prefix != 0) cursor = PutBounded(cursor, end, static_cast<UINT8>(item->prefix), outSize);
    cursor = Fill(cursor, end, static_cast<INTN>(field - length), '0', outSize);
  } else {
    cursor = Fill(cursor, end, static_cast<INTN>(field - length), ' ', outSize);
  }

  // Position 0 belongs to the prefix when there is one.
  const bool thousands = item->number && (flags & PF_THOUSANDS) != 0;
  const INTN step = (flags & PF_ARG_BACKWARD) ? -1 : static_cast<INTN>(argSize);
  const UINT8* p = item->text;
  UINTN phase = item->phase;
  for (UINTN index = item->prefix != 0 ? 1 : 0; index < length && cursor < end;) {
    const UINTN c = CharAt(p, argSize);
    if (c == 0) break;
    cursor = Put(cursor, c, outSize);
    p += step;
    ++index;
    if (thousands && ++phase == 3) {
      phase = 0;
      ++index;
      if (index < length) cursor = PutBounded(cursor, end, ',', outSize);
    }
  }

  if (padToWidth && left) {
    cursor = Fill(cursor, end, static_cast<INTN>(item->width - field), ' ', outSize);
  }
  return cursor;
}

// Fills in a number conversion: sign handling, digits and the field layout.
void PrepareNumber(Item* item, UINT64 slot, CHAR8* scratch) {
  UINTN flags = item->flags;
  UINT64 value =
      (flags & PF_64BIT) ? slot : static_cast<UINT64>(static_cast<INT64>(static_cast<INT32>(slot)));
  const bool negative = static_cast<INT64>(value) < 0;
  CHAR8 prefix = 0;
  if (flags & PF_PLUS_SIGN) {
    prefix = '+';
  } else if (flags & PF_SPACE_SIGN) {
    prefix = ' ';
  }

  UINT32 radix;
  if (flags & PF_HEX) {
    flags &= ~PF_THOUSANDS;
    radix = 16;
    if (!(flags & PF_64BIT) && negative) value &= 0xFFFFFFFFu;
  } else {
    radix = 10;
    if (flags & PF_THOUSANDS) {
      flags &= ~PF_ZERO_FILL;
      item->precision = 1;
    }
    if (negative && !(flags & PF_UNSIGNED)) {
      value = 0 - value;
      prefix = '-';
      flags |= PF_PLUS_SIGN;
    } else if ((flags & PF_UNSIGNED) && !(flags & PF_64BIT)) {
      value &= 0xFFFFFFFFu;
    }
  }

  const CHAR8* last = PrintValueToDigits(scratch, value, radix);
  UINTN count = static_cast<UINTN>(last - scratch);
  if (value == 0 && item->precision == 0) count = 0;

  const UINTN r = count % 3;
  item->phase = r == 0 ? 0 : 3 - r;
  UINTN length = count;
  if ((flags & PF_THOUSANDS) && count != 0) length += (count - 1) / 3;
  if (prefix != 0) {
    ++length;
    ++item->precision;
  }
  flags |= PF_ARG_BACKWARD;
  if ((flags & (PF_ZERO_FILL | PF_WIDTH_SET | PF_LEFT_ALIGN | PF_PRECISION_SET)) ==
      (PF_ZERO_FILL | PF_WIDTH_SET)) {
    item->precision = item->width;
  }

  item->flags = flags;
  item->text = reinterpret_cast<const UINT8*>(last);
  item->length = length;
  item->prefix = prefix;
  item->number = true;
}

// The text of a status: its name, or the low 32 bits in hexadecimal.
const CHAR8* StatusText(EFI_STATUS status, CHAR8* scratch) {
  if (status <= kLastWarning) return StatusName(status);
  if (EFI_ERROR(status)) {
    const UINTN code = status & ~kErrorBit;
    if (code >= 1 && code <= kLastErrorCode) return StatusName(kLastWarning + code);
  }
  PrintWithFlags(scratch, kPrintScratchLength, 0, kStatusFallbackFormat, static_cast<UINT64>(status));
  return scratch;
}

// The GUID text: Data1, Data2 and Data3 as numbers (their bytes from the most
// significant one), then the eight bytes of Data4 in order, two upper-case
// hexadecimal digits a byte, with "-" before bytes 4, 6, 8 and 10 of the text.
const CHAR8* GuidText(const UINT8* g, CHAR8* scratch) {
  if (g == nullptr) return kNullGuid;
  static constexpr UINT8 kTextOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  CHAR8* q = scratch;
  for (UINTN i = 0; i < 16; ++i) {
    if ((0x550u >> i) & 1) *q++ = '-';
    const UINT8 byte = g[kTextOrder[i]];
    *q++ = kDigitTable[byte >> 4];
    *q++ = kDigitTable[byte & 0xF];
  }
  *q = 0;
  return scratch;
}

const CHAR8* TimeText(const UINT8* t, CHAR8* scratch) {
  if (t == nullptr) return kNullTime;
  PrintWithFlags(
      scratch, kPrintScratchLength, 0, kTimeFormat, static_cast<UINT64>(t[offsetof(EFI_TIME, Month)]),
      static_cast<UINT64>(t[offsetof(EFI_TIME, Day)]),
      static_cast<UINT64>(Load16(t + offsetof(EFI_TIME, Year))),
      static_cast<UINT64>(t[offsetof(EFI_TIME, Hour)]), static_cast<UINT64>(t[offsetof(EFI_TIME, Minute)]));
  return scratch;
}

}  // namespace

UINT8* PrintFill(UINT8* cursor, const UINT8* end, INTN count, UINT16 character, UINTN charSize) {
  for (; count > 0 && cursor < end; --count) {
    *cursor++ = static_cast<UINT8>(character);
    if (charSize == 2) *cursor++ = static_cast<UINT8>(character >> 8);
  }
  return cursor;
}

CHAR8* PrintValueToDigits(CHAR8* scratch, UINT64 value, UINT32 radix) {
  CHAR8* p = scratch;
  *p = 0;
  do {
    // The engine's radices divide by a constant (a shift or a multiplication);
    // any other radix takes the division primitive.
    UINT32 digit;
    if (radix == 16) {
      digit = static_cast<UINT32>(value & 0xF);
      value >>= 4;
    } else if (radix == 10) {
      digit = static_cast<UINT32>(value % 10);
      value /= 10;
    } else {
      value = Div64x32Rem(value, radix, &digit);
    }
    *++p = kDigitTable[digit];
  } while (value != 0);
  return p;
}

UINTN PrintEngine(void* buffer, UINTN capacity, UINTN flags, const void* format, const UINT64* arguments) {
  // A null format is refused even with capacity 0: its length cannot be checked.
  if (format == nullptr) return 0;
  if (capacity != 0 && buffer == nullptr) return 0;

  UINTN outSize = 1;
  if (flags & PF_OUT_WIDE) {
    if (kPrintMaxWideLength != 0 && capacity > kPrintMaxWideLength) return 0;
    outSize = 2;
  } else if (kPrintMaxAsciiLength != 0 && capacity > kPrintMaxAsciiLength) {
    return 0;
  }

  const UINT8* fp = static_cast<const UINT8*>(format);
  const UINTN fmtSize = (flags & PF_FMT_WIDE) ? 2 : 1;
  const UINTN fmtMax = fmtSize == 2 ? kPrintMaxWideLength : kPrintMaxAsciiLength;
  const UINTN fmtLimit = fmtMax != 0 ? fmtMax : ~static_cast<UINTN>(0) - 1;
  UINTN leading = 0;  // leading ordinary characters of an 8-bit format
  const UINTN fmtLength =
      fmtSize == 2 ? TextLength(fp, 2, fmtLimit + 1) : FormatLength8(fp, fmtLimit, &leading);
  if (fmtLength > fmtLimit) return 0;

  if (capacity == 0) return 0;

  UINT8* const start = static_cast<UINT8*>(buffer);
  UINT8* const end = start + outSize * (capacity - 1);
  UINT8* cursor = start;
  const UINT64* args = arguments;
  const UINTN callerFlags = flags & (PF_OUT_WIDE | PF_FMT_WIDE);
  CHAR8 scratch[kPrintScratchLength];
  CHAR16 single[2];

  if (outSize == 1) {
    // The leading ordinary characters of an 8-bit format go out in one block.
    if (leading > capacity - 1) leading = capacity - 1;
    CopyBytes(cursor, fp, leading);
    cursor += leading;
    fp += leading;
  }

  for (;;) {
    UINTN c = CharAt(fp, fmtSize);
    if (c == 0 || cursor >= end) break;

    if (c == '\n' || c == '\r') {
      // "\n", "\n\r" and "\r\n" give "\r\n"; a lone "\r" stays.
      const UINTN next = CharAt(fp + fmtSize, fmtSize);
      const bool pair = (c == '\n' && next == '\r') || (c == '\r' && next == '\n');
      if (pair) fp += fmtSize;
      cursor = Put(cursor, '\r', outSize);
      if (c == '\n' || pair) cursor = PutBounded(cursor, end, '\n', outSize);
      fp += fmtSize;
      continue;
    }
    if (c != '%') {
      cursor = CopyLiteral(cursor, end, &fp, fmtSize, outSize);
      continue;
    }

    Item item;
    item.flags = callerFlags;
    item.width = 0;
    item.precision = 1;
    item.text = nullptr;
    item.length = 0;
    item.phase = 0;
    item.prefix = 0;
    item.number = false;

    bool literal = false;
    for (;;) {
      fp += fmtSize;
      c = CharAt(fp, fmtSize);
      if (c == '-') {
        item.flags |= PF_LEFT_ALIGN;
      } else if (c == '+') {
        item.flags |= PF_PLUS_SIGN;
      } else if (c == ' ') {
        item.flags |= PF_SPACE_SIGN;
      } else if (c == ',') {
        item.flags |= PF_THOUSANDS;
      } else if (c == '.') {
        item.flags |= PF_PRECISION_SET;
      } else if (c == '*') {
        const UINT64 value = NextSlot(&args);
        if (item.flags & PF_PRECISION_SET) {
          item.precision = value;
        } else {
          item.width = value;
          item.flags |= PF_WIDTH_SET;
        }
      } else if (c >= '0' && c <= '9') {
        if (c == '0' && !(item.flags & PF_PRECISION_SET)) item.flags |= PF_ZERO_FILL;
        UINTN value = 0;
        while (c >= '0' && c <= '9') {
          value = value * 10 + (c - '0');
          fp += fmtSize;
          c = CharAt(fp, fmtSize);
        }
        fp -= fmtSize;  // the loop steps onto the first non-digit
        if (item.flags & PF_PRECISION_SET) {
          item.precision = value;
        } else {
          item.width = value;
          item.flags |= PF_WIDTH_SET;
        }
      } else if (c == 'l' || c == 'L') {
        item.flags |= PF_64BIT;
      } else {
        break;
      }
    }

    if (c == 0) break;  // a trailing "%" ends the format

    switch (c) {
      case 'u':
        item.flags = (item.flags & ~PF_PLUS_SIGN) | PF_UNSIGNED;
        PrepareNumber(&item, NextSlot(&args), scratch);
        break;
      case 'd':
        PrepareNumber(&item, NextSlot(&args), scratch);
        break;
      case 'x':
        item.flags |= PF_HEX;
        PrepareNumber(&item, NextSlot(&args), scratch);
        break;
      case 'X':
        item.flags |= PF_HEX | PF_ZERO_FILL;
        PrepareNumber(&item, NextSlot(&args), scratch);
        break;
      case 'p':
        item.flags &= ~(PF_PLUS_SIGN | PF_SPACE_SIGN | PF_ZERO_FILL);
        item.flags |= PF_64BIT | PF_ZERO_FILL | PF_HEX;
        PrepareNumber(&item, NextSlot(&args), scratch);
        break;
      case 'c':
        single[0] = static_cast<CHAR16>(NextSlot(&args) & 0xFFFF);
        single[1] = 0;
        item.text = reinterpret_cast<const UINT8*>(single);
        item.flags |= PF_ARG_WIDE;
        break;
      case 's':
      case 'S':
      case 'a': {
        const UINT8* text = reinterpret_cast<const UINT8*>(static_cast<uintptr_t>(NextSlot(&args)));
        if (text == nullptr) {
          item.text = reinterpret_cast<const UINT8*>(kNullString);
        } else {
          item.text = text;
          if (c != 'a') item.flags |= PF_ARG_WIDE;
        }
        if (!(item.flags & PF_PRECISION_SET)) item.precision = 0;
        break;
      }
      case 'g':
      case 't':
      case 'r': {
        const UINT64 slot = NextSlot(&args);
        const UINT8* pointer = reinterpret_cast<const UINT8*>(static_cast<uintptr_t>(slot));
        const CHAR8* text = c == 'g'   ? GuidText(pointer, scratch)
                            : c == 't' ? TimeText(pointer, scratch)
                                       : StatusText(slot, scratch);
        item.text = reinterpret_cast<const UINT8*>(text);
        if (!(item.flags & PF_PRECISION_SET)) item.precision = 0;
        break;
      }
      default:
        literal = true;  // "%\n", "%\r" and any other character stand for themselves
        break;
    }

    if (literal) {
      if (c == '\n' || c == '\r') {
        const UINTN next = CharAt(fp + fmtSize, fmtSize);
        const bool pair = (c == '\n' && next == '\r') || (c == '\r' && next == '\n');
        if (pair) fp += fmtSize;
        item.text = reinterpret_cast<const UINT8*>(c == '\n' || pair ? kCrLf : kCr);
      } else {
        single[0] = static_cast<CHAR16>(c);
        single[1] = 0;
        item.text = reinterpret_cast<const UINT8*>(single);
        item.flags |= PF_ARG_WIDE;
      }
    }

    cursor = EmitItem(cursor, end, outSize, &item);
    fp += fmtSize;
  }

  // cursor never passes end, which was kept free for the terminator.
  Put(cursor, 0, outSize);
  return static_cast<UINTN>(cursor - start) >> (outSize - 1);
}

UINTN EFIAPI PrintAscii(CHAR8* buffer, UINTN capacity, const CHAR8* format, ...) {
  __builtin_ms_va_list list;
  __builtin_ms_va_start(list, format);
  const UINTN n = PrintEngine(buffer, capacity, 0, format, reinterpret_cast<const UINT64*>(list));
  __builtin_ms_va_end(list);
  return n;
}

UINTN EFIAPI PrintWide(CHAR16* buffer, UINTN sizeInBytes, const CHAR16* format, ...) {
  __builtin_ms_va_list list;
  __builtin_ms_va_start(list, format);
  const UINTN n = PrintEngine(buffer, sizeInBytes >> 1, PF_OUT_WIDE | PF_FMT_WIDE, format,
                              reinterpret_cast<const UINT64*>(list));
  __builtin_ms_va_end(list);
  return n;
}

UINTN EFIAPI PrintWithFlags(void* buffer, UINTN capacity, UINTN flags, const void* format, ...) {
  __builtin_ms_va_list list;
  __builtin_ms_va_start(list, format);
  const UINTN n = PrintEngine(buffer, capacity, flags, format, reinterpret_cast<const UINT64*>(list));
  __builtin_ms_va_end(list);
  return n;
}
