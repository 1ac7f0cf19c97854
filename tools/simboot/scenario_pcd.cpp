// The "pcd" section of a scenario: the PCD token spaces and their declared
// values, read and written as the format at the top of scenario.cpp describes.
#include "tools/simboot/scenario_sections.h"

namespace simboot {

using sim::operator==;
using sim::operator!=;

namespace {

struct PcdKindName {
  const char* name;
  sim::PcdDatabase::Kind kind;
  uint64_t max;  // largest value of a numeric kind
  const char* what;
  int digits;  // hex digits of a written value
};

const PcdKindName kPcdKinds[] = {
    {"u8", sim::PcdDatabase::Kind::U8, 0xFF, "an 8-bit value", 2},
    {"u16", sim::PcdDatabase::Kind::U16, 0xFFFF, "a 16-bit value", 4},
    {"u32", sim::PcdDatabase::Kind::U32, 0xFFFFFFFF, "a 32-bit value", 8},
    {"u64", sim::PcdDatabase::Kind::U64, UINT64_MAX, "a 64-bit value", 16},
    {"bool", sim::PcdDatabase::Kind::Bool, 1, "true or false", 1},
    {"ptr", sim::PcdDatabase::Kind::Ptr, 0, "bytes", 2},
};

const PcdKindName& KindEntry(sim::PcdDatabase::Kind kind) {
  for (const PcdKindName& k : kPcdKinds) {
    if (k.kind == kind) return k;
  }
  return kPcdKinds[0];
}

// A pointer PCD's value: bytes, hex bytes or a record; empty is allowed.
std::vector<uint8_t> ReadPtrValue(const Json& value, const std::string& path) {
  std::vector<uint8_t> bytes;
  if (value.is_array() || value.is_string()) {
    bytes = ReadBytes(value, path);
  } else if (value.is_object()) {
    Require(value, path, "size");
    bytes = ReadRecord(value, path);
  } else {
    throw PathError(path, "expected bytes ([1, \"0x81\"] or \"01 81\") or a record {\"size\": n, ...}, got " +
                              Shown(value));
  }
  if (bytes.size() > kMaxVariableSize)
    throw PathError(path, std::to_string(bytes.size()) + " bytes is too large");
  return bytes;
}

sim::PcdDatabase::Token ReadPcdToken(const Json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"token", "kind", "value"});
  sim::PcdDatabase::Token t;
  const std::string tokenPath = KeyPath(path, "token");
  t.number = ReadUnsigned(Require(value, path, "token"), tokenPath, UINT64_MAX, "a token number");
  if (t.number == 0) throw PathError(tokenPath, "token 0 is reserved: it starts a token enumeration");
  const std::string kindPath = KeyPath(path, "kind");
  const Json& kindValue = Require(value, path, "kind");
  const std::string kindName = ReadString(kindValue, kindPath);
  const PcdKindName* kind = nullptr;
  for (const PcdKindName& k : kPcdKinds) {
    if (kindName == k.name) kind = &k;
  }
  if (kind == nullptr) {
    std::string names;
    for (const PcdKindName& k : kPcdKinds) names += std::string(names.empty() ? "" : ", ") + k.name;
    throw PathError(kindPath, Shown(kindValue) + " is not a PCD kind (" + names + ")");
  }
  t.kind = kind->kind;
  const Json& v = Require(value, path, "value");
  const std::string valuePath = KeyPath(path, "value");
  if (t.kind == sim::PcdDatabase::Kind::Ptr) {
    t.bytes = ReadPtrValue(v, valuePath);
  } else if (t.kind == sim::PcdDatabase::Kind::Bool) {
    t.value = ReadBool(v, valuePath) ? 1 : 0;
  } else {
    t.value = ReadUnsigned(v, valuePath, kind->max, kind->what);
  }
  return t;
}

}  // namespace

void ReadPcd(const Json& value, const std::string& path, Scenario* s) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"installed", "spaces"});
  if (value.contains("installed")) s->pcdInstalled = ReadBool(value["installed"], KeyPath(path, "installed"));
  if (!value.contains("spaces")) return;
  const std::string spacesPath = KeyPath(path, "spaces");
  const Json& spaces = value["spaces"];
  ExpectArray(spaces, spacesPath);
  for (size_t i = 0; i < spaces.size(); ++i) {
    const std::string at = IndexPath(spacesPath, i);
    ExpectObject(spaces[i], at);
    CheckKeys(spaces[i], at, {"guid", "tokens"});
    PcdSpace space;
    space.guid = ReadGuid(Require(spaces[i], at, "guid"), KeyPath(at, "guid"));
    for (size_t j = 0; j < s->pcd.size(); ++j) {
      if (s->pcd[j].guid == space.guid)
        throw PathError(at, "same token space as " + IndexPath(spacesPath, j));
    }
    const std::string tokensPath = KeyPath(at, "tokens");
    const Json& tokens = Require(spaces[i], at, "tokens");
    ExpectArray(tokens, tokensPath);
    if (tokens.empty()) throw PathError(tokensPath, "a token space declares at least one token");
    for (size_t j = 0; j < tokens.size(); ++j) {
      const std::string tokenPath = IndexPath(tokensPath, j);
      sim::PcdDatabase::Token t = ReadPcdToken(tokens[j], tokenPath);
      for (size_t k = 0; k < space.tokens.size(); ++k) {
        if (space.tokens[k].number == t.number)
          throw PathError(tokenPath, "same token number as " + IndexPath(tokensPath, k));
      }
      space.tokens.push_back(std::move(t));
    }
    s->pcd.push_back(std::move(space));
  }
}

OrderedJson PcdToJson(const Scenario& s) {
  OrderedJson spaces = OrderedJson::array();
  for (const PcdSpace& space : s.pcd) {
    OrderedJson tokens = OrderedJson::array();
    for (const sim::PcdDatabase::Token& t : space.tokens) {
      const PcdKindName& kind = KindEntry(t.kind);
      OrderedJson entry = {{"token", HexByte(t.number, 1)}, {"kind", kind.name}};
      if (t.kind == sim::PcdDatabase::Kind::Ptr) {
        entry["value"] = BytesToJson(t.bytes);
      } else if (t.kind == sim::PcdDatabase::Kind::Bool) {
        entry["value"] = t.value != 0;
      } else {
        entry["value"] = HexByte(t.value, kind.digits);
      }
      tokens.push_back(entry);
    }
    spaces.push_back({{"guid", GuidText(space.guid)}, {"tokens", tokens}});
  }
  return {{"installed", s.pcdInstalled}, {"spaces", spaces}};
}

bool SamePcd(const std::vector<PcdSpace>& x, const std::vector<PcdSpace>& y) {
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i].guid != y[i].guid || x[i].tokens.size() != y[i].tokens.size()) return false;
    for (size_t j = 0; j < x[i].tokens.size(); ++j) {
      const sim::PcdDatabase::Token& p = x[i].tokens[j];
      const sim::PcdDatabase::Token& q = y[i].tokens[j];
      if (p.number != q.number || p.kind != q.kind || p.value != q.value || p.bytes != q.bytes) return false;
    }
  }
  return true;
}

}  // namespace simboot
