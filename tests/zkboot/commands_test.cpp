// zkboot commands against an efivarfs-like directory: what each writes or
// deletes, the refusals, and every error path with its exit status.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "sim/uefi/load_option.h"
#include "tests/zkboot/zkboot_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST_F(ZkbootTest, CommandsWriteTheDriversVariablesWithAttributes7) {
  struct Row {
    std::vector<std::string> args;
    std::string file;
    Bytes content;  // attribute prefix and data
    Bytes earlier;  // what the variable held before
  };
  const Row rows[] = {
      {{"request", "usb"}, kChgBootFile, {7, 0, 0, 0, 0x01, 0x81}, {0x00, 0x02}},
      {{"request", "pxe"}, kChgBootFile, {7, 0, 0, 0, 0x01, 0x82}, {0x00, 0x02}},
      {{"request", "disk"}, kChgBootFile, {7, 0, 0, 0, 0x01, 0x83}, {0x00, 0x02}},
      {{"request", "mode", "1"}, kChgBootFile, {7, 0, 0, 0, 0x01, 0x01}, {}},
      {{"request", "mode", "0x85"}, kChgBootFile, {7, 0, 0, 0, 0x01, 0x85}, {0x00, 0x81}},
      {{"request", "mode", "4", "--yes"}, kChgBootFile, {7, 0, 0, 0, 0x01, 0x04}, {}},
      {{"factory-reset", "--yes"}, kChgBootFile, {7, 0, 0, 0, 0x01, 0x04}, {0x00, 0x83}},
      {{"oob", "set", "3"}, kOobFile, {7, 0, 0, 0, 0x03}, {0x09}},
      {{"lid-flag", "set", "1"}, kLidFlagFile, {7, 0, 0, 0, 0x01}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args[1]);
    if (!row.earlier.empty()) PutFile(row.file, 7, row.earlier);
    const RunResult r = Run(row.args);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(File(row.file), row.content);
    std::filesystem::remove(root + "/" + row.file);
  }
}

TEST_F(ZkbootTest, ClearCommandsDeleteAndSayWhat) {
  struct Row {
    std::vector<std::string> args;
    std::string file;
    std::string said;
  };
  const Row rows[] = {
      {{"clear"}, kChgBootFile, "ZKChgBoot deleted (was 00 81)"},
      {{"oob", "clear"}, kOobFile, "ZKOOBTest deleted (was 00 81)"},
      {{"lid-flag", "clear"}, kLidFlagFile, "ZKSaveLidFlag deleted (was 00 81)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[0]);
    PutFile(row.file, 7, {0x00, 0x81});
    RunResult r = Run(row.args);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find(row.said), std::string::npos) << r.out;
    EXPECT_FALSE(File(row.file).has_value());
    r = Run(row.args);  // nothing left to delete: still a success
    EXPECT_EQ(r.rc, 0) << r.err;
  }
}

TEST_F(ZkbootTest, BadCommandLinesExitWith2AndChangeNothing) {
  const std::vector<std::vector<std::string>> rows = {
      {"request"},
      {"request", "floppy"},
      {"request", "mode"},
      {"request", "mode", "256"},
      {"request", "mode", "x1"},
      {"request", "usb", "5"},
      {"oob", "set"},
      {"oob", "set", "300"},
      {"lid-flag", "set", "-1"},
      {"lid-flag", "clear", "1"},
      {"oob", "reset"},
      {"status", "--yes"},
  };
  for (const auto& args : rows) {
    SCOPED_TRACE(args.size() > 1 ? args[0] + " " + args[1] : args[0]);
    EXPECT_EQ(Run(args).rc, 2);
  }
  EXPECT_TRUE(std::filesystem::is_empty(root));
}

TEST_F(ZkbootTest, FactoryResetNeedsYesAndListsWhatGoes) {
  PutFile(kSetupFile, 7, Bytes(512, 0));
  PutFile("BootOrder" + kGlobal, 7, sim::Uint16List({0x0000, 0x0003}));
  PutFile("Boot0000" + kGlobal, 7, sim::BuildLoadOption(1, u"Windows Boot Manager", {sim::NvmeNode(1)}));
  PutFile("Boot0003" + kGlobal, 7, sim::BuildLoadOption(1, u"EFI USB Device", {sim::UsbNode(3, 0)}));
  PutFile("PhysicalBootOrder-59d1c24f-50f1-401a-b101-f33e0daed443", 7, sim::Uint16List({0x0005}));
  PutFile("Boot0005" + kGlobal, 7, sim::BuildLoadOption(1, u"EFI SATA Device", {sim::SataNode(0)}));

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"factory-reset"}, {"request", "mode", "4"}, {"request", "mode", "0x84"}}) {
    SCOPED_TRACE(args.back());
    const RunResult r = Run(args);
    EXPECT_EQ(r.rc, 8);
    EXPECT_FALSE(File(kChgBootFile).has_value());
  }
  const RunResult r = Run({"factory-reset"});
  for (const char* name : {"Setup", "BootOrder", "Boot0000", "Boot0003", "PhysicalBootOrder", "Boot0005",
                           "ZKChgBoot", "resets the machine cold"}) {
    EXPECT_NE(r.out.find(name), std::string::npos) << name << "\n" << r.out;
  }

  // Without a Setup variable the driver deletes nothing but the request.
  std::filesystem::remove(root + "/" + kSetupFile);
  const RunResult noSetup = Run({"factory-reset"});
  EXPECT_EQ(noSetup.rc, 8);
  EXPECT_EQ(noSetup.out.find("Boot0000"), std::string::npos) << noSetup.out;
  EXPECT_NE(noSetup.out.find("does no reset"), std::string::npos) << noSetup.out;
}

TEST_F(ZkbootTest, UnexpectedVariablesAreShownAndNeverRewritten) {
  struct Row {
    std::string file;
    uint32_t attributes;
    Bytes data;
    std::vector<std::string> args;
    std::string shown;
  };
  const Row rows[] = {
      {kChgBootFile, 7, {0x01, 0x81, 0x00}, {"request", "usb"}, "3 bytes where 2 bytes are expected"},
      {kChgBootFile, 3, {0x01, 0x81}, {"request", "pxe"}, "attributes 0x03 where 0x07 are expected"},
      {kChgBootFile, 7, {0x01}, {"factory-reset", "--yes"}, "1 bytes where 2 bytes are expected"},
      {kOobFile, 7, {0x03, 0x00}, {"oob", "set", "2"}, "2 bytes where 1 byte are expected"},
      {kLidFlagFile, 0x27, {0x01}, {"lid-flag", "set", "0"}, "attributes 0x27 where 0x07 are expected"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shown);
    PutFile(row.file, row.attributes, row.data);
    const auto before = File(row.file);
    const RunResult status = Run({});
    EXPECT_EQ(status.rc, 0) << status.err;
    EXPECT_NE(status.out.find("[unexpected: " + row.shown), std::string::npos) << status.out;
    const RunResult r = Run(row.args);
    EXPECT_EQ(r.rc, 7);
    EXPECT_NE(r.err.find(row.shown), std::string::npos) << r.err;
    EXPECT_EQ(File(row.file), before);
    std::filesystem::remove(root + "/" + row.file);
  }
  // A file too short for its attribute prefix is reported, not read as a variable.
  std::ofstream(root + "/" + kChgBootFile) << "ab";
  const RunResult broken = Run({});
  EXPECT_EQ(broken.rc, 7);
  EXPECT_NE(broken.err.find("too short for the 4-byte attribute prefix"), std::string::npos) << broken.err;
}

// Linux's efivarfs keeps the empty file that a refused write created (a
// 1-byte BootNext, say): a name without a variable. zkboot reads it as
// absent, in its status and its prediction, and writes over it.
TEST_F(ZkbootTest, EmptyFileIsNoVariable) {
  std::ofstream(root + "/BootNext-8be4df61-93ca-11d2-aa0d-00e098032b8c").close();
  std::ofstream(root + "/" + kChgBootFile).close();
  const RunResult status = Run({"status", "--json"});
  ASSERT_EQ(status.rc, 0) << status.err;
  const nlohmann::json j = nlohmann::json::parse(status.out);
  EXPECT_EQ(j["bootNext"]["present"], false);
  EXPECT_EQ(j["changeBoot"]["present"], false);
  EXPECT_EQ(j["prediction"]["bootNextWritten"], false);
  const RunResult request = Run({"request", "usb"});
  ASSERT_EQ(request.rc, 0) << request.err;
  EXPECT_EQ(File(kChgBootFile), (std::optional<std::vector<uint8_t>>{{7, 0, 0, 0, 0x01, 0x81}}));
}

TEST_F(ZkbootTest, MissingStoreExitsWith3) {
  std::filesystem::remove(root);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"request", "usb"}, {"clear"}, {"oob", "set", "1"}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.rc, 3);
    EXPECT_NE(r.err.find("no variable store at " + root), std::string::npos) << r.err;
  }
  std::ofstream(root) << "a file, not a directory";
  EXPECT_EQ(Run({}).rc, 3);
}

TEST_F(ZkbootTest, DefaultRootMustBeAnEfivarfsMount) {
  // On this machine /sys/firmware/efi/efivars is either absent or efivarfs;
  // neither is a plain directory, so the default root fails with 3 or works.
  std::ostringstream out, err;
  const int rc = zkboot::Main({"--state-dir", state}, out, err);
  EXPECT_TRUE(rc == 0 || rc == 3) << rc << err.str();
  if (rc == 3) {
    EXPECT_NE(err.str().find("/sys/firmware/efi/efivars"), std::string::npos) << err.str();
  }
}

TEST_F(ZkbootTest, FullStoreExitsWith6) {
  // A tmpfs with few inodes, filled up: creating a variable fails with ENOSPC,
  // as efivarfs does when the firmware store is full.
  if (::mount("tmpfs", root.c_str(), "tmpfs", 0, "size=64k,nr_inodes=8") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << ")";
  }
  for (int i = 0; i < 16; i++) {
    const int fd = ::open((root + "/filler" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) break;
    ::close(fd);
  }
  const RunResult r = Run({"request", "usb"});
  ::umount2(root.c_str(), MNT_DETACH);
  EXPECT_EQ(r.rc, 6) << r.err;
  EXPECT_NE(r.err.find("variable store is full"), std::string::npos) << r.err;
}

TEST_F(ZkbootTest, ReadOnlyStoreExitsWith5) {
  if (::mount("tmpfs", root.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a read-only tmpfs here (" << std::strerror(errno) << ")";
  }
  const RunResult r = Run({"request", "usb"});
  const RunResult oob = Run({"oob", "set", "1"});
  ::umount2(root.c_str(), MNT_DETACH);
  EXPECT_EQ(r.rc, 5) << r.err;
  EXPECT_NE(r.err.find("Read-only file system"), std::string::npos) << r.err;
  EXPECT_EQ(oob.rc, 5) << oob.err;
}

TEST_F(ZkbootTest, NoPermissionExitsWith4) {
  PutFile(kChgBootFile, 7, {0x00, 0x81});
  if (::geteuid() != 0) {
    // An unprivileged user meets a store it may read but not change.
    namespace fs = std::filesystem;
    fs::permissions(root + "/" + kChgBootFile,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(root, fs::perms::owner_read | fs::perms::owner_exec);
    const RunResult r = Run({"request", "usb"});
    const RunResult lid = Run({"lid-flag", "set", "1"});
    fs::permissions(root, fs::perms::owner_all);
    EXPECT_EQ(r.rc, 4) << r.err;
    EXPECT_EQ(lid.rc, 4) << lid.err;
    EXPECT_NE(r.err.find("needs root"), std::string::npos) << r.err;
    return;
  }
  // As root, run the command in a child that has dropped to an unprivileged user.
  std::filesystem::permissions(dir, std::filesystem::perms::all);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipeFds[0]);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
    char codes[3];
    int i = 0;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"request", "usb"}, {"clear"}, {"lid-flag", "set", "1"}}) {
      codes[i++] = static_cast<char>(Run(args).rc);
    }
    ::_exit(::write(pipeFds[1], codes, sizeof(codes)) == sizeof(codes) ? 0 : 1);
  }
  ::close(pipeFds[1]);
  char codes[3] = {};
  const ssize_t got = ::read(pipeFds[0], codes, sizeof(codes));
  ::close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(got, 3);
  EXPECT_EQ(codes[0], 4) << "request usb";
  EXPECT_EQ(codes[1], 4) << "clear";
  EXPECT_EQ(codes[2], 4) << "lid-flag set";
  EXPECT_EQ(File(kChgBootFile), (Bytes{7, 0, 0, 0, 0x00, 0x81}));
}

// Real efivarfs makes the driver's files immutable; the tool lifts the flag
// for a write or delete and puts it back on a file that is still there.
TEST_F(ZkbootTest, ImmutableFilesAreWrittenAndDeleted) {
  PutFile(kChgBootFile, 7, {0x00, 0x81});
  const std::string path = root + "/" + kChgBootFile;
  auto flags = [&]() -> int {
    const int fd = ::open(path.c_str(), O_RDONLY);
    int f = -1;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &f) != 0) f = -1;
    if (fd >= 0) ::close(fd);
    return f;
  };
  auto setFlags = [&](int f) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    const bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_SETFLAGS, &f) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
  };
  const int before = flags();
  if (before < 0 || !setFlags(before | FS_IMMUTABLE_FL)) {
    GTEST_SKIP() << "this filesystem (or this user) keeps no immutable flag: " << std::strerror(errno);
  }
  // The flag really blocks a plain write.
  EXPECT_LT(::open(path.c_str(), O_WRONLY), 0);

  const RunResult r = Run({"request", "usb"});
  const int after = flags();
  setFlags(before);  // lets TearDown remove the file whatever happened
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(File(kChgBootFile), (std::optional<std::vector<uint8_t>>{{7, 0, 0, 0, 0x01, 0x81}}));
  EXPECT_NE(after & FS_IMMUTABLE_FL, 0);

  ASSERT_TRUE(setFlags(before | FS_IMMUTABLE_FL));
  const RunResult cleared = Run({"clear"});
  EXPECT_EQ(cleared.rc, 0) << cleared.err;
  EXPECT_FALSE(File(kChgBootFile).has_value());
}

TEST_F(ZkbootTest, OneTimeRequestIsRemovedOnlyAfterTheDriverTookIt) {
  const std::string marker = state + "/once";
  EXPECT_EQ(Run({"request", "usb", "--once"}).rc, 0);
  EXPECT_TRUE(std::filesystem::exists(marker));

  // Still pending: the boot that takes it has not happened yet.
  RunResult r = Run({"clear", "--once"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(File(kChgBootFile), (std::optional<std::vector<uint8_t>>{{7, 0, 0, 0, 0x01, 0x81}}));

  // The driver took it: the pending byte is 0 now.
  PutFile(kChgBootFile, 7, {0x00, 0x81});
  r = Run({"clear", "--once"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_FALSE(File(kChgBootFile).has_value());
  EXPECT_FALSE(std::filesystem::exists(marker));

  // A request someone rewrote since is not the one-time request: left alone.
  EXPECT_EQ(Run({"request", "usb", "--once"}).rc, 0);
  PutFile(kChgBootFile, 7, {0x00, 0x82});
  EXPECT_EQ(Run({"clear", "--once"}).rc, 0);
  EXPECT_EQ(File(kChgBootFile), (Bytes{7, 0, 0, 0, 0x00, 0x82}));
  EXPECT_FALSE(std::filesystem::exists(marker));

  // A lasting request replaces a one-time one; without a record clear --once does nothing.
  EXPECT_EQ(Run({"request", "pxe", "--once"}).rc, 0);
  EXPECT_EQ(Run({"request", "pxe"}).rc, 0);
  EXPECT_FALSE(std::filesystem::exists(marker));
  PutFile(kChgBootFile, 7, {0x00, 0x82});
  EXPECT_EQ(Run({"clear", "--once"}).rc, 0);
  EXPECT_TRUE(File(kChgBootFile).has_value());
}

TEST_F(ZkbootTest, HelpSaysHowLongARequestLasts) {
  const RunResult r = Run({"--help"});
  EXPECT_EQ(r.rc, 0);
  for (const char* text :
       {"keeps choosing BootNext from the mode byte at every boot", "'zkboot clear' removes", "--once",
        "7 a variable of unexpected size or attributes"}) {
    EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
  }
}

}  // namespace
