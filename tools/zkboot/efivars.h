// The firmware variable store as Linux shows it in efivarfs: one file per
// variable, named "Name-guid" with the vendor GUID in lower case, holding the
// 4-byte little-endian attributes followed by the data.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame/uefi.h"

namespace zkboot {

// Exit statuses of the command; every failure maps to one of them.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,       // any other I/O error
  kExitUsage = 2,         // bad command line
  kExitNoEfivarfs = 3,    // no variable store at the root
  kExitPermission = 4,    // not allowed to read or change a variable
  kExitReadOnly = 5,      // the store is mounted read-only
  kExitStoreFull = 6,     // the firmware has no room for the variable
  kExitUnexpected = 7,    // a variable of unexpected size or attributes was left as it is
  kExitNotConfirmed = 8,  // a destructive command without --yes
};

class ToolError : public std::runtime_error {
 public:
  ToolError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

struct EfiVariable {
  std::string name;
  EFI_GUID guid{};
  uint32_t attributes = 0;
  std::vector<uint8_t> data;
};

// "8be4df61-93ca-11d2-aa0d-00e098032b8c", as the kernel names the files.
std::string GuidFileText(const EFI_GUID& guid);
std::string VariableFileName(const std::string& name, const EFI_GUID& guid);
// Splits "Name-guid"; false when the name does not end in a GUID.
bool ParseVariableFileName(const std::string& file, std::string* name, EFI_GUID* guid);

class Efivarfs {
 public:
  static constexpr const char* kDefaultRoot = "/sys/firmware/efi/efivars";
  // Fails with kExitNoEfivarfs when root is not a directory, or when it is the
  // default root and no efivarfs is mounted there.
  explicit Efivarfs(std::string root);

  const std::string& root() const { return root_; }
  bool isEfivarfs() const { return efivarfs_; }

  // nullopt when the variable does not exist. A file shorter than its
  // attribute prefix fails with kExitUnexpected.
  std::optional<EfiVariable> Read(const std::string& name, const EFI_GUID& guid) const;
  // Every variable, sorted by file name; unreadable files are skipped.
  std::vector<EfiVariable> ReadAll() const;
  // Creates or replaces the variable with one write() of attributes and data.
  // An immutable file is made writable for the write and immutable again after.
  void Write(const EfiVariable& variable) const;
  // Deletes the variable; false when it did not exist.
  bool Remove(const std::string& name, const EFI_GUID& guid) const;

 private:
  std::string Path(const std::string& name, const EFI_GUID& guid) const;
  std::string root_;
  bool efivarfs_ = false;
};

// The exit code and message for a failed system call on `what`.
ToolError ErrnoError(int error, const std::string& action, const std::string& what);

}  // namespace zkboot
