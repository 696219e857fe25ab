// Failures of framework services the data path and enumeration depend on:
// each is either handled (the transfer still goes through) or shown at error
// level, and the device stays usable.
#include "transfer/bus_fixture.h"

namespace cdc::transfer_test {
namespace {

constexpr uint8_t data_out = 0x02;

class injected_failure : public bus_fixture {
 protected:
    void TearDown() override {
        sim::fault_reset();
        bus_fixture::TearDown();
    }

    static bool traced_with(const std::string& part) {
        for (const auto& line : sim::debugger_lines()) {
            if (line.find(part) != std::string::npos) return true;
        }
        return false;
    }
};

TEST_F(injected_failure, a_failed_request_reuse_replaces_the_request_and_the_write_goes_out) {
    auto children = plug(sim::usb::catalogue::acm_modem());
    ASSERT_EQ(children.size(), 1u);
    WDFDEVICE child = children[0];
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    UCHAR text[] = {'A', 'T', '\r'};
    ASSERT_TRUE(b.cdc_data_out_sync(child, text, sizeof(text), no_timeout));
    device_->take_out(data_out);

    sim::debugger_clear();
    sim::fault_fail_nth("WdfRequestReuse", 1);
    EXPECT_TRUE(b.cdc_data_out_sync(child, text, sizeof(text), no_timeout));
    EXPECT_EQ(sim::fault_last_failed_site(), "WdfRequestReuse");
    EXPECT_TRUE(traced_with("WdfRequestReuse failed"));
    EXPECT_EQ(device_->take_out(data_out), std::vector<uint8_t>({'A', 'T', '\r'}));

    // Without a failure nothing is replaced or traced.
    sim::debugger_clear();
    EXPECT_TRUE(b.cdc_data_out_sync(child, text, sizeof(text), no_timeout));
    EXPECT_FALSE(traced_with("WdfRequestReuse failed"));
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
}

TEST_F(injected_failure, a_child_the_framework_cannot_create_is_traced_and_the_next_plug_gets_one) {
    sim::fault_fail_nth("WdfDeviceCreate", 2);  // the function device's, then its child's
    device_ = std::make_shared<sim::usb::device>(sim::usb::catalogue::acm_modem());
    sim::plug_options options;
    options.whole_device = true;
    auto stacks = host_->plug(device_, options);
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_TRUE(host_->children(*stacks[0]).empty());
    EXPECT_TRUE(traced_with("WdfDeviceCreate failed"));
    host_->unplug(device_);

    EXPECT_EQ(plug(sim::usb::catalogue::acm_modem()).size(), 1u);
}

// A report the child list says it already holds gives back the reference
// the report took on the function device: unloading finds none left.
TEST_F(injected_failure, a_child_already_reported_gives_back_its_reference) {
    sim::fault_fail_nth("WdfChildListAddOrUpdateChildDescriptionAsPresent", 1, STATUS_OBJECT_NAME_EXISTS);
    device_ = std::make_shared<sim::usb::device>(sim::usb::catalogue::acm_modem());
    sim::plug_options options;
    options.whole_device = true;
    auto stacks = host_->plug(device_, options);
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_TRUE(traced_with("Failed adding child_unique_id"));
    host_->unplug(device_);
}

TEST_F(injected_failure, an_unreadable_setting_falls_back_to_its_default_and_is_traced) {
    sim::debugger_clear();
    sim::fault_fail_nth("WdfRegistryQueryULong", 1, STATUS_INSUFFICIENT_RESOURCES);
    device_ = std::make_shared<sim::usb::device>(sim::usb::catalogue::acm_modem());
    sim::plug_options options;
    options.whole_device = true;
    auto stacks = host_->plug(device_, options);
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(stacks[0]->start_status(), STATUS_SUCCESS);
    EXPECT_EQ(host_->children(*stacks[0]).size(), 1u);
    EXPECT_EQ(sim::fault_last_failed_site(), "WdfRegistryQueryULong");
    EXPECT_TRUE(traced_with("ended with c000009a"));
}

}  // namespace
}  // namespace cdc::transfer_test
