// Shared pieces of the fuzz targets: a reader over the fuzzer's bytes, the
// variable attributes a store can hold, and a simulated notebook on which
// every input starts a fresh boot with the driver's constructors run.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bootctl/chgboot.h"
#include "bootctl/vars.h"
#include "entry/driver.h"
#include "frame/helpers.h"
#include "sim/devices/devices.h"
#include "sim/platform.h"
#include "support/pcd/pcd.h"
#include "support/timer/timer.h"
#include "tools/driver_state.h"

namespace fuzz {

// Reads the input front to back; past its end every read gives zeros, so
// any byte string decodes to some case.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return pos_ >= size_; }
  size_t Left() const { return Done() ? 0 : size_ - pos_; }
  uint8_t U8() { return Done() ? 0 : data_[pos_++]; }
  uint16_t U16() {
    const uint16_t lo = U8();
    return static_cast<uint16_t>(lo | (U8() << 8));
  }
  uint32_t U32() {
    const uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }
  uint64_t U64() {
    const uint64_t lo = U32();
    return lo | (static_cast<uint64_t>(U32()) << 32);
  }
  std::vector<uint8_t> Bytes(size_t n) {
    if (n > Left()) n = Left();
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }
  // A 16-bit length, then that many bytes (fewer at the end of the input).
  std::vector<uint8_t> Block() { return Bytes(U16()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Attributes of a stored variable, chosen by one input byte: mostly 7, else
// the other sets a variable store accepts (volatile, boot-service only,
// hardware error record), and for selectors 0xF0 and up the raw low byte, so
// that sets the store would refuse on a write (authenticated ones) appear too.
inline uint32_t StoredAttributes(uint8_t selector) {
  static const uint32_t kAccepted[] = {7, 7, 7, 7, 7, 7, 7, 7, 3, 6, 2, 0xF, 1, 7, 7, 0x27};
  if (selector >= 0xF0) return selector & 0x7F;
  return kAccepted[selector & 0xF];
}

// Attributes with which the driver's own rewrite or delete, made with the
// attributes it read, is accepted by the store.
inline bool Rewritable(uint32_t attributes) {
  if (attributes == 0 || (attributes & ~0x0Fu) != 0) return false;
  if ((attributes & 4) && !(attributes & 2)) return false;
  if ((attributes & 8) && (attributes & 7) != 7) return false;
  return true;
}

// Attributes with which the driver's write-back of a variable, made with the
// attributes it read, deletes it instead: no access attribute (no real store
// holds such a variable; the harness stores them on purpose).
inline bool WriteBackDeletes(uint32_t attributes) { return attributes == 0 || attributes == 1; }

// Ends the run with a message; libFuzzer reports it as a crash and keeps the
// input.
[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz oracle: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void Check(bool condition, const std::string& what) {
  if (!condition) Fail(what);
}
// A fixed message is not made into a string unless the check fails: oracles
// check inside the device models, once per register access.
inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// "Boot####" for an option number, made in place: oracles look up hundreds
// of option names an input, and a heap string for each cost more than the
// driver's own work on them.
struct OptionNameText {
  explicit OptionNameText(uint16_t number) {
    static const char kHex[] = "0123456789ABCDEF";
    const char16_t prefix[] = u"Boot";
    for (int i = 0; i < 4; i++) chars[i] = prefix[i];
    for (int i = 0; i < 4; i++) chars[4 + i] = static_cast<char16_t>(kHex[(number >> (12 - 4 * i)) & 0xF]);
  }
  std::u16string_view View() const { return {chars, 8}; }
  char16_t chars[8];
};

inline std::u16string OptionName(uint16_t number) { return std::u16string(OptionNameText(number).View()); }

inline std::optional<std::vector<uint8_t>> Stored(const sim::Platform& platform, const std::u16string& name,
                                                  const EFI_GUID& guid) {
  const sim::Variable* v = platform.FindVariable(name, guid);
  if (v == nullptr) return std::nullopt;
  return v->data;
}

// A simulated notebook for one input: a new platform, a boot begun, the
// driver's module state reset as in a freshly loaded image and its library
// constructors run. Records the constructors publish stay allocated; they are
// the baseline for the leak check. No oracle reads the trace, so it is not
// recorded.
class Notebook {
 public:
  Notebook() { platform.recordTrace = false; }

  sim::Platform platform;
  sim::Notebook devices{platform};

  // `beforeConstructors` runs after the boot has begun (install protocols,
  // store variables there).
  void Start(const std::function<void()>& beforeConstructors = {}) {
    platform.BeginBoot();
    if (beforeConstructors) beforeConstructors();
    ResetDriverState();
    RunLibraryConstructors(platform.ImageHandle(), platform.SystemTable());
    baseline_.clear();
    for (const sim::Allocation& a : platform.OutstandingAllocations()) baseline_.push_back(a.address);
    std::sort(baseline_.begin(), baseline_.end());
  }

  std::optional<EFI_RESET_TYPE> Run(const std::function<void()>& fn) { return platform.RunGuarded(fn); }

  // No pool or pages held beyond what the constructors published (or what a
  // refused free kept), and no misuse of the services recorded.
  void CheckClean() const {
    for (const sim::Allocation& a : platform.OutstandingAllocations()) {
      if (!std::binary_search(baseline_.begin(), baseline_.end(), a.address) && !a.freeRefused)
        Fail("an allocation of " + std::to_string(a.size) + " bytes is left");
    }
    if (!platform.violations.empty()) Fail("violation: " + platform.violations.front());
  }

  static void ResetDriverState() { ResetDriverModuleState(); }

  // The one notebook every input of a target runs on, through a Lease,
  // which renews it in place when the input ends instead of building a
  // platform for each input.
  static Notebook& Shared() {
    static Notebook* const notebook = new Notebook;  // lives for the whole run
    return *notebook;
  }

  // Renews the notebook now, freeing what the input left (variables, pool,
  // trace): an input then frees as much as it allocates, and libFuzzer does
  // not run it again under the leak checker, which it does whenever an input
  // ends with more allocations than frees.
  void Renew() {
    platform.Renew();
    platform.recordTrace = false;  // no oracle reads it
    devices.Renew();
    baseline_.clear();  // keeps its storage
  }

 private:
  std::vector<void*> baseline_;  // sorted
};

// The shared notebook for one input, as new, renewed when the input ends.
// Declare it before anything that hooks into the platform (a PCD database,
// flash devices), so that those are gone first.
class Lease {
 public:
  Lease() : notebook(Notebook::Shared()) {}
  ~Lease() { notebook.Renew(); }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  Notebook& notebook;
};

}  // namespace fuzz
