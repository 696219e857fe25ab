#include "usb/usb_device.h"

#include <algorithm>
#include <cstring>

#include "ntstatus.h"

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

device::device(descriptor_set descriptors) : descriptors_(std::move(descriptors)) {
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
        connected_ = connected;
        for (endpoint_state& state : endpoints_) {
            drain(state, USBD_STATUS_DEVICE_GONE, done);
            if (connected) {
                state.in_data.clear();
                state.out_data.clear();
                state.halted = false;
            }
        }
        if (connected) unconfigure();
    }
    done.run();
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
    return ep(endpoint).halted;
}

void device::set_halted(uint8_t endpoint, bool halted) {
    completion_list done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        endpoint_state& state = ep(endpoint);
        state.halted = halted;
        if (halted && (endpoint & 0x0f) != 0) drain(state, USBD_STATUS_STALL_PID, done);
    }
    done.run();
}

uint32_t device::port_resets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return port_resets_;
}

uint32_t device::port_cycles() const {
    std::lock_guard<std::mutex> guard(lock_);
    return port_cycles_;
}

// ---- Endpoint lists ------------------------------------------------------------

void device::append(endpoint_state& state, transfer* t) {
    t->next = nullptr;
    if (state.pending_tail != nullptr) {
        state.pending_tail->next = t;
    } else {
        state.pending_head = t;
    }
    state.pending_tail = t;
}

void device::unlink(endpoint_state& state, transfer* t) {
    transfer* prev = nullptr;
    for (transfer* cur = state.pending_head; cur != nullptr; prev = cur, cur = cur->next) {
        if (cur != t) continue;
        if (prev != nullptr) {
            prev->next = cur->next;
        } else {
            state.pending_head = cur->next;
        }
        if (state.pending_tail == cur) state.pending_tail = prev;
        cur->next = nullptr;
        return;
    }
}

void device::record(transfer_record::kind kind, const transfer* t, const uint8_t* data, size_t length, int32_t status) {
    if (!recording_) return;
    transfer_record r;
    r.type = kind;
    if (t != nullptr) {
        std::memcpy(r.setup, t->setup, sizeof(r.setup));
        r.endpoint = t->endpoint;
    }
    if (data != nullptr && length != 0) r.data.assign(data, data + length);
    r.usbd_status = status;
    traffic_.push_back(std::move(r));
}

void device::drain(endpoint_state& state, int32_t status, completion_list& done) {
    while (transfer* t = state.pending_head) {
        unlink(state, t);
        bool control = (t->endpoint & 0x0f) == 0;
        record(control ? transfer_record::kind::control : transfer_record::kind::bulk_or_interrupt, t, nullptr, 0,
               status);
        done.add(t, status, 0);
    }
}

void device::deliver_in(endpoint_state& state, completion_list& done) {
    while (state.pending_head != nullptr && !state.in_data.empty()) {
        transfer* t = state.pending_head;
        std::vector<uint8_t>& packet = state.in_data.front();
        size_t n = std::min(packet.size(), t->length);
        if (n != 0) std::memcpy(t->buffer, packet.data(), n);
        record(transfer_record::kind::bulk_or_interrupt, t, packet.data(), n, USBD_STATUS_SUCCESS);
        if (n < packet.size()) {
            packet.erase(packet.begin(), packet.begin() + static_cast<long>(n));
        } else {
            state.in_data.pop_front();
        }
        unlink(state, t);
        done.add(t, USBD_STATUS_SUCCESS, n);
    }
}

// Marks the endpoints of the configuration and settings in force; transfers
// pending on endpoints that leave it are cancelled.
void device::activate_endpoints() {
    bool active[32] = {};
    active[0] = active[16] = true;
    if (configuration_ != 0) {
        for (const std::vector<uint8_t>& bytes : descriptors_.configurations) {
            if (bytes.size() < 6 || bytes[5] != configuration_) continue;
            parsed_configuration config = parse_configuration(bytes);
            for (const parsed_interface& itf : config.interfaces) {
                const parsed_setting* setting = itf.setting(alternate_[itf.number]);
                if (setting == nullptr) continue;
                for (const parsed_endpoint& e : setting->endpoints) active[slot(e.descriptor.bEndpointAddress)] = true;
            }
            break;
        }
    }
    for (size_t i = 0; i < 32; ++i) endpoints_[i].active = active[i];
}

void device::unconfigure() {
    configuration_ = 0;
    std::memset(alternate_, 0, sizeof(alternate_));
    for (endpoint_state& state : endpoints_) state.halted = false;
    activate_endpoints();
}

// ---- Host side ---------------------------------------------------------------

void device::submit(transfer* t) {
    t->actual = 0;
    t->usbd_status = USBD_STATUS_PENDING;
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
            descriptor_reply r =
                answer_get_descriptor(set, static_cast<uint8_t>(s.wValue >> 8), low, s.wIndex, s.wLength);
            if (r.stalled) return stall();
            return answer(r.data.data(), r.data.size());
        }
        case USB_REQUEST_SET_CONFIGURATION: {
            if (s.bmRequestType != 0x00) return false;
            if (low != 0 && config_with_value(descriptors_, low) == nullptr) return stall();
            configuration_ = low;
            std::memset(alternate_, 0, sizeof(alternate_));
            for (endpoint_state& state : endpoints_) state.halted = false;
            activate_endpoints();
            *configured = true;
            return answer(nullptr, 0);
        }
        case USB_REQUEST_GET_CONFIGURATION:
            if (s.bmRequestType != 0x80) return false;
            return answer(&configuration_, 1);
        case USB_REQUEST_SET_INTERFACE: {
            if (s.bmRequestType != 0x01) return false;
            const uint8_t number = static_cast<uint8_t>(s.wIndex & 0xff);
            const std::vector<uint8_t>* bytes =
                configuration_ != 0 ? config_with_value(descriptors_, configuration_) : nullptr;
            if (bytes == nullptr) return stall();
            parsed_configuration config = parse_configuration(*bytes);
            const parsed_interface* itf = config.find_interface(number);
            if (itf == nullptr || itf->setting(low) == nullptr) return stall();
            // The interface's endpoints start over: halts and data toggles cleared.
            for (const parsed_setting& setting : itf->settings) {
                for (const parsed_endpoint& e : setting.endpoints) ep(e.descriptor.bEndpointAddress).halted = false;
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
                if ((address & 0x0f) != 0) state.halted = set;
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
    completion_list done;
    bool configured = false;
    bool interface_set = false;
    uint8_t configuration = 0;
    {
        std::unique_lock<std::mutex> guard(lock_);
        if (!connected_) {
            record(transfer_record::kind::control, t, nullptr, 0, USBD_STATUS_DEVICE_GONE);
            done.add(t, USBD_STATUS_DEVICE_GONE, 0);
            guard.unlock();
            done.run();
            return;
        }
        for (auto it = control_faults_.begin(); it != control_faults_.end(); ++it) {
            if (!it->predicate(s)) continue;
            const control_fault fault = *it;
            if (--it->remaining == 0) control_faults_.erase(it);
            if (fault.hold) {
                append(endpoints_[0], t);
                return;
            }
            record(transfer_record::kind::control, t, nullptr, 0, fault.usbd_status);
            done.add(t, fault.usbd_status, 0);
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
            const bool in = s.device_to_host();
            const bool ok = USBD_SUCCESS(reply.usbd_status);
            record(transfer_record::kind::control, t, ok ? t->buffer : nullptr,
                   in ? reply.length : std::min<size_t>(s.wLength, t->length), reply.usbd_status);
            done.add(t, reply.usbd_status, ok ? (in ? reply.length : std::min<size_t>(s.wLength, t->length)) : 0);
        } else {
            guard.unlock();
            control_reply r = handle_class_or_vendor(s, t->buffer);
            const size_t room = std::min<size_t>(s.wLength, t->length);
            const bool in = s.device_to_host();
            const bool ok = USBD_SUCCESS(r.usbd_status);
            const size_t actual = ok ? (in ? std::min(r.length, room) : room) : 0;
            guard.lock();
            record(transfer_record::kind::control, t, ok ? t->buffer : nullptr, actual, r.usbd_status);
            done.add(t, r.usbd_status, actual);
        }
    }
    if (configured) on_configuration(configuration);
    if (interface_set) on_interface(static_cast<uint8_t>(s.wIndex & 0xff), static_cast<uint8_t>(s.wValue & 0xff));
    done.run();
}

void device::submit_endpoint(transfer* t) {
    completion_list done;
    std::unique_lock<std::mutex> guard(lock_);
    endpoint_state& state = ep(t->endpoint);
    int32_t failure = USBD_STATUS_SUCCESS;
    if (!connected_) {
        failure = USBD_STATUS_DEVICE_GONE;
    } else if (!state.active) {
        failure = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (state.fail_count != 0) {
        state.fail_count--;
        failure = state.fail_status;
        if (USBD_HALTED(failure)) state.halted = true;
    } else if (state.halted) {
        failure = USBD_STATUS_STALL_PID;
    }
    if (failure != USBD_STATUS_SUCCESS) {
        record(transfer_record::kind::bulk_or_interrupt, t, nullptr, 0, failure);
        done.add(t, failure, 0);
        guard.unlock();
        done.run();
        return;
    }
    append(state, t);
    if (t->endpoint & 0x80) {
        deliver_in(state, done);
    } else {
        deliver_out(state, guard, done);
    }
    guard.unlock();
    done.run();
}

// Hands an OUT endpoint's transfers to on_out() in order, one consumer at a
// time: a transfer arriving while another thread is delivering, or while the
// endpoint is held, waits in the list (where it can still be cancelled).
void device::deliver_out(endpoint_state& state, std::unique_lock<std::mutex>& guard, completion_list& done) {
    if (state.out_busy) return;
    state.out_busy = true;
    while (!state.hold && state.pending_head != nullptr) {
        transfer* next = state.pending_head;
        unlink(state, next);
        guard.unlock();
        const int32_t status = on_out(next->endpoint, next->buffer, next->length);
        guard.lock();
        const bool ok = USBD_SUCCESS(status);
        record(transfer_record::kind::bulk_or_interrupt, next, ok ? next->buffer : nullptr, ok ? next->length : 0,
               status);
        done.add(next, status, ok ? next->length : 0);
    }
    state.out_busy = false;
}

bool device::cancel(transfer* t, uint64_t sequence, int32_t usbd_status) {
    completion_list done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        endpoint_state& state = (t->endpoint & 0x0f) == 0 ? endpoints_[0] : ep(t->endpoint);
        bool found = false;
        for (transfer* cur = state.pending_head; cur != nullptr; cur = cur->next) {
            if (cur == t) {
                found = true;
                break;
            }
        }
        if (!found || t->sequence != sequence) return false;
        unlink(state, t);
        record((t->endpoint & 0x0f) == 0 ? transfer_record::kind::control : transfer_record::kind::bulk_or_interrupt, t,
               nullptr, 0, usbd_status);
        done.add(t, usbd_status, 0);
    }
    done.run();
    return true;
}

size_t device::abort_endpoint(uint8_t endpoint) {
    completion_list done;
    size_t count = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        endpoint_state& state = ep(endpoint);
        for (transfer* t = state.pending_head; t != nullptr; t = t->next) count++;
        drain(state, USBD_STATUS_CANCELED, done);
    }
    done.run();
    return count;
}

void device::reset_port() {
    completion_list done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        port_resets_++;
        record(transfer_record::kind::port_reset, nullptr, nullptr, 0, USBD_STATUS_SUCCESS);
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
        record(transfer_record::kind::port_cycle, nullptr, nullptr, 0, USBD_STATUS_SUCCESS);
        for (endpoint_state& state : endpoints_) drain(state, USBD_STATUS_DEVICE_GONE, done);
        remote_wakeup_ = false;
        unconfigure();
    }
    done.run();
    if (on_port_cycle) on_port_cycle();
}

// ---- Device / test side ----------------------------------------------------------

void device::push_in(uint8_t endpoint, std::vector<uint8_t> bytes) {
    completion_list done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!connected_) return;  // an unplugged device sends nothing
        endpoint_state& state = ep(endpoint | 0x80);
        state.in_data.push_back(std::move(bytes));
        deliver_in(state, done);
    }
    done.run();
}

std::optional<std::vector<uint8_t>> device::take_out(uint8_t endpoint) {
    std::lock_guard<std::mutex> guard(lock_);
    endpoint_state& state = ep(endpoint & 0x7f);
    if (state.out_data.empty()) return std::nullopt;
    std::vector<uint8_t> bytes = std::move(state.out_data.front());
    state.out_data.pop_front();
    return bytes;
}

std::vector<std::vector<uint8_t>> device::take_all_out(uint8_t endpoint) {
    std::lock_guard<std::mutex> guard(lock_);
    endpoint_state& state = ep(endpoint & 0x7f);
    std::vector<std::vector<uint8_t>> all(std::make_move_iterator(state.out_data.begin()),
                                          std::make_move_iterator(state.out_data.end()));
    state.out_data.clear();
    return all;
}

size_t device::queued_in(uint8_t endpoint) const {
    std::lock_guard<std::mutex> guard(lock_);
    return ep(endpoint | 0x80).in_data.size();
}

size_t device::queued_out(uint8_t endpoint) const {
    std::lock_guard<std::mutex> guard(lock_);
    return ep(endpoint & 0x7f).out_data.size();
}

size_t device::pending(uint8_t endpoint) const {
    std::lock_guard<std::mutex> guard(lock_);
    const endpoint_state& state = (endpoint & 0x0f) == 0 ? endpoints_[0] : ep(endpoint);
    size_t count = 0;
    for (const transfer* t = state.pending_head; t != nullptr; t = t->next) count++;
    return count;
}

int32_t device::on_out(uint8_t endpoint, const uint8_t* data, size_t length) {
    std::lock_guard<std::mutex> guard(lock_);
    ep(endpoint).out_data.emplace_back(data, data + length);
    return USBD_STATUS_SUCCESS;
}

control_reply device::handle_class_or_vendor(const setup_packet&, uint8_t*) {
    control_reply reply;
    reply.usbd_status = USBD_STATUS_STALL_PID;
    return reply;
}

void device::on_configuration(uint8_t) {}
void device::on_interface(uint8_t, uint8_t) {}

// ---- Fault injection ---------------------------------------------------------------

void device::fail_next_control(control_predicate predicate, int32_t usbd_status, unsigned count) {
    if (count == 0) return;
    std::lock_guard<std::mutex> guard(lock_);
    control_faults_.push_back({std::move(predicate), usbd_status, count, false});
}

void device::hold_next_control(control_predicate predicate, unsigned count) {
    if (count == 0) return;
    std::lock_guard<std::mutex> guard(lock_);
    control_faults_.push_back({std::move(predicate), USBD_STATUS_PENDING, count, true});
}

void device::fail_next_transfer(uint8_t endpoint, int32_t usbd_status, unsigned count) {
    std::lock_guard<std::mutex> guard(lock_);
    endpoint_state& state = ep(endpoint);
    state.fail_count = count;
    state.fail_status = usbd_status;
}

void device::hold_out(uint8_t endpoint, bool hold) {
    completion_list done;
    std::unique_lock<std::mutex> guard(lock_);
    endpoint_state& state = ep(endpoint & 0x7f);
    state.hold = hold;
    if (!hold) deliver_out(state, guard, done);
    guard.unlock();
    done.run();
}

void device::clear_faults() {
    std::lock_guard<std::mutex> guard(lock_);
    control_faults_.clear();
    for (endpoint_state& state : endpoints_) {
        state.fail_count = 0;
        state.hold = false;
    }
}

// ---- Traffic -------------------------------------------------------------------

std::vector<transfer_record> device::traffic() const {
    std::lock_guard<std::mutex> guard(lock_);
    return traffic_;
}

std::vector<transfer_record> device::control_traffic(const control_predicate& predicate) const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<transfer_record> out;
    for (const transfer_record& r : traffic_) {
        if (r.type == transfer_record::kind::control && predicate(r.packet())) out.push_back(r);
    }
    return out;
}

void device::clear_traffic() {
    std::lock_guard<std::mutex> guard(lock_);
    traffic_.clear();
}

void device::set_recording(bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    recording_ = on;
}

}  // namespace sim::usb
