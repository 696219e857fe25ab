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

    static std::vector<std::string> lines_starting(const std::string& prefix) {
        std::vector<std::string> out;
        for (const auto& line : sim::debugger_lines()) {
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        }
        return out;
    }

    static bool traced_with(const std::string& part) {
        for (const auto& line : sim::debugger_lines()) {
            if (line.find(part) != std::string::npos) return true;
        }
        return false;
    }
};

// A read that timed out has its request replaced when it returns. When the
// framework can make a new one neither then nor at the next read, that read
// fails, shown at error level, and the record stays free: the read after it
// goes out on a request made then.
TEST_F(injected_failure, a_request_that_cannot_be_replaced_fails_the_next_read_and_the_one_after_goes_out) {
    auto children = plug(sim::usb::catalogue::acm_modem());
    ASSERT_EQ(children.size(), 1u);
    WDFDEVICE child = children[0];
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    UCHAR read[64] = {};
    sim::fault_fail_nth("WdfRequestCreate", 1);
    EXPECT_FALSE(b.cdc_data_in_sync(child, read, sizeof(read), -10 * 1000 * 1000));
    EXPECT_EQ(sim::fault_last_failed_site(), "WdfRequestCreate");

    sim::debugger_clear();
    sim::fault_fail_nth("WdfRequestCreate", 1);
    device_->push_in(modem_data_in, {'O', 'K'});
    EXPECT_FALSE(b.cdc_data_in_sync(child, read, sizeof(read), no_timeout));
    EXPECT_TRUE(traced("usb_qd_request_prepare: failed recycling request, status c000009a"));

    EXPECT_TRUE(b.cdc_data_in_sync(child, read, sizeof(read), no_timeout));
    EXPECT_EQ(read[0], 'O');
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

// A child whose compatible ID cannot be added is not created half-named:
// the failure is traced and no child appears.
TEST_F(injected_failure, a_child_without_its_compatible_id_is_not_created) {
    sim::fault_fail_nth("WdfPdoInitAddCompatibleID", 1);
    device_ = std::make_shared<sim::usb::device>(sim::usb::catalogue::acm_modem());
    sim::plug_options options;
    options.whole_device = true;
    auto stacks = host_->plug(device_, options);
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(sim::fault_last_failed_site(), "WdfPdoInitAddCompatibleID");
    EXPECT_TRUE(host_->children(*stacks[0]).empty());
    EXPECT_TRUE(traced("cdc_devnode_prepare: failed c000009a"));
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

// So does a report the child list fails for another reason.
TEST_F(injected_failure, a_child_not_reported_gives_back_its_reference) {
    sim::fault_fail_nth("WdfChildListAddOrUpdateChildDescriptionAsPresent", 1);
    device_ = std::make_shared<sim::usb::device>(sim::usb::catalogue::acm_modem());
    sim::plug_options options;
    options.whole_device = true;
    auto stacks = host_->plug(device_, options);
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_TRUE(host_->children(*stacks[0]).empty());
    EXPECT_TRUE(traced("usb_child_plugin: child_unique_id 0 not reported, status c000009a"));
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

// A read the device answered as gone keeps its request for the next try,
// which goes out on it once the device answers again.
TEST_F(injected_failure, a_request_of_a_gone_device_is_reused_for_the_next_read) {
    auto children = plug(sim::usb::catalogue::acm_modem());
    ASSERT_EQ(children.size(), 1u);
    WDFDEVICE child = children[0];
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    UCHAR read[64] = {};
    sim::debugger_clear();
    device_->fail_next_transfer(modem_data_in, USBD_STATUS_DEVICE_GONE);
    EXPECT_FALSE(b.cdc_data_in_sync(child, read, sizeof(read), no_timeout));
    EXPECT_TRUE(traced_with("usb_request_reuse: request device removed, fail request creation"));

    device_->push_in(modem_data_in, {'O', 'K'});
    EXPECT_TRUE(b.cdc_data_in_sync(child, read, sizeof(read), no_timeout));
    EXPECT_EQ(read[0], 'O');
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
}

// The request pools a child asks for: a record the framework cannot make
// fails the init with its status, shown at error level, and leaves nothing
// counted or made, so the child's next init makes both pools afresh.
class injected_pool_failure : public injected_failure {
 protected:
    WDFDEVICE plug_modem() {
        auto children = plug(sim::usb::catalogue::acm_modem());
        EXPECT_EQ(children.size(), 1u);
        return children.empty() ? nullptr : children[0];
    }

    void write_goes_out(CDC_BUS_INTERFACE& b, WDFDEVICE child) {
        ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
        UCHAR text[] = {'A', 'T', '\r'};
        EXPECT_TRUE(b.cdc_data_out_sync(child, text, sizeof(text), no_timeout));
        EXPECT_EQ(device_->take_out(data_out), std::vector<uint8_t>({'A', 'T', '\r'}));
        EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
        EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
    }
};

TEST_F(injected_pool_failure, a_write_record_not_made_fails_the_init_and_the_next_init_makes_the_pools) {
    WDFDEVICE child = plug_modem();
    CDC_BUS_INTERFACE& b = bus(child);
    sim::fault_fail_nth("WdfMemoryCreate", 1);
    EXPECT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(traced("usb_request_allocate_parented: WdfMemoryCreate failed, status c000009a"));
    EXPECT_TRUE(traced("usb_cdc_data_io_init: req_manager_create failed for PIPE OUT, status c000009a"));

    sim::fault_reset();
    sim::debugger_clear();
    EXPECT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    EXPECT_FALSE(traced("usb_cdc_data_io_init: already performed"));
    write_goes_out(b, child);
}

// A record takes two memory objects (the record and its request's buffer):
// the write pool's first record is made, its second (for the zero-length
// packet) is not. The one made goes with the failure, so the next init's
// pool holds two records, not three.
TEST_F(injected_pool_failure, a_write_pool_half_made_is_emptied_for_the_next_init) {
    WDFDEVICE child = plug_modem();
    CDC_BUS_INTERFACE& b = bus(child);
    sim::fault_fail_nth("WdfMemoryCreate", 3);
    EXPECT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(traced("usb_cdc_data_io_init: req_manager_create failed for PIPE OUT, status c000009a"));

    sim::fault_reset();
    sim::debugger_clear();
    EXPECT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    EXPECT_TRUE(lines_starting("req_manager_create: re-allocate requests").empty());
    write_goes_out(b, child);
}

// The write pool (two records: a write and its zero-length packet) is made,
// the read pool's first record is not.
TEST_F(injected_pool_failure, a_read_record_not_made_takes_the_write_pool_away_again) {
    WDFDEVICE child = plug_modem();
    CDC_BUS_INTERFACE& b = bus(child);
    sim::fault_fail_nth("WdfMemoryCreate", 5);
    EXPECT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(traced("usb_cdc_data_io_init: req_manager_create failed for PIPE IN, status c000009a"));

    sim::fault_reset();
    sim::debugger_clear();
    EXPECT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    EXPECT_TRUE(lines_starting("req_manager_create: re-allocate requests").empty());
    EXPECT_FALSE(traced("usb_cdc_data_io_init: already performed"));
    write_goes_out(b, child);
}

// Failures the child hears of from a call are shown at error level as well.
TEST_F(injected_failure, a_failed_port_reset_is_returned_and_traced) {
    auto children = plug(sim::usb::catalogue::acm_modem());
    ASSERT_EQ(children.size(), 1u);
    CDC_BUS_INTERFACE& b = bus(children[0]);
    sim::fault_fail_nth("WdfUsbTargetDeviceResetPortSynchronously", 1);
    EXPECT_EQ(b.qd_reset_device(children[0]), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(traced("usb_reset_device: failed c000009a"));
    EXPECT_EQ(device_->port_resets(), 0u);

    sim::debugger_clear();
    EXPECT_EQ(b.qd_reset_device(children[0]), STATUS_SUCCESS);
    EXPECT_EQ(device_->port_resets(), 1u);
    EXPECT_TRUE(lines_starting("usb_reset_device: failed").empty());
}

TEST_F(injected_failure, a_child_without_its_bus_interface_is_traced) {
    sim::fault_fail_nth("WdfDeviceAddQueryInterface", 1);
    device_ = std::make_shared<sim::usb::device>(sim::usb::catalogue::acm_modem());
    sim::plug_options options;
    options.whole_device = true;
    auto stacks = host_->plug(device_, options);
    ASSERT_EQ(stacks.size(), 1u);
    auto children = host_->children(*stacks[0]);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_TRUE(traced("cdc_register_interface: WdfDeviceAddQueryInterface failed c000009a"));
    CDC_BUS_INTERFACE b;
    EXPECT_NE(query(children[0].device, CDC_BUS_DRIVER_VERSION, &b), STATUS_SUCCESS);
}

TEST_F(injected_failure, a_failed_synchronous_write_is_returned_and_traced) {
    auto children = plug(sim::usb::catalogue::acm_modem());
    ASSERT_EQ(children.size(), 1u);
    WDFDEVICE child = children[0];
    CDC_BUS_INTERFACE& b = bus(child);
    ASSERT_EQ(b.cdc_data_io_init(child, 1, 1), STATUS_SUCCESS);
    ASSERT_EQ(b.cdc_transport_enable(child), STATUS_SUCCESS);
    device_->fail_next_transfer(data_out, USBD_STATUS_STALL_PID);
    UCHAR text[] = {'A', 'T', '\r'};
    sim::debugger_clear();
    EXPECT_FALSE(b.cdc_data_out_sync(child, text, sizeof(text), no_timeout));
    EXPECT_EQ(lines_starting("usb_cdc_data_inout: failed ").size(), 1u);
    EXPECT_EQ(b.cdc_transport_disable(child), STATUS_SUCCESS);
    EXPECT_EQ(b.cdc_data_io_uninit(child), STATUS_SUCCESS);
}

}  // namespace
}  // namespace cdc::transfer_test
