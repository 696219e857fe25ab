// WdfUsbTargetDeviceCreate on well-formed and broken devices, and what the
// created target knows: descriptors, interfaces, device information.
#include <cstring>

#include "usb_test_support.h"

namespace usb_test {
namespace {

size_t live_of_type(wdf::object_type type) {
    size_t n = 0;
    for (wdf::object* obj : wdf::live_objects()) {
        if (obj->type() == type) n++;
    }
    return n;
}

using target_create = usb_host_test;

TEST_F(target_create, every_catalogue_device_gets_a_target_with_its_interfaces) {
    for (const auto& entry : sim::usb::catalogue::entries()) {
        SCOPED_TRACE(entry.name);
        descriptor_set set = entry.make({});
        auto dev = std::make_shared<sim::usb::device>(set);
        size_t functions = sim::usb::split_functions(set).size();
        for (size_t f = 0; f < functions; ++f) {
            WDFDEVICE d = bind(dev, f);
            WDFUSBDEVICE usb = nullptr;
            ASSERT_EQ(WdfUsbTargetDeviceCreate(d, WDF_NO_OBJECT_ATTRIBUTES, &usb), STATUS_SUCCESS);
            auto view = sim::usb::split_functions(set)[f].descriptors;
            sim::usb::parsed_configuration parsed = sim::usb::parse_configuration(view->configurations[0]);
            ASSERT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), parsed.interfaces.size());
            for (UCHAR i = 0; i < parsed.interfaces.size(); ++i) {
                WDFUSBINTERFACE itf = WdfUsbTargetDeviceGetInterface(usb, i);
                ASSERT_NE(itf, nullptr);
                EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(itf), parsed.interfaces[i].number);
                EXPECT_EQ(WdfUsbInterfaceGetNumSettings(itf), parsed.interfaces[i].settings.size());
            }
            EXPECT_EQ(WdfUsbTargetDeviceGetInterface(usb, static_cast<UCHAR>(parsed.interfaces.size())), nullptr);
            EXPECT_EQ(WdfIoTargetGetDevice(WdfUsbTargetDeviceGetIoTarget(usb)), d);
            EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetDeviceGetIoTarget(usb)), WdfIoTargetStarted);
        }
    }
}

TEST_F(target_create, real_descriptor_files_give_targets) {
    struct expectation {
        const char* file;
        size_t interfaces;  // of the first function
    };
    for (const expectation& e : {expectation{"tinyusb-cdc_dual_ports.bin", 2},
                                 expectation{"qemu-usb_net-cfgidx1_ecm.bin", 2}, expectation{"dump-ch340.bin", 1}}) {
        SCOPED_TRACE(e.file);
        sim::usb::sysfs_load_result loaded = sim::usb::load_sysfs_file(real_descriptor_file(e.file));
        ASSERT_TRUE(loaded.ok()) << loaded.error;
        WDFUSBDEVICE usb = create(loaded.descriptors);
        ASSERT_NE(usb, nullptr);
        EXPECT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), e.interfaces);
        EXPECT_EQ(select_all(usb), STATUS_SUCCESS);
    }
}

TEST_F(target_create, reads_the_device_and_first_configuration_descriptors_from_the_device) {
    WDFUSBDEVICE usb = create(simple_device());
    std::vector<transfer_record> traffic = control_traffic();
    ASSERT_EQ(traffic.size(), 3u);
    EXPECT_EQ(traffic[0].packet().wValue, 0x0100);
    EXPECT_EQ(traffic[0].packet().wLength, 18);
    EXPECT_EQ(traffic[1].packet().wValue, 0x0200);
    EXPECT_EQ(traffic[1].packet().wLength, 9);
    EXPECT_EQ(traffic[2].packet().wValue, 0x0200);
    EXPECT_EQ(traffic[2].packet().wLength, device_->descriptors().configurations[0].size());

    USB_DEVICE_DESCRIPTOR descriptor;
    WdfUsbTargetDeviceGetDeviceDescriptor(usb, &descriptor);
    EXPECT_EQ(std::memcmp(&descriptor, &device_->descriptors().device, sizeof(descriptor)), 0);
}

TEST_F(target_create, config_descriptor_comes_in_two_calls) {
    WDFUSBDEVICE usb = create(sim::usb::catalogue::acm_modem());
    const std::vector<uint8_t>& expected = device_->descriptors().configurations[0];
    USHORT size = 0;
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb, nullptr, &size), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, expected.size());
    std::vector<uint8_t> small(size - 1);
    USHORT small_size = static_cast<USHORT>(small.size());
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb, small.data(), &small_size), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small_size, expected.size());
    std::vector<uint8_t> bytes(size);
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb, bytes.data(), &size), STATUS_SUCCESS);
    EXPECT_EQ(bytes, expected);
}

TEST_F(target_create, a_composite_function_sees_only_its_own_interfaces) {
    WDFUSBDEVICE usb = create(sim::usb::catalogue::dual_acm_composite(), 1);
    ASSERT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), 2);
    EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(WdfUsbTargetDeviceGetInterface(usb, 0)), 2);
    EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(WdfUsbTargetDeviceGetInterface(usb, 1)), 3);
}

TEST_F(target_create, a_device_without_a_usb_binding_is_refused) {
    auto* d = new wdf::device();
    ASSERT_EQ(wdf::attach(d, nullptr, nullptr, "test"), STATUS_SUCCESS);
    devices_.push_back(d);
    WDFUSBDEVICE usb = reinterpret_cast<WDFUSBDEVICE>(1);
    EXPECT_EQ(WdfUsbTargetDeviceCreate(reinterpret_cast<WDFDEVICE>(d->handle()), nullptr, &usb),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(usb, nullptr);
}

TEST_F(target_create, an_injected_fault_fails_creation_before_any_traffic) {
    WDFDEVICE d = bind(simple_device());
    sim::fault_fail_nth("WdfUsbTargetDeviceCreate", 1);
    WDFUSBDEVICE usb = nullptr;
    EXPECT_EQ(WdfUsbTargetDeviceCreate(d, nullptr, &usb), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(usb, nullptr);
    EXPECT_TRUE(device_->traffic().empty());
    EXPECT_EQ(live_of_type(wdf::object_type::usb_device), 0u);
}

TEST_F(target_create, each_allocation_of_creation_can_fail_and_leaves_nothing) {
    descriptor_set set = sim::usb::catalogue::ecm_adapter();
    for (unsigned nth = 1; nth <= 3; ++nth) {
        SCOPED_TRACE(nth);
        WDFDEVICE d = bind(set);
        sim::fault_reset();
        sim::fault_fail_nth("WdfUsbTargetDeviceCreate", nth);
        WDFUSBDEVICE usb = nullptr;
        EXPECT_EQ(WdfUsbTargetDeviceCreate(d, nullptr, &usb), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(live_of_type(wdf::object_type::usb_device), 0u);
        EXPECT_EQ(live_of_type(wdf::object_type::usb_interface), 0u);
    }
}

TEST_F(target_create, an_unplugged_device_fails_creation) {
    WDFDEVICE d = bind(simple_device());
    device_->set_connected(false);
    WDFUSBDEVICE usb = nullptr;
    EXPECT_EQ(WdfUsbTargetDeviceCreate(d, nullptr, &usb), STATUS_NO_SUCH_DEVICE);
}

TEST_F(target_create, a_stalled_descriptor_request_fails_creation) {
    WDFDEVICE d = bind(simple_device());
    device_->fail_next_control(sim::usb::match::get_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE));
    WDFUSBDEVICE usb = nullptr;
    EXPECT_EQ(WdfUsbTargetDeviceCreate(d, nullptr, &usb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(live_of_type(wdf::object_type::usb_device), 0u);
}

TEST_F(target_create, a_device_that_never_answers_fails_creation_after_five_seconds) {
    WDFDEVICE d = bind(simple_device());
    device_->hold_next_control(sim::usb::match::get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE));
    WDFUSBDEVICE usb = nullptr;
    const int64_t before = sim::clock_now();
    EXPECT_EQ(WdfUsbTargetDeviceCreate(d, nullptr, &usb), STATUS_IO_TIMEOUT);
    EXPECT_EQ(sim::clock_now() - before, int64_t{5} * 10000000);
    EXPECT_EQ(usb, nullptr);
    EXPECT_EQ(live_of_type(wdf::object_type::usb_device), 0u);
}

// ---- Broken descriptors --------------------------------------------------------

struct broken_case {
    const char* name;
    descriptor_set (*make)();
    NTSTATUS status;
};

descriptor_builder valid_start() {
    descriptor_builder b;
    b.device(0x1234, 0x0bad, 0xff).configuration().interface(0, 0, 0xff, 0, 0);
    return b;
}

const broken_case broken_cases[] = {
    {"zero_blength",
     [] {
         return valid_start().endpoint(0x81, endpoint_type::bulk, 64).raw({0x00, 0x24, 0x00}).build();
     },
     STATUS_INVALID_PARAMETER},
    {"blength_one", [] { return valid_start().raw({0x01}).endpoint(0x81, endpoint_type::bulk, 64).build(); },
     STATUS_INVALID_PARAMETER},
    {"descriptor_past_total_length",
     [] { return valid_start().endpoint(0x81, endpoint_type::bulk, 64).total_length(9 + 9 + 3).build(); },
     STATUS_INVALID_PARAMETER},
    {"total_length_larger_than_the_bytes_sent",
     [] { return valid_start().endpoint(0x81, endpoint_type::bulk, 64).total_length(200).build(); },
     STATUS_DEVICE_DATA_ERROR},
    {"truncated_configuration",
     [] { return valid_start().endpoint(0x81, endpoint_type::bulk, 64).truncate(20).build(); },
     STATUS_DEVICE_DATA_ERROR},
    {"total_length_below_header", [] { return valid_start().total_length(5).build(); }, STATUS_DEVICE_DATA_ERROR},
    {"header_shorter_than_nine",
     [] {
         descriptor_set set = valid_start().build();
         set.configurations[0] = {5, USB_CONFIGURATION_DESCRIPTOR_TYPE, 5, 0, 1};
         return set;
     },
     STATUS_DEVICE_DATA_ERROR},
    {"configuration_of_the_wrong_type",
     [] {
         descriptor_set set = valid_start().build();
         set.configurations[0][1] = USB_INTERFACE_DESCRIPTOR_TYPE;
         return set;
     },
     STATUS_DEVICE_DATA_ERROR},
    {"device_descriptor_with_wrong_length",
     [] {
         descriptor_set set = valid_start().build();
         set.device.bLength = 17;
         return set;
     },
     STATUS_DEVICE_DATA_ERROR},
    {"no_interface_descriptor",
     [] { return descriptor_builder().device(0x1234, 0x0bad, 0xff).configuration().num_interfaces(1).build(); },
     STATUS_INVALID_PARAMETER},
    {"zero_interfaces", [] { return valid_start().num_interfaces(0).build(); }, STATUS_INVALID_PARAMETER},
    {"short_endpoint_descriptor",
     [] {
         return valid_start().raw({6, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, 2, 64, 0}).build();
     },
     STATUS_INVALID_PARAMETER},
    {"short_interface_descriptor",
     [] {
         return descriptor_builder()
             .device(0x1234, 0x0bad, 0xff)
             .configuration()
             .interface(0, 0, 0xff, 0, 0)
             .raw({8, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 0, 0xff, 0, 0})
             .build();
     },
     STATUS_INVALID_PARAMETER},
};

class broken_descriptors : public usb_host_test, public ::testing::WithParamInterface<broken_case> {};

TEST_P(broken_descriptors, creation_fails_and_leaves_no_object) {
    WDFDEVICE d = bind(GetParam().make());
    WDFUSBDEVICE usb = reinterpret_cast<WDFUSBDEVICE>(1);
    EXPECT_EQ(WdfUsbTargetDeviceCreate(d, nullptr, &usb), GetParam().status);
    EXPECT_EQ(usb, nullptr);
    EXPECT_EQ(live_of_type(wdf::object_type::usb_device), 0u);
    EXPECT_EQ(live_of_type(wdf::object_type::usb_interface), 0u);
}

INSTANTIATE_TEST_SUITE_P(kinds, broken_descriptors, ::testing::ValuesIn(broken_cases),
                         [](const ::testing::TestParamInfo<broken_case>& info) { return info.param.name; });

// ---- Device information ----------------------------------------------------------

WDF_USB_DEVICE_INFORMATION information(WDFUSBDEVICE usb) {
    WDF_USB_DEVICE_INFORMATION info;
    WDF_USB_DEVICE_INFORMATION_INIT(&info);
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveInformation(usb, &info), STATUS_SUCCESS);
    return info;
}

TEST_F(target_create, information_reports_version_and_traits) {
    sim::usb::catalogue::device_options high;
    high.speed = sim::usb::usb_speed::high;
    WDF_USB_DEVICE_INFORMATION acm = information(create(sim::usb::catalogue::acm_modem()));
    EXPECT_EQ(acm.UsbdVersionInformation.USBDI_Version, 0x600u);
    EXPECT_EQ(acm.UsbdVersionInformation.Supported_USB_Version, 0x0200u);
    EXPECT_EQ(acm.Traits, static_cast<ULONG>(WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE));
    EXPECT_EQ(information(create(sim::usb::catalogue::obex_phone())).Traits,
              static_cast<ULONG>(WDF_USB_DEVICE_TRAIT_SELF_POWERED));
    EXPECT_EQ(information(create(sim::usb::catalogue::vendor_serial_2ep(high))).Traits,
              static_cast<ULONG>(WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED));
    sim::usb::catalogue::device_options everything = high;
    everything.self_powered = true;
    everything.remote_wakeup = true;
    EXPECT_EQ(information(create(sim::usb::catalogue::eem_adapter(everything))).Traits, 7u);
}

TEST_F(target_create, information_needs_the_right_size) {
    WDFUSBDEVICE usb = create(simple_device());
    WDF_USB_DEVICE_INFORMATION info;
    WDF_USB_DEVICE_INFORMATION_INIT(&info);
    info.Size = 16;
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveInformation(usb, &info), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveInformation(usb, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(target_create, port_operations_and_connection_state) {
    WDFUSBDEVICE usb = create(simple_device());
    ASSERT_EQ(select_all(usb), STATUS_SUCCESS);
    EXPECT_EQ(WdfUsbTargetDeviceIsConnectedSynchronous(usb), STATUS_SUCCESS);
    EXPECT_EQ(WdfUsbTargetDeviceResetPortSynchronously(usb), STATUS_SUCCESS);
    EXPECT_EQ(device_->port_resets(), 1u);
    EXPECT_EQ(device_->configuration(), 1);  // restored after the reset
    EXPECT_EQ(WdfUsbTargetDeviceCyclePortSynchronously(usb), STATUS_SUCCESS);
    EXPECT_EQ(device_->port_cycles(), 1u);
    device_->set_connected(false);
    EXPECT_EQ(WdfUsbTargetDeviceIsConnectedSynchronous(usb), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(WdfUsbTargetDeviceResetPortSynchronously(usb), STATUS_NO_SUCH_DEVICE);
}

using target_create_DeathTest = usb_host_death_test;

TEST_F(target_create_DeathTest, creation_above_passive_level_is_a_bug_check) {
    WDFDEVICE d = bind(simple_device());
    EXPECT_DEATH(
        {
            sim::irql_raise(DISPATCH_LEVEL);
            WDFUSBDEVICE usb;
            WdfUsbTargetDeviceCreate(d, nullptr, &usb);
        },
        "BUGCHECK 0x000000D1: called at IRQL 2, above the allowed 0.*caller WdfUsbTargetDeviceCreate");
}

TEST_F(target_create_DeathTest, a_deleted_target_handle_is_a_bug_check) {
    WDFUSBDEVICE usb = create(simple_device());
    wdf::delete_object(reinterpret_cast<wdf::object*>(usb));
    EXPECT_DEATH(WdfUsbTargetDeviceGetNumInterfaces(usb), "use of a deleted handle");
}

}  // namespace
}  // namespace usb_test
