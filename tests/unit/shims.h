// Test-local stand-ins around the simulated firmware and bus:
// - VariableFailures swaps GetVariable/SetVariable in the runtime-services
//   table for shims that fail the calls a rule selects and forward all others;
//   the original entries are restored when it goes out of scope.
// - PortSpy sits between the seam and a device on a few ports and records
//   every access in order.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "frame/uefi.h"
#include "sim/platform.h"

class VariableFailures {
 public:
  // A rule returns EFI_SUCCESS to forward the call, or the status to fail it with.
  using GetRule = std::function<EFI_STATUS(const std::u16string& name)>;
  using SetRule = std::function<EFI_STATUS(const std::u16string& name, UINT32 attributes, UINTN size)>;

  explicit VariableFailures(EFI_RUNTIME_SERVICES* services, GetRule get = nullptr, SetRule set = nullptr)
      : services_(services), get_(std::move(get)), set_(std::move(set)) {
    realGet_ = services_->GetVariable;
    realSet_ = services_->SetVariable;
    active_ = this;
    services_->GetVariable = Get;
    services_->SetVariable = Set;
  }
  ~VariableFailures() {
    services_->GetVariable = realGet_;
    services_->SetVariable = realSet_;
    active_ = nullptr;
  }
  VariableFailures(const VariableFailures&) = delete;
  VariableFailures& operator=(const VariableFailures&) = delete;

  unsigned failed = 0;  // calls the rules failed

 private:
  static EFI_STATUS EFIAPI Get(const CHAR16* name, const EFI_GUID* guid, UINT32* attributes, UINTN* size,
                               void* data) {
    VariableFailures* self = active_;
    if (self->get_ && name != nullptr) {
      const EFI_STATUS status = self->get_(reinterpret_cast<const char16_t*>(name));
      if (status != EFI_SUCCESS) {
        self->failed++;
        return status;
      }
    }
    return self->realGet_(name, guid, attributes, size, data);
  }
  static EFI_STATUS EFIAPI Set(const CHAR16* name, const EFI_GUID* guid, UINT32 attributes, UINTN size,
                               const void* data) {
    VariableFailures* self = active_;
    if (self->set_ && name != nullptr) {
      const EFI_STATUS status = self->set_(reinterpret_cast<const char16_t*>(name), attributes, size);
      if (status != EFI_SUCCESS) {
        self->failed++;
        return status;
      }
    }
    return self->realSet_(name, guid, attributes, size, data);
  }

  static inline VariableFailures* active_ = nullptr;
  EFI_RUNTIME_SERVICES* services_;
  GetRule get_;
  SetRule set_;
  decltype(EFI_RUNTIME_SERVICES::GetVariable) realGet_;
  decltype(EFI_RUNTIME_SERVICES::SetVariable) realSet_;
};

class PortSpy : public sim::Device {
 public:
  struct Access {
    bool write;
    uint16_t port;
    bool operator==(const Access& o) const { return write == o.write && port == o.port; }
  };
  struct Route {
    uint16_t port;
    sim::Device* device;
  };
  PortSpy(sim::Platform& platform, std::vector<Route> routes)
      : platform_(platform), routes_(std::move(routes)) {
    for (const Route& r : routes_) {
      platform_.MapPorts(r.port, 1, nullptr);
      platform_.MapPorts(r.port, 1, this);
    }
  }
  ~PortSpy() override {
    for (const Route& r : routes_) {
      platform_.MapPorts(r.port, 1, nullptr);
      platform_.MapPorts(r.port, 1, r.device);
    }
  }
  uint32_t PortRead(uint16_t port, int width) override {
    log.push_back({false, port});
    return Target(port)->PortRead(port, width);
  }
  void PortWrite(uint16_t port, int width, uint32_t value) override {
    log.push_back({true, port});
    Target(port)->PortWrite(port, width, value);
  }
  std::vector<Access> log;

 private:
  sim::Device* Target(uint16_t port) {
    for (const Route& r : routes_) {
      if (r.port == port) return r.device;
    }
    return nullptr;
  }
  sim::Platform& platform_;
  std::vector<Route> routes_;
};
