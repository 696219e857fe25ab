// PDO init and PDO devices: what a bus driver says about a child and what the
// PnP manager sees of it; and the verifier's rules for both.
#include <gtest/gtest.h>

#include "sim/strings.h"
#include "tests/wdf/test_bus_driver.h"

namespace test_bus {
namespace {

const GUID raw_class = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

class pdo : public bus_test {
 protected:
    // The status the last create callback ended with.
    NTSTATUS last_create = STATUS_PENDING;

    void use_standard_pdo_recording_status() {
        config().create = [this](WDFCHILDLIST, child_description* d, PWDFDEVICE_INIT init) {
            WDFDEVICE device;
            last_create = standard_pdo(init, *d, &device);
            return last_create;
        };
    }
};

// Everything a PDO can say about itself, from buffers the driver reuses
// at once: the framework must keep copies.
NTSTATUS describe_a_modem(WDFCHILDLIST, child_description* d, PWDFDEVICE_INIT init) {
    std::u16string buffer;
    auto assign = [&](NTSTATUS (*fn)(PWDFDEVICE_INIT, PCUNICODE_STRING), const char* utf8) {
        buffer = sim::to_utf16(utf8);
        UNICODE_STRING s = counted(buffer);
        NTSTATUS status = fn(init, &s);
        buffer.assign(buffer.size(), u'#');
        return status;
    };
    EXPECT_EQ(assign(WdfPdoInitAssignDeviceID, "usbcdcacm\\VID_1234&PID_5678"), STATUS_SUCCESS);
    EXPECT_EQ(assign(WdfPdoInitAssignInstanceID, "6&1a2b3c4d&0&0001_00"), STATUS_SUCCESS);
    EXPECT_EQ(assign(WdfPdoInitAddHardwareID, "usbcdcacm\\VID_1234&PID_5678&REV_0100"), STATUS_SUCCESS);
    EXPECT_EQ(assign(WdfPdoInitAddHardwareID, "usbcdcacm\\VID_1234&PID_5678"), STATUS_SUCCESS);
    EXPECT_EQ(assign(WdfPdoInitAddCompatibleID, "usbcdcacm\\compat"), STATUS_SUCCESS);
    EXPECT_EQ(assign(WdfPdoInitAssignContainerID, "{00000000-0000-0000-ffff-ffffffffffff}"), STATUS_SUCCESS);
    std::u16string en = sim::to_utf16("Modem \xc3\xbc"), en_loc = u"Port 1", de = u"Modem DE", de_loc = u"Anschluss 1";
    UNICODE_STRING a = counted(en), b = counted(en_loc), c = counted(de), e = counted(de_loc);
    EXPECT_EQ(WdfPdoInitAddDeviceText(init, &a, &b, 0x409), STATUS_SUCCESS);
    EXPECT_EQ(WdfPdoInitAddDeviceText(init, &c, &e, 0x407), STATUS_SUCCESS);
    en.assign(en.size(), u'#');
    WdfPdoInitSetDefaultLocale(init, 0x407);
    WdfDeviceInitSetDeviceType(init, FILE_DEVICE_SERIAL_PORT);
    EXPECT_EQ(WdfPdoInitAssignRawDevice(init, &raw_class), STATUS_SUCCESS);
    WdfPdoInitAllowForwardingRequestToParent(init);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, child_context);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) return status;
    EXPECT_EQ(init, nullptr);
    static_cast<child_context*>(WdfObjectGetTypedContext(device, child_context))->serial = d->serial;
    WDF_DEVICE_PNP_CAPABILITIES caps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
    caps.Address = 5;
    caps.UINumber = 7;
    WdfDeviceSetPnpCapabilities(device, &caps);
    return STATUS_SUCCESS;
}

TEST_F(pdo, identifiers_texts_and_locale_are_captured_as_utf8) {
    config().create = describe_a_modem;
    start_bus();
    report(1);
    host.settle();
    std::vector<sim::child_info> children = host.children(*bus);
    ASSERT_EQ(children.size(), 1u);
    const sim::child_info& child = children[0];

    EXPECT_EQ(child.device_id, "usbcdcacm\\VID_1234&PID_5678");
    EXPECT_EQ(child.instance_id, "6&1a2b3c4d&0&0001_00");
    EXPECT_EQ(child.instance_path, "usbcdcacm\\VID_1234&PID_5678\\6&1a2b3c4d&0&0001_00");
    EXPECT_EQ(child.hardware_ids,
              (std::vector<std::string>{"usbcdcacm\\VID_1234&PID_5678&REV_0100", "usbcdcacm\\VID_1234&PID_5678"}));
    EXPECT_EQ(child.compatible_ids, std::vector<std::string>{"usbcdcacm\\compat"});
    EXPECT_EQ(child.container_id, "{00000000-0000-0000-ffff-ffffffffffff}");
    EXPECT_EQ(child.locale, 0x407u);
    EXPECT_EQ(child.device_text, "Modem DE");
    EXPECT_EQ(child.location_text, "Anschluss 1");
    ASSERT_EQ(child.texts.size(), 2u);
    EXPECT_EQ(child.texts[0].description, "Modem \xc3\xbc");
    EXPECT_EQ(child.device_type, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_TRUE(child.raw);
    EXPECT_EQ(child.raw_class_guid, "{4d36e978-e325-11ce-bfc1-08002be10318}");
    EXPECT_TRUE(child.forwards_to_parent);
    EXPECT_TRUE(child.pnp_capabilities_set);
    EXPECT_EQ(child.pnp_capabilities.Address, 5u);
    EXPECT_EQ(child.pnp_capabilities.UINumber, 7u);
    EXPECT_TRUE(child.bus_information_set);
    EXPECT_EQ(child.bus_information.BusNumber, 7u);
    EXPECT_EQ(child.parent, bus->device());
    EXPECT_EQ(child.start_status, STATUS_SUCCESS);
    child_description expected = make_description(1);
    ASSERT_EQ(child.description.size(), sizeof(expected));
    EXPECT_EQ(memcmp(child.description.data(), &expected, sizeof(expected)), 0);

    // The PnP manager asks in en-US: that text, not the default locale's.
    WCHAR text[64] = {};
    ULONG length = 0;
    ASSERT_EQ(WdfDeviceQueryProperty(child.device, DevicePropertyDeviceDescription, sizeof(text), text, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::to_utf8(text), "Modem \xc3\xbc");
}

TEST_F(pdo, a_second_text_for_a_locale_replaces_the_first_and_no_default_shows_the_first) {
    config().create = [](WDFCHILDLIST, child_description* d, PWDFDEVICE_INIT init) {
        std::u16string id = u"testbus\\X", one = u"one", two = u"two", three = u"three", loc = u"here";
        UNICODE_STRING s = counted(id), a = counted(one), b = counted(two), c = counted(three), l = counted(loc);
        WdfPdoInitAssignDeviceID(init, &s);
        WdfPdoInitAddDeviceText(init, &a, &l, 0x409);
        WdfPdoInitAddDeviceText(init, &b, &l, 0x407);
        WdfPdoInitAddDeviceText(init, &c, &l, 0x409);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, child_context);
        WDFDEVICE device;
        NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
        if (NT_SUCCESS(status)) WdfObjectGetTypedContext(device, child_context)->serial = d->serial;
        return status;
    };
    start_bus();
    report(1);
    host.settle();
    std::vector<sim::child_info> children = host.children(*bus);
    ASSERT_EQ(children.size(), 1u);
    ASSERT_EQ(children[0].texts.size(), 2u);
    EXPECT_EQ(children[0].locale, 0x409u);
    EXPECT_EQ(children[0].device_text, "three");
}

TEST_F(pdo, malformed_strings_are_refused_and_a_pdo_needs_a_device_id) {
    NTSTATUS create_status = STATUS_PENDING;
    config().create = [&create_status](WDFCHILDLIST, child_description*, PWDFDEVICE_INIT init) {
        std::u16string text = u"abc", empty;
        UNICODE_STRING odd = counted(text);
        odd.Length = 3;
        UNICODE_STRING none = counted(empty);
        EXPECT_EQ(WdfPdoInitAssignDeviceID(init, nullptr), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(WdfPdoInitAssignDeviceID(init, &odd), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(WdfPdoInitAssignDeviceID(init, &none), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(WdfPdoInitAssignInstanceID(init, &none), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(WdfPdoInitAddHardwareID(init, nullptr), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(WdfPdoInitAddDeviceText(init, nullptr, &none, 0x409), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(WdfPdoInitAssignRawDevice(init, nullptr), STATUS_INVALID_PARAMETER);
        WDFDEVICE device;
        create_status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
        return create_status;
    };
    start_bus();
    report(1);
    host.settle();
    EXPECT_EQ(create_status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(host.children(*bus).empty());
}

TEST_F(pdo, each_allocating_init_call_can_fail_and_the_child_is_then_dropped) {
    use_standard_pdo_recording_status();
    start_bus();
    const char* sites[] = {"WdfPdoInitAssignDeviceID",   "WdfPdoInitAddHardwareID", "WdfPdoInitAddCompatibleID",
                           "WdfPdoInitAssignInstanceID", "WdfPdoInitAddDeviceText", "WdfDeviceCreate"};
    ULONG serial = 1;
    for (const char* site : sites) {
        sim::fault_fail_nth(site, 1, STATUS_NO_MEMORY);
        report(serial++);
        host.settle();
        EXPECT_EQ(last_create, STATUS_NO_MEMORY) << site;
        EXPECT_TRUE(host.children(*bus).empty()) << site;
        sim::fault_reset();
    }
    report(serial);
    host.settle();
    EXPECT_EQ(serials(), std::vector<ULONG>{serial});
}

TEST_F(pdo, a_pdo_knows_its_parent_and_its_description) {
    start_bus();
    report(3);
    host.settle();
    WDFDEVICE child = pdo_of(3);
    EXPECT_EQ(WdfPdoGetParent(child), bus->device());
    child_description d = make_description(0);
    EXPECT_EQ(WdfPdoRetrieveIdentificationDescription(child, &d.header), STATUS_SUCCESS);
    EXPECT_EQ(d.serial, 3u);
    d.header.IdentificationDescriptionSize = 4;
    EXPECT_EQ(WdfPdoRetrieveIdentificationDescription(child, &d.header), STATUS_INVALID_DEVICE_REQUEST);
    ULONG length = 0;
    WCHAR name[64];
    ASSERT_EQ(WdfDeviceQueryProperty(child, DevicePropertyPhysicalDeviceObjectName, sizeof(name), name, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::to_utf8(name), "\\Device\\00000001");
}

// ---- Verifier ----------------------------------------------------------------------

class pdo_verifier : public bus_death_test {};

PWDFDEVICE_INIT g_kept_init = nullptr;

TEST_F(pdo_verifier, a_pdo_init_used_after_its_create_callback_is_a_bug_check) {
    config().create = [](WDFCHILDLIST, child_description* d, PWDFDEVICE_INIT init) {
        g_kept_init = init;
        WDFDEVICE device;
        return standard_pdo(init, *d, &device);
    };
    start_bus();
    report(1);
    host.settle();
    std::u16string id = u"testbus\\late";
    UNICODE_STRING s = counted(id);
    EXPECT_DEATH(WdfPdoInitAssignDeviceID(g_kept_init, &s), "PDO init used after the EvtChildListCreateDevice call");
}

TEST_F(pdo_verifier, device_create_twice_with_one_init_is_a_bug_check) {
    config().create = [](WDFCHILDLIST, child_description* d, PWDFDEVICE_INIT init) {
        PWDFDEVICE_INIT again = init;
        WDFDEVICE device;
        standard_pdo(init, *d, &device);
        return WdfDeviceCreate(&again, WDF_NO_OBJECT_ATTRIBUTES, &device);
    };
    start_bus();
    report(1);
    EXPECT_DEATH(host.settle(), "used after WdfDeviceCreate consumed it");
}

TEST_F(pdo_verifier, pdo_init_calls_on_a_function_devices_init_are_a_bug_check) {
    config().on_device_add = [](PWDFDEVICE_INIT init) { WdfPdoInitSetDefaultLocale(init, 0x409); };
    EXPECT_DEATH(start_bus(), "PDO init function called on a function device's init");
}

TEST_F(pdo_verifier, pdo_calls_on_a_function_device_are_a_bug_check) {
    start_bus();
    EXPECT_DEATH(WdfPdoGetParent(bus->device()), "PDO function called on a function device");
}

TEST_F(pdo_verifier, freeing_the_framework_owned_child_init_is_a_bug_check) {
    config().create = [](WDFCHILDLIST, child_description*, PWDFDEVICE_INIT init) {
        WdfDeviceInitFree(init);
        return STATUS_UNSUCCESSFUL;
    };
    start_bus();
    report(1);
    EXPECT_DEATH(host.settle(), "WdfDeviceInitFree on an init the framework owns");
}

TEST_F(pdo_verifier, the_driver_may_not_delete_a_pdo) {
    start_bus();
    report(1);
    host.settle();
    EXPECT_DEATH(WdfObjectDelete(pdo_of(1)), "may not delete a framework-owned WDFDEVICE");
}

TEST_F(pdo_verifier, two_children_with_the_same_ids_are_a_duplicate_pdo) {
    config().create = [](WDFCHILDLIST, child_description* d, PWDFDEVICE_INIT init) {
        child_description same = *d;
        same.flavour = 0;
        WDFDEVICE device;
        return standard_pdo(init, same, &device);
    };
    start_bus();
    report(1, 0);
    report(1, 5);
    EXPECT_DEATH(host.settle(), "BUGCHECK 0x000000CA: duplicate PDO");
}

TEST_F(pdo_verifier, an_id_with_a_space_is_refused_by_the_pnp_manager) {
    config().create = [](WDFCHILDLIST, child_description*, PWDFDEVICE_INIT init) {
        std::u16string id = u"testbus\\bad id";
        UNICODE_STRING s = counted(id);
        WdfPdoInitAssignDeviceID(init, &s);
        WDFDEVICE device;
        return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    };
    start_bus();
    report(1);
    EXPECT_DEATH(host.settle(), "BUGCHECK 0x000000CA: invalid ID");
}

TEST_F(pdo_verifier, a_create_callback_returning_at_raised_irql_is_a_bug_check) {
    config().create = [](WDFCHILDLIST, child_description*, PWDFDEVICE_INIT) {
        sim::irql_raise(DISPATCH_LEVEL);
        return STATUS_UNSUCCESSFUL;
    };
    start_bus();
    report(1);
    EXPECT_DEATH(host.settle(), "callback returned at raised IRQL.*EvtChildListCreateDevice");
}

TEST_F(pdo_verifier, scan_and_iteration_ends_without_a_begin_are_bug_checks) {
    start_bus();
    EXPECT_DEATH(WdfChildListEndScan(list()), "WdfChildListEndScan without WdfChildListBeginScan");
    WDF_CHILD_LIST_ITERATOR iterator;
    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrieveAllChildren);
    EXPECT_DEATH(WdfChildListEndIteration(list(), &iterator), "WdfChildListEndIteration without");
    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, 0x10);
    EXPECT_DEATH(WdfChildListBeginIteration(list(), &iterator), "iterator with invalid Flags");
}

TEST_F(pdo_verifier, a_device_handle_as_a_child_list_is_a_bug_check) {
    start_bus();
    EXPECT_DEATH(WdfChildListBeginScan(reinterpret_cast<WDFCHILDLIST>(bus->device())),
                 "handle of the wrong type \\(WDFDEVICE where WDFCHILDLIST was expected\\).*WdfChildListBeginScan");
}

TEST_F(pdo_verifier, a_scenario_call_from_inside_a_driver_callback_is_a_bug_check) {
    config().on_prepare_hardware = [this](WDFDEVICE) { host.settle(); };
    EXPECT_DEATH(start_bus(), "scenario API called from inside a driver callback");
}

}  // namespace
}  // namespace test_bus
