// What the bus-call targets share: a device whose answers come from the
// input, the child driver's side of each bus-interface slot, and what the
// device does on its own between calls.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "devices/catalogue.h"
#include "fuzz_host.h"
#include "sim/symbols.h"
#include "usb/usb_device.h"
#include "wdf/wdf_object.h"

namespace cdc_fuzz {

namespace catalogue = sim::usb::catalogue;

#ifdef CDC_DRIVER_IMAGE  // the targets that load the driver (not the seed writer)
// The image stays mapped (pinned), so its globals are found once.
template <typename T>
T* driver_global(const char* name) {
    auto* global = static_cast<T*>(sim::image_symbol(CDC_DRIVER_IMAGE, name));
    if (global == nullptr) {
        fprintf(stderr, "no %s in the driver image\n", name);
        abort();
    }
    return global;
}

inline DRV_CTX* drv_of() {
    static auto* drv = driver_global<DRV_CTX>("drv_ctx");
    return drv;
}
#endif

// Answers class and vendor requests from its own part of the input, read in
// a cycle: requests may come from the platform's threads as well as the child's.
class scripted_device : public sim::usb::device {
 public:
    scripted_device(std::shared_ptr<const sim::usb::descriptor_set> set, std::vector<uint8_t> answers)
        : device(std::move(set)), answers_(std::move(answers)) {}

    void set_answers(std::vector<uint8_t> answers) {
        std::lock_guard<std::mutex> guard(lock_);
        answers_ = std::move(answers);
        pos_ = 0;
    }

 protected:
    sim::usb::control_reply handle_class_or_vendor(const sim::usb::setup_packet& setup, uint8_t* data) override {
        std::lock_guard<std::mutex> guard(lock_);
        sim::usb::control_reply reply;
        if (next() & 1) {
            reply.usbd_status = USBD_STATUS_STALL_PID;
            return reply;
        }
        if (setup.device_to_host()) {
            reply.length = std::min<size_t>(next(), setup.wLength);
            for (size_t i = 0; i < reply.length; i++) data[i] = next();
        }
        return reply;
    }

 private:
    uint8_t next() { return answers_.empty() ? 0 : answers_[pos_++ % answers_.size()]; }

    std::mutex lock_;
    std::vector<uint8_t> answers_;  // guarded by lock_
    size_t pos_ = 0;                // guarded by lock_
};

inline void on_complete(PVOID, NTSTATUS, ULONG) {}
inline void on_notify(PVOID, PVOID, ULONG) {}
inline LONG on_children_msg(PVOID, ULONG_PTR) { return 0; }

inline sim::usb::descriptor_set make_device(uint8_t which) {
    switch (which % 8) {
        case 0:
            return catalogue::acm_modem();
        case 1: {
            catalogue::device_options high;
            high.speed = sim::usb::usb_speed::high;
            return catalogue::acm_modem(high);
        }
        case 2:
            return catalogue::acm_without_notification();
        case 3:
            return catalogue::obex_phone();
        case 4:
            return catalogue::ecm_adapter();
        case 5:
            return catalogue::vendor_serial_3ep();
        case 6:
            return catalogue::vendor_serial_2ep();
        default:
            return catalogue::eem_adapter();
    }
}

// The endpoints of the function's first setting that has them.
struct endpoints {
    uint8_t bulk_in = 0, bulk_out = 0, interrupt_in = 0;
};

inline endpoints find_endpoints(const sim::usb::descriptor_set& set) {
    endpoints out;
    auto parsed = sim::usb::parse_configuration(set.configurations.at(0));
    for (const auto& ifc : parsed.interfaces) {
        for (const auto& setting : ifc.settings) {
            for (const auto& ep : setting.endpoints) {
                const uint8_t address = ep.descriptor.bEndpointAddress;
                const uint8_t type = ep.descriptor.bmAttributes & 3;
                if (type == USB_ENDPOINT_TYPE_BULK && (address & 0x80) && !out.bulk_in) out.bulk_in = address;
                if (type == USB_ENDPOINT_TYPE_BULK && !(address & 0x80) && !out.bulk_out) out.bulk_out = address;
                if (type == USB_ENDPOINT_TYPE_INTERRUPT && (address & 0x80) && !out.interrupt_in) {
                    out.interrupt_in = address;
                }
            }
        }
    }
    return out;
}

// One of the built-in devices: its descriptors and endpoints, made once and
// shared by every device plugged as it.
struct device_kind {
    std::shared_ptr<const sim::usb::descriptor_set> set;
    endpoints eps;
};

inline const device_kind& pick_device(uint8_t which) {
    static const device_kind* const kinds = [] {
        auto* made = new device_kind[8];  // never destroyed
        for (uint8_t i = 0; i < 8; i++) {
            made[i].set = std::make_shared<const sim::usb::descriptor_set>(make_device(i));
            made[i].eps = find_endpoints(*made[i].set);
        }
        return made;
    }();
    return kinds[which % 8];
}

// Buffers handed to asynchronous calls, kept until the host is gone.
class buffers {
 public:
    void clear() { held_.clear(); }

    uint8_t* get(size_t size, input& in) {
        held_.emplace_back(size ? size : 1);
        auto& b = held_.back();
        for (size_t i = 0; i < size && !in.empty() && i < 16; i++) b[i] = in.u8();
        return b.data();
    }

 private:
    std::deque<std::vector<uint8_t>> held_;
};

inline LONGLONG timeout_from(input& in) { return -static_cast<LONGLONG>(1 + in.u8()) * 100000; }  // 10 ms steps

// What one child driver keeps between its calls.
struct child_state {
    int opened = 0;   // data_io_init calls not yet undone
    int enabled = 0;  // transport enables not yet undone, failed ones included
};

// The number of slot operations call_slot knows; device operations follow.
constexpr uint8_t slot_ops = 36;

// One bus-interface call of a child driver, arguments from the input. The
// child keeps the contract a child driver has: buffers live until their
// completion, synchronous calls carry a time-out, data-path calls come
// between its own data_io_init and uninit.
inline void call_slot(CDC_BUS_INTERFACE& bus, WDFDEVICE child, uint8_t op, input& in, buffers& held,
                      child_state& state) {
    ULONG bytes = 0;
    switch (op % slot_ops) {
        case 0: {
            const bool dir_in = in.u8() & 1;
            const UCHAR request = in.u8();
            const USHORT value = in.u16();
            const USHORT length = in.u8();
            bus.class_control_sync(child, dir_in, request, value, length, held.get(length, in), &bytes,
                                   timeout_from(in));
            break;
        }
        case 1: {
            uint8_t* setup = held.get(8, in);
            const USHORT length = in.u8();
            bus.generic_control_sync(child, setup, held.get(length, in), length, &bytes, timeout_from(in));
            break;
        }
        case 2: {
            const bool dir_in = in.u8() & 1;
            const UCHAR request = in.u8();
            const USHORT value = in.u16();
            const USHORT length = in.u8();
            bus.class_control_async(child, dir_in, request, value, length, held.get(length, in), on_complete, nullptr,
                                    nullptr, in.u8() & 1 ? timeout_from(in) : 0);
            break;
        }
        case 3: {
            uint8_t* setup = held.get(8, in);
            const USHORT length = in.u8();
            bus.generic_control_async(child, setup, held.get(length, in), length, on_complete, nullptr, nullptr, 0);
            break;
        }
        case 4:
            // The function device keeps its count of a failed opening too:
            // the child undoes every enable.
            bus.cdc_transport_enable(child);
            state.enabled++;
            break;
        case 5:
            bus.cdc_transport_disable(child);
            if (state.enabled > 0) state.enabled--;
            break;
        case 6:
            bus.cdc_restart_io_target(child, in.u8() & 1);
            break;
        case 7:
        case 8:
        case 9:
        case 10: {
            if (state.opened == 0) break;
            const ULONG length = in.u16() % 1100;
            uint8_t* buffer = held.get(length, in);
            if (op % slot_ops == 7) bus.cdc_data_in_async(child, buffer, length, on_complete, nullptr, 0);
            if (op % slot_ops == 8) bus.cdc_data_out_async(child, buffer, length, on_complete, nullptr, 0);
            if (op % slot_ops == 9) bus.cdc_data_in_sync(child, buffer, length, timeout_from(in));
            if (op % slot_ops == 10) bus.cdc_data_out_sync(child, buffer, length, timeout_from(in));
            break;
        }
        case 11:
            bus.cdc_set_notify_cb(child, nullptr, in.u8() & 1 ? on_notify : nullptr);
            break;
        case 12:
            if (state.opened > 0) bus.cdc_inout_purge(child, in.u8() & 1);
            break;
        case 13:
            if (bus.cdc_data_io_init(child, in.u8() % 5, in.u8() % 5) == STATUS_SUCCESS) state.opened++;
            break;
        case 14:
            if (bus.cdc_data_io_uninit(child) == STATUS_SUCCESS && state.opened > 0) state.opened--;
            break;
        case 15:
            bus.qd_reset_device(child);
            break;
        case 16:
            bus.control_request_purge(child);
            break;
        case 17:
            bus.qd_children_msg_set(child, in.u8() & 1 ? on_children_msg : nullptr, nullptr);
            break;
        case 18: {
            ULONG count = 0;
            bus.qd_children_msg_send(child, in.u8(), in.u8() & 1 ? &count : nullptr);
            break;
        }
        case 19:
            bus.qd_is_idle(child);
            break;
        case 20:
            bus.qd_device_wakeup_sync(child, in.u8() & 1);
            break;
        case 21:
            bus.qd_notify_child_not_in_use(child);
            break;
        case 22:
            bus.qd_clear_data(child);
            break;
        case 23:
            if (state.opened > 0) bus.qd_abort_reads(child);
            break;
        case 24: {
            ULONG notify = 0, out = 0, inp = 0;
            UCHAR ep0 = 0;
            const uint8_t which = in.u8();
            bus.qd_get_maxps(child, which & 1 ? &notify : nullptr, which & 2 ? &out : nullptr,
                             which & 4 ? &inp : nullptr, which & 8 ? &ep0 : nullptr);
            break;
        }
        case 25: {
            UCHAR buffer[256];
            UCHAR length = in.u8();
            bus.cdc_get_functional_descriptor(child, in.u8(), buffer, &length);
            break;
        }
        case 26: {
            WCHAR text[128];
            UNICODE_STRING string;
            string.Buffer = text;
            string.Length = 0;
            USHORT chars = in.u8() % 128;
            string.MaximumLength = static_cast<USHORT>(chars * sizeof(WCHAR));
            bus.cdc_get_string(child, in.u8(), &string, &chars);
            break;
        }
        case 27: {
            UCHAR dfu[9];
            bus.dfu_get_functional_descriptor(child, dfu);
            break;
        }
        case 28: {
            UCHAR protocol = 0;
            bus.qd_get_func_protocol(child, &protocol);
            break;
        }
        case 29: {
            USB_DEVICE_DESCRIPTOR descriptor;
            bus.qd_get_device_descriptor(child, &descriptor);
            break;
        }
        case 30: {
            // A child asks for the length first; the copy fits any configuration.
            static UCHAR copy[65536];
            USHORT total = 0;
            bus.qd_get_configuration_descriptor_copyout(child, nullptr, &total);
            bus.qd_get_configuration_descriptor_copyout(child, in.u8() & 1 ? copy : nullptr,
                                                        in.u8() & 1 ? &total : nullptr);
            break;
        }
        case 31: {
            ULONG idle = 0;
            bus.qd_get_idle_timeout(child, &idle);
            break;
        }
        case 32:
            bus.qd_is_ext_ctrl_enabled(child);
            break;
        case 33:
            bus.qd_ui_number_get(child);
            break;
        case 34:
            bus.qd_is_zlp_enabled(child);
            break;
        default:
            bus.reserved1(child);
            bus.reserved2(child);
            break;
    }
}

// A child driver closing: its notification callback taken back, every
// enable undone, its reads taken back and its data path released, its
// children-message hook taken back. Completions of what it had in flight
// run before it releases its pools.
inline void close_child(CDC_BUS_INTERFACE& bus, WDFDEVICE child, child_state& state) {
    bus.cdc_set_notify_cb(child, nullptr, nullptr);
    for (; state.enabled > 0; state.enabled--) bus.cdc_transport_disable(child);
    if (state.opened > 0) {
        bus.qd_abort_reads(child);
        bus.cdc_inout_purge(child, TRUE);
        bus.cdc_inout_purge(child, FALSE);
        sim::io_threads_drain();
    }
    while (state.opened > 0 && bus.cdc_data_io_uninit(child) == STATUS_SUCCESS) state.opened--;
    bus.qd_children_msg_set(child, nullptr, nullptr);
}

// Arms the framework's fault injection: the nth creating or allocating
// call the driver makes from now fails, so its error paths run. Disarmed
// before the input's end, where the child closes.
inline void arm_fault(input& in) {
    static const NTSTATUS statuses[] = {STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED,
                                        STATUS_INVALID_DEVICE_STATE};
    const unsigned nth = 1 + in.u8();
    sim::fault_fail_nth("*", nth, statuses[in.u8() % 4]);
}

inline void disarm_fault() { sim::fault_fail_nth("*", 0); }

// Something the device or the platform does on its own: data or a
// notification arriving, a fault at an endpoint, held transfers let go, a
// failing class request, time passing. `op` counts from 0.
inline void device_event(scripted_device& dev, const endpoints& eps, uint8_t op, input& in) {
    switch (op % 6) {
        case 0:
        case 1: {
            // Always shorter than a packet, so it ends a transfer.
            const uint8_t ep = op % 6 == 0 ? eps.bulk_in : eps.interrupt_in;
            if (ep != 0) dev.push_in(ep, in.bytes(in.u8() % 8));
            break;
        }
        case 2: {
            const uint8_t which = in.u8();
            const uint8_t ep = which & 1 ? eps.bulk_in : which & 2 ? eps.bulk_out : eps.interrupt_in;
            if (ep == 0) break;
            switch ((which >> 2) % 5) {
                case 0:
                    dev.inject(ep, sim::usb::fault::make_stall());
                    break;
                case 1:
                    dev.inject(ep, sim::usb::fault::make_error(USBD_STATUS_CRC));
                    break;
                case 2:
                    dev.inject(ep, sim::usb::fault::make_hang());
                    break;
                case 3:
                    dev.inject(ep, sim::usb::fault::make_late());
                    break;
                default:
                    dev.inject(ep, sim::usb::fault::make_short(in.u8() % 70));
                    break;
            }
            break;
        }
        case 3:
            if (eps.bulk_in) dev.release(eps.bulk_in);
            if (eps.bulk_out) dev.release(eps.bulk_out);
            if (eps.interrupt_in) dev.release(eps.interrupt_in);
            break;
        case 4:
            dev.fail_next_control(sim::usb::match::class_or_vendor, USBD_STATUS_STALL_PID, 1);
            break;
        default:
            sim::clock_advance(static_cast<int64_t>(in.u8()) * 100000);
            break;
    }
}

// ---- Coming back to a fresh plug's state --------------------------------------
// A device stays plugged from one input to the next only while the driver's
// records of it are as a fresh plug left them, so every input starts from the
// same state whatever ran before it.

inline DEVICE_CONTEXT* fdx_of(WDFDEVICE function) {
    return static_cast<DEVICE_CONTEXT*>(wdf::context_by_name(function, "DEVICE_CONTEXT"));
}
inline CDC_DEVICE_CONTEXT* pdx_of(WDFDEVICE child) {
    return static_cast<CDC_DEVICE_CONTEXT*>(wdf::context_by_name(child, "CDC_DEVICE_CONTEXT"));
}
inline bool live(WDFDEVICE device) { return device != nullptr && wdf::is_live(reinterpret_cast<WDFOBJECT>(device)); }

template <typename T>
void same_if_both(T& now, T then) {
    if ((now == nullptr) == (then == nullptr)) now = then;
}

// The function device's record as it was after plugging. Marks that only
// matter with a count back at zero (a closed pool's destroyed flag, cleared
// when a pool is made) and handles a power cycle or a setting change makes
// anew are the same as long as each exists.
inline bool same_function(const DEVICE_CONTEXT& then, DEVICE_CONTEXT now) {
    now.req_in.destroyed = then.req_in.destroyed;
    now.req_out.destroyed = then.req_out.destroyed;
    same_if_both(now.pipe_comm_notify, then.pipe_comm_notify);
    same_if_both(now.pipe_data_in, then.pipe_data_in);
    same_if_both(now.pipe_data_out, then.pipe_data_out);
    same_if_both(now.notify_req, then.notify_req);
    same_if_both(now.notify_req_mem, then.notify_req_mem);
    same_if_both(now.control_req_mem, then.control_req_mem);
    return memcmp(&then, &now, sizeof(now)) == 0;
}

// A child's record as it was after plugging; the device a child with no
// counts last counted on does not matter.
inline bool same_child(const CDC_DEVICE_CONTEXT& then, CDC_DEVICE_CONTEXT now) {
    if (now.data_io_refs == 0 && now.enable_refs == 0 && now.notify_refs == 0) now.held_on = then.held_on;
    return memcmp(&then, &now, sizeof(now)) == 0;
}

inline uint8_t endpoint_at(const endpoints& eps, int i) {
    return i == 0 ? eps.bulk_in : i == 1 ? eps.bulk_out : eps.interrupt_in;
}

// What the device holds at its endpoints: transfers waiting, data queued, halts.
struct endpoint_state {
    size_t pending[3] = {};

    void remember(const sim::usb::device& dev, const endpoints& eps) {
        for (int i = 0; i < 3; i++) pending[i] = endpoint_at(eps, i) ? dev.pending(endpoint_at(eps, i)) : 0;
    }
    bool same(const sim::usb::device& dev, const endpoints& eps) const {
        for (int i = 0; i < 3; i++) {
            const uint8_t ep = endpoint_at(eps, i);
            if (ep == 0) continue;
            if (dev.pending(ep) != pending[i] || dev.queued_in(ep) != 0 || dev.halted(ep)) return false;
        }
        return true;
    }
};

// The device lets go of what it holds, as it would at the next plug: held
// transfers complete, faults and halts clear, data nobody read goes.
inline void device_at_rest(sim::usb::device& dev, const endpoints& eps) {
    dev.clear_faults();
    for (int i = 0; i < 3; i++) {
        if (endpoint_at(eps, i)) dev.release(endpoint_at(eps, i));
    }
}

inline void device_clean(sim::usb::device& dev, const endpoints& eps) {
    for (int i = 0; i < 3; i++) {
        const uint8_t ep = endpoint_at(eps, i);
        if (ep == 0) continue;
        dev.take_all_out(ep);
        if (ep & 0x80) dev.discard_in(ep);
        dev.set_halted(ep, false);
    }
}

}  // namespace cdc_fuzz
