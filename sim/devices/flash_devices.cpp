// Memory-mapped flash parts, the PM1 control port, the host bridge, the flash
// lock's other agent, the flash device map and PCD builders and the aggregate
// that wires them (declared in sim/devices/flash_devices.h).
#include "sim/devices/flash_devices.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

std::string Hex(uint64_t v, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof(buf), "0x%0*llX", digits, static_cast<unsigned long long>(v));
  return buf;
}

uint32_t AllOnes(int width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

void Put(std::vector<uint8_t>& out, size_t offset, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutGuid(std::vector<uint8_t>& out, size_t offset, const EFI_GUID& g) {
  Put(out, offset, g.Data1, 4);
  Put(out, offset + 4, g.Data2, 2);
  Put(out, offset + 6, g.Data3, 2);
  for (int i = 0; i < 8; ++i) out[offset + 8 + i] = g.Data4[i];
}
}  // namespace

// ---------------------------------------------------------------- memory-mapped parts
MappedFlashPart::MappedFlashPart(Platform& platform, Method method_, uint64_t base_, uint64_t size_,
                                 uint16_t idWord_, uint64_t idAddress_, uint64_t commandAddress1_,
                                 uint64_t commandAddress2_)
    : method(method_),
      base(base_),
      size(size_),
      idWord(idWord_),
      idAddress(idAddress_),
      commandAddress1(commandAddress1_),
      commandAddress2(commandAddress2_),
      array(size_, 0xFF),
      platform_(platform) {
  platform.MapMmio(base, size, this);
}

MappedFlashPart::~MappedFlashPart() { platform_.MapMmio(base, size, nullptr); }

void MappedFlashPart::OnBootStart(unsigned) {
  idMode_ = false;  // a reset puts the part back in read-array mode
  unlockStep_ = 0;
}

uint32_t MappedFlashPart::MmioRead(uint64_t address, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) {
    const uint64_t a = address + i;
    uint8_t byte = a - base < array.size() ? array[a - base] : 0xFF;
    if (idMode_ && a == idAddress) byte = static_cast<uint8_t>(idWord);
    if (idMode_ && a == idAddress + 1) byte = static_cast<uint8_t>(idWord >> 8);
    value |= uint32_t{byte} << (8 * i);
  }
  if (idMode_ && address <= idAddress + 1 && idAddress < address + width) {
    ++idReads;
    platform_.Trace(
        "FlashId", "mapped flash ID read at " + Hex(address, 8) + " -> " + Hex(value, 2 * width),
        {{"address", Hex(address, 8)}, {"width", std::to_string(width)}, {"value", Hex(value, 4)}});
  }
  return value;
}

void MappedFlashPart::Ignore(uint64_t address, int width, uint32_t value) {
  ++ignoredWrites;
  unlockStep_ = 0;
  platform_.Trace("FlashId",
                  "mapped flash ignores " + Hex(value, 2 * width) + " written to " + Hex(address, 8),
                  {{"address", Hex(address, 8)}, {"value", Hex(value, 2)}, {"ignored", "1"}});
}

void MappedFlashPart::MmioWrite(uint64_t address, int width, uint32_t value) {
  if (width != 1) return Ignore(address, width, value);
  const uint8_t byte = static_cast<uint8_t>(value);
  const auto trace = [&](const std::string& what) {
    platform_.Trace("FlashId", "mapped flash " + what + " (" + Hex(byte, 2) + " to " + Hex(address, 8) + ")",
                    {{"address", Hex(address, 8)}, {"value", Hex(byte, 2)}});
  };
  if (method == Method::SingleCommand) {
    if (byte == 0x90) {
      if (!idMode_) ++idEntries;
      idMode_ = true;
      return trace("enters ID mode");
    }
    if (byte == 0xFF) {
      if (idMode_) ++idExits;
      idMode_ = false;
      return trace("back to read-array mode");
    }
    return Ignore(address, width, value);
  }
  if (byte == 0xF0) {
    if (idMode_) ++idExits;
    idMode_ = false;
    unlockStep_ = 0;
    return trace("back to read-array mode");
  }
  if (unlockStep_ == 0 && byte == 0xAA && address == commandAddress1) {
    unlockStep_ = 1;
    return trace("unlock cycle 1");
  }
  if (unlockStep_ == 1 && byte == 0x55 && address == commandAddress2) {
    unlockStep_ = 2;
    return trace("unlock cycle 2");
  }
  if (unlockStep_ == 2 && byte == 0x90 && address == commandAddress1) {
    unlockStep_ = 0;
    if (!idMode_) ++idEntries;
    idMode_ = true;
    return trace("enters ID mode");
  }
  Ignore(address, width, value);
}

// ---------------------------------------------------------------- PM1 control
Pm1Control::Pm1Control(Platform& platform) : platform_(platform) {}

void Pm1Control::SetPort(uint16_t port) {
  if (port_) platform_.MapPorts(port_, 4, nullptr);
  port_ = port;
  if (port_) platform_.MapPorts(port_, 4, this);
}

uint32_t Pm1Control::PortRead(uint16_t port, int width) {
  ++reads;
  return (value >> (8 * (port - port_))) & AllOnes(width);
}

void Pm1Control::PortWrite(uint16_t port, int width, uint32_t written) {
  platform_.RecordViolation("PM1 control register written (" + Hex(written, 2 * width) + " to port " +
                            Hex(port, 4) + ")");
}

// ---------------------------------------------------------------- host bridge
HostBridge::HostBridge(Platform& platform) : platform_(platform) {
  // An AMD host bridge: vendor 0x1022, class 06 00 00.
  config[0] = 0x22;
  config[1] = 0x10;
  config[2] = 0xD8;
  config[3] = 0x14;
  config[0x0B] = 0x06;
  platform.MapMmio(kPciConfigBase, config.size(), this);
}

uint32_t HostBridge::Index() const {
  return config[0xB8] | (config[0xB9] << 8) | (config[0xBA] << 16) | (uint32_t{config[0xBB]} << 24);
}

uint32_t HostBridge::MmioRead(uint64_t address, int width) {
  const uint64_t offset = address - kPciConfigBase;
  uint32_t value = 0;
  bool data = false;
  for (int i = 0; i < width && offset + i < config.size(); ++i) {
    uint8_t byte = config[offset + i];
    if (offset + i >= 0xBC && offset + i < 0xC0) {
      const auto it = internal.find(Index());
      byte = static_cast<uint8_t>((it == internal.end() ? 0 : it->second) >> (8 * (offset + i - 0xBC)));
      data = true;
    }
    value |= uint32_t{byte} << (8 * i);
  }
  if (data) {
    dataAccesses.push_back({platform_.BootNumber(), false, Index(), value});
    platform_.Trace("HostBridge", [index = Index(), value, width](TraceEvent& e) {
      e.text = "host bridge register " + Hex(index, 8) + " -> " + Hex(value, 2 * width);
      e.fields = {{"index", Hex(index, 8)}, {"value", Hex(value, 8)}};
    });
  }
  return value;
}

void HostBridge::MmioWrite(uint64_t address, int width, uint32_t value) {
  const uint64_t offset = address - kPciConfigBase;
  for (int i = 0; i < width && offset + i < config.size(); ++i) {
    const uint8_t byte = static_cast<uint8_t>(value >> (8 * i));
    if (offset + i >= 0xBC && offset + i < 0xC0) {
      const uint32_t shift = static_cast<uint32_t>(8 * (offset + i - 0xBC));
      uint32_t& reg = internal[Index()];
      reg = (reg & ~(0xFFu << shift)) | (uint32_t{byte} << shift);
    } else if (offset + i >= 0x40) {  // the header above is read-only here
      config[offset + i] = byte;
    }
  }
  if (offset + width > 0xBC && offset < 0xC0) {
    dataAccesses.push_back({platform_.BootNumber(), true, Index(), value});
    platform_.Trace("HostBridge", [index = Index(), value, width](TraceEvent& e) {
      e.text = "host bridge register " + Hex(index, 8) + " <- " + Hex(value, 2 * width);
      e.fields = {{"index", Hex(index, 8)}, {"value", Hex(value, 8)}, {"write", "1"}};
    });
    if (protectedRegister != 0 && Index() == protectedRegister) {
      platform_.RecordViolation("host bridge: the flash-lock window register " + Hex(Index(), 8) +
                                " written with " + Hex(value, 8));
    }
  }
}

// ---------------------------------------------------------------- flash lock peer
FlashLockPeer::FlashLockPeer(Platform& platform) : platform_(platform) {}

void FlashLockPeer::SetWindow(uint32_t windowBase) {
  if (window_) platform_.MapMmio(uint64_t{window_} + kFlashLockPageOffset, page_.size(), nullptr);
  window_ = windowBase;
  if (window_) platform_.MapMmio(uint64_t{window_} + kFlashLockPageOffset, page_.size(), this);
}

void FlashLockPeer::OnBootStart(unsigned) {
  ++generation_;
  hostFlag = 0;
  turn = mode == Mode::Never ? 1 : 0;
  peerFlag = mode == Mode::Never ? 1 : 0;
  heldThisBoot_ = 0;
  page_.fill(0);
}

uint32_t FlashLockPeer::MmioRead(uint64_t address, int width) {
  const uint32_t offset = static_cast<uint32_t>(address - window_);
  const bool word = offset == kFlashLockHostFlag || offset == kFlashLockPeerFlag || offset == kFlashLockTurn;
  if (word && width != 4) {
    platform_.RecordViolation("flash lock: " + std::to_string(width) + "-byte read of the lock word at " +
                              Hex(address, 8));
  }
  if (offset == kFlashLockHostFlag) return hostFlag & AllOnes(width);
  if (offset == kFlashLockPeerFlag) {
    ++peerFlagReads;
    return peerFlag & AllOnes(width);
  }
  if (offset == kFlashLockTurn) {
    ++turnReads;
    return turn & AllOnes(width);
  }
  uint32_t value = 0;
  const uint32_t at = offset - kFlashLockPageOffset;
  for (int i = 0; i < width && at + i < page_.size(); ++i) value |= uint32_t{page_[at + i]} << (8 * i);
  return value;
}

void FlashLockPeer::MmioWrite(uint64_t address, int width, uint32_t value) {
  const uint32_t offset = static_cast<uint32_t>(address - window_);
  // The lock's events, their text made when the trace is read.
  const auto trace = [&](std::string text) {
    platform_.Trace("FlashLock", [text = std::move(text), address, value, width](TraceEvent& e) {
      e.text = text;
      e.fields = {
          {"address", Hex(address, 8)}, {"value", std::to_string(value)}, {"width", std::to_string(width)}};
    });
  };
  if (offset == kFlashLockHostFlag && width == 4 && value <= 1) {
    if (hostFlag == 0 && value == 1) {
      ++acquisitions;
      trace("host flag 0 -> 1 (acquire " + std::to_string(acquisitions) + ")");
      if (mode == Mode::Holds && peerFlag == 0 && heldThisBoot_ < holdTimes) {
        ++heldThisBoot_;
        peerFlag = 1;
        turn = 1;
        platform_.Trace("FlashLock", "the other agent holds the lock for " + std::to_string(holdNs) + " ns");
        const uint64_t generation = generation_;
        platform_.clock.Schedule(holdNs, [this, generation] {
          if (generation != generation_) return;
          peerFlag = 0;
          platform_.Trace("FlashLock", "the other agent releases the lock");
        });
      }
    } else if (hostFlag == 1 && value == 0) {
      ++releases;
      trace("host flag 1 -> 0 (release " + std::to_string(releases) + ")");
    }
    hostFlag = value;
    return;
  }
  if (offset == kFlashLockTurn && width == 4 && value == 1) {
    turn = 1;
    trace("turn <- 1 (the other agent's turn)");
    return;
  }
  std::string what = offset == kFlashLockPeerFlag   ? "the other agent's flag"
                     : offset == kFlashLockHostFlag ? "the host flag"
                     : offset == kFlashLockTurn     ? "the turn word"
                                                    : "a word that is not a lock word";
  platform_.RecordViolation("flash lock: " + std::to_string(width) + "-byte write of " +
                            Hex(value, 2 * width) + " to " + what + " at " + Hex(address, 8));
  if (offset != kFlashLockHostFlag && offset != kFlashLockPeerFlag && offset != kFlashLockTurn) {
    const uint32_t at = offset - kFlashLockPageOffset;
    for (int i = 0; i < width && at + i < page_.size(); ++i)
      page_[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// ---------------------------------------------------------------- CPUID
void SetProcessorSignature(Platform& platform, uint32_t eax) {
  std::function<void(uint32_t, uint32_t[4])> previous = platform.cpu.cpuid;
  platform.cpu.cpuid = [previous, eax](uint32_t leaf, uint32_t regs[4]) {
    if (previous) previous(leaf, regs);
    if (leaf == 0x80000001) regs[0] = eax;
  };
}

// ---------------------------------------------------------------- flash device map
std::vector<uint8_t> BuildFlashDeviceMap(uint64_t flashBase, const std::vector<FdmEntrySpec>& entries,
                                         const FdmLayout& layout) {
  const uint64_t natural = uint64_t{layout.entriesOffset} + uint64_t{layout.entrySize} * entries.size();
  const uint32_t length = layout.length.value_or(static_cast<uint32_t>(natural));
  // The bytes hold at least the header and every entry written, whatever Length says.
  const uint64_t lastEntryEnd = entries.empty() ? 0
                                                : uint64_t{layout.entriesOffset} +
                                                      uint64_t{layout.entrySize} * (entries.size() - 1) + 52;
  std::vector<uint8_t> map(std::max<uint64_t>({28, length, lastEntryEnd}), 0);
  map[0] = 'H';
  map[1] = 'F';
  map[2] = 'D';
  map[3] = 'M';
  Put(map, 4, length, 4);
  Put(map, 8, layout.entriesOffset, 4);
  Put(map, 12, layout.entrySize, 4);
  Put(map, 20, flashBase, 8);
  for (size_t k = 0; k < entries.size(); ++k) {
    const size_t at = layout.entriesOffset + layout.entrySize * k;
    PutGuid(map, at, entries[k].type);
    PutGuid(map, at + 16, entries[k].area);
    Put(map, at + 32, entries[k].offset, 8);
    Put(map, at + 40, entries[k].size, 8);
    Put(map, at + 48, entries[k].attributes, 4);
  }
  FixFlashDeviceMapChecksum(map);
  map[16] = static_cast<uint8_t>(map[16] + layout.headerSum);
  return map;
}

void FixFlashDeviceMapChecksum(std::vector<uint8_t>& map) {
  if (map.size() < 28) return;
  map[16] = 0;
  uint8_t sum = 0;
  for (size_t i = 0; i < 28; ++i) sum = static_cast<uint8_t>(sum + map[i]);
  map[16] = static_cast<uint8_t>(0x100 - sum);
}

// ---------------------------------------------------------------- flash PCD tokens
const EFI_GUID kFdmTokenSpace = {
    0xC51F1883, 0xDF00, 0x4F6A, {0x08, 0xA0, 0x36, 0x9F, 0x60, 0x98, 0xFD, 0xAF}};
const EFI_GUID kFlashDeviceTokenSpace = {
    0xCBDEF572, 0x719D, 0x426E, {0x8A, 0x43, 0x75, 0xAE, 0x91, 0x3C, 0xFF, 0xB2}};
const EFI_GUID kFlashParamTokenSpace = {
    0xEC17A54E, 0xFEC1, 0x431B, {0xAD, 0x9C, 0xB4, 0xF0, 0xBC, 0x6E, 0x2E, 0x56}};
const EFI_GUID kFlashInfo1TokenSpace = {
    0x2F779836, 0x610C, 0x4615, {0xA4, 0x62, 0x54, 0xE7, 0x3E, 0xF1, 0x61, 0x92}};
const EFI_GUID kFlashInfo2TokenSpace = {
    0xE9A68F2A, 0x13F1, 0x4505, {0xB6, 0xA1, 0xE1, 0x82, 0x18, 0x8A, 0xC4, 0x9A}};

std::vector<uint8_t> EncodeFlashDeviceEntry(const FlashDeviceEntrySpec& entry) {
  std::vector<uint8_t> out(16, 0);
  out[0] = entry.kind;
  Put(out, 4, entry.deviceId, 4);
  Put(out, 8, entry.aux, 4);
  Put(out, 12, entry.sizeFactor1, 2);
  Put(out, 14, entry.sizeFactor2, 2);
  return out;
}

std::vector<uint8_t> EncodeMappedFlashParams(uint64_t idAddress, uint64_t commandAddress1,
                                             uint64_t commandAddress2) {
  std::vector<uint8_t> out(28, 0);
  Put(out, 4, idAddress, 8);
  Put(out, 12, commandAddress1, 8);
  Put(out, 20, commandAddress2, 8);
  return out;
}

std::vector<uint8_t> EncodeSpiFlashParams(const SpiParamsSpec& params) {
  std::vector<uint8_t> out(40, 0);
  out[4] = params.readIdOpcode;
  out[5] = params.eraseOpcode;
  std::copy(params.carried.begin(), params.carried.end(), out.begin() + 6);
  std::copy(params.flagSources.begin(), params.flagSources.end(), out.begin() + 16);
  std::copy(params.carried2.begin(), params.carried2.end(), out.begin() + 24);
  Put(out, 32, params.eraseBlockSize, 4);
  Put(out, 36, params.aux2, 4);
  return out;
}

void DeclareFlashDevice(PcdDatabase& pcd, uint64_t token, std::optional<std::vector<uint8_t>> entry,
                        std::optional<std::vector<uint8_t>> params, std::optional<std::vector<uint8_t>> info1,
                        std::optional<std::vector<uint8_t>> info2) {
  if (entry) pcd.DeclarePtr(kFlashDeviceTokenSpace, token, std::move(*entry));
  if (params) pcd.DeclarePtr(kFlashParamTokenSpace, token, std::move(*params));
  if (info1) pcd.DeclarePtr(kFlashInfo1TokenSpace, token, std::move(*info1));
  if (info2) pcd.DeclarePtr(kFlashInfo2TokenSpace, token, std::move(*info2));
}

void DeclareFlashSelector(PcdDatabase& pcd, uint32_t token) {
  pcd.Declare(kFlashDeviceTokenSpace, kFlashSelectorToken, PcdDatabase::Kind::U32, token);
}

// ---------------------------------------------------------------- the aggregate
FlashPlatform::FlashPlatform(Platform& platform_, Notebook& notebook_)
    : platform(platform_),
      notebook(notebook_),
      spi(platform_),
      hostBridge(platform_),
      pm1(platform_),
      peer(platform_) {
  SetFchRegister(0x298, 0x00C40100);
  SetFchRegister(0x2A8, 0x0000000F);
  SetPm1Port(0x804);
  previousHook_ = notebook.fch.onAccess;
  notebook.fch.onAccess = [this](const RegisterPage::Access& a) { OnFchAccess(a); };
  PlaceWindow();
}

FlashPlatform::~FlashPlatform() {
  notebook.fch.onAccess = previousHook_;
  mappedParts.clear();
  peer.SetWindow(0);
  pm1.SetPort(0);
  spi.SetPresent(false);
  platform.MapMmio(kPciConfigBase, hostBridge.config.size(), nullptr);
}

void FlashPlatform::AttachSpiPart(SpiNorPart part) {
  part_ = std::make_unique<SpiNorPart>(std::move(part));
  spi.part = part_.get();
}

void FlashPlatform::DetachSpiPart() {
  spi.part = nullptr;
  part_.reset();
}

uint32_t FlashPlatform::FchRegister(uint32_t offset) const {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{notebook.fch.bytes[offset + i]} << (8 * i);
  return v;
}

void FlashPlatform::SetFchRegister(uint32_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) notebook.fch.bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void FlashPlatform::SetSciEnabled(bool enabled) {
  pm1.value = enabled ? (pm1.value | 1u) : (pm1.value & ~1u);
}

void FlashPlatform::SetPm1Port(uint16_t port) {
  notebook.fch.bytes[0x362] = static_cast<uint8_t>(port);
  notebook.fch.bytes[0x363] = static_cast<uint8_t>(port >> 8);
  pm1.SetPort(port);
}

void FlashPlatform::SetProcessorSignature(uint32_t eax) {
  signature_ = eax;
  sim::SetProcessorSignature(platform, eax);
  PlaceWindow();
}

void FlashPlatform::SetLockWindow(uint32_t value) {
  window_ = value;
  PlaceWindow();
}

uint32_t FlashPlatform::WindowRegisterAddress() const {
  const uint32_t family = signature_ & 0x0FFF0F00;
  return family == 0x00870F00 || family == 0x00830F00 || family == 0x00A20F00 ? 0x13E102E0 : 0x13B102E0;
}

void FlashPlatform::PlaceWindow() {
  hostBridge.internal.erase(0x13E102E0);
  hostBridge.internal.erase(0x13B102E0);
  hostBridge.internal[WindowRegisterAddress()] = window_;
  hostBridge.protectedRegister = WindowRegisterAddress();
  const uint32_t base = window_ & 0xFFF00000;
  if (base != peer.WindowBase()) peer.SetWindow(base);
}

MappedFlashPart& FlashPlatform::AddMappedPart(MappedFlashPart::Method method, uint64_t base, uint64_t size,
                                              uint16_t idWord, uint64_t idAddress, uint64_t commandAddress1,
                                              uint64_t commandAddress2) {
  mappedParts.push_back(std::make_unique<MappedFlashPart>(platform, method, base, size, idWord, idAddress,
                                                          commandAddress1, commandAddress2));
  return *mappedParts.back();
}

uint64_t FlashPlatform::PublishDeviceMap(PcdDatabase& pcd, std::vector<uint8_t> map) {
  map_ = std::move(map);
  const uint64_t address = reinterpret_cast<uintptr_t>(map_.data());
  pcd.Declare(kFdmTokenSpace, kFdmAddressToken, PcdDatabase::Kind::U64, address);
  return address;
}

void FlashPlatform::OnFchAccess(const RegisterPage::Access& access) {
  if (previousHook_) previousHook_(access);
  if (!access.write) return;
  const uint64_t offset = access.address - kFchRegisterBase;
  const auto touches = [&](uint64_t reg, uint64_t bytes) {
    return offset < reg + bytes && reg < offset + static_cast<uint64_t>(access.width);
  };
  if (touches(0x362, 2)) {
    platform.RecordViolation("FCH register 0xFED80362 (the PM1 control address) written with " +
                             Hex(access.value, 2 * access.width));
  }
  for (const uint64_t reg : {uint64_t{0x298}, uint64_t{0x2A8}}) {
    if (!touches(reg, 4)) continue;
    const uint32_t now = FchRegister(static_cast<uint32_t>(reg));
    const char* what = reg == 0x298 ? ((now & 0x80000000u) ? "flash access on" : "flash access off")
                                    : ((now & 0xCu) == 0 ? "bits 2 and 3 clear" : "bits 2 and 3 as set");
    platform.Trace("FlashRegister", [reg, now, what](TraceEvent& e) {
      e.text = "FCH " + Hex(kFchRegisterBase + reg, 8) + " <- " + Hex(now, 8) + " (" + what + ")";
      e.fields = {{"register", Hex(kFchRegisterBase + reg, 8)}, {"value", Hex(now, 8)}};
    });
    if (peer.WindowBase() != 0 && peer.PeerInside()) {
      platform.RecordViolation("FCH register " + Hex(kFchRegisterBase + reg, 8) +
                               " changed while the other agent holds the flash lock");
    }
  }
}

}  // namespace sim
