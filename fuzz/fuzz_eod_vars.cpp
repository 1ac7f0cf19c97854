// ZKSaveLidFlag and ZKOOBTest of any size and attributes, the EC's power-off
// request and the mode byte through the End-of-DXE handler.
//
// Input: EC behaviour (up to 0xF7 a working EC; 0xF8 to 0xFB busy after each
// write, 0xFC and 0xFD going dead after some bytes, 0xFE never answering,
// 0xFF a stale byte in the output buffer: a dead EC costs every wait its
// whole bound, so these are rare), its parameter byte, EC register 0x19, the mode
// byte, ZKSaveLidFlag and ZKOOBTest (attribute selector, block; empty:
// absent), ZKChgKey and BootNext before the handler (selector, 0: absent;
// value).
//
// Oracle: a 1-byte lid flag goes to EC register 0x94 and is deleted; any other
// size is left alone. A 1-byte counter above 1 sends 2 to register 0x16 and is
// decremented (stored non-volatile alone, the rewrite deletes it); 0 or 1
// sends 1 and is deleted; no readable counter sends 1 and is left alone.
// These variable outcomes hold whatever the EC does (a rewrite or delete with
// attributes the store refuses leaves the variable as it was).
// With a working EC: exactly these register writes happen; a power-off request
// (register 0x19 = 1) writes ZKChgKey = 81, clears register 0x19 and shuts
// down without touching BootNext; otherwise mode byte 1 or 2 writes BootNext
// 0x2001 or 0x2003 and any other byte (no BootOrder stored) leaves it. An EC
// that never answers ends the handler before the power-off request: no reset,
// ZKChgKey and BootNext untouched. Every run: no pool left, no violation.
#include "bootctl/endofdxe.h"
#include "fuzz/harness.h"

namespace {

using fuzz::Check;

struct Byte {
  uint32_t attributes = 0;
  std::vector<uint8_t> data;
};

Byte ReadVar(fuzz::Input& in) {
  Byte b;
  b.attributes = fuzz::StoredAttributes(in.U8());
  b.data = in.Block();
  return b;
}

std::vector<uint8_t> Le16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t ecByte = in.U8();
  const uint8_t ecParameter = in.U8();
  const uint8_t requestByte = in.U8();
  const uint8_t powerOff = requestByte < 0xC0 ? requestByte % 3 : requestByte;
  const uint8_t mode = in.U8();
  const Byte lid = ReadVar(in);
  const Byte oob = ReadVar(in);
  const uint8_t chgKeySelector = in.U8();
  const uint8_t chgKeyBefore = in.U8();
  const uint8_t bootNextSelector = in.U8();
  const uint16_t bootNextBefore = in.U16();

  fuzz::Lease lease;
  fuzz::Notebook& nb = lease.notebook;
  sim::Platform& platform = nb.platform;
  sim::EmbeddedController& ec = nb.devices.ec;
  const bool working = ecByte < 0xF8;
  if (ecByte >= 0xF8 && ecByte <= 0xFB) ec.behaviour.takeNs = 1000u * (ecParameter % 8);
  if (ecByte == 0xFC || ecByte == 0xFD) ec.behaviour.goesDeadAfter = ecParameter % 16;
  if (ecByte == 0xFE) ec.behaviour.neverAnswers = true;
  if (ecByte == 0xFF) ec.behaviour.staleOutput = ecParameter;
  ec.registers[0x19] = powerOff;
  nb.Start();

  if (!lid.data.empty()) platform.PutVariable(u"ZKSaveLidFlag", LidFlagVendorGuid, lid.attributes, lid.data);
  if (!oob.data.empty()) platform.PutVariable(u"ZKOOBTest", OobTestVendorGuid, oob.attributes, oob.data);
  const uint32_t chgKeyAttributes = fuzz::StoredAttributes(chgKeySelector);
  if (chgKeySelector) platform.PutVariable(u"ZKChgKey", ChgKeyVendorGuid, chgKeyAttributes, {chgKeyBefore});
  const uint32_t bootNextAttributes = fuzz::StoredAttributes(bootNextSelector);
  if (bootNextSelector) {
    platform.PutVariable(u"BootNext", EFI_GLOBAL_VARIABLE, bootNextAttributes, Le16(bootNextBefore));
  }

  ChangeBootRequest[1] = mode;
  const size_t writesBefore = ec.writes.size();
  const auto reset = nb.Run([] { EndOfDxeHandler(nullptr, nullptr); });
  nb.CheckClean();

  // The lid flag and the counter, whatever the EC does.
  const auto lidAfter = fuzz::Stored(platform, u"ZKSaveLidFlag", LidFlagVendorGuid);
  const bool lidTaken = lid.data.size() == 1;
  if (lidTaken && fuzz::Rewritable(lid.attributes)) {
    Check(!lidAfter, "the lid flag was not deleted");
  } else if (!lid.data.empty()) {
    Check(lidAfter == lid.data, "the lid flag changed");
  }
  const auto oobAfter = fuzz::Stored(platform, u"ZKOOBTest", OobTestVendorGuid);
  const bool counted = oob.data.size() == 1;
  uint8_t oobRegister = 1;
  if (counted && fuzz::Rewritable(oob.attributes)) {
    if (oob.data[0] > 1) {
      oobRegister = 2;
      if (fuzz::WriteBackDeletes(oob.attributes)) {
        Check(!oobAfter, "the counter stored without access attributes was not deleted by its rewrite");
      } else {
        Check(oobAfter == std::vector<uint8_t>{static_cast<uint8_t>(oob.data[0] - 1)},
              "the counter was not decremented");
      }
    } else {
      Check(!oobAfter, "the spent counter was not deleted");
    }
  } else if (!oob.data.empty()) {
    if (counted && oob.data[0] > 1) oobRegister = 2;
    Check(oobAfter == oob.data, "the counter changed");
  }

  const auto chgKeyAfter = fuzz::Stored(platform, u"ZKChgKey", ChgKeyVendorGuid);
  const auto bootNextAfter = fuzz::Stored(platform, u"BootNext", EFI_GLOBAL_VARIABLE);
  const std::optional<std::vector<uint8_t>> chgKeyUnchanged =
      chgKeySelector ? std::optional<std::vector<uint8_t>>({chgKeyBefore}) : std::nullopt;
  const std::optional<std::vector<uint8_t>> bootNextUnchanged =
      bootNextSelector ? std::optional<std::vector<uint8_t>>(Le16(bootNextBefore)) : std::nullopt;

  if (ec.behaviour.neverAnswers) {
    Check(ec.writes.size() == writesBefore, "a dead EC took a register write");
    Check(!reset, "reset with a dead EC");
    Check(chgKeyAfter == chgKeyUnchanged && bootNextAfter == bootNextUnchanged,
          "ZKChgKey or BootNext written with a dead EC");
    return 0;
  }
  if (!working) {
    Check(!reset || *reset == EfiResetShutdown, "a reset other than a shutdown");
    return 0;
  }

  std::vector<std::pair<uint8_t, uint8_t>> want;
  if (lidTaken) want.push_back({0x94, lid.data[0]});
  want.push_back({0x16, oobRegister});
  if (powerOff == 1) want.push_back({0x19, 0});
  std::vector<std::pair<uint8_t, uint8_t>> got;
  for (size_t i = writesBefore; i < ec.writes.size(); i++)
    got.push_back({ec.writes[i].reg, ec.writes[i].value});
  Check(got == want, "EC register writes are not the expected ones");

  const bool writable7Chg = !chgKeySelector || chgKeyAttributes == 7;
  const bool writable7Next = !bootNextSelector || bootNextAttributes == 7;
  if (powerOff == 1) {
    Check(reset == EfiResetShutdown, "a power-off request did not shut down");
    Check(chgKeyAfter == (writable7Chg ? std::optional<std::vector<uint8_t>>({0x81}) : chgKeyUnchanged),
          "ZKChgKey is not 81 after a power-off request");
    Check(bootNextAfter == bootNextUnchanged, "BootNext written before a shutdown");
    return 0;
  }
  Check(!reset, "reset without a power-off request");
  Check(chgKeyAfter == chgKeyUnchanged, "ZKChgKey written without a power-off request");
  std::optional<std::vector<uint8_t>> bootNextWant = bootNextUnchanged;
  if (writable7Next && mode == 1) bootNextWant = Le16(0x2001);
  if (writable7Next && mode == 2) bootNextWant = Le16(0x2003);
  Check(bootNextAfter == bootNextWant, "BootNext is not what the mode byte selects");
  return 0;
}
