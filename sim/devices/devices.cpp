#include "sim/devices/devices.h"

#include <algorithm>
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
  // The host interface starts over; the registers are the EC's own.
  state_ = State::Idle;
  obf_ = behaviour.staleOutput.has_value();
  outputIsAnswer_ = false;
  answerWaiting_.reset();
  taken_ = 0;
  ibf_ = behaviour.busyAtBootNs > 0;
  if (ibf_ && !behaviour.neverAnswers) {
    platform_.clock.Schedule(behaviour.busyAtBootNs, [this] { ibf_ = false; });
  }
  output_ = behaviour.staleOutput.value_or(0);
}

void EmbeddedController::Renew() {
  behaviour = Behaviour{};
  registers.fill(0);
  writes.clear();
  commands.clear();
  drainedBytes = 0;
  overruns = 0;
  statusReads = dataReads = 0;
  state_ = State::Idle;
  address_ = 0;
  ibf_ = obf_ = false;
  output_ = 0;
  outputIsAnswer_ = false;
  answerWaiting_.reset();
  taken_ = 0;
}

bool EmbeddedController::Dead() const {
  return behaviour.neverAnswers || (behaviour.goesDeadAfter && taken_ >= *behaviour.goesDeadAfter);
}

uint32_t EmbeddedController::PortRead(uint16_t port, int) {
  if (port == 0x66) {
    statusReads++;
    const bool ibf = ibf_ || behaviour.neverAnswers;
    return (obf_ ? 0x01u : 0u) | (ibf ? 0x02u : 0u);
  }
  dataReads++;
  const uint8_t value = output_;
  if (obf_) {
    obf_ = false;
    if (!outputIsAnswer_) drainedBytes++;
    outputIsAnswer_ = false;
    if (answerWaiting_) {
      const uint8_t next = *answerWaiting_;
      answerWaiting_.reset();
      platform_.clock.Schedule(behaviour.answerNs, [this, next] { Answer(next); });
    }
  }
  return value;
}

void EmbeddedController::Answer(uint8_t value) {
  if (obf_) {  // the host has not read the output buffer yet
    answerWaiting_ = value;
    return;
  }
  output_ = value;
  obf_ = true;
  outputIsAnswer_ = true;
  platform_.Trace("EcRead", [reg = address_, value](TraceEvent& e) {
    e.text = "EC register " + Hex(reg, 2) + " -> " + Hex(value, 2);
    e.fields = {{"register", std::to_string(reg)}, {"value", std::to_string(value)}};
  });
}

void EmbeddedController::PortWrite(uint16_t port, int, uint32_t value) {
  const uint8_t byte = static_cast<uint8_t>(value);
  if (ibf_ || behaviour.neverAnswers) {
    overruns++;
    platform_.Trace("EcOverrun", "byte " + Hex(byte, 2) + " to port " + Hex(port, 2) + " lost: IBF was set",
                    {{"port", std::to_string(port)}, {"value", std::to_string(byte)}});
    if (!behaviour.neverAnswers) {
      platform_.RecordViolation("EC byte " + Hex(byte, 2) + " written to port " + Hex(port, 2) +
                                " while IBF was set: the EC loses it");
    }
    return;
  }
  ibf_ = true;
  if (Dead()) return;  // nothing on the other side takes the byte
  platform_.clock.Schedule(behaviour.takeNs, [this, port, byte] { Take(port, byte); });
}

void EmbeddedController::Take(uint16_t port, uint8_t byte) {
  ibf_ = false;
  taken_++;
  if (port == 0x66) {
    commands.push_back(byte);
    state_ = byte == 0x80 ? State::ReadAddress : byte == 0x81 ? State::WriteAddress : State::Idle;
    return;
  }
  switch (state_) {
    case State::ReadAddress: {
      address_ = byte;
      const uint8_t answer = registers[byte];
      state_ = State::Idle;
      platform_.clock.Schedule(behaviour.answerNs, [this, answer] { Answer(answer); });
      break;
    }
    case State::WriteAddress:
      address_ = byte;
      state_ = State::WriteData;
      break;
    case State::WriteData:
      registers[address_] = byte;
      writes.push_back({platform_.BootNumber(), address_, byte});
      platform_.Trace("EcWrite", [reg = address_, byte](TraceEvent& e) {
        e.text = "EC register " + Hex(reg, 2) + " <- " + Hex(byte, 2);
        e.fields = {{"register", std::to_string(reg)}, {"value", std::to_string(byte)}};
      });
      state_ = State::Idle;
      break;
    case State::Idle:
      break;
  }
}

// ---------------------------------------------------------------- CMOS
Cmos::Cmos(Platform& platform) : platform_(platform) { platform.MapPorts(0x72, 2, this); }

uint32_t Cmos::PortRead(uint16_t port, int) {
  if (port == 0x72) {
    return index_;
  }
  const uint8_t value = bytes[index_];
  platform_.Trace("CmosRead", [index = index_, value](TraceEvent& e) {
    e.text = "CMOS " + Hex(index, 2) + " -> " + Hex(value, 2);
    e.fields = {{"index", std::to_string(index)}, {"value", std::to_string(value)}};
  });
  return value;
}

void Cmos::PortWrite(uint16_t port, int, uint32_t value) {
  const uint8_t byte = static_cast<uint8_t>(value);
  if (port == 0x72) {
    index_ = byte & 0x7F;
    return;
  }
  bytes[index_] = byte;
  writes.push_back({platform_.BootNumber(), index_, byte});
  platform_.Trace("CmosWrite", [index = index_, byte](TraceEvent& e) {
    e.text = "CMOS " + Hex(index, 2) + " <- " + Hex(byte, 2);
    e.fields = {{"index", std::to_string(index)}, {"value", std::to_string(byte)}};
  });
}

void Cmos::Renew() {
  bytes.fill(0);
  writes.clear();
  index_ = 0;
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
  if (onAccess) onAccess(accesses.back());
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
  platform_.Trace("MmioWrite", [name = name_, address, width, value](TraceEvent& e) {
    e.text = name + " " + Hex(static_cast<uint32_t>(address), 8) + " <- " + Hex(value, 2 * width);
    e.fields = {{"address", std::to_string(address)},
                {"width", std::to_string(width)},
                {"value", std::to_string(value)}};
  });
  if (onAccess) onAccess(accesses.back());
}

void RegisterPage::Renew() {
  std::fill(bytes.begin(), bytes.end(), 0);
  accesses.clear();
  onAccess = nullptr;
}

// ---------------------------------------------------------------- IMC
IntegratedMicrocontroller::IntegratedMicrocontroller(Platform& platform, const uint8_t* gate)
    : platform_(platform), gate_(gate) {
  platform.MapPorts(0x3E, 2, this);
}

void IntegratedMicrocontroller::OnBootStart(unsigned) {
  idle = false;
  mailbox.fill(0);
  index_ = 0;
}

void IntegratedMicrocontroller::Renew() {
  acknowledges = true;
  ackNs = 20000;
  idle = false;
  mailbox.fill(0);
  requests.clear();
  ignored = 0;
  index_ = 0;
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
  if (index_ != 0x80 || byte != 0x96) return;
  const uint8_t parameter = mailbox[0x83];
  if ((*gate_ & kImcGateBit) == 0) {
    ignored++;
    platform_.Trace("ImcIgnored", "IMC command 0x96 written while the microcontroller is not enabled",
                    {{"parameter", std::to_string(parameter)}});
    return;
  }
  requests.push_back(parameter);
  platform_.Trace("ImcRequest",
                  std::string("IMC ") + (parameter == 0xB4   ? "enter idle"
                                         : parameter == 0xB5 ? "leave idle"
                                                             : "command 0x96 parameter " + Hex(parameter, 2)),
                  {{"parameter", std::to_string(parameter)}});
  if (acknowledges && (parameter == 0xB4 || parameter == 0xB5)) {
    platform_.clock.Schedule(ackNs, [this, parameter] {
      idle = parameter == 0xB4;
      mailbox[0x82] = 0xFA;
    });
  }
}

// ---------------------------------------------------------------- post codes
PostCodes::PostCodes(Platform& platform) : platform_(platform) {
  platform.MapPorts(0x80, 1, this);
  platform.MapPorts(0xE0, 1, this);
}

void PostCodes::Renew() {
  codes.clear();
  reads = 0;
  onWrite = nullptr;
}

uint32_t PostCodes::PortRead(uint16_t, int width) {
  reads++;
  return width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
}

void PostCodes::PortWrite(uint16_t port, int width, uint32_t value) {
  codes.push_back({platform_.BootNumber(), port, width, value});
  platform_.Trace("PostCode", [port, width, value](TraceEvent& e) {
    e.text = "port " + Hex(port, 2) + " <- " + Hex(value, 2 * width);
    e.fields = {
        {"port", std::to_string(port)}, {"width", std::to_string(width)}, {"value", std::to_string(value)}};
  });
  if (onWrite) onWrite(codes.back());
}

// ---------------------------------------------------------------- notebook
Notebook::Notebook(Platform& platform)
    : ec(platform),
      cmos(platform),
      fch(platform, kFchRegisterBase, 0x1000, "FCH"),
      imc(platform, &fch.bytes[kImcGateOffset]),
      postCodes(platform) {}

void Notebook::Renew() {
  ec.Renew();
  cmos.Renew();
  fch.Renew();
  imc.Renew();
  postCodes.Renew();
}

void Notebook::EnableImc(bool enabled) {
  uint8_t& gate = fch.bytes[kImcGateOffset];
  gate = enabled ? (gate | kImcGateBit) : (gate & ~kImcGateBit);
}

CostKind EmbeddedController::PortCost(uint16_t, bool) const { return CostKind::Ec; }

// A status read only counts; a data read empties the output buffer.
bool EmbeddedController::SteadyRead(uint16_t port) const { return port == 0x66; }

void EmbeddedController::RepeatedReads(uint16_t port, uint64_t count) {
  if (port == 0x66) statusReads += count;
}

CostKind PostCodes::PortCost(uint16_t, bool write) const { return write ? CostKind::LpcIo : CostKind::Wait; }

}  // namespace sim
