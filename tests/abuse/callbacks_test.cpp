// Slots called from inside the child's own completion and notification
// callbacks, where a child driver chains its next step.
#include "abuse/abuse_fixture.h"

namespace cdc::abuse_test {
namespace {

using from_callback = abuse;

TEST_P(from_callback, a_read_reissued_from_its_completion_keeps_reading) {
    open_data_path();
    UCHAR read[64] = {};
    completions done;
    std::atomic<int> reissued{0};
    done.on_complete([&](NTSTATUS status, ULONG) {
        if (NT_SUCCESS(status) && reissued < 2) {
            reissued++;
            EXPECT_TRUE(bus_.cdc_data_in_async(child_, read, sizeof(read), completions::callback, &done, no_timeout));
        }
    });
    ASSERT_TRUE(bus_.cdc_data_in_async(child_, read, sizeof(read), completions::callback, &done, no_timeout));
    for (int i = 0; i < 3; i++) {
        device_->push_in(data_in, {'A'});
        ASSERT_TRUE(done.wait_for(static_cast<size_t>(i) + 1));
    }
    EXPECT_EQ(reissued, 2);
    EXPECT_TRUE(eventually([&] { return busy(fdx()->req_in) == 0; }));
    close_data_path();
}

TEST_P(from_callback, a_purge_from_a_completion_cancels_the_other_reads) {
    open_data_path(3, 2);
    UCHAR first[64] = {};
    UCHAR second[64] = {};
    completions done;
    std::atomic<NTSTATUS> purge{-1};
    done.on_complete([&](NTSTATUS, ULONG) {
        if (purge == -1) purge = bus_.cdc_inout_purge(child_, TRUE);
    });
    ASSERT_TRUE(bus_.cdc_data_in_async(child_, first, sizeof(first), completions::callback, &done, no_timeout));
    ASSERT_TRUE(bus_.cdc_data_in_async(child_, second, sizeof(second), completions::callback, &done, no_timeout));
    device_->push_in(data_in, {'A'});
    ASSERT_TRUE(done.wait_for(2));
    EXPECT_EQ(purge, STATUS_SUCCESS);
    // The cancelled read may report before the one whose callback purged.
    auto all = done.all();
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const auto& e) { return e.status == STATUS_SUCCESS; }), 1);
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const auto& e) { return e.status == STATUS_CANCELLED; }), 1);
    EXPECT_TRUE(eventually([&] { return purging(fdx()->req_in) == 0; }));
    close_data_path();
}

TEST_P(from_callback, uninit_from_the_last_completion_gives_the_pools_back) {
    open_data_path();
    ASSERT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);
    UCHAR read[64] = {};
    completions done;
    std::atomic<NTSTATUS> uninit{-1};
    done.on_complete([&](NTSTATUS, ULONG) { uninit = bus_.cdc_data_io_uninit(child_); });
    // The data path stays usable while the pools exist: the pipes are those of setting 0.
    ASSERT_TRUE(bus_.cdc_data_in_async(child_, read, sizeof(read), completions::callback, &done, no_timeout));
    device_->push_in(data_in, {'A'});
    ASSERT_TRUE(done.wait_for(1));
    // The record went back before the callback ran: nothing is busy.
    EXPECT_EQ(uninit, STATUS_SUCCESS);
    EXPECT_EQ(fdx()->data_io_count, 0);
    EXPECT_EQ(fdx()->req_in.destroyed, 1u);
}

// The record is back before the callback runs, so a child that waits for
// its transfers by marking them done at the top of the callback closes at
// once: the close waits for the rest of the callback, which may still use
// what the child frees after the close.
TEST_P(from_callback, an_uninit_on_another_thread_returns_only_after_the_running_callback) {
    open_data_path();
    ASSERT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);
    UCHAR read[64] = {};
    completions done;
    std::atomic<bool> inside{false};
    std::atomic<bool> leave{false};
    std::atomic<bool> returned{false};
    done.on_complete([&](NTSTATUS, ULONG) {
        inside = true;
        EXPECT_TRUE(eventually([&] { return leave.load(); }));
        returned = true;
    });
    ASSERT_TRUE(bus_.cdc_data_in_async(child_, read, sizeof(read), completions::callback, &done, no_timeout));
    device_->push_in(data_in, {'A'});
    ASSERT_TRUE(eventually([&] { return inside.load(); }));
    std::atomic<NTSTATUS> uninit{-1};
    std::atomic<bool> callback_done_first{false};
    std::thread closer([&] {
        uninit = bus_.cdc_data_io_uninit(child_);
        callback_done_first = returned.load();
    });
    // The close waits for the callback's slot; a close that did not would
    // return here already.
    EXPECT_TRUE(eventually([&] { return ReadAcquire(&fdx()->req_in.cb_waiting) != 0 || uninit != -1; }));
    EXPECT_EQ(uninit, -1);
    leave = true;
    closer.join();
    EXPECT_EQ(uninit, STATUS_SUCCESS);
    EXPECT_TRUE(callback_done_first);
    EXPECT_EQ(fdx()->req_in.destroyed, 1u);
}

TEST_P(from_callback, unsetting_the_notification_callback_from_inside_it_stops_the_reader) {
    struct state {
        CDC_BUS_INTERFACE* bus;
        WDFDEVICE child;
        std::atomic<int> calls{0};
        std::atomic<int> unset{-1};
    } s{&bus_, child_};
    auto cb = [](PVOID ctx, PVOID, ULONG) {
        auto* st = static_cast<state*>(ctx);
        st->calls++;
        st->unset = st->bus->cdc_set_notify_cb(st->child, nullptr, nullptr);
    };
    ASSERT_TRUE(bus_.cdc_set_notify_cb(child_, &s, cb));
    device_->push_in(notify_in, {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0});
    ASSERT_TRUE(eventually([&] { return s.unset != -1; }));
    EXPECT_EQ(s.unset, TRUE);
    EXPECT_TRUE(eventually(
        [&] { return traced("usb_cdc_interrupt_read_complete: interrupt reader ended with status 0x0") != 0; }));
    EXPECT_EQ(fdx()->ref_count, 0);
    EXPECT_EQ(device_->pending(notify_in), 0u);
    EXPECT_EQ(traced("usb_interrupt_pipe_stop_cont_reader: Request not cancelled yet"), 0u);
    EXPECT_EQ(s.calls, 1);
    // A fresh registration starts it again.
    ASSERT_TRUE(bus_.cdc_set_notify_cb(child_, &s, cb));
    EXPECT_EQ(device_->pending(notify_in), 1u);
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, nullptr, nullptr));
}

// The stop inside the callback cannot wait for the completion it runs in,
// and the registration right after it finds the reader stopping and sends
// nothing: the completion must go on reading for it.
TEST_P(from_callback, registering_again_inside_the_callback_after_unsetting_it_keeps_the_reader) {
    struct state {
        CDC_BUS_INTERFACE* bus;
        WDFDEVICE child;
        PFN_CDC_NOTIFY_CB self;
        std::atomic<int> calls{0};
        std::atomic<int> registered{-1};
    } s{&bus_, child_, nullptr};
    s.self = [](PVOID ctx, PVOID, ULONG) {
        auto* st = static_cast<state*>(ctx);
        if (st->calls++ != 0) return;
        st->bus->cdc_set_notify_cb(st->child, nullptr, nullptr);
        st->registered = st->bus->cdc_set_notify_cb(st->child, st, st->self);
    };
    ASSERT_TRUE(bus_.cdc_set_notify_cb(child_, &s, s.self));
    device_->push_in(notify_in, {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0});
    ASSERT_TRUE(eventually([&] { return s.registered != -1; }));
    EXPECT_EQ(s.registered, TRUE);
    EXPECT_TRUE(eventually([&] { return device_->pending(notify_in) == 1; }));
    device_->push_in(notify_in, {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 3, 0});
    EXPECT_TRUE(eventually([&] { return s.calls == 2; }));
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, nullptr, nullptr));
    EXPECT_EQ(device_->pending(notify_in), 0u);
    EXPECT_EQ(fdx()->ref_count, 0);
}

// Above PASSIVE_LEVEL the stop cannot wait for the read it cancels: the
// read's completion ends the reader by itself, and leaves it startable.
TEST_P(from_callback, unsetting_the_notification_callback_from_a_read_completion_ends_the_reader) {
    open_data_path();
    std::atomic<int> heard{0};
    auto cb = [](PVOID ctx, PVOID, ULONG) { static_cast<std::atomic<int>*>(ctx)->fetch_add(1); };
    ASSERT_TRUE(bus_.cdc_set_notify_cb(child_, &heard, cb));
    ASSERT_EQ(device_->pending(notify_in), 1u);
    UCHAR read[64] = {};
    completions done;
    std::atomic<int> unset{-1};
    done.on_complete([&](NTSTATUS, ULONG) { unset = bus_.cdc_set_notify_cb(child_, nullptr, nullptr); });
    ASSERT_TRUE(bus_.cdc_data_in_async(child_, read, sizeof(read), completions::callback, &done, no_timeout));
    device_->push_in(data_in, {'A'});
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_EQ(unset, TRUE);
    EXPECT_TRUE(eventually(
        [&] { return traced("usb_cdc_interrupt_read_complete: interrupt reader ended with status 0xc0000120") != 0; }));
    EXPECT_EQ(device_->pending(notify_in), 0u);
    EXPECT_EQ(fdx()->ref_count, 0);
    ASSERT_TRUE(bus_.cdc_set_notify_cb(child_, &heard, cb));
    EXPECT_EQ(device_->pending(notify_in), 1u);
    EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, nullptr, nullptr));
    EXPECT_EQ(device_->pending(notify_in), 0u);
    EXPECT_EQ(heard, 0);
    close_data_path();
}

TEST_P(from_callback, a_control_transfer_from_a_control_completion_finds_the_channel_free) {
    open_data_path();
    UCHAR line[7] = {};
    completions done;
    std::atomic<NTSTATUS> again{-1};
    done.on_complete([&](NTSTATUS, ULONG) {
        if (again == -1) {
            again = bus_.class_control_async(child_, TRUE, 0x21, 0, 7, line, completions::callback, &done, nullptr, 0);
        }
    });
    ASSERT_EQ(bus_.class_control_async(child_, TRUE, 0x21, 0, 7, line, completions::callback, &done, nullptr, 0),
              STATUS_PENDING);
    // The channel is free before the callback runs: the chained one goes out.
    ASSERT_TRUE(done.wait_for(2));
    EXPECT_EQ(again, STATUS_PENDING);
    EXPECT_TRUE(eventually([&] { return ReadAcquire(&fdx()->control_req_state) == 0; }));
    close_data_path();
}

// The purge waits for the transfer it cancels, which a callback at
// DISPATCH_LEVEL cannot: it is refused there, and the transfer goes on.
TEST_P(from_callback, a_control_purge_from_a_read_completion_with_a_transfer_in_flight_is_refused) {
    open_data_path();
    UCHAR line[7] = {};
    completions control;
    device_->hold_next_control(sim::usb::match::class_or_vendor);
    ASSERT_EQ(bus_.class_control_async(child_, TRUE, 0x21, 0, 7, line, completions::callback, &control, nullptr, 0),
              STATUS_PENDING);
    UCHAR read[64] = {};
    completions reads;
    std::atomic<NTSTATUS> purge{-1};
    reads.on_complete([&](NTSTATUS, ULONG) { purge = bus_.control_request_purge(child_); });
    ASSERT_TRUE(bus_.cdc_data_in_async(child_, read, sizeof(read), completions::callback, &reads, no_timeout));
    device_->push_in(data_in, {'A'});
    ASSERT_TRUE(reads.wait_for(1));
    EXPECT_EQ(purge, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(traced("usb_control_request_purge: called above PASSIVE_LEVEL"), 1u);
    EXPECT_EQ(control.all().size(), 0u);
    // At PASSIVE_LEVEL the same purge ends it.
    EXPECT_EQ(bus_.control_request_purge(child_), STATUS_SUCCESS);
    ASSERT_TRUE(control.wait_for(1));
    EXPECT_EQ(control.all()[0].status, STATUS_CANCELLED);
    close_data_path();
}

INSTANTIATE_TEST_SUITE_P(modes, from_callback, ::testing::Values(mode::direct, mode::control), mode_name);

}  // namespace
}  // namespace cdc::abuse_test
