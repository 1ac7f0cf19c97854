// Strict reading of scenario JSON: every problem is reported with the JSON
// path of the value at fault ("variables[2].data[5]") and a short message.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace simboot {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// `text` with control characters written as JSON escapes ("\n", "\u0001"),
// so that text taken from a document keeps a message on one line.
std::string EscapeControls(const std::string& text);

// A problem in a JSON document. `path` is empty for the document itself. The
// message is kept on one line whatever document text it quotes.
class PathError : public std::runtime_error {
 public:
  PathError(std::string path, const std::string& message)
      : std::runtime_error(EscapeControls(message)), path_(std::move(path)) {}
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Deepest nesting of arrays and objects a document may have. Scenarios need
// fewer than ten levels; the cap keeps the recursive walks over a parsed
// document (comparison, dump, destruction by callers) off a stack overflow.
constexpr size_t kMaxJsonDepth = 64;

// Parses a whole document. Syntax errors, duplicate object keys (which the
// JSON library would otherwise resolve silently) and nesting deeper than
// kMaxJsonDepth raise PathError.
Json ParseJsonText(const std::string& text);

std::string KeyPath(const std::string& parent, const std::string& key);  // a.b or a["9"]
std::string IndexPath(const std::string& parent, size_t index);          // a[3]
std::string Shown(const Json& value);  // compact JSON text of a value, shortened when long

// Numbers are JSON integers or strings holding decimal digits or 0x-prefixed
// hex. `what` names the accepted range in messages: "a byte", "a 16-bit value".
uint64_t ReadUnsigned(const Json& value, const std::string& path, uint64_t max, const char* what);
// The same rules for a number written as an object key.
uint64_t ReadKeyNumber(const std::string& key, const std::string& path, uint64_t max, const char* what);
bool ReadBool(const Json& value, const std::string& path);
std::string ReadString(const Json& value, const std::string& path);
// Bytes written as two hex digits each, separated by spaces: "EF 40 15".
std::vector<uint8_t> ReadHexBytes(const Json& value, const std::string& path);
// Bytes as an array of numbers ([1, "0x81"]) or as hex bytes ("01 81").
std::vector<uint8_t> ReadBytes(const Json& value, const std::string& path);

void ExpectObject(const Json& value, const std::string& path);
void ExpectArray(const Json& value, const std::string& path);
// Rejects keys outside `allowed`, naming the ones that are.
void CheckKeys(const Json& object, const std::string& path, const std::vector<std::string>& allowed);
const Json& Require(const Json& object, const std::string& path, const char* key);

}  // namespace simboot
