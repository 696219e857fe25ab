// Device add: role selection, what each role installs, and failures of the
// creation steps.
#include <cstring>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "support/driver_fixture.h"

namespace {

using cdc_test::driver_fixture;

class device_add : public driver_fixture {
 protected:
    static sim::device_stack_config usb_device(const std::string& enumerator = "USB") {
        sim::device_stack_config config;
        config.enumerator = enumerator;
        return config;
    }
};

TEST_F(device_add, usb_enumerator_in_any_case_is_the_usb_role) {
    ASSERT_EQ(load(), STATUS_SUCCESS);
    for (const char* name : {"USB", "usb", "Usb"}) {
        sim::debugger_clear();
        auto& stack = host.add_device(usb_device(name));
        EXPECT_EQ(stack.add_status(), STATUS_SUCCESS) << name;
        EXPECT_TRUE(has_line(std::string("device_is_usb: the enumerator is ") + name));
        EXPECT_TRUE(has_line("usb_evt_device_add: entered, is usb 1"));
        EXPECT_TRUE(has_line("usb_evt_device_add: done"));
        const auto& pnp = stack.pnp_callbacks();
        EXPECT_NE(pnp.EvtDevicePrepareHardware, nullptr);
        EXPECT_NE(pnp.EvtDeviceSelfManagedIoSuspend, nullptr);
        EXPECT_NE(pnp.EvtDeviceSelfManagedIoRestart, nullptr);
        EXPECT_EQ(pnp.EvtDeviceSurpriseRemoval, nullptr);
        EXPECT_TRUE(stack.owns_child_list());
    }
}

TEST_F(device_add, usb_role_registers_interface_capabilities_and_bus_information) {
    ASSERT_EQ(load(), STATUS_SUCCESS);
    auto& stack = host.add_device(usb_device());
    ASSERT_EQ(stack.add_status(), STATUS_SUCCESS);

    EXPECT_EQ(stack.io_type(), WdfDeviceIoBuffered);
    const auto& list = stack.child_list_config();
    EXPECT_EQ(list.IdentificationDescriptionSize, 216u);
    EXPECT_EQ(list.AddressDescriptionSize, 0u);
    EXPECT_NE(list.EvtChildListCreateDevice, nullptr);
    EXPECT_NE(list.EvtChildListScanForChildren, nullptr);
    EXPECT_EQ(list.EvtChildListIdentificationDescriptionCompare, nullptr);
    EXPECT_EQ(list.EvtChildListIdentificationDescriptionCopy, nullptr);

    auto interfaces = stack.interfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].class_guid, "{c671678c-82c1-43f3-d700-0049433e9a4b}");
    EXPECT_EQ(interfaces[0].symbolic_link,
              "\\??\\USB#VID_1234&PID_5678#6&1a2b3c4d&0&0001#{c671678c-82c1-43f3-d700-0049433e9a4b}");

    const WDF_DEVICE_PNP_CAPABILITIES* caps = stack.pnp_capabilities();
    ASSERT_NE(caps, nullptr);
    EXPECT_EQ(caps->SurpriseRemovalOK, WdfTrue);
    EXPECT_EQ(caps->Removable, WdfUseDefault);
    EXPECT_EQ(caps->EjectSupported, WdfUseDefault);
    EXPECT_EQ(caps->Address, 0xFFFFFFFFu);
    EXPECT_EQ(caps->UINumber, 0xFFFFFFFFu);

    const PNP_BUS_INFORMATION* bus = stack.bus_information();
    ASSERT_NE(bus, nullptr);
    EXPECT_TRUE(IsEqualGUID(bus->BusTypeGuid, GUID_BUS_TYPE_INTERNAL));
    EXPECT_EQ(bus->LegacyBusType, PNPBus);
    EXPECT_EQ(bus->BusNumber, 0u);

    auto* fdx = static_cast<DEVICE_CONTEXT*>(stack.context("DEVICE_CONTEXT"));
    ASSERT_NE(fdx, nullptr);
    // Zeroed, but for the data path's lock: a free synchronization event.
    EXPECT_EQ(fdx->enable_lock.Header.Type, SynchronizationEvent);
    EXPECT_EQ(fdx->enable_lock.Header.SignalState, 1);
    DEVICE_CONTEXT copy;
    memcpy(&copy, fdx, sizeof(copy));
    memset(&copy.enable_lock, 0, sizeof(copy.enable_lock));
    DEVICE_CONTEXT zero{};
    EXPECT_EQ(memcmp(&copy, &zero, sizeof(zero)), 0);
}

TEST_F(device_add, root_device_is_refused_while_the_feature_is_off) {
    ASSERT_EQ(load(), STATUS_SUCCESS);
    auto& stack = host.add_device(root_device());
    EXPECT_EQ(stack.add_status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stack.device(), nullptr);
    EXPECT_TRUE(has_line("device_is_usb: the enumerator is ROOT"));
    EXPECT_TRUE(has_line("usb_evt_device_add: entered, is usb 0"));
    EXPECT_TRUE(has_line("usb_evt_device_add: control device feature is off"));
}

TEST_F(device_add, control_mode_gives_the_child_list_to_the_control_device_only) {
    set_parameter("UseControlDevice", 1);
    ASSERT_EQ(load(), STATUS_SUCCESS);

    auto& control = host.add_device(root_device());
    ASSERT_EQ(control.add_status(), STATUS_SUCCESS);
    EXPECT_TRUE(control.owns_child_list());
    const auto& pnp = control.pnp_callbacks();
    EXPECT_NE(pnp.EvtDevicePrepareHardware, nullptr);
    EXPECT_NE(pnp.EvtDeviceD0Entry, nullptr);
    EXPECT_EQ(pnp.EvtDeviceSelfManagedIoSuspend, nullptr);
    EXPECT_EQ(pnp.EvtDeviceSelfManagedIoRestart, nullptr);

    auto& usb = host.add_device(usb_device());
    ASSERT_EQ(usb.add_status(), STATUS_SUCCESS);
    EXPECT_FALSE(usb.owns_child_list());
    EXPECT_EQ(usb.child_list(), nullptr);
    EXPECT_NE(usb.pnp_callbacks().EvtDevicePrepareHardware, control.pnp_callbacks().EvtDevicePrepareHardware);

    // Both roles register the same interface class and bus type.
    ASSERT_EQ(control.interfaces().size(), 1u);
    EXPECT_EQ(control.interfaces()[0].class_guid, usb.interfaces()[0].class_guid);
    EXPECT_EQ(control.interfaces()[0].symbolic_link, "\\??\\ROOT#CDCBUS#0000#{c671678c-82c1-43f3-d700-0049433e9a4b}");
    EXPECT_EQ(control.bus_information()->LegacyBusType, PNPBus);
}

TEST_F(device_add, a_second_control_device_passes_until_the_first_prepares_hardware) {
    set_parameter("UseControlDevice", 1);
    ASSERT_EQ(load(), STATUS_SUCCESS);
    auto& first = host.add_device(root_device());
    ASSERT_EQ(first.add_status(), STATUS_SUCCESS);
    auto second_config = root_device();
    second_config.instance_id = "0001";
    EXPECT_EQ(host.add_device(second_config).add_status(), STATUS_SUCCESS);
}

TEST_F(device_add, creation_failures_are_returned_unchanged) {
    struct failure {
        const char* site;
        const char* message;
    };
    const failure failures[] = {
        {"WdfFdoInitQueryProperty", "device_is_usb: failed query for enumerator"},
        {"WdfDeviceCreate", "WdfDeviceCreate failed 0xc0000017"},
        {"WdfDeviceCreateDeviceInterface", "usb_evt_device_add: WdfDeviceCreateDeviceInterface failed 0xc0000017"},
    };
    ASSERT_EQ(load(), STATUS_SUCCESS);
    for (const auto& f : failures) {
        sim::debugger_clear();
        sim::fault_fail_nth(f.site, 1, STATUS_NO_MEMORY);
        auto& stack = host.add_device(usb_device());
        EXPECT_EQ(stack.add_status(), STATUS_NO_MEMORY) << f.site;
        EXPECT_EQ(stack.device(), nullptr) << f.site;
        EXPECT_TRUE(has_line(f.message)) << f.site;
        EXPECT_FALSE(has_line("usb_evt_device_add: done")) << f.site;
        sim::fault_reset();
    }
}

TEST_F(device_add, device_cleanup_traces_at_verbose_level) {
    set_parameter("DebugLevel", 4);
    ASSERT_EQ(load(), STATUS_SUCCESS);
    auto& stack = host.add_device(usb_device());
    char expected[96];
    snprintf(expected, sizeof(expected), "usb_evt_device_context_cleanup: entered, device %016llX",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(stack.device())));
    host.remove_device(stack);
    EXPECT_TRUE(has_line(expected));
}

}  // namespace
