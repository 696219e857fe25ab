// The serial driver's control callbacks against the stand-in bus: the port
// stays open while its USB device is away, refuses what needs the device,
// and takes up the device that serves it again with the settings in force.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "serial_driver.h"
#include "tests/function_drivers/fake_bus.h"

namespace {

using strings = std::vector<std::string>;
using function_drivers::serial_driver;

class device_follow_test : public test_bus::bus_test {
 protected:
    WDFDEVICE pdo = nullptr;
    serial_driver* driver = nullptr;

    void SetUp() override {
        test_bus::bus_test::SetUp();
        fake_bus::reset();
        test_bus::config().on_pdo_created = fake_bus::register_on;
        function_drivers::install(host, fake_bus::few_requests());
        host.register_function_driver("testbus\\CHILD_1", [](WDFDEVICE device) {
            return std::unique_ptr<sim::function_driver>(new serial_driver(device, fake_bus::few_requests()));
        });
        start_bus();
        report(1);
        host.settle();
        pdo = pdo_of(1);
        driver = static_cast<serial_driver*>(host.function_driver_of(pdo));
    }
    void TearDown() override {
        if (bus != nullptr) host.remove_device(*bus);
        EXPECT_EQ(fake_bus::fake().references, 0);
    }
    void open() {
        ASSERT_EQ(host.open(pdo), STATUS_SUCCESS);
        mark = fake_bus::calls().size();
    }
    // The calls since open() or the last look.
    strings calls() {
        strings all = fake_bus::calls();
        strings since(all.begin() + static_cast<long>(mark), all.end());
        mark = all.size();
        return since;
    }
    size_t mark = 0;
};

const strings leaving = {"set_notify_cb(off)", "purge(in)", "purge(out)", "transport_disable", "data_io_uninit"};

// ---- Installation ------------------------------------------------------------------

TEST_F(device_follow_test, open_installs_the_callbacks_with_the_open_test_and_close_removes_them) {
    EXPECT_EQ(fake_bus::control("is-open"), -1);
    open();
    EXPECT_EQ(fake_bus::fake().check_open, 1u);
    EXPECT_NE(fake_bus::fake().start_final, nullptr);
    EXPECT_NE(fake_bus::fake().stop_final, nullptr);
    EXPECT_EQ(fake_bus::fake().ctrl_context, driver);
    EXPECT_EQ(fake_bus::control("is-open"), 1);
    host.close(pdo);
    EXPECT_EQ(calls().front(), "ctrl_cbs_uninit");
    EXPECT_EQ(fake_bus::control("is-open"), -1);
}

// ---- The device leaves for good ------------------------------------------------------

TEST_F(device_follow_test, stop_final_takes_the_data_path_down_and_the_port_stays_open) {
    open();
    ASSERT_TRUE(driver->write(std::string("in flight")));
    calls();
    EXPECT_EQ(fake_bus::control("stop-final"), 0);
    EXPECT_EQ(calls(), leaving);
    EXPECT_TRUE(driver->is_open());
    EXPECT_FALSE(driver->device_present());
    EXPECT_EQ(driver->reads_pending(), 0u);
    EXPECT_EQ(fake_bus::reads_pending(), 0u);
    EXPECT_EQ(driver->completions().back().status, STATUS_CANCELLED);  // the write in flight
    EXPECT_EQ(fake_bus::control("is-open"), 1);
    // A second stop-final finds nothing to do.
    EXPECT_EQ(fake_bus::control("stop-final"), 0);
    EXPECT_EQ(calls(), strings{});
}

// Requests and maintenance go to the bus, which answers for the missing
// device; writes and line settings stay with the port until one is back.
TEST_F(device_follow_test, without_a_device_requests_get_the_bus_answer_writes_and_settings_wait) {
    open();
    fake_bus::control("stop-final");
    fake_bus::fake().absent = true;
    calls();
    EXPECT_FALSE(driver->write(std::string("AT\r")));
    EXPECT_EQ(driver->completions().back().op, "write-refused");
    EXPECT_EQ(driver->completions().back().status, STATUS_CTRL_USB_DEVICE_ABSENT);
    EXPECT_EQ(driver->set_line_coding(9600, 7, 'E', 1), STATUS_CTRL_USB_DEVICE_ABSENT);
    EXPECT_EQ(driver->set_control_lines(true, false), STATUS_CTRL_USB_DEVICE_ABSENT);
    EXPECT_EQ(calls(), strings{});
    EXPECT_EQ(driver->class_request(true, 0x21, 0, 7, nullptr), STATUS_CTRL_USB_DEVICE_ABSENT);
    EXPECT_EQ(driver->purge(true), STATUS_CTRL_USB_DEVICE_ABSENT);
    EXPECT_EQ(driver->restart(true), STATUS_CTRL_USB_DEVICE_ABSENT);
    EXPECT_EQ(driver->reset(), STATUS_CTRL_USB_DEVICE_ABSENT);
    EXPECT_EQ(calls(), (strings{"class(in,0x21,0,7)", "purge(in)", "restart(in)", "reset"}));
    EXPECT_EQ(driver->reads_pending(), 0u);
    // A closed port refuses differently.
    host.close(pdo);
    EXPECT_EQ(driver->purge(true), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(device_follow_test, closing_while_the_device_is_away_only_gives_the_interface_back) {
    open();
    fake_bus::control("stop-final");
    calls();
    host.close(pdo);
    EXPECT_EQ(calls(), (strings{"ctrl_cbs_uninit", "dereference"}));
    EXPECT_FALSE(driver->is_open());
}

// ---- A device serves it again ---------------------------------------------------------

TEST_F(device_follow_test, start_final_brings_the_data_path_back_with_the_settings_made_meanwhile) {
    open();
    fake_bus::control("stop-final");
    driver->set_line_coding(9600, 7, 'E', 1);
    driver->set_control_lines(true, false);
    calls();
    size_t settings = fake_bus::fake().class_data.size();
    EXPECT_EQ(fake_bus::control("start-final"), 0);
    driver->wait_device_work();
    EXPECT_EQ(calls(), (strings{"data_io_init(4,4)", "transport_enable", "set_notify_cb(on)", "class(out,0x20,0,7)",
                                "class(out,0x22,1,0)", "read(512)", "read(512)"}));
    EXPECT_EQ(fake_bus::fake().class_data.at(settings), (std::vector<uint8_t>{0x80, 0x25, 0, 0, 0, 2, 7}));
    EXPECT_TRUE(driver->device_present());
    EXPECT_EQ(driver->current_line_coding().baud, 9600u);
    ASSERT_TRUE(driver->write(std::string("AT\r")));
    ASSERT_TRUE(fake_bus::complete_read("OK"));
    EXPECT_EQ(driver->read_text(), "OK");
    // A start-final without a stop-final before it: the device that served
    // the port was removed while idle, and what was set up on it is gone.
    calls();
    EXPECT_EQ(fake_bus::control("start-final"), 0);
    driver->wait_device_work();
    strings again = leaving;
    again.insert(again.end(), {"data_io_init(4,4)", "transport_enable", "set_notify_cb(on)", "class(out,0x20,0,7)",
                               "class(out,0x22,1,0)", "read(512)", "read(512)"});
    EXPECT_EQ(calls(), again);
    EXPECT_TRUE(driver->device_present());
    host.close(pdo);
    EXPECT_EQ(calls().size(), 7u);  // the whole close
}

TEST_F(device_follow_test, a_failing_return_is_recorded_and_undone_and_the_port_waits_on) {
    open();
    fake_bus::control("stop-final");
    fake_bus::fake().enable_status = STATUS_IO_TIMEOUT;
    calls();
    EXPECT_EQ(fake_bus::control("start-final"), 0);
    driver->wait_device_work();
    EXPECT_EQ(calls(), (strings{"data_io_init(4,4)", "transport_enable", "transport_disable", "data_io_uninit"}));
    EXPECT_EQ(driver->completions().back().op, "device-back");
    EXPECT_EQ(driver->completions().back().status, STATUS_IO_TIMEOUT);
    EXPECT_FALSE(driver->device_present());
    EXPECT_FALSE(driver->write(std::string("x")));
    // The next device that serves it succeeds, even one that refuses the
    // line settings.
    fake_bus::fake().enable_status = STATUS_SUCCESS;
    fake_bus::fake().class_status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(fake_bus::control("start-final"), 0);
    driver->wait_device_work();
    EXPECT_TRUE(driver->device_present());
    EXPECT_EQ(driver->line_setup_status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fake_bus::reads_pending(), 2u);
}

// The start-final runs inside the device's D0 entry, and the line settings
// are control requests, which wait for the device to be in D0: the callback
// only hands the work to the client's thread.
TEST_F(device_follow_test, start_final_leaves_taking_the_device_up_to_another_thread) {
    open();
    fake_bus::control("stop-final");
    calls();
    EXPECT_EQ(fake_bus::control("start-final"), 0);
    driver->wait_device_work();
    EXPECT_TRUE(driver->device_present());
    EXPECT_EQ(calls().front(), "data_io_init(4,4)");
    EXPECT_NE(fake_bus::fake().init_thread, std::this_thread::get_id());
}

// A device that leaves right after it came back: its return is taken up
// and then taken down, or dropped before it began; never left half done.
TEST_F(device_follow_test, a_stop_final_right_after_a_start_final_leaves_the_port_without_a_device) {
    open();
    fake_bus::control("stop-final");
    for (int i = 0; i < 200; i++) {
        calls();
        fake_bus::control("start-final");
        fake_bus::control("stop-final");
        driver->wait_device_work();
        EXPECT_FALSE(driver->device_present());
        strings seen = calls();
        if (!seen.empty()) {
            EXPECT_EQ(seen.front(), "data_io_init(4,4)");
            EXPECT_EQ(seen.back(), "data_io_uninit");
        }
        EXPECT_EQ(fake_bus::reads_pending(), 0u);
    }
}

// ---- Idle and sleep -------------------------------------------------------------------

TEST_F(device_follow_test, stop_cancels_the_reads_without_resending_and_start_sends_them_again) {
    open();
    EXPECT_EQ(fake_bus::control("stop"), 0);
    EXPECT_EQ(calls(), (strings{"purge(in)"}));
    EXPECT_EQ(driver->reads_pending(), 0u);
    EXPECT_TRUE(driver->device_present());
    // Writes still go; a stopped device is woken by them.
    EXPECT_TRUE(driver->write(std::string("x")));
    calls();
    EXPECT_EQ(fake_bus::control("start"), 0);
    EXPECT_EQ(calls(), (strings{"read(512)", "read(512)"}));
    // Start twice, as the power-up and the I/O restart both call it: no
    // third read.
    EXPECT_EQ(fake_bus::control("start"), 0);
    EXPECT_EQ(calls(), strings{});
}

TEST_F(device_follow_test, stop_and_start_leave_a_port_without_its_device_alone) {
    open();
    fake_bus::control("stop-final");
    calls();
    EXPECT_EQ(fake_bus::control("stop"), 0);
    EXPECT_EQ(fake_bus::control("start"), 0);
    EXPECT_EQ(calls(), strings{});
    EXPECT_EQ(driver->reads_pending(), 0u);
}

// ---- Reads to a sink and racing writes ---------------------------------------------------

TEST_F(device_follow_test, the_read_sink_gets_every_byte_in_order_until_detached) {
    open();
    std::string seen;
    driver->set_read_sink([&](const uint8_t* data, size_t bytes) { seen.append(data, data + bytes); });
    fake_bus::complete_read("\r\nOK");
    fake_bus::complete_read("");
    fake_bus::complete_read("\r\n");
    fake_bus::complete_read("lost", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(seen, "\r\nOK\r\n");
    driver->set_read_sink({});
    fake_bus::complete_read("more");
    EXPECT_EQ(seen, "\r\nOK\r\n");
}

TEST_F(device_follow_test, writes_racing_stop_final_are_refused_or_completed_none_left_at_the_bus) {
    open();
    std::atomic<bool> stop{false};
    std::atomic<unsigned> accepted{0}, refused{0};
    std::thread writer([&] {
        while (!stop.load()) {
            if (driver->write(std::string("x"))) {
                accepted++;
            } else {
                refused++;
            }
        }
    });
    while (accepted.load() < 100) std::this_thread::yield();
    fake_bus::control("stop-final");
    while (refused.load() < 10) std::this_thread::yield();
    stop = true;
    writer.join();
    {
        std::lock_guard<std::mutex> guard(fake_bus::fake().lock);
        EXPECT_TRUE(fake_bus::fake().writes.empty());
    }
    unsigned written = 0;
    for (const auto& c : driver->completions()) written += c.op == "write" ? 1 : 0;
    EXPECT_EQ(written, accepted.load());
}

}  // namespace
