// A child driver's calls through the bus interface, every slot with arguments
// from the input, interleaved with what the device does on its own (data and
// notifications arriving, faults, late completions), against a device whose
// class-request and write answers come from the input too.
//
// Input: the device (an index into the built-in devices), flags (bit 0:
// completions on the platform's threads as the seed picks, bit 2: verbose
// traces, bits 1, 5 and 6 all set: surprise removal at the end, bit 7: an
// operation that arms an injected fault), the seed, the device's answers,
// then operations, one byte each followed by its arguments, until the
// input ends. The child
// keeps the contract a child driver has: buffers live until their
// completion, synchronous calls carry a time-out.
#include <string>

#include "fuzz_bus.h"
#include "sim/symbols.h"

namespace {

using namespace cdc_fuzz;

void run(CDC_BUS_INTERFACE& bus, WDFDEVICE child, scripted_device& dev, const endpoints& eps, input& in, buffers& held,
         child_state& state, bool faults) {
    for (unsigned steps = 0; steps < 64 && !in.empty(); steps++) {
        const uint8_t op = in.u8() % 48;
        if (op < slot_ops) {
            call_slot(bus, child, op, in, held, state);
        } else if (op < slot_ops + 6) {
            device_event(dev, eps, op - slot_ops, in);
        } else if (op == 47 && faults) {
            arm_fault(in);
        } else {
            sim::current_host()->settle();
        }
    }
    disarm_fault();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cdc_fuzz::pin_driver_image();
    return 0;
}

// One of the devices, plugged at a port of its own the first time an input
// asks for it. It stays plugged from one input to the next while the
// platform can put it back as it was: the state the driver and the device
// had right after plugging is kept, and an input that leaves anything
// different (a count, a pipe, a pending transfer, queued data, a halt)
// costs a fresh plug of this device.
struct plugged {
    std::shared_ptr<scripted_device> dev;
    endpoints eps;
    WDFDEVICE function = nullptr;
    WDFDEVICE child = nullptr;
    CDC_BUS_INTERFACE bus{};
    DEVICE_CONTEXT fdx{};
    CDC_DEVICE_CONTEXT pdx{};
    endpoint_state at_plug;

    void remember() {
        fdx = *fdx_of(function);
        pdx = *pdx_of(child);
        at_plug.remember(*dev, eps);
    }

    bool as_remembered(sim::host& host) {
        // The child counted in child_count is still this one.
        if (host.sleeping() || !live(child)) return false;
        return same_function(fdx, *fdx_of(function)) && same_child(pdx, *pdx_of(child)) && at_plug.same(*dev, eps);
    }

    // The child's driver lets go of the interface before its PDO goes.
    void let_go() {
        if (live(child)) bus.header.InterfaceDereference(bus.header.Context);
        child = nullptr;
    }

    bool plugged_in() const { return dev != nullptr; }
};

constexpr size_t device_count = 8;

// The host and every device plugged so far. The driver-wide state is kept
// as it was after the last plug or removal the bench made itself.
struct bench {
    std::unique_ptr<sim::host> host;
    plugged devices[device_count];
    DRV_CTX drv{};
    unsigned long inputs = 0;          // served by this host
    bool unusable[device_count] = {};  // no child to call, every time
    buffers held;                      // until nothing can complete into them

    void start() {
        // Quiet: an input asks for the verbose level itself.
        host = cdc_fuzz::make_host(false, 0, false, 1);
        drv = *drv_of();
        inputs = 0;
    }

    // Plugs the device when it is not; false when it has no child to call.
    bool plug(uint8_t which) {
        plugged& p = devices[which];
        if (p.plugged_in()) return true;
        if (unusable[which]) return false;
        const device_kind& kind = pick_device(which);
        p.eps = kind.eps;
        p.dev = std::make_shared<scripted_device>(kind.set, std::vector<uint8_t>());
        p.dev->set_recording(false);
        sim::plug_options options;
        options.whole_device = true;
        options.location = "6&1a2b3c4d&0&" + std::to_string(which + 1);
        auto stacks = host->plug(p.dev, options);
        reuse_stats::get().plugs++;
        p.function = stacks.empty() ? nullptr : stacks[0]->device();
        auto children = p.function ? host->children(p.function) : std::vector<sim::child_info>();
        p.child = children.empty() ? nullptr : children[0].device;
        if (p.child == nullptr || !cdc_fuzz::query_bus(p.child, &p.bus)) {
            p.child = nullptr;
            remove(which, false);
            unusable[which] = true;
            return false;
        }
        // A child driver's first opening learns the data endpoints once; the
        // state to come back to is the one after it.
        if (p.bus.cdc_transport_enable(p.child) == STATUS_SUCCESS) p.bus.cdc_transport_disable(p.child);
        host->settle();
        sim::io_threads_drain();
        p.remember();
        drv = *drv_of();
        return true;
    }

    void remove(uint8_t which, bool surprise) {
        plugged& p = devices[which];
        p.let_go();
        reuse_stats::get().unplugs++;
        if (surprise) {
            host->surprise_remove(p.dev);
        } else {
            host->unplug(p.dev);
        }
        host->settle();
        sim::io_threads_drain();
        p = plugged();
        drv = *drv_of();
    }

    // Everything as it was after the bench's own last plug or removal.
    bool as_remembered() {
        if (memcmp(&drv, drv_of(), sizeof(drv)) != 0) return false;
        for (auto& p : devices) {
            if (p.plugged_in() && !p.as_remembered(*host)) return false;
        }
        return true;
    }

    // A fresh host, as at the start of the process: each device plugs again
    // when an input next asks for it.
    void restart() {
        for (auto& p : devices) {
            p.let_go();
            p = plugged();
        }
        cdc_fuzz::end_host(host);
        held.clear();
        start();
    }
};

// Never destroyed: at exit the platform's thread-local state is already gone.
bench& current = *new bench;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ULONG* debug_level = driver_global<ULONG>("qd_debug_level");
    input in(data, size);
    reuse_stats::get().inputs++;
    const uint8_t device = in.u8() % device_count;
    const uint8_t flags = in.u8();
    const uint8_t seed = in.u8();
    bench& b = current;
    if (!b.host) b.start();
    // Plugged with the quiet level: the trace formatting a verbose level adds
    // is not what decides the device's state.
    sim::set_completion_mode(sim::completion_mode::inline_send);
    *debug_level = 1;
    if (!b.plug(device)) return 0;
    // As a debugger would set it; the driver reads it afresh at each trace.
    *debug_level = flags & 4 ? 4 : 1;
    if (flags & 1) sim::set_completion_seed(seed);
    plugged& p = b.devices[device];
    p.dev->set_answers(in.bytes(in.u8()));
    child_state state;
    run(p.bus, p.child, *p.dev, p.eps, in, b.held, state, (flags & 0x80) != 0);
    // What the device still holds completes first, as it would at the next
    // plug, so nothing of the child's is in flight when it closes.
    device_at_rest(*p.dev, p.eps);
    // Completions queued on the platform's threads run before anything is judged.
    b.host->settle();
    sim::io_threads_drain();
    close_child(p.bus, p.child, state);
    b.host->settle();
    sim::io_threads_drain();
    device_clean(*p.dev, p.eps);
    *debug_level = 1;
    // Surprise removal costs the next input a plug: one input in eight.
    const bool surprise = (flags & 0x62) == 0x62;
    if (surprise) {
        b.remove(device, true);
    } else if (!b.as_remembered()) {
        // What the input left behind goes with the device; what that does
        // not put back costs a fresh host.
        if (!p.as_remembered(*b.host)) b.remove(device, false);
        if (!b.as_remembered()) b.restart();
    }
    if (++b.inputs >= inputs_per_host) b.restart();
    b.held.clear();
    sim::debugger_clear();
    return 0;
}
