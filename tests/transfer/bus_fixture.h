// A host with the driver loaded, one plugged device, and the bus interface of
// its children as a child driver gets it: what the transfer tests act through.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cdc/bus/kernel/winnt/cdc_bus_interface.h"
#include "devices/catalogue.h"
#include "devices/descriptor_builder.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "sim/strings.h"
#include "usb/usb_device.h"
#include "wdf/wdf_internal.h"
#include "wdf/wdf_object.h"
#include "wdf/wdf_request.h"

#undef min
#undef max

namespace cdc::transfer_test {

using sim::usb::descriptor_set;

// What a child's completion callback received, waited for without sleeping.
class completions {
 public:
    struct entry {
        NTSTATUS status;
        ULONG bytes;
    };

    static VOID callback(PVOID ctx, NTSTATUS status, ULONG bytes) {
        auto* self = static_cast<completions*>(ctx);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->entries_.push_back({status, bytes});
        self->changed_.notify_all();
    }

    // Waits (real time, bounded) until n completions arrived.
    bool wait_for(size_t n) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return entries_.size() >= n; });
    }
    std::vector<entry> all() {
        std::lock_guard<std::mutex> guard(lock_);
        return entries_;
    }
    size_t count() {
        std::lock_guard<std::mutex> guard(lock_);
        return entries_.size();
    }

 private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<entry> entries_;
};

class bus_fixture : public ::testing::Test {
 protected:
    void SetUp() override {
        // The suite runs once per completion model (see tests/CMakeLists.txt).
        const char* mode = getenv("CDC_COMPLETION");
        if (mode != nullptr && strcmp(mode, "inline") == 0) {
            sim::set_completion_mode(sim::completion_mode::inline_send);
        } else if (mode != nullptr && strncmp(mode, "seed:", 5) == 0) {
            sim::set_completion_seed(strtoull(mode + 5, nullptr, 10));
        } else {
            sim::set_completion_mode(sim::completion_mode::threads);
        }
        host_ = std::make_unique<sim::host>();
        if (getenv("CDC_TRACE") != nullptr) sim::debugger_mirror(stderr);
        host_->registry().set_dword(sim::host::parameters_key(), "DebugLevel", debug_level());
        ASSERT_EQ(host_->load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS);
    }

    // The driver's debug level for the test; verbose unless a test says so.
    virtual uint32_t debug_level() const { return 4; }

    void TearDown() override {
        for (auto& bus : interfaces_) {
            if (bus.header.InterfaceDereference != nullptr) bus.header.InterfaceDereference(bus.header.Context);
        }
        // Unloading checks that nothing the driver made is left behind.
        host_.reset();
        sim::set_completion_mode(sim::completion_mode::threads);
    }

    std::string hardware_key(const descriptor_set& set) const {
        char id[32];
        snprintf(id, sizeof(id), "VID_%04X&PID_%04X", set.device.idVendor, set.device.idProduct);
        return std::string(sim::enum_key()) + "\\USB\\" + id + "\\" + sim::plug_options().location +
               "\\Device Parameters";
    }

    void set_value(const descriptor_set& set, const std::string& name, uint32_t value) {
        host_->registry().set_dword(hardware_key(set), name, value);
    }

    // Plugs the whole device and returns its children's PDOs.
    std::vector<WDFDEVICE> plug(std::shared_ptr<sim::usb::device> dev) {
        device_ = std::move(dev);
        sim::plug_options options;
        options.whole_device = true;
        auto stacks = host_->plug(device_, options);
        EXPECT_EQ(stacks.size(), 1u);
        std::vector<WDFDEVICE> out;
        if (stacks.empty()) return out;
        stack_ = stacks[0];
        EXPECT_EQ(stack_->start_status(), STATUS_SUCCESS);
        for (const auto& child : host_->children(*stack_)) out.push_back(child.device);
        sim::debugger_clear();
        return out;
    }

    std::vector<WDFDEVICE> plug(const descriptor_set& set) { return plug(std::make_shared<sim::usb::device>(set)); }

    // The framework's answer to a child driver's query for the bus interface.
    static NTSTATUS query(WDFDEVICE child, const char* version, CDC_BUS_INTERFACE* out) {
        return sim::query_interface(child, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(out), sizeof(*out),
                                    CDC_BUS_INTERFACE_VERSION, const_cast<char*>(version));
    }

    // The interface of a child, kept and dereferenced at tear-down.
    CDC_BUS_INTERFACE& bus(WDFDEVICE child) {
        interfaces_.emplace_back();
        CDC_BUS_INTERFACE& bus = interfaces_.back();
        EXPECT_EQ(query(child, CDC_BUS_DRIVER_VERSION, &bus), STATUS_SUCCESS);
        return bus;
    }

    static bool traced(const std::string& line) {
        auto lines = sim::debugger_lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    // Bulk and interrupt transfers of one endpoint, in order.
    std::vector<sim::usb::transfer_record> on_endpoint(uint8_t endpoint) const {
        std::vector<sim::usb::transfer_record> out;
        for (const auto& record : device_->traffic()) {
            if (record.type == sim::usb::transfer_record::kind::bulk_or_interrupt && record.endpoint == endpoint) {
                out.push_back(record);
            }
        }
        return out;
    }

    std::unique_ptr<sim::host> host_;
    std::shared_ptr<sim::usb::device> device_;
    sim::device_stack* stack_ = nullptr;
    std::deque<CDC_BUS_INTERFACE> interfaces_;
};

constexpr LONGLONG no_timeout = 0;

// The ACM modem's bulk endpoints.
constexpr uint8_t modem_data_in = 0x82;
constexpr uint8_t modem_data_out = 0x02;

// An ACM modem (64-byte bulk packets) whose one child has its data path open.
class open_modem_fixture : public bus_fixture {
 protected:
    CDC_BUS_INTERFACE& open_modem(ULONG in_n = 4, ULONG out_n = 4, int enable_zlp = -1) {
        descriptor_set set = sim::usb::catalogue::acm_modem();
        if (enable_zlp >= 0) set_value(set, "EnableZLP", static_cast<uint32_t>(enable_zlp));
        auto children = plug(set);
        EXPECT_EQ(children.size(), 1u);
        child_ = children.at(0);
        CDC_BUS_INTERFACE& b = bus(child_);
        EXPECT_EQ(b.cdc_data_io_init(child_, in_n, out_n), STATUS_SUCCESS);
        EXPECT_EQ(b.cdc_transport_enable(child_), STATUS_SUCCESS);
        return b;
    }

    // Right after the last callback: every record must be back by then.
    void close(CDC_BUS_INTERFACE& b) {
        EXPECT_EQ(b.cdc_transport_disable(child_), STATUS_SUCCESS);
        EXPECT_EQ(b.cdc_data_io_uninit(child_), STATUS_SUCCESS);
    }

    std::vector<size_t> out_lengths() const {
        std::vector<size_t> out;
        for (const auto& r : on_endpoint(modem_data_out)) out.push_back(r.data.size());
        return out;
    }

    WDFDEVICE child_ = nullptr;
};

// The notifications a child's callback received, waited for without sleeping.
struct notified {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> packets;

    static VOID callback(PVOID ctx, PVOID buffer, ULONG bytes) {
        auto* self = static_cast<notified*>(ctx);
        std::lock_guard<std::mutex> guard(self->lock);
        auto* p = static_cast<uint8_t*>(buffer);
        self->packets.emplace_back(p, p + bytes);
        self->changed.notify_all();
    }
    bool wait_for(size_t n) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10), [&] { return packets.size() >= n; });
    }
    size_t count() {
        std::lock_guard<std::mutex> guard(lock);
        return packets.size();
    }
};

}  // namespace cdc::transfer_test
