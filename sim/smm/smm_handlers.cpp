// The SMM handlers behind the communication protocol: the lock-box service
// and the chipset S3 save handler.

#include <algorithm>
#include <cstring>

#include "sim/platform_impl.h"
#include "sim/smm/comm_bytes.h"
#include "sim/smm/smm_comm.h"

namespace sim {

using namespace comm;

// ---------------------------------------------------------------- lock boxes

namespace {

constexpr uint32_t kStore = 1, kRestore = 3, kSetAttributes = 4;
// Offsets in the message (from the end of the 24-byte header).
constexpr size_t kCommand = 0, kRequestLength = 4, kResult = 8, kBoxGuid = 16, kData = 32, kDataLength = 40;
constexpr uint64_t kAttributeBits = 0x3;
// Boxes up to this size are traced byte for byte; larger ones by length and CRC-32.
constexpr size_t kShownBoxBytes = 64;
constexpr uint64_t kRestoreInPlace = 0x1;

}  // namespace

std::string LockBoxHandler::CommandName(uint32_t command) {
  switch (command) {
    case kStore:
      return "store";
    case kRestore:
      return "restore";
    case kSetAttributes:
      return "set-attributes";
    default:
      return "command " + std::to_string(command);
  }
}

LockBoxHandler::LockBoxHandler(Platform& platform, SmmCommunication& communication)
    : platform_(platform), communication_(communication) {
  communication.AddHandler(kLockBoxHandlerGuid,
                           [this](uint8_t* message, uint64_t& size) { return Handle(message, size); });
  platform.bootHooks.push_back([this](Platform&) {
    boxes_.clear();
    stored_ = 0;
  });
}

LockBoxHandler::~LockBoxHandler() = default;

const LockBoxHandler::LockBox* LockBoxHandler::Find(const EFI_GUID& guid) const {
  for (const Box& b : boxes_) {
    if (b.guid == guid) return &b.box;
  }
  return nullptr;
}

LockBoxHandler::Box* LockBoxHandler::Lookup(const EFI_GUID& guid) {
  for (Box& b : boxes_) {
    if (b.guid == guid) return &b;
  }
  return nullptr;
}

EFI_STATUS LockBoxHandler::Handle(uint8_t* message, uint64_t& size) {
  Request r;
  r.boot = platform_.BootNumber();
  r.messageLength = size;
  std::string malformed;
  if (size < kBoxGuid) {
    malformed = "message of " + std::to_string(size) + " bytes is too short for a request";
  } else {
    r.command = Get32(message + kCommand);
    r.requestLength = Get32(message + kRequestLength);
    uint64_t expected = 0;
    if (r.command == kStore || r.command == kRestore) expected = 48;
    if (r.command == kSetAttributes) expected = 40;
    if (expected == 0) {
      malformed = "unknown command " + std::to_string(r.command);
    } else if (size != expected) {
      malformed = "MessageLength " + std::to_string(size) + " for " + CommandName(r.command) + ", expected " +
                  std::to_string(expected);
    } else if (r.requestLength != size) {
      malformed = "RequestLength " + std::to_string(r.requestLength) + " differs from MessageLength " +
                  std::to_string(size);
    }
  }
  if (malformed.empty()) {
    std::memcpy(&r.box, message + kBoxGuid, sizeof r.box);
    if (r.command == kSetAttributes) {
      r.attributes = Get64(message + kData);
    } else {
      r.address = Get64(message + kData);
      r.length = Get64(message + kDataLength);
    }
  } else {
    platform_.RecordViolation("lock-box request malformed: " + malformed);
  }
  if (silent) {
    requests.push_back(r);
    TraceRequest(r, nullptr);
    return EFI_SUCCESS;
  }
  r.answered = true;
  if (!malformed.empty()) {
    r.result = EFI_INVALID_PARAMETER;
    if (size >= kResult + 8) Put64(message + kResult, r.result);
    requests.push_back(r);
    TraceRequest(r, nullptr);
    return EFI_SUCCESS;
  }
  const std::vector<uint8_t>* stored = nullptr;
  if (communication_.Locked() && !platform_.smm.inSmm && r.command != kRestore) {
    r.result = EFI_ACCESS_DENIED;
  } else {
    switch (r.command) {
      case kStore:
        r.result = Store(r);
        if (r.result == EFI_SUCCESS) stored = &boxes_.back().box.data;
        break;
      case kRestore:
        r.result = Restore(r);
        Put64(message + kDataLength, r.lengthOut);
        break;
      default:
        r.result = SetAttributes(r);
        break;
    }
  }
  Put32(message + kCommand, 0xFFFFFFFF);
  Put64(message + kResult, r.result);
  requests.push_back(r);
  TraceRequest(r, stored);
  return EFI_SUCCESS;
}

EFI_STATUS LockBoxHandler::Store(Request& r) {
  if (r.address == 0 || r.length == 0) return EFI_INVALID_PARAMETER;
  if (Lookup(r.box) != nullptr) return EFI_ALREADY_STARTED;
  if (r.length > capacity - stored_) return EFI_OUT_OF_RESOURCES;
  if (r.length > RoomInAllocation(platform_, r.address)) {
    platform_.RecordViolation("lock-box store " + Braced(r.box) + ": " + std::to_string(r.length) +
                              " bytes at " + HexText(r.address) + " run past the end of their allocation");
    return EFI_ACCESS_DENIED;
  }
  LockBox box;
  box.data.resize(r.length);
  if (!HostRead(r.address, box.data.data(), r.length)) {
    platform_.RecordViolation("lock-box store " + Braced(r.box) + ": " + std::to_string(r.length) +
                              " bytes at " + HexText(r.address) + " are not mapped memory");
    return EFI_ACCESS_DENIED;
  }
  box.address = r.address;
  stored_ += r.length;
  boxes_.push_back({r.box, std::move(box)});
  return EFI_SUCCESS;
}

EFI_STATUS LockBoxHandler::Restore(Request& r) {
  r.lengthOut = r.length;
  Box* b = Lookup(r.box);
  if (b == nullptr) return EFI_NOT_FOUND;
  const std::vector<uint8_t>& data = b->box.data;
  uint64_t to = 0;
  if (r.address == 0 && r.length == 0) {
    if ((b->box.attributes & kRestoreInPlace) == 0) return EFI_WRITE_PROTECTED;
    to = b->box.address;  // in place
  } else if (r.address == 0) {
    return EFI_INVALID_PARAMETER;
  } else {
    r.lengthOut = data.size();
    if (r.length < data.size()) return EFI_BUFFER_TOO_SMALL;
    to = r.address;
  }
  r.lengthOut = data.size();
  if (data.size() > RoomInAllocation(platform_, to)) {
    platform_.RecordViolation("lock-box restore " + Braced(r.box) + ": " + std::to_string(data.size()) +
                              " bytes at " + HexText(to) + " run past the end of their allocation");
    return EFI_ACCESS_DENIED;
  }
  if (!HostWrite(to, data.data(), data.size())) {
    platform_.RecordViolation("lock-box restore " + Braced(r.box) + ": " + std::to_string(data.size()) +
                              " bytes at " + HexText(to) + " are not writable memory");
    return EFI_ACCESS_DENIED;
  }
  return EFI_SUCCESS;
}

EFI_STATUS LockBoxHandler::SetAttributes(Request& r) {
  if (r.attributes & ~kAttributeBits) return EFI_INVALID_PARAMETER;
  Box* b = Lookup(r.box);
  if (b == nullptr) return EFI_NOT_FOUND;
  b->box.attributes = r.attributes;
  return EFI_SUCCESS;
}

void LockBoxHandler::TraceRequest(const Request& r, const std::vector<uint8_t>* stored) {
  std::string text = "LockBox " + CommandName(r.command) + " " + Braced(r.box);
  if (r.command == kSetAttributes) {
    text += " attributes " + HexText(r.attributes);
  } else {
    text += " address " + HexText(r.address) + " length " + std::to_string(r.length);
  }
  if (!r.answered) {
    text += " -> no answer";
  } else {
    text += " -> " + StatusName(r.result);
    if (r.command == kRestore) text += " (length " + std::to_string(r.lengthOut) + ")";
  }
  std::vector<std::pair<std::string, std::string>> fields = {
      {"command", CommandName(r.command)},
      {"box", GuidToString(r.box)},
      {"messageLength", std::to_string(r.messageLength)},
      {"requestLength", std::to_string(r.requestLength)}};
  if (r.command == kSetAttributes) {
    fields.push_back({"attributes", HexText(r.attributes)});
  } else {
    fields.push_back({"address", HexText(r.address)});
    fields.push_back({"length", std::to_string(r.length)});
  }
  if (r.answered) {
    fields.push_back({"result", StatusName(r.result)});
    if (r.command == kRestore) fields.push_back({"lengthOut", std::to_string(r.lengthOut)});
  } else {
    fields.push_back({"result", "none"});
  }
  if (stored != nullptr) {
    // What the box now holds: its bytes, or for a large box its length and CRC-32.
    fields.push_back({"boxLength", std::to_string(stored->size())});
    if (stored->size() <= kShownBoxBytes) {
      fields.push_back({"boxBytes", HexBytes(*stored)});
      text += "; box holds " + (stored->empty() ? std::string("nothing") : HexBytes(*stored));
    } else {
      char crc[16];
      std::snprintf(crc, sizeof crc, "0x%08X", Crc32(stored->data(), stored->size()));
      fields.push_back({"boxCrc32", crc});
      text += "; box holds " + std::to_string(stored->size()) + " bytes, CRC-32 " + crc;
    }
  }
  platform_.Trace("LockBox", text, std::move(fields));
}

// ---------------------------------------------------------------- chipset S3 save

namespace {

constexpr uint32_t kTableSignature = 0x54335341;  // "AS3T"
constexpr uint64_t kTableHeaderSize = 0x30;
constexpr uint64_t kRecordSize = 16;

}  // namespace

ChipsetS3SaveHandler::ChipsetS3SaveHandler(Platform& platform, SmmCommunication& communication)
    : platform_(platform) {
  communication.AddHandler(kChipsetS3SaveHandlerGuid,
                           [this](uint8_t* message, uint64_t& size) { return Handle(message, size); });
  communication.AcceptBuffer(commBuffer_, sizeof commBuffer_);
  platform.bootHooks.push_back([this](Platform&) { std::memset(commBuffer_, 0, sizeof commBuffer_); });
}

ChipsetS3SaveHandler::~ChipsetS3SaveHandler() = default;

EFI_STATUS ChipsetS3SaveHandler::Handle(uint8_t* message, uint64_t& size) {
  Handover h;
  h.boot = platform_.BootNumber();
  const uint8_t* whole = message - kHeaderSize;
  h.message.assign(whole, whole + kHeaderSize + std::min<uint64_t>(size, kCommBufferSize - kHeaderSize));
  uint64_t recordAddress = 0, tableAddress = 0;
  auto check = [&]() -> std::string {
    if (size != 16) return "MessageLength " + std::to_string(size) + ", expected 16";
    const uint32_t function = Get32(message);
    if (function != 1) return "HandoverFunction " + std::to_string(function) + ", expected 1";
    recordAddress = Get64(message + 8);
    h.record.resize(kRecordSize);
    if (recordAddress == 0 || !HostRead(recordAddress, h.record.data(), kRecordSize)) {
      h.record.clear();
      return "record at " + HexText(recordAddress) + " is not mapped memory";
    }
    tableAddress = Get64(h.record.data() + 8);
    if (tableAddress == 0) return "the record names no table";
    // The allocation the table lies in bounds the copy, when it is one.
    const uint64_t room = RoomInAllocation(platform_, tableAddress);
    std::vector<uint8_t> header(kTableHeaderSize);
    if (room < kTableHeaderSize || !HostRead(tableAddress, header.data(), header.size())) {
      return "table header at " + HexText(tableAddress) + " is not readable";
    }
    h.table = header;
    if (Get32(header.data()) != kTableSignature) {
      return "table signature " + HexText(Get32(header.data())) + ", expected 0x54335341";
    }
    const uint64_t next = Get64(header.data() + 0x28);
    if (next < kTableHeaderSize || next > kMaxTable - 2) {
      return "NextEntryOffset " + HexText(next) + " outside 0x30.." + HexText(kMaxTable - 2);
    }
    if (next + 2 > room) {
      return "NextEntryOffset " + HexText(next) + " runs past the table's " + std::to_string(room) +
             "-byte allocation";
    }
    std::vector<uint8_t> table(next + 2);
    if (!HostRead(tableAddress, table.data(), table.size())) {
      return "table of " + std::to_string(table.size()) + " bytes at " + HexText(tableAddress) +
             " runs into unmapped memory";
    }
    h.table = std::move(table);
    h.endMarker = h.table[next] == 0xFF && h.table[next + 1] == 0xFF;
    if (!h.endMarker) return "no 0xFFFF end marker at NextEntryOffset " + HexText(next);
    return "";
  };
  h.problem = check();
  char text[200];
  std::snprintf(text, sizeof text, "S3Handover record 0x%" PRIX64 " table 0x%" PRIX64 ": %zu bytes%s",
                recordAddress, tableAddress, h.table.size(), h.endMarker ? ", end marker FF FF" : "");
  std::string line = text;
  if (!h.problem.empty()) line += " (" + h.problem + ")";
  platform_.Trace("S3Handover", line,
                  {{"record", HexText(recordAddress)},
                   {"table", HexText(tableAddress)},
                   {"tableBytes", std::to_string(h.table.size())},
                   {"endMarker", h.endMarker ? "true" : "false"},
                   {"message", HexBytes(h.message)},
                   {"problem", h.problem}});
  if (!h.problem.empty()) platform_.RecordViolation("chipset S3 hand-over: " + h.problem);
  const bool malformed = size != 16 || Get32(message) != 1;
  handovers.push_back(std::move(h));
  return malformed ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
}

}  // namespace sim
