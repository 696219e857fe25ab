// The loopback, ICCD and DFU models as a host sees them through their
// built-in devices.
#include <gtest/gtest.h>

#include "devices/catalogue.h"
#include "devices/descriptor_builder.h"
#include "model_test_support.h"

namespace sim::devices {
namespace {

using test::bytes_of;

class function_models : public ::testing::Test {
 protected:
    std::shared_ptr<model_device> plug(const std::string& name) {
        dev = usb::catalogue::build(name);
        EXPECT_NE(dev, nullptr);
        host = std::make_unique<test::host_side>(*dev);
        host->configure();
        return dev;
    }

    std::shared_ptr<model_device> dev;
    std::unique_ptr<test::host_side> host;
};

// ---- Loopback ------------------------------------------------------------------

TEST_F(function_models, every_transfer_out_comes_back_whole_but_a_zero_length_one) {
    for (const char* name : {"eem", "vendor2", "vendor3"}) {
        SCOPED_TRACE(name);
        plug(name);
        loopback* lb = dev->find<loopback>();
        ASSERT_NE(lb, nullptr);
        const uint8_t in = lb->layout().data_in;
        const uint8_t out = lb->layout().data_out;
        std::vector<uint8_t> frame(150);
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
        ASSERT_EQ(host->write(out, frame), USBD_STATUS_SUCCESS);
        ASSERT_EQ(host->write(out, {}), USBD_STATUS_SUCCESS);
        ASSERT_EQ(host->write(out, {7}), USBD_STATUS_SUCCESS);
        EXPECT_EQ(host->read(in), frame);
        EXPECT_EQ(host->read(in), std::vector<uint8_t>{7});
        EXPECT_FALSE(host->read(in));
        EXPECT_EQ(lb->frames_echoed(), 2u);
        // No class requests on these functions.
        EXPECT_EQ(host->class_out(loopback::set_packet_filter_request, 0x0c, 0), USBD_STATUS_STALL_PID);
    }
}

TEST_F(function_models, interrupt_pair_loops_back_on_interrupt_endpoints) {
    plug("vendor-interrupt");
    loopback* lb = dev->find<loopback>();
    ASSERT_NE(lb, nullptr);
    EXPECT_EQ(lb->layout().data_out, 0x01);
    EXPECT_EQ(lb->layout().data_in, 0x81);
    EXPECT_EQ(lb->layout().notify_in, 0);
    ASSERT_EQ(host->write(0x01, {1, 2, 3}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host->read(0x81), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_FALSE(lb->notify({1}));
}

TEST_F(function_models, ecm_loops_back_in_the_data_setting_and_answers_its_requests) {
    plug("ecm");
    loopback* lb = dev->find<loopback>();
    ASSERT_NE(lb, nullptr);
    // Setting 0 of the data interface has no endpoints.
    EXPECT_EQ(host->write(0x02, {1}), USBD_STATUS_INVALID_PIPE_HANDLE);
    host->select(1, 1);
    ASSERT_EQ(host->write(0x02, {0xff, 0xff}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host->read(0x82), (std::vector<uint8_t>{0xff, 0xff}));

    ASSERT_EQ(host->class_out(loopback::set_packet_filter_request, 0x000e, 0), USBD_STATUS_SUCCESS);
    EXPECT_EQ(lb->packet_filter(), 0x000e);
    // The adapter has no multicast filters and offers no statistics.
    EXPECT_EQ(host->class_out(loopback::set_multicast_filters_request, 1, 0, {1, 0, 0x5e, 0, 0, 1}),
              USBD_STATUS_STALL_PID);
    std::vector<uint8_t> data;
    EXPECT_EQ(host->class_in(loopback::get_statistic_request, 1, 0, 4, &data), USBD_STATUS_STALL_PID);
    // Addressed to the data interface.
    EXPECT_EQ(host->class_out(loopback::set_packet_filter_request, 0x000e, 1), USBD_STATUS_STALL_PID);
}

TEST_F(function_models, ecm_notifications_have_their_layout) {
    plug("ecm");
    loopback* lb = dev->find<loopback>();
    ASSERT_NE(lb, nullptr);
    EXPECT_TRUE(lb->network_connection(true));
    EXPECT_EQ(host->read(0x81, 16), (std::vector<uint8_t>{0xa1, 0x00, 1, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(lb->connection_speed(100000000, 1000000));
    EXPECT_EQ(host->read(0x81, 16),
              (std::vector<uint8_t>{0xa1, 0x2a, 0, 0, 0, 0, 8, 0, 0x00, 0xe1, 0xf5, 0x05, 0x40, 0x42, 0x0f, 0x00}));
    // EEM has neither the endpoint nor the notifications.
    plug("eem");
    EXPECT_FALSE(dev->find<loopback>()->network_connection(true));
}

TEST_F(function_models, ecm_multicast_filters_and_statistics_follow_the_ethernet_descriptor) {
    // 8 multicast filters, XMIT_OK and RCV_OK offered.
    usb::descriptor_set set = usb::descriptor_builder()
                                  .device(0x1234, 0x7777, 2)
                                  .configuration()
                                  .interface(0, 0, 2, usb::cdc_subclass_ecm, 0)
                                  .cdc_header()
                                  .cdc_union(0, {1})
                                  .cdc_ethernet(4, 0x3, 1514, 8, 0)
                                  .interface(1, 0, 10, 0, 0)
                                  .interface(1, 1, 10, 0, 0)
                                  .endpoint(0x82, usb::endpoint_type::bulk, 64)
                                  .endpoint(0x02, usb::endpoint_type::bulk, 64)
                                  .build();
    dev = make_device(set);
    test::host_side h(*dev);
    h.configure();
    h.select(1, 1);
    loopback* lb = dev->find<loopback>();
    ASSERT_NE(lb, nullptr);
    const std::vector<uint8_t> two = {1, 0, 0x5e, 0, 0, 1, 1, 0, 0x5e, 0, 0, 2};
    ASSERT_EQ(h.class_out(loopback::set_multicast_filters_request, 2, 0, two), USBD_STATUS_SUCCESS);
    EXPECT_EQ(lb->multicast_filters().size(), 2u);
    EXPECT_EQ(h.class_out(loopback::set_multicast_filters_request, 9, 0, std::vector<uint8_t>(54)),
              USBD_STATUS_STALL_PID);
    ASSERT_EQ(h.write(0x02, {1, 2}), USBD_STATUS_SUCCESS);
    std::vector<uint8_t> data;
    ASSERT_EQ(h.class_in(loopback::get_statistic_request, 1, 0, 4, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(h.class_in(loopback::get_statistic_request, 3, 0, 4, &data), USBD_STATUS_STALL_PID);
}

// ---- ICCD ------------------------------------------------------------------------

TEST_F(function_models, iccd_powers_on_with_an_atr_and_exchanges_apdus) {
    plug("iccd-b");
    iccd* reader = dev->find<iccd>();
    ASSERT_NE(reader, nullptr);
    std::vector<uint8_t> data;
    ASSERT_EQ(host->class_in(iccd::get_icc_status_request, 0, 0, 1, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, std::vector<uint8_t>{iccd::status_unpowered});
    // No APDU to an unpowered card.
    EXPECT_EQ(host->class_out(iccd::xfr_block_request, 0, 0, {0x00, 0xa4, 0x04, 0x00}), USBD_STATUS_STALL_PID);

    ASSERT_EQ(host->class_in(iccd::icc_power_on_request, 0, 0, 32, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x3b, 0x81, 0x80, 0x01, 0x80, 0x80}));
    EXPECT_TRUE(reader->powered());

    reader->set_response({0x6a, 0x82});
    ASSERT_EQ(host->class_out(iccd::xfr_block_request, 0, 0, {0x00, 0xa4, 0x04, 0x00}), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host->class_in(iccd::get_icc_status_request, 0, 0, 1, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, std::vector<uint8_t>{iccd::status_powered | iccd::status_response_waiting});
    ASSERT_EQ(host->class_in(iccd::data_block_request, 0, 0, 64, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x6a, 0x82}));
    ASSERT_EQ(host->class_in(iccd::data_block_request, 0, 0, 64, &data), USBD_STATUS_SUCCESS);
    EXPECT_TRUE(data.empty()) << "a response is read once";
    EXPECT_EQ(reader->apdus(), (std::vector<std::vector<uint8_t>>{{0x00, 0xa4, 0x04, 0x00}}));

    ASSERT_EQ(host->class_out(iccd::icc_power_off_request, 0, 0), USBD_STATUS_SUCCESS);
    EXPECT_FALSE(reader->powered());
}

TEST_F(function_models, iccd_power_on_out_leaves_the_atr_for_data_block) {
    plug("iccd-a");
    std::vector<uint8_t> data;
    ASSERT_EQ(host->class_out(iccd::icc_power_on_request, 0, 0), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host->class_in(iccd::data_block_request, 0, 0, 64, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, iccd::default_atr());
    // ABORT drops a waiting response.
    ASSERT_EQ(host->class_out(iccd::xfr_block_request, 0, 0, {0x00, 0xb0, 0x00, 0x00}), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host->class_out(iccd::abort_request, 0, 0), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host->class_in(iccd::data_block_request, 0, 0, 64, &data), USBD_STATUS_SUCCESS);
    EXPECT_TRUE(data.empty());
}

TEST_F(function_models, iccd_reports_clock_and_rate_and_stalls_the_unknown) {
    plug("iccd-b");
    std::vector<uint8_t> data;
    ASSERT_EQ(host->class_in(iccd::get_clock_frequencies_request, 0, 0, 4, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{0xa0, 0x0f, 0, 0}));  // 4000 kHz
    ASSERT_EQ(host->class_in(iccd::get_data_rates_request, 0, 0, 4, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{0x80, 0x25, 0, 0}));  // 9600 bps
    EXPECT_EQ(host->class_in(0x7f, 0, 0, 4, &data), USBD_STATUS_STALL_PID);
    EXPECT_EQ(host->class_out(iccd::data_block_request, 0, 0), USBD_STATUS_STALL_PID);

    EXPECT_TRUE(dev->find<iccd>()->notify_slot_change(false));
    EXPECT_EQ(host->read(0x81, 8), (std::vector<uint8_t>{0x50, 0x02}));
}

TEST_F(function_models, iccd_bulk_messages_get_their_replies) {
    plug("iccd-bulk");
    // IccPowerOn, slot 0, sequence 5.
    ASSERT_EQ(host->write(0x02, {0x62, 0, 0, 0, 0, 0, 5, 0, 0, 0}), USBD_STATUS_SUCCESS);
    std::vector<uint8_t> expected = {0x80, 6, 0, 0, 0, 0, 5, 0, 0, 0};
    for (uint8_t b : iccd::default_atr()) expected.push_back(b);
    EXPECT_EQ(host->read(0x82), expected);
    // XfrBlock with a 4-byte APDU, sequence 6: DataBlock with 90 00.
    ASSERT_EQ(host->write(0x02, {0x6f, 4, 0, 0, 0, 0, 6, 0, 0, 0, 0x00, 0xa4, 0x04, 0x00}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host->read(0x82), (std::vector<uint8_t>{0x80, 2, 0, 0, 0, 0, 6, 0, 0, 0, 0x90, 0x00}));
    // A message whose length disagrees with its header fails.
    EXPECT_EQ(host->write(0x02, {0x6f, 9, 0, 0, 0, 0, 7, 0, 0, 0, 0x00}), USBD_STATUS_STALL_PID);
    // The stall halted the endpoint, as on a bus: the host clears it.
    ASSERT_EQ(host->control(test::setup(0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, 0x02, 0)),
              USBD_STATUS_SUCCESS);
    // PowerOff, then an XfrBlock fails with ICC_MUTE.
    ASSERT_EQ(host->write(0x02, {0x63, 0, 0, 0, 0, 0, 8, 0, 0, 0}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host->read(0x82), (std::vector<uint8_t>{0x81, 0, 0, 0, 0, 0, 8, 0x01, 0, 0}));
    ASSERT_EQ(host->write(0x02, {0x6f, 1, 0, 0, 0, 0, 9, 0, 0, 0, 0x00}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host->read(0x82), (std::vector<uint8_t>{0x80, 0, 0, 0, 0, 0, 9, 0x41, 0xfe, 0}));
}

// ---- DFU -------------------------------------------------------------------------

class dfu_model : public function_models {
 protected:
    std::vector<uint8_t> status() {
        std::vector<uint8_t> data;
        EXPECT_EQ(host->class_in(dfu::getstatus_request, 0, 0, 6, &data), USBD_STATUS_SUCCESS);
        return data;
    }
    uint8_t state() {
        std::vector<uint8_t> data;
        EXPECT_EQ(host->class_in(dfu::getstate_request, 0, 0, 1, &data), USBD_STATUS_SUCCESS);
        return data.empty() ? 0xff : data[0];
    }
};

TEST_F(dfu_model, download_blocks_then_manifest_back_to_idle) {
    plug("dfu");
    dfu* d = dev->find<dfu>();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->transfer_size(), 1024);
    EXPECT_EQ(status(), (std::vector<uint8_t>{0, 0, 0, 0, 2, 0}));  // OK, dfuIDLE

    ASSERT_EQ(host->class_out(dfu::dnload_request, 0, 0, {1, 2, 3}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(state(), 3);      // dfuDNLOAD-SYNC
    EXPECT_EQ(status()[4], 5);  // dfuDNLOAD-IDLE
    ASSERT_EQ(host->class_out(dfu::dnload_request, 1, 0, {4, 5}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(status()[4], 5);
    ASSERT_EQ(host->class_out(dfu::dnload_request, 2, 0), USBD_STATUS_SUCCESS);
    EXPECT_EQ(state(), 6);      // dfuMANIFEST-SYNC
    EXPECT_EQ(status()[4], 7);  // dfuMANIFEST
    EXPECT_EQ(status()[4], 2);  // tolerant: dfuIDLE
    EXPECT_EQ(d->image(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));

    // Upload reads it back; a short block ends the upload.
    std::vector<uint8_t> data;
    ASSERT_EQ(host->class_in(dfu::upload_request, 0, 0, 4, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(state(), 9);  // dfuUPLOAD-IDLE
    ASSERT_EQ(host->class_in(dfu::upload_request, 1, 0, 4, &data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(data, std::vector<uint8_t>{5});
    EXPECT_EQ(state(), 2);
}

TEST_F(dfu_model, a_request_out_of_turn_stalls_into_error_until_clrstatus) {
    plug("dfu");
    // Ending a download that never started.
    EXPECT_EQ(host->class_out(dfu::dnload_request, 0, 0), USBD_STATUS_STALL_PID);
    EXPECT_EQ(status(), (std::vector<uint8_t>{0x0f, 0, 0, 0, 10, 0}));  // errSTALLEDPKT, dfuERROR
    EXPECT_EQ(host->class_out(dfu::dnload_request, 0, 0, {1}), USBD_STATUS_STALL_PID);
    ASSERT_EQ(host->class_out(dfu::clrstatus_request, 0, 0), USBD_STATUS_SUCCESS);
    EXPECT_EQ(status(), (std::vector<uint8_t>{0, 0, 0, 0, 2, 0}));
    // A block above wTransferSize, then ABORT is refused in dfuERROR.
    EXPECT_EQ(host->class_out(dfu::dnload_request, 0, 0, std::vector<uint8_t>(1025)), USBD_STATUS_STALL_PID);
    EXPECT_EQ(host->class_out(dfu::abort_request, 0, 0), USBD_STATUS_STALL_PID);
    EXPECT_EQ(state(), 10);
}

TEST_F(dfu_model, abort_returns_a_download_to_idle) {
    plug("dfu");
    ASSERT_EQ(host->class_out(dfu::dnload_request, 0, 0, {9}), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host->class_out(dfu::abort_request, 0, 0), USBD_STATUS_SUCCESS);
    EXPECT_EQ(state(), 2);
}

TEST_F(dfu_model, run_time_interface_detaches_into_dfu_mode_at_the_next_reset) {
    // Protocol 1: run-time; not manifestation tolerant.
    usb::descriptor_set set = usb::descriptor_builder()
                                  .device(0x1234, 0x0021)
                                  .configuration()
                                  .interface(0, 0, 0xfe, 1, 1)
                                  .descriptor(usb::functional_descriptor, {0x03, 0xff, 0x00, 0x40, 0x00, 0x10, 0x01})
                                  .build();
    dev = make_device(set);
    host = std::make_unique<test::host_side>(*dev);
    host->configure();
    EXPECT_EQ(state(), 0);  // appIDLE
    EXPECT_EQ(host->class_out(dfu::dnload_request, 0, 0, {1}), USBD_STATUS_STALL_PID);
    EXPECT_EQ(state(), 0) << "run-time mode has no error state";
    ASSERT_EQ(host->class_out(dfu::detach_request, 1000, 0), USBD_STATUS_SUCCESS);
    EXPECT_EQ(state(), 1);  // appDETACH
    dev->reset_port();
    host->configure();
    EXPECT_EQ(state(), 2);  // dfuIDLE
    EXPECT_EQ(dev->find<dfu>()->transfer_size(), 64);

    // Not tolerant: after manifestation it waits for a reset.
    ASSERT_EQ(host->class_out(dfu::dnload_request, 0, 0, {1}), USBD_STATUS_SUCCESS);
    status();
    ASSERT_EQ(host->class_out(dfu::dnload_request, 1, 0), USBD_STATUS_SUCCESS);
    EXPECT_EQ(status()[4], 7);
    EXPECT_EQ(status()[4], 8);  // dfuMANIFEST-WAIT-RESET
    dev->reset_port();
    EXPECT_EQ(dev->find<dfu>()->current_state(), dfu::state::dfu_idle);
}

}  // namespace
}  // namespace sim::devices
