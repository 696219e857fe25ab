#include "devices/models/function_model.h"

#include <algorithm>
#include <cstring>

namespace sim::devices {

bool function_layout::owns_interface(uint8_t number) const {
    return std::find(interfaces.begin(), interfaces.end(), number) != interfaces.end();
}

std::vector<uint8_t> function_layout::class_descriptor(uint8_t type, int subtype) const {
    size_t offset = 0;
    while (offset + 2 <= class_descriptors.size()) {
        const uint8_t length = class_descriptors[offset];
        if (length < 2 || offset + length > class_descriptors.size()) break;
        const bool subtype_matches = subtype < 0 || (length >= 3 && class_descriptors[offset + 2] == subtype);
        if (class_descriptors[offset + 1] == type && subtype_matches) {
            return {class_descriptors.begin() + static_cast<long>(offset),
                    class_descriptors.begin() + static_cast<long>(offset + length)};
        }
        offset += length;
    }
    return {};
}

// ---- function_model ------------------------------------------------------------

function_model::function_model(function_layout layout) : layout_(std::move(layout)) {}
function_model::~function_model() = default;

usb::control_reply function_model::on_control(const usb::setup_packet&, uint8_t*) { return stall(); }

// A model that takes no data still accepts it, as a device's endpoint does.
int32_t function_model::on_out(uint8_t, const uint8_t*, size_t) { return USBD_STATUS_SUCCESS; }

void function_model::on_configuration(uint8_t) {}
void function_model::on_interface(uint8_t, uint8_t) {}

void function_model::send_in(uint8_t endpoint, std::vector<uint8_t> bytes) {
    if (device_ == nullptr || endpoint == 0) return;
    device_->push_in(endpoint, std::move(bytes));
}

uint32_t function_model::bus_resets() const {
    return device_ == nullptr ? 0 : device_->port_resets() + device_->port_cycles();
}

usb::control_reply function_model::stall() {
    usb::control_reply reply;
    reply.usbd_status = USBD_STATUS_STALL_PID;
    return reply;
}

usb::control_reply function_model::ok(size_t length) {
    usb::control_reply reply;
    reply.length = length;
    return reply;
}

usb::control_reply function_model::reply_with(const usb::setup_packet& setup, uint8_t* data,
                                              const std::vector<uint8_t>& bytes) {
    const size_t n = std::min<size_t>(setup.wLength, bytes.size());
    if (n != 0) std::memcpy(data, bytes.data(), n);
    return ok(n);
}

// ---- model_device --------------------------------------------------------------

model_device::model_device(usb::descriptor_set descriptors) : usb::device(std::move(descriptors)) {}

model_device::~model_device() = default;

void model_device::add(std::unique_ptr<function_model> model) {
    model->device_ = this;
    functions_.push_back(std::move(model));
}

function_model* model_device::function_at(uint8_t interface_number) const {
    for (const auto& f : functions_) {
        if (f->layout().owns_interface(interface_number)) return f.get();
    }
    return nullptr;
}

function_model* model_device::owner_of_endpoint(uint8_t endpoint) const {
    for (const auto& f : functions_) {
        const function_layout& l = f->layout();
        if (endpoint != 0 && (endpoint == l.notify_in || endpoint == l.data_in || endpoint == l.data_out)) {
            return f.get();
        }
    }
    return nullptr;
}

usb::control_reply model_device::handle_class_or_vendor(const usb::setup_packet& setup, uint8_t* data) {
    function_model* owner = nullptr;
    switch (setup.recipient()) {
        case BMREQUEST_TO_INTERFACE:
            owner = function_at(static_cast<uint8_t>(setup.wIndex & 0xff));
            break;
        case BMREQUEST_TO_ENDPOINT:
            owner = owner_of_endpoint(static_cast<uint8_t>(setup.wIndex & 0xff));
            break;
        case BMREQUEST_TO_DEVICE:
            if (functions_.size() == 1) owner = functions_[0].get();
            break;
        default:
            break;
    }
    // Standard requests to an interface or endpoint reach here too; no model
    // answers those.
    if (owner == nullptr || setup.type() == BMREQUEST_STANDARD) return usb::device::handle_class_or_vendor(setup, data);
    return owner->on_control(setup, data);
}

int32_t model_device::on_out(uint8_t endpoint, const uint8_t* data, size_t length) {
    for (const auto& f : functions_) {
        if (f->layout().data_out == endpoint) return f->on_out(endpoint, data, length);
    }
    return usb::device::on_out(endpoint, data, length);
}

void model_device::on_configuration(uint8_t configuration_value) {
    for (const auto& f : functions_) f->on_configuration(configuration_value);
}

void model_device::on_interface(uint8_t interface_number, uint8_t alternate_setting) {
    if (function_model* owner = function_at(interface_number)) owner->on_interface(interface_number, alternate_setting);
}

}  // namespace sim::devices
