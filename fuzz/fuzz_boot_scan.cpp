// BootOrder and Boot#### options of any size and attributes through the
// End-of-DXE scan that picks BootNext.
//
// Input: control byte (bits 0-1: 0 or 1 scan by the mode byte, 2 search by a
// description text from the input, 3 search by a node type and subtype from
// the input), mode byte, then for control 2 a text block (UCS-2, up to its
// first zero) or for control 3 the type and subtype bytes; BootOrder
// (attribute selector, block; empty: absent), BootNext before the scan
// (selector, 0: absent, and the 16-bit value); then options until the input
// ends: number (16 bits), flags (bit 0: stored under a lower-case name the
// scan must not find), attribute selector, block (empty: absent).
//
// Oracle: BootNext afterwards is the first entry in order whose option exists
// under "Boot" and four upper-case hex digits and matches, or what it was
// before when none matches or BootNext is stored with attributes other than
// 7 (the scan writes it with 7). A description matches when its first
// characters are the text, within the option's bytes; a path matches when its
// first instance holds the node before anything malformed (a node shorter
// than its header or running past the data), the path starting after the
// description's terminator.
#include <cstring>

#include "bootctl/endofdxe.h"
#include "fuzz/harness.h"

namespace {

using fuzz::Check;

struct Target {
  bool byText = false;
  std::u16string text;
  uint8_t type = 0, subType = 0;
  bool any = false;  // false: the mode selects nothing
};

uint16_t Char16At(const std::vector<uint8_t>& d, size_t offset) {
  return static_cast<uint16_t>(d[offset] | (d[offset + 1] << 8));
}

bool DescriptionBegins(const std::vector<uint8_t>& option, const std::u16string& text) {
  if (option.size() < 6 + 2 * text.size()) return false;
  for (size_t i = 0; i < text.size(); i++) {
    if (Char16At(option, 6 + 2 * i) != text[i]) return false;
  }
  return true;
}

bool PathHolds(const std::vector<uint8_t>& option, uint8_t type, uint8_t subType) {
  size_t p = 6;
  for (;; p += 2) {
    if (p + 2 > option.size()) return false;  // no terminator: no path
    if (Char16At(option, p) == 0) break;
  }
  p += 2;
  while (p + 4 <= option.size()) {
    const uint8_t t = option[p], s = option[p + 1];
    const size_t length = Char16At(option, p + 2);
    if (t == 0x7F) return false;
    if (length < 4 || p + length > option.size()) return false;
    if (t == type && s == subType) return true;
    p += length;
  }
  return false;
}

std::vector<uint16_t> ToU16(const std::vector<uint8_t>& bytes) {
  std::vector<uint16_t> out(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); i++) out[i] = Char16At(bytes, 2 * i);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t control = in.U8() & 3;
  const uint8_t mode = in.U8();
  Target target;
  if (control == 2) {
    const std::vector<uint16_t> chars = ToU16(in.Block());
    for (uint16_t c : chars) {
      if (c == 0) break;
      target.text += static_cast<char16_t>(c);
    }
    target.byText = target.any = true;
  } else if (control == 3) {
    target.type = in.U8();
    target.subType = in.U8();
    target.any = true;
  } else if ((mode & 0x7F) == 1 || (mode & 0x7F) == 2) {
    target.byText = target.any = true;
    target.text = (mode & 0x7F) == 1 ? u"EFI USB Device" : u"EFI PXE 0 for IPv4";
  } else if ((mode & 0x7F) == 3) {
    target.type = 4;
    target.subType = 1;
    target.any = true;
  }

  const uint32_t orderAttributes = fuzz::StoredAttributes(in.U8());
  const std::vector<uint8_t> orderBytes = in.Block();
  const uint8_t bootNextSelector = in.U8();
  const uint16_t bootNextBefore = in.U16();

  fuzz::Lease lease;
  fuzz::Notebook& nb = lease.notebook;
  nb.Start();
  sim::Platform& platform = nb.platform;
  if (!orderBytes.empty())
    platform.PutVariable(u"BootOrder", EFI_GLOBAL_VARIABLE, orderAttributes, orderBytes);
  uint32_t bootNextAttributes = 0;
  if (bootNextSelector != 0) {
    bootNextAttributes = fuzz::StoredAttributes(bootNextSelector);
    platform.PutVariable(u"BootNext", EFI_GLOBAL_VARIABLE, bootNextAttributes,
                         {static_cast<uint8_t>(bootNextBefore), static_cast<uint8_t>(bootNextBefore >> 8)});
  }
  while (!in.Done()) {
    const uint16_t number = in.U16();
    const uint8_t flags = in.U8();
    const uint32_t attributes = fuzz::StoredAttributes(in.U8());
    std::vector<uint8_t> option = in.Block();
    if (option.empty()) continue;
    std::u16string name = fuzz::OptionName(number);
    if (flags & 1) {
      for (char16_t& c : name) c = (c >= u'A' && c <= u'F') ? static_cast<char16_t>(c - u'A' + u'a') : c;
    }
    platform.PutVariable(name, EFI_GLOBAL_VARIABLE, attributes, std::move(option));
  }

  // The order the scan walks: BootOrder as stored, or the input's list for a
  // direct search.
  const std::vector<uint16_t> order = ToU16(orderBytes);
  const bool scansStore = control < 2;
  std::optional<uint16_t> expected;
  if (target.any && (!scansStore || !orderBytes.empty())) {
    for (uint16_t entry : order) {
      const auto option = fuzz::Stored(platform, fuzz::OptionName(entry), EFI_GLOBAL_VARIABLE);
      if (!option) continue;
      const bool match = target.byText ? DescriptionBegins(*option, target.text)
                                       : PathHolds(*option, target.type, target.subType);
      if (match) {
        expected = entry;
        break;
      }
    }
  }

  const auto reset = nb.Run([&] {
    if (scansStore) {
      ChangeBootRequest[1] = mode;
      const EFI_STATUS status = SelectBootNextByScan();
      Check(status == (orderBytes.empty() ? EFI_NOT_FOUND : EFI_SUCCESS), "SelectBootNextByScan status");
    } else if (control == 2) {
      std::u16string text = target.text;
      Check(FindOptionByDescription(order.data(), order.size(),
                                    reinterpret_cast<const CHAR16*>(text.c_str())) == EFI_SUCCESS,
            "FindOptionByDescription status");
    } else {
      Check(
          FindOptionByDevicePathNode(order.data(), order.size(), target.type, target.subType) == EFI_SUCCESS,
          "FindOptionByDevicePathNode status");
    }
  });
  Check(!reset, "the scan reset the platform");

  std::vector<uint8_t> want;
  if (expected && (bootNextSelector == 0 || bootNextAttributes == 7)) {
    want = {static_cast<uint8_t>(*expected), static_cast<uint8_t>(*expected >> 8)};
  } else if (bootNextSelector != 0) {
    want = {static_cast<uint8_t>(bootNextBefore), static_cast<uint8_t>(bootNextBefore >> 8)};
  }
  const auto bootNext = fuzz::Stored(platform, u"BootNext", EFI_GLOBAL_VARIABLE);
  Check(bootNext.value_or(std::vector<uint8_t>{}) == want,
        "BootNext is not the first matching option" +
            std::string(expected ? " (expected Boot" + sim::HexBytes(want) + ")" : " (expected no write)"));
  nb.CheckClean();
  return 0;
}
