// WDFUSBDEVICE: creation from the device's descriptors, the cached
// descriptors and device information, control transfers, string
// descriptors and port operations.
#include <algorithm>
#include <cstring>
#include <vector>

#include "sim/kernel.h"
#include "wdf/wdf_power.h"
#include "wdf/wdf_usb.h"

namespace wdf {

namespace {

constexpr const char* create_site = "WdfUsbTargetDeviceCreate";
// STATUS_INTEGER_OVERFLOW: an offset or length outside the memory.
constexpr NTSTATUS status_integer_overflow = static_cast<NTSTATUS>(0xC0000095L);

// Framework-internal requests on the default pipe go out whatever the
// target's state, as the framework's own do.
WDF_REQUEST_SEND_OPTIONS internal_options() {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    return options;
}

// The framework's own time-outs: creation's descriptor reads 5 s, string
// reads without the caller's options 2 s.
constexpr LONGLONG create_timeout = WDF_REL_TIMEOUT_IN_SEC(5);
constexpr LONGLONG string_timeout = WDF_REL_TIMEOUT_IN_SEC(2);

sim::usb::setup_packet get_descriptor_packet(uint8_t type, uint8_t index, uint16_t langid, uint16_t length) {
    sim::usb::setup_packet s;
    s.bmRequestType = 0x80;
    s.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    s.wValue = static_cast<uint16_t>(type << 8 | index);
    s.wIndex = langid;
    s.wLength = length;
    return s;
}

NTSTATUS get_descriptor(usb_device_object* usb, uint8_t type, uint8_t index, uint16_t length, uint8_t* buffer,
                        size_t* actual) {
    WDF_REQUEST_SEND_OPTIONS options = internal_options();
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, create_timeout);
    return usb_control_sync(usb, usb, nullptr, &options, io_kind::control,
                            get_descriptor_packet(type, index, 0, length), buffer, actual, create_site);
}

// Reads and checks the device descriptor and the first configuration as
// the framework does when it creates the USB target. Failure statuses:
//   - the GET_DESCRIPTOR transfer itself failed: its status (a stall:
//     STATUS_UNSUCCESSFUL, an unplugged device: STATUS_NO_SUCH_DEVICE);
//   - the device sent something that is not what was asked for (a device
//     descriptor of the wrong length or type, a configuration header shorter
//     than 9 bytes or of the wrong type, wTotalLength below 9, fewer bytes
//     than wTotalLength): STATUS_DEVICE_DATA_ERROR;
//   - the configuration's content cannot be parsed (a descriptor with bLength
//     0 or 1 or running past wTotalLength, an interface or endpoint
//     descriptor shorter than its standard size, no interface descriptor,
//     bNumInterfaces 0): STATUS_INVALID_PARAMETER.
NTSTATUS read_descriptors(usb_device_object* usb, std::shared_ptr<const sim::usb::parsed_configuration>* out) {
    uint8_t device[sizeof(USB_DEVICE_DESCRIPTOR)] = {};
    size_t actual = 0;
    NTSTATUS status = get_descriptor(usb, USB_DEVICE_DESCRIPTOR_TYPE, 0, sizeof(device), device, &actual);
    if (!NT_SUCCESS(status)) return status;
    if (actual != sizeof(device) || device[0] != sizeof(device) || device[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    std::memcpy(&usb->device_descriptor, device, sizeof(device));

    uint8_t header[sizeof(USB_CONFIGURATION_DESCRIPTOR)] = {};
    status = get_descriptor(usb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, sizeof(header), header, &actual);
    if (!NT_SUCCESS(status)) return status;
    if (actual < sizeof(header) || header[0] < sizeof(header) || header[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    const uint16_t total = static_cast<uint16_t>(header[2] | header[3] << 8);
    if (total < sizeof(header)) return STATUS_DEVICE_DATA_ERROR;

    usb->configuration.assign(total, 0);
    status = get_descriptor(usb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, total, usb->configuration.data(), &actual);
    if (!NT_SUCCESS(status)) return status;
    if (actual < total) return STATUS_DEVICE_DATA_ERROR;

    *out = sim::usb::shared_parse(usb->configuration);
    const sim::usb::parsed_configuration* parsed = out->get();
    if (!parsed->walk.complete() || !parsed->has_header) return STATUS_INVALID_PARAMETER;
    for (const sim::usb::descriptor_entry& e : parsed->walk.descriptors) {
        if (e.type == USB_INTERFACE_DESCRIPTOR_TYPE && e.length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return STATUS_INVALID_PARAMETER;
        }
        if (e.type == USB_ENDPOINT_DESCRIPTOR_TYPE && e.length < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (parsed->header.bNumInterfaces == 0 || parsed->interfaces.empty()) return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// The driver never learns of an object whose creation failed: its callbacks
// do not run when the framework takes it down.
void delete_failed(object* obj) {
    obj->for_each_context([](context_slot& slot) {
        slot.cleanup = nullptr;
        slot.destroy = nullptr;
    });
    delete_object(obj);
}

// A string as the framework reads it: without a buffer only the 2-byte
// header, for bLength; with one, the header and `*characters` characters.
// An odd bLength or one below 2 is STATUS_DEVICE_DATA_ERROR; a buffer too
// small gets what fits and STATUS_BUFFER_OVERFLOW. *characters becomes the
// string's length either way.
NTSTATUS read_string(usb_device_object* usb, request_object* request, const WDF_REQUEST_SEND_OPTIONS* options,
                     uint8_t index, uint16_t langid, WCHAR* text, USHORT* characters, const char* caller) {
    WDF_REQUEST_SEND_OPTIONS defaults;
    if (options == nullptr) {
        WDF_REQUEST_SEND_OPTIONS_INIT(&defaults, 0);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&defaults, string_timeout);
        options = &defaults;
    }
    const size_t room = text != nullptr ? *characters : 0;
    std::vector<uint8_t> buffer(2 + room * sizeof(WCHAR), 0);
    const size_t asked = std::min<size_t>(buffer.size(), 0xffff);
    size_t actual = 0;
    NTSTATUS status =
        usb_control_sync(usb, usb, request, options, io_kind::device_string,
                         get_descriptor_packet(USB_STRING_DESCRIPTOR_TYPE, index, langid, static_cast<uint16_t>(asked)),
                         buffer.data(), &actual, caller);
    if (!NT_SUCCESS(status)) return status;
    const uint8_t length = buffer[0];
    if ((length & 1) != 0 || length < 2) return STATUS_DEVICE_DATA_ERROR;
    const size_t count = (length - 2) / sizeof(WCHAR);
    if (request != nullptr) {
        std::lock_guard<std::mutex> guard(request->op.lock);
        request->usb.Parameters.DeviceString.RequiredSize = length;
    }
    *characters = static_cast<USHORT>(count);
    if (text == nullptr) return STATUS_SUCCESS;
    std::memcpy(text, buffer.data() + 2, std::min(room, count) * sizeof(WCHAR));
    return room < count ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

request_object* optional_request(WDFREQUEST request, const char* caller) {
    return request != nullptr ? validate_request(request, caller) : nullptr;
}

}  // namespace

// ---- Objects --------------------------------------------------------------

usb_device_object* validate_usb_device(WDFUSBDEVICE handle, const char* caller) {
    return validate_as<usb_device_object>(handle, object_type::usb_device, caller);
}

void usb_device_object::on_delete() {
    purge();
    std::lock_guard<std::mutex> guard(lock);
    interfaces.clear();  // deleted with the device as its children
}

void usb_device_object::deliver(io_operation* op) {
    if (usb_bus_suspended(this, op)) return;
    dev().submit(&op->transfer);
}

// While its function device is in a low-power state the device's port is
// suspended: a transfer sent then fails at once, never reaching the device,
// as the USB stack fails it.
bool usb_bus_suspended(io_target* target, io_operation* op) {
    if (target->owner == nullptr || !power_bus_suspended(target->owner)) return false;
    io_complete(op, STATUS_DEVICE_NOT_READY, USBD_STATUS_NOT_ACCESSED, 0);
    return true;
}

void usb_device_object::dependents(std::vector<io_target*>* out, void* tag) {
    std::lock_guard<std::mutex> guard(lock);
    for (usb_interface_object* itf : interfaces) {
        if (!itf->configured) continue;
        for (usb_pipe_object* pipe : itf->pipes) {
            reference(pipe, tag, 0, nullptr);
            out->push_back(pipe);
        }
    }
}

bool usb_device_object::cancel_delivered(io_operation* op, uint64_t sequence) {
    return dev().cancel(&op->transfer, sequence);
}

NTSTATUS usb_control_sync(usb_device_object* usb, io_target* target, request_object* request,
                          const WDF_REQUEST_SEND_OPTIONS* options, io_kind kind, const sim::usb::setup_packet& setup,
                          uint8_t* buffer, size_t* actual, const char* caller) {
    io_operation local;
    io_operation* op = &local;
    if (request != nullptr) {
        NTSTATUS status;
        if (!format_begin(request, &status)) return status;
        op = &request->op;
        std::lock_guard<std::mutex> guard(request->op.lock);
        switch (kind) {
            case io_kind::device_string:
                request->usb.Type = WdfUsbRequestTypeDeviceString;
                request->usb.Parameters.DeviceString.LangID = setup.wIndex;
                request->usb.Parameters.DeviceString.StringIndex = static_cast<UCHAR>(setup.wValue & 0xff);
                break;
            case io_kind::pipe_reset:
                request->usb.Type = WdfUsbRequestTypePipeReset;
                break;
            default:
                request->usb.Type = WdfUsbRequestTypeDeviceControlTransfer;
                setup.to_bytes(request->usb.Parameters.DeviceControlTransfer.SetupPacket.Generic.Bytes);
                break;
        }
    }
    op->kind = kind;
    op->formatted_for = target;
    setup.to_bytes(op->transfer.setup);
    op->transfer.endpoint = 0;
    op->transfer.buffer = buffer;
    op->transfer.length = setup.wLength;
    op->transfer.view = usb->view();
    NTSTATUS status = io_execute(op, target, options, caller);
    if (actual != nullptr) *actual = op->information;
    return status;
}

NTSTATUS memory_range(memory_object* memory, PWDFMEMORY_OFFSET offset, uint8_t** buffer, size_t* length) {
    *buffer = nullptr;
    *length = 0;
    if (memory == nullptr) return STATUS_SUCCESS;
    size_t start = 0;
    size_t count = memory->size;
    if (offset != nullptr) {
        start = offset->BufferOffset;
        if (start > memory->size) return status_integer_overflow;
        count = offset->BufferLength != 0 ? offset->BufferLength : memory->size - start;
        if (count > memory->size - start) return status_integer_overflow;
    }
    *buffer = static_cast<uint8_t*>(memory->buffer) + start;
    *length = count;
    return STATUS_SUCCESS;
}

NTSTATUS descriptor_range(PWDF_MEMORY_DESCRIPTOR descriptor, uint8_t** buffer, size_t* length, const char* caller) {
    *buffer = nullptr;
    *length = 0;
    if (descriptor == nullptr) return STATUS_SUCCESS;
    switch (descriptor->Type) {
        case WdfMemoryDescriptorTypeBuffer:
            if (descriptor->u.BufferType.Buffer == nullptr && descriptor->u.BufferType.Length != 0) {
                return STATUS_INVALID_PARAMETER;
            }
            *buffer = static_cast<uint8_t*>(descriptor->u.BufferType.Buffer);
            *length = descriptor->u.BufferType.Length;
            return STATUS_SUCCESS;
        case WdfMemoryDescriptorTypeHandle: {
            auto* memory = validate_as<memory_object>(descriptor->u.HandleType.Memory, object_type::memory, caller);
            return memory_range(memory, descriptor->u.HandleType.Offsets, buffer, length);
        }
        case WdfMemoryDescriptorTypeMdl:
            sim::bug_check(WDF_VIOLATION, "MDL memory descriptors are not implemented by the platform", descriptor,
                           caller);
        default:
            return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace wdf

using namespace wdf;

extern "C" {

NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice) {
    sim::count_framework_call();
    require_irql_max(PASSIVE_LEVEL, create_site);
    auto* dev = validate_as<device>(Device, object_type::device, create_site);
    if (UsbDevice == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *UsbDevice = nullptr;
    if (!dev->own_pdo.usb || !dev->own_pdo.usb->dev) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto* usb = new usb_device_object();
    usb->owner = dev;
    usb->binding = dev->own_pdo.usb;
    NTSTATUS status = attach(usb, Attributes, dev, create_site);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::shared_ptr<const sim::usb::parsed_configuration> parsed;
    status = read_descriptors(usb, &parsed);
    if (!NT_SUCCESS(status)) {
        delete_failed(usb);
        return status;
    }
    // One interface object per interface number, in the order they appear.
    {
        std::lock_guard<std::mutex> guard(usb->lock);
        usb->interfaces.reserve(parsed->interfaces.size());
    }
    for (const sim::usb::parsed_interface& parsed_itf : parsed->interfaces) {
        auto* itf = new usb_interface_object();
        itf->device = usb;
        itf->number = parsed_itf.number;
        itf->settings.reserve(parsed_itf.settings.size());
        for (const sim::usb::parsed_setting& s : parsed_itf.settings) {
            usb_setting& setting = itf->settings.emplace_back();
            setting.descriptor = s.descriptor;
            setting.endpoints.reserve(s.endpoints.size());
            for (const sim::usb::parsed_endpoint& e : s.endpoints) setting.endpoints.push_back(e.descriptor);
        }
        status = attach(itf, nullptr, usb, create_site);
        if (!NT_SUCCESS(status)) {
            delete_failed(usb);
            return status;
        }
        std::lock_guard<std::mutex> guard(usb->lock);
        usb->interfaces.push_back(itf);
    }
    *UsbDevice = reinterpret_cast<WDFUSBDEVICE>(usb->handle());
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor,
                                                    PUSHORT ConfigDescriptorLength) {
    sim::count_framework_call();
    require_irql_max(PASSIVE_LEVEL, "WdfUsbTargetDeviceRetrieveConfigDescriptor");
    usb_device_object* usb = validate_usb_device(UsbDevice, "WdfUsbTargetDeviceRetrieveConfigDescriptor");
    if (ConfigDescriptorLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfUsbTargetDeviceRetrieveConfigDescriptor", &injected)) return injected;
    if (usb->configuration.empty()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const USHORT required = static_cast<USHORT>(usb->configuration.size());
    if (ConfigDescriptor == nullptr || *ConfigDescriptorLength < required) {
        *ConfigDescriptorLength = required;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(ConfigDescriptor, usb->configuration.data(), required);
    *ConfigDescriptorLength = required;
    return STATUS_SUCCESS;
}

VOID WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbTargetDeviceGetDeviceDescriptor");
    usb_device_object* usb = validate_usb_device(UsbDevice, "WdfUsbTargetDeviceGetDeviceDescriptor");
    if (UsbDeviceDescriptor == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL device descriptor output", UsbDevice,
                       "WdfUsbTargetDeviceGetDeviceDescriptor");
    }
    *UsbDeviceDescriptor = usb->device_descriptor;
}

NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice, PWDF_USB_DEVICE_INFORMATION Information) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbTargetDeviceRetrieveInformation");
    usb_device_object* usb = validate_usb_device(UsbDevice, "WdfUsbTargetDeviceRetrieveInformation");
    if (Information == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    // The USB 3 stack's USBDI version; traits from the first configuration's
    // attributes and the speed the device runs at.
    Information->UsbdVersionInformation.USBDI_Version = 0x600;
    Information->UsbdVersionInformation.Supported_USB_Version = usb->device_descriptor.bcdUSB;
    Information->HcdPortCapabilities = 0;
    ULONG traits = 0;
    const uint8_t attributes = usb->configuration.size() > 7 ? usb->configuration[7] : 0;
    if (attributes & USB_CONFIG_SELF_POWERED) traits |= WDF_USB_DEVICE_TRAIT_SELF_POWERED;
    if (attributes & USB_CONFIG_REMOTE_WAKEUP) traits |= WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE;
    if (usb->view()->speed == sim::usb::usb_speed::high) traits |= WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED;
    Information->Traits = traits;
    return STATUS_SUCCESS;
}

UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbTargetDeviceGetNumInterfaces");
    usb_device_object* usb = validate_usb_device(UsbDevice, "WdfUsbTargetDeviceGetNumInterfaces");
    std::lock_guard<std::mutex> guard(usb->lock);
    return static_cast<UCHAR>(usb->interfaces.size());
}

WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfUsbTargetDeviceGetInterface");
    usb_device_object* usb = validate_usb_device(UsbDevice, "WdfUsbTargetDeviceGetInterface");
    std::lock_guard<std::mutex> guard(usb->lock);
    if (InterfaceIndex >= usb->interfaces.size()) {
        return nullptr;
    }
    return reinterpret_cast<WDFUSBINTERFACE>(usb->interfaces[InterfaceIndex]->handle());
}

NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                            PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                            PULONG BytesTransferred) {
    sim::count_framework_call();
    const char* caller = "WdfUsbTargetDeviceSendControlTransferSynchronously";
    require_irql_max(PASSIVE_LEVEL, caller);
    usb_device_object* usb = validate_usb_device(UsbDevice, caller);
    request_object* request = optional_request(Request, caller);
    if (BytesTransferred != nullptr) *BytesTransferred = 0;
    if (SetupPacket == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    uint8_t* buffer;
    size_t length;
    NTSTATUS status = descriptor_range(MemoryDescriptor, &buffer, &length, caller);
    if (!NT_SUCCESS(status)) return status;
    if (length > 0xffff) return STATUS_INVALID_PARAMETER;
    sim::usb::setup_packet setup = sim::usb::setup_packet::from_bytes(SetupPacket->Generic.Bytes);
    setup.wLength = static_cast<uint16_t>(length);
    size_t actual = 0;
    status = usb_control_sync(usb, usb, request, RequestOptions, io_kind::control, setup, buffer, &actual, caller);
    if (BytesTransferred != nullptr) *BytesTransferred = static_cast<ULONG>(actual);
    return status;
}

NTSTATUS WdfUsbTargetDeviceFormatRequestForControlTransfer(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                           PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                           WDFMEMORY TransferMemory, PWDFMEMORY_OFFSET TransferOffset) {
    sim::count_framework_call();
    const char* caller = "WdfUsbTargetDeviceFormatRequestForControlTransfer";
    require_irql_max(DISPATCH_LEVEL, caller);
    usb_device_object* usb = validate_usb_device(UsbDevice, caller);
    request_object* request = validate_request(Request, caller);
    if (SetupPacket == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    memory_object* memory =
        TransferMemory != nullptr ? validate_as<memory_object>(TransferMemory, object_type::memory, caller) : nullptr;
    uint8_t* buffer;
    size_t length;
    NTSTATUS status = memory_range(memory, TransferOffset, &buffer, &length);
    if (!NT_SUCCESS(status)) return status;
    if (length > 0xffff) return STATUS_INVALID_PARAMETER;
    if (sim::fault_should_fail(caller, &status)) return status;
    if (!format_begin(request, &status)) return status;
    sim::usb::setup_packet setup = sim::usb::setup_packet::from_bytes(SetupPacket->Generic.Bytes);
    setup.wLength = static_cast<uint16_t>(length);
    format_memory(request, memory);
    std::lock_guard<std::mutex> guard(request->op.lock);
    io_operation& op = request->op;
    op.kind = io_kind::control;
    op.formatted_for = usb;
    setup.to_bytes(op.transfer.setup);
    op.transfer.endpoint = 0;
    op.transfer.buffer = buffer;
    op.transfer.length = length;
    op.transfer.view = usb->view();
    request->usb.Type = WdfUsbRequestTypeDeviceControlTransfer;
    request->usb.Parameters.DeviceControlTransfer.Buffer = TransferMemory;
    setup.to_bytes(request->usb.Parameters.DeviceControlTransfer.SetupPacket.Generic.Bytes);
    return STATUS_SUCCESS;
}

// The length first, then the text into memory of exactly that size (parent:
// the driver unless the attributes name one). An empty string succeeds with
// no memory at all.
NTSTATUS WdfUsbTargetDeviceAllocAndQueryString(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES StringMemoryAttributes,
                                               WDFMEMORY* StringMemory, PUSHORT NumCharacters, UCHAR StringIndex,
                                               USHORT LangID) {
    sim::count_framework_call();
    const char* caller = "WdfUsbTargetDeviceAllocAndQueryString";
    require_irql_max(PASSIVE_LEVEL, caller);
    usb_device_object* usb = validate_usb_device(UsbDevice, caller);
    if (StringMemory == nullptr) {
        sim::bug_check(WDF_VIOLATION, "NULL required pointer StringMemory", UsbDevice, caller);
    }
    *StringMemory = nullptr;
    if (NumCharacters != nullptr) *NumCharacters = 0;
    USHORT characters = 0;
    NTSTATUS status = read_string(usb, nullptr, nullptr, StringIndex, LangID, nullptr, &characters, caller);
    if (!NT_SUCCESS(status) || characters == 0) return status;
    WDFMEMORY memory;
    PVOID text;
    status = WdfMemoryCreate(StringMemoryAttributes, NonPagedPool, 0, characters * sizeof(WCHAR), &memory, &text);
    if (!NT_SUCCESS(status)) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(text, 0, characters * sizeof(WCHAR));
    status = read_string(usb, nullptr, nullptr, StringIndex, LangID, static_cast<WCHAR*>(text), &characters, caller);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(memory);
        return status;
    }
    *StringMemory = memory;
    if (NumCharacters != nullptr) *NumCharacters = characters;
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceQueryString(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                       PWDF_REQUEST_SEND_OPTIONS RequestOptions, PUSHORT String, PUSHORT NumCharacters,
                                       UCHAR StringIndex, USHORT LangID) {
    sim::count_framework_call();
    const char* caller = "WdfUsbTargetDeviceQueryString";
    require_irql_max(PASSIVE_LEVEL, caller);
    usb_device_object* usb = validate_usb_device(UsbDevice, caller);
    request_object* request = optional_request(Request, caller);
    if (NumCharacters == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return read_string(usb, request, RequestOptions, StringIndex, LangID, reinterpret_cast<WCHAR*>(String),
                       NumCharacters, caller);
}

NTSTATUS WdfUsbTargetDeviceResetPortSynchronously(WDFUSBDEVICE UsbDevice) {
    sim::count_framework_call();
    const char* caller = "WdfUsbTargetDeviceResetPortSynchronously";
    require_irql_max(PASSIVE_LEVEL, caller);
    usb_device_object* usb = validate_usb_device(UsbDevice, caller);
    NTSTATUS injected;
    if (sim::fault_should_fail(caller, &injected)) return injected;
    if (!usb->dev().connected()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    usb->dev().reset_port();
    // The hub restores the configuration and settings in force.
    uint8_t value;
    std::vector<std::pair<uint8_t, uint8_t>> settings;
    {
        std::lock_guard<std::mutex> guard(usb->lock);
        value = usb->configuration_value;
        for (usb_interface_object* itf : usb->interfaces) {
            if (!itf->configured) continue;
            const uint8_t alternate = itf->settings[itf->configured_setting].descriptor.bAlternateSetting;
            if (alternate != 0) settings.emplace_back(itf->number, alternate);
        }
    }
    if (value == 0) return STATUS_SUCCESS;
    WDF_REQUEST_SEND_OPTIONS options = internal_options();
    sim::usb::setup_packet setup;
    setup.bRequest = USB_REQUEST_SET_CONFIGURATION;
    setup.wValue = value;
    NTSTATUS status = usb_control_sync(usb, usb, nullptr, &options, io_kind::control, setup, nullptr, nullptr, caller);
    for (size_t i = 0; NT_SUCCESS(status) && i < settings.size(); ++i) {
        setup = sim::usb::setup_packet();
        setup.bmRequestType = 0x01;
        setup.bRequest = USB_REQUEST_SET_INTERFACE;
        setup.wValue = settings[i].second;
        setup.wIndex = settings[i].first;
        status = usb_control_sync(usb, usb, nullptr, &options, io_kind::control, setup, nullptr, nullptr, caller);
    }
    return status;
}

NTSTATUS WdfUsbTargetDeviceCyclePortSynchronously(WDFUSBDEVICE UsbDevice) {
    sim::count_framework_call();
    const char* caller = "WdfUsbTargetDeviceCyclePortSynchronously";
    require_irql_max(PASSIVE_LEVEL, caller);
    usb_device_object* usb = validate_usb_device(UsbDevice, caller);
    if (!usb->dev().connected()) {
        return STATUS_NO_SUCH_DEVICE;
    }
    usb->dev().cycle_port();
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceIsConnectedSynchronous(WDFUSBDEVICE UsbDevice) {
    sim::count_framework_call();
    const char* caller = "WdfUsbTargetDeviceIsConnectedSynchronous";
    require_irql_max(PASSIVE_LEVEL, caller);
    usb_device_object* usb = validate_usb_device(UsbDevice, caller);
    return usb->dev().connected() ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
}

}  // extern "C"
