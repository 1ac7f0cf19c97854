// The SPI NOR part and the FCH SPI controller that drives it (declared in
// sim/devices/flash_devices.h).

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "sim/devices/flash_devices.h"

namespace sim {
namespace {

std::string Hex(uint64_t v, int digits) { return HexPadded(v, digits); }

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

}  // namespace sim
