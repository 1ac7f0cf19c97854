#include "tools/simboot/efivarfs.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

namespace simboot {
namespace {

using sim::operator==;

constexpr size_t kGuidChars = 36;
constexpr size_t kAttributeBytes = 4;
constexpr uint64_t kMaxVariableSize = 0x10000;

std::string LowerGuid(const EFI_GUID& guid) {
  std::string text = sim::GuidToString(guid);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string FileName(const sim::Variable& v) { return sim::Utf16ToUtf8(v.name) + "-" + LowerGuid(v.guid); }

// Splits "Name-guid"; false for any other file.
bool SplitName(const std::string& file, std::string* name, EFI_GUID* guid) {
  if (file.size() < kGuidChars + 2 || file[file.size() - kGuidChars - 1] != '-') return false;
  if (!sim::ParseGuid(file.substr(file.size() - kGuidChars), guid)) return false;
  *name = file.substr(0, file.size() - kGuidChars - 1);
  return true;
}

std::vector<std::string> VariableFiles(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) throw ScenarioError(dir + ": cannot open: " + std::strerror(errno));
  std::vector<std::string> files;
  while (const dirent* e = ::readdir(d)) {
    std::string name;
    EFI_GUID guid{};
    if (SplitName(e->d_name, &name, &guid)) files.emplace_back(e->d_name);
  }
  ::closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

void ImportEfivarfs(const std::string& dir, Scenario* scenario) {
  std::vector<sim::Variable> variables;
  for (const std::string& file : VariableFiles(dir)) {
    const std::string path = dir + "/" + file;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) throw ScenarioError(path + ": cannot read");
    if (bytes.size() < kAttributeBytes)
      throw ScenarioError(path + ": shorter than the 4-byte attribute prefix");
    if (bytes.size() - kAttributeBytes > kMaxVariableSize) throw ScenarioError(path + ": larger than 64 KiB");
    sim::Variable v;
    std::string name;
    SplitName(file, &name, &v.guid);
    v.name = sim::Utf8ToUtf16(name);
    v.attributes = static_cast<uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) | uint32_t{bytes[3]}
                                                                                          << 24;
    if (!(v.attributes & EFI_VARIABLE_NON_VOLATILE)) continue;
    v.data.assign(bytes.begin() + kAttributeBytes, bytes.end());
    variables.push_back(std::move(v));
  }
  scenario->variables = std::move(variables);
}

void ExportEfivarfs(const Scenario& scenario, const std::string& dir) {
  std::set<std::string> keep;
  for (const sim::Variable& v : scenario.variables) {
    const std::string path = dir + "/" + FileName(v);
    std::vector<uint8_t> bytes(kAttributeBytes);
    for (size_t i = 0; i < kAttributeBytes; i++) bytes[i] = static_cast<uint8_t>(v.attributes >> (8 * i));
    bytes.insert(bytes.end(), v.data.begin(), v.data.end());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw ScenarioError(path + ": cannot write");
    keep.insert(FileName(v));
  }
  for (const std::string& file : VariableFiles(dir)) {
    if (keep.count(file) == 0 && ::unlink((dir + "/" + file).c_str()) != 0) {
      throw ScenarioError(dir + "/" + file + ": cannot delete: " + std::strerror(errno));
    }
  }
}

}  // namespace simboot
