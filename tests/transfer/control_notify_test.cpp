// Control transfers, the notification reader, the bus interface record and
// the descriptor queries, through the bus interface as a child driver uses it.
#include "transfer/bus_fixture.h"

namespace cdc::transfer_test {
namespace {

constexpr uint8_t notify_in = 0x81;
constexpr uint8_t set_line_coding = 0x20;
constexpr uint8_t get_line_coding = 0x21;

// A modem that keeps its line coding, and can be told to hold a request.
class coding_device : public sim::usb::device {
 public:
    using sim::usb::device::device;
    std::vector<uint8_t> coding = {0x80, 0x25, 0, 0, 0, 0, 8};

 protected:
    sim::usb::control_reply handle_class_or_vendor(const sim::usb::setup_packet& setup, uint8_t* data) override {
        sim::usb::control_reply reply;
        if (setup.bRequest == set_line_coding && setup.wLength == 7) {
            coding.assign(data, data + 7);
        } else if (setup.bRequest == get_line_coding) {
            memcpy(data, coding.data(), 7);
            reply.length = 7;
        } else {
            reply.usbd_status = USBD_STATUS_STALL_PID;
        }
        return reply;
    }
};

class control_and_notify : public bus_fixture {
 protected:
    std::shared_ptr<coding_device> modem_;

    std::vector<WDFDEVICE> plug_modem(bool extra_control = false) {
        descriptor_set set = sim::usb::catalogue::acm_modem();
        if (extra_control) set_value(set, "ExtraControlEnabled", 1);
        modem_ = std::make_shared<coding_device>(set);
        return plug(modem_);
    }

    // Opens the data path, leaves an asynchronous GET_LINE_CODING held at the
    // modem, and closes: the closing is refused for that request.
    void close_under_held_control(WDFDEVICE child, uint8_t (&coding)[7], completions& done) {
        CDC_BUS_INTERFACE& b = bus(child);
        ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
        modem_->hold_next_control(sim::usb::match::class_or_vendor);
        ASSERT_EQ(b.class_control_async(child, TRUE, get_line_coding, 0, 7, coding, completions::callback, &done,
                                        nullptr, no_timeout),
                  STATUS_PENDING);
        EXPECT_EQ(b.cdc_transport_disable(child), STATUS_UNSUCCESSFUL);
    }

    std::vector<sim::usb::setup_packet> class_requests() const {
        std::vector<sim::usb::setup_packet> out;
        for (const auto& r : device_->control_traffic(sim::usb::match::class_or_vendor)) out.push_back(r.packet());
        return out;
    }
};

TEST_F(control_and_notify, version_check_admits_only_the_exact_string) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE b{};
    EXPECT_EQ(query(child, "2.1.5.52", &b), STATUS_SUCCESS);
    EXPECT_TRUE(traced("driver_version_verify: Drivers are of the same versions."));
    b.header.InterfaceDereference(b.header.Context);
    for (const char* bad : {"2.1.5.5", "2.1.5.521", ""}) {
        EXPECT_EQ(query(child, bad, &b), STATUS_UNSUCCESSFUL) << bad;
    }
    EXPECT_EQ(query(child, nullptr, &b), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(
        traced("driver_version_verify: Drivers are of different versions. child version (null), bus version "
               "2.1.5.52"));
}

TEST_F(control_and_notify, record_carries_the_child_and_its_numbers) {
    auto children = plug_modem(true);
    ASSERT_EQ(children.size(), 2u);
    CDC_BUS_INTERFACE& plain = bus(children[0]);
    CDC_BUS_INTERFACE& twin = bus(children[1]);
    EXPECT_EQ(plain.header.Size, 344);
    EXPECT_EQ(plain.header.Version, 1);
    EXPECT_EQ(plain.header.Context, children[0]);
    EXPECT_EQ(plain.qd_ui_number_get(children[0]) + 0x7FFFFFFFu, twin.qd_ui_number_get(children[1]));
    EXPECT_TRUE(plain.qd_is_ext_ctrl_enabled(children[0]));
    EXPECT_TRUE(plain.qd_is_zlp_enabled(children[0]));
    EXPECT_EQ(plain.cdc_data_io_ctrl_cbs_init(children[0], 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(plain.qd_notify_child_not_in_use(children[0]), STATUS_SUCCESS);
    EXPECT_EQ(plain.reserved1(children[0]), STATUS_SUCCESS);

    // One reference more from the query; dereferencing past zero only traces.
    plain.header.InterfaceDereference(plain.header.Context);
    plain.header.InterfaceDereference(plain.header.Context);
    EXPECT_TRUE(traced("usb_cdc_dereference: ref is already 0"));
    plain.header.InterfaceReference(plain.header.Context);
}

TEST_F(control_and_notify, class_request_addresses_the_communication_interface) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    uint8_t coding[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};
    ULONG moved = 0;

    EXPECT_EQ(b.class_control_sync(child, FALSE, set_line_coding, 0, 7, coding, &moved, no_timeout), STATUS_SUCCESS);
    uint8_t back[7] = {};
    EXPECT_EQ(b.class_control_sync(child, TRUE, get_line_coding, 0, 7, back, &moved, no_timeout), STATUS_SUCCESS);
    EXPECT_EQ(moved, 7u);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 7), std::vector<uint8_t>(coding, coding + 7));

    auto sent = class_requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bmRequestType, 0x21);
    EXPECT_EQ(sent[1].bmRequestType, 0xA1);
    EXPECT_EQ(sent[1].wIndex, 0);
    EXPECT_EQ(sent[1].wLength, 7);
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
}

TEST_F(control_and_notify, one_control_request_at_a_time_and_free_before_the_callback) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    uint8_t coding[7] = {};
    completions done;

    modem_->hold_next_control(sim::usb::match::class_or_vendor);
    ASSERT_EQ(b.class_control_async(child, TRUE, get_line_coding, 0, 7, coding, completions::callback, &done, nullptr,
                                    no_timeout),
              STATUS_PENDING);
    EXPECT_EQ(b.class_control_async(child, TRUE, get_line_coding, 0, 7, coding, completions::callback, &done, nullptr,
                                    no_timeout),
              STATUS_DEVICE_BUSY);
    EXPECT_TRUE(traced("usb_generic_control_send: Another request is currently being processed"));

    // The purge cancels the held one and waits for its completion.
    EXPECT_EQ(b.control_request_purge(child), STATUS_SUCCESS);
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_EQ(done.all()[0].status, STATUS_CANCELLED);

    ASSERT_EQ(b.class_control_async(child, TRUE, get_line_coding, 0, 7, coding, completions::callback, &done, nullptr,
                                    no_timeout),
              STATUS_PENDING);
    ASSERT_TRUE(done.wait_for(2));
    EXPECT_EQ(done.all()[1].status, STATUS_SUCCESS);
    EXPECT_EQ(done.all()[1].bytes, 7u);
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);

    // Closed: control requests are refused quietly.
    EXPECT_EQ(b.class_control_sync(child, TRUE, get_line_coding, 0, 7, coding, nullptr, no_timeout),
              STATUS_DEVICE_BUSY);
}

TEST_F(control_and_notify, reopening_after_a_closing_refused_for_a_control_request_keeps_its_record) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    uint8_t coding[7] = {};
    completions done;
    ASSERT_NO_FATAL_FAILURE(close_under_held_control(child, coding, done));
    EXPECT_TRUE(traced("control_request_delete: error, control request is still in progress"));

    // The held transfer still owns the record: reopening must not replace it
    // under that transfer.
    const size_t before = wdf::live_objects().size();
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    EXPECT_EQ(wdf::live_objects().size(), before);

    EXPECT_EQ(b.control_request_purge(child), STATUS_SUCCESS);
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_EQ(done.all()[0].status, STATUS_CANCELLED);
    ASSERT_EQ(b.class_control_async(child, TRUE, get_line_coding, 0, 7, coding, completions::callback, &done, nullptr,
                                    no_timeout),
              STATUS_PENDING);
    ASSERT_TRUE(done.wait_for(2));
    EXPECT_EQ(done.all()[1].status, STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
}

// A last closing refused for a running control request still shuts the
// channel: once that request is done, the next one is refused and reaches
// no device, and leaves the channel free for an opening after it.
TEST_F(control_and_notify, after_a_closing_refused_for_a_control_request_the_next_one_is_refused) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    uint8_t coding[7] = {};
    completions done;
    ASSERT_NO_FATAL_FAILURE(close_under_held_control(child, coding, done));
    EXPECT_EQ(b.control_request_purge(child), STATUS_SUCCESS);
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_EQ(done.all()[0].status, STATUS_CANCELLED);

    const size_t sent = class_requests().size();
    EXPECT_EQ(b.class_control_sync(child, TRUE, get_line_coding, 0, 7, coding, nullptr, no_timeout),
              STATUS_DEVICE_BUSY);
    EXPECT_EQ(class_requests().size(), sent);

    // The refusal left the channel free: opened again, the next one goes out.
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    EXPECT_EQ(b.class_control_sync(child, TRUE, get_line_coding, 0, 7, coding, nullptr, no_timeout), STATUS_SUCCESS);
    EXPECT_EQ(class_requests().size(), sent + 1);
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
}

TEST_F(control_and_notify, clear_halt_is_a_pipe_reset_also_when_asynchronous) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    uint8_t clear_halt[8] = {0x02, 0x01, 0x00, 0x00, 0x82, 0x00, 0x00, 0x00};
    completions done;

    device_->clear_traffic();
    EXPECT_EQ(b.generic_control_sync(child, clear_halt, nullptr, 0, nullptr, no_timeout), STATUS_SUCCESS);
    EXPECT_EQ(device_->control_traffic(sim::usb::match::clear_feature).size(), 1u);

    EXPECT_EQ(b.generic_control_async(child, clear_halt, nullptr, 0, completions::callback, &done, nullptr, no_timeout),
              STATUS_PENDING);
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_EQ(done.all()[0].status, STATUS_SUCCESS);
    EXPECT_EQ(device_->control_traffic(sim::usb::match::clear_feature).size(), 2u);

    clear_halt[4] = 0x85;
    EXPECT_EQ(b.generic_control_sync(child, clear_halt, nullptr, 0, nullptr, no_timeout), (NTSTATUS)0xC0100009L);
    EXPECT_TRUE(traced("send_clear_pipe: Could not find endpoint 0x85"));
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
}

TEST_F(control_and_notify, notifications_fan_out_to_every_registered_child) {
    auto children = plug_modem(true);
    ASSERT_EQ(children.size(), 2u);
    CDC_BUS_INTERFACE& first = bus(children[0]);
    CDC_BUS_INTERFACE& second = bus(children[1]);
    notified a, b;

    ASSERT_TRUE(first.cdc_set_notify_cb(children[0], &a, notified::callback));
    ASSERT_TRUE(second.cdc_set_notify_cb(children[1], &b, notified::callback));
    EXPECT_TRUE(traced("usb_cdc_set_notify_cb: notify_cb already initialized, ref_count = 2"));

    std::vector<uint8_t> serial_state = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x03, 0x00};
    device_->push_in(notify_in, serial_state);
    ASSERT_TRUE(a.wait_for(1));
    ASSERT_TRUE(b.wait_for(1));
    EXPECT_EQ(a.packets[0], serial_state);
    EXPECT_EQ(b.packets[0], serial_state);

    // The first unregistration leaves the reader running for the second child.
    ASSERT_TRUE(first.cdc_set_notify_cb(children[0], nullptr, nullptr));
    device_->push_in(notify_in, {1, 2});
    ASSERT_TRUE(b.wait_for(2));
    EXPECT_EQ(a.packets.size(), 1u);

    // The last one stops it: no read is left at the device once it returns,
    // also when the stop met a completion about to send the next one; the
    // stop waits for that completion, not by delays.
    const uint64_t delays = sim::delay_count();
    ASSERT_TRUE(second.cdc_set_notify_cb(children[1], nullptr, nullptr));
    EXPECT_EQ(device_->pending(notify_in), 0u);
    EXPECT_EQ(sim::delay_count(), delays);
    sim::io_threads_stop();
    EXPECT_EQ(device_->pending(notify_in), 0u);
    device_->push_in(notify_in, {9});
    sim::io_threads_stop();
    EXPECT_EQ(b.packets.size(), 2u);
}

TEST_F(control_and_notify, failed_read_ends_the_reader_until_the_next_registration) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    notified n;

    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    device_->fail_next_transfer(notify_in, USBD_STATUS_DEV_NOT_RESPONDING);
    ASSERT_TRUE(b.cdc_set_notify_cb(child, &n, notified::callback));
    sim::io_threads_stop();
    EXPECT_EQ(device_->pending(notify_in), 0u);
    EXPECT_TRUE(traced("usb_cdc_interrupt_read_complete: interrupt reader ended with status 0xc000009c"));

    // The error halted the endpoint: the child clears it, as it would on a bus.
    uint8_t clear_halt[8] = {0x02, 0x01, 0x00, 0x00, notify_in, 0x00, 0x00, 0x00};
    EXPECT_EQ(b.generic_control_sync(child, clear_halt, nullptr, 0, nullptr, no_timeout), STATUS_SUCCESS);
    // Forgotten registrations: unregistering does nothing, registering restarts.
    EXPECT_TRUE(b.cdc_set_notify_cb(child, nullptr, nullptr));
    ASSERT_TRUE(b.cdc_set_notify_cb(child, &n, notified::callback));
    device_->push_in(notify_in, {7});
    ASSERT_TRUE(n.wait_for(1));
    EXPECT_TRUE(b.cdc_set_notify_cb(child, nullptr, nullptr));
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
}

// A read that cannot even be sent ends the reader as well: the next
// registration finds nothing running and sends one.
TEST_F(control_and_notify, a_read_not_sent_ends_the_reader_until_the_next_registration) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    notified n;

    sim::fault_fail_nth("WdfUsbTargetPipeFormatRequestForRead", 1);
    ASSERT_TRUE(b.cdc_set_notify_cb(child, &n, notified::callback));
    EXPECT_EQ(sim::fault_last_failed_site(), "WdfUsbTargetPipeFormatRequestForRead");
    EXPECT_EQ(device_->pending(notify_in), 0u);
    sim::fault_reset();

    EXPECT_TRUE(b.cdc_set_notify_cb(child, nullptr, nullptr));
    EXPECT_FALSE(traced("usb_interrupt_pipe_stop_cont_reader: Request not cancelled yet"));
    ASSERT_TRUE(b.cdc_set_notify_cb(child, &n, notified::callback));
    EXPECT_EQ(device_->pending(notify_in), 1u);
    device_->push_in(notify_in, {7});
    ASSERT_TRUE(n.wait_for(1));
    EXPECT_TRUE(b.cdc_set_notify_cb(child, nullptr, nullptr));
}

// CLEAR_FEATURE(ENDPOINT_HALT) for a data endpoint borrows the open data
// path's pipe: carried out, refused or not found, it gives the pipe back, so
// the path closes (and ECM switches back to its empty setting) afterwards.
// Clearing the data pipes resets both, each time it is asked.
TEST_F(control_and_notify, a_clear_halt_of_a_data_pipe_gives_the_pipe_back) {
    WDFDEVICE child = plug(sim::usb::catalogue::ecm_adapter()).at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    uint8_t clear_in[8] = {0x02, 0x01, 0x00, 0x00, modem_data_in, 0x00, 0x00, 0x00};
    device_->clear_traffic();
    EXPECT_EQ(b.generic_control_sync(child, clear_in, nullptr, 0, nullptr, no_timeout), STATUS_SUCCESS);
    auto clears = device_->control_traffic(sim::usb::match::clear_feature);
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0].packet().wIndex, modem_data_in);

    // The reset blocks: an asynchronous one above PASSIVE_LEVEL is refused.
    completions done;
    uint8_t clear_out[8] = {0x02, 0x01, 0x00, 0x00, modem_data_out, 0x00, 0x00, 0x00};
    KIRQL old = sim::irql_raise(DISPATCH_LEVEL);
    const NTSTATUS refused =
        b.generic_control_async(child, clear_out, nullptr, 0, completions::callback, &done, nullptr, no_timeout);
    sim::irql_lower(old);
    EXPECT_EQ(refused, STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(traced("send_clear_pipe: pipe reset needs PASSIVE_LEVEL"));
    EXPECT_EQ(device_->control_traffic(sim::usb::match::clear_feature).size(), 1u);

    // An IN endpoint the function does not have: looked for among the data
    // path's pipes, not found, nothing sent.
    uint8_t clear_unknown[8] = {0x02, 0x01, 0x00, 0x00, 0x85, 0x00, 0x00, 0x00};
    EXPECT_EQ(b.generic_control_sync(child, clear_unknown, nullptr, 0, nullptr, no_timeout),
              static_cast<NTSTATUS>(0xC0100009L));
    EXPECT_TRUE(traced("send_clear_pipe: Could not find endpoint 0x85"));
    EXPECT_EQ(device_->control_traffic(sim::usb::match::clear_feature).size(), 1u);

    EXPECT_EQ(b.qd_clear_data(child), STATUS_SUCCESS);
    EXPECT_EQ(b.qd_clear_data(child), STATUS_SUCCESS);
    EXPECT_EQ(device_->control_traffic(sim::usb::match::clear_feature).size(), 5u);

    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(device_->alternate_setting(1), 0);
    EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
    EXPECT_EQ(done.count(), 0u);
}

// Resetting the data pipes borrows each pipe while its reset runs: a closing
// asked meanwhile, which would switch ECM's setting and so delete the pipes,
// is refused for that pipe, and succeeds afterwards.
TEST_F(control_and_notify, a_closing_while_the_out_pipe_is_being_reset_is_refused) {
    WDFDEVICE child = plug(sim::usb::catalogue::ecm_adapter()).at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    NTSTATUS closed = STATUS_PENDING;
    // The IN pipe's reset first, then the OUT pipe's.
    sim::fault_on_call("WdfUsbTargetPipeResetSynchronously", [&] {
        sim::fault_on_call("WdfUsbTargetPipeResetSynchronously", [&] { closed = b.cdc_transport_disable(child); });
    });
    EXPECT_EQ(b.qd_clear_data(child), STATUS_SUCCESS);
    EXPECT_EQ(closed, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(traced("usb_cdc_enable_disable: out requests are pending"));
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
}

// An asynchronous control transfer the framework refuses to send fails with
// the refusal's status: nothing goes out, no callback comes, and the channel
// is free for the next.
TEST_F(control_and_notify, an_asynchronous_control_transfer_that_cannot_be_sent_fails_at_once) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    uint8_t coding[7] = {};
    completions done;
    const size_t sent = class_requests().size();
    sim::fault_fail_nth("WdfRequestSend", 1);
    EXPECT_EQ(b.class_control_async(child, TRUE, get_line_coding, 0, 7, coding, completions::callback, &done, nullptr,
                                    no_timeout),
              STATUS_INSUFFICIENT_RESOURCES);
    sim::fault_reset();
    EXPECT_EQ(class_requests().size(), sent);
    EXPECT_EQ(done.count(), 0u);

    ASSERT_EQ(b.class_control_async(child, TRUE, get_line_coding, 0, 7, coding, completions::callback, &done, nullptr,
                                    no_timeout),
              STATUS_PENDING);
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_EQ(done.all()[0].status, STATUS_SUCCESS);
    EXPECT_EQ(class_requests().size(), sent + 1);
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
}

// A control request whose transfer failed is replaced at the next one; one
// the framework cannot make then fails that transfer with its status, sends
// nothing, and frees the channel for the next.
TEST_F(control_and_notify, a_control_request_that_cannot_be_replaced_fails_and_frees_the_channel) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    uint8_t coding[7] = {};
    ULONG bytes = 0;
    completions done;
    device_->fail_next_control(sim::usb::match::request(0xA1, get_line_coding));
    ASSERT_EQ(b.class_control_async(child, TRUE, get_line_coding, 0, 7, coding, completions::callback, &done, nullptr,
                                    no_timeout),
              STATUS_PENDING);
    ASSERT_TRUE(done.wait_for(1));
    EXPECT_EQ(done.all()[0].status, STATUS_UNSUCCESSFUL);
    const size_t sent = class_requests().size();
    sim::fault_fail_nth("WdfRequestCreate", 1);
    EXPECT_EQ(b.class_control_sync(child, TRUE, get_line_coding, 0, 7, coding, &bytes, no_timeout),
              STATUS_INSUFFICIENT_RESOURCES);
    sim::fault_reset();
    EXPECT_EQ(class_requests().size(), sent);

    EXPECT_EQ(b.class_control_sync(child, TRUE, get_line_coding, 0, 7, coding, &bytes, no_timeout), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 7u);
    EXPECT_EQ(class_requests().size(), sent + 1);
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
}

TEST_F(control_and_notify, function_without_notification_pipe_refuses_registration) {
    WDFDEVICE child = plug(sim::usb::catalogue::acm_without_notification()).at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    notified n;
    EXPECT_FALSE(b.cdc_set_notify_cb(child, &n, notified::callback));
    ULONG notify = 0xdead;
    EXPECT_EQ(b.qd_get_maxps(child, &notify, nullptr, nullptr, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(notify, 0xdeadu);
}

TEST_F(control_and_notify, descriptor_queries_answer_from_the_configuration) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE& b = bus(child);

    UCHAR length = 0;
    UCHAR header[16] = {};
    EXPECT_EQ(b.cdc_get_functional_descriptor(child, 0x00, header, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(b.cdc_get_functional_descriptor(child, 0x00, header, &length), STATUS_SUCCESS);
    EXPECT_EQ(header[1], 0x24);
    length = sizeof(header);
    EXPECT_EQ(b.cdc_get_functional_descriptor(child, 0x0F, header, &length), STATUS_NOT_FOUND);

    ULONG notify = 0, out = 0, in = 0;
    UCHAR ep0 = 0;
    EXPECT_EQ(b.qd_get_maxps(child, &notify, &out, &in, &ep0), STATUS_SUCCESS);
    EXPECT_EQ(notify, 16u);
    EXPECT_EQ(out, 64u);
    EXPECT_EQ(in, 64u);
    EXPECT_EQ(ep0, 64);

    UCHAR protocol = 0;
    EXPECT_EQ(b.qd_get_func_protocol(child, &protocol), STATUS_SUCCESS);
    EXPECT_EQ(protocol, 1);

    USB_DEVICE_DESCRIPTOR device{};
    EXPECT_EQ(b.qd_get_device_descriptor(child, &device), STATUS_SUCCESS);
    EXPECT_EQ(device.idVendor, 0x1234);

    USHORT total = 0;
    EXPECT_EQ(b.qd_get_configuration_descriptor_copyout(child, nullptr, &total), STATUS_SUCCESS);
    std::vector<UCHAR> config(total);
    EXPECT_EQ(b.qd_get_configuration_descriptor_copyout(child, config.data(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(config[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);

    UCHAR dfu[9];
    EXPECT_EQ(b.dfu_get_functional_descriptor(child, dfu), STATUS_NOT_FOUND);
}

// A DFU functional descriptor longer than DFU's 9 bytes is refused, not
// copied in part.
TEST_F(control_and_notify, a_dfu_functional_descriptor_of_another_length_is_refused) {
    descriptor_set set = sim::usb::descriptor_builder()
                             .device(0x1234, 0x0021)
                             .configuration()
                             .interface(0, 0, USB_DEVICE_CLASS_APPLICATION_SPECIFIC, 0x01, 0x02)
                             .descriptor(0x21, {0x07, 0xff, 0x00, 0x00, 0x04, 0x10, 0x01, 0x00})
                             .build();
    WDFDEVICE child = plug(set).at(0);
    UCHAR descriptor[16] = {};
    EXPECT_EQ(bus(child).dfu_get_functional_descriptor(child, descriptor), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(descriptor[0], 0);
}

TEST_F(control_and_notify, dfu_functional_descriptor_and_closed_ecm_packet_sizes) {
    WDFDEVICE dfu_child = plug(sim::usb::catalogue::dfu_device()).at(0);
    CDC_BUS_INTERFACE& dfu = bus(dfu_child);
    UCHAR descriptor[9] = {};
    EXPECT_EQ(dfu.dfu_get_functional_descriptor(dfu_child, descriptor), STATUS_SUCCESS);
    EXPECT_EQ(descriptor[0], 9);
    EXPECT_EQ(descriptor[1], 0x21);
    // No data interface: pools and opening succeed without pipes.
    EXPECT_EQ(dfu.cdc_data_io_init(dfu_child, 2, 2), STATUS_SUCCESS);
    EXPECT_EQ(dfu.cdc_transport_enable(dfu_child), STATUS_SUCCESS);
    EXPECT_EQ(dfu.cdc_transport_disable(dfu_child), STATUS_SUCCESS);
    EXPECT_EQ(dfu.cdc_data_io_uninit(dfu_child), STATUS_SUCCESS);
}

TEST_F(control_and_notify, reset_device_resets_the_port) {
    WDFDEVICE child = plug_modem().at(0);
    CDC_BUS_INTERFACE& b = bus(child);
    EXPECT_EQ(b.qd_reset_device(child), STATUS_SUCCESS);
    EXPECT_EQ(device_->port_resets(), 1u);
    EXPECT_EQ(b.qd_clear_data(child), STATUS_SUCCESS);
    EXPECT_EQ(b.qd_abort_reads(child), STATUS_SUCCESS);
    EXPECT_EQ(b.qd_device_wakeup_sync(child, TRUE), STATUS_SUCCESS);
}

}  // namespace
}  // namespace cdc::transfer_test
