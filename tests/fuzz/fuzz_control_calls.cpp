// Children of the control device calling through the bus interface while
// their USB function devices come and go: call sequences from several
// children interleaved with plugging, unplugging and surprise removal at two
// ports, system sleep and resume, and the devices idling, against devices
// whose class-request answers come from the input.
//
// Input: flags (bit 0: completions on the platform's threads as the seed
// picks, bit 2: verbose traces, bit 7: an operation that arms an injected
// fault), the device at each port, the seed, each port's answers, then
// operations, one byte each followed by its arguments, until the input ends. A child driver keeps its
// contract: it stops calling while the system sleeps, forgets its PDO once
// the PDO is gone, and its control callbacks answer as the input says.
#include <string>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "fuzz_bus.h"
#include "sim/symbols.h"
#include "wdf/wdf_object.h"

namespace {

using namespace cdc_fuzz;

const char* const ports[] = {"6&1a2b3c4d&0&1", "6&1a2b3c4d&0&2"};
constexpr size_t port_count = sizeof(ports) / sizeof(ports[0]);

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
};

struct port {
    sim::usb::descriptor_set set;
    endpoints eps;
    std::shared_ptr<scripted_device> dev;  // plugged when not null
    sim::device_stack* stack = nullptr;
    std::vector<uint8_t> answers;
};

// Outlives the host: the children's callbacks and buffers are used until
// the driver has unloaded.
class scenario {
 public:
    scenario(input& in, bool faults) : in_(in), faults_(faults) {}

    void attach(sim::host& host, sim::device_stack& control) {
        host_ = &host;
        control_ = &control;
    }

    void plug(port& p, bool idle_timeout) {
        if (p.dev) return;
        p.dev = std::make_shared<scripted_device>(p.set, p.answers);
        sim::plug_options options;
        options.whole_device = true;
        options.location = ports[&p - ports_];
        char key[128];
        snprintf(key, sizeof(key), "%s\\USB\\VID_%04X&PID_%04X\\%s\\Device Parameters", sim::enum_key(),
                 p.set.device.idVendor, p.set.device.idProduct, options.location.c_str());
        host_->registry().set_dword(key, "IdleTimeout", idle_timeout ? 5 : 0);
        auto stacks = host_->plug(p.dev, options);
        p.stack = stacks.empty() ? nullptr : stacks[0];
        refresh();
    }

    void remove(port& p, bool surprise) {
        if (!p.dev) return;
        if (surprise) {
            host_->surprise_remove(p.dev);
        } else {
            host_->unplug(p.dev);
        }
        p.dev.reset();
        p.stack = nullptr;
        refresh();
    }

    // Children the control device lists now; a new PDO gets a new child driver.
    void refresh() {
        auto listed = host_->children(*control_);
        for (auto& c : children_) {
            bool listed_now = false;
            for (const auto& info : listed) listed_now |= info.device == c.device;
            c.live = c.live && listed_now;
        }
        for (const auto& info : listed) {
            bool known = false;
            for (auto& c : children_) known |= c.live && c.device == info.device;
            if (known) continue;
            children_.emplace_back();
            child& c = children_.back();
            c.device = info.device;
            // Refused (a fault injected into the interface's registration):
            // the child driver has nothing to call and fails its start.
            c.live = query_bus(info.device, &c.bus);
            if (!c.live) continue;
            // Most child drivers ask for the power callbacks at once.
            if (in_.u8() & 1) {
                c.bus.cdc_data_io_ctrl_cbs_init(c.device, in_.u8() & 1, child::start_final, child::stop_final,
                                                child::is_open, child::stop, child::start, &c);
            }
        }
    }

    child* pick(uint8_t which) {
        size_t live = 0;
        for (auto& c : children_) live += c.live;
        if (live == 0) return nullptr;
        size_t n = which % live;
        for (auto& c : children_) {
            if (c.live && n-- == 0) return &c;
        }
        return nullptr;
    }

    void run() {
        for (unsigned steps = 0; steps < 64 && !in_.empty(); steps++) {
            const uint8_t op = in_.u8();
            if (host_->sleeping()) {
                // Nothing else happens until the system is back.
                if (op & 1) host_->resume();
                refresh();
                continue;
            }
            if (op < 160) {
                child* c = pick(in_.u8());
                if (c == nullptr) continue;
                const uint8_t slot = op % (slot_ops + 4);
                if (slot < slot_ops) {
                    call_slot(c->bus, c->device, slot, in_, held_, c->state);
                    // Not-in-use and the children message may remove children.
                    if (slot == 21) refresh();
                } else if (slot == slot_ops) {
                    c->bus.cdc_data_io_ctrl_cbs_init(c->device, in_.u8() & 1, child::start_final, child::stop_final,
                                                     child::is_open, child::stop, child::start, c);
                } else if (slot == slot_ops + 1) {
                    c->bus.cdc_data_io_ctrl_cbs_uninit(c->device);
                } else if (slot == slot_ops + 2) {
                    c->open = !c->open;
                } else {
                    c->answer = in_.u8() & 1 ? STATUS_UNSUCCESSFUL : 0;
                }
                continue;
            }
            port& p = ports_[op % port_count];
            switch ((op - 160) / port_count % 12) {
                case 0:
                case 1:
                    plug(p, in_.u8() & 1);
                    break;
                case 2:
                    remove(p, false);
                    break;
                case 3:
                    remove(p, true);
                    break;
                case 4:
                    host_->sleep();
                    refresh();
                    break;
                case 5:
                    if (p.stack != nullptr && p.stack->device() != nullptr) host_->idle(p.stack->device());
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
                        break;
                    }
                    host_->settle();
                    refresh();
                    break;
                default:
                    host_->settle();
                    refresh();
                    break;
            }
        }
        disarm_fault();
        if (host_->sleeping()) host_->resume();
        refresh();
    }

    // The applications close their ports and every child driver closes as
    // it does: its callbacks taken back, the bus told it is not in use, its
    // interface let go; then the devices go.
    void close() {
        for (auto& c : children_) {
            c.open = false;
            if (!c.live || !wdf::is_live(reinterpret_cast<WDFOBJECT>(c.device))) continue;
            c.bus.cdc_data_io_ctrl_cbs_uninit(c.device);
            c.bus.qd_notify_child_not_in_use(c.device);
        }
        host_->settle();
        for (auto& c : children_) {
            if (c.live && wdf::is_live(reinterpret_cast<WDFOBJECT>(c.device))) {
                c.bus.header.InterfaceDereference(c.bus.header.Context);
            }
            c.live = false;
        }
        for (auto& p : ports_) {
            if (!p.dev) continue;
            host_->unplug(p.dev);
            p.dev.reset();
            p.stack = nullptr;
        }
        host_->settle();
    }

    port ports_[port_count];

 private:
    sim::host* host_ = nullptr;
    sim::device_stack* control_ = nullptr;
    input& in_;
    const bool faults_;  // an operation arms an injected fault
    buffers held_;
    std::deque<child> children_;  // stable addresses: the callbacks' context
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cdc_fuzz::pin_driver_image();
    return 0;
}

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

// The host and its started control device stay from one input to the next:
// each input plugs what it uses and everything is unplugged at its end,
// which puts the driver back as it was unless the input left something
// behind, and then the next input gets a fresh host.
struct bench {
    std::unique_ptr<sim::host> host;
    sim::device_stack* control = nullptr;
    DRV_CTX drv{};

    static DRV_CTX* drv_of() {
        static auto* drv = driver_global<DRV_CTX>("drv_ctx");
        return drv;
    }

    bool start() {
        // Quiet: an input asks for the verbose level itself.
        host = cdc_fuzz::make_host(false, 0, true, 1);
        sim::device_stack_config root;
        root.enumerator = "ROOT";
        root.device_id = "CDCBUS";
        root.instance_id = "0000";
        control = &host->add_device(root);
        if (host->start_device(*control) != STATUS_SUCCESS) {
            end();
            return false;
        }
        drv = *drv_of();
        return true;
    }

    void end() {
        control = nullptr;
        cdc_fuzz::end_host(host);
    }

    // A UI number handed out stays handed out; everything else is as after start.
    bool as_remembered() {
        DRV_CTX now = *drv_of();
        now.ui_number_counter = drv.ui_number_counter;
        return !host->sleeping() && host->children(*control).empty() && memcmp(&now, &drv, sizeof(now)) == 0;
    }
};

// Never destroyed: at exit the platform's thread-local state is already gone.
bench& current = *new bench;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ULONG* debug_level = driver_global<ULONG>("qd_debug_level");
    input in(data, size);
    const uint8_t flags = in.u8();
    const uint8_t choice[port_count] = {in.u8(), in.u8()};
    const uint8_t seed = in.u8();
    bench& b = current;
    if (!b.host && !b.start()) return 0;
    if (flags & 1) {
        sim::set_completion_seed(seed);
    } else {
        sim::set_completion_mode(sim::completion_mode::inline_send);
    }
    // As a debugger would set it; the driver reads it afresh at each trace.
    *debug_level = flags & 4 ? 4 : 1;
    scenario s(in, (flags & 0x80) != 0);
    s.attach(*b.host, *b.control);
    for (size_t i = 0; i < port_count; i++) {
        s.ports_[i].set = pick_device(choice[i]);
        s.ports_[i].eps = find_endpoints(s.ports_[i].set);
        s.ports_[i].answers = in.bytes(in.u8() % 32);
    }
    s.run();
    s.close();
    sim::io_threads_stop();
    *debug_level = 1;
    if (!b.as_remembered()) b.end();
    sim::debugger_clear();
    return 0;
}
