// Fixture for the zkboot tests: a temporary efivarfs-like directory, a state
// directory, and the command run in-process.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/zkboot/zkboot.h"

struct RunResult {
  int rc;
  std::string out, err;
};

class ZkbootTest : public ::testing::Test {
 protected:
  std::string dir, root, state;

  void SetUp() override {
    char tmpl[] = "/tmp/zkboot-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    root = dir + "/efivars";
    state = dir + "/state";
    std::filesystem::create_directory(root);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  RunResult Run(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--root", root, "--state-dir", state});
    std::ostringstream out, err;
    const int rc = zkboot::Main(args, out, err);
    return {rc, out.str(), err.str()};
  }

  // Writes a variable file: 4-byte little-endian attributes, then the data.
  void PutFile(const std::string& file, uint32_t attributes, const std::vector<uint8_t>& data) const {
    std::ofstream out(root + "/" + file, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < 4; i++) out.put(static_cast<char>(attributes >> (8 * i)));
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }

  // The whole file, attribute prefix included; nullopt when absent.
  std::optional<std::vector<uint8_t>> File(const std::string& file) const {
    std::ifstream in(root + "/" + file, std::ios::binary);
    if (!in) return std::nullopt;
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
};

// File names of the driver's variables as efivarfs shows them.
inline const std::string kChgBootFile = "ZKChgBoot-99165095-035d-44cc-9234-db41d2d3e959";
inline const std::string kFirstBootFile = "ZKFirstBoot-99165095-035d-44cc-9234-db41d2d3e959";
inline const std::string kLidFlagFile = "ZKSaveLidFlag-99165095-035d-44cc-9234-db41d2d359e9";
inline const std::string kOobFile = "ZKOOBTest-259c170f-0fc4-4fe1-bc23-b0b80700725e";
inline const std::string kChgKeyFile = "ZKChgKey-a3adaf88-b599-4204-b4c5-ee92026afd31";
inline const std::string kSetupFile = "Setup-a04a27f4-df00-4d42-b552-39511302113d";
inline const std::string kGlobal = "-8be4df61-93ca-11d2-aa0d-00e098032b8c";
