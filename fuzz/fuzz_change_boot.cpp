// ZKChgBoot, Setup, BootOrder, PhysicalBootOrder and Boot#### of any size
// and attributes through the change-boot request and the factory reset.
//
// Input: flags (bit 0 platform hook installed, bit 1 the hook removes Setup,
// bit 2 purge-idle marker installed, bit 3 a second one, bit 4 a purge-busy
// marker installed), ZKChgBoot (attribute selector, block; empty: absent),
// Setup (selector, 16-bit size modulo 2048, 0: absent; fill byte; bytes 92,
// 100 and 111; a block laid over the start), BootOrder and PhysicalBootOrder
// (selector, block each), then options until the input ends (number,
// selector, block).
//
// Oracle, from the request's rules:
// - no pending request (absent, longer than 2 bytes, pending byte 0): the
//   store, CMOS and the reset state are untouched;
// - a pending request is taken: afterwards ZKChgBoot is deleted or holds its
//   mode byte with the pending byte 0;
// - no Setup, a mode other than 1 to 5, or (modes 1, 2, 3, 5) a Setup shorter
//   than 112 bytes: nothing else changes, no CMOS write, no reset;
// - modes 1, 2, 3, 5: CMOS 0x61 holds the mode; Setup is edited in bytes 92,
//   100 and 111 only, as the mode says, and a warm reset follows exactly when
//   a byte changed; nothing else changes;
// - mode 4: CMOS 0x61 holds 4 and ZKChgBoot is deleted; if the hook removed
//   Setup, nothing else changes and the boot goes on; otherwise a cold reset
//   follows with Setup, both orders and every option they name deleted,
//   nothing else changed, no purge-busy marker left and one purge-idle marker
//   when there was one before.
// Every run: no pool left, no violation.
#include <array>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "fuzz/harness.h"
#include "fuzz/known_findings.h"

namespace {

using fuzz::Check;

// A variable's name and its GUID's bytes. The name is a view: into a
// snapshot's copy of the store, a string literal or an option name that
// lives as long as the key is used.
struct Key {
  std::u16string_view name;
  std::array<uint8_t, 16> guid;
  bool operator==(const Key& o) const { return name == o.name && guid == o.guid; }
};
// Hashed: an input may hold hundreds of options, and ordered lookups compare
// names character by character, each comparison traced for the fuzzer.
struct KeyHash {
  size_t operator()(const Key& k) const {
    uint64_t g;
    std::memcpy(&g, k.guid.data(), sizeof g);
    return std::hash<std::u16string_view>()(k.name) ^ (g * 0x9E3779B97F4A7C15ull);
  }
};

Key KeyOf(std::u16string_view name, const EFI_GUID& guid) {
  Key key{name, {}};
  std::memcpy(key.guid.data(), &guid, sizeof guid);
  return key;
}

struct Value {
  uint32_t attributes;
  std::vector<uint8_t> data;
};

bool Holds(const sim::Variable& v, const Value& want) {
  return v.attributes == want.attributes && v.data == want.data;
}

// The variable store at one moment: a copy of it and an index by key.
class Store {
 public:
  explicit Store(const sim::Platform& platform) : variables_(platform.Variables()) {
    index_.reserve(variables_.size());
    for (const sim::Variable& v : variables_) index_[KeyOf(v.name, v.guid)] = &v;
  }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  const sim::Variable* Find(const Key& key) const {
    const auto it = index_.find(key);
    return it == index_.end() ? nullptr : it->second;
  }
  // Its keys view the store's own copy: valid as long as the store.
  const std::unordered_map<Key, const sim::Variable*, KeyHash>& Index() const { return index_; }

 private:
  std::vector<sim::Variable> variables_;
  std::unordered_map<Key, const sim::Variable*, KeyHash> index_;
};

std::string Describe(const Key& key) { return sim::Utf16ToUtf8(key.name); }

// What an input changes: a key maps to the value it must hold afterwards,
// or to nullopt for a variable that must be gone.
using Changes = std::unordered_map<Key, std::optional<Value>, KeyHash>;

// The store afterwards must be the store before with `changes` applied,
// nothing more and nothing less.
void CheckStore(const Store& before, const Store& after, const Changes& changes, const char* situation) {
  const auto fail = [situation](const Key& key, const char* what) {
    fuzz::Fail(std::string(situation) + ": " + Describe(key) + " " + what);
  };
  for (const auto& [key, want] : changes) {
    const sim::Variable* now = after.Find(key);
    if (!want) {
      if (now != nullptr) fail(key, "should be gone");
    } else if (now == nullptr) {
      fail(key, "is missing");
    } else if (!Holds(*now, *want)) {
      fail(key, "is not as it should be");
    }
  }
  for (const auto& [key, was] : before.Index()) {
    if (changes.count(key) != 0) continue;
    const sim::Variable* now = after.Find(key);
    if (now == nullptr) fail(key, "is missing");
    if (now->attributes != was->attributes || now->data != was->data) fail(key, "is not as it should be");
  }
  for (const auto& entry : after.Index()) {
    if (before.Find(entry.first) == nullptr && changes.count(entry.first) == 0)
      fail(entry.first, "should be gone");
  }
}

bool EditSetup(uint8_t mode, std::vector<uint8_t>& s) {
  bool changed = false;
  if ((mode == 1 || mode == 2) && s[92] != 0) {
    s[92] = 0;
    changed = true;
  }
  if ((mode == 2 || mode == 5) && s[111] == 0) {
    s[111] = 1;
    s[100] = 0;
    changed = true;
  }
  if (mode == 3 && s[111] != 0) {
    s[111] = 0;
    changed = true;
  }
  return changed;
}

bool hookRemovesSetup = false;

EFI_STATUS EFIAPI FactoryResetHook() {
  if (hookRemovesSetup) sim::Platform::Current()->RemoveVariable(u"Setup", SetupVariableGuid);
  return EFI_SUCCESS;
}

alignas(8) uint8_t hookInterface[kPlatformHookMinLength];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t flags = in.U8();
  const uint32_t requestAttributes = fuzz::StoredAttributes(in.U8());
  const std::vector<uint8_t> request = in.Block();
  const uint32_t setupAttributes = fuzz::StoredAttributes(in.U8());
  const size_t setupSize = in.U16() % 2048;
  std::vector<uint8_t> setup(setupSize, in.U8());
  const uint8_t b92 = in.U8(), b100 = in.U8(), b111 = in.U8();
  const std::vector<uint8_t> overlay = in.Block();
  for (size_t i = 0; i < overlay.size() && i < setup.size(); i++) setup[i] = overlay[i];
  if (setup.size() > 92) setup[92] = b92;
  if (setup.size() > 100) setup[100] = b100;
  if (setup.size() > 111) setup[111] = b111;
  const uint32_t orderAttributes = fuzz::StoredAttributes(in.U8());
  const std::vector<uint8_t> order = in.Block();
  const uint32_t physicalAttributes = fuzz::StoredAttributes(in.U8());
  const std::vector<uint8_t> physical = in.Block();

  fuzz::Lease lease;
  fuzz::Notebook& nb = lease.notebook;
  sim::Platform& platform = nb.platform;
  const bool hook = flags & 1;
  hookRemovesSetup = hook && (flags & 2);
  const size_t idleBefore = (flags & 4) ? ((flags & 8) ? 2 : 1) : 0;
  nb.Start([&] {
    if (hook) {
      const uint32_t length = sizeof(hookInterface);
      const uint64_t address = reinterpret_cast<uint64_t>(&FactoryResetHook);
      std::memcpy(hookInterface, &length, sizeof(length));
      std::memcpy(hookInterface + kPlatformHookFactoryResetOffset, &address, sizeof(address));
      platform.InstallProtocol(PlatformHookProtocolGuid, hookInterface);
    }
    for (size_t i = 0; i < idleBefore; i++) platform.InstallProtocol(PurgeIdleMarkerGuid, nullptr);
    if (flags & 0x10) platform.InstallProtocol(PurgeBusyMarkerGuid, nullptr);
  });

  if (!request.empty()) platform.PutVariable(u"ZKChgBoot", BootControlVendorGuid, requestAttributes, request);
  if (!setup.empty()) platform.PutVariable(u"Setup", SetupVariableGuid, setupAttributes, setup);
  if (!order.empty()) platform.PutVariable(u"BootOrder", EFI_GLOBAL_VARIABLE, orderAttributes, order);
  if (!physical.empty()) {
    platform.PutVariable(u"PhysicalBootOrder", PhysicalBootOrderGuid, physicalAttributes, physical);
  }
  while (!in.Done()) {
    const uint16_t number = in.U16();
    const uint32_t attributes = fuzz::StoredAttributes(in.U8());
    std::vector<uint8_t> option = in.Block();
    if (!option.empty())
      platform.PutVariable(fuzz::OptionName(number), EFI_GLOBAL_VARIABLE, attributes, option);
  }

  const Store before(platform);
  EFI_STATUS status = EFI_SUCCESS;
  const auto reset = nb.Run([&] { status = ProcessChangeBootRequest(); });
  const Store after(platform);
  const uint8_t cmos = nb.devices.cmos.bytes[0x61];
  nb.CheckClean();

  const Key requestKey = KeyOf(u"ZKChgBoot", BootControlVendorGuid);
  const Key setupKey = KeyOf(u"Setup", SetupVariableGuid);
  const bool pending = !request.empty() && request.size() <= 2 && request[0] != 0;
  if (!pending) {
    Check(status == EFI_SUCCESS && !reset && cmos == 0, "no pending request: something was done");
    CheckStore(before, after, {}, "no pending request");
    return 0;
  }
  const uint8_t modeByte = request.size() == 2 ? request[1] : 0;
  const uint8_t mode = modeByte & 0x7F;
  Check(ChangeBootRequest[1] == modeByte, "the request copy lost its mode byte");

  // The request is taken before it is acted on. Attribute sets no store
  // accepts (no boot-service access) come back from the read as they are
  // stored; written back, they delete the request: either way it is not
  // pending any more.
  const bool requestRewritable = fuzz::Rewritable(requestAttributes) &&
                                 !fuzz::known::RequestRewrittenWithFixedAttributes(requestAttributes);
  std::vector<uint8_t> taken = request;
  taken[0] = 0;
  const sim::Variable* requestAfter = after.Find(requestKey);
  if (requestRewritable) {
    Check(requestAfter == nullptr || requestAfter->data == taken, "the request was not taken");
  } else {
    Check(requestAfter == nullptr || requestAfter->data == request, "a refused rewrite changed the request");
  }
  Changes changes;
  if (requestAfter == nullptr) {
    changes[requestKey] = std::nullopt;
  } else {
    changes[requestKey] = Value{requestAfter->attributes, requestAfter->data};  // checked above
  }

  const bool editable = mode >= 1 && mode <= 5 && mode != 4 && setup.size() >= 112;
  if (setup.empty() || mode < 1 || mode > 5 || (mode != 4 && !editable)) {
    Check(!reset && cmos == 0, "request without a usable Setup or mode: CMOS written or reset");
    Check(status == (setup.empty()          ? EFI_NOT_FOUND
                     : mode < 1 || mode > 5 ? EFI_UNSUPPORTED
                                            : EFI_NOT_FOUND),
          "request without a usable Setup or mode: status");
    CheckStore(before, after, changes, "request without a usable Setup or mode");
    return 0;
  }
  Check(cmos == mode, "CMOS 0x61 does not hold the mode");

  if (mode != 4) {
    std::vector<uint8_t> edited = setup;
    const bool changed = EditSetup(mode, edited);
    // Written back with the attributes read: a set without access attributes
    // (0 or non-volatile alone, which no real store holds) deletes Setup; one
    // the store refuses leaves it, and then there is no reset to make.
    const bool deletes = fuzz::WriteBackDeletes(setupAttributes);
    const bool stored = deletes || fuzz::Rewritable(setupAttributes);
    Check(changed && stored ? reset == EfiResetWarm : !reset, "Setup edit and warm reset disagree");
    if (changed && stored) {
      changes[setupKey] =
          deletes ? std::optional<Value>() : std::optional<Value>(Value{setupAttributes, edited});
    }
    CheckStore(before, after, changes, "Setup edit");
    return 0;
  }

  // Factory reset. The request, Setup and the options are deleted without
  // access attributes, which removes them whatever they were stored with; the
  // two orders are deleted with the attributes read.
  Check(after.Find(requestKey) == nullptr, "factory reset: the request is still stored");
  changes[requestKey] = std::nullopt;
  if (hookRemovesSetup) {
    Check(!reset, "factory reset after the hook removed Setup: reset");
    changes[setupKey] = std::nullopt;
    CheckStore(before, after, changes, "factory reset, Setup removed by the hook");
    return 0;
  }
  if (fuzz::known::SetupDeletedWithFixedAttributes(setupAttributes)) return 0;
  Check(reset == EfiResetCold, "factory reset: no cold reset");
  changes[setupKey] = std::nullopt;
  bool optionsKept = false;
  const bool orderReadable = !order.empty();
  for (const std::vector<uint8_t>* list : {&order, &physical}) {
    for (size_t i = 0; i + 1 < list->size(); i += 2) {
      const fuzz::OptionNameText name(static_cast<uint16_t>((*list)[i] | (*list)[i + 1] << 8));
      const sim::Variable* stored = before.Find(KeyOf(name.View(), EFI_GLOBAL_VARIABLE));
      if (stored == nullptr) continue;
      if (fuzz::known::OptionDeletedWithFixedAttributes(stored->attributes)) {
        optionsKept = true;
        continue;
      }
      changes[KeyOf(stored->name, stored->guid)] = std::nullopt;  // a key that outlives `name`
    }
  }
  const auto deletedAsRead = [](uint32_t a) { return a == 0 || fuzz::Rewritable(a); };
  if (orderReadable && deletedAsRead(orderAttributes)) {
    changes[KeyOf(u"BootOrder", EFI_GLOBAL_VARIABLE)] = std::nullopt;
  }
  if (!physical.empty() && deletedAsRead(physicalAttributes))
    changes[KeyOf(u"PhysicalBootOrder", PhysicalBootOrderGuid)] = std::nullopt;
  if (!orderReadable && fuzz::known::PurgeStopsWithoutBootOrder()) return 0;
  if (!optionsKept) CheckStore(before, after, changes, "factory reset");
  if (idleBefore || !(flags & 0x10)) {
    Check(platform.ProtocolCount(PurgeBusyMarkerGuid) == 0, "factory reset: a purge-busy marker is left");
  }
  if (idleBefore) Check(platform.ProtocolCount(PurgeIdleMarkerGuid) == 1, "factory reset: purge-idle marker");
  return 0;
}
