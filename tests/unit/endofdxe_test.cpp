// End-of-DXE handler: lid flag, out-of-box counter, power-off request and
// the BootNext choice, including hostile boot options.
#include "bootctl/endofdxe.h"

#include "bootctl/ec.h"
#include "tests/unit/driver_fixture.h"

namespace {

class EndOfDxeTest : public DriverTest {
 protected:
  std::optional<EFI_RESET_TYPE> Handle(uint8_t modeByte) {
    ChangeBootRequest[1] = modeByte;
    return Run([] { EndOfDxeHandler(nullptr, nullptr); });
  }
  std::optional<uint16_t> BootNext() const {
    auto v = Var(u"BootNext", EFI_GLOBAL_VARIABLE);
    if (!v) return std::nullopt;
    EXPECT_EQ(v->size(), 2u);
    EXPECT_EQ(platform.FindVariable(u"BootNext", EFI_GLOBAL_VARIABLE)->attributes, 7u);
    return static_cast<uint16_t>((*v)[0] | ((*v)[1] << 8));
  }
  void Option(uint16_t number, const std::u16string& description, const std::vector<sim::PathNode>& path) {
    char name[16];
    std::snprintf(name, sizeof(name), "Boot%04X", number);
    Put(sim::Utf8ToUtf16(name), EFI_GLOBAL_VARIABLE, sim::BuildLoadOption(1, description, path));
  }
};

TEST_F(EndOfDxeTest, LidFlagGoesToTheEcAndIsDeleted) {
  Put(u"ZKSaveLidFlag", LidFlagVendorGuid, {0x01}, 3);
  Handle(0);
  EXPECT_EQ(notebook.ec.registers[0x94], 0x01);
  ASSERT_GE(notebook.ec.writes.size(), 1u);
  EXPECT_EQ(notebook.ec.writes[0].reg, 0x94);
  EXPECT_EQ(notebook.ec.writes[0].value, 0x01);
  EXPECT_EQ(notebook.ec.commands.front(), 0x81);
  EXPECT_FALSE(Var(u"ZKSaveLidFlag", LidFlagVendorGuid).has_value());
}

TEST_F(EndOfDxeTest, LidFlagUnderTheBootControlGuidIsNotTaken) {
  Put(u"ZKSaveLidFlag", BootControlVendorGuid, {0x01});
  Handle(0);
  EXPECT_EQ(notebook.ec.registers[0x94], 0x00);
  EXPECT_TRUE(Var(u"ZKSaveLidFlag", BootControlVendorGuid).has_value());
}

TEST_F(EndOfDxeTest, OutOfBoxCounter) {
  struct Row {
    std::optional<uint8_t> counter;
    uint8_t ecValue;
    std::optional<uint8_t> after;
  };
  for (const Row& row : {Row{3, 2, 2}, Row{2, 2, 1}, Row{1, 1, std::nullopt}, Row{0, 1, std::nullopt},
                         Row{std::nullopt, 1, std::nullopt}}) {
    SCOPED_TRACE(row.counter.value_or(0xFF));
    Boot();
    platform.RemoveVariable(u"ZKOOBTest", OobTestVendorGuid);
    // Stored without runtime access: rewritten and deleted with the
    // attributes that were read.
    if (row.counter) Put(u"ZKOOBTest", OobTestVendorGuid, {*row.counter}, 3);
    notebook.ec.registers[0x16] = 0xEE;
    Handle(0);
    EXPECT_EQ(notebook.ec.registers[0x16], row.ecValue);
    auto v = Var(u"ZKOOBTest", OobTestVendorGuid);
    EXPECT_EQ(v.has_value(), row.after.has_value());
    if (v && row.after) {
      EXPECT_EQ(*v, std::vector<uint8_t>{*row.after});
      EXPECT_EQ(platform.FindVariable(u"ZKOOBTest", OobTestVendorGuid)->attributes, 3u);
    }
  }
}

TEST_F(EndOfDxeTest, PowerOffRequestIsAcknowledgedAndShutsDown) {
  notebook.ec.registers[0x19] = 1;
  EXPECT_EQ(Handle(0x01), EfiResetShutdown);
  EXPECT_EQ(Var(u"ZKChgKey", ChgKeyVendorGuid), std::vector<uint8_t>{0x81});
  EXPECT_EQ(platform.FindVariable(u"ZKChgKey", ChgKeyVendorGuid)->attributes, 7u);
  EXPECT_EQ(notebook.ec.registers[0x19], 0);
  EXPECT_FALSE(BootNext().has_value());
}

TEST_F(EndOfDxeTest, OtherPowerOffValuesAreIgnored) {
  for (uint8_t value : {0, 2, 0xFF}) {
    Boot();
    notebook.ec.registers[0x19] = value;
    EXPECT_FALSE(Handle(0x01).has_value());
    EXPECT_EQ(BootNext(), 0x2001);
    EXPECT_FALSE(Var(u"ZKChgKey", ChgKeyVendorGuid).has_value());
  }
}

TEST_F(EndOfDxeTest, PowerOffAcknowledgeStopsAtAnError) {
  // Without lid flag the EC handles 3 bytes for the counter and 2 for the
  // request read; the acknowledge's first and second sends are bytes 6 and 7.
  for (unsigned handled : {5u, 6u}) {
    SCOPED_TRACE(handled);
    Boot();
    platform.RemoveVariable(u"ZKChgKey", ChgKeyVendorGuid);
    notebook.ec.registers[0x19] = 1;
    notebook.ec.behaviour.goesDeadAfter = handled;
    Boot();
    EXPECT_FALSE(Handle(0x01).has_value());
    EXPECT_EQ(Var(u"ZKChgKey", ChgKeyVendorGuid), std::vector<uint8_t>{0x81});
    EXPECT_EQ(notebook.ec.registers[0x19], 1) << "not acknowledged";
    EXPECT_FALSE(BootNext().has_value());
  }
}

TEST_F(EndOfDxeTest, DeadEcEndsTheHandlerWithinItsBounds) {
  notebook.ec.behaviour.neverAnswers = true;
  Put(u"ZKSaveLidFlag", LidFlagVendorGuid, {0x01});
  Put(u"ZKOOBTest", OobTestVendorGuid, {5});
  EXPECT_FALSE(Handle(0x01).has_value());
  EXPECT_FALSE(BootNext().has_value());
  EXPECT_FALSE(Var(u"ZKSaveLidFlag", LidFlagVendorGuid).has_value());
  EXPECT_EQ(Var(u"ZKOOBTest", OobTestVendorGuid), std::vector<uint8_t>{4});
  // Three sends for the lid flag, three for the counter, one for the read.
  EXPECT_EQ(notebook.ec.statusReads, 7u * 65536);
}

TEST_F(EndOfDxeTest, FixedBootNextByModeByte) {
  struct Row {
    uint8_t mode;
    std::optional<uint16_t> bootNext;
  };
  for (const Row& row : {Row{0x01, 0x2001}, Row{0x02, 0x2003}, Row{0x00, std::nullopt},
                         Row{0x03, std::nullopt}, Row{0x04, std::nullopt}, Row{0x05, std::nullopt}}) {
    SCOPED_TRACE(row.mode);
    Boot();
    platform.RemoveVariable(u"BootNext", EFI_GLOBAL_VARIABLE);
    Handle(row.mode);
    EXPECT_EQ(BootNext(), row.bootNext);
  }
}

TEST_F(EndOfDxeTest, UsbScanTakesTheFirstPrefixMatchInOrder) {
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0000, 0x0005, 0x0007}));
  Option(0x0000, u"Windows Boot Manager", {sim::HardDriveNode(1, 2048, 100)});
  Option(0x0005, u"EFI USB Device (SanDisk Cruzer)", {sim::PciNode(0x14, 0), sim::UsbNode(2, 0)});
  Option(0x0007, u"EFI USB Device", {sim::PciNode(0x14, 0), sim::UsbNode(3, 0)});
  Handle(0x81);
  EXPECT_EQ(BootNext(), 0x0005);
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty()) << "BootOrder copy and the matched option are freed";
}

TEST_F(EndOfDxeTest, PxeScanWithoutMatchLeavesBootNext) {
  Put(u"BootNext", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0042}));
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0001, 0x0002, 0x0009}));
  Option(0x0001, u"EFI PXE 0 for IPv6", {sim::MacNode({1, 2, 3, 4, 5, 6})});
  Option(0x0002, u"EFI PXE", {sim::MacNode({1, 2, 3, 4, 5, 6}), sim::Ipv4Node()});
  Handle(0x82);
  EXPECT_EQ(BootNext(), 0x0042);
  Option(0x0009, u"EFI PXE 0 for IPv4 (00-1B-21)", {sim::MacNode({1, 2, 3, 4, 5, 6}), sim::Ipv4Node()});
  Handle(0x82);
  EXPECT_EQ(BootNext(), 0x0009);
}

TEST_F(EndOfDxeTest, HardDriveScanLooksAtTheFirstInstanceOnly) {
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0003, 0x0001, 0x0004}));
  Option(0x0003, u"Two instances", {sim::PciNode(1, 0), sim::EndInstanceNode(), sim::HardDriveNode(1, 1, 1)});
  Option(0x0004, u"NVMe", {sim::PciNode(2, 0), sim::NvmeNode(1), sim::HardDriveNode(2, 4096, 1)});
  // Boot0001 is named in BootOrder but does not exist: skipped.
  Handle(0x83);
  EXPECT_EQ(BootNext(), 0x0004);
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty());
}

TEST_F(EndOfDxeTest, ScanWithoutTargetOrWithoutBootOrderWritesNothing) {
  Option(0x0001, u"EFI USB Device", {sim::UsbNode(1, 0)});
  Handle(0x81);
  EXPECT_FALSE(BootNext().has_value());
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0001}));
  const size_t before = VariableCalls({"GetVariable"}).size();
  Handle(0x84);
  EXPECT_FALSE(BootNext().has_value());
  const std::vector<std::string> reads = VariableCalls({"GetVariable"});
  const std::vector<std::string> handlerReads(reads.begin() + static_cast<long>(before), reads.end());
  EXPECT_EQ(std::count(handlerReads.begin(), handlerReads.end(), "BootOrder"), 2)
      << "BootOrder is still read";
  EXPECT_EQ(std::count(handlerReads.begin(), handlerReads.end(), "Boot0001"), 0) << "but no option";
}

// Options written by the operating system are untrusted: none of these may
// match or make the scan read outside the option (ASan watches the reads).
TEST_F(EndOfDxeTest, MalformedOptionsNeverMatch) {
  auto hd = sim::HardDriveNode(1, 1, 1);
  auto shortNode = sim::PciNode(1, 0);
  shortNode.lengthOverride = 3;
  auto longNode = sim::PciNode(1, 0);
  longNode.lengthOverride = 0x400;
  auto truncated = sim::BuildLoadOption(1, u"disk", {hd});
  truncated.resize(truncated.size() - 10);  // path cut inside the HD node, no end node
  std::vector<uint8_t> noTerminator = {1, 0, 0, 0, 0, 0, 'E', 0, 'F', 0, 'I', 0};
  // One character short of "EFI USB Device" and unterminated: comparing the
  // whole text would read past the option.
  std::vector<uint8_t> oneShort = {1, 0, 0, 0, 0, 0};
  for (char c : std::string("EFI USB Devic")) {
    oneShort.push_back(static_cast<uint8_t>(c));
    oneShort.push_back(0);
  }
  std::vector<uint8_t> tiny = {1, 0, 0};
  auto noEnd = sim::BuildLoadOption(1, u"x", {sim::PciNode(1, 0)});
  noEnd.resize(noEnd.size() - 4);  // drop the end node
  std::vector<uint8_t> zeroNode = sim::BuildLoadOption(1, u"z", {sim::PciNode(1, 0), hd});
  zeroNode[6 + 4 + 2] = 0;  // Length of the first node (after "z\0") set to 0
  zeroNode[6 + 4 + 3] = 0;

  const std::vector<std::vector<uint8_t>> options = {sim::BuildLoadOption(1, u"a", {shortNode, hd}),
                                                     sim::BuildLoadOption(1, u"b", {longNode, hd}),
                                                     truncated,
                                                     noTerminator,
                                                     tiny,
                                                     noEnd,
                                                     zeroNode,
                                                     oneShort};
  std::vector<uint16_t> order;
  for (size_t i = 0; i < options.size(); i++) {
    char name[16];
    std::snprintf(name, sizeof(name), "Boot%04X", static_cast<unsigned>(0x100 + i));
    Put(sim::Utf8ToUtf16(name), EFI_GLOBAL_VARIABLE, options[i]);
    order.push_back(static_cast<uint16_t>(0x100 + i));
  }
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List(order));
  Handle(0x83);
  EXPECT_FALSE(BootNext().has_value());
  Handle(0x81);  // "EFI" without terminator is shorter than "EFI USB Device"
  EXPECT_FALSE(BootNext().has_value());
}

// The description compare needs only the text's characters inside the
// option; its terminator may be missing. The hard-drive scan, whose path
// starts after the terminator, finds nothing in such an option.
TEST_F(EndOfDxeTest, DescriptionPrefixNeedsNoTerminatorInsideTheOption) {
  // Attributes, path length, the description's characters (no terminator
  // unless the text carries one), then `tail`.
  auto raw = [](const std::u16string& text, std::vector<uint8_t> tail) {
    std::vector<uint8_t> option = {1, 0, 0, 0, 0, 0};
    for (char16_t c : text) {
      option.push_back(static_cast<uint8_t>(c));
      option.push_back(static_cast<uint8_t>(c >> 8));
    }
    option.insert(option.end(), tail.begin(), tail.end());
    return option;
  };
  const std::u16string zero(1, u'\0');
  const std::vector<uint8_t> hd = sim::EncodePath({sim::HardDriveNode(1, 1, 1), sim::EndEntireNode()});
  struct Row {
    const char* what;
    std::vector<uint8_t> option;
    uint8_t mode;
    bool matches;
  };
  const std::vector<Row> rows = {
      {"the text exactly, data ends there", raw(u"EFI USB Device", {}), 0x81, true},
      {"the text and more characters, data ends there", raw(u"EFI USB Device (Kingston)", {}), 0x81, true},
      {"the text, then an odd byte", raw(u"EFI USB Device", {0x41}), 0x81, true},
      {"the text, terminated, no path", raw(u"EFI USB Device" + zero, {}), 0x81, true},
      {"one character short, data ends there", raw(u"EFI USB Devic", {}), 0x81, false},
      {"one character short, then an odd byte", raw(u"EFI USB Devic", {0x65}), 0x81, false},
      {"a zero inside the text", raw(u"EFI USB" + zero + u"Device", {}), 0x81, false},
      {"PXE text, data ends there", raw(u"EFI PXE 0 for IPv4", {}), 0x82, true},
      {"hard drive after an unterminated description", raw(u"Disk", hd), 0x83, false},
      {"hard drive after a terminated description", raw(u"Disk" + zero, hd), 0x83, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Boot();
    platform.RemoveVariable(u"BootNext", EFI_GLOBAL_VARIABLE);
    Put(u"Boot0004", EFI_GLOBAL_VARIABLE, row.option);
    Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0004}));
    Handle(row.mode);
    EXPECT_EQ(BootNext(), row.matches ? std::optional<uint16_t>(0x0004) : std::nullopt);
  }
}

TEST_F(EndOfDxeTest, DevicePathWalkIsBoundedBySize) {
  auto path = sim::EncodePath({sim::PciNode(1, 0), sim::HardDriveNode(1, 1, 1), sim::EndEntireNode()});
  auto* p = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL*>(path.data());
  EXPECT_TRUE(DevicePathHasNode(p, path.size(), 4, 1));
  EXPECT_FALSE(DevicePathHasNode(p, 6, 4, 1)) << "the HD node lies beyond the given size";
  EXPECT_FALSE(DevicePathHasNode(p, path.size(), 3, 5));
  EXPECT_FALSE(DevicePathHasNode(nullptr, 100, 4, 1));
  UINTN size = 1;
  EXPECT_EQ(LoadOptionDevicePath(nullptr, 0, &size), nullptr);
  EXPECT_EQ(size, 0u);
}

TEST_F(EndOfDxeTest, HandlerClosesItsEvent) {
  EFI_EVENT event = nullptr;
  ASSERT_EQ(BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, EndOfDxeHandler, nullptr,
                                        &EFI_END_OF_DXE_EVENT_GROUP_GUID, &event),
            EFI_SUCCESS);
  const size_t open = platform.OpenEventCount();
  Put(u"ZKOOBTest", OobTestVendorGuid, {3});
  platform.SignalEventGroup(EFI_END_OF_DXE_EVENT_GROUP_GUID);
  EXPECT_EQ(platform.OpenEventCount(), open - 1);
  platform.SignalEventGroup(EFI_END_OF_DXE_EVENT_GROUP_GUID);
  EXPECT_EQ(Var(u"ZKOOBTest", OobTestVendorGuid), std::vector<uint8_t>{2}) << "ran once";
}

}  // namespace
