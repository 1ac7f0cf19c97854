// The print engine's reference copy (fuzz/print_reference.cpp).
#pragma once

#include "support/print/print.h"

namespace print_reference {

UINTN PrintEngine(void* buffer, UINTN capacity, UINTN flags, const void* format, const UINT64* arguments);
UINT8* PrintFill(UINT8* cursor, const UINT8* end, INTN count, UINT16 character, UINTN charSize);
CHAR8* PrintValueToDigits(CHAR8* scratch, UINT64 value, UINT32 radix);

}  // namespace print_reference
