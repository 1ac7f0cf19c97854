#include "sim/devices/flash_devices.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace sim {
namespace {

std::string Hex(uint64_t v, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof(buf), "0x%0*llX", digits, static_cast<unsigned long long>(v));
  return buf;
}

uint32_t AllOnes(int width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

// "EF 40 15" -> bytes; throws on anything else.
std::vector<uint8_t> ParseHexBytes(const std::string& text, const std::string& what) {
  std::vector<uint8_t> out;
  std::istringstream in(text);
  std::string token;
  while (in >> token) {
    if (token.size() != 2 || !std::isxdigit(static_cast<unsigned char>(token[0])) ||
        !std::isxdigit(static_cast<unsigned char>(token[1]))) {
      throw std::runtime_error(what + ": \"" + token + "\" is not a hex byte");
    }
    out.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
  }
  return out;
}

uint64_t ParseNumber(const nlohmann::json& value, const std::string& what) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (!digits.empty() &&
        digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") == std::string::npos &&
        digits.size() <= (hex ? 16u : 19u)) {
      return std::stoull(digits, nullptr, hex ? 16 : 10);
    }
  }
  throw std::runtime_error(what + ": " + value.dump() + " is not a number");
}

void Put(std::vector<uint8_t>& out, size_t offset, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutGuid(std::vector<uint8_t>& out, size_t offset, const EFI_GUID& g) {
  Put(out, offset, g.Data1, 4);
  Put(out, offset + 4, g.Data2, 2);
  Put(out, offset + 6, g.Data3, 2);
  for (int i = 0; i < 8; ++i) out[offset + 8 + i] = g.Data4[i];
}

// The controller's 8-bit registers: FIFO port and pointer, extended index and
// data, FIFO position. Wider accesses to them are not what the hardware takes.
bool CoversByteRegister(unsigned offset, int width) {
  for (const unsigned reg : {0x0Cu, 0x0Du, 0x1Eu, 0x1Fu, 0x4Eu}) {
    if (reg >= offset && reg < offset + static_cast<unsigned>(width)) return true;
  }
  return false;
}

bool IsAddressedOpcode(uint8_t opcode) {
  switch (opcode) {
    case 0x02:  // page program
    case 0x03:  // read
    case 0x0B:  // fast read
    case 0x20:  // 4 KiB erase
    case 0x52:  // 32 KiB erase
    case 0x5A:  // read SFDP
    case 0xD8:  // 64 KiB erase
      return true;
    default:
      return false;
  }
}

const char* OpcodeName(uint8_t opcode) {
  switch (opcode) {
    case 0x9F:
      return "read identification";
    case 0x5A:
      return "read SFDP";
    default:
      return "opcode";
  }
}

}  // namespace

// ---------------------------------------------------------------- SPI NOR part
SpiNorPart SpiNorPart::FromJson(const std::string& text) {
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error(std::string("SPI part: ") + e.what());
  }
  if (!root.is_object()) throw std::runtime_error("SPI part: not a JSON object");
  SpiNorPart part;
  for (auto it = root.begin(); it != root.end(); ++it) {
    const std::string& key = it.key();
    if (key != "part" && key != "jedecId" && key != "capacityBytes" && key != "sfdp") {
      throw std::runtime_error("SPI part: unknown key \"" + key + "\"");
    }
  }
  if (root.contains("part")) {
    if (!root["part"].is_string()) throw std::runtime_error("SPI part: \"part\" is not a string");
    part.name = root["part"].get<std::string>();
  }
  if (!root.contains("jedecId") || !root["jedecId"].is_string()) {
    throw std::runtime_error("SPI part: \"jedecId\" (hex bytes) is missing");
  }
  part.jedecId = ParseHexBytes(root["jedecId"].get<std::string>(), "SPI part jedecId");
  if (root.contains("capacityBytes"))
    part.capacityBytes = ParseNumber(root["capacityBytes"], "capacityBytes");
  if (root.contains("sfdp")) {
    const nlohmann::json& runs = root["sfdp"];
    if (!runs.is_array()) throw std::runtime_error("SPI part: \"sfdp\" is not an array");
    for (size_t i = 0; i < runs.size(); ++i) {
      const std::string at = "SPI part sfdp[" + std::to_string(i) + "]";
      const nlohmann::json& run = runs[i];
      if (!run.is_object() || !run.contains("address") || !run.contains("bytes") ||
          !run["bytes"].is_string()) {
        throw std::runtime_error(at + ": needs \"address\" and \"bytes\"");
      }
      const uint64_t address = ParseNumber(run["address"], at + ".address");
      const std::vector<uint8_t> bytes = ParseHexBytes(run["bytes"].get<std::string>(), at + ".bytes");
      if (address + bytes.size() > 0x1000000) throw std::runtime_error(at + ": beyond the 24-bit SFDP space");
      for (size_t k = 0; k < bytes.size(); ++k) part.sfdp[static_cast<uint32_t>(address + k)] = bytes[k];
    }
  }
  return part;
}

SpiNorPart SpiNorPart::FromFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot open");
  std::stringstream text;
  text << in.rdbuf();
  try {
    return FromJson(text.str());
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

std::string SpiNorPart::DataDirectory() {
  if (const char* dir = std::getenv("SIM_SFDP_DIR")) return dir;
#ifdef SIM_SFDP_DIR
  return SIM_SFDP_DIR;
#else
  return "sim/data/sfdp";
#endif
}

std::vector<std::string> SpiNorPart::KnownParts() {
  std::vector<std::string> names;
  if (DIR* dir = opendir(DataDirectory().c_str())) {
    while (const dirent* e = readdir(dir)) {
      const std::string file = e->d_name;
      if (file.size() > 5 && file.compare(file.size() - 5, 5, ".json") == 0) {
        names.push_back(file.substr(0, file.size() - 5));
      }
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

SpiNorPart SpiNorPart::ByName(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name[0] == '.') {
    throw std::runtime_error("\"" + name + "\" is not an SPI part name");
  }
  const std::vector<std::string> known = KnownParts();
  if (std::find(known.begin(), known.end(), name) == known.end()) {
    std::string list;
    for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
    throw std::runtime_error("no SPI part \"" + name + "\" (known: " + list + ")");
  }
  return FromFile(DataDirectory() + "/" + name + ".json");
}

uint8_t SpiNorPart::SfdpByte(uint32_t address) const {
  const auto it = sfdp.find(address & 0xFFFFFF);
  return it == sfdp.end() ? 0xFF : it->second;
}

std::vector<uint8_t> SpiNorPart::Exchange(uint8_t opcode, const std::vector<uint8_t>& mosi) const {
  std::vector<uint8_t> miso(mosi.size(), 0xFF);
  if (opcode == 0x9F) {
    for (size_t i = 0; i < miso.size() && i < jedecId.size(); ++i) miso[i] = jedecId[i];
  } else if (opcode == 0x5A && mosi.size() > 4) {
    const uint32_t address = (uint32_t{mosi[0]} << 16) | (uint32_t{mosi[1]} << 8) | mosi[2];
    for (size_t i = 4; i < miso.size(); ++i) miso[i] = SfdpByte(static_cast<uint32_t>(address + (i - 4)));
  }
  return miso;
}

// ---------------------------------------------------------------- SPI controller
SpiController::SpiController(Platform& platform, uint64_t base) : platform_(platform), base_(base) {
  SetPresent(true);
}

void SpiController::SetPresent(bool present) {
  if (present == present_) return;
  present_ = present;
  platform_.MapMmio(base_, kSpiControllerSize, present ? this : nullptr);
}

void SpiController::OnBootStart(unsigned) {
  ++generation_;
  regs_.fill(0);
  fifo_.fill(0);
  ext_.fill(0);
  pointer_ = static_cast<uint8_t>(behaviour.fifoPointerAtBoot % kSpiFifoBytes);
  busy_ = behaviour.stuckBusy;
  resetPending_ = false;
}

bool SpiController::Busy() const { return busy_ || behaviour.stuckBusy; }

uint64_t SpiController::CommandNs(unsigned bytes) const {
  const uint64_t hz = behaviour.spiClockHz ? behaviour.spiClockHz : 1;
  return behaviour.overheadNs + (uint64_t{bytes} * 8 * 1000000000ull + hz - 1) / hz;
}

bool SpiController::CheckIdle(const char* what) {
  if (!Busy()) return true;
  platform_.RecordViolation(std::string("SPI controller: ") + what + " while a command runs");
  return false;
}

uint8_t SpiController::ReadByte(unsigned offset) {
  switch (offset) {
    case 0x00:
    case 0x01:
    case 0x02:
    case 0x03: {
      uint32_t control = regs_[0] | (regs_[1] << 8) | (regs_[2] << 16) | (uint32_t{regs_[3]} << 24);
      control &= ~0x80110000u;
      if (Busy()) control |= 0x80010000u;
      if (resetPending_) control |= 0x00100000u;
      return static_cast<uint8_t>(control >> (8 * offset));
    }
    case 0x0C: {
      CheckIdle("FIFO read");
      const uint8_t value = fifo_[pointer_];
      pointer_ = static_cast<uint8_t>((pointer_ + 1) % kSpiFifoBytes);
      return value;
    }
    case 0x0D:
      return pointer_ & 7;
    case 0x1F:
      return ext_[regs_[0x1E]];
    case 0x4E:
      return pointer_;
    default:
      return regs_[offset];
  }
}

void SpiController::WriteByte(unsigned offset, uint8_t value) {
  switch (offset) {
    case 0x0C:
      if (!CheckIdle("FIFO write")) return;
      fifo_[pointer_] = value;
      pointer_ = static_cast<uint8_t>((pointer_ + 1) % kSpiFifoBytes);
      return;
    case 0x0D:
    case 0x4E:
      return;  // read-only views of the pointer
    case 0x1F:
      if ((regs_[0x1E] == 5 || regs_[0x1E] == 6) && !CheckIdle("transfer count written")) return;
      ext_[regs_[0x1E]] = value;
      return;
    default:
      regs_[offset] = value;
      return;
  }
}

uint32_t SpiController::MmioRead(uint64_t address, int width) {
  const unsigned offset = static_cast<unsigned>(address - base_);
  if (width > 1 && CoversByteRegister(offset, width)) {
    platform_.RecordViolation("SPI controller: " + std::to_string(width) +
                              "-byte read of the byte register at " + Hex(address, 8));
  }
  uint32_t value = 0;
  for (int i = 0; i < width && offset + i < kSpiControllerSize; ++i) {
    value |= uint32_t{ReadByte(offset + i)} << (8 * i);
  }
  return value;
}

void SpiController::MmioWrite(uint64_t address, int width, uint32_t value) {
  const unsigned offset = static_cast<unsigned>(address - base_);
  if (offset < 4) {
    // The control register: bits 16 and 20 are commands, bit 31 is status;
    // the other bits are stored.
    uint32_t shifted = 0, mask = 0;
    for (int i = 0; i < width && offset + i < 4; ++i) {
      shifted |= ((value >> (8 * i)) & 0xFF) << (8 * (offset + i));
      mask |= 0xFFu << (8 * (offset + i));
    }
    for (unsigned i = 0; i < 4; ++i) {
      if (mask & (0xFFu << (8 * i))) regs_[i] = static_cast<uint8_t>(shifted >> (8 * i));
    }
    regs_[2] &= ~0x11;
    regs_[3] &= ~0x80;
    WriteControl(shifted & mask);
    return;
  }
  if (width > 1 && CoversByteRegister(offset, width)) {
    platform_.RecordViolation("SPI controller: " + std::to_string(width) +
                              "-byte write of the byte register at " + Hex(address, 8));
  }
  for (int i = 0; i < width && offset + i < kSpiControllerSize; ++i) {
    WriteByte(offset + i, static_cast<uint8_t>(value >> (8 * i)));
  }
}

void SpiController::WriteControl(uint32_t written) {
  if (written & 0x00100000u) ResetFifo();
  if (written & 0x00010000u) Start();
}

void SpiController::ResetFifo() {
  if (!CheckIdle("FIFO pointer reset")) return;
  if (behaviour.fifoResetIgnored) return;
  if (behaviour.fifoResetNs == 0) {
    pointer_ = 0;
    ++fifoResets;
    return;
  }
  if (resetPending_) return;
  resetPending_ = true;
  const uint64_t generation = generation_;
  platform_.clock.Schedule(behaviour.fifoResetNs, [this, generation] {
    if (generation != generation_) return;
    resetPending_ = false;
    pointer_ = 0;
    ++fifoResets;
  });
}

void SpiController::Start() {
  if (!CheckIdle("command started")) return;
  unsigned tx = ext_[5];
  unsigned rx = ext_[6];
  const uint8_t opcode = regs_[0];
  if (tx + rx > kSpiFifoBytes) {
    platform_.RecordViolation("SPI controller: command " + Hex(opcode, 2) + " with " + std::to_string(tx) +
                              " transmit and " + std::to_string(rx) + " receive bytes: more than the " +
                              std::to_string(kSpiFifoBytes) + "-byte FIFO");
    tx = std::min(tx, kSpiFifoBytes);
    rx = kSpiFifoBytes - tx;
  }
  std::vector<uint8_t> sent(fifo_.begin(), fifo_.begin() + tx);
  busy_ = true;
  const uint64_t startNs = platform_.clock.Now();
  if (behaviour.neverCompletes) {
    platform_.Trace("Spi", "SPI command " + Hex(opcode, 2) + " started; the controller never finishes it",
                    {{"opcode", Hex(opcode, 2)}, {"tx", HexBytes(sent)}, {"rx", ""}});
    return;
  }
  const uint64_t generation = generation_;
  platform_.clock.Schedule(CommandNs(1 + tx + rx), [this, generation, opcode, sent, rx, startNs] {
    if (generation != generation_) return;
    Complete(opcode, sent, rx, startNs);
  });
}

void SpiController::Complete(uint8_t opcode, std::vector<uint8_t> tx, unsigned rx, uint64_t startNs) {
  std::vector<uint8_t> mosi = tx;
  mosi.resize(tx.size() + rx, 0x00);
  const std::vector<uint8_t> miso =
      part ? part->Exchange(opcode, mosi) : std::vector<uint8_t>(mosi.size(), 0xFF);
  std::vector<uint8_t> received(miso.begin() + static_cast<std::ptrdiff_t>(tx.size()), miso.end());
  std::copy(received.begin(), received.end(), fifo_.begin() + static_cast<std::ptrdiff_t>(tx.size()));
  busy_ = false;
  commands.push_back({platform_.BootNumber(), opcode, tx, received, startNs, platform_.clock.Now()});
  platform_.Trace("Spi", [opcode, tx = std::move(tx), received = std::move(received),
                          ns = platform_.clock.Now() - startNs, noPart = !part](TraceEvent& e) {
    e.fields = {{"opcode", Hex(opcode, 2)}};
    e.text = "SPI " + std::string(OpcodeName(opcode)) + " " + Hex(opcode, 2);
    if (IsAddressedOpcode(opcode) && tx.size() >= 3) {
      const uint32_t address = (uint32_t{tx[0]} << 16) | (uint32_t{tx[1]} << 8) | tx[2];
      e.fields.push_back({"address", Hex(address, 6)});
      e.text += " at " + Hex(address, 6);
    }
    e.fields.push_back({"tx", HexBytes(tx)});
    e.fields.push_back({"rx", HexBytes(received)});
    e.fields.push_back({"ns", std::to_string(ns)});
    e.text += ": tx [" + HexBytes(tx) + "] rx [" + HexBytes(received) + "]";
    if (noPart) e.text += " (no part on the bus)";
  });
}

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
