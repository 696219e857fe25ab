// A host with the driver loaded at the verbose debug level, and what the
// configuration and interface tests look at after a plug: the start status,
// the trace, the USB traffic and the function device's context.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "devices/catalogue.h"
#include "devices/descriptor_builder.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "sim/strings.h"
#include "usb/usb_device.h"

#undef min
#undef max

namespace cdc::enum_test {

using sim::usb::descriptor_builder;
using sim::usb::descriptor_set;
using ep = sim::usb::endpoint_type;

constexpr uint16_t test_vendor = 0x1234;
constexpr ULONG no_endpoint = 0xFFFFFFFF;

class enum_fixture : public ::testing::Test {
 protected:
    void SetUp() override {
        host_ = std::make_unique<sim::host>();
        host_->registry().set_dword(sim::host::parameters_key(), "DebugLevel", 4);
        ASSERT_EQ(host_->load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS);
        sim::debugger_clear();
    }

    void TearDown() override {
        // Unloading checks that nothing the driver made is left behind.
        host_.reset();
    }

    // The device's hardware key as the PnP manager will name it for a plug
    // at the default port: values must be there before the start reads them.
    std::string hardware_key(const descriptor_set& set) const {
        char id[32];
        snprintf(id, sizeof(id), "VID_%04X&PID_%04X", set.device.idVendor, set.device.idProduct);
        return std::string(sim::enum_key()) + "\\USB\\" + id + "\\" + sim::plug_options().location +
               "\\Device Parameters";
    }

    // Registry values of the next plugged device.
    void set_value(const std::string& name, uint32_t value) { values_.push_back({name, value}); }

    // Plugs the whole device in; returns its one function device stack.
    sim::device_stack* plug(const descriptor_set& set) {
        for (const auto& [name, value] : values_) host_->registry().set_dword(hardware_key(set), name, value);
        device_ = std::make_shared<sim::usb::device>(set);
        sim::plug_options options;
        options.whole_device = true;
        std::vector<sim::device_stack*> stacks = host_->plug(device_, options);
        EXPECT_EQ(stacks.size(), 1u);
        if (stacks.empty()) return nullptr;
        EXPECT_EQ(sim::registry::normalise(stacks[0]->hardware_key()), sim::registry::normalise(hardware_key(set)));
        return stacks[0];
    }

    // Plugs and expects the start to succeed; the context of the started device.
    DEVICE_CONTEXT* plug_started(const descriptor_set& set) {
        sim::device_stack* stack = plug(set);
        if (stack == nullptr) return nullptr;
        EXPECT_EQ(stack->start_status(), STATUS_SUCCESS);
        return static_cast<DEVICE_CONTEXT*>(stack->context("DEVICE_CONTEXT"));
    }

    NTSTATUS plug_status(const descriptor_set& set) {
        sim::device_stack* stack = plug(set);
        return stack == nullptr ? STATUS_PENDING : stack->start_status();
    }

    static bool traced(const std::string& line) {
        std::vector<std::string> lines = sim::debugger_lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    static size_t traced_count(const std::string& line) {
        std::vector<std::string> lines = sim::debugger_lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }

    // Lines that begin with the prefix, in order.
    static std::vector<std::string> traced_with(const std::string& prefix) {
        std::vector<std::string> out;
        for (const std::string& line : sim::debugger_lines()) {
            if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
        }
        return out;
    }

    static std::string enumerator(const DEVICE_CONTEXT* fdx) {
        return fdx->ids.qd_enumerator == nullptr ? "(null)" : sim::to_utf8(fdx->ids.qd_enumerator);
    }

    // Standard requests the device received, in order.
    std::vector<sim::usb::setup_packet> requests(uint8_t b_request) const {
        std::vector<sim::usb::setup_packet> out;
        for (const auto& record : device_->control_traffic()) {
            sim::usb::setup_packet setup = record.packet();
            if (setup.type() == BMREQUEST_STANDARD && setup.bRequest == b_request) out.push_back(setup);
        }
        return out;
    }

    std::unique_ptr<sim::host> host_;
    std::shared_ptr<sim::usb::device> device_;
    std::vector<std::pair<std::string, uint32_t>> values_;
};

// Interface, endpoint and pipe facts of a started device, read through the
// framework the driver uses.
inline UCHAR endpoint_of(WDFUSBPIPE pipe) {
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WdfUsbTargetPipeGetInformation(pipe, &info);
    return info.EndpointAddress;
}

inline UCHAR interface_number(WDFUSBINTERFACE ifc) { return WdfUsbInterfaceGetInterfaceNumber(ifc); }

}  // namespace cdc::enum_test
