#include "tools/simboot/option_json.h"

#include <cctype>
#include <cstdio>
#include <map>

#include "sim/platform.h"

namespace simboot {
namespace {

enum class ParamType { U8, U16, U32, U64, Mac, Text };

struct Param {
  const char* name;
  ParamType type;
};

// Parameter values of one node; only the members its kind uses are set.
struct Values {
  std::map<std::string, uint64_t> numbers;
  std::vector<uint8_t> mac;
  std::u16string text;
  bool operator==(const Values& o) const { return numbers == o.numbers && mac == o.mac && text == o.text; }
};

uint64_t Little(const std::vector<uint8_t>& d, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | d[at + static_cast<size_t>(i)];
  return v;
}

struct Kind {
  const char* name;
  uint8_t type;
  uint8_t subType;
  std::vector<Param> params;
  sim::PathNode (*build)(const Values&);
  // Reads the parameters back; the caller checks that they rebuild the node.
  bool (*decode)(const std::vector<uint8_t>&, Values*);
};

const std::vector<Kind>& Kinds() {
  static const std::vector<Kind> kinds = {
      {"pci",
       0x01,
       0x01,
       {{"device", ParamType::U8}, {"function", ParamType::U8}},
       [](const Values& v) {
         return sim::PciNode(static_cast<uint8_t>(v.numbers.at("device")),
                             static_cast<uint8_t>(v.numbers.at("function")));
       },
       [](const std::vector<uint8_t>& d, Values* v) {
         if (d.size() != 2) return false;
         v->numbers = {{"function", d[0]}, {"device", d[1]}};
         return true;
       }},
      {"usb",
       0x03,
       0x05,
       {{"port", ParamType::U8}, {"interface", ParamType::U8}},
       [](const Values& v) {
         return sim::UsbNode(static_cast<uint8_t>(v.numbers.at("port")),
                             static_cast<uint8_t>(v.numbers.at("interface")));
       },
       [](const std::vector<uint8_t>& d, Values* v) {
         if (d.size() != 2) return false;
         v->numbers = {{"port", d[0]}, {"interface", d[1]}};
         return true;
       }},
      {"mac",
       0x03,
       0x0B,
       {{"address", ParamType::Mac}, {"ifType", ParamType::U8}},
       [](const Values& v) { return sim::MacNode(v.mac, static_cast<uint8_t>(v.numbers.at("ifType"))); },
       [](const std::vector<uint8_t>& d, Values* v) {
         if (d.size() != 33) return false;
         v->mac.assign(d.begin(), d.begin() + 6);
         v->numbers = {{"ifType", d[32]}};
         return true;
       }},
      {"ipv4",
       0x03,
       0x0C,
       {},
       [](const Values&) { return sim::Ipv4Node(); },
       [](const std::vector<uint8_t>&, Values*) { return true; }},
      {"sata",
       0x03,
       0x12,
       {{"port", ParamType::U16}},
       [](const Values& v) { return sim::SataNode(static_cast<uint16_t>(v.numbers.at("port"))); },
       [](const std::vector<uint8_t>& d, Values* v) {
         if (d.size() < 2) return false;
         v->numbers = {{"port", Little(d, 0, 2)}};
         return true;
       }},
      {"nvme",
       0x03,
       0x17,
       {{"namespace", ParamType::U32}},
       [](const Values& v) { return sim::NvmeNode(static_cast<uint32_t>(v.numbers.at("namespace"))); },
       [](const std::vector<uint8_t>& d, Values* v) {
         if (d.size() < 4) return false;
         v->numbers = {{"namespace", Little(d, 0, 4)}};
         return true;
       }},
      {"hd",
       0x04,
       0x01,
       {{"partition", ParamType::U32}, {"start", ParamType::U64}, {"size", ParamType::U64}},
       [](const Values& v) {
         return sim::HardDriveNode(static_cast<uint32_t>(v.numbers.at("partition")), v.numbers.at("start"),
                                   v.numbers.at("size"));
       },
       [](const std::vector<uint8_t>& d, Values* v) {
         if (d.size() < 20) return false;
         v->numbers = {
             {"partition", Little(d, 0, 4)}, {"start", Little(d, 4, 8)}, {"size", Little(d, 12, 8)}};
         return true;
       }},
      {"file",
       0x04,
       0x04,
       {{"path", ParamType::Text}},
       [](const Values& v) { return sim::FilePathNode(v.text); },
       [](const std::vector<uint8_t>& d, Values* v) {
         for (size_t i = 0; i + 1 < d.size(); i += 2) {
           const char16_t c = static_cast<char16_t>(Little(d, i, 2));
           if (c == 0) return true;
           v->text.push_back(c);
         }
         return false;
       }},
      {"end-instance",
       0x7F,
       0x01,
       {},
       [](const Values&) { return sim::EndInstanceNode(); },
       [](const std::vector<uint8_t>&, Values*) { return true; }},
      {"end",
       0x7F,
       0xFF,
       {},
       [](const Values&) { return sim::EndEntireNode(); },
       [](const std::vector<uint8_t>&, Values*) { return true; }},
  };
  return kinds;
}

const Kind* FindKind(const std::string& name) {
  for (const Kind& k : Kinds()) {
    if (name == k.name) return &k;
  }
  return nullptr;
}

const Kind* FindKind(const sim::PathNode& node) {
  for (const Kind& k : Kinds()) {
    if (node.type == k.type && node.subType == k.subType) return &k;
  }
  return nullptr;
}

const Kind& RequireKind(const Json& name, const std::string& path) {
  const std::string text = ReadString(name, path);
  if (const Kind* kind = FindKind(text)) return *kind;
  std::string known;
  for (const Kind& k : Kinds()) known += std::string(known.empty() ? "" : ", ") + k.name;
  throw PathError(path, "unknown node kind \"" + text + "\" (known: " + known + ")");
}

// The parameters of the node that a bare kind name stands for.
Values Defaults(const Kind& kind) {
  sim::PathNode node;
  sim::NodeByKind(kind.name, &node);
  Values values;
  kind.decode(node.data, &values);
  return values;
}

bool SameNode(const sim::PathNode& a, const sim::PathNode& b) {
  return sim::EncodePath({a}) == sim::EncodePath({b});
}

std::vector<uint8_t> ReadMac(const Json& value, const std::string& path) {
  const std::string text = ReadString(value, path);
  std::vector<uint8_t> mac;
  const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  for (size_t at = 0; at + 1 < text.size() && hex(text[at]) && hex(text[at + 1]); at += 3) {
    mac.push_back(static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
    if (at + 2 < text.size() && text[at + 2] != '-' && text[at + 2] != ':') break;
  }
  if (mac.size() != 6 || text.size() != 17) {
    throw PathError(path, Shown(value) + " is not a MAC address (six hex bytes such as 00-1B-21-3C-4D-5E)");
  }
  return mac;
}

std::string MacText(const std::vector<uint8_t>& mac) {
  std::string text;
  char part[4];
  for (uint8_t b : mac) {
    std::snprintf(part, sizeof part, "%02X", b);
    text += (text.empty() ? "" : "-") + std::string(part);
  }
  return text;
}

std::optional<OrderedJson> NodeToJson(const sim::PathNode& node) {
  const Kind* kind = FindKind(node);
  Values values;
  if (kind == nullptr || !kind->decode(node.data, &values) || !SameNode(kind->build(values), node)) {
    return std::nullopt;
  }
  const Values defaults = Defaults(*kind);
  if (values == defaults) return OrderedJson(kind->name);
  // A node that differs from the default shows all its parameters.
  OrderedJson out = {{"kind", kind->name}};
  for (const Param& p : kind->params) {
    switch (p.type) {
      case ParamType::Mac:
        out[p.name] = MacText(values.mac);
        break;
      case ParamType::Text:
        out[p.name] = sim::Utf16ToUtf8(values.text);
        break;
      default:
        out[p.name] = values.numbers.at(p.name);
        break;
    }
  }
  return out;
}

}  // namespace

sim::PathNode NodeFromJson(const Json& node, const std::string& path) {
  if (node.is_string()) return RequireKind(node, path).build(Defaults(RequireKind(node, path)));
  if (!node.is_object()) {
    throw PathError(path, "expected a node kind or an object with \"kind\", got " + Shown(node));
  }
  const Kind& kind = RequireKind(Require(node, path, "kind"), KeyPath(path, "kind"));
  std::vector<std::string> allowed = {"kind"};
  for (const Param& p : kind.params) allowed.push_back(p.name);
  CheckKeys(node, path, allowed);
  Values values = Defaults(kind);
  for (const Param& p : kind.params) {
    const auto it = node.find(p.name);
    if (it == node.end()) continue;
    const std::string at = KeyPath(path, p.name);
    switch (p.type) {
      case ParamType::U8:
        values.numbers[p.name] = ReadUnsigned(*it, at, 0xFF, "a byte");
        break;
      case ParamType::U16:
        values.numbers[p.name] = ReadUnsigned(*it, at, 0xFFFF, "a 16-bit value");
        break;
      case ParamType::U32:
        values.numbers[p.name] = ReadUnsigned(*it, at, 0xFFFFFFFF, "a 32-bit value");
        break;
      case ParamType::U64:
        values.numbers[p.name] = ReadUnsigned(*it, at, UINT64_MAX, "a 64-bit value");
        break;
      case ParamType::Mac:
        values.mac = ReadMac(*it, at);
        break;
      case ParamType::Text:
        values.text = sim::Utf8ToUtf16(ReadString(*it, at));
        break;
    }
  }
  return kind.build(values);
}

std::vector<uint8_t> LoadOptionFromJson(const Json& option, const std::string& path) {
  ExpectObject(option, path);
  CheckKeys(option, path, {"description", "attributes", "path"});
  const std::string description =
      ReadString(Require(option, path, "description"), KeyPath(path, "description"));
  uint32_t attributes = 1;  // LOAD_OPTION_ACTIVE
  if (option.contains("attributes")) {
    attributes = static_cast<uint32_t>(
        ReadUnsigned(option["attributes"], KeyPath(path, "attributes"), 0xFFFFFFFF, "a 32-bit value"));
  }
  std::vector<sim::PathNode> nodes;
  if (option.contains("path")) {
    const std::string at = KeyPath(path, "path");
    ExpectArray(option["path"], at);
    for (size_t i = 0; i < option["path"].size(); ++i)
      nodes.push_back(NodeFromJson(option["path"][i], IndexPath(at, i)));
  }
  return sim::BuildLoadOption(attributes, sim::Utf8ToUtf16(description), nodes);
}

std::optional<LoadOptionView> ParseLoadOption(const std::vector<uint8_t>& data) {
  if (data.size() < 6) return std::nullopt;
  LoadOptionView view;
  view.attributes = static_cast<uint32_t>(Little(data, 0, 4));
  const size_t pathLength = Little(data, 4, 2);
  size_t at = 6;
  for (;; at += 2) {
    if (at + 2 > data.size()) return std::nullopt;
    const char16_t c = static_cast<char16_t>(Little(data, at, 2));
    if (c == 0) break;
    view.description.push_back(c);
  }
  at += 2;
  const size_t end = at + pathLength;
  if (end > data.size()) return std::nullopt;
  while (at < end) {
    if (at + 4 > end) return std::nullopt;
    sim::PathNode node;
    node.type = data[at];
    node.subType = data[at + 1];
    const size_t length = Little(data, at + 2, 2);
    if (length < 4 || at + length > end) return std::nullopt;
    node.data.assign(data.begin() + static_cast<long>(at + 4), data.begin() + static_cast<long>(at + length));
    view.nodes.push_back(node);
    at += length;
    if (node.type == 0x7F && node.subType == 0xFF) break;
  }
  return view;
}

std::optional<OrderedJson> LoadOptionToJson(const std::vector<uint8_t>& data) {
  const std::optional<LoadOptionView> view = ParseLoadOption(data);
  if (!view) return std::nullopt;
  OrderedJson out;
  out["description"] = sim::Utf16ToUtf8(view->description);
  if (view->attributes != 1) out["attributes"] = view->attributes;
  OrderedJson path = OrderedJson::array();
  for (size_t i = 0; i < view->nodes.size(); ++i) {
    const bool finalEnd =
        i + 1 == view->nodes.size() && view->nodes[i].type == 0x7F && view->nodes[i].subType == 0xFF;
    if (finalEnd) break;  // the builder appends it
    std::optional<OrderedJson> node = NodeToJson(view->nodes[i]);
    if (!node) return std::nullopt;
    path.push_back(*node);
  }
  out["path"] = path;
  // Only a form that rebuilds exactly these bytes may stand for them.
  try {
    if (LoadOptionFromJson(Json::parse(out.dump()), "") != data) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return out;
}

std::string NodeKindName(const sim::PathNode& node) {
  if (const Kind* kind = FindKind(node)) return kind->name;
  char text[16];
  std::snprintf(text, sizeof text, "%02X/%02X", node.type, node.subType);
  return text;
}

}  // namespace simboot
