#include "bootctl/vars.h"

#include "support/print/print.h"

void BootOptionName(CHAR16 (&name)[kBootOptionNameChars], UINT16 number) {
  PrintWide(name, sizeof(name), u"Boot%04x", static_cast<UINT64>(number));
  name[8] = 0;
}
