// The wire side of a simulated device: endpoint queues and packets, halts,
// injected faults and the recording of every transfer.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "sim/kernel.h"
#include "usb/usb_device.h"

namespace sim::usb {

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

void device::drain(endpoint_state& state, int32_t status, completion_list& done) {
    while (transfer* t = state.pending_head) {
        unlink(state, t);
        finish(done, t, status, t->actual, t->actual != 0);
    }
}

void device::halt_host(endpoint_state& state, transfer* t, int32_t status, completion_list& done) {
    if (t != nullptr) {
        unlink(state, t);
        finish(done, t, status, t->actual, t->actual != 0);
    }
    state.host_halted = true;
    drain(state, USBD_STATUS_ENDPOINT_HALTED, done);
}

void device::complete_all(completion_list& done) {
    const bool gone = done.gone;
    done.run();
    if (gone && on_gone) on_gone();
}

// ---- Recording -------------------------------------------------------------------

namespace {
bool is_control(const transfer* t) { return (t->endpoint & 0x0f) == 0; }

// The direction of the data: a control transfer's is its setup packet's.
bool is_in(const transfer* t) { return is_control(t) ? (t->setup[0] & 0x80) != 0 : (t->endpoint & 0x80) != 0; }

size_t requested(const transfer* t) {
    if (!is_control(t)) return t->length;
    return std::min<size_t>(static_cast<size_t>(t->setup[6] | t->setup[7] << 8), t->length);
}
}  // namespace

void device::record_submit(const transfer* t) {
    if (!recording_) return;
    const endpoint_state& state = is_control(t) ? endpoints_[0] : ep(t->endpoint);
    wire_event e;
    e.type = wire_event::kind::submit;
    e.id = t->wire_id;
    e.transfer_type = is_control(t) ? static_cast<uint8_t>(USB_ENDPOINT_TYPE_CONTROL) : state.type;
    e.endpoint = static_cast<uint8_t>((t->endpoint & 0x0f) | (is_in(t) ? 0x80 : 0));
    e.address = address_;
    e.interval = state.type == USB_ENDPOINT_TYPE_INTERRUPT ? state.interval : 0;
    e.has_setup = is_control(t);
    e.hub = enumerating_;
    std::memcpy(e.setup, t->setup, sizeof(e.setup));
    e.length = requested(t);
    e.time = t->submitted_at;
    if (!is_in(t) && e.length != 0 && t->buffer != nullptr) e.data.assign(t->buffer, t->buffer + e.length);
    events_.push_back(std::move(e));
}

void device::finish(completion_list& done, transfer* t, int32_t status, size_t actual, bool with_data) {
    if (recording_) {
        const int64_t now = sim::clock_now();
        const endpoint_state& state = is_control(t) ? endpoints_[0] : ep(t->endpoint);
        const bool data = with_data && actual != 0 && t->buffer != nullptr;
        wire_event e;
        e.type = wire_event::kind::complete;
        e.id = t->wire_id;
        e.transfer_type = is_control(t) ? static_cast<uint8_t>(USB_ENDPOINT_TYPE_CONTROL) : state.type;
        e.endpoint = static_cast<uint8_t>((t->endpoint & 0x0f) | (is_in(t) ? 0x80 : 0));
        e.address = address_;
        e.interval = state.type == USB_ENDPOINT_TYPE_INTERRUPT ? state.interval : 0;
        e.hub = enumerating_;
        e.length = actual;
        e.usbd_status = status;
        e.time = now;
        if (is_in(t) && data) e.data.assign(t->buffer, t->buffer + actual);
        events_.push_back(std::move(e));
        if (!enumerating_) {
            transfer_record r;
            r.type = is_control(t) ? transfer_record::kind::control : transfer_record::kind::bulk_or_interrupt;
            std::memcpy(r.setup, t->setup, sizeof(r.setup));
            r.endpoint = t->endpoint;
            if (data) r.data.assign(t->buffer, t->buffer + actual);
            r.usbd_status = status;
            r.in = is_in(t);
            r.requested = requested(t);
            r.submitted = t->submitted_at;
            r.completed = now;
            traffic_.push_back(std::move(r));
        }
    }
    done.add(t, status, actual);
}

void device::record_port(transfer_record::kind kind) {
    if (!recording_) return;
    transfer_record r;
    r.type = kind;
    r.submitted = r.completed = sim::clock_now();
    traffic_.push_back(std::move(r));
}

std::vector<transfer_record> device::traffic() const {
    std::lock_guard<std::mutex> guard(lock_);
    return traffic_;
}

std::vector<wire_event> device::events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
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
    events_.clear();
}

void device::set_recording(bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    recording_ = on;
}

// ---- Bulk and interrupt transfers ---------------------------------------------

void device::submit_endpoint(transfer* t) {
    completion_list done;
    std::unique_lock<std::mutex> guard(lock_);
    endpoint_state& state = ep(t->endpoint);
    record_submit(t);
    int32_t failure = USBD_STATUS_SUCCESS;
    if (!connected_) {
        failure = USBD_STATUS_DEVICE_GONE;
    } else if (!state.active) {
        failure = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (state.host_halted) {
        failure = USBD_STATUS_ENDPOINT_HALTED;
    }
    if (failure != USBD_STATUS_SUCCESS) {
        finish(done, t, failure, 0, false);
    } else {
        append(state, t);
        process(state, guard, done);
    }
    guard.unlock();
    complete_all(done);
}

void device::process(endpoint_state& state, std::unique_lock<std::mutex>& guard, completion_list& done) {
    while (transfer* t = state.pending_head) {
        const bool fresh = t->held == 0 && t->limit == SIZE_MAX && t->actual == 0;
        if (fresh && !state.faults.empty()) {
            if (!apply_fault(state, t, done)) return;
            continue;
        }
        if (state.halted) {
            // The device stalls whatever reaches it.
            halt_host(state, t, USBD_STATUS_STALL_PID, done);
            return;
        }
        if (t->held != 0) return;  // the device NAKs; those behind it wait
        if (t->endpoint & 0x80) {
            if (!deliver_in_one(state, t, done)) return;
            continue;
        }
        // One thread at a time hands OUT transfers to on_out(), so the model
        // sees them in order; a thread finding it busy leaves its transfer to it.
        if (state.hold || state.out_busy) return;
        const size_t length = std::min(t->length, t->limit);
        if (!move_out_packets(state, t, length)) return;
        state.out_busy = true;
        unlink(state, t);
        guard.unlock();
        const int32_t status = on_out(t->endpoint, t->buffer, length);
        guard.lock();
        state.out_busy = false;
        const bool ok = USBD_SUCCESS(status);
        if (ok) {
            finish(done, t, status, length, true);
        } else if (status == USBD_STATUS_STALL_PID) {
            state.halted = true;
            halt_host(state, t, status, done);
        } else if (usbd_transmission_error(status)) {
            halt_host(state, t, status, done);
        } else {
            finish(done, t, status, 0, false);
        }
    }
}

// Moves packets into the IN transfer at the head of the queue; true when it
// completed.
bool device::deliver_in_one(endpoint_state& state, transfer* t, completion_list& done) {
    const size_t max_packet = state.max_packet != 0 ? state.max_packet : SIZE_MAX;
    const size_t cap = std::min(t->length, t->limit);
    for (;;) {
        if (t->actual == cap && cap < t->length) {
            // An injected short packet: the device ends the transfer here.
            if (!take_slot(state, 0)) return false;
            unlink(state, t);
            finish(done, t, USBD_STATUS_SUCCESS, t->actual, true);
            return true;
        }
        if (state.in_data.empty()) return false;
        std::vector<uint8_t>& pushed = state.in_data.front();
        const size_t packet = std::min(max_packet, pushed.size() - state.in_offset);
        if (!take_slot(state, packet)) return false;
        if (packet > t->length - t->actual) {
            // Babble: the packet stays with the device.
            halt_host(state, t, USBD_STATUS_BABBLE_DETECTED, done);
            return true;
        }
        const size_t take = std::min(packet, cap - t->actual);
        if (take != 0) std::memcpy(t->buffer + t->actual, pushed.data() + state.in_offset, take);
        t->actual += take;
        state.in_offset += take;
        if (state.in_offset == pushed.size()) {
            state.in_data.pop_front();
            state.in_offset = 0;
        }
        if (take < max_packet || t->actual == t->length || take < packet) {
            unlink(state, t);
            finish(done, t, USBD_STATUS_SUCCESS, t->actual, true);
            return true;
        }
    }
}

// ---- Timed wire ----------------------------------------------------------------------

bool device::take_slot(endpoint_state& state, size_t bytes) {
    if (!timed_) return true;
    if (state.slots == 0) return false;
    state.slots--;
    frame_bytes_ += bytes;
    return true;
}

// t->actual counts what has gone out so far, so a cancel reports it.
bool device::move_out_packets(endpoint_state& state, transfer* t, size_t length) {
    if (!timed_) return true;
    if (length == 0) return take_slot(state, 0);
    const size_t max_packet = state.max_packet != 0 ? state.max_packet : SIZE_MAX;
    while (t->actual < length) {
        const size_t packet = std::min(max_packet, length - t->actual);
        if (!take_slot(state, packet)) return false;
        t->actual += packet;
    }
    return true;
}

void device::set_timed(bool timed) {
    completion_list done;
    {
        std::unique_lock<std::mutex> guard(lock_);
        if (timed_ == timed) return;
        timed_ = timed;
        // What waited for a frame goes now.
        if (!timed && connected_) {
            for (endpoint_state& state : endpoints_) {
                if (&state != &endpoints_[0] && &state != &endpoints_[16] && state.pending_head != nullptr) {
                    process(state, guard, done);
                }
            }
        }
    }
    complete_all(done);
}

bool device::timed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return timed_;
}

unsigned device::frame_pass(uint64_t frame, bool periodic, unsigned* slots, uint64_t* bytes) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!timed_ || !connected_) return 0;
    unsigned moved = 0;
    // Starting further along each frame, so no endpoint is always first to a short budget.
    for (size_t i = 0; i < 32 && *slots != 0; ++i) {
        endpoint_state& state = endpoints_[(i + frame) % 32];
        if (!state.active || state.pending_head == nullptr || state.type == USB_ENDPOINT_TYPE_CONTROL) continue;
        if ((state.type == USB_ENDPOINT_TYPE_INTERRUPT) != periodic) continue;
        if (state.type != USB_ENDPOINT_TYPE_BULK && state.type != USB_ENDPOINT_TYPE_INTERRUPT) continue;
        if (state.served_frame != frame) {
            state.served_frame = frame;
            state.served = 0;
        }
        if (periodic && (frame % state.period != 0 || state.served >= state.per_interval)) continue;
        frame_bytes_ = 0;
        state.slots = 1;
        process(state, guard, frame_done_);
        if (state.slots == 0) {
            moved++;
            state.served++;
            (*slots)--;
            *bytes += frame_bytes_;
        }
        state.slots = 0;
    }
    return moved;
}

void device::frame_end() {
    completion_list done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::swap(done, frame_done_);
    }
    complete_all(done);
}

// The fault for the transfer at the head of the queue; false when the device
// is gone.
bool device::apply_fault(endpoint_state& state, transfer* t, completion_list& done) {
    const fault f = state.faults.front();
    state.faults.pop_front();
    switch (f.type) {
        case fault::stall:
            state.halted = true;
            halt_host(state, t, USBD_STATUS_STALL_PID, done);
            return true;
        case fault::error:
            if (usbd_transmission_error(f.usbd_status)) {
                halt_host(state, t, f.usbd_status, done);
            } else {
                unlink(state, t);
                finish(done, t, f.usbd_status, 0, false);
            }
            return true;
        case fault::hang:
            t->held = 1;
            return true;
        case fault::late:
            t->held = 2;
            return true;
        case fault::short_packet:
            t->limit = f.n;
            return true;
        case fault::gone:
            disconnect(done);
            done.gone = true;
            return false;
    }
    return true;
}

bool device::cancel(transfer* t, uint64_t sequence, int32_t usbd_status) {
    completion_list done;
    {
        std::unique_lock<std::mutex> guard(lock_);
        // The record is read only once it is found pending here: one that has
        // completed already belongs to the host again, which may be reusing it.
        endpoint_state* owner = nullptr;
        for (endpoint_state& candidate : endpoints_) {
            for (transfer* cur = candidate.pending_head; cur != nullptr && owner == nullptr; cur = cur->next) {
                if (cur == t) owner = &candidate;
            }
            if (owner != nullptr) break;
        }
        if (owner == nullptr || t->sequence != sequence) return false;
        endpoint_state& state = *owner;
        unlink(state, t);
        finish(done, t, usbd_status, t->actual, t->actual != 0);
        // The next transfer may have waited behind a held one.
        if (!is_control(t) && connected_) process(state, guard, done);
    }
    complete_all(done);
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

// ---- Device / test side ----------------------------------------------------------

void device::push_in(uint8_t endpoint, std::vector<uint8_t> bytes) {
    completion_list done;
    {
        std::unique_lock<std::mutex> guard(lock_);
        if (!connected_) return;  // an unplugged device sends nothing
        endpoint_state& state = ep(endpoint | 0x80);
        state.in_data.push_back(std::move(bytes));
        process(state, guard, done);
    }
    complete_all(done);
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
    const endpoint_state& state = ep(endpoint | 0x80);
    const size_t max_packet = state.max_packet != 0 ? state.max_packet : SIZE_MAX;
    size_t packets = 0;
    size_t offset = state.in_offset;
    for (const std::vector<uint8_t>& pushed : state.in_data) {
        const size_t left = pushed.size() - offset;
        packets += left == 0 ? 1 : (left + max_packet - 1) / max_packet;
        offset = 0;
    }
    return packets;
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

void device::inject(uint8_t endpoint, fault f) {
    const bool control = (endpoint & 0x0f) == 0;
    if (control && f.type == fault::late) {
        throw std::invalid_argument("sim::usb::device::inject: a late completion needs a bulk or interrupt endpoint");
    }
    if (f.type == fault::error && f.usbd_status == USBD_STATUS_STALL_PID) f = fault::make_stall();
    completion_list done;
    {
        std::unique_lock<std::mutex> guard(lock_);
        endpoint_state& state = control ? endpoints_[0] : ep(endpoint);
        state.faults.push_back(f);
        // A transfer already waiting at the endpoint is the next one the device sees.
        if (!control && connected_) process(state, guard, done);
    }
    complete_all(done);
}

size_t device::release(uint8_t endpoint) {
    completion_list done;
    size_t count = 0;
    {
        std::unique_lock<std::mutex> guard(lock_);
        endpoint_state& state = ep(endpoint);
        for (transfer* t = state.pending_head; t != nullptr; t = t->next) {
            if (t->held != 2) continue;
            t->held = 0;
            count++;
        }
        if (count != 0) process(state, guard, done);
    }
    complete_all(done);
    return count;
}

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
    for (unsigned i = 0; i < count; ++i) inject(endpoint, fault::make_error(usbd_status));
}

void device::hold_out(uint8_t endpoint, bool hold) {
    completion_list done;
    std::unique_lock<std::mutex> guard(lock_);
    endpoint_state& state = ep(endpoint & 0x7f);
    state.hold = hold;
    if (!hold) process(state, guard, done);
    guard.unlock();
    complete_all(done);
}

void device::clear_faults() {
    std::lock_guard<std::mutex> guard(lock_);
    control_faults_.clear();
    for (endpoint_state& state : endpoints_) {
        state.faults.clear();
        state.hold = false;
    }
}

}  // namespace sim::usb
