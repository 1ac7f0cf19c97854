// Loading the host build of the driver. Each Load() opens a private copy of
// the shared object under a new name, so the dynamic loader maps it afresh
// and module state starts at zero, whether or not dlclose unmapped the
// previous copy.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

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

}  // namespace

DriverImage::DriverImage(std::string sharedObjectPath) : path_(std::move(sharedObjectPath)) {}

DriverImage::~DriverImage() { Unload(); }

std::string DriverImage::DefaultPath() {
#ifdef DRIVER_SO_PATH
  return DRIVER_SO_PATH;
#else
  return "";
#endif
}

DriverImage::EntryPoint DriverImage::Load() {
  Unload();
  if (path_.empty()) Fatal("DriverImage: no shared object path");
  // The temporary directory may be mounted noexec; the build directory works
  // wherever the tests themselves run.
  const char* tmp = std::getenv("TMPDIR");
  std::string error = "cannot copy " + path_;
  for (const std::string& directory : {std::string(tmp && *tmp ? tmp : "/tmp"), DirectoryOf(path_)}) {
    const std::string copy = CopyToTemporary(path_, directory);
    if (copy.empty()) continue;
    handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) error = dlerror();
    unlink(copy.c_str());
    if (handle_) break;
  }
  if (!handle_) Fatal("DriverImage: cannot load " + path_ + ": " + error);
  void* entry = dlsym(handle_, "DriverEntry");
  if (!entry) Fatal("DriverImage: " + path_ + " exports no DriverEntry");
  ++loads_;
  return reinterpret_cast<EntryPoint>(entry);
}

void DriverImage::Unload() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
}

void* DriverImage::Symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

}  // namespace sim
