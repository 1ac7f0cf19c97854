#include "tools/zkboot/devpath.h"

#include <cstdio>

#include "sim/platform.h"

namespace zkboot {
namespace {

uint64_t Little(const uint8_t* p, size_t bytes) {
  uint64_t v = 0;
  for (size_t i = bytes; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

std::string GuidAt(const uint8_t* p) {
  EFI_GUID g{};
  g.Data1 = static_cast<UINT32>(Little(p, 4));
  g.Data2 = static_cast<UINT16>(Little(p + 4, 2));
  g.Data3 = static_cast<UINT16>(Little(p + 6, 2));
  for (int i = 0; i < 8; i++) g.Data4[i] = p[8 + i];
  std::string text = sim::GuidToString(g);
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Ipv4At(const uint8_t* p) {
  char text[20];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
  return text;
}

std::string Ucs2At(const uint8_t* p, size_t bytes) {
  std::u16string s;
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    const char16_t c = static_cast<char16_t>(p[i] | p[i + 1] << 8);
    if (c == 0) break;
    s.push_back(c);
  }
  return sim::Utf16ToUtf8(s);
}

std::string HexBytesPlain(const uint8_t* p, size_t n) {
  std::string text;
  char byte[3];
  for (size_t i = 0; i < n; i++) {
    std::snprintf(byte, sizeof(byte), "%02X", p[i]);
    text += byte;
  }
  return text;
}

// Text of one node; d points at the bytes after the 4-byte header.
std::string NodeText(uint8_t type, uint8_t subType, const uint8_t* d, size_t n) {
  const auto generic = [&] {
    return "Path(" + std::to_string(type) + "," + std::to_string(subType) +
           (n != 0 ? "," + HexBytesPlain(d, n) : std::string()) + ")";
  };
  switch (type << 8 | subType) {
    case 0x0101:  // PCI: function, device
      if (n >= 2) return "Pci(" + Hex(d[1]) + "," + Hex(d[0]) + ")";
      break;
    case 0x0105:
      if (n >= 4) return "Ctrl(" + Hex(Little(d, 4)) + ")";
      break;
    case 0x0104:
      if (n >= 16) return "VenHw(" + GuidAt(d) + ")";
      break;
    case 0x0201:  // ACPI: HID, UID
      if (n >= 8) {
        const uint32_t hid = static_cast<uint32_t>(Little(d, 4));
        const uint64_t uid = Little(d + 4, 4);
        if (hid == 0x0A0341D0) return "PciRoot(" + Hex(uid) + ")";
        if (hid == 0x0A0841D0) return "PcieRoot(" + Hex(uid) + ")";
        char text[48];
        if ((hid & 0xFFFF) == 0x41D0) {
          std::snprintf(text, sizeof(text), "Acpi(PNP%04X,%s)", hid >> 16, Hex(uid).c_str());
        } else {
          std::snprintf(text, sizeof(text), "Acpi(0x%08X,%s)", hid, Hex(uid).c_str());
        }
        return text;
      }
      break;
    case 0x0302:
      if (n >= 4) return "Scsi(" + Hex(Little(d, 2)) + "," + Hex(Little(d + 2, 2)) + ")";
      break;
    case 0x0305:  // USB: parent port, interface
      if (n >= 2) return "USB(" + Hex(d[0]) + "," + Hex(d[1]) + ")";
      break;
    case 0x030A:
      if (n >= 16) return "VenMsg(" + GuidAt(d) + ")";
      break;
    case 0x030B:  // MAC address (32 bytes), interface type
      if (n >= 33) {
        const size_t length = (d[32] == 0 || d[32] == 1) ? 6 : 32;
        return "MAC(" + HexBytesPlain(d, length) + "," + Hex(d[32]) + ")";
      }
      break;
    case 0x030C:  // local, remote, ports, protocol, static
      if (n >= 15) {
        const uint64_t protocol = Little(d + 12, 2);
        const std::string proto = protocol == 6 ? "TCP" : protocol == 17 ? "UDP" : Hex(protocol);
        return "IPv4(" + Ipv4At(d + 4) + "," + proto + "," + (d[14] ? "Static" : "DHCP") + "," + Ipv4At(d) +
               ")";
      }
      break;
    case 0x030D:
      return "IPv6()";
    case 0x030F:  // vendor, product, class, subclass, protocol
      if (n >= 7) {
        return "UsbClass(" + Hex(Little(d, 2)) + "," + Hex(Little(d + 2, 2)) + "," + Hex(d[4]) + "," +
               Hex(d[5]) + "," + Hex(d[6]) + ")";
      }
      break;
    case 0x0312:  // SATA: HBA port, port multiplier port, LUN
      if (n >= 6)
        return "Sata(" + Hex(Little(d, 2)) + "," + Hex(Little(d + 2, 2)) + "," + Hex(Little(d + 4, 2)) + ")";
      break;
    case 0x0317:  // NVMe: namespace, EUI-64
      if (n >= 12) {
        std::string eui;
        char byte[4];
        for (int i = 7; i >= 0; --i) {
          std::snprintf(byte, sizeof(byte), i ? "%02X-" : "%02X", d[4 + i]);
          eui += byte;
        }
        return "NVMe(" + Hex(Little(d, 4)) + "," + eui + ")";
      }
      break;
    case 0x0318:
      return "Uri(" + std::string(reinterpret_cast<const char*>(d), n) + ")";
    case 0x0401:  // hard drive: partition, start, size, signature, format, signature type
      if (n >= 38) {
        const uint8_t format = d[36], sigType = d[37];
        std::string signature;
        if (sigType == 2) {
          signature = GuidAt(d + 20);
        } else if (sigType == 1) {
          char text[16];
          std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(Little(d + 20, 4)));
          signature = text;
        } else {
          signature = "0";
        }
        return "HD(" + std::to_string(Little(d, 4)) + "," +
               (format == 2   ? "GPT"
                : format == 1 ? "MBR"
                              : Hex(format)) +
               "," + signature + "," + Hex(Little(d + 4, 8)) + "," + Hex(Little(d + 12, 8)) + ")";
      }
      break;
    case 0x0402:
      if (n >= 20)
        return "CDROM(" + Hex(Little(d, 4)) + "," + Hex(Little(d + 4, 8)) + "," + Hex(Little(d + 12, 8)) +
               ")";
      break;
    case 0x0403:
      if (n >= 16) return "VenMedia(" + GuidAt(d) + ")";
      break;
    case 0x0404:
      return Ucs2At(d, n);
    case 0x0406:
      if (n >= 16) return "FvFile(" + GuidAt(d) + ")";
      break;
    case 0x0407:
      if (n >= 16) return "Fv(" + GuidAt(d) + ")";
      break;
    case 0x0501:
      if (n >= 4)
        return "BBS(" + Hex(Little(d, 2)) + "," +
               std::string(reinterpret_cast<const char*>(d + 4), n > 4 ? n - 5 : 0) + ")";
      break;
    default:
      break;
  }
  return generic();
}

}  // namespace

std::string DevicePathText(const uint8_t* path, size_t size) {
  std::string text;
  bool startOfInstance = true;
  size_t at = 0;
  while (at < size) {
    if (size - at < 4) return text + "<malformed>";
    const uint8_t type = path[at], subType = path[at + 1];
    const size_t length = static_cast<size_t>(Little(path + at + 2, 2));
    if (length < 4 || length > size - at) return text + (startOfInstance ? "" : "/") + "<malformed>";
    if (type == 0x7F) {
      if (subType == 0xFF) return text;
      text += ",";
      startOfInstance = true;
    } else {
      if (!startOfInstance) text += "/";
      text += NodeText(type, subType, path + at + 4, length - 4);
      startOfInstance = false;
    }
    at += length;
  }
  return text + (text.empty() ? "" : "/") + "<no end node>";
}

std::optional<LoadOptionInfo> ParseLoadOption(const std::vector<uint8_t>& data) {
  if (data.size() < 8) return std::nullopt;
  LoadOptionInfo info;
  info.attributes = static_cast<uint32_t>(Little(data.data(), 4));
  const size_t pathLength = static_cast<size_t>(Little(data.data() + 4, 2));
  size_t at = 6;
  std::u16string description;
  for (;;) {
    if (at + 2 > data.size()) return std::nullopt;
    const char16_t c = static_cast<char16_t>(data[at] | data[at + 1] << 8);
    at += 2;
    if (c == 0) break;
    description.push_back(c);
  }
  if (pathLength > data.size() - at) return std::nullopt;
  info.description = sim::Utf16ToUtf8(description);
  info.path = DevicePathText(data.data() + at, pathLength);
  return info;
}

}  // namespace zkboot
