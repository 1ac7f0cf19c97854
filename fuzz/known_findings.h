// Faults the fuzz targets found that are not fixed yet (none at present: the
// four below are fixed, and their functions return false). Each entry exempts
// exactly its trigger from an oracle, so that a run goes on looking for other
// faults; its reproducer is kept in the corpus and its regression test fails
// until the fix. The fix removes the exemption (the function returns false).
#pragma once

#include <cstdint>

namespace fuzz::known {

// Reproducers: fuzz/corpus/change_boot/finding-*; regression tests:
// tests/findings/findings_test.cpp.

// ZKChgBoot is written back and deleted with attributes 7: stored with other
// attributes, the request stays pending and is acted on again at every boot.
inline bool RequestRewrittenWithFixedAttributes(uint32_t) { return false; }
// Setup is deleted with attributes 7: stored with other attributes, the
// factory reset stops after deleting the request.
inline bool SetupDeletedWithFixedAttributes(uint32_t) { return false; }
// Boot#### options are deleted with attributes 7: others survive the purge.
inline bool OptionDeletedWithFixedAttributes(uint32_t) { return false; }
// Without a readable BootOrder the purge stops before PhysicalBootOrder and
// its options.
inline bool PurgeStopsWithoutBootOrder() { return false; }

}  // namespace fuzz::known
