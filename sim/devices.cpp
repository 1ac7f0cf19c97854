#include "sim/devices.h"

#include <cstdio>

namespace sim {
namespace {

std::string Hex(uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "0x%0*X", digits, v);
  return buf;
}

}  // namespace

// ---------------------------------------------------------------- EC
EmbeddedController::EmbeddedController(Platform& platform) : platform_(platform) {
  platform.MapPorts(0x62, 1, this);
  platform.MapPorts(0x66, 1, this);
}

void EmbeddedController::OnBootStart(unsigned) {
  state_ = State::Idle;
  obf_ = behaviour.staleOutput.has_value();
  output_ = behaviour.staleOutput.value_or(0);
  answerPending_ = false;
  answerQueued_ = false;
  busy_ = behaviour.busyAtBoot;
  taken_ = 0;
}

bool EmbeddedController::Dead() const {
  return behaviour.neverAnswers || (behaviour.goesDeadAfter && taken_ > *behaviour.goesDeadAfter);
}

void EmbeddedController::HostWrote() { busy_ = behaviour.busyAfterWrite; }

uint32_t EmbeddedController::PortRead(uint16_t port, int) {
  if (port == 0x66) {
    statusReads++;
    bool ibf = Dead();
    if (!ibf && busy_ > 0) {
      busy_--;
      ibf = true;
    }
    // The EC answers a read only after it has taken the address byte, so
    // OBF never rises while IBF is still set.
    if (!ibf && answerQueued_) {
      answerQueued_ = false;
      output_ = answer_;
      obf_ = true;
      answerPending_ = true;
    }
    return (obf_ ? 0x01u : 0u) | (ibf ? 0x02u : 0u);
  }
  dataReads++;
  uint8_t value = output_;
  if (obf_) {
    obf_ = false;
    if (!answerPending_) {
      drainedBytes++;
    }
    answerPending_ = false;
  }
  return value;
}

void EmbeddedController::PortWrite(uint16_t port, int, uint32_t value) {
  if (Dead()) {
    return;  // nothing on the other side takes the byte
  }
  taken_++;
  if (Dead()) {
    return;  // the EC latched the byte but stopped working on it
  }
  const uint8_t byte = static_cast<uint8_t>(value);
  if (port == 0x66) {
    commands.push_back(byte);
    state_ = byte == 0x80 ? State::ReadAddress : byte == 0x81 ? State::WriteAddress : State::Idle;
    HostWrote();
    return;
  }
  switch (state_) {
    case State::ReadAddress:
      answer_ = registers[byte];
      answerQueued_ = true;
      state_ = State::Idle;
      break;
    case State::WriteAddress:
      address_ = byte;
      state_ = State::WriteData;
      break;
    case State::WriteData:
      registers[address_] = byte;
      writes.push_back({platform_.BootNumber(), address_, byte});
      platform_.Trace("EcWrite", "EC register " + Hex(address_, 2) + " <- " + Hex(byte, 2),
                      {{"register", std::to_string(address_)}, {"value", std::to_string(byte)}});
      state_ = State::Idle;
      break;
    case State::Idle:
      break;
  }
  HostWrote();
}

// ---------------------------------------------------------------- CMOS
Cmos::Cmos(Platform& platform) : platform_(platform) { platform.MapPorts(0x72, 2, this); }

uint32_t Cmos::PortRead(uint16_t port, int) {
  if (port == 0x72) {
    return index_;
  }
  return bytes[index_ & 0x7F];
}

void Cmos::PortWrite(uint16_t port, int, uint32_t value) {
  const uint8_t byte = static_cast<uint8_t>(value);
  if (port == 0x72) {
    index_ = byte & 0x7F;
    return;
  }
  bytes[index_] = byte;
  writes.push_back({platform_.BootNumber(), index_, byte});
  platform_.Trace("CmosWrite", "CMOS " + Hex(index_, 2) + " <- " + Hex(byte, 2),
                  {{"index", std::to_string(index_)}, {"value", std::to_string(byte)}});
}

// ---------------------------------------------------------------- register page
RegisterPage::RegisterPage(Platform& platform, uint64_t base, uint64_t size, std::string name)
    : bytes(size, 0), platform_(platform), base_(base), name_(std::move(name)) {
  platform.MapMmio(base, size, this);
}

uint32_t RegisterPage::MmioRead(uint64_t address, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; i++) {
    const uint64_t offset = address - base_ + i;
    const uint32_t byte = offset < bytes.size() ? bytes[offset] : 0xFF;
    value |= byte << (8 * i);
  }
  accesses.push_back({platform_.BootNumber(), false, address, width, value});
  return value;
}

void RegisterPage::MmioWrite(uint64_t address, int width, uint32_t value) {
  for (int i = 0; i < width; i++) {
    const uint64_t offset = address - base_ + i;
    if (offset < bytes.size()) {
      bytes[offset] = static_cast<uint8_t>(value >> (8 * i));
    }
  }
  accesses.push_back({platform_.BootNumber(), true, address, width, value});
  platform_.Trace("MmioWrite",
                  name_ + " " + Hex(static_cast<uint32_t>(address), 8) + " <- " + Hex(value, 2 * width),
                  {{"address", std::to_string(address)},
                   {"width", std::to_string(width)},
                   {"value", std::to_string(value)}});
}

// ---------------------------------------------------------------- IMC
IntegratedMicrocontroller::IntegratedMicrocontroller(Platform& platform) : platform_(platform) {
  platform.MapPorts(0x3E, 2, this);
}

uint32_t IntegratedMicrocontroller::PortRead(uint16_t port, int) {
  return port == 0x3E ? index_ : mailbox[index_];
}

void IntegratedMicrocontroller::PortWrite(uint16_t port, int, uint32_t value) {
  const uint8_t byte = static_cast<uint8_t>(value);
  if (port == 0x3E) {
    index_ = byte;
    return;
  }
  mailbox[index_] = byte;
  if (index_ == 0x80 && byte == 0x96) {
    const uint8_t parameter = mailbox[0x83];
    requests.push_back(parameter);
    platform_.Trace(
        "ImcRequest",
        std::string("IMC ") + (parameter == 0xB4   ? "enter idle"
                               : parameter == 0xB5 ? "leave idle"
                                                   : "command 0x96 parameter " + Hex(parameter, 2)),
        {{"parameter", std::to_string(parameter)}});
    if (acknowledges && (parameter == 0xB4 || parameter == 0xB5)) {
      idle = parameter == 0xB4;
      mailbox[0x82] = 0xFA;
    }
  }
}

// ---------------------------------------------------------------- post codes
PostCodes::PostCodes(Platform& platform) : platform_(platform) {
  platform.MapPorts(0x80, 1, this);
  platform.MapPorts(0xE0, 1, this);
}

uint32_t PostCodes::PortRead(uint16_t, int width) {
  reads++;
  return width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
}

void PostCodes::PortWrite(uint16_t port, int width, uint32_t value) {
  codes.push_back({platform_.BootNumber(), port, width, value});
  platform_.Trace(
      "PostCode", "port " + Hex(port, 2) + " <- " + Hex(value, 2 * width),
      {{"port", std::to_string(port)}, {"width", std::to_string(width)}, {"value", std::to_string(value)}});
  if (onWrite) onWrite(codes.back());
}

// ---------------------------------------------------------------- notebook
Notebook::Notebook(Platform& platform)
    : ec(platform),
      cmos(platform),
      fch(platform, kFchRegisterBase, 0x1000, "FCH"),
      imc(platform),
      postCodes(platform) {}

void Notebook::EnableImc(bool enabled) {
  uint8_t& gate = fch.bytes[kImcGateOffset];
  gate = enabled ? (gate | kImcGateBit) : (gate & ~kImcGateBit);
}

}  // namespace sim
