// Requests and I/O targets: the framework's request objects, the targets they
// are sent to, the completion threads and the time-outs. Platform-internal.
//
// A request carries one preallocated io_operation: formatting fills it, a
// send hands it to the target, and the target's device completes it.
// Locking is per object, never process-wide, so that two unrelated requests
// never synchronise through the platform and ThreadSanitizer still sees the
// driver's own races: an operation's lock guards its state and its request's
// completion fields; a target's lock guards its state, lists and counts
// (order: operation, then target). Nothing calls into a device or the driver
// with either held.
//
// Completion routines run, by the simulator's choice (sim::set_completion_mode):
// - threads (default): at DISPATCH_LEVEL on the platform's completion threads
//   (two, each with its own queue, started on first use);
// - inline: a completion that happens inside WdfRequestSend runs the routine
//   right there, on the sender's thread at its IRQL, so a routine that resends
//   recurses as on Windows; a later completion (a device pushing data, a
//   cancel, a time-out) runs it on the completing thread at DISPATCH_LEVEL;
// - seeded: each completion picks one of the two from a seed, reproducibly.
// Synchronous sends (framework-internal ones too) wait on the calling thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "usb/usb_device.h"
#include "wdf/wdf_internal.h"
#include "wdfusb.h"

struct _IRP;

namespace wdf {

class io_target;
class request_object;

enum class io_kind : uint8_t {
    none,
    control,        // WdfUsbTargetDevice control transfer
    device_string,  // string descriptor query
    pipe_read,
    pipe_write,
    pipe_abort,
    pipe_reset,
};

enum class io_state : uint8_t {
    idle,        // never sent since creation or reuse
    held,        // queued in a stopped target
    delivered,   // with the target's device
    completing,  // completed, its completion routine not yet run
    done,        // completed
};

struct io_operation;

// An intrusive list of operations (a target's sent or held operations).
struct io_list {
    io_operation* head = nullptr;
    io_operation* tail = nullptr;
    void push_back(io_operation* op);
    void remove(io_operation* op);
    bool empty() const { return head == nullptr; }
};

// One send: of a request, or of a framework-internal synchronous operation.
struct io_operation {
    request_object* request = nullptr;  // nullptr: framework-internal
    io_kind kind = io_kind::none;       // set by formatting
    io_target* formatted_for = nullptr;
    sim::usb::transfer transfer;  // what the device sees

    std::mutex lock;
    std::condition_variable finished;  // a synchronous waiter's

    // Guarded by lock.
    io_state state = io_state::idle;
    io_target* target = nullptr;  // where it was sent
    ULONG flags = 0;              // the send options in force
    bool synchronous = false;
    bool tracked = false;  // counted by WdfIoTargetStop (not IGNORE_TARGET_STATE / SEND_AND_FORGET)
    bool timed_out = false;
    // A cancel came while the operation was on its way to the wire: the
    // sender cancels it there once it has arrived, as a driver checks
    // Irp->Cancel when it queues an IRP. Guarded by lock.
    bool cancel_requested = false;
    bool call_routine = false;     // a synchronous WdfRequestSend: the request's routine runs at completion
    bool in_sync_routine = false;  // that routine is running; the waiter waits for it
    bool has_deadline = false;
    int64_t deadline = 0;  // platform clock, 100 ns
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    USBD_STATUS usbd_status = USBD_STATUS_SUCCESS;
    bool counted = false;       // in the target's `outstanding` (sent, until finished)
    bool stop_counted = false;  // in its `outstanding_tracked` (delivered and tracked, until finished)

    // Guarded by target->lock.
    io_list* list = nullptr;       // the target's sent or held list it is in
    io_operation* prev = nullptr;  // in that list
    io_operation* next = nullptr;

    io_operation* next_completion = nullptr;  // in a completion queue (guarded by its lock)
    io_operation* next_timer = nullptr;       // in the time-out list (guarded by its lock)
    bool in_timer = false;
};

class io_target : public object {
 public:
    explicit io_target(object_type type) : object(type) {}

    device* owner = nullptr;  // the WDFDEVICE the target belongs to

    std::mutex lock;
    std::condition_variable changed;  // an operation left the target

    // Guarded by lock.
    WDF_IO_TARGET_STATE state = WdfIoTargetStarted;
    io_list sent;
    io_list held;
    unsigned outstanding = 0;          // sent (held or delivered), not finished (completion routine included)
    unsigned outstanding_tracked = 0;  // delivered and tracked: what WdfIoTargetStop waits for
    unsigned stoppers = 0;             // WdfIoTargetStop calls waiting for the sent I/O
    // Completed while a stop waited, off the sent list, their routines not yet
    // run (the stop window): the stop hands them on as it returns.
    std::vector<io_operation*> late;

    // Hands an operation to the device (no platform lock held); it may
    // complete before returning.
    virtual void deliver(io_operation* op) = 0;
    // Cancels a delivered operation; false when the device no longer has it.
    virtual bool cancel_delivered(io_operation* op, uint64_t sequence) = 0;

    // Called by a deleted target's on_delete: no new sends, held operations
    // cancelled, sent ones cancelled and waited for.
    void purge();
    // Cancels the delivered operations that respect the target's state,
    // without waiting for them (what a reset sends first).
    void cancel_sent();
    // The targets that stop and start with this one (a USB device's
    // configured pipes), each referenced with `tag` for the caller to release.
    virtual void dependents(std::vector<io_target*>* out, void* tag) {
        (void)out;
        (void)tag;
    }
};

class request_object : public object {
 public:
    request_object();
    ~request_object() override;
    void on_delete() override;

    io_operation op;
    io_target* created_for = nullptr;  // WdfRequestCreate's target (sizes the IRP stack; informational)
    bool presented_by_queue = false;   // only such requests may go out send-and-forget
    memory_object* memory = nullptr;   // referenced by the format, released by reuse, reformat, delete

    // Guarded by op.lock.
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = nullptr;
    WDFCONTEXT context = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    WDF_REQUEST_COMPLETION_PARAMS params{};
    WDF_USB_REQUEST_COMPLETION_PARAMS usb{};  // framework-owned, what params point at
    _IRP* irp = nullptr;                      // WdfRequestWdmGetIrp's answer, made on first use
    // A cancel (the driver's, a time-out's, a stop's or purge's) reached the
    // request: every send fails with STATUS_CANCELLED until WdfRequestReuse.
    bool cancelled = false;
};

// Validation of the request and target handles.
request_object* validate_request(WDFREQUEST request, const char* caller);
io_target* validate_target(WDFIOTARGET target, const char* caller);

// Formatting: false (with *status) when the request is still pending with a
// target; otherwise drops the previous format and its memory reference.
bool format_begin(request_object* request, NTSTATUS* status);
// Takes the format's reference on a memory object.
void format_memory(request_object* request, memory_object* memory);

// Sends an operation. False when the target refused it: op->status (and the
// request's status) say why and nothing will complete it. Options may be
// NULL; a bad size bug checks. `call_routine`: a synchronous send runs the
// request's completion routine (WdfRequestSend's).
bool io_start(io_operation* op, io_target* target, const WDF_REQUEST_SEND_OPTIONS* options, bool synchronous,
              const char* caller, bool call_routine = false);
// Hands an operation io_start (or a target's start) made `delivered` to the
// target's device, noting that this thread is sending it: a completion inside
// runs its routine here in inline mode.
void io_deliver(io_operation* op, io_target* target);
// Waits at PASSIVE_LEVEL for a synchronous operation, honouring its time-out.
void io_wait(io_operation* op);
// Start and wait; the operation's final status. A driver's request lent to
// the call keeps its completion parameters but loses the format (its buffer
// belonged to the call).
NTSTATUS io_execute(io_operation* op, io_target* target, const WDF_REQUEST_SEND_OPTIONS* options, const char* caller);
// Completes a delivered or held operation (the device's completion, an abort,
// a cancel): exactly once per send, else a bug check.
void io_complete(io_operation* op, NTSTATUS status, USBD_STATUS usbd_status, size_t information);
// Notes that a cancel reached the request behind the operation (when it is
// still the send with `sequence`): its sends fail until it is reused.
void io_mark_cancelled(io_operation* op, uint64_t sequence);
// Completes an operation held in a stopped target with the status; false
// when it is no longer held.
bool io_cancel_held(io_operation* op, NTSTATUS status);
// Waits until the target has no operations left (only the delivered ones
// WdfIoTargetStop waits for when `tracked_only`), completion routines included
// (except those in the stop window).
void io_wait_target(io_target* target, bool tracked_only);
// WdfIoTargetStop's bracket around its wait: the stop window opens only for
// completions that come while a stop waits, and a stop that ends hands the
// routines held in it to its thread, which lets them run at its next release
// point (io_release_late).
void io_stop_begin(io_target* target);
void io_stop_end(io_target* target);
// The calling thread's release point: the routines its stops held in the
// window go to the completion threads (see sim::set_stop_window).
void io_release_late();
// The device's completion callback for sim::usb::transfer (context: the operation).
void io_transfer_complete(sim::usb::transfer* t, void* context);

// Stops the completion and time-out threads, waiting for queued completions.
void io_threads_stop();
// Waits for queued completions; the threads stay, parked.
void io_threads_drain();

}  // namespace wdf

namespace sim {
// Simulator control: stops the platform's completion and time-out threads
// after the completions already queued have run (they start again on
// demand). The host calls it at teardown.
void io_threads_stop();
// Simulator control: waits until the completions already queued, and those
// they queue, have run; the threads stay, parked until the next completion
// or time-out (a fuzz target's bench between its steps and inputs).
void io_threads_drain();

// Simulator control: where completion routines run (see the top of this
// header). Default: threads. A seed picks per completion, reproducibly for
// a given order of completions; set_completion_mode cancels it.
enum class completion_mode { threads, inline_send };
void set_completion_mode(completion_mode mode);
void set_completion_seed(uint64_t seed);
completion_mode current_completion_mode();  // threads while a seed is in force

// Simulator control: the window in which WdfIoTargetStop returns while a
// completion routine has still to run. The framework takes a request off the
// target's sent list before it calls the request's routine, so a stop finding
// the list empty (or emptied by another request) returns at once. Closed (the
// default), a stop waits for the routines too, one order Windows may show.
// Open, a completion that comes while a stop waits leaves the stop's count
// and its routine is held until the stopping thread, after its stop returned,
// frees pool, deletes an object, waits, or returns from its PnP or power
// callback: a driver freeing what the routine uses right after the stop
// meets its use-after-free at once. Seeded, each such completion takes the
// window or not by a draw from the seed, reproducibly; always, each takes it.
// Under the controlled scheduler the request always leaves the count first,
// with a scheduling point before its routine.
enum class stop_window { closed, seeded, always };
void set_stop_window(stop_window mode, uint64_t seed = 0);

// Simulator control: with the virtual clock, a synchronous wait with no
// deadline during which nothing completes anywhere on the platform for this
// long (real time) can never end: a bug check naming the request and target.
// Default 5 s; a test of the rule shortens it.
void set_wait_stall_limit(std::chrono::milliseconds limit);
}  // namespace sim
