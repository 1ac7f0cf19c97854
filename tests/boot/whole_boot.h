// Fixture for whole simulated boots: a notebook, a freshly loaded driver
// image per boot, and direct access to the variable store.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/devices/devices.h"
#include "sim/platform.h"

class WholeBootTest : public ::testing::Test {
 protected:
  sim::Platform platform;
  sim::Notebook notebook{platform};
  sim::DriverImage image{sim::DriverImage::DefaultPath()};

  void Put(const std::u16string& name, const EFI_GUID& guid, std::vector<uint8_t> data, uint32_t attr = 7) {
    platform.PutVariable(name, guid, attr, std::move(data));
  }
  std::optional<std::vector<uint8_t>> Var(const std::u16string& name, const EFI_GUID& guid) const {
    const sim::Variable* v = platform.FindVariable(name, guid);
    if (v == nullptr) return std::nullopt;
    return v->data;
  }
};
