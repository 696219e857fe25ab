// A child driver's calls through the bus interface, every slot with arguments
// from the input, interleaved with what the device does on its own (data and
// notifications arriving, faults, late completions), against a device whose
// class-request and write answers come from the input too.
//
// Input: the device (an index into the built-in devices), then operations,
// one byte each followed by its arguments, until the input ends. The child
// keeps the contract a child driver has: buffers live until their
// completion, synchronous calls carry a time-out.
#include "fuzz_bus.h"

namespace {

using namespace cdc_fuzz;

void run(CDC_BUS_INTERFACE& bus, WDFDEVICE child, scripted_device& dev, const endpoints& eps, input& in, buffers& held,
         child_state& state) {
    for (unsigned steps = 0; steps < 64 && !in.empty(); steps++) {
        const uint8_t op = in.u8() % 48;
        if (op < slot_ops) {
            call_slot(bus, child, op, in, held, state);
        } else if (op < slot_ops + 6) {
            device_event(dev, eps, op - slot_ops, in);
        } else {
            sim::current_host()->settle();
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
    child_state state;
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
                run(bus, children[0].device, *dev, eps, in, held, state);
                // Closing as a child driver does: its reads taken back, its data path released.
                bus.cdc_set_notify_cb(children[0].device, nullptr, nullptr);
                bus.cdc_transport_disable(children[0].device);
                if (state.opened > 0) {
                    bus.qd_abort_reads(children[0].device);
                    bus.cdc_inout_purge(children[0].device, TRUE);
                    bus.cdc_inout_purge(children[0].device, FALSE);
                }
                while (state.opened > 0 && bus.cdc_data_io_uninit(children[0].device) == STATUS_SUCCESS) state.opened--;
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
