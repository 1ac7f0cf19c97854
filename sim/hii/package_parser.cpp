// The parser of HII package lists: the list header, its packages and the
// string packages' string blocks.

#include <cstring>

#include "sim/hii/hii.h"
#include "sim/platform_impl.h"

namespace sim {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

constexpr size_t kListHeaderBytes = 20;
constexpr size_t kStringHeaderFixed = 46;  // up to the language tag
constexpr uint32_t kMaxStringId = 0xFFFF;

struct Refusal {
  std::string reason;
};

// A NUL-terminated UCS-2 string at `at`, within `size` bytes of `p`.
// Returns the offset after its NUL, or 0 when it has none before the end.
size_t ReadUcs2(const uint8_t* p, size_t size, size_t at, std::u16string* out) {
  out->clear();
  while (at + 2 <= size) {
    const char16_t c = static_cast<char16_t>(Le16(p + at));
    at += 2;
    if (c == 0) return at;
    out->push_back(c);
  }
  return 0;
}

// One string package (`p`, `size` bytes, header included). Refusals, all
// EFI_INVALID_PARAMETER:
//  - shorter than the fixed header and one tag byte (47 bytes);
//  - HdrSize below 47 or past the package;
//  - no NUL ending the language tag inside HdrSize, or an empty tag;
//  - StringInfoOffset below HdrSize or past the package;
//  - a block (its fixed fields or its string's NUL) running past the package;
//  - blocks running out before the end block (0x00), or bytes after it;
//  - an SCSU block (0x10..0x13, not supported here) or an unknown block type;
//  - a duplicate block (0x20) naming an id not defined before it;
//  - ids running past 0xFFFF.
std::optional<Refusal> ParseStringPackage(const uint8_t* p, size_t size, HiiStringPackage* out) {
  if (size < kStringHeaderFixed + 1)
    return Refusal{"string package of " + std::to_string(size) + " bytes is shorter than its header"};
  const uint32_t hdrSize = Le32(p + 4);
  const uint32_t infoOffset = Le32(p + 8);
  if (hdrSize < kStringHeaderFixed + 1 || hdrSize > size)
    return Refusal{"HdrSize " + std::to_string(hdrSize) + " outside the package of " + std::to_string(size) +
                   " bytes"};
  const uint8_t* tag = p + kStringHeaderFixed;
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(tag, 0, hdrSize - kStringHeaderFixed));
  if (!nul) return Refusal{"language tag without a NUL inside HdrSize"};
  if (nul == tag) return Refusal{"empty language tag"};
  out->language.assign(reinterpret_cast<const char*>(tag), static_cast<size_t>(nul - tag));
  out->languageName = Le16(p + 44);
  if (infoOffset < hdrSize || infoOffset > size)
    return Refusal{"StringInfoOffset " + std::to_string(infoOffset) + " outside " + std::to_string(hdrSize) +
                   ".." + std::to_string(size)};
  // Refusal texts are made only for a refusal: a list is parsed at every boot.
  const auto where = [out] { return "string package \"" + out->language + "\": "; };
  uint32_t id = 1;
  size_t at = infoOffset;
  auto need = [&](size_t bytes) { return at + bytes <= size; };
  auto readStrings = [&](size_t from, unsigned count) -> std::optional<Refusal> {
    for (unsigned i = 0; i < count; ++i) {
      if (id > kMaxStringId) return Refusal{where() + "string ids run past 0xFFFF"};
      std::u16string text;
      const size_t next = ReadUcs2(p, size, from, &text);
      if (next == 0)
        return Refusal{where() + "string at offset " + std::to_string(from) + " runs past the package"};
      out->strings[static_cast<EFI_STRING_ID>(id++)] = std::move(text);
      from = next;
    }
    at = from;
    return std::nullopt;
  };
  for (;;) {
    if (!need(1)) return Refusal{where() + "string blocks run past the package without an end block"};
    const uint8_t type = p[at];
    const auto block = [&where, type, at] {
      return where() + "block " + Hex(type) + " at offset " + std::to_string(at);
    };
    std::optional<Refusal> bad;
    switch (type) {
      case EFI_HII_SIBT_END:
        ++at;
        if (at != size) return Refusal{where() + std::to_string(size - at) + " bytes after the end block"};
        out->nextId = id;
        return std::nullopt;
      case EFI_HII_SIBT_STRING_UCS2:
        bad = readStrings(at + 1, 1);
        break;
      case EFI_HII_SIBT_STRING_UCS2_FONT:
        if (!need(2)) return Refusal{block() + " runs past the package"};
        bad = readStrings(at + 2, 1);
        break;
      case EFI_HII_SIBT_STRINGS_UCS2:
        if (!need(3)) return Refusal{block() + " runs past the package"};
        bad = readStrings(at + 3, Le16(p + at + 1));
        break;
      case EFI_HII_SIBT_STRINGS_UCS2_FONT:
        if (!need(4)) return Refusal{block() + " runs past the package"};
        bad = readStrings(at + 4, Le16(p + at + 2));
        break;
      case EFI_HII_SIBT_DUPLICATE: {
        if (!need(3)) return Refusal{block() + " runs past the package"};
        const auto it = out->strings.find(Le16(p + at + 1));
        if (it == out->strings.end()) return Refusal{block() + " duplicates an id not defined before it"};
        if (id > kMaxStringId) return Refusal{where() + "string ids run past 0xFFFF"};
        out->strings[static_cast<EFI_STRING_ID>(id++)] = it->second;
        at += 3;
        break;
      }
      case EFI_HII_SIBT_SKIP2:
        if (!need(3)) return Refusal{block() + " runs past the package"};
        id += Le16(p + at + 1);
        at += 3;
        break;
      case EFI_HII_SIBT_SKIP1:
        if (!need(2)) return Refusal{block() + " runs past the package"};
        id += p[at + 1];
        at += 2;
        break;
      case EFI_HII_SIBT_EXT1:
      case EFI_HII_SIBT_EXT2:
      case EFI_HII_SIBT_EXT4: {
        // Extended blocks (fonts and the like) are passed over by their length.
        const size_t fixed = type == EFI_HII_SIBT_EXT1 ? 3 : type == EFI_HII_SIBT_EXT2 ? 4 : 6;
        if (!need(fixed)) return Refusal{block() + " runs past the package"};
        const uint64_t length = type == EFI_HII_SIBT_EXT1   ? p[at + 2]
                                : type == EFI_HII_SIBT_EXT2 ? Le16(p + at + 2)
                                                            : Le32(p + at + 2);
        if (length < fixed) return Refusal{block() + " is shorter than its own header"};
        if (length > size - at) return Refusal{block() + " runs past the package"};
        at += length;
        break;
      }
      default:
        return Refusal{block() + (type >= 0x10 && type <= 0x13 ? ": SCSU strings are not supported"
                                                               : ": unknown block type")};
    }
    if (bad) return bad;
    if (id > kMaxStringId + 1) return Refusal{where() + "string ids run past 0xFFFF"};
  }
}

}  // namespace

// The list's refusals, all EFI_INVALID_PARAMETER besides those of
// ParseStringPackage:
//  - a null list;
//  - fewer readable bytes than the 20-byte header;
//  - PackageLength below 24 (header and end package) or past the readable bytes;
//  - a package header (4 bytes) or a package running past PackageLength;
//  - a package shorter than its 4-byte header;
//  - a package of type 0x00 (no package has that type);
//  - an end package (0xDF) of a length other than 4, or bytes after it;
//  - no end package before PackageLength;
//  - two string packages of the same language.
// Packages of other types are kept as opaque bytes.
HiiParseResult ParseHiiPackageList(const uint8_t* data, size_t available) {
  HiiParseResult result;
  auto refuse = [&](std::string reason) {
    result.status = EFI_INVALID_PARAMETER;
    result.reason = std::move(reason);
    result.list = HiiPackageList{};
    return result;
  };
  if (!data) return refuse("no package list");
  if (available < kListHeaderBytes) return refuse("the package-list header runs past the buffer");
  std::memcpy(&result.list.guid, data, sizeof(EFI_GUID));
  const uint32_t length = Le32(data + 16);
  if (length < kListHeaderBytes + 4)
    return refuse("PackageLength " + std::to_string(length) + " cannot hold the header and an end package");
  if (length > available)
    return refuse("PackageLength " + std::to_string(length) + " runs past the " + std::to_string(available) +
                  " bytes of the buffer");
  size_t at = kListHeaderBytes;
  bool ended = false;
  while (at < length) {
    if (length - at < 4)
      return refuse("package header at offset " + std::to_string(at) + " runs past PackageLength");
    const uint32_t header = Le32(data + at);
    const uint32_t size = HiiPackageLength(header);
    const uint8_t type = HiiPackageType(header);
    const auto where = [type, at] { return "package " + Hex(type) + " at offset " + std::to_string(at); };
    if (size < 4)
      return refuse(where() + " is shorter than its header (length " + std::to_string(size) + ")");
    if (size > length - at)
      return refuse(where() + " (length " + std::to_string(size) + ") runs past PackageLength");
    result.list.packages.push_back({type, size});
    if (type == EFI_HII_PACKAGE_END) {
      if (size != 4) return refuse(where() + ": an end package of length " + std::to_string(size));
      if (at + 4 != length) return refuse(std::to_string(length - at - 4) + " bytes after the end package");
      ended = true;
    } else if (type == EFI_HII_PACKAGE_STRINGS) {
      HiiStringPackage package;
      if (auto bad = ParseStringPackage(data + at, size, &package)) return refuse(bad->reason);
      if (result.list.Package(package.language))
        return refuse("two string packages for \"" + package.language + "\"");
      result.list.stringPackages.push_back(std::move(package));
    } else if (type == EFI_HII_PACKAGE_TYPE_ALL) {
      return refuse(where() + ": type 0x00 is no package type");
    } else {
      ++result.list.otherPackages;
    }
    at += size;
  }
  if (!ended) return refuse("no end package");
  result.list.bytes.assign(data, data + length);
  return result;
}

}  // namespace sim
