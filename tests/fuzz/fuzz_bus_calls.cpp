// A child driver's calls through the bus interface, every slot with arguments
// from the input, interleaved with what the device does on its own (data and
// notifications arriving, faults, late completions), against a device whose
// class-request and write answers come from the input too.
//
// Input: the device (an index into the built-in devices), then operations,
// one byte each followed by its arguments, until the input ends. The child
// keeps the contract a child driver has: buffers live until their
// completion, synchronous calls carry a time-out.
#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "fuzz_bus.h"
#include "sim/symbols.h"
#include "wdf/wdf_object.h"

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

// The device stays plugged from one input to the next while the platform
// can put it back as it was: the state the driver and the device had right
// after plugging is kept, and an input that leaves anything different (a
// count, a pipe, a pending transfer, queued data, a halt) costs a fresh host.
struct plugged {
    std::unique_ptr<sim::host> host;
    std::shared_ptr<scripted_device> dev;
    uint8_t device = 0;
    ULONG debug_level = 0;
    endpoints eps;
    WDFDEVICE function = nullptr;
    WDFDEVICE child = nullptr;
    CDC_BUS_INTERFACE bus{};
    DEVICE_CONTEXT fdx{};
    CDC_DEVICE_CONTEXT pdx{};
    DRV_CTX drv{};
    size_t pending[3] = {};
    buffers held;  // until nothing can complete into them

    static DEVICE_CONTEXT* fdx_of(WDFDEVICE device) {
        return static_cast<DEVICE_CONTEXT*>(wdf::context_by_name(device, "DEVICE_CONTEXT"));
    }
    static CDC_DEVICE_CONTEXT* pdx_of(WDFDEVICE child) {
        return static_cast<CDC_DEVICE_CONTEXT*>(wdf::context_by_name(child, "CDC_DEVICE_CONTEXT"));
    }
    // The image stays mapped (pinned), so its state is found once.
    static DRV_CTX* drv_of() {
        static auto* drv = static_cast<DRV_CTX*>(sim::image_symbol(CDC_DRIVER_IMAGE, "drv_ctx"));
        return drv;
    }

    uint8_t endpoint(int i) const { return i == 0 ? eps.bulk_in : i == 1 ? eps.bulk_out : eps.interrupt_in; }

    void remember() {
        fdx = *fdx_of(function);
        pdx = *pdx_of(child);
        drv = *drv_of();
        for (int i = 0; i < 3; i++) pending[i] = endpoint(i) ? dev->pending(endpoint(i)) : 0;
    }

    template <typename T>
    static void same_if_both(T& now, T then) {
        if ((now == nullptr) == (then == nullptr)) now = then;
    }

    bool as_remembered() {
        if (host->sleeping() || host->children(function).size() != 1 || host->children(function)[0].device != child) {
            return false;
        }
        // Marks that only matter with a count that is back to zero: a closed
        // pool's destroyed flag (cleared when a pool is made), the device a
        // child with no counts last counted on.
        DEVICE_CONTEXT f = *fdx_of(function);
        CDC_DEVICE_CONTEXT c = *pdx_of(child);
        f.req_in.destroyed = fdx.req_in.destroyed;
        f.req_out.destroyed = fdx.req_out.destroyed;
        // Handles a power cycle makes anew: the same as long as each exists.
        same_if_both(f.pipe_comm_notify, fdx.pipe_comm_notify);
        same_if_both(f.pipe_data_in, fdx.pipe_data_in);
        same_if_both(f.pipe_data_out, fdx.pipe_data_out);
        same_if_both(f.notify_req, fdx.notify_req);
        same_if_both(f.notify_req_mem, fdx.notify_req_mem);
        same_if_both(f.control_req_mem, fdx.control_req_mem);
        if (c.data_io_refs == 0 && c.enable_refs == 0 && c.notify_refs == 0) c.held_on = pdx.held_on;
        if (memcmp(&fdx, &f, sizeof(f)) != 0 || memcmp(&pdx, &c, sizeof(c)) != 0 ||
            memcmp(&drv, drv_of(), sizeof(drv)) != 0) {
            return false;
        }
        for (int i = 0; i < 3; i++) {
            const uint8_t ep = endpoint(i);
            if (ep == 0) continue;
            if (dev->pending(ep) != pending[i] || dev->queued_in(ep) != 0 || dev->halted(ep)) return false;
        }
        return true;
    }

    // The child's driver lets go of the interface before its PDO goes.
    void let_go() {
        if (child != nullptr && wdf::is_live(reinterpret_cast<WDFOBJECT>(child))) {
            bus.header.InterfaceDereference(bus.header.Context);
        }
        child = nullptr;
    }

    void end() {
        let_go();
        if (host) cdc_fuzz::end_host(host);
        dev.reset();
        held.clear();
    }
};

// Never destroyed: at exit the platform's thread-local state is already gone.
plugged& current = *new plugged;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    input in(data, size);
    const uint8_t device = in.u8() % 8;
    const uint8_t flags = in.u8();
    const ULONG debug_level = flags & 4 ? 4 : 1;
    const uint8_t seed = in.u8();
    if (flags & 1) {
        sim::set_completion_seed(seed);
    } else {
        sim::set_completion_mode(sim::completion_mode::inline_send);
    }
    plugged& p = current;
    if (p.host && (p.device != device || p.debug_level != debug_level)) p.end();
    if (!p.host) {
        p.device = device;
        p.debug_level = debug_level;
        auto set = pick_device(device);
        p.eps = find_endpoints(set);
        p.host = cdc_fuzz::make_host((flags & 1) != 0, seed, false, debug_level);
        p.dev = std::make_shared<scripted_device>(set, std::vector<uint8_t>());
        p.dev->set_recording(false);
        sim::plug_options options;
        options.whole_device = true;
        auto stacks = p.host->plug(p.dev, options);
        p.function = stacks.empty() ? nullptr : stacks[0]->device();
        auto children = p.function ? p.host->children(p.function) : std::vector<sim::child_info>();
        p.child = children.empty() ? nullptr : children[0].device;
        if (p.child == nullptr || !cdc_fuzz::query_bus(p.child, &p.bus)) {
            p.child = nullptr;
            // Nothing to call: the input ends here, as it would every time.
            p.end();
            return 0;
        }
        p.remember();
    }
    p.dev->set_answers(in.bytes(in.u8()));
    child_state state;
    run(p.bus, p.child, *p.dev, p.eps, in, p.held, state);
    // Closing as a child driver does: its reads taken back, its data path released.
    p.bus.cdc_set_notify_cb(p.child, nullptr, nullptr);
    while (state.enabled > 0 && p.bus.cdc_transport_disable(p.child) == STATUS_SUCCESS) state.enabled--;
    if (state.opened > 0) {
        p.bus.qd_abort_reads(p.child);
        p.bus.cdc_inout_purge(p.child, TRUE);
        p.bus.cdc_inout_purge(p.child, FALSE);
    }
    while (state.opened > 0 && p.bus.cdc_data_io_uninit(p.child) == STATUS_SUCCESS) state.opened--;
    p.bus.qd_children_msg_set(p.child, nullptr, nullptr);
    // What the device still holds goes, as it would at the next plug.
    p.dev->clear_faults();
    for (int i = 0; i < 3; i++) {
        if (p.endpoint(i)) p.dev->release(p.endpoint(i));
    }
    p.host->settle();
    // Completions queued on the platform's threads run before anything is judged.
    sim::io_threads_stop();
    p.host->settle();
    for (int i = 0; i < 3; i++) {
        if (p.endpoint(i)) p.dev->take_all_out(p.endpoint(i));
    }
    if (flags & 2) {
        p.let_go();
        p.host->surprise_remove(p.dev);
        p.end();
    } else if (!p.as_remembered() && (p.host->sleep() != STATUS_SUCCESS || p.host->resume() != STATUS_SUCCESS ||
                                      (p.host->settle(), !p.as_remembered()))) {
        p.let_go();
        p.host->unplug(p.dev);
        p.end();
    } else {
        p.held.clear();
        sim::debugger_clear();
    }
    return 0;
}
