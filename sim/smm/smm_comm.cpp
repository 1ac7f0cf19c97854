#include "sim/smm/smm_comm.h"

#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/platform_impl.h"

namespace sim {

const EFI_GUID kLockBoxHandlerGuid = {
    0x2A3CFEBD, 0x27E8, 0x4D0A, {0x8B, 0x79, 0xD6, 0x88, 0xC2, 0xA3, 0xE1, 0xC0}};
const EFI_GUID kChipsetS3SaveHandlerGuid = {
    0x5C4061F0, 0xD051, 0x4F43, {0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0}};
const EFI_GUID kCommRegionTableGuid = {
    0x4E28CA50, 0xD582, 0x44AC, {0xA1, 0x1F, 0xE3, 0xD5, 0x65, 0x26, 0xDB, 0x34}};
const EFI_GUID kBootScriptPcdTokenSpace = {
    0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};
const EFI_GUID kChipsetS3LibPcdTokenSpace = {
    0x7788ADF0, 0x9788, 0x4A3F, {0x83, 0xFA, 0xCB, 0x51, 0x2E, 0x7C, 0xF8, 0xDD}};

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kHeaderSize = sizeof(EFI_SMM_COMMUNICATE_HEADER);  // 24
// Largest buffer Communicate takes; larger ones get EFI_BAD_BUFFER_SIZE, as
// an SMM core with a fixed communication area answers.
constexpr uint64_t kMaxCommSize = 0x10000;

std::string HexText(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIX64, v);
  return text;
}

std::string Braced(const EFI_GUID& g) { return "{" + GuidToString(g) + "}"; }

uint64_t Get64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
uint32_t Get32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void Put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, sizeof v); }
void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// [address, address + size) lies inside [start, start + length).
bool Within(uint64_t address, uint64_t size, uint64_t start, uint64_t length) {
  if (address < start) return false;
  const uint64_t offset = address - start;
  return offset <= length && size <= length - offset;
}

// The pool or page allocation of this boot that holds `address`, if any.
bool AllocationAt(const Platform& platform, uint64_t address, Allocation* out) {
  for (const Allocation& a : platform.OutstandingAllocations()) {
    const uint64_t start = reinterpret_cast<uint64_t>(a.address);
    if (address >= start && address - start < a.size) {
      *out = a;
      return true;
    }
  }
  return false;
}

// When the range starts inside an allocation, the bytes it may cover from
// `address` on; UINT64_MAX when it starts in memory the platform did not hand
// out (a driver global or stack buffer).
uint64_t RoomInAllocation(const Platform& platform, uint64_t address) {
  Allocation a;
  if (!AllocationAt(platform, address, &a)) return UINT64_MAX;
  return reinterpret_cast<uint64_t>(a.address) + a.size - address;
}

bool Transfer(uint64_t address, void* local, uint64_t size, bool write) {
  if (size == 0) return true;
  if (address == 0 || address + size < address) return false;
  iovec mine{local, size};
  iovec theirs{reinterpret_cast<void*>(address), size};
  static const pid_t self = getpid();
  const ssize_t n = write ? process_vm_writev(self, &mine, 1, &theirs, 1, 0)
                          : process_vm_readv(self, &mine, 1, &theirs, 1, 0);
  if (n >= 0) return static_cast<uint64_t>(n) == size;
  if (errno != ENOSYS && errno != EPERM) return false;
  // Without the system call: check that the pages are mapped, then copy.
  const uint64_t first = address & ~(kPage - 1);
  const uint64_t pages = (address + size - first + kPage - 1) / kPage;
  std::vector<unsigned char> present(pages);
  if (mincore(reinterpret_cast<void*>(first), pages * kPage, present.data()) != 0) return false;
  if (write) {
    std::memcpy(reinterpret_cast<void*>(address), local, size);
  } else {
    std::memcpy(local, reinterpret_cast<const void*>(address), size);
  }
  return true;
}

}  // namespace

bool HostRead(uint64_t address, void* out, uint64_t size) { return Transfer(address, out, size, false); }
bool HostWrite(uint64_t address, const void* in, uint64_t size) {
  return Transfer(address, const_cast<void*>(in), size, true);
}

// ---------------------------------------------------------------- communication

SmmCommunication* SmmCommunication::active_ = nullptr;

void SmmCommunication::PageDeleter::operator()(uint8_t* p) const { std::free(p); }

SmmCommunication::SmmCommunication(Platform& platform) : platform_(platform) {
  protocol.Communicate = Communicate;
  active_ = this;
  platform.bootHooks.push_back([this](Platform& p) {
    active_ = this;
    locked_ = false;
    BuildRegionTable();
    if (installed) p.InstallProtocol(EFI_SMM_COMMUNICATION_PROTOCOL_GUID, &protocol);
    if (!tableBytes_.empty()) p.InstallConfigTable(kCommRegionTableGuid, tableBytes_.data());
  });
  platform.readyToLockHooks.push_back([this](Platform& p) {
    if (!lockAtReadyToLock) return;
    locked_ = true;
    p.Trace("SmmLock", "SMM locked at the platform's ready-to-lock", {});
  });
}

bool SmmCommunication::TakenAfterLock(uint64_t address, uint64_t size) const {
  for (const PublishedRegion& r : published_) {
    if (Within(address, size, r.address, r.pages > (UINT64_MAX >> 12) ? UINT64_MAX : r.pages << 12))
      return true;
  }
  for (const Accepted& a : accepted_) {
    if (Within(address, size, a.address, a.size)) return true;
  }
  Allocation a;
  if (!AllocationAt(platform_, address, &a)) return false;
  return a.type == EfiReservedMemoryType || a.type == EfiRuntimeServicesData || a.type == EfiACPIMemoryNVS;
}

SmmCommunication::~SmmCommunication() {
  if (active_ == this) active_ = nullptr;
}

void SmmCommunication::AddHandler(const EFI_GUID& guid, Handler handler) {
  for (Entry& e : handlers_) {
    if (e.guid == guid) {
      e.handler = std::move(handler);
      return;
    }
  }
  handlers_.push_back({guid, std::move(handler)});
}

void SmmCommunication::AcceptBuffer(const void* buffer, uint64_t size) {
  accepted_.push_back({reinterpret_cast<uint64_t>(buffer), size});
}

// Fresh regions and a fresh table for every boot: what the driver wrote in
// a region during the last boot is gone, as the memory is on real hardware.
void SmmCommunication::BuildRegionTable() {
  backing_.clear();
  published_.clear();
  tableBytes_.clear();
  if (rawRegionTable) {
    tableBytes_ = *rawRegionTable;
    if (tableBytes_.empty()) tableBytes_.push_back(0);  // a table needs an address
    return;
  }
  if (!regionTable) return;
  const uint64_t stride = descriptorSize;
  tableBytes_.assign(16 + stride * regions.size(), 0);
  Put32(&tableBytes_[0], regionTableVersion);
  Put32(&tableBytes_[4], static_cast<uint32_t>(regions.size()));
  Put32(&tableBytes_[8], descriptorSize);
  for (size_t i = 0; i < regions.size(); ++i) {
    const uint64_t backed = std::min(std::max<uint64_t>(regions[i].pages, 1), kMaxBackedPages) * kPage;
    uint8_t* memory = static_cast<uint8_t*>(std::aligned_alloc(kPage, backed));
    if (memory == nullptr) {
      platform_.RecordViolation("SMM communication: no host memory for region " + std::to_string(i));
      continue;
    }
    std::memset(memory, 0, backed);
    backing_.emplace_back(memory);
    const PublishedRegion r{regions[i].type, reinterpret_cast<uint64_t>(memory), regions[i].pages};
    published_.push_back(r);
    // The descriptor's fields as far as the stride leaves room for them.
    EFI_MEMORY_DESCRIPTOR d{};
    d.Type = r.type;
    d.PhysicalStart = r.address;
    d.NumberOfPages = r.pages;
    std::memcpy(&tableBytes_[16 + stride * i], &d, std::min<uint64_t>(stride, sizeof d));
  }
}

bool SmmCommunication::BufferInRegion(uint64_t address, uint64_t size) const {
  bool usable = false;
  for (const PublishedRegion& r : published_) {
    const uint64_t bytes = r.pages > (UINT64_MAX >> 12) ? UINT64_MAX : r.pages << 12;
    if (Within(address, size, r.address, bytes)) return true;
    usable = usable || (r.type == EfiConventionalMemory && bytes >= size);
  }
  for (const Accepted& a : accepted_) {
    if (Within(address, size, a.address, a.size)) return true;
  }
  return !usable;
}

EFI_STATUS EFIAPI SmmCommunication::Communicate(const EFI_SMM_COMMUNICATION_PROTOCOL* This, void* buffer,
                                                UINTN* size) {
  SmmCommunication* self = active_;
  if (self == nullptr) return EFI_NOT_STARTED;
  if (This != &self->protocol) {
    self->platform_.RecordViolation("SMM Communicate called with This " +
                                    HexText(reinterpret_cast<uint64_t>(This)) +
                                    ", not the protocol's interface");
    return EFI_INVALID_PARAMETER;
  }
  return self->Dispatch(buffer, size);
}

EFI_STATUS SmmCommunication::Dispatch(void* buffer, UINTN* size) {
  Call call;
  call.boot = platform_.BootNumber();
  call.commSize = size != nullptr ? *size : 0;
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  const uint64_t address = reinterpret_cast<uint64_t>(buffer);
  if (platform_.AtRuntime()) {
    platform_.RecordViolation("SMM Communicate called after ExitBootServices");
  }
  auto finish = [&](EFI_STATUS status, const std::string& why) {
    call.status = status;
    calls.push_back(call);
    std::string text = "SmmCommunicate " + Braced(call.guid) + " message " +
                       std::to_string(call.messageLength) + " size " + std::to_string(call.commSize) +
                       " -> " + StatusName(status);
    if (!why.empty()) text += " (" + why + ")";
    platform_.Trace("SmmCommunicate", text,
                    {{"guid", GuidToString(call.guid)},
                     {"messageLength", std::to_string(call.messageLength)},
                     {"size", std::to_string(call.commSize)},
                     {"buffer", HexText(address)},
                     {"status", StatusName(status)}});
    return status;
  };
  if (buffer == nullptr || size == nullptr) return finish(EFI_INVALID_PARAMETER, "no buffer or no size");
  if (*size < kHeaderSize || *size > kMaxCommSize) return finish(EFI_BAD_BUFFER_SIZE, "size out of range");
  EFI_SMM_COMMUNICATE_HEADER header;
  if (!HostRead(address, &header, sizeof header)) {
    platform_.RecordViolation("SMM Communicate buffer " + HexText(address) + " is not mapped memory");
    return finish(EFI_INVALID_PARAMETER, "unmapped buffer");
  }
  call.guid = header.HeaderGuid;
  call.messageLength = header.MessageLength;
  if (header.MessageLength > *size - kHeaderSize) {
    return finish(EFI_BAD_BUFFER_SIZE, "message runs past the buffer");
  }
  std::vector<uint8_t> probe(*size);
  if (!HostRead(address, probe.data(), *size)) {
    platform_.RecordViolation("SMM Communicate buffer " + HexText(address) + " (" + std::to_string(*size) +
                              " bytes) runs into unmapped memory");
    return finish(EFI_INVALID_PARAMETER, "unmapped buffer");
  }
  if (locked_ && !platform_.smm.inSmm && !TakenAfterLock(address, *size)) {
    return finish(EFI_ACCESS_DENIED, "buffer outside runtime memory after the SMM lock");
  }
  if (checkRegion && !rawRegionTable && !tableBytes_.empty() && !BufferInRegion(address, *size)) {
    platform_.RecordViolation("SMM Communicate buffer " + HexText(address) + " (" + std::to_string(*size) +
                              " bytes) lies outside the communication regions of the region table");
  }
  Handler handler;
  for (const Entry& e : handlers_) {
    if (e.guid == header.HeaderGuid) handler = e.handler;
  }
  if (!handler) return finish(EFI_NOT_FOUND, "no handler");
  uint64_t length = header.MessageLength;
  // Logged before the handler runs, so the handler's own lines follow it.
  const size_t at = platform_.trace.size();
  const EFI_STATUS status = handler(bytes + kHeaderSize, length);
  if (length > header.MessageLength) length = header.MessageLength;  // an answer cannot grow the buffer
  Put64(bytes + offsetof(EFI_SMM_COMMUNICATE_HEADER, MessageLength), length);
  *size = kHeaderSize + length;
  finish(status, "");
  // Move the call's line before what the handler traced.
  platform_.trace.MoveLastTo(at);
  return status;
}

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
