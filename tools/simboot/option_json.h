// Boot options in scenario form: a description plus device-path nodes named
// by kind, never hand-encoded bytes. The same table reads a node from JSON and
// turns stored bytes back into JSON, so a written state reads back identical.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/uefi/load_option.h"
#include "tools/simboot/json_read.h"

namespace simboot {

// A node is a kind name ("usb") or an object with the kind and parameters
// that differ from the defaults ({"kind": "usb", "port": 3}). Kinds and their
// parameters:
//   pci: device, function     usb: port, interface     mac: address, ifType
//   ipv4                      sata: port               nvme: namespace
//   hd: partition, start, size                         file: path
//   end-instance              end
sim::PathNode NodeFromJson(const Json& node, const std::string& path);

// {"description": text, "attributes": n (default 1, active), "path": [nodes]}
std::vector<uint8_t> LoadOptionFromJson(const Json& option, const std::string& path);

// The JSON form of a load option, or nullopt when the bytes are not exactly
// what LoadOptionFromJson builds from some JSON form.
std::optional<OrderedJson> LoadOptionToJson(const std::vector<uint8_t>& data);

// The parts of a stored load option, whatever its path holds.
struct LoadOptionView {
  uint32_t attributes = 0;
  std::u16string description;
  std::vector<sim::PathNode> nodes;  // up to and including the final end node
};
std::optional<LoadOptionView> ParseLoadOption(const std::vector<uint8_t>& data);

// Node kind of a stored node ("usb"), or "type/subtype" in hex when no kind matches.
std::string NodeKindName(const sim::PathNode& node);

}  // namespace simboot
