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

}  // namespace
}  // namespace cdc::transfer_test
