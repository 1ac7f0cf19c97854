// Events, event groups and task priority levels.
//
// Signalling a notify-signal event queues its notification at the event's
// TPL. Queued notifications run whenever the TPL is below theirs: at once
// when signalled from a lower TPL, otherwise when RestoreTPL lowers it.
// They run highest TPL first, first-in first-out within one TPL, with the
// TPL raised to the notification's while it runs.
#include <algorithm>

#include "sim/platform_impl.h"

namespace sim {

Event* Platform::Impl::FindEvent(EFI_EVENT event) const {
  if (!event) return nullptr;
  for (const auto& e : events) {
    if (e.get() == event) return e.get();
  }
  return nullptr;
}

EFI_TPL Platform::Impl::RaiseTpl(EFI_TPL newTpl) {
  EFI_TPL old = tpl;
  if (newTpl > TPL_HIGH_LEVEL) {
    Violation("RaiseTPL(" + std::to_string(newTpl) + ") above TPL_HIGH_LEVEL");
  } else if (newTpl < old) {
    Violation("RaiseTPL(" + std::to_string(newTpl) + ") below the current TPL " + std::to_string(old));
  } else {
    tpl = newTpl;
  }
  return old;
}

void Platform::Impl::RestoreTpl(EFI_TPL oldTpl) {
  if (oldTpl > tpl) {
    Violation("RestoreTPL(" + std::to_string(oldTpl) + ") above the current TPL " + std::to_string(tpl));
    return;
  }
  Dispatch(oldTpl);
}

EFI_STATUS Platform::Impl::CreateEvent(uint32_t type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify,
                                       const void* context, const EFI_GUID* group, EFI_EVENT* event) {
  if (!event) return EFI_INVALID_PARAMETER;
  const uint32_t base = type & ~EVT_RUNTIME;
  const bool knownType = base == 0 || base == EVT_TIMER || base == EVT_NOTIFY_WAIT ||
                         base == EVT_NOTIFY_SIGNAL || base == (EVT_TIMER | EVT_NOTIFY_WAIT) ||
                         base == (EVT_TIMER | EVT_NOTIFY_SIGNAL) || type == EVT_SIGNAL_EXIT_BOOT_SERVICES ||
                         type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE;
  if (!knownType) return EFI_INVALID_PARAMETER;
  if (type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) {
    if (!notify || notifyTpl <= TPL_APPLICATION || notifyTpl > TPL_HIGH_LEVEL) return EFI_INVALID_PARAMETER;
  }
  // These two types name their group themselves.
  if (group && (type == EVT_SIGNAL_EXIT_BOOT_SERVICES || type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE)) {
    return EFI_INVALID_PARAMETER;
  }
  auto e = std::make_unique<Event>();
  e->type = type;
  e->tpl = notifyTpl;
  e->notify = notify;
  e->context = const_cast<void*>(context);
  if (group) {
    e->group = *group;
  } else if (type == EVT_SIGNAL_EXIT_BOOT_SERVICES) {
    e->group = kExitBootServicesGroup;
  } else if (type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE) {
    e->group = kVirtualAddressChangeGroup;
  }
  *event = e.get();
  e->serial = ++eventSerial;
  owner->Trace("CreateEvent", [serial = e->serial, type, notifyTpl, g = e->group](TraceEvent& t) {
    const std::string groupName = g ? GuidToString(*g) : std::string();
    t.text = "CreateEvent #" + std::to_string(serial) + " type " + Hex(type) + " TPL " +
             std::to_string(notifyTpl) + (g ? " group " + groupName : std::string());
    t.fields = {{"event", std::to_string(serial)},
                {"type", Hex(type)},
                {"tpl", std::to_string(notifyTpl)},
                {"group", groupName}};
  });
  events.push_back(std::move(e));
  return EFI_SUCCESS;
}

namespace {

void SignalOne(Platform::Impl& sim, Event* e) {
  if (e->type & EVT_NOTIFY_SIGNAL) {
    if (!e->queued) {
      e->queued = true;
      sim.queues[e->tpl].push_back(e);
    }
  } else {
    e->signaled = true;
  }
}

}  // namespace

void Platform::Impl::MarkGroupSignalled(const EFI_GUID& group) {
  for (const auto& e : events) {
    if (e->group && *e->group == group) SignalOne(*this, e.get());
  }
}

void Platform::Impl::MarkSignalled(Event* e) {
  if (e->group) {
    MarkGroupSignalled(*e->group);
  } else {
    SignalOne(*this, e);
  }
}

void Platform::Impl::Dispatch(EFI_TPL level) {
  for (;;) {
    EFI_TPL next = 0;
    for (EFI_TPL t = TPL_HIGH_LEVEL; t > level; --t) {
      if (!queues[t].empty()) {
        next = t;
        break;
      }
    }
    if (next == 0) break;
    Event* e = queues[next].front();
    queues[next].pop_front();
    e->queued = false;
    tpl = next;
    // The notification may close its own event: nothing touches `e` after it.
    const bool exitBootServices = e->group && *e->group == kExitBootServicesGroup;
    const bool wasInside = inExitBootServicesNotify;
    inExitBootServicesNotify = wasInside || exitBootServices;
    e->notify(e, e->context);
    inExitBootServicesNotify = wasInside;
    if (tpl != next) {
      Violation("notification returned at TPL " + std::to_string(tpl) + " instead of " +
                std::to_string(next));
    }
  }
  tpl = level;
}

EFI_STATUS Platform::Impl::SignalEvent(EFI_EVENT event) {
  Event* e = FindEvent(event);
  if (!e) return EFI_INVALID_PARAMETER;
  owner->Trace("SignalEvent", [serial = e->serial](TraceEvent& t) {
    t.text = "SignalEvent #" + std::to_string(serial);
    t.fields = {{"event", std::to_string(serial)}};
  });
  MarkSignalled(e);
  Dispatch(tpl);
  return EFI_SUCCESS;
}

EFI_STATUS Platform::Impl::CloseEvent(EFI_EVENT event) {
  Event* e = FindEvent(event);
  if (!e) return EFI_INVALID_PARAMETER;
  owner->Trace("CloseEvent", [serial = e->serial](TraceEvent& t) {
    t.text = "CloseEvent #" + std::to_string(serial);
    t.fields = {{"event", std::to_string(serial)}};
  });
  if (e->queued) {
    auto& q = queues[e->tpl];
    q.erase(std::remove(q.begin(), q.end(), e), q.end());
  }
  // Closing an event also cancels its protocol-notify registrations.
  protocols.RemoveRegistrations([e](const Registration& r) { return r.event == e; });
  events.erase(std::find_if(events.begin(), events.end(),
                            [e](const std::unique_ptr<Event>& owned) { return owned.get() == e; }));
  return EFI_SUCCESS;
}

EFI_STATUS Platform::Impl::CheckEvent(EFI_EVENT event) {
  Event* e = FindEvent(event);
  if (!e || (e->type & EVT_NOTIFY_SIGNAL)) return EFI_INVALID_PARAMETER;
  if (!e->signaled && (e->type & EVT_NOTIFY_WAIT) && !e->queued) {
    e->queued = true;
    queues[e->tpl].push_back(e);
    Dispatch(tpl);
    e = FindEvent(event);  // the notification may have closed it
    if (!e) return EFI_NOT_READY;
  }
  if (!e->signaled) return EFI_NOT_READY;
  e->signaled = false;
  return EFI_SUCCESS;
}

EFI_STATUS Platform::Impl::WaitForEvent(UINTN count, EFI_EVENT* list, UINTN* index) {
  if (count == 0 || !list || !index) return EFI_INVALID_PARAMETER;
  if (tpl != TPL_APPLICATION) return EFI_UNSUPPORTED;
  for (UINTN i = 0; i < count; ++i) {
    EFI_STATUS s = CheckEvent(list[i]);
    if (s == EFI_SUCCESS || s == EFI_INVALID_PARAMETER) {
      *index = i;
      return s;
    }
  }
  // Without timers or interrupts nothing else can signal the events.
  Fatal("WaitForEvent would wait forever: none of the events can become signalled");
}

void Platform::Impl::DestroyEvents() {
  for (auto& q : queues) q.clear();
  events.clear();
  tpl = TPL_APPLICATION;
}

void Platform::SignalEventGroup(const EFI_GUID& group) {
  Trace("SignalGroup", [group](TraceEvent& e) {
    e.text = "signal event group " + GuidToString(group);
    e.fields = {{"group", GuidToString(group)}};
  });
  impl->MarkGroupSignalled(group);
  impl->Dispatch(impl->tpl);
}

size_t Platform::OpenEventCount() const { return impl->events.size(); }

EFI_TPL Platform::CurrentTpl() const { return impl->tpl; }

}  // namespace sim
