// The simulated wire: packets of the endpoint's size, the three ways an IN
// transfer ends, babble, halts as the host controller keeps them, injected
// faults per endpoint, the recording with its times and the hub's
// enumeration at plug.
#include <gtest/gtest.h>

#include <stdexcept>

#include "devices/descriptor_builder.h"
#include "sim/kernel.h"
#include "usb/usb_device.h"

namespace sim::usb {
namespace {

// Bulk IN 0x81 and OUT 0x02 of 64 bytes, interrupt IN 0x83 of 16.
descriptor_set wire_device() {
    return descriptor_builder()
        .device(0x1234, 0x0077, 0xff, 0, 0)
        .configuration(1, USB_CONFIG_BUS_POWERED, 50)
        .interface(0, 0, 0xff, 0, 0)
        .endpoint(0x81, endpoint_type::bulk, 64)
        .endpoint(0x02, endpoint_type::bulk, 64)
        .endpoint(0x83, endpoint_type::interrupt, 16, 10)
        .build();
}

struct host_transfer {
    transfer t;
    std::vector<uint8_t> data;
    int completions = 0;

    static void complete(transfer*, void* context) { static_cast<host_transfer*>(context)->completions++; }

    host_transfer(uint8_t endpoint, size_t length, uint8_t fill = 0) : data(length, fill) {
        t.endpoint = endpoint;
        t.buffer = data.data();
        t.length = data.size();
        t.complete = complete;
        t.context = this;
    }
    std::vector<uint8_t> received() const { return {data.begin(), data.begin() + static_cast<long>(t.actual)}; }
};

std::vector<uint8_t> counting(size_t n, uint8_t first = 0) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

class wire : public ::testing::Test {
 protected:
    void SetUp() override {
        sim::clock_use_virtual(true);
        sim::clock_reset();
        ASSERT_EQ(control(0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0), USBD_STATUS_SUCCESS);
        dev.clear_traffic();
    }

    int32_t control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, size_t length = 0) {
        host_transfer h(0, length);
        setup_packet s;
        s.bmRequestType = type;
        s.bRequest = request;
        s.wValue = value;
        s.wIndex = index;
        s.wLength = static_cast<uint16_t>(length);
        s.to_bytes(h.t.setup);
        dev.submit(&h.t);
        EXPECT_EQ(h.completions, 1);
        return h.t.usbd_status;
    }

    int32_t clear_halt(uint8_t endpoint) {
        return control(0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, endpoint);
    }

    device dev{wire_device()};
};

// ---- Packets ---------------------------------------------------------------------------

TEST_F(wire, an_in_transfer_ends_on_a_full_buffer_and_waits_on_full_packets) {
    dev.push_in(0x81, counting(128));
    EXPECT_EQ(dev.queued_in(0x81), 2u);
    host_transfer exact(0x81, 64);
    dev.submit(&exact.t);
    EXPECT_EQ(exact.t.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(exact.received(), counting(64));

    // A full packet does not end a larger transfer: it waits for more.
    host_transfer large(0x81, 512);
    dev.submit(&large.t);
    EXPECT_EQ(large.completions, 0);
    EXPECT_EQ(dev.pending(0x81), 1u);
    dev.push_in(0x81, {});
    EXPECT_EQ(large.completions, 1);
    EXPECT_EQ(large.received(), counting(64, 64));
}

TEST_F(wire, discarding_drops_what_is_queued_a_partly_read_packet_with_it) {
    dev.push_in(0x81, counting(100));
    dev.push_in(0x81, {});
    host_transfer first(0x81, 64);
    dev.submit(&first.t);
    EXPECT_EQ(dev.discard_in(0x81), 2u);  // the rest of the first push, and the empty one
    EXPECT_EQ(dev.queued_in(0x81), 0u);
    host_transfer next(0x81, 64);
    dev.submit(&next.t);
    EXPECT_EQ(next.completions, 0);
    dev.push_in(0x81, {7});
    EXPECT_EQ(next.received(), std::vector<uint8_t>{7});
}

TEST_F(wire, an_in_transfer_ends_on_a_short_packet) {
    dev.push_in(0x81, counting(100));
    host_transfer h(0x81, 512);
    dev.submit(&h.t);
    EXPECT_EQ(h.t.actual, 100u);
    EXPECT_EQ(h.received(), counting(100));
}

TEST_F(wire, pushes_join_unless_a_short_or_zero_length_packet_ends_them) {
    dev.push_in(0x81, counting(64));
    dev.push_in(0x81, counting(10, 64));
    host_transfer joined(0x81, 512);
    dev.submit(&joined.t);
    EXPECT_EQ(joined.received(), counting(74));

    dev.push_in(0x81, counting(64));
    dev.push_in(0x81, {});
    dev.push_in(0x81, counting(10));
    host_transfer first(0x81, 512), second(0x81, 512);
    dev.submit(&first.t);
    dev.submit(&second.t);
    EXPECT_EQ(first.t.actual, 64u);
    EXPECT_EQ(second.t.actual, 10u);
}

TEST_F(wire, interrupt_packets_are_the_interrupt_endpoint_size) {
    dev.push_in(0x83, counting(40));
    host_transfer h(0x83, 32);
    dev.submit(&h.t);
    EXPECT_EQ(h.t.actual, 32u);  // two 16-byte packets fill it
    EXPECT_EQ(dev.queued_in(0x83), 1u);
}

TEST_F(wire, a_packet_longer_than_the_room_left_babbles_and_halts) {
    dev.push_in(0x81, counting(100));
    host_transfer fits(0x81, 100);
    dev.submit(&fits.t);
    EXPECT_EQ(fits.t.usbd_status, USBD_STATUS_SUCCESS);

    dev.push_in(0x81, counting(128));
    host_transfer overrun(0x81, 100);
    dev.submit(&overrun.t);
    EXPECT_EQ(overrun.t.usbd_status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_EQ(overrun.t.actual, 64u);
    EXPECT_TRUE(dev.halted(0x81));
    EXPECT_EQ(dev.queued_in(0x81), 1u);  // the babbling packet stays with the device

    host_transfer after(0x81, 64);
    dev.submit(&after.t);
    EXPECT_EQ(after.t.usbd_status, USBD_STATUS_ENDPOINT_HALTED);
    ASSERT_EQ(clear_halt(0x81), USBD_STATUS_SUCCESS);
    dev.submit(&after.t);
    EXPECT_EQ(after.t.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(after.received(), counting(64, 64));
}

TEST_F(wire, a_zero_length_out_transfer_is_a_recorded_packet) {
    host_transfer zlp(0x02, 0);
    dev.submit(&zlp.t);
    EXPECT_EQ(zlp.t.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(dev.take_out(0x02), std::vector<uint8_t>{});
    std::vector<transfer_record> traffic = dev.traffic();
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].endpoint, 0x02);
    EXPECT_FALSE(traffic[0].in);
    EXPECT_EQ(traffic[0].requested, 0u);
    std::vector<wire_event> events = dev.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].length, 0u);
    EXPECT_EQ(events[1].type, wire_event::kind::complete);
    EXPECT_EQ(events[1].transfer_type, USB_ENDPOINT_TYPE_BULK);
}

// ---- Halts -------------------------------------------------------------------------------

TEST_F(wire, a_stall_halts_until_clear_feature_and_fails_what_is_queued_behind_it) {
    host_transfer a(0x81, 64), b(0x81, 64);
    dev.submit(&a.t);
    dev.submit(&b.t);
    dev.set_halted(0x81, true);
    EXPECT_EQ(a.t.usbd_status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(b.t.usbd_status, USBD_STATUS_ENDPOINT_HALTED);

    host_transfer later(0x81, 64);
    dev.submit(&later.t);
    EXPECT_EQ(later.t.usbd_status, USBD_STATUS_ENDPOINT_HALTED);
    // Another endpoint is not affected.
    host_transfer out(0x02, 4);
    dev.submit(&out.t);
    EXPECT_EQ(out.t.usbd_status, USBD_STATUS_SUCCESS);

    ASSERT_EQ(clear_halt(0x81), USBD_STATUS_SUCCESS);
    EXPECT_FALSE(dev.halted(0x81));
    dev.push_in(0x81, {7});
    dev.submit(&later.t);
    EXPECT_EQ(later.t.usbd_status, USBD_STATUS_SUCCESS);
    std::vector<transfer_record> clears = dev.control_traffic(match::clear_feature);
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0].packet().wIndex, 0x81);
}

// ---- Faults --------------------------------------------------------------------------------

TEST_F(wire, an_injected_stall_applies_to_the_next_transfer_only) {
    dev.inject(0x02, fault::make_stall());
    host_transfer h(0x02, 8);
    dev.submit(&h.t);
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_STALL_PID);
    dev.submit(&h.t);
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_ENDPOINT_HALTED);
    ASSERT_EQ(clear_halt(0x02), USBD_STATUS_SUCCESS);
    dev.submit(&h.t);
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(dev.queued_out(0x02), 1u);
}

TEST_F(wire, an_injected_error_halts_only_when_it_is_a_transmission_error) {
    dev.inject(0x02, fault::make_error(USBD_STATUS_INSUFFICIENT_RESOURCES));
    host_transfer h(0x02, 8);
    dev.submit(&h.t);
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(dev.halted(0x02));

    dev.inject(0x02, fault::make_error(USBD_STATUS_XACT_ERROR));
    dev.submit(&h.t);
    EXPECT_EQ(h.t.usbd_status, USBD_STATUS_XACT_ERROR);
    EXPECT_TRUE(dev.halted(0x02));
    EXPECT_EQ(dev.queued_out(0x02), 0u);
}

TEST_F(wire, a_fault_reaches_a_transfer_already_waiting_at_the_endpoint) {
    host_transfer waiting(0x81, 64);
    dev.submit(&waiting.t);
    dev.inject(0x81, fault::make_error(USBD_STATUS_CRC));
    EXPECT_EQ(waiting.t.usbd_status, USBD_STATUS_CRC);
}

TEST_F(wire, a_hung_transfer_holds_up_the_endpoint_until_cancelled) {
    dev.inject(0x81, fault::make_hang());
    host_transfer hung(0x81, 64), behind(0x81, 64);
    hung.t.sequence = 1;
    dev.submit(&hung.t);
    dev.submit(&behind.t);
    dev.push_in(0x81, {1, 2});
    EXPECT_EQ(hung.completions + behind.completions, 0);
    EXPECT_EQ(dev.release(0x81), 0u);  // a hang is not a late completion
    EXPECT_TRUE(dev.cancel(&hung.t, 1));
    EXPECT_EQ(hung.t.usbd_status, USBD_STATUS_CANCELED);
    EXPECT_EQ(behind.received(), (std::vector<uint8_t>{1, 2}));
}

TEST_F(wire, a_late_transfer_completes_when_released) {
    dev.inject(0x02, fault::make_late());
    host_transfer late(0x02, 3, 9);
    dev.submit(&late.t);
    EXPECT_EQ(late.completions, 0);
    EXPECT_EQ(dev.queued_out(0x02), 0u);
    EXPECT_EQ(dev.release(0x02), 1u);
    EXPECT_EQ(late.t.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(dev.take_out(0x02), (std::vector<uint8_t>{9, 9, 9}));
    EXPECT_THROW(dev.inject(0, fault::make_late()), std::invalid_argument);
}

TEST_F(wire, a_short_packet_fault_cuts_one_transfer_and_keeps_the_rest) {
    dev.push_in(0x81, counting(200));
    dev.inject(0x81, fault::make_short(10));
    host_transfer cut(0x81, 512), rest(0x81, 512);
    dev.submit(&cut.t);
    EXPECT_EQ(cut.received(), counting(10));
    dev.submit(&rest.t);
    EXPECT_EQ(rest.received(), counting(190, 10));

    dev.inject(0x02, fault::make_short(5));
    host_transfer out(0x02, 64, 3);
    dev.submit(&out.t);
    EXPECT_EQ(out.t.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(out.t.actual, 5u);
    EXPECT_EQ(dev.take_out(0x02)->size(), 5u);
}

TEST_F(wire, a_device_gone_mid_transfer_completes_everything_pending) {
    int gone_calls = 0;
    dev.on_gone = [&] { gone_calls++; };
    host_transfer notify(0x83, 16), read(0x81, 64);
    dev.submit(&notify.t);
    dev.inject(0x81, fault::make_gone());
    EXPECT_TRUE(dev.connected());  // nothing at the endpoint yet
    dev.submit(&read.t);
    EXPECT_FALSE(dev.connected());
    EXPECT_EQ(read.t.usbd_status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(notify.t.usbd_status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(gone_calls, 1);
    std::vector<wire_event> events = dev.events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[1].type, wire_event::kind::submit);  // the read went out before the device left
    EXPECT_EQ(events[1].endpoint, 0x81);
}

TEST_F(wire, control_faults_by_endpoint_zero_do_not_halt_it) {
    dev.inject(0, fault::make_stall());
    EXPECT_EQ(control(0x80, USB_REQUEST_GET_STATUS, 0, 0, 2), USBD_STATUS_STALL_PID);
    EXPECT_EQ(control(0x80, USB_REQUEST_GET_STATUS, 0, 0, 2), USBD_STATUS_SUCCESS);
    dev.inject(0, fault::make_error(USBD_STATUS_DEV_NOT_RESPONDING));
    EXPECT_EQ(control(0x80, USB_REQUEST_GET_STATUS, 0, 0, 2), USBD_STATUS_DEV_NOT_RESPONDING);
}

// ---- Recording ---------------------------------------------------------------------------

TEST_F(wire, recording_keeps_order_data_and_platform_times) {
    host_transfer read(0x81, 64);
    dev.submit(&read.t);
    sim::clock_advance(1000);
    host_transfer write(0x02, 2, 5);
    dev.submit(&write.t);
    sim::clock_advance(500);
    dev.push_in(0x81, {1, 2, 3});

    std::vector<wire_event> events = dev.events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].type, wire_event::kind::submit);
    EXPECT_EQ(events[0].endpoint, 0x81);
    EXPECT_EQ(events[0].length, 64u);
    EXPECT_TRUE(events[0].data.empty());
    EXPECT_EQ(events[0].time, 0);
    EXPECT_EQ(events[1].endpoint, 0x02);
    EXPECT_EQ(events[1].data, (std::vector<uint8_t>{5, 5}));
    EXPECT_EQ(events[2].type, wire_event::kind::complete);
    EXPECT_EQ(events[2].id, events[1].id);
    EXPECT_EQ(events[2].time, 1000);
    EXPECT_TRUE(events[2].data.empty());  // OUT data went with the submission
    EXPECT_EQ(events[3].id, events[0].id);
    EXPECT_EQ(events[3].time, 1500);
    EXPECT_EQ(events[3].data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_NE(events[0].id, events[1].id);

    std::vector<transfer_record> traffic = dev.traffic();
    ASSERT_EQ(traffic.size(), 2u);
    EXPECT_EQ(traffic[1].endpoint, 0x81);
    EXPECT_EQ(traffic[1].submitted, 0);
    EXPECT_EQ(traffic[1].completed, 1500);
    EXPECT_TRUE(traffic[1].in);
}

TEST_F(wire, nothing_is_recorded_while_recording_is_off) {
    dev.set_recording(false);
    host_transfer write(0x02, 2);
    dev.submit(&write.t);
    EXPECT_EQ(write.t.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(dev.events().empty());
    EXPECT_TRUE(dev.traffic().empty());
}

TEST(hub_enumeration, reads_the_descriptors_and_addresses_the_device_outside_the_traffic) {
    device dev{wire_device()};
    dev.hub_enumerate(7);
    EXPECT_EQ(dev.address(), 7);
    EXPECT_EQ(dev.configuration(), 0);  // the function's driver configures it
    EXPECT_TRUE(dev.traffic().empty());
    std::vector<wire_event> events = dev.events();
    std::vector<std::pair<uint8_t, uint16_t>> submitted;  // bRequest, wLength
    for (const wire_event& e : events) {
        EXPECT_TRUE(e.hub);
        if (e.type == wire_event::kind::submit) submitted.push_back({e.setup[1], e.setup[6] | e.setup[7] << 8});
    }
    const uint16_t total = static_cast<uint16_t>(dev.descriptors().configurations[0].size());
    EXPECT_EQ(submitted, (std::vector<std::pair<uint8_t, uint16_t>>{{USB_REQUEST_GET_DESCRIPTOR, 64},
                                                                    {USB_REQUEST_SET_ADDRESS, 0},
                                                                    {USB_REQUEST_GET_DESCRIPTOR, 18},
                                                                    {USB_REQUEST_GET_DESCRIPTOR, 9},
                                                                    {USB_REQUEST_GET_DESCRIPTOR, total}}));
    // The address applies after SET_ADDRESS completes.
    EXPECT_EQ(events[3].address, 0);
    EXPECT_EQ(events[4].address, 7);

    device configured{wire_device()};
    configured.fail_next_control(match::get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE));
    configured.hub_enumerate(2, true);
    EXPECT_EQ(configured.configuration(), 1);
    // The test's fault waits for the driver's request.
    EXPECT_EQ(configured.control_traffic().size(), 0u);
}

}  // namespace
}  // namespace sim::usb
