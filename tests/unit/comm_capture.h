// A stand-in for the SMM side of SMM communication in unit tests: it keeps
// each buffer as it arrived and answers with a chosen result, or not at all.
#pragma once

#include <cstring>
#include <vector>

#include "frame/pi.h"

struct Capture {
  EFI_SMM_COMMUNICATION_PROTOCOL protocol{Communicate};
  struct Call {
    std::vector<uint8_t> bytes;
    uintptr_t buffer;
    UINTN size;
  };
  std::vector<Call> calls;
  bool answers = true;
  uint64_t result = 0;
  uint64_t dataLength = 0;  // written into restore requests when non-zero
  static inline Capture* active = nullptr;

  static EFI_STATUS EFIAPI Communicate(const EFI_SMM_COMMUNICATION_PROTOCOL*, void* buffer, UINTN* size) {
    Capture* self = active;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    self->calls.push_back(
        {std::vector<uint8_t>(bytes, bytes + *size), reinterpret_cast<uintptr_t>(buffer), *size});
    if (!self->answers) return EFI_SUCCESS;
    std::memcpy(bytes + 32, &self->result, 8);
    if (self->dataLength != 0) std::memcpy(bytes + 64, &self->dataLength, 8);
    return EFI_SUCCESS;
  }
};
