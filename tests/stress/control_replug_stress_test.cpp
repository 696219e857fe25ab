// Unplug and replug of a modem in control-device mode while its open child's
// driver keeps making routed calls from two threads, with and without an idle
// time-out: every unregistration waits for the calls pinned on it, none
// touches a device that is gone, and unloading finds nothing left behind.
// CDC_REPLUG_ITERATIONS sets the number of cycles (thousands under the
// sanitizers: `CDC_REPLUG_ITERATIONS=2000 test_stress`).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cdc/bus/kernel/winnt/cdc_bus_interface.h"
#include "devices/catalogue.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "usb/usb_device.h"

namespace {

constexpr NTSTATUS absent = (NTSTATUS)0x20000004L;

struct child_driver {
    static LONG on_final(PVOID) { return 0; }
    static LONG is_open(PVOID) { return 1; }
    static LONG on_message(PVOID, ULONG_PTR) { return 0; }
};

class control_replug_stress : public ::testing::TestWithParam<ULONG> {
 protected:
    void SetUp() override {
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
    void TearDown() override { host_.reset(); }

    std::unique_ptr<sim::host> host_;
    sim::device_stack* control_ = nullptr;
};

TEST_P(control_replug_stress, routed_calls_run_clean_across_thousands_of_unplugs_and_replugs) {
    const ULONG idle_timeout = GetParam();
    const char* env = getenv("CDC_REPLUG_ITERATIONS");
    const unsigned iterations = env != nullptr ? static_cast<unsigned>(strtoul(env, nullptr, 10)) : 300;
    if (idle_timeout != 0) {
        host_->registry().set_dword(std::string(sim::enum_key()) + "\\USB\\VID_1234&PID_0001\\" +
                                        sim::plug_options().location + "\\Device Parameters",
                                    "IdleTimeout", idle_timeout);
    }
    auto dev = std::make_shared<sim::usb::device>(sim::usb::catalogue::acm_modem());
    dev->set_recording(false);
    sim::plug_options options;
    options.whole_device = true;
    auto stacks = host_->plug(dev, options);
    ASSERT_EQ(stacks.size(), 1u);
    auto kids = host_->children(*control_);
    ASSERT_EQ(kids.size(), 1u);
    WDFDEVICE child = kids[0].device;
    CDC_BUS_INTERFACE bus{};
    ASSERT_EQ(sim::query_interface(child, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(&bus), sizeof(bus),
                                   CDC_BUS_INTERFACE_VERSION, const_cast<char*>(CDC_BUS_DRIVER_VERSION)),
              STATUS_SUCCESS);
    static int context;
    ASSERT_EQ(bus.cdc_data_io_ctrl_cbs_init(child, 1, child_driver::on_final, child_driver::on_final,
                                            child_driver::is_open, nullptr, nullptr, &context),
              STATUS_SUCCESS);
    bus.qd_children_msg_set(child, child_driver::on_message, &context);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> served{0};
    std::atomic<uint64_t> unserved{0};
    std::atomic<uint64_t> departing{0};
    std::atomic<uint64_t> unexpected{0};
    std::atomic<NTSTATUS> first_unexpected{STATUS_SUCCESS};
    std::atomic<unsigned> first_call{0};
    // The unplugs start once every worker has made a call on the plugged
    // device: on a loaded machine they could otherwise all end first.
    std::mutex started_lock;
    std::condition_variable started_cv;
    unsigned started = 0;
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < 2; ++w) {
        workers.emplace_back([&, w] {
            unsigned n = w;
            while (!stop) {
                NTSTATUS status;
                // With an idle time-out only the calls that never wake the
                // device: a wake-up pinned on a device whose removal has
                // begun waits for a D0 only the removing thread could bring.
                switch (idle_timeout != 0 ? (n++ % 2 == 0 ? 0 : 2) : n++ % 4) {
                    case 0: {
                        ULONG maxps = 0;
                        status = bus.qd_get_maxps(child, nullptr, &maxps, nullptr, nullptr);
                        break;
                    }
                    case 1: {
                        UCHAR coding[7] = {};
                        ULONG bytes = 0;
                        status =
                            bus.class_control_sync(child, TRUE, 0x21, 0, sizeof(coding), coding, &bytes, -10000000LL);
                        // The bare modem stalls class requests; a device going away fails them.
                        if (status != absent) status = STATUS_SUCCESS;
                        break;
                    }
                    case 2: {
                        ULONG count = 0;
                        status = bus.qd_children_msg_send(child, 1, &count);
                        break;
                    }
                    default:
                        status = bus.qd_device_wakeup_sync(child, FALSE);
                        break;
                }
                if (status == STATUS_SUCCESS) {
                    served++;
                } else if (status == absent) {
                    unserved++;
                } else if (status == STATUS_INVALID_DEVICE_STATE || status == STATUS_DEVICE_NOT_READY) {
                    // A call pinned just before the device began to go: the
                    // framework's answer for a device being removed or asleep.
                    departing++;
                } else if (unexpected++ == 0) {
                    first_unexpected = status;
                    first_call = (n - 1) % 4;
                }
                if (n - w == 1) {
                    std::lock_guard<std::mutex> guard(started_lock);
                    started++;
                    started_cv.notify_all();
                }
            }
        });
    }

    {
        std::unique_lock<std::mutex> guard(started_lock);
        started_cv.wait(guard, [&] { return started == workers.size(); });
    }
    for (unsigned i = 0; i < iterations; ++i) {
        if (idle_timeout != 0 && i % 3 == 0) host_->idle(stacks[0]->device());
        if (i % 2 == 0) {
            host_->unplug(dev);
        } else {
            host_->surprise_remove(dev);
        }
        ASSERT_EQ(host_->children(*control_).size(), 1u) << "iteration " << i;
        stacks = host_->plug(dev, options);
        ASSERT_EQ(stacks.size(), 1u);
        ASSERT_EQ(host_->children(*control_).size(), 1u) << "iteration " << i;
    }
    stop = true;
    for (auto& t : workers) t.join();

    EXPECT_EQ(unexpected.load(), 0u) << "first: call " << first_call << ", status " << std::hex << first_unexpected;
    EXPECT_GT(served.load(), 0u);
    RecordProperty("calls", std::to_string(served) + " served, " + std::to_string(unserved) + " unserved, " +
                                std::to_string(departing) + " on a departing device");
    bus.cdc_data_io_ctrl_cbs_uninit(child);
    bus.qd_children_msg_set(child, nullptr, nullptr);
    bus.header.InterfaceDereference(bus.header.Context);
    host_->unplug(dev);
}

INSTANTIATE_TEST_SUITE_P(idle, control_replug_stress, ::testing::Values(0u, 5u),
                         [](const ::testing::TestParamInfo<ULONG>& info) {
                             return info.param == 0 ? std::string("without_idle") : std::string("with_idle");
                         });

}  // namespace
