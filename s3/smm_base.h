// Telling SMM from boot time, the way every SMM-aware library here does it.
#pragma once

#include "frame/pi.h"

// The SMM base protocol, or null when it is not installed.
EFI_SMM_BASE2_PROTOCOL* LocateSmmBase(void);
// TRUE only when the SMM base protocol is installed and its InSmm says so; a
// missing protocol means boot time.
BOOLEAN RunningInSmm(void);
// The SMM system table, or null when the protocol is missing or refuses (as
// GetSmstLocation does outside SMM).
EFI_SMM_SYSTEM_TABLE2* LocateSmst(void);
