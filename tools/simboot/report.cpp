#include "tools/simboot/report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>

#include "bootctl/vars.h"
#include "tools/simboot/json_read.h"
#include "tools/simboot/option_json.h"

namespace simboot {

using sim::operator==;
using sim::operator!=;

namespace {

constexpr size_t kLargeValue = 16;  // values longer than this are shown by their nonzero bytes
constexpr size_t kListedBytes = 8;  // byte positions listed before "..."

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

std::string Hex0x(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string Field(const sim::TraceEvent& e, const char* key) {
  for (const auto& f : e.fields) {
    if (f.first == key) return f.second;
  }
  return "";
}

// Hex fields of the platform's trace ("0x7", "01 81"); malformed text reads as 0.
uint64_t HexValue(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 16); }
// Decimal fields of the platform's trace ("128").
uint64_t DecimalValue(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 10); }

std::vector<uint8_t> BytesOf(const std::string& hex) {
  std::vector<uint8_t> bytes;
  std::istringstream in(hex);
  std::string token;
  while (in >> token) bytes.push_back(static_cast<uint8_t>(HexValue(token)));
  return bytes;
}

EFI_GUID GuidOf(const std::string& registryForm) {
  EFI_GUID guid{};
  sim::ParseGuid(registryForm, &guid);
  return guid;
}

bool IsOptionList(const std::u16string& name, const EFI_GUID& guid) {
  if (guid == PhysicalBootOrderGuid) return name == u"PhysicalBootOrder";
  return guid == EFI_GLOBAL_VARIABLE && (name == u"BootOrder" || name == u"BootNext");
}

bool IsBootOption(const std::u16string& name, const EFI_GUID& guid) {
  return guid == EFI_GLOBAL_VARIABLE && name.size() == 8 && name.compare(0, 4, u"Boot") == 0 &&
         name.find_first_not_of(u"0123456789ABCDEF", 4) == std::u16string::npos;
}

std::string Label(const std::u16string& name, const EFI_GUID& guid) {
  return sim::Utf16ToUtf8(name) + " [" + GuidText(guid) + "]";
}

// Positions where two values of the same size differ: "[92] 01 -> 00".
std::string ByteChanges(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) {
  std::string text;
  size_t listed = 0, more = 0;
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i]) continue;
    if (listed++ < kListedBytes) {
      text += (text.empty() ? "" : ", ") + std::string("[") + std::to_string(i) + "] " + Hex2(before[i]) +
              " -> " + Hex2(after[i]);
    } else {
      ++more;
    }
  }
  if (more) text += ", " + std::to_string(more) + " more";
  return text;
}

std::string ChangeText(const std::u16string& name, const EFI_GUID& guid, const std::vector<uint8_t>& before,
                       const std::vector<uint8_t>& after) {
  if (before == after) return DescribeValue(name, guid, after) + " (unchanged)";
  if (before.size() == after.size() && after.size() > kLargeValue && !IsBootOption(name, guid)) {
    return std::to_string(after.size()) + " bytes, " + ByteChanges(before, after);
  }
  return DescribeValue(name, guid, before) + " -> " + DescribeValue(name, guid, after);
}

// The variables as the driver would find them at each point of the trace:
// the scenario's, updated by every successful write and delete.
class VariableShadow {
 public:
  explicit VariableShadow(const Scenario& s) {
    for (const sim::Variable& v : s.variables) vars_.push_back(v);
  }

  const sim::Variable* Find(const std::u16string& name, const EFI_GUID& guid) const {
    for (const sim::Variable& v : vars_) {
      if (v.name == name && v.guid == guid) return &v;
    }
    return nullptr;
  }

  void Apply(const sim::TraceEvent& e) {
    if (e.kind == "Stage" && Field(e, "stage") == "BeginBoot") {
      std::vector<sim::Variable> kept;
      for (const sim::Variable& v : vars_) {
        if (v.attributes & EFI_VARIABLE_NON_VOLATILE) kept.push_back(v);
      }
      vars_ = kept;
      return;
    }
    if ((e.kind != "SetVariable" && e.kind != "DeleteVariable") || Field(e, "status") != "EFI_SUCCESS")
      return;
    const std::u16string name = sim::Utf8ToUtf16(Field(e, "name"));
    const EFI_GUID guid = GuidOf(Field(e, "guid"));
    const uint32_t attributes = static_cast<uint32_t>(HexValue(Field(e, "attributes")));
    for (size_t i = 0; i < vars_.size(); ++i) {
      if (vars_[i].name != name || vars_[i].guid != guid) continue;
      if (e.kind == "DeleteVariable") {
        vars_.erase(vars_.begin() + static_cast<long>(i));
      } else {
        const std::vector<uint8_t> data = BytesOf(Field(e, "data"));
        if (!(attributes & EFI_VARIABLE_APPEND_WRITE)) vars_[i].data.clear();
        vars_[i].data.insert(vars_[i].data.end(), data.begin(), data.end());
      }
      return;
    }
    if (e.kind == "SetVariable") {
      vars_.push_back({name, guid, attributes & ~EFI_VARIABLE_APPEND_WRITE, BytesOf(Field(e, "data"))});
    }
  }

 private:
  std::vector<sim::Variable> vars_;
};

// "Boot0001 "EFI USB Device"" for an option number, from the variables as they are.
std::string OptionText(uint16_t number, const VariableShadow& shadow) {
  char name[16];
  std::snprintf(name, sizeof name, "Boot%04X", number);
  const std::u16string name16 = sim::Utf8ToUtf16(name);
  const sim::Variable* option = shadow.Find(name16, EFI_GLOBAL_VARIABLE);
  if (option == nullptr) return std::string(name) + " (no such option)";
  const std::optional<LoadOptionView> view = ParseLoadOption(option->data);
  if (!view) return std::string(name) + " (malformed)";
  return std::string(name) + " \"" + sim::Utf16ToUtf8(view->description) + "\"";
}

std::string StageName(sim::BootStage stage) {
  switch (stage) {
    case sim::BootStage::Entry:
      return "DriverEntry";
    case sim::BootStage::EndOfDxe:
      return "End-of-DXE";
    case sim::BootStage::ReadyToLock:
      return "ready-to-lock";
    case sim::BootStage::BootManager:
      return "the boot manager";
    case sim::BootStage::ReadyToBoot:
      return "ready-to-boot";
    case sim::BootStage::ExitBootServices:
      return "exit-boot-services";
    case sim::BootStage::Done:
      return "the end of the boot";
  }
  return "?";
}

std::string ResetName(const std::optional<EFI_RESET_TYPE>& reset) {
  if (!reset) return "none";
  switch (*reset) {
    case EfiResetCold:
      return "cold";
    case EfiResetWarm:
      return "warm";
    case EfiResetShutdown:
      return "shutdown";
    case EfiResetPlatformSpecific:
      return "platform-specific";
  }
  return "unknown";
}

// JSON keys of the cost kinds, in CostKind order.
const char* const kCostKeys[] = {"ec",          "lpcIo",       "fchRegisters", "processor",
                                 "getVariable", "setVariable", "stall"};
static_assert(sizeof kCostKeys / sizeof kCostKeys[0] == static_cast<unsigned>(sim::CostKind::Count));

// `bootNext` is the option written in this boot, or null; `end` what the boot
// left behind, or null.
sim::TraceEvent BootEnd(const sim::BootOutcome& outcome, const uint16_t* bootNext,
                        const VariableShadow& shadow, const BootEndState* end) {
  sim::TraceEvent e;
  e.boot = outcome.boot;
  e.kind = "BootEnd";
  const std::string reset = ResetName(outcome.reset);
  if (outcome.powerLost) {
    e.text = "power lost during " + StageName(outcome.endedAt);
  } else if (!outcome.hung.empty()) {
    e.text = "hung during " + StageName(outcome.endedAt) + ": " + outcome.hung;
  } else if (!outcome.reset) {
    e.text = "completed";
  } else if (*outcome.reset == EfiResetShutdown) {
    e.text = "shut down during " + StageName(outcome.endedAt);
  } else {
    e.text = reset + " reset during " + StageName(outcome.endedAt);
  }
  if (outcome.entryReturned) e.text += "; DriverEntry returned " + sim::StatusName(outcome.entryStatus);
  if (outcome.booted) e.text += "; booted " + OptionText(*outcome.booted, shadow);
  e.fields = {{"reset", reset},
              {"endedAt", sim::BootStageName(outcome.endedAt)},
              {"entryReturned", outcome.entryReturned ? "true" : "false"}};
  if (outcome.entryReturned) e.fields.push_back({"entryStatus", sim::StatusName(outcome.entryStatus)});
  if (bootNext != nullptr) {
    const uint16_t number = *bootNext;
    const std::string option = OptionText(number, shadow);
    e.text += "; BootNext = " + Hex0x(number, 4) + " " + option;
    e.fields.push_back({"bootNext", Hex0x(number, 4)});
    e.fields.push_back({"bootNextOption", option});
  } else if (outcome.endedAt != sim::BootStage::Entry) {
    e.text += "; BootNext not written";
  }
  if (end != nullptr && end->tscPublished) {
    e.text += "; TSC " + std::to_string(end->tscHz) + " Hz published";
    e.fields.push_back({"tscHz", std::to_string(end->tscHz)});
  }
  if (end != nullptr) {
    // The firmware time: the total, and per kind its nanoseconds and count.
    e.fields.push_back({"firmwareNs", std::to_string(end->cost.TotalNs())});
    e.fields.push_back({"nvWrites", std::to_string(end->cost.nvWrites)});
    for (unsigned k = 0; k < static_cast<unsigned>(sim::CostKind::Count); ++k) {
      const sim::CostLine& line = end->cost.lines[k];
      e.fields.push_back({std::string("ns.") + kCostKeys[k], std::to_string(line.ns)});
      e.fields.push_back({std::string("count.") + kCostKeys[k], std::to_string(line.count)});
    }
  }
  return e;
}

bool IsBootNextWrite(const sim::TraceEvent& e) {
  return e.kind == "SetVariable" && Field(e, "status") == "EFI_SUCCESS" && Field(e, "name") == "BootNext" &&
         GuidOf(Field(e, "guid")) == EFI_GLOBAL_VARIABLE;
}

// Readable line of a variable service call, or "" for a read when not verbose.
std::string VariableLine(const sim::TraceEvent& e, const VariableShadow& before) {
  const std::u16string name = sim::Utf8ToUtf16(Field(e, "name"));
  const EFI_GUID guid = GuidOf(Field(e, "guid"));
  const std::string status = Field(e, "status");
  const std::vector<uint8_t> data = BytesOf(Field(e, "data"));
  const sim::Variable* old = before.Find(name, guid);
  const std::string label = Label(name, guid);
  if (e.kind == "GetVariable") {
    if (status == "EFI_SUCCESS") return "read   " + label + ": " + DescribeValue(name, guid, data);
    if (status == "EFI_BUFFER_TOO_SMALL") return "probe  " + label + ": " + Field(e, "size") + " bytes";
    return "read   " + label + ": " + status;
  }
  if (e.kind == "DeleteVariable") {
    if (status != "EFI_SUCCESS") return "delete " + label + ": " + status;
    return "delete " + label + (old ? " (was " + DescribeValue(name, guid, old->data) + ")" : "");
  }
  std::string line = "write  " + label;
  const std::string attributes = Field(e, "attributes");
  if (attributes != "0x7") line += " attr " + attributes;
  if (status != "EFI_SUCCESS") return line + ": " + status;
  line += ": " + (old ? ChangeText(name, guid, old->data, data) : "new " + DescribeValue(name, guid, data));
  if (IsOptionList(name, guid) && name == u"BootNext" && data.size() == 2) {
    line += " = " + OptionText(static_cast<uint16_t>(data[0] | (data[1] << 8)), before);
  }
  return line;
}

bool ShownByDefault(const sim::TraceEvent& e) {
  const std::string& kind = e.kind;
  if (kind == "LockBox" || kind == "S3Handover") return true;
  // The libraries' results; an empty heap-buffer list (no HOB taken) is news to nobody.
  if (kind == "FlashDescriptor" || kind == "BootScriptSeal" || kind == "S3TableWrite") return true;
  if (kind == "HeapBufferList") return Field(e, "nodes") != "0";
  for (const char* k :
       {"SetVariable",   "DeleteVariable", "EcWrite",        "CmosWrite", "ImcRequest", "Reset",  "Violation",
        "PlatformHook",  "BootEnd",        "PcdSet",         "Debug",     "PostCode",   "Booted", "Injected",
        "PowerLoss",     "Hang",           "ResetReturned",  "EcOverrun", "ImcIgnored", "Spi",    "FlashLock",
        "FlashRegister", "FlashId",        "HiiPackageList", "HiiString"}) {
    if (kind == k) return true;
  }
  return false;
}

std::string EventLine(const sim::TraceEvent& e, const VariableShadow& before) {
  if (e.kind == "GetVariable" || e.kind == "SetVariable" || e.kind == "DeleteVariable")
    return VariableLine(e, before);
  if (e.kind == "Reset") {
    const std::string status = Field(e, "status");
    return "reset  " + Field(e, "type") + (status == "EFI_SUCCESS" ? "" : " (" + status + ")");
  }
  if (e.kind == "Violation") return "VIOLATION " + e.text;
  if (e.kind == "PlatformHook") return "hook   " + e.text;
  if (e.kind == "PcdSet") {
    const std::string space = GuidText(GuidOf(Field(e, "space")));
    const std::string token = Hex0x(DecimalValue(Field(e, "token")), 1);
    const std::string value = Field(e, "size").empty()
                                  ? Hex0x(DecimalValue(Field(e, "value")), 1)
                                  : DescribeValue(u"", GuidOf(Field(e, "space")), BytesOf(Field(e, "data")));
    return "pcd    " + space + " " + token + " <- " + value;
  }
  if (e.kind == "Debug") return "debug  " + Field(e, "message");
  if (e.kind == "LockBox" || e.kind == "S3Handover") return "smm    " + e.text;
  if (e.kind == "PostCode") {
    const int width = static_cast<int>(DecimalValue(Field(e, "width")));
    return "post   " + Hex0x(DecimalValue(Field(e, "port")), 2) + " <- " +
           Hex0x(DecimalValue(Field(e, "value")), 2 * width);
  }
  return e.text;
}

const char* KindName(sim::PcdDatabase::Kind kind) {
  switch (kind) {
    case sim::PcdDatabase::Kind::U8:
      return "u8";
    case sim::PcdDatabase::Kind::U16:
      return "u16";
    case sim::PcdDatabase::Kind::U32:
      return "u32";
    case sim::PcdDatabase::Kind::U64:
      return "u64";
    case sim::PcdDatabase::Kind::Bool:
      return "bool";
    case sim::PcdDatabase::Kind::Ptr:
      return "ptr";
  }
  return "?";
}

std::string PcdValueText(const EFI_GUID& space, const sim::PcdDatabase::Token& t) {
  switch (t.kind) {
    case sim::PcdDatabase::Kind::U8:
      return Hex0x(t.value, 2);
    case sim::PcdDatabase::Kind::U16:
      return Hex0x(t.value, 4);
    case sim::PcdDatabase::Kind::U32:
      return Hex0x(t.value, 8);
    case sim::PcdDatabase::Kind::U64:
      return Hex0x(t.value, 16);
    case sim::PcdDatabase::Kind::Bool:
      return t.value ? "true" : "false";
    case sim::PcdDatabase::Kind::Ptr:
      return DescribeValue(u"", space, t.bytes);
  }
  return "?";
}

// The PCD values the last boot left, each with its declared value when the
// driver changed it.
std::string PcdSection(const RunReport& report) {
  bool set = false;
  for (const sim::TraceEvent& e : report.events) set = set || e.kind == "PcdSet";
  if (report.final.pcd.empty() && !set) return "";
  std::string out = std::string("  PCD (protocol ") +
                    (report.final.pcdInstalled ? "installed" : "not installed") +
                    "; values at the end of the last boot):\n";
  for (size_t i = 0; i < report.final.pcd.size(); ++i) {
    const PcdSpace& declared = report.final.pcd[i];
    const PcdSpace* now = i < report.pcdValues.size() ? &report.pcdValues[i] : nullptr;
    out += "    " + GuidText(declared.guid) + "\n";
    for (size_t j = 0; j < declared.tokens.size(); ++j) {
      const sim::PcdDatabase::Token& d = declared.tokens[j];
      const sim::PcdDatabase::Token& t = now != nullptr && j < now->tokens.size() ? now->tokens[j] : d;
      out += "      " + Hex0x(t.number, 1) + " " + KindName(t.kind) + " " + PcdValueText(declared.guid, t);
      if (t.value != d.value || t.bytes != d.bytes)
        out += " (declared " + PcdValueText(declared.guid, d) + ")";
      out += "\n";
    }
  }
  return out;
}

std::string CpuSection(const RunReport& report) {
  const Scenario& state = report.final;
  std::string out;
  std::map<uint32_t, uint64_t> others = state.msrs;
  PstateForm form;
  if (PstatesOf(state.msrs, &form)) {
    out += "  P-states: current P" + std::to_string(form.current);
    for (size_t n = 0; n < form.definitions.size(); ++n) {
      const unsigned fid = form.definitions[n].first, did = form.definitions[n].second;
      out += std::string(n == 0 ? "; " : ", ") + "P" + std::to_string(n) + " " +
             (did == 0 ? std::string("no frequency") : std::to_string(fid * 200 / did) + " MHz") + " (FID " +
             Hex0x(fid, 2) + " DID " + std::to_string(did) + ")";
      others.erase(kPstateDefinitionMsr + static_cast<uint32_t>(n));
    }
    others.erase(kPstateStatusMsr);
    out += "\n";
  }
  std::string msrs;
  for (const auto& [index, value] : others) msrs += " " + Hex0x(index, 8) + "=" + Hex0x(value, 1);
  out += "  CPU: MSRs" + (msrs.empty() ? std::string(" none") : msrs) + "; CPUID 0x80000001 EAX " +
         Hex0x(state.cpuid80000001Eax, 8) + "; post-code probe " +
         (state.postCodeProbe ? "answers " + Hex0x(state.postCodeProbe, 4) : std::string("silent")) +
         "; PAUSE " + std::to_string(state.pauseTicks) + " TSC ticks\n";
  const BootEndState* last = report.bootEnds.empty() ? nullptr : &report.bootEnds.back();
  out += "  TSC frequency table: " +
         (last != nullptr && last->tscPublished ? std::to_string(last->tscHz) + " Hz"
                                                : std::string("not published")) +
         "\n";
  return out;
}

}  // namespace

std::string DescribeValue(const std::u16string& name, const EFI_GUID& guid,
                          const std::vector<uint8_t>& data) {
  if (IsBootOption(name, guid)) {
    if (const std::optional<LoadOptionView> view = ParseLoadOption(data)) {
      std::string path;
      for (const sim::PathNode& node : view->nodes) {
        if (node.type == 0x7F && node.subType == 0xFF) break;
        path += (path.empty() ? "" : "/") + NodeKindName(node);
      }
      return "load option \"" + sim::Utf16ToUtf8(view->description) + "\" via " +
             (path.empty() ? "(empty path)" : path) + ((view->attributes & 1) ? "" : ", inactive");
    }
  }
  if (IsOptionList(name, guid) && data.size() % 2 == 0 && !data.empty()) {
    std::string text;
    for (size_t i = 0; i < data.size(); i += 2)
      text += (text.empty() ? "" : " ") + Hex2(data[i + 1]) + Hex2(data[i]);
    return text;
  }
  if (data.size() > kLargeValue) {
    std::string text = std::to_string(data.size()) + " bytes, ";
    size_t listed = 0, more = 0;
    for (size_t i = 0; i < data.size(); ++i) {
      if (data[i] == 0) continue;
      if (listed++ < kListedBytes) {
        text += std::string(listed == 1 ? "nonzero " : " ") + "[" + std::to_string(i) + "]=" + Hex2(data[i]);
      } else {
        ++more;
      }
    }
    if (listed == 0) text += "all zero";
    if (more) text += " and " + std::to_string(more) + " more";
    return text;
  }
  return data.empty() ? "(empty)" : sim::HexBytes(data);
}

RunReport MakeReport(const Scenario& initial, const NotebookRun& run,
                     const std::vector<sim::BootOutcome>& boots) {
  RunReport report;
  report.initial = initial;
  report.final = run.State();
  report.boots = boots;
  report.violations = run.platform.violations;
  report.bootEnds = run.bootEnds;
  report.pcdValues = run.PcdValues();

  VariableShadow shadow(initial);
  bool bootNextWritten = false;
  uint16_t bootNext = 0;
  const auto endBoot = [&](unsigned boot) {
    for (const sim::BootOutcome& o : boots) {
      if (o.boot != boot) continue;
      const BootEndState* end = nullptr;
      for (const BootEndState& b : run.bootEnds) {
        if (b.boot == boot) end = &b;
      }
      report.events.push_back(BootEnd(o, bootNextWritten ? &bootNext : nullptr, shadow, end));
    }
    bootNextWritten = false;
  };
  const std::vector<sim::TraceEvent>& trace = run.platform.trace;
  for (size_t i = 0; i < trace.size(); ++i) {
    const sim::TraceEvent& e = trace[i];
    if (IsBootNextWrite(e)) {
      const std::vector<uint8_t> data = BytesOf(Field(e, "data"));
      if (data.size() == 2) {
        bootNext = static_cast<uint16_t>(data[0] | (data[1] << 8));
        bootNextWritten = true;
      }
    }
    shadow.Apply(e);
    report.events.push_back(e);
    if (i + 1 == trace.size() || trace[i + 1].boot != e.boot) endBoot(e.boot);
  }
  return report;
}

std::string FormatTrace(const RunReport& report, bool verbose) {
  std::string out;
  VariableShadow shadow(report.initial);
  std::string pendingStage;  // printed once an event under it is shown
  for (const sim::TraceEvent& e : report.events) {
    if (e.kind == "Stage") {
      if (Field(e, "stage") == "BeginBoot") out += "Boot " + std::to_string(e.boot) + "\n";
      pendingStage = e.text;
      if (verbose) {
        out += "  -- " + pendingStage + "\n";
        pendingStage.clear();
      }
      shadow.Apply(e);
      continue;
    }
    if (e.kind == "BootEnd") {
      out += "  => " + e.text + "\n";
      continue;
    }
    if (verbose || ShownByDefault(e)) {
      if (!pendingStage.empty()) out += "  -- " + pendingStage + "\n";
      pendingStage.clear();
      out += "     " + EventLine(e, shadow) + "\n";
    }
    shadow.Apply(e);
  }
  return out;
}

std::string FormatSummary(const RunReport& report) {
  std::string out;
  for (const sim::TraceEvent& e : report.events) {
    if (e.kind == "BootEnd") out += "  boot " + std::to_string(e.boot) + ": " + e.text + "\n";
  }
  if (report.boots.empty()) {
    out += "  no boot ran\n";
  } else if (report.boots.back().reset == EfiResetShutdown) {
    out += "  stopped: the machine is off\n";
  } else if (report.boots.back().reset) {
    const size_t n = report.boots.size();
    out += "  stopped: still resetting after " + std::to_string(n) + (n == 1 ? " boot" : " boots") +
           " (the most allowed)\n";
  } else {
    out += "  stopped: the last boot ended without a reset\n";
  }
  for (const std::string& v : report.violations) out += "  VIOLATION " + v + "\n";

  std::string changes;
  const Scenario& a = report.initial;
  const Scenario& b = report.final;
  for (const sim::Variable& v : a.variables) {
    const auto it = std::find_if(b.variables.begin(), b.variables.end(), [&](const sim::Variable& w) {
      return w.name == v.name && w.guid == v.guid;
    });
    if (it == b.variables.end()) {
      changes +=
          "    deleted " + Label(v.name, v.guid) + " (was " + DescribeValue(v.name, v.guid, v.data) + ")\n";
    } else if (it->data != v.data || it->attributes != v.attributes) {
      changes += "    changed " + Label(v.name, v.guid) + ": " + ChangeText(v.name, v.guid, v.data, it->data);
      if (it->attributes != v.attributes)
        changes += ", attributes " + Hex0x(v.attributes, 1) + " -> " + Hex0x(it->attributes, 1);
      changes += "\n";
    }
  }
  for (const sim::Variable& w : b.variables) {
    const auto it = std::find_if(a.variables.begin(), a.variables.end(), [&](const sim::Variable& v) {
      return w.name == v.name && w.guid == v.guid;
    });
    if (it == a.variables.end()) {
      changes += "    created " + Label(w.name, w.guid) + ": " + DescribeValue(w.name, w.guid, w.data) + "\n";
    }
  }
  for (size_t i = 0; i < a.cmos.size(); ++i) {
    if (a.cmos[i] != b.cmos[i]) {
      changes += "    CMOS " + Hex0x(i, 2) + ": " + Hex0x(a.cmos[i], 2) + " -> " + Hex0x(b.cmos[i], 2) + "\n";
    }
  }
  for (size_t i = 0; i < a.ecRegisters.size(); ++i) {
    if (a.ecRegisters[i] != b.ecRegisters[i]) {
      changes += "    EC register " + Hex0x(i, 2) + ": " + Hex0x(a.ecRegisters[i], 2) + " -> " +
                 Hex0x(b.ecRegisters[i], 2) + "\n";
    }
  }
  out += changes.empty() ? "  persistent state unchanged\n" : "  changes to persistent state:\n" + changes;
  return out;
}

std::string FormatState(const RunReport& report) {
  const Scenario& state = report.final;
  std::string out;
  size_t width = 0;
  for (const sim::Variable& v : state.variables) width = std::max(width, Label(v.name, v.guid).size());
  out += "  variables (" + std::to_string(state.variables.size()) + "):\n";
  for (const sim::Variable& v : state.variables) {
    std::string label = Label(v.name, v.guid);
    label.resize(width, ' ');
    out += "    " + label + "  ";
    if (v.attributes != 7) out += "attr " + Hex0x(v.attributes, 1) + " ";
    out += DescribeValue(v.name, v.guid, v.data) + "\n";
  }
  std::string cmos, ec;
  for (size_t i = 0; i < state.cmos.size(); ++i) {
    if (state.cmos[i]) cmos += " " + Hex0x(i, 2) + "=" + Hex0x(state.cmos[i], 2);
  }
  for (size_t i = 0; i < state.ecRegisters.size(); ++i) {
    if (state.ecRegisters[i]) ec += " " + Hex0x(i, 2) + "=" + Hex0x(state.ecRegisters[i], 2);
  }
  out += "  CMOS:" + (cmos.empty() ? std::string(" all zero") : cmos) + "\n";
  out += "  EC registers:" + (ec.empty() ? std::string(" all zero") : ec) + "\n";
  out += PcdSection(report);
  out += CpuSection(report);

  std::string ecBehaviour;
  if (state.ec.neverAnswers) ecBehaviour += ", never answers";
  if (state.ec.busyAtBootNs)
    ecBehaviour += ", busy for " + std::to_string(state.ec.busyAtBootNs) + " ns at boot";
  const sim::EmbeddedController::Behaviour defaultEc;
  if (state.ec.takeNs != defaultEc.takeNs || state.ec.answerNs != defaultEc.answerNs) {
    ecBehaviour += ", takes a byte in " + std::to_string(state.ec.takeNs) + " ns and answers in " +
                   std::to_string(state.ec.answerNs) + " ns";
  }
  if (state.ec.goesDeadAfter)
    ecBehaviour += ", dies after " + std::to_string(*state.ec.goesDeadAfter) + " bytes";
  if (state.ec.staleOutput) ecBehaviour += ", stale output " + Hex0x(*state.ec.staleOutput, 2);
  out +=
      "  platform: boot mode " + BootModeText(state.bootMode) + "; EC " +
      (ecBehaviour.empty() ? "answers" : ecBehaviour.substr(2)) + "; IMC " +
      (state.imcEnabled ? (state.imcAcknowledges ? "enabled" : "enabled, never acknowledges") : "disabled") +
      "; platform hook " + (state.platformHook ? "installed" : "absent") + "; purge-idle marker " +
      (state.purgeIdleMarker ? "on " + std::to_string(state.purgeIdleMarker) + " handle(s)"
                             : std::string("absent")) +
      "; debug console " + (state.debugConsole ? "installed" : "absent") + "; PCD protocol " +
      (state.pcdInstalled ? "installed" : "absent") + "\n";
  return out;
}

std::string FormatCosts(const RunReport& report) {
  // One row per boot: the total, then each kind's microseconds and count,
  // then the NV writes; each column as wide as its widest cell.
  const unsigned kinds = static_cast<unsigned>(sim::CostKind::Count);
  std::vector<std::vector<std::string>> rows(1);
  rows[0].push_back("boot");
  rows[0].push_back("total");
  for (unsigned k = 0; k < kinds; ++k) rows[0].push_back(sim::CostKindName(static_cast<sim::CostKind>(k)));
  rows[0].push_back("NV writes");
  for (const BootEndState& b : report.bootEnds) {
    std::vector<std::string> row{std::to_string(b.boot), sim::Microseconds(b.cost.TotalNs())};
    for (unsigned k = 0; k < kinds; ++k) {
      const sim::CostLine& line = b.cost.lines[k];
      row.push_back(sim::Microseconds(line.ns) + " (" + std::to_string(line.count) + ")");
    }
    row.push_back(std::to_string(b.cost.nvWrites));
    rows.push_back(std::move(row));
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  std::string out;
  for (const auto& row : rows) {
    out += " ";
    for (size_t c = 0; c < row.size(); ++c) out += std::string(widths[c] - row[c].size() + 2, ' ') + row[c];
    out += "\n";
  }
  return out;
}

std::string TraceJson(const RunReport& report) {
  OrderedJson list = OrderedJson::array();
  for (const sim::TraceEvent& e : report.events) {
    OrderedJson entry = {{"boot", e.boot}, {"kind", e.kind}, {"text", e.text}};
    for (const auto& f : e.fields) {
      const bool reserved = f.first == "boot" || f.first == "kind" || f.first == "text";
      entry[reserved ? "field-" + f.first : f.first] = f.second;
    }
    list.push_back(entry);
  }
  return list.dump(2, ' ', false, OrderedJson::error_handler_t::replace) + "\n";
}

}  // namespace simboot
