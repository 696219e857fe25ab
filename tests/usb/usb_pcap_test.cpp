// Capture files in the usbmon format: the 64-byte header field by field,
// the status each USBD status becomes, and a whole capture decoded by tshark.
#include "usb/usb_pcap.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "devices/catalogue.h"
#include "sim/kernel.h"
#include "usb/usb_device.h"

namespace sim::usb {
namespace {

uint32_t u32(const std::vector<uint8_t>& p, size_t offset) {
    return static_cast<uint32_t>(p[offset] | p[offset + 1] << 8 | p[offset + 2] << 16 | p[offset + 3] << 24);
}

wire_event get_descriptor_submission() {
    wire_event e;
    e.type = wire_event::kind::submit;
    e.id = 0x1122334455667788ull;
    e.endpoint = 0x80;
    e.address = 3;
    e.has_setup = true;
    const uint8_t setup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
    std::copy(setup, setup + 8, e.setup);
    e.length = 18;
    e.time = 25000015;  // 2.5000015 s
    return e;
}

TEST(usbmon_packet, an_in_submission_carries_its_setup_but_no_data) {
    pcap_options options;
    options.bus = 2;
    options.epoch_seconds = 1000;
    std::vector<uint8_t> p = usbmon_packet(get_descriptor_submission(), options);
    ASSERT_EQ(p.size(), 64u);
    EXPECT_EQ(p[0], 0x88);
    EXPECT_EQ(p[7], 0x11);
    EXPECT_EQ(p[8], 'S');
    EXPECT_EQ(p[9], 2);  // control
    EXPECT_EQ(p[10], 0x80);
    EXPECT_EQ(p[11], 3);
    EXPECT_EQ(p[12] | p[13] << 8, 2);
    EXPECT_EQ(p[14], 0);    // setup present
    EXPECT_EQ(p[15], '<');  // IN data comes with the completion
    EXPECT_EQ(u32(p, 16), 1002u);
    EXPECT_EQ(u32(p, 20), 0u);
    EXPECT_EQ(u32(p, 24), 500001u);
    EXPECT_EQ(static_cast<int32_t>(u32(p, 28)), -115);
    EXPECT_EQ(u32(p, 32), 18u);
    EXPECT_EQ(u32(p, 36), 0u);
    EXPECT_EQ(p[40], 0x80);
    EXPECT_EQ(p[43], 0x01);
    EXPECT_EQ(p[46], 0x12);
    EXPECT_EQ(u32(p, 56), 0x200u);  // URB_DIR_IN
}

TEST(usbmon_packet, completions_carry_in_data_and_out_submissions_carry_theirs) {
    wire_event in = get_descriptor_submission();
    in.type = wire_event::kind::complete;
    in.usbd_status = USBD_STATUS_SUCCESS;
    in.length = 3;
    in.data = {1, 2, 3};
    std::vector<uint8_t> p = usbmon_packet(in);
    ASSERT_EQ(p.size(), 67u);
    EXPECT_EQ(p[8], 'C');
    EXPECT_EQ(p[14], '-');
    EXPECT_EQ(p[15], 0);
    EXPECT_EQ(u32(p, 28), 0u);
    EXPECT_EQ(u32(p, 36), 3u);
    EXPECT_EQ(p[40], 0);  // no setup on a completion
    EXPECT_EQ(p[66], 3);

    wire_event out;
    out.type = wire_event::kind::complete;
    out.transfer_type = USB_ENDPOINT_TYPE_BULK;
    out.endpoint = 0x02;
    out.length = 2;
    out.data = {9, 9};  // never on an OUT completion
    out.usbd_status = USBD_STATUS_STALL_PID;
    p = usbmon_packet(out);
    ASSERT_EQ(p.size(), 64u);
    EXPECT_EQ(p[9], 3);  // bulk
    EXPECT_EQ(p[15], '>');
    EXPECT_EQ(static_cast<int32_t>(u32(p, 28)), -32);
    EXPECT_EQ(u32(p, 32), 2u);
    EXPECT_EQ(u32(p, 56), 0u);

    out.type = wire_event::kind::submit;
    out.transfer_type = USB_ENDPOINT_TYPE_INTERRUPT;
    out.interval = 8;
    p = usbmon_packet(out);
    ASSERT_EQ(p.size(), 66u);
    EXPECT_EQ(p[9], 1);  // interrupt
    EXPECT_EQ(p[14], '-');
    EXPECT_EQ(u32(p, 48), 8u);
}

TEST(usbmon_status, is_the_negative_errno_linux_reports) {
    EXPECT_EQ(usbmon_status(USBD_STATUS_SUCCESS), 0);
    EXPECT_EQ(usbmon_status(USBD_STATUS_STALL_PID), -32);
    EXPECT_EQ(usbmon_status(USBD_STATUS_ENDPOINT_HALTED), -32);
    EXPECT_EQ(usbmon_status(USBD_STATUS_CANCELED), -2);
    EXPECT_EQ(usbmon_status(USBD_STATUS_DEVICE_GONE), -108);
    EXPECT_EQ(usbmon_status(USBD_STATUS_BABBLE_DETECTED), -75);
    EXPECT_EQ(usbmon_status(USBD_STATUS_XACT_ERROR), -71);
    EXPECT_EQ(usbmon_status(USBD_STATUS_INVALID_PIPE_HANDLE), -22);
}

TEST(pcap_file, has_the_usbmon_link_type_and_one_record_per_event) {
    std::ostringstream out;
    write_pcap(out, {get_descriptor_submission()});
    const std::string bytes = out.str();
    ASSERT_EQ(bytes.size(), 24u + 16u + 64u);
    auto at = [&](size_t offset) {
        return static_cast<uint32_t>(
            static_cast<uint8_t>(bytes[offset]) | static_cast<uint8_t>(bytes[offset + 1]) << 8 |
            static_cast<uint8_t>(bytes[offset + 2]) << 16 | static_cast<uint8_t>(bytes[offset + 3]) << 24);
    };
    EXPECT_EQ(at(0), 0xa1b2c3d4u);
    EXPECT_EQ(at(20), 220u);
    EXPECT_EQ(at(24), 2u);       // seconds
    EXPECT_EQ(at(28), 500001u);  // microseconds
    EXPECT_EQ(at(32), 64u);
    EXPECT_EQ(at(36), 64u);
    EXPECT_FALSE(write_pcap(std::string("/nonexistent/dir/x.pcap"), {}));
}

TEST(merge_events, orders_devices_by_time_keeping_each_order) {
    wire_event a, b, c;
    a.time = 10;
    a.id = 1;
    b.time = 10;
    b.id = 2;
    c.time = 5;
    c.id = 3;
    std::vector<wire_event> all = merge_events({{a, b}, {c}});
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].id, 3u);
    EXPECT_EQ(all[1].id, 1u);
    EXPECT_EQ(all[2].id, 2u);
}

// ---- tshark ------------------------------------------------------------------

// A modem that accepts SET_LINE_CODING.
class line_coding_device : public device {
 public:
    using device::device;

 protected:
    control_reply handle_class_or_vendor(const setup_packet& setup, uint8_t*) override {
        control_reply reply;
        if (setup.bmRequestType != 0x21 || setup.bRequest != 0x20) reply.usbd_status = USBD_STATUS_STALL_PID;
        return reply;
    }
};

struct host_transfer {
    transfer t;
    std::vector<uint8_t> data;
    explicit host_transfer(uint8_t endpoint, std::vector<uint8_t> bytes) : data(std::move(bytes)) {
        t.endpoint = endpoint;
        t.buffer = data.data();
        t.length = data.size();
    }
};

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) != 0) output.append(buffer, n);
    pclose(pipe);
    return output;
}

std::vector<std::vector<std::string>> rows(const std::string& text) {
    std::vector<std::vector<std::string>> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '\t')) fields.push_back(cell);
        out.push_back(fields);
    }
    return out;
}

class tshark_decode : public ::testing::Test {
 protected:
    void SetUp() override {
        if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
        sim::clock_use_virtual(true);
        sim::clock_reset();
        path_ = ::testing::TempDir() + "wire_capture_" + std::to_string(::getpid()) + ".pcap";
    }
    void TearDown() override {
        if (!path_.empty()) std::remove(path_.c_str());
    }

    std::string path_;
};

TEST_F(tshark_decode, enumeration_class_request_bulk_data_and_zero_length_packet) {
    line_coding_device dev{catalogue::acm_modem()};
    dev.hub_enumerate(4, true);
    sim::clock_advance(10000);

    host_transfer coding(0, {0x00, 0xc2, 0x01, 0x00, 0x00, 0x00, 0x08});  // 115200 8N1
    const uint8_t set_line_coding[8] = {0x21, 0x20, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00};
    std::copy(set_line_coding, set_line_coding + 8, coding.t.setup);
    dev.submit(&coding.t);
    ASSERT_EQ(coding.t.usbd_status, USBD_STATUS_SUCCESS);

    host_transfer write(0x02, std::vector<uint8_t>(64, 'A'));
    host_transfer zlp(0x02, {});
    dev.submit(&write.t);
    dev.submit(&zlp.t);
    ASSERT_EQ(zlp.t.usbd_status, USBD_STATUS_SUCCESS);
    host_transfer read(0x82, std::vector<uint8_t>(64));
    dev.submit(&read.t);
    sim::clock_advance(20);
    dev.push_in(0x82, {'O', 'K'});
    ASSERT_EQ(read.t.actual, 2u);

    const std::vector<wire_event> events = dev.events();
    ASSERT_TRUE(write_pcap(path_, events));
    const std::string decoded = run("tshark -r " + path_ +
                                    " -T fields -E separator=/t -e usb.urb_type -e usb.transfer_type"
                                    " -e usb.endpoint_address -e usb.device_address -e usb.data_len"
                                    " -e usb.setup.bRequest -e usbcom.control.request_code -e usb.urb_status"
                                    " -e _ws.malformed 2>/dev/null");
    std::vector<std::vector<std::string>> frames = rows(decoded);
    ASSERT_EQ(frames.size(), events.size()) << decoded;
    for (const auto& f : frames) {
        ASSERT_GE(f.size(), 8u) << decoded;
        EXPECT_TRUE(f.size() < 9 || f[8].empty()) << "malformed: " << decoded;
    }
    // The hub's first request: GET_DESCRIPTOR to address 0.
    EXPECT_EQ(frames[0][0], "'S'");
    EXPECT_EQ(frames[0][1], "0x02");
    EXPECT_EQ(frames[0][2], "0x80");
    EXPECT_EQ(frames[0][3], "0");
    EXPECT_EQ(frames[0][5], "6");
    EXPECT_EQ(frames[0][7], "-115");

    // The class request, decoded as CDC once the configuration was seen.
    size_t i = 0;
    while (i < frames.size() && frames[i][6].empty()) ++i;
    ASSERT_LT(i, frames.size()) << decoded;
    EXPECT_EQ(frames[i][1], "0x02");
    EXPECT_EQ(frames[i][3], "4");
    EXPECT_EQ(frames[i][6], "0x20");  // SET_LINE_CODING
    EXPECT_EQ(frames[i][4], "7");

    // Bulk OUT 64, its zero-length packet, bulk IN of 2.
    std::vector<std::string> bulk;
    for (const auto& f : frames) {
        if (f[1] == "0x03") bulk.push_back(f[0] + " " + f[2] + " " + f[4]);
    }
    EXPECT_EQ(bulk, (std::vector<std::string>{"'S' 0x02 64", "'C' 0x02 0", "'S' 0x02 0", "'C' 0x02 0", "'S' 0x82 0",
                                              "'C' 0x82 2"}))
        << decoded;
}

}  // namespace
}  // namespace sim::usb
