// Builds UEFI load options (Boot####) and device-path nodes from a
// description, so tests and scenarios never hand-encode bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct PathNode {
  uint8_t type = 0;
  uint8_t subType = 0;
  std::vector<uint8_t> data;  // bytes after the 4-byte header
  // Overrides the length field (for malformed-path tests); 0 = computed.
  uint16_t lengthOverride = 0;
};

PathNode PciNode(uint8_t device, uint8_t function);
PathNode UsbNode(uint8_t parentPort, uint8_t interface);
PathNode MacNode(const std::vector<uint8_t>& mac, uint8_t ifType = 1);
PathNode Ipv4Node();
PathNode SataNode(uint16_t port);
PathNode NvmeNode(uint32_t namespaceId);
PathNode HardDriveNode(uint32_t partition, uint64_t start, uint64_t size);
PathNode FilePathNode(const std::u16string& path);
PathNode EndInstanceNode();
PathNode EndEntireNode();
// Node by kind name ("pci", "usb", "mac", "ipv4", "sata", "nvme", "hd",
// "file", "end-instance", "end"); returns false for an unknown kind.
bool NodeByKind(const std::string& kind, PathNode* node);

std::vector<uint8_t> EncodePath(const std::vector<PathNode>& nodes);
// EFI_LOAD_OPTION: Attributes, FilePathListLength, Description (UCS-2 with
// terminator), FilePathList. An end node is appended when the list lacks one.
std::vector<uint8_t> BuildLoadOption(uint32_t attributes, const std::u16string& description,
                                     const std::vector<PathNode>& nodes);
std::vector<uint8_t> Uint16List(const std::vector<uint16_t>& values);  // little-endian 2 bytes each

}  // namespace sim
