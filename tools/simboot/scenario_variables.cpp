// The "variables" section of a scenario: the non-volatile variables the store
// holds before the first boot, read and written as the format at the top of
// scenario.cpp describes, and the records and byte lists other sections share.
#include <algorithm>

#include "bootctl/vars.h"
#include "tools/simboot/option_json.h"
#include "tools/simboot/scenario_sections.h"

namespace simboot {

using sim::operator==;
using sim::operator!=;

namespace {

constexpr uint32_t kStoredAttributes = 0x0F;  // NV, BS, RT, hardware error record

std::vector<uint8_t> ReadData(const Json& value, const std::string& path) {
  std::vector<uint8_t> bytes;
  if (value.is_array() || value.is_string()) {
    bytes = ReadBytes(value, path);
  } else if (value.is_object() && value.contains("u16")) {
    CheckKeys(value, path, {"u16"});
    const std::string at = KeyPath(path, "u16");
    ExpectArray(value["u16"], at);
    std::vector<uint16_t> values;
    for (size_t i = 0; i < value["u16"].size(); ++i) {
      values.push_back(
          static_cast<uint16_t>(ReadUnsigned(value["u16"][i], IndexPath(at, i), 0xFFFF, "a 16-bit value")));
    }
    bytes = sim::Uint16List(values);
  } else if (value.is_object() && value.contains("loadOption")) {
    CheckKeys(value, path, {"loadOption"});
    bytes = LoadOptionFromJson(value["loadOption"], KeyPath(path, "loadOption"));
  } else if (value.is_object() && value.contains("size")) {
    bytes = ReadRecord(value, path);
  } else {
    throw PathError(
        path,
        "expected bytes ([1, \"0x81\"] or \"01 81\") or an object with \"u16\", \"loadOption\" or "
        "\"size\", got " +
            Shown(value));
  }
  if (bytes.empty()) throw PathError(path, "no data: a stored variable holds at least one byte");
  if (bytes.size() > kMaxVariableSize)
    throw PathError(path, std::to_string(bytes.size()) + " bytes is too large");
  return bytes;
}

sim::Variable ReadVariable(const Json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"name", "guid", "attributes", "data"});
  sim::Variable v;
  const std::string name = ReadString(Require(value, path, "name"), KeyPath(path, "name"));
  if (name.empty() || name.find('\0') != std::string::npos) {
    throw PathError(KeyPath(path, "name"), "a variable name is a non-empty string without NUL characters");
  }
  v.name = sim::Utf8ToUtf16(name);
  v.guid = ReadGuid(Require(value, path, "guid"), KeyPath(path, "guid"));
  v.attributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
  if (value.contains("attributes")) {
    const std::string at = KeyPath(path, "attributes");
    v.attributes = static_cast<uint32_t>(ReadUnsigned(value["attributes"], at, 0xFFFFFFFF, "a 32-bit value"));
    if (v.attributes & ~kStoredAttributes) {
      throw PathError(at,
                      HexByte(v.attributes, 1) +
                          " holds bits a stored variable cannot have (only 0x1 NV, 0x2 BS, 0x4 RT, 0x8 HR)");
    }
    if (!(v.attributes & EFI_VARIABLE_NON_VOLATILE)) {
      throw PathError(at, HexByte(v.attributes, 1) +
                              " lacks NON_VOLATILE (0x1): the variable would be gone before the first boot");
    }
    if ((v.attributes & EFI_VARIABLE_RUNTIME_ACCESS) && !(v.attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS)) {
      throw PathError(at, HexByte(v.attributes, 1) + " has RUNTIME_ACCESS without BOOTSERVICE_ACCESS");
    }
  }
  v.data = ReadData(Require(value, path, "data"), KeyPath(path, "data"));
  return v;
}

bool IsBootOptionName(const std::u16string& name) {
  if (name.size() != 8 || name.compare(0, 4, u"Boot") != 0) return false;
  for (size_t i = 4; i < 8; ++i) {
    const char16_t c = name[i];
    if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'))) return false;
  }
  return true;
}

bool IsOptionList(const sim::Variable& v) {
  if (v.data.size() % 2 != 0) return false;
  if (v.guid == PhysicalBootOrderGuid) return v.name == u"PhysicalBootOrder";
  return v.guid == EFI_GLOBAL_VARIABLE && (v.name == u"BootOrder" || v.name == u"BootNext");
}

OrderedJson DataToJson(const sim::Variable& v) {
  if (v.guid == EFI_GLOBAL_VARIABLE && IsBootOptionName(v.name)) {
    if (std::optional<OrderedJson> option = LoadOptionToJson(v.data)) return {{"loadOption", *option}};
  }
  if (IsOptionList(v)) {
    OrderedJson list = OrderedJson::array();
    for (size_t i = 0; i < v.data.size(); i += 2)
      list.push_back(HexByte(v.data[i] | (v.data[i + 1] << 8), 4));
    return {{"u16", list}};
  }
  return BytesToJson(v.data);
}

}  // namespace

std::vector<uint8_t> ReadRecord(const Json& value, const std::string& path) {
  CheckKeys(value, path, {"size", "fill", "set"});
  const uint64_t size = ReadUnsigned(value["size"], KeyPath(path, "size"), kMaxVariableSize,
                                     "a record size (at most 65536 bytes)");
  uint8_t fill = 0;
  if (value.contains("fill"))
    fill = static_cast<uint8_t>(ReadUnsigned(value["fill"], KeyPath(path, "fill"), 0xFF, "a byte"));
  std::vector<uint8_t> bytes(size, fill);
  if (value.contains("set")) {
    const std::string setPath = KeyPath(path, "set");
    ExpectObject(value["set"], setPath);
    for (const auto& member : value["set"].items()) {
      const std::string at = KeyPath(setPath, member.key());
      const uint64_t offset = ReadKeyNumber(member.key(), at, UINT64_MAX, "an offset");
      if (offset >= size) {
        throw PathError(at, "offset " + std::to_string(offset) + " is past the end of the " +
                                std::to_string(size) + "-byte record");
      }
      bytes[offset] = static_cast<uint8_t>(ReadUnsigned(member.value(), at, 0xFF, "a byte"));
    }
  }
  return bytes;
}

// Hex bytes, or a record by its nonzero bytes when most bytes are zero.
OrderedJson BytesToJson(const std::vector<uint8_t>& data) {
  size_t nonzero = 0;
  for (uint8_t b : data) nonzero += b != 0;
  if (data.size() > 16 && nonzero * 4 <= data.size()) {
    OrderedJson set = OrderedJson::object();
    for (size_t i = 0; i < data.size(); ++i) {
      if (data[i] != 0) set[std::to_string(i)] = HexByte(data[i]);
    }
    return {{"size", data.size()}, {"set", set}};
  }
  return sim::HexBytes(data);
}

void ReadVariables(const Json& list, const std::string& path, std::vector<sim::Variable>* out) {
  ExpectArray(list, path);
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string at = IndexPath(path, i);
    sim::Variable v = ReadVariable(list[i], at);
    for (size_t j = 0; j < out->size(); ++j) {
      if ((*out)[j].name == v.name && (*out)[j].guid == v.guid) {
        throw PathError(at, "same name and GUID as " + IndexPath(path, j));
      }
    }
    out->push_back(std::move(v));
  }
}

OrderedJson VariablesToJson(const std::vector<sim::Variable>& list) {
  OrderedJson variables = OrderedJson::array();
  for (const sim::Variable& v : list) {
    OrderedJson entry = {{"name", sim::Utf16ToUtf8(v.name)}, {"guid", GuidText(v.guid)}};
    if (v.attributes != 7) entry["attributes"] = HexByte(v.attributes, 1);
    entry["data"] = DataToJson(v);
    variables.push_back(entry);
  }
  return variables;
}

bool SameVariables(const std::vector<sim::Variable>& x, const std::vector<sim::Variable>& y) {
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i].name != y[i].name || x[i].guid != y[i].guid || x[i].attributes != y[i].attributes ||
        x[i].data != y[i].data) {
      return false;
    }
  }
  return true;
}

}  // namespace simboot
