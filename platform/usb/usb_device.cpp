#include "usb/usb_device.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "ntstatus.h"
#include "sim/kernel.h"

namespace sim::usb {

// ---- Setup packets and predicates ------------------------------------------------

setup_packet setup_packet::from_bytes(const uint8_t bytes[8]) {
    setup_packet p;
    p.bmRequestType = bytes[0];
    p.bRequest = bytes[1];
    p.wValue = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
    p.wIndex = static_cast<uint16_t>(bytes[4] | bytes[5] << 8);
    p.wLength = static_cast<uint16_t>(bytes[6] | bytes[7] << 8);
    return p;
}

void setup_packet::to_bytes(uint8_t bytes[8]) const {
    bytes[0] = bmRequestType;
    bytes[1] = bRequest;
    bytes[2] = static_cast<uint8_t>(wValue & 0xff);
    bytes[3] = static_cast<uint8_t>(wValue >> 8);
    bytes[4] = static_cast<uint8_t>(wIndex & 0xff);
    bytes[5] = static_cast<uint8_t>(wIndex >> 8);
    bytes[6] = static_cast<uint8_t>(wLength & 0xff);
    bytes[7] = static_cast<uint8_t>(wLength >> 8);
}

namespace match {

bool any(const setup_packet&) { return true; }

bool set_configuration(const setup_packet& s) {
    return s.bmRequestType == 0x00 && s.bRequest == USB_REQUEST_SET_CONFIGURATION;
}

bool set_interface(const setup_packet& s) { return s.bmRequestType == 0x01 && s.bRequest == USB_REQUEST_SET_INTERFACE; }

bool clear_feature(const setup_packet& s) {
    return s.type() == BMREQUEST_STANDARD && s.bRequest == USB_REQUEST_CLEAR_FEATURE;
}

bool class_or_vendor(const setup_packet& s) { return s.type() == BMREQUEST_CLASS || s.type() == BMREQUEST_VENDOR; }

control_predicate get_descriptor(uint8_t descriptor_type) {
    return [descriptor_type](const setup_packet& s) {
        return s.type() == BMREQUEST_STANDARD && s.device_to_host() && s.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
               (s.wValue >> 8) == descriptor_type;
    };
}

control_predicate get_string(uint8_t index) {
    return [index](const setup_packet& s) {
        return s.type() == BMREQUEST_STANDARD && s.device_to_host() && s.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
               (s.wValue >> 8) == USB_STRING_DESCRIPTOR_TYPE && (s.wValue & 0xff) == index;
    };
}

control_predicate request(uint8_t bm_request_type, uint8_t b_request) {
    return [bm_request_type, b_request](const setup_packet& s) {
        return s.bmRequestType == bm_request_type && s.bRequest == b_request;
    };
}

}  // namespace match

NTSTATUS ntstatus_from_usbd(int32_t usbd_status) {
    switch (usbd_status) {
        case USBD_STATUS_SUCCESS:
            return STATUS_SUCCESS;
        case USBD_STATUS_CANCELED:
            return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE:
            return STATUS_NO_SUCH_DEVICE;
        case USBD_STATUS_TIMEOUT:
            return STATUS_IO_TIMEOUT;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INTERFACE_NOT_FOUND:
            return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_INSUFFICIENT_RESOURCES:
        case USBD_STATUS_NO_BANDWIDTH:
            return STATUS_INSUFFICIENT_RESOURCES;
        case USBD_STATUS_BUFFER_TOO_SMALL:
            return STATUS_BUFFER_TOO_SMALL;
        case USBD_STATUS_NOT_SUPPORTED:
            return STATUS_NOT_SUPPORTED;
        case USBD_STATUS_CRC:
        case USBD_STATUS_BTSTUFF:
        case USBD_STATUS_DATA_TOGGLE_MISMATCH:
        case USBD_STATUS_DEV_NOT_RESPONDING:
        case USBD_STATUS_DATA_OVERRUN:
        case USBD_STATUS_DATA_UNDERRUN:
        case USBD_STATUS_BUFFER_OVERRUN:
        case USBD_STATUS_BUFFER_UNDERRUN:
        case USBD_STATUS_XACT_ERROR:
        case USBD_STATUS_BABBLE_DETECTED:
            return STATUS_DEVICE_DATA_ERROR;
        default:
            return USBD_SUCCESS(usbd_status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
}

// ---- Completion --------------------------------------------------------------

void device::completion_list::add(transfer* t, int32_t status, size_t actual) {
    t->usbd_status = status;
    t->actual = actual;
    t->next = nullptr;
    if (tail != nullptr) {
        tail->next = t;
    } else {
        head = t;
    }
    tail = t;
}

void device::completion_list::run() {
    transfer* t = head;
    head = tail = nullptr;
    while (t != nullptr) {
        // The host may reuse the record from its completion on: read the link first.
        transfer* next = t->next;
        t->next = nullptr;
        if (t->complete != nullptr) t->complete(t, t->context);
        t = next;
    }
}

// ---- Construction and state ----------------------------------------------------

device::device(descriptor_set descriptors) : device(std::make_shared<const descriptor_set>(std::move(descriptors))) {}

device::device(std::shared_ptr<const descriptor_set> descriptors)
    : shared_(std::move(descriptors)), descriptors_(*shared_) {
    endpoints_[0].active = true;
    endpoints_[16].active = true;
}

device::~device() {
    completion_list done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (endpoint_state& state : endpoints_) drain(state, USBD_STATUS_DEVICE_GONE, done);
    }
    done.run();
}

bool device::connected() const {
    std::lock_guard<std::mutex> guard(lock_);
    return connected_;
}

void device::set_connected(bool connected) {
    completion_list done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (connected_ == connected) return;
        if (!connected) {
            disconnect(done);
        } else {
            connected_ = true;
            address_ = 0;
            remote_wakeup_ = false;
            enumerating_ = false;
            for (endpoint_state& state : endpoints_) {
                state.in_data.clear();
                state.in_offset = 0;
                state.out_data.clear();
            }
            unconfigure();
        }
    }
    done.run();
    // Powered anew: the device's own logic starts from its unconfigured state.
    if (connected) on_configuration(0);
}

void device::disconnect(completion_list& done) {
    connected_ = false;
    for (endpoint_state& state : endpoints_) drain(state, USBD_STATUS_DEVICE_GONE, done);
}

uint8_t device::configuration() const {
    std::lock_guard<std::mutex> guard(lock_);
    return configuration_;
}

uint8_t device::alternate_setting(uint8_t interface_number) const {
    std::lock_guard<std::mutex> guard(lock_);
    return alternate_[interface_number];
}

bool device::remote_wakeup_enabled() const {
    std::lock_guard<std::mutex> guard(lock_);
    return remote_wakeup_;
}

bool device::halted(uint8_t endpoint) const {
    std::lock_guard<std::mutex> guard(lock_);
    const endpoint_state& state = ep(endpoint);
    return state.halted || state.host_halted;
}

void device::set_halted(uint8_t endpoint, bool halted) {
    completion_list done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        endpoint_state& state = ep(endpoint);
        if ((endpoint & 0x0f) == 0) return;  // a control endpoint stalls one request at a time
        state.halted = halted;
        if (!halted) {
            state.host_halted = false;
        } else if (state.pending_head != nullptr) {
            // The transfer the device is working on sees the stall.
            halt_host(state, state.pending_head, USBD_STATUS_STALL_PID, done);
        }
    }
    done.run();
}

uint8_t device::address() const {
    std::lock_guard<std::mutex> guard(lock_);
    return address_;
}

uint32_t device::port_resets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return port_resets_;
}

uint32_t device::port_cycles() const {
    std::lock_guard<std::mutex> guard(lock_);
    return port_cycles_;
}

// Marks the endpoints of the configuration and settings in force; transfers
// pending on endpoints that leave it are cancelled.
namespace {
// How often the host polls an interrupt endpoint, in the frames of the
// device's speed (USB 2.0, 9.6.6): bInterval frames at full and low speed,
// 2^(bInterval-1) microframes at high speed, where wMaxPacketSize bits 12..11
// add up to two more transactions per microframe.
template <typename State>
void set_timing(State& state, const USB_ENDPOINT_DESCRIPTOR& d, usb_speed speed) {
    state.per_interval = 1;
    state.period = 1;
    if ((d.bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_INTERRUPT) return;
    if (speed == usb_speed::high) {
        const unsigned exponent = std::min<unsigned>(std::max<unsigned>(d.bInterval, 1), 16) - 1;
        state.period = 1u << exponent;
        state.per_interval = static_cast<uint8_t>(1 + std::min((d.wMaxPacketSize >> 11) & 0x3, 2));
    } else {
        state.period = std::max<unsigned>(d.bInterval, 1);
    }
}
}  // namespace

void device::activate_endpoints() {
    bool active[32] = {};
    active[0] = active[16] = true;
    if (configuration_ != 0) {
        for (const std::vector<uint8_t>& bytes : descriptors_.configurations) {
            if (bytes.size() < 6 || bytes[5] != configuration_) continue;
            const auto config = shared_parse(bytes);
            for (const parsed_interface& itf : config->interfaces) {
                const parsed_setting* setting = itf.setting(alternate_[itf.number]);
                if (setting == nullptr) continue;
                for (const parsed_endpoint& e : setting->endpoints) {
                    const USB_ENDPOINT_DESCRIPTOR& d = e.descriptor;
                    endpoint_state& state = ep(d.bEndpointAddress);
                    active[slot(d.bEndpointAddress)] = true;
                    state.type = d.bmAttributes & USB_ENDPOINT_TYPE_MASK;
                    state.max_packet = static_cast<uint16_t>(d.wMaxPacketSize & 0x07ff);
                    state.interval = d.bInterval;
                    set_timing(state, d, descriptors_.speed);
                }
            }
            break;
        }
    }
    for (size_t i = 0; i < 32; ++i) endpoints_[i].active = active[i];
    for (size_t i : {0, 16}) {
        endpoints_[i].type = USB_ENDPOINT_TYPE_CONTROL;
        endpoints_[i].max_packet = descriptors_.device.bMaxPacketSize0;
    }
}

void device::unconfigure() {
    configuration_ = 0;
    std::memset(alternate_, 0, sizeof(alternate_));
    for (endpoint_state& state : endpoints_) state.halted = state.host_halted = false;
    activate_endpoints();
}

// ---- Host side ---------------------------------------------------------------

namespace {
// Shared by every device, so the transfers in a capture of several never share an id.
std::atomic<uint64_t> next_wire_id{1};
}  // namespace

void device::submit(transfer* t) {
    t->actual = 0;
    t->usbd_status = USBD_STATUS_PENDING;
    t->wire_id = next_wire_id.fetch_add(1, std::memory_order_relaxed);
    t->submitted_at = sim::clock_now();
    t->held = 0;
    t->limit = SIZE_MAX;
    if ((t->endpoint & 0x0f) == 0) {
        submit_control(t);
    } else {
        submit_endpoint(t);
    }
}

namespace {
const std::vector<uint8_t>* config_with_value(const descriptor_set& set, uint8_t value) {
    for (const std::vector<uint8_t>& bytes : set.configurations) {
        if (bytes.size() >= 9 && bytes[5] == value) return &bytes;
    }
    return nullptr;
}
}  // namespace

bool device::standard_request(const setup_packet& s, transfer* t, control_reply* reply, bool* configured,
                              bool* interface_set) {
    const size_t room = std::min<size_t>(s.wLength, t->length);
    auto answer = [&](const uint8_t* bytes, size_t n) {
        n = std::min(n, room);
        if (n != 0 && bytes != nullptr) std::memcpy(t->buffer, bytes, n);
        reply->usbd_status = USBD_STATUS_SUCCESS;
        reply->length = n;
        return true;
    };
    auto stall = [&] {
        reply->usbd_status = USBD_STATUS_STALL_PID;
        reply->length = 0;
        return true;
    };
    const uint8_t low = static_cast<uint8_t>(s.wValue & 0xff);
    switch (s.bRequest) {
        case USB_REQUEST_GET_DESCRIPTOR: {
            if (s.bmRequestType != 0x80) return false;
            const descriptor_set& set = t->view != nullptr ? *t->view : descriptors_;
            size_t written = 0;
            if (!answer_get_descriptor(set, static_cast<uint8_t>(s.wValue >> 8), low, s.wIndex, s.wLength, t->buffer,
                                       room, &written)) {
                return stall();
            }
            reply->usbd_status = USBD_STATUS_SUCCESS;
            reply->length = written;
            return true;
        }
        case USB_REQUEST_SET_CONFIGURATION: {
            if (s.bmRequestType != 0x00) return false;
            if (low != 0 && config_with_value(descriptors_, low) == nullptr) return stall();
            configuration_ = low;
            std::memset(alternate_, 0, sizeof(alternate_));
            for (endpoint_state& state : endpoints_) state.halted = state.host_halted = false;
            activate_endpoints();
            *configured = true;
            return answer(nullptr, 0);
        }
        case USB_REQUEST_SET_ADDRESS:
            // Takes effect after the status stage (submit_control).
            if (s.bmRequestType != 0x00) return false;
            if (s.wValue > 127) return stall();
            return answer(nullptr, 0);
        case USB_REQUEST_GET_CONFIGURATION:
            if (s.bmRequestType != 0x80) return false;
            return answer(&configuration_, 1);
        case USB_REQUEST_SET_INTERFACE: {
            if (s.bmRequestType != 0x01) return false;
            const uint8_t number = static_cast<uint8_t>(s.wIndex & 0xff);
            const std::vector<uint8_t>* bytes =
                configuration_ != 0 ? config_with_value(descriptors_, configuration_) : nullptr;
            if (bytes == nullptr) return stall();
            const auto config = shared_parse(*bytes);
            const parsed_interface* itf = config->find_interface(number);
            if (itf == nullptr || itf->setting(low) == nullptr) return stall();
            // The interface's endpoints start over: halts and data toggles cleared.
            for (const parsed_setting& setting : itf->settings) {
                for (const parsed_endpoint& e : setting.endpoints) {
                    endpoint_state& state = ep(e.descriptor.bEndpointAddress);
                    state.halted = state.host_halted = false;
                }
            }
            alternate_[number] = low;
            activate_endpoints();
            *interface_set = true;
            return answer(nullptr, 0);
        }
        case USB_REQUEST_GET_INTERFACE: {
            if (s.bmRequestType != 0x81) return false;
            if (configuration_ == 0) return stall();
            const uint8_t alternate = alternate_[s.wIndex & 0xff];
            return answer(&alternate, 1);
        }
        case USB_REQUEST_GET_STATUS: {
            uint8_t status[2] = {0, 0};
            if (s.bmRequestType == 0x80) {
                const std::vector<uint8_t>* bytes = config_with_value(descriptors_, configuration_);
                if (bytes == nullptr && !descriptors_.configurations.empty() &&
                    descriptors_.configurations[0].size() >= 9) {
                    bytes = &descriptors_.configurations[0];
                }
                if (bytes != nullptr && ((*bytes)[7] & USB_CONFIG_SELF_POWERED) != 0) status[0] |= 0x01;
                if (remote_wakeup_) status[0] |= 0x02;
            } else if (s.bmRequestType == 0x82) {
                const endpoint_state& state = ep(static_cast<uint8_t>(s.wIndex & 0xff));
                if (!state.active) return stall();
                if (state.halted) status[0] |= 0x01;
            } else if (s.bmRequestType != 0x81) {
                return false;
            }
            return answer(status, 2);
        }
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE: {
            const bool set = s.bRequest == USB_REQUEST_SET_FEATURE;
            if (s.bmRequestType == 0x02 && s.wValue == USB_FEATURE_ENDPOINT_STALL) {
                const uint8_t address = static_cast<uint8_t>(s.wIndex & 0xff);
                endpoint_state& state = ep(address);
                if (!state.active) return stall();
                // Endpoint 0 cannot be halted; clearing it is a no-op.
                if ((address & 0x0f) != 0) {
                    state.halted = set;
                    // Clearing is also the host's pipe reset: its endpoint runs again.
                    if (!set) state.host_halted = false;
                }
                return answer(nullptr, 0);
            }
            if (s.bmRequestType == 0x00 && s.wValue == USB_FEATURE_REMOTE_WAKEUP) {
                remote_wakeup_ = set;
                return answer(nullptr, 0);
            }
            if (s.bmRequestType == 0x00 || s.bmRequestType == 0x02) return stall();
            return false;
        }
        default:
            if (s.recipient() == BMREQUEST_TO_DEVICE) return stall();
            return false;
    }
}

void device::submit_control(transfer* t) {
    const setup_packet s = setup_packet::from_bytes(t->setup);
    const size_t room = std::min<size_t>(s.wLength, t->length);
    const bool in = s.device_to_host();
    completion_list done;
    bool configured = false;
    bool interface_set = false;
    uint8_t configuration = 0;
    {
        std::unique_lock<std::mutex> guard(lock_);
        record_submit(t);
        if (!connected_) {
            finish(done, t, USBD_STATUS_DEVICE_GONE, 0, false);
            guard.unlock();
            done.run();
            return;
        }
        // The hub's own requests come before any test could mean them.
        endpoint_state& control = endpoints_[0];
        if (!enumerating_ && !control.faults.empty()) {
            const fault f = control.faults.front();
            control.faults.pop_front();
            switch (f.type) {
                case fault::stall:
                case fault::error:
                    finish(done, t, f.type == fault::stall ? USBD_STATUS_STALL_PID : f.usbd_status, 0, false);
                    guard.unlock();
                    done.run();
                    return;
                case fault::hang:
                case fault::late:
                    t->held = 1;
                    append(control, t);
                    return;
                case fault::gone:
                    append(control, t);
                    disconnect(done);
                    done.gone = true;
                    guard.unlock();
                    complete_all(done);
                    return;
                case fault::short_packet:
                    t->limit = f.n;
                    break;
            }
        }
        for (auto it = control_faults_.begin(); !enumerating_ && it != control_faults_.end(); ++it) {
            if (!it->predicate(s)) continue;
            const control_fault cf = *it;
            if (--it->remaining == 0) control_faults_.erase(it);
            if (cf.hold) {
                t->held = 1;
                append(control, t);
                return;
            }
            finish(done, t, cf.usbd_status, 0, false);
            guard.unlock();
            done.run();
            return;
        }
        control_reply reply;
        if (s.type() == BMREQUEST_STANDARD && standard_request(s, t, &reply, &configured, &interface_set)) {
            if (configured) configuration = configuration_;
            for (endpoint_state& state : endpoints_) {
                if (!state.active) drain(state, USBD_STATUS_CANCELED, done);
            }
        } else {
            guard.unlock();
            reply = handle_class_or_vendor(s, t->buffer);
            guard.lock();
        }
        const bool ok = USBD_SUCCESS(reply.usbd_status);
        const size_t actual = ok ? std::min(in ? std::min(reply.length, room) : room, t->limit) : 0;
        finish(done, t, reply.usbd_status, actual, ok);
        if (ok && s.bRequest == USB_REQUEST_SET_ADDRESS && s.bmRequestType == 0x00) {
            address_ = static_cast<uint8_t>(s.wValue);
        }
    }
    if (configured) on_configuration(configuration);
    if (interface_set) on_interface(static_cast<uint8_t>(s.wIndex & 0xff), static_cast<uint8_t>(s.wValue & 0xff));
    done.run();
}

void device::hub_enumerate(uint8_t address, bool configure) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        enumerating_ = true;
    }
    std::vector<uint8_t> buffer(64);
    auto request = [&](uint8_t type, uint8_t b_request, uint16_t value, uint16_t length) {
        setup_packet s;
        s.bmRequestType = type;
        s.bRequest = b_request;
        s.wValue = value;
        s.wLength = length;
        if (buffer.size() < length) buffer.resize(length);
        transfer t;
        s.to_bytes(t.setup);
        t.buffer = buffer.data();
        t.length = length;
        submit(&t);  // standard requests complete at once
        return USBD_SUCCESS(t.usbd_status) ? t.actual : 0;
    };
    const uint16_t device_type = USB_DEVICE_DESCRIPTOR_TYPE << 8;
    const uint16_t configuration_type = USB_CONFIGURATION_DESCRIPTOR_TYPE << 8;
    request(0x80, USB_REQUEST_GET_DESCRIPTOR, device_type, 64);
    request(0x00, USB_REQUEST_SET_ADDRESS, address, 0);
    request(0x80, USB_REQUEST_GET_DESCRIPTOR, device_type, sizeof(USB_DEVICE_DESCRIPTOR));
    if (request(0x80, USB_REQUEST_GET_DESCRIPTOR, configuration_type, 9) >= 9) {
        const uint16_t total = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
        const uint8_t value = buffer[5];
        if (request(0x80, USB_REQUEST_GET_DESCRIPTOR, configuration_type, total) != 0 && configure) {
            request(0x00, USB_REQUEST_SET_CONFIGURATION, value, 0);
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    enumerating_ = false;
}

void device::reset_port() {
    completion_list done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        port_resets_++;
        record_port(transfer_record::kind::port_reset);
        for (endpoint_state& state : endpoints_) drain(state, USBD_STATUS_CANCELED, done);
        remote_wakeup_ = false;
        unconfigure();
    }
    done.run();
}

void device::cycle_port() {
    completion_list done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        port_cycles_++;
        record_port(transfer_record::kind::port_cycle);
        for (endpoint_state& state : endpoints_) drain(state, USBD_STATUS_DEVICE_GONE, done);
        remote_wakeup_ = false;
        unconfigure();
    }
    done.run();
    if (on_port_cycle) on_port_cycle();
}

}  // namespace sim::usb
