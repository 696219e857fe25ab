// The serial and generic function drivers against a stand-in bus interface:
// what they ask of the bus, in order, and what they make of the answers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "serial_driver.h"
#include "tests/function_drivers/fake_bus.h"

namespace {

using strings = std::vector<std::string>;
using function_drivers::cdc_client;
using function_drivers::serial_driver;

class cdc_client_test : public test_bus::bus_test {
 protected:
    WDFDEVICE pdo = nullptr;

    void SetUp() override {
        test_bus::bus_test::SetUp();
        fake_bus::reset();
        test_bus::config().on_pdo_created = fake_bus::register_on;
        function_drivers::install(host, fake_bus::few_requests());
        host.register_function_driver("testbus\\CHILD_1", [](WDFDEVICE device) {
            return std::unique_ptr<sim::function_driver>(new serial_driver(device, fake_bus::few_requests()));
        });
    }
    void TearDown() override {
        if (bus != nullptr) host.remove_device(*bus);
        EXPECT_EQ(fake_bus::fake().references, 0);
    }
    // Child 1 gets the serial driver, any other the generic client.
    cdc_client& child(ULONG serial) {
        if (bus == nullptr) start_bus();
        report(serial);
        host.settle();
        pdo = pdo_of(serial);
        return *static_cast<cdc_client*>(host.function_driver_of(pdo));
    }
    serial_driver& serial() { return static_cast<serial_driver&>(child(1)); }
    strings calls_since(size_t from) const {
        strings all = fake_bus::calls();
        return strings(all.begin() + static_cast<long>(from), all.end());
    }
};

const strings serial_open = {"reference",         "data_io_init(4,4)",   "transport_enable",
                             "set_notify_cb(on)", "class(out,0x20,0,7)", "class(out,0x22,3,0)",
                             "read(512)",         "read(512)",           "ctrl_cbs_init(1)"};
const strings close_steps = {"ctrl_cbs_uninit",   "set_notify_cb(off)", "purge(in)",  "purge(out)",
                             "transport_disable", "data_io_uninit",     "dereference"};

// ---- Open ---------------------------------------------------------------------------

TEST_F(cdc_client_test, the_serial_driver_opens_with_the_version_string_line_coding_and_raised_lines) {
    serial_driver& driver = serial();
    EXPECT_EQ(driver.name(), "serial");
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    EXPECT_EQ(fake_bus::fake().version_seen, CDC_BUS_DRIVER_VERSION);
    EXPECT_EQ(fake_bus::calls(), serial_open);
    // 115200 = 0x0001C200, one stop bit, no parity, eight data bits.
    ASSERT_EQ(fake_bus::fake().class_data.size(), 2u);
    EXPECT_EQ(fake_bus::fake().class_data[0], (std::vector<uint8_t>{0x00, 0xC2, 0x01, 0x00, 0, 0, 8}));
    EXPECT_TRUE(driver.dtr());
    EXPECT_TRUE(driver.rts());
    EXPECT_EQ(driver.reads_pending(), 2u);
    EXPECT_EQ(driver.bus().header.Context, pdo);
}

TEST_F(cdc_client_test, the_generic_client_opens_without_line_settings) {
    cdc_client& client = child(2);
    EXPECT_EQ(client.name(), "generic");
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    EXPECT_EQ(fake_bus::calls(),
              (strings{"reference", "data_io_init(4,4)", "transport_enable", "read(512)", "read(512)"}));
    host.close(pdo);
    EXPECT_EQ(calls_since(5),
              (strings{"purge(in)", "purge(out)", "transport_disable", "data_io_uninit", "dereference"}));
}

struct open_failure {
    const char* name;
    void (*arrange)(fake_bus::state&);
    strings calls;
};

class cdc_client_open_failure : public cdc_client_test, public testing::WithParamInterface<open_failure> {};

TEST_P(cdc_client_open_failure, a_failing_step_undoes_what_was_done_newest_first) {
    serial_driver& driver = serial();
    GetParam().arrange(fake_bus::fake());
    EXPECT_FALSE(NT_SUCCESS(host.open(pdo)));
    EXPECT_FALSE(driver.is_open());
    EXPECT_EQ(fake_bus::calls(), GetParam().calls);
    EXPECT_EQ(fake_bus::fake().references, 0);
}

INSTANTIATE_TEST_SUITE_P(
    steps, cdc_client_open_failure,
    testing::Values(open_failure{"init",
                                 [](fake_bus::state& s) { s.init_status = STATUS_INSUFFICIENT_RESOURCES; },
                                 {"reference", "data_io_init(4,4)", "dereference"}},
                    open_failure{
                        "enable",
                        [](fake_bus::state& s) { s.enable_status = STATUS_UNSUCCESSFUL; },
                        {"reference", "data_io_init(4,4)", "transport_enable", "data_io_uninit", "dereference"}},
                    open_failure{"read",
                                 [](fake_bus::state& s) { s.read_result = FALSE; },
                                 {"reference", "data_io_init(4,4)", "transport_enable", "set_notify_cb(on)",
                                  "class(out,0x20,0,7)", "class(out,0x22,3,0)", "read(512)", "set_notify_cb(off)",
                                  "purge(in)", "purge(out)", "transport_disable", "data_io_uninit", "dereference"}}),
    [](const testing::TestParamInfo<open_failure>& info) { return std::string(info.param.name); });

TEST_F(cdc_client_test, a_bus_of_another_version_gives_no_interface_and_nothing_is_called) {
    serial_driver& driver = serial();
    fake_bus::fake().expected_version = "2.1.5.53";
    EXPECT_EQ(host.open(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(driver.is_open());
    EXPECT_EQ(fake_bus::calls(), strings{});
    EXPECT_FALSE(driver.write(std::string("x")));
}

// ---- Data ---------------------------------------------------------------------------

TEST_F(cdc_client_test, completed_reads_are_logged_and_sent_again_a_failed_one_is_not) {
    serial_driver& driver = serial();
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    ASSERT_TRUE(fake_bus::complete_read("\r\nOK"));
    ASSERT_TRUE(fake_bus::complete_read(""));  // a zero-length packet
    ASSERT_TRUE(fake_bus::complete_read("\r\n"));
    EXPECT_EQ(driver.read_text(), "\r\nOK\r\n");
    EXPECT_EQ(fake_bus::reads_pending(), 2u);
    ASSERT_TRUE(fake_bus::complete_read("", STATUS_UNSUCCESSFUL));
    EXPECT_EQ(fake_bus::reads_pending(), 1u);
    EXPECT_EQ(driver.reads_pending(), 1u);
    std::vector<function_drivers::completion> reads;
    for (const auto& c : driver.completions()) {
        if (c.op == "read") reads.push_back(c);
    }
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[0].bytes, 4u);
    EXPECT_EQ(reads[1].bytes, 0u);
    EXPECT_EQ(reads[3].status, STATUS_UNSUCCESSFUL);
}

TEST_F(cdc_client_test, a_write_is_one_transfer_of_the_whole_buffer_and_its_completion_is_recorded) {
    serial_driver& driver = serial();
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    ASSERT_TRUE(driver.write(std::string("AT\r")));
    ASSERT_EQ(fake_bus::fake().written.size(), 1u);
    EXPECT_EQ(fake_bus::fake().written[0], (std::vector<uint8_t>{'A', 'T', '\r'}));
    ASSERT_TRUE(fake_bus::complete_write());
    function_drivers::completion last = driver.completions().back();
    EXPECT_EQ(last.op, "write");
    EXPECT_EQ(last.status, STATUS_SUCCESS);
    EXPECT_EQ(last.bytes, 3u);

    fake_bus::fake().write_result = FALSE;
    EXPECT_FALSE(driver.write(std::string("x")));
    EXPECT_EQ(driver.completions().back().op, "write-refused");
}

TEST_F(cdc_client_test, close_purges_waits_for_every_transfer_and_gives_the_interface_back) {
    serial_driver& driver = serial();
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    ASSERT_TRUE(driver.write(std::string("pending")));
    size_t mark = fake_bus::calls().size();
    host.close(pdo);
    EXPECT_EQ(calls_since(mark), close_steps);
    EXPECT_FALSE(driver.is_open());
    EXPECT_EQ(driver.reads_pending(), 0u);
    unsigned cancelled = 0;
    for (const auto& c : driver.completions()) cancelled += c.status == STATUS_CANCELLED ? 1 : 0;
    EXPECT_EQ(cancelled, 3u);  // two reads and the write
    EXPECT_TRUE(driver.report().opened);
    EXPECT_FALSE(driver.report().open);
}

// Vendor adapters stall the CDC line requests; the port is still usable.
TEST_F(cdc_client_test, a_refused_line_setting_is_recorded_and_the_port_opens_anyway) {
    serial_driver& driver = serial();
    fake_bus::fake().class_status = STATUS_UNSUCCESSFUL;
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    EXPECT_EQ(fake_bus::calls(), serial_open);
    EXPECT_EQ(driver.line_setup_status(), STATUS_UNSUCCESSFUL);
    ASSERT_GE(driver.completions().size(), 2u);
    EXPECT_EQ(driver.completions()[0].op, "class");
    EXPECT_EQ(driver.completions()[0].status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(driver.dtr());
    ASSERT_TRUE(driver.write(std::string("AT\r")));
    ASSERT_TRUE(fake_bus::complete_read("OK"));
    EXPECT_EQ(driver.read_text(), "OK");
    host.close(pdo);
}

// A restart that fails leaves the pipe holding what is sent to it: the reads
// it holds are purged, not waited for, and none is sent until a restart
// succeeds; the port still closes.
TEST_F(cdc_client_test, a_failed_restart_of_in_purges_the_held_reads_and_a_later_one_sends_them_again) {
    serial_driver& driver = serial();
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    size_t mark = fake_bus::calls().size();
    fake_bus::fake().restart_status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(driver.restart(true), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver.restart(true), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(calls_since(mark), (strings{"restart(in)", "purge(in)", "restart(in)", "purge(in)"}));
    EXPECT_EQ(driver.reads_pending(), 0u);
    fake_bus::fake().restart_status = STATUS_SUCCESS;
    mark = fake_bus::calls().size();
    EXPECT_EQ(driver.restart(true), STATUS_SUCCESS);
    EXPECT_EQ(calls_since(mark), (strings{"restart(in)", "read(512)", "read(512)"}));
    fake_bus::fake().restart_status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(driver.restart(true), STATUS_UNSUCCESSFUL);
    mark = fake_bus::calls().size();
    host.close(pdo);
    EXPECT_EQ(calls_since(mark), close_steps);
}

// Written while the device idles, the bytes would fail at the suspended
// device: it is woken first, and only when it idles.
TEST_F(cdc_client_test, the_serial_driver_wakes_an_idle_device_before_a_write) {
    serial_driver& driver = serial();
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    size_t mark = fake_bus::calls().size();
    ASSERT_TRUE(driver.write(std::string("a")));
    fake_bus::fake().idle = true;
    ASSERT_TRUE(driver.write(std::string("b")));
    EXPECT_EQ(calls_since(mark), (strings{"write(1)", "wakeup", "write(1)"}));
    host.close(pdo);
}

TEST_F(cdc_client_test, a_purge_or_restart_of_in_sends_the_reads_again_afterwards) {
    serial_driver& driver = serial();
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    size_t mark = fake_bus::calls().size();
    EXPECT_EQ(driver.purge(true), STATUS_SUCCESS);
    EXPECT_EQ(driver.restart(true), STATUS_SUCCESS);
    EXPECT_EQ(calls_since(mark),
              (strings{"purge(in)", "read(512)", "read(512)", "restart(in)", "read(512)", "read(512)"}));
    EXPECT_EQ(driver.reads_pending(), 2u);
}

TEST_F(cdc_client_test, removal_of_an_open_child_closes_it_first) {
    serial();
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    size_t mark = fake_bus::calls().size();
    host.remove_device(*bus);
    bus = nullptr;
    EXPECT_EQ(calls_since(mark), close_steps);
}

// ---- Line settings and modem status ----------------------------------------------------

TEST_F(cdc_client_test, line_coding_and_control_lines_go_out_as_class_requests) {
    serial_driver& driver = serial();
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    ASSERT_EQ(driver.set_line_coding(9600, 7, 'E', 2), STATUS_SUCCESS);
    EXPECT_EQ(fake_bus::fake().class_data.back(), (std::vector<uint8_t>{0x80, 0x25, 0, 0, 2, 2, 7}));
    ASSERT_EQ(driver.set_line_coding(300, 5, 'S', 1.5), STATUS_SUCCESS);
    EXPECT_EQ(fake_bus::fake().class_data.back(), (std::vector<uint8_t>{0x2C, 0x01, 0, 0, 1, 4, 5}));
    size_t mark = fake_bus::calls().size();
    EXPECT_EQ(driver.set_line_coding(9600, 8, 'X', 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(driver.set_line_coding(9600, 9, 'N', 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(driver.set_line_coding(9600, 8, 'N', 3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(calls_since(mark), strings{});
    ASSERT_EQ(driver.set_control_lines(false, true), STATUS_SUCCESS);
    EXPECT_EQ(fake_bus::calls().back(), "class(out,0x22,2,0)");
    EXPECT_FALSE(driver.dtr());
    EXPECT_TRUE(driver.rts());
}

TEST_F(cdc_client_test, a_line_coding_set_before_open_is_what_open_sends) {
    serial_driver& driver = serial();
    ASSERT_EQ(driver.set_line_coding(9600, 8, 'N', 1), STATUS_SUCCESS);
    EXPECT_EQ(fake_bus::calls(), strings{});
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    EXPECT_EQ(fake_bus::fake().class_data[0], (std::vector<uint8_t>{0x80, 0x25, 0, 0, 0, 0, 8}));
}

TEST_F(cdc_client_test, serial_state_notifications_give_the_modem_status_others_are_only_recorded) {
    serial_driver& driver = serial();
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    fake_bus::notify({0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x4B, 0x00});  // DCD, DSR, ring, overrun
    auto status = driver.modem_status();
    EXPECT_EQ(status.notifications, 1u);
    EXPECT_TRUE(status.dcd);
    EXPECT_TRUE(status.dsr);
    EXPECT_FALSE(status.break_detected);
    EXPECT_TRUE(status.ring);
    EXPECT_FALSE(status.framing_error);
    EXPECT_FALSE(status.parity_error);
    EXPECT_TRUE(status.overrun);
    fake_bus::notify({0xA1, 0x00, 0, 0, 0, 0, 0, 0});        // NETWORK_CONNECTION-like: not SERIAL_STATE
    fake_bus::notify({0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x01});  // truncated
    EXPECT_EQ(driver.modem_status().notifications, 1u);
    EXPECT_EQ(driver.notifications().size(), 3u);
}

TEST_F(cdc_client_test, without_a_notification_pipe_the_port_still_opens) {
    serial_driver& driver = serial();
    fake_bus::fake().notify_result = FALSE;
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(driver.notifications_registered());
    size_t mark = fake_bus::calls().size();
    host.close(pdo);
    EXPECT_EQ(calls_since(mark).at(1), "purge(in)");
}

// ---- Concurrency ---------------------------------------------------------------------

TEST_F(cdc_client_test, reads_completing_on_another_thread_race_with_close_and_none_is_lost) {
    serial_driver& driver = serial();
    ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<unsigned> delivered{0};
    std::thread device([&] {
        while (!stop.load()) {
            if (fake_bus::complete_read("x")) delivered++;
        }
    });
    while (delivered.load() < 200) std::this_thread::yield();
    host.close(pdo);
    stop = true;
    device.join();
    EXPECT_EQ(fake_bus::reads_pending(), 0u);
    EXPECT_EQ(driver.reads_pending(), 0u);
    EXPECT_EQ(driver.read_bytes().size(), delivered.load());
}

}  // namespace
