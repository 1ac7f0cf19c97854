// First-boot marker, change-boot request, factory reset and the purge.
#include <algorithm>

#include "bootctl/ec.h"
#include "tests/unit/driver_fixture.h"
#include "tests/unit/shims.h"

namespace {

using ChangeBootTest = DriverTest;

std::vector<uint8_t> SetupRecord(uint8_t a, uint8_t b, uint8_t c, size_t size = 256) {
  std::vector<uint8_t> setup(size, 0xA5);
  setup[92] = a;
  setup[100] = b;
  setup[111] = c;
  return setup;
}

TEST_F(ChangeBootTest, FirstBootMarkerIsCreatedOnce) {
  BOOLEAN first = false;
  EXPECT_EQ(FirstBootCheck(&first), EFI_SUCCESS);
  EXPECT_TRUE(first);
  const sim::Variable* marker = platform.FindVariable(u"ZKFirstBoot", BootControlVendorGuid);
  ASSERT_NE(marker, nullptr);
  EXPECT_EQ(marker->attributes, 7u);
  EXPECT_EQ(marker->data, std::vector<uint8_t>{0x00});

  Boot();
  const uint64_t writes = platform.counters.varWrites;
  EXPECT_EQ(FirstBootCheck(&first), EFI_SUCCESS);
  EXPECT_FALSE(first);
  EXPECT_EQ(platform.counters.varWrites, writes);
  EXPECT_EQ(FirstBootCheck(nullptr), EFI_INVALID_PARAMETER);
}

struct ModeRow {
  const char* name;
  std::vector<uint8_t> request;
  uint8_t a, b, c;  // Setup bytes 92, 100, 111 before
  EFI_STATUS status;
  int cmos;            // expected CMOS 0x61, -1: not written
  uint8_t a2, b2, c2;  // Setup bytes after
  bool reset;          // warm reset expected (Setup saved)
};

class ModeTable : public DriverTest, public ::testing::WithParamInterface<ModeRow> {};

TEST_P(ModeTable, RequestIsTakenAndSetupEdited) {
  const ModeRow& row = GetParam();
  Put(u"ZKChgBoot", BootControlVendorGuid, row.request);
  Put(u"Setup", SetupVariableGuid, SetupRecord(row.a, row.b, row.c), 3);

  // Left over from earlier code: the request copy is zeroed before the read.
  ChangeBootRequest[0] = ChangeBootRequest[1] = 0x55;
  EFI_STATUS status = 0xDEAD;
  const auto reset = Run([&] { status = ProcessChangeBootRequest(); });

  std::vector<uint8_t> taken = row.request;
  taken[0] = 0;
  EXPECT_EQ(Var(u"ZKChgBoot", BootControlVendorGuid), taken);
  const std::vector<uint8_t> setup = *Var(u"Setup", SetupVariableGuid);
  EXPECT_EQ(setup[92], row.a2);
  EXPECT_EQ(setup[100], row.b2);
  EXPECT_EQ(setup[111], row.c2);
  EXPECT_EQ(platform.FindVariable(u"Setup", SetupVariableGuid)->attributes, 3u) << "attributes kept";
  if (row.cmos < 0) {
    EXPECT_TRUE(notebook.cmos.writes.empty());
  } else {
    ASSERT_EQ(notebook.cmos.writes.size(), 1u);
    EXPECT_EQ(notebook.cmos.writes[0].index, 0x61);
    EXPECT_EQ(notebook.cmos.bytes[0x61], row.cmos);
  }
  if (row.reset) {
    EXPECT_EQ(reset, EfiResetWarm);
  } else {
    EXPECT_FALSE(reset.has_value());
    EXPECT_EQ(status, row.status);
    EXPECT_TRUE(HeldBeyondLibraryRecords().empty()) << "Setup copy freed";
  }
  // The mode byte stays in memory for the End-of-DXE handler.
  EXPECT_EQ(ChangeBootRequest[1], row.request.size() > 1 ? row.request[1] : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ModeTable,
    ::testing::Values(
        ModeRow{"mode1_clears_92", {1, 0x01}, 1, 5, 0, EFI_SUCCESS, 1, 0, 5, 0, true},
        ModeRow{"mode1_scan_bit_nothing_to_do", {1, 0x81}, 0, 5, 0, EFI_SUCCESS, 1, 0, 5, 0, false},
        ModeRow{"mode2_no_change", {1, 0x02}, 0, 5, 1, EFI_SUCCESS, 2, 0, 5, 1, false},
        ModeRow{"mode2_sets_111_clears_100", {1, 0x02}, 0, 7, 0, EFI_SUCCESS, 2, 0, 0, 1, true},
        ModeRow{"mode2_clears_92_only", {1, 0x02}, 4, 7, 1, EFI_SUCCESS, 2, 0, 7, 1, true},
        ModeRow{"mode3_clears_111", {1, 0x03}, 1, 7, 1, EFI_SUCCESS, 3, 1, 7, 0, true},
        ModeRow{"mode3_no_change", {1, 0x03}, 1, 7, 0, EFI_SUCCESS, 3, 1, 7, 0, false},
        ModeRow{"mode5_sets_111_clears_100", {1, 0x05}, 1, 7, 0, EFI_SUCCESS, 5, 1, 0, 1, true},
        ModeRow{"mode5_no_change_whatever_100", {1, 0x85}, 1, 7, 1, EFI_SUCCESS, 5, 1, 7, 1, false},
        ModeRow{"mode0_unsupported", {1, 0x00}, 1, 7, 0, EFI_UNSUPPORTED, -1, 1, 7, 0, false},
        ModeRow{"mode6_unsupported", {1, 0x06}, 1, 7, 0, EFI_UNSUPPORTED, -1, 1, 7, 0, false},
        ModeRow{"mode127_unsupported", {1, 0xFF}, 1, 7, 0, EFI_UNSUPPORTED, -1, 1, 7, 0, false},
        ModeRow{"one_byte_request_is_mode0", {1}, 1, 7, 0, EFI_UNSUPPORTED, -1, 1, 7, 0, false}),
    [](const ::testing::TestParamInfo<ModeRow>& info) { return std::string(info.param.name); });

TEST_F(ChangeBootTest, IdleOrOversizedRequestIsNotTaken) {
  struct Row {
    std::optional<std::vector<uint8_t>> request;
    uint8_t modeAfter;  // the mode byte End-of-DXE will see
  };
  // An idle request keeps its mode byte for End-of-DXE; an oversized or
  // absent one is no request and leaves the zeroed copy.
  for (const Row& row : {Row{std::vector<uint8_t>{0, 0x01}, 0x01}, Row{std::vector<uint8_t>{1, 1, 0}, 0},
                         Row{std::nullopt, 0}}) {
    SCOPED_TRACE(row.request ? row.request->size() : 0);
    Boot();
    platform.RemoveVariable(u"ZKChgBoot", BootControlVendorGuid);
    if (row.request) Put(u"ZKChgBoot", BootControlVendorGuid, *row.request);
    Put(u"Setup", SetupVariableGuid, SetupRecord(1, 0, 0));
    const uint64_t writes = platform.counters.varWrites;
    ChangeBootRequest[0] = ChangeBootRequest[1] = 0x55;
    EFI_STATUS status = 0xDEAD;
    EXPECT_FALSE(Run([&] { status = ProcessChangeBootRequest(); }).has_value());
    EXPECT_EQ(status, EFI_SUCCESS);
    EXPECT_EQ(platform.counters.varWrites, writes);
    EXPECT_EQ(Var(u"ZKChgBoot", BootControlVendorGuid), row.request);
    EXPECT_TRUE(notebook.cmos.writes.empty());
    EXPECT_EQ(ChangeBootRequest[1], row.modeAfter);
  }
}

// The marker counts as present whatever stops the read but its absence: a
// larger record, a device error. Only EFI_NOT_FOUND creates it.
TEST_F(ChangeBootTest, FirstBootMarkerIsCreatedOnlyWhenNotFound) {
  struct Row {
    const char* name;
    std::optional<std::vector<uint8_t>> stored;
    EFI_STATUS readFailure;   // EFI_SUCCESS: the real read
    EFI_STATUS writeFailure;  // EFI_SUCCESS: the real write
    bool first;
    EFI_STATUS status;
  };
  const Row rows[] = {
      {"absent", std::nullopt, EFI_SUCCESS, EFI_SUCCESS, true, EFI_SUCCESS},
      {"present", std::vector<uint8_t>{0x00}, EFI_SUCCESS, EFI_SUCCESS, false, EFI_SUCCESS},
      {"larger_than_one_byte", std::vector<uint8_t>{0x00, 0x01}, EFI_SUCCESS, EFI_SUCCESS, false,
       EFI_SUCCESS},
      {"device_error", std::nullopt, EFI_DEVICE_ERROR, EFI_SUCCESS, false, EFI_SUCCESS},
      {"create_fails", std::nullopt, EFI_SUCCESS, EFI_WRITE_PROTECTED, true, EFI_WRITE_PROTECTED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Boot();
    platform.RemoveVariable(u"ZKFirstBoot", BootControlVendorGuid);
    if (row.stored) Put(u"ZKFirstBoot", BootControlVendorGuid, *row.stored, 3);
    const size_t calls = VariableCalls().size();
    BOOLEAN first = !row.first;
    EFI_STATUS status;
    {
      VariableFailures failures(
          RuntimeServices, [&](const std::u16string&) { return row.readFailure; },
          [&](const std::u16string&, UINT32, UINTN) { return row.writeFailure; });
      status = FirstBootCheck(&first);
    }
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(first != 0, row.first);
    const std::vector<std::string> all = VariableCalls();
    const std::vector<std::string> made(all.begin() + static_cast<long>(calls), all.end());
    const bool created = row.first && row.writeFailure == EFI_SUCCESS;
    if (created) {
      const sim::Variable* marker = platform.FindVariable(u"ZKFirstBoot", BootControlVendorGuid);
      ASSERT_NE(marker, nullptr);
      EXPECT_EQ(marker->attributes, 7u);
      EXPECT_EQ(marker->data, std::vector<uint8_t>{0x00});
    } else {
      EXPECT_EQ(std::count(made.begin(), made.end(), "SetVariable ZKFirstBoot"), 0);
      EXPECT_EQ(Var(u"ZKFirstBoot", BootControlVendorGuid), row.stored);
    }
  }
}

TEST_F(ChangeBootTest, RequestIsTakenBeforeSetupIsRead) {
  Put(u"ZKChgBoot", BootControlVendorGuid, {1, 0x01});
  EFI_STATUS status = 0;
  EXPECT_FALSE(Run([&] { status = ProcessChangeBootRequest(); }).has_value());
  EXPECT_EQ(status, EFI_NOT_FOUND);
  EXPECT_EQ(Var(u"ZKChgBoot", BootControlVendorGuid), (std::vector<uint8_t>{0, 0x01}));
  EXPECT_TRUE(notebook.cmos.writes.empty());
  const std::vector<std::string> calls = VariableCalls();
  const auto written = std::find(calls.begin(), calls.end(), "SetVariable ZKChgBoot");
  const auto setupRead = std::find(calls.begin(), calls.end(), "GetVariable Setup");
  ASSERT_NE(written, calls.end());
  ASSERT_NE(setupRead, calls.end());
  EXPECT_LT(written - calls.begin(), setupRead - calls.begin());
}

TEST_F(ChangeBootTest, ShortSetupIsTreatedAsUnreadable) {
  Put(u"ZKChgBoot", BootControlVendorGuid, {1, 0x01});
  Put(u"Setup", SetupVariableGuid, std::vector<uint8_t>(100, 1));
  EFI_STATUS status = 0;
  EXPECT_FALSE(Run([&] { status = ProcessChangeBootRequest(); }).has_value());
  EXPECT_EQ(status, EFI_NOT_FOUND);
  EXPECT_EQ(Var(u"Setup", SetupVariableGuid), std::vector<uint8_t>(100, 1));
  EXPECT_TRUE(notebook.cmos.writes.empty());
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty());
}

// Byte 111 is the last one edited: 112 bytes are enough, 111 are not.
TEST_F(ChangeBootTest, SetupOf112BytesIsEditedAnd111IsNot) {
  for (const size_t size : {size_t{112}, size_t{111}}) {
    SCOPED_TRACE(size);
    Boot();
    Put(u"ZKChgBoot", BootControlVendorGuid, {1, 0x05});
    std::vector<uint8_t> setup(size, 7);
    if (size == 112) setup[111] = 0;
    Put(u"Setup", SetupVariableGuid, setup);
    EFI_STATUS status = 0;
    const auto reset = Run([&] { status = ProcessChangeBootRequest(); });
    if (size == 112) {
      EXPECT_EQ(reset, EfiResetWarm);
      std::vector<uint8_t> edited = setup;
      edited[100] = 0;
      edited[111] = 1;
      EXPECT_EQ(Var(u"Setup", SetupVariableGuid), edited);
    } else {
      EXPECT_FALSE(reset.has_value());
      EXPECT_EQ(status, EFI_NOT_FOUND);
      EXPECT_EQ(Var(u"Setup", SetupVariableGuid), setup);
    }
  }
}

// ---------------------------------------------------------------- factory reset

struct HookState {
  int calls = 0;
  bool removeSetup = false;
  EFI_STATUS status = EFI_SUCCESS;  // what the hook returns
};
HookState gHook;

EFI_STATUS EFIAPI FactoryHook() {
  gHook.calls++;
  if (gHook.removeSetup) sim::Platform::Current()->RemoveVariable(u"Setup", SetupVariableGuid);
  return gHook.status;
}

struct HookInterface {
  UINT32 length;
  UINT8 other[116];
  PLATFORM_FACTORY_RESET_HOOK hook;
};
static_assert(offsetof(HookInterface, hook) == 120, "hook layout");

class FactoryResetTest : public DriverTest {
 protected:
  HookInterface hook{};
  void SetUp() override {
    gHook = HookState{};
    hook.length = sizeof(HookInterface);
    hook.hook = FactoryHook;
    platform.bootHooks.push_back(
        [this](sim::Platform& p) { p.InstallProtocol(PlatformHookProtocolGuid, &hook); });
    DriverTest::SetUp();
    Put(u"ZKChgBoot", BootControlVendorGuid, {1, 0x04});
    Put(u"Setup", SetupVariableGuid, SetupRecord(1, 1, 1));
  }
};

TEST_F(FactoryResetTest, DeletesOptionsInOrderThenColdResets) {
  // Both orders are deleted with the attributes they were read with.
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0000, 0x2001}), 3);
  Put(u"PhysicalBootOrder", PhysicalBootOrderGuid, sim::Uint16List({0x0003}), 6);
  for (const char16_t* name : {u"Boot0000", u"Boot2001", u"Boot0003"}) {
    Put(name, EFI_GLOBAL_VARIABLE, sim::BuildLoadOption(1, u"x", {}));
  }
  EXPECT_EQ(Run([] { ProcessChangeBootRequest(); }), EfiResetCold);
  EXPECT_EQ(notebook.cmos.bytes[0x61], 4);
  EXPECT_EQ(gHook.calls, 1);
  EXPECT_EQ(notebook.cmos.writes.size(), 1u);
  EXPECT_EQ(Deleted(), (std::vector<std::string>{"ZKChgBoot", "Setup", "Boot0000", "Boot2001", "BootOrder",
                                                 "Boot0003", "PhysicalBootOrder"}));
  EXPECT_TRUE(platform.Variables().empty());
}

TEST_F(FactoryResetTest, OptionInBothListsIsDeletedTwice) {
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0001}));
  Put(u"PhysicalBootOrder", PhysicalBootOrderGuid, sim::Uint16List({0x0001, 0x0002}));
  Put(u"Boot0001", EFI_GLOBAL_VARIABLE, sim::BuildLoadOption(1, u"x", {}));
  EXPECT_EQ(Run([] { ProcessChangeBootRequest(); }), EfiResetCold);
  EXPECT_EQ(Deleted(), (std::vector<std::string>{"ZKChgBoot", "Setup", "Boot0001", "BootOrder", "Boot0001",
                                                 "Boot0002", "PhysicalBootOrder"}));
}

TEST_F(FactoryResetTest, NoSetupMeansTheRequestIsOnlyTaken) {
  platform.RemoveVariable(u"Setup", SetupVariableGuid);
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0001}));
  EFI_STATUS status = 0;
  EXPECT_FALSE(Run([&] { status = ProcessChangeBootRequest(); }).has_value());
  EXPECT_EQ(status, EFI_NOT_FOUND);
  EXPECT_EQ(Var(u"ZKChgBoot", BootControlVendorGuid), (std::vector<uint8_t>{0, 0x04}));
  EXPECT_TRUE(notebook.cmos.writes.empty());
  EXPECT_TRUE(Deleted().empty());
  EXPECT_EQ(gHook.calls, 0);
}

TEST_F(FactoryResetTest, SetupRemovedByTheHookEndsTheResetEarly) {
  gHook.removeSetup = true;
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0001}));
  EFI_STATUS status = 0;
  EXPECT_FALSE(Run([&] { status = ProcessChangeBootRequest(); }).has_value());
  EXPECT_EQ(status, EFI_SUCCESS);
  EXPECT_EQ(gHook.calls, 1);
  EXPECT_EQ(Deleted(), std::vector<std::string>{"ZKChgBoot"});
  EXPECT_TRUE(Var(u"BootOrder", EFI_GLOBAL_VARIABLE).has_value());
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty());
}

TEST_F(FactoryResetTest, FailedSetupDeleteEndsTheResetEarly) {
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0001}));
  Put(u"Boot0001", EFI_GLOBAL_VARIABLE, sim::BuildLoadOption(1, u"x", {}));
  std::optional<EFI_RESET_TYPE> reset;
  EFI_STATUS status = 0xDEAD;
  {
    VariableFailures failures(RuntimeServices, nullptr, [](const std::u16string& name, UINT32, UINTN size) {
      return name == u"Setup" && size == 0 ? EFI_WRITE_PROTECTED : EFI_SUCCESS;
    });
    reset = Run([&] { status = ProcessChangeBootRequest(); });
    EXPECT_EQ(failures.failed, 1u);
  }
  EXPECT_FALSE(reset.has_value());
  EXPECT_EQ(status, EFI_SUCCESS);
  EXPECT_EQ(gHook.calls, 1);
  EXPECT_EQ(Deleted(), std::vector<std::string>{"ZKChgBoot"});
  EXPECT_TRUE(Var(u"Setup", SetupVariableGuid).has_value());
  EXPECT_TRUE(Var(u"BootOrder", EFI_GLOBAL_VARIABLE).has_value());
  EXPECT_TRUE(Var(u"Boot0001", EFI_GLOBAL_VARIABLE).has_value());
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty());
}

TEST_F(FactoryResetTest, ShortSetupDoesNotBlockTheFactoryReset) {
  Put(u"Setup", SetupVariableGuid, std::vector<uint8_t>(16, 0));
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0001}));
  EXPECT_EQ(Run([] { ProcessChangeBootRequest(); }), EfiResetCold);
  EXPECT_FALSE(Var(u"Setup", SetupVariableGuid).has_value());
}

TEST_F(ChangeBootTest, FactoryResetHookNeedsAFullInterface) {
  struct Row {
    UINT32 length;
    bool hookSet;
    EFI_STATUS expected;
    int calls;
  };
  for (const Row& row : {Row{127, true, EFI_UNSUPPORTED, 0}, Row{128, false, EFI_UNSUPPORTED, 0},
                         Row{128, true, EFI_SUCCESS, 1}, Row{4096, true, EFI_SUCCESS, 1}}) {
    SCOPED_TRACE(row.length);
    gHook = HookState{};
    HookInterface hook{};
    hook.length = row.length;
    hook.hook = row.hookSet ? FactoryHook : nullptr;
    PlatformHookProtocol = &hook;
    EXPECT_EQ(CallFactoryResetHook(), row.expected);
    EXPECT_EQ(gHook.calls, row.calls);
  }
  // The hook's own status comes back as it is.
  HookInterface hook{};
  hook.length = 128;
  hook.hook = FactoryHook;
  PlatformHookProtocol = &hook;
  gHook = HookState{};
  gHook.status = EFI_ACCESS_DENIED;
  EXPECT_EQ(CallFactoryResetHook(), EFI_ACCESS_DENIED);
  PlatformHookProtocol = nullptr;
  EXPECT_EQ(CallFactoryResetHook(), EFI_UNSUPPORTED);
}

// ---------------------------------------------------------------- markers

unsigned gBusyInstalls;
size_t gIdleWhileBusy;
void EFIAPI CountBusy(EFI_EVENT, void*) {
  gBusyInstalls++;
  gIdleWhileBusy = sim::Platform::Current()->ProtocolCount(PurgeIdleMarkerGuid);
}

std::vector<EFI_HANDLE> Carriers(const EFI_GUID& guid) {
  UINTN count = 0;
  EFI_HANDLE* handles = nullptr;
  if (EFI_ERROR(BootServices->LocateHandleBuffer(ByProtocol, &guid, nullptr, &count, &handles))) return {};
  std::vector<EFI_HANDLE> result(handles, handles + count);
  BootServices->FreePool(handles);
  return result;
}

TEST_F(ChangeBootTest, PurgeSwapsTwoIdleMarkersForOne) {
  const EFI_HANDLE first = platform.InstallProtocol(PurgeIdleMarkerGuid, nullptr);
  const EFI_HANDLE second = platform.InstallProtocol(PurgeIdleMarkerGuid, nullptr);
  gBusyInstalls = 0;
  gIdleWhileBusy = 99;
  EFI_EVENT event = nullptr;
  void* registration = nullptr;
  ASSERT_EQ(BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, CountBusy, nullptr, &event),
            EFI_SUCCESS);
  ASSERT_EQ(BootServices->RegisterProtocolNotify(&PurgeBusyMarkerGuid, event, &registration), EFI_SUCCESS);
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0001}));

  EXPECT_EQ(PurgeBootOptions(), EFI_SUCCESS);
  EXPECT_EQ(gBusyInstalls, 1u);
  EXPECT_EQ(gIdleWhileBusy, 0u) << "both idle markers are gone while the purge runs";
  EXPECT_EQ(platform.ProtocolCount(PurgeBusyMarkerGuid), 0u);
  const std::vector<EFI_HANDLE> idle = Carriers(PurgeIdleMarkerGuid);
  ASSERT_EQ(idle.size(), 1u);
  EXPECT_NE(idle[0], first) << "installed afresh on a new handle";
  EXPECT_NE(idle[0], second);
  BootServices->CloseEvent(event);
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty());
}

TEST_F(ChangeBootTest, PurgeWithoutIdleMarkerTouchesNoMarker) {
  Put(u"BootOrder", EFI_GLOBAL_VARIABLE, sim::Uint16List({0x0001}));
  EXPECT_EQ(PurgeBootOptions(), EFI_SUCCESS);
  EXPECT_EQ(platform.ProtocolCount(PurgeBusyMarkerGuid), 0u);
  EXPECT_EQ(platform.ProtocolCount(PurgeIdleMarkerGuid), 0u);
  EXPECT_FALSE(Var(u"BootOrder", EFI_GLOBAL_VARIABLE).has_value());
}

TEST_F(ChangeBootTest, PurgeWithoutBootOrderRestoresTheIdleMarker) {
  platform.InstallProtocol(PurgeIdleMarkerGuid, nullptr);
  EXPECT_EQ(PurgeBootOptions(), EFI_NOT_FOUND);
  EXPECT_EQ(platform.ProtocolCount(PurgeBusyMarkerGuid), 0u);
  EXPECT_EQ(platform.ProtocolCount(PurgeIdleMarkerGuid), 1u);
}

TEST_F(ChangeBootTest, MarkerSwapRemovesEveryInstanceAndKeepsOne) {
  struct Row {
    const char* name;
    bool enter;
    unsigned idle, busy;            // installed before
    unsigned idleAfter, busyAfter;  // afterwards
  };
  const Row rows[] = {
      {"enter_from_three_idle", true, 3, 0, 0, 1},    {"enter_with_busy_present", true, 1, 1, 0, 1},
      {"enter_without_idle", true, 0, 0, 0, 1},       {"leave_from_two_busy", false, 0, 2, 1, 0},
      {"leave_with_idle_present", false, 1, 1, 1, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Boot();
    for (unsigned i = 0; i < row.idle; i++) platform.InstallProtocol(PurgeIdleMarkerGuid, nullptr);
    for (unsigned i = 0; i < row.busy; i++) platform.InstallProtocol(PurgeBusyMarkerGuid, nullptr);
    EXPECT_EQ(row.enter ? EnterPurgeState() : LeavePurgeState(), EFI_SUCCESS);
    EXPECT_EQ(platform.ProtocolCount(PurgeIdleMarkerGuid), row.idleAfter);
    EXPECT_EQ(platform.ProtocolCount(PurgeBusyMarkerGuid), row.busyAfter);
    EXPECT_TRUE(HeldBeyondLibraryRecords().empty()) << "handle buffer freed";
  }
}

TEST_F(ChangeBootTest, UninstallAllInstancesWithNoneIsSuccess) {
  EXPECT_EQ(UninstallAllInstances(&PurgeBusyMarkerGuid), EFI_SUCCESS);
  EXPECT_TRUE(HeldBeyondLibraryRecords().empty());
}

}  // namespace
