#include "tools/sweep/sweep.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "bootctl/vars.h"
#include "s3/smm_services.h"
#include "support/strings/strings.h"
#include "support/timer/timer.h"
#include "tools/simboot/notebook_run.h"
#include "tools/simboot/report.h"

namespace sweep {

using sim::operator==;

namespace {

constexpr size_t kShortValue = 16;  // values up to this size are shown whole
constexpr size_t kListedBytes = 4;  // differing byte positions listed for a longer value
constexpr uint16_t kEcDataPort = 0x62;
constexpr uint16_t kEcCommandPort = 0x66;

std::string Hex2(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", v & 0xFF);
  return text;
}

std::string Bytes(const std::vector<uint8_t>& data) {
  if (data.empty()) return "(empty)";
  std::string text;
  for (uint8_t b : data) text += (text.empty() ? "" : " ") + Hex2(b);
  return text;
}

std::string OptionName(uint16_t number) {
  char text[16];
  std::snprintf(text, sizeof text, "Boot%04X", number);
  return text;
}

std::string Field(const sim::TraceEvent& e, const char* key) {
  for (const auto& f : e.fields) {
    if (f.first == key) return f.second;
  }
  return "";
}

using Key = std::pair<std::u16string, std::string>;
Key KeyOf(const std::u16string& name, const EFI_GUID& guid) { return {name, sim::GuidToString(guid)}; }

const sim::Variable* Find(const EndState& s, const std::u16string& name, const EFI_GUID& guid) {
  auto it = s.variables.find(KeyOf(name, guid));
  return it == s.variables.end() ? nullptr : &it->second;
}

bool IsBootOptionName(const std::u16string& name) {
  if (name.size() != 8 || name.compare(0, 4, u"Boot") != 0) return false;
  return std::all_of(name.begin() + 4, name.end(),
                     [](char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'); });
}

// A value as the summary shows it: short ones byte by byte, load options,
// option lists and large records decoded.
std::string ValueText(const sim::Variable& v) {
  return v.data.size() <= kShortValue && !IsBootOptionName(v.name)
             ? Bytes(v.data)
             : simboot::DescribeValue(v.name, v.guid, v.data);
}

// "Setup: [92]=01 (fault-free 00)", "Boot0000: absent (fault-free load
// option ...)".
std::string VariableDifference(const std::string& name, const sim::Variable* got, const sim::Variable* want) {
  if (!got || !want) {
    return name + ": " + (got ? ValueText(*got) : "absent") + " (fault-free " +
           (want ? ValueText(*want) : "absent") + ")";
  }
  std::string text = name + ":";
  if (got->attributes != want->attributes) {
    text += " attributes " + std::to_string(got->attributes) + " (fault-free " +
            std::to_string(want->attributes) + ")";
  }
  if (got->data == want->data) return text;
  if (got->data.size() != want->data.size() || got->data.size() <= kShortValue) {
    return text + " " + ValueText(*got) + " (fault-free " + ValueText(*want) + ")";
  }
  size_t listed = 0, more = 0;
  for (size_t i = 0; i < got->data.size(); ++i) {
    if (got->data[i] == want->data[i]) continue;
    if (listed++ < kListedBytes) {
      text +=
          " [" + std::to_string(i) + "]=" + Hex2(got->data[i]) + " (fault-free " + Hex2(want->data[i]) + ")";
    } else {
      ++more;
    }
  }
  if (more) text += " and " + std::to_string(more) + " more bytes";
  return text;
}

std::string BootedText(const std::optional<uint16_t>& booted) {
  return booted ? OptionName(*booted) : "nothing";
}

char BootLetter(const sim::BootOutcome& o) {
  if (!o.hung.empty()) return 'H';
  if (o.powerLost) return 'P';
  if (!o.reset) return '-';
  switch (*o.reset) {
    case EfiResetWarm:
      return 'W';
    case EfiResetCold:
      return 'C';
    case EfiResetShutdown:
      return 'S';
    default:
      return 'R';
  }
}

std::string BootLetters(const std::vector<sim::BootOutcome>& boots) {
  std::string letters;
  for (const sim::BootOutcome& o : boots) letters += BootLetter(o);
  return letters;
}

std::string Ending(const std::vector<sim::BootOutcome>& boots) {
  if (boots.empty()) return "no boot";
  const sim::BootOutcome& last = boots.back();
  if (!last.hung.empty()) return "hung";
  if (last.powerLost) return "power lost";
  if (!last.reset) return "completed";
  return *last.reset == EfiResetShutdown ? "shut down" : "still resetting";
}

}  // namespace

std::string FaultText(const Fault& fault) {
  const std::string k = std::to_string(fault.k);
  switch (fault.kind) {
    case FaultKind::None:
      return "fault-free";
    case FaultKind::Allocation:
      return "allocation #" + k;
    case FaultKind::GetVariableOnce:
      return "GetVariable #" + k + " once";
    case FaultKind::GetVariableOn:
      return "GetVariable #" + k + " from then on";
    case FaultKind::SetVariableOnce:
      return "SetVariable #" + k + " once";
    case FaultKind::SetVariableOn:
      return "SetVariable #" + k + " from then on";
    case FaultKind::PowerCut:
      return "power cut after NV write #" + k;
    case FaultKind::EcDead:
      return "EC dead after " + k + " byte" + (fault.k == 1 ? "" : "s");
  }
  return "?";
}

std::vector<std::string> CheckBoots(const std::vector<sim::BootOutcome>& boots,
                                    const std::vector<std::vector<uint64_t>>& held,
                                    const std::vector<std::string>& violations, const Limits& limits) {
  std::vector<std::string> breaches;
  unsigned inARow = 0, longest = 0;
  for (size_t i = 0; i < boots.size(); ++i) {
    const sim::BootOutcome& o = boots[i];
    if (!o.hung.empty()) {
      breaches.push_back("boot " + std::to_string(o.boot) + " hung at " + sim::BootStageName(o.endedAt) +
                         ": " + o.hung);
    }
    if (i < held.size() && !held[i].empty()) {
      uint64_t bytes = 0;
      for (uint64_t b : held[i]) bytes += b;
      breaches.push_back("boot " + std::to_string(o.boot) + " ends holding " + std::to_string(bytes) +
                         " bytes of pool in " + std::to_string(held[i].size()) + " allocation(s)");
    }
    if (o.powerLost) continue;  // a power cut is no reset, nor does it end a run of resets
    if (o.reset && *o.reset != EfiResetShutdown) {
      longest = std::max(longest, ++inARow);
    } else {
      inARow = 0;
    }
  }
  if (longest > limits.maxResetsInARow) {
    breaches.push_back("reset loop: " + std::to_string(longest) + " resets in a row");
  } else if (!boots.empty() && boots.size() >= limits.maxBoots && boots.back().reset &&
             *boots.back().reset != EfiResetShutdown) {
    breaches.push_back("still resetting after " + std::to_string(boots.size()) + " boots");
  }
  for (const std::string& v : violations) {
    if (v.find(" hung at ") == std::string::npos) breaches.push_back("violation: " + v);  // hangs are above
  }
  return breaches;
}

CaseResult RunCase(const simboot::Scenario& scenario, sim::DriverImage& image, const Fault& fault,
                   const Limits& limits, CallCounts* counts) {
  CaseResult result;
  result.fault = fault;
  simboot::NotebookRun run(scenario);
  sim::Platform& p = run.platform;
  p.tracePorts = counts != nullptr;
  switch (fault.kind) {
    case FaultKind::None:
      break;
    case FaultKind::Allocation:
      p.FailNthAllocation(fault.k);
      break;
    case FaultKind::GetVariableOnce:
    case FaultKind::GetVariableOn:
      p.FailService(sim::Service::GetVariable, fault.k, EFI_DEVICE_ERROR,
                    fault.kind == FaultKind::GetVariableOn);
      break;
    case FaultKind::SetVariableOnce:
    case FaultKind::SetVariableOn:
      p.FailService(sim::Service::SetVariable, fault.k, EFI_DEVICE_ERROR,
                    fault.kind == FaultKind::SetVariableOn);
      break;
    case FaultKind::PowerCut:
      p.CutPowerAfterNvWrite(fault.k);
      break;
    case FaultKind::EcDead:
      run.notebook.ec.behaviour.goesDeadAfter = static_cast<unsigned>(fault.k);
      break;
  }
  // The scenario's own failures are armed too; the sweep's is told apart in
  // the trace by its call number.
  const std::string injectedService =
      fault.kind == FaultKind::GetVariableOnce || fault.kind == FaultKind::GetVariableOn   ? "GetVariable"
      : fault.kind == FaultKind::SetVariableOnce || fault.kind == FaultKind::SetVariableOn ? "SetVariable"
                                                                                           : "";

  std::vector<std::vector<uint64_t>> held;
  std::map<unsigned, uint64_t> ecBytes;
  bool reached = fault.kind == FaultKind::Allocation || fault.kind == FaultKind::EcDead;
  for (unsigned i = 0; i < limits.maxBoots; ++i) {
    const size_t traceBefore = p.trace.size();
    const sim::BootOutcome o = p.RunBoot(image);
    result.boots.push_back(o);
    std::vector<uint64_t> bytes;
    if (!o.reset && !o.powerLost && o.hung.empty()) {
      // Records published for other modules stay: the TSC frequency table,
      // the list anchor (in the SMM database when the driver ran in SMM) and
      // the shared record.
      const void* tsc = p.FindConfigTable(TscFrequencyGuid);
      const void* shared = p.LocateProtocolInterface(SharedRecordProtocolGuid);
      void* anchor = p.LocateProtocolInterface(ListAnchorProtocolGuid);
      if (anchor == nullptr && p.smm.basePresent) {
        p.Smst()->SmmLocateProtocol(&ListAnchorProtocolGuid, nullptr, &anchor);
      }
      for (const sim::Allocation& a : p.OutstandingAllocations()) {
        if (a.boot == o.boot && a.type == EfiBootServicesData && a.address != tsc && a.address != anchor &&
            a.address != shared) {
          bytes.push_back(a.size);
        }
      }
    }
    held.push_back(bytes);
    for (size_t t = traceBefore; t < p.trace.size(); ++t) {
      const sim::TraceEvent& e = p.trace[t];
      if (e.kind == "PortOut") {
        const unsigned long port = std::strtoul(Field(e, "port").c_str(), nullptr, 16);
        if (port == kEcDataPort || port == kEcCommandPort) ++ecBytes[o.boot];
      } else if (e.kind == "Injected" && !injectedService.empty() && Field(e, "service") == injectedService &&
                 std::strtoull(Field(e, "call").c_str(), nullptr, 10) >= fault.k) {
        reached = true;
      } else if (e.kind == "PowerLoss" && fault.kind == FaultKind::PowerCut) {
        reached = true;
      }
    }
    if (o.powerLost) continue;
    if (!o.reset || *o.reset == EfiResetShutdown) break;
  }
  result.reached = reached || fault.kind == FaultKind::None;
  result.breaches = CheckBoots(result.boots, held, p.violations, limits);

  for (const sim::Variable& v : p.Variables()) {
    if (v.attributes & EFI_VARIABLE_NON_VOLATILE) result.end.variables[KeyOf(v.name, v.guid)] = v;
  }
  result.end.cmos = run.notebook.cmos.bytes;
  result.end.ec = run.notebook.ec.registers;
  result.end.ending = Ending(result.boots);
  result.end.booted = result.boots.empty() ? std::nullopt : result.boots.back().booted;
  result.end.boots = result.boots.size();

  if (counts) {
    counts->allocations = p.counters.allocations;
    counts->getVariable = p.ServiceCalls(sim::Service::GetVariable);
    counts->setVariable = p.ServiceCalls(sim::Service::SetVariable);
    counts->nvWrites = p.counters.nvWrites;
    counts->ecBytes = 0;
    for (const auto& [boot, n] : ecBytes) counts->ecBytes = std::max(counts->ecBytes, n);
  }
  return result;
}

void Compare(const simboot::Scenario& initial, const EndState& faultFree, CaseResult* result) {
  const EndState& got = result->end;
  std::vector<std::string>& diff = result->differences;
  std::vector<std::string>& lost = result->lost;

  std::vector<Key> keys;
  for (const auto& entry : got.variables) keys.push_back(entry.first);
  for (const auto& entry : faultFree.variables) {
    if (!got.variables.count(entry.first)) keys.push_back(entry.first);
  }
  std::sort(keys.begin(), keys.end());
  bool changeBootEffects = false;  // Setup, the boot options or their orders differ
  for (const Key& key : keys) {
    auto a = got.variables.find(key);
    auto b = faultFree.variables.find(key);
    const sim::Variable* x = a == got.variables.end() ? nullptr : &a->second;
    const sim::Variable* y = b == faultFree.variables.end() ? nullptr : &b->second;
    if (x && y && x->attributes == y->attributes && x->data == y->data) continue;
    const std::u16string& name = key.first;
    diff.push_back(VariableDifference(sim::Utf16ToUtf8(name), x, y));
    if (name == u"Setup" || name == u"BootOrder" || name == u"PhysicalBootOrder" || IsBootOptionName(name)) {
      changeBootEffects = true;
    }
  }
  for (size_t i = 0; i < got.cmos.size(); ++i) {
    if (got.cmos[i] == faultFree.cmos[i]) continue;
    char text[64];
    std::snprintf(text, sizeof text, "CMOS 0x%02zX=%02X (fault-free %02X)", i, got.cmos[i],
                  faultFree.cmos[i]);
    diff.push_back(text);
    if (i == 0x61) changeBootEffects = true;
  }
  for (size_t i = 0; i < got.ec.size(); ++i) {
    if (got.ec[i] == faultFree.ec[i]) continue;
    char text[64];
    std::snprintf(text, sizeof text, "EC 0x%02zX=%02X (fault-free %02X)", i, got.ec[i], faultFree.ec[i]);
    diff.push_back(text);
  }
  if (got.booted != faultFree.booted) {
    diff.push_back("booted " + BootedText(got.booted) + " (fault-free " + BootedText(faultFree.booted) + ")");
  }
  if (got.ending != faultFree.ending)
    diff.push_back("ended " + got.ending + " (fault-free " + faultFree.ending + ")");

  // Requests of the initial state that the case consumed without their
  // effect.
  auto initialVar = [&initial](const std::u16string& name, const EFI_GUID& guid) -> const sim::Variable* {
    for (const sim::Variable& v : initial.variables) {
      if (v.name == name && v.guid == guid) return &v;
    }
    return nullptr;
  };
  uint8_t modeByte = 0;
  if (const sim::Variable* req = initialVar(u"ZKChgBoot", BootControlVendorGuid)) {
    if (req->data.size() == 2) modeByte = req->data[1];
    if (!req->data.empty() && req->data.size() <= 2 && req->data[0] != 0) {
      const sim::Variable* now = Find(got, u"ZKChgBoot", BootControlVendorGuid);
      const bool taken = now == nullptr || now->data.empty() || now->data[0] == 0;
      if (taken && changeBootEffects) lost.push_back("change-boot request (mode " + Hex2(modeByte) + ")");
    }
  }
  if (const sim::Variable* lid = initialVar(u"ZKSaveLidFlag", LidFlagVendorGuid)) {
    if (lid->data.size() == 1 && !Find(got, u"ZKSaveLidFlag", LidFlagVendorGuid) &&
        got.ec[0x94] != faultFree.ec[0x94])
      lost.push_back("lid flag");
  }
  if (initialVar(u"ZKOOBTest", OobTestVendorGuid)) {
    const sim::Variable* now = Find(got, u"ZKOOBTest", OobTestVendorGuid);
    const sim::Variable* want = Find(faultFree, u"ZKOOBTest", OobTestVendorGuid);
    const bool counted = (now == nullptr) == (want == nullptr) && (!now || now->data == want->data);
    if (counted && got.ec[0x16] != faultFree.ec[0x16]) lost.push_back("out-of-box test state");
  }
  if (initial.ecRegisters[0x19] == 1 && got.ec[0x19] != 1 && faultFree.ending == "shut down" &&
      got.ending != "shut down") {
    lost.push_back("power-off request");
  }
  const bool selectsBootNext = modeByte == 1 || modeByte == 2 || (modeByte & 0x80) != 0;
  if (selectsBootNext && got.booted != faultFree.booted && faultFree.ending == "completed") {
    lost.push_back("this boot's BootNext");
  }
}

std::vector<Fault> FaultsFor(const CallCounts& counts, const std::vector<FaultKind>& kinds) {
  auto wanted = [&kinds](FaultKind kind) {
    return kinds.empty() || std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
  };
  std::vector<Fault> faults;
  auto range = [&](FaultKind kind, uint64_t first, uint64_t last) {
    if (!wanted(kind)) return;
    for (uint64_t k = first; k <= last; ++k) faults.push_back({kind, k});
  };
  range(FaultKind::Allocation, 1, counts.allocations + 1);
  range(FaultKind::GetVariableOnce, 1, counts.getVariable + 1);
  range(FaultKind::GetVariableOn, 1, counts.getVariable + 1);
  range(FaultKind::SetVariableOnce, 1, counts.setVariable + 1);
  range(FaultKind::SetVariableOn, 1, counts.setVariable + 1);
  range(FaultKind::PowerCut, 1, counts.nvWrites);
  range(FaultKind::EcDead, 0, counts.ecBytes);
  return faults;
}

ScenarioSweep SweepScenario(const simboot::Scenario& scenario, const std::string& name,
                            sim::DriverImage& image, const Limits& limits,
                            const std::vector<FaultKind>& kinds) {
  ScenarioSweep sweep;
  sweep.name = name;
  sweep.faultFree = RunCase(scenario, image, Fault{}, limits, &sweep.counts);
  for (const Fault& fault : FaultsFor(sweep.counts, kinds)) {
    CaseResult result = RunCase(scenario, image, fault, limits);
    Compare(scenario, sweep.faultFree.end, &result);
    sweep.cases.push_back(std::move(result));
  }
  return sweep;
}

namespace {

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

struct Totals {
  size_t cases = 0, same = 0, differ = 0, lose = 0, breach = 0, unreached = 0;
  std::map<std::string, size_t> lostBy;
  void Add(const CaseResult& c) {
    ++cases;
    if (!c.reached) ++unreached;
    if (!c.breaches.empty()) ++breach;
    if (!c.lost.empty()) ++lose;
    for (const std::string& l : c.lost) ++lostBy[l];
    if (c.differences.empty()) {
      ++same;
    } else {
      ++differ;
    }
  }
  std::string Text() const {
    std::string text = std::to_string(cases) + " cases: " + std::to_string(same) + " same as fault-free, " +
                       std::to_string(differ) + " differ, " + std::to_string(lose) + " lose a request";
    if (!lostBy.empty()) {
      std::vector<std::string> parts;
      for (const auto& [what, n] : lostBy) parts.push_back(what + " " + std::to_string(n));
      text += " (" + Join(parts, ", ") + ")";
    }
    text += ", " + std::to_string(breach) + " break an invariant";
    if (unreached) text += "; " + std::to_string(unreached) + " faults never fired";
    return text;
  }
};

std::string CaseLine(const CaseResult& c) {
  char head[96];
  std::snprintf(head, sizeof head, "  %-34s %-8s ", FaultText(c.fault).c_str(), BootLetters(c.boots).c_str());
  std::string text = head;
  if (!c.breaches.empty()) text += "BREACH " + Join(c.breaches, "; ") + (c.differences.empty() ? "" : " | ");
  if (!c.lost.empty()) text += "LOST " + Join(c.lost, ", ") + " | ";
  if (c.differences.empty()) {
    if (c.breaches.empty()) text += c.reached ? "same" : "same (never fired)";
  } else {
    text += Join(c.differences, "; ");
  }
  return text;
}

}  // namespace

std::string FormatSweep(const std::vector<ScenarioSweep>& sweeps, bool verbose) {
  std::ostringstream out;
  out << "Boots: W warm reset, C cold reset, S shutdown, P power cut, H hang, - completed\n";
  Totals all;
  for (const ScenarioSweep& s : sweeps) {
    const CallCounts& n = s.counts;
    out << "\n== " << s.name << "\n";
    out << "fault-free: " << BootLetters(s.faultFree.boots) << " " << s.faultFree.end.ending << ", booted "
        << BootedText(s.faultFree.end.booted) << "; " << n.allocations << " allocations, " << n.getVariable
        << " GetVariable, " << n.setVariable << " SetVariable, " << n.nvWrites << " NV writes, " << n.ecBytes
        << " EC bytes in a boot\n";
    if (!s.faultFree.breaches.empty())
      out << "  fault-free BREACH " << Join(s.faultFree.breaches, "; ") << "\n";
    Totals totals;
    for (const CaseResult& c : s.cases) {
      totals.Add(c);
      all.Add(c);
      if (verbose || !c.differences.empty() || !c.breaches.empty()) out << CaseLine(c) << "\n";
    }
    out << "totals: " << totals.Text() << "\n";
  }
  out << "\nAll " << sweeps.size() << " scenarios: " << all.Text() << "\n";
  return out.str();
}

bool AnyBreach(const std::vector<ScenarioSweep>& sweeps) {
  for (const ScenarioSweep& s : sweeps) {
    if (!s.faultFree.breaches.empty()) return true;
    for (const CaseResult& c : s.cases) {
      if (!c.breaches.empty()) return true;
    }
  }
  return false;
}

}  // namespace sweep
