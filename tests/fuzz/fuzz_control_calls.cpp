// Children of the control device calling through the bus interface while
// their USB function devices come and go: call sequences from several
// children interleaved with plugging, unplugging and surprise removal at two
// ports, system sleep and resume, and the devices idling, against devices
// whose class-request answers come from the input.
//
// Input: flags (bit 0: completions on the platform's threads as the seed
// picks, bit 2: verbose traces, bits 5 and 6 both set: children left pending
// at the end go with the control device, bit 7: an operation that arms an
// injected fault), the device at each port (an index into the built-in devices; bit 3:
// the port starts empty, else the device is plugged when the input starts,
// bit 4: with an idle time-out), the seed, each port's answers, when children
// are present at the start a byte for them (bit k: the k-th child's driver
// asks for the power callbacks, bit k + 4: checking whether it is open), then
// operations, one byte each followed by its arguments, until the input ends.
// A child driver keeps its contract: it stops calling while the system
// sleeps, forgets its PDO once the PDO is gone, and its control callbacks
// answer as the input says.
#include <algorithm>
#include <string>

#include "fuzz_bus.h"
#include "sim/symbols.h"

namespace {

using namespace cdc_fuzz;

const char* const port_names[] = {"6&1a2b3c4d&0&1", "6&1a2b3c4d&0&2"};
constexpr size_t port_count = sizeof(port_names) / sizeof(port_names[0]);

// One child driver: its PDO, the interface it queried, and what its control
// callbacks answer.
struct child {
    WDFDEVICE device = nullptr;
    bool live = false;  // the PDO is listed by the control device and gave its interface
    CDC_BUS_INTERFACE bus{};
    child_state state;
    bool open = false;
    LONG answer = 0;  // the start and stop callbacks' status

    static LONG start_final(PVOID ctx) { return static_cast<child*>(ctx)->answer; }
    static LONG stop_final(PVOID ctx) { return static_cast<child*>(ctx)->answer; }
    static LONG start(PVOID ctx) { return static_cast<child*>(ctx)->answer; }
    static LONG stop(PVOID ctx) { return static_cast<child*>(ctx)->answer; }
    static LONG is_open(PVOID ctx) { return static_cast<child*>(ctx)->open ? 1 : 0; }

    void callbacks_init(uint8_t check_open) {
        bus.cdc_data_io_ctrl_cbs_init(device, check_open & 1, start_final, stop_final, is_open, stop, start, this);
    }
};

// A device the bench plugged, and what the driver's records of it and of its
// children were right after: the state every input that finds it plugged
// starts from.
struct fresh_plug {
    uint8_t kind = 0;
    bool idle_timeout = false;
    DEVICE_CONTEXT fdx{};
    std::vector<std::pair<WDFDEVICE, CDC_DEVICE_CONTEXT>> children;
    endpoint_state at_plug;
};

struct port {
    uint8_t kind = 0;  // the built-in device at this port, last plugged or to plug
    std::shared_ptr<const sim::usb::descriptor_set> set;
    endpoints eps;
    std::shared_ptr<scripted_device> dev;  // plugged when not null
    sim::device_stack* stack = nullptr;
    bool from_bench = false;  // plugged before the input started, as fresh
    fresh_plug fresh;

    WDFDEVICE function() const { return stack != nullptr ? stack->device() : nullptr; }
};

// The host, its started control device, the devices at the ports and their
// children's drivers stay from one input to the next. At an input's end the
// applications close their ports and the child drivers take their callbacks
// back; a device whose records are then as a fresh plug left them stays
// plugged, any other is unplugged, and what that does not put back costs a
// fresh host.
class bench {
 public:
    bool ready() {
        if (host_) return true;
        // Quiet: an input asks for the verbose level itself.
        host_ = cdc_fuzz::make_host(false, 0, true, 1);
        inputs_ = 0;
        memset(idle_timeout_written_, -1, sizeof(idle_timeout_written_));
        sim::device_stack_config root;
        root.enumerator = "ROOT";
        root.device_id = "CDCBUS";
        root.instance_id = "0000";
        control_ = &host_->add_device(root);
        if (host_->start_device(*control_) != STATUS_SUCCESS) {
            end();
            return false;
        }
        drv_ = *drv_of();
        return true;
    }

    // The ports as the input's start asks: each device the bench plugged and
    // the input wants stays, any other goes; a port plugged anew comes after
    // every port before it, as a fresh host would have plugged them.
    void prepare(const uint8_t* choice) {
        bool change = false;
        for (size_t i = 0; i < port_count; i++) {
            port& p = ports_[i];
            const bool want = (choice[i] & 8) == 0;
            const bool kept = p.dev && p.from_bench && p.fresh.kind == choice[i] % 8 &&
                              p.fresh.idle_timeout == ((choice[i] & 16) != 0);
            change |= p.dev ? !(want && kept) : want;
            if (change && p.dev) unplug(p);
        }
        for (size_t i = 0; i < port_count; i++) {
            if ((choice[i] & 8) == 0 && !ports_[i].dev) plug_fresh(ports_[i], choice[i] % 8, (choice[i] & 16) != 0);
        }
    }

    void plug(port& p, bool idle_timeout, std::vector<uint8_t> answers) {
        if (p.dev) return;
        p.dev = std::make_shared<scripted_device>(p.set, std::move(answers));
        p.dev->set_recording(false);
        sim::plug_options options;
        options.whole_device = true;
        options.location = port_names[&p - ports_];
        // Written when it changes only: the driver reads it at every start.
        int8_t& written = idle_timeout_written_[&p - ports_][p.kind];
        if (written != (idle_timeout ? 1 : 0)) {
            char key[128];
            snprintf(key, sizeof(key), "%s\\USB\\VID_%04X&PID_%04X\\%s\\Device Parameters", sim::enum_key(),
                     p.set->device.idVendor, p.set->device.idProduct, options.location.c_str());
            host_->registry().set_dword(key, "IdleTimeout", idle_timeout ? 5 : 0);
            written = idle_timeout ? 1 : 0;
        }
        auto stacks = host_->plug(p.dev, options);
        reuse_stats::get().plugs++;
        p.stack = stacks.empty() ? nullptr : stacks[0];
        p.from_bench = false;
    }

    void remove(port& p, bool surprise) {
        if (!p.dev) return;
        reuse_stats::get().unplugs++;
        if (surprise) {
            host_->surprise_remove(p.dev);
        } else {
            host_->unplug(p.dev);
        }
        p.dev.reset();
        p.stack = nullptr;
        p.from_bench = false;
    }

    // Children the control device lists now; a new PDO gets a new child
    // driver, which queries the interface. The new ones, in port order.
    std::vector<child*> refresh() {
        const auto listed = host_->child_devices(*control_);
        for (auto& c : children_) {
            bool listed_now = false;
            for (WDFDEVICE device : listed) listed_now |= device == c.device;
            c.live = c.live && listed_now;
        }
        std::vector<child*> added;
        for (WDFDEVICE device : listed) {
            bool known = false;
            for (auto& c : children_) known |= c.live && c.device == device;
            if (known) continue;
            children_.emplace_back();
            child& c = children_.back();
            c.device = device;
            // Refused (a fault injected into the interface's registration):
            // the child driver has nothing to call and fails its start.
            c.live = query_bus(device, &c.bus);
            if (c.live) added.push_back(&c);
        }
        std::stable_sort(added.begin(), added.end(), [this](child* a, child* b) { return order(a) < order(b); });
        return added;
    }

    const port* serving_port(const child& c) const {
        const CDC_DEVICE_CONTEXT* pdx = pdx_of(c.device);
        for (const auto& p : ports_) {
            if (p.function() != nullptr && pdx->usb_device == p.function()) return &p;
        }
        return nullptr;
    }

    // Children by port, then by the function they stand for.
    std::pair<size_t, ULONG> order(const child* c) const {
        const CDC_DEVICE_CONTEXT* pdx = pdx_of(c->device);
        for (size_t i = 0; i < port_count; i++) {
            if (ports_[i].function() != nullptr && pdx->usb_device == ports_[i].function()) return {i, pdx->unique_id};
        }
        return {port_count, pdx->unique_id};
    }

    // The live children in port order: the ones an input finds at its start.
    // Each child's place is worked out once and the list is kept, so that a
    // pick per operation allocates nothing.
    const std::vector<child*>& present() {
        present_.clear();
        present_keys_.clear();
        for (auto& c : children_) {
            if (!c.live) continue;
            const auto key = order(&c);
            size_t at = present_keys_.size();
            while (at > 0 && key < present_keys_[at - 1]) at--;  // after its equals: stable
            present_keys_.insert(present_keys_.begin() + static_cast<ptrdiff_t>(at), key);
            present_.insert(present_.begin() + static_cast<ptrdiff_t>(at), &c);
        }
        return present_;
    }

    // The applications close their ports and every child driver takes its
    // callbacks back; then each device stays if the driver is back to its
    // fresh plug, else goes, and a host that is not back to its start goes.
    // `pending_go_with_host`: children left pending go with the control
    // device (a fresh host) rather than by their drivers' reports.
    void close(bool pending_go_with_host) {
        // What the devices still hold completes first, as it would at the
        // next plug, so nothing of a child's is in flight when it closes.
        for (auto& p : ports_) {
            if (p.dev) device_at_rest(*p.dev, p.eps);
        }
        host_->settle();
        sim::io_threads_drain();
        for (auto& c : children_) {
            c.open = false;
            c.answer = 0;
            if (c.live && live(c.device)) close_child(c.bus, c.device, c.state);
            c.state = child_state();
        }
        host_->settle();
        sim::io_threads_drain();
        // A child no device serves any more (one of its function's children
        // was open when the device went) is reported not in use by its
        // driver, its port closed, with the open check on: the check is what
        // makes the report count.
        std::vector<WDFDEVICE> strays;
        for (const auto& c : children_) {
            if (c.live && live(c.device) && serving_port(c) == nullptr) strays.push_back(c.device);
        }
        if (pending_go_with_host && !strays.empty()) {
            for (auto& c : children_) {
                if (c.live && live(c.device)) c.bus.cdc_data_io_ctrl_cbs_uninit(c.device);
            }
            end();
            return;
        }
        for (WDFDEVICE device : strays) {
            // Gone already with a sibling it was pending with.
            auto c = std::find_if(children_.begin(), children_.end(),
                                  [device](const child& known) { return known.device == device && known.live; });
            if (c == children_.end() || !live(device)) continue;
            c->callbacks_init(1);
            c->bus.qd_notify_child_not_in_use(device);
            host_->settle();
            sim::io_threads_drain();
            forget_gone();
        }
        for (auto& c : children_) {
            if (c.live && live(c.device)) c.bus.cdc_data_io_ctrl_cbs_uninit(c.device);
        }
        for (auto& p : ports_) {
            if (p.dev) device_clean(*p.dev, p.eps);
        }
        forget_gone();
        for (auto& p : ports_) {
            if (p.dev && !as_fresh(p)) unplug(p);
        }
        if (!at_start()) end();
    }

    void end() {
        for (auto& c : children_) {
            if (c.live && live(c.device)) c.bus.header.InterfaceDereference(c.bus.header.Context);
            c.live = false;
        }
        children_.clear();
        for (auto& p : ports_) {
            p.dev.reset();
            p.stack = nullptr;
            p.from_bench = false;
        }
        control_ = nullptr;
        cdc_fuzz::end_host(host_);
        held.clear();
    }

    sim::host& host() { return *host_; }
    // Counts an input this host served; how many it has.
    unsigned long served_one() { return host_ ? ++inputs_ : 0; }
    port& at(size_t i) { return ports_[i]; }
    child* pick(uint8_t which) {
        const auto& live_now = present();
        return live_now.empty() ? nullptr : live_now[which % live_now.size()];
    }

    buffers held;  // until nothing can complete into them

 private:
    void plug_fresh(port& p, uint8_t kind, bool idle_timeout) {
        p.kind = kind;
        p.set = pick_device(kind).set;
        p.eps = pick_device(kind).eps;
        plug(p, idle_timeout, {});
        refresh();
        remember_fresh(p, kind, idle_timeout);
        if (!p.from_bench) {
            unplug(p);
            forget_gone();
        }
    }

 public:
    // Whether a device plugged at this port now is plugged as the bench
    // would plug it: after every port before it, none after it.
    bool in_order(const port& p) const {
        for (const port* q = &p + 1; q < ports_ + port_count; q++) {
            if (q->dev) return false;
        }
        return true;
    }

    // A device just plugged, its children's drivers having queried the
    // interface and done nothing else: what the driver's records of it are
    // now is what an input that finds it plugged starts from.
    void remember_fresh(port& p, uint8_t kind, bool idle_timeout) {
        host_->settle();
        sim::io_threads_drain();
        if (p.function() == nullptr || host_->sleeping()) return;
        p.fresh.kind = kind;
        p.fresh.idle_timeout = idle_timeout;
        p.fresh.fdx = *fdx_of(p.function());
        p.fresh.children.clear();
        for (auto& c : children_) {
            if (c.live && pdx_of(c.device)->usb_device == p.function()) {
                p.fresh.children.emplace_back(c.device, *pdx_of(c.device));
            }
        }
        p.fresh.at_plug.remember(*p.dev, p.eps);
        p.from_bench = true;
        drv_ = *drv_of();
    }

 private:
    // Each child driver lets go of the interface before its PDO goes.
    void unplug(port& p) {
        for (auto& c : children_) {
            if (c.live && live(c.device) && pdx_of(c.device)->usb_device == p.function()) {
                c.bus.header.InterfaceDereference(c.bus.header.Context);
                c.live = false;
            }
        }
        remove(p, false);
        host_->settle();
        sim::io_threads_drain();
        forget_gone();
    }

    void forget_gone() {
        const auto listed = host_->child_devices(*control_);
        for (auto& c : children_) {
            bool listed_now = false;
            for (WDFDEVICE device : listed) listed_now |= device == c.device;
            c.live = c.live && listed_now;
        }
        children_.erase(std::remove_if(children_.begin(), children_.end(), [](const child& c) { return !c.live; }),
                        children_.end());
    }

    // Plugged by the bench, and the driver's records of it and of its
    // children as they were after that plug.
    bool as_fresh(const port& p) const {
        if (!p.from_bench || host_->sleeping() || p.function() == nullptr) return false;
        if (!same_function(p.fresh.fdx, *fdx_of(p.function())) || !p.fresh.at_plug.same(*p.dev, p.eps)) return false;
        size_t serving = 0;
        for (const auto& c : children_) {
            if (c.live && pdx_of(c.device)->usb_device == p.function()) serving++;
        }
        if (serving != p.fresh.children.size()) return false;
        for (const auto& [device, pdx] : p.fresh.children) {
            if (!live(device) || !same_child(pdx, *pdx_of(device))) return false;
        }
        return true;
    }

    // The control device lists exactly the children of the devices kept,
    // and the driver-wide record is as it was after the bench's last plug
    // (a UI number handed out stays handed out).
    bool at_start() const {
        if (host_->sleeping()) return false;
        size_t expected = 0;
        for (const auto& p : ports_) {
            if (p.dev) expected += p.fresh.children.size();
        }
        if (host_->child_devices(*control_).size() != expected) return false;
        DRV_CTX now = *drv_of();
        now.ui_number_counter = drv_.ui_number_counter;
        return memcmp(&now, &drv_, sizeof(now)) == 0;
    }

    std::unique_ptr<sim::host> host_;
    unsigned long inputs_ = 0;  // served by host_
    sim::device_stack* control_ = nullptr;
    DRV_CTX drv_{};
    port ports_[port_count];
    // The IdleTimeout each port's device of each kind finds in the registry
    // (-1: not written by this host).
    int8_t idle_timeout_written_[port_count][8];
    std::deque<child> children_;   // stable addresses: the callbacks' context
    std::vector<child*> present_;  // present()'s answer, rebuilt by each call
    std::vector<std::pair<size_t, ULONG>> present_keys_;
};

// One input's run on the bench.
class scenario {
 public:
    scenario(bench& b, input& in, bool faults, bool threaded) : b_(b), in_(in), faults_(faults), threaded_(threaded) {}

    // Most child drivers ask for the power callbacks at once.
    void start_drivers(const std::vector<child*>& added) {
        for (child* c : added) {
            if (in_.u8() & 1) c->callbacks_init(in_.u8());
        }
    }

    void refresh() { start_drivers(b_.refresh()); }

    void run() {
        // The drivers of the children present at the start, by one byte.
        const std::vector<child*> present = b_.present();
        const uint8_t callbacks = present.empty() ? 0 : in_.u8();
        unsigned k = 0;
        for (child* c : present) {
            if (k < 4 && (callbacks >> k & 1)) c->callbacks_init(callbacks >> (k + 4) & 1);
            k++;
        }
        sim::host& host = b_.host();
        for (unsigned steps = 0; steps < 64 && !in_.empty(); steps++) {
            const uint8_t op = in_.u8();
            if (host.sleeping()) {
                // Nothing else happens until the system is back.
                if (op & 1) host.resume();
                refresh();
                continue;
            }
            if (op < 160) {
                child* c = b_.pick(in_.u8());
                if (c == nullptr) continue;
                const uint8_t slot = op % (slot_ops + 4);
                if (slot < slot_ops) {
                    call_slot(c->bus, c->device, slot, in_, b_.held, c->state);
                    // Not-in-use and the children message may remove children.
                    if (slot == 21) refresh();
                } else if (slot == slot_ops) {
                    c->callbacks_init(in_.u8());
                } else if (slot == slot_ops + 1) {
                    c->bus.cdc_data_io_ctrl_cbs_uninit(c->device);
                } else if (slot == slot_ops + 2) {
                    c->open = !c->open;
                } else {
                    c->answer = in_.u8() & 1 ? STATUS_UNSUCCESSFUL : 0;
                }
                continue;
            }
            port& p = b_.at(op % port_count);
            switch ((op - 160) / port_count % 12) {
                case 0:
                case 1: {
                    const bool idle_timeout = in_.u8() & 1;
                    if (p.dev) {
                        refresh();
                        break;
                    }
                    const size_t i = op % port_count;
                    p.kind = choice(i);
                    p.set = pick_device(choice(i)).set;
                    p.eps = pick_device(choice(i)).eps;
                    // Plugged as the bench plugs (no fault armed, completions
                    // inline, no answers of the input's yet), the device may
                    // stay for the inputs after this one.
                    const bool as_bench = !armed_ && !threaded_ && b_.in_order(p);
                    b_.plug(p, idle_timeout, as_bench ? std::vector<uint8_t>() : answers_[i]);
                    const std::vector<child*> added = b_.refresh();
                    if (as_bench) {
                        b_.remember_fresh(p, choice(i), idle_timeout);
                        p.dev->set_answers(answers_[i]);
                    }
                    start_drivers(added);
                    break;
                }
                case 2:
                    b_.remove(p, false);
                    refresh();
                    break;
                case 3:
                    b_.remove(p, true);
                    refresh();
                    break;
                case 4:
                    host.sleep();
                    refresh();
                    break;
                case 5:
                    if (p.function() != nullptr) host.idle(p.function());
                    refresh();
                    break;
                case 6:
                case 7:
                case 8:
                    if (p.dev) device_event(*p.dev, p.eps, in_.u8(), in_);
                    break;
                case 11:
                    if (faults_) {
                        arm_fault(in_);
                        armed_ = true;
                        break;
                    }
                    host.settle();
                    refresh();
                    break;
                default:
                    host.settle();
                    refresh();
                    break;
            }
        }
        disarm_fault();
        if (host.sleeping()) host.resume();
        refresh();
    }

    void set_port(size_t i, uint8_t which, std::vector<uint8_t> answers) {
        choices_[i] = which;
        answers_[i] = std::move(answers);
        if (b_.at(i).dev) b_.at(i).dev->set_answers(answers_[i]);
    }

 private:
    uint8_t choice(size_t i) const { return choices_[i] % 8; }

    bench& b_;
    input& in_;
    const bool faults_;    // an operation arms an injected fault
    const bool threaded_;  // completions on the platform's threads
    bool armed_ = false;   // a fault was armed
    uint8_t choices_[port_count] = {};
    std::vector<uint8_t> answers_[port_count];
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cdc_fuzz::pin_driver_image();
    return 0;
}

// Never destroyed: at exit the platform's thread-local state is already gone.
bench& current = *new bench;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ULONG* debug_level = driver_global<ULONG>("qd_debug_level");
    input in(data, size);
    reuse_stats::get().inputs++;
    const uint8_t flags = in.u8();
    const uint8_t choice[port_count] = {in.u8(), in.u8()};
    const uint8_t seed = in.u8();
    bench& b = current;
    if (!b.ready()) return 0;
    // The devices the input finds are plugged quietly, with inline
    // completions and no answers of the input's: as a fresh host would.
    sim::set_completion_mode(sim::completion_mode::inline_send);
    *debug_level = 1;
    b.prepare(choice);
    if (flags & 1) sim::set_completion_seed(seed);
    // As a debugger would set it; the driver reads it afresh at each trace.
    *debug_level = flags & 4 ? 4 : 1;
    scenario s(b, in, (flags & 0x80) != 0, (flags & 1) != 0);
    for (size_t i = 0; i < port_count; i++) s.set_port(i, choice[i], in.bytes(in.u8() % 32));
    s.run();
    sim::set_completion_mode(sim::completion_mode::inline_send);
    *debug_level = 1;
    b.close((flags & 0x60) == 0x60);
    // Sooner than memory needs: the control device's own removal, with the
    // devices and children a bench keeps, runs within a pass over a short
    // run's corpus (a few hundred inputs); each costs as much as tens of inputs.
    if (b.served_one() >= inputs_per_host / 16) b.end();
    b.held.clear();
    sim::debugger_clear();
    return 0;
}
