// UEFI rules the platform enforces as recorded violations, the variable
// store's size and attribute rules, and failure injection.
#include <gtest/gtest.h>

#include <functional>

#include "sim/platform.h"
#include "support/base/hw.h"
#include "tests/sim/notify_log.h"

namespace {

const EFI_GUID kVendor = {0x0BADF00D, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};
const EFI_GUID kMarker = {0x0BADF00D, 0x5555, 0x6666, {0x77, 0x77, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88}};

void* gBuffer;
void EFIAPI AllocateInNotify(EFI_EVENT, void*) {
  sim::Platform::Current()->BootServices()->AllocatePool(EfiBootServicesData, 16, &gBuffer);
}
void EFIAPI ResetInNotify(EFI_EVENT, void*) {
  sim::Platform::Current()->RuntimeServices()->ResetSystem(EfiResetWarm, EFI_SUCCESS, 0, nullptr);
}

class Rules : public ::testing::Test {
 protected:
  void SetUp() override { p.BeginBoot(); }
  sim::Platform p;
  EFI_BOOT_SERVICES* bs = p.BootServices();
  EFI_RUNTIME_SERVICES* rt = p.RuntimeServices();
};

TEST_F(Rules, ServicesCalledAboveTheirTplLimitAreViolations) {
  uint8_t byte = 1;
  UINTN size = 1;
  void* buffer = nullptr;
  EFI_EVENT event = nullptr;
  struct Row {
    const char* name;
    EFI_TPL highestAllowed;
    std::function<void()> call;
  };
  const Row rows[] = {
      {"GetVariable", TPL_CALLBACK, [&] { rt->GetVariable(u"V", &kVendor, nullptr, &size, &byte); }},
      {"SetVariable", TPL_CALLBACK, [&] { rt->SetVariable(u"V", &kVendor, 7, 1, &byte); }},
      {"AllocatePool", TPL_NOTIFY,
       [&] {
         if (bs->AllocatePool(EfiBootServicesData, 8, &buffer) == EFI_SUCCESS) bs->FreePool(buffer);
       }},
      {"CreateEvent", TPL_NOTIFY,
       [&] {
         if (bs->CreateEvent(0, 0, nullptr, nullptr, &event) == EFI_SUCCESS) bs->CloseEvent(event);
       }},
      {"LocateProtocol", TPL_NOTIFY, [&] { bs->LocateProtocol(&kMarker, nullptr, &buffer); }},
  };
  for (const Row& row : rows) {
    for (EFI_TPL tpl : {TPL_APPLICATION, TPL_CALLBACK, TPL_NOTIFY, TPL_HIGH_LEVEL}) {
      SCOPED_TRACE(std::string(row.name) + " at TPL " + std::to_string(tpl));
      p.violations.clear();
      const EFI_TPL old = bs->RaiseTPL(tpl);
      row.call();
      bs->RestoreTPL(old);
      size_t mine = 0;
      for (const std::string& v : p.violations) mine += v.find(row.name) != std::string::npos;
      EXPECT_EQ(mine, tpl > row.highestAllowed ? 1u : 0u);
    }
  }
}

TEST_F(Rules, MemoryServicesInsideExitBootServicesNotificationsAreViolations) {
  gBuffer = nullptr;
  EFI_EVENT event = nullptr;
  ASSERT_EQ(bs->CreateEvent(EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_CALLBACK, AllocateInNotify, nullptr, &event),
            EFI_SUCCESS);
  bs->AllocatePool(EfiBootServicesData, 16, &gBuffer);
  EXPECT_TRUE(p.violations.empty()) << "allocation outside the notification is fine";
  bs->FreePool(gBuffer);
  p.ExitBootServices();
  ASSERT_EQ(p.violations.size(), 1u);
  EXPECT_NE(p.violations[0].find("exit-boot-services notification"), std::string::npos);
}

TEST_F(Rules, AHandleRemovedInABootIsNeverHandedOutAgainInIt) {
  EFI_HANDLE first = nullptr;
  ASSERT_EQ(bs->InstallProtocolInterface(&first, &kMarker, EFI_NATIVE_INTERFACE, nullptr), EFI_SUCCESS);
  ASSERT_EQ(bs->UninstallProtocolInterface(first, &kMarker, nullptr), EFI_SUCCESS);
  EFI_HANDLE second = nullptr;
  ASSERT_EQ(bs->InstallProtocolInterface(&second, &kMarker, EFI_NATIVE_INTERFACE, nullptr), EFI_SUCCESS);
  EXPECT_NE(second, first);
  void* interface = nullptr;
  EXPECT_EQ(bs->HandleProtocol(first, &kMarker, &interface), EFI_INVALID_PARAMETER)
      << "the old handle is gone";
}

TEST_F(Rules, DoubleForeignAndNullFreesAreViolations) {
  void* buffer = nullptr;
  ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 32, &buffer), EFI_SUCCESS);
  EXPECT_EQ(bs->FreePool(buffer), EFI_SUCCESS);
  EXPECT_TRUE(p.violations.empty());
  int onTheStack = 0;
  EXPECT_EQ(bs->FreePool(buffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->FreePool(&onTheStack), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->FreePool(nullptr), EFI_INVALID_PARAMETER);
  ASSERT_EQ(p.violations.size(), 3u);
  EXPECT_NE(p.violations[0].find("double or foreign"), std::string::npos);
}

TEST_F(Rules, PagesMayBeFreedInPartsButNoPageTwice) {
  EFI_PHYSICAL_ADDRESS base = 0;
  ASSERT_EQ(bs->AllocatePages(AllocateAnyPages, EfiBootServicesData, 4, &base), EFI_SUCCESS);
  EXPECT_EQ(bs->FreePages(base + 4096, 2), EFI_SUCCESS);
  EXPECT_EQ(p.OutstandingAllocations().size(), 1u) << "two pages are still in use";
  EXPECT_EQ(bs->FreePages(base + 8192, 1), EFI_NOT_FOUND) << "page 2 was freed already";
  EXPECT_EQ(p.violations.size(), 1u);
  EXPECT_EQ(bs->FreePages(base, 1), EFI_SUCCESS);
  EXPECT_EQ(bs->FreePages(base + 3 * 4096, 1), EFI_SUCCESS);
  EXPECT_TRUE(p.OutstandingAllocations().empty());
}

TEST_F(Rules, AWriteWithoutAccessAttributesDeletesWhateverTheStoredOnes) {
  const uint8_t byte = 7;
  ASSERT_EQ(
      rt->SetVariable(u"Bs", &kVendor, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &byte),
      EFI_SUCCESS);
  // Attributes 7 do not match the stored 3: refused.
  EXPECT_EQ(rt->SetVariable(u"Bs", &kVendor, 7, 0, nullptr), EFI_INVALID_PARAMETER);
  // No access attributes (non-volatile alone, or none at all) delete it.
  EXPECT_EQ(rt->SetVariable(u"Bs", &kVendor, EFI_VARIABLE_NON_VOLATILE, 1, &byte), EFI_SUCCESS);
  EXPECT_EQ(p.FindVariable(u"Bs", kVendor), nullptr);
  ASSERT_EQ(rt->SetVariable(u"Bs", &kVendor, 7, 1, &byte), EFI_SUCCESS);
  EXPECT_EQ(rt->SetVariable(u"Bs", &kVendor, 0, 0, nullptr), EFI_SUCCESS);
  EXPECT_EQ(p.FindVariable(u"Bs", kVendor), nullptr);
}

TEST_F(Rules, AtRuntimeABootServiceVariableCanNeitherBeReplacedNorShadowed) {
  p.PutVariable(u"Hidden", kVendor, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, {1});
  p.ExitBootServices();
  const uint8_t two = 2;
  EXPECT_EQ(rt->SetVariable(u"Hidden", &kVendor, 7, 1, &two), EFI_INVALID_PARAMETER);
  EXPECT_EQ(rt->SetVariable(u"Hidden", &kVendor, 0, 0, nullptr), EFI_NOT_FOUND);
  size_t entries = 0;
  for (const sim::Variable& v : p.Variables()) entries += v.name == u"Hidden";
  EXPECT_EQ(entries, 1u);
  EXPECT_EQ(p.FindVariable(u"Hidden", kVendor)->data, std::vector<uint8_t>{1});
}

TEST_F(Rules, TheStoreHasASizeAndQueryVariableInfoReportsIt) {
  p.store.capacity = 1000;
  p.store.maxVariableSize = 600;
  UINT64 maxStorage = 0, remaining = 0, maxSize = 0;
  ASSERT_EQ(rt->QueryVariableInfo(7, &maxStorage, &remaining, &maxSize), EFI_SUCCESS);
  EXPECT_EQ(maxStorage, 1000u);
  EXPECT_EQ(remaining, 1000u);
  EXPECT_EQ(maxSize, 600u);
  std::vector<uint8_t> data(500, 0x11);
  // "A" takes 60 bytes of header, 4 of name and 500 of data.
  ASSERT_EQ(rt->SetVariable(u"A", &kVendor, 7, data.size(), data.data()), EFI_SUCCESS);
  ASSERT_EQ(rt->QueryVariableInfo(7, &maxStorage, &remaining, &maxSize), EFI_SUCCESS);
  EXPECT_EQ(remaining, 1000u - 564u);
  EXPECT_EQ(rt->SetVariable(u"B", &kVendor, 7, data.size(), data.data()), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(p.FindVariable(u"B", kVendor), nullptr);
  std::vector<uint8_t> tooBig(600, 0);
  EXPECT_EQ(rt->SetVariable(u"C", &kVendor, 7, tooBig.size(), tooBig.data()), EFI_INVALID_PARAMETER);
  // Rewriting A in place needs no extra room; volatile variables have their own.
  EXPECT_EQ(rt->SetVariable(u"A", &kVendor, 7, data.size(), data.data()), EFI_SUCCESS);
  EXPECT_EQ(rt->SetVariable(u"Vol", &kVendor, EFI_VARIABLE_BOOTSERVICE_ACCESS, data.size(), data.data()),
            EFI_SUCCESS);
  EXPECT_EQ(rt->QueryVariableInfo(0, &maxStorage, &remaining, &maxSize), EFI_INVALID_PARAMETER);
}

TEST_F(Rules, AWriteProtectedStoreRefusesNonVolatileWritesAndDeletes) {
  p.PutVariable(u"Kept", kVendor, 7, {1});
  p.store.writeProtected = true;
  const uint8_t byte = 2;
  EXPECT_EQ(rt->SetVariable(u"Kept", &kVendor, 7, 1, &byte), EFI_WRITE_PROTECTED);
  EXPECT_EQ(rt->SetVariable(u"Kept", &kVendor, 7, 0, nullptr), EFI_WRITE_PROTECTED);
  EXPECT_EQ(rt->SetVariable(u"Vol", &kVendor, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &byte), EFI_SUCCESS);
  EXPECT_EQ(p.FindVariable(u"Kept", kVendor)->data, std::vector<uint8_t>{1});
  EXPECT_EQ(p.counters.nvWrites, 0u);
}

TEST_F(Rules, TheKthCallOfAServiceFailsOnceOrFromThenOn) {
  struct Row {
    sim::Service service;
    bool fromThenOn;
    std::vector<bool> failed;  // calls 1 to 4; the rule names call 2
  };
  const Row rows[] = {
      {sim::Service::GetVariable, false, {false, true, false, false}},
      {sim::Service::SetVariable, true, {false, true, true, true}},
      {sim::Service::AllocatePool, false, {false, true, false, false}},
      {sim::Service::LocateProtocol, true, {false, true, true, true}},
      {sim::Service::InstallProtocolInterface, false, {false, true, false, false}},
      {sim::Service::CreateEventEx, true, {false, true, true, true}},
      {sim::Service::InstallConfigurationTable, false, {false, true, false, false}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(sim::ServiceName(row.service));
    p.ClearServiceFailures();
    p.BeginBoot();
    p.FailService(row.service, 2, EFI_DEVICE_ERROR, row.fromThenOn);
    std::vector<bool> failed;
    for (int call = 0; call < 4; ++call) {
      uint8_t byte = 1;
      UINTN size = 1;
      void* out = nullptr;
      EFI_HANDLE handle = nullptr;
      EFI_EVENT event = nullptr;
      static int table;
      EFI_STATUS status = EFI_SUCCESS;
      switch (row.service) {
        case sim::Service::GetVariable:
          p.PutVariable(u"V", kVendor, 7, {1});
          status = rt->GetVariable(u"V", &kVendor, nullptr, &size, &byte);
          break;
        case sim::Service::SetVariable:
          status = rt->SetVariable(u"V", &kVendor, 7, 1, &byte);
          break;
        case sim::Service::AllocatePool:
          status = bs->AllocatePool(EfiBootServicesData, 4, &out);
          break;
        case sim::Service::LocateProtocol:
          p.InstallProtocol(kMarker, nullptr);
          status = bs->LocateProtocol(&kMarker, nullptr, &out);
          break;
        case sim::Service::InstallProtocolInterface:
          status = bs->InstallProtocolInterface(&handle, &kMarker, EFI_NATIVE_INTERFACE, nullptr);
          break;
        case sim::Service::CreateEventEx:
          status = bs->CreateEventEx(0, 0, nullptr, nullptr, &kVendor, &event);
          break;
        case sim::Service::InstallConfigurationTable:
          status = bs->InstallConfigurationTable(&kVendor, &table);
          break;
        default:
          FAIL();
      }
      failed.push_back(status == EFI_DEVICE_ERROR);
    }
    EXPECT_EQ(failed, row.failed);
  }
}

TEST_F(Rules, APowerCutKeepsTheWriteAndStopsTheBoot) {
  p.CutPowerAfterNvWrite(2);
  bool reachedThird = false;
  const auto reset = p.RunGuarded([&] {
    const uint8_t a = 1, b = 2;
    rt->SetVariable(u"First", &kVendor, 7, 1, &a);
    rt->SetVariable(u"Volatile", &kVendor, EFI_VARIABLE_BOOTSERVICE_ACCESS, 1, &a);  // not counted
    rt->SetVariable(u"Second", &kVendor, 7, 1, &b);
    reachedThird = true;
  });
  EXPECT_FALSE(reset.has_value());
  EXPECT_EQ(p.Stopped(), sim::Platform::Stop::PowerLoss);
  EXPECT_FALSE(reachedThird);
  ASSERT_NE(p.FindVariable(u"Second", kVendor), nullptr) << "the write that preceded the cut is kept";
  p.BeginBoot();
  EXPECT_EQ(p.Cause(), sim::BootCause::AfterPowerLoss);
}

TEST_F(Rules, AResetThatReturnsComesBackToTheCaller) {
  p.resetReturns = true;
  bool after = false;
  const auto reset = p.RunGuarded([&] {
    rt->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr);
    after = true;
  });
  EXPECT_TRUE(after);
  EXPECT_FALSE(reset.has_value());
  EXPECT_EQ(p.LastReset(), EfiResetCold);
}

TEST_F(Rules, AProcessorSpinningOnPauseAloneIsStoppedAsHung) {
  p.spinLimit = 5000;
  uint64_t spins = 0;
  p.RunGuarded([&] {
    for (;;) {
      SpinPause();
      ++spins;
    }
  });
  EXPECT_EQ(p.Stopped(), sim::Platform::Stop::Hang);
  EXPECT_EQ(spins, 4999u);
  // PAUSE in a polling loop that reads a device is not a hang.
  p.RunGuarded([&] {
    for (int i = 0; i < 20000; ++i) {
      SpinPause();
      PortIn8(0x80);
    }
  });
  EXPECT_EQ(p.Stopped(), sim::Platform::Stop::None);
}

// A reset fired by a protocol notification while
// InstallMultipleProtocolInterfaces is installing: the platform's own frames
// leak nothing (LeakSanitizer checks the run) and the TPL is back.
TEST_F(Rules, AResetFromANotificationDuringInstallMultipleUnwindsCleanly) {
  EFI_EVENT event = nullptr;
  ASSERT_EQ(bs->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ResetInNotify, nullptr, &event), EFI_SUCCESS);
  void* registration = nullptr;
  ASSERT_EQ(bs->RegisterProtocolNotify(&kMarker, event, &registration), EFI_SUCCESS);
  const auto reset = p.RunGuarded([&] {
    EFI_HANDLE handle = nullptr;
    bs->InstallMultipleProtocolInterfaces(&handle, &kMarker, nullptr, &kVendor, nullptr, nullptr);
    ADD_FAILURE() << "the reset did not end the call";
  });
  EXPECT_EQ(reset, EfiResetWarm);
  EXPECT_EQ(p.CurrentTpl(), TPL_APPLICATION);
  EXPECT_TRUE(p.violations.empty());
}

}  // namespace
