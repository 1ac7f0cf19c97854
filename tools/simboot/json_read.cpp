#include "tools/simboot/json_read.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <vector>

namespace simboot {
namespace {

std::string WithArticle(const char* typeName) {
  const std::string name = typeName;
  const bool vowel = !name.empty() && std::string("aeiou").find(name[0]) != std::string::npos;
  return (vowel ? "an " : "a ") + name;
}

bool IsIdentifier(const std::string& key) {
  if (key.empty() || std::isdigit(static_cast<unsigned char>(key[0]))) return false;
  for (char c : key) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
  }
  return true;
}

// Decimal digits or 0x-prefixed hex, without sign or spaces.
bool ParseNumberText(const std::string& text, uint64_t* out) {
  uint64_t n = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (text.size() > 18) return false;
    for (size_t i = 2; i < text.size(); ++i) {
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      n = n * 16 +
          static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'a' + 10);
    }
  } else {
    if (text.empty()) return false;
    for (char c : text) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      const uint64_t digit = static_cast<uint64_t>(c - '0');
      if (n > (UINT64_MAX - digit) / 10) return false;
      n = n * 10 + digit;
    }
  }
  *out = n;
  return true;
}

// Tracks where the parser is, so that a duplicate key can be reported with
// the path of the object that holds it, and stops a document nested deeper
// than kMaxJsonDepth before anything walks it recursively.
class DuplicateKeyGuard {
 public:
  bool operator()(int, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
      case Json::parse_event_t::array_start:
        EnterChild();
        if (frames_.size() >= kMaxJsonDepth) {
          constexpr size_t kShownLevels = 6;
          const size_t shown = frames_.size() < kShownLevels ? frames_.size() : kShownLevels;
          throw PathError(PathTo(shown) + (shown < frames_.size() ? "..." : ""),
                          "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
        }
        frames_.push_back({event == Json::parse_event_t::object_start, {}, "", 0, false});
        break;
      case Json::parse_event_t::object_end:
      case Json::parse_event_t::array_end:
        frames_.pop_back();
        break;
      case Json::parse_event_t::key: {
        Frame& top = frames_.back();
        top.key = parsed.get<std::string>();
        if (!top.keys.insert(top.key).second) {
          throw PathError(PathTo(frames_.size() - 1), "duplicate key \"" + top.key + "\"");
        }
        break;
      }
      case Json::parse_event_t::value:
        EnterChild();
        break;
    }
    return true;
  }

 private:
  struct Frame {
    bool object;
    std::set<std::string> keys;
    std::string key;  // key of the member being parsed
    size_t index;     // index of the element being parsed
    bool started;     // an element of this array has begun
  };
  std::vector<Frame> frames_;

  void EnterChild() {
    if (frames_.empty() || frames_.back().object) return;
    Frame& top = frames_.back();
    if (top.started) ++top.index;
    top.started = true;
  }
  // Path of the value held by frames_[depth].
  std::string PathTo(size_t depth) const {
    std::string path;
    for (size_t i = 0; i < depth; ++i) {
      path = frames_[i].object ? KeyPath(path, frames_[i].key) : IndexPath(path, frames_[i].index);
    }
    return path;
  }
};

}  // namespace

std::string EscapeControls(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    }
  }
  return out;
}

Json ParseJsonText(const std::string& text) {
  try {
    DuplicateKeyGuard guard;
    return Json::parse(text, [&guard](int depth, Json::parse_event_t event, Json& parsed) {
      return guard(depth, event, parsed);
    });
  } catch (const Json::parse_error& e) {
    std::string message = e.what();
    const size_t tag = message.find("] ");
    if (message.rfind("[json.exception.", 0) == 0 && tag != std::string::npos) message.erase(0, tag + 2);
    throw PathError("", "invalid JSON: " + message);
  }
}

std::string KeyPath(const std::string& parent, const std::string& key) {
  if (!IsIdentifier(key)) return parent + "[" + Json(key).dump() + "]";
  return parent.empty() ? key : parent + "." + key;
}

std::string IndexPath(const std::string& parent, size_t index) {
  return parent + "[" + std::to_string(index) + "]";
}

std::string Shown(const Json& value) {
  std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

uint64_t ReadUnsigned(const Json& value, const std::string& path, uint64_t max, const char* what) {
  uint64_t n = 0;
  if (value.is_number_unsigned()) {
    n = value.get<uint64_t>();
  } else if (value.is_number()) {  // negative or fractional
    throw PathError(path, Shown(value) + " is not " + what);
  } else if (value.is_string()) {
    if (!ParseNumberText(value.get<std::string>(), &n)) {
      throw PathError(path, Shown(value) + " is not a number (write decimal digits or 0x-prefixed hex)");
    }
  } else {
    throw PathError(path, std::string("expected ") + what + ", got " + WithArticle(value.type_name()));
  }
  if (n > max) throw PathError(path, Shown(value) + " is not " + what);
  return n;
}

uint64_t ReadKeyNumber(const std::string& key, const std::string& path, uint64_t max, const char* what) {
  return ReadUnsigned(Json(key), path, max, what);
}

bool ReadBool(const Json& value, const std::string& path) {
  if (!value.is_boolean()) {
    throw PathError(path, "expected true or false, got " + WithArticle(value.type_name()));
  }
  return value.get<bool>();
}

std::string ReadString(const Json& value, const std::string& path) {
  if (!value.is_string()) throw PathError(path, "expected a string, got " + WithArticle(value.type_name()));
  return value.get<std::string>();
}

void ExpectObject(const Json& value, const std::string& path) {
  if (!value.is_object()) throw PathError(path, "expected an object, got " + WithArticle(value.type_name()));
}

void ExpectArray(const Json& value, const std::string& path) {
  if (!value.is_array()) throw PathError(path, "expected an array, got " + WithArticle(value.type_name()));
}

void CheckKeys(const Json& object, const std::string& path, const std::vector<std::string>& allowed) {
  for (const auto& member : object.items()) {
    bool known = false;
    for (const std::string& key : allowed) known = known || member.key() == key;
    if (known) continue;
    std::string list;
    for (const std::string& key : allowed) list += (list.empty() ? "" : ", ") + key;
    throw PathError(path, "unknown key \"" + member.key() + "\" (expected " +
                              (allowed.size() == 1 ? "only " : "one of ") + list + ")");
  }
}

const Json& Require(const Json& object, const std::string& path, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) throw PathError(path, std::string("missing \"") + key + "\"");
  return *it;
}

std::vector<uint8_t> ReadHexBytes(const Json& value, const std::string& path) {
  const std::string text = ReadString(value, path);
  std::vector<uint8_t> bytes;
  size_t at = 0;
  while (at < text.size()) {
    if (text[at] == ' ') {
      ++at;
      continue;
    }
    const size_t end = std::min(text.find(' ', at), text.size());
    const std::string token = text.substr(at, end - at);
    const bool ok = token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
                    std::isxdigit(static_cast<unsigned char>(token[1]));
    if (!ok) {
      throw PathError(path, "\"" + token + "\" (byte " + std::to_string(bytes.size()) +
                                ") is not a hex byte; write bytes as two hex digits separated by spaces");
    }
    bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    at = end;
  }
  return bytes;
}

std::vector<uint8_t> ReadBytes(const Json& value, const std::string& path) {
  if (value.is_string()) return ReadHexBytes(value, path);
  if (!value.is_array())
    throw PathError(path, "expected bytes ([1, \"0x81\"] or \"01 81\"), got " + Shown(value));
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < value.size(); ++i) {
    bytes.push_back(static_cast<uint8_t>(ReadUnsigned(value[i], IndexPath(path, i), 0xFF, "a byte")));
  }
  return bytes;
}

}  // namespace simboot
