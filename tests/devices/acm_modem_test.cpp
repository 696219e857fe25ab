// The ACM modem as a host sees it: line coding, control lines, breaks,
// SERIAL_STATE notifications and AT commands on the data pipes.
#include "devices/models/acm_modem.h"

#include <gtest/gtest.h>

#include "devices/catalogue.h"
#include "model_test_support.h"

namespace sim::devices {
namespace {

using test::bytes_of;

constexpr uint8_t comm = 0;
constexpr uint8_t notify_ep = 0x81;
constexpr uint8_t data_in = 0x82;
constexpr uint8_t data_out = 0x02;

class acm_modem_model : public ::testing::Test {
 protected:
    void SetUp() override {
        ASSERT_NE(modem, nullptr);
        host.configure();
    }

    std::shared_ptr<model_device> dev = usb::catalogue::build("acm");
    acm_modem* modem = dev->find<acm_modem>();
    test::host_side host{*dev};
};

TEST_F(acm_modem_model, line_coding_starts_at_9600_8n1_and_round_trips) {
    std::vector<uint8_t> data;
    ASSERT_EQ(host.class_in(acm_modem::get_line_coding_request, 0, comm, 7, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x80, 0x25, 0x00, 0x00, 0, 0, 8}));

    // 115200, 2 stop bits, even parity, 7 data bits.
    const std::vector<uint8_t> coding = {0x00, 0xc2, 0x01, 0x00, 2, 2, 7};
    ASSERT_EQ(host.class_out(acm_modem::set_line_coding_request, 0, comm, coding), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.class_in(acm_modem::get_line_coding_request, 0, comm, 7, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, coding);
    EXPECT_EQ(modem->coding().dwDTERate, 115200u);
    EXPECT_EQ(modem->coding().bDataBits, 7);
}

TEST_F(acm_modem_model, invalid_line_coding_stalls_and_keeps_the_old_one) {
    const line_coding before = modem->coding();
    // 9 data bits, then a short data stage, then parity 5.
    EXPECT_EQ(host.class_out(acm_modem::set_line_coding_request, 0, comm, {0x80, 0x25, 0, 0, 0, 0, 9}),
              USBD_STATUS_STALL_PID);
    EXPECT_EQ(host.class_out(acm_modem::set_line_coding_request, 0, comm, {0x80, 0x25, 0, 0, 0, 0}),
              USBD_STATUS_STALL_PID);
    EXPECT_EQ(host.class_out(acm_modem::set_line_coding_request, 0, comm, {0x80, 0x25, 0, 0, 0, 5, 8}),
              USBD_STATUS_STALL_PID);
    EXPECT_EQ(modem->coding(), before);
}

TEST_F(acm_modem_model, a_new_configuration_restores_the_default_coding_and_lines) {
    ASSERT_EQ(host.class_out(acm_modem::set_line_coding_request, 0, comm, {0x00, 0x4b, 0, 0, 0, 0, 8}),
              USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.class_out(acm_modem::set_control_line_state_request, 3, comm), USBD_STATUS_SUCCESS);
    host.configure();
    EXPECT_EQ(modem->coding(), line_coding());
    EXPECT_EQ(modem->control_lines(), 0);
}

TEST_F(acm_modem_model, control_lines_are_kept_and_dtr_reports_carrier) {
    ASSERT_EQ(host.class_out(acm_modem::set_control_line_state_request, acm_modem::line_rts, comm),
              USBD_STATUS_SUCCESS);
    EXPECT_TRUE(modem->rts());
    EXPECT_FALSE(modem->dtr());
    EXPECT_FALSE(host.read(notify_ep, 16)) << "RTS alone changes no modem status";

    ASSERT_EQ(host.class_out(acm_modem::set_control_line_state_request, 3, comm), USBD_STATUS_SUCCESS);
    EXPECT_TRUE(modem->dtr());
    EXPECT_EQ(host.read(notify_ep, 16), (std::vector<uint8_t>{0xa1, 0x20, 0, 0, comm, 0, 2, 0, 0x03, 0x00}));

    ASSERT_EQ(host.class_out(acm_modem::set_control_line_state_request, 0, comm), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(notify_ep, 16), (std::vector<uint8_t>{0xa1, 0x20, 0, 0, comm, 0, 2, 0, 0x00, 0x00}));
}

TEST_F(acm_modem_model, breaks_are_recorded_in_order) {
    ASSERT_EQ(host.class_out(acm_modem::send_break_request, 250, comm), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.class_out(acm_modem::send_break_request, 0xffff, comm), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.class_out(acm_modem::send_break_request, 0, comm), USBD_STATUS_SUCCESS);
    EXPECT_EQ(modem->breaks(), (std::vector<uint16_t>{250, 0xffff, 0}));
}

TEST_F(acm_modem_model, unknown_or_misdirected_requests_stall) {
    std::vector<uint8_t> data;
    EXPECT_EQ(host.class_out(0x00, 0, comm, {'A', 'T'}), USBD_STATUS_STALL_PID);  // SEND_ENCAPSULATED_COMMAND
    EXPECT_EQ(host.class_in(acm_modem::set_line_coding_request, 0, comm, 7, &data), USBD_STATUS_STALL_PID);
    EXPECT_EQ(host.class_out(acm_modem::get_line_coding_request, 0, comm), USBD_STATUS_STALL_PID);
    // Addressed to the data interface, which no ACM request names.
    EXPECT_EQ(host.class_in(acm_modem::get_line_coding_request, 0, 1, 7, &data), USBD_STATUS_STALL_PID);
    // A vendor request.
    EXPECT_EQ(host.control(test::setup(0x41, 0x01, 0, comm, 0)), USBD_STATUS_STALL_PID);
}

TEST_F(acm_modem_model, serial_state_packet_names_the_interface_and_bits) {
    EXPECT_TRUE(modem->notify_serial_state(acm_modem::state_ring | acm_modem::state_overrun | 0x0100));
    EXPECT_EQ(host.read(notify_ep, 16), (std::vector<uint8_t>{0xa1, 0x20, 0, 0, comm, 0, 2, 0, 0x48, 0x01}));
    EXPECT_TRUE(modem->notify({1, 2, 3}));
    EXPECT_EQ(host.read(notify_ep, 16), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(acm_modem_model, at_is_answered_ok_in_any_case_and_anything_else_error) {
    ASSERT_EQ(host.write(data_out, bytes_of("AT\r")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(data_in), bytes_of("\r\nOK\r\n"));
    ASSERT_EQ(host.write(data_out, bytes_of("  at \r")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(data_in), bytes_of("\r\nOK\r\n"));
    ASSERT_EQ(host.write(data_out, bytes_of("ATZ\r")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(data_in), bytes_of("\r\nERROR\r\n"));
    EXPECT_FALSE(host.read(data_in)) << "one answer per line, no echo";
}

TEST_F(acm_modem_model, a_line_split_over_writes_is_answered_once_it_ends) {
    ASSERT_EQ(host.write(data_out, bytes_of("A")), USBD_STATUS_SUCCESS);
    EXPECT_FALSE(host.read(data_in));
    ASSERT_EQ(host.write(data_out, bytes_of("T\r\nAT+GMI\r")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(data_in), bytes_of("\r\nOK\r\n"));
    EXPECT_EQ(host.read(data_in), bytes_of("\r\nERROR\r\n"));
    EXPECT_EQ(modem->commands(), (std::vector<std::string>{"AT", "AT+GMI"}));
}

TEST_F(acm_modem_model, empty_lines_are_ignored_and_overlong_ones_rejected) {
    ASSERT_EQ(host.write(data_out, bytes_of("\r\r \n\r")), USBD_STATUS_SUCCESS);
    EXPECT_FALSE(host.read(data_in));
    // "AT" after more than a line's worth of blanks still overflowed the line.
    std::string flood(acm_modem::max_line + 10, ' ');
    ASSERT_EQ(host.write(data_out, bytes_of(flood + "AT\r")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(data_in), bytes_of("\r\nERROR\r\n"));
    ASSERT_EQ(host.write(data_out, bytes_of("AT\r")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(data_in), bytes_of("\r\nOK\r\n"));
}

TEST_F(acm_modem_model, device_send_reaches_a_pending_read) {
    modem->device_send(bytes_of("RING\r\n"));
    EXPECT_EQ(host.read(data_in), bytes_of("RING\r\n"));
}

// The answer completes the host's read on the writing thread; a host that
// writes its next command from that completion re-enters the modem, which
// must not be holding its lock then.
TEST_F(acm_modem_model, a_read_completion_may_send_the_next_command) {
    struct chained {
        usb::device* dev;
        test::host_transfer read{std::vector<uint8_t>(64)};
        test::host_transfer next{bytes_of("ATX\r")};
        static void on_read(usb::transfer* t, void* context) {
            auto* self = static_cast<chained*>(context);
            self->read.completions++;
            if (t->usbd_status == USBD_STATUS_SUCCESS) self->dev->submit(&self->next.t);
        }
    } c;
    c.dev = dev.get();
    c.read.t.endpoint = data_in;
    c.read.t.complete = chained::on_read;
    c.read.t.context = &c;
    c.next.t.endpoint = data_out;
    dev->submit(&c.read.t);
    ASSERT_EQ(host.write(data_out, bytes_of("AT\r")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(c.read.completions.load(), 1);
    EXPECT_EQ(c.next.completions.load(), 1);
    EXPECT_EQ(host.read(data_in), bytes_of("\r\nERROR\r\n"));
    EXPECT_EQ(modem->commands(), (std::vector<std::string>{"AT", "ATX"}));
}

TEST(acm_modem_without_notification, has_nothing_to_notify_on) {
    auto dev = usb::catalogue::build("acm-no-notify");
    acm_modem* modem = dev->find<acm_modem>();
    ASSERT_NE(modem, nullptr);
    EXPECT_FALSE(modem->notify_serial_state(acm_modem::state_dcd));
    test::host_side host(*dev);
    host.configure();
    ASSERT_EQ(host.class_out(acm_modem::set_control_line_state_request, 1, 0), USBD_STATUS_SUCCESS);
    EXPECT_EQ(dev->queued_in(0x81), 0u);
}

}  // namespace
}  // namespace sim::devices
