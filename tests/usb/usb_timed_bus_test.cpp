// The timed wire: packet slots per microframe and frame, a zero-length packet
// taking a slot, interrupt endpoints at their polling interval, a short
// packet ending a transfer, all seen on the virtual clock.
#include "usb/usb_timed_bus.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "devices/descriptor_builder.h"
#include "sim/kernel.h"
#include "usb/usb_device.h"

namespace sim::usb {
namespace {

// Bulk IN 0x81 and OUT 0x02, interrupt IN 0x83 of 16 bytes polled every
// `interval` (as bInterval).
descriptor_set timed_device(usb_speed speed, uint8_t interval) {
    const uint16_t bulk = speed == usb_speed::high ? 512 : 64;
    return descriptor_builder()
        .speed(speed)
        .device(0x1234, 0x0078, 0xff, 0, 0)
        .configuration(1, USB_CONFIG_BUS_POWERED, 50)
        .interface(0, 0, 0xff, 0, 0)
        .endpoint(0x81, endpoint_type::bulk, bulk)
        .endpoint(0x02, endpoint_type::bulk, bulk)
        .endpoint(0x83, endpoint_type::interrupt, 16, interval)
        .build();
}

// A host transfer that notes when it completed, on the platform clock.
struct timed_transfer {
    transfer t;
    std::vector<uint8_t> data;
    int completions = 0;
    int64_t completed_at = -1;

    static void complete(transfer*, void* context) {
        auto* self = static_cast<timed_transfer*>(context);
        self->completions++;
        self->completed_at = sim::clock_now();
    }

    timed_transfer(uint8_t endpoint, size_t length) : data(length, 0) {
        t.endpoint = endpoint;
        t.buffer = data.data();
        t.length = data.size();
        t.complete = complete;
        t.context = this;
    }
};

class timed_wire : public ::testing::Test {
 protected:
    void make(usb_speed speed, uint8_t interval = 1) {
        sim::clock_use_virtual(true);
        sim::clock_reset();
        dev = std::make_shared<device>(timed_device(speed, interval));
        timed_transfer configure(0, 0);
        setup_packet s;
        s.bRequest = USB_REQUEST_SET_CONFIGURATION;
        s.wValue = 1;
        s.to_bytes(configure.t.setup);
        dev->submit(&configure.t);
        ASSERT_EQ(configure.t.usbd_status, USBD_STATUS_SUCCESS);
        bus = std::make_unique<timed_bus>(speed);
        bus->attach(dev);
    }

    std::shared_ptr<device> dev;
    std::unique_ptr<timed_bus> bus;
};

TEST_F(timed_wire, a_high_speed_microframe_moves_at_most_13_bulk_packets) {
    make(usb_speed::high);
    dev->push_in(0x81, std::vector<uint8_t>(30 * 512, 0x11));
    timed_transfer read(0x81, 30 * 512);
    dev->submit(&read.t);
    EXPECT_EQ(read.completions, 0);  // nothing moves between frames

    EXPECT_EQ(bus->run_frame().packets, 13u);
    EXPECT_EQ(sim::clock_now(), 1250);  // 125 us
    EXPECT_EQ(bus->run_frame().packets, 13u);
    EXPECT_EQ(read.completions, 0);
    const timed_bus::frame_result last = bus->run_frame();
    EXPECT_EQ(last.packets, 4u);
    EXPECT_EQ(last.bytes, 4u * 512);
    ASSERT_EQ(read.completions, 1);
    EXPECT_EQ(read.t.actual, 30u * 512);
    EXPECT_EQ(read.completed_at, 3 * 1250);  // at the end of the microframe its last packet moved in
    EXPECT_EQ(bus->bytes_moved(), 30u * 512);
}

TEST_F(timed_wire, a_full_speed_frame_moves_at_most_19_bulk_packets_shared_by_the_endpoints) {
    make(usb_speed::full);
    timed_transfer write(0x02, 40 * 64);
    dev->submit(&write.t);
    dev->push_in(0x81, std::vector<uint8_t>(40 * 64, 0x22));
    timed_transfer read(0x81, 40 * 64);
    dev->submit(&read.t);

    // Both endpoints have work: the 19 slots of each 1-ms frame are shared.
    EXPECT_EQ(bus->run_frame().packets, 19u);
    EXPECT_EQ(sim::clock_now(), 10000);
    bus->run_frames(3);
    EXPECT_EQ(write.completions + read.completions, 0);  // 76 slots for 80 packets
    EXPECT_EQ(bus->run_frame().packets, 4u);
    ASSERT_EQ(write.completions, 1);
    ASSERT_EQ(read.completions, 1);
    EXPECT_EQ(dev->take_out(0x02)->size(), 40u * 64);
    EXPECT_EQ(bus->packets_moved(), 80u);
    EXPECT_EQ(std::max(write.completed_at, read.completed_at), 5 * 10000);
}

TEST_F(timed_wire, a_zero_length_packet_takes_a_slot) {
    make(usb_speed::high);
    // Seven writes of one packet, each followed by a zero-length packet: 14 slots.
    std::vector<std::unique_ptr<timed_transfer>> writes;
    for (int i = 0; i < 7; ++i) {
        writes.push_back(std::make_unique<timed_transfer>(0x02, 512));
        writes.push_back(std::make_unique<timed_transfer>(0x02, 0));
    }
    for (auto& w : writes) dev->submit(&w->t);
    const timed_bus::frame_result first = bus->run_frame();
    EXPECT_EQ(first.packets, 13u);
    EXPECT_EQ(first.bytes, 7u * 512);
    EXPECT_EQ(writes[12]->completions, 1);
    EXPECT_EQ(writes[13]->completions, 0);  // the last zero-length packet waits for the next microframe
    const timed_bus::frame_result second = bus->run_frame();
    EXPECT_EQ(second.packets, 1u);
    EXPECT_EQ(second.bytes, 0u);
    EXPECT_EQ(writes[13]->completions, 1);
    EXPECT_EQ(writes[13]->completed_at, 2 * 1250);
    EXPECT_EQ(dev->take_all_out(0x02).size(), 14u);
}

TEST_F(timed_wire, a_short_packet_ends_a_transfer_and_the_next_one_goes_on_in_the_same_frame) {
    make(usb_speed::high);
    dev->push_in(0x81, std::vector<uint8_t>(600, 0x33));  // 512 + a short packet of 88
    dev->push_in(0x81, std::vector<uint8_t>(512, 0x44));  // a full packet: no end yet
    timed_transfer first(0x81, 4096), second(0x81, 4096);
    dev->submit(&first.t);
    dev->submit(&second.t);
    EXPECT_EQ(bus->run_frame().packets, 3u);
    EXPECT_EQ(first.completions, 1);
    EXPECT_EQ(first.t.actual, 600u);
    EXPECT_EQ(second.completions, 0);
    dev->push_in(0x81, {});
    bus->run_frame();
    EXPECT_EQ(second.completions, 1);
    EXPECT_EQ(second.t.actual, 512u);
}

TEST_F(timed_wire, a_transfer_sent_from_a_completion_starts_in_the_next_frame) {
    make(usb_speed::high);
    dev->push_in(0x81, std::vector<uint8_t>(4 * 512, 0x55));
    // One read of one packet kept in flight: one packet a microframe.
    struct again {
        timed_transfer read{0x81, 512};
        device* dev = nullptr;
        static void complete(transfer* t, void* context) {
            auto* self = static_cast<again*>(context);
            self->read.completions++;
            if (self->read.completions < 4) self->dev->submit(t);
        }
    } chain;
    chain.dev = dev.get();
    chain.read.t.complete = again::complete;
    chain.read.t.context = &chain;
    dev->submit(&chain.read.t);
    for (unsigned frame = 1; frame <= 4; ++frame) {
        EXPECT_EQ(bus->run_frame().packets, 1u) << "microframe " << frame;
        EXPECT_EQ(chain.read.completions, static_cast<int>(frame));
    }
}

TEST_F(timed_wire, a_high_speed_interrupt_endpoint_is_polled_every_2_to_the_binterval_minus_1_microframes) {
    make(usb_speed::high, 4);  // every 8 microframes: 1 ms
    dev->push_in(0x83, std::vector<uint8_t>(16, 1));
    dev->push_in(0x83, std::vector<uint8_t>(16, 2));
    dev->push_in(0x83, std::vector<uint8_t>(16, 3));
    std::vector<std::unique_ptr<timed_transfer>> reads;
    for (int i = 0; i < 3; ++i) {
        reads.push_back(std::make_unique<timed_transfer>(0x83, 16));
        dev->submit(&reads.back()->t);
    }
    bus->run_frames(24);
    ASSERT_EQ(reads[2]->completions, 1);
    EXPECT_EQ(reads[0]->completed_at, 1250);
    EXPECT_EQ(reads[1]->completed_at, 1250 + 10000);
    EXPECT_EQ(reads[2]->completed_at, 1250 + 20000);
}

TEST_F(timed_wire, a_full_speed_interrupt_endpoint_is_polled_every_binterval_frames) {
    make(usb_speed::full, 10);
    dev->push_in(0x83, std::vector<uint8_t>(32, 7));  // two packets
    timed_transfer read(0x83, 32);
    dev->submit(&read.t);
    bus->run_frames(9);
    EXPECT_EQ(read.completions, 0);
    EXPECT_EQ(dev->queued_in(0x83), 1u);  // the first packet came in frame 0, the second waits
    bus->run_frames(2);
    ASSERT_EQ(read.completions, 1);
    EXPECT_EQ(read.completed_at, 11 * 10000);  // frames 0 and 10, completed at the end of frame 10
}

TEST_F(timed_wire, faults_act_at_once_and_detaching_moves_what_waited) {
    make(usb_speed::high);
    dev->inject(0x02, fault::make_stall());
    timed_transfer stalled(0x02, 512);
    dev->submit(&stalled.t);
    EXPECT_EQ(stalled.t.usbd_status, USBD_STATUS_STALL_PID);  // no frame needed

    dev->push_in(0x81, std::vector<uint8_t>(100, 0x66));
    timed_transfer read(0x81, 512);
    dev->submit(&read.t);
    EXPECT_EQ(read.completions, 0);
    bus->detach(dev);
    EXPECT_EQ(read.completions, 1);
    EXPECT_EQ(read.t.actual, 100u);
    EXPECT_EQ(sim::clock_now(), 0);
}

TEST(timed_bus, a_device_of_another_speed_is_refused) {
    timed_bus high(usb_speed::high);
    EXPECT_THROW(high.attach(std::make_shared<device>(timed_device(usb_speed::full, 1))), std::invalid_argument);
    timed_bus full(usb_speed::full);
    EXPECT_THROW(full.attach(std::make_shared<device>(timed_device(usb_speed::high, 1))), std::invalid_argument);
    EXPECT_DOUBLE_EQ(high.limit_bytes_per_second(), 13.0 * 512 * 8000);
    EXPECT_DOUBLE_EQ(full.limit_bytes_per_second(), 19.0 * 64 * 1000);
}

}  // namespace
}  // namespace sim::usb
