// Whole simulated boots from a byte-encoded scenario: the driver loaded
// afresh in every boot (module state zeroed, constructors run by its entry
// point), the End-of-DXE group, ready-to-lock, a boot manager stand-in that
// consumes BootNext, ready-to-boot and exit-boot-services, boot after boot until one
// ends without a reset.
//
// Input: flags (bit 0 platform hook installed, bit 1 the hook removes Setup,
// bit 2 purge-idle marker installed, bit 3 no boot manager, bit 4 a
// write-protected store, bit 5 a small store, bit 6 a recovery boot mode,
// bit 7 ZKFirstBoot stored); EC behaviour (up to 0xEF and 0xFF a working EC;
// 0xF0 to 0xF7 slow, 0xF8 to 0xFB a stale byte in the output buffer, 0xFC busy
// at boot, 0xFD going dead after some bytes, 0xFE never answering: a dead EC
// costs every wait its whole bound, so these two are rare), its parameter
// byte and EC register 0x19; a power cut (0: none, else after NV write
// n % 16); a count of failure rules (0 to 3), each: service selector, call
// number, bit 0 from then on and the status selector; then the variables
// ZKChgBoot, ZKSaveLidFlag, ZKOOBTest, BootOrder and PhysicalBootOrder
// (attribute selector, block; empty: absent), Setup (selector, 16-bit size
// modulo 1024, 0: absent; bytes 92, 100 and 111), then options until the
// input ends (number, selector, block).
//
// Oracle, whatever the input: no recorded violation (the simulator records
// misuse of the services and of the EC), no hang (every hardware wait is
// bounded), no pool of a boot that ran to its end held beyond the published
// TSC-frequency record, the list anchor and the shared record, at most 3
// resets in a row and a platform that settles within 8 boots.
#include <cstring>

#include "entry/driver.h"
#include "frame/module.h"
#include "fuzz/harness.h"
#include "s3/smm_services.h"
#include "support/strings/strings.h"

namespace {

using fuzz::Fail;

constexpr unsigned kMaxBoots = 8;
constexpr unsigned kMaxResetsInARow = 3;

struct HookSetting {
  bool removesSetup = false;
} gHook;

EFI_STATUS EFIAPI FactoryResetHook() {
  if (gHook.removesSetup) sim::Platform::Current()->RemoveVariable(u"Setup", SetupVariableGuid);
  return EFI_SUCCESS;
}

// The services a rule can make fail; allocations fail through
// FailNthAllocation instead.
const sim::Service kServices[] = {sim::Service::GetVariable,
                                  sim::Service::GetVariable,
                                  sim::Service::SetVariable,
                                  sim::Service::SetVariable,
                                  sim::Service::AllocatePool,
                                  sim::Service::LocateProtocol,
                                  sim::Service::LocateHandleBuffer,
                                  sim::Service::HandleProtocol,
                                  sim::Service::InstallProtocolInterface,
                                  sim::Service::UninstallProtocolInterface,
                                  sim::Service::CreateEventEx,
                                  sim::Service::CloseEvent,
                                  sim::Service::InstallConfigurationTable,
                                  sim::Service::RegisterProtocolNotify,
                                  sim::Service::QueryVariableInfo,
                                  sim::Service::FreePool};
const EFI_STATUS kStatuses[] = {EFI_DEVICE_ERROR,       EFI_OUT_OF_RESOURCES,  EFI_NOT_FOUND,
                                EFI_WRITE_PROTECTED,    EFI_INVALID_PARAMETER, EFI_BUFFER_TOO_SMALL,
                                EFI_SECURITY_VIOLATION, EFI_UNSUPPORTED};

void PutBlock(sim::Platform& p, fuzz::Input& in, const std::u16string& name, const EFI_GUID& guid) {
  const uint32_t attributes = fuzz::StoredAttributes(in.U8());
  std::vector<uint8_t> data = in.Block();
  if (!data.empty()) p.PutVariable(name, guid, attributes, std::move(data));
}

// The UEFI boot manager's share of a boot that matters to the driver:
// BootNext is consumed before the option boots.
void BootManager(sim::Platform& p) {
  if (p.FindVariable(u"BootNext", EFI_GLOBAL_VARIABLE)) p.RemoveVariable(u"BootNext", EFI_GLOBAL_VARIABLE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t flags = in.U8();
  const uint8_t ecByte = in.U8();
  const uint8_t ecParameter = in.U8();
  const uint8_t powerOff = in.U8();
  const uint8_t powerCut = in.U8();

  fuzz::Lease lease;
  fuzz::Notebook& notebook = lease.notebook;
  sim::Platform& platform = notebook.platform;
  sim::Notebook& devices = notebook.devices;
  sim::EmbeddedController& ec = devices.ec;
  if (ecByte >= 0xF0 && ecByte <= 0xF7) ec.behaviour.takeNs = 1000u * (ecParameter % 64);
  if (ecByte >= 0xF8 && ecByte <= 0xFB) ec.behaviour.staleOutput = ecParameter;
  if (ecByte == 0xFC) ec.behaviour.busyAtBootNs = 1000u * ecParameter;
  if (ecByte == 0xFD) ec.behaviour.goesDeadAfter = ecParameter % 24;
  if (ecByte == 0xFE) ec.behaviour.neverAnswers = true;
  ec.registers[0x19] = powerOff < 0xC0 ? powerOff % 3 : powerOff;
  ec.registers[0x16] = 0x02;
  devices.EnableImc(true);

  platform.bootMode = (flags & 0x40) ? BOOT_IN_RECOVERY_MODE : BOOT_WITH_FULL_CONFIGURATION;
  platform.bootManager = false;  // the stand-in below runs in its place
  platform.store.writeProtected = (flags & 0x10) != 0;
  if (flags & 0x20) platform.store.capacity = 0x400;
  if (powerCut) platform.CutPowerAfterNvWrite(powerCut % 16);
  const unsigned rules = in.U8() % 4;
  for (unsigned i = 0; i < rules; ++i) {
    const uint8_t service = in.U8();
    const uint8_t call = in.U8();
    const uint8_t how = in.U8();
    const sim::Service s = kServices[service % (sizeof kServices / sizeof kServices[0])];
    const EFI_STATUS status = kStatuses[(how >> 1) % (sizeof kStatuses / sizeof kStatuses[0])];
    if (s == sim::Service::AllocatePool && (how & 1)) {
      platform.FailNthAllocation(1 + call % 64);
    } else {
      platform.FailService(s, 1 + call, status, (how & 1) != 0);
    }
  }

  if (flags & 0x80) platform.PutVariable(u"ZKFirstBoot", BootControlVendorGuid, 7, {0});
  PutBlock(platform, in, u"ZKChgBoot", BootControlVendorGuid);
  PutBlock(platform, in, u"ZKSaveLidFlag", LidFlagVendorGuid);
  PutBlock(platform, in, u"ZKOOBTest", OobTestVendorGuid);
  PutBlock(platform, in, u"BootOrder", EFI_GLOBAL_VARIABLE);
  PutBlock(platform, in, u"PhysicalBootOrder", PhysicalBootOrderGuid);
  const uint32_t setupAttributes = fuzz::StoredAttributes(in.U8());
  const size_t setupSize = in.U16() % 1024;
  const uint8_t b92 = in.U8(), b100 = in.U8(), b111 = in.U8();
  if (setupSize) {
    std::vector<uint8_t> setup(setupSize, 0);
    if (setupSize > 92) setup[92] = b92;
    if (setupSize > 100) setup[100] = b100;
    if (setupSize > 111) setup[111] = b111;
    platform.PutVariable(u"Setup", SetupVariableGuid, setupAttributes, std::move(setup));
  }
  while (!in.Done()) {
    const uint16_t number = in.U16();
    PutBlock(platform, in, fuzz::OptionName(number), EFI_GLOBAL_VARIABLE);
  }

  gHook.removesSetup = (flags & 2) != 0;
  alignas(8) static uint8_t hookInterface[128];
  const uint32_t length = sizeof hookInterface;
  const uint64_t hook = reinterpret_cast<uint64_t>(&FactoryResetHook);
  std::memcpy(hookInterface, &length, sizeof length);
  std::memcpy(hookInterface + kPlatformHookFactoryResetOffset, &hook, sizeof hook);
  if (flags & 1)
    platform.bootHooks.push_back(
        [](sim::Platform& p) { p.InstallProtocol(PlatformHookProtocolGuid, hookInterface); });
  if (flags & 4)
    platform.bootHooks.push_back([](sim::Platform& p) { p.InstallProtocol(PurgeIdleMarkerGuid, nullptr); });
  const bool bootManager = (flags & 8) == 0;

  unsigned resetsInARow = 0;
  bool settled = false;
  for (unsigned boot = 1; boot <= kMaxBoots && !settled; ++boot) {
    platform.BeginBoot();
    fuzz::Notebook::ResetDriverState();
    const std::optional<EFI_RESET_TYPE> reset = platform.RunGuarded([&] {
      DriverEntry(platform.ImageHandle(), platform.SystemTable());
      platform.SignalEventGroup(sim::kEndOfDxeGroup);
      platform.InstallProtocol(sim::kDxeSmmReadyToLockProtocol, nullptr);
      if (bootManager) BootManager(platform);
      platform.SignalEventGroup(sim::kReadyToBootGroup);
      platform.ExitBootServices();
    });
    const sim::Platform::Stop stop = platform.Stopped();
    // Messages are made only for a failed check.
    if (stop == sim::Platform::Stop::Hang) Fail("boot " + std::to_string(boot) + " hung");
    if (!platform.violations.empty())
      Fail("violation in boot " + std::to_string(boot) + ": " + platform.violations.front());
    if (stop == sim::Platform::Stop::PowerLoss) continue;
    if (reset && *reset != EfiResetShutdown) {
      ++resetsInARow;
      if (resetsInARow > kMaxResetsInARow) Fail(std::to_string(resetsInARow) + " resets in a row");
      continue;
    }
    settled = true;
    if (reset) break;  // shut down: the machine stays off
    // Records published for other modules stay: the TSC frequency table,
    // the list anchor and the shared record. So does what the driver gave
    // back to a FreePool that an injected failure refused.
    const void* tsc = platform.FindConfigTable(TscFrequencyGuid);
    const void* anchor = platform.LocateProtocolInterface(ListAnchorProtocolGuid);
    const void* shared = platform.LocateProtocolInterface(SharedRecordProtocolGuid);
    for (const sim::Allocation& a : platform.OutstandingAllocations()) {
      if (a.type == EfiBootServicesData && a.address != tsc && a.address != anchor && a.address != shared &&
          a.boot == platform.BootNumber() && !a.freeRefused)
        Fail("boot " + std::to_string(boot) + " ends holding " + std::to_string(a.size) + " bytes");
    }
  }
  if (!settled) Fail("still resetting after " + std::to_string(kMaxBoots) + " boots");
  return 0;
}
