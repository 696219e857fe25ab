// Requests: creation, reuse, formatting bookkeeping, sending, completion on
// the platform's completion threads, cancellation and time-outs.
#include "wdf/wdf_request.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel.h"
#include "sim/sched.h"

namespace wdf {
namespace {

constexpr unsigned completion_thread_count = 2;
// How soon the time-out thread tries again to cancel an operation the device
// could not give back yet, and how often a synchronous waiter looks at the
// platform's progress.
constexpr auto timer_tick = std::chrono::milliseconds(1);
constexpr auto wait_tick = std::chrono::milliseconds(1);

// One completion thread and its own queue: two completions only synchronise
// through the platform when they run on the same thread, as DPCs on one CPU.
struct completion_worker {
    std::mutex lock;
    std::condition_variable work;
    std::condition_variable idle;   // the queue ran empty and no routine runs
    io_operation* head = nullptr;   // guarded by lock
    io_operation* tail = nullptr;   // guarded by lock
    std::thread* thread = nullptr;  // guarded by lock
    bool stopping = false;          // guarded by lock
    bool running = false;           // guarded by lock; a routine of this queue runs
};

// The time-out thread sleeps until the list changes, it is stopped, or the
// earliest deadline passes: on the virtual clock the clock observer wakes it
// when an advance passes one, and until it has cancelled what is due the
// platform counts as working, so a waiter does not move time on again first.
struct timer_list {
    std::mutex lock;
    std::condition_variable work;
    io_operation* head = nullptr;   // guarded by lock
    std::thread* thread = nullptr;  // guarded by lock
    bool stopping = false;          // guarded by lock
    uint64_t generation = 0;        // guarded by lock; bumped by every wake-up
    std::atomic<bool> due{false};   // written under lock: a deadline passed, its cancel not yet tried
};

// Counters read without ordering anything (relaxed): they steer the virtual
// clock, they never publish data.
struct io_activity {
    std::atomic<uint64_t> sequence{0};
    std::atomic<uint64_t> next_worker{0};
    std::atomic<long> busy{0};          // deliveries in progress, completions queued or running
    std::atomic<uint64_t> progress{0};  // completions so far
    std::atomic<int> mode{0};           // sim::completion_mode
    std::atomic<bool> seeded{false};
    std::atomic<uint64_t> seed{0};
    std::atomic<uint64_t> draws{0};
    std::atomic<int64_t> stall_limit_ms{5000};
    std::atomic<int> stop_window{0};  // sim::stop_window
    std::atomic<uint64_t> stop_window_seed{0};
    std::atomic<uint64_t> stop_window_draws{0};
};

// Routines held in the stop window whose stop has returned, each waiting for
// its stopping thread's release point.
struct late_list {
    struct entry {
        io_operation* op;
        io_target* target;
        std::thread::id owner;
    };
    std::mutex lock;
    std::vector<entry> entries;  // guarded by lock
    std::atomic<size_t> count{0};
};

completion_worker* workers() {
    static auto* w = new completion_worker[completion_thread_count];  // outlives every static destructor
    return w;
}
timer_list& timers() {
    static auto* t = new timer_list();
    return *t;
}
io_activity& activity() {
    static auto* a = new io_activity();
    return *a;
}
late_list& late() {
    static auto* l = new late_list();
    return *l;
}

// The operations this thread is handing to a target right now, innermost
// last: a completion of one of them happens inside its WdfRequestSend.
thread_local std::vector<const io_operation*> t_sending;

// A forked child (a "fast" death test) has only the forking thread: it
// starts its own completion threads when it needs them.
void before_fork() {
    for (unsigned i = 0; i < completion_thread_count; ++i) workers()[i].lock.lock();
    timers().lock.lock();
}
void after_fork_parent() {
    timers().lock.unlock();
    for (unsigned i = 0; i < completion_thread_count; ++i) workers()[i].lock.unlock();
}
void after_fork_child() {
    timers().thread = nullptr;  // the parent's threads do not exist here; their records are left alone
    timers().due.store(false);
    timers().lock.unlock();
    for (unsigned i = 0; i < completion_thread_count; ++i) {
        workers()[i].thread = nullptr;
        workers()[i].lock.unlock();
    }
}

struct fork_handlers {
    fork_handlers() { pthread_atfork(before_fork, after_fork_parent, after_fork_child); }
};
fork_handlers g_fork_handlers;

struct busy_probe_registrar {
    busy_probe_registrar() {
        sim::set_platform_busy_probe(
            [] { return activity().busy.load(std::memory_order_relaxed) != 0 || timers().due.load(); });
    }
};
busy_probe_registrar g_busy_probe_registrar;

// CDC_STOP_WINDOW=always or seed:N opens the stop window for a whole run (a
// test suite run against it).
struct stop_window_from_environment {
    stop_window_from_environment() {
        const char* v = getenv("CDC_STOP_WINDOW");
        if (v == nullptr) return;
        if (strcmp(v, "always") == 0) {
            activity().stop_window.store(static_cast<int>(sim::stop_window::always));
        } else if (strncmp(v, "seed:", 5) == 0) {
            activity().stop_window_seed.store(strtoull(v + 5, nullptr, 10));
            activity().stop_window.store(static_cast<int>(sim::stop_window::seeded));
        }
    }
};
stop_window_from_environment g_stop_window_from_environment;

// Joins the threads when the process ends normally.
struct thread_stopper {
    ~thread_stopper() { io_threads_stop(); }
};
thread_stopper g_thread_stopper;

bool pending(io_state state) {
    return state == io_state::held || state == io_state::delivered || state == io_state::completing;
}

void completion_thread(completion_worker* w);
void timer_thread();

uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

bool complete_inline() {
    if (sim::sched::active()) return sim::sched::choose(2) != 0;
    io_activity& a = activity();
    if (a.seeded.load(std::memory_order_relaxed)) {
        const uint64_t draw = a.draws.fetch_add(1, std::memory_order_relaxed);
        return (mix(a.seed.load(std::memory_order_relaxed) ^ mix(draw)) & 1) != 0;
    }
    return a.mode.load(std::memory_order_relaxed) == static_cast<int>(sim::completion_mode::inline_send);
}

// Under the time-out list's lock.
void start_timer_thread() {
    timer_list& t = timers();
    if (t.thread != nullptr || t.stopping) return;
    t.thread = sim::sched::spawn("time-out timer", timer_thread);
}

// Under the time-out list's lock.
void wake_timer_thread(timer_list& t) {
    t.generation++;
    t.work.notify_all();
}

void timer_add(io_operation* op) {
    timer_list& t = timers();
    std::lock_guard<std::mutex> guard(t.lock);
    op->next_timer = t.head;
    t.head = op;
    op->in_timer = true;
    start_timer_thread();
    if (!sim::sched::active() && op->deadline <= sim::clock_now()) t.due.store(true);
    wake_timer_thread(t);
}

// Runs on whichever thread moved the clock: wakes the time-out thread only
// when a deadline has passed.
void timer_clock_moved() {
    if (sim::sched::active()) return;
    timer_list& t = timers();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.thread == nullptr || t.stopping) return;
    const int64_t now = sim::clock_now();
    for (io_operation* op = t.head; op != nullptr; op = op->next_timer) {
        if (op->deadline <= now) {
            t.due.store(true);
            wake_timer_thread(t);
            return;
        }
    }
}

struct timer_observer_registrar {
    timer_observer_registrar() { sim::add_clock_observer(timer_clock_moved); }
};
timer_observer_registrar g_timer_observer_registrar;

void timer_remove(io_operation* op) {
    timer_list& t = timers();
    std::lock_guard<std::mutex> guard(t.lock);
    if (!op->in_timer) return;
    io_operation** link = &t.head;
    while (*link != nullptr && *link != op) link = &(*link)->next_timer;
    if (*link == op) *link = op->next_timer;
    op->next_timer = nullptr;
    op->in_timer = false;
}

// An operation that finished leaves its target's counts.
void leave_target(io_target* target, bool counted, bool tracked) {
    std::lock_guard<std::mutex> guard(target->lock);
    if (counted) {
        target->outstanding--;
        if (tracked) target->outstanding_tracked--;
    }
    target->changed.notify_all();
}

void fill_completion(request_object* req, io_operation* op) {
    req->status = op->status;
    req->information = op->information;
    WDF_REQUEST_COMPLETION_PARAMS& p = req->params;
    p.Size = sizeof(p);
    p.Type = op->kind == io_kind::none ? WdfRequestTypeNoFormat : WdfRequestTypeUsb;
    p.IoStatus.Status = op->status;
    p.IoStatus.Information = op->information;
    p.Parameters.Usb.Completion = &req->usb;
    req->usb.UsbdStatus = op->usbd_status;
    switch (op->kind) {
        case io_kind::pipe_read:
            req->usb.Parameters.PipeRead.Length = op->information;
            break;
        case io_kind::pipe_write:
            req->usb.Parameters.PipeWrite.Length = op->information;
            break;
        case io_kind::control:
            req->usb.Parameters.DeviceControlTransfer.Length = static_cast<ULONG>(op->information);
            break;
        default:
            break;
    }
}

// Calls a request's completion routine on this thread, at DISPATCH_LEVEL
// unless `at_caller_irql` (a completion inside the sender's own send).
void call_routine(request_object* req, io_target* target, PFN_WDF_REQUEST_COMPLETION_ROUTINE routine,
                  WDFCONTEXT context, bool at_caller_irql) {
    const KIRQL entry = KeGetCurrentIrql();
    const bool raise = !at_caller_irql && entry < DISPATCH_LEVEL;
    if (raise) sim::irql_raise(DISPATCH_LEVEL);
    const KIRQL level = KeGetCurrentIrql();
    const size_t locks = sim::spin_locks_held();
    sim::sched::point("completion delivery");
    routine(reinterpret_cast<WDFREQUEST>(req->handle()), reinterpret_cast<WDFIOTARGET>(target->handle()), &req->params,
            context);
    sim::check_spin_locks_released(locks, "EvtRequestCompletionRoutine");
    if (KeGetCurrentIrql() != level) {
        sim::bug_check(IRQL_NOT_LESS_OR_EQUAL, "completion routine returned at another IRQL than it was called at",
                       req->handle(), "EvtRequestCompletionRoutine");
    }
    if (raise) sim::irql_lower(entry);
}

// Runs a request's completion routine, then lets the request go and takes
// the operation off its target's counts.
void run_routine(io_operation* op, bool at_caller_irql) {
    request_object* req = op->request;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine;
    WDFCONTEXT context;
    io_target* target;
    bool counted, tracked;
    {
        std::lock_guard<std::mutex> guard(op->lock);
        routine = req->routine;
        context = req->context;
        target = op->target;
        counted = op->counted;
        tracked = op->stop_counted;
        op->counted = op->stop_counted = false;
        // Completed from here on: the routine may reuse, resend or delete it.
        op->state = io_state::done;
    }
    call_routine(req, target, routine, context, at_caller_irql);
    // The request is let go before the target's counts drop, so a target
    // purge (and a leak check after it) finds it released.
    dereference(req, op, 0, nullptr, "EvtRequestCompletionRoutine");
    leave_target(target, counted, tracked);
}

void enqueue_completion(io_operation* op) {
    io_activity& a = activity();
    a.busy.fetch_add(1, std::memory_order_relaxed);
    completion_worker& w = workers()[a.next_worker.fetch_add(1, std::memory_order_relaxed) % completion_thread_count];
    std::lock_guard<std::mutex> guard(w.lock);
    op->next_completion = nullptr;
    if (w.tail != nullptr) {
        w.tail->next_completion = op;
    } else {
        w.head = op;
    }
    w.tail = op;
    if (w.thread == nullptr && !w.stopping) w.thread = sim::sched::spawn("completion", [&w] { completion_thread(&w); });
    w.work.notify_one();
}

void completion_thread(completion_worker* w) {
    sim::irql_raise(DISPATCH_LEVEL);
    std::unique_lock<std::mutex> lk(w->lock);
    for (;;) {
        if (sim::sched::active()) {
            lk.unlock();
            sim::sched::wait("completion thread idle", [w] { return w->head != nullptr || w->stopping; });
            lk.lock();
        }
        w->work.wait(lk, [&] { return w->head != nullptr || w->stopping; });
        if (w->head == nullptr) {  // stopping, queue drained
            w->idle.notify_all();
            break;
        }
        io_operation* op = w->head;
        w->head = op->next_completion;
        if (w->head == nullptr) w->tail = nullptr;
        op->next_completion = nullptr;
        w->running = true;
        lk.unlock();
        run_routine(op, false);
        activity().busy.fetch_sub(1, std::memory_order_relaxed);
        lk.lock();
        w->running = false;
        if (w->head == nullptr) w->idle.notify_all();
    }
    lk.unlock();
    sim::irql_lower(PASSIVE_LEVEL);
}

enum class window { none, open, held };

// Under op->lock, for a completion with a routine to run: whether it leaves
// the stop's count before its routine (open), and is held for the stopping
// thread (held).
window stop_window_for(io_operation* op, io_target* target) {
    if (!op->stop_counted) return window::none;
    io_activity& a = activity();
    const bool controlled = sim::sched::active();
    const auto mode = static_cast<sim::stop_window>(a.stop_window.load(std::memory_order_relaxed));
    if (!controlled && mode == sim::stop_window::closed) return window::none;
    std::lock_guard<std::mutex> guard(target->lock);
    if (!controlled) {
        if (target->stoppers == 0) return window::none;
        if (mode == sim::stop_window::seeded) {
            const uint64_t draw = a.stop_window_draws.fetch_add(1, std::memory_order_relaxed);
            if ((mix(a.stop_window_seed.load(std::memory_order_relaxed) ^ mix(draw)) & 1) == 0) return window::none;
        }
    }
    op->stop_counted = false;
    target->outstanding_tracked--;
    target->changed.notify_all();
    if (controlled) return window::open;
    target->late.push_back(op);
    return window::held;
}

// Completes a delivered or held operation: exactly once per send.
void complete(io_operation* op, NTSTATUS status, USBD_STATUS usbd_status, size_t information) {
    std::unique_lock<std::mutex> lk(op->lock);
    request_object* req = op->request;
    if (op->state != io_state::delivered && op->state != io_state::held) {
        sim::bug_check(WDF_VIOLATION, "request completed twice", req != nullptr ? req->handle() : nullptr,
                       "IoCompleteRequest");
    }
    io_target* target = op->target;
    {
        std::lock_guard<std::mutex> guard(target->lock);
        if (op->list != nullptr) op->list->remove(op);
    }
    timer_remove(op);
    if (op->timed_out && usbd_status == USBD_STATUS_CANCELED) status = STATUS_IO_TIMEOUT;
    op->status = status;
    op->usbd_status = usbd_status;
    op->information = information;
    if (req != nullptr) fill_completion(req, op);
    activity().progress.fetch_add(1, std::memory_order_relaxed);

    const bool counted = op->counted;
    const bool tracked = op->stop_counted;
    if (op->synchronous) {
        // A synchronous WdfRequestSend runs the request's routine here, on
        // the completing thread, before its waiter wakes.
        PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = op->call_routine && req != nullptr ? req->routine : nullptr;
        op->state = io_state::done;
        op->counted = op->stop_counted = false;
        if (routine != nullptr) {
            WDFCONTEXT context = req->context;
            op->in_sync_routine = true;
            lk.unlock();
            const bool in_send = !t_sending.empty() && t_sending.back() == op;
            call_routine(req, target, routine, context, in_send);
            lk.lock();
            op->in_sync_routine = false;
        }
        op->finished.notify_all();
        lk.unlock();
        leave_target(target, counted, tracked);  // the waiter drops the request's reference
        return;
    }
    if (req != nullptr && req->routine != nullptr && (op->flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) == 0) {
        // The target's counts drop once the routine has run, the stop's
        // before it when the window opens.
        op->state = io_state::completing;
        const window w = stop_window_for(op, target);
        lk.unlock();
        if (w == window::held) return;
        if (w == window::open) sim::sched::point("completion routine, the request off its target's sent list");
        if (!complete_inline()) {
            enqueue_completion(op);
            return;
        }
        const bool in_send = !t_sending.empty() && t_sending.back() == op;
        run_routine(op, in_send);
        return;
    }
    op->state = io_state::done;
    op->counted = op->stop_counted = false;
    lk.unlock();
    if (req != nullptr) dereference(req, op, 0, nullptr, "IoCompleteRequest");
    leave_target(target, counted, tracked);
}

// Cancels an operation that is still held or delivered with the given
// sequence; true when this call cancelled it.
bool cancel_operation(io_operation* op, uint64_t sequence, NTSTATUS held_status) {
    sim::sched::point("cancel");
    io_target* target;
    {
        std::lock_guard<std::mutex> guard(op->lock);
        if (op->transfer.sequence != sequence) return false;
        if (op->request != nullptr) op->request->cancelled = true;
        if (op->state == io_state::delivered) {
            op->cancel_requested = true;
            target = op->target;
        } else if (op->state != io_state::held) {
            return false;
        } else {
            target = nullptr;
        }
    }
    if (target == nullptr) return io_cancel_held(op, held_status);
    return target->cancel_delivered(op, sequence);
}

// Until the list changes or a deadline passes (the generation moves past
// `seen`), the time-out thread is stopped, or `next` passes; `retry`: at most
// a tick, for an operation the device kept.
void timer_wait(timer_list& t, std::unique_lock<std::mutex>& lk, uint64_t seen, int64_t next, bool retry) {
    if (!sim::sched::active()) {
        // The stop may have come while the thread was cancelling expired
        // operations with the lock released.
        auto woken = [&t, seen] { return t.stopping || t.generation != seen; };
        if (retry) {
            t.work.wait_for(lk, timer_tick, woken);
        } else if (next == INT64_MAX || sim::clock_is_virtual()) {
            // A virtual clock moves only by an advance, which the observer reports.
            t.work.wait(lk, woken);
        } else {
            const int64_t span = next - sim::clock_now();
            if (span > 0) t.work.wait_for(lk, std::chrono::nanoseconds(span * 100), woken);
        }
        return;
    }
    io_operation* const head = t.head;
    lk.unlock();
    sim::sched::wait(
        "time-out timer", [&t, head] { return t.stopping || t.head != head; }, next);
    lk.lock();
}

void timer_thread() {
    timer_list& t = timers();
    std::unique_lock<std::mutex> lk(t.lock);
    struct expired {
        io_operation* op;
        uint64_t sequence;
    };
    expired batch[64];
    while (!t.stopping) {
        const uint64_t seen = t.generation;
        if (t.head == nullptr) {
            t.due.store(false);
            timer_wait(t, lk, seen, INT64_MAX, false);
            continue;
        }
        const int64_t now = sim::clock_now();
        size_t count = 0;
        int64_t next = INT64_MAX;
        for (io_operation* op = t.head; op != nullptr && count < 64; op = op->next_timer) {
            if (op->deadline > now) {
                next = std::min(next, op->deadline);
                continue;
            }
            batch[count++] = {op, op->transfer.sequence};
        }
        if (count != 0) {
            lk.unlock();
            // An operation the device cannot give back yet stays armed and is tried again.
            for (size_t i = 0; i < count; ++i) {
                {
                    std::lock_guard<std::mutex> guard(batch[i].op->lock);
                    if (batch[i].op->transfer.sequence != batch[i].sequence || !pending(batch[i].op->state)) continue;
                    batch[i].op->timed_out = true;
                }
                cancel_operation(batch[i].op, batch[i].sequence, STATUS_IO_TIMEOUT);
            }
            lk.lock();
        }
        t.due.store(false);
        if (count == 0) {
            timer_wait(t, lk, seen, next, false);
        } else {
            // What stayed armed is tried again a tick later; what is due
            // now is the next pass's.
            timer_wait(t, lk, seen, now + 10000, true);
        }
    }
}

int64_t deadline_from(LONGLONG timeout) {
    const int64_t now = sim::clock_now();
    if (timeout < 0) return timeout == INT64_MIN ? INT64_MAX : now + -timeout;
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    return timeout > system.QuadPart ? now + (timeout - system.QuadPart) : now;
}

[[noreturn]] void endless_wait(io_operation* op) {
    const void* request = op->request != nullptr ? static_cast<const void*>(op->request->handle()) : op;
    char rule[200];
    snprintf(rule, sizeof(rule),
             "synchronous wait that can never end: request %p sent to %s %p without a time-out, and nothing "
             "on the platform can complete it",
             request, type_name(op->target->type()), static_cast<void*>(op->target->handle()));
    sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, rule, request, "WdfRequestSend (synchronous)");
}

}  // namespace

// ---- Lists ------------------------------------------------------------------

void io_list::push_back(io_operation* op) {
    op->list = this;
    op->next = nullptr;
    op->prev = tail;
    if (tail != nullptr) {
        tail->next = op;
    } else {
        head = op;
    }
    tail = op;
}

void io_list::remove(io_operation* op) {
    if (op->prev != nullptr) {
        op->prev->next = op->next;
    } else if (head == op) {
        head = op->next;
    }
    if (op->next != nullptr) {
        op->next->prev = op->prev;
    } else if (tail == op) {
        tail = op->prev;
    }
    op->prev = op->next = nullptr;
    op->list = nullptr;
}

// ---- Validation -----------------------------------------------------------------

request_object* validate_request(WDFREQUEST request, const char* caller) {
    return validate_as<request_object>(request, object_type::request, caller);
}

io_target* validate_target(WDFIOTARGET target, const char* caller) {
    object* obj = validate(target, caller);
    if (obj->type_ != object_type::io_target && obj->type_ != object_type::usb_device &&
        obj->type_ != object_type::usb_pipe) {
        std::string rule =
            std::string("handle of the wrong type (") + type_name(obj->type_) + " where WDFIOTARGET was expected)";
        sim::bug_check(WDF_VIOLATION, rule.c_str(), target, caller);
    }
    return static_cast<io_target*>(obj);
}

// ---- Request objects ------------------------------------------------------------

request_object::request_object() : object(object_type::request) {
    op.request = this;
    // Room for the in-flight references of a send and of the one before it
    // whose completion is still finishing, so steady-state sends never grow it.
    tagged_.reserve(4);
}
request_object::~request_object() { delete irp; }

namespace {
void release_memory(request_object* req) {
    if (req->memory != nullptr) {
        dereference(req->memory, req, 0, nullptr, "WdfRequest");
        req->memory = nullptr;
    }
}
}  // namespace

void request_object::on_delete() {
    {
        std::lock_guard<std::mutex> guard(op.lock);
        if (pending(op.state)) {
            sim::bug_check(WDF_VIOLATION, "deleting a request that is still pending", handle(), "WdfObjectDelete");
        }
    }
    release_memory(this);
}

bool format_begin(request_object* req, NTSTATUS* status) {
    {
        std::lock_guard<std::mutex> guard(req->op.lock);
        if (pending(req->op.state)) {
            *status = STATUS_INVALID_DEVICE_REQUEST;
            return false;
        }
        req->op.kind = io_kind::none;
        req->op.formatted_for = nullptr;
        req->op.transfer = sim::usb::transfer();
        req->usb = WDF_USB_REQUEST_COMPLETION_PARAMS();
        req->params = WDF_REQUEST_COMPLETION_PARAMS();
    }
    release_memory(req);
    return true;
}

void format_memory(request_object* req, memory_object* memory) {
    if (memory == nullptr) return;
    reference(memory, req, 0, nullptr);
    req->memory = memory;
}

// ---- Sending --------------------------------------------------------------------

bool io_start(io_operation* op, io_target* target, const WDF_REQUEST_SEND_OPTIONS* options, bool synchronous,
              const char* caller, bool call_routine) {
    ULONG flags = 0;
    LONGLONG timeout = 0;
    if (options != nullptr) {
        if (options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
            sim::bug_check(WDF_VIOLATION, "send options with a wrong Size (not initialised?)", options, caller);
        }
        flags = options->Flags;
        timeout = options->Timeout;
    }
    if (synchronous) flags |= WDF_REQUEST_SEND_OPTION_SYNCHRONOUS;
    request_object* req = op->request;
    bool deliver_now;
    {
        std::lock_guard<std::mutex> guard(op->lock);
        if (pending(op->state)) {
            sim::bug_check(WDF_VIOLATION, "sending a request that is still pending",
                           req != nullptr ? req->handle() : op, caller);
        }
        // Refused before it reaches the target (no IRP, no memory): the
        // caller sees the status in the request, nothing completes it.
        NTSTATUS injected;
        if (sim::fault_should_fail(caller, &injected)) {
            op->status = injected;
            if (req != nullptr) req->status = injected;
            return false;
        }
        std::lock_guard<std::mutex> target_guard(target->lock);
        if (target->state == WdfIoTargetDeleted || target->state == WdfIoTargetClosed ||
            target->state == WdfIoTargetClosedForQueryRemove) {
            op->status = STATUS_INVALID_DEVICE_STATE;
            if (req != nullptr) req->status = op->status;
            return false;
        }
        if (req != nullptr && req->cancelled) {
            op->status = STATUS_CANCELLED;
            req->status = op->status;
            return false;
        }
        // Held while the operation is in flight: a routine deleting its request
        // must not free what the completion thread still reads.
        if (req != nullptr) reference(req, op, 0, nullptr);
        op->target = target;
        op->flags = flags;
        op->synchronous = synchronous;
        op->call_routine = call_routine;
        op->tracked =
            (flags & (WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE | WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET)) == 0;
        op->timed_out = false;
        op->cancel_requested = false;
        op->has_deadline = (flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 && timeout != 0;
        op->deadline = op->has_deadline ? deadline_from(timeout) : 0;
        op->status = STATUS_PENDING;
        op->usbd_status = USBD_STATUS_PENDING;
        op->information = 0;
        op->transfer.sequence = activity().sequence.fetch_add(1, std::memory_order_relaxed) + 1;
        op->transfer.complete = io_transfer_complete;
        op->transfer.context = op;
        if (req != nullptr) {
            req->status = STATUS_PENDING;
            req->information = 0;
        }
        op->counted = true;
        target->outstanding++;
        if (target->state == WdfIoTargetStopped && (flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) == 0) {
            op->state = io_state::held;
            op->stop_counted = false;
            target->held.push_back(op);
            deliver_now = false;
        } else {
            op->state = io_state::delivered;
            op->stop_counted = op->tracked;
            target->sent.push_back(op);
            if (op->tracked) target->outstanding_tracked++;
            deliver_now = true;
        }
        // Armed under the operation's lock, so its completion finds it armed.
        if (!synchronous && op->has_deadline) timer_add(op);
    }
    if (deliver_now) io_deliver(op, target);
    return true;
}

void io_deliver(io_operation* op, io_target* target) {
    io_activity& a = activity();
    a.busy.fetch_add(1, std::memory_order_relaxed);
    t_sending.push_back(op);
    // The request may complete and be deleted inside deliver: held for the
    // look at a cancel that came while it was on its way.
    request_object* req;
    uint64_t sequence;
    {
        std::lock_guard<std::mutex> guard(op->lock);
        req = op->request;
        sequence = op->transfer.sequence;
    }
    if (req != nullptr) reference(req, &op->cancel_requested, 0, nullptr);
    target->deliver(op);
    if (req != nullptr) {
        bool cancel;
        {
            std::lock_guard<std::mutex> guard(op->lock);
            cancel = op->transfer.sequence == sequence && op->state == io_state::delivered && op->cancel_requested;
        }
        if (cancel) target->cancel_delivered(op, sequence);
        dereference(req, &op->cancel_requested, 0, nullptr, "WdfRequestSend");
    }
    t_sending.pop_back();
    a.busy.fetch_sub(1, std::memory_order_relaxed);
}

// Controlled mode: the scheduler blocks the waiter; a deadline that passes
// (once nothing else can run) cancels the operation as timed out.
void io_wait_controlled(io_operation* op) {
    for (;;) {
        int64_t deadline;
        {
            std::lock_guard<std::mutex> guard(op->lock);
            if (op->state == io_state::done) break;
            deadline = op->has_deadline && !op->timed_out ? op->deadline : INT64_MAX;
        }
        if (sim::sched::wait(
                "synchronous request", [op] { return op->state == io_state::done; }, deadline))
            continue;
        uint64_t sequence;
        {
            std::lock_guard<std::mutex> guard(op->lock);
            if (op->state == io_state::done) break;
            op->timed_out = true;
            sequence = op->transfer.sequence;
        }
        cancel_operation(op, sequence, STATUS_IO_TIMEOUT);
    }
    if (op->request != nullptr) dereference(op->request, op, 0, nullptr, "IoCompleteRequest");
}

void io_wait(io_operation* op) {
    io_release_late();
    if (sim::sched::active()) {
        io_wait_controlled(op);
        return;
    }
    io_activity& a = activity();
    std::unique_lock<std::mutex> lk(op->lock);
    uint64_t seen = a.progress.load(std::memory_order_relaxed);
    auto still_since = std::chrono::steady_clock::now();
    while (op->state != io_state::done || op->in_sync_routine) {
        if (op->state == io_state::done) {
            op->finished.wait(lk);  // its routine is running on the completing thread
            continue;
        }
        if (!sim::clock_is_virtual()) {
            if (!op->has_deadline || op->timed_out) {
                op->finished.wait(lk);
                continue;
            }
            const int64_t now = sim::clock_now();
            if (now < op->deadline) {
                op->finished.wait_for(lk, std::chrono::nanoseconds((op->deadline - now) * 100));
                continue;
            }
        } else if (op->has_deadline && !op->timed_out) {
            // Virtual time moves to the deadline only once nothing else on the
            // platform can make progress: no delivery under way, no completion
            // queued or running.
            const int64_t now = sim::clock_now();
            if (now < op->deadline) {
                if (a.busy.load(std::memory_order_relaxed) != 0) {
                    op->finished.wait_for(lk, wait_tick);
                    continue;
                }
                lk.unlock();
                sim::clock_advance(op->deadline - now);
                lk.lock();
                continue;
            }
        } else {
            op->finished.wait_for(lk, wait_tick);
            const uint64_t progress = a.progress.load(std::memory_order_relaxed);
            const auto now = std::chrono::steady_clock::now();
            if (progress != seen || a.busy.load(std::memory_order_relaxed) != 0) {
                seen = progress;
                still_since = now;
            } else if (op->state != io_state::done && !op->timed_out &&
                       now - still_since >
                           std::chrono::milliseconds(a.stall_limit_ms.load(std::memory_order_relaxed))) {
                endless_wait(op);
            }
            continue;
        }
        op->timed_out = true;
        const uint64_t sequence = op->transfer.sequence;
        lk.unlock();
        cancel_operation(op, sequence, STATUS_IO_TIMEOUT);
        lk.lock();
    }
    lk.unlock();
    if (op->request != nullptr) dereference(op->request, op, 0, nullptr, "IoCompleteRequest");
}

NTSTATUS io_execute(io_operation* op, io_target* target, const WDF_REQUEST_SEND_OPTIONS* options, const char* caller) {
    if (!io_start(op, target, options, true, caller)) return op->status;
    io_wait(op);
    std::lock_guard<std::mutex> guard(op->lock);
    // A driver's request lent to a synchronous call keeps its completion
    // parameters but not the format: its buffer was the call's.
    if (op->request != nullptr) {
        op->kind = io_kind::none;
        op->formatted_for = nullptr;
        op->transfer.buffer = nullptr;
        op->transfer.length = 0;
    }
    return op->status;
}

void io_complete(io_operation* op, NTSTATUS status, USBD_STATUS usbd_status, size_t information) {
    io_activity& a = activity();
    a.busy.fetch_add(1, std::memory_order_relaxed);
    complete(op, status, usbd_status, information);
    a.busy.fetch_sub(1, std::memory_order_relaxed);
}

void io_mark_cancelled(io_operation* op, uint64_t sequence) {
    std::lock_guard<std::mutex> guard(op->lock);
    if (op->request != nullptr && op->transfer.sequence == sequence) op->request->cancelled = true;
}

bool io_cancel_held(io_operation* op, NTSTATUS status) {
    {
        std::lock_guard<std::mutex> guard(op->lock);
        if (op->state != io_state::held) return false;
        // A held operation with a time-out that fired completes as timed out.
        if (status == STATUS_IO_TIMEOUT) op->timed_out = true;
        if (op->request != nullptr && status != STATUS_WDF_DEVICE_REMOVED_NOT_SENT) op->request->cancelled = true;
    }
    // Held by a target being deleted: never sent, and said so.
    io_complete(op, status == STATUS_WDF_DEVICE_REMOVED_NOT_SENT ? status : STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
    return true;
}

namespace {

// Queues the held routines `pick` selects for the completion threads.
template <typename Pick>
void release_late(Pick pick) {
    late_list& l = late();
    if (l.count.load(std::memory_order_acquire) == 0) return;
    std::vector<io_operation*> ready;
    {
        std::lock_guard<std::mutex> guard(l.lock);
        auto keep = l.entries.begin();
        for (auto it = l.entries.begin(); it != l.entries.end(); ++it) {
            if (pick(*it)) {
                ready.push_back(it->op);
            } else {
                *keep++ = *it;
            }
        }
        l.entries.erase(keep, l.entries.end());
        l.count.store(l.entries.size(), std::memory_order_release);
    }
    for (io_operation* op : ready) enqueue_completion(op);
}

}  // namespace

void io_stop_begin(io_target* target) {
    std::lock_guard<std::mutex> guard(target->lock);
    target->stoppers++;
}

void io_stop_end(io_target* target) {
    std::vector<io_operation*> held;
    bool deleted;
    {
        std::lock_guard<std::mutex> guard(target->lock);
        target->stoppers--;
        held.swap(target->late);
        deleted = target->state == WdfIoTargetDeleted;
    }
    if (held.empty()) return;
    if (deleted) {
        // Its deletion is waiting for these routines already.
        for (io_operation* op : held) enqueue_completion(op);
        return;
    }
    late_list& l = late();
    std::lock_guard<std::mutex> guard(l.lock);
    for (io_operation* op : held) l.entries.push_back({op, target, std::this_thread::get_id()});
    l.count.store(l.entries.size(), std::memory_order_release);
}

void io_release_late() {
    const std::thread::id self = std::this_thread::get_id();
    release_late([self](const late_list::entry& e) { return e.owner == self; });
}

void io_wait_target(io_target* target, bool tracked_only) {
    // A wait is a release point; a target's deletion cannot finish before
    // the routines of its requests have run, whoever stopped it.
    io_release_late();
    if (!tracked_only) release_late([target](const late_list::entry& e) { return e.target == target; });
    if (sim::sched::active()) {
        sim::sched::wait("I/O target drain", [target, tracked_only] {
            return (tracked_only ? target->outstanding_tracked : target->outstanding) == 0;
        });
    }
    std::unique_lock<std::mutex> lk(target->lock);
    target->changed.wait(lk, [&] { return (tracked_only ? target->outstanding_tracked : target->outstanding) == 0; });
}

void io_transfer_complete(sim::usb::transfer* t, void* context) {
    auto* op = static_cast<io_operation*>(context);
    io_complete(op, sim::usb::ntstatus_from_usbd(t->usbd_status), t->usbd_status, t->actual);
}

void io_threads_drain() {
    // Controlled runs have no parked threads to wait for this way.
    if (sim::sched::active()) {
        io_threads_stop();
        return;
    }
    // A routine may queue completions on the other thread: until one pass
    // finds every queue empty without waiting.
    for (bool waited = true; waited;) {
        waited = false;
        release_late([](const late_list::entry&) { return true; });
        for (unsigned i = 0; i < completion_thread_count; ++i) {
            completion_worker& w = workers()[i];
            std::unique_lock<std::mutex> lk(w.lock);
            if (w.head == nullptr && !w.running) continue;
            waited = true;
            if (w.thread == nullptr && !w.stopping) {
                w.thread = sim::sched::spawn("completion", [&w] { completion_thread(&w); });
            }
            w.idle.wait(lk, [&w] { return w.head == nullptr && !w.running; });
        }
    }
}

void io_threads_stop() {
    release_late([](const late_list::entry&) { return true; });
    for (unsigned i = 0; i < completion_thread_count; ++i) {
        completion_worker& w = workers()[i];
        std::thread* thread;
        {
            std::lock_guard<std::mutex> guard(w.lock);
            w.stopping = true;
            thread = w.thread;
            w.thread = nullptr;
            w.work.notify_all();
        }
        if (thread != nullptr) {
            sim::sched::join(thread);
            delete thread;
        }
        std::lock_guard<std::mutex> guard(w.lock);
        w.stopping = false;
        // Anything queued after the thread saw the stop flag gets a new thread.
        if (w.head != nullptr) w.thread = sim::sched::spawn("completion", [&w] { completion_thread(&w); });
    }
    timer_list& t = timers();
    std::thread* timer;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        t.stopping = true;
        timer = t.thread;
        t.thread = nullptr;
        t.work.notify_all();
    }
    if (timer != nullptr) {
        sim::sched::join(timer);
        delete timer;
    }
    std::lock_guard<std::mutex> guard(t.lock);
    t.stopping = false;
    if (t.head != nullptr) {
        start_timer_thread();
    } else {
        t.due.store(false);
    }
}

}  // namespace wdf

namespace sim {
void io_threads_stop() { wdf::io_threads_stop(); }
void io_threads_drain() { wdf::io_threads_drain(); }

void set_completion_mode(completion_mode mode) {
    wdf::activity().seeded.store(false, std::memory_order_relaxed);
    wdf::activity().mode.store(static_cast<int>(mode), std::memory_order_relaxed);
}

void set_stop_window(stop_window mode, uint64_t seed) {
    wdf::activity().stop_window_seed.store(seed, std::memory_order_relaxed);
    wdf::activity().stop_window_draws.store(0, std::memory_order_relaxed);
    wdf::activity().stop_window.store(static_cast<int>(mode), std::memory_order_relaxed);
}

void io_release_late() { wdf::io_release_late(); }

void set_completion_seed(uint64_t seed) {
    wdf::activity().seed.store(seed, std::memory_order_relaxed);
    wdf::activity().draws.store(0, std::memory_order_relaxed);
    wdf::activity().seeded.store(true, std::memory_order_relaxed);
}

completion_mode current_completion_mode() {
    if (wdf::activity().seeded.load(std::memory_order_relaxed)) return completion_mode::threads;
    return static_cast<completion_mode>(wdf::activity().mode.load(std::memory_order_relaxed));
}

void set_wait_stall_limit(std::chrono::milliseconds limit) {
    wdf::activity().stall_limit_ms.store(limit.count(), std::memory_order_relaxed);
}
}  // namespace sim

using namespace wdf;

extern "C" {

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget, WDFREQUEST* Request) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfRequestCreate");
    if (Request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Request = nullptr;
    io_target* target = IoTarget != nullptr ? validate_target(IoTarget, "WdfRequestCreate") : nullptr;
    auto* req = new request_object();
    req->created_for = target;
    NTSTATUS status = attach(req, RequestAttributes, default_parent(), "WdfRequestCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Request = reinterpret_cast<WDFREQUEST>(req->handle());
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfRequestReuse");
    request_object* req = validate_request(Request, "WdfRequestReuse");
    if (ReuseParams == nullptr || ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS)) {
        return STATUS_INVALID_PARAMETER;
    }
    // Not a fault point: past its parameter checks the framework's reuse of
    // a request allocates nothing and always succeeds.
    {
        std::lock_guard<std::mutex> guard(req->op.lock);
        if (pending(req->op.state)) {
            sim::bug_check(WDF_VIOLATION, "reusing a request that is still pending", Request, "WdfRequestReuse");
        }
        // Only requests made from an IRP can take a new one (the real
        // framework's STATUS_WDF_REQUEST_INVALID_STATE).
        if ((ReuseParams->Flags & WDF_REQUEST_REUSE_SET_NEW_IRP) != 0) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        req->op.state = io_state::idle;
        req->cancelled = false;
        req->op.kind = io_kind::none;
        req->op.formatted_for = nullptr;
        req->op.transfer = sim::usb::transfer();
        req->routine = nullptr;
        req->context = nullptr;
        req->status = ReuseParams->Status;
        req->information = 0;
        req->usb = WDF_USB_REQUEST_COMPLETION_PARAMS();
        req->params = WDF_REQUEST_COMPLETION_PARAMS();
    }
    release_memory(req);
    return STATUS_SUCCESS;
}

VOID WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfRequestSetCompletionRoutine");
    request_object* req = validate_request(Request, "WdfRequestSetCompletionRoutine");
    std::lock_guard<std::mutex> guard(req->op.lock);
    req->routine = CompletionRoutine;
    req->context = CompletionContext;
}

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfRequestSend");
    sim::sched::point("WdfRequestSend");
    request_object* req = validate_request(Request, "WdfRequestSend");
    constexpr ULONG valid_flags = WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS |
                                  WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE | WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET;
    // Options the framework refuses: the send fails, nothing completes the request.
    if (Options != nullptr &&
        (Options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS) || (Options->Flags & ~valid_flags) != 0 ||
         ((Options->Flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0 &&
          Options->Flags != WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET))) {
        std::lock_guard<std::mutex> guard(req->op.lock);
        if (pending(req->op.state)) {
            sim::bug_check(WDF_VIOLATION, "sending a request that is still pending", Request, "WdfRequestSend");
        }
        req->status = STATUS_INVALID_PARAMETER;
        return FALSE;
    }
    io_target* target = validate_target(Target, "WdfRequestSend");
    const bool synchronous = Options != nullptr && (Options->Flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0;
    if (synchronous) {
        require_irql_max(PASSIVE_LEVEL, "WdfRequestSend");
    }
    {
        std::lock_guard<std::mutex> guard(req->op.lock);
        if (pending(req->op.state)) {
            sim::bug_check(WDF_VIOLATION, "sending a request that is still pending", Request, "WdfRequestSend");
        }
        // Send-and-forget, as the framework checks it: only a request a queue
        // presented (never one the driver created), and not a formatted one.
        if (Options != nullptr && (Options->Flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0) {
            if (!req->presented_by_queue) {
                req->status = STATUS_INVALID_DEVICE_STATE;
                return FALSE;
            }
            if (req->op.kind != io_kind::none) {
                req->status = STATUS_INVALID_DEVICE_REQUEST;
                return FALSE;
            }
        } else if (!synchronous && req->presented_by_queue && req->routine == nullptr) {
            // A queue's request sent asynchronously needs a routine to complete it.
            req->status = STATUS_INVALID_DEVICE_REQUEST;
            return FALSE;
        }
        if (req->op.kind == io_kind::none) {
            sim::bug_check(WDF_VIOLATION, "sending a request that was not formatted for a target", Request,
                           "WdfRequestSend");
        }
    }
    // Sent (or held by a stopped target) is TRUE whatever the outcome; a
    // synchronous send's outcome is the request's status, and its routine,
    // when one is set, has run before this returns.
    if (!io_start(&req->op, target, Options, synchronous, "WdfRequestSend", synchronous)) {
        return FALSE;
    }
    if (synchronous) io_wait(&req->op);
    return TRUE;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfRequestGetStatus");
    request_object* req = validate_request(Request, "WdfRequestGetStatus");
    std::lock_guard<std::mutex> guard(req->op.lock);
    return req->status;
}

VOID WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfRequestGetCompletionParams");
    request_object* req = validate_request(Request, "WdfRequestGetCompletionParams");
    if (Params == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL completion parameters", Request, "WdfRequestGetCompletionParams");
    }
    std::lock_guard<std::mutex> guard(req->op.lock);
    *Params = req->params;
    if (req->params.Size == 0) {
        WDF_REQUEST_COMPLETION_PARAMS_INIT(Params);
    }
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfRequestCancelSentRequest");
    // A request the driver deleted but still references may be cancelled: the
    // reference is what makes the call safe against its completion.
    object* obj = validate_referenced(Request, "WdfRequestCancelSentRequest");
    if (obj->type() != object_type::request) validate_request(Request, "WdfRequestCancelSentRequest");
    auto* req = static_cast<request_object*>(obj);
    uint64_t sequence;
    {
        std::lock_guard<std::mutex> guard(req->op.lock);
        // Also before a send, or after its completion: the next send fails.
        req->cancelled = true;
        if (req->op.state != io_state::held && req->op.state != io_state::delivered) return FALSE;
        sequence = req->op.transfer.sequence;
    }
    return cancel_operation(&req->op, sequence, STATUS_CANCELLED) ? TRUE : FALSE;
}

// The driver completes requests it received; the ones it creates are
// completed by the targets it sends them to and deleted by the driver.
VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfRequestComplete");
    request_object* req = validate_request(Request, "WdfRequestComplete");
    std::lock_guard<std::mutex> guard(req->op.lock);
    (void)Status;
    (void)Information;
    if (req->op.state == io_state::done || req->op.state == io_state::completing) {
        sim::bug_check(WDF_VIOLATION, "request completed twice", Request, "WdfRequestComplete");
    }
    if (pending(req->op.state)) {
        sim::bug_check(WDF_VIOLATION, "completing a request an I/O target owns", Request, "WdfRequestComplete");
    }
    sim::bug_check(WDF_VIOLATION, "completing a request the driver created (delete it instead)", Request,
                   "WdfRequestComplete");
}

VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) { WdfRequestCompleteWithInformation(Request, Status, 0); }

ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfRequestGetInformation");
    request_object* req = validate_request(Request, "WdfRequestGetInformation");
    std::lock_guard<std::mutex> guard(req->op.lock);
    return req->information;
}

VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfRequestSetInformation");
    request_object* req = validate_request(Request, "WdfRequestSetInformation");
    std::lock_guard<std::mutex> guard(req->op.lock);
    req->information = Information;
}

PIRP WdfRequestWdmGetIrp(WDFREQUEST Request) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfRequestWdmGetIrp");
    request_object* req = validate_request(Request, "WdfRequestWdmGetIrp");
    std::lock_guard<std::mutex> guard(req->op.lock);
    if (req->irp == nullptr) {
        req->irp = new _IRP();
    }
    return req->irp;
}

}  // extern "C"
