// The device sections of a scenario: "imc", "ec", "cmos" and "cpu", read and
// written as the format at the top of scenario.cpp describes.
#include <algorithm>

#include "tools/simboot/scenario_sections.h"

namespace simboot {

namespace {

// Fills the P-state registers; returns the MSRs it filled.
std::vector<uint32_t> ReadPstate(const Json& value, const std::string& path, Scenario* s) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"current", "definitions"});
  const std::string defsPath = KeyPath(path, "definitions");
  const Json& defs = Require(value, path, "definitions");
  ExpectArray(defs, defsPath);
  if (defs.empty() || defs.size() > kPstateCount) {
    throw PathError(defsPath, "expected 1 to " + std::to_string(kPstateCount) + " P-state definitions, got " +
                                  std::to_string(defs.size()));
  }
  std::vector<uint32_t> filled;
  for (size_t n = 0; n < defs.size(); ++n) {
    const std::string at = IndexPath(defsPath, n);
    ExpectObject(defs[n], at);
    CheckKeys(defs[n], at, {"fid", "did"});
    const uint64_t fid =
        ReadUnsigned(Require(defs[n], at, "fid"), KeyPath(at, "fid"), 0xFF, "an FID (0 to 0xFF)");
    const uint64_t did =
        ReadUnsigned(Require(defs[n], at, "did"), KeyPath(at, "did"), 0x3F, "a DID (0 to 0x3F)");
    const uint32_t msr = kPstateDefinitionMsr + static_cast<uint32_t>(n);
    s->msrs[msr] = fid | did << 8;
    filled.push_back(msr);
  }
  uint64_t current = 0;
  if (value.contains("current")) {
    const std::string at = KeyPath(path, "current");
    current = ReadUnsigned(value["current"], at, kPstateCount - 1, "a P-state number (0 to 7)");
    if (current >= defs.size()) {
      throw PathError(at, "P-state " + std::to_string(current) + " has no definition (" +
                              std::to_string(defs.size()) + " given)");
    }
  }
  s->msrs[kPstateStatusMsr] = current;
  filled.push_back(kPstateStatusMsr);
  return filled;
}

}  // namespace

void ReadImc(const Json& value, const std::string& path, Scenario* s) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"enabled", "acknowledges"});
  if (value.contains("enabled")) s->imcEnabled = ReadBool(value["enabled"], KeyPath(path, "enabled"));
  if (value.contains("acknowledges"))
    s->imcAcknowledges = ReadBool(value["acknowledges"], KeyPath(path, "acknowledges"));
}

void ReadEc(const Json& value, const std::string& path, Scenario* s) {
  ExpectObject(value, path);
  CheckKeys(
      value, path,
      {"registers", "neverAnswers", "takeNs", "answerNs", "busyAtBootNs", "staleOutput", "goesDeadAfter"});
  if (value.contains("registers")) {
    const std::string at = KeyPath(path, "registers");
    ExpectObject(value["registers"], at);
    for (const auto& member : value["registers"].items()) {
      const std::string reg = KeyPath(at, member.key());
      const uint64_t index = ReadKeyNumber(member.key(), reg, 0xFF, "an EC register (0 to 0xFF)");
      s->ecRegisters[index] = static_cast<uint8_t>(ReadUnsigned(member.value(), reg, 0xFF, "a byte"));
    }
  }
  const auto count = [&](const char* key) {
    return static_cast<unsigned>(ReadUnsigned(value[key], KeyPath(path, key), 0xFFFFFFFF, "a 32-bit count"));
  };
  if (value.contains("neverAnswers"))
    s->ec.neverAnswers = ReadBool(value["neverAnswers"], KeyPath(path, "neverAnswers"));
  const auto nanoseconds = [&](const char* key) {
    return ReadUnsigned(value[key], KeyPath(path, key), 1000000000000ull, "a time in ns (at most 1000 s)");
  };
  if (value.contains("takeNs")) s->ec.takeNs = nanoseconds("takeNs");
  if (value.contains("answerNs")) s->ec.answerNs = nanoseconds("answerNs");
  if (value.contains("busyAtBootNs")) s->ec.busyAtBootNs = nanoseconds("busyAtBootNs");
  if (value.contains("goesDeadAfter")) s->ec.goesDeadAfter = count("goesDeadAfter");
  if (value.contains("staleOutput")) {
    s->ec.staleOutput = static_cast<uint8_t>(
        ReadUnsigned(value["staleOutput"], KeyPath(path, "staleOutput"), 0xFF, "a byte"));
  }
}

void ReadCmos(const Json& value, const std::string& path, Scenario* s) {
  ExpectObject(value, path);
  for (const auto& member : value.items()) {
    const std::string at = KeyPath(path, member.key());
    const uint64_t index = ReadKeyNumber(member.key(), at, s->cmos.size() - 1, "a CMOS index (0 to 0x7F)");
    s->cmos[index] = static_cast<uint8_t>(ReadUnsigned(member.value(), at, 0xFF, "a byte"));
  }
}

void ReadCpu(const Json& value, const std::string& path, Scenario* s) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"pstate", "msrs", "cpuid80000001Eax", "postCodeProbe", "pauseTicks"});
  std::vector<uint32_t> byPstate;
  if (value.contains("pstate")) byPstate = ReadPstate(value["pstate"], KeyPath(path, "pstate"), s);
  if (value.contains("msrs")) {
    const std::string msrsPath = KeyPath(path, "msrs");
    ExpectObject(value["msrs"], msrsPath);
    for (const auto& member : value["msrs"].items()) {
      const std::string at = KeyPath(msrsPath, member.key());
      const uint32_t index = static_cast<uint32_t>(
          ReadKeyNumber(member.key(), at, 0xFFFFFFFF, "an MSR number (0 to 0xFFFFFFFF)"));
      if (std::find(byPstate.begin(), byPstate.end(), index) != byPstate.end()) {
        throw PathError(at, "MSR " + HexByte(index, 8) + " is set by \"pstate\"");
      }
      if (s->msrs.count(index)) throw PathError(at, "MSR " + HexByte(index, 8) + " is listed twice");
      s->msrs[index] = ReadUnsigned(member.value(), at, UINT64_MAX, "a 64-bit value");
    }
  }
  if (value.contains("cpuid80000001Eax")) {
    s->cpuid80000001Eax = static_cast<uint32_t>(ReadUnsigned(
        value["cpuid80000001Eax"], KeyPath(path, "cpuid80000001Eax"), 0xFFFFFFFF, "a 32-bit value"));
  }
  if (value.contains("postCodeProbe")) {
    s->postCodeProbe = static_cast<uint16_t>(
        ReadUnsigned(value["postCodeProbe"], KeyPath(path, "postCodeProbe"), 0xFFFF, "a 16-bit answer"));
  }
  if (value.contains("pauseTicks")) {
    s->pauseTicks =
        ReadUnsigned(value["pauseTicks"], KeyPath(path, "pauseTicks"), UINT64_MAX, "a 64-bit count");
  }
}

OrderedJson ImcToJson(const Scenario& s) {
  return {{"enabled", s.imcEnabled}, {"acknowledges", s.imcAcknowledges}};
}

OrderedJson EcToJson(const Scenario& s) {
  OrderedJson ec;
  OrderedJson registers = OrderedJson::object();
  for (size_t i = 0; i < s.ecRegisters.size(); ++i) {
    if (s.ecRegisters[i] != 0) registers[HexByte(i)] = HexByte(s.ecRegisters[i]);
  }
  ec["registers"] = registers;
  if (s.ec.neverAnswers) ec["neverAnswers"] = true;
  const sim::EmbeddedController::Behaviour defaultEc;
  if (s.ec.takeNs != defaultEc.takeNs) ec["takeNs"] = s.ec.takeNs;
  if (s.ec.answerNs != defaultEc.answerNs) ec["answerNs"] = s.ec.answerNs;
  if (s.ec.busyAtBootNs) ec["busyAtBootNs"] = s.ec.busyAtBootNs;
  if (s.ec.staleOutput) ec["staleOutput"] = HexByte(*s.ec.staleOutput);
  if (s.ec.goesDeadAfter) ec["goesDeadAfter"] = *s.ec.goesDeadAfter;
  return ec;
}

OrderedJson CmosToJson(const Scenario& s) {
  OrderedJson cmos = OrderedJson::object();
  for (size_t i = 0; i < s.cmos.size(); ++i) {
    if (s.cmos[i] != 0) cmos[HexByte(i)] = HexByte(s.cmos[i]);
  }
  return cmos;
}

OrderedJson CpuToJson(const Scenario& s) {
  OrderedJson cpu;
  std::map<uint32_t, uint64_t> others = s.msrs;
  PstateForm form;
  if (PstatesOf(s.msrs, &form)) {
    OrderedJson definitions = OrderedJson::array();
    for (size_t n = 0; n < form.definitions.size(); ++n) {
      definitions.push_back(
          {{"fid", HexByte(form.definitions[n].first)}, {"did", form.definitions[n].second}});
      others.erase(kPstateDefinitionMsr + static_cast<uint32_t>(n));
    }
    others.erase(kPstateStatusMsr);
    cpu["pstate"] = {{"current", form.current}, {"definitions", definitions}};
  }
  OrderedJson msrs = OrderedJson::object();
  for (const auto& [index, value] : others) msrs[HexByte(index, 8)] = HexByte(value, 1);
  cpu["msrs"] = msrs;
  cpu["cpuid80000001Eax"] = HexByte(s.cpuid80000001Eax, 8);
  cpu["postCodeProbe"] = HexByte(s.postCodeProbe, 4);
  cpu["pauseTicks"] = s.pauseTicks;
  return cpu;
}

bool SameEc(const sim::EmbeddedController::Behaviour& x, const sim::EmbeddedController::Behaviour& y) {
  return x.neverAnswers == y.neverAnswers && x.takeNs == y.takeNs && x.answerNs == y.answerNs &&
         x.busyAtBootNs == y.busyAtBootNs && x.staleOutput == y.staleOutput &&
         x.goesDeadAfter == y.goesDeadAfter;
}

bool PstatesOf(const std::map<uint32_t, uint64_t>& msrs, PstateForm* form) {
  const auto status = msrs.find(kPstateStatusMsr);
  if (status == msrs.end() || status->second >= kPstateCount) return false;
  PstateForm found;
  found.current = static_cast<unsigned>(status->second);
  for (uint32_t n = 0; n < kPstateCount; ++n) {
    const auto definition = msrs.find(kPstateDefinitionMsr + n);
    if (definition == msrs.end() || (definition->second & ~uint64_t{0x3FFF}) != 0) break;
    found.definitions.push_back(
        {static_cast<uint8_t>(definition->second & 0xFF), static_cast<uint8_t>(definition->second >> 8)});
  }
  if (found.current >= found.definitions.size()) return false;
  *form = found;
  return true;
}

}  // namespace simboot
