// Driver faults found by fuzz/fuzz_change_boot, one test each, written before
// the fix. A test whose fault is not fixed yet carries the  prefix;
// the fix drops the prefix and the matching exemption in
// fuzz/known_findings.h.
#include <gtest/gtest.h>

#include "fuzz/harness.h"

namespace {

// A load option with a one-character description and an empty path.
const std::vector<uint8_t> kOption = {1, 0, 0, 0, 4, 0, 'O', 0, 0, 0, 0x7F, 0xFF, 4, 0};

struct Stored {
  std::u16string name;
  EFI_GUID guid;
  uint32_t attributes;
  std::vector<uint8_t> data;
};

class ChangeBootFinding : public ::testing::Test {
 protected:
  fuzz::Notebook nb;
  void SetUp() override { nb.Start(); }

  // Stores `variables`, takes the request and returns the reset it ended in.
  std::optional<EFI_RESET_TYPE> Process(const std::vector<Stored>& variables) {
    for (const Stored& v : variables) nb.platform.PutVariable(v.name, v.guid, v.attributes, v.data);
    return nb.Run([] { ProcessChangeBootRequest(); });
  }
  // Names of the stored variables, in creation order.
  std::vector<std::string> Left() const {
    std::vector<std::string> names;
    for (const sim::Variable& v : nb.platform.Variables()) names.push_back(sim::Utf16ToUtf8(v.name));
    return names;
  }

  // A factory-reset request with BootOrder = {0x0000, 0x0001} (unless
  // `bootOrder` is false), PhysicalBootOrder = {0x0003, 0x0001}, those options
  // and Boot0004, named in neither order. Only the options no order names may
  // be left.
  void FactoryReset(uint32_t requestAttributes, uint32_t setupAttributes, uint32_t option1Attributes,
                    bool bootOrder) {
    std::vector<Stored> store = {
        {u"ZKChgBoot", BootControlVendorGuid, requestAttributes, {0x01, 0x04}},
        {u"Setup", SetupVariableGuid, setupAttributes, std::vector<uint8_t>(1536, 1)},
        {u"PhysicalBootOrder", PhysicalBootOrderGuid, 7, {0x03, 0x00, 0x01, 0x00}},
        {u"Boot0000", EFI_GLOBAL_VARIABLE, 7, kOption},
        {u"Boot0001", EFI_GLOBAL_VARIABLE, option1Attributes, kOption},
        {u"Boot0003", EFI_GLOBAL_VARIABLE, 7, kOption},
        {u"Boot0004", EFI_GLOBAL_VARIABLE, 7, kOption},
    };
    if (bootOrder) store.push_back({u"BootOrder", EFI_GLOBAL_VARIABLE, 7, {0x00, 0x00, 0x01, 0x00}});
    EXPECT_EQ(Process(store), EfiResetCold);
    EXPECT_EQ(nb.devices.cmos.bytes[0x61], 4);
    const std::vector<std::string> unnamed =
        bootOrder ? std::vector<std::string>{"Boot0004"} : std::vector<std::string>{"Boot0000", "Boot0004"};
    EXPECT_EQ(Left(), unnamed);
  }
};

// The reference point of the cases below: everything stored with attributes 7.
TEST_F(ChangeBootFinding, FactoryResetWithAttributes7DeletesEverythingNamed) { FactoryReset(7, 7, 7, true); }

// ZKChgBoot stored with attributes 0xF (a hardware error record: the one other
// set an operating system can write at runtime that survives a reset). The
// request must be taken all the same, else it is acted on again at every boot;
// with mode 4 that is a factory reset and a cold reset at every boot in which
// the firmware has recreated Setup.
TEST_F(ChangeBootFinding, RequestWithOtherAttributesIsTaken) {
  std::vector<uint8_t> setup(512, 0);
  setup[92] = 1;
  EXPECT_EQ(Process({{u"ZKChgBoot", BootControlVendorGuid, 0xF, {0x01, 0x01}},
                     {u"Setup", SetupVariableGuid, 7, setup}}),
            EfiResetWarm);
  const sim::Variable* request = nb.platform.FindVariable(u"ZKChgBoot", BootControlVendorGuid);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->data, (std::vector<uint8_t>{0x00, 0x01}));
}

TEST_F(ChangeBootFinding, FactoryResetDeletesRequestWithOtherAttributes) { FactoryReset(0xF, 7, 7, true); }

// Setup stored with attributes 3: the factory reset must not stop after
// deleting the request.
TEST_F(ChangeBootFinding, FactoryResetDeletesSetupWithOtherAttributes) { FactoryReset(7, 3, 7, true); }

TEST_F(ChangeBootFinding, FactoryResetDeletesOptionWithOtherAttributes) { FactoryReset(7, 7, 0xF, true); }

// No BootOrder: PhysicalBootOrder and the options it names must still go.
TEST_F(ChangeBootFinding, FactoryResetWithoutBootOrderPurgesPhysicalBootOrder) {
  FactoryReset(7, 7, 7, false);
}

}  // namespace
