// The print engine as it stood before its speed work, kept unchanged as the
// reference the fuzz target compares the engine's output with: every input
// must give the same result and the same bytes in the buffer. Only the
// enclosing namespace is new.
#include "fuzz/print_reference.h"

#include "support/base/base.h"

namespace print_reference {

UINTN EFIAPI PrintWithFlags(void* buffer, UINTN capacity, UINTN flags, const void* format, ...);

namespace {

constexpr CHAR8 kDigitTable[] = "0123456789ABCDEF";
constexpr CHAR8 kCrLf[] = "\r\n";
constexpr CHAR8 kCr[] = "\r";
constexpr CHAR8 kNullString[] = "<null string>";
constexpr CHAR8 kNullGuid[] = "<null guid>";
constexpr CHAR8 kNullTime[] = "<null time>";
constexpr CHAR8 kGuidFormat[] = "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x";
constexpr CHAR8 kTimeFormat[] = "%02d/%02d/%04d  %02d:%02d";
constexpr CHAR8 kStatusFallbackFormat[] = "%08X";

// Success and the warnings at their own value; error code n at 5 + n.
constexpr UINTN kLastWarning = 5;
constexpr UINTN kLastErrorCode = 33;
constexpr const CHAR8* kStatusNames[] = {
    "Success",
    // Warnings 1 to 5.
    "Warning Unknown Glyph",
    "Warning Delete Failure",
    "Warning Write Failure",
    "Warning Buffer Too Small",
    "Warning Stale Data",
    // Errors 1 to 33.
    "Load Error",
    "Invalid Parameter",
    "Unsupported",
    "Bad Buffer Size",
    "Buffer Too Small",
    "Not Ready",
    "Device Error",
    "Write Protected",
    "Out of Resources",
    "Volume Corrupt",
    "Volume Full",
    "No Media",
    "Media changed",
    "Not Found",
    "Access Denied",
    "No Response",
    "No mapping",
    "Time out",
    "Not started",
    "Already started",
    "Aborted",
    "ICMP Error",
    "TFTP Error",
    "Protocol Error",
    "Incompatible Version",
    "Security Violation",
    "CRC Error",
    "End of Media",
    "Reserved (29)",
    "Reserved (30)",
    "End of File",
    "Invalid Language",
    "Compromised Data",
};
static_assert(sizeof(kStatusNames) / sizeof(kStatusNames[0]) == kLastWarning + 1 + kLastErrorCode,
              "one name per success, warning and error code");

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
    cursor = PrintFill(cursor, end, static_cast<INTN>(item->width - field), ' ', outSize);
  }
  if (item->number) {
    if (item->prefix != 0) cursor = PrintFill(cursor, end, 1, static_cast<UINT8>(item->prefix), outSize);
    cursor = PrintFill(cursor, end, static_cast<INTN>(field - length), '0', outSize);
  } else {
    cursor = PrintFill(cursor, end, static_cast<INTN>(field - length), ' ', outSize);
  }

  // Position 0 belongs to the prefix when there is one.
  const bool thousands = item->number && (flags & PF_THOUSANDS) != 0;
  const bool backward = (flags & PF_ARG_BACKWARD) != 0;
  const UINT8* p = item->text;
  UINTN phase = item->phase;
  for (UINTN index = item->prefix != 0 ? 1 : 0; index < length;) {
    const UINTN c = CharAt(p, argSize);
    if (c == 0) break;
    cursor = PrintFill(cursor, end, 1, static_cast<UINT16>(c), outSize);
    if (backward) {
      p -= argSize;
    } else {
      p += argSize;
    }
    ++index;
    if (thousands && ++phase == 3) {
      phase = 0;
      ++index;
      if (index < length) cursor = PrintFill(cursor, end, 1, ',', outSize);
    }
  }

  if (padToWidth && left) {
    cursor = PrintFill(cursor, end, static_cast<INTN>(item->width - field), ' ', outSize);
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
  if (status <= kLastWarning) return kStatusNames[status];
  if (EFI_ERROR(status)) {
    const UINTN code = status & ~kErrorBit;
    if (code >= 1 && code <= kLastErrorCode) return kStatusNames[kLastWarning + code];
  }
  PrintWithFlags(scratch, kPrintScratchLength, 0, kStatusFallbackFormat, static_cast<UINT64>(status));
  return scratch;
}

const CHAR8* GuidText(const UINT8* g, CHAR8* scratch) {
  if (g == nullptr) return kNullGuid;
  PrintWithFlags(scratch, kPrintScratchLength, 0, kGuidFormat, static_cast<UINT64>(Load32(g)),
                 static_cast<UINT64>(Load16(g + 4)), static_cast<UINT64>(Load16(g + 6)),
                 static_cast<UINT64>(g[8]), static_cast<UINT64>(g[9]), static_cast<UINT64>(g[10]),
                 static_cast<UINT64>(g[11]), static_cast<UINT64>(g[12]), static_cast<UINT64>(g[13]),
                 static_cast<UINT64>(g[14]), static_cast<UINT64>(g[15]));
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
    UINT32 digit;
    value = Div64x32Rem(value, radix, &digit);
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
  if (fmtMax != 0 && TextLength(fp, fmtSize, fmtMax + 1) > fmtMax) return 0;

  if (capacity == 0) return 0;

  UINT8* const start = static_cast<UINT8*>(buffer);
  UINT8* const end = start + outSize * (capacity - 1);
  UINT8* cursor = start;
  const UINT64* args = arguments;
  const UINTN callerFlags = flags & (PF_OUT_WIDE | PF_FMT_WIDE);
  CHAR8 scratch[kPrintScratchLength];
  CHAR16 single[2];

  for (;;) {
    UINTN c = CharAt(fp, fmtSize);
    if (c == 0 || cursor >= end) break;

    Item item;
    item.flags = callerFlags;
    item.width = 0;
    item.precision = 1;
    item.text = nullptr;
    item.length = 0;
    item.phase = 0;
    item.prefix = 0;
    item.number = false;

    bool literal = true;
    if (c == '%') {
      literal = false;
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
          literal = true;  // "\n", "\r" and any other character stand for themselves
          break;
      }
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
  PrintFill(cursor, cursor + outSize, 1, 0, outSize);
  return static_cast<UINTN>(cursor - start) / outSize;
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

}  // namespace print_reference
