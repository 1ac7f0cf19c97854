// Flash hardware probe for the firmware test: shows what the emulated
// machine answers at the addresses the driver's flash libraries touch, and
// watches the words its flash lock would write.
//
//   flashprobe read TAG    reads each register once, with the width the flash
//                          libraries use, and prints one line per register:
//                            FWT probe TAG NAME addr=A value=V gcd=T
//                                gcd-range=BASE+LENGTH allocated|free
//                          (T: the GCD memory type there: nonexistent,
//                          reserved, system, mmio, ...), then
//                            FWT probe TAG hostbridge id=V pciexbar=V
//                          (bus 0 device 0 through ports 0xCF8/0xCFC),
//                            FWT probe TAG window=W
//                          (the lock window the driver computes from the
//                          value at 0xF80000BC),
//                            FWT probe TAG bars DD.F=ID:,BAR0,...,BAR5 ...
//                          (every function on bus 0 and its BAR registers) and
//                            FWT probe TAG pm1 port=P value=V imc-gate=G
//                          (the PM1 control port that 0xFED80362 names, its
//                          32-bit value, and the IMC gate byte at 0xFED80E80)
//   flashprobe guard TAG   prints the three lock words (window + 0x1055C,
//                          0x10560 and 0x10564, 32-bit sums as the driver forms
//                          them) of the window an all-ones answer would give
//                          (0xFFF00000), and of the window read if that is
//                          another non-zero one:
//                            FWT probe TAG word ADDR value=V gcd=... mem=M
//                          (M: the UEFI memory type of the page, or "none").
//                          With "guard TAG claim" a page of free RAM holding
//                          the words is allocated first ("FWT probe TAG claim
//                          page=P status=S") and the words are filled with
//                          0xA5A5A5A5, so that any write shows; the page stays
//                          allocated for the rest of the boot.
//
// Nothing here writes to a device register; reading the PM1 port is the
// same read the driver makes.
#include "fwlib.h"

namespace {

// DXE services, the two members used here (own copy of the layout).
const EFI_GUID kDxeServicesTableGuid = {
    0x05AD34BA, 0x6F02, 0x4214, {0x95, 0x2E, 0x4D, 0xA0, 0x39, 0x8E, 0x2B, 0xB9}};

struct GcdMemorySpaceDescriptor {
  UINT64 BaseAddress;
  UINT64 Length;
  UINT64 Capabilities;
  UINT64 Attributes;
  UINT32 GcdMemoryType;
  EFI_HANDLE ImageHandle;
  EFI_HANDLE DeviceHandle;
};
static_assert(sizeof(GcdMemorySpaceDescriptor) == 56, "GCD memory space descriptor");

struct DxeServices {
  EFI_TABLE_HEADER Hdr;
  void* AddMemorySpace;
  void* AllocateMemorySpace;
  void* FreeMemorySpace;
  void* RemoveMemorySpace;
  EFI_STATUS(EFIAPI* GetMemorySpaceDescriptor)(UINT64 address, GcdMemorySpaceDescriptor* descriptor);
};
static_assert(offsetof(DxeServices, GetMemorySpaceDescriptor) == 56, "DXE services layout");

const char* const kGcdTypes[] = {"nonexistent", "reserved", "system", "mmio", "persistent", "more-reliable"};

DxeServices* FindDxeServices() {
  for (UINTN i = 0; i < fw::gST->NumberOfTableEntries; i++) {
    if (fw::GuidEq(fw::gST->ConfigurationTable[i].VendorGuid, kDxeServicesTableGuid)) {
      return static_cast<DxeServices*>(fw::gST->ConfigurationTable[i].VendorTable);
    }
  }
  return nullptr;
}

void PutGcd(fw::Line& line, UINT64 address) {
  DxeServices* dxe = FindDxeServices();
  GcdMemorySpaceDescriptor d = {};
  if (dxe == nullptr || EFI_ERROR(dxe->GetMemorySpaceDescriptor(address, &d))) {
    line.Str(" gcd=unknown");
    return;
  }
  line.Str(" gcd=").Str(d.GcdMemoryType < 6 ? kGcdTypes[d.GcdMemoryType] : "other");
  line.Str(" gcd-range=").Hex(d.BaseAddress).Char('+').Hex(d.Length);
  line.Str(d.ImageHandle != nullptr ? " allocated" : " free");
}

UINT32 In32(UINT16 port) {
  UINT32 value;
  __asm__ __volatile__("inl %1, %0" : "=a"(value) : "Nd"(port));
  return value;
}

void Out32(UINT16 port, UINT32 value) { __asm__ __volatile__("outl %0, %1" : : "a"(value), "Nd"(port)); }

// Configuration space of a function on bus 0 through 0xCF8/0xCFC.
UINT32 Config(UINT8 device, UINT8 function, UINT8 offset) {
  Out32(0xCF8, 0x80000000u | (static_cast<UINT32>(device) << 11) | (static_cast<UINT32>(function) << 8) |
                   (offset & 0xFCu));
  return In32(0xCFC);
}
UINT32 HostBridgeConfig(UINT8 offset) { return Config(0, 0, offset); }

template <typename T>
T Read(UINT64 address) {
  return *reinterpret_cast<volatile const T*>(static_cast<UINTN>(address));
}

struct Register {
  const char* name;
  UINT64 address;
  int width;  // bytes
};

// The registers, in the widths the flash libraries read them.
const Register kRegisters[] = {
    {"spi-control", 0xFEC10000, 4},
    {"spi-fifo", 0xFEC1000C, 1},
    {"spi-fifo-pointer", 0xFEC1000D, 1},
    {"spi-ext-data", 0xFEC1001F, 1},
    {"spi-fifo-position", 0xFEC1004E, 1},
    {"fch-298", 0xFED80298, 4},
    {"fch-2a8", 0xFED802A8, 4},
    {"fch-pm1-port", 0xFED80362, 2},
    {"cfg-id", 0xF8000000, 4},
    {"cfg-b8", 0xF80000B8, 4},
    {"cfg-bc", 0xF80000BC, 4},
};

UINT64 ReadRegister(const Register& r) {
  switch (r.width) {
    case 1:
      return Read<UINT8>(r.address);
    case 2:
      return Read<UINT16>(r.address);
    default:
      return Read<UINT32>(r.address);
  }
}

UINT32 LockWindow() { return Read<UINT32>(0xF80000BC) & 0xFFF00000u; }

EFI_STATUS ReadAll(const char* tag) {
  for (const Register& r : kRegisters) {
    fw::Line line("probe");
    line.Char(' ').Str(tag).Char(' ').Str(r.name).Str(" addr=").Hex(r.address).Str(" value=").Hex(
        ReadRegister(r), 2 * r.width);
    PutGcd(line, r.address);
    line.Emit();
  }
  fw::Line("probe")
      .Char(' ')
      .Str(tag)
      .Str(" hostbridge id=")
      .Hex(HostBridgeConfig(0x00), 8)
      .Str(" pciexbar=")
      .Hex((static_cast<UINT64>(HostBridgeConfig(0x64)) << 32) | HostBridgeConfig(0x60), 16)
      .Emit();
  fw::Line("probe").Char(' ').Str(tag).Str(" window=").Hex(LockWindow(), 8).Emit();
  fw::Line bars("probe");
  bars.Char(' ').Str(tag).Str(" bars");
  for (UINT8 dev = 0; dev < 32; dev++) {
    for (UINT8 fn = 0; fn < 8; fn++) {
      const UINT32 id = Config(dev, fn, 0);
      if (id == 0xFFFFFFFF) continue;
      bars.Char(' ').Hex(dev, 2).Char('.').Dec(fn).Char('=').Hex(id, 8).Str(":");
      for (UINT8 bar = 0; bar < 6; bar++) bars.Char(',').Hex(Config(dev, fn, 0x10 + 4 * bar), 8);
    }
  }
  bars.Emit();
  {
    const UINT16 port = Read<UINT16>(0xFED80362);
    UINT32 v;
    __asm__ __volatile__("inl %1, %0" : "=a"(v) : "Nd"(port));
    fw::Line("probe")
        .Char(' ')
        .Str(tag)
        .Str(" pm1 port=")
        .Hex(port, 4)
        .Str(" value=")
        .Hex(v, 8)
        .Str(" imc-gate=")
        .Hex(Read<UINT8>(0xFED80E80), 2)
        .Emit();
  }
  return EFI_SUCCESS;
}

const char* MemoryTypeAt(UINT64 address, bool* free) {
  static const char* const kTypes[] = {"reserved",  "loader-code",  "loader-data", "bs-code",
                                       "bs-data",   "rt-code",      "rt-data",     "conventional",
                                       "unusable",  "acpi-reclaim", "acpi-nvs",    "mmio",
                                       "mmio-port", "pal-code",     "persistent",  "unaccepted"};
  *free = false;
  UINTN size = 0, key = 0, descriptorSize = 0;
  UINT32 version = 0;
  fw::gBS->GetMemoryMap(&size, nullptr, &key, &descriptorSize, &version);
  size += 8 * descriptorSize;
  UINT8* map = static_cast<UINT8*>(fw::Allocate(size));
  if (map == nullptr) return "unknown";
  const char* result = "none";
  if (!EFI_ERROR(fw::gBS->GetMemoryMap(&size, reinterpret_cast<EFI_MEMORY_DESCRIPTOR*>(map), &key,
                                       &descriptorSize, &version))) {
    for (UINTN at = 0; at + descriptorSize <= size; at += descriptorSize) {
      const EFI_MEMORY_DESCRIPTOR* d = reinterpret_cast<const EFI_MEMORY_DESCRIPTOR*>(map + at);
      if (address >= d->PhysicalStart && address - d->PhysicalStart < d->NumberOfPages * 4096) {
        result = d->Type < 16 ? kTypes[d->Type] : "other";
        *free = d->Type == EfiConventionalMemory;
        break;
      }
    }
  }
  fw::Free(map);
  return result;
}

constexpr UINT32 kLockWordOffsets[] = {0x1055C, 0x10560, 0x10564};
constexpr UINT32 kGuardFill = 0xA5A5A5A5;
// The window an all-ones answer of the window register gives; with the
// 32-bit sums its lock words fall at 0x1055C..0x10567, in low RAM.
constexpr UINT32 kAllOnesWindow = 0xFFF00000;

void GuardWindow(const char* tag, UINT32 window, bool claim) {
  // The three words share one page (the window is 1 MiB aligned).
  const UINT32 first = window + kLockWordOffsets[0];
  bool owned = false;
  if (claim) {
    bool free = false;
    MemoryTypeAt(first, &free);
    EFI_PHYSICAL_ADDRESS page = first & ~0xFFFu;
    EFI_STATUS status = EFI_NOT_STARTED;
    if (free) {
      status = fw::gBS->AllocatePages(AllocateAddress, EfiBootServicesData, 1, &page);
      owned = !EFI_ERROR(status);
    }
    fw::Line("probe").Char(' ').Str(tag).Str(" claim page=").Hex(page, 8).Str(" status=").Hex(status).Emit();
  }
  for (UINT32 offset : kLockWordOffsets) {
    const UINT32 address = window + offset;  // 32-bit sum, as the driver forms it
    if (owned) {
      *reinterpret_cast<volatile UINT32*>(static_cast<UINTN>(address)) = kGuardFill;
    }
    bool free = false;
    const char* type = MemoryTypeAt(address, &free);
    fw::Line line("probe");
    line.Char(' ').Str(tag).Str(" word ").Hex(address, 8).Str(" value=").Hex(Read<UINT32>(address), 8);
    PutGcd(line, address);
    line.Str(" mem=").Str(type).Emit();
  }
}

EFI_STATUS Guard(const char* tag, bool claim) {
  GuardWindow(tag, kAllOnesWindow, claim);
  const UINT32 window = LockWindow();
  if (window != 0 && window != kAllOnesWindow) GuardWindow(tag, window, claim);
  return EFI_SUCCESS;
}

char gArgs[fw::kMaxArgs][fw::kMaxArgChars];

}  // namespace

extern "C" EFI_STATUS EFIAPI EfiMain(EFI_HANDLE image, EFI_SYSTEM_TABLE* systemTable) {
  fw::Init(image, systemTable);
  const int argc = fw::GetArgs(gArgs);
  if (argc >= 3 && fw::StrEq(gArgs[1], "read")) return ReadAll(gArgs[2]);
  if (argc >= 3 && fw::StrEq(gArgs[1], "guard"))
    return Guard(gArgs[2], argc == 4 && fw::StrEq(gArgs[3], "claim"));
  fw::Line("error").Str(" flashprobe: bad command").Emit();
  return EFI_INVALID_PARAMETER;
}
