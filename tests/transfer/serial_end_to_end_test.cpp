// The serial function driver on a real child of the bus driver, talking to
// the modem model: what a terminal program sees, and what goes over the wire.
#include "devices/models/make_device.h"
#include "function_drivers/serial_driver.h"
#include "transfer/bus_fixture.h"

namespace cdc::transfer_test {
namespace {

using sim::devices::acm_modem;

class serial_port : public bus_fixture {
 protected:
    void SetUp() override {
        bus_fixture::SetUp();
        function_drivers::install(*host_);
        modem_device_ = sim::devices::make_device(sim::usb::catalogue::acm_modem());
        child_ = plug(modem_device_).at(0);
        modem_ = modem_device_->find<acm_modem>();
        ASSERT_NE(modem_, nullptr);
    }

    function_drivers::serial_driver* port() {
        return dynamic_cast<function_drivers::serial_driver*>(host_->function_driver_of(child_));
    }

    // Bounded: the completions come on the platform's threads.
    bool read_until(const std::string& text) {
        for (int i = 0; i < 1000; i++) {
            if (port()->read_text().find(text) != std::string::npos) return true;
            sim::io_threads_stop();
        }
        return false;
    }

    std::shared_ptr<sim::devices::model_device> modem_device_;
    acm_modem* modem_ = nullptr;
    WDFDEVICE child_ = nullptr;
};

TEST_F(serial_port, open_configures_the_line_and_at_gets_ok) {
    ASSERT_NE(port(), nullptr);
    ASSERT_EQ(host_->open(child_), STATUS_SUCCESS);
    EXPECT_EQ(modem_->coding().dwDTERate, 115200u);
    EXPECT_TRUE(modem_->dtr());
    EXPECT_TRUE(modem_->rts());

    ASSERT_TRUE(port()->write(std::string("AT\r")));
    EXPECT_TRUE(read_until("\r\nOK\r\n"));
    ASSERT_TRUE(port()->write(std::string("ATX\r")));
    EXPECT_TRUE(read_until("\r\nERROR\r\n"));

    ASSERT_EQ(port()->set_line_coding(9600, 7, 'E', 2), STATUS_SUCCESS);
    EXPECT_EQ(modem_->coding().dwDTERate, 9600u);
    EXPECT_EQ(modem_->coding().bDataBits, 7);

    host_->close(child_);
    EXPECT_FALSE(port()->is_open());
}

TEST_F(serial_port, serial_state_reaches_the_modem_status) {
    ASSERT_EQ(host_->open(child_), STATUS_SUCCESS);
    ASSERT_TRUE(modem_->notify_serial_state(0x0B));
    for (int i = 0; i < 1000 && port()->modem_status().ring == false; i++) sim::io_threads_stop();
    EXPECT_TRUE(port()->modem_status().ring);
    EXPECT_TRUE(port()->modem_status().dcd);
    host_->close(child_);
}

TEST_F(serial_port, device_strings_come_through_the_bus_interface) {
    CDC_BUS_INTERFACE& b = bus(child_);
    WCHAR text[64];
    UNICODE_STRING string{0, sizeof(text), text};
    USHORT length = 64;
    const UCHAR product = sim::usb::catalogue::acm_modem().device.iProduct;
    ASSERT_NE(product, 0);
    ASSERT_EQ(b.cdc_get_string(child_, product, &string, &length), STATUS_SUCCESS);
    EXPECT_EQ(string.Length, length * sizeof(WCHAR));
    EXPECT_GT(length, 0);

    USHORT too_small = static_cast<USHORT>(length - 1);
    EXPECT_EQ(b.cdc_get_string(child_, product, &string, &too_small), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(too_small, length);
}

// Every open makes the port's records and every close gives them back: the
// framework's objects do not pile up under the device.
TEST_F(serial_port, opening_and_closing_a_port_leaves_no_objects_behind) {
    ASSERT_EQ(host_->open(child_), STATUS_SUCCESS);
    host_->close(child_);
    sim::io_threads_stop();
    const size_t after_first = wdf::live_objects().size();
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(host_->open(child_), STATUS_SUCCESS) << "open " << i;
        host_->close(child_);
    }
    sim::io_threads_stop();
    EXPECT_EQ(wdf::live_objects().size(), after_first);
}

TEST_F(serial_port, unplugging_an_open_port_closes_it_first) {
    ASSERT_EQ(host_->open(child_), STATUS_SUCCESS);
    ASSERT_TRUE(port()->write(std::string("AT\r")));
    host_->unplug(modem_device_);
    EXPECT_TRUE(host_->children(*stack_).empty());
}

}  // namespace
}  // namespace cdc::transfer_test
