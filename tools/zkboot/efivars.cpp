#include "tools/zkboot/efivars.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/platform.h"

namespace zkboot {
namespace {

constexpr long kEfivarfsMagic = 0xde5e81e4;
constexpr size_t kGuidTextLength = 36;
// Far above any variable a firmware store holds; a bigger file is no variable.
constexpr size_t kMaxFileSize = 4 + (1u << 20);

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Clears the immutable flag of an existing file. Returns the flags to put
// back afterwards, or nullopt when there is nothing to restore (the flag was
// not set, or the filesystem keeps no such flags).
std::optional<int> MakeMutable(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  int flags = 0;
  if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) return std::nullopt;
  if ((flags & FS_IMMUTABLE_FL) == 0) return std::nullopt;
  int cleared = flags & ~FS_IMMUTABLE_FL;
  if (::ioctl(fd.get(), FS_IOC_SETFLAGS, &cleared) != 0) {
    throw ErrnoError(errno, "cannot clear the immutable flag of", path);
  }
  return flags;
}

void RestoreFlags(const std::string& path, int flags) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0 || ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) != 0) {
    std::fprintf(stderr, "zkboot: warning: %s: cannot set the immutable flag again: %s\n", path.c_str(),
                 std::strerror(errno));
  }
}

}  // namespace

ToolError ErrnoError(int error, const std::string& action, const std::string& what) {
  const std::string text = action + " " + what + ": " + std::strerror(error);
  switch (error) {
    case EACCES:
    case EPERM:
      return ToolError(kExitPermission, text + " (changing firmware variables needs root)");
    case EROFS:
      return ToolError(kExitReadOnly, text + " (remount it read-write: mount -o remount,rw " +
                                          std::string(Efivarfs::kDefaultRoot) + ")");
    case ENOSPC:
    case EDQUOT:
      return ToolError(kExitStoreFull, text + " (the firmware's variable store is full)");
    default:
      return ToolError(kExitFailure, text);
  }
}

std::string GuidFileText(const EFI_GUID& guid) {
  std::string text = sim::GuidToString(guid);
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string VariableFileName(const std::string& name, const EFI_GUID& guid) {
  return name + "-" + GuidFileText(guid);
}

bool ParseVariableFileName(const std::string& file, std::string* name, EFI_GUID* guid) {
  if (file.size() < kGuidTextLength + 2 || file[file.size() - kGuidTextLength - 1] != '-') return false;
  if (!sim::ParseGuid(file.substr(file.size() - kGuidTextLength), guid)) return false;
  *name = file.substr(0, file.size() - kGuidTextLength - 1);
  return true;
}

Efivarfs::Efivarfs(std::string root) : root_(std::move(root)) {
  struct stat st {};
  if (::stat(root_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw ToolError(
        kExitNoEfivarfs,
        "no variable store at " + root_ +
            (root_ == kDefaultRoot ? ": the system was not started by UEFI firmware, or efivarfs is "
                                     "not mounted (mount -t efivarfs efivarfs " +
                                         root_ + ")"
                                   : ": not a directory"));
  }
  struct statfs fs {};
  efivarfs_ = ::statfs(root_.c_str(), &fs) == 0 && static_cast<long>(fs.f_type) == kEfivarfsMagic;
  if (root_ == kDefaultRoot && !efivarfs_) {
    throw ToolError(kExitNoEfivarfs,
                    root_ + " is not an efivarfs mount (mount -t efivarfs efivarfs " + root_ + ")");
  }
}

std::string Efivarfs::Path(const std::string& name, const EFI_GUID& guid) const {
  return root_ + "/" + VariableFileName(name, guid);
}

std::optional<EfiVariable> Efivarfs::Read(const std::string& name, const EFI_GUID& guid) const {
  const std::string path = Path(name, guid);
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw ErrnoError(errno, "cannot read", path);
  }
  std::vector<uint8_t> bytes;
  uint8_t buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ErrnoError(errno, "cannot read", path);
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
    if (bytes.size() > kMaxFileSize)
      throw ToolError(kExitUnexpected, path + ": larger than 1 MiB, not a variable");
  }
  // efivarfs keeps the empty file that a refused write created: a name
  // without a variable.
  if (bytes.empty()) return std::nullopt;
  if (bytes.size() < 4) {
    throw ToolError(kExitUnexpected, path + ": " + std::to_string(bytes.size()) +
                                         " bytes, too short for the 4-byte attribute prefix");
  }
  EfiVariable v;
  v.name = name;
  v.guid = guid;
  v.attributes = static_cast<uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) | uint32_t{bytes[3]} << 24;
  v.data.assign(bytes.begin() + 4, bytes.end());
  return v;
}

std::vector<EfiVariable> Efivarfs::ReadAll() const {
  std::vector<std::string> files;
  if (DIR* dir = ::opendir(root_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) files.emplace_back(entry->d_name);
    ::closedir(dir);
  } else {
    throw ErrnoError(errno, "cannot list", root_);
  }
  std::sort(files.begin(), files.end());
  std::vector<EfiVariable> variables;
  for (const std::string& file : files) {
    std::string name;
    EFI_GUID guid{};
    if (!ParseVariableFileName(file, &name, &guid)) continue;
    try {
      if (auto v = Read(name, guid)) variables.push_back(std::move(*v));
    } catch (const ToolError&) {
      // a variable this user may not read, or a broken file: not part of the state we can see
    }
  }
  return variables;
}

void Efivarfs::Write(const EfiVariable& variable) const {
  const std::string path = Path(variable.name, variable.guid);
  struct stat st {};
  const bool exists = ::lstat(path.c_str(), &st) == 0;
  // Plain values rather than std::optional<int>: g++ 12 warns that the
  // optional's payload may be read uninitialised.
  const std::optional<int> mutableFlags = exists ? MakeMutable(path) : std::nullopt;
  const bool restore = mutableFlags.has_value();
  const int restoreFlags = mutableFlags.value_or(0);

  std::vector<uint8_t> bytes(4);
  for (int i = 0; i < 4; i++)
    bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(variable.attributes >> (8 * i));
  bytes.insert(bytes.end(), variable.data.begin(), variable.data.end());

  // efivarfs replaces the variable with what one write() delivers; a plain
  // directory needs the old content truncated.
  const int flags = O_WRONLY | O_CLOEXEC | (exists ? 0 : O_CREAT) | (efivarfs_ ? 0 : O_TRUNC);
  int error = 0;
  {
    Fd fd(::open(path.c_str(), flags, 0644));
    if (fd.get() < 0) {
      error = errno;
    } else {
      const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
      if (n < 0) {
        error = errno;
      } else if (static_cast<size_t>(n) != bytes.size()) {
        error = EIO;
      }
    }
  }
  // A refused create leaves an empty file behind (efivarfs marks it
  // immutable): remove it, so the store shows what the firmware holds.
  if (error != 0 && !exists) {
    if (efivarfs_) MakeMutable(path);
    ::unlink(path.c_str());
  }
  if (restore) RestoreFlags(path, restoreFlags);
  if (error != 0) throw ErrnoError(error, "cannot write", path);
}

bool Efivarfs::Remove(const std::string& name, const EFI_GUID& guid) const {
  const std::string path = Path(name, guid);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return false;
    throw ErrnoError(errno, "cannot delete", path);
  }
  const std::optional<int> restore = MakeMutable(path);
  if (::unlink(path.c_str()) != 0) {
    const int error = errno;
    if (restore) RestoreFlags(path, *restore);
    throw ErrnoError(error, "cannot delete", path);
  }
  return true;
}

}  // namespace zkboot
