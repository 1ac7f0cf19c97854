// Boot options (EFI_LOAD_OPTION) and their device paths in the text form
// firmware menus and efibootmgr show, e.g.
// "PciRoot(0x0)/Pci(0x14,0x0)/USB(0x3,0x0)".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zkboot {

struct LoadOptionInfo {
  uint32_t attributes = 0;
  std::string description;  // UTF-8
  std::string path;         // text form of the whole device path
};

// nullopt when the bytes are no load option: too short, a description
// without its terminator, or a path list that runs past the data.
std::optional<LoadOptionInfo> ParseLoadOption(const std::vector<uint8_t>& data);

// Text of a device path; every node is bounded by the bytes given. A node too
// short for its header or running past the end ends the text with "<malformed>".
std::string DevicePathText(const uint8_t* path, size_t size);

}  // namespace zkboot
