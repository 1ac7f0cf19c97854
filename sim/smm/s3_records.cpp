// The S3 records other firmware modules publish (PCDs, a boot-script table
// and its SMM copy), the boot-script sealing view and the chipset S3 table
// writes at End-of-DXE.

#include <sys/mman.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/platform_impl.h"
#include "sim/smm/comm_bytes.h"
#include "sim/smm/smm_comm.h"

namespace sim {

using namespace comm;

// ---------------------------------------------------------------- S3 records and PCDs

void DeclareS3Pcds(PcdDatabase& pcd, uint64_t commBuffer, uint64_t tableSize) {
  using Kind = PcdDatabase::Kind;
  pcd.Declare(kBootScriptPcdTokenSpace, 0x30000, Kind::U64, 0);
  pcd.Declare(kBootScriptPcdTokenSpace, 0x30001, Kind::U64, 0);
  pcd.Declare(kChipsetS3LibPcdTokenSpace, 0x27000, Kind::U64, 0);
  pcd.Declare(kChipsetS3LibPcdTokenSpace, 0x27001, Kind::U64, commBuffer);
  pcd.Declare(kChipsetS3LibPcdTokenSpace, 0x27002, Kind::U64, 0);
  pcd.Declare(kChipsetS3LibPcdTokenSpace, 0x27003, Kind::U64, tableSize);
}

namespace {

constexpr size_t kScriptHeaderSize = 13;

void* MapLow(uint64_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  if (p == MAP_FAILED) {
    std::fprintf(stderr, "sim: cannot map %" PRIu64 " bytes below 4 GiB\n", bytes);
    std::abort();
  }
  return p;
}

}  // namespace

PublishedBootScript::PublishedBootScript(Platform& platform, PcdDatabase& pcd, uint16_t pages,
                                         uint32_t scriptLength)
    : pages_(pages), scriptLength_(scriptLength) {
  if (pages == 0 || scriptLength > TableBytes()) {
    std::fprintf(stderr, "sim: a boot-script table of %u pages cannot hold %u bytes of script\n", pages,
                 scriptLength);
    std::abort();
  }
  table_ = static_cast<uint8_t*>(MapLow(TableBytes()));
  record_ = static_cast<uint8_t*>(MapLow(kPage));
  pcd.Declare(kBootScriptPcdTokenSpace, 0x30000, PcdDatabase::Kind::U64, RecordAddress());
  Fill();
  platform.bootHooks.push_back([this](Platform&) { Fill(); });
}

PublishedBootScript::~PublishedBootScript() {
  munmap(table_, TableBytes());
  munmap(record_, kPage);
}

std::vector<uint8_t> PublishedBootScript::Script() const {
  std::vector<uint8_t> script(scriptLength_);
  // Header: opcode 0x00AA, header length 13, version 1, table length.
  const uint8_t header[kScriptHeaderSize] = {0xAA, 0x00, kScriptHeaderSize, 0x01, 0x00};
  for (size_t i = 0; i < script.size(); ++i) {
    // Entry bytes after the header: a pattern no byte of which is the
    // terminator's, so a copy that stops short shows.
    script[i] = i < kScriptHeaderSize ? header[i] : static_cast<uint8_t>(0x10 + (i * 7) % 0xE0);
  }
  for (size_t i = 0; i < 4 && 5 + i < script.size(); ++i) script[5 + i] = (scriptLength_ >> (8 * i)) & 0xFF;
  return script;
}

void PublishedBootScript::Fill() {
  std::memset(table_, 0, TableBytes());
  const std::vector<uint8_t> script = Script();
  std::memcpy(table_, script.data(), script.size());
  // The length field lies in the table whether or not the script reaches it.
  Put32(table_ + 5, scriptLength_);
  std::memset(record_, 0, kPage);
  Put64(record_ + 0, TableAddress());
  Put32(record_ + 8, scriptLength_);
  const uint16_t pages = pages_;
  std::memcpy(record_ + 12, &pages, sizeof pages);
}

PublishedSmmBootScriptRecord::PublishedSmmBootScriptRecord(Platform& platform, PcdDatabase& pcd,
                                                           std::vector<uint8_t> bytes)
    : bytes_(std::move(bytes)) {
  if (bytes_.size() != kRecordSize) {
    std::fprintf(stderr, "sim: an SMM boot-script record has %zu bytes, not %zu\n", bytes_.size(),
                 kRecordSize);
    std::abort();
  }
  record_ = static_cast<uint8_t*>(MapLow(kPage));
  pcd.Declare(kBootScriptPcdTokenSpace, 0x30001, PcdDatabase::Kind::U64, Address());
  auto fill = [this]() {
    std::memset(record_, 0, kPage);
    std::memcpy(record_, bytes_.data(), bytes_.size());
  };
  fill();
  platform.bootHooks.push_back([fill](Platform&) { fill(); });
}

PublishedSmmBootScriptRecord::~PublishedSmmBootScriptRecord() { munmap(record_, kPage); }

namespace {

constexpr uint64_t kShownTableBytes = 256;
constexpr size_t kTerminatorSize = 3;

// What the sealing view read; formatted when the trace is read.
struct SealSnapshot {
  uint64_t record = 0;
  bool recordRead = false;
  uint8_t bytes[24] = {};
  bool tableRead = false;
  uint32_t tableLength = 0;    // the UINT32 at offset 5
  std::string problem;         // why the table was not read as far as its length says
  std::vector<uint8_t> table;  // the bytes covered by the length, up to kShownTableBytes
  uint64_t tableBytes = 0;     // bytes covered by the length that were read
  uint32_t tableCrc = 0;       // their CRC-32, when more than kShownTableBytes
  std::vector<uint8_t> terminator;
};

SealSnapshot ReadSeal(const Platform& platform, const PcdDatabase& pcd) {
  SealSnapshot s;
  if (const PcdDatabase::Token* t = pcd.Find(kBootScriptPcdTokenSpace, 0x30000)) s.record = t->value;
  if (s.record == 0) return s;
  s.recordRead = HostRead(s.record, s.bytes, sizeof s.bytes);
  const uint64_t table = Get64(s.bytes);
  if (!s.recordRead || table == 0) return s;
  const uint32_t scriptLength = Get32(s.bytes + 8);
  uint16_t pages;
  std::memcpy(&pages, s.bytes + 12, sizeof pages);
  const uint64_t room = std::min<uint64_t>(uint64_t{pages} * kPage, RoomInAllocation(platform, table));
  uint8_t header[9];
  if (room < sizeof header || !HostRead(table, header, sizeof header)) {
    s.problem = "the table header is not readable";
    return s;
  }
  s.tableRead = true;
  s.tableLength = Get32(header + 5);
  uint64_t length = s.tableLength;
  if (length > room) {
    s.problem = "the length runs past the table's " + std::to_string(room) + " bytes";
    length = room;
  }
  std::vector<uint8_t> bytes(length);
  if (!HostRead(table, bytes.data(), bytes.size())) {
    s.problem = "the table is not readable";
    return s;
  }
  s.tableBytes = length;
  if (length > kShownTableBytes) {
    s.tableCrc = Crc32(bytes.data(), bytes.size());
    bytes.resize(kShownTableBytes);
  }
  s.table = std::move(bytes);
  if (uint64_t{scriptLength} + kTerminatorSize <= room) {
    s.terminator.resize(kTerminatorSize);
    if (!HostRead(table + scriptLength, s.terminator.data(), kTerminatorSize)) s.terminator.clear();
  }
  return s;
}

void FormatSeal(const SealSnapshot& s, TraceEvent& e) {
  auto& f = e.fields;
  f.push_back({"record", HexText(s.record)});
  if (s.record == 0) {
    e.text = "boot-script record: none published";
    return;
  }
  if (!s.recordRead) {
    e.text = "boot-script record " + HexText(s.record) + " is not readable";
    f.push_back({"problem", "record not readable"});
    return;
  }
  const uint8_t* r = s.bytes;
  uint16_t pages;
  std::memcpy(&pages, r + 12, sizeof pages);
  f.push_back({"tableAddress", HexText(Get64(r))});
  f.push_back({"scriptLength", HexText(Get32(r + 8))});
  f.push_back({"tablePages", std::to_string(pages)});
  f.push_back({"isSmmCopy", std::to_string(r[14])});
  f.push_back({"runtimePhase", std::to_string(r[15])});
  f.push_back({"bootTimeLength", HexText(Get32(r + 16))});
  f.push_back({"locked", std::to_string(r[20])});
  f.push_back({"resumeCopy", std::to_string(r[21])});
  e.text = "boot-script record " + HexText(s.record) + ": Locked " + std::to_string(r[20]) +
           ", TableAddress " + HexText(Get64(r)) + ", ScriptLength " + HexText(Get32(r + 8)) + ", " +
           std::to_string(pages) + " page(s)";
  if (Get64(r) == 0) {
    e.text += "; no table";
    return;
  }
  if (!s.tableRead) {
    f.push_back({"problem", s.problem});
    e.text += "; " + s.problem;
    return;
  }
  f.push_back({"tableLength", HexText(s.tableLength)});
  f.push_back({"terminator", HexBytes(s.terminator)});
  e.text += "; table length " + HexText(s.tableLength);
  if (s.tableBytes > kShownTableBytes) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08X", s.tableCrc);
    f.push_back({"tableCrc32", crc});
    e.text += ", " + std::to_string(s.tableBytes) + " bytes, CRC-32 " + crc;
  } else {
    f.push_back({"tableBytes", HexBytes(s.table)});
    e.text += ": " + HexBytes(s.table);
  }
  if (!s.problem.empty()) {
    f.push_back({"problem", s.problem});
    e.text += " (" + s.problem + ")";
  }
}

}  // namespace

void WatchBootScriptSealing(Platform& platform, PcdDatabase& pcd) {
  platform.stageHooks.push_back([&pcd](Platform& p, BootStage stage) {
    const bool sealed =
        stage == BootStage::BootManager || (stage == BootStage::ReadyToBoot && !p.bootManager);
    if (!sealed) return;
    p.Trace("BootScriptSeal", [s = ReadSeal(p, pcd)](TraceEvent& e) { FormatSeal(s, e); });
  });
}

void WriteChipsetS3TableAtEndOfDxe(Platform& platform, PcdDatabase& pcd, const ChipsetS3TableWrites& writes) {
  platform.stageHooks.push_back([&pcd, writes](Platform& p, BootStage stage) {
    if (stage != BootStage::EndOfDxe) return;
    uint64_t table = 0;
    if (const PcdDatabase::Token* t = pcd.Find(kChipsetS3LibPcdTokenSpace, 0x27002)) table = t->value;
    const uint64_t room = table ? RoomInAllocation(p, table) : 0;
    auto write = [&](const char* field, uint64_t offset, uint64_t value, size_t width) {
      std::string text = "another module writes " + std::string(field) + " of the chipset S3 table";
      std::string result;
      if (table == 0) {
        result = "no table published";
      } else if (offset > room || width > room - offset) {
        result = "refused: offset " + HexText(offset) + " lies past the table's allocation";
      } else if (!HostWrite(table + offset, &value, width)) {
        result = "refused: not writable";
      } else {
        result = "written";
      }
      text += " at " + HexText(table) + " + " + HexText(offset) + ": " + HexText(value) + " (" + result + ")";
      p.Trace("S3TableWrite", text,
              {{"field", field},
               {"table", HexText(table)},
               {"offset", HexText(offset)},
               {"value", HexText(value)},
               {"result", result}});
    };
    if (writes.signature) write("Signature", 0, *writes.signature, 4);
    if (writes.boundaryMarker) {
      uint64_t boundary = 0;
      if (table == 0 || room < 0x28 || !HostRead(table + 0x20, &boundary, sizeof boundary)) boundary = 0x4000;
      write("the boundary marker", boundary, *writes.boundaryMarker, 4);
    }
    if (writes.nextEntryOffset) write("NextEntryOffset", 0x28, *writes.nextEntryOffset, 8);
  });
}

}  // namespace sim