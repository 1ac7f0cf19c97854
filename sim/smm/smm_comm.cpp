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
#include "sim/smm/comm_bytes.h"

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

using namespace comm;

namespace {

// Largest buffer Communicate takes; larger ones get EFI_BAD_BUFFER_SIZE, as
// an SMM core with a fixed communication area answers.
constexpr uint64_t kMaxCommSize = 0x10000;

// [address, address + size) lies inside [start, start + length).
bool Within(uint64_t address, uint64_t size, uint64_t start, uint64_t length) {
  if (address < start) return false;
  const uint64_t offset = address - start;
  return offset <= length && size <= length - offset;
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

}  // namespace sim
