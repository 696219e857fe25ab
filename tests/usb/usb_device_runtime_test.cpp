// The simulated device on its own: standard requests answered from its
// descriptors, its configuration state, endpoint queues, unplugging, fault
// injection and the recorded traffic.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "devices/catalogue.h"
#include "devices/descriptor_builder.h"
#include "ntstatus.h"
#include "usb/usb_device.h"

namespace sim::usb {
namespace {

// A host-side transfer record and the completion it got.
struct host_transfer {
    transfer t;
    std::vector<uint8_t> data;
    std::atomic<int> completions{0};

    static void complete(transfer*, void* context) { static_cast<host_transfer*>(context)->completions++; }

    explicit host_transfer(size_t length = 0) : data(length) {
        t.buffer = data.data();
        t.length = data.size();
        t.complete = complete;
        t.context = this;
    }
};

setup_packet packet(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    setup_packet s;
    s.bmRequestType = type;
    s.bRequest = request;
    s.wValue = value;
    s.wIndex = index;
    s.wLength = length;
    return s;
}

class device_runtime : public ::testing::Test {
 protected:
    // Sends a control request and returns its USBD status; the data stage in *data.
    int32_t control(setup_packet s, std::vector<uint8_t>* data = nullptr, const descriptor_set* view = nullptr) {
        host_transfer h(s.wLength);
        if (data != nullptr && !data->empty() && !s.device_to_host()) h.data = *data;
        h.t.buffer = h.data.data();
        s.to_bytes(h.t.setup);
        h.t.view = view;
        dev.submit(&h.t);
        EXPECT_EQ(h.completions.load(), 1);
        if (data != nullptr) data->assign(h.data.begin(), h.data.begin() + static_cast<long>(h.t.actual));
        return h.t.usbd_status;
    }

    int32_t set_configuration(uint8_t value) {
        return control(packet(0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0));
    }
    int32_t set_interface(uint8_t number, uint8_t alternate) {
        return control(packet(0x01, USB_REQUEST_SET_INTERFACE, alternate, number, 0));
    }

    device dev{catalogue::ecm_adapter()};  // comm 0 (notify 0x81), data 1: setting 0 empty, setting 1 bulk 0x82 / 0x02
};

TEST_F(device_runtime, get_descriptor_answers_device_configuration_and_strings) {
    std::vector<uint8_t> data;
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18), &data), USBD_STATUS_SUCCESS);
    ASSERT_EQ(data.size(), 18u);
    EXPECT_EQ(data[1], USB_DEVICE_DESCRIPTOR_TYPE);

    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 9), &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data.size(), 9u);
    EXPECT_EQ(data[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);

    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0300, 0, 255), &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));

    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0300 | dev.descriptors().device.iProduct, 0x0409, 255),
                      &data),
              USBD_STATUS_SUCCESS);
    EXPECT_GT(data.size(), 2u);
    EXPECT_EQ(data[1], USB_STRING_DESCRIPTOR_TYPE);
}

TEST_F(device_runtime, get_descriptor_of_something_missing_stalls) {
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0205, 0, 9)), USBD_STATUS_STALL_PID);
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0377, 0x0409, 255)), USBD_STATUS_STALL_PID);
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0301, 0x0407, 255)), USBD_STATUS_STALL_PID);
}

TEST_F(device_runtime, a_view_answers_get_descriptor_for_a_function) {
    descriptor_set view = dev.descriptors();
    view.configurations[0].resize(9);
    std::vector<uint8_t> data;
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 255), &data, &view), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data.size(), 9u);
}

TEST_F(device_runtime, set_configuration_and_interface_change_state) {
    EXPECT_EQ(dev.configuration(), 0);
    EXPECT_EQ(set_configuration(1), USBD_STATUS_SUCCESS);
    EXPECT_EQ(dev.configuration(), 1);
    EXPECT_EQ(set_interface(1, 1), USBD_STATUS_SUCCESS);
    EXPECT_EQ(dev.alternate_setting(1), 1);

    std::vector<uint8_t> data;
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1), &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, std::vector<uint8_t>{1});
    EXPECT_EQ(control(packet(0x81, USB_REQUEST_GET_INTERFACE, 0, 1, 1), &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, std::vector<uint8_t>{1});

    // A new configuration starts every interface at setting 0.
    EXPECT_EQ(set_configuration(1), USBD_STATUS_SUCCESS);
    EXPECT_EQ(dev.alternate_setting(1), 0);
    EXPECT_EQ(set_configuration(0), USBD_STATUS_SUCCESS);
    EXPECT_EQ(dev.configuration(), 0);
}

TEST_F(device_runtime, impossible_settings_stall) {
    EXPECT_EQ(set_interface(1, 1), USBD_STATUS_STALL_PID);  // not configured
    EXPECT_EQ(set_configuration(7), USBD_STATUS_STALL_PID);
    ASSERT_EQ(set_configuration(1), USBD_STATUS_SUCCESS);
    EXPECT_EQ(set_interface(1, 5), USBD_STATUS_STALL_PID);
    EXPECT_EQ(set_interface(9, 0), USBD_STATUS_STALL_PID);
    EXPECT_EQ(dev.alternate_setting(1), 0);
}

TEST_F(device_runtime, get_status_reports_power_wakeup_and_halts) {
    device self_powered{catalogue::obex_phone()};
    host_transfer h(2);
    packet(0x80, USB_REQUEST_GET_STATUS, 0, 0, 2).to_bytes(h.t.setup);
    self_powered.submit(&h.t);
    EXPECT_EQ(h.data, (std::vector<uint8_t>{1, 0}));

    ASSERT_EQ(set_configuration(1), USBD_STATUS_SUCCESS);
    EXPECT_EQ(control(packet(0x00, USB_REQUEST_SET_FEATURE, USB_FEATURE_REMOTE_WAKEUP, 0, 0)), USBD_STATUS_SUCCESS);
    std::vector<uint8_t> data;
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_STATUS, 0, 0, 2), &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{2, 0}));

    dev.set_halted(0x81, true);
    EXPECT_EQ(control(packet(0x82, USB_REQUEST_GET_STATUS, 0, 0x81, 2), &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(control(packet(0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, 0x81, 0)),
              USBD_STATUS_SUCCESS);
    EXPECT_FALSE(dev.halted(0x81));
}

TEST_F(device_runtime, class_and_vendor_requests_stall_on_the_base_device) {
    EXPECT_EQ(control(packet(0x21, 0x20, 0, 0, 7)), USBD_STATUS_STALL_PID);
    EXPECT_EQ(control(packet(0xc0, 0x01, 0, 0, 4)), USBD_STATUS_STALL_PID);
}

class answering_device : public device {
 public:
    using device::device;

 protected:
    control_reply handle_class_or_vendor(const setup_packet& setup, uint8_t* data) override {
        control_reply reply;
        if (setup.device_to_host()) {
            for (size_t i = 0; i < setup.wLength; ++i) data[i] = static_cast<uint8_t>(i + 1);
            reply.length = setup.wLength;
        }
        return reply;
    }
    int32_t on_out(uint8_t endpoint, const uint8_t* data, size_t length) override {
        // An echo: what comes in on OUT goes back on the matching IN endpoint.
        push_in(static_cast<uint8_t>(endpoint | 0x80), std::vector<uint8_t>(data, data + length));
        return USBD_STATUS_SUCCESS;
    }
};

TEST(device_model, a_model_answers_class_requests_and_echoes_out_data) {
    answering_device dev{catalogue::vendor_serial_2ep()};
    host_transfer h(3);
    packet(0xc0, 0x05, 0, 0, 3).to_bytes(h.t.setup);
    dev.submit(&h.t);
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(h.data, (std::vector<uint8_t>{1, 2, 3}));
}

class configured_device : public device_runtime {
 protected:
    void SetUp() override {
        ASSERT_EQ(set_configuration(1), USBD_STATUS_SUCCESS);
        ASSERT_EQ(set_interface(1, 1), USBD_STATUS_SUCCESS);
        dev.clear_traffic();
    }
};

TEST_F(configured_device, out_data_queues_for_the_device_and_in_data_waits_for_the_host) {
    host_transfer out(3);
    out.data = {1, 2, 3};
    out.t.buffer = out.data.data();
    out.t.endpoint = 0x02;
    dev.submit(&out.t);
    EXPECT_EQ(out.t.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(out.t.actual, 3u);
    EXPECT_EQ(dev.take_out(0x02), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(dev.take_out(0x02), std::nullopt);

    host_transfer in(64);
    in.t.endpoint = 0x82;
    dev.submit(&in.t);
    EXPECT_EQ(in.completions.load(), 0);
    EXPECT_EQ(dev.pending(0x82), 1u);
    dev.push_in(0x82, {9, 8});
    EXPECT_EQ(in.completions.load(), 1);
    EXPECT_EQ(in.t.actual, 2u);
    EXPECT_EQ(in.data[0], 9);
}

TEST_F(configured_device, a_transfer_longer_than_the_buffer_is_read_in_packets_and_zlp_is_a_transfer) {
    dev.push_in(0x82, std::vector<uint8_t>(100, 7));
    dev.push_in(0x82, {});
    host_transfer first(64), second(64), zlp(64);
    for (host_transfer* h : {&first, &second, &zlp}) {
        h->t.endpoint = 0x82;
        dev.submit(&h->t);
    }
    EXPECT_EQ(first.t.actual, 64u);
    EXPECT_EQ(second.t.actual, 36u);
    EXPECT_EQ(zlp.completions.load(), 1);
    EXPECT_EQ(zlp.t.actual, 0u);
    std::vector<transfer_record> traffic = dev.traffic();
    ASSERT_EQ(traffic.size(), 3u);
    EXPECT_TRUE(traffic[2].data.empty());
    EXPECT_EQ(traffic[2].endpoint, 0x82);
}

TEST_F(configured_device, endpoints_outside_the_settings_in_force_are_not_there) {
    ASSERT_EQ(set_interface(1, 0), USBD_STATUS_SUCCESS);
    host_transfer h(64);
    h.t.endpoint = 0x82;
    dev.submit(&h.t);
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(configured_device, leaving_a_setting_cancels_its_pending_transfers) {
    host_transfer h(64);
    h.t.endpoint = 0x82;
    dev.submit(&h.t);
    ASSERT_EQ(set_interface(1, 0), USBD_STATUS_SUCCESS);
    EXPECT_EQ(h.completions.load(), 1);
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_CANCELED);
}

TEST_F(configured_device, unplugging_completes_pending_transfers_and_fails_new_ones) {
    host_transfer pending_in(64);
    pending_in.t.endpoint = 0x82;
    dev.submit(&pending_in.t);
    dev.set_connected(false);
    EXPECT_EQ(pending_in.t.usbd_status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18)), USBD_STATUS_DEVICE_GONE);

    dev.set_connected(true);
    EXPECT_EQ(dev.configuration(), 0);  // a new device on the bus
}

TEST_F(configured_device, plugged_back_in_it_forgets_its_address_and_wakeup_and_works_again) {
    ASSERT_EQ(control(packet(0x00, USB_REQUEST_SET_ADDRESS, 5, 0, 0)), USBD_STATUS_SUCCESS);
    ASSERT_EQ(control(packet(0x00, USB_REQUEST_SET_FEATURE, 1, 0, 0)), USBD_STATUS_SUCCESS);
    ASSERT_TRUE(dev.remote_wakeup_enabled());
    ASSERT_EQ(dev.address(), 5);
    dev.push_in(0x82, {1, 2, 3});
    dev.set_connected(false);
    dev.set_connected(true);
    EXPECT_FALSE(dev.remote_wakeup_enabled());
    EXPECT_EQ(dev.address(), 0);
    EXPECT_EQ(dev.queued_in(0x82), 0u);  // what it had queued went with it
    ASSERT_EQ(set_configuration(1), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set_interface(1, 1), USBD_STATUS_SUCCESS);
    host_transfer h(64);
    h.t.endpoint = 0x82;
    dev.submit(&h.t);
    dev.push_in(0x82, {9});
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(h.t.actual, 1u);
}

TEST_F(configured_device, cancel_completes_only_the_matching_pending_transfer) {
    host_transfer h(64);
    h.t.endpoint = 0x82;
    h.t.sequence = 5;
    dev.submit(&h.t);
    EXPECT_FALSE(dev.cancel(&h.t, 4));
    EXPECT_TRUE(dev.cancel(&h.t, 5));
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_CANCELED);
    EXPECT_FALSE(dev.cancel(&h.t, 5));
    EXPECT_EQ(h.completions.load(), 1);
}

TEST_F(configured_device, abort_completes_every_pending_transfer_of_the_endpoint) {
    host_transfer a(64), b(64);
    a.t.endpoint = b.t.endpoint = 0x82;
    dev.submit(&a.t);
    dev.submit(&b.t);
    EXPECT_EQ(dev.abort_endpoint(0x82), 2u);
    EXPECT_EQ(a.t.usbd_status, USBD_STATUS_CANCELED);
    EXPECT_EQ(b.t.usbd_status, USBD_STATUS_CANCELED);
}

TEST_F(configured_device, a_halted_endpoint_stalls_until_its_halt_is_cleared) {
    dev.fail_next_transfer(0x02, USBD_STATUS_STALL_PID);
    host_transfer h(4);
    h.t.endpoint = 0x02;
    dev.submit(&h.t);
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(dev.halted(0x02));
    dev.submit(&h.t);
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(control(packet(0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, 0x02, 0)),
              USBD_STATUS_SUCCESS);
    dev.submit(&h.t);
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_SUCCESS);
}

TEST_F(configured_device, held_out_transfers_complete_in_order_when_released) {
    dev.hold_out(0x02, true);
    host_transfer a(1), b(1);
    a.data = {1};
    b.data = {2};
    a.t.buffer = a.data.data();
    b.t.buffer = b.data.data();
    a.t.endpoint = b.t.endpoint = 0x02;
    dev.submit(&a.t);
    dev.submit(&b.t);
    EXPECT_EQ(a.completions.load() + b.completions.load(), 0);
    dev.hold_out(0x02, false);
    EXPECT_EQ(a.completions.load(), 1);
    EXPECT_EQ(b.completions.load(), 1);
    EXPECT_EQ(dev.take_all_out(0x02), (std::vector<std::vector<uint8_t>>{{1}, {2}}));
}

TEST_F(device_runtime, control_faults_match_their_predicate_and_run_out) {
    dev.fail_next_control(match::set_configuration, USBD_STATUS_STALL_PID, 2);
    dev.fail_next_control(match::get_string(2), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(set_configuration(1), USBD_STATUS_STALL_PID);
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18)), USBD_STATUS_SUCCESS);
    EXPECT_EQ(set_configuration(1), USBD_STATUS_STALL_PID);
    EXPECT_EQ(set_configuration(1), USBD_STATUS_SUCCESS);
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0301, 0x0409, 255)), USBD_STATUS_SUCCESS);
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0302, 0x0409, 255)), USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(control(packet(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0302, 0x0409, 255)), USBD_STATUS_SUCCESS);
}

TEST_F(device_runtime, a_held_control_request_waits_for_cancel) {
    dev.hold_next_control(match::class_or_vendor);
    host_transfer h(2);
    packet(0xa1, 0x21, 0, 0, 2).to_bytes(h.t.setup);
    h.t.sequence = 1;
    dev.submit(&h.t);
    EXPECT_EQ(h.completions.load(), 0);
    EXPECT_EQ(dev.pending(0), 1u);
    EXPECT_TRUE(dev.cancel(&h.t, 1));
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_CANCELED);
}

TEST_F(device_runtime, traffic_records_setup_data_and_status_in_order) {
    ASSERT_EQ(set_configuration(1), USBD_STATUS_SUCCESS);
    ASSERT_EQ(set_interface(1, 5), USBD_STATUS_STALL_PID);
    std::vector<transfer_record> traffic = dev.traffic();
    ASSERT_EQ(traffic.size(), 2u);
    EXPECT_EQ(traffic[0].setup[1], USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(traffic[0].usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(traffic[1].packet().wValue, 5);
    EXPECT_EQ(traffic[1].usbd_status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(dev.control_traffic(match::set_interface).size(), 1u);

    dev.set_recording(false);
    ASSERT_EQ(set_configuration(1), USBD_STATUS_SUCCESS);
    EXPECT_EQ(dev.traffic().size(), 2u);
}

TEST_F(device_runtime, port_reset_returns_to_the_unconfigured_state) {
    ASSERT_EQ(set_configuration(1), USBD_STATUS_SUCCESS);
    dev.reset_port();
    EXPECT_EQ(dev.configuration(), 0);
    EXPECT_EQ(dev.port_resets(), 1u);
    bool cycled = false;
    dev.on_port_cycle = [&] { cycled = true; };
    dev.cycle_port();
    EXPECT_TRUE(cycled);
    EXPECT_EQ(dev.port_cycles(), 1u);
    EXPECT_EQ(dev.traffic().back().type, transfer_record::kind::port_cycle);
}

TEST(usbd_status, maps_to_the_ntstatus_the_bus_driver_completes_with) {
    EXPECT_EQ(ntstatus_from_usbd(USBD_STATUS_SUCCESS), STATUS_SUCCESS);
    EXPECT_EQ(ntstatus_from_usbd(USBD_STATUS_STALL_PID), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ntstatus_from_usbd(USBD_STATUS_DEVICE_GONE), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(ntstatus_from_usbd(USBD_STATUS_CANCELED), STATUS_CANCELLED);
    EXPECT_EQ(ntstatus_from_usbd(USBD_STATUS_TIMEOUT), STATUS_IO_TIMEOUT);
    EXPECT_EQ(ntstatus_from_usbd(USBD_STATUS_BABBLE_DETECTED), STATUS_DEVICE_DATA_ERROR);
}

TEST_F(configured_device, concurrent_writers_and_readers_lose_nothing) {
    constexpr int count = 200;
    std::vector<std::unique_ptr<host_transfer>> reads;
    for (int i = 0; i < count; ++i) {
        reads.push_back(std::make_unique<host_transfer>(64));
        reads.back()->t.endpoint = 0x82;
    }
    std::thread host([&] {
        for (auto& r : reads) dev.submit(&r->t);
    });
    std::thread device_side([&] {
        for (int i = 0; i < count; ++i) dev.push_in(0x82, {static_cast<uint8_t>(i)});
    });
    host.join();
    device_side.join();
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(reads[i]->completions.load(), 1);
        EXPECT_EQ(reads[i]->data[0], static_cast<uint8_t>(i));
    }
}

}  // namespace
}  // namespace sim::usb
