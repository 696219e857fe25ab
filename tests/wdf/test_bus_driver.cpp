#include "tests/wdf/test_bus_driver.h"

#include <algorithm>
#include <cstring>

#include "sim/strings.h"
#include "wdmguid.h"

namespace test_bus {

namespace {

behaviour g_behaviour;
counters g_counts;

NTSTATUS report_serial(WDFCHILDLIST list, ULONG serial) {
    child_description d = make_description(serial);
    child_address a = make_address(serial);
    return WdfChildListAddOrUpdateChildDescriptionAsPresent(list, &d.header,
                                                            g_behaviour.address_descriptions ? &a.header : nullptr);
}

BOOLEAN compare_serial(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER first,
                       PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER second) {
    return reinterpret_cast<child_description*>(first)->serial == reinterpret_cast<child_description*>(second)->serial;
}

VOID copy_description(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER source,
                      PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER destination) {
    g_counts.copies++;
    memcpy(destination, source, sizeof(child_description));
}

VOID cleanup_description(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER) { g_counts.cleanups++; }

NTSTATUS create_device(WDFCHILDLIST list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header, PWDFDEVICE_INIT init) {
    g_counts.create_calls++;
    auto* description = reinterpret_cast<child_description*>(header);
    if (g_behaviour.create) {
        return g_behaviour.create(list, description, init);
    }
    WDFDEVICE pdo;
    return standard_pdo(init, *description, &pdo);
}

VOID scan_for_children(WDFCHILDLIST list) {
    WdfChildListBeginScan(list);
    for (ULONG serial : g_behaviour.scan_reports) report_serial(list, serial);
    WdfChildListEndScan(list);
}

// ---- PnP callbacks: the host logs them; these only answer ---------------------------

bool is_pdo(WDFDEVICE device) { return get_child_context(device) != nullptr; }

NTSTATUS prepare_hardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST) {
    if (is_pdo(device)) return g_behaviour.pdo_prepare_status;
    if (g_behaviour.on_prepare_hardware) g_behaviour.on_prepare_hardware(device);
    WDFCHILDLIST list = WdfFdoGetDefaultChildList(device);
    for (ULONG serial : g_behaviour.prepare_reports) report_serial(list, serial);
    return g_behaviour.prepare_status;
}

NTSTATUS release_hardware(WDFDEVICE, WDFCMRESLIST) { return STATUS_SUCCESS; }

NTSTATUS query_stop(WDFDEVICE device) {
    if (!is_pdo(device)) return g_behaviour.query_stop_status;
    return get_child_context(device)->serial == g_behaviour.refuse_stop_serial ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

void power_event(WDFDEVICE device, const char* event) {
    if (g_behaviour.on_power) g_behaviour.on_power(device, event);
}

NTSTATUS d0_entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    power_event(device, "d0_entry");
    return is_pdo(device) ? STATUS_SUCCESS : g_behaviour.d0_entry_status;
}

NTSTATUS d0_exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    power_event(device, "d0_exit");
    return STATUS_SUCCESS;
}
NTSTATUS self_managed_io_init(WDFDEVICE) { return STATUS_SUCCESS; }
NTSTATUS self_managed_io_suspend(WDFDEVICE device) {
    power_event(device, "self_managed_io_suspend");
    return STATUS_SUCCESS;
}
NTSTATUS self_managed_io_restart(WDFDEVICE device) {
    power_event(device, "self_managed_io_restart");
    return STATUS_SUCCESS;
}
VOID self_managed_io_flush(WDFDEVICE) {}
VOID self_managed_io_cleanup(WDFDEVICE) {}

VOID surprise_removal(WDFDEVICE device) {
    if (g_behaviour.on_surprise_removal) g_behaviour.on_surprise_removal(device);
}

NTSTATUS eject(WDFDEVICE) { return g_behaviour.eject_status; }

WDF_PNPPOWER_EVENT_CALLBACKS pnp_callbacks() {
    WDF_PNPPOWER_EVENT_CALLBACKS cb;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&cb);
    cb.EvtDevicePrepareHardware = prepare_hardware;
    cb.EvtDeviceReleaseHardware = release_hardware;
    cb.EvtDeviceD0Entry = d0_entry;
    cb.EvtDeviceD0Exit = d0_exit;
    cb.EvtDeviceSelfManagedIoInit = self_managed_io_init;
    cb.EvtDeviceSelfManagedIoSuspend = self_managed_io_suspend;
    cb.EvtDeviceSelfManagedIoRestart = self_managed_io_restart;
    cb.EvtDeviceSelfManagedIoFlush = self_managed_io_flush;
    cb.EvtDeviceSelfManagedIoCleanup = self_managed_io_cleanup;
    cb.EvtDeviceSurpriseRemoval = surprise_removal;
    cb.EvtDeviceQueryStop = query_stop;
    return cb;
}

NTSTATUS device_add(WDFDRIVER, PWDFDEVICE_INIT init) {
    if (g_behaviour.on_device_add) g_behaviour.on_device_add(init);
    WDF_PNPPOWER_EVENT_CALLBACKS cb = pnp_callbacks();
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &cb);
    if (g_behaviour.default_list) {
        WDF_CHILD_LIST_CONFIG config;
        WDF_CHILD_LIST_CONFIG_INIT(&config, sizeof(child_description), create_device);
        if (g_behaviour.address_descriptions) config.AddressDescriptionSize = sizeof(child_address);
        if (g_behaviour.scan_callback) config.EvtChildListScanForChildren = scan_for_children;
        if (g_behaviour.compare_serial_only) config.EvtChildListIdentificationDescriptionCompare = compare_serial;
        if (g_behaviour.copy_callbacks) {
            config.EvtChildListIdentificationDescriptionCopy = copy_description;
            config.EvtChildListIdentificationDescriptionCleanup = cleanup_description;
        }
        WdfFdoInitSetDefaultChildListConfig(init, &config, WDF_NO_OBJECT_ATTRIBUTES);
    }
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) return status;
    PNP_BUS_INFORMATION bus_info{GUID_BUS_TYPE_INTERNAL, PNPBus, 7};
    WdfDeviceSetBusInformationForChildren(device, &bus_info);
    return STATUS_SUCCESS;
}

VOID driver_unload(WDFDRIVER) { g_counts.unloads++; }

}  // namespace

child_description make_description(ULONG serial, ULONG flavour) {
    child_description d;
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&d.header, sizeof(d));
    d.serial = serial;
    d.flavour = flavour;
    return d;
}

child_address make_address(ULONG port) {
    child_address a;
    WDF_CHILD_ADDRESS_DESCRIPTION_HEADER_INIT(&a.header, sizeof(a));
    a.port = port;
    return a;
}

behaviour& config() { return g_behaviour; }
counters& counts() { return g_counts; }

void reset() {
    g_behaviour = behaviour();
    g_counts = counters();
}

UNICODE_STRING counted(const std::u16string& text) {
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(sim::as_wchar(text));
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, device_add);
    config.EvtDriverUnload = driver_unload;
    return WdfDriverCreate(driver, registry_path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

NTSTATUS standard_pdo(PWDFDEVICE_INIT init, const child_description& description, WDFDEVICE* pdo) {
    char text[64];
    snprintf(text, sizeof(text), "testbus\\CHILD_%lu", static_cast<unsigned long>(description.serial));
    std::u16string device_id = sim::to_utf16(text);
    // Children that differ only in flavour still need instance IDs of their own.
    if (description.flavour == 0) {
        snprintf(text, sizeof(text), "%04lX", static_cast<unsigned long>(description.serial));
    } else {
        snprintf(text, sizeof(text), "%04lX_%lu", static_cast<unsigned long>(description.serial),
                 static_cast<unsigned long>(description.flavour));
    }
    std::u16string instance_id = sim::to_utf16(text);
    std::u16string compatible_id = u"testbus\\CHILD";
    snprintf(text, sizeof(text), "Test child %lu", static_cast<unsigned long>(description.serial));
    std::u16string device_text = sim::to_utf16(text);
    std::u16string location_text = u"Test bus";

    UNICODE_STRING s = counted(device_id);
    NTSTATUS status = WdfPdoInitAssignDeviceID(init, &s);
    if (NT_SUCCESS(status)) status = WdfPdoInitAddHardwareID(init, &s);
    s = counted(compatible_id);
    if (NT_SUCCESS(status)) status = WdfPdoInitAddCompatibleID(init, &s);
    s = counted(instance_id);
    if (NT_SUCCESS(status)) status = WdfPdoInitAssignInstanceID(init, &s);
    UNICODE_STRING description_string = counted(device_text);
    UNICODE_STRING location_string = counted(location_text);
    if (NT_SUCCESS(status)) status = WdfPdoInitAddDeviceText(init, &description_string, &location_string, 0x409);
    if (!NT_SUCCESS(status)) return status;
    WdfPdoInitSetDefaultLocale(init, 0x409);
    WdfDeviceInitSetDeviceType(init, FILE_DEVICE_SERIAL_PORT);
    WDF_PNPPOWER_EVENT_CALLBACKS cb = pnp_callbacks();
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &cb);
    WDF_PDO_EVENT_CALLBACKS pdo_cb;
    WDF_PDO_EVENT_CALLBACKS_INIT(&pdo_cb);
    pdo_cb.EvtDeviceEject = reinterpret_cast<PVOID>(eject);
    WdfPdoInitSetEventCallbacks(init, &pdo_cb);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, child_context);
    status = WdfDeviceCreate(&init, &attributes, pdo);
    if (!NT_SUCCESS(status)) return status;
    get_child_context(*pdo)->serial = description.serial;
    WDF_DEVICE_PNP_CAPABILITIES caps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
    caps.Address = description.serial;
    caps.UINumber = description.serial + 100;
    WdfDeviceSetPnpCapabilities(*pdo, &caps);
    if (g_behaviour.on_pdo_created) g_behaviour.on_pdo_created(*pdo);
    return STATUS_SUCCESS;
}

// ---- Fixture -----------------------------------------------------------------------

void bus_test::start_bus() {
    ASSERT_EQ(host.load_builtin_driver(driver_entry), STATUS_SUCCESS);
    sim::device_stack_config root;
    root.enumerator = "ROOT";
    root.device_id = "TESTBUS";
    root.instance_id = "0000";
    bus = &host.add_device(root);
    ASSERT_EQ(bus->add_status(), STATUS_SUCCESS);
    host.start_device(*bus);
}

NTSTATUS bus_test::report(ULONG serial, ULONG flavour) {
    child_description d = make_description(serial, flavour);
    child_address a = make_address(serial);
    return WdfChildListAddOrUpdateChildDescriptionAsPresent(list(), &d.header,
                                                            config().address_descriptions ? &a.header : nullptr);
}

NTSTATUS bus_test::report_missing(ULONG serial, ULONG flavour) {
    child_description d = make_description(serial, flavour);
    return WdfChildListUpdateChildDescriptionAsMissing(list(), &d.header);
}

std::vector<ULONG> bus_test::serials_of(const sim::device_stack& stack) const {
    std::vector<ULONG> out;
    for (const sim::child_info& child : host.children(stack)) {
        out.push_back(static_cast<child_context*>(child.context("child_context"))->serial);
    }
    return out;
}

WDFDEVICE bus_test::pdo_of(ULONG serial) const {
    for (const sim::child_info& child : host.children(*bus)) {
        if (static_cast<child_context*>(child.context("child_context"))->serial == serial) return child.device;
    }
    return nullptr;
}

std::vector<std::string> bus_test::log_of(const std::string& instance_prefix) const {
    std::vector<std::string> out;
    for (const sim::pnp_event& e : host.pnp_log()) {
        if (e.instance_path.compare(0, instance_prefix.size(), instance_prefix) == 0) out.push_back(e.name);
    }
    return out;
}

}  // namespace test_bus
