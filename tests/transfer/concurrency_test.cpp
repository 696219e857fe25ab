// Two children of one function sharing its pools, with real threads racing
// transfers against purges, restarts and the opening and closing of the data
// path: every transfer that started completes exactly once, and nothing is
// left behind.
#include <thread>

#include "transfer/bus_fixture.h"

namespace cdc::transfer_test {
namespace {

// One started transfer: its callback must come exactly once.
struct token {
    std::atomic<int> calls{0};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(128, 0x33);

    static VOID callback(PVOID ctx, NTSTATUS, ULONG) { static_cast<token*>(ctx)->calls.fetch_add(1); }
};

class transfer_races : public bus_fixture {
 protected:
    // Runs `per_thread` transfers on each child from its own thread while
    // `disturb` runs on another; then drains and checks every token.
    void race(const std::vector<WDFDEVICE>& children, const std::vector<CDC_BUS_INTERFACE*>& buses, size_t per_thread,
              const std::function<void(std::atomic<bool>&)>& disturb) {
        std::vector<std::vector<std::unique_ptr<token>>> started(children.size());
        std::atomic<bool> running{true};
        std::thread disturber([&] { disturb(running); });
        std::thread device_side([&] {
            while (running.load()) {
                device_->take_all_out(0x02);
                if (device_->pending(0x82) != 0) device_->push_in(0x82, {1, 2, 3});
                std::this_thread::yield();
            }
        });
        std::vector<std::thread> workers;
        for (size_t c = 0; c < children.size(); c++) {
            workers.emplace_back([&, c] {
                for (size_t i = 0; i < per_thread; i++) {
                    auto t = std::make_unique<token>();
                    const ULONG length = (i % 3 == 0) ? 64 : static_cast<ULONG>(1 + i % 100);
                    BOOLEAN ok = (i % 2 == 0) ? buses[c]->cdc_data_out_async(children[c], t->buffer.data(), length,
                                                                             token::callback, t.get(), no_timeout)
                                              : buses[c]->cdc_data_in_async(children[c], t->buffer.data(), 64,
                                                                            token::callback, t.get(), no_timeout);
                    if (ok) started[c].push_back(std::move(t));
                }
            });
        }
        for (auto& w : workers) w.join();
        running.store(false);
        disturber.join();
        device_side.join();

        // Drain: what is still pending is cancelled and must come back.
        for (size_t c = 0; c < children.size(); c++) {
            buses[c]->cdc_inout_purge(children[c], TRUE);
            buses[c]->cdc_inout_purge(children[c], FALSE);
        }
        sim::io_threads_stop();
        size_t total = 0;
        for (auto& list : started) {
            for (auto& t : list) {
                EXPECT_EQ(t->calls.load(), 1);
                total++;
            }
        }
        EXPECT_GT(total, 0u);
    }
};

TEST_F(transfer_races, transfers_race_purges_and_restarts_on_two_children) {
    descriptor_set set = sim::usb::catalogue::acm_modem();
    set_value(set, "ExtraControlEnabled", 1);
    auto children = plug(set);
    ASSERT_EQ(children.size(), 2u);
    std::vector<CDC_BUS_INTERFACE*> buses = {&bus(children[0]), &bus(children[1])};
    for (size_t c = 0; c < 2; c++) {
        ASSERT_EQ(buses[c]->cdc_data_io_init(children[c], 4, 4), STATUS_SUCCESS);
        ASSERT_EQ(buses[c]->cdc_transport_enable(children[c]), STATUS_SUCCESS);
    }

    race(children, buses, 300, [&](std::atomic<bool>& running) {
        for (unsigned i = 0; running.load(); i++) {
            if (i % 3 == 0) buses[0]->cdc_inout_purge(children[0], i % 2 == 0);
            if (i % 7 == 0) buses[1]->cdc_restart_io_target(children[1], i % 2 == 0);
            std::this_thread::yield();
        }
    });

    for (size_t c = 0; c < 2; c++) {
        EXPECT_EQ(buses[c]->cdc_transport_disable(children[c]), STATUS_SUCCESS);
        EXPECT_EQ(buses[c]->cdc_data_io_uninit(children[c]), STATUS_SUCCESS);
    }
}

TEST_F(transfer_races, transfers_race_the_opening_and_closing_of_an_ecm_data_path) {
    descriptor_set set = sim::usb::catalogue::ecm_adapter();
    set_value(set, "ExtraControlEnabled", 1);
    auto children = plug(set);
    ASSERT_EQ(children.size(), 2u);
    std::vector<CDC_BUS_INTERFACE*> buses = {&bus(children[0]), &bus(children[1])};
    ASSERT_EQ(buses[0]->cdc_data_io_init(children[0], 4, 4), STATUS_SUCCESS);
    ASSERT_EQ(buses[1]->cdc_data_io_init(children[1], 4, 4), STATUS_SUCCESS);
    ASSERT_EQ(buses[0]->cdc_transport_enable(children[0]), STATUS_SUCCESS);

    // The second child opens and closes under the first child's transfers: a
    // closing with transfers in flight is refused, one without them switches
    // the setting, and no transfer ever meets a deleted pipe.
    std::atomic<int> opened{0};
    race({children[0]}, {buses[0]}, 400, [&](std::atomic<bool>& running) {
        do {
            if (buses[1]->cdc_transport_enable(children[1]) == STATUS_SUCCESS) opened++;
            buses[1]->cdc_transport_disable(children[1]);
            buses[0]->cdc_inout_purge(children[0], TRUE);
        } while (running.load());
    });
    EXPECT_GT(opened.load(), 0);

    // Whatever the count went through, closing until the setting is back at
    // 0 leaves the pools free to go.
    for (int i = 0; i < 4 && device_->alternate_setting(1) != 0; i++) buses[0]->cdc_transport_disable(children[0]);
    EXPECT_EQ(buses[1]->cdc_data_io_uninit(children[1]), STATUS_SUCCESS);
    EXPECT_EQ(buses[0]->cdc_data_io_uninit(children[0]), STATUS_SUCCESS);
}

// One child opens and closes the data path of an ECM function (each time the
// setting switch replaces the notification record) while the other registers
// and unregisters its notification callback and the device keeps sending
// notifications: no read ever meets a freed record, and no registration made
// during a switch is lost.
TEST_F(transfer_races, notification_registrations_race_the_setting_switch) {
    descriptor_set set = sim::usb::catalogue::ecm_adapter();
    set_value(set, "ExtraControlEnabled", 1);
    auto children = plug(set);
    ASSERT_EQ(children.size(), 2u);
    CDC_BUS_INTERFACE& switcher = bus(children[0]);
    CDC_BUS_INTERFACE& listener = bus(children[1]);
    constexpr uint8_t notify_in = 0x81;
    const std::vector<uint8_t> connected = {0xa1, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::atomic<int> heard{0};
    auto on_notify = [](PVOID ctx, PVOID, ULONG) { static_cast<std::atomic<int>*>(ctx)->fetch_add(1); };

    std::atomic<bool> running{true};
    std::thread device_side([&] {
        while (running.load()) {
            if (device_->pending(notify_in) != 0) device_->push_in(notify_in, connected);
            std::this_thread::yield();
        }
    });
    std::thread registrations([&] {
        for (int i = 0; i < 3000; i++) {
            listener.cdc_set_notify_cb(children[1], &heard, on_notify);
            listener.cdc_set_notify_cb(children[1], nullptr, nullptr);
        }
    });
    int switches = 0;
    NTSTATUS refused = STATUS_SUCCESS;
    for (int i = 0; i < 3000; i++) {
        NTSTATUS status = switcher.cdc_transport_enable(children[0]);
        if (status == STATUS_SUCCESS) {
            switches++;
        } else if (refused == STATUS_SUCCESS) {
            refused = status;
        }
        switcher.cdc_transport_disable(children[0]);
    }
    registrations.join();
    running.store(false);
    device_side.join();
    sim::io_threads_stop();
    EXPECT_EQ(switches, 3000) << "first refusal " << std::hex << refused;

    // A registration made while the path switches keeps its reader.
    ASSERT_TRUE(listener.cdc_set_notify_cb(children[1], &heard, on_notify));
    ASSERT_EQ(switcher.cdc_transport_enable(children[0]), STATUS_SUCCESS);
    heard.store(0);
    ASSERT_EQ(device_->pending(notify_in), 1u);
    device_->push_in(notify_in, connected);
    sim::io_threads_stop();
    EXPECT_EQ(heard.load(), 1);
    ASSERT_TRUE(listener.cdc_set_notify_cb(children[1], nullptr, nullptr));
    sim::io_threads_stop();
    EXPECT_EQ(device_->pending(notify_in), 0u);
    EXPECT_EQ(switcher.cdc_transport_disable(children[0]), STATUS_SUCCESS);
}

// Pipe maintenance by one child while the other opens and closes the data
// path: a maintenance call never meets a pipe the switch deleted, and a
// closing that finds one under way is refused rather than pulling it away.
TEST_F(transfer_races, pipe_maintenance_races_the_setting_switch) {
    descriptor_set set = sim::usb::catalogue::ecm_adapter();
    set_value(set, "ExtraControlEnabled", 1);
    auto children = plug(set);
    ASSERT_EQ(children.size(), 2u);
    CDC_BUS_INTERFACE& switcher = bus(children[0]);
    CDC_BUS_INTERFACE& mender = bus(children[1]);

    std::atomic<bool> running{true};
    std::thread maintenance([&] {
        for (unsigned i = 0; running.load(); i++) {
            mender.cdc_restart_io_target(children[1], i % 2 == 0);
            mender.qd_clear_data(children[1]);
            mender.qd_abort_reads(children[1]);
            uint8_t clear_halt[8] = {0x02, 0x01, 0x00, 0x00, static_cast<uint8_t>(i % 2 == 0 ? 0x82 : 0x02), 0, 0, 0};
            mender.generic_control_sync(children[1], clear_halt, nullptr, 0, nullptr, no_timeout);
        }
    });
    for (int i = 0; i < 2000; i++) {
        switcher.cdc_transport_enable(children[0]);
        switcher.cdc_transport_disable(children[0]);
    }
    running.store(false);
    maintenance.join();

    // A refused closing left the path open: opening and closing again, with
    // nothing lent any more, closes it.
    for (int i = 0; i < 4 && device_->alternate_setting(1) != 0; i++) {
        switcher.cdc_transport_enable(children[0]);
        switcher.cdc_transport_disable(children[0]);
    }
    EXPECT_EQ(device_->alternate_setting(1), 0u);
}

// Whole-packet writes (each a data request and its zero-length packet)
// against purges of the OUT side: every write is reported exactly once, and
// the pools are free to go afterwards.
TEST_F(transfer_races, purges_race_writes_with_zero_length_packets) {
    auto children = plug(sim::usb::catalogue::acm_modem());
    ASSERT_EQ(children.size(), 1u);
    CDC_BUS_INTERFACE& b = bus(children[0]);
    ASSERT_EQ(b.cdc_data_io_init(children[0], 4, 4), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(children[0]), STATUS_SUCCESS);

    std::vector<std::unique_ptr<token>> started;
    std::atomic<bool> running{true};
    std::thread purger([&] {
        while (running.load()) {
            b.cdc_inout_purge(children[0], FALSE);
            std::this_thread::yield();
        }
    });
    std::thread device_side([&] {
        while (running.load()) {
            device_->take_all_out(0x02);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 3000; i++) {
        auto t = std::make_unique<token>();
        if (b.cdc_data_out_async(children[0], t->buffer.data(), i % 2 == 0 ? 64 : 128, token::callback, t.get(),
                                 no_timeout)) {
            started.push_back(std::move(t));
        }
    }
    running.store(false);
    purger.join();
    device_side.join();
    b.cdc_inout_purge(children[0], FALSE);
    sim::io_threads_stop();

    EXPECT_GT(started.size(), 0u);
    for (auto& t : started) EXPECT_EQ(t->calls.load(), 1);
    EXPECT_EQ(b.cdc_transport_disable(children[0]), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(children[0]), STATUS_SUCCESS);
}

}  // namespace
}  // namespace cdc::transfer_test
