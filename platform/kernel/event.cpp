// Kernel events: notification and synchronization events, set from any
// thread at up to DISPATCH_LEVEL and waited for at PASSIVE_LEVEL.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "sim/kernel.h"
#include "sim/sched.h"

namespace {

// One lock and one condition for every event: waits are rare and short-lived.
struct event_table {
    std::mutex lock;
    std::condition_variable changed;
};

event_table& events() {
    static auto* t = new event_table;
    return *t;
}

// Windows keeps the object's size in DWORDs; an event not initialised shows 0.
constexpr UCHAR kEventSize = sizeof(KEVENT) / sizeof(ULONG);

// A wait without a time-out that nothing satisfies is a hang on Windows;
// here it is a bug check, so that a test fails instead of stopping.
constexpr auto kEndlessWait = std::chrono::seconds(60);

PRKEVENT checked_event(PVOID object, const char* caller) {
    auto* event = static_cast<PRKEVENT>(object);
    if (event == nullptr) sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "event is NULL", nullptr, caller);
    if (event->Header.Size != kEventSize || event->Header.Type > SynchronizationEvent) {
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "event not initialised with KeInitializeEvent", event,
                       caller);
    }
    return event;
}

void require_dispatch_max(const char* caller) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        sim::bug_check(IRQL_NOT_LESS_OR_EQUAL, "event call above DISPATCH_LEVEL", nullptr, caller);
    }
}

// Under the table's lock: takes the signal of a satisfied wait.
bool try_take(PRKEVENT event) {
    if (event->Header.SignalState == 0) return false;
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return true;
}

}  // namespace

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    require_dispatch_max("KeInitializeEvent");
    if (Event == nullptr) {
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "event is NULL", nullptr, "KeInitializeEvent");
    }
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "event type unknown", Event, "KeInitializeEvent");
    }
    std::lock_guard<std::mutex> guard(events().lock);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Signalling = 0;
    Event->Header.Size = kEventSize;
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    require_dispatch_max("KeSetEvent");
    if (Wait) {
        // The caller would have to wait right after at DISPATCH_LEVEL; nothing
        // in a driver of this kind needs it.
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "KeSetEvent with Wait TRUE is not supported", Event,
                       "KeSetEvent");
    }
    event_table& t = events();
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        PRKEVENT event = checked_event(Event, "KeSetEvent");
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
        t.changed.notify_all();
    }
    sim::sched::point("KeSetEvent");
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    require_dispatch_max("KeClearEvent");
    std::lock_guard<std::mutex> guard(events().lock);
    checked_event(Event, "KeClearEvent")->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    require_dispatch_max("KeResetEvent");
    std::lock_guard<std::mutex> guard(events().lock);
    PRKEVENT event = checked_event(Event, "KeResetEvent");
    const LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    require_dispatch_max("KeReadStateEvent");
    std::lock_guard<std::mutex> guard(events().lock);
    return checked_event(Event, "KeReadStateEvent")->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    // Nothing in the simulation delivers alerts or APCs.
    UNREFERENCED_PARAMETER(Alertable);
    const bool zero_timeout = Timeout != nullptr && Timeout->QuadPart == 0;
    if (KeGetCurrentIrql() > (zero_timeout ? DISPATCH_LEVEL : APC_LEVEL)) {
        sim::bug_check(IRQL_NOT_LESS_OR_EQUAL, "KeWaitForSingleObject waiting above APC_LEVEL", Object,
                       "KeWaitForSingleObject");
    }
    if (!zero_timeout && sim::spin_locks_held() != 0) {
        sim::bug_check(IRQL_NOT_LESS_OR_EQUAL, "KeWaitForSingleObject waiting with a spin lock held", Object,
                       "KeWaitForSingleObject");
    }
    if (!zero_timeout) sim::io_release_late();
    event_table& t = events();
    std::unique_lock<std::mutex> lk(t.lock);
    PRKEVENT event = checked_event(Object, "KeWaitForSingleObject");
    if (try_take(event)) return STATUS_SUCCESS;
    if (zero_timeout) return STATUS_TIMEOUT;
    if (sim::sched::active()) {
        int64_t deadline = INT64_MAX;
        if (Timeout != nullptr) {
            const int64_t span = sim::interval_span(*Timeout);
            const int64_t now = sim::clock_now();
            deadline = span > INT64_MAX - now ? INT64_MAX : now + span;
        }
        for (;;) {
            lk.unlock();
            const bool signalled = sim::sched::wait(
                "KeWaitForSingleObject", [event] { return event->Header.SignalState != 0; }, deadline);
            lk.lock();
            if (try_take(event)) return STATUS_SUCCESS;
            if (!signalled) return STATUS_TIMEOUT;
        }
    }

    if (Timeout == nullptr) {
        if (!t.changed.wait_for(lk, kEndlessWait, [&] { return try_take(event); })) {
            sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION,
                           "KeWaitForSingleObject without a time-out that nothing satisfies", Object,
                           "KeWaitForSingleObject");
        }
        return STATUS_SUCCESS;
    }

    const int64_t wait = sim::interval_span(*Timeout);
    if (!sim::clock_is_virtual()) {
        const auto limit = std::chrono::nanoseconds(wait < INT64_MAX / 100 ? wait * 100 : INT64_MAX);
        return t.changed.wait_for(lk, limit, [&] { return try_take(event); }) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    // Virtual time moves on to the deadline once the event had a fair chance:
    // a short real-time grace for the threads that would set it.
    if (t.changed.wait_for(lk, std::chrono::milliseconds(20), [&] { return try_take(event); })) {
        return STATUS_SUCCESS;
    }
    lk.unlock();
    sim::clock_advance(wait);
    return STATUS_TIMEOUT;
}

}  // extern "C"
