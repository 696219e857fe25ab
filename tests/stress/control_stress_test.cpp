// Control-device mode under load: children doing I/O from several threads
// while their modems are unplugged, replugged, surprise removed, idled and the
// system sleeps and resumes, in a seeded random order. Every transfer the bus
// interface accepted must complete exactly once, and unloading must find
// nothing left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "cdc/bus/kernel/winnt/cdc_bus_interface.h"
#include "devices/catalogue.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "usb/usb_device.h"

namespace {

namespace catalogue = sim::usb::catalogue;

constexpr uint8_t data_in = 0x82;
constexpr ULONG records = 8;
constexpr size_t slots_per_direction = 4;
constexpr ULONG transfer_length = 64;

std::string location(size_t port) { return "6&1a2b3c4d&0&" + std::to_string(port + 1); }

// One transfer buffer; in flight from the accepted call to its completion.
struct slot {
    struct lane* owner = nullptr;
    bool in = false;
    std::atomic<bool> in_flight{false};
    uint8_t buffer[transfer_length] = {};
};

// A child as its driver sees it: the data path is set up while a function
// device serves it, stopped around low-power periods, torn down when the
// device leaves for good. Calls on the data path take the gate shared; the
// control callbacks take it exclusive, so none of them tears down under a
// call in progress.
struct lane {
    WDFDEVICE child = nullptr;
    CDC_BUS_INTERFACE bus{};
    std::shared_mutex gate;
    bool served = false;  // guarded by gate: data path initialised and enabled
    bool paused = false;  // guarded by gate: the serving device is in a low-power state
    slot slots[2 * slots_per_direction];

    std::atomic<uint64_t> started{0};
    std::atomic<uint64_t> completed{0};
    std::atomic<uint64_t> succeeded{0};
    std::atomic<uint64_t> refused{0};
    std::atomic<uint64_t> twice{0};  // completions of a transfer not in flight
    std::atomic<uint64_t> callback_failures{0};

    std::mutex idle_lock;
    std::condition_variable idle_changed;
    std::atomic<unsigned> in_flight{0};

    static VOID on_complete(PVOID context, NTSTATUS status, ULONG bytes) {
        (void)bytes;
        auto* s = static_cast<slot*>(context);
        lane* self = s->owner;
        if (!s->in_flight.exchange(false)) {
            self->twice++;
            return;
        }
        self->completed++;
        if (NT_SUCCESS(status)) self->succeeded++;
        std::lock_guard<std::mutex> guard(self->idle_lock);
        self->in_flight--;
        self->idle_changed.notify_all();
    }

    // One transfer on a free slot, if the data path is up.
    void try_transfer(bool in, size_t index) {
        slot& s = slots[(in ? 0 : slots_per_direction) + index % slots_per_direction];
        std::shared_lock<std::shared_mutex> guard(gate);
        if (!served || paused) return;
        bool expected = false;
        if (!s.in_flight.compare_exchange_strong(expected, true)) return;
        {
            std::lock_guard<std::mutex> count_guard(idle_lock);
            in_flight++;
        }
        const BOOLEAN accepted = in ? bus.cdc_data_in_async(child, s.buffer, transfer_length, on_complete, &s, 0)
                                    : bus.cdc_data_out_async(child, s.buffer, transfer_length, on_complete, &s, 0);
        if (accepted) {
            started++;
            return;
        }
        refused++;
        s.in_flight = false;
        std::lock_guard<std::mutex> count_guard(idle_lock);
        in_flight--;
        idle_changed.notify_all();
    }

    // Cancels what is in flight and waits for its completions; gate held exclusive.
    bool drain_locked() {
        if (!served) return true;
        bus.cdc_inout_purge(child, TRUE);
        bus.cdc_inout_purge(child, FALSE);
        std::unique_lock<std::mutex> guard(idle_lock);
        return idle_changed.wait_for(guard, std::chrono::seconds(20), [&] { return in_flight == 0; });
    }

    LONG start_final() {
        std::unique_lock<std::shared_mutex> guard(gate);
        paused = false;
        // Only a device that has just started calls this; a stop-final came
        // before its predecessor left. Whatever is still counted here died
        // with that device.
        if (served && !drain_locked()) return STATUS_IO_TIMEOUT;
        served = false;
        NTSTATUS status = bus.cdc_data_io_init(child, records, records);
        if (!NT_SUCCESS(status)) return status;
        status = bus.cdc_transport_enable(child);
        if (status != STATUS_SUCCESS) {
            bus.cdc_data_io_uninit(child);
            return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
        }
        served = true;
        return 0;
    }

    LONG stop_final() {
        std::unique_lock<std::shared_mutex> guard(gate);
        if (!drain_locked()) return STATUS_IO_TIMEOUT;
        if (served) {
            bus.cdc_transport_disable(child);
            bus.cdc_data_io_uninit(child);
            served = false;
        }
        return 0;
    }

    LONG stop() {
        std::unique_lock<std::shared_mutex> guard(gate);
        paused = true;
        return drain_locked() ? 0 : STATUS_IO_TIMEOUT;
    }

    LONG start() {
        std::unique_lock<std::shared_mutex> guard(gate);
        paused = false;
        return 0;
    }

    static LONG cb_start_final(PVOID ctx) { return checked(ctx, static_cast<lane*>(ctx)->start_final()); }
    static LONG cb_stop_final(PVOID ctx) { return checked(ctx, static_cast<lane*>(ctx)->stop_final()); }
    static LONG cb_stop(PVOID ctx) { return checked(ctx, static_cast<lane*>(ctx)->stop()); }
    static LONG cb_start(PVOID ctx) { return checked(ctx, static_cast<lane*>(ctx)->start()); }
    static LONG cb_is_open(PVOID) { return 1; }
    static LONG checked(PVOID ctx, LONG status) {
        if (status != 0) static_cast<lane*>(ctx)->callback_failures++;
        return status;
    }
};

struct port {
    std::shared_ptr<sim::usb::device> dev;
    sim::device_stack* stack = nullptr;
    bool plugged = false;
};

class control_stress : public ::testing::Test {
 protected:
    void SetUp() override {
        const char* seed = getenv("CDC_STRESS_SEED");
        seed_ = seed != nullptr ? static_cast<unsigned>(strtoul(seed, nullptr, 10)) : 20261207u;
        host_ = std::make_unique<sim::host>();
        host_->registry().set_dword(sim::host::parameters_key(), "UseControlDevice", 1);
        host_->registry().set_dword(sim::host::parameters_key(), "DebugLevel", getenv("CDC_TRACE") != nullptr ? 4 : 1);
        if (getenv("CDC_TRACE") != nullptr) sim::debugger_mirror(stderr);
        ASSERT_EQ(host_->load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS);
        sim::device_stack_config root;
        root.enumerator = "ROOT";
        root.device_id = "CDCBUS";
        root.instance_id = "0000";
        control_ = &host_->add_device(root);
        ASSERT_EQ(host_->start_device(*control_), STATUS_SUCCESS);
    }

    void TearDown() override {
        // Unloading checks that nothing the driver made is left behind.
        host_.reset();
    }

    void plug(port& p, size_t index) {
        sim::plug_options options;
        options.location = location(index);
        options.whole_device = true;
        auto stacks = host_->plug(p.dev, options);
        ASSERT_EQ(stacks.size(), 1u);
        p.stack = stacks[0];
        p.plugged = true;
    }

    std::unique_ptr<sim::host> host_;
    sim::device_stack* control_ = nullptr;
    unsigned seed_ = 0;
};

TEST_F(control_stress, every_accepted_transfer_completes_once_across_unplug_replug_and_power) {
    constexpr size_t port_count = 3;
    std::vector<port> ports(port_count);
    for (size_t i = 0; i < port_count; ++i) {
        ports[i].dev = std::make_shared<sim::usb::device>(catalogue::acm_modem());
        ports[i].dev->set_recording(false);
        // A modem that can wake idles after its time-out.
        host_->registry().set_dword(
            std::string(sim::enum_key()) + "\\USB\\VID_1234&PID_0001\\" + location(i) + "\\Device Parameters",
            "IdleTimeout", 5);
        plug(ports[i], i);
    }
    auto children = host_->children(*control_);
    ASSERT_EQ(children.size(), port_count);

    std::vector<std::unique_ptr<lane>> lanes;
    for (const auto& child : children) {
        auto l = std::make_unique<lane>();
        l->child = child.device;
        for (slot& s : l->slots) s.owner = l.get();
        for (size_t i = 0; i < slots_per_direction; ++i) l->slots[i].in = true;
        ASSERT_EQ(
            sim::query_interface(child.device, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(&l->bus),
                                 sizeof(l->bus), CDC_BUS_INTERFACE_VERSION, const_cast<char*>(CDC_BUS_DRIVER_VERSION)),
            STATUS_SUCCESS);
        ASSERT_EQ(l->bus.cdc_data_io_ctrl_cbs_init(child.device, 1, lane::cb_start_final, lane::cb_stop_final,
                                                   lane::cb_is_open, lane::cb_stop, lane::cb_start, l.get()),
                  STATUS_SUCCESS);
        // The device already serves it: set the data path up as a start would.
        ASSERT_EQ(lane::cb_start_final(l.get()), 0);
        lanes.push_back(std::move(l));
    }

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> attempts{0};
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < 2; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 rng(seed_ + 101 * (w + 1));
            while (!stop) {
                lane& l = *lanes[rng() % lanes.size()];
                l.try_transfer(rng() % 2 == 0, rng());
                attempts++;
                if (rng() % 8 == 0) std::this_thread::yield();
            }
        });
    }

    std::mt19937 rng(seed_);
    bool asleep = false;
    std::vector<uint8_t> bytes(16, 0x5a);
    for (unsigned step = 0; step < 60; ++step) {
        SCOPED_TRACE("seed " + std::to_string(seed_) + ", step " + std::to_string(step));
        const size_t i = rng() % port_count;
        port& p = ports[i];
        switch (rng() % 6) {
            case 0:
                if (p.plugged && !asleep) {
                    host_->unplug(p.dev);
                    p.plugged = false;
                }
                break;
            case 1:
                if (p.plugged && !asleep) {
                    host_->surprise_remove(p.dev);
                    p.plugged = false;
                }
                break;
            case 2:
                if (!p.plugged && !asleep) plug(p, i);
                break;
            case 3:
                if (!asleep) {
                    EXPECT_EQ(host_->sleep(), STATUS_SUCCESS);
                    asleep = true;
                } else {
                    EXPECT_EQ(host_->resume(), STATUS_SUCCESS);
                    asleep = false;
                }
                break;
            case 4:
                if (p.plugged && !asleep) host_->idle(p.stack->device());
                break;
            default:
                // A child wakes its device, as a driver does before talking to it.
                if (!asleep) lanes[i]->bus.qd_device_wakeup_sync(lanes[i]->child, FALSE);
                break;
        }
        // Each modem that is there sends something for the reads pending on it.
        for (port& q : ports) {
            if (q.plugged && !asleep) q.dev->push_in(data_in, bytes);
        }
        host_->settle();
        // The workers get a share of every step, however fast the actions run.
        const uint64_t target = attempts + 300;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (attempts < target && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    }
    if (asleep) {
        EXPECT_EQ(host_->resume(), STATUS_SUCCESS);
    }

    stop = true;
    for (auto& t : workers) t.join();

    uint64_t succeeded = 0;
    for (auto& l : lanes) {
        {
            std::unique_lock<std::shared_mutex> guard(l->gate);
            EXPECT_TRUE(l->drain_locked());
            if (l->served) {
                l->bus.cdc_transport_disable(l->child);
                l->bus.cdc_data_io_uninit(l->child);
                l->served = false;
            }
        }
        l->bus.cdc_data_io_ctrl_cbs_uninit(l->child);
        l->bus.header.InterfaceDereference(l->bus.header.Context);
        EXPECT_EQ(l->started.load(), l->completed.load());
        EXPECT_EQ(l->twice.load(), 0u);
        EXPECT_EQ(l->callback_failures.load(), 0u);
        succeeded += l->succeeded;
        RecordProperty("lane" + std::to_string(&l - &lanes[0]), std::to_string(l->started) + " started, " +
                                                                    std::to_string(l->succeeded) + " succeeded, " +
                                                                    std::to_string(l->refused) + " refused");
    }
    // The run did move data, not only refusals.
    EXPECT_GT(succeeded, 0u);
    for (port& p : ports) {
        if (p.plugged) host_->unplug(p.dev);
    }
}

}  // namespace
