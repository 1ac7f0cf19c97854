// The platform services the S3 libraries look up: the loaded image's code
// type, the DXE services table, the pointer registry, the SMBus host
// controller and the HEAP buffer HOBs.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "frame/pi.h"
#include "sim/platform.h"
#include "tests/sim_image/counter_image.h"

using sim::operator==;

namespace {

EFI_LOADED_IMAGE_PROTOCOL* LoadedImage(sim::Platform& p) {
  void* found = nullptr;
  if (p.BootServices()->HandleProtocol(p.ImageHandle(), &EFI_LOADED_IMAGE_PROTOCOL_GUID, &found) !=
      EFI_SUCCESS)
    return nullptr;
  return static_cast<EFI_LOADED_IMAGE_PROTOCOL*>(found);
}

TEST(LoadedImage, CodeAndDataTypesFollowTheSetting) {
  const struct {
    EFI_MEMORY_TYPE code;
    uint32_t data;
  } cases[] = {{EfiBootServicesCode, 4}, {EfiRuntimeServicesCode, 6}, {EfiLoaderCode, 2}};
  for (const auto& c : cases) {
    sim::Platform p;
    p.imageCodeType = c.code;
    p.BeginBoot();
    EFI_LOADED_IMAGE_PROTOCOL* image = LoadedImage(p);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(image->ImageCodeType), static_cast<uint32_t>(c.code));
    EXPECT_EQ(static_cast<uint32_t>(image->ImageDataType), c.data) << c.code;
  }
  sim::Platform plain;
  plain.BeginBoot();
  EXPECT_EQ(static_cast<uint32_t>(LoadedImage(plain)->ImageCodeType), 3u);
}

TEST(DxeServices, PublishedWithAValidHeaderAndRecordedAttributeCalls) {
  sim::Platform p;
  p.BeginBoot();
  auto* dxe = static_cast<EFI_DXE_SERVICES*>(p.FindConfigTable(DXE_SERVICES_TABLE_GUID));
  ASSERT_NE(dxe, nullptr);
  EXPECT_EQ(dxe->Hdr.Signature, 0x565245535F455844u);  // "DXE_SERV"
  EXPECT_EQ(dxe->Hdr.HeaderSize, 168u);
  EFI_DXE_SERVICES copy;
  std::memcpy(&copy, dxe, sizeof copy);
  copy.Hdr.CRC32 = 0;
  uint32_t crc = 0;
  ASSERT_EQ(p.BootServices()->CalculateCrc32(&copy, 168, &crc), EFI_SUCCESS);
  EXPECT_EQ(dxe->Hdr.CRC32, crc);
  EXPECT_EQ(dxe->AddMemorySpace(), EFI_UNSUPPORTED);
  EXPECT_EQ(dxe->GetMemorySpaceDescriptor(), EFI_UNSUPPORTED);

  EXPECT_EQ(dxe->SetMemorySpaceAttributes(0xFED80000, 0x1000, 0x8000000000000001), EFI_SUCCESS);
  p.dxeSetAttributesStatus = EFI_ACCESS_DENIED;
  EXPECT_EQ(dxe->SetMemorySpaceAttributes(0xFEC10000, 0x2000, 1), EFI_ACCESS_DENIED);
  ASSERT_EQ(p.dxeSetAttributesCalls.size(), 2u);
  EXPECT_EQ(p.dxeSetAttributesCalls[0].base, 0xFED80000u);
  EXPECT_EQ(p.dxeSetAttributesCalls[0].length, 0x1000u);
  EXPECT_EQ(p.dxeSetAttributesCalls[0].attributes, 0x8000000000000001u);
  EXPECT_EQ(p.dxeSetAttributesCalls[1].length, 0x2000u);
  EXPECT_EQ(p.dxeSetAttributesCalls[1].boot, 1u);
  EXPECT_TRUE(p.violations.empty());

  p.ExitBootServices();  // boot-time only
  dxe->SetMemorySpaceAttributes(0xFED80000, 0x1000, 1);
  EXPECT_EQ(p.violations.size(), 1u);

  p.dxeServices = false;
  p.BeginBoot();
  EXPECT_EQ(p.FindConfigTable(DXE_SERVICES_TABLE_GUID), nullptr);
}

struct SmbusHc {
  EFI_STATUS(EFIAPI* Execute)(const void*, UINTN, UINTN, UINT32, BOOLEAN, UINTN*, void*);
  EFI_STATUS(EFIAPI* ArpDevice)(const void*, BOOLEAN, void*, UINTN*);
  EFI_STATUS(EFIAPI* GetArpMap)(const void*, UINTN*, void**);
  EFI_STATUS(EFIAPI* Notify)(const void*, UINTN, UINTN, void*);
};

TEST(SmbusHc, InstalledOnRequestAndEveryCallIsAViolation) {
  sim::Platform p;
  p.BeginBoot();
  EXPECT_EQ(p.ProtocolCount(EFI_SMBUS_HC_PROTOCOL_GUID), 0u);
  p.smbusHc = true;
  p.BeginBoot();
  auto* hc = static_cast<SmbusHc*>(p.LocateProtocolInterface(EFI_SMBUS_HC_PROTOCOL_GUID));
  ASSERT_NE(hc, nullptr);
  EXPECT_TRUE(p.violations.empty());
  UINTN length = 0;
  void* map = nullptr;
  EXPECT_EQ(hc->Execute(hc, 0x50, 0, 0, 0, &length, nullptr), EFI_UNSUPPORTED);
  EXPECT_EQ(hc->ArpDevice(hc, 1, nullptr, nullptr), EFI_UNSUPPORTED);
  EXPECT_EQ(hc->GetArpMap(hc, &length, &map), EFI_UNSUPPORTED);
  EXPECT_EQ(hc->Notify(hc, 0x50, 0, nullptr), EFI_UNSUPPORTED);
  EXPECT_EQ(p.violations.size(), 4u);
}

sim::PointerRegistryProtocol* Registry(sim::Platform& p) {
  return static_cast<sim::PointerRegistryProtocol*>(
      p.LocateProtocolInterface(sim::kPointerRegistryProtocolGuid));
}

TEST(PointerRegistry, KeepsTheRegisteredAddresses) {
  sim::Platform p;
  p.pointerRegistry.install = sim::PointerRegistry::Install::BootStart;
  p.BeginBoot();
  sim::PointerRegistryProtocol* r = Registry(p);
  ASSERT_NE(r, nullptr);
  void* first = nullptr;
  void* second = nullptr;
  const struct {
    EFI_STATUS (*call)(sim::PointerRegistryProtocol*, void**);
    void** address;
    EFI_STATUS expected;
    size_t held;
  } steps[] = {
      {[](sim::PointerRegistryProtocol* x, void** a) { return x->RegisterPointer(a); }, &first, EFI_SUCCESS,
       1},
      {[](sim::PointerRegistryProtocol* x, void** a) { return x->RegisterPointer(a); }, &second, EFI_SUCCESS,
       2},
      {[](sim::PointerRegistryProtocol* x, void** a) { return x->RegisterPointer(a); }, &first,
       EFI_ALREADY_STARTED, 2},
      {[](sim::PointerRegistryProtocol* x, void** a) { return x->RegisterPointer(a); }, nullptr,
       EFI_INVALID_PARAMETER, 2},
      {[](sim::PointerRegistryProtocol* x, void** a) { return x->UnregisterPointer(a); }, &first, EFI_SUCCESS,
       1},
      {[](sim::PointerRegistryProtocol* x, void** a) { return x->UnregisterPointer(a); }, &first,
       EFI_NOT_FOUND, 1},
  };
  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    EXPECT_EQ(steps[i].call(r, steps[i].address), steps[i].expected) << i;
    EXPECT_EQ(p.pointerRegistry.registered.size(), steps[i].held) << i;
  }
  EXPECT_EQ(p.pointerRegistry.registered, std::vector<void**>{&second});
  EXPECT_EQ(r->Entry1(), EFI_UNSUPPORTED);
  EXPECT_EQ(r->Entry2(), EFI_UNSUPPORTED);
  p.BeginBoot();  // a new boot starts with an empty registry
  EXPECT_TRUE(p.pointerRegistry.registered.empty());
}

TEST(PointerRegistry, AbsentOrLateByChoice) {
  struct Case {
    sim::PointerRegistry::Install install;
    size_t atBootStart;
    bool installedBetweenEntryAndEndOfDxe;
  };
  const Case cases[] = {{sim::PointerRegistry::Install::Absent, 0, false},
                        {sim::PointerRegistry::Install::BootStart, 1, false},
                        {sim::PointerRegistry::Install::BeforeEndOfDxe, 0, true}};
  for (const Case& c : cases) {
    {
      sim::Platform started;
      started.pointerRegistry.install = c.install;
      started.BeginBoot();
      EXPECT_EQ(started.ProtocolCount(sim::kPointerRegistryProtocolGuid), c.atBootStart);
    }
    sim::Platform p;
    p.pointerRegistry.install = c.install;
    sim::DriverImage image{TEST_IMAGE_PATH};
    p.RunBoot(image);
    // Where the installation falls among the boot's stages.
    const std::string guid = sim::GuidToString(sim::kPointerRegistryProtocolGuid);
    std::string lastStage;
    std::vector<std::string> installedAt;
    for (const auto& e : p.trace) {
      if (e.kind == "Stage") lastStage = e.text;
      if (e.kind == "InstallProtocol" && e.text.find(guid) != std::string::npos)
        installedAt.push_back(lastStage);
    }
    if (c.install == sim::PointerRegistry::Install::Absent) {
      EXPECT_TRUE(installedAt.empty());
    } else if (c.installedBetweenEntryAndEndOfDxe) {
      EXPECT_EQ(installedAt, std::vector<std::string>{"DriverEntry returned EFI_SUCCESS"});
    } else {
      EXPECT_EQ(installedAt, std::vector<std::string>{"BeginBoot after power-on"});
    }
  }
}

// The data of each HEAP buffer HOB in the HOB list, with its HobLength.
std::vector<std::pair<uint16_t, std::vector<uint8_t>>> HeapHobs(sim::Platform& p) {
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> out;
  const uint8_t* at = static_cast<const uint8_t*>(p.FindConfigTable(sim::kHobListGuid));
  for (;;) {
    const auto* h = reinterpret_cast<const EFI_HOB_GENERIC_HEADER*>(at);
    if (h->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) break;
    if (h->HobType == EFI_HOB_TYPE_GUID_EXTENSION) {
      const auto* g = reinterpret_cast<const EFI_HOB_GUID_TYPE*>(at);
      if (g->Name == sim::kHeapBufferHobGuid) {
        out.emplace_back(h->HobLength, std::vector<uint8_t>(at + 24, at + h->HobLength));
      }
    }
    at += h->HobLength;
  }
  return out;
}

TEST(HeapHobs, DescriptorAndPayloadAsTheHobListCarriesThem) {
  sim::Platform p;
  sim::HeapHob runtime;
  runtime.payload = {0xDE, 0xAD, 0xBE};
  runtime.poolKind = 8;
  p.AddHeapHob(runtime);
  sim::HeapHob overstated;
  overstated.payload = {1, 2, 3, 4, 5, 6, 7, 8};
  overstated.take = 0;
  overstated.statedPayloadSize = 4096;
  p.AddHeapHob(overstated);
  p.BeginBoot();
  const auto hobs = HeapHobs(p);
  ASSERT_EQ(hobs.size(), 2u);
  EXPECT_EQ(hobs[0].first, 48u);  // 24 + 16 + 3, rounded up to 8
  const std::vector<uint8_t> first(hobs[0].second.begin(), hobs[0].second.begin() + 19);
  EXPECT_EQ(first,
            (std::vector<uint8_t>{'H', 'E', 'A', 'P', 0, 0, 0, 0, 3, 0, 0, 0, 8, 1, 0, 0, 0xDE, 0xAD, 0xBE}));
  // A descriptor may claim more payload than its HOB holds.
  EXPECT_EQ(hobs[1].first, 48u);  // 24 + 16 + 8
  EXPECT_EQ(hobs[1].second, (std::vector<uint8_t>{'H', 'E', 'A', 'P', 0, 0, 0, 0, 0, 0x10, 0, 0,
                                                  0,   0,   0,   0,   1, 2, 3, 4, 5, 6,    7, 8}));
}

// Installing the heap-buffer list protocol traces the list its interface
// heads, walked as another module walks it; a list that leaves the pool
// blocks or a node whose payload runs past its block stops the walk there.
TEST(HeapBufferList, InstallationTracesTheListItHeads) {
  struct Node {
    const char* what;
    uint32_t payloadSize;
    std::vector<uint8_t> payload;
  };
  struct Case {
    const char* what;
    std::vector<Node> nodes;
    bool lastLinksOutside;  // the last node's forward link names a stack variable
    const char* count;
    const char* problem;
  };
  const std::vector<uint8_t> big(65, 0xEE);
  const Case cases[] = {
      {"empty", {}, false, "0", nullptr},
      {"two nodes", {{"a", 3, {0xDE, 0xAD, 0xBE}}, {"b", 65, big}}, false, "2", nullptr},
      {"a link outside the pool", {{"a", 1, {7}}}, true, "1", "leads outside the pool blocks"},
      {"payload past its node", {{"a", 4096, {7}}}, false, "1", "the payload runs past its pool block"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Platform p;
    p.BeginBoot();
    alignas(8) uint64_t interface[3] = {1, 0, 0};
    const uint64_t head = reinterpret_cast<uint64_t>(&interface[1]);
    uint64_t outside[2] = {};
    std::vector<uint8_t*> nodes;
    for (const Node& n : c.nodes) {
      void* block = nullptr;
      ASSERT_EQ(p.BootServices()->AllocatePool(EfiRuntimeServicesData, 32 + n.payload.size(), &block),
                EFI_SUCCESS);
      uint8_t* node = static_cast<uint8_t*>(block);
      std::memset(node, 0, 32);
      std::memcpy(node + 16, "HEAP", 4);
      std::memcpy(node + 24, &n.payloadSize, 4);
      node[28] = 8;
      node[29] = 1;
      std::memcpy(node + 32, n.payload.data(), n.payload.size());
      nodes.push_back(node);
    }
    uint64_t previous = head;
    interface[1] = interface[2] = head;
    for (uint8_t* node : nodes) {
      const uint64_t address = reinterpret_cast<uint64_t>(node);
      std::memcpy(
          previous == head ? reinterpret_cast<uint8_t*>(&interface[1]) : reinterpret_cast<uint8_t*>(previous),
          &address, 8);
      std::memcpy(node, &head, 8);
      previous = address;
    }
    if (c.lastLinksOutside) {
      const uint64_t away = reinterpret_cast<uint64_t>(outside);
      std::memcpy(nodes.back(), &away, 8);
    }
    const EFI_GUID list = {0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};
    ASSERT_NE(p.InstallProtocol(list, interface), nullptr);
    const sim::TraceEvent& e = p.trace.back();
    ASSERT_EQ(e.kind, "HeapBufferList");
    std::map<std::string, std::string> f(e.fields.begin(), e.fields.end());
    EXPECT_EQ(f["revision"], "1");
    EXPECT_EQ(f["nodes"], c.count);
    if (c.problem) {
      EXPECT_NE(f["problem"].find(c.problem), std::string::npos) << f["problem"];
    } else {
      EXPECT_EQ(f.count("problem"), 0u);
    }
    if (std::string(c.what) == "two nodes") {
      EXPECT_EQ(f["node1.pool"], "EfiRuntimeServicesData");
      EXPECT_EQ(f["node1.signature"], "0x50414548");
      EXPECT_EQ(f["node1.payloadSize"], "3");
      EXPECT_EQ(f["node1.poolKind"], "8");
      EXPECT_EQ(f["node1.take"], "1");
      EXPECT_EQ(f["node1.payload"], "DE AD BE");
      EXPECT_EQ(f["node2.payloadSize"], "65");
      EXPECT_EQ(f["node2.payloadCrc32"], "0xC04DE3D3");  // 65 bytes of 0xEE
      EXPECT_EQ(f.count("node2.payload"), 0u);
    }
  }
}

}  // namespace
