// The debug view of the flash identification result (sim/devices/flash_devices.h).
//
// Fields of a "FlashDescriptor" event (numbers in hex unless noted):
//   selector, selectorStatus  the value the driver wrote to token 0x20000001
//                             ("" when the write failed) and the write's status
//   descriptor                "loaded", or "none" when CurrentFlashDevice is null
//   kind (decimal), deviceId, aux, sizeCode, sizeFactor1, sizeFactor2, marker,
//   info1, info2, leftZero    the descriptor's fields (byte arrays as hex bytes)
//   kind 3: readIdOpcode, eraseOpcode, paramBytes (the 12 copied bytes), flags,
//           carriedBytes (the 4 copied bytes), deviceSize, eraseBlockSize, aux2
//   kinds 0 to 2: idAddress, commandAddress1, commandAddress2
//   sfdpDone, blockEraseOpcode, blockEraseSizeExp   the SFDP results
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "flash/flash_device.h"
#include "sim/devices/flash_devices.h"
#include "sim/smm/smm_comm.h"

namespace sim {
namespace {

std::string BytesText(const uint8_t* p, size_t n) { return HexBytes(std::vector<uint8_t>(p, p + n)); }

// What the view read when the selector was written; formatted when the trace is read.
struct DescriptorSnapshot {
  std::optional<uint64_t> selector;
  EFI_STATUS selectorStatus = EFI_SUCCESS;
  bool loaded = false;
  FlashDeviceDescriptor descriptor{};
  bool spiParams = false, mappedParams = false;
  SpiFlashParams spi{};
  MappedFlashParams mapped{};
  uint8_t sfdpDone = 0, blockEraseOpcode = 0, blockEraseSizeExp = 0;
};

// Where the two exported values lie in a mapped image: found once per image
// (a DriverImage keeps its mapping across loads).
struct Symbols {
  const DriverImage* image = nullptr;
  const FlashDeviceDescriptor* const* current = nullptr;
  const FlashDeviceState* state = nullptr;
};

// Reads the driver's own data in place; a pointer that leaves it is followed
// only through HostRead, so a stray one cannot fault the simulator.
DescriptorSnapshot Read(const Symbols& at) {
  DescriptorSnapshot s;
  const FlashDeviceDescriptor* d = at.current ? *at.current : nullptr;
  if (d != nullptr) {
    if (at.state != nullptr && d == &at.state->Descriptor) {
      s.descriptor = *d;
      s.loaded = true;
    } else {
      s.loaded = HostRead(reinterpret_cast<uint64_t>(d), &s.descriptor, sizeof s.descriptor);
    }
  }
  if (s.loaded) {
    const void* params = s.descriptor.Params;
    if (s.descriptor.Kind == 3 && params != nullptr) {
      if (at.state != nullptr && params == &at.state->Spi) {
        s.spi = at.state->Spi;
        s.spiParams = true;
      } else {
        s.spiParams = HostRead(reinterpret_cast<uint64_t>(params), &s.spi, sizeof s.spi);
      }
    } else if (s.descriptor.Kind <= 2 && params != nullptr) {
      if (at.state != nullptr && params == &at.state->Mapped) {
        s.mapped = at.state->Mapped;
        s.mappedParams = true;
      } else {
        s.mappedParams = HostRead(reinterpret_cast<uint64_t>(params), &s.mapped, sizeof s.mapped);
      }
    }
  }
  if (at.state != nullptr) {
    s.sfdpDone = at.state->SfdpDone;
    s.blockEraseOpcode = at.state->SfdpBlockEraseOpcode;
    s.blockEraseSizeExp = at.state->SfdpBlockEraseSizeExp;
  }
  return s;
}

void Format(const DescriptorSnapshot& s, TraceEvent& e) {
  auto& f = e.fields;
  f.push_back({"selector", s.selector ? HexPadded(*s.selector, 1) : ""});
  f.push_back({"selectorStatus", StatusName(s.selectorStatus)});
  f.push_back({"descriptor", s.loaded ? "loaded" : "none"});
  const std::string selector = s.selector ? "selector " + HexPadded(*s.selector, 1) : "selector not written";
  if (!s.loaded) {
    e.text = "flash descriptor: none loaded (" + selector + ")";
    return;
  }
  const FlashDeviceDescriptor& d = s.descriptor;
  f.push_back({"kind", std::to_string(d.Kind)});
  f.push_back({"deviceId", HexPadded(d.DeviceId, 8)});
  f.push_back({"aux", HexPadded(d.Aux, 1)});
  f.push_back({"sizeCode", HexPadded(d.SizeCode, 2)});
  f.push_back({"sizeFactor1", HexPadded(d.SizeFactor1, 1)});
  f.push_back({"sizeFactor2", HexPadded(d.SizeFactor2, 1)});
  f.push_back({"marker", HexPadded(d.Marker, 4)});
  f.push_back({"info1", BytesText(d.Info1, sizeof d.Info1)});
  f.push_back({"info2", BytesText(d.Info2, sizeof d.Info2)});
  f.push_back({"leftZero", BytesText(d.LeftZero, sizeof d.LeftZero)});
  e.text = "flash descriptor: kind " + std::to_string(d.Kind) + ", DeviceId " + HexPadded(d.DeviceId, 8) +
           ", SizeCode " + HexPadded(d.SizeCode, 2) + " (factors " + HexPadded(d.SizeFactor1, 1) + " x " +
           HexPadded(d.SizeFactor2, 1) + ")";
  if (s.spiParams) {
    const SpiFlashParams& p = s.spi;
    f.push_back({"readIdOpcode", HexPadded(p.Copied[kSpiReadIdOpcode], 2)});
    f.push_back({"eraseOpcode", HexPadded(p.Copied[kSpiEraseOpcode], 2)});
    f.push_back({"paramBytes", BytesText(p.Copied, sizeof p.Copied)});
    f.push_back({"flags", HexPadded(p.Flags, 8)});
    f.push_back({"carriedBytes", BytesText(p.Copied2, sizeof p.Copied2)});
    f.push_back({"deviceSize", HexPadded(p.DeviceSize, 1)});
    f.push_back({"eraseBlockSize", HexPadded(p.EraseBlockSize, 1)});
    f.push_back({"aux2", HexPadded(p.Aux2, 1)});
    e.text += ", DeviceSize " + HexPadded(p.DeviceSize, 1) + ", EraseBlockSize " +
              HexPadded(p.EraseBlockSize, 1) + ", read-ID " + HexPadded(p.Copied[kSpiReadIdOpcode], 2) +
              ", erase " + HexPadded(p.Copied[kSpiEraseOpcode], 2) + ", Flags " + HexPadded(p.Flags, 8);
  } else if (s.mappedParams) {
    f.push_back({"idAddress", HexPadded(s.mapped.IdAddress, 8)});
    f.push_back({"commandAddress1", HexPadded(s.mapped.CommandAddress1, 8)});
    f.push_back({"commandAddress2", HexPadded(s.mapped.CommandAddress2, 8)});
    e.text += ", ID at " + HexPadded(s.mapped.IdAddress, 8);
  }
  f.push_back({"sfdpDone", std::to_string(s.sfdpDone)});
  f.push_back({"blockEraseOpcode", HexPadded(s.blockEraseOpcode, 2)});
  f.push_back({"blockEraseSizeExp", std::to_string(s.blockEraseSizeExp)});
  if (s.sfdpDone) {
    e.text += "; SFDP block erase " + HexPadded(s.blockEraseOpcode, 2) + " (2^" +
              std::to_string(s.blockEraseSizeExp) + " bytes)";
  }
  e.text += "; " + selector;
}

}  // namespace

void WatchFlashIdentification(Platform& platform, PcdDatabase& pcd) {
  pcd.setObservers.push_back(
      [&platform, &pcd, at = Symbols{}](const EFI_GUID& space, uint64_t token, EFI_STATUS status) mutable {
        if (token != kFlashSelectorToken || space != kFlashDeviceTokenSpace) return;
        const DriverImage* image = platform.LoadedImage();
        if (image == nullptr) return;
        if (at.image != image) {
          at.image = image;
          at.current = static_cast<const FlashDeviceDescriptor* const*>(image->Symbol("CurrentFlashDevice"));
          at.state = static_cast<const FlashDeviceState*>(image->Symbol("FlashDevice"));
        }
        DescriptorSnapshot s = Read(at);
        s.selectorStatus = status;
        if (status == EFI_SUCCESS) {
          if (const PcdDatabase::Token* t = pcd.Find(space, token)) s.selector = t->value;
        }
        platform.Trace("FlashDescriptor", [s](TraceEvent& e) { Format(s, e); });
      });
}

}  // namespace sim
