// Loading the host build of the driver. The shared object is mapped once;
// every Load() after the first puts the image's writable data (.data and
// .bss, everything the loader does not seal read-only after relocation)
// back to the bytes it held right after the loader mapped and relocated it,
// so module state starts at zero as in a freshly loaded image without
// mapping and relocating the file again.
//
// A second DriverImage of a path that another live DriverImage already holds
// maps a private copy of the file under a new name, so the two never share
// module state.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

#include "sim/platform_impl.h"

namespace sim {

namespace {

// Copies `source` to a new file "<directory>/simimage-XXXXXX.so"; returns its
// path or "" on failure.
std::string CopyToTemporary(const std::string& source, const std::string& directory) {
  std::string name = directory + "/simimage-XXXXXX.so";
  int fd = mkstemps(name.data(), 3);
  if (fd < 0) return "";
  std::ifstream in(source, std::ios::binary);
  std::vector<char> bytes;
  if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  bool ok = !bytes.empty();
  size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    if (n > 0) done += static_cast<size_t>(n);
  }
  close(fd);
  if (!ok) {
    unlink(name.c_str());
    return "";
  }
  return name;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Paths mapped directly (not as a private copy) by a live DriverImage.
std::set<std::string>& DirectlyMapped() {
  static std::set<std::string> paths;
  return paths;
}

struct Range {
  uintptr_t begin, end;
};

struct SegmentSearch {
  uintptr_t base;  // load bias of the object whose segments are wanted
  std::vector<Range> writable;
  std::vector<Range> relro;
  bool found = false;
};

int CollectSegments(struct dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<SegmentSearch*>(data);
  if (info->dlpi_addr != search->base) return 0;
  search->found = true;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    const Range range{info->dlpi_addr + ph.p_vaddr, info->dlpi_addr + ph.p_vaddr + ph.p_memsz};
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W) && ph.p_memsz) search->writable.push_back(range);
    if (ph.p_type == PT_GNU_RELRO && ph.p_memsz) search->relro.push_back(range);
  }
  return 1;
}

// The writable ranges of a PT_LOAD segment that stay writable: the part
// under PT_GNU_RELRO is made read-only after relocation and never changes.
std::vector<Range> WritableData(const SegmentSearch& s) {
  std::vector<Range> out;
  for (Range r : s.writable) {
    for (const Range& ro : s.relro) {
      if (ro.begin <= r.begin && ro.end > r.begin) r.begin = std::min(ro.end, r.end);
    }
    if (r.begin < r.end) out.push_back(r);
  }
  return out;
}

// Word-wise copy that the compiler does not turn into memcpy: the image's
// data holds AddressSanitizer redzones between globals when the driver is
// built with it, and the sanitizer's memcpy would report them. Ranges are
// word-aligned at the start only by chance, so the edges go byte by byte.
__attribute__((no_sanitize("address", "undefined"))) void CopyRaw(void* to, const void* from, size_t size) {
  auto* d = static_cast<volatile unsigned char*>(to);
  const auto* s = static_cast<const volatile unsigned char*>(from);
  size_t i = 0;
  while (i < size && (reinterpret_cast<uintptr_t>(d + i) % sizeof(uint64_t)) != 0) {
    d[i] = s[i];
    ++i;
  }
  for (; i + sizeof(uint64_t) <= size; i += sizeof(uint64_t)) {
    uint64_t word;
    std::memcpy(&word, const_cast<const unsigned char*>(s + i), sizeof word);  // from our own buffer
    *reinterpret_cast<volatile uint64_t*>(d + i) = word;
  }
  for (; i < size; ++i) d[i] = s[i];
}

}  // namespace

DriverImage::DriverImage(std::string sharedObjectPath) : path_(std::move(sharedObjectPath)) {}

DriverImage::~DriverImage() {
  if (handle_) dlclose(handle_);
  if (direct_) DirectlyMapped().erase(path_);
}

std::string DriverImage::DefaultPath() {
#ifdef DRIVER_SO_PATH
  return DRIVER_SO_PATH;
#else
  return "";
#endif
}

void DriverImage::Map() {
  if (path_.empty()) Fatal("DriverImage: no shared object path");
  std::string error;
  if (DirectlyMapped().insert(path_).second) {
    direct_ = true;
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
      error = dlerror();
      DirectlyMapped().erase(path_);
      direct_ = false;
    }
  }
  if (!handle_) {
    // The temporary directory may be mounted noexec; the build directory
    // works wherever the tests themselves run.
    const char* tmp = std::getenv("TMPDIR");
    if (error.empty()) error = "cannot copy " + path_;
    for (const std::string& directory : {std::string(tmp && *tmp ? tmp : "/tmp"), DirectoryOf(path_)}) {
      const std::string copy = CopyToTemporary(path_, directory);
      if (copy.empty()) continue;
      handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle_) error = dlerror();
      unlink(copy.c_str());
      if (handle_) break;
    }
  }
  if (!handle_) Fatal("DriverImage: cannot load " + path_ + ": " + error);
  void* entry = dlsym(handle_, "DriverEntry");
  if (!entry) Fatal("DriverImage: " + path_ + " exports no DriverEntry");
  entry_ = reinterpret_cast<EntryPoint>(entry);

  // The object's writable segments, found by its load bias.
  Dl_info info;
  struct link_map* map = nullptr;
  if (!dladdr1(entry, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) || !map) {
    Fatal("DriverImage: cannot find the segments of " + path_);
  }
  base_ = info.dli_fbase;
  SegmentSearch search{map->l_addr, {}, {}};
  dl_iterate_phdr(CollectSegments, &search);
  if (!search.found) Fatal("DriverImage: " + path_ + " is not among the loaded objects");
  for (const Range& r : WritableData(search)) {
    Snapshot s;
    s.address = r.begin;
    s.bytes.resize(r.end - r.begin);
    ReadUnchecked(s.bytes.data(), r.begin, s.bytes.size());
    snapshots_.push_back(std::move(s));
  }
}

DriverImage::EntryPoint DriverImage::Load() {
  if (!handle_) {
    Map();
  } else {
    for (const Snapshot& s : snapshots_) {
      CopyRaw(reinterpret_cast<void*>(s.address), s.bytes.data(), s.bytes.size());
    }
  }
  loaded_ = true;
  ++loads_;
  return entry_;
}

void DriverImage::Unload() { loaded_ = false; }

void* DriverImage::Symbol(const char* name) const {
  return handle_ && loaded_ ? dlsym(handle_, name) : nullptr;
}

size_t DriverImage::WritableBytes() const {
  size_t n = 0;
  for (const Snapshot& s : snapshots_) n += s.bytes.size();
  return n;
}

}  // namespace sim
