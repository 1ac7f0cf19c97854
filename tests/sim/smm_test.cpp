// The SMM world: base protocol, SMM system table layout, SMM protocol
// database with direct notify calls, SMRAM pool, and where the SMM notices
// fall in a boot.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/pi.h"
#include "sim/platform.h"
#include "tests/sim_image/counter_image.h"

using sim::operator==;

namespace {

const EFI_GUID kProtoA = {0xA0A0A0A0, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
const EFI_GUID kProtoB = {0xB0B0B0B0, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

// What the SMM notify functions saw, in call order.
struct Call {
  std::string who;
  EFI_GUID guid;
  void* interface;
  EFI_HANDLE handle;
};
std::vector<Call> gCalls;
sim::Platform* gPlatform = nullptr;
void* gCancelOnCall = nullptr;  // registration the "canceller" function cancels when called
// State of the boot when a notify function ran.
std::vector<std::string> gSeen;

EFI_STATUS EFIAPI First(const EFI_GUID* guid, void* interface, EFI_HANDLE handle) {
  gCalls.push_back({"first", *guid, interface, handle});
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Second(const EFI_GUID* guid, void* interface, EFI_HANDLE handle) {
  gCalls.push_back({"second", *guid, interface, handle});
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Canceller(const EFI_GUID* guid, void* interface, EFI_HANDLE handle) {
  gCalls.push_back({"canceller", *guid, interface, handle});
  void* r = gCancelOnCall;
  gPlatform->Smst()->SmmRegisterProtocolNotify(guid, nullptr, &r);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI BootObserver(const EFI_GUID* guid, void*, EFI_HANDLE) {
  sim::Platform& p = *gPlatform;
  std::string what = sim::GuidToString(*guid);
  what += " runtime=" + std::to_string(p.AtRuntime());
  what += " dxeReadyToLock=" + std::to_string(p.ProtocolCount(EFI_DXE_SMM_READY_TO_LOCK_PROTOCOL_GUID));
  gSeen.push_back(what);
  return EFI_SUCCESS;
}

class Smm : public ::testing::Test {
 protected:
  void SetUp() override {
    gCalls.clear();
    gSeen.clear();
    gPlatform = &p;
    p.smm.basePresent = true;
    p.smm.inSmm = true;
    p.BeginBoot();
    smst = p.Smst();
  }
  void TearDown() override { gPlatform = nullptr; }
  EFI_SMM_BASE2_PROTOCOL* Base() {
    return static_cast<EFI_SMM_BASE2_PROTOCOL*>(p.LocateProtocolInterface(EFI_SMM_BASE2_PROTOCOL_GUID));
  }
  sim::Platform p;
  EFI_SMM_SYSTEM_TABLE2* smst = nullptr;
  int a = 1, b = 2;
};

TEST_F(Smm, TableHeaderAndServicesSitAtTheirPiOffsets) {
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(smst);
  uint64_t signature = 0;
  uint32_t headerSize = 0, crc = 0;
  std::memcpy(&signature, raw, 8);
  std::memcpy(&headerSize, raw + 12, 4);
  std::memcpy(&crc, raw + 16, 4);
  EXPECT_EQ(signature, 0x54534D53u);  // "SMST"
  EXPECT_EQ(headerSize, 240u);
  EFI_SMM_SYSTEM_TABLE2 copy;
  std::memcpy(&copy, smst, sizeof copy);
  copy.Hdr.CRC32 = 0;
  uint32_t expected = 0;
  ASSERT_EQ(p.BootServices()->CalculateCrc32(&copy, 240, &expected), EFI_SUCCESS);
  EXPECT_EQ(crc, expected);

  // Each service is found where a separately built SMM driver looks for it.
  auto at = [raw](size_t offset) {
    void* p = nullptr;
    std::memcpy(&p, raw + offset, sizeof p);
    return p;
  };
  EXPECT_EQ(at(80), reinterpret_cast<void*>(smst->SmmAllocatePool));
  EXPECT_EQ(at(88), reinterpret_cast<void*>(smst->SmmFreePool));
  EXPECT_EQ(at(168), reinterpret_cast<void*>(smst->SmmInstallProtocolInterface));
  EXPECT_EQ(at(208), reinterpret_cast<void*>(smst->SmmLocateProtocol));
  // The function at byte 192 is the register-notify service: calling it
  // through the raw offset registers a notification.
  typedef EFI_STATUS(EFIAPI * RegisterFn)(const EFI_GUID*, EFI_SMM_NOTIFY_FN, void**);
  RegisterFn atOffset192 = reinterpret_cast<RegisterFn>(at(192));
  void* registration = nullptr;
  ASSERT_EQ(atOffset192(&kProtoA, First, &registration), EFI_SUCCESS);
  EXPECT_EQ(p.SmmNotifyCount(kProtoA), 1u);
  uint64_t cpus = 0;
  std::memcpy(&cpus, raw + 128, 8);
  EXPECT_EQ(cpus, 1u);
}

TEST_F(Smm, BaseProtocolAnswersInSmmAndHandsOutTheTableOnlyInside) {
  EFI_SMM_BASE2_PROTOCOL* base = Base();
  ASSERT_NE(base, nullptr);
  struct Case {
    bool inSmm;
    BOOLEAN answer;
    EFI_STATUS location;
  };
  const Case cases[] = {{true, 1, EFI_SUCCESS}, {false, 0, EFI_UNSUPPORTED}};
  for (const Case& c : cases) {
    p.smm.inSmm = c.inSmm;
    BOOLEAN in = 7;
    EXPECT_EQ(base->InSmm(base, &in), EFI_SUCCESS);
    EXPECT_EQ(in, c.answer);
    EFI_SMM_SYSTEM_TABLE2* table = nullptr;
    EXPECT_EQ(base->GetSmstLocation(base, &table), c.location) << c.inSmm;
    EXPECT_EQ(table, c.inSmm ? smst : nullptr);
    EXPECT_EQ(base->InSmm(base, nullptr), EFI_INVALID_PARAMETER);
    EXPECT_EQ(base->GetSmstLocation(base, nullptr), EFI_INVALID_PARAMETER);
  }
}

TEST_F(Smm, BaseProtocolIsPublishedOnlyWhenThePlatformHasIt) {
  EXPECT_EQ(p.ProtocolCount(EFI_SMM_BASE2_PROTOCOL_GUID), 1u);
  p.smm.basePresent = false;
  p.BeginBoot();
  EXPECT_EQ(p.ProtocolCount(EFI_SMM_BASE2_PROTOCOL_GUID), 0u);
}

TEST_F(Smm, NotifyFunctionsAreCalledForLaterInstallsWithGuidInterfaceAndHandle) {
  p.InstallSmmProtocol(kProtoA, &a);  // before registration: no call
  void* r1 = nullptr;
  void* r2 = nullptr;
  ASSERT_EQ(smst->SmmRegisterProtocolNotify(&kProtoA, First, &r1), EFI_SUCCESS);
  ASSERT_EQ(smst->SmmRegisterProtocolNotify(&kProtoA, Second, &r2), EFI_SUCCESS);
  EXPECT_NE(r1, r2);
  EXPECT_TRUE(gCalls.empty());

  EFI_HANDLE h = nullptr;
  ASSERT_EQ(smst->SmmInstallProtocolInterface(&h, &kProtoA, EFI_NATIVE_INTERFACE, &b), EFI_SUCCESS);
  p.InstallSmmProtocol(kProtoB, &b);  // other protocols call nothing
  ASSERT_EQ(gCalls.size(), 2u);
  EXPECT_EQ(gCalls[0].who, "first");  // oldest registration first
  EXPECT_EQ(gCalls[1].who, "second");
  for (const Call& c : gCalls) {
    EXPECT_TRUE(c.guid == kProtoA);
    EXPECT_EQ(c.interface, &b);
    EXPECT_EQ(c.handle, h);
  }
  // The SMM database is not the boot-services one.
  EXPECT_EQ(p.SmmProtocolCount(kProtoA), 2u);
  EXPECT_EQ(p.ProtocolCount(kProtoA), 0u);
  void* found = nullptr;
  EXPECT_EQ(smst->SmmLocateProtocol(&kProtoA, nullptr, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &a);
  EXPECT_EQ(smst->SmmHandleProtocol(h, &kProtoA, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &b);
  EXPECT_EQ(p.BootServices()->HandleProtocol(h, &kProtoA, &found), EFI_INVALID_PARAMETER);
  // A registration also yields the instances installed after it, once each.
  EXPECT_EQ(smst->SmmLocateProtocol(&kProtoA, r1, &found), EFI_SUCCESS);
  EXPECT_EQ(found, &b);
  EXPECT_EQ(smst->SmmLocateProtocol(&kProtoA, r1, &found), EFI_NOT_FOUND);
}

TEST_F(Smm, CancellationStopsCallsAndChecksItsArguments) {
  void* r1 = nullptr;
  void* r2 = nullptr;
  ASSERT_EQ(smst->SmmRegisterProtocolNotify(&kProtoA, First, &r1), EFI_SUCCESS);
  ASSERT_EQ(smst->SmmRegisterProtocolNotify(&kProtoB, Second, &r2), EFI_SUCCESS);
  void* unknown = &a;
  void* none = nullptr;
  void* copy1 = r1;
  const struct {
    const char* what;
    const EFI_GUID* guid;
    EFI_SMM_NOTIFY_FN function;
    void** registration;
    EFI_STATUS expected;
  } cases[] = {
      {"null protocol", nullptr, First, &none, EFI_INVALID_PARAMETER},
      {"null registration", &kProtoA, First, nullptr, EFI_INVALID_PARAMETER},
      {"cancel with null registration", &kProtoA, nullptr, nullptr, EFI_INVALID_PARAMETER},
      {"cancel of an unknown registration", &kProtoA, nullptr, &unknown, EFI_NOT_FOUND},
      {"cancel of no registration", &kProtoA, nullptr, &none, EFI_NOT_FOUND},
      {"cancel under another protocol", &kProtoB, nullptr, &copy1, EFI_NOT_FOUND},
      {"cancel", &kProtoA, nullptr, &copy1, EFI_SUCCESS},
      {"cancel again", &kProtoA, nullptr, &copy1, EFI_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(smst->SmmRegisterProtocolNotify(c.guid, c.function, c.registration), c.expected) << c.what;
  }
  EXPECT_EQ(p.SmmNotifyCount(kProtoA), 0u);
  EXPECT_EQ(p.SmmNotifyCount(kProtoB), 1u);
  p.InstallSmmProtocol(kProtoA, &a);
  p.InstallSmmProtocol(kProtoB, &b);
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].who, "second");
}

TEST_F(Smm, AFunctionThatCancelsALaterRegistrationKeepsItFromBeingCalled) {
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(smst->SmmRegisterProtocolNotify(&kProtoA, Canceller, &first), EFI_SUCCESS);
  ASSERT_EQ(smst->SmmRegisterProtocolNotify(&kProtoA, Second, &second), EFI_SUCCESS);
  gCancelOnCall = second;
  p.InstallSmmProtocol(kProtoA, &a);
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].who, "canceller");
  EXPECT_EQ(p.SmmNotifyCount(kProtoA), 1u);
}

TEST_F(Smm, SmramPoolTakesOnlyRuntimeTypesAndFlagsForeignFrees) {
  void* buffer = nullptr;
  const struct {
    EFI_MEMORY_TYPE type;
    EFI_STATUS expected;
  } types[] = {{EfiRuntimeServicesData, EFI_SUCCESS},
               {EfiRuntimeServicesCode, EFI_SUCCESS},
               {EfiBootServicesData, EFI_INVALID_PARAMETER},
               {EfiReservedMemoryType, EFI_INVALID_PARAMETER}};
  std::vector<void*> taken;
  for (const auto& t : types) {
    buffer = nullptr;
    EXPECT_EQ(smst->SmmAllocatePool(t.type, 24, &buffer), t.expected) << t.type;
    if (t.expected == EFI_SUCCESS) taken.push_back(buffer);
  }
  ASSERT_EQ(p.OutstandingSmmAllocations().size(), 2u);
  EXPECT_EQ(p.OutstandingSmmAllocations()[0].size, 24u);
  const size_t bootPool = p.OutstandingAllocations().size();

  // Boot-services pool is not SMRAM, and SMRAM is not boot-services pool.
  void* bootBuffer = nullptr;
  ASSERT_EQ(p.BootServices()->AllocatePool(EfiBootServicesData, 8, &bootBuffer), EFI_SUCCESS);
  EXPECT_EQ(smst->SmmFreePool(bootBuffer), EFI_INVALID_PARAMETER);
  ASSERT_EQ(p.violations.size(), 1u);
  EXPECT_NE(p.violations[0].find("SmmFreePool"), std::string::npos);
  EXPECT_EQ(p.BootServices()->FreePool(taken[0]), EFI_INVALID_PARAMETER);
  EXPECT_EQ(p.violations.size(), 2u);
  EXPECT_EQ(p.BootServices()->FreePool(bootBuffer), EFI_SUCCESS);
  EXPECT_EQ(p.OutstandingAllocations().size(), bootPool);

  p.FailService(sim::Service::SmmFreePool, 1, EFI_DEVICE_ERROR);
  EXPECT_EQ(smst->SmmFreePool(taken[0]), EFI_DEVICE_ERROR);
  EXPECT_TRUE(p.OutstandingSmmAllocations()[0].freeRefused);
  EXPECT_FALSE(p.OutstandingSmmAllocations()[1].freeRefused);
  EXPECT_EQ(smst->SmmFreePool(taken[0]), EFI_SUCCESS);
  EXPECT_EQ(smst->SmmFreePool(taken[0]), EFI_INVALID_PARAMETER);  // double free
  EXPECT_EQ(p.violations.size(), 3u);
  EXPECT_EQ(p.OutstandingSmmAllocations().size(), 1u);

  EFI_PHYSICAL_ADDRESS page = 0;
  EXPECT_EQ(smst->SmmAllocatePages(AllocateAnyPages, EfiBootServicesCode, 1, &page), EFI_INVALID_PARAMETER);
  ASSERT_EQ(smst->SmmAllocatePages(AllocateAnyPages, EfiRuntimeServicesData, 2, &page), EFI_SUCCESS);
  EXPECT_EQ(page % 4096, 0u);
  EXPECT_EQ(p.OutstandingSmmAllocations().back().size, 8192u);
  EXPECT_EQ(smst->SmmFreePages(page, 2), EFI_SUCCESS);
  EXPECT_EQ(p.violations.size(), 3u);

  // SMRAM does not survive a reset.
  p.BeginBoot();
  EXPECT_TRUE(p.OutstandingSmmAllocations().empty());
}

TEST_F(Smm, InjectedFailuresCountDriverCallsOfTheSmmServices) {
  const struct {
    sim::Service service;
    const char* name;
  } services[] = {{sim::Service::SmmAllocatePool, "SmmAllocatePool"},
                  {sim::Service::SmmRegisterProtocolNotify, "SmmRegisterProtocolNotify"},
                  {sim::Service::SmmLocateProtocol, "SmmLocateProtocol"},
                  {sim::Service::SmmInstallProtocolInterface, "SmmInstallProtocolInterface"}};
  for (const auto& s : services) {
    sim::Service parsed;
    ASSERT_TRUE(sim::ServiceFromName(s.name, &parsed)) << s.name;
    EXPECT_EQ(parsed, s.service);
    EXPECT_STREQ(sim::ServiceName(s.service), s.name);
    p.FailService(s.service, 2, EFI_OUT_OF_RESOURCES);
  }
  auto callAll = [&] {
    std::vector<EFI_STATUS> out;
    void* buffer = nullptr;
    out.push_back(smst->SmmAllocatePool(EfiRuntimeServicesData, 8, &buffer));
    if (out.back() == EFI_SUCCESS) smst->SmmFreePool(buffer);
    void* r = nullptr;
    out.push_back(smst->SmmRegisterProtocolNotify(&kProtoA, First, &r));
    void* found = nullptr;
    out.push_back(smst->SmmLocateProtocol(&kProtoB, nullptr, &found));
    EFI_HANDLE h = nullptr;
    out.push_back(smst->SmmInstallProtocolInterface(&h, &kProtoB, EFI_NATIVE_INTERFACE, &a));
    return out;
  };
  EXPECT_EQ(callAll(), (std::vector<EFI_STATUS>{EFI_SUCCESS, EFI_SUCCESS, EFI_NOT_FOUND, EFI_SUCCESS}));
  EXPECT_EQ(callAll(), (std::vector<EFI_STATUS>{EFI_OUT_OF_RESOURCES, EFI_OUT_OF_RESOURCES,
                                                EFI_OUT_OF_RESOURCES, EFI_OUT_OF_RESOURCES}));
  EXPECT_EQ(p.ServiceCalls(sim::Service::SmmAllocatePool), 2u);
  EXPECT_EQ(p.SmmProtocolCount(kProtoB), 1u);
  EXPECT_EQ(p.SmmNotifyCount(kProtoA), 1u);
}

TEST_F(Smm, SmmConfigurationTableAndHandleSearch) {
  int table = 5;
  EXPECT_EQ(smst->SmmInstallConfigurationTable(smst, nullptr, &table, 4), EFI_INVALID_PARAMETER);
  EXPECT_EQ(smst->SmmInstallConfigurationTable(smst, &kProtoA, nullptr, 0), EFI_NOT_FOUND);
  ASSERT_EQ(smst->SmmInstallConfigurationTable(smst, &kProtoA, &table, 4), EFI_SUCCESS);
  ASSERT_EQ(smst->NumberOfTableEntries, 1u);
  EXPECT_TRUE(smst->SmmConfigurationTable[0].VendorGuid == kProtoA);
  EXPECT_EQ(smst->SmmConfigurationTable[0].VendorTable, &table);
  EXPECT_EQ(p.FindConfigTable(kProtoA), nullptr);  // not the boot-services table
  ASSERT_EQ(smst->SmmInstallConfigurationTable(smst, &kProtoA, nullptr, 0), EFI_SUCCESS);
  EXPECT_EQ(smst->NumberOfTableEntries, 0u);

  EFI_HANDLE h1 = p.InstallSmmProtocol(kProtoA, &a);
  EFI_HANDLE h2 = p.InstallSmmProtocol(kProtoA, &b);
  EFI_HANDLE found[2] = {};
  UINTN size = sizeof(EFI_HANDLE);
  EXPECT_EQ(smst->SmmLocateHandle(ByProtocol, &kProtoA, nullptr, &size, found), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 16u);
  ASSERT_EQ(smst->SmmLocateHandle(ByProtocol, &kProtoA, nullptr, &size, found), EFI_SUCCESS);
  EXPECT_EQ(found[0], h1);
  EXPECT_EQ(found[1], h2);
  EXPECT_EQ(smst->SmmLocateHandle(ByProtocol, &kProtoB, nullptr, &size, found), EFI_NOT_FOUND);
  EXPECT_EQ(smst->SmmUninstallProtocolInterface(h1, &kProtoA, &a), EFI_SUCCESS);
  EXPECT_EQ(p.SmmProtocolCount(kProtoA), 1u);
  // A removed handle is never handed out again in the boot.
  EXPECT_NE(p.InstallSmmProtocol(kProtoB, &a), h1);
}

TEST_F(Smm, SmmInstallsAndNotifyCallsAreTraced) {
  void* r = nullptr;
  smst->SmmRegisterProtocolNotify(&kProtoA, First, &r);
  p.InstallSmmProtocol(kProtoA, &a);
  std::vector<std::string> kinds;
  for (const auto& e : p.trace) {
    if (e.kind.compare(0, 3, "Smm") == 0) kinds.push_back(e.kind);
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"SmmRegisterProtocolNotify", "SmmInstallProtocol", "SmmNotify",
                                             "SmmNotifyReturned"}));
}

class SmmBoot : public ::testing::Test {
 protected:
  void SetUp() override {
    gSeen.clear();
    gPlatform = &p;
    p.smm.basePresent = true;
    // The platform's own SMM watchers, registered as each boot starts.
    p.bootHooks.push_back([](sim::Platform& platform) {
      static void* registrations[3];
      const EFI_GUID* notices[] = {&EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID, &SmmExitBootServicesNoticeGuid,
                                   &SmmLegacyBootNoticeGuid};
      for (int i = 0; i < 3; ++i) {
        platform.Smst()->SmmRegisterProtocolNotify(notices[i], BootObserver, &registrations[i]);
      }
    });
  }
  void TearDown() override { gPlatform = nullptr; }
  sim::Platform p;
  sim::DriverImage image{TEST_IMAGE_PATH};
};

TEST_F(SmmBoot, ReadyToLockFollowsTheDxeOneAndTheExitNoticeFollowsTheGroup) {
  p.RunBoot(image);
  const std::string lock = sim::GuidToString(EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID);
  const std::string exit = sim::GuidToString(SmmExitBootServicesNoticeGuid);
  // The exit notice comes after the group's notifications but while
  // ExitBootServices is still in progress, as from the SMM IPL's own
  // notification: not yet at runtime.
  EXPECT_EQ(gSeen, (std::vector<std::string>{lock + " runtime=0 dxeReadyToLock=1",
                                             exit + " runtime=0 dxeReadyToLock=1"}));
  EXPECT_EQ(p.SmmProtocolCount(EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID), 1u);
  EXPECT_EQ(p.SmmProtocolCount(SmmExitBootServicesNoticeGuid), 1u);
  EXPECT_EQ(p.SmmProtocolCount(SmmLegacyBootNoticeGuid), 0u);
  // The exit-boot-services group (the image records 'X' in it) ran before the notice.
  const sim::Variable* stages = p.FindVariable(kStagesName, kCounterImageGuid);
  ASSERT_NE(stages, nullptr);
  EXPECT_EQ(std::string(stages->data.begin(), stages->data.end()), "DELBX");
  p.SignalLegacyBoot();
  ASSERT_EQ(gSeen.size(), 3u);
  EXPECT_EQ(gSeen[2].substr(0, 36), sim::GuidToString(SmmLegacyBootNoticeGuid));
  EXPECT_TRUE(p.violations.empty());
}

TEST_F(SmmBoot, WithoutTheBaseProtocolNoSmmNoticeIsInstalled) {
  p.smm.basePresent = false;
  p.RunBoot(image);
  EXPECT_TRUE(gSeen.empty());
  EXPECT_EQ(p.SmmProtocolCount(EFI_SMM_READY_TO_LOCK_PROTOCOL_GUID), 0u);
  EXPECT_EQ(p.SmmProtocolCount(SmmExitBootServicesNoticeGuid), 0u);
}

}  // namespace
