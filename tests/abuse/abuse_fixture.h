// A host with the driver loaded in either filling of the bus interface, one
// ACM modem plugged, and a child driver that misuses the interface: the abuse
// tests call every slot the way an untrusted function driver might.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "devices/catalogue.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "usb/usb_device.h"
#include "wdf/wdf_object.h"

#undef min
#undef max

namespace cdc::abuse_test {

constexpr uint8_t notify_in = 0x81;
constexpr uint8_t data_out = 0x02;
constexpr uint8_t data_in = 0x82;
constexpr NTSTATUS absent = STATUS_CTRL_USB_DEVICE_ABSENT;

enum class mode { direct, control };

inline std::string mode_name(const ::testing::TestParamInfo<mode>& info) {
    return info.param == mode::direct ? "usb_direct" : "control_device";
}

// What the child's completion callback received; an optional action runs
// inside the callback, as a child driver's completion code would.
class completions {
 public:
    struct entry {
        NTSTATUS status;
        ULONG bytes;
    };

    static VOID callback(PVOID ctx, NTSTATUS status, ULONG bytes) {
        auto* self = static_cast<completions*>(ctx);
        std::function<void(NTSTATUS, ULONG)> action;
        {
            std::lock_guard<std::mutex> guard(self->lock_);
            action = self->action_;
        }
        if (action) action(status, bytes);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->entries_.push_back({status, bytes});
        self->changed_.notify_all();
    }

    void on_complete(std::function<void(NTSTATUS, ULONG)> action) {
        std::lock_guard<std::mutex> guard(lock_);
        action_ = std::move(action);
    }

    bool wait_for(size_t n) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return entries_.size() >= n; });
    }
    std::vector<entry> all() {
        std::lock_guard<std::mutex> guard(lock_);
        return entries_;
    }

 private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<entry> entries_;
    std::function<void(NTSTATUS, ULONG)> action_;
};

// An ACM modem that answers GET_LINE_CODING (bRequest 0x21) with a fixed
// coding and stalls every other class request.
class modem : public sim::usb::device {
 public:
    using sim::usb::device::device;

 protected:
    sim::usb::control_reply handle_class_or_vendor(const sim::usb::setup_packet& setup, uint8_t* data) override {
        static const uint8_t coding[7] = {0x80, 0x25, 0, 0, 0, 0, 8};
        sim::usb::control_reply reply;
        if (setup.bRequest == 0x21 && setup.wLength >= sizeof(coding)) {
            memcpy(data, coding, sizeof(coding));
            reply.length = sizeof(coding);
        } else {
            reply.usbd_status = USBD_STATUS_STALL_PID;
        }
        return reply;
    }
};

inline mode mode_of(mode m) { return m; }
template <typename Rest>
mode mode_of(const std::tuple<mode, Rest>& param) {
    return std::get<0>(param);
}

// The parameter is the mode, or the mode and a case of a table.
template <typename Param>
class basic_abuse : public ::testing::TestWithParam<Param> {
 protected:
    void SetUp() override {
        host_ = std::make_unique<sim::host>();
        if (getenv("CDC_TRACE") != nullptr) sim::debugger_mirror(stderr);
        if (control_mode()) host_->registry().set_dword(sim::host::parameters_key(), "UseControlDevice", 1);
        host_->registry().set_dword(sim::host::parameters_key(), "DebugLevel", 4);
        ASSERT_EQ(host_->load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS);
        if (control_mode()) {
            sim::device_stack_config root;
            root.enumerator = "ROOT";
            root.device_id = "CDCBUS";
            root.instance_id = "0000";
            control_ = &host_->add_device(root);
            ASSERT_EQ(host_->start_device(*control_), STATUS_SUCCESS);
        }
        device_ = std::make_shared<modem>(sim::usb::catalogue::acm_modem());
        sim::plug_options options;
        options.whole_device = true;
        auto stacks = host_->plug(device_, options);
        ASSERT_EQ(stacks.size(), 1u);
        stack_ = stacks[0];
        ASSERT_EQ(stack_->start_status(), STATUS_SUCCESS);
        auto kids = host_->children(control_mode() ? *control_ : *stack_);
        ASSERT_EQ(kids.size(), 1u);
        child_ = kids[0].device;
        ASSERT_EQ(
            sim::query_interface(child_, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(&bus_), sizeof(bus_),
                                 CDC_BUS_INTERFACE_VERSION, const_cast<char*>(CDC_BUS_DRIVER_VERSION)),
            STATUS_SUCCESS);
        sim::debugger_clear();
    }

    void TearDown() override {
        if (bus_.header.InterfaceDereference != nullptr && wdf::is_live(static_cast<WDFOBJECT>(child_))) {
            bus_.header.InterfaceDereference(bus_.header.Context);
        }
        // Unloading bug checks on any object, reference or pool left behind.
        host_.reset();
    }

    bool control_mode() const { return mode_of(this->GetParam()) == mode::control; }

    DEVICE_CONTEXT* fdx() const {
        return static_cast<DEVICE_CONTEXT*>(wdf::context_by_name(stack_->device(), "DEVICE_CONTEXT"));
    }
    CDC_DEVICE_CONTEXT* pdx() const {
        return static_cast<CDC_DEVICE_CONTEXT*>(wdf::context_by_name(child_, "CDC_DEVICE_CONTEXT"));
    }

    // Busy records of a pool, read under its lock as the driver does (the
    // count drops without it, interlocked, when a completion gives back).
    static ULONG busy(REQ_MANAGER& manager) {
        WdfSpinLockAcquire(manager.lock);
        ULONG n = static_cast<ULONG>(ReadAcquire(&manager.busy_count));
        WdfSpinLockRelease(manager.lock);
        return n;
    }

    static ULONG purging(REQ_MANAGER& manager) {
        WdfSpinLockAcquire(manager.lock);
        ULONG n = manager.purge_in_progress;
        WdfSpinLockRelease(manager.lock);
        return n;
    }

    static size_t traced(const std::string& line) {
        auto lines = sim::debugger_lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }

    // The child's usual start: pools, data path.
    void open_data_path(ULONG in_n = 2, ULONG out_n = 2) {
        ASSERT_EQ(bus_.cdc_data_io_init(child_, in_n, out_n), STATUS_SUCCESS);
        ASSERT_EQ(bus_.cdc_transport_enable(child_), STATUS_SUCCESS);
    }
    // Its usual end, leaving nothing behind.
    void close_data_path() {
        EXPECT_EQ(bus_.cdc_transport_disable(child_), STATUS_SUCCESS);
        EXPECT_EQ(bus_.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    }

    // Bounded real-time wait for a condition another thread makes true.
    template <typename Predicate>
    static bool eventually(Predicate done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }

    std::unique_ptr<sim::host> host_;
    sim::device_stack* control_ = nullptr;
    sim::device_stack* stack_ = nullptr;
    std::shared_ptr<sim::usb::device> device_;
    WDFDEVICE child_ = nullptr;
    CDC_BUS_INTERFACE bus_ = {};
};

using abuse = basic_abuse<mode>;

constexpr LONGLONG no_timeout = 0;

}  // namespace cdc::abuse_test
