// A child driver's calls through the bus interface, every slot with arguments
// from the input, interleaved with what the device does on its own (data and
// notifications arriving, faults, late completions), against a device whose
// class-request and write answers come from the input too.
//
// Input: the device (an index into the built-in devices), then operations,
// one byte each followed by its arguments, until the input ends. The child
// keeps the contract a child driver has: buffers live until their
// completion, synchronous calls carry a time-out.
#include <atomic>
#include <deque>

#include "devices/catalogue.h"
#include "fuzz_host.h"
#include "usb/usb_device.h"

namespace {

using cdc_fuzz::input;
namespace catalogue = sim::usb::catalogue;

// Answers class and vendor requests from its own part of the input, read in
// a cycle: requests may come from the platform's threads as well as the child's.
class scripted_device : public sim::usb::device {
 public:
    scripted_device(sim::usb::descriptor_set set, std::vector<uint8_t> answers)
        : device(std::move(set)), answers_(std::move(answers)) {}

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

std::atomic<int> completed{0};
void on_complete(PVOID, NTSTATUS, ULONG) { completed.fetch_add(1); }
void on_notify(PVOID, PVOID, ULONG) {}
LONG on_children_msg(PVOID, ULONG_PTR) { return 0; }

sim::usb::descriptor_set pick_device(uint8_t which) {
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

endpoints find_endpoints(const sim::usb::descriptor_set& set) {
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

// Buffers handed to asynchronous calls, kept until the host is gone.
class buffers {
 public:
    uint8_t* get(size_t size, input& in) {
        held_.emplace_back(size ? size : 1);
        auto& b = held_.back();
        for (size_t i = 0; i < size && !in.empty() && i < 16; i++) b[i] = in.u8();
        return b.data();
    }

 private:
    std::deque<std::vector<uint8_t>> held_;
};

LONGLONG timeout_from(input& in) { return -static_cast<LONGLONG>(1 + in.u8()) * 100000; }  // 10 ms steps, relative

// A child keeps its data-path calls between its own init and uninit.
bool needs_data_path(uint8_t op) {
    switch (op) {
        case 7:
        case 8:
        case 9:
        case 10:
        case 12:
        case 23:
            return true;
        default:
            return false;
    }
}

void run(CDC_BUS_INTERFACE& bus, WDFDEVICE child, scripted_device& dev, const endpoints& eps, input& in, buffers& held,
         int& opened) {
    for (unsigned steps = 0; steps < 64 && !in.empty(); steps++) {
        const uint8_t op = in.u8();
        ULONG bytes = 0;
        if (needs_data_path(op % 32) && opened == 0) continue;
        switch (op % 32) {
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
                bus.class_control_async(child, dir_in, request, value, length, held.get(length, in), on_complete,
                                        nullptr, nullptr, in.u8() & 1 ? timeout_from(in) : 0);
                break;
            }
            case 3: {
                uint8_t* setup = held.get(8, in);
                const USHORT length = in.u8();
                bus.generic_control_async(child, setup, held.get(length, in), length, on_complete, nullptr, nullptr, 0);
                break;
            }
            case 4:
                bus.cdc_transport_enable(child);
                break;
            case 5:
                bus.cdc_transport_disable(child);
                break;
            case 6:
                bus.cdc_restart_io_target(child, in.u8() & 1);
                break;
            case 7: {
                const ULONG length = in.u16() % 1100;
                bus.cdc_data_in_async(child, held.get(length, in), length, on_complete, nullptr, 0);
                break;
            }
            case 8: {
                const ULONG length = in.u16() % 1100;
                bus.cdc_data_out_async(child, held.get(length, in), length, on_complete, nullptr, 0);
                break;
            }
            case 9: {
                const ULONG length = in.u16() % 1100;
                bus.cdc_data_in_sync(child, held.get(length, in), length, timeout_from(in));
                break;
            }
            case 10: {
                const ULONG length = in.u16() % 1100;
                bus.cdc_data_out_sync(child, held.get(length, in), length, timeout_from(in));
                break;
            }
            case 11:
                bus.cdc_set_notify_cb(child, nullptr, in.u8() & 1 ? on_notify : nullptr);
                break;
            case 12:
                bus.cdc_inout_purge(child, in.u8() & 1);
                break;
            case 13:
                bus.cdc_data_io_init(child, in.u8() % 5, in.u8() % 5);
                break;
            case 14:
                bus.cdc_data_io_uninit(child);
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
                bus.qd_children_msg_send(child, in.u8(), &count);
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
                bus.qd_abort_reads(child);
                break;
            case 24: {
                ULONG notify = 0, out = 0, inp = 0;
                UCHAR ep0 = 0;
                bus.qd_get_maxps(child, &notify, &out, &inp, &ep0);
                break;
            }
            case 25:
            case 26: {
                // Data or a notification arriving, always shorter than a packet so it ends a transfer.
                const uint8_t ep = op % 32 == 25 ? eps.bulk_in : eps.interrupt_in;
                if (ep != 0) dev.push_in(ep, in.bytes(in.u8() % 8));
                break;
            }
            case 27: {
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
            case 28:
                if (eps.bulk_in) dev.release(eps.bulk_in);
                if (eps.bulk_out) dev.release(eps.bulk_out);
                if (eps.interrupt_in) dev.release(eps.interrupt_in);
                break;
            case 29:
                dev.fail_next_control(sim::usb::match::class_or_vendor, USBD_STATUS_STALL_PID, 1);
                break;
            case 30:
                sim::clock_advance(static_cast<int64_t>(in.u8()) * 100000);
                break;
            default:
                sim::current_host()->settle();
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cdc_fuzz::pin_driver_image();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    input in(data, size);
    const uint8_t choice = in.u8();
    const uint8_t flags = in.u8();
    auto set = pick_device(choice);
    const endpoints eps = find_endpoints(set);
    buffers held;
    int opened = 0;
    {
        auto host = cdc_fuzz::make_host((flags & 1) != 0, in.u8());
        auto dev = std::make_shared<scripted_device>(set, in.bytes(in.u8()));
        sim::plug_options options;
        options.whole_device = true;
        auto stacks = host->plug(dev, options);
        if (!stacks.empty()) {
            auto children = host->children(*stacks[0]);
            CDC_BUS_INTERFACE bus;
            if (!children.empty() && cdc_fuzz::query_bus(children[0].device, &bus)) {
                run(bus, children[0].device, *dev, eps, in, held, opened);
                // Closing as a child driver does: its reads taken back, its data path released.
                bus.cdc_set_notify_cb(children[0].device, nullptr, nullptr);
                bus.cdc_transport_disable(children[0].device);
                if (opened > 0) {
                    bus.qd_abort_reads(children[0].device);
                    bus.cdc_inout_purge(children[0].device, TRUE);
                    bus.cdc_inout_purge(children[0].device, FALSE);
                }
                while (opened > 0 && bus.cdc_data_io_uninit(children[0].device) == STATUS_SUCCESS) opened--;
                bus.header.InterfaceDereference(bus.header.Context);
            }
        }
        if (flags & 2) {
            host->surprise_remove(dev);
        } else {
            host->unplug(dev);
        }
        cdc_fuzz::end_host(host);
    }
    return 0;
}
