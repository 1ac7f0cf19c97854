// The constructor and destructor chains in their order, seen from the boot
// services each step calls first.
#include <algorithm>
#include <map>

#include "entry/driver.h"
#include "sim/pcd/pcd_db.h"
#include "tests/unit/driver_fixture.h"

namespace {

// Forwards the boot services the chains use to the platform's and records
// each call as "<service> <GUID>" (events by their creation number).
class CallLog {
 public:
  explicit CallLog(sim::Platform& platform) {
    active_ = this;
    system_ = *platform.SystemTable();
    boot_ = *platform.BootServices();
    real_ = *platform.BootServices();
    boot_.LocateProtocol = Locate;
    boot_.InstallProtocolInterface = Install;
    boot_.RegisterProtocolNotify = Notify;
    boot_.InstallConfigurationTable = Config;
    boot_.CreateEvent = Create;
    boot_.CreateEventEx = CreateEx;
    boot_.CloseEvent = Close;
    system_.BootServices = &boot_;
  }
  ~CallLog() { active_ = nullptr; }
  EFI_SYSTEM_TABLE* SystemTable() { return &system_; }
  std::vector<std::string> calls;
  std::map<std::string, std::pair<UINT32, EFI_TPL>> levels;  // "#n": type and notification level

  // Index of the first call equal to `call` at or after `from`; -1 if none.
  int Find(const std::string& call, int from = 0) const {
    for (size_t i = static_cast<size_t>(from); i < calls.size(); ++i) {
      if (calls[i] == call) return static_cast<int>(i);
    }
    return -1;
  }

 private:
  EFI_SYSTEM_TABLE system_;
  EFI_BOOT_SERVICES boot_, real_;
  std::map<EFI_EVENT, int> events_;
  static CallLog* active_;

  static std::string G(const EFI_GUID* g) { return g ? sim::GuidToString(*g) : "null"; }
  void Add(std::string call) { calls.push_back(std::move(call)); }
  std::string EventName(EFI_EVENT e) {
    auto it = events_.find(e);
    return it == events_.end() ? "?" : "#" + std::to_string(it->second);
  }
  void Created(EFI_EVENT* e, EFI_STATUS s) {
    if (!EFI_ERROR(s) && e) events_[*e] = static_cast<int>(events_.size()) + 1;
  }

  static EFI_STATUS EFIAPI Locate(const EFI_GUID* g, void* r, void** i) {
    active_->Add("LocateProtocol " + G(g));
    return active_->real_.LocateProtocol(g, r, i);
  }
  static EFI_STATUS EFIAPI Install(EFI_HANDLE* h, const EFI_GUID* g, EFI_INTERFACE_TYPE t, void* i) {
    active_->Add("InstallProtocolInterface " + G(g));
    return active_->real_.InstallProtocolInterface(h, g, t, i);
  }
  static EFI_STATUS EFIAPI Notify(const EFI_GUID* g, EFI_EVENT e, void** r) {
    active_->Add("RegisterProtocolNotify " + G(g));
    return active_->real_.RegisterProtocolNotify(g, e, r);
  }
  static EFI_STATUS EFIAPI Config(const EFI_GUID* g, void* t) {
    active_->Add("InstallConfigurationTable " + G(g));
    return active_->real_.InstallConfigurationTable(g, t);
  }
  static EFI_STATUS EFIAPI Create(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY f, void* c, EFI_EVENT* e) {
    const EFI_STATUS s = active_->real_.CreateEvent(type, tpl, f, c, e);
    active_->Created(e, s);
    active_->levels[active_->EventName(e ? *e : nullptr)] = {type, tpl};
    active_->Add("CreateEvent " + active_->EventName(e ? *e : nullptr));
    return s;
  }
  static EFI_STATUS EFIAPI CreateEx(UINT32 type, EFI_TPL tpl, EFI_EVENT_NOTIFY f, const void* c,
                                    const EFI_GUID* g, EFI_EVENT* e) {
    const EFI_STATUS s = active_->real_.CreateEventEx(type, tpl, f, c, g, e);
    active_->Created(e, s);
    active_->levels[active_->EventName(e ? *e : nullptr)] = {type, tpl};
    active_->Add("CreateEventEx " + G(g) + " " + active_->EventName(e ? *e : nullptr));
    return s;
  }
  static EFI_STATUS EFIAPI Close(EFI_EVENT e) {
    active_->Add("CloseEvent " + active_->EventName(e));
    return active_->real_.CloseEvent(e);
  }
};
CallLog* CallLog::active_ = nullptr;

using ChainTest = DriverTest;

// Each step is seen by the first boot service only it calls; the steps that
// call none of their own (timer, HOB list, DXE services table, FCH page,
// flash pointers and device, shared buffer, kept area) are covered by their
// own tests.
TEST_F(ChainTest, ConstructorsAndDestructorsRunInTheirOrder) {
  platform.smm.basePresent = true;
  platform.smbusHc = true;
  platform.hii.SetAllPresent(true);
  platform.BeginBoot();
  ResetDriverState();
  CallLog log(platform);
  RunLibraryConstructors(platform.ImageHandle(), log.SystemTable());
  const size_t constructorCalls = log.calls.size();

  const std::vector<std::pair<int, std::string>> steps = {
      {4, "LocateProtocol E49D33ED-513D-4634-B698-6F55AA751C1B"},            // SMBus host controller
      {7, "RegisterProtocolNotify 60FF8964-E906-41D0-AFED-F241E974E08E"},    // boot-script lock
      {7, "CreateEventEx 7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B #2"},          // ready to boot
      {8, "InstallProtocolInterface F4540D21-18C6-4E74-BC2D-3C6FA08D8BC6"},  // list anchor
      {9, "InstallProtocolInterface AF62673D-DEDA-43AE-8F03-9C2D89FD78DA"},  // heap buffer list
      {11, "CreateEventEx 27ABF055-B1B8-4C26-8048-748F37BAA2DF #3"},         // exit boot services
      {12, "RegisterProtocolNotify 1C2E4602-E3BA-4B07-E3B8-3555A51C613A"},   // pointer registry
      {14, "CreateEventEx 27ABF055-B1B8-4C26-8048-748F37BAA2DF #5"},         // exit boot services
      {17, "LocateProtocol 0FD96974-23AA-4CDC-B9CB-98D17750322A"},           // HII string
      {17, "LocateProtocol EF9FC172-A1B2-4693-B327-6D32FC416042"},           // HII database
      {17, "LocateProtocol 587E72D7-CC50-4F79-8209-CA291FC1A10F"},           // HII configuration routing
      {17, "LocateProtocol E9CA4775-8657-47FC-97E7-7ED65A084324"},           // HII font
      {17, "LocateProtocol 31A6406A-6BDF-4E46-B2A2-EBAA89C40920"},           // HII image
      {20, "LocateProtocol DA8A55E4-4940-4AF9-9F36-2DB43EC28259"},           // shared record
      {20, "InstallProtocolInterface DA8A55E4-4940-4AF9-9F36-2DB43EC28259"},
      {20, "RegisterProtocolNotify 8BFFF2C1-0BB8-47FD-9F6A-AEC101ACBE6E"},  // watched protocol
      {21, "LocateProtocol 14AFC99E-E23E-11E1-A234-D0DF9A35C106"},          // platform hook
  };
  int at = 0;
  for (const auto& [step, call] : steps) {
    const int found = log.Find(call, at);
    EXPECT_GE(found, at) << "step " << step << ": " << call << " missing or out of order";
    if (found >= 0) at = found + 1;
  }
  // The watched protocol's event is the one created just before its
  // registration.
  const int watched = log.Find("RegisterProtocolNotify 8BFFF2C1-0BB8-47FD-9F6A-AEC101ACBE6E");
  ASSERT_GT(watched, 0);
  ASSERT_EQ(log.calls[static_cast<size_t>(watched) - 1].rfind("CreateEvent #", 0), 0u);
  const std::string watchEvent = log.calls[static_cast<size_t>(watched) - 1].substr(12);

  RunLibraryDestructors(platform.ImageHandle(), log.SystemTable());
  const std::vector<std::string> closes(log.calls.begin() + static_cast<long>(constructorCalls),
                                        log.calls.end());
  EXPECT_EQ(closes, (std::vector<std::string>{
                        "CloseEvent " + watchEvent,  // 1: string package
                        "CloseEvent #5",             // 2, 3: flash runtime pointers
                        "CloseEvent #4",             // 4: pointer registry
                        "CloseEvent #3",             // 5: boot services ended
                        "CloseEvent #1",             // 6: chipset S3 save table
                        "CloseEvent #2",
                    }));
  EXPECT_TRUE(platform.violations.empty()) << platform.violations.front();
}

// Every event the libraries and the entry create: its type and the level its
// notification runs at, named by the group or protocol it waits for.
TEST_F(ChainTest, EveryEventNotifiesAtItsLevel) {
  const EFI_GUID scriptSpace = {0xA1AFF049, 0xFDEB, 0x442A, {0xB3, 0x20, 0x13, 0xAB, 0x4C, 0xB7, 0x2B, 0xBC}};
  sim::PcdDatabase pcd{platform};
  for (uint64_t token : {0x30000, 0x30001}) pcd.Declare(scriptSpace, token, sim::PcdDatabase::Kind::U64, 0);
  platform.hii.SetAllPresent(true);
  platform.BeginBoot();
  ResetDriverState();
  CallLog log(platform);
  RunLibraryConstructors(platform.ImageHandle(), log.SystemTable());
  ModuleEntry(platform.ImageHandle(), log.SystemTable());
  std::multimap<std::string, std::pair<UINT32, EFI_TPL>> seen;
  for (size_t i = 0; i < log.calls.size(); ++i) {
    const std::string& call = log.calls[i];
    if (call.rfind("CreateEventEx ", 0) == 0) {
      const std::string group = call.substr(14, 36);
      seen.emplace("group " + group, log.levels[call.substr(51)]);
    } else if (call.rfind("RegisterProtocolNotify ", 0) == 0 && i > 0 &&
               log.calls[i - 1].rfind("CreateEvent #", 0) == 0) {
      seen.emplace("protocol " + call.substr(23), log.levels[log.calls[i - 1].substr(12)]);
    }
  }
  const std::multimap<std::string, std::pair<UINT32, EFI_TPL>> expected = {
      {"protocol 60FF8964-E906-41D0-AFED-F241E974E08E",
       {0x200, 16}},                                                  // boot-script sealing, before SMM locks
      {"protocol 60FF8964-E906-41D0-AFED-F241E974E08E", {0x200, 8}},  // chipset S3 record lock
      {"group 7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B", {0x200, 8}},     // chipset S3 table close
      {"group 27ABF055-B1B8-4C26-8048-748F37BAA2DF", {0x200, 16}},    // boot services ended
      {"protocol 1C2E4602-E3BA-4B07-E3B8-3555A51C613A", {0x200, 8}},  // pointer registry
      {"group 27ABF055-B1B8-4C26-8048-748F37BAA2DF", {0x200, 8}},     // flash runtime pointers
      {"protocol 8BFFF2C1-0BB8-47FD-9F6A-AEC101ACBE6E", {0x200, 8}},  // watched protocol
      {"group 02CE967A-DD7E-4FFC-9EE7-810CF0470880", {0x200, 8}},     // End-of-DXE
  };
  EXPECT_EQ(seen, expected);
}

// Loaded after the ready-to-lock point, the chipset S3 library's lock event
// fires and closes itself while it is being created; the destructor must not
// close it a second time.
TEST_F(ChainTest, ALoadAfterReadyToLockClosesTheLockEventOnce) {
  const EFI_GUID readyToLock = {0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}};
  platform.bootHooks.push_back([&](sim::Platform& p) { p.InstallProtocol(readyToLock, nullptr); });
  platform.BeginBoot();
  ResetDriverState();
  CallLog log(platform);
  RunLibraryConstructors(platform.ImageHandle(), log.SystemTable());
  const int registered = log.Find("RegisterProtocolNotify 60FF8964-E906-41D0-AFED-F241E974E08E");
  ASSERT_GT(registered, 0);
  const std::string created = log.calls[static_cast<size_t>(registered) - 1];
  ASSERT_EQ(created.rfind("CreateEvent #", 0), 0u);
  const std::string close = "CloseEvent " + created.substr(12);
  EXPECT_GT(log.Find(close, registered), registered) << "closed by its own registration run";
  const size_t events = platform.OpenEventCount();
  const size_t before = log.calls.size();
  RunLibraryDestructors(platform.ImageHandle(), log.SystemTable());
  EXPECT_EQ(std::count(log.calls.begin(), log.calls.end(), close), 1);
  // Every close the destructors make finds an open event.
  EXPECT_GT(log.calls.size(), before);
  EXPECT_EQ(platform.OpenEventCount(), events - (log.calls.size() - before));
  platform.bootHooks.pop_back();
}

}  // namespace
