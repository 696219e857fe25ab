// A host in control-device mode: the driver loaded with UseControlDevice, the
// root control device started, ACM modems plugged at ports, and the bus
// interface of the control device's children as a child driver gets it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "devices/catalogue.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "usb/usb_device.h"
#include "wdf/wdf_object.h"

namespace control_test {

class control_fixture : public ::testing::Test {
 protected:
    void SetUp() override {
        host_ = std::make_unique<sim::host>();
        if (getenv("CDC_TRACE") != nullptr) sim::debugger_mirror(stderr);
        host_->registry().set_dword(sim::host::parameters_key(), "UseControlDevice", 1);
        host_->registry().set_dword(sim::host::parameters_key(), "DebugLevel", 4);
        ASSERT_EQ(host_->load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS);
        sim::device_stack_config root;
        root.enumerator = "ROOT";
        root.device_id = "CDCBUS";
        root.instance_id = "0000";
        control_ = &host_->add_device(root);
        ASSERT_EQ(host_->start_device(*control_), STATUS_SUCCESS);
    }

    void TearDown() override {
        // A child driver lets go of the interface before its PDO goes.
        for (auto& bus : interfaces_) {
            if (wdf::is_live(static_cast<WDFOBJECT>(bus.header.Context))) {
                bus.header.InterfaceDereference(bus.header.Context);
            }
        }
        // Unloading bug checks on any reference or object left behind.
        host_.reset();
    }

    // Plugs an ACM modem into a port; the stack of its function device.
    sim::device_stack* plug(const std::string& location = sim::plug_options().location) {
        auto dev = std::make_shared<sim::usb::device>(sim::usb::catalogue::acm_modem());
        sim::plug_options options;
        options.whole_device = true;
        options.location = location;
        auto stacks = host_->plug(dev, options);
        EXPECT_EQ(stacks.size(), 1u);
        devices_.push_back(dev);
        return stacks.empty() ? nullptr : stacks[0];
    }

    std::vector<sim::child_info> children() const { return host_->children(*control_); }

    CDC_BUS_INTERFACE& bus(WDFDEVICE child) {
        interfaces_.emplace_back();
        CDC_BUS_INTERFACE& bus = interfaces_.back();
        EXPECT_EQ(sim::query_interface(child, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(&bus), sizeof(bus),
                                       CDC_BUS_INTERFACE_VERSION, const_cast<char*>(CDC_BUS_DRIVER_VERSION)),
                  STATUS_SUCCESS);
        return bus;
    }

    static size_t traced(const std::string& line) {
        auto lines = sim::debugger_lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    static size_t traced_prefix(const std::string& prefix) {
        size_t n = 0;
        for (const auto& line : sim::debugger_lines()) {
            if (line.rfind(prefix, 0) == 0) n++;
        }
        return n;
    }

    std::unique_ptr<sim::host> host_;
    sim::device_stack* control_ = nullptr;
    std::vector<std::shared_ptr<sim::usb::device>> devices_;
    std::deque<CDC_BUS_INTERFACE> interfaces_;
};

}  // namespace control_test
