// Whole simulated boots with a freshly loaded driver image each time.
#include <gtest/gtest.h>

#include <map>

#include "bootctl/vars.h"
#include "sim/devices/devices.h"
#include "sim/platform.h"
#include "sim/uefi/load_option.h"
#include "support/timer/timer.h"
#include "tests/boot/whole_boot.h"

namespace {

class BootTest : public WholeBootTest {
 protected:
  // BootNext as the driver leaves it; the boot manager's part is tested in
  // tests/boot/platform_test.cpp.
  BootTest() { platform.bootManager = false; }
};

// The operating system asked for a USB boot and left a lid flag: the first
// boot takes the request and warm-resets because Setup changed; the second
// hands the lid flag to the EC and points BootNext at the USB option.
TEST_F(BootTest, RoadOfOneOrdinaryBoot) {
  Put(u"ZKFirstBoot", BootControlVendorGuid, {0});
  Put(u"ZKChgBoot", BootControlVendorGuid, {0x01, 0x81});
  Put(u"ZKSaveLidFlag", LidFlagVendorGuid, {0x01});
  std::vector<uint8_t> setup(512, 0);
  setup[92] = 1;
  Put(u"Setup", SetupVariableGuid, setup);
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0000, 0x0003, 0x0001}));
  Put(u"Boot0000", EFI_GLOBAL_VARIABLE,
      sim::BuildLoadOption(1, u"Windows Boot Manager",
                           {sim::HardDriveNode(1, 2048, 0x100000),
                            sim::FilePathNode(u"\\EFI\\Microsoft\\Boot\\bootmgfw.efi")}));
  Put(u"Boot0003", EFI_GLOBAL_VARIABLE,
      sim::BuildLoadOption(
          1, u"EFI PXE 0 for IPv4 (00-1B-21-3C-4D-5E)",
          {sim::PciNode(0x1C, 0), sim::MacNode({0, 0x1B, 0x21, 0x3C, 0x4D, 0x5E}), sim::Ipv4Node()}));
  Put(u"Boot0001", EFI_GLOBAL_VARIABLE,
      sim::BuildLoadOption(1, u"EFI USB Device (Kingston DataTraveler)",
                           {sim::PciNode(0x14, 0), sim::UsbNode(3, 0)}));

  const std::vector<sim::BootOutcome> boots = platform.RunUntilNoReset(image, 5);
  ASSERT_EQ(boots.size(), 2u);
  EXPECT_EQ(boots[0].reset, EfiResetWarm);
  EXPECT_EQ(boots[0].endedAt, sim::BootStage::Entry);
  EXPECT_FALSE(boots[1].reset.has_value());
  EXPECT_TRUE(boots[1].entryReturned);
  EXPECT_EQ(boots[1].entryStatus, EFI_SUCCESS);

  EXPECT_EQ(notebook.cmos.bytes[0x61], 1);
  EXPECT_EQ(Var(u"ZKChgBoot", BootControlVendorGuid), (std::vector<uint8_t>{0x00, 0x81}));
  EXPECT_EQ((*Var(u"Setup", SetupVariableGuid))[92], 0);
  EXPECT_EQ(notebook.ec.registers[0x94], 0x01);
  EXPECT_FALSE(Var(u"ZKSaveLidFlag", LidFlagVendorGuid).has_value());
  EXPECT_EQ(Var(u"BootNext", EFI_GLOBAL_VARIABLE), sim::Uint16List({0x0001}));
  // The lid flag reached the EC in the second boot only.
  ASSERT_FALSE(notebook.ec.writes.empty());
  for (const auto& w : notebook.ec.writes) EXPECT_EQ(w.boot, 2u);
}

TEST_F(BootTest, OrdinaryBootWritesOnlyWhatTheBehaviourNeedsAndHoldsOnlyItsRecords) {
  Put(u"ZKFirstBoot", BootControlVendorGuid, {0});
  std::vector<uint8_t> setup(512, 0);
  Put(u"Setup", SetupVariableGuid, setup);
  Put(u"ZKChgBoot", BootControlVendorGuid, {0x00, 0x81});
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0000, 0x0001}));
  Put(u"Boot0000", EFI_GLOBAL_VARIABLE,
      sim::BuildLoadOption(1, u"Windows Boot Manager", {sim::HardDriveNode(1, 1, 1)}));
  Put(u"Boot0001", EFI_GLOBAL_VARIABLE, sim::BuildLoadOption(1, u"EFI USB Device", {sim::UsbNode(1, 0)}));
  platform.cpu.msrs[0xC0010063] = 0;
  platform.cpu.msrs[0xC0010064] = (8u << 8) | 0x8C;  // P0: 3,500 MHz
  const sim::BootOutcome boot = platform.RunBoot(image);
  EXPECT_FALSE(boot.reset.has_value());
  // The only NV write is the BootNext the request asks for.
  EXPECT_EQ(platform.counters.nvWrites, 1u);
  EXPECT_EQ(Var(u"BootNext", EFI_GLOBAL_VARIABLE), sim::Uint16List({0x0001}));
  // Every variable the driver read, it read once.
  std::map<std::string, int> reads;
  for (const sim::TraceEvent& e : platform.trace) {
    if (e.kind != "GetVariable") continue;
    for (const auto& f : e.fields) {
      if (f.first == "name") reads[f.second]++;
    }
  }
  for (const auto& [name, count] : reads) {
    // ReadWholeVariable sizes a variable first, then reads it: two calls.
    const int expected = name == "BootOrder" || name.rfind("Boot0", 0) == 0 ? 2 : 1;
    EXPECT_EQ(count, expected) << name;
  }
  // Boot-services pool still held at the end of the boot is what the
  // libraries published: the TSC frequency record, the list anchor and the
  // 40-byte shared record.
  const void* tsc = platform.FindConfigTable(TscFrequencyGuid);
  ASSERT_NE(tsc, nullptr);
  EXPECT_EQ(*static_cast<const uint64_t*>(tsc), 3500000000ull);
  const EFI_GUID listAnchor = {0xF4540D21, 0x18C6, 0x4E74, {0xBC, 0x2D, 0x3C, 0x6F, 0xA0, 0x8D, 0x8B, 0xC6}};
  const void* anchor = platform.LocateProtocolInterface(listAnchor);
  ASSERT_NE(anchor, nullptr);
  const EFI_GUID sharedRecord = {
      0xDA8A55E4, 0x4940, 0x4AF9, {0x9F, 0x36, 0x2D, 0xB4, 0x3E, 0xC2, 0x82, 0x59}};
  const void* shared = platform.LocateProtocolInterface(sharedRecord);
  ASSERT_NE(shared, nullptr);
  for (const sim::Allocation& a : platform.OutstandingAllocations()) {
    if (a.type == EfiBootServicesData) {
      EXPECT_TRUE(a.address == tsc || a.address == anchor || a.address == shared) << a.size << " bytes held";
    }
  }
}

TEST_F(BootTest, EachBootLoadsAFreshImage) {
  // Boot 1 caches the HOB list and reads the change-boot request; boot 2 is a
  // recovery boot. A stale module state would carry boot 1's HOB list (and
  // its full-configuration boot mode) into boot 2.
  Put(u"ZKChgBoot", BootControlVendorGuid, {0x00, 0x01});
  const sim::BootOutcome first = platform.RunBoot(image);
  EXPECT_FALSE(first.reset.has_value());
  EXPECT_EQ(Var(u"BootNext", EFI_GLOBAL_VARIABLE), sim::Uint16List({0x2001}));
  ASSERT_TRUE(Var(u"ZKFirstBoot", BootControlVendorGuid).has_value());

  platform.RemoveVariable(u"ZKFirstBoot", BootControlVendorGuid);
  platform.RemoveVariable(u"BootNext", EFI_GLOBAL_VARIABLE);
  platform.bootMode = BOOT_IN_RECOVERY_MODE;
  const sim::BootOutcome second = platform.RunBoot(image);
  EXPECT_TRUE(second.entryReturned);
  EXPECT_EQ(second.entryStatus, EFI_SUCCESS);
  EXPECT_FALSE(Var(u"ZKFirstBoot", BootControlVendorGuid).has_value());
  EXPECT_FALSE(Var(u"BootNext", EFI_GLOBAL_VARIABLE).has_value());
}

TEST_F(BootTest, FactoryResetEndsInAColdResetAndTheNextBootIsQuiet) {
  Put(u"ZKChgBoot", BootControlVendorGuid, {0x01, 0x04});
  Put(u"Setup", SetupVariableGuid, std::vector<uint8_t>(256, 0));
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0000}));
  Put(u"Boot0000", EFI_GLOBAL_VARIABLE,
      sim::BuildLoadOption(1, u"Windows Boot Manager", {sim::HardDriveNode(1, 1, 1)}));
  const auto boots = platform.RunUntilNoReset(image, 5);
  ASSERT_EQ(boots.size(), 2u);
  EXPECT_EQ(boots[0].reset, EfiResetCold);
  for (const char16_t* name : {u"ZKChgBoot", u"BootOrder", u"Boot0000"}) {
    EXPECT_EQ(platform.FindVariable(
                  name, std::u16string(name) == u"ZKChgBoot" ? BootControlVendorGuid : EFI_GLOBAL_VARIABLE),
              nullptr);
  }
  EXPECT_FALSE(Var(u"Setup", SetupVariableGuid).has_value());
}

TEST_F(BootTest, EcPowerOffRequestShutsDownAtEndOfDxe) {
  notebook.ec.registers[0x19] = 1;
  const sim::BootOutcome boot = platform.RunBoot(image);
  EXPECT_EQ(boot.reset, EfiResetShutdown);
  EXPECT_EQ(boot.endedAt, sim::BootStage::EndOfDxe);
  EXPECT_EQ(Var(u"ZKChgKey", ChgKeyVendorGuid), std::vector<uint8_t>{0x81});
}

}  // namespace
