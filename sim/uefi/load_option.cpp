#include "sim/uefi/load_option.h"

namespace sim {
namespace {

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; i++) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void Put64(std::vector<uint8_t>& v, uint64_t x) {
  for (int i = 0; i < 8; i++) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

}  // namespace

PathNode PciNode(uint8_t device, uint8_t function) { return {0x01, 0x01, {function, device}, 0}; }
PathNode UsbNode(uint8_t parentPort, uint8_t interface) { return {0x03, 0x05, {parentPort, interface}, 0}; }

PathNode MacNode(const std::vector<uint8_t>& mac, uint8_t ifType) {
  PathNode n{0x03, 0x0B, std::vector<uint8_t>(32, 0), 0};
  for (size_t i = 0; i < mac.size() && i < 32; i++) n.data[i] = mac[i];
  n.data.push_back(ifType);
  return n;
}

PathNode Ipv4Node() { return {0x03, 0x0C, std::vector<uint8_t>(23, 0), 0}; }

PathNode SataNode(uint16_t port) {
  PathNode n{0x03, 0x12, {}, 0};
  Put16(n.data, port);
  Put16(n.data, 0xFFFF);
  Put16(n.data, 0);
  return n;
}

PathNode NvmeNode(uint32_t namespaceId) {
  PathNode n{0x03, 0x17, {}, 0};
  Put32(n.data, namespaceId);
  Put64(n.data, 0);
  return n;
}

PathNode HardDriveNode(uint32_t partition, uint64_t start, uint64_t size) {
  PathNode n{0x04, 0x01, {}, 0};
  Put32(n.data, partition);
  Put64(n.data, start);
  Put64(n.data, size);
  for (int i = 0; i < 16; i++) n.data.push_back(static_cast<uint8_t>(0x11 * (i + 1)));  // signature
  n.data.push_back(0x02);                                                               // GPT
  n.data.push_back(0x02);                                                               // GUID signature
  return n;
}

PathNode FilePathNode(const std::u16string& path) {
  PathNode n{0x04, 0x04, {}, 0};
  for (char16_t c : path) Put16(n.data, static_cast<uint16_t>(c));
  Put16(n.data, 0);
  return n;
}

PathNode EndInstanceNode() { return {0x7F, 0x01, {}, 0}; }
PathNode EndEntireNode() { return {0x7F, 0xFF, {}, 0}; }

bool NodeByKind(const std::string& kind, PathNode* node) {
  if (kind == "pci")
    *node = PciNode(0x08, 0x01);
  else if (kind == "usb")
    *node = UsbNode(1, 0);
  else if (kind == "mac")
    *node = MacNode({0x00, 0x1B, 0x21, 0x3C, 0x4D, 0x5E});
  else if (kind == "ipv4")
    *node = Ipv4Node();
  else if (kind == "sata")
    *node = SataNode(0);
  else if (kind == "nvme")
    *node = NvmeNode(1);
  else if (kind == "hd")
    *node = HardDriveNode(1, 2048, 0x100000);
  else if (kind == "file")
    *node = FilePathNode(u"\\EFI\\BOOT\\BOOTX64.EFI");
  else if (kind == "end-instance")
    *node = EndInstanceNode();
  else if (kind == "end")
    *node = EndEntireNode();
  else
    return false;
  return true;
}

std::vector<uint8_t> EncodePath(const std::vector<PathNode>& nodes) {
  std::vector<uint8_t> out;
  for (const PathNode& n : nodes) {
    out.push_back(n.type);
    out.push_back(n.subType);
    Put16(out, n.lengthOverride != 0 ? n.lengthOverride : static_cast<uint16_t>(4 + n.data.size()));
    out.insert(out.end(), n.data.begin(), n.data.end());
  }
  return out;
}

std::vector<uint8_t> BuildLoadOption(uint32_t attributes, const std::u16string& description,
                                     const std::vector<PathNode>& nodes) {
  std::vector<PathNode> path = nodes;
  if (path.empty() || !(path.back().type == 0x7F && path.back().subType == 0xFF)) {
    path.push_back(EndEntireNode());
  }
  const std::vector<uint8_t> encoded = EncodePath(path);
  std::vector<uint8_t> out;
  Put32(out, attributes);
  Put16(out, static_cast<uint16_t>(encoded.size()));
  for (char16_t c : description) Put16(out, static_cast<uint16_t>(c));
  Put16(out, 0);
  out.insert(out.end(), encoded.begin(), encoded.end());
  return out;
}

std::vector<uint8_t> Uint16List(const std::vector<uint16_t>& values) {
  std::vector<uint8_t> out;
  for (uint16_t v : values) Put16(out, v);
  return out;
}

}  // namespace sim
