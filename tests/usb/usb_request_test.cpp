// Requests on USB targets: synchronous and asynchronous transfers, the
// completion threads, reuse, cancellation, time-outs, target stop and start,
// abort and reset, and the verifier's rules for pending requests.
#include <atomic>
#include <thread>

#include "usb_test_support.h"

namespace usb_test {
namespace {

class usb_requests : public usb_host_test {
 protected:
    void SetUp() override {
        usb_host_test::SetUp();
        usb_ = create(simple_device());
        ASSERT_EQ(select_all(usb_), STATUS_SUCCESS);
        in_ = pipe(usb_, 0x81);
        out_ = pipe(usb_, 0x02);
        irq_ = pipe(usb_, 0x83);
        device_->clear_traffic();
    }

    void TearDown() override {
        sim::set_stop_window(sim::stop_window::closed);
        for (WDFOBJECT obj : owned_) WdfObjectDelete(obj);
        owned_.clear();
        usb_host_test::TearDown();
    }

    // Sends a read on the IN pipe with the given routine and context.
    void send_read(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context) {
        WDFREQUEST r = request(WdfUsbTargetPipeGetIoTarget(in_));
        ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(r, routine, context);
        ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    }

    WDFREQUEST request(WDFIOTARGET target = nullptr) {
        WDFREQUEST r = nullptr;
        EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &r), STATUS_SUCCESS);
        owned_.push_back(r);
        return r;
    }

    WDFMEMORY memory(size_t size, void** buffer = nullptr) {
        WDFMEMORY m = nullptr;
        PVOID b = nullptr;
        EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0x43444345, size, &m, &b), STATUS_SUCCESS);
        if (buffer != nullptr) *buffer = b;
        owned_.push_back(m);
        return m;
    }

    // Formats a read of `size` bytes on the IN pipe with the log's routine and sends it.
    WDFREQUEST start_read(completion_log* log, size_t size = 64, PWDF_REQUEST_SEND_OPTIONS options = nullptr) {
        WDFREQUEST r = request(WdfUsbTargetPipeGetIoTarget(in_));
        EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(size), nullptr), STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(r, completion_log::routine, log);
        EXPECT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), options));
        return r;
    }

    WDFUSBDEVICE usb_ = nullptr;
    WDFUSBPIPE in_ = nullptr;
    WDFUSBPIPE out_ = nullptr;
    WDFUSBPIPE irq_ = nullptr;
    std::vector<WDFOBJECT> owned_;
};

// ---- Synchronous transfers ---------------------------------------------------------

TEST_F(usb_requests, write_synchronously_lands_in_the_device_out_queue) {
    uint8_t bytes[] = {'A', 'T', '\r'};
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, bytes, sizeof(bytes));
    ULONG written = 0;
    EXPECT_EQ(WdfUsbTargetPipeWriteSynchronously(out_, nullptr, nullptr, &descriptor, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(device_->take_out(0x02), (std::vector<uint8_t>{'A', 'T', '\r'}));
    std::vector<transfer_record> traffic = device_->traffic();
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].type, transfer_record::kind::bulk_or_interrupt);
    EXPECT_EQ(traffic[0].endpoint, 0x02);
}

TEST_F(usb_requests, read_synchronously_returns_what_the_device_pushed) {
    device_->push_in(0x81, {'O', 'K'});
    uint8_t bytes[64] = {};
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, bytes, sizeof(bytes));
    ULONG read = 0;
    WDFREQUEST r = request();
    EXPECT_EQ(WdfUsbTargetPipeReadSynchronously(in_, r, nullptr, &descriptor, &read), STATUS_SUCCESS);
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(bytes[1], 'K');
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_SUCCESS);
}

TEST_F(usb_requests, a_synchronous_read_times_out_on_the_platform_clock) {
    uint8_t bytes[64];
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, bytes, sizeof(bytes));
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(500));
    const int64_t before = sim::clock_now();
    ULONG read = 7;
    EXPECT_EQ(WdfUsbTargetPipeReadSynchronously(in_, nullptr, &options, &descriptor, &read), STATUS_IO_TIMEOUT);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(sim::clock_now() - before, 500 * 10000);
    EXPECT_EQ(device_->pending(0x81), 0u);
}

TEST_F(usb_requests, reads_must_be_whole_packets_unless_the_check_is_off) {
    WDFREQUEST r = request();
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(100), nullptr), STATUS_INVALID_BUFFER_SIZE);
    WDFMEMORY_OFFSET offset = {0, 64};
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(100), &offset), STATUS_SUCCESS);
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(in_);
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(100), nullptr), STATUS_SUCCESS);
}

TEST_F(usb_requests, formats_check_direction_type_and_offsets) {
    WDFREQUEST r = request();
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(out_, r, memory(64), nullptr), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForWrite(in_, r, memory(64), nullptr), STATUS_INVALID_DEVICE_REQUEST);
    WDFMEMORY_OFFSET past = {60, 8};
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForWrite(out_, r, memory(64), &past), static_cast<NTSTATUS>(0xC0000095L));
}

// ---- Asynchronous transfers ------------------------------------------------------

TEST_F(usb_requests, an_async_read_completes_on_a_completion_thread_at_dispatch_level) {
    completion_log log;
    WDFREQUEST r = start_read(&log);
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_PENDING);
    EXPECT_EQ(log.count(), 0);
    device_->push_in(0x81, {1, 2, 3, 4, 5});
    log.wait();
    EXPECT_EQ(log.status, STATUS_SUCCESS);
    EXPECT_EQ(log.information, 5u);
    EXPECT_EQ(log.length, 5u);
    EXPECT_EQ(log.usb_type, WdfUsbRequestTypePipeRead);
    EXPECT_EQ(log.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(log.irql, DISPATCH_LEVEL);
    EXPECT_EQ(log.target, WdfUsbTargetPipeGetIoTarget(in_));

    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    WdfRequestGetCompletionParams(r, &params);
    EXPECT_EQ(params.Type, WdfRequestTypeUsb);
    EXPECT_EQ(params.IoStatus.Information, 5u);
    EXPECT_EQ(params.Parameters.Usb.Completion->Parameters.PipeRead.Length, 5u);
}

TEST_F(usb_requests, a_zero_length_write_is_a_real_transfer) {
    completion_log log;
    WDFREQUEST r = request();
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(out_, r, nullptr, nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(out_), nullptr));
    log.wait();
    EXPECT_EQ(log.status, STATUS_SUCCESS);
    EXPECT_EQ(log.length, 0u);
    EXPECT_EQ(device_->take_out(0x02), std::vector<uint8_t>{});
    ASSERT_EQ(device_->traffic().size(), 1u);
    EXPECT_TRUE(device_->traffic()[0].data.empty());
}

TEST_F(usb_requests, a_reused_request_goes_out_again) {
    completion_log log;
    WDFREQUEST r = start_read(&log);
    device_->push_in(0x81, {1});
    log.wait();
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    ASSERT_EQ(WdfRequestReuse(r, &reuse), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_SUCCESS);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    device_->push_in(0x81, {1, 2});
    log.wait(2);
    EXPECT_EQ(log.information, 2u);

    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_CANCELLED);
    ASSERT_EQ(WdfRequestReuse(r, &reuse), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_CANCELLED);
    reuse.Size = 8;
    EXPECT_EQ(WdfRequestReuse(r, &reuse), STATUS_INVALID_PARAMETER);
}

TEST_F(usb_requests, a_routine_may_resend_its_request) {
    struct resender {
        WDFUSBPIPE pipe;
        std::atomic<int> rounds{0};
        completion_log log;
        static VOID routine(WDFREQUEST r, WDFIOTARGET t, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT c) {
            auto* self = static_cast<resender*>(c);
            if (++self->rounds < 3) {
                // Reuse drops the format: the buffer is read first.
                WDFMEMORY buffer = p->Parameters.Usb.Completion->Parameters.PipeRead.Buffer;
                WDF_REQUEST_REUSE_PARAMS reuse;
                WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
                WdfRequestReuse(r, &reuse);
                WdfUsbTargetPipeFormatRequestForRead(self->pipe, r, buffer, nullptr);
                WdfRequestSetCompletionRoutine(r, routine, c);
                WdfRequestSend(r, t, nullptr);
                return;
            }
            completion_log::routine(r, t, p, &self->log);
        }
    } state;
    state.pipe = in_;
    WDFREQUEST r = request();
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, resender::routine, &state);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    for (int i = 0; i < 3; ++i) device_->push_in(0x81, {static_cast<uint8_t>(i)});
    state.log.wait();
    EXPECT_EQ(state.rounds.load(), 3);
}

// Draining waits for the completions queued, and for those their routines
// queue in turn, without stopping the threads.
TEST_F(usb_requests, draining_runs_what_is_queued_and_what_that_queues) {
    struct chain {
        completion_log first, second;
        sim::usb::device* device;
        static VOID routine(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params,
                            WDFCONTEXT context) {
            auto* c = static_cast<chain*>(context);
            completion_log::routine(request, target, params, &c->first);
            c->device->push_in(0x83, {7});  // completes the interrupt read, on a completion thread
        }
    } c;
    c.device = device_.get();
    WDFREQUEST r = request(WdfUsbTargetPipeGetIoTarget(irq_));
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(irq_, r, memory(16), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &c.second);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(irq_), nullptr));
    send_read(chain::routine, &c);
    for (int round = 0; round < 2; round++) {
        device_->push_in(0x81, {1});
        sim::io_threads_drain();
        EXPECT_EQ(c.first.count(), round + 1);
        EXPECT_EQ(c.second.count(), round + 1);
        EXPECT_EQ(c.second.status, STATUS_SUCCESS);
        if (round == 0) {
            // Both again, on the threads the first round left parked.
            WDF_REQUEST_REUSE_PARAMS reuse;
            WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
            ASSERT_EQ(WdfRequestReuse(r, &reuse), STATUS_SUCCESS);
            ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(irq_, r, memory(16), nullptr), STATUS_SUCCESS);
            WdfRequestSetCompletionRoutine(r, completion_log::routine, &c.second);
            ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(irq_), nullptr));
            send_read(chain::routine, &c);
        }
    }
}

TEST_F(usb_requests, completions_run_on_at_least_two_threads) {
    // The first routine waits until a second one has run: with one thread it never would.
    struct gate {
        std::mutex lock;
        std::condition_variable changed;
        int done = 0;
        std::thread::id first;
        std::thread::id second;
        static VOID blocking(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT c) {
            auto* g = static_cast<gate*>(c);
            std::unique_lock<std::mutex> guard(g->lock);
            g->first = std::this_thread::get_id();
            g->changed.wait(guard, [&] { return g->done >= 1; });
            g->done++;
            g->changed.notify_all();
        }
        static VOID releasing(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT c) {
            auto* g = static_cast<gate*>(c);
            std::lock_guard<std::mutex> guard(g->lock);
            g->second = std::this_thread::get_id();
            g->done++;
            g->changed.notify_all();
        }
    } g;
    WDFREQUEST a = request();
    WDFREQUEST b = request();
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, a, memory(64), nullptr), STATUS_SUCCESS);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(irq_, b, memory(16), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(a, gate::blocking, &g);
    WdfRequestSetCompletionRoutine(b, gate::releasing, &g);
    ASSERT_TRUE(WdfRequestSend(a, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    ASSERT_TRUE(WdfRequestSend(b, WdfUsbTargetPipeGetIoTarget(irq_), nullptr));
    device_->push_in(0x81, {1});
    device_->push_in(0x83, {2});
    std::unique_lock<std::mutex> guard(g.lock);
    g.changed.wait(guard, [&] { return g.done == 2; });
    EXPECT_NE(g.first, g.second);
}

// ---- What WdfRequestSend answers ----------------------------------------------------

TEST_F(usb_requests, a_synchronous_send_is_true_when_sent_and_runs_the_routine_first) {
    // A stalled read: the send still went out, so TRUE; the outcome is the
    // request's status, and the routine has run before the send returned.
    device_->inject(0x81, sim::usb::fault::make_stall());
    device_->push_in(0x81, {1});
    completion_log log;
    WDFREQUEST r = request();
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    EXPECT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), &options));
    EXPECT_EQ(log.count(), 1);
    EXPECT_EQ(log.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log.usbd_status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(WdfRequestGetStatus(r), log.status);

    // Timed out: sent, so TRUE again, with STATUS_IO_TIMEOUT in the routine.
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    ASSERT_EQ(WdfRequestReuse(r, &reuse), STATUS_SUCCESS);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(irq_, r, memory(16), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(10));
    EXPECT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(irq_), &options));
    EXPECT_EQ(log.count(), 2);
    EXPECT_EQ(log.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_IO_TIMEOUT);
}

TEST_F(usb_requests, a_refused_send_is_false_with_the_reason_in_the_request) {
    WDFREQUEST r = request();
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(out_, r, nullptr, nullptr), STATUS_SUCCESS);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0x1000);  // no such flag
    EXPECT_FALSE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(out_), &options));
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_INVALID_PARAMETER);
    options.Size = sizeof(options) - 8;
    options.Flags = 0;
    EXPECT_FALSE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(out_), &options));
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(device_->traffic().empty());
}

TEST_F(usb_requests, a_request_sent_to_another_target_does_what_it_was_formatted_for) {
    // The transfer block names the pipe; the target only tracks the request.
    device_->push_in(0x81, {'h', 'i'});
    completion_log log;
    WDFREQUEST r = request();
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetDeviceGetIoTarget(usb_), nullptr));
    log.wait();
    EXPECT_EQ(log.status, STATUS_SUCCESS);
    EXPECT_EQ(log.length, 2u);
    EXPECT_EQ(log.target, WdfUsbTargetDeviceGetIoTarget(usb_));
}

TEST_F(usb_requests, a_cancel_sticks_to_the_request_until_it_is_reused) {
    WDFREQUEST r = request();
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
    completion_log log;
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    // Cancelled before it was ever sent: nothing to cancel, yet the send fails.
    EXPECT_FALSE(WdfRequestCancelSentRequest(r));
    EXPECT_FALSE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_CANCELLED);
    EXPECT_FALSE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    EXPECT_EQ(log.count(), 0);
    EXPECT_EQ(device_->pending(0x81), 0u);

    // Reused, it goes out again; a time-out is a cancel too.
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    ASSERT_EQ(WdfRequestReuse(r, &reuse), STATUS_SUCCESS);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(10));
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), &options));
    sim::clock_advance(20 * 10000);
    log.wait();
    EXPECT_EQ(log.status, STATUS_IO_TIMEOUT);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    EXPECT_FALSE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_CANCELLED);

    // So is a stop that cancels what was sent.
    ASSERT_EQ(WdfRequestReuse(r, &reuse), STATUS_SUCCESS);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in_), WdfIoTargetCancelSentIo);
    EXPECT_EQ(log.count(), 2);
    EXPECT_EQ(log.status, STATUS_CANCELLED);
    ASSERT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(in_)), STATUS_SUCCESS);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_CANCELLED);
}

// ---- Cancellation and time-outs ------------------------------------------------------

TEST_F(usb_requests, cancelling_a_pending_read_completes_it_cancelled) {
    completion_log log;
    WDFREQUEST r = start_read(&log);
    EXPECT_TRUE(WdfRequestCancelSentRequest(r));
    log.wait();
    EXPECT_EQ(log.status, STATUS_CANCELLED);
    EXPECT_EQ(log.usbd_status, USBD_STATUS_CANCELED);
    EXPECT_FALSE(WdfRequestCancelSentRequest(r));
    EXPECT_EQ(device_->pending(0x81), 0u);
}

TEST_F(usb_requests, an_async_time_out_fires_when_the_clock_passes_it) {
    completion_log log;
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(100));
    start_read(&log, 64, &options);
    sim::clock_advance(99 * 10000);  // not yet
    EXPECT_EQ(log.count(), 0);
    sim::clock_advance(10 * 10000);
    log.wait();
    EXPECT_EQ(log.status, STATUS_IO_TIMEOUT);
}

// A driver waiting for its own request with the request's time-out, as a
// synchronous read over an asynchronous send does: on the virtual clock,
// with only the platform's threads to set its event, the time-out passes
// when the waiter moves time to it, and its next wait finds the timed-out
// completion instead of moving time on again.
TEST_F(usb_requests, a_waiter_moving_the_clock_past_a_time_out_finds_its_completion_next) {
    struct waiter {
        KEVENT done;
        completion_log log;
        static VOID routine(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params,
                            WDFCONTEXT context) {
            auto* w = static_cast<waiter*>(context);
            completion_log::routine(request, target, params, &w->log);
            KeSetEvent(&w->done, IO_NO_INCREMENT, FALSE);
        }
    } w;
    KeInitializeEvent(&w.done, NotificationEvent, FALSE);
    sim::set_wait_grace(sim::wait_grace::platform_busy);
    WDFREQUEST r = request(WdfUsbTargetPipeGetIoTarget(in_));
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, waiter::routine, &w);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(10));
    const int64_t sent = sim::clock_now();
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), &options));
    LARGE_INTEGER due;
    due.QuadPart = WDF_REL_TIMEOUT_IN_MS(10);
    int waits = 1;
    while (KeWaitForSingleObject(&w.done, Executive, KernelMode, FALSE, &due) == STATUS_TIMEOUT) waits++;
    sim::set_wait_grace(sim::wait_grace::real_time);
    EXPECT_EQ(waits, 2);
    EXPECT_EQ(sim::clock_now() - sent, 10 * 10000);
    EXPECT_EQ(w.log.status, STATUS_IO_TIMEOUT);
}

TEST_F(usb_requests, a_transfer_completing_before_its_time_out_keeps_its_status) {
    completion_log log;
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(100));
    start_read(&log, 64, &options);
    device_->push_in(0x81, {1});
    log.wait();
    sim::clock_advance(200 * 10000);
    EXPECT_EQ(log.status, STATUS_SUCCESS);
    EXPECT_EQ(log.count(), 1);
}

TEST_F(usb_requests, a_time_out_of_zero_never_fires) {
    completion_log log;
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
    WDFREQUEST r = start_read(&log, 64, &options);
    sim::clock_advance(int64_t{3600} * 10000000);
    EXPECT_EQ(log.count(), 0);
    EXPECT_TRUE(WdfRequestCancelSentRequest(r));
    log.wait();
}

// ---- Targets ----------------------------------------------------------------

TEST_F(usb_requests, a_stopped_target_holds_requests_until_started) {
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(in_);
    WdfIoTargetStop(target, WdfIoTargetLeaveSentIoPending);
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetStopped);
    completion_log log;
    start_read(&log);
    EXPECT_EQ(device_->pending(0x81), 0u);
    ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    EXPECT_EQ(device_->pending(0x81), 1u);
    device_->push_in(0x81, {1});
    log.wait();
    EXPECT_EQ(log.status, STATUS_SUCCESS);
}

TEST_F(usb_requests, stop_with_cancel_completes_sent_requests_before_returning) {
    completion_log log;
    start_read(&log);
    start_read(&log);
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in_), WdfIoTargetCancelSentIo);
    EXPECT_EQ(log.count(), 2);
    EXPECT_EQ(log.status, STATUS_CANCELLED);
    ASSERT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(in_)), STATUS_SUCCESS);
}

constexpr ULONG record_tag = 0x54735264;

// A driver's record of its reads, as the routines use it: they count into it
// and the last one sets its event.
struct read_record {
    LONG outstanding;
    LONG completions;
    NTSTATUS last;
    KEVENT drained;
};

VOID record_routine(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    auto* rec = static_cast<read_record*>(context);
    InterlockedExchange(&rec->last, params->IoStatus.Status);
    InterlockedIncrement(&rec->completions);
    if (InterlockedDecrement(&rec->outstanding) == 0) KeSetEvent(&rec->drained, IO_NO_INCREMENT, FALSE);
}

read_record* new_record(LONG outstanding) {
    auto* rec = static_cast<read_record*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(read_record), record_tag));
    rec->outstanding = outstanding;
    rec->completions = 0;
    rec->last = STATUS_PENDING;
    KeInitializeEvent(&rec->drained, NotificationEvent, FALSE);
    return rec;
}

// The framework takes a request off the sent list before it calls the
// routine: the stop may return first. A driver that counts its routines and
// waits for them itself frees its record safely.
TEST_F(usb_requests, a_stop_may_return_before_the_routines_of_the_requests_it_cancelled_ran) {
    sim::set_stop_window(sim::stop_window::always);
    read_record* rec = new_record(2);
    send_read(record_routine, rec);
    send_read(record_routine, rec);
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in_), WdfIoTargetCancelSentIo);
    EXPECT_EQ(rec->completions, 0) << "both requests left the sent list, their routines still to run";
    ASSERT_EQ(KeWaitForSingleObject(&rec->drained, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(rec->completions, 2);
    EXPECT_EQ(rec->last, STATUS_CANCELLED);
    ExFreePoolWithTag(rec, record_tag);
    ASSERT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(in_)), STATUS_SUCCESS);

    // A stop with nothing sent has nothing to hold back.
    sim::set_stop_window(sim::stop_window::closed);
    completion_log log;
    start_read(&log);
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in_), WdfIoTargetCancelSentIo);
    EXPECT_EQ(log.count(), 1) << "closed, the stop waits for the routine, one order Windows may show";
    ASSERT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(in_)), STATUS_SUCCESS);
}

// Seeded, which completions take the window is the seed's choice, the same
// on every run.
TEST_F(usb_requests, the_seeded_stop_window_holds_the_same_routines_on_every_run) {
    constexpr int reads = 8;
    auto run = [&](uint64_t seed) {
        sim::set_stop_window(sim::stop_window::seeded, seed);
        read_record* recs[reads];
        for (auto& rec : recs) {
            rec = new_record(1);
            send_read(record_routine, rec);
        }
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in_), WdfIoTargetCancelSentIo);
        std::string ran;
        for (read_record* rec : recs) ran += rec->completions != 0 ? 'r' : '-';
        for (read_record* rec : recs) {
            EXPECT_EQ(KeWaitForSingleObject(&rec->drained, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            ExFreePoolWithTag(rec, record_tag);
        }
        EXPECT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(in_)), STATUS_SUCCESS);
        return ran;
    };
    std::vector<std::string> patterns;
    for (uint64_t seed : {1, 2, 3}) {
        const std::string first = run(seed);
        EXPECT_EQ(run(seed), first) << "seed " << seed;
        patterns.push_back(first);
    }
    std::string all = patterns[0] + patterns[1] + patterns[2];
    EXPECT_NE(all.find('r'), std::string::npos) << "some routines ran before the stop returned";
    EXPECT_NE(all.find('-'), std::string::npos) << "some were held past it";
}

TEST_F(usb_requests, stopping_and_starting_the_usb_device_stops_and_starts_its_pipes) {
    completion_log sent;
    start_read(&sent);
    WDFIOTARGET device_target = WdfUsbTargetDeviceGetIoTarget(usb_);
    WdfIoTargetStop(device_target, WdfIoTargetCancelSentIo);
    EXPECT_EQ(sent.count(), 1) << "the pipe's read was cancelled before the stop returned";
    EXPECT_EQ(sent.status, STATUS_CANCELLED);
    EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(in_)), WdfIoTargetStopped);
    EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(out_)), WdfIoTargetStopped);

    completion_log held;
    start_read(&held);
    device_->push_in(0x81, {7});
    EXPECT_EQ(held.count(), 0);
    ASSERT_EQ(WdfIoTargetStart(device_target), STATUS_SUCCESS);
    EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(in_)), WdfIoTargetStarted);
    held.wait();
    EXPECT_EQ(held.status, STATUS_SUCCESS);
    EXPECT_EQ(held.length, 1u);
}

TEST_F(usb_requests, ignore_target_state_sends_through_a_stopped_target) {
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in_), WdfIoTargetLeaveSentIoPending);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    completion_log log;
    start_read(&log, 64, &options);
    EXPECT_EQ(device_->pending(0x81), 1u);
    device_->push_in(0x81, {1});
    log.wait();
}

TEST_F(usb_requests, abort_completes_the_pipe_pending_transfers) {
    completion_log log;
    start_read(&log);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    EXPECT_EQ(WdfUsbTargetPipeAbortSynchronously(in_, WDF_NO_HANDLE, &options), STATUS_SUCCESS);
    log.wait();
    EXPECT_EQ(log.status, STATUS_CANCELLED);
}

TEST_F(usb_requests, reset_clears_a_halt_with_clear_feature) {
    device_->set_halted(0x81, true);
    uint8_t bytes[64];
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, bytes, sizeof(bytes));
    EXPECT_EQ(WdfUsbTargetPipeReadSynchronously(in_, nullptr, nullptr, &descriptor, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(in_, WDF_NO_HANDLE, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(device_->halted(0x81));
    std::vector<transfer_record> clears = control_traffic(sim::usb::match::clear_feature);
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0].setup[0], 0x02);
    EXPECT_EQ(clears[0].packet().wIndex, 0x81);
}

TEST_F(usb_requests, unplugging_completes_pending_transfers_with_no_such_device) {
    completion_log log;
    start_read(&log);
    device_->set_connected(false);
    log.wait();
    EXPECT_EQ(log.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(log.usbd_status, USBD_STATUS_DEVICE_GONE);
}

TEST_F(usb_requests, reselecting_cancels_io_on_the_old_pipes_before_the_device_is_told) {
    completion_log log;
    start_read(&log);
    ASSERT_EQ(select_all(usb_), STATUS_SUCCESS);
    EXPECT_EQ(log.count(), 1);
    EXPECT_EQ(log.status, STATUS_CANCELLED);
    in_ = pipe(usb_, 0x81);
    std::vector<transfer_record> traffic = device_->traffic();
    ASSERT_EQ(traffic.size(), 2u);
    EXPECT_EQ(traffic[0].endpoint, 0x81);
    EXPECT_EQ(traffic[1].packet().bRequest, USB_REQUEST_SET_CONFIGURATION);
}

TEST_F(usb_requests, deleting_a_stopped_pipe_fails_the_requests_it_holds_as_never_sent) {
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in_), WdfIoTargetLeaveSentIoPending);
    completion_log log;
    start_read(&log);
    ASSERT_EQ(select_all(usb_), STATUS_SUCCESS);
    EXPECT_EQ(log.count(), 1);
    EXPECT_EQ(log.status, STATUS_WDF_DEVICE_REMOVED_NOT_SENT);
    for (const transfer_record& t : device_->traffic()) EXPECT_NE(t.endpoint, 0x81);
}

// ---- Control transfers and strings ----------------------------------------------------

TEST_F(usb_requests, an_async_control_transfer_reports_the_stall) {
    completion_log log;
    WDFREQUEST r = request(WdfUsbTargetDeviceGetIoTarget(usb_));
    WDF_USB_CONTROL_SETUP_PACKET setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&setup, BmRequestHostToDevice, BmRequestToDevice, 0x01, 0x1234, 0);
    ASSERT_EQ(WdfUsbTargetDeviceFormatRequestForControlTransfer(usb_, r, &setup, nullptr, nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetDeviceGetIoTarget(usb_), nullptr));
    log.wait();
    EXPECT_EQ(log.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log.usbd_status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(log.usb_type, WdfUsbRequestTypeDeviceControlTransfer);
    std::vector<transfer_record> traffic = control_traffic();
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].setup[0], 0x40);
    EXPECT_EQ(traffic[0].packet().wValue, 0x1234);
}

TEST_F(usb_requests, a_synchronous_control_transfer_honours_its_time_out) {
    device_->hold_next_control(sim::usb::match::class_or_vendor);
    WDF_USB_CONTROL_SETUP_PACKET setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&setup, BmRequestDeviceToHost, BmRequestToInterface, 0x21, 0, 0);
    uint8_t coding[7];
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, coding, sizeof(coding));
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_SEC(2));
    const int64_t before = sim::clock_now();
    EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(usb_, nullptr, &options, &setup, &descriptor, nullptr),
              STATUS_IO_TIMEOUT);
    EXPECT_EQ(sim::clock_now() - before, 2 * 10000000);
    EXPECT_EQ(control_traffic().back().packet().wLength, 7);
}

TEST_F(usb_requests, strings_are_read_length_first_then_text) {
    WDFMEMORY text = nullptr;
    USHORT characters = 0;
    ASSERT_EQ(WdfUsbTargetDeviceAllocAndQueryString(usb_, WDF_NO_OBJECT_ATTRIBUTES, &text, &characters, 2, 0x0409),
              STATUS_SUCCESS);
    EXPECT_EQ(characters, 6);
    size_t size = 0;
    auto* units = static_cast<const char16_t*>(WdfMemoryGetBuffer(text, &size));
    EXPECT_EQ(std::u16string(units, characters), u"Gadget");
    EXPECT_EQ(size, 12u);
    std::vector<transfer_record> strings = control_traffic(sim::usb::match::get_descriptor(USB_STRING_DESCRIPTOR_TYPE));
    ASSERT_EQ(strings.size(), 2u);
    EXPECT_EQ(strings[0].packet().wLength, 2) << "bLength first";
    EXPECT_EQ(strings[1].packet().wLength, 14);
    EXPECT_EQ(strings[1].packet().wIndex, 0x0409);
    EXPECT_EQ(strings[1].packet().wValue, 0x0302);

    USHORT needed = 0;
    EXPECT_EQ(WdfUsbTargetDeviceQueryString(usb_, nullptr, nullptr, nullptr, &needed, 3, 0x0409), STATUS_SUCCESS);
    EXPECT_EQ(needed, 4);
    USHORT serial[4];
    USHORT room = 2;
    EXPECT_EQ(WdfUsbTargetDeviceQueryString(usb_, nullptr, nullptr, serial, &room, 3, 0x0409), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(room, 4);
    room = 4;
    EXPECT_EQ(WdfUsbTargetDeviceQueryString(usb_, request(), nullptr, serial, &room, 3, 0x0409), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(serial), 4), u"SN42");
    EXPECT_EQ(control_traffic(sim::usb::match::get_descriptor(USB_STRING_DESCRIPTOR_TYPE)).size(), 5u);
    WdfObjectDelete(text);
}

TEST_F(usb_requests, a_string_needs_an_even_bLength_of_two_or_more_and_an_empty_one_has_no_memory) {
    descriptor_set set = simple_device();
    set.strings[4] = u"";
    set.other_descriptors[USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(USB_STRING_DESCRIPTOR_TYPE, 5)] = {3, 3, 'a'};
    set.other_descriptors[USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(USB_STRING_DESCRIPTOR_TYPE, 6)] = {1, 3};
    WDFUSBDEVICE usb = create(set);
    WDFMEMORY text = reinterpret_cast<WDFMEMORY>(this);
    USHORT characters = 9;
    EXPECT_EQ(WdfUsbTargetDeviceAllocAndQueryString(usb, nullptr, &text, &characters, 4, 0x0409), STATUS_SUCCESS);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(characters, 0);
    EXPECT_EQ(WdfUsbTargetDeviceAllocAndQueryString(usb, nullptr, &text, &characters, 5, 0x0409),
              STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(WdfUsbTargetDeviceAllocAndQueryString(usb, nullptr, &text, &characters, 6, 0x0409),
              STATUS_DEVICE_DATA_ERROR);
    USHORT needed = 7;
    EXPECT_EQ(WdfUsbTargetDeviceQueryString(usb, nullptr, nullptr, nullptr, &needed, 4, 0x0409), STATUS_SUCCESS);
    EXPECT_EQ(needed, 0);
}

TEST_F(usb_requests, a_string_the_device_never_answers_times_out_after_two_seconds) {
    device_->hold_next_control(sim::usb::match::get_string(1));
    WDFMEMORY text = nullptr;
    USHORT characters = 0;
    const int64_t before = sim::clock_now();
    EXPECT_EQ(WdfUsbTargetDeviceAllocAndQueryString(usb_, nullptr, &text, &characters, 1, 0x0409), STATUS_IO_TIMEOUT);
    EXPECT_EQ(sim::clock_now() - before, int64_t{2} * 10000000);
    EXPECT_EQ(text, nullptr);
}

TEST_F(usb_requests, string_failures) {
    WDFMEMORY text = nullptr;
    USHORT characters = 0;
    EXPECT_EQ(WdfUsbTargetDeviceAllocAndQueryString(usb_, nullptr, &text, &characters, 9, 0x0409), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(text, nullptr);
    device_->fail_next_control(sim::usb::match::get_string(1), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(WdfUsbTargetDeviceAllocAndQueryString(usb_, nullptr, &text, &characters, 1, 0x0409),
              STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(WdfUsbTargetDeviceQueryString(usb_, nullptr, nullptr, nullptr, nullptr, 1, 0x0409),
              STATUS_INVALID_PARAMETER);
    sim::fault_fail_nth("WdfMemoryCreate", 1);
    EXPECT_EQ(WdfUsbTargetDeviceAllocAndQueryString(usb_, nullptr, &text, &characters, 1, 0x0409),
              STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(usb_requests, a_string_belongs_to_the_driver_by_default) {
    WDFMEMORY text = nullptr;
    USHORT characters = 0;
    ASSERT_EQ(WdfUsbTargetDeviceAllocAndQueryString(usb_, nullptr, &text, &characters, 1, 0x0409), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<wdf::object*>(text)->parent(), reinterpret_cast<wdf::object*>(WdfGetDriver()));
    WdfObjectDelete(text);
}

TEST_F(usb_requests, request_creation_can_fail) {
    sim::fault_fail_nth("WdfRequestCreate", 1);
    WDFREQUEST r = reinterpret_cast<WDFREQUEST>(1);
    EXPECT_EQ(WdfRequestCreate(nullptr, nullptr, &r), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r, nullptr);
}

// ---- Verifier rules ------------------------------------------------------------

class usb_requests_DeathTest : public usb_requests {
 protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        usb_requests::SetUp();
    }
};

#if defined(__SANITIZE_ADDRESS__)
#define CDC_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CDC_ASAN 1
#endif
#endif

// A driver that frees what its routines use as soon as the stop returns:
// the routine held in the window runs after the free.
TEST_F(usb_requests_DeathTest, freeing_a_record_right_after_a_stop_is_a_use_after_free) {
    sim::set_stop_window(sim::stop_window::always);
#if defined(CDC_ASAN)
    EXPECT_DEATH(
        {
            read_record* rec = new_record(1);
            send_read(record_routine, rec);
            WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in_), WdfIoTargetCancelSentIo);
            ExFreePoolWithTag(rec, record_tag);
            sim::io_threads_stop();
        },
        "heap-use-after-free");
#else
    // Without AddressSanitizer: the routine runs after the free.
    static std::atomic<bool> freed{false};
    static std::atomic<bool> saw_freed{false};
    freed = false;
    saw_freed = false;
    auto routine = [](WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT) {
        saw_freed = freed.load();
    };
    read_record* rec = new_record(1);
    send_read(routine, rec);
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in_), WdfIoTargetCancelSentIo);
    freed = true;
    ExFreePoolWithTag(rec, record_tag);
    sim::io_threads_stop();
    EXPECT_TRUE(saw_freed);
#endif
}

TEST_F(usb_requests_DeathTest, sending_a_pending_request_is_a_bug_check) {
    completion_log log;
    WDFREQUEST r = start_read(&log);
    EXPECT_DEATH(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr),
                 "sending a request that is still pending.*WdfRequestSend");
    WdfRequestCancelSentRequest(r);
    log.wait();
}

TEST_F(usb_requests_DeathTest, reusing_a_pending_request_is_a_bug_check) {
    completion_log log;
    WDFREQUEST r = start_read(&log);
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    EXPECT_DEATH(WdfRequestReuse(r, &reuse), "reusing a request that is still pending");
    WdfRequestCancelSentRequest(r);
    log.wait();
}

TEST_F(usb_requests_DeathTest, deleting_a_pending_request_is_a_bug_check) {
    completion_log log;
    WDFREQUEST r = start_read(&log);
    EXPECT_DEATH(WdfObjectDelete(r), "deleting a request that is still pending");
    WdfRequestCancelSentRequest(r);
    log.wait();
}

TEST_F(usb_requests_DeathTest, completing_twice_is_a_bug_check) {
    uint8_t bytes[64];
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, bytes, sizeof(bytes));
    WDFREQUEST r = request();
    device_->push_in(0x81, {1});
    ASSERT_EQ(WdfUsbTargetPipeReadSynchronously(in_, r, nullptr, &descriptor, nullptr), STATUS_SUCCESS);
    EXPECT_DEATH(WdfRequestComplete(r, STATUS_SUCCESS), "request completed twice");
}

TEST_F(usb_requests_DeathTest, sending_an_unformatted_request_is_a_bug_check) {
    WDFREQUEST r = request();
    EXPECT_DEATH(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr), "not formatted");
}

TEST_F(usb_requests_DeathTest, stopping_with_a_wait_above_passive_level_is_a_bug_check) {
    EXPECT_DEATH(
        {
            sim::irql_raise(DISPATCH_LEVEL);
            WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in_), WdfIoTargetCancelSentIo);
        },
        "above the allowed 0.*WdfIoTargetStop");
}

TEST_F(usb_requests_DeathTest, a_synchronous_send_above_passive_level_is_a_bug_check) {
    WDFREQUEST r = request();
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(out_, r, nullptr, nullptr), STATUS_SUCCESS);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    EXPECT_DEATH(
        {
            sim::irql_raise(DISPATCH_LEVEL);
            WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(out_), &options);
        },
        "above the allowed 0.*WdfRequestSend");
    EXPECT_DEATH(
        {
            sim::irql_raise(DISPATCH_LEVEL);
            WdfUsbTargetDeviceSendControlTransferSynchronously(usb_, nullptr, nullptr, nullptr, nullptr, nullptr);
        },
        "above the allowed 0.*WdfUsbTargetDeviceSendControlTransferSynchronously");
}

}  // namespace
}  // namespace usb_test
