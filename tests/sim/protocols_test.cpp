// Handle and protocol database, protocol notification and handle searches.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/platform.h"
#include "tests/sim/notify_log.h"

namespace {

const EFI_GUID kProtoA = {0xA0A0A0A0, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};
const EFI_GUID kProtoB = {0xB0B0B0B0, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

class Protocols : public ::testing::Test {
 protected:
  void SetUp() override { p.BeginBoot(); }
  std::vector<EFI_HANDLE> Handles(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid) {
    UINTN count = 0;
    EFI_HANDLE* buffer = nullptr;
    std::vector<EFI_HANDLE> out;
    if (bs->LocateHandleBuffer(type, guid, nullptr, &count, &buffer) == EFI_SUCCESS) {
      out.assign(buffer, buffer + count);
      bs->FreePool(buffer);
    }
    return out;
  }
  sim::Platform p;
  EFI_BOOT_SERVICES* bs = p.BootServices();
  int a = 1, b = 2, c = 3, d = 4;
};

TEST_F(Protocols, InstallAndUninstallRejectInvalidRequests) {
  EFI_HANDLE h = p.InstallProtocol(kProtoA, &a);
  EFI_HANDLE copy = h, unknown = &c;
  const std::pair<EFI_STATUS, EFI_STATUS> cases[] = {
      {bs->InstallProtocolInterface(&copy, &kProtoA, EFI_NATIVE_INTERFACE, &b), EFI_INVALID_PARAMETER},
      {bs->InstallProtocolInterface(&copy, nullptr, EFI_NATIVE_INTERFACE, &b), EFI_INVALID_PARAMETER},
      {bs->InstallProtocolInterface(nullptr, &kProtoB, EFI_NATIVE_INTERFACE, &b), EFI_INVALID_PARAMETER},
      {bs->InstallProtocolInterface(&unknown, &kProtoB, EFI_NATIVE_INTERFACE, &b), EFI_INVALID_PARAMETER},
      {bs->UninstallProtocolInterface(h, &kProtoA, &b), EFI_NOT_FOUND},
      {bs->UninstallProtocolInterface(h, &kProtoB, &b), EFI_NOT_FOUND},
      {bs->UninstallProtocolInterface(unknown, &kProtoA, &a), EFI_INVALID_PARAMETER},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
  EXPECT_EQ(p.LocateProtocolInterface(kProtoA), &a);
  EXPECT_EQ(p.ProtocolCount(kProtoB), 0u);
  EXPECT_EQ(p.InstallProtocol(kProtoA, &b, h), nullptr);
}

TEST_F(Protocols, MarkerProtocolsAndHandlesThatDisappearWithTheirLastProtocol) {
  EFI_HANDLE h = p.InstallProtocol(kProtoA, nullptr);
  EXPECT_EQ(p.InstallProtocol(kProtoB, &b, h), h);
  void* found = &c;
  EXPECT_EQ(bs->HandleProtocol(h, &kProtoA, &found), EFI_SUCCESS);
  EXPECT_EQ(found, nullptr);
  ASSERT_EQ(bs->UninstallProtocolInterface(h, &kProtoA, nullptr), EFI_SUCCESS);
  EXPECT_EQ(bs->HandleProtocol(h, &kProtoA, &found), EFI_UNSUPPORTED);
  ASSERT_EQ(bs->UninstallProtocolInterface(h, &kProtoB, &b), EFI_SUCCESS);
  EXPECT_EQ(bs->HandleProtocol(h, &kProtoB, &found), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Handles(AllHandles, nullptr), std::vector<EFI_HANDLE>{p.ImageHandle()});
}

TEST_F(Protocols, RegistrationYieldsEachNewInstanceOnceInInstallOrder) {
  p.InstallProtocol(kProtoA, &a);  // before registration: never returned through it
  simtest::NotifyLog log(p);
  simtest::Probe* probe = log.Create("watch", TPL_CALLBACK);
  void* registration = nullptr;
  ASSERT_EQ(bs->RegisterProtocolNotify(&kProtoA, probe->event, &registration), EFI_SUCCESS);
  p.InstallProtocol(kProtoA, &b);
  p.InstallProtocol(kProtoB, &b);  // other protocols do not signal
  EXPECT_EQ(log.entries.size(), 1u);
  bs->RaiseTPL(TPL_NOTIFY);  // two installations, one notification
  EFI_HANDLE gone = p.InstallProtocol(kProtoA, &c);
  p.InstallProtocol(kProtoA, &d);
  bs->RestoreTPL(TPL_APPLICATION);
  EXPECT_EQ(log.entries.size(), 2u);
  ASSERT_EQ(p.UninstallProtocol(gone, kProtoA, &c), EFI_SUCCESS);  // removed before it was located

  std::vector<void*> located;
  void* found = nullptr;
  while (bs->LocateProtocol(&kProtoA, registration, &found) == EFI_SUCCESS) located.push_back(found);
  EXPECT_EQ(located, (std::vector<void*>{&b, &d}));
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(bs->LocateProtocol(&kProtoA, nullptr, &found), EFI_SUCCESS);  // no key: first installed
  EXPECT_EQ(found, &a);

  bs->CloseEvent(probe->event);  // ends the registration
  p.InstallProtocol(kProtoA, &c);
  EXPECT_EQ(bs->LocateProtocol(&kProtoA, registration, &found), EFI_NOT_FOUND);
}

TEST_F(Protocols, LocateHandleBufferIsTrackedPoolInInstallOrder) {
  EFI_HANDLE h1 = p.InstallProtocol(kProtoB, &a);
  EFI_HANDLE h2 = p.InstallProtocol(kProtoA, &a);
  p.InstallProtocol(kProtoA, &b, h1);  // older handle, newer instance
  UINTN count = 0;
  EFI_HANDLE* buffer = nullptr;
  ASSERT_EQ(bs->LocateHandleBuffer(ByProtocol, &kProtoA, nullptr, &count, &buffer), EFI_SUCCESS);
  EXPECT_EQ(std::vector<EFI_HANDLE>(buffer, buffer + count), (std::vector<EFI_HANDLE>{h2, h1}));
  std::vector<sim::Allocation> held = p.OutstandingAllocations();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].address, buffer);
  EXPECT_EQ(held[0].size, 2 * sizeof(EFI_HANDLE));
  EXPECT_EQ(bs->FreePool(buffer), EFI_SUCCESS);
  EXPECT_EQ(bs->LocateHandleBuffer(ByProtocol, &sim::kHobListGuid, nullptr, &count, &buffer), EFI_NOT_FOUND);
  EXPECT_EQ(buffer, nullptr);
  p.FailNthAllocation(1);
  EXPECT_EQ(bs->LocateHandleBuffer(ByProtocol, &kProtoA, nullptr, &count, &buffer), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Handles(AllHandles, nullptr), (std::vector<EFI_HANDLE>{p.ImageHandle(), h1, h2}));
}

TEST_F(Protocols, LocateHandleReportsTheSizeItNeeds) {
  EFI_HANDLE h1 = p.InstallProtocol(kProtoA, &a);
  EFI_HANDLE h2 = p.InstallProtocol(kProtoA, &b);
  EFI_HANDLE buffer[3] = {};
  UINTN size = sizeof(EFI_HANDLE);
  EXPECT_EQ(bs->LocateHandle(ByProtocol, &kProtoA, nullptr, &size, buffer), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 2 * sizeof(EFI_HANDLE));
  EXPECT_EQ(bs->LocateHandle(ByProtocol, &kProtoA, nullptr, &size, nullptr), EFI_INVALID_PARAMETER);
  size = sizeof buffer;
  ASSERT_EQ(bs->LocateHandle(ByProtocol, &kProtoA, nullptr, &size, buffer), EFI_SUCCESS);
  EXPECT_EQ(size, 2 * sizeof(EFI_HANDLE));
  EXPECT_EQ(buffer[0], h1);
  EXPECT_EQ(buffer[1], h2);
  EXPECT_EQ(bs->LocateHandle(ByProtocol, &kProtoB, nullptr, &size, buffer), EFI_NOT_FOUND);
}

TEST_F(Protocols, MultipleInterfacesInstallAndUninstallAllOrNothing) {
  EFI_HANDLE h = nullptr;
  ASSERT_EQ(bs->InstallMultipleProtocolInterfaces(&h, &kProtoA, &a, &kProtoB, &b, nullptr), EFI_SUCCESS);
  EFI_HANDLE fresh = nullptr;
  EXPECT_EQ(bs->InstallMultipleProtocolInterfaces(&fresh, &kProtoA, &c, &kProtoA, &c, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(fresh, nullptr);
  EXPECT_EQ(bs->UninstallMultipleProtocolInterfaces(h, &kProtoA, &a, &kProtoB, &c, nullptr),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Handles(ByProtocol, &kProtoA), std::vector<EFI_HANDLE>{h});
  EXPECT_EQ(bs->UninstallMultipleProtocolInterfaces(h, &kProtoA, &a, &kProtoB, &b, nullptr), EFI_SUCCESS);
  EXPECT_EQ(Handles(AllHandles, nullptr), std::vector<EFI_HANDLE>{p.ImageHandle()});
}

}  // namespace
