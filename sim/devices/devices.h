// sim/devices/: the devices on the clock behind the hardware seam. Models the
// device bus and the processor (device.h), the ACPI EC, CMOS, the FCH
// microcontroller mailbox and register page, the post-code ports, the FCH SPI
// controller and its SPI NOR part, memory-mapped flash parts, PM1 control,
// the host bridge, the flash lock's other agent, the firmware-information
// area and the flash identification's debug view. Records as violations: an
// EC byte written while IBF is set; an SPI controller byte register accessed
// wider than a byte, its FIFO or transfer counts touched or a command started
// while one runs, a command beyond the FIFO; a PM1 control write or a write
// of the FCH's PM1 control address; a write of the host bridge's flash-lock
// window; a flash-lock access of the wrong width; an FCH flash register
// changed while the other agent holds the flash lock.
//
// Device models of the simulated notebook: the ACPI embedded controller, CMOS,
// the FCH integrated microcontroller mailbox, the FCH register page and the
// post-code ports.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/platform.h"

namespace sim {

// ACPI embedded controller on ports 0x62 (data) and 0x66 (status/command),
// running on the platform clock. Status bit 0 is OBF (output buffer full),
// bit 1 IBF (input buffer full).
//
// Every host write sets IBF at once; the EC takes the byte `takeNs` later
// and clears IBF. A byte written while IBF is still set is lost: the input
// buffer holds one byte and the EC never sees the second (recorded as an
// overrun and as a platform violation, since a driver that waits for IBF
// never does it). RD_EC (0x80) + address: `answerNs` after taking the
// address the EC puts the register into the output buffer and raises OBF,
// whatever the host does meanwhile; while the output buffer still holds an
// unread byte the answer waits for it to be read. WR_EC (0x81) + address +
// data writes a register. A dead EC takes nothing: IBF stays set and OBF
// never rises. Registers persist across resets (the EC has its own supply).
class EmbeddedController : public Device {
 public:
  struct Behaviour {
    bool neverAnswers = false;              // IBF stays set and OBF never comes: the EC is dead
    uint64_t takeNs = 2000;                 // host write to IBF clear
    uint64_t answerNs = 3000;               // address taken to OBF with the answer
    uint64_t busyAtBootNs = 0;              // IBF set for this long at the start of a boot
    std::optional<uint8_t> staleOutput;     // a byte left in the output buffer at the start of a boot
    std::optional<unsigned> goesDeadAfter;  // host bytes taken in a boot; then the EC stops
  };
  Behaviour behaviour;
  std::array<uint8_t, 256> registers{};
  struct Write {
    unsigned boot;
    uint8_t reg;
    uint8_t value;
  };
  std::vector<Write> writes;      // every register written, in order
  std::vector<uint8_t> commands;  // every byte written to the command port
  unsigned drainedBytes = 0;      // output bytes read that were not the answer to a read
  unsigned overruns = 0;          // bytes written while IBF was set (lost)
  uint64_t statusReads = 0, dataReads = 0;

  explicit EmbeddedController(Platform& platform);
  uint32_t PortRead(uint16_t port, int width) override;
  void PortWrite(uint16_t port, int width, uint32_t value) override;
  CostKind PortCost(uint16_t port, bool write) const override;  // EC
  void OnBootStart(unsigned boot) override;
  bool SteadyRead(uint16_t port) const override;  // the status port
  void RepeatedReads(uint16_t port, uint64_t count) override;
  void Renew();  // as constructed (Notebook::Renew)

 private:
  enum class State { Idle, ReadAddress, WriteAddress, WriteData };
  Platform& platform_;
  State state_ = State::Idle;
  uint8_t address_ = 0;
  bool ibf_ = false;
  bool obf_ = false;
  uint8_t output_ = 0;
  bool outputIsAnswer_ = false;           // the output buffer holds an answer, not a stale byte
  std::optional<uint8_t> answerWaiting_;  // ready but the output buffer is still full
  unsigned taken_ = 0;
  bool Dead() const;
  void Take(uint16_t port, uint8_t byte);
  void Answer(uint8_t value);
};

// CMOS RAM upper bank through the index/data pair 0x72/0x73. Survives resets.
class Cmos : public Device {
 public:
  std::array<uint8_t, 128> bytes{};
  struct Write {
    unsigned boot;
    uint8_t index;
    uint8_t value;
  };
  std::vector<Write> writes;
  explicit Cmos(Platform& platform);
  uint32_t PortRead(uint16_t port, int width) override;
  void PortWrite(uint16_t port, int width, uint32_t value) override;
  void Renew();

 private:
  Platform& platform_;
  uint8_t index_ = 0;
};

// A page of byte-addressed device registers (the FCH block at 0xFED80000).
// Accesses of any width are little-endian; writes are recorded.
class RegisterPage : public Device {
 public:
  RegisterPage(Platform& platform, uint64_t base, uint64_t size, std::string name);
  std::vector<uint8_t> bytes;
  struct Access {
    unsigned boot;
    bool write;
    uint64_t address;
    int width;
    uint32_t value;
  };
  std::vector<Access> accesses;
  std::function<void(const Access&)> onAccess;  // called after every access is done
  uint32_t MmioRead(uint64_t address, int width) override;
  void MmioWrite(uint64_t address, int width, uint32_t value) override;
  void Renew();

 private:
  Platform& platform_;
  uint64_t base_;
  std::string name_;
};

// FCH integrated-microcontroller mailbox on 0x3E/0x3F. Command 0x96 with
// parameter 0xB4 (enter idle) or 0xB5 (leave idle) is acknowledged with 0xFA
// in message register 0x82, `ackNs` after the command byte. The
// microcontroller runs only while its enable gate, bit 2 of the FCH byte at
// 0xFED80E80, is set: with the gate clear the mailbox registers still hold
// what is written but nothing acts on a command. It restarts (not idle,
// mailbox clear) on every reset.
class IntegratedMicrocontroller : public Device {
 public:
  bool acknowledges = true;
  uint64_t ackNs = 20000;
  bool idle = false;
  std::array<uint8_t, 256> mailbox{};
  std::vector<uint8_t> requests;  // parameter of every command 0x96 the microcontroller acted on
  unsigned ignored = 0;           // commands written while the gate was clear
  IntegratedMicrocontroller(Platform& platform, const uint8_t* gate);
  uint32_t PortRead(uint16_t port, int width) override;
  void PortWrite(uint16_t port, int width, uint32_t value) override;
  void OnBootStart(unsigned boot) override;
  void Renew();

 private:
  Platform& platform_;
  const uint8_t* gate_;
  uint8_t index_ = 0;
};

// Post-code ports 0x80 and 0xE0: reads are a harmless delay, writes are codes.
class PostCodes : public Device {
 public:
  struct Code {
    unsigned boot;
    uint16_t port;
    int width;
    uint32_t value;
  };
  std::vector<Code> codes;
  uint64_t reads = 0;
  // Called after every write (a test may end the boot from here, as a person
  // pressing the reset button would).
  std::function<void(const Code&)> onWrite;
  explicit PostCodes(Platform& platform);
  uint32_t PortRead(uint16_t port, int width) override;
  void PortWrite(uint16_t port, int width, uint32_t value) override;
  // Writes are post codes; reads are delays, charged to the device waited on.
  CostKind PortCost(uint16_t port, bool write) const override;
  bool SteadyRead(uint16_t) const override { return true; }
  void RepeatedReads(uint16_t, uint64_t count) override { reads += count; }
  void Renew();

 private:
  Platform& platform_;
};

constexpr uint64_t kFchRegisterBase = 0xFED80000;
constexpr uint64_t kImcGateOffset = 0xE80;
constexpr uint8_t kImcGateBit = 0x04;

// The notebook: every device above mapped at its platform address.
struct Notebook {
  explicit Notebook(Platform& platform);
  EmbeddedController ec;
  Cmos cmos;
  RegisterPage fch;
  IntegratedMicrocontroller imc;
  PostCodes postCodes;
  void EnableImc(bool enabled);
  // Every device as constructed, for a platform renewed in place
  // (Platform::Renew).
  void Renew();
};

}  // namespace sim
