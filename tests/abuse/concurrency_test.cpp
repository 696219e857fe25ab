// A few slots hammered from several threads at once (run under TSan too):
// every call ends with one of its documented results and the pools, counts
// and reader are consistent afterwards.
#include "abuse/abuse_fixture.h"

namespace cdc::abuse_test {
namespace {

using concurrent = abuse;

constexpr int threads = 4;
constexpr int rounds = 40;

// Starts n threads on body(i) together and joins them.
template <typename Body>
void run_together(int n, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    for (int i = 0; i < n; i++) {
        pool.emplace_back([&, i] {
            ready++;
            while (ready < n) std::this_thread::yield();
            body(i);
        });
    }
    for (auto& t : pool) t.join();
}

TEST_P(concurrent, writes_from_several_threads_either_go_out_whole_or_are_refused) {
    open_data_path(2, 2);
    std::atomic<int> sent{0};
    std::atomic<int> refused{0};
    run_together(threads, [&](int i) {
        UCHAR byte = static_cast<UCHAR>('a' + i);
        for (int r = 0; r < rounds; r++) {
            if (bus_.cdc_data_out_sync(child_, &byte, 1, no_timeout)) {
                sent++;
            } else {
                refused++;
            }
        }
    });
    EXPECT_EQ(sent + refused, threads * rounds);
    EXPECT_GT(sent, 0);
    size_t received = 0;
    while (device_->take_out(data_out).has_value()) received++;
    EXPECT_EQ(received, static_cast<size_t>(sent));
    EXPECT_EQ(busy(fdx()->req_out), 0u);
    close_data_path();
}

TEST_P(concurrent, control_transfers_from_several_threads_run_one_at_a_time) {
    open_data_path();
    std::atomic<int> done{0};
    std::atomic<int> busy{0};
    run_together(threads, [&](int) {
        UCHAR line[7];
        ULONG bytes = 0;
        for (int r = 0; r < rounds; r++) {
            NTSTATUS status = bus_.class_control_sync(child_, TRUE, 0x21, 0, 7, line, &bytes, 0);
            if (status == STATUS_DEVICE_BUSY) {
                busy++;
            } else {
                EXPECT_EQ(status, STATUS_SUCCESS);
                done++;
            }
        }
    });
    EXPECT_EQ(done + busy, threads * rounds);
    EXPECT_GT(done, 0);
    EXPECT_EQ(fdx()->control_req_state, 0);
    close_data_path();
}

TEST_P(concurrent, reads_purges_and_aborts_at_once_leave_nothing_busy) {
    open_data_path(4, 2);
    completions done;
    std::atomic<int> started{0};
    run_together(threads, [&](int i) {
        UCHAR buffer[64];
        for (int r = 0; r < rounds; r++) {
            if (i == 0) {
                NTSTATUS status = bus_.cdc_inout_purge(child_, TRUE);
                EXPECT_EQ(status, STATUS_SUCCESS);
            } else if (i == 1) {
                EXPECT_EQ(bus_.qd_abort_reads(child_), STATUS_SUCCESS);
            } else if (bus_.cdc_data_in_async(child_, buffer, sizeof(buffer), completions::callback, &done,
                                              no_timeout)) {
                // The buffer outlives the read: the purge and abort end it
                // before this thread's frame goes (waited for below).
                started++;
                EXPECT_EQ(bus_.cdc_inout_purge(child_, TRUE), STATUS_SUCCESS);
                while (done.all().size() < static_cast<size_t>(started)) std::this_thread::yield();
            }
        }
    });
    ASSERT_TRUE(done.wait_for(static_cast<size_t>(started)));
    for (const auto& e : done.all()) EXPECT_EQ(e.status, STATUS_CANCELLED);
    EXPECT_TRUE(eventually([&] { return busy(fdx()->req_in) == 0; }));
    EXPECT_TRUE(eventually([&] { return purging(fdx()->req_in) == 0; }));
    close_data_path();
}

TEST_P(concurrent, notification_registrations_from_several_threads_balance) {
    run_together(threads, [&](int i) {
        int ctx = i;
        for (int r = 0; r < rounds; r++) {
            EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, &ctx, [](PVOID, PVOID, ULONG) {}));
            EXPECT_TRUE(bus_.cdc_set_notify_cb(child_, nullptr, nullptr));
        }
    });
    EXPECT_EQ(fdx()->ref_count, 0);
    EXPECT_EQ(pdx()->notify_refs, 0);
    EXPECT_TRUE(eventually([&] { return device_->pending(notify_in) == 0; }));
}

TEST_P(concurrent, queries_while_the_data_path_opens_and_closes) {
    ASSERT_EQ(bus_.cdc_data_io_init(child_, 2, 2), STATUS_SUCCESS);
    run_together(threads, [&](int i) {
        for (int r = 0; r < rounds; r++) {
            if (i == 0) {
                EXPECT_EQ(bus_.cdc_transport_enable(child_), STATUS_SUCCESS);
                EXPECT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);
            } else {
                ULONG in = 0;
                ULONG out = 0;
                USB_DEVICE_DESCRIPTOR desc;
                EXPECT_EQ(bus_.qd_get_maxps(child_, nullptr, &out, &in, nullptr), STATUS_SUCCESS);
                EXPECT_EQ(out, 64u);
                EXPECT_EQ(bus_.qd_get_device_descriptor(child_, &desc), STATUS_SUCCESS);
                EXPECT_FALSE(bus_.qd_is_idle(child_));
            }
        }
    });
    EXPECT_EQ(fdx()->enable_count, 0);
    EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_SUCCESS);
}

int hook_ctx;
std::atomic<int> hook_mismatches{0};
LONG checking_hook(PVOID ctx, ULONG_PTR) {
    if (ctx != &hook_ctx) hook_mismatches++;
    return 0;
}

TEST_P(concurrent, a_sibling_message_racing_the_hook_being_set_and_cleared_gets_a_whole_hook) {
    hook_mismatches = 0;
    run_together(2, [&](int i) {
        for (int r = 0; r < rounds * 5; r++) {
            if (i == 0) {
                bus_.qd_children_msg_set(child_, checking_hook, &hook_ctx);
                bus_.qd_children_msg_set(child_, nullptr, nullptr);
            } else {
                ULONG count = 0x77;
                EXPECT_EQ(bus_.qd_children_msg_send(child_, 1, &count), STATUS_SUCCESS);
                EXPECT_LE(count, 1u);
            }
        }
    });
    EXPECT_EQ(hook_mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(modes, concurrent, ::testing::Values(mode::direct, mode::control), mode_name);

using concurrent_removal = abuse;

LONG open_cb(PVOID) { return 1; }
LONG final_cb(PVOID) { return 0; }

TEST_P(concurrent_removal, calls_racing_a_surprise_removal_get_a_result_or_absent) {
    int ctx = 0;
    ASSERT_EQ(bus_.cdc_data_io_ctrl_cbs_init(child_, 1, final_cb, final_cb, open_cb, nullptr, nullptr, &ctx),
              STATUS_SUCCESS);
    open_data_path();
    std::atomic<bool> removed{false};
    std::atomic<int> absent_seen{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; i++) {
        callers.emplace_back([&] {
            // Keep calling until the removal is over, then once more.
            for (bool last = false; !last;) {
                last = removed;
                ULONG out = 0;
                NTSTATUS status = bus_.qd_get_maxps(child_, nullptr, &out, nullptr, nullptr);
                EXPECT_TRUE(status == STATUS_SUCCESS || status == absent) << std::hex << status;
                if (status == absent) absent_seen++;
                UCHAR byte = 'x';
                bus_.cdc_data_out_sync(child_, &byte, 1, no_timeout);
            }
        });
    }
    host_->surprise_remove(device_);
    removed = true;
    for (auto& t : callers) t.join();
    EXPECT_GE(absent_seen, 3);
    EXPECT_EQ(pdx()->usb_device, nullptr);
    bus_.cdc_data_io_ctrl_cbs_uninit(child_);
}

INSTANTIATE_TEST_SUITE_P(modes, concurrent_removal, ::testing::Values(mode::control), mode_name);

}  // namespace
}  // namespace cdc::abuse_test
