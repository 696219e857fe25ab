// Requests: creation, reuse, formatting bookkeeping, sending, completion on
// the platform's completion threads, cancellation and time-outs.
#include "wdf/wdf_request.h"

#include <pthread.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim/kernel.h"

namespace wdf {
namespace {

constexpr unsigned completion_thread_count = 2;
// How often the time-out thread looks at the clock while time-outs are armed.
constexpr auto timer_tick = std::chrono::milliseconds(1);

struct io_globals {
    std::mutex lock;
    std::condition_variable changed;     // an operation finished or a target's counts dropped
    std::condition_variable work;        // the completion queue or the stop flag changed
    std::condition_variable timer_work;  // the time-out list or the stop flag changed
    uint64_t sequence = 0;
    io_operation* queue_head = nullptr;  // completions waiting for a thread
    io_operation* queue_tail = nullptr;
    io_operation* timers = nullptr;  // operations with a deadline
    std::vector<std::thread*> threads;
    std::thread* timer_thread = nullptr;
    bool stopping = false;
};

io_globals& io() {
    static auto* g = new io_globals();  // outlives every static destructor
    return *g;
}

// A forked child (a "fast" death test) has only the forking thread: it
// starts its own completion threads when it needs them.
void before_fork() { io().lock.lock(); }
void after_fork_parent() { io().lock.unlock(); }
void after_fork_child() {
    io_globals& g = io();
    g.threads.clear();  // the parent's threads do not exist here; their records are left alone
    g.timer_thread = nullptr;
    g.lock.unlock();
}

struct fork_handlers {
    fork_handlers() { pthread_atfork(before_fork, after_fork_parent, after_fork_child); }
};
fork_handlers g_fork_handlers;

// Joins the threads when the process ends normally.
struct thread_stopper {
    ~thread_stopper() { io_threads_stop(); }
};
thread_stopper g_thread_stopper;

bool pending(io_state state) {
    return state == io_state::held || state == io_state::delivered || state == io_state::completing;
}

void completion_thread();
void timer_thread();

// Under the lock.
void start_completion_threads() {
    io_globals& g = io();
    if (!g.threads.empty() || g.stopping) return;
    for (unsigned i = 0; i < completion_thread_count; ++i) g.threads.push_back(new std::thread(completion_thread));
}

void start_timer_thread() {
    io_globals& g = io();
    if (g.timer_thread != nullptr || g.stopping) return;
    g.timer_thread = new std::thread(timer_thread);
}

void timer_add(io_operation* op) {
    io_globals& g = io();
    op->next_timer = g.timers;
    g.timers = op;
    op->in_timer = true;
    start_timer_thread();
    g.timer_work.notify_all();
}

void timer_remove(io_operation* op) {
    if (!op->in_timer) return;
    io_operation** link = &io().timers;
    while (*link != nullptr && *link != op) link = &(*link)->next_timer;
    if (*link == op) *link = op->next_timer;
    op->next_timer = nullptr;
    op->in_timer = false;
}

// An operation sent or completed leaves its target's counts.
void leave_target(io_target* target, bool counted, bool tracked) {
    if (counted) {
        target->outstanding--;
        if (tracked) target->outstanding_tracked--;
    }
    io().changed.notify_all();
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

// What is left to do after complete_locked, once the lock is released: drop
// the request's in-flight reference, then take the operation off its
// target's counts (in that order, so a target purge finds the request let go).
struct finish_action {
    request_object* release = nullptr;
    io_operation* op = nullptr;
    io_target* target = nullptr;
    bool counted = false;
    bool stop_counted = false;

    void run() {
        if (release == nullptr) return;
        dereference(release, op, 0, nullptr, "IoCompleteRequest");
        std::lock_guard<std::mutex> guard(io().lock);
        leave_target(target, counted, stop_counted);
    }
};

// Completes an operation under the lock.
finish_action complete_locked(io_operation* op, NTSTATUS status, USBD_STATUS usbd_status, size_t information) {
    io_globals& g = io();
    request_object* req = op->request;
    if (op->state != io_state::delivered && op->state != io_state::held) {
        sim::bug_check(WDF_VIOLATION, "request completed twice", req != nullptr ? req->handle() : nullptr,
                       "IoCompleteRequest");
    }
    io_target* target = op->target;
    const bool counted = op->counted;
    const bool stop_counted = op->stop_counted;
    if (op->state == io_state::held) {
        target->held.remove(op);
    } else {
        target->sent.remove(op);
    }
    timer_remove(op);
    if (op->timed_out && usbd_status == USBD_STATUS_CANCELED) status = STATUS_IO_TIMEOUT;
    op->status = status;
    op->usbd_status = usbd_status;
    op->information = information;
    if (req != nullptr) fill_completion(req, op);

    finish_action action;
    if (op->synchronous) {
        op->state = io_state::done;
        op->counted = op->stop_counted = false;
        leave_target(target, counted, stop_counted);
        return action;  // the waiter drops the reference
    }
    if (req != nullptr && req->routine != nullptr && (op->flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) == 0) {
        // The target's counts drop once the routine has run.
        op->state = io_state::completing;
        op->next_completion = nullptr;
        if (g.queue_tail != nullptr) {
            g.queue_tail->next_completion = op;
        } else {
            g.queue_head = op;
        }
        g.queue_tail = op;
        start_completion_threads();
        g.work.notify_one();
        return action;
    }
    op->state = io_state::done;
    op->counted = op->stop_counted = false;
    if (req == nullptr) {
        leave_target(target, counted, stop_counted);
        return action;
    }
    action.release = req;
    action.op = op;
    action.target = target;
    action.counted = counted;
    action.stop_counted = stop_counted;
    return action;
}

void drop_reference(io_operation* op) { dereference(op->request, op, 0, nullptr, "IoCompleteRequest"); }

void completion_thread() {
    sim::irql_raise(DISPATCH_LEVEL);
    io_globals& g = io();
    std::unique_lock<std::mutex> lk(g.lock);
    for (;;) {
        g.work.wait(lk, [&] { return g.queue_head != nullptr || g.stopping; });
        if (g.queue_head == nullptr) break;  // stopping, queue drained
        io_operation* op = g.queue_head;
        g.queue_head = op->next_completion;
        if (g.queue_head == nullptr) g.queue_tail = nullptr;
        op->next_completion = nullptr;

        request_object* req = op->request;
        io_target* target = op->target;
        const bool counted = op->counted;
        const bool tracked = op->stop_counted;
        op->counted = op->stop_counted = false;
        PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = req->routine;
        WDFCONTEXT context = req->context;
        // Completed from here on: the routine may reuse, resend or delete it.
        op->state = io_state::done;
        lk.unlock();
        routine(reinterpret_cast<WDFREQUEST>(req->handle()), reinterpret_cast<WDFIOTARGET>(target->handle()),
                &req->params, context);
        if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
            sim::bug_check(IRQL_NOT_LESS_OR_EQUAL, "completion routine returned at another IRQL than it was called at",
                           req->handle(), "EvtRequestCompletionRoutine");
        }
        // The request is let go before the target's counts drop, so a target
        // purge (and a leak check after it) finds it released.
        dereference(req, op, 0, nullptr, "EvtRequestCompletionRoutine");
        lk.lock();
        leave_target(target, counted, tracked);
    }
    lk.unlock();
    sim::irql_lower(PASSIVE_LEVEL);
}

// Cancels an operation that is still held or delivered with the given
// sequence; true when this call cancelled it.
bool cancel_operation(io_operation* op, uint64_t sequence, NTSTATUS held_status) {
    std::unique_lock<std::mutex> lk(io().lock);
    if (op->transfer.sequence != sequence) return false;
    if (op->state == io_state::held) {
        finish_action action = complete_locked(op, held_status, USBD_STATUS_CANCELED, 0);
        lk.unlock();
        action.run();
        return true;
    }
    if (op->state != io_state::delivered) return false;
    io_target* target = op->target;
    lk.unlock();
    return target->cancel_delivered(op, sequence);
}

void timer_thread() {
    io_globals& g = io();
    std::unique_lock<std::mutex> lk(g.lock);
    struct expired {
        io_operation* op;
        uint64_t sequence;
    };
    expired batch[64];
    while (!g.stopping) {
        if (g.timers == nullptr) {
            g.timer_work.wait(lk);
            continue;
        }
        const int64_t now = sim::clock_now();
        size_t count = 0;
        for (io_operation* op = g.timers; op != nullptr && count < 64; op = op->next_timer) {
            if (op->deadline > now) continue;
            op->timed_out = true;
            batch[count++] = {op, op->transfer.sequence};
        }
        if (count != 0) {
            lk.unlock();
            // An operation the device cannot give back yet stays armed and is tried again.
            for (size_t i = 0; i < count; ++i) cancel_operation(batch[i].op, batch[i].sequence, STATUS_IO_TIMEOUT);
            lk.lock();
        }
        g.timer_work.wait_for(lk, timer_tick);
    }
}

int64_t deadline_from(LONGLONG timeout) {
    const int64_t now = sim::clock_now();
    if (timeout < 0) return timeout == INT64_MIN ? INT64_MAX : now + -timeout;
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    return timeout > system.QuadPart ? now + (timeout - system.QuadPart) : now;
}

}  // namespace

std::mutex& io_lock() { return io().lock; }

// ---- Lists ------------------------------------------------------------------

void io_list::push_back(io_operation* op) {
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
        std::lock_guard<std::mutex> guard(io_lock());
        if (pending(op.state)) {
            sim::bug_check(WDF_VIOLATION, "deleting a request that is still pending", handle(), "WdfObjectDelete");
        }
    }
    release_memory(this);
}

bool format_begin(request_object* req, NTSTATUS* status) {
    {
        std::lock_guard<std::mutex> guard(io_lock());
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
              const char* caller) {
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
    io_globals& g = io();
    {
        std::lock_guard<std::mutex> guard(g.lock);
        if (pending(op->state)) {
            sim::bug_check(WDF_VIOLATION, "sending a request that is still pending",
                           req != nullptr ? req->handle() : op, caller);
        }
        if (target->state == WdfIoTargetDeleted || target->state == WdfIoTargetClosed ||
            target->state == WdfIoTargetClosedForQueryRemove) {
            op->status = STATUS_INVALID_DEVICE_STATE;
            if (req != nullptr) req->status = op->status;
            return false;
        }
        // Held while the operation is in flight: a routine deleting its request
        // must not free what the completion thread still reads.
        if (req != nullptr) reference(req, op, 0, nullptr);
        op->target = target;
        op->flags = flags;
        op->synchronous = synchronous;
        op->tracked =
            (flags & (WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE | WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET)) == 0;
        op->timed_out = false;
        op->has_deadline = (flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 && timeout != 0;
        op->deadline = op->has_deadline ? deadline_from(timeout) : 0;
        op->status = STATUS_PENDING;
        op->usbd_status = USBD_STATUS_PENDING;
        op->information = 0;
        op->transfer.sequence = ++g.sequence;
        op->transfer.complete = io_transfer_complete;
        op->transfer.context = op;
        if (req != nullptr) {
            req->status = STATUS_PENDING;
            req->information = 0;
        }
        if (!synchronous && op->has_deadline) timer_add(op);
        op->counted = true;
        target->outstanding++;
        if (target->state == WdfIoTargetStopped && (flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) == 0) {
            op->state = io_state::held;
            op->stop_counted = false;
            target->held.push_back(op);
            return true;
        }
        op->state = io_state::delivered;
        op->stop_counted = op->tracked;
        target->sent.push_back(op);
        if (op->tracked) target->outstanding_tracked++;
    }
    target->deliver(op);
    return true;
}

void io_wait(io_operation* op) {
    io_globals& g = io();
    std::unique_lock<std::mutex> lk(g.lock);
    while (op->state != io_state::done) {
        if (!op->has_deadline || op->timed_out) {
            g.changed.wait(lk);
            continue;
        }
        const int64_t now = sim::clock_now();
        if (now < op->deadline) {
            if (sim::clock_is_virtual()) {
                // Nothing else moves virtual time: the wait lasts until its deadline.
                lk.unlock();
                sim::clock_advance(op->deadline - now);
                lk.lock();
            } else {
                g.changed.wait_for(lk, std::chrono::nanoseconds((op->deadline - now) * 100));
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
    if (op->request != nullptr) drop_reference(op);
}

NTSTATUS io_execute(io_operation* op, io_target* target, const WDF_REQUEST_SEND_OPTIONS* options, const char* caller) {
    if (!io_start(op, target, options, true, caller)) return op->status;
    io_wait(op);
    std::lock_guard<std::mutex> guard(io().lock);
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
    finish_action action;
    {
        std::lock_guard<std::mutex> guard(io().lock);
        action = complete_locked(op, status, usbd_status, information);
    }
    action.run();
}

bool io_cancel_held(io_operation* op, NTSTATUS status) {
    finish_action action;
    {
        std::lock_guard<std::mutex> guard(io().lock);
        if (op->state != io_state::held) return false;
        action = complete_locked(op, status, USBD_STATUS_CANCELED, 0);
    }
    action.run();
    return true;
}

void io_wait_target(io_target* target, bool tracked_only) {
    io_globals& g = io();
    std::unique_lock<std::mutex> lk(g.lock);
    g.changed.wait(lk, [&] { return (tracked_only ? target->outstanding_tracked : target->outstanding) == 0; });
}

void io_transfer_complete(sim::usb::transfer* t, void* context) {
    auto* op = static_cast<io_operation*>(context);
    io_complete(op, sim::usb::ntstatus_from_usbd(t->usbd_status), t->usbd_status, t->actual);
}

void io_threads_stop() {
    io_globals& g = io();
    std::vector<std::thread*> threads;
    std::thread* timer = nullptr;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        g.stopping = true;
        threads.swap(g.threads);
        timer = g.timer_thread;
        g.timer_thread = nullptr;
        g.work.notify_all();
        g.timer_work.notify_all();
    }
    for (std::thread* t : threads) {
        t->join();
        delete t;
    }
    if (timer != nullptr) {
        timer->join();
        delete timer;
    }
    std::lock_guard<std::mutex> guard(g.lock);
    g.stopping = false;
    // Anything queued after the threads saw the stop flag gets new threads.
    if (g.queue_head != nullptr) start_completion_threads();
    if (g.timers != nullptr) start_timer_thread();
}

}  // namespace wdf

namespace sim {
void io_threads_stop() { wdf::io_threads_stop(); }
}  // namespace sim

using namespace wdf;

extern "C" {

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget, WDFREQUEST* Request) {
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
    require_irql_max(DISPATCH_LEVEL, "WdfRequestReuse");
    request_object* req = validate_request(Request, "WdfRequestReuse");
    if (ReuseParams == nullptr || ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS)) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::mutex> guard(io_lock());
        if (pending(req->op.state)) {
            sim::bug_check(WDF_VIOLATION, "reusing a request that is still pending", Request, "WdfRequestReuse");
        }
        // Only requests made from an IRP can take a new one (the real
        // framework's STATUS_WDF_REQUEST_INVALID_STATE).
        if ((ReuseParams->Flags & WDF_REQUEST_REUSE_SET_NEW_IRP) != 0) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        req->op.state = io_state::idle;
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
    require_irql_max(DISPATCH_LEVEL, "WdfRequestSetCompletionRoutine");
    request_object* req = validate_request(Request, "WdfRequestSetCompletionRoutine");
    std::lock_guard<std::mutex> guard(io_lock());
    req->routine = CompletionRoutine;
    req->context = CompletionContext;
}

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options) {
    require_irql_max(DISPATCH_LEVEL, "WdfRequestSend");
    request_object* req = validate_request(Request, "WdfRequestSend");
    io_target* target = validate_target(Target, "WdfRequestSend");
    const bool synchronous = Options != nullptr && (Options->Flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0;
    if (synchronous) {
        require_irql_max(PASSIVE_LEVEL, "WdfRequestSend");
    }
    {
        std::lock_guard<std::mutex> guard(io_lock());
        if (pending(req->op.state)) {
            sim::bug_check(WDF_VIOLATION, "sending a request that is still pending", Request, "WdfRequestSend");
        }
        if (req->op.kind == io_kind::none) {
            sim::bug_check(WDF_VIOLATION, "sending a request that was not formatted for a target", Request,
                           "WdfRequestSend");
        }
        if (req->op.formatted_for != target) {
            sim::bug_check(WDF_VIOLATION, "sending a request to another I/O target than it was formatted for", Request,
                           "WdfRequestSend");
        }
    }
    if (!io_start(&req->op, target, Options, synchronous, "WdfRequestSend")) {
        return FALSE;
    }
    if (synchronous) {
        io_wait(&req->op);
        return NT_SUCCESS(req->op.status) ? TRUE : FALSE;
    }
    return TRUE;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request) {
    require_irql_max(DISPATCH_LEVEL, "WdfRequestGetStatus");
    request_object* req = validate_request(Request, "WdfRequestGetStatus");
    std::lock_guard<std::mutex> guard(io_lock());
    return req->status;
}

VOID WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params) {
    require_irql_max(DISPATCH_LEVEL, "WdfRequestGetCompletionParams");
    request_object* req = validate_request(Request, "WdfRequestGetCompletionParams");
    if (Params == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL completion parameters", Request, "WdfRequestGetCompletionParams");
    }
    std::lock_guard<std::mutex> guard(io_lock());
    *Params = req->params;
    if (req->params.Size == 0) {
        WDF_REQUEST_COMPLETION_PARAMS_INIT(Params);
    }
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request) {
    require_irql_max(DISPATCH_LEVEL, "WdfRequestCancelSentRequest");
    request_object* req = validate_request(Request, "WdfRequestCancelSentRequest");
    uint64_t sequence;
    {
        std::lock_guard<std::mutex> guard(io_lock());
        if (req->op.state != io_state::held && req->op.state != io_state::delivered) return FALSE;
        sequence = req->op.transfer.sequence;
    }
    return cancel_operation(&req->op, sequence, STATUS_CANCELLED) ? TRUE : FALSE;
}

// The driver completes requests it received; the ones it creates are
// completed by the targets it sends them to and deleted by the driver.
VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
    require_irql_max(DISPATCH_LEVEL, "WdfRequestComplete");
    request_object* req = validate_request(Request, "WdfRequestComplete");
    std::lock_guard<std::mutex> guard(io_lock());
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
    require_irql_max(DISPATCH_LEVEL, "WdfRequestGetInformation");
    request_object* req = validate_request(Request, "WdfRequestGetInformation");
    std::lock_guard<std::mutex> guard(io_lock());
    return req->information;
}

VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
    require_irql_max(DISPATCH_LEVEL, "WdfRequestSetInformation");
    request_object* req = validate_request(Request, "WdfRequestSetInformation");
    std::lock_guard<std::mutex> guard(io_lock());
    req->information = Information;
}

PIRP WdfRequestWdmGetIrp(WDFREQUEST Request) {
    require_irql_max(DISPATCH_LEVEL, "WdfRequestWdmGetIrp");
    request_object* req = validate_request(Request, "WdfRequestWdmGetIrp");
    std::lock_guard<std::mutex> guard(io_lock());
    if (req->irp == nullptr) {
        req->irp = new _IRP();
    }
    return req->irp;
}

}  // extern "C"
