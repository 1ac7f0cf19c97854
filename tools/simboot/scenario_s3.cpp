// Scenario keys of the SMM side and the S3 records.
//
//   "smmCommunication": {"installed": true, "lockBoxSilent": false,
//                        "regions": [{"type": 7, "pages": 1}], "descriptorSize": 48,
//                        "rawRegionTable": "01 00 00 00 ..."}
//       EFI_SMM_COMMUNICATION_PROTOCOL with the lock-box service and the
//       chipset S3 save handler behind it. "installed": false leaves the
//       protocol out (the handlers still exist). "lockBoxSilent": the lock-box
//       service takes requests but never answers. "regions" publishes the
//       communication-region table with one memory descriptor per entry
//       ("type" a UEFI memory type, default 7 conventional memory; "pages" the
//       NumberOfPages, any 64-bit value; the simulator backs each region with
//       real memory) at "descriptorSize" stride (40 to 4096, a multiple of 8,
//       default 48). "rawRegionTable" publishes these bytes as the table
//       instead ([1, "0x81"] or "01 81"; at most 65536 bytes).
//   "s3":               {"tableSize": 0, "commBuffer": true,
//                        "bootScriptTable": {"pages": 2, "scriptLength": 32}}
//       Declares the S3 PCDs: PcdChipsetS3LibTableSize is "tableSize",
//       PcdChipsetS3LibCommBuffer names a 64-byte buffer of the platform
//       ("commBuffer": false makes it 0), the other tokens start at 0.
//       "bootScriptTable" has another module publish a boot-script table of
//       "pages" pages (1 to 256) holding "scriptLength" bytes of script (at
//       most pages x 4096 - 3) and its BootScriptPrivateData record through
//       PcdBootScriptRecord, filled afresh at every boot.
//       "tableWrites": {"signature": "0x54335341", "boundaryMarker":
//       "0x01558844", "nextEntryOffset": "0x40"} has another module write
//       these fields of the chipset S3 table (Signature, the UINT32 at the
//       header's BoundaryOffset, NextEntryOffset; at least one) once the
//       driver's entry has returned, before End-of-DXE.
//       "smmRecord": true (24 zero bytes) or the 24 bytes of a
//       BootScriptPrivateData ([1, "0x81"] or "01 81 ...") that another
//       module published through PcdBootScriptSmmRecord, filled afresh at
//       every boot.
#include "tools/simboot/scenario_s3.h"

#include <cstdio>
#include <string>

namespace simboot {

const char* const kS3ScenarioKeys[2] = {"smmCommunication", "s3"};

namespace {

constexpr uint64_t kMaxRawTable = 0x10000;
constexpr uint64_t kMaxRegions = 256;
constexpr uint64_t kMaxTablePages = 256;

std::string HexText(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::vector<uint8_t> ReadRawTable(const Json& value, const std::string& path) {
  const std::vector<uint8_t> bytes = ReadBytes(value, path);
  if (bytes.size() > kMaxRawTable) {
    throw PathError(path, std::to_string(bytes.size()) + " bytes is too large (at most 65536)");
  }
  return bytes;
}

SmmCommunicationSetting ReadCommunication(const Json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"installed", "lockBoxSilent", "regions", "descriptorSize", "rawRegionTable"});
  SmmCommunicationSetting s;
  if (value.contains("installed")) s.installed = ReadBool(value["installed"], KeyPath(path, "installed"));
  if (value.contains("lockBoxSilent"))
    s.lockBoxSilent = ReadBool(value["lockBoxSilent"], KeyPath(path, "lockBoxSilent"));
  if (value.contains("regions") && value.contains("rawRegionTable")) {
    throw PathError(path, "\"regions\" and \"rawRegionTable\" both describe the region table; give one");
  }
  if (value.contains("descriptorSize")) {
    const std::string at = KeyPath(path, "descriptorSize");
    if (!value.contains("regions")) throw PathError(at, "a descriptor size needs \"regions\"");
    const uint64_t size = ReadUnsigned(value["descriptorSize"], at, 4096, "a descriptor size (40 to 4096)");
    if (size < 40 || size % 8 != 0) {
      throw PathError(at, std::to_string(size) + " is not a descriptor size: 40 to 4096, a multiple of 8");
    }
    s.descriptorSize = static_cast<uint32_t>(size);
  }
  if (value.contains("regions")) {
    const std::string at = KeyPath(path, "regions");
    const Json& list = value["regions"];
    ExpectArray(list, at);
    if (list.size() > kMaxRegions) throw PathError(at, "at most 256 regions");
    s.regionTable = true;
    for (size_t i = 0; i < list.size(); ++i) {
      const std::string entry = IndexPath(at, i);
      ExpectObject(list[i], entry);
      CheckKeys(list[i], entry, {"type", "pages"});
      sim::SmmCommunication::Region r;
      if (list[i].contains("type")) {
        r.type = static_cast<uint32_t>(
            ReadUnsigned(list[i]["type"], KeyPath(entry, "type"), 0xFFFFFFFF, "a memory type (32-bit)"));
      }
      if (list[i].contains("pages")) {
        r.pages = ReadUnsigned(list[i]["pages"], KeyPath(entry, "pages"), UINT64_MAX, "a page count");
      }
      s.regions.push_back(r);
    }
  }
  if (value.contains("rawRegionTable")) {
    s.rawRegionTable = ReadRawTable(value["rawRegionTable"], KeyPath(path, "rawRegionTable"));
  }
  return s;
}

S3Setting ReadS3(const Json& value, const std::string& path) {
  ExpectObject(value, path);
  CheckKeys(value, path, {"tableSize", "commBuffer", "bootScriptTable", "tableWrites", "smmRecord"});
  S3Setting s;
  if (value.contains("tableSize")) {
    s.tableSize = ReadUnsigned(value["tableSize"], KeyPath(path, "tableSize"), UINT64_MAX, "a 64-bit size");
  }
  if (value.contains("commBuffer")) s.commBuffer = ReadBool(value["commBuffer"], KeyPath(path, "commBuffer"));
  if (value.contains("bootScriptTable")) {
    const std::string at = KeyPath(path, "bootScriptTable");
    const Json& t = value["bootScriptTable"];
    ExpectObject(t, at);
    CheckKeys(t, at, {"pages", "scriptLength"});
    BootScriptTableSetting b;
    if (t.contains("pages")) {
      b.pages = static_cast<uint16_t>(
          ReadUnsigned(t["pages"], KeyPath(at, "pages"), kMaxTablePages, "a page count (1 to 256)"));
      if (b.pages == 0) throw PathError(KeyPath(at, "pages"), "a table has at least one page");
    }
    if (t.contains("scriptLength")) {
      const std::string lengthPath = KeyPath(at, "scriptLength");
      const uint64_t length = ReadUnsigned(t["scriptLength"], lengthPath, 0xFFFFFFFF, "a 32-bit length");
      const uint64_t room = uint64_t{b.pages} * 4096 - 3;
      if (length > room) {
        throw PathError(lengthPath, std::to_string(length) + " bytes leave no room for the terminator in " +
                                        std::to_string(b.pages) + " page(s) (at most " +
                                        std::to_string(room) + ")");
      }
      b.scriptLength = static_cast<uint32_t>(length);
    }
    s.bootScriptTable = b;
  }
  if (value.contains("tableWrites")) {
    const std::string at = KeyPath(path, "tableWrites");
    const Json& w = value["tableWrites"];
    ExpectObject(w, at);
    CheckKeys(w, at, {"signature", "boundaryMarker", "nextEntryOffset"});
    if (w.empty()) throw PathError(at, "names no field to write");
    sim::ChipsetS3TableWrites writes;
    if (w.contains("signature")) {
      writes.signature = static_cast<uint32_t>(
          ReadUnsigned(w["signature"], KeyPath(at, "signature"), 0xFFFFFFFF, "a 32-bit value"));
    }
    if (w.contains("boundaryMarker")) {
      writes.boundaryMarker = static_cast<uint32_t>(
          ReadUnsigned(w["boundaryMarker"], KeyPath(at, "boundaryMarker"), 0xFFFFFFFF, "a 32-bit value"));
    }
    if (w.contains("nextEntryOffset")) {
      writes.nextEntryOffset =
          ReadUnsigned(w["nextEntryOffset"], KeyPath(at, "nextEntryOffset"), UINT64_MAX, "a 64-bit value");
    }
    s.tableWrites = writes;
  }
  if (value.contains("smmRecord")) {
    const std::string at = KeyPath(path, "smmRecord");
    const Json& r = value["smmRecord"];
    if (r.is_boolean()) {
      if (ReadBool(r, at))
        s.smmRecord = std::vector<uint8_t>(sim::PublishedSmmBootScriptRecord::kRecordSize, 0);
    } else {
      std::vector<uint8_t> bytes = ReadBytes(r, at);
      if (bytes.size() != sim::PublishedSmmBootScriptRecord::kRecordSize) {
        throw PathError(at, std::to_string(bytes.size()) + " bytes; a record has 24");
      }
      s.smmRecord = std::move(bytes);
    }
  }
  return s;
}

bool SameRegions(const std::vector<sim::SmmCommunication::Region>& a,
                 const std::vector<sim::SmmCommunication::Region>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].type != b[i].type || a[i].pages != b[i].pages) return false;
  }
  return true;
}

}  // namespace

bool operator==(const S3Scenario& a, const S3Scenario& b) {
  if (a.smmCommunication.has_value() != b.smmCommunication.has_value() ||
      a.s3.has_value() != b.s3.has_value())
    return false;
  if (a.smmCommunication) {
    const SmmCommunicationSetting& x = *a.smmCommunication;
    const SmmCommunicationSetting& y = *b.smmCommunication;
    if (x.installed != y.installed || x.lockBoxSilent != y.lockBoxSilent || x.regionTable != y.regionTable ||
        !SameRegions(x.regions, y.regions) || x.descriptorSize != y.descriptorSize ||
        x.rawRegionTable != y.rawRegionTable)
      return false;
  }
  if (a.s3) {
    const S3Setting& x = *a.s3;
    const S3Setting& y = *b.s3;
    if (x.tableSize != y.tableSize || x.commBuffer != y.commBuffer ||
        x.bootScriptTable.has_value() != y.bootScriptTable.has_value())
      return false;
    if (x.bootScriptTable && (x.bootScriptTable->pages != y.bootScriptTable->pages ||
                              x.bootScriptTable->scriptLength != y.bootScriptTable->scriptLength))
      return false;
    if (x.tableWrites.has_value() != y.tableWrites.has_value() || x.smmRecord != y.smmRecord) return false;
    if (x.tableWrites && (x.tableWrites->signature != y.tableWrites->signature ||
                          x.tableWrites->boundaryMarker != y.tableWrites->boundaryMarker ||
                          x.tableWrites->nextEntryOffset != y.tableWrites->nextEntryOffset))
      return false;
  }
  return true;
}

void ReadS3Keys(const Json& root, S3Scenario* out) {
  if (root.contains("smmCommunication"))
    out->smmCommunication = ReadCommunication(root["smmCommunication"], "smmCommunication");
  if (root.contains("s3")) out->s3 = ReadS3(root["s3"], "s3");
}

void WriteS3Keys(const S3Scenario& s3, OrderedJson& root) {
  if (s3.smmCommunication) {
    const SmmCommunicationSetting& c = *s3.smmCommunication;
    OrderedJson j;
    j["installed"] = c.installed;
    j["lockBoxSilent"] = c.lockBoxSilent;
    if (c.regionTable) {
      OrderedJson regions = OrderedJson::array();
      for (const sim::SmmCommunication::Region& r : c.regions) {
        regions.push_back({{"type", r.type}, {"pages", HexText(r.pages)}});
      }
      j["regions"] = regions;
      j["descriptorSize"] = c.descriptorSize;
    }
    if (c.rawRegionTable) j["rawRegionTable"] = sim::HexBytes(*c.rawRegionTable);
    root["smmCommunication"] = j;
  }
  if (s3.s3) {
    const S3Setting& s = *s3.s3;
    OrderedJson j;
    j["tableSize"] = HexText(s.tableSize);
    j["commBuffer"] = s.commBuffer;
    if (s.bootScriptTable) {
      j["bootScriptTable"] = {{"pages", s.bootScriptTable->pages},
                              {"scriptLength", s.bootScriptTable->scriptLength}};
    }
    if (s.tableWrites) {
      OrderedJson w = OrderedJson::object();
      if (s.tableWrites->signature) w["signature"] = HexText(*s.tableWrites->signature);
      if (s.tableWrites->boundaryMarker) w["boundaryMarker"] = HexText(*s.tableWrites->boundaryMarker);
      if (s.tableWrites->nextEntryOffset) w["nextEntryOffset"] = HexText(*s.tableWrites->nextEntryOffset);
      j["tableWrites"] = w;
    }
    if (s.smmRecord) j["smmRecord"] = sim::HexBytes(*s.smmRecord);
    root["s3"] = j;
  }
}

std::unique_ptr<S3Stand> MakeS3Stand(const S3Scenario& s3, sim::Platform& platform, sim::PcdDatabase& pcd) {
  auto stand = std::make_unique<S3Stand>();
  if (!s3.smmCommunication && !s3.s3) return stand;
  stand->communication = std::make_unique<sim::SmmCommunication>(platform);
  sim::SmmCommunication& comm = *stand->communication;
  comm.installed = false;
  if (s3.smmCommunication) {
    const SmmCommunicationSetting& c = *s3.smmCommunication;
    comm.installed = c.installed;
    comm.regionTable = c.regionTable;
    comm.regions = c.regions;
    comm.descriptorSize = c.descriptorSize;
    comm.rawRegionTable = c.rawRegionTable;
  }
  stand->lockBox = std::make_unique<sim::LockBoxHandler>(platform, comm);
  stand->lockBox->silent = s3.smmCommunication && s3.smmCommunication->lockBoxSilent;
  stand->chipsetS3 = std::make_unique<sim::ChipsetS3SaveHandler>(platform, comm);
  if (s3.s3) {
    sim::DeclareS3Pcds(pcd, s3.s3->commBuffer ? stand->chipsetS3->CommBufferAddress() : 0, s3.s3->tableSize);
    if (const auto& t = s3.s3->bootScriptTable) {
      stand->bootScript =
          std::make_unique<sim::PublishedBootScript>(platform, pcd, t->pages, t->scriptLength);
    }
    if (s3.s3->smmRecord) {
      stand->smmRecord =
          std::make_unique<sim::PublishedSmmBootScriptRecord>(platform, pcd, *s3.s3->smmRecord);
    }
    if (s3.s3->tableWrites) sim::WriteChipsetS3TableAtEndOfDxe(platform, pcd, *s3.s3->tableWrites);
    sim::WatchBootScriptSealing(platform, pcd);
  }
  return stand;
}

}  // namespace simboot
