// The request engine as Windows runs it: inline and threaded completions,
// synchronous waits on the virtual clock, the framework's send rules, pipe
// reset and control transfers, and the verifier's spin-lock and wait rules.
#include <algorithm>
#include <atomic>
#include <thread>

#include "usb_test_support.h"

namespace usb_test {
namespace {

class request_engine : public usb_host_test {
 protected:
    void SetUp() override {
        usb_host_test::SetUp();
        usb_ = create(simple_device());
        ASSERT_EQ(select_all(usb_), STATUS_SUCCESS);
        in_ = pipe(usb_, 0x81);
        device_->clear_traffic();
    }

    void TearDown() override {
        for (WDFOBJECT obj : owned_) WdfObjectDelete(obj);
        owned_.clear();
        sim::set_completion_mode(sim::completion_mode::threads);
        usb_host_test::TearDown();
    }

    WDFREQUEST request() {
        WDFREQUEST r = nullptr;
        EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &r), STATUS_SUCCESS);
        owned_.push_back(r);
        return r;
    }

    WDFMEMORY memory(size_t size) {
        WDFMEMORY m = nullptr;
        EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0x43444345, size, &m, nullptr),
                  STATUS_SUCCESS);
        owned_.push_back(m);
        return m;
    }

    WDFREQUEST formatted_read() {
        WDFREQUEST r = request();
        EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
        return r;
    }

    // A synchronous read of the IN pipe with the options given.
    NTSTATUS read_sync(PWDF_REQUEST_SEND_OPTIONS options, ULONG* bytes = nullptr) {
        uint8_t buffer[64];
        WDF_MEMORY_DESCRIPTOR descriptor;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, buffer, sizeof(buffer));
        return WdfUsbTargetPipeReadSynchronously(in_, nullptr, options, &descriptor, bytes);
    }

    WDFUSBDEVICE usb_ = nullptr;
    WDFUSBPIPE in_ = nullptr;
    std::vector<WDFOBJECT> owned_;
};

// A routine that resends its request until it has run `rounds` times,
// recording how deep the calls nested, on which threads and at which IRQL.
struct resender {
    WDFUSBPIPE pipe = nullptr;
    int rounds = 4;
    std::atomic<int> calls{0};
    std::atomic<int> deepest{0};  // nesting on one thread
    std::atomic<int> on_sender_thread{0};
    std::atomic<KIRQL> first_irql{HIGH_LEVEL};
    std::thread::id sender = std::this_thread::get_id();
    completion_log done;

    static VOID routine(WDFREQUEST r, WDFIOTARGET t, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT c) {
        auto* self = static_cast<resender*>(c);
        static thread_local int depth = 0;
        const int level = ++depth;
        if (level > self->deepest) self->deepest = level;
        if (std::this_thread::get_id() == self->sender) self->on_sender_thread++;
        if (self->calls++ == 0) self->first_irql = KeGetCurrentIrql();
        if (self->calls < self->rounds) {
            WDFMEMORY buffer = p->Parameters.Usb.Completion->Parameters.PipeRead.Buffer;
            WDF_REQUEST_REUSE_PARAMS reuse;
            WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
            WdfRequestReuse(r, &reuse);
            WdfUsbTargetPipeFormatRequestForRead(self->pipe, r, buffer, nullptr);
            WdfRequestSetCompletionRoutine(r, routine, c);
            WdfRequestSend(r, t, nullptr);
        } else {
            completion_log::routine(r, t, p, &self->done);
        }
        --depth;
    }
};

// ---- Completion model ----------------------------------------------------------

TEST_F(request_engine, inline_completion_inside_send_recurses_on_the_sender_at_its_irql) {
    sim::set_completion_mode(sim::completion_mode::inline_send);
    for (int i = 0; i < 4; ++i) device_->push_in(0x81, {static_cast<uint8_t>(i)});
    resender state;
    state.pipe = in_;
    WDFREQUEST r = formatted_read();
    WdfRequestSetCompletionRoutine(r, resender::routine, &state);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    // Everything ran before WdfRequestSend returned.
    EXPECT_EQ(state.done.count(), 1);
    EXPECT_EQ(state.deepest.load(), 4);
    EXPECT_EQ(state.on_sender_thread.load(), 4);
    EXPECT_EQ(state.first_irql.load(), PASSIVE_LEVEL);
}

TEST_F(request_engine, threaded_completion_never_nests_and_runs_at_dispatch_elsewhere) {
    for (int i = 0; i < 4; ++i) device_->push_in(0x81, {static_cast<uint8_t>(i)});
    resender state;
    state.pipe = in_;
    WDFREQUEST r = formatted_read();
    WdfRequestSetCompletionRoutine(r, resender::routine, &state);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    state.done.wait();
    EXPECT_EQ(state.deepest.load(), 1);
    EXPECT_EQ(state.on_sender_thread.load(), 0);
    EXPECT_EQ(state.first_irql.load(), DISPATCH_LEVEL);
}

TEST_F(request_engine, inline_mode_runs_a_later_completion_on_the_completing_thread_at_dispatch) {
    sim::set_completion_mode(sim::completion_mode::inline_send);
    completion_log log;
    WDFREQUEST r = formatted_read();
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), nullptr));
    EXPECT_EQ(log.count(), 0);
    device_->push_in(0x81, {1, 2, 3});
    EXPECT_EQ(log.count(), 1);  // on this thread, inside push_in
    EXPECT_EQ(log.irql, DISPATCH_LEVEL);
    EXPECT_EQ(log.length, 3u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Which of 16 completions ran inline (on this thread) under a seed.
std::vector<bool> inline_pattern(WDFUSBPIPE in, const std::shared_ptr<sim::usb::device>& dev, WDFREQUEST r,
                                 uint64_t seed) {
    sim::set_completion_seed(seed);
    std::vector<bool> pattern;
    for (int i = 0; i < 16; ++i) {
        completion_log log;
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        WdfRequestReuse(r, &reuse);
        WdfUsbTargetPipeFormatRequestForRead(in, r, nullptr, nullptr);
        WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
        dev->push_in(0x81, {});
        WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in), nullptr);
        pattern.push_back(log.count() == 1 && log.irql == PASSIVE_LEVEL);
        log.wait();
    }
    return pattern;
}

TEST_F(request_engine, a_seed_mixes_the_modes_reproducibly) {
    WDFREQUEST r = request();
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, nullptr, nullptr), STATUS_SUCCESS);
    const std::vector<bool> first = inline_pattern(in_, device_, r, 7);
    const std::vector<bool> again = inline_pattern(in_, device_, r, 7);
    EXPECT_EQ(first, again);
    const size_t inline_count = std::count(first.begin(), first.end(), true);
    EXPECT_GT(inline_count, 0u);
    EXPECT_LT(inline_count, first.size());
}

// ---- Waits -----------------------------------------------------------------------

TEST_F(request_engine, a_synchronous_send_waits_for_a_later_device_answer) {
    std::thread device_side([this] {
        while (device_->pending(0x81) == 0) std::this_thread::yield();
        device_->push_in(0x81, {9, 8, 7});
    });
    WDFREQUEST r = formatted_read();
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    EXPECT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), &options));
    device_side.join();
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetInformation(r), 3u);
}

TEST_F(request_engine, a_time_out_on_the_virtual_clock_cancels_the_transfer) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_SEC(5));
    const int64_t before = sim::clock_now();
    EXPECT_EQ(read_sync(&options), STATUS_IO_TIMEOUT);
    EXPECT_GE(sim::clock_now() - before, 5 * 10000000LL);
    EXPECT_EQ(device_->pending(0x81), 0u);  // cancelled at the device, not left behind
    // A read after it gets the next data, not a stale buffer.
    device_->push_in(0x81, {1});
    ULONG bytes = 0;
    EXPECT_EQ(read_sync(&options, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 1u);
}

// ---- The framework's send rules --------------------------------------------------

TEST_F(request_engine, send_and_forget_is_refused_for_a_driver_request) {
    completion_log log;
    WDFREQUEST r = formatted_read();
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    EXPECT_FALSE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), &options));
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_INVALID_DEVICE_STATE);
    // With another flag it is malformed before anything else.
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(100));
    EXPECT_FALSE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), &options));
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device_->pending(0x81), 0u);
    // Refused sends leave the request idle: an ordinary send works.
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), WDF_NO_SEND_OPTIONS));
    device_->push_in(0x81, {5});
    log.wait();
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.status, STATUS_SUCCESS);
}

TEST_F(request_engine, a_target_may_start_at_dispatch_level) {
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(in_);
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetStarted);
}

TEST_F(request_engine, a_referenced_request_can_be_cancelled_after_its_routine_deleted_it) {
    struct deleter {
        completion_log log;
        static VOID routine(WDFREQUEST r, WDFIOTARGET t, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT c) {
            WdfObjectDelete(r);
            completion_log::routine(r, t, p, &static_cast<deleter*>(c)->log);
        }
    } state;
    WDFREQUEST r = nullptr;
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &r), STATUS_SUCCESS);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, nullptr, nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(r, deleter::routine, &state);
    WdfObjectReference(r);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), WDF_NO_SEND_OPTIONS));
    device_->push_in(0x81, {});
    state.log.wait();
    EXPECT_FALSE(WdfRequestCancelSentRequest(r));
    WdfObjectDereference(r);
}

// ---- Pipes and the default pipe ------------------------------------------------

TEST_F(request_engine, reset_cancels_what_the_pipe_sent_then_clears_the_halt) {
    completion_log log;
    WDFREQUEST r = formatted_read();
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(in_, WDF_NO_HANDLE, nullptr), STATUS_SUCCESS);
    log.wait();
    EXPECT_EQ(log.status, STATUS_CANCELLED);
    EXPECT_EQ(device_->pending(0x81), 0u);
    EXPECT_EQ(control_traffic(sim::usb::match::clear_feature).size(), 1u);
    // The cancel sticks to the request until it is reused.
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in_, r, memory(64), nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(WdfRequestGetStatus(r), STATUS_CANCELLED);
}

TEST_F(request_engine, reset_of_a_stopped_pipe_goes_out_past_the_state_and_leaves_what_it_holds) {
    device_->set_halted(0x81, true);
    EXPECT_EQ(read_sync(nullptr), STATUS_UNSUCCESSFUL);
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(in_);
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    completion_log log;
    WDFREQUEST held = formatted_read();
    WdfRequestSetCompletionRoutine(held, completion_log::routine, &log);
    ASSERT_TRUE(WdfRequestSend(held, target, WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(in_, WDF_NO_HANDLE, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(device_->halted(0x81));
    EXPECT_EQ(log.count(), 0) << "held, never sent: nothing to cancel";
    ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    device_->push_in(0x81, {4});
    log.wait();
    EXPECT_EQ(log.status, STATUS_SUCCESS);
}

TEST_F(request_engine, control_transfers_synchronous_and_asynchronous) {
    // GET_STATUS(device), synchronously with the driver's request.
    WDF_USB_CONTROL_SETUP_PACKET setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_GET_STATUS(&setup, BmRequestToDevice, 0);
    uint8_t status_bytes[2] = {0xff, 0xff};
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, status_bytes, sizeof(status_bytes));
    ULONG bytes = 0;
    EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(usb_, request(), nullptr, &setup, &descriptor, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 2u);

    // GET_DESCRIPTOR(device), formatted and sent asynchronously.
    WDF_USB_CONTROL_SETUP_PACKET_INIT(&setup, BmRequestDeviceToHost, BmRequestToDevice, USB_REQUEST_GET_DESCRIPTOR,
                                      USB_DEVICE_DESCRIPTOR_TYPE << 8, 0);
    WDFREQUEST r = request();
    ASSERT_EQ(WdfUsbTargetDeviceFormatRequestForControlTransfer(usb_, r, &setup, memory(18), nullptr), STATUS_SUCCESS);
    completion_log log;
    WdfRequestSetCompletionRoutine(r, completion_log::routine, &log);
    ASSERT_TRUE(WdfRequestSend(r, WdfUsbTargetDeviceGetIoTarget(usb_), WDF_NO_SEND_OPTIONS));
    log.wait();
    EXPECT_EQ(log.status, STATUS_SUCCESS);
    EXPECT_EQ(log.usb_type, WdfUsbRequestTypeDeviceControlTransfer);
    EXPECT_EQ(log.information, 18u);
    EXPECT_EQ(control_traffic().size(), 2u);
}

TEST_F(request_engine, port_reset_restores_the_configuration) {
    EXPECT_EQ(WdfUsbTargetDeviceResetPortSynchronously(usb_), STATUS_SUCCESS);
    EXPECT_EQ(device_->port_resets(), 1u);
    EXPECT_EQ(device_->configuration(), 1);
    device_->set_connected(false);
    EXPECT_EQ(WdfUsbTargetDeviceResetPortSynchronously(usb_), STATUS_NO_SUCH_DEVICE);
}

// ---- The verifier ----------------------------------------------------------------

class request_engine_DeathTest : public request_engine {
 protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        request_engine::SetUp();
    }
};

TEST_F(request_engine_DeathTest, a_wait_nothing_can_end_is_a_bug_check) {
    EXPECT_DEATH(
        {
            sim::set_wait_stall_limit(std::chrono::milliseconds(50));
            read_sync(nullptr);
        },
        "BUGCHECK.*synchronous wait that can never end: request .* sent to WDFUSBPIPE");
}

struct locker {
    WDFSPINLOCK lock = nullptr;
    static VOID keep_lock(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT c) {
        WdfSpinLockAcquire(static_cast<locker*>(c)->lock);
    }
};

TEST_F(request_engine_DeathTest, a_routine_returning_with_a_spin_lock_held_is_a_bug_check) {
    EXPECT_DEATH(
        {
            locker state;
            WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &state.lock);
            WDFREQUEST r = formatted_read();
            WdfRequestSetCompletionRoutine(r, locker::keep_lock, &state);
            WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), WDF_NO_SEND_OPTIONS);
            device_->push_in(0x81, {});
            sim::io_threads_stop();
        },
        "BUGCHECK.*spin lock still held when EvtRequestCompletionRoutine returned");
}

TEST_F(request_engine_DeathTest, a_lock_held_across_a_send_that_completes_inline_deadlocks) {
    EXPECT_DEATH(
        {
            sim::set_completion_mode(sim::completion_mode::inline_send);
            locker state;
            WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &state.lock);
            WDFREQUEST r = formatted_read();
            WdfRequestSetCompletionRoutine(r, locker::keep_lock, &state);
            device_->push_in(0x81, {});
            WdfSpinLockAcquire(state.lock);
            WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), WDF_NO_SEND_OPTIONS);
        },
        "BUGCHECK 0x0000000F: spin lock acquired by the thread that already holds it");
}

TEST_F(request_engine_DeathTest, a_paged_buffer_freed_by_a_completion_routine_is_a_bug_check) {
    struct dropper {
        static VOID routine(WDFREQUEST r, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT) {
            WdfObjectDelete(r);  // the read's paged memory goes with its last reference
        }
    };
    EXPECT_DEATH(
        {
            WDFREQUEST r;
            WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &r);
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.ParentObject = r;
            WDFMEMORY m;
            WdfMemoryCreate(&attributes, PagedPool, 0x43444345, 64, &m, nullptr);
            WdfUsbTargetPipeFormatRequestForRead(in_, r, m, nullptr);
            WdfRequestSetCompletionRoutine(r, dropper::routine, nullptr);
            WdfRequestSend(r, WdfUsbTargetPipeGetIoTarget(in_), WDF_NO_SEND_OPTIONS);
            device_->push_in(0x81, {});
            sim::io_threads_stop();
        },
        "BUGCHECK.*PagedPool freed above APC_LEVEL");
}

}  // namespace
}  // namespace usb_test
