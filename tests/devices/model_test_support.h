// The host side of a function model test: control requests, writes and
// reads submitted to the device as the USB stack submits them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "devices/models/make_device.h"

namespace sim::devices::test {

struct host_transfer {
    usb::transfer t;
    std::vector<uint8_t> data;
    std::atomic<int> completions{0};

    static void complete(usb::transfer*, void* context) { static_cast<host_transfer*>(context)->completions++; }

    explicit host_transfer(std::vector<uint8_t> bytes) : data(std::move(bytes)) {
        t.buffer = data.data();
        t.length = data.size();
        t.complete = complete;
        t.context = this;
    }
};

inline usb::setup_packet setup(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    usb::setup_packet s;
    s.bmRequestType = type;
    s.bRequest = request;
    s.wValue = value;
    s.wIndex = index;
    s.wLength = length;
    return s;
}

inline std::vector<uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

class host_side {
 public:
    explicit host_side(usb::device& dev) : dev_(dev) {}

    // The request's USBD status; an IN data stage lands in *data.
    int32_t control(usb::setup_packet s, std::vector<uint8_t>* data = nullptr) {
        std::vector<uint8_t> stage(s.wLength);
        if (data != nullptr && !s.device_to_host()) stage = *data;
        stage.resize(s.wLength);
        host_transfer h(stage);
        s.to_bytes(h.t.setup);
        dev_.submit(&h.t);
        EXPECT_EQ(h.completions.load(), 1);
        if (data != nullptr && s.device_to_host()) {
            data->assign(h.data.begin(), h.data.begin() + static_cast<long>(h.t.actual));
        }
        return h.t.usbd_status;
    }
    int32_t class_out(uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> data = {}) {
        return control(setup(0x21, request, value, index, static_cast<uint16_t>(data.size())), &data);
    }
    int32_t class_in(uint8_t request, uint16_t value, uint16_t index, uint16_t length, std::vector<uint8_t>* data) {
        return control(setup(0xa1, request, value, index, length), data);
    }
    void configure(uint8_t value = 1) {
        ASSERT_EQ(control(setup(0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0)), USBD_STATUS_SUCCESS);
    }
    void select(uint8_t interface_number, uint8_t alternate) {
        ASSERT_EQ(control(setup(0x01, USB_REQUEST_SET_INTERFACE, alternate, interface_number, 0)), USBD_STATUS_SUCCESS);
    }

    int32_t write(uint8_t endpoint, std::vector<uint8_t> bytes) {
        host_transfer h(std::move(bytes));
        h.t.endpoint = endpoint;
        dev_.submit(&h.t);
        EXPECT_EQ(h.completions.load(), 1);
        return h.t.usbd_status;
    }
    // What one IN transfer gets, or nothing when the device has nothing to send.
    std::optional<std::vector<uint8_t>> read(uint8_t endpoint, size_t length = 512) {
        host_transfer h{std::vector<uint8_t>(length)};
        h.t.endpoint = endpoint;
        h.t.sequence = ++sequence_;
        dev_.submit(&h.t);
        if (h.completions.load() == 0) {
            EXPECT_TRUE(dev_.cancel(&h.t, h.t.sequence));
            return std::nullopt;
        }
        EXPECT_EQ(h.t.usbd_status, USBD_STATUS_SUCCESS);
        return std::vector<uint8_t>(h.data.begin(), h.data.begin() + static_cast<long>(h.t.actual));
    }

 private:
    usb::device& dev_;
    uint64_t sequence_ = 0;
};

}  // namespace sim::devices::test
