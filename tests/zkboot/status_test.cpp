// zkboot status: decoding, device-path text and the prediction of the next
// boots made by the driver's own code.
#include "sim/uefi/load_option.h"
#include "tests/zkboot/zkboot_test.h"
#include "tools/zkboot/devpath.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Json = nlohmann::ordered_json;

TEST(DevicePathText, CommonNodesAndMalformedPaths) {
  const Bytes acpiRoot = {0x02, 0x01, 0x0C, 0x00, 0xD0, 0x41, 0x03, 0x0A, 0x00, 0x00, 0x00, 0x00};
  struct Row {
    Bytes path;
    std::string text;
  };
  auto encode = [](std::vector<sim::PathNode> nodes) { return sim::EncodePath(nodes); };
  auto concat = [](Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Row rows[] = {
      {concat(acpiRoot, encode({sim::PciNode(0x14, 0), sim::UsbNode(3, 0), sim::EndEntireNode()})),
       "PciRoot(0x0)/Pci(0x14,0x0)/USB(0x3,0x0)"},
      {encode({sim::PciNode(2, 1), sim::MacNode({0x00, 0x1B, 0x21, 0x3C, 0x4D, 0x5E}), sim::Ipv4Node(),
               sim::EndEntireNode()}),
       "Pci(0x2,0x1)/MAC(001B213C4D5E,0x1)/IPv4(0.0.0.0,0x0,DHCP,0.0.0.0)"},
      {encode({sim::SataNode(1), sim::HardDriveNode(2, 0x800, 0x100000), sim::FilePathNode(u"\\EFI\\x.efi"),
               sim::EndEntireNode()}),
       "Sata(0x1,0xFFFF,0x0)/HD(2,GPT,44332211-6655-8877-99aa-bbccddeeff10,0x800,0x100000)/\\EFI\\x.efi"},
      {encode({sim::NvmeNode(1), sim::EndInstanceNode(), sim::UsbNode(1, 0), sim::EndEntireNode()}),
       "NVMe(0x1,00-00-00-00-00-00-00-00),USB(0x1,0x0)"},
      {encode({{0x05, 0x01, {0x06, 0x00, 0x00, 0x00, 'C', 'D', 0}, 0}, sim::EndEntireNode()}), "BBS(0x6,CD)"},
      {encode({{0x09, 0x02, {0xAB}, 0}, sim::EndEntireNode()}), "Path(9,2,AB)"},
      // A node shorter than its header, one that runs past the data, a path without an end node.
      {encode({sim::UsbNode(1, 0), {0x03, 0x05, {1, 0}, 2}, sim::EndEntireNode()}),
       "USB(0x1,0x0)/<malformed>"},
      {encode({sim::UsbNode(1, 0), {0x03, 0x05, {1, 0}, 200}}), "USB(0x1,0x0)/<malformed>"},
      {encode({sim::UsbNode(2, 0)}), "USB(0x2,0x0)/<no end node>"},
      {Bytes{0x7F}, "<malformed>"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(zkboot::DevicePathText(row.path.data(), row.path.size()), row.text);
  }
}

TEST(LoadOption, ParsesAndRejectsBrokenOptions) {
  const auto ok = zkboot::ParseLoadOption(sim::BuildLoadOption(1, u"EFI USB Device", {sim::UsbNode(3, 0)}));
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->attributes, 1u);
  EXPECT_EQ(ok->description, "EFI USB Device");
  EXPECT_EQ(ok->path, "USB(0x3,0x0)");

  Bytes unterminated = {1, 0, 0, 0, 4, 0, 'E', 0, 'F', 0};
  EXPECT_FALSE(zkboot::ParseLoadOption(unterminated).has_value());
  Bytes pathTooLong = sim::BuildLoadOption(1, u"X", {});
  pathTooLong[4] = 0x40;  // FilePathListLength beyond the data
  EXPECT_FALSE(zkboot::ParseLoadOption(pathTooLong).has_value());
  EXPECT_FALSE(zkboot::ParseLoadOption(Bytes{1, 0, 0}).has_value());
}

class StatusTest : public ZkbootTest {
 protected:
  // The notebook's options: Windows on NVMe, PXE, a USB stick, a SATA disk.
  void SetUp() override {
    ZkbootTest::SetUp();
    Bytes setup(512, 0);
    setup[92] = 1;
    PutFile(kSetupFile, 7, setup);
    PutFile(kFirstBootFile, 7, {0x00});
    PutFile("BootOrder" + kGlobal, 7, sim::Uint16List({0x0000, 0x0003, 0x0001, 0x0002}));
    PutFile("Boot0000" + kGlobal, 7,
            sim::BuildLoadOption(1, u"Windows Boot Manager",
                                 {sim::NvmeNode(1), sim::HardDriveNode(1, 2048, 1085440)}));
    PutFile("Boot0003" + kGlobal, 7,
            sim::BuildLoadOption(1, u"EFI PXE 0 for IPv4 (00-1B-21-3C-4D-5E)",
                                 {sim::MacNode({1}), sim::Ipv4Node()}));
    PutFile("Boot0001" + kGlobal, 7,
            sim::BuildLoadOption(1, u"EFI USB Device (Kingston)", {sim::UsbNode(3, 0)}));
    PutFile(
        "Boot0002" + kGlobal, 7,
        sim::BuildLoadOption(1, u"EFI SATA Device", {sim::SataNode(1), sim::HardDriveNode(2, 206848, 4096)}));
    PutFile("BootCurrent" + kGlobal, 6, {0x02, 0x00});
  }
  Json Status() const {
    const RunResult r = Run({"status", "--json"});
    EXPECT_EQ(r.rc, 0) << r.err;
    return Json::parse(r.out);
  }
};

TEST_F(StatusTest, PredictionFollowsTheModeByte) {
  struct Row {
    Bytes request;
    size_t boots;
    const char* cmos;   // CMOS 0x61 in the first boot, nullptr for none
    const char* reset;  // how the first boot ends, nullptr for no reset
    const char* bootNext;
    bool written;
  };
  const Row rows[] = {
      {{0x01, 0x81}, 2, "0x01", "warm", "0x0001", true},
      {{0x01, 0x82}, 2, "0x02", "warm", "0x0003", true},
      {{0x01, 0x83}, 1, "0x03", nullptr, "0x0000", true},
      {{0x00, 0x81}, 1, nullptr, nullptr, "0x0001", true},
      {{0x00, 0x83}, 1, nullptr, nullptr, "0x0000", true},
      {{0x01, 0x01}, 2, "0x01", "warm", "0x2001", true},
      {{0x00, 0x02}, 1, nullptr, nullptr, "0x2003", true},
      {{0x01, 0x03}, 1, "0x03", nullptr, nullptr, false},
      {{0x01, 0x85}, 2, "0x05", "warm", nullptr, false},
      {{0x01, 0x86}, 1, nullptr, nullptr, nullptr, false},
      {{0x01, 0x81, 0x00}, 1, nullptr, nullptr, nullptr, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.request));
    PutFile(kChgBootFile, 7, row.request);
    const Json s = Status();
    const Json& p = s["prediction"];
    ASSERT_EQ(p["boots"].size(), row.boots);
    EXPECT_TRUE(p["settled"].get<bool>());
    const Json& first = p["boots"][0];
    EXPECT_EQ(first["cmos61"], row.cmos ? Json(row.cmos) : Json(nullptr));
    EXPECT_EQ(first["reset"], row.reset ? Json(row.reset) : Json(nullptr));
    EXPECT_EQ(p["bootNext"], row.bootNext ? Json(row.bootNext) : Json(nullptr));
    EXPECT_EQ(p["bootNextWritten"].get<bool>(), row.written);
  }
}

TEST_F(StatusTest, DecodesTheVariablesAndTheBootOrder) {
  PutFile(kChgBootFile, 7, {0x01, 0x81});
  PutFile(kLidFlagFile, 7, {0x01});
  PutFile(kOobFile, 7, {0x03});
  PutFile(kChgKeyFile, 7, {0x81});
  PutFile("BootNext" + kGlobal, 7, {0x02, 0x00});
  const Json s = Status();
  EXPECT_TRUE(s["firstBoot"]["present"].get<bool>());
  EXPECT_TRUE(s["changeBoot"]["pending"].get<bool>());
  EXPECT_EQ(s["changeBoot"]["mode"], 1);
  EXPECT_TRUE(s["changeBoot"]["scan"].get<bool>());
  EXPECT_EQ(s["lidFlag"]["value"], 1);
  EXPECT_EQ(s["oobCounter"]["value"], 3);
  EXPECT_EQ(s["chgKey"]["value"], 0x81);
  EXPECT_EQ(s["bootNext"]["value"], "0x0002");
  EXPECT_EQ(s["bootNext"]["option"]["description"], "EFI SATA Device");
  EXPECT_EQ(s["bootCurrent"]["value"], "0x0002");
  const Json& options = s["bootOrder"]["options"];
  ASSERT_EQ(options.size(), 4u);
  EXPECT_EQ(options[2]["name"], "Boot0001");
  EXPECT_EQ(options[2]["path"], "USB(0x3,0x0)");

  // The second boot hands the lid flag and the counter to the EC and points BootNext at the stick.
  const Json& second = s["prediction"]["boots"][1];
  EXPECT_EQ(second["ecWrites"][0], (Json{{"register", "0x94"}, {"value", "0x01"}}));
  EXPECT_EQ(second["ecWrites"][1], (Json{{"register", "0x16"}, {"value", "0x02"}}));
  std::vector<std::string> changes;
  for (const Json& c : second["changes"])
    changes.push_back(c["name"].get<std::string>() + ": " + c["text"].get<std::string>());
  EXPECT_EQ(changes, (std::vector<std::string>{"BootNext: 02 00 -> 01 00", "ZKOOBTest: 03 -> 02",
                                               "ZKSaveLidFlag: deleted (was 01)"}));
  const Json& first = s["prediction"]["boots"][0];
  std::vector<std::string> firstChanges;
  for (const Json& c : first["changes"])
    firstChanges.push_back(c["name"].get<std::string>() + ": " + c["text"].get<std::string>());
  EXPECT_EQ(firstChanges,
            (std::vector<std::string>{"Setup: [92] 01 -> 00 (512 bytes)", "ZKChgBoot: 01 81 -> 00 81"}));

  const RunResult text = Run({});
  for (const char* line : {"Change-boot request (ZKChgBoot): 01 81\n  pending: the driver takes it at its "
                           "next load\n  mode byte 0x81: "
                           "mode 1, scan bit set",
                           "Lid flag (ZKSaveLidFlag): 0x01", "Out-of-box counter (ZKOOBTest): 0x03",
                           "  Boot0001* \"EFI USB Device (Kingston)\"  USB(0x3,0x0)\n",
                           "    CMOS 0x61 <- 0x01\n", "    ends in a warm reset while the driver loads\n",
                           "  BootNext then: 0x0001 Boot0001* \"EFI USB Device (Kingston)\"  USB(0x3,0x0) "
                           "(written by the driver)",
                           "Every later boot sets BootNext again while ZKChgBoot exists"}) {
    EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
  }

  // An option that is no load option, or a file too short to be a variable, is shown as such.
  PutFile("Boot0002" + kGlobal, 7, {0x01, 0x00, 0x00});
  std::ofstream(root + "/Boot0003" + kGlobal) << "ab";
  const Json broken = Status();
  const Json& brokenOptions = broken["bootOrder"]["options"];
  EXPECT_NE(brokenOptions[1]["problem"].get<std::string>().find("too short for the 4-byte attribute prefix"),
            std::string::npos);
  EXPECT_EQ(brokenOptions[3]["problem"], "not a load option (3 bytes)");
  EXPECT_EQ(broken["prediction"]["bootNext"], "0x0001");
}

TEST_F(StatusTest, FactoryResetPredictionDeletesTheOptionsAndResetsCold) {
  PutFile(kChgBootFile, 7, {0x01, 0x04});
  const Json s = Status();
  const Json& first = s["prediction"]["boots"][0];
  EXPECT_EQ(first["reset"], "cold");
  std::vector<std::string> deleted;
  for (const Json& c : first["changes"]) {
    if (c["after"].is_null()) deleted.push_back(c["name"].get<std::string>());
  }
  EXPECT_EQ(deleted, (std::vector<std::string>{"Boot0000", "Boot0001", "Boot0002", "Boot0003", "BootOrder",
                                               "Setup", "ZKChgBoot"}));
}

}  // namespace
