// The platform's HII database, string protocol and HII stand-ins.
#include "sim/hii/hii.h"

#include <algorithm>
#include <cstring>

#include "sim/platform_impl.h"

namespace sim {

namespace {

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

constexpr size_t kListHeaderBytes = 20;
constexpr uint32_t kMaxStringId = 0xFFFF;

}  // namespace

// ---------------------------------------------------------------- the database

const HiiStringPackage* HiiPackageList::Package(const std::string& language) const {
  for (const HiiStringPackage& p : stringPackages) {
    if (p.language == language) return &p;
  }
  return nullptr;
}

HiiStringPackage* HiiPackageList::Package(const std::string& language) {
  return const_cast<HiiStringPackage*>(static_cast<const HiiPackageList*>(this)->Package(language));
}

uint32_t HiiPackageList::NextId() const {
  uint32_t next = 1;
  for (const HiiStringPackage& p : stringPackages) next = std::max(next, p.nextId);
  return next;
}

void HiiServices::SetAllPresent(bool present) {
  stringProtocol = databaseProtocol = configRouting = font = image = present;
}

void HiiServices::Renew() {
  SetAllPresent(false);
  skippedId = SkippedIdRule::Define;
  watched = LateInstall::Absent;
  sharedRecord = false;
  for (auto& list : lists_) spare_.push_back(std::move(list));
  lists_.clear();
}

const HiiPackageList* HiiServices::Find(EFI_HII_HANDLE handle) const {
  for (const auto& l : lists_) {
    if (l.get() == handle) return l.get();
  }
  return nullptr;
}

HiiPackageList* HiiServices::FindMutable(EFI_HII_HANDLE handle) {
  return const_cast<HiiPackageList*>(Find(handle));
}

const HiiPackageList* HiiServices::Find(const EFI_GUID& guid) const {
  for (const auto& l : lists_) {
    if (l->guid == guid) return l.get();
  }
  return nullptr;
}

EFI_HII_HANDLE HiiServices::HandleOf(const EFI_GUID& guid) const {
  return const_cast<HiiPackageList*>(Find(guid));
}

std::optional<std::u16string> HiiServices::String(EFI_HII_HANDLE handle, const std::string& language,
                                                  EFI_STRING_ID id) const {
  const HiiPackageList* list = Find(handle);
  const HiiStringPackage* package = list ? list->Package(language) : nullptr;
  if (!package) return std::nullopt;
  const auto it = package->strings.find(id);
  if (it == package->strings.end()) return std::nullopt;
  return it->second;
}

std::optional<std::u16string> HiiServices::String(const EFI_GUID& list, const std::string& language,
                                                  EFI_STRING_ID id) const {
  return String(HandleOf(list), language, id);
}

EFI_HII_HANDLE HiiServices::Add(std::unique_ptr<HiiPackageList> list) {
  unsigned serial = 0;
  for (const auto& l : lists_) serial = std::max(serial, l->serial);
  list->serial = serial + 1;
  lists_.push_back(std::move(list));
  return lists_.back().get();
}

bool HiiServices::Remove(EFI_HII_HANDLE handle) {
  const auto it =
      std::find_if(lists_.begin(), lists_.end(), [&](const auto& l) { return l.get() == handle; });
  if (it == lists_.end()) return false;
  lists_.erase(it);
  return true;
}

const HiiParseResult& HiiServices::Parse(const uint8_t* data, size_t available) {
  if (data && available >= kListHeaderBytes && lastParse_.status == EFI_SUCCESS) {
    const std::vector<uint8_t>& last = lastParse_.list.bytes;
    const uint32_t length = Le32(data + 16);
    if (length <= available && length == last.size() && std::memcmp(data, last.data(), length) == 0) {
      return lastParse_;
    }
  }
  lastParse_ = ParseHiiPackageList(data, available);
  ++parses_;
  return lastParse_;
}

std::unique_ptr<HiiPackageList> HiiServices::NewList() {
  const HiiPackageList& list = lastParse_.list;
  std::unique_ptr<HiiPackageList> made;
  if (spare_.empty()) {
    made = std::make_unique<HiiPackageList>(list);
  } else {
    made = std::move(spare_.back());
    spare_.pop_back();
    if (made->parse == parses_ && !made->reshaped) {
      for (const auto& [package, id] : made->edited) {
        const auto& from = list.stringPackages[package].strings;
        auto& to = made->stringPackages[package].strings;
        const auto it = from.find(id);
        if (it == from.end()) {
          to.erase(id);
        } else {
          to[id] = it->second;
        }
      }
      made->serial = list.serial;
      made->driverHandle = list.driverHandle;
    } else {
      *made = list;
    }
  }
  made->edited.clear();
  made->reshaped = false;
  made->parse = parses_;
  return made;
}

std::string HiiText(const std::u16string& text) {
  std::string out;
  std::u16string run;
  auto flush = [&] {
    out += Utf16ToUtf8(run);
    run.clear();
  };
  for (const char16_t c : text) {
    if (c == kWideGlyph || c == kNarrowGlyph) {
      flush();
      out += c == kWideGlyph ? "\u27E8W\u27E9" : "\u27E8N\u27E9";
    } else {
      run.push_back(c);
    }
  }
  flush();
  return out;
}

// ---------------------------------------------------------------- protocol members

namespace {

// HII members may be called up to TPL_NOTIFY and only while boot services last.
constexpr EFI_TPL kHiiTplLimit = TPL_NOTIFY;

HiiServices& Hii(const char* member) {
  Platform::Impl& sim = Sim();
  sim.BootServiceCall(member, kHiiTplLimit);
  return sim.owner->hii;
}

std::optional<EFI_STATUS> Injected(Service service) { return Sim().Injected(service); }

bool WrongThis(const void* given, const void* interface, const char* member) {
  if (given == interface) return false;
  Sim().Violation(std::string(member) + " called with a This that is not the protocol's interface");
  return true;
}

std::string ListName(const HiiPackageList* list) {
  return list ? "#" + std::to_string(list->serial) : std::string("(unknown handle)");
}

std::string Ascii(const CHAR8* text) { return text ? std::string(reinterpret_cast<const char*>(text)) : ""; }

std::u16string Ucs2(const CHAR16* text) {
  std::u16string s;
  for (; *text; ++text) s.push_back(static_cast<char16_t>(*text));
  return s;
}

// The bytes the caller's buffer holds from `data` on, when it is a pool
// block of this platform; else as many as the header claims.
size_t ReadableBytes(const void* data) {
  if (const Allocation* a = Sim().memory.Containing(reinterpret_cast<uintptr_t>(data))) {
    return static_cast<size_t>(reinterpret_cast<uintptr_t>(a->address) + a->size -
                               reinterpret_cast<uintptr_t>(data));
  }
  return SIZE_MAX;
}

void TraceString(const char* member, const HiiPackageList* list, EFI_STRING_ID id,
                 const std::string& language, const std::u16string& text, EFI_STATUS status) {
  Sim().owner->Trace("HiiString", [member, serial = list ? list->serial : 0u, known = list != nullptr, id,
                                   language, text, status](TraceEvent& e) {
    const std::string shown = HiiText(text);
    const std::string name = known ? "#" + std::to_string(serial) : std::string("(unknown handle)");
    e.text = std::string(member) + " " + name + " id " + std::to_string(id) + " " + language + " \"" + shown +
             "\" " + StatusName(status);
    e.fields = {{"member", member},     {"list", name},  {"id", std::to_string(id)},
                {"language", language}, {"text", shown}, {"status", StatusName(status)}};
  });
}

// ---- EFI_HII_DATABASE_PROTOCOL

EFI_STATUS EFIAPI NewPackageList(const EFI_HII_DATABASE_PROTOCOL* This,
                                 const EFI_HII_PACKAGE_LIST_HEADER* list, EFI_HANDLE driverHandle,
                                 EFI_HII_HANDLE* handle) {
  HiiServices& hii = Hii("NewPackageList");
  if (auto failed = Injected(Service::NewPackageList)) return *failed;
  if (WrongThis(This, &hii.databaseInterface, "NewPackageList")) return EFI_INVALID_PARAMETER;
  auto refuse = [&](EFI_STATUS status, const std::string& reason, const EFI_GUID* guid) {
    Sim().owner->Trace(
        "HiiPackageList", "NewPackageList refused: " + reason + " " + StatusName(status),
        {{"guid", guid ? GuidToString(*guid) : ""}, {"reason", reason}, {"status", StatusName(status)}});
    return status;
  };
  if (!list || !handle) return refuse(EFI_INVALID_PARAMETER, "a null package list or handle", nullptr);
  *handle = nullptr;
  const HiiParseResult& parsed = hii.Parse(reinterpret_cast<const uint8_t*>(list), ReadableBytes(list));
  if (parsed.status != EFI_SUCCESS) return refuse(parsed.status, parsed.reason, nullptr);
  // A GUID names one package list in the database.
  if (hii.Find(parsed.list.guid))
    return refuse(EFI_INVALID_PARAMETER, "a package list with this GUID is already registered",
                  &parsed.list.guid);
  std::unique_ptr<HiiPackageList> owned = hii.NewList();
  owned->driverHandle = driverHandle;
  const HiiPackageList* added = owned.get();
  *handle = hii.Add(std::move(owned));
  // What the trace tells of the list, kept by value: the text is made only
  // when the trace is read, and the list may have changed by then.
  struct Summary {
    EFI_GUID guid;
    uint64_t serial;
    std::vector<std::pair<std::string, size_t>> strings;  // language, string count
    std::vector<std::pair<uint8_t, uint32_t>> packages;
    unsigned otherPackages;
    size_t length;
  } summary{added->guid, added->serial, {}, added->packages, added->otherPackages, added->bytes.size()};
  for (const HiiStringPackage& p : added->stringPackages)
    summary.strings.emplace_back(p.language, p.strings.size());
  Sim().owner->Trace("HiiPackageList", [summary = std::move(summary)](TraceEvent& e) {
    std::string languages, counts, text;
    for (const auto& [language, count] : summary.strings) {
      languages += (languages.empty() ? "" : ";") + language;
      counts += (counts.empty() ? "" : ";") + std::to_string(count);
      text += (text.empty() ? "" : ", ") + language + " " + std::to_string(count) + " strings";
    }
    // Each package by type and byte length, as the list holds them.
    std::string types, lengths, sizes;
    for (const auto& [type, length] : summary.packages) {
      types += (types.empty() ? "" : ";") + Hex(type);
      lengths += (lengths.empty() ? "" : ";") + std::to_string(length);
      const char* name = type == EFI_HII_PACKAGE_STRINGS ? "strings "
                         : type == EFI_HII_PACKAGE_END   ? "end "
                                                         : "";
      sizes += (sizes.empty() ? "" : ", ") + (*name ? std::string(name) : Hex(type) + " ") +
               std::to_string(length);
    }
    const std::string guid = GuidToString(summary.guid);
    const std::string list = "#" + std::to_string(summary.serial);
    e.text = "NewPackageList " + guid + " -> " + list + ": " + (text.empty() ? "no strings" : text) + "; " +
             std::to_string(summary.length) + " bytes: " + sizes;
    e.fields = {{"guid", guid},
                {"list", list},
                {"languages", languages},
                {"strings", counts},
                {"otherPackages", std::to_string(summary.otherPackages)},
                {"length", std::to_string(summary.length)},
                {"packageTypes", types},
                {"packageLengths", lengths},
                {"status", StatusName(EFI_SUCCESS)}};
  });
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI RemovePackageList(const EFI_HII_DATABASE_PROTOCOL* This, EFI_HII_HANDLE handle) {
  HiiServices& hii = Hii("RemovePackageList");
  if (WrongThis(This, &hii.databaseInterface, "RemovePackageList")) return EFI_INVALID_PARAMETER;
  const std::string name = ListName(hii.Find(handle));
  if (!hii.Remove(handle)) return EFI_NOT_FOUND;
  Sim().owner->Trace("HiiPackageList", "RemovePackageList " + name,
                     {{"list", name}, {"status", "EFI_SUCCESS"}});
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ListPackageLists(const EFI_HII_DATABASE_PROTOCOL* This, UINT8 packageType,
                                   const EFI_GUID* packageGuid, UINTN* bufferLength, EFI_HII_HANDLE* buffer) {
  HiiServices& hii = Hii("ListPackageLists");
  if (WrongThis(This, &hii.databaseInterface, "ListPackageLists")) return EFI_INVALID_PARAMETER;
  if (!bufferLength || (*bufferLength && !buffer)) return EFI_INVALID_PARAMETER;
  // GUID packages (type 0x01) are kept opaque: only "all" and strings are told apart.
  if (packageType == 0x01 && !packageGuid) return EFI_INVALID_PARAMETER;
  std::vector<EFI_HII_HANDLE> found;
  for (const auto& l : hii.Lists()) {
    const bool match = packageType == EFI_HII_PACKAGE_TYPE_ALL ||
                       (packageType == EFI_HII_PACKAGE_STRINGS && !l->stringPackages.empty());
    if (match) found.push_back(l.get());
  }
  if (found.empty()) return EFI_NOT_FOUND;
  const UINTN needed = found.size() * sizeof(EFI_HII_HANDLE);
  if (*bufferLength < needed) {
    *bufferLength = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  *bufferLength = needed;
  std::memcpy(buffer, found.data(), needed);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI ExportPackageLists(const EFI_HII_DATABASE_PROTOCOL* This, EFI_HII_HANDLE handle,
                                     UINTN* bufferSize, EFI_HII_PACKAGE_LIST_HEADER* buffer) {
  HiiServices& hii = Hii("ExportPackageLists");
  if (WrongThis(This, &hii.databaseInterface, "ExportPackageLists")) return EFI_INVALID_PARAMETER;
  if (!bufferSize || (*bufferSize && !buffer)) return EFI_INVALID_PARAMETER;
  std::vector<uint8_t> bytes;
  if (handle) {
    const HiiPackageList* list = hii.Find(handle);
    if (!list) return EFI_NOT_FOUND;
    bytes = list->bytes;
  } else {
    for (const auto& l : hii.Lists()) bytes.insert(bytes.end(), l->bytes.begin(), l->bytes.end());
  }
  if (*bufferSize < bytes.size()) {
    *bufferSize = bytes.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  *bufferSize = bytes.size();
  if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
  return EFI_SUCCESS;
}

// Members this platform does not offer: a call is a fault of the caller here.
EFI_STATUS NotOffered(const char* member) {
  Hii(member);
  Sim().Violation(std::string("EFI_HII_DATABASE_PROTOCOL.") + member +
                  " called; this platform does not offer it");
  return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI UpdatePackageList(const EFI_HII_DATABASE_PROTOCOL*, EFI_HII_HANDLE,
                                    const EFI_HII_PACKAGE_LIST_HEADER*) {
  return NotOffered("UpdatePackageList");
}
EFI_STATUS EFIAPI RegisterPackageNotify(const EFI_HII_DATABASE_PROTOCOL*, UINT8, const EFI_GUID*,
                                        EFI_HII_DATABASE_NOTIFY, UINTN, EFI_HANDLE*) {
  return NotOffered("RegisterPackageNotify");
}
EFI_STATUS EFIAPI UnregisterPackageNotify(const EFI_HII_DATABASE_PROTOCOL*, EFI_HANDLE) {
  return NotOffered("UnregisterPackageNotify");
}
EFI_STATUS EFIAPI FindKeyboardLayouts(const EFI_HII_DATABASE_PROTOCOL*, UINT16*, EFI_GUID*) {
  return NotOffered("FindKeyboardLayouts");
}
EFI_STATUS EFIAPI GetKeyboardLayout(const EFI_HII_DATABASE_PROTOCOL*, const EFI_GUID*, UINT16*, void*) {
  return NotOffered("GetKeyboardLayout");
}
EFI_STATUS EFIAPI SetKeyboardLayout(const EFI_HII_DATABASE_PROTOCOL*, const EFI_GUID*) {
  return NotOffered("SetKeyboardLayout");
}
EFI_STATUS EFIAPI GetPackageListHandle(const EFI_HII_DATABASE_PROTOCOL*, EFI_HII_HANDLE, EFI_HANDLE*) {
  return NotOffered("GetPackageListHandle");
}

// ---- EFI_HII_STRING_PROTOCOL

// NewString puts the text under one new id in every language package of the
// list (the id is reserved for all languages, and each gets the same text).
// A language the list has no package for gets a new string package, as
// firmware creates one; LanguageName is then that package's name and is
// stored as its first string.
EFI_STATUS EFIAPI NewString(const EFI_HII_STRING_PROTOCOL* This, EFI_HII_HANDLE packageList,
                            EFI_STRING_ID* stringId, const CHAR8* language, const CHAR16* languageName,
                            const CHAR16* string, const EFI_FONT_INFO* /*fontInfo*/) {
  HiiServices& hii = Hii("NewString");
  if (auto failed = Injected(Service::NewString)) return *failed;
  if (WrongThis(This, &hii.stringInterface, "NewString")) return EFI_INVALID_PARAMETER;
  if (!stringId || !language || !string) return EFI_INVALID_PARAMETER;
  HiiPackageList* list = hii.FindMutable(packageList);
  const std::string tag = Ascii(language);
  const std::u16string text = Ucs2(string);
  if (!list) {
    TraceString("NewString", nullptr, 0, tag, text, EFI_NOT_FOUND);
    return EFI_NOT_FOUND;
  }
  list->reshaped = true;
  if (!list->Package(tag)) {
    if (tag.empty()) return EFI_INVALID_PARAMETER;
    HiiStringPackage added;
    added.language = tag;
    added.nextId = 1;
    if (languageName) {
      const uint32_t nameId = list->NextId();
      if (nameId > kMaxStringId) return EFI_OUT_OF_RESOURCES;
      added.languageName = static_cast<EFI_STRING_ID>(nameId);
      for (HiiStringPackage& p : list->stringPackages) p.nextId = nameId + 1;
      added.strings[added.languageName] = Ucs2(languageName);
      added.nextId = nameId + 1;
    }
    list->stringPackages.push_back(std::move(added));
  }
  const uint32_t id = list->NextId();
  if (id > kMaxStringId) {
    TraceString("NewString", list, 0, tag, text, EFI_OUT_OF_RESOURCES);
    return EFI_OUT_OF_RESOURCES;
  }
  for (HiiStringPackage& p : list->stringPackages) {
    p.strings[static_cast<EFI_STRING_ID>(id)] = text;
    p.nextId = id + 1;
  }
  *stringId = static_cast<EFI_STRING_ID>(id);
  TraceString("NewString", list, *stringId, tag, text, EFI_SUCCESS);
  return EFI_SUCCESS;
}

// SetString replaces the text of an id in one language. An id beyond the
// language's package is EFI_NOT_FOUND; an id the package skips is defined in
// that language (SkippedIdRule::Define) or refused with EFI_NOT_FOUND
// (SkippedIdRule::Refuse).
EFI_STATUS EFIAPI SetString(const EFI_HII_STRING_PROTOCOL* This, EFI_HII_HANDLE packageList,
                            EFI_STRING_ID stringId, const CHAR8* language, const CHAR16* string,
                            const EFI_FONT_INFO* /*fontInfo*/) {
  HiiServices& hii = Hii("SetString");
  if (auto failed = Injected(Service::SetString)) return *failed;
  if (WrongThis(This, &hii.stringInterface, "SetString")) return EFI_INVALID_PARAMETER;
  if (!language || !string) return EFI_INVALID_PARAMETER;
  HiiPackageList* list = hii.FindMutable(packageList);
  const std::string tag = Ascii(language);
  const std::u16string text = Ucs2(string);
  EFI_STATUS status = EFI_SUCCESS;
  HiiStringPackage* package = list ? list->Package(tag) : nullptr;
  if (!package || stringId == 0 || stringId >= package->nextId) {
    status = EFI_NOT_FOUND;
  } else if (!package->strings.count(stringId) && hii.skippedId == SkippedIdRule::Refuse) {
    status = EFI_NOT_FOUND;
  } else {
    package->strings[stringId] = text;
    list->edited.emplace_back(static_cast<size_t>(package - list->stringPackages.data()), stringId);
  }
  TraceString("SetString", list, stringId, tag, text, status);
  return status;
}

// GetString: an unknown list, or an id no language of the list defines, is
// EFI_NOT_FOUND; a language the list lacks while another language has the
// id is EFI_INVALID_LANGUAGE; an id the language itself skips or does not
// reach is EFI_NOT_FOUND. The size is in bytes with the NUL.
EFI_STATUS EFIAPI GetString(const EFI_HII_STRING_PROTOCOL* This, const CHAR8* language,
                            EFI_HII_HANDLE packageList, EFI_STRING_ID stringId, CHAR16* string,
                            UINTN* stringSize, EFI_FONT_INFO** fontInfo) {
  HiiServices& hii = Hii("GetString");
  if (auto failed = Injected(Service::GetString)) return *failed;
  if (WrongThis(This, &hii.stringInterface, "GetString")) return EFI_INVALID_PARAMETER;
  if (!language || !stringSize || (*stringSize && !string)) return EFI_INVALID_PARAMETER;
  if (fontInfo) *fontInfo = nullptr;
  const HiiPackageList* list = hii.Find(packageList);
  if (!list || stringId == 0) return EFI_NOT_FOUND;
  const HiiStringPackage* package = list->Package(Ascii(language));
  if (!package) {
    for (const HiiStringPackage& p : list->stringPackages) {
      if (p.strings.count(stringId)) return EFI_INVALID_LANGUAGE;
    }
    return EFI_NOT_FOUND;
  }
  const auto it = package->strings.find(stringId);
  if (it == package->strings.end()) return EFI_NOT_FOUND;
  const UINTN needed = (it->second.size() + 1) * sizeof(CHAR16);
  if (*stringSize < needed) {
    *stringSize = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  *stringSize = needed;
  for (size_t i = 0; i < it->second.size(); ++i) string[i] = it->second[i];
  string[it->second.size()] = 0;
  return EFI_SUCCESS;
}

// GetLanguages: the list's languages in package order, ";"-separated, with
// the NUL counted in the size.
EFI_STATUS EFIAPI GetLanguages(const EFI_HII_STRING_PROTOCOL* This, EFI_HII_HANDLE packageList,
                               CHAR8* languages, UINTN* languagesSize) {
  HiiServices& hii = Hii("GetLanguages");
  if (auto failed = Injected(Service::GetLanguages)) return *failed;
  if (WrongThis(This, &hii.stringInterface, "GetLanguages")) return EFI_INVALID_PARAMETER;
  if (!languagesSize || (*languagesSize && !languages)) return EFI_INVALID_PARAMETER;
  const HiiPackageList* list = hii.Find(packageList);
  if (!list || list->stringPackages.empty()) return EFI_NOT_FOUND;
  std::string all;
  for (const HiiStringPackage& p : list->stringPackages) all += (all.empty() ? "" : ";") + p.language;
  const UINTN needed = all.size() + 1;
  if (*languagesSize < needed) {
    *languagesSize = needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  *languagesSize = needed;
  std::memcpy(languages, all.c_str(), needed);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetSecondaryLanguages(const EFI_HII_STRING_PROTOCOL* This, EFI_HII_HANDLE packageList,
                                        const CHAR8* primary, CHAR8* secondary, UINTN* secondarySize) {
  HiiServices& hii = Hii("GetSecondaryLanguages");
  if (WrongThis(This, &hii.stringInterface, "GetSecondaryLanguages")) return EFI_INVALID_PARAMETER;
  if (!primary || !secondarySize || (*secondarySize && !secondary)) return EFI_INVALID_PARAMETER;
  const HiiPackageList* list = hii.Find(packageList);
  if (!list) return EFI_NOT_FOUND;
  // No package here carries secondary languages.
  return list->Package(Ascii(primary)) ? EFI_NOT_FOUND : EFI_INVALID_LANGUAGE;
}

// ---- the located-only protocols

template <int kProtocol, int kMember>
EFI_STATUS EFIAPI StandCalled() {
  static const char* const kProtocols[] = {"EFI_HII_CONFIG_ROUTING_PROTOCOL", "EFI_HII_FONT_PROTOCOL",
                                           "EFI_HII_IMAGE_PROTOCOL"};
  Platform::Impl& sim = Sim();
  sim.Activity();
  sim.Violation(std::string(kProtocols[kProtocol]) + " member " + std::to_string(kMember) +
                " called; the platform offers this protocol to be located only");
  return EFI_UNSUPPORTED;
}

template <int kProtocol>
void FillStand(HiiServices::Stand* stand) {
  stand->member[0] = StandCalled<kProtocol, 0>;
  stand->member[1] = StandCalled<kProtocol, 1>;
  stand->member[2] = StandCalled<kProtocol, 2>;
  stand->member[3] = StandCalled<kProtocol, 3>;
  stand->member[4] = StandCalled<kProtocol, 4>;
  stand->member[5] = StandCalled<kProtocol, 5>;
}

}  // namespace

void HiiServices::OnBootStart(Platform& platform) {
  for (auto& list : lists_) spare_.push_back(std::move(list));
  lists_.clear();
  stringInterface.NewString = NewString;
  stringInterface.GetString = GetString;
  stringInterface.SetString = SetString;
  stringInterface.GetLanguages = GetLanguages;
  stringInterface.GetSecondaryLanguages = GetSecondaryLanguages;
  std::memset(&databaseInterface, 0, sizeof databaseInterface);
  databaseInterface.NewPackageList = NewPackageList;
  databaseInterface.RemovePackageList = RemovePackageList;
  databaseInterface.ListPackageLists = ListPackageLists;
  databaseInterface.ExportPackageLists = ExportPackageLists;
  databaseInterface.UpdatePackageList = UpdatePackageList;
  databaseInterface.RegisterPackageNotify = RegisterPackageNotify;
  databaseInterface.UnregisterPackageNotify = UnregisterPackageNotify;
  databaseInterface.FindKeyboardLayouts = FindKeyboardLayouts;
  databaseInterface.GetKeyboardLayout = GetKeyboardLayout;
  databaseInterface.SetKeyboardLayout = SetKeyboardLayout;
  databaseInterface.GetPackageListHandle = GetPackageListHandle;
  FillStand<0>(&configRoutingInterface);
  FillStand<1>(&fontInterface);
  FillStand<2>(&imageInterface);

  if (stringProtocol) platform.InstallProtocol(EFI_HII_STRING_PROTOCOL_GUID, &stringInterface);
  if (databaseProtocol) platform.InstallProtocol(EFI_HII_DATABASE_PROTOCOL_GUID, &databaseInterface);
  if (configRouting) platform.InstallProtocol(EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, &configRoutingInterface);
  if (font) platform.InstallProtocol(EFI_HII_FONT_PROTOCOL_GUID, &fontInterface);
  if (image) platform.InstallProtocol(EFI_HII_IMAGE_PROTOCOL_GUID, &imageInterface);

  if (sharedRecord) {
    // As the other module leaves it: flags 0, 0, 1, 1, 0, both values 0 and
    // an empty list whose head points at itself.
    std::memset(sharedRecordInterface, 0, sizeof sharedRecordInterface);
    sharedRecordInterface[2] = 1;
    sharedRecordInterface[3] = 1;
    const uint64_t head = reinterpret_cast<uintptr_t>(sharedRecordInterface + 24);
    std::memcpy(sharedRecordInterface + 24, &head, 8);
    std::memcpy(sharedRecordInterface + 32, &head, 8);
    platform.InstallProtocol(kSharedRecordProtocolGuid, sharedRecordInterface);
    platform.Trace("Hook", "shared record protocol installed by another module");
  }
  if (watched == LateInstall::BootStart) {
    platform.InstallProtocol(kWatchedProtocolGuid, watchedInterface);
    platform.Trace("Hook", "watched protocol installed at boot start");
  }
}

void HiiServices::OnBeforeEndOfDxe(Platform& platform) {
  if (watched != LateInstall::BeforeEndOfDxe) return;
  platform.InstallProtocol(kWatchedProtocolGuid, watchedInterface);
  platform.Trace("Hook", "watched protocol installed before End-of-DXE");
}

void HiiServices::OnAfterEndOfDxe(Platform& platform) {
  if (watched != LateInstall::AfterEndOfDxe) return;
  platform.InstallProtocol(kWatchedProtocolGuid, watchedInterface);
  platform.Trace("Hook", "watched protocol installed after End-of-DXE");
}

}  // namespace sim
