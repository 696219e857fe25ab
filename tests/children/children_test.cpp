// Children of a started function device: their identifiers, texts and
// capabilities, extra-control twins, UI numbers, the identity rule and the
// one-attempt creation rule.
#include <gtest/gtest.h>

#include <cstring>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "devices/catalogue.h"
#include "devices/descriptor_builder.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "sim/strings.h"
#include "sim/symbols.h"
#include "usb/usb_device.h"

namespace {

namespace catalogue = sim::usb::catalogue;
using sim::usb::descriptor_set;

class children : public ::testing::Test {
 protected:
    sim::host host;
    std::shared_ptr<sim::usb::device> device;

    void SetUp() override { ASSERT_EQ(host.load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS); }

    static std::string hardware_key(const std::string& hardware_id, const std::string& location) {
        return std::string(sim::enum_key()) + "\\USB\\" + hardware_id + "\\" + location + "\\Device Parameters";
    }

    std::vector<sim::device_stack*> plug(const descriptor_set& set, const std::string& location = "6&1a2b3c4d&0&1") {
        device = std::make_shared<sim::usb::device>(set);
        sim::plug_options options;
        options.location = location;
        return host.plug(device, options);
    }

    // The driver's globals, read as a debugger reads them.
    DRV_CTX* driver_state() { return static_cast<DRV_CTX*>(sim::image_symbol(CDC_DRIVER_IMAGE, "drv_ctx")); }
};

TEST_F(children, ordinary_child_and_its_extra_control_twin) {
    host.registry().set_dword(hardware_key("VID_1234&PID_0001", "6&1a2b3c4d&0&1"), "ExtraControlEnabled", 7);
    auto stacks = plug(catalogue::acm_modem());
    ASSERT_EQ(stacks.size(), 1u);
    ASSERT_EQ(stacks[0]->start_status(), STATUS_SUCCESS);
    auto kids = host.children(*stacks[0]);
    ASSERT_EQ(kids.size(), 2u);

    const auto& plain = kids[0];
    EXPECT_EQ(plain.device_id, "usbcdcacm\\VID_1234&PID_0001");
    EXPECT_EQ(plain.hardware_ids, std::vector<std::string>{"usbcdcacm\\VID_1234&PID_0001"});
    EXPECT_EQ(plain.compatible_ids, std::vector<std::string>{"usbcdcacm\\compat"});
    EXPECT_EQ(plain.instance_id, "6_1a2b3c4d_0_1_00");
    EXPECT_EQ(plain.device_text, "usbcdcacm_6_1a2b3c4d_0_1_00");
    EXPECT_EQ(plain.location_text, "usbcdcacm bus");
    EXPECT_EQ(plain.locale, 0x409u);
    EXPECT_EQ(plain.device_type, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(plain.pnp_capabilities.Address, 0u);
    EXPECT_EQ(plain.pnp_capabilities.UINumber, 0u);
    EXPECT_EQ(plain.pnp_capabilities.EjectSupported, WdfTrue);
    EXPECT_EQ(plain.pnp_capabilities.Removable, WdfTrue);
    EXPECT_EQ(plain.pnp_capabilities.SurpriseRemovalOK, WdfTrue);
    EXPECT_EQ(plain.pnp_capabilities.LockSupported, WdfUseDefault);
    EXPECT_EQ(plain.power_capabilities.DeviceD1, WdfTrue);
    EXPECT_EQ(plain.power_capabilities.WakeFromD1, WdfTrue);
    EXPECT_EQ(plain.power_capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(plain.power_capabilities.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
    EXPECT_EQ(plain.power_capabilities.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    EXPECT_EQ(plain.power_capabilities.DeviceState[PowerSystemUnspecified], PowerDeviceMaximum);
    EXPECT_EQ(plain.power_capabilities.DeviceWake, PowerDeviceD1);
    EXPECT_EQ(plain.power_capabilities.SystemWake, PowerSystemMaximum);
    EXPECT_EQ(plain.bus_information.LegacyBusType, PNPBus);

    const auto& twin = kids[1];
    EXPECT_EQ(twin.device_id, "usbcdcacm\\VID_1234&PID_0001&ext_ctrl");
    EXPECT_EQ(twin.compatible_ids, std::vector<std::string>{"usbcdcacm\\compat&ext_ctrl"});
    EXPECT_EQ(twin.instance_id, "6_1a2b3c4d_0_1_01");
    EXPECT_EQ(twin.device_text, "usbcdcacm_6_1a2b3c4d_0_1_01");
    EXPECT_EQ(twin.pnp_capabilities.Address, 1u);
    EXPECT_EQ(twin.pnp_capabilities.UINumber, 0x7FFFFFFFu);

    // The twin's description carries the suffix; its context has the
    // function device's own ids.
    CDC_CHILD_DESCRIPTION description;
    ASSERT_EQ(twin.description.size(), sizeof(description));
    memcpy(&description, twin.description.data(), sizeof(description));
    EXPECT_EQ(description.ids.hwid_len, 17u + 9u);
    auto* cdc_pdx = static_cast<CDC_DEVICE_CONTEXT*>(twin.context("CDC_DEVICE_CONTEXT"));
    ASSERT_NE(cdc_pdx, nullptr);
    EXPECT_EQ(sim::to_utf8(cdc_pdx->ids.hwid), "VID_1234&PID_0001");
    EXPECT_EQ(cdc_pdx->ids.hwid_len, 17u);
    EXPECT_EQ(cdc_pdx->unique_id, 1u);
    EXPECT_EQ(cdc_pdx->usb_device, stacks[0]->device());
    EXPECT_EQ(cdc_pdx->device, twin.device);
}

TEST_F(children, without_extra_control_one_child_per_function) {
    host.registry().set_dword(hardware_key("VID_1234&PID_0001", "6&1a2b3c4d&0&1"), "ExtraControlEnabled", 0);
    auto stacks = plug(catalogue::acm_modem());
    ASSERT_EQ(host.children(*stacks[0]).size(), 1u);
}

TEST_F(children, device_name_parameter_names_every_child) {
    host.registry().set_string(sim::host::parameters_key(), "DeviceName", "Talvo Modem");
    host.registry().set_dword(hardware_key("VID_1234&PID_0001", "6&1a2b3c4d&0&1"), "ExtraControlEnabled", 1);
    auto stacks = plug(catalogue::acm_modem());
    auto kids = host.children(*stacks[0]);
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_EQ(kids[0].device_text, "Talvo Modem");
    EXPECT_EQ(kids[1].device_text, "Talvo Modem");
}

TEST_F(children, device_name_without_room_for_its_terminator_counts_as_absent) {
    host.registry().set_string(sim::host::parameters_key(), "DeviceName", std::string(80, 'x'));
    auto stacks = plug(catalogue::acm_modem());
    auto kids = host.children(*stacks[0]);
    ASSERT_EQ(kids.size(), 1u);
    EXPECT_EQ(kids[0].device_text, "usbcdcacm_6_1a2b3c4d_0_1_00");

    host.unplug(device);
    host.registry().set_string(sim::host::parameters_key(), "DeviceName", std::string(79, 'y'));
    stacks = plug(catalogue::acm_modem());
    kids = host.children(*stacks[0]);
    ASSERT_EQ(kids.size(), 1u);
    EXPECT_EQ(kids[0].device_text, std::string(79, 'y'));

    // Stored without a terminator and filling the buffer exactly: no room
    // to terminate it either.
    host.unplug(device);
    sim::registry_value unterminated;
    unterminated.type = REG_SZ;
    for (int i = 0; i < 80; ++i) unterminated.data.insert(unterminated.data.end(), {'z', 0});
    host.registry().set_value(sim::host::parameters_key(), "DeviceName", unterminated);
    stacks = plug(catalogue::acm_modem());
    kids = host.children(*stacks[0]);
    ASSERT_EQ(kids.size(), 1u);
    EXPECT_EQ(kids[0].device_text, "usbcdcacm_6_1a2b3c4d_0_1_00");
}

// The location part of the interface string fills the identity's buffer up
// to its terminator at most: one character more fails the start.
TEST_F(children, a_location_one_character_too_long_fails_the_start) {
    const std::string longest(CDC_ID_CHARS - 1, '7');
    auto stacks = plug(catalogue::acm_modem(), longest);
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(stacks[0]->start_status(), STATUS_SUCCESS);
    EXPECT_EQ(host.children(*stacks[0]).size(), 1u);
    host.unplug(device);

    stacks = plug(catalogue::acm_modem(), longest + "7");
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(stacks[0]->start_status(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_TRUE(host.children(*stacks[0]).empty());
}

TEST_F(children, identity_comes_from_the_interface_string_of_a_composite_function) {
    auto set = sim::usb::descriptor_builder()
                   .device(0x1234, 0x5678)
                   .configuration()
                   .interface(0, 0, 0xff, 0, 0)
                   .endpoint(0x81, sim::usb::endpoint_type::bulk, 64)
                   .endpoint(0x01, sim::usb::endpoint_type::bulk, 64)
                   .interface(1, 0, 0xff, 0, 0)
                   .endpoint(0x82, sim::usb::endpoint_type::bulk, 64)
                   .endpoint(0x02, sim::usb::endpoint_type::bulk, 64)
                   .build();
    auto stacks = plug(set, "6&1a2b3c4d&0&1");
    ASSERT_EQ(stacks.size(), 2u);
    auto* fdx = static_cast<DEVICE_CONTEXT*>(stacks[1]->context("DEVICE_CONTEXT"));
    ASSERT_NE(fdx, nullptr);
    EXPECT_EQ(sim::to_utf8(fdx->ids.hwid), "VID_1234&PID_5678&MI_01");
    EXPECT_EQ(fdx->ids.hwid_len, 23u);
    EXPECT_EQ(sim::to_utf8(fdx->ids.location), "6_1a2b3c4d_0_0001");
    // The rest of both buffers stays zero: the identity rule compares all of it.
    for (size_t i = 23; i < CDC_ID_CHARS; i++) EXPECT_EQ(fdx->ids.hwid[i], 0) << i;
    for (size_t i = 17; i < CDC_ID_CHARS; i++) EXPECT_EQ(fdx->ids.location[i], 0) << i;
    EXPECT_EQ(fdx->ids.device, stacks[1]->device());
}

TEST_F(children, ui_numbers_count_functions_and_wrap_after_0x7fffffff) {
    host.registry().set_dword(hardware_key("VID_1234&PID_0001", "6&1a2b3c4d&0&1"), "ExtraControlEnabled", 1);
    DRV_CTX* state = driver_state();
    ASSERT_NE(state, nullptr);
    state->ui_number_counter = 0x7FFFFFFF;

    auto stacks = plug(catalogue::acm_modem());
    auto kids = host.children(*stacks[0]);
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_EQ(kids[0].pnp_capabilities.UINumber, 0x7FFFFFFFu);
    EXPECT_EQ(kids[1].pnp_capabilities.UINumber, 0xFFFFFFFEu);
    EXPECT_EQ(state->ui_number_counter, 0u);

    // Every start reports fresh children with the next number.
    host.unplug(device);
    stacks = plug(catalogue::acm_modem());
    kids = host.children(*stacks[0]);
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_EQ(kids[0].pnp_capabilities.UINumber, 0u);
    EXPECT_EQ(kids[1].pnp_capabilities.UINumber, 0x7FFFFFFFu);
    EXPECT_EQ(state->ui_number_counter, 1u);
}

TEST_F(children, composite_functions_take_consecutive_ui_numbers) {
    auto stacks = plug(catalogue::dual_acm_composite());
    ASSERT_EQ(stacks.size(), 2u);
    EXPECT_EQ(host.children(*stacks[0])[0].pnp_capabilities.UINumber, 0u);
    EXPECT_EQ(host.children(*stacks[1])[0].pnp_capabilities.UINumber, 1u);
}

TEST_F(children, unplug_removes_children_before_their_parent) {
    auto stacks = plug(catalogue::acm_modem());
    auto kids = host.children(*stacks[0]);
    ASSERT_EQ(kids.size(), 1u);
    sim::debugger_clear();
    host.unplug(device);
    EXPECT_TRUE(stacks[0]->removed());
    EXPECT_TRUE(host.children(*stacks[0]).empty());
    // Unload (in TearDown) bug checks if a reference the descriptions held survived.
}

TEST_F(children, a_second_creation_attempt_fails_and_releases_nothing_twice) {
    // The framework asks again when the first attempt reports STATUS_RETRY.
    sim::fault_fail_nth("WdfDeviceCreate", 2, STATUS_RETRY);  // the 1st is the function device
    auto stacks = plug(catalogue::acm_modem());
    ASSERT_EQ(stacks[0]->start_status(), STATUS_SUCCESS);
    EXPECT_TRUE(host.children(*stacks[0]).empty());
    auto lines = sim::debugger_lines();
    char expected[128];
    snprintf(expected, sizeof(expected), "cdc_device_create: already attempted to create a child for device %016llX",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(stacks[0]->device())));
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "cdc_device_create: done, status 0xc000022d"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "cdc_device_create: done, status 0xc0000001"), lines.end());
    host.unplug(device);
    host.unload_driver();  // a reference released twice or not at all would bug check here
}

TEST_F(children, failed_pdo_setup_drops_the_child_and_its_reference) {
    sim::fault_fail_nth("WdfPdoInitAssignDeviceID", 1, STATUS_INSUFFICIENT_RESOURCES);
    auto stacks = plug(catalogue::acm_modem());
    EXPECT_TRUE(host.children(*stacks[0]).empty());
    auto lines = sim::debugger_lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "cdc_devnode_prepare: failed c000009a"), lines.end());
    host.unplug(device);
    host.unload_driver();
}

// ---- The identity rule, called as the framework calls it -------------------------

class identity_rule : public children {
 protected:
    using compare_fn = BOOLEAN (*)(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER,
                                   PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER);
    compare_fn compare = nullptr;

    void SetUp() override {
        children::SetUp();
        compare = reinterpret_cast<compare_fn>(sim::image_symbol(
            CDC_DRIVER_IMAGE,
            "_Z18cdc_evt_id_compareP14WDFCHILDLIST__P44_WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADERS2_"));
        ASSERT_NE(compare, nullptr);
    }

    static CDC_CHILD_DESCRIPTION make(const char16_t* location, const char16_t* hwid, const WCHAR* enumerator) {
        CDC_CHILD_DESCRIPTION d;
        memset(&d, 0, sizeof(d));
        d.header.IdentificationDescriptionSize = sizeof(d);
        std::u16string l(location), h(hwid);
        memcpy(d.ids.location, l.data(), l.size() * 2);
        memcpy(d.ids.hwid, h.data(), h.size() * 2);
        d.ids.hwid_len = h.size();
        d.ids.qd_enumerator = enumerator;
        return d;
    }

    bool matches(CDC_CHILD_DESCRIPTION a, CDC_CHILD_DESCRIPTION b) {
        return compare(nullptr, &a.header, &b.header) != FALSE;
    }
};

const WCHAR acm[] = L"usbcdcacm";
const WCHAR ecm[] = L"usbcdcecm";

TEST_F(identity_rule, hardware_ids_compare_over_the_shorter_length) {
    auto plain = make(u"6_1_0_1", u"VID_1234&PID_0001", acm);
    auto twin = make(u"6_1_0_1", u"VID_1234&PID_0001&ext_ctrl", acm);
    EXPECT_TRUE(matches(plain, twin));
    EXPECT_TRUE(matches(twin, plain));
    EXPECT_FALSE(matches(plain, make(u"6_1_0_1", u"VID_1234&PID_0002", acm)));
}

TEST_F(identity_rule, same_ids_under_another_enumerator_do_not_match) {
    EXPECT_FALSE(matches(make(u"6_1_0_1", u"VID_1234&PID_0001", acm), make(u"6_1_0_1", u"VID_1234&PID_0001", ecm)));
}

TEST_F(identity_rule, location_compares_the_whole_buffer) {
    auto a = make(u"6_1_0_1", u"VID_1234&PID_0001", acm);
    auto b = a;
    b.ids.location[30] = u'x';  // behind the terminator
    EXPECT_FALSE(matches(a, b));
    EXPECT_FALSE(matches(a, make(u"6_1_0_2", u"VID_1234&PID_0001", acm)));
}

TEST_F(identity_rule, device_and_numbers_are_not_compared) {
    auto a = make(u"6_1_0_1", u"VID_1234&PID_0001", acm);
    auto b = a;
    b.ids.device = reinterpret_cast<WDFDEVICE>(0x1234);
    b.unique_id = 1;
    b.ui_number = 77;
    b.create_attempted = 1;
    EXPECT_TRUE(matches(a, b));
}

}  // namespace
