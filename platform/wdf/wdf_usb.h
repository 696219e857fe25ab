// USB target devices, interfaces and pipes: the framework's host side of the
// simulated bus. Platform-internal.
//
// A WDFUSBDEVICE is the I/O target for the device's default control pipe; it
// reaches the simulated device through the function binding of the WDFDEVICE
// it was created for (a composite function sees its own part of the
// configuration). Interfaces are its children, pipes (WDFUSBPIPE, I/O
// targets for one endpoint each) the children of their interface; both are
// framework-owned.
//
// The interface list is made once, at creation, from the first configuration.
// Selection sends SET_CONFIGURATION and SET_INTERFACE (for settings other
// than 0) to the device and replaces the interfaces' pipes; for
// InterfacesDescriptor the pipes follow the caller's configuration. A
// function of a composite device shares the device with the others, as the
// composite parent arranges: its selection sets the configuration only when
// the device is not in it yet (then only the settings that differ), and its
// deconfiguration leaves the device configured.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "usb/usb_device.h"
#include "wdf/wdf_request.h"

namespace wdf {

class usb_interface_object;
class usb_pipe_object;

// One alternate setting as the configuration describes it.
struct usb_setting {
    USB_INTERFACE_DESCRIPTOR descriptor{};
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;  // the endpoint descriptors that follow it
};

class usb_device_object : public io_target {
 public:
    usb_device_object() : io_target(object_type::usb_device) {}
    void on_delete() override;
    void deliver(io_operation* op) override;
    bool cancel_delivered(io_operation* op, uint64_t sequence) override;
    // Its configured pipes stop and start with it.
    void dependents(std::vector<io_target*>* out, void* tag) override;

    sim::usb::device& dev() const { return *binding->dev; }
    const sim::usb::descriptor_set* view() const { return binding->function.descriptors.get(); }

    std::shared_ptr<sim::usb::function_binding> binding;
    USB_DEVICE_DESCRIPTOR device_descriptor{};
    std::vector<uint8_t> configuration;  // the first configuration, as read at creation

    std::mutex lock;  // guards the fields below and every interface's configured state and pipes
    std::vector<usb_interface_object*> interfaces;  // guarded by lock
    uint8_t configuration_value = 0;                // guarded by lock; selected configuration, 0 = none
    uint8_t configuration_attributes = 0;           // guarded by lock; its bmAttributes
};

class usb_interface_object : public object {
 public:
    usb_interface_object() : object(object_type::usb_interface) {}
    bool driver_may_delete() const override { return false; }

    usb_device_object* device = nullptr;
    uint8_t number = 0;
    std::vector<usb_setting> settings;  // in the order the configuration lists them

    // Guarded by device->lock.
    bool configured = false;
    uint8_t configured_setting = 0;  // index into settings
    std::vector<usb_pipe_object*> pipes;
};

class usb_pipe_object : public io_target {
 public:
    usb_pipe_object() : io_target(object_type::usb_pipe) {}
    bool driver_may_delete() const override { return false; }
    void on_delete() override;
    void deliver(io_operation* op) override;
    bool cancel_delivered(io_operation* op, uint64_t sequence) override;

    usb_interface_object* itf = nullptr;
    usb_device_object* device = nullptr;
    WDF_USB_PIPE_INFORMATION info{};
    std::atomic<bool> no_packet_size_check{false};
};

// A transfer to a device whose function device is in a low-power state is
// failed with STATUS_DEVICE_NOT_READY (true); false lets it go to the device.
bool usb_bus_suspended(io_target* target, io_operation* op);

usb_device_object* validate_usb_device(WDFUSBDEVICE handle, const char* caller);
usb_interface_object* validate_usb_interface(WDFUSBINTERFACE handle, const char* caller);
usb_pipe_object* validate_usb_pipe(WDFUSBPIPE handle, const char* caller);

// The pipe information an endpoint descriptor gives.
void pipe_information(const USB_ENDPOINT_DESCRIPTOR& endpoint, uint8_t setting_index, WDF_USB_PIPE_INFORMATION* info);

// A control transfer on the device's default pipe, sent synchronously: with
// the caller's request when there is one, else with the framework's own.
NTSTATUS usb_control_sync(usb_device_object* usb, io_target* target, request_object* request,
                          const WDF_REQUEST_SEND_OPTIONS* options, io_kind kind, const sim::usb::setup_packet& setup,
                          uint8_t* buffer, size_t* actual, const char* caller);

// The bytes a memory object (with optional offsets) or a memory descriptor
// describes; STATUS_INTEGER_OVERFLOW for offsets outside the memory.
NTSTATUS memory_range(memory_object* memory, PWDFMEMORY_OFFSET offset, uint8_t** buffer, size_t* length);
NTSTATUS descriptor_range(PWDF_MEMORY_DESCRIPTOR descriptor, uint8_t** buffer, size_t* length, const char* caller);

// Pipe objects of an interface for every endpoint of a setting (of the
// configuration being selected; setting_index is its place there), which the
// caller puts in place, and their deletion (which cancels and waits for their
// I/O).
NTSTATUS make_pipes(usb_interface_object* itf, const usb_setting& setting, uint8_t setting_index,
                    PWDF_OBJECT_ATTRIBUTES pipe_attributes, const char* site, std::vector<usb_pipe_object*>* pipes);
void delete_pipes(const std::vector<usb_pipe_object*>& pipes);

}  // namespace wdf
