// Notification recorder shared by the simulator tests: each notification
// appends "<name>@<TPL while it ran>" to a log.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/platform.h"

namespace simtest {

struct NotifyLog;

struct Probe {
  NotifyLog* log = nullptr;
  std::string name;
  EFI_EVENT event = nullptr;
  bool closeSelf = false;             // close the event from inside the notification
  std::vector<EFI_EVENT> alsoSignal;  // signal these from inside the notification
  std::vector<EFI_EVENT> alsoClose;   // close these from inside the notification
};

struct NotifyLog {
  explicit NotifyLog(sim::Platform& platform) : p(platform) {}
  sim::Platform& p;
  std::vector<std::string> entries;
  std::vector<std::unique_ptr<Probe>> probes;

  static void EFIAPI Notify(EFI_EVENT event, void* context) {
    Probe* probe = static_cast<Probe*>(context);
    NotifyLog& log = *probe->log;
    EFI_BOOT_SERVICES* bs = log.p.BootServices();
    log.entries.push_back(probe->name + "@" + std::to_string(log.p.CurrentTpl()));
    for (EFI_EVENT e : probe->alsoSignal) bs->SignalEvent(e);
    for (EFI_EVENT e : probe->alsoClose) bs->CloseEvent(e);
    if (probe->closeSelf) bs->CloseEvent(event);
    if (!probe->alsoSignal.empty()) log.entries.push_back(probe->name + ".end");
  }

  // Creates a notify-signal event (in `group` when given) and returns its probe.
  Probe* Create(const std::string& name, EFI_TPL tpl, const EFI_GUID* group = nullptr,
                uint32_t type = EVT_NOTIFY_SIGNAL) {
    probes.push_back(std::make_unique<Probe>());
    Probe* probe = probes.back().get();
    probe->log = this;
    probe->name = name;
    EFI_STATUS s = p.BootServices()->CreateEventEx(type, tpl, Notify, probe, group, &probe->event);
    return s == EFI_SUCCESS ? probe : nullptr;
  }
};

}  // namespace simtest
