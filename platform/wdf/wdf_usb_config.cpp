// Configuration selection and WDFUSBINTERFACE: which interfaces and settings
// are in force, the SET_CONFIGURATION and SET_INTERFACE requests that put
// them there, and the pipes each selection creates.
#include <algorithm>
#include <cstring>

#include "sim/kernel.h"
#include "wdf/wdf_usb.h"

namespace wdf {

namespace {

constexpr const char* select_config_site = "WdfUsbTargetDeviceSelectConfig";
constexpr const char* select_setting_site = "WdfUsbInterfaceSelectSetting";
// What a pipe can carry in one transfer (the USB 3 stack's limits).
constexpr ULONG max_transfer_size = 4u * 1024 * 1024;
constexpr ULONG max_control_transfer_size = 64u * 1024;

// An interface the device will have after a selection: its settings are the
// interface object's own or the caller's configuration's, kept by the caller
// while the selection runs.
struct interface_plan {
    uint8_t number = 0;
    const std::vector<usb_setting>* settings = nullptr;
};

struct choice {
    size_t plan;  // index into the plans
    uint8_t setting;
};

std::vector<usb_setting> settings_of(const sim::usb::parsed_interface& parsed) {
    std::vector<usb_setting> settings;
    for (const sim::usb::parsed_setting& s : parsed.settings) {
        usb_setting setting;
        setting.descriptor = s.descriptor;
        for (const sim::usb::parsed_endpoint& e : s.endpoints) setting.endpoints.push_back(e.descriptor);
        settings.push_back(std::move(setting));
    }
    return settings;
}

// Every interface of the first configuration, as creation found them: the
// interface objects it made, one for each in order, whose settings never change.
std::vector<interface_plan> first_configuration_plans(usb_device_object* usb) {
    std::vector<interface_plan> plans;
    std::lock_guard<std::mutex> guard(usb->lock);
    plans.reserve(usb->interfaces.size());
    for (const usb_interface_object* itf : usb->interfaces) plans.push_back({itf->number, &itf->settings});
    return plans;
}

// The framework's selection requests go out whatever the target's state,
// and give up after 2 s.
WDF_REQUEST_SEND_OPTIONS internal_options() {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_SEC(2));
    return options;
}

NTSTATUS send_set_configuration(usb_device_object* usb, uint8_t value, const char* caller) {
    sim::usb::setup_packet setup;
    setup.bmRequestType = 0x00;
    setup.bRequest = USB_REQUEST_SET_CONFIGURATION;
    setup.wValue = value;
    WDF_REQUEST_SEND_OPTIONS options = internal_options();
    return usb_control_sync(usb, usb, nullptr, &options, io_kind::control, setup, nullptr, nullptr, caller);
}

NTSTATUS send_set_interface(usb_device_object* usb, uint8_t number, uint8_t alternate, const char* caller) {
    sim::usb::setup_packet setup;
    setup.bmRequestType = 0x01;
    setup.bRequest = USB_REQUEST_SET_INTERFACE;
    setup.wValue = alternate;
    setup.wIndex = number;
    WDF_REQUEST_SEND_OPTIONS options = internal_options();
    return usb_control_sync(usb, usb, nullptr, &options, io_kind::control, setup, nullptr, nullptr, caller);
}

// A setting whose bNumEndpoints claims more endpoint descriptors than follow
// it cannot be configured.
bool setting_usable(const usb_setting& setting) { return setting.descriptor.bNumEndpoints <= setting.endpoints.size(); }

// The device took a new configuration but not the settings asked for: no
// interface is configured and every pipe goes.
void unconfigure_all(usb_device_object* usb, uint8_t value) {
    std::vector<usb_pipe_object*> old;
    {
        std::lock_guard<std::mutex> guard(usb->lock);
        for (usb_interface_object* itf : usb->interfaces) {
            old.insert(old.end(), itf->pipes.begin(), itf->pipes.end());
            itf->pipes.clear();
            itf->configured = false;
            itf->configured_setting = 0;
        }
        usb->configuration_value = value;
    }
    delete_pipes(old);
}

// The interface object creation made for an interface number, if any.
usb_interface_object* interface_numbered(usb_device_object* usb, uint8_t number) {
    std::lock_guard<std::mutex> guard(usb->lock);
    for (usb_interface_object* itf : usb->interfaces) {
        if (itf->number == number) return itf;
    }
    return nullptr;
}

// The index of an alternate setting among the interface's own settings (those
// of the first configuration); the first one when it has no such setting.
uint8_t setting_index_of(const usb_interface_object* itf, uint8_t alternate) {
    for (size_t i = 0; i < itf->settings.size(); ++i) {
        if (itf->settings[i].descriptor.bAlternateSetting == alternate) return static_cast<uint8_t>(i);
    }
    return 0;
}

// Selects a configuration: the device takes it and the chosen settings, and
// the chosen settings get new pipes. The interface list is the one creation
// made from the first configuration and never changes: an interface number it
// lacks cannot be selected, and the objects keep their handles and settings.
NTSTATUS select(usb_device_object* usb, uint8_t value, uint8_t attributes, const std::vector<interface_plan>& plans,
                const std::vector<choice>& choices, PWDF_OBJECT_ATTRIBUTES pipe_attributes) {
    std::vector<usb_interface_object*> list;
    list.reserve(plans.size());
    for (const interface_plan& plan : plans) {
        usb_interface_object* itf = interface_numbered(usb, plan.number);
        if (itf == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
        list.push_back(itf);
    }
    for (const choice& c : choices) {
        if (!setting_usable((*plans[c.plan].settings)[c.setting])) return STATUS_INVALID_PARAMETER;
    }
    // The pipes of the selection in force are cancelled and deleted before
    // the device hears of the new one.
    std::vector<usb_pipe_object*> previous;
    {
        std::lock_guard<std::mutex> guard(usb->lock);
        for (usb_interface_object* itf : usb->interfaces) {
            previous.insert(previous.end(), itf->pipes.begin(), itf->pipes.end());
            itf->pipes.clear();
            itf->configured = false;
            itf->configured_setting = 0;
        }
    }
    delete_pipes(previous);
    // One function of a composite device shares the device with the others:
    // as the composite parent does, the configuration is set only when the
    // device is not in it yet, and then only the settings that differ.
    const bool shared = usb->binding->function.interface_function && usb->dev().configuration() == value;
    NTSTATUS status = STATUS_SUCCESS;
    if (!shared) {
        status = send_set_configuration(usb, value, select_config_site);
        if (!NT_SUCCESS(status)) return status;
    }
    for (const choice& c : choices) {
        const uint8_t alternate = (*plans[c.plan].settings)[c.setting].descriptor.bAlternateSetting;
        const uint8_t current = shared ? usb->dev().alternate_setting(plans[c.plan].number) : 0;
        if (alternate == current) continue;
        status = send_set_interface(usb, plans[c.plan].number, alternate, select_config_site);
        if (!NT_SUCCESS(status)) {
            unconfigure_all(usb, value);
            return status;
        }
    }

    std::vector<std::vector<usb_pipe_object*>> pipes(choices.size());
    for (size_t i = 0; i < choices.size(); ++i) {
        const choice& c = choices[i];
        status = make_pipes(list[c.plan], (*plans[c.plan].settings)[c.setting], c.setting, pipe_attributes,
                            select_config_site, &pipes[i]);
        if (!NT_SUCCESS(status)) {
            for (auto& p : pipes) delete_pipes(p);
            unconfigure_all(usb, value);
            return status;
        }
    }

    {
        std::lock_guard<std::mutex> guard(usb->lock);
        for (size_t i = 0; i < choices.size(); ++i) {
            const choice& c = choices[i];
            usb_interface_object* itf = list[c.plan];
            itf->configured = true;
            itf->configured_setting =
                setting_index_of(itf, (*plans[c.plan].settings)[c.setting].descriptor.bAlternateSetting);
            itf->pipes = std::move(pipes[i]);
        }
        usb->configuration_value = value;
        usb->configuration_attributes = attributes;
    }
    return STATUS_SUCCESS;
}

NTSTATUS select_deconfig(usb_device_object* usb) {
    // A composite function leaves the device configured for the others.
    if (!usb->binding->function.interface_function) {
        NTSTATUS status = send_set_configuration(usb, 0, select_config_site);
        if (!NT_SUCCESS(status)) return status;
    }
    unconfigure_all(usb, 0);
    return STATUS_SUCCESS;
}

// InterfacesDescriptor: the caller's configuration descriptor (any of the
// device's configurations) and pointers to interface descriptors inside it.
NTSTATUS select_by_descriptors(usb_device_object* usb, PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params,
                               PWDF_OBJECT_ATTRIBUTES pipe_attributes) {
    const PUSB_CONFIGURATION_DESCRIPTOR config = params->Types.Descriptor.ConfigurationDescriptor;
    const PUSB_INTERFACE_DESCRIPTOR* chosen = params->Types.Descriptor.InterfaceDescriptors;
    const ULONG count = params->Types.Descriptor.NumInterfaceDescriptors;
    if (config == nullptr || chosen == nullptr || count == 0) return STATUS_INVALID_PARAMETER;
    if (config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(config);
    const size_t total = config->wTotalLength;
    const auto shared = sim::usb::shared_parse(bytes, total);
    const sim::usb::parsed_configuration& parsed = *shared;
    if (!parsed.walk.complete()) return STATUS_INVALID_PARAMETER;

    std::vector<interface_plan> plans;
    std::vector<choice> choices;
    // The plans' settings; sized up front so they stay where the plans point.
    std::vector<std::vector<usb_setting>> settings;
    settings.reserve(count);
    for (ULONG i = 0; i < count; ++i) {
        const auto* p = reinterpret_cast<const uint8_t*>(chosen[i]);
        if (p < bytes || p >= bytes + total) return STATUS_INVALID_PARAMETER;
        const size_t offset = static_cast<size_t>(p - bytes);
        const sim::usb::parsed_interface* owner = nullptr;
        size_t setting_index = 0;
        for (const sim::usb::parsed_interface& itf : parsed.interfaces) {
            for (size_t s = 0; s < itf.settings.size(); ++s) {
                if (itf.settings[s].offset == offset) {
                    owner = &itf;
                    setting_index = s;
                }
            }
        }
        if (owner == nullptr) return STATUS_INVALID_PARAMETER;
        for (const interface_plan& plan : plans) {
            if (plan.number == owner->number) return STATUS_INVALID_PARAMETER;  // one setting per interface
        }
        settings.push_back(settings_of(*owner));
        plans.push_back({owner->number, &settings.back()});
        choices.push_back({plans.size() - 1, static_cast<uint8_t>(setting_index)});
    }
    return select(usb, config->bConfigurationValue, config->bmAttributes, plans, choices, pipe_attributes);
}

}  // namespace

// ---- Shared helpers ---------------------------------------------------------------

usb_interface_object* validate_usb_interface(WDFUSBINTERFACE handle, const char* caller) {
    return validate_as<usb_interface_object>(handle, object_type::usb_interface, caller);
}

void pipe_information(const USB_ENDPOINT_DESCRIPTOR& endpoint, uint8_t setting_index, WDF_USB_PIPE_INFORMATION* info) {
    info->MaximumPacketSize = endpoint.wMaxPacketSize & 0x7ff;
    info->EndpointAddress = endpoint.bEndpointAddress;
    info->Interval = endpoint.bInterval;
    info->SettingIndex = setting_index;
    switch (endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK) {
        case USB_ENDPOINT_TYPE_CONTROL:
            info->PipeType = WdfUsbPipeTypeControl;
            info->MaximumTransferSize = max_control_transfer_size;
            break;
        case USB_ENDPOINT_TYPE_ISOCHRONOUS:
            info->PipeType = WdfUsbPipeTypeIsochronous;
            info->MaximumTransferSize = max_transfer_size;
            break;
        case USB_ENDPOINT_TYPE_BULK:
            info->PipeType = WdfUsbPipeTypeBulk;
            info->MaximumTransferSize = max_transfer_size;
            break;
        default:
            info->PipeType = WdfUsbPipeTypeInterrupt;
            info->MaximumTransferSize = max_transfer_size;
            break;
    }
}

NTSTATUS make_pipes(usb_interface_object* itf, const usb_setting& setting, uint8_t setting_index,
                    PWDF_OBJECT_ATTRIBUTES pipe_attributes, const char* site, std::vector<usb_pipe_object*>* pipes) {
    // Pipes always belong to their interface, whatever parent the attributes name.
    WDF_OBJECT_ATTRIBUTES attributes;
    if (pipe_attributes != nullptr) {
        attributes = *pipe_attributes;
        attributes.ParentObject = nullptr;
    }
    const size_t count = std::min<size_t>(setting.descriptor.bNumEndpoints, setting.endpoints.size());
    pipes->reserve(pipes->size() + count);
    for (size_t i = 0; i < count; ++i) {
        auto* pipe = new usb_pipe_object();
        pipe->itf = itf;
        pipe->device = itf->device;
        pipe->owner = itf->device->owner;
        WDF_USB_PIPE_INFORMATION_INIT(&pipe->info);
        pipe_information(setting.endpoints[i], setting_index, &pipe->info);
        NTSTATUS status = attach(pipe, pipe_attributes != nullptr ? &attributes : nullptr, itf, site);
        if (!NT_SUCCESS(status)) {
            delete_pipes(*pipes);
            pipes->clear();
            return status;
        }
        pipes->push_back(pipe);
    }
    return STATUS_SUCCESS;
}

void delete_pipes(const std::vector<usb_pipe_object*>& pipes) {
    for (usb_pipe_object* pipe : pipes) delete_object(pipe);
}

}  // namespace wdf

using namespace wdf;

extern "C" {

NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    sim::count_framework_call();
    require_irql_max(PASSIVE_LEVEL, select_config_site);
    usb_device_object* usb = validate_usb_device(UsbDevice, select_config_site);
    if (Params == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    const uint8_t first_value = usb->configuration[5];
    const uint8_t first_attributes = usb->configuration[7];
    switch (Params->Type) {
        case WdfUsbTargetDeviceSelectConfigTypeDeconfig:
            return select_deconfig(usb);
        case WdfUsbTargetDeviceSelectConfigTypeSingleInterface: {
            std::vector<interface_plan> plans = first_configuration_plans(usb);
            if (plans.size() != 1) return STATUS_INVALID_PARAMETER;
            NTSTATUS status = select(usb, first_value, first_attributes, plans, {{0, 0}}, PipeAttributes);
            if (!NT_SUCCESS(status)) return status;
            std::lock_guard<std::mutex> guard(usb->lock);
            Params->Types.SingleInterface.ConfiguredUsbInterface =
                reinterpret_cast<WDFUSBINTERFACE>(usb->interfaces[0]->handle());
            Params->Types.SingleInterface.NumberConfiguredPipes = static_cast<UCHAR>(usb->interfaces[0]->pipes.size());
            return STATUS_SUCCESS;
        }
        case WdfUsbTargetDeviceSelectConfigTypeMultiInterface: {
            std::vector<interface_plan> plans = first_configuration_plans(usb);
            std::vector<choice> choices;
            for (size_t i = 0; i < plans.size(); ++i) choices.push_back({i, 0});
            NTSTATUS status = select(usb, first_value, first_attributes, plans, choices, PipeAttributes);
            if (!NT_SUCCESS(status)) return status;
            Params->Types.MultiInterface.NumberOfConfiguredInterfaces = static_cast<UCHAR>(choices.size());
            return STATUS_SUCCESS;
        }
        case WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs: {
            std::vector<interface_plan> plans = first_configuration_plans(usb);
            const UCHAR count = Params->Types.MultiInterface.NumberInterfaces;
            const PWDF_USB_INTERFACE_SETTING_PAIR pairs = Params->Types.MultiInterface.Pairs;
            if (pairs == nullptr || count == 0 || count > plans.size()) return STATUS_INVALID_PARAMETER;
            std::vector<choice> choices;
            for (UCHAR i = 0; i < count; ++i) {
                usb_interface_object* itf = validate_usb_interface(pairs[i].UsbInterface, select_config_site);
                if (itf->device != usb) return STATUS_INVALID_PARAMETER;
                size_t plan = plans.size();
                for (size_t p = 0; p < plans.size(); ++p) {
                    if (plans[p].number == itf->number) plan = p;
                }
                if (plan == plans.size() || pairs[i].SettingIndex >= plans[plan].settings->size()) {
                    return STATUS_INVALID_PARAMETER;
                }
                for (const choice& c : choices) {
                    if (c.plan == plan) return STATUS_INVALID_PARAMETER;
                }
                choices.push_back({plan, pairs[i].SettingIndex});
            }
            NTSTATUS status = select(usb, first_value, first_attributes, plans, choices, PipeAttributes);
            if (!NT_SUCCESS(status)) return status;
            Params->Types.MultiInterface.NumberOfConfiguredInterfaces = count;
            return STATUS_SUCCESS;
        }
        case WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor:
            return select_by_descriptors(usb, Params, PipeAttributes);
        case WdfUsbTargetDeviceSelectConfigTypeUrb:
            sim::bug_check(WDF_VIOLATION, "URB configuration selection is not implemented by the platform", Params,
                           select_config_site);
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

BYTE WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbInterfaceGetInterfaceNumber");
    return validate_usb_interface(UsbInterface, "WdfUsbInterfaceGetInterfaceNumber")->number;
}

BYTE WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE UsbInterface) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbInterfaceGetNumSettings");
    return static_cast<BYTE>(validate_usb_interface(UsbInterface, "WdfUsbInterfaceGetNumSettings")->settings.size());
}

VOID WdfUsbInterfaceGetDescriptor(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbInterfaceGetDescriptor");
    usb_interface_object* itf = validate_usb_interface(UsbInterface, "WdfUsbInterfaceGetDescriptor");
    if (InterfaceDescriptor == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL interface descriptor output", UsbInterface, "WdfUsbInterfaceGetDescriptor");
    }
    if (SettingIndex >= itf->settings.size()) {
        std::memset(InterfaceDescriptor, 0, sizeof(*InterfaceDescriptor));
        return;
    }
    *InterfaceDescriptor = itf->settings[SettingIndex].descriptor;
}

BYTE WdfUsbInterfaceGetNumEndpoints(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbInterfaceGetNumEndpoints");
    usb_interface_object* itf = validate_usb_interface(UsbInterface, "WdfUsbInterfaceGetNumEndpoints");
    if (SettingIndex >= itf->settings.size()) return 0;
    return itf->settings[SettingIndex].descriptor.bNumEndpoints;
}

VOID WdfUsbInterfaceGetEndpointInformation(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex, UCHAR EndpointIndex,
                                           PWDF_USB_PIPE_INFORMATION EndpointInfo) {
    sim::count_framework_call();
    const char* caller = "WdfUsbInterfaceGetEndpointInformation";
    require_irql_max(DISPATCH_LEVEL, caller);
    usb_interface_object* itf = validate_usb_interface(UsbInterface, caller);
    if (EndpointInfo == nullptr || EndpointInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
        sim::bug_check(WDF_VIOLATION, "pipe information record missing or with a wrong Size", EndpointInfo, caller);
    }
    if (SettingIndex >= itf->settings.size()) return;
    const usb_setting& setting = itf->settings[SettingIndex];
    if (EndpointIndex >= setting.endpoints.size() || EndpointIndex >= setting.descriptor.bNumEndpoints) return;
    pipe_information(setting.endpoints[EndpointIndex], SettingIndex, EndpointInfo);
}

BYTE WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE Interface) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbInterfaceGetConfiguredSettingIndex");
    usb_interface_object* itf = validate_usb_interface(Interface, "WdfUsbInterfaceGetConfiguredSettingIndex");
    std::lock_guard<std::mutex> guard(itf->device->lock);
    return itf->configured_setting;
}

BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbInterfaceGetNumConfiguredPipes");
    usb_interface_object* itf = validate_usb_interface(UsbInterface, "WdfUsbInterfaceGetNumConfiguredPipes");
    std::lock_guard<std::mutex> guard(itf->device->lock);
    return static_cast<BYTE>(itf->pipes.size());
}

WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                            PWDF_USB_PIPE_INFORMATION PipeInfo) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbInterfaceGetConfiguredPipe");
    usb_interface_object* itf = validate_usb_interface(UsbInterface, "WdfUsbInterfaceGetConfiguredPipe");
    if (PipeInfo != nullptr && PipeInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(itf->device->lock);
    if (PipeIndex >= itf->pipes.size()) {
        return nullptr;
    }
    usb_pipe_object* pipe = itf->pipes[PipeIndex];
    if (PipeInfo != nullptr) *PipeInfo = pipe->info;
    return reinterpret_cast<WDFUSBPIPE>(pipe->handle());
}

NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE UsbInterface, PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                                      PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params) {
    sim::count_framework_call();
    require_irql_max(PASSIVE_LEVEL, select_setting_site);
    usb_interface_object* itf = validate_usb_interface(UsbInterface, select_setting_site);
    if (Params == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Params->Size != sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail(select_setting_site, &injected)) return injected;
    size_t index = itf->settings.size();
    switch (Params->Type) {
        case WdfUsbInterfaceSelectSettingTypeSetting:
            index = Params->Types.Interface.SettingIndex;
            break;
        case WdfUsbInterfaceSelectSettingTypeDescriptor: {
            const PUSB_INTERFACE_DESCRIPTOR wanted = Params->Types.Descriptor.InterfaceDescriptor;
            if (wanted == nullptr || wanted->bInterfaceNumber != itf->number) return STATUS_INVALID_PARAMETER;
            for (size_t i = 0; i < itf->settings.size(); ++i) {
                if (itf->settings[i].descriptor.bAlternateSetting == wanted->bAlternateSetting) index = i;
            }
            break;
        }
        case WdfUsbInterfaceSelectSettingTypeUrb:
            sim::bug_check(WDF_VIOLATION, "URB setting selection is not implemented by the platform", Params,
                           select_setting_site);
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (index >= itf->settings.size() || !setting_usable(itf->settings[index])) {
        return STATUS_INVALID_PARAMETER;
    }
    usb_device_object* usb = itf->device;
    {
        std::lock_guard<std::mutex> guard(usb->lock);
        if (usb->configuration_value == 0) return STATUS_INVALID_DEVICE_STATE;
        // The setting in force: nothing changes, its pipes stay.
        if (itf->configured && itf->configured_setting == index) return STATUS_SUCCESS;
    }
    // The new pipes first, so a failure leaves everything as it was; then the
    // old ones are stopped and deleted before the device hears of the change.
    std::vector<usb_pipe_object*> pipes;
    NTSTATUS status = make_pipes(itf, itf->settings[index], static_cast<uint8_t>(index), PipesAttributes,
                                 select_setting_site, &pipes);
    if (!NT_SUCCESS(status)) return status;
    std::vector<usb_pipe_object*> old;
    {
        std::lock_guard<std::mutex> guard(usb->lock);
        old.swap(itf->pipes);
        itf->configured = false;
        itf->configured_setting = 0;
    }
    delete_pipes(old);
    status =
        send_set_interface(usb, itf->number, itf->settings[index].descriptor.bAlternateSetting, select_setting_site);
    if (!NT_SUCCESS(status)) {
        // Past the point of no return: the interface is left without pipes.
        delete_pipes(pipes);
        return status;
    }
    std::lock_guard<std::mutex> guard(usb->lock);
    itf->configured = true;
    itf->configured_setting = static_cast<uint8_t>(index);
    itf->pipes = pipes;
    return STATUS_SUCCESS;
}

}  // extern "C"
