// Triggers, handlers and the delivery of event messages.
//
// Handler lists are changed and walked under the data lock only: a delivery
// takes a snapshot of the records under the lock and then calls them with no
// lock held, looking at each record's removed mark (under the lock) just
// before its call. A record removed during a delivery stays alive in the
// snapshot until the delivery has ended, so a handler that removes itself is
// never freed while it runs.
#include <algorithm>
#include <cctype>

#include "AwUser.h"

namespace {
uint8_t UpperCase(uint8_t Value) { return static_cast<uint8_t>(std::toupper(Value)); }

template <typename TRecord>
TRecord* FindTrigger(std::vector<TRecord>& List, int32_t Handle) {
  for (TRecord& record : List)
    if (record.Handle == Handle) return &record;
  return nullptr;
}
}  // namespace

// ---------------------------------------------------------------------------
// Handlers

void TApdBaseDispatcher::RegisterWindowHandler(TApdMessageWindow* Window) {
  if (!Window) return;
  auto record = std::make_shared<THandlerRecord>();
  record->Kind = THandlerRecord::KindWindow;
  record->Window = Window;
  std::lock_guard<std::mutex> guard(FDataSection);
  FWindowHandlers.push_back(std::move(record));
  FHandlersPresent = true;
  AddDispatchEntry(DlRegister, DlsWindow, 0, nullptr, 0);
}

int32_t TApdBaseDispatcher::RegisterEventHandler(TApdEventProc Handler, bool Synchronized) {
  auto record = std::make_shared<THandlerRecord>();
  record->Kind = THandlerRecord::KindEvent;
  record->Proc = std::move(Handler);
  record->Synchronized = Synchronized;
  std::lock_guard<std::mutex> guard(FDataSection);
  record->Id = FNextHandlerId++;
  FEventHandlers.push_back(record);
  FHandlersPresent = true;
  AddDispatchEntry(DlRegister, DlsEvent, 0, nullptr, static_cast<uint32_t>(record->Id));
  return record->Id;
}

int32_t TApdBaseDispatcher::RegisterProcHandler(TApdEventProc Handler) {
  auto record = std::make_shared<THandlerRecord>();
  record->Kind = THandlerRecord::KindProc;
  record->Proc = std::move(Handler);
  std::lock_guard<std::mutex> guard(FDataSection);
  record->Id = FNextHandlerId++;
  FProcHandlers.push_back(record);
  FHandlersPresent = true;
  AddDispatchEntry(DlRegister, DlsProc, 0, nullptr, static_cast<uint32_t>(record->Id));
  return record->Id;
}

void TApdBaseDispatcher::DeregisterWindowHandler(TApdMessageWindow* Window) {
  DeregisterHandler(THandlerRecord::KindWindow, 0, Window);
}

void TApdBaseDispatcher::DeregisterEventHandler(int32_t Id) { DeregisterHandler(THandlerRecord::KindEvent, Id, nullptr); }

void TApdBaseDispatcher::DeregisterProcHandler(int32_t Id) { DeregisterHandler(THandlerRecord::KindProc, Id, nullptr); }

void TApdBaseDispatcher::DeregisterHandler(THandlerRecord::TKind Kind, int32_t Id, TApdMessageWindow* Window) {
  std::lock_guard<std::mutex> guard(FDataSection);
  std::vector<THandlerPtr>& list = Kind == THandlerRecord::KindWindow ? FWindowHandlers
                                   : Kind == THandlerRecord::KindProc ? FProcHandlers
                                                                  : FEventHandlers;
  auto found = std::find_if(list.begin(), list.end(), [&](const THandlerPtr& record) {
    return !record->Removed && (Kind == THandlerRecord::KindWindow ? record->Window == Window : record->Id == Id);
  });
  if (found != list.end()) {
    (*found)->Removed = true;
    if (FInDispatch.load())
      FRemovalsPending = true;
    else
      list.erase(found);
    const uint8_t subKind = Kind == THandlerRecord::KindWindow ? DlsWindow : Kind == THandlerRecord::KindProc ? DlsProc : DlsEvent;
    AddDispatchEntry(DlDeregister, subKind, 0, nullptr, static_cast<uint32_t>(Id));
  }
  UpdateHandlerFlagsLocked(0);
}

void TApdBaseDispatcher::UpdateHandlerFlags(int32_t Mode) {
  std::lock_guard<std::mutex> guard(FDataSection);
  UpdateHandlerFlagsLocked(Mode);
}

void TApdBaseDispatcher::UpdateHandlerFlagsLocked(int32_t Mode) {
  auto live = [](const std::vector<THandlerPtr>& list) {
    return std::count_if(list.begin(), list.end(), [](const THandlerPtr& record) { return !record->Removed; });
  };
  // The port's own window alone is no receiver unless dispatch is forced.
  const bool any = live(FWindowHandlers) >= 2 || live(FProcHandlers) > 0 || live(FEventHandlers) > 0;
  switch (Mode) {
    case 0: FHandlersPresent = any || FForcedDispatch; break;
    case 1:
      FForcedDispatch = true;
      FHandlersPresent = true;
      break;
    case 2:
      FForcedDispatch = false;
      FHandlersPresent = any;
      break;
    default: break;
  }
}

bool TApdBaseDispatcher::AnyReceiverLocked() const {
  // What SendEvent would deliver to: a lone window only while dispatch is forced.
  auto live = [](const std::vector<THandlerPtr>& list) {
    return std::count_if(list.begin(), list.end(), [](const THandlerPtr& record) { return !record->Removed; });
  };
  if (!FHandlersPresent) return false;
  const auto windows = live(FWindowHandlers);
  return live(FEventHandlers) > 0 || live(FProcHandlers) > 0 || (windows > 0 && (windows >= 2 || FForcedDispatch));
}

// ---------------------------------------------------------------------------
// Triggers

int32_t TApdBaseDispatcher::NewTriggerHandle(uint32_t Kind) {
  const int32_t handle = (FNextTrigger << 3) | static_cast<int32_t>(Kind & 7);
  FNextTrigger = FNextTrigger >= (1 << 27) ? 1 : FNextTrigger + 1;
  return handle;
}

void TApdBaseDispatcher::SetLengthTrigger(uint32_t Length) {
  std::lock_guard<std::mutex> guard(FDataSection);
  FLengthTrigger = Length;
  AddDispatchEntry(DlTriggerSet, DlsLength, 0, nullptr, Length);
}

uint32_t TApdBaseDispatcher::LengthTrigger() const {
  std::lock_guard<std::mutex> guard(FDataSection);
  return FLengthTrigger;
}

int32_t TApdBaseDispatcher::AddDataTrigger(const std::string& Data, bool IgnoreCase) {
  if (Data.empty()) return -1002;
  if (Data.size() > MaxTriggerData) return -5002;
  std::lock_guard<std::mutex> guard(FDataSection);
  if (FTimerTriggers.size() + FDataTriggers.size() + FStatusTriggers.size() >= MaxTriggers) return -5001;
  TDataTrigger trigger;
  trigger.Handle = NewTriggerHandle(0);
  trigger.Length = static_cast<uint32_t>(Data.size());
  trigger.IgnoreCase = IgnoreCase;
  for (size_t i = 0; i < Data.size(); ++i) {
    const uint8_t value = static_cast<uint8_t>(Data[i]);
    trigger.Pattern[i] = IgnoreCase ? UpperCase(value) : value;
  }
  FDataTriggers.push_back(trigger);
  return trigger.Handle;
}

int32_t TApdBaseDispatcher::AddTimerTrigger() {
  std::lock_guard<std::mutex> guard(FDataSection);
  if (FTimerTriggers.size() + FDataTriggers.size() + FStatusTriggers.size() >= MaxTriggers) return -5001;
  TTimerTrigger trigger;
  trigger.Handle = NewTriggerHandle(0);
  FTimerTriggers.push_back(trigger);
  return trigger.Handle;
}

int32_t TApdBaseDispatcher::AddStatusTrigger(uint32_t Kind) {
  if (Kind < StatusModem || Kind > StatusOutSent) return -1002;
  std::lock_guard<std::mutex> guard(FDataSection);
  if (FTimerTriggers.size() + FDataTriggers.size() + FStatusTriggers.size() >= MaxTriggers) return -5001;
  TStatusTrigger trigger;
  trigger.Handle = NewTriggerHandle(Kind);
  trigger.Kind = Kind;
  FStatusTriggers.push_back(trigger);
  return trigger.Handle;
}

int32_t TApdBaseDispatcher::RemoveTrigger(int32_t Handle) {
  std::lock_guard<std::mutex> guard(FDataSection);
  auto erase = [Handle](auto& list) {
    auto found = std::find_if(list.begin(), list.end(), [Handle](const auto& record) { return record.Handle == Handle; });
    if (found == list.end()) return false;
    list.erase(found);
    return true;
  };
  if (erase(FTimerTriggers) || erase(FDataTriggers) || erase(FStatusTriggers)) {
    NoteArmedStatusKinds();
    return 0;
  }
  return -5003;
}

int32_t TApdBaseDispatcher::SetTimerTrigger(int32_t Handle, int32_t Ticks, bool Activate) {
  std::lock_guard<std::mutex> guard(FDataSection);
  TTimerTrigger* trigger = FindTrigger(FTimerTriggers, Handle);
  if (!trigger) return -5003;
  if (Activate) StartTickTimer(trigger->Timer, Ticks);
  trigger->Active = Activate;
  return 0;
}

int32_t TApdBaseDispatcher::SetStatusTrigger(int32_t Handle, uint32_t Value, bool Activate) {
  std::lock_guard<std::mutex> guard(FDataSection);
  TStatusTrigger* trigger = FindTrigger(FStatusTriggers, Handle);
  if (!trigger) return -5003;
  trigger->Value = static_cast<uint16_t>(Value);
  trigger->Armed = Activate;
  trigger->Fired = false;
  // Output sent reports output queued after it was armed.
  if (Activate && trigger->Kind == StatusOutSent) FDataSent = false;
  NoteArmedStatusKinds();
  return 0;
}

void TApdBaseDispatcher::NoteArmedStatusKinds() {
  uint32_t kinds = 0;
  for (const TStatusTrigger& trigger : FStatusTriggers)
    if (trigger.Armed) kinds |= 1u << trigger.Kind;
  FArmedStatusKinds = kinds;
}

void TApdBaseDispatcher::ClearTriggers() {
  std::lock_guard<std::mutex> guard(FDataSection);
  FTimerTriggers.clear();
  FDataTriggers.clear();
  FStatusTriggers.clear();
  FLengthTrigger = 0;
  FArmedStatusKinds = 0;
}

void TApdBaseDispatcher::ResetStatusTriggers() {
  std::lock_guard<std::mutex> guard(FDataSection);
  ResetStatusTriggersLocked();
}

void TApdBaseDispatcher::ResetStatusTriggersLocked() {
  for (TStatusTrigger& trigger : FStatusTriggers) trigger.Fired = false;
  FStatusTriggerFired = false;
}

void TApdBaseDispatcher::ResetDataTriggerCountersLocked(uint64_t FlushedUpTo) {
  // Flushed bytes are thrown away unmatched.
  FDataScanPos = std::max(FDataScanPos, FlushedUpTo);
  for (TDataTrigger& trigger : FDataTriggers) {
    trigger.Counters.fill(0);
    trigger.AnyPartial = false;
  }
}

void TApdBaseDispatcher::SaveTriggers(TTriggerSave& Save) {
  std::lock_guard<std::mutex> guard(FDataSection);
  Save.LengthTrigger = FLengthTrigger;
  Save.TimerTriggers = FTimerTriggers;
  Save.DataTriggers = FDataTriggers;
  Save.StatusTriggers = FStatusTriggers;
}

void TApdBaseDispatcher::RestoreTriggers(const TTriggerSave& Save) {
  std::lock_guard<std::mutex> guard(FDataSection);
  FLengthTrigger = Save.LengthTrigger;
  FTimerTriggers = Save.TimerTriggers;
  FDataTriggers = Save.DataTriggers;
  FStatusTriggers = Save.StatusTriggers;
  // New handles never repeat one that came back.
  int32_t highest = 0;
  for (const auto& trigger : FTimerTriggers) highest = std::max(highest, trigger.Handle >> 3);
  for (const auto& trigger : FDataTriggers) highest = std::max(highest, trigger.Handle >> 3);
  for (const auto& trigger : FStatusTriggers) highest = std::max(highest, trigger.Handle >> 3);
  FNextTrigger = std::max(FNextTrigger, highest + 1);
  NoteArmedStatusKinds();
}

// ---------------------------------------------------------------------------
// The checks (dispatch thread)

bool TApdBaseDispatcher::MatchDataTrigger(TDataTrigger& Trigger, uint8_t Value) {
  const uint8_t c = Trigger.IgnoreCase ? UpperCase(Value) : Value;
  const uint8_t* p = Trigger.Pattern.data();
  uint32_t* k = Trigger.Counters.data();
  const uint32_t n = Trigger.Length;
  // Nothing under way and no start here: every slot stays as it is.
  if (!Trigger.AnyPartial && c != p[0]) return false;
  // Slot j follows a partial match that began at some earlier byte; a new
  // start takes the first free slot.
  bool startTaken = false;
  bool matched = false;
  for (uint32_t j = 0; j < n; ++j) {
    if (j > 0 && k[j] == 0 && (startTaken || p[0] != c)) continue;
    if (p[k[j]] != c) {
      k[j] = p[0] == c ? 1 : 0;
    } else if (k[j] == n - 1) {
      matched = true;
      Trigger.Counters.fill(0);
    } else {
      ++k[j];
    }
    if (k[j] == 1) startTaken = true;
  }
  Trigger.AnyPartial = std::any_of(k, k + n, [](uint32_t count) { return count != 0; });
  return matched;
}

bool TApdBaseDispatcher::DataTriggerCheck() {
  std::vector<TPendingEvent> events;
  {
    std::lock_guard<std::mutex> guard(FDataSection);
    uint64_t head, tail;
    const uint8_t* ring;
    uint64_t size;
    {
      std::lock_guard<std::mutex> disp(FDispSection);
      head = FRxHead;
      tail = FRxTail;
      ring = FRxBuffer.data();
      size = FRxBuffer.size();
    }
    if (size == 0) return false;
    // Bytes that a reader took before they were looked at are still matched:
    // only this thread stores into the ring, and it stores only after the walk
    // has reached the head, so they stay in place. A ring position behind the
    // head by more than the ring's size has been stored over, and is skipped.
    FDataScanPos = std::clamp(FDataScanPos, head > size ? head - size : 0, head);
    const bool patterns = std::any_of(FDataTriggers.begin(), FDataTriggers.end(),
                                      [](const TDataTrigger& trigger) { return trigger.Length != 0; });
    bool matched = false;
    if (patterns) {
      while (FDataScanPos < head && !matched) {
        const uint64_t position = FDataScanPos++;
        const uint8_t value = ring[position % size];
        uint32_t longest = 0;
        for (TDataTrigger& trigger : FDataTriggers) {
          if (trigger.Length == 0) continue;
          if (MatchDataTrigger(trigger, value)) trigger.Matched = true;
          if (trigger.Matched) {
            matched = true;
            longest = std::max(longest, trigger.Length);
          }
        }
        if (!matched) continue;
        // The bytes still held before the pattern: none when a reader has
        // taken them (or the pattern's own bytes) already.
        const uint64_t upTo = position + 1 > tail ? position + 1 - tail : 0;
        const uint32_t count = static_cast<uint32_t>(upTo > longest ? upTo - longest : 0);
        if (FLengthTrigger != 0 && AnyReceiverLocked() && FLastLengthPos != position + 1 && count >= FLengthTrigger) {
          AddDispatchEntry(DlTrigger, DlsAvail, 0, nullptr, count);
          events.push_back({ApwTriggerAvail, count, 0});
          FLastLengthPos = position + 1;
        }
        for (TDataTrigger& trigger : FDataTriggers) {
          if (!trigger.Matched) continue;
          trigger.Matched = false;
          AddDispatchEntry(DlTrigger, DlsData, 0, nullptr, static_cast<uint32_t>(trigger.Handle));
          events.push_back({ApwTriggerData, static_cast<uint32_t>(trigger.Handle), trigger.Length});
        }
      }
    } else {
      FDataScanPos = head;
    }
    if (!matched) {
      // Bytes that came while nobody listened are offered once somebody does: a
      // full ring brings no further arrival to offer them with.
      const uint32_t count = static_cast<uint32_t>(head - tail);
      if (FLengthTrigger != 0 && AnyReceiverLocked() && count >= FLengthTrigger && FLastLengthPos != head) {
        AddDispatchEntry(DlTrigger, DlsAvail, 0, nullptr, count);
        events.push_back({ApwTriggerAvail, count, 0});
        FLastLengthPos = head;
      }
    }
  }
  bool result = false;
  for (const TPendingEvent& event : events) {
    result = SendEvent(event.Msg, event.Param, event.Data);
    if (FClosePending.load() || FKillThreads.load()) return false;
  }
  return result;
}

bool TApdBaseDispatcher::StatusTriggerCheck() {
  TPendingEvent event{0, 0, 0};
  {
    std::lock_guard<std::mutex> guard(FDataSection);
    for (TStatusTrigger& trigger : FStatusTriggers) {
      if (!trigger.Armed || trigger.Fired) continue;
      bool fire = false;
      uint32_t count = 0;
      switch (trigger.Kind) {
        case StatusModem:
          fire = ((trigger.Value & 0xFF) ^ FModemStatus) & (trigger.Value >> 8);
          break;
        case StatusLine:
          fire = (trigger.Value & FLineErrors) != 0;
          if (fire) trigger.Value = static_cast<uint16_t>(FLineErrors);
          break;
        case StatusOutBuffFree:
        case StatusOutBuffUsed: {
          std::lock_guard<std::mutex> output(FOutputSection);
          const uint32_t used = TransmitUsedLocked();
          count = trigger.Kind == StatusOutBuffFree ? static_cast<uint32_t>(FTxBuffer.size()) - used : used;
          fire = trigger.Kind == StatusOutBuffFree ? count >= trigger.Value : count <= trigger.Value;
          break;
        }
        case StatusOutSent:
          fire = FDataSent.exchange(false);
          break;
        default: break;
      }
      if (!fire) continue;
      trigger.Armed = false;
      trigger.Fired = true;
      FStatusTriggerFired = true;
      NoteArmedStatusKinds();
      AddDispatchEntry(DlTrigger, DlsStatus, 0, nullptr, static_cast<uint32_t>(trigger.Handle));
      event = {ApwTriggerStatus, static_cast<uint32_t>(trigger.Handle), count};
      break;
    }
  }
  if (event.Msg == 0) return false;
  return SendEvent(event.Msg, event.Param, event.Data);
}

bool TApdBaseDispatcher::TimerTriggerCheck() {
  TPendingEvent event{0, 0, 0};
  {
    std::lock_guard<std::mutex> guard(FDataSection);
    const uint64_t now = ReadMillisecondClock();
    for (TTimerTrigger& trigger : FTimerTriggers) {
      if (!trigger.Active || !TickTimerExpiredAt(trigger.Timer, now)) continue;
      trigger.Active = false;
      AddDispatchEntry(DlTrigger, DlsTimer, 0, nullptr, static_cast<uint32_t>(trigger.Handle));
      event = {ApwTriggerTimer, static_cast<uint32_t>(trigger.Handle), 0};
      break;
    }
  }
  if (event.Msg == 0) return false;
  return SendEvent(event.Msg, event.Param, event.Data);
}

// ---------------------------------------------------------------------------
// Delivery

bool TApdBaseDispatcher::SendEvent(uint32_t Msg, uint32_t Param, uint32_t Data) {
  std::vector<THandlerPtr> receivers;
  {
    std::lock_guard<std::mutex> guard(FDataSection);
    if (!FHandlersPresent) return true;
    FInDispatch = true;
    // Event handlers first, then procedures, then windows.
    receivers.reserve(FEventHandlers.size() + FProcHandlers.size() + FWindowHandlers.size());
    receivers.insert(receivers.end(), FEventHandlers.begin(), FEventHandlers.end());
    receivers.insert(receivers.end(), FProcHandlers.begin(), FProcHandlers.end());
    const auto windows = std::count_if(FWindowHandlers.begin(), FWindowHandlers.end(),
                                       [](const THandlerPtr& record) { return !record->Removed; });
    if (windows >= 2 || FForcedDispatch)
      receivers.insert(receivers.end(), FWindowHandlers.begin(), FWindowHandlers.end());
  }
  const bool peek = Msg == ApwTriggerAvail || Msg == ApwTriggerData;
  {
    std::lock_guard<std::mutex> guard(FDispSection);
    FPeekMode = peek;
    FTaken = FMaxTaken = 0;
  }
  const uint32_t lParam = (static_cast<uint32_t>(FHandle) << 16) | (Data & 0xFFFF);
  bool result = true;
  for (const THandlerPtr& record : receivers) {
    if (FClosePending.load() || FKillThreads.load()) {
      result = false;
      break;
    }
    Deliver(record, Msg, Param, lParam);
  }
  bool madeRoom = false;
  {
    std::lock_guard<std::mutex> guard(FDispSection);
    if (peek) {
      FPeekMode = false;
      const uint64_t taken = std::min<uint64_t>(FMaxTaken, FRxHead - FRxTail);
      FRxTail += taken;
      madeRoom = taken != 0;
      if (Msg == ApwTriggerAvail && FMaxTaken != Param) result = false;
    }
    FTaken = FMaxTaken = 0;
  }
  if (madeRoom) ReceiveRoomMade();
  std::lock_guard<std::mutex> guard(FDataSection);
  FInDispatch = false;
  if (FRemovalsPending) {
    for (auto* list : {&FWindowHandlers, &FProcHandlers, &FEventHandlers})
      list->erase(std::remove_if(list->begin(), list->end(), [](const THandlerPtr& record) { return record->Removed; }),
                  list->end());
    FRemovalsPending = false;
    UpdateHandlerFlagsLocked(0);
  }
  return result;
}

void TApdBaseDispatcher::Deliver(const THandlerPtr& Record, uint32_t Msg, uint32_t Param, uint32_t LParam) {
  // Runs the handler on the calling thread, with the peek bookkeeping around it.
  auto run = [this, Record, Msg, Param, LParam] {
    {
      std::lock_guard<std::mutex> guard(FDataSection);
      if (Record->Removed) return;
    }
    {
      std::lock_guard<std::mutex> guard(FDispSection);
      FHandlerThread = std::this_thread::get_id();
      FTaken = 0;
    }
    struct TDone {
      TApdBaseDispatcher& Dispatcher;
      ~TDone() {
        std::lock_guard<std::mutex> guard(Dispatcher.FDispSection);
        Dispatcher.FMaxTaken = std::max(Dispatcher.FMaxTaken, Dispatcher.FTaken);
        Dispatcher.FHandlerThread = std::thread::id();
      }
    } done{*this};
    if (Record->Kind == THandlerRecord::KindWindow)
      Record->Window->WindowProc(Msg, Param, LParam);
    else
      Record->Proc(Msg, Param, LParam);
  };
  if (Record->Kind == THandlerRecord::KindWindow) {
    // As a window message: a message the main thread has not taken within 3 s is dropped.
    CallOnMainThread(run, 3000);
  } else if (Record->Synchronized) {
    CallOnMainThread(run, -1);
  } else {
    try {
      run();
    } catch (...) {
      // A handler's failure must not end the dispatch thread; it is dropped.
    }
  }
}
