// I/O targets: start, stop, state and the purge a deleted target goes through.
#include <vector>

#include "sim/kernel.h"
#include "wdf/wdf_request.h"

namespace wdf {

namespace {

struct sent_operation {
    io_operation* op;
    uint64_t sequence;
};

// Under the lock: the target's delivered operations (only the tracked ones
// when `tracked_only`), to be cancelled once the lock is released.
std::vector<sent_operation> collect_sent(io_target* target, bool tracked_only) {
    std::vector<sent_operation> out;
    for (io_operation* op = target->sent.head; op != nullptr; op = op->next) {
        if (tracked_only && !op->tracked) continue;
        out.push_back({op, op->transfer.sequence});
    }
    return out;
}

// Each cancel also reaches the request: it stays cancelled until reused.
void cancel_all(io_target* target, const std::vector<sent_operation>& ops) {
    for (const sent_operation& s : ops) {
        io_mark_cancelled(s.op, s.sequence);
        target->cancel_delivered(s.op, s.sequence);
    }
}
}  // namespace

void io_target::purge() {
    std::vector<sent_operation> sent_ops;
    std::vector<io_operation*> held_ops;
    {
        std::lock_guard<std::mutex> guard(lock);
        state = WdfIoTargetDeleted;
        for (io_operation* op = held.head; op != nullptr; op = op->next) held_ops.push_back(op);
        sent_ops = collect_sent(this, false);
    }
    for (io_operation* op : held_ops) io_cancel_held(op, STATUS_WDF_DEVICE_REMOVED_NOT_SENT);
    cancel_all(this, sent_ops);
    io_wait_target(this, false);
}

namespace {

NTSTATUS start_target(io_target* target) {
    std::vector<io_operation*> released;
    {
        std::lock_guard<std::mutex> guard(target->lock);
        if (target->state == WdfIoTargetDeleted) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        target->state = WdfIoTargetStarted;
        for (io_operation* op = target->held.head; op != nullptr; op = op->next) released.push_back(op);
    }
    // Each held operation goes out unless a cancel took it first.
    for (io_operation* op : released) {
        {
            std::lock_guard<std::mutex> op_guard(op->lock);
            if (op->state != io_state::held || op->target != target) continue;
            std::lock_guard<std::mutex> guard(target->lock);
            if (op->list != &target->held) continue;
            target->held.remove(op);
            op->state = io_state::delivered;
            op->stop_counted = op->tracked;
            target->sent.push_back(op);
            if (op->tracked) target->outstanding_tracked++;
        }
        io_deliver(op, target);
    }
    return STATUS_SUCCESS;
}

// Stops the target; what it has sent is cancelled for WdfIoTargetCancelSentIo.
void stop_target(io_target* target, WDF_IO_TARGET_SENT_IO_ACTION action) {
    std::vector<sent_operation> to_cancel;
    {
        std::lock_guard<std::mutex> guard(target->lock);
        if (target->state == WdfIoTargetDeleted) return;
        target->state = WdfIoTargetStopped;
        if (action == WdfIoTargetCancelSentIo) to_cancel = collect_sent(target, true);
    }
    cancel_all(target, to_cancel);
}

}  // namespace

void io_target::cancel_sent() {
    std::vector<sent_operation> ops;
    {
        std::lock_guard<std::mutex> guard(lock);
        ops = collect_sent(this, true);
    }
    cancel_all(this, ops);
}

}  // namespace wdf

using namespace wdf;

extern "C" {

NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget) {
    require_irql_max(DISPATCH_LEVEL, "WdfIoTargetStart");
    io_target* target = validate_target(IoTarget, "WdfIoTargetStart");
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfIoTargetStart", &injected)) return injected;
    NTSTATUS status = start_target(target);
    if (!NT_SUCCESS(status)) return status;
    std::vector<io_target*> pipes;
    target->dependents(&pipes, &pipes);
    for (io_target* pipe : pipes) {
        start_target(pipe);
        dereference(pipe, &pipes, 0, nullptr, "WdfIoTargetStart");
    }
    return STATUS_SUCCESS;
}

// A USB device's target stops its configured pipes too, and waits for
// their I/O as for its own. The wait ends when the sent I/O has left the
// targets, which may be before the last completion routines ran (see
// sim::set_stop_window).
VOID WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action) {
    require_irql_max(Action == WdfIoTargetLeaveSentIoPending ? DISPATCH_LEVEL : PASSIVE_LEVEL, "WdfIoTargetStop");
    io_target* target = validate_target(IoTarget, "WdfIoTargetStop");
    if (Action != WdfIoTargetCancelSentIo && Action != WdfIoTargetWaitForSentIoToComplete &&
        Action != WdfIoTargetLeaveSentIoPending) {
        sim::bug_check(WDF_VIOLATION, "WdfIoTargetStop with an invalid action", IoTarget, "WdfIoTargetStop");
    }
    std::vector<io_target*> targets{target};
    target->dependents(&targets, &targets);
    const bool wait = Action != WdfIoTargetLeaveSentIoPending;
    if (wait) {
        for (io_target* t : targets) io_stop_begin(t);
    }
    for (io_target* t : targets) stop_target(t, Action);
    if (wait) {
        for (io_target* t : targets) io_wait_target(t, true);
        for (io_target* t : targets) io_stop_end(t);
    }
    for (size_t i = 1; i < targets.size(); ++i) dereference(targets[i], &targets, 0, nullptr, "WdfIoTargetStop");
}

WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET IoTarget) {
    require_irql_max(DISPATCH_LEVEL, "WdfIoTargetGetState");
    io_target* target = validate_target(IoTarget, "WdfIoTargetGetState");
    std::lock_guard<std::mutex> guard(target->lock);
    return target->state;
}

WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget) {
    require_irql_max(DISPATCH_LEVEL, "WdfIoTargetGetDevice");
    io_target* target = validate_target(IoTarget, "WdfIoTargetGetDevice");
    return target->owner != nullptr ? reinterpret_cast<WDFDEVICE>(target->owner->handle()) : nullptr;
}

}  // extern "C"
