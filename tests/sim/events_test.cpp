// Events, event groups and TPL-ordered notification dispatch.
#include <gtest/gtest.h>

#include "sim/platform.h"
#include "tests/sim/notify_log.h"

namespace {

using Log = std::vector<std::string>;
const EFI_GUID kGroup = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

class Events : public ::testing::Test {
 protected:
  void SetUp() override { p.BeginBoot(); }
  sim::Platform p;
  EFI_BOOT_SERVICES* bs = p.BootServices();
  simtest::NotifyLog log{p};
};

TEST_F(Events, GroupSignalRunsHighestTplFirstAndFifoWithinATpl) {
  simtest::Probe* a = log.Create("a", TPL_CALLBACK, &kGroup);
  log.Create("b", TPL_NOTIFY, &kGroup);
  log.Create("c", TPL_CALLBACK, &kGroup);
  log.Create("d", TPL_NOTIFY, &kGroup);
  log.Create("e", TPL_HIGH_LEVEL, &kGroup);
  log.Create("plain", TPL_CALLBACK);
  const Log expected = {"e@31", "b@16", "d@16", "a@8", "c@8"};
  ASSERT_EQ(bs->SignalEvent(a->event), EFI_SUCCESS);  // any member signals the whole group
  EXPECT_EQ(log.entries, expected);
  EXPECT_EQ(p.CurrentTpl(), TPL_APPLICATION);
  log.entries.clear();
  p.SignalEventGroup(kGroup);
  EXPECT_EQ(log.entries, expected);
}

TEST_F(Events, NotificationsWaitUntilTheTplDropsBelowTheirs) {
  struct Case {
    EFI_TPL raiseTo, eventTpl, restoreTo;
    bool runsAtSignal, runsAtRestore;
  };
  const Case cases[] = {
      {TPL_NOTIFY, TPL_CALLBACK, TPL_CALLBACK, false, false},
      {TPL_NOTIFY, TPL_CALLBACK, TPL_APPLICATION, false, true},
      {TPL_NOTIFY, TPL_NOTIFY, TPL_CALLBACK, false, true},
      {TPL_CALLBACK, TPL_NOTIFY, TPL_APPLICATION, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.raiseTo) + "/" + std::to_string(c.eventTpl) + "/" +
                 std::to_string(c.restoreTo));
    log.entries.clear();
    simtest::Probe* probe = log.Create("x", c.eventTpl);
    ASSERT_EQ(bs->RaiseTPL(c.raiseTo), TPL_APPLICATION);
    bs->SignalEvent(probe->event);
    if (!c.runsAtSignal) bs->SignalEvent(probe->event);  // still pending: runs once
    EXPECT_EQ(log.entries.size(), c.runsAtSignal ? 1u : 0u);
    bs->RestoreTPL(c.restoreTo);
    EXPECT_EQ(log.entries.size(), c.runsAtSignal || c.runsAtRestore ? 1u : 0u);
    EXPECT_EQ(p.CurrentTpl(), c.restoreTo);
    bs->RestoreTPL(TPL_APPLICATION);
    EXPECT_EQ(log.entries, Log{"x@" + std::to_string(c.eventTpl)});
  }
  EXPECT_TRUE(p.violations.empty());
  EXPECT_EQ(bs->RaiseTPL(TPL_NOTIFY), TPL_APPLICATION);
  bs->RaiseTPL(TPL_CALLBACK);  // lowering through RaiseTPL is refused and recorded
  EXPECT_EQ(p.CurrentTpl(), TPL_NOTIFY);
  EXPECT_EQ(p.violations.size(), 1u);
}

TEST_F(Events, ClosingAnEventInsideOrBeforeItsNotificationCancelsIt) {
  simtest::Probe* self = log.Create("self", TPL_CALLBACK);
  self->closeSelf = true;
  ASSERT_EQ(bs->SignalEvent(self->event), EFI_SUCCESS);
  EXPECT_EQ(bs->SignalEvent(self->event), EFI_INVALID_PARAMETER);
  EXPECT_EQ(bs->CloseEvent(self->event), EFI_INVALID_PARAMETER);

  simtest::Probe* first = log.Create("first", TPL_NOTIFY, &kGroup);
  simtest::Probe* second = log.Create("second", TPL_CALLBACK, &kGroup);
  first->alsoClose = {second->event};  // closes a queued member of its own group
  p.SignalEventGroup(kGroup);
  EXPECT_EQ(log.entries, (Log{"self@8", "first@16"}));
  EXPECT_EQ(p.OpenEventCount(), 1u);
}

TEST_F(Events, SignalFromANotificationPreemptsOnlyForAHigherTpl) {
  simtest::Probe* outer = log.Create("outer", TPL_CALLBACK);
  simtest::Probe* higher = log.Create("higher", TPL_NOTIFY);
  simtest::Probe* same = log.Create("same", TPL_CALLBACK);
  outer->alsoSignal = {same->event, higher->event};
  bs->SignalEvent(outer->event);
  EXPECT_EQ(log.entries, (Log{"outer@8", "higher@16", "outer.end", "same@8"}));
}

TEST_F(Events, CreateValidatesTypeTplAndFunction) {
  struct Case {
    uint32_t type;
    EFI_TPL tpl;
    bool withFunction;
    const EFI_GUID* group;
    EFI_STATUS expected;
  };
  const Case cases[] = {
      {EVT_NOTIFY_SIGNAL, TPL_CALLBACK, true, &kGroup, EFI_SUCCESS},
      {EVT_NOTIFY_WAIT, TPL_HIGH_LEVEL, true, nullptr, EFI_SUCCESS},
      {0, 0, false, nullptr, EFI_SUCCESS},
      {EVT_NOTIFY_SIGNAL, TPL_APPLICATION, true, nullptr, EFI_INVALID_PARAMETER},
      {EVT_NOTIFY_SIGNAL, TPL_HIGH_LEVEL + 1, true, nullptr, EFI_INVALID_PARAMETER},
      {EVT_NOTIFY_SIGNAL, TPL_CALLBACK, false, nullptr, EFI_INVALID_PARAMETER},
      {EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT, TPL_CALLBACK, true, nullptr, EFI_INVALID_PARAMETER},
      {0x1000, TPL_CALLBACK, true, nullptr, EFI_INVALID_PARAMETER},
      {EVT_SIGNAL_EXIT_BOOT_SERVICES, TPL_NOTIFY, true, &kGroup, EFI_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    EFI_EVENT event = nullptr;
    EXPECT_EQ(bs->CreateEventEx(c.type, c.tpl, c.withFunction ? simtest::NotifyLog::Notify : nullptr, nullptr,
                                c.group, &event),
              c.expected)
        << std::hex << c.type << " tpl " << c.tpl;
    if (event) bs->CloseEvent(event);
  }
  EXPECT_EQ(p.OpenEventCount(), 0u);
}

TEST_F(Events, ExitBootServicesTypeJoinsItsGroup) {
  log.Create("typed", TPL_NOTIFY, nullptr, EVT_SIGNAL_EXIT_BOOT_SERVICES);
  log.Create("member", TPL_CALLBACK, &sim::kExitBootServicesGroup);
  p.SignalEventGroup(kGroup);
  EXPECT_TRUE(log.entries.empty());
  p.SignalEventGroup(sim::kExitBootServicesGroup);
  EXPECT_EQ(log.entries, (Log{"typed@16", "member@8"}));
}

TEST_F(Events, CheckEventReportsAndClearsTheSignalState) {
  EFI_EVENT plain = nullptr;
  ASSERT_EQ(bs->CreateEvent(0, 0, nullptr, nullptr, &plain), EFI_SUCCESS);
  EXPECT_EQ(bs->CheckEvent(plain), EFI_NOT_READY);
  bs->SignalEvent(plain);
  EXPECT_EQ(bs->CheckEvent(plain), EFI_SUCCESS);
  EXPECT_EQ(bs->CheckEvent(plain), EFI_NOT_READY);
  simtest::Probe* wait = log.Create("wait", TPL_CALLBACK, nullptr, EVT_NOTIFY_WAIT);
  wait->alsoSignal = {wait->event};  // its notification, run by the check, signals it
  EXPECT_EQ(bs->CheckEvent(wait->event), EFI_SUCCESS);
  EXPECT_EQ(bs->CheckEvent(log.Create("signal", TPL_CALLBACK)->event), EFI_INVALID_PARAMETER);
}

}  // namespace
