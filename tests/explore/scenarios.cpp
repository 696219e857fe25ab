// The scenarios: each is short (a few operations per actor) so that one
// schedule takes milliseconds; the explorer's thousands of schedules give
// the breadth.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "explore/explore.h"

namespace explore {

namespace catalogue = sim::usb::catalogue;

namespace {

constexpr uint8_t notify_in = 0x81;
constexpr uint8_t data_in = 0x82;
constexpr uint8_t data_out = 0x02;
constexpr LONGLONG no_timeout = 0;

int g_debug_level = 1;

// A lock the actors of a scenario share, as the scheduler sees it.
class gate {
 public:
    void lock() {
        sim::sched::wait("child driver lock", [this] { return !held_.load(); });
        held_.store(true);
    }
    void unlock() {
        held_.store(false);
        sim::sched::point("child driver unlock");
    }

 private:
    std::atomic<bool> held_{false};
};

struct gate_guard {
    explicit gate_guard(gate& g) : g_(g) { g_.lock(); }
    ~gate_guard() { g_.unlock(); }
    gate& g_;
};

VOID notified(PVOID ctx, PVOID, ULONG) {
    sim::sched::point("child notification callback");
    static_cast<std::atomic<unsigned>*>(ctx)->fetch_add(1);
}

LONG cb_quiet(PVOID) { return 0; }

// A child driver's control callbacks (the rest answer 0), as a child of a
// control device registers them.
void register_control_callbacks(CDC_BUS_INTERFACE& bus, WDFDEVICE child, PFN_CDC_CTRL_CB start_final,
                                PFN_CDC_CTRL_CB stop_final, PFN_CDC_CTRL_CB is_open, PVOID ctx) {
    expect(bus.cdc_data_io_ctrl_cbs_init(child, 1, start_final, stop_final, is_open, cb_quiet, cb_quiet, ctx) ==
               STATUS_SUCCESS,
           "the child registers its control callbacks");
}

const std::vector<uint8_t> network_connection = {0xa1, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::vector<uint8_t> serial_state = {0xa1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x03, 0x00};

// ---- (a) two children on one ECM function ------------------------------------

// One child opens and closes its data path (a setting switch each time)
// while the other registers and unregisters for notifications and the
// device sends them.
void notify_switch() {
    world w;
    std::vector<WDFDEVICE> children = w.plug_ecm_pair();
    CDC_BUS_INTERFACE& a = w.bus(children[0]);
    CDC_BUS_INTERFACE& b = w.bus(children[1]);
    expect_pools(a, children[0], 2, 2, "child 0");
    std::atomic<unsigned> notifications{0};
    {
        actors people;
        people.start("child 0 switching", [&] {
            for (int i = 0; i < 2; i++) {
                if (a.cdc_transport_enable(children[0]) == STATUS_SUCCESS) a.cdc_transport_disable(children[0]);
            }
        });
        people.start("child 1 registering", [&] {
            for (int i = 0; i < 2; i++) {
                expect(b.cdc_set_notify_cb(children[1], &notifications, notified), "child 1 registers");
                b.cdc_set_notify_cb(children[1], nullptr, nullptr);
            }
        });
        people.start("device", [&] {
            for (int i = 0; i < 2; i++) {
                w.device->push_in(notify_in, network_connection);
                sim::sched::point("device sent a notification");
            }
        });
    }
    expect(a.cdc_data_io_uninit(children[0]) == STATUS_SUCCESS, "child 0 closes its data path");
}

// One child opens the data path, which makes the control record, while the
// other sends control transfers on the started device: a sender must find
// no record or a finished one, never one still being made.
void control_open() {
    world w;
    std::vector<WDFDEVICE> children = w.plug_ecm_pair();
    CDC_BUS_INTERFACE& a = w.bus(children[0]);
    CDC_BUS_INTERFACE& b = w.bus(children[1]);
    ledger sent;
    {
        actors people;
        people.start("child 0 switching", [&] {
            for (int i = 0; i < 2; i++) {
                if (a.cdc_transport_enable(children[0]) == STATUS_SUCCESS) a.cdc_transport_disable(children[0]);
            }
        });
        people.start("child 1 sending", [&] {
            for (int i = 0; i < 3; i++) {
                transfer* t = sent.next();
                if (b.class_control_async(children[1], TRUE, 0x21, 0, 7, t->buffer, transfer::done, t, nullptr,
                                          -kSecond) != STATUS_PENDING) {
                    sent.forget_last();
                }
            }
        });
    }
    expect(sent.all_done(), "every accepted control transfer completes");
}

// One child opens and closes its data path while the other restarts and
// purges the pipes they share: maintenance must never meet a pipe the switch
// deleted.
void maintenance_switch() {
    world w;
    std::vector<WDFDEVICE> children = w.plug_ecm_pair();
    CDC_BUS_INTERFACE& a = w.bus(children[0]);
    CDC_BUS_INTERFACE& b = w.bus(children[1]);
    expect_pools(a, children[0], 2, 2, "child 0");
    expect_pools(b, children[1], 2, 2, "child 1");
    std::atomic<int> opened{0};
    std::atomic<int> maintaining{0};
    {
        actors people;
        // Each round child 0 opens the path, child 1 starts maintaining it,
        // and child 0 closes it meanwhile.
        people.start("child 0 switching", [&] {
            for (int i = 0; i < 2; i++) {
                if (a.cdc_transport_enable(children[0]) != STATUS_SUCCESS) continue;
                opened.fetch_add(1);
                sim::sched::wait(
                    "child 0 uses its data path", [&maintaining, i] { return maintaining.load() > i; },
                    sim::clock_now() + kSecond);
                a.cdc_transport_disable(children[0]);
            }
        });
        people.start("child 1 maintaining", [&] {
            for (int i = 0; i < 2; i++) {
                sim::sched::wait(
                    "child 1 waits for the open data path", [&opened, i] { return opened.load() > i; },
                    sim::clock_now() + kSecond);
                maintaining.fetch_add(1);
                b.cdc_restart_io_target(children[1], i % 2 == 0);
                b.qd_clear_data(children[1]);
                b.qd_abort_reads(children[1]);
            }
        });
    }
    expect(a.cdc_data_io_uninit(children[0]) == STATUS_SUCCESS, "child 0 closes its data path");
    expect(b.cdc_data_io_uninit(children[1]) == STATUS_SUCCESS, "child 1 closes its data path");
}

// ---- (b) writes needing ZLPs against purge and pipe restart ------------------

void zlp_purge() {
    world w;
    WDFDEVICE child = w.plug_one(catalogue::acm_modem());
    CDC_BUS_INTERFACE& bus = w.bus(child);
    expect_open(bus, child, 4, 4);
    ledger writes;
    // One of the sends ahead is refused (no memory for its IRP), which one
    // is the schedule's choice.
    sim::fault_fail_nth("WdfRequestSend", 1 + static_cast<unsigned>(sim::sched::choose(8)));
    {
        actors people;
        people.start("child writing", [&] {
            for (int i = 0; i < 3; i++) {
                transfer* t = writes.next();
                memset(t->buffer, 0x40 + i, sizeof(t->buffer));
                // A whole packet: the write ends with a zero-length packet.
                if (!bus.cdc_data_out_async(child, t->buffer, 64, transfer::done, t, no_timeout)) writes.forget_last();
            }
        });
        people.start("person purging", [&] {
            bus.cdc_inout_purge(child, FALSE);
            bus.cdc_restart_io_target(child, FALSE);
        });
        people.start("device", [&] {
            w.device->hold_out(data_out, true);
            sim::sched::point("device busy");
            w.device->hold_out(data_out, false);
        });
    }
    bus.cdc_inout_purge(child, FALSE);
    expect(writes.all_done(), "every accepted write completes");
    // A synchronous whole-packet write, then the close at once.
    uint8_t packet[64];
    memset(packet, 0x55, sizeof(packet));
    const bool sync_sent = bus.cdc_data_out_sync(child, packet, sizeof(packet), -5 * kSecond);
    expect(bus.cdc_transport_disable(child) == STATUS_SUCCESS, "the child disables its transport");
    expect(bus.cdc_data_io_uninit(child) == STATUS_SUCCESS, "the data path closes with nothing pending");
    // What the child was told went out, the device must have received.
    size_t received = 0;
    for (const auto& bytes : w.device->take_all_out(data_out)) received += bytes.size();
    size_t claimed = sync_sent ? sizeof(packet) : 0;
    for (const transfer& t : writes.items()) {
        if (NT_SUCCESS(t.status)) claimed += t.bytes;
    }
    expect(claimed <= received, "a write reported success for bytes the device never received");
}

// ---- (c) a child's transfers against removal -----------------------------------

// The child's side, owned by the scenario: the function driver the PnP
// manager loads and closes works on it, the child's I/O thread too.
struct lane {
    gate lock;
    WDFDEVICE child = nullptr;
    CDC_BUS_INTERFACE bus{};
    bool open = false;  // guarded by lock
    bool have_bus = false;
    ledger transfers;
    unsigned closes = 0;

    NTSTATUS do_open() {
        gate_guard guard(lock);
        query_bus(child, &bus);
        have_bus = true;
        const NTSTATUS status = open_data_path(bus, child, 4, 4);
        if (status != STATUS_SUCCESS) return status;
        open = true;
        return STATUS_SUCCESS;
    }

    void do_close() {
        gate_guard guard(lock);
        if (open) {
            bus.cdc_inout_purge(child, TRUE);
            bus.cdc_inout_purge(child, FALSE);
            expect(transfers.all_done(), "every accepted transfer completes before the close");
            bus.cdc_transport_disable(child);
            expect(bus.cdc_data_io_uninit(child) == STATUS_SUCCESS, "the data path closes with nothing pending");
            open = false;
            closes++;
        }
        if (have_bus) {
            bus.header.InterfaceDereference(bus.header.Context);
            have_bus = false;
        }
    }

    void one_transfer(bool in) {
        gate_guard guard(lock);
        if (!open) return;
        transfer* t = transfers.next();
        const BOOLEAN accepted = in ? bus.cdc_data_in_async(child, t->buffer, 64, transfer::done, t, no_timeout)
                                    : bus.cdc_data_out_async(child, t->buffer, 64, transfer::done, t, no_timeout);
        if (!accepted) transfers.forget_last();
    }
};

class lane_driver : public sim::function_driver {
 public:
    explicit lane_driver(lane* l) : lane_(l) {}
    std::string name() const override { return "explore child"; }
    NTSTATUS open() override { return lane_->do_open(); }
    void close() override { lane_->do_close(); }
    bool is_open() const override { return lane_->open; }

 private:
    lane* lane_;
};

void removal(bool surprise) {
    world w;
    lane l;
    w.host->set_default_function_driver([&l](WDFDEVICE pdo) {
        l.child = pdo;
        return std::unique_ptr<sim::function_driver>(new lane_driver(&l));
    });
    expect(w.host->open(w.plug_one(catalogue::acm_modem())) == STATUS_SUCCESS, "the child opens");
    {
        actors people;
        people.start("child transferring", [&] {
            for (int i = 0; i < 4; i++) l.one_transfer(i % 2 == 0);
        });
        people.start("device", [&] {
            w.device->push_in(data_in, {1, 2, 3});
            sim::sched::point("device sent data");
            w.device->push_in(data_in, {4, 5});
        });
        sim::sched::point("person reaches for the plug");
        if (surprise) {
            w.host->surprise_remove(w.device);
        } else {
            w.host->unplug(w.device);
        }
    }
    expect(l.closes == 1, "the function driver was closed once");
    expect(l.transfers.all_done(), "every accepted transfer completed");
}

void surprise_removal() { removal(true); }
void orderly_removal() { removal(false); }

// ---- (d) control-device mode: routed calls against unplug and replug ------------

struct routed_child {
    gate lock;
    WDFDEVICE child = nullptr;
    CDC_BUS_INTERFACE bus{};
    bool served = false;  // guarded by lock
    ledger transfers;
    unsigned failures = 0;

    void drain_locked() {
        if (!served) return;
        bus.cdc_inout_purge(child, TRUE);
        bus.cdc_inout_purge(child, FALSE);
        expect(transfers.all_done(), "every accepted transfer completes after a purge");
    }
    LONG start_final() {
        gate_guard guard(lock);
        drain_locked();
        served = false;
        const NTSTATUS status = open_data_path(bus, child, 2, 2);
        if (status != STATUS_SUCCESS) return status;
        served = true;
        // As a serial driver does on start: raise DTR and RTS.
        bus.class_control_sync(child, FALSE, 0x22, 3, 0, nullptr, nullptr, -kSecond);
        return 0;
    }
    LONG stop_final() {
        gate_guard guard(lock);
        drain_locked();
        if (served) {
            bus.cdc_transport_disable(child);
            bus.cdc_data_io_uninit(child);
            served = false;
        }
        return 0;
    }
    static LONG cb_start_final(PVOID ctx) {
        sim::sched::point("child start-final");
        return static_cast<routed_child*>(ctx)->start_final();
    }
    static LONG cb_stop_final(PVOID ctx) {
        sim::sched::point("child stop-final");
        return static_cast<routed_child*>(ctx)->stop_final();
    }
    static LONG cb_is_open(PVOID) { return 1; }

    void routed_calls() {
        gate_guard guard(lock);
        if (!served) {
            // Routed calls of a child whose device is gone are refused, never lost.
            uint8_t none[7];
            bus.class_control_sync(child, TRUE, 0x21, 0, sizeof(none), none, nullptr, -kSecond);
            return;
        }
        transfer* t = transfers.next();
        if (!bus.cdc_data_in_async(child, t->buffer, 64, transfer::done, t, no_timeout)) transfers.forget_last();
        uint8_t line[7] = {0x80, 0x25, 0, 0, 0, 0, 8};
        bus.class_control_sync(child, FALSE, 0x20, 0, sizeof(line), line, nullptr, -kSecond);
        bus.cdc_inout_purge(child, TRUE);
    }
};

void control_device(bool idle) {
    world w(true);
    sim::usb::descriptor_set set = catalogue::acm_modem();
    if (idle) w.device_value(set, "IdleTimeout", 5);
    routed_child c;
    c.child = w.plug_one(set);
    query_bus(c.child, &c.bus);
    register_control_callbacks(c.bus, c.child, routed_child::cb_start_final, routed_child::cb_stop_final,
                               routed_child::cb_is_open, &c);
    expect(c.start_final() == 0, "the child's data path comes up");
    {
        actors people;
        people.start("child calling", [&] {
            for (int i = 0; i < 3; i++) c.routed_calls();
        });
        sim::sched::point("person reaches for the plug");
        w.host->unplug(w.device);
        sim::plug_options options;
        options.location = location();
        options.whole_device = true;
        w.host->plug(w.device, options);
        sim::sched::point("person looks");
        w.host->unplug(w.device);
    }
    c.stop_final();
    c.bus.cdc_data_io_ctrl_cbs_uninit(c.child);
    c.bus.header.InterfaceDereference(c.bus.header.Context);
    expect(c.transfers.all_done(), "every accepted transfer completed");
}

void control_device_plain() { control_device(false); }
void control_device_idle() { control_device(true); }

// The child of a control device, as its function driver sees it: bound to
// the first PDO the control device reports, its bus interface held until
// the PnP manager removes that PDO. Every call goes under the driver's lock
// and only while the PDO is there, as a function driver's own calls do.
struct ctrl_lane {
    gate lock;
    WDFDEVICE child = nullptr;  // the rest guarded by lock
    CDC_BUS_INTERFACE bus{};
    bool have_bus = false;
    bool gone = false;
    LONG open = 1;  // what the is-open callback answers
    bool callbacks = false;
    ledger transfers;

    static LONG cb_is_open(PVOID ctx) {
        sim::sched::point("child is-open callback");
        return static_cast<ctrl_lane*>(ctx)->open;
    }

    void bind(WDFDEVICE pdo, bool with_callbacks) {
        gate_guard guard(lock);
        if (child != nullptr) return;
        child = pdo;
        query_bus(child, &bus);
        have_bus = true;
        if (with_callbacks) {
            register_control_callbacks(bus, child, cb_quiet, cb_quiet, cb_is_open, this);
            callbacks = true;
        }
    }
    void release(WDFDEVICE pdo) {
        gate_guard guard(lock);
        if (pdo != child) return;
        if (have_bus) {
            if (callbacks) bus.cdc_data_io_ctrl_cbs_uninit(child);
            bus.header.InterfaceDereference(bus.header.Context);
            have_bus = false;
        }
        gone = true;
    }
    // The caller holds lock.
    bool usable() const { return have_bus && !gone; }
};

class ctrl_lane_driver : public sim::function_driver {
 public:
    ctrl_lane_driver(ctrl_lane* l, WDFDEVICE pdo) : lane_(l), pdo_(pdo) {}
    std::string name() const override { return "explore control child"; }
    NTSTATUS open() override { return STATUS_SUCCESS; }
    void close() override {}
    bool is_open() const override { return false; }
    void removing(bool) override { lane_->release(pdo_); }

 private:
    ctrl_lane* lane_;
    WDFDEVICE pdo_;
};

void bind_ctrl_lane(world& w, ctrl_lane& l, bool with_callbacks) {
    w.host->set_default_function_driver([&l, with_callbacks](WDFDEVICE pdo) {
        l.bind(pdo, with_callbacks);
        return std::unique_ptr<sim::function_driver>(new ctrl_lane_driver(&l, pdo));
    });
}

// Every child the control device has is served: a routed call reaches the
// modem.
void expect_served_children(world& w, const char* what) {
    const auto kids = w.host->children(*w.control);
    expect(!kids.empty(), std::string(what) + ": the present modem has a child");
    for (const auto& kid : kids) {
        CDC_BUS_INTERFACE bus{};
        query_bus(kid.device, &bus);
        const NTSTATUS status = bus.cdc_data_io_init(kid.device, 1, 1);
        if (NT_SUCCESS(status)) bus.cdc_data_io_uninit(kid.device);
        bus.header.InterfaceDereference(bus.header.Context);
        expect(status == STATUS_SUCCESS, std::string(what) + ": a routed call of the present modem's child succeeds");
    }
}

// The child's reader in control-device mode: synchronous reads with a
// time-out, the device sending nothing for them, while a person unplugs the
// modem. The removal must end every routed call in flight, also one that
// went out after it cancelled what was there, and wait for it without a poll.
void control_device_read() {
    world w(true);
    ctrl_lane l;
    bind_ctrl_lane(w, l, false);
    w.plug(catalogue::acm_modem(), 1, "the control device owns the modem's child");
    {
        gate_guard guard(l.lock);
        expect(l.usable(), "the child's function driver is loaded");
        expect_open(l.bus, l.child, 2, 2);
    }
    {
        actors people;
        people.start("child reading", [&] {
            for (int i = 0; i < 2; i++) {
                gate_guard guard(l.lock);
                if (!l.usable()) return;
                uint8_t buffer[64];
                l.bus.cdc_data_in_sync(l.child, buffer, sizeof(buffer), -2 * kSecond);
            }
        });
        people.start("child writing", [&] {
            gate_guard guard(l.lock);
            if (!l.usable()) return;
            transfer* t = l.transfers.next();
            if (!l.bus.cdc_data_out_async(l.child, t->buffer, 16, transfer::done, t, no_timeout)) {
                l.transfers.forget_last();
            }
        });
        sim::sched::point("person reaches for the plug");
        w.host->unplug(w.device);
    }
    expect(l.transfers.all_done(), "every accepted transfer completed");
    w.host->settle();
    expect(w.host->children(*w.control).empty(), "the unplugged modem's closed child is removed");
}

// The child's driver closes and reports the child not in use while the
// modem that served it comes back: the replugged modem keeps the child it
// re-attached, or gets a new one, never none.
void control_device_not_in_use() {
    world w(true);
    ctrl_lane l;
    bind_ctrl_lane(w, l, true);
    w.plug(catalogue::acm_modem(), 1, "the control device owns the modem's child");
    // Open: the child stays while the modem is away.
    w.host->unplug(w.device);
    expect(w.host->children(*w.control).size() == 1, "the open child stays while its modem is away");
    {
        actors people;
        people.start("child closing", [&] {
            gate_guard guard(l.lock);
            l.open = 0;
            if (l.usable()) l.bus.qd_notify_child_not_in_use(l.child);
        });
        sim::plug_options options;
        options.location = location();
        options.whole_device = true;
        w.host->plug(w.device, options);
    }
    w.host->settle();
    expect_served_children(w, "after the not-in-use report");
}

// The control device's own start against a modem unplugged and plugged
// again: whichever registers first, the present modem ends with a child the
// control device serves, and a function driver's routed calls on it meanwhile
// are answered or refused, never lost.
void control_device_start() {
    world w(true, false);
    ctrl_lane l;
    bind_ctrl_lane(w, l, false);
    w.plug(catalogue::acm_modem(), 0, "no child before the control device starts");
    {
        actors people;
        people.start("person starting the control device",
                     [&] { expect(w.host->start_device(*w.control) == STATUS_SUCCESS, "the control device starts"); });
        people.start("child calling", [&] {
            for (int i = 0; i < 3; i++) {
                sim::sched::wait(
                    "child driver waits for its device", [&l] { return l.child != nullptr; },
                    sim::clock_now() + kSecond);
                gate_guard guard(l.lock);
                if (!l.usable()) continue;
                uint8_t line[7] = {0x80, 0x25, 0, 0, 0, 0, 8};
                l.bus.class_control_sync(l.child, FALSE, 0x20, 0, sizeof(line), line, nullptr, -kSecond);
                transfer* t = l.transfers.next();
                if (l.bus.class_control_async(l.child, TRUE, 0x21, 0, 7, t->buffer, transfer::done, t, nullptr,
                                              -kSecond) != STATUS_PENDING) {
                    l.transfers.forget_last();
                }
            }
        });
        w.host->unplug(w.device);
        sim::plug_options options;
        options.location = location();
        options.whole_device = true;
        w.host->plug(w.device, options);
    }
    expect(l.transfers.all_done(), "every accepted transfer completed");
    w.host->settle();
    expect_served_children(w, "after the control device's start");
}

// ---- (e) idle time-out and wake against transfers and StopIdle ------------------

void idle_wake() {
    world w;
    sim::usb::descriptor_set set = catalogue::acm_modem();
    w.device_value(set, "IdleTimeout", 5);
    WDFDEVICE child = w.plug_one(set);
    CDC_BUS_INTERFACE& bus = w.bus(child);
    expect_open(bus, child, 4, 4);
    ledger transfers;
    {
        actors people;
        people.start("child transferring", [&] {
            for (int i = 0; i < 3; i++) {
                bus.qd_device_wakeup_sync(child, FALSE);
                transfer* t = transfers.next();
                const BOOLEAN accepted =
                    i % 2 == 0 ? bus.cdc_data_out_async(child, t->buffer, 16, transfer::done, t, no_timeout)
                               : bus.cdc_data_in_async(child, t->buffer, 64, transfer::done, t, no_timeout);
                if (!accepted) transfers.forget_last();
            }
        });
        people.start("child setting lines",
                     [&] { bus.class_control_sync(child, FALSE, 0x22, 3, 0, nullptr, nullptr, -kSecond); });
        w.host->idle(w.stack->device());
        sim::sched::point("person waits");
        w.host->idle(w.stack->device());
    }
    bus.qd_device_wakeup_sync(child, FALSE);
    bus.cdc_inout_purge(child, TRUE);
    bus.cdc_inout_purge(child, FALSE);
    expect(transfers.all_done(), "every accepted transfer completes");
    bus.cdc_transport_disable(child);
    expect(bus.cdc_data_io_uninit(child) == STATUS_SUCCESS, "the data path closes with nothing pending");
}

// ---- (e') the idle timer firing by itself against transfers and wake-ups ---------

// Control-device mode, where only the child's wake-ups and transfers hold
// the modem in D0: time passes while the child talks, so the framework's
// idle timer fires in the middle of a read in flight, a class request and
// the wake-ups, and a second child thread's waiting wake-up meets the D0
// exit. Every accepted transfer completes and the child is served after.
void control_device_idle_timer() {
    world w(true);
    sim::usb::descriptor_set set = catalogue::acm_modem();
    w.device_value(set, "IdleTimeout", 1);
    routed_child c;
    c.child = w.plug_one(set);
    query_bus(c.child, &c.bus);
    register_control_callbacks(c.bus, c.child, routed_child::cb_start_final, routed_child::cb_stop_final,
                               routed_child::cb_is_open, &c);
    expect(c.start_final() == 0, "the child's data path comes up");
    {
        actors people;
        people.start("child calling", [&] {
            for (int i = 0; i < 3; i++) {
                c.bus.qd_device_wakeup_sync(c.child, FALSE);
                c.routed_calls();
                sim::sched::wait(
                    "child driver pauses", [] { return false; }, sim::clock_now() + 700 * kMillisecond);
            }
        });
        people.start("child waking", [&] {
            sim::sched::wait(
                "child driver waits", [] { return false; }, sim::clock_now() + kSecond);
            c.bus.qd_device_wakeup_sync(c.child, TRUE);
        });
        sim::sched::wait(
            "person waits", [] { return false; }, sim::clock_now() + 3 * kSecond);
    }
    c.bus.qd_device_wakeup_sync(c.child, TRUE);
    c.stop_final();
    c.bus.cdc_data_io_ctrl_cbs_uninit(c.child);
    c.bus.header.InterfaceDereference(c.bus.header.Context);
    expect(c.transfers.all_done(), "every accepted transfer completed");
}

// ---- (f) the notification reader's stop against completions re-sending it ------

// The device sends serial-state notifications, one scheduling point apart.
void device_notifies(actors& people, world& w, int count) {
    people.start("device", [&w, count] {
        for (int i = 0; i < count; i++) {
            w.device->push_in(notify_in, serial_state);
            sim::sched::point("device sent a notification");
        }
    });
}

void notify_stop() {
    world w;
    WDFDEVICE child = w.plug_one(catalogue::acm_modem());
    CDC_BUS_INTERFACE& bus = w.bus(child);
    std::atomic<unsigned> notifications{0};
    {
        actors people;
        people.start("child registering", [&] {
            for (int i = 0; i < 2; i++) {
                expect(bus.cdc_set_notify_cb(child, &notifications, notified), "the child registers");
                bus.cdc_set_notify_cb(child, nullptr, nullptr);
            }
        });
        device_notifies(people, w, 3);
    }
    quiesce();
    expect(w.device->pending(notify_in) == 0, "no notification read is left running after the reader stopped");
}

// The child registers and unregisters while the device sends, so the stop
// meets the read in flight, its completion handing a packet over, and the
// re-arm that completion decides on. Once the unregistration returns no read
// is pending, none goes out later, and the next registration starts the
// reader again (a cancel of the stop must not stay with the request).
void notify_stop_rearm() {
    world w;
    WDFDEVICE child = w.plug_one(catalogue::acm_modem());
    CDC_BUS_INTERFACE& bus = w.bus(child);
    std::atomic<unsigned> notifications{0};
    {
        actors people;
        people.start("child registering", [&] {
            for (int i = 0; i < 2; i++) {
                expect(bus.cdc_set_notify_cb(child, &notifications, notified), "the child registers");
                sim::sched::point("child listens");
                bus.cdc_set_notify_cb(child, nullptr, nullptr);
                expect(w.device->pending(notify_in) == 0, "a notification read is pending after the stop returned");
            }
        });
        device_notifies(people, w, 3);
    }
    quiesce();
    expect(w.device->pending(notify_in) == 0, "a notification read went out after the reader stopped");
    // Nothing queued at the device: the next read stays pending.
    w.device->discard_in(notify_in);
    expect(bus.cdc_set_notify_cb(child, &notifications, notified), "the child registers again");
    expect(w.device->pending(notify_in) == 1, "the reader does not run again after the stop");
    bus.cdc_set_notify_cb(child, nullptr, nullptr);
    expect(w.device->pending(notify_in) == 0, "a notification read is pending after the last stop");
}

// ---- (h) a child closing its data path while a completion callback runs ----------

// The child's transfers, each marked done at the start of its callback, as a
// client marks its slot free before the rest of its callback runs.
struct closing_child {
    std::atomic<int> done{0};
    std::atomic<bool> closed{false};  // set once the child's uninit has returned

    static VOID callback(PVOID ctx, NTSTATUS, ULONG) {
        auto* c = static_cast<closing_child*>(ctx);
        c->done.fetch_add(1);
        sim::sched::point("child callback after marking its transfer done");
        expect(!c->closed.load(), "a completion callback runs after the child's uninit returned");
    }
};

// The child waits for its read and its whole-packet write (the write's
// report comes after its zero-length packet) and closes at once: the close
// must not return while either callback still runs.
void callback_close() {
    world w;
    WDFDEVICE child = w.plug_one(catalogue::acm_modem());
    CDC_BUS_INTERFACE& bus = w.bus(child);
    expect_open(bus, child, 2, 2);
    closing_child c;
    uint8_t read[64] = {};
    uint8_t packet[64];
    memset(packet, 0x33, sizeof(packet));
    {
        actors people;
        people.start("child", [&] {
            expect(bus.cdc_data_in_async(child, read, sizeof(read), closing_child::callback, &c, no_timeout),
                   "the child's read is accepted");
            expect(bus.cdc_data_out_async(child, packet, sizeof(packet), closing_child::callback, &c, no_timeout),
                   "the child's write is accepted");
            expect(sim::sched::wait(
                       "child waits for its transfers", [&] { return c.done.load() == 2; },
                       sim::clock_now() + 30 * kSecond),
                   "both transfers complete");
            expect(bus.cdc_transport_disable(child) == STATUS_SUCCESS, "the child disables its transport");
            expect(bus.cdc_data_io_uninit(child) == STATUS_SUCCESS, "the data path closes with nothing pending");
            c.closed.store(true);
        });
        people.start("device", [&] { w.device->push_in(data_in, {'O', 'K'}); });
    }
    quiesce();
}

// ---- (g) one child calling from two threads on a device it never used -----------

// The first call moves the child's counts to the device: a registration on
// the other thread must neither be wiped by that move nor fall between a
// child's count and the device's.
void child_threads() {
    world w;
    WDFDEVICE child = w.plug_one(catalogue::acm_modem());
    CDC_BUS_INTERFACE& bus = w.bus(child);
    std::atomic<unsigned> notifications{0};
    {
        actors people;
        for (int t = 0; t < 2; t++) {
            people.start(t == 0 ? "child thread 0" : "child thread 1", [&] {
                for (int i = 0; i < 2; i++) {
                    expect(bus.cdc_set_notify_cb(child, &notifications, notified), "the child registers");
                    bus.cdc_set_notify_cb(child, nullptr, nullptr);
                }
            });
        }
    }
    quiesce();
    expect(w.device->pending(notify_in) == 0, "no notification read is left running after every unregistration");
}

// ---- (i) a modem gone before the child it reported is created ---------------------

// A child's notification callback that holds its reader's walk of the
// control device's children until the person is done.
struct held_walk {
    std::atomic<bool> walking{false};
    std::atomic<bool> released{false};

    static VOID notified(PVOID ctx, PVOID, ULONG) {
        auto* h = static_cast<held_walk*>(ctx);
        if (h->walking.exchange(true)) return;
        sim::sched::wait("child notification callback runs on", [h] { return h->released.load(); });
    }
};

// Control-device mode: while the first modem's notification callback runs
// (its reader walks the control device's children), a second modem is
// plugged and unplugged. Its child, reported while the walk held the list,
// is created only after the walk, when that modem is gone: the creation
// fails and leaves no reference on the departed modem's device.
void control_device_gone_before_child() {
    world w(true);
    WDFDEVICE child = w.plug_one(catalogue::acm_modem());
    CDC_BUS_INTERFACE& bus = w.bus(child);
    held_walk walk;
    expect(bus.cdc_set_notify_cb(child, &walk, held_walk::notified), "the child registers");
    {
        actors people;
        device_notifies(people, w, 1);
        people.start("person", [&] {
            sim::sched::wait("person waits for the callback", [&walk] { return walk.walking.load(); });
            auto second = std::make_shared<sim::usb::device>(catalogue::acm_modem());
            sim::plug_options options;
            options.location = "6&1a2b3c4d&0&2";
            options.whole_device = true;
            auto stacks = w.host->plug(second, options);
            expect(stacks.size() == 1 && stacks[0]->start_status() == STATUS_SUCCESS, "the second modem starts");
            expect(w.host->children(*w.control).size() == 1,
                   "the second modem's child waits for the control device's walk to end");
            w.host->unplug(second);
            walk.released.store(true);
        });
    }
    // The walk's end hands the list's changes to the PnP manager.
    quiesce();
    w.host->settle();
    expect(w.host->children(*w.control).size() == 1, "the departed modem's child is not created");
    bus.cdc_set_notify_cb(child, nullptr, nullptr);
}

// The same walk with the second modem staying: the control device is removed
// before the PnP manager enumerates the child reported during the walk. The
// framework drops that description without an attempt to create its child,
// and the reference it held on the modem's device must go with it.
void control_device_removed_before_child() {
    world w(true);
    WDFDEVICE child = w.plug_one(catalogue::acm_modem());
    CDC_BUS_INTERFACE& bus = w.bus(child);
    held_walk walk;
    expect(bus.cdc_set_notify_cb(child, &walk, held_walk::notified), "the child registers");
    auto second = std::make_shared<sim::usb::device>(catalogue::acm_modem());
    {
        actors people;
        device_notifies(people, w, 1);
        people.start("person", [&] {
            sim::sched::wait("person waits for the callback", [&walk] { return walk.walking.load(); });
            sim::plug_options options;
            options.location = "6&1a2b3c4d&0&2";
            options.whole_device = true;
            auto stacks = w.host->plug(second, options);
            expect(stacks.size() == 1 && stacks[0]->start_status() == STATUS_SUCCESS, "the second modem starts");
            walk.released.store(true);
        });
    }
    quiesce();
    bus.cdc_set_notify_cb(child, nullptr, nullptr);
    w.release_interfaces();
    w.host->remove_device(*w.control);
    expect(w.control->removed(), "the control device is removed");
}

// ---- (j) a child closing its data path while a purge's last give-back runs ---------

// A synchronous read comes back whole just as a person purges the IN side:
// the reader's CPU stalls before it gives the record back, so the purge
// counts the record busy and its cancel finds nothing, and again after the
// record is back but before the reader takes the pool's lock to tell the
// purge. The child's driver closes its data path meanwhile, opens it again
// and reads: the close must wait for the purge to end, else the reopened
// pools inherit its mark and refuse reads no purge of theirs concerns.
void purge_close() {
    world w;
    WDFDEVICE child = w.plug_one(catalogue::acm_modem());
    CDC_BUS_INTERFACE& bus = w.bus(child);
    expect_open(bus, child, 2, 2);
    ledger reads;
    std::atomic<bool> answered{false};
    std::atomic<bool> purged{false};
    std::atomic<bool> closer_moved{false};
    std::atomic<bool> read_back{false};
    {
        actors people;
        people.start("child reading", [&] {
            uint8_t buffer[64];
            expect(bus.cdc_data_in_sync(child, buffer, sizeof(buffer), no_timeout), "the child's read comes back");
            read_back.store(true);
        });
        people.start("device", [&] {
            sim::sched::wait("device waits for the read", [&w] { return w.device->pending(data_in) == 1; });
            sim::sched::hold("child reading", "InterlockedExchangeAdd", [&purged] { return purged.load(); });
            w.device->push_in(data_in, {'O', 'K'});
            answered.store(true);
        });
        people.start("person purging", [&] {
            sim::sched::wait("person waits for the answer", [&answered] { return answered.load(); });
            bus.cdc_inout_purge(child, TRUE);
            sim::sched::hold("child reading", "WdfSpinLockAcquire", [&closer_moved] { return closer_moved.load(); });
            purged.store(true);
        });
        people.start("child closing", [&] {
            sim::sched::wait("child driver waits for the purge", [&purged] { return purged.load(); });
            quiesce();
            if (bus.cdc_data_io_uninit(child) != STATUS_SUCCESS) {
                closer_moved.store(true);
                sim::sched::wait("child driver waits to close again", [&read_back] { return read_back.load(); });
                expect(bus.cdc_data_io_uninit(child) == STATUS_SUCCESS, "the data path closes once its read is back");
            }
            expect(bus.cdc_data_io_init(child, 2, 2) == STATUS_SUCCESS, "the child opens its data path again");
            for (int i = 0; i < 2; i++) {
                transfer* t = reads.next();
                expect(bus.cdc_data_in_async(child, t->buffer, 64, transfer::done, t, no_timeout),
                       "a read on the reopened data path is refused");
            }
            closer_moved.store(true);
        });
    }
    bus.cdc_inout_purge(child, TRUE);
    expect(reads.all_done(), "every accepted read completes");
    expect(bus.cdc_transport_disable(child) == STATUS_SUCCESS, "the child disables its transport");
    expect(bus.cdc_data_io_uninit(child) == STATUS_SUCCESS, "the data path closes with nothing pending");
}

// ---- (k) the reader's stop between its completion's re-arm and the re-send --------

// The first notification's callback holds its completion's thread right
// after the completion released the reader's lock, as a CPU interrupted
// there: the completion has decided to re-arm and not yet sent again.
struct rearm_window {
    std::atomic<bool> notified{false};

    static VOID callback(PVOID ctx, PVOID, ULONG) {
        auto* r = static_cast<rearm_window*>(ctx);
        if (r->notified.exchange(true)) return;
        sim::sched::hold(
            sim::sched::current_thread_name(), "WdfSpinLockRelease", [] { return false; }, sim::clock_now() + kSecond);
    }
};

// The child unregisters while the completion stands in that window: the
// re-send finds the reader stopping and must end it, so the stop returns with
// no read pending, and the next registration starts the reader again.
void notify_stop_window() {
    world w;
    WDFDEVICE child = w.plug_one(catalogue::acm_modem());
    CDC_BUS_INTERFACE& bus = w.bus(child);
    rearm_window r;
    expect(bus.cdc_set_notify_cb(child, &r, rearm_window::callback), "the child registers");
    {
        actors people;
        device_notifies(people, w, 1);
        people.start("child unregistering", [&] {
            sim::sched::wait("child driver waits for the notification", [&r] { return r.notified.load(); });
            // Everything else stands still: the completion is in its window.
            quiesce();
            bus.cdc_set_notify_cb(child, nullptr, nullptr);
            expect(w.device->pending(notify_in) == 0, "a notification read is pending after the stop returned");
        });
    }
    quiesce();
    expect(w.device->pending(notify_in) == 0, "a notification read went out after the reader stopped");
    w.device->discard_in(notify_in);
    std::atomic<unsigned> notifications{0};
    expect(bus.cdc_set_notify_cb(child, &notifications, notified), "the child registers again");
    expect(w.device->pending(notify_in) == 1, "the reader does not run again after the stop");
    bus.cdc_set_notify_cb(child, nullptr, nullptr);
}

// Two children on one ECM function: child 1's control transfer is in
// flight and it purges the channel; its CPU stalls on the way into the
// cancel, after it found the transfer running. The transfer times out
// meanwhile and child 0 closes the data path, which frees the control
// record: the purge must not reach a request freed under it.
void control_purge_close() {
    world w;
    std::vector<WDFDEVICE> children = w.plug_ecm_pair();
    CDC_BUS_INTERFACE& a = w.bus(children[0]);
    CDC_BUS_INTERFACE& b = w.bus(children[1]);
    expect(a.cdc_transport_enable(children[0]) == STATUS_SUCCESS, "child 0 opens its data path");
    w.device->hold_next_control(sim::usb::match::class_or_vendor);
    transfer t;
    expect(b.class_control_async(children[1], TRUE, 0x21, 0, 7, t.buffer, transfer::done, &t, nullptr,
                                 -50 * kMillisecond) == STATUS_PENDING,
           "child 1's control transfer goes out");
    std::atomic<bool> closed{false};
    {
        actors people;
        people.start("child 1 purging", [&] {
            sim::sched::hold(
                "child 1 purging", "entry:WdfRequestCancelSentRequest", [&closed] { return closed.load(); },
                sim::clock_now() + kSecond);
            b.control_request_purge(children[1]);
        });
        people.start("child 0 closing", [&] {
            sim::sched::wait("child 0 waits for the transfer's end", [&t] { return t.calls.load() == 1; });
            a.cdc_transport_disable(children[0]);
            closed.store(true);
        });
    }
    expect(t.calls.load() == 1, "the control transfer completes once");
}

const std::vector<scenario> table = {
    {"notify-switch", "two children on one ECM function: enable/disable against notification register/unregister", 350,
     notify_switch},
    {"maintenance-switch", "two children on one ECM function: enable/disable against restart and purge", 230,
     maintenance_switch},
    {"zlp-purge", "writes needing ZLPs against purge and pipe restart", 220, zlp_purge},
    {"surprise-removal", "a child's transfers against surprise removal", 190, surprise_removal},
    {"orderly-removal", "a child's transfers against orderly removal", 190, orderly_removal},
    {"control-device", "control-device mode: routed calls against unplug and replug", 370, control_device_plain},
    {"control-device-idle", "the same with an idle time-out on the modem", 370, control_device_idle},
    {"control-device-read", "control-device mode: a child's synchronous reads against unplug", 185,
     control_device_read},
    {"control-device-not-in-use", "control-device mode: a child's not-in-use report against replug", 215,
     control_device_not_in_use},
    {"control-device-start", "control-device mode: the control device's own start against unplug and replug", 250,
     control_device_start},
    {"idle-wake", "idle time-out and wake against transfers and StopIdle", 190, idle_wake},
    {"idle-timer", "control-device mode: the idle timer firing by itself against transfers and wake-ups", 300,
     control_device_idle_timer},
    {"notify-stop", "the notification reader's stop against completions re-sending it", 130, notify_stop},
    {"notify-stop-rearm", "the notification reader's stop against its completion and re-arm, then a restart", 150,
     notify_stop_rearm},
    {"child-threads", "one child registering and unregistering from two threads on a device it never used", 130,
     child_threads},
    {"callback-close", "a child closing its data path right after its transfers' callbacks began", 120, callback_close},
    {"control-device-gone-before-child",
     "control-device mode: a modem plugged and unplugged while a notification walk holds the children", 400,
     control_device_gone_before_child},
    {"control-device-removed-before-child",
     "control-device mode: the control device removed before it enumerates a child reported during a walk", 400,
     control_device_removed_before_child},
    {"purge-close", "a child closing and reopening its data path while a purge's last give-back runs", 260,
     purge_close},
    {"notify-stop-window", "the notification reader's stop between its completion's re-arm and the re-send", 130,
     notify_stop_window},
    {"control-open", "two children on one ECM function: the data path's opening against control transfers", 200,
     control_open},
    {"control-purge-close", "a control purge stalled on its way into the cancel while the data path closes", 150,
     control_purge_close},
};

}  // namespace

void set_debug_level(int level) { g_debug_level = level; }

const std::vector<scenario>& scenarios() { return table; }

const scenario* find(const std::string& name) {
    for (const scenario& s : table) {
        if (name == s.name) return &s;
    }
    return nullptr;
}

void expect(bool ok, const std::string& what) {
    if (ok) return;
    fprintf(stderr, "*** SCENARIO: %s\n", what.c_str());
    fflush(stderr);
    _exit(4);
}

void quiesce() {
    sim::sched::wait(
        "person waits for quiet", [] { return false; }, sim::clock_now() + 1);
}

void actors::start(const char* name, std::function<void()> body) {
    threads_.push_back(sim::sched::spawn(name, std::move(body)));
}

void actors::join_all() {
    for (std::thread* t : threads_) {
        sim::sched::join(t);
        delete t;
    }
    threads_.clear();
}

VOID transfer::done(PVOID ctx, NTSTATUS status, ULONG bytes) {
    sim::sched::point("child completion callback");
    auto* t = static_cast<transfer*>(ctx);
    t->status = status;
    t->bytes = bytes;
    expect(t->calls.fetch_add(1) == 0, "a transfer's completion came twice");
}

transfer* ledger::next() {
    items_.emplace_back();
    return &items_.back();
}

void ledger::forget_last() { items_.pop_back(); }

bool ledger::all_done(int64_t within) {
    return sim::sched::wait(
        "child waits for its completions",
        [this] {
            for (const transfer& t : items_) {
                if (t.calls.load() == 0) return false;
            }
            return true;
        },
        sim::clock_now() + within);
}

std::string location() { return sim::plug_options().location; }

world::world(bool control_device, bool start_control) {
    host = std::make_unique<sim::host>();
    if (g_debug_level > 1) sim::debugger_mirror(stderr);
    host->registry().set_dword(sim::host::parameters_key(), "DebugLevel", static_cast<uint32_t>(g_debug_level));
    if (control_device) host->registry().set_dword(sim::host::parameters_key(), "UseControlDevice", 1);
    expect(host->load_driver(CDC_DRIVER_IMAGE) == STATUS_SUCCESS, "the driver loads");
    if (control_device) {
        sim::device_stack_config root;
        root.enumerator = "ROOT";
        root.device_id = "CDCBUS";
        root.instance_id = "0000";
        control = &host->add_device(root);
        if (start_control) expect(host->start_device(*control) == STATUS_SUCCESS, "the control device starts");
    }
}

world::~world() {
    release_interfaces();
    // Unloading checks that nothing the driver made is left behind.
    host.reset();
}

void world::release_interfaces() {
    for (auto& bus : interfaces_) {
        if (bus.header.InterfaceDereference != nullptr) bus.header.InterfaceDereference(bus.header.Context);
    }
    interfaces_.clear();
}

void world::device_value(const sim::usb::descriptor_set& set, const std::string& name, uint32_t value) {
    char id[32];
    snprintf(id, sizeof(id), "VID_%04X&PID_%04X", set.device.idVendor, set.device.idProduct);
    host->registry().set_dword(
        std::string(sim::enum_key()) + "\\USB\\" + id + "\\" + location() + "\\Device Parameters", name, value);
}

std::vector<WDFDEVICE> world::plug(const sim::usb::descriptor_set& set, size_t count, const char* what) {
    device = std::make_shared<sim::usb::device>(set);
    sim::plug_options options;
    options.whole_device = true;
    auto stacks = host->plug(device, options);
    expect(stacks.size() == 1 && stacks[0]->start_status() == STATUS_SUCCESS, "the device starts");
    stack = stacks[0];
    std::vector<WDFDEVICE> out;
    for (const auto& child : host->children(control != nullptr ? *control : *stack)) out.push_back(child.device);
    expect(out.size() == count, what);
    return out;
}

WDFDEVICE world::plug_one(const sim::usb::descriptor_set& set) {
    return plug(set, 1,
                control != nullptr ? "the control device owns the modem's child" : "the modem has one child")[0];
}

std::vector<WDFDEVICE> world::plug_ecm_pair() {
    sim::usb::descriptor_set set = catalogue::ecm_adapter();
    device_value(set, "ExtraControlEnabled", 1);
    return plug(set, 2, "the ECM function with extra control has two children");
}

CDC_BUS_INTERFACE& world::bus(WDFDEVICE child) {
    interfaces_.emplace_back();
    CDC_BUS_INTERFACE& bus = interfaces_.back();
    query_bus(child, &bus);
    return bus;
}

void query_bus(WDFDEVICE child, CDC_BUS_INTERFACE* bus) {
    expect(sim::query_interface(child, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(bus), sizeof(*bus),
                                CDC_BUS_INTERFACE_VERSION, const_cast<char*>(CDC_BUS_DRIVER_VERSION)) == STATUS_SUCCESS,
           "the child gets the bus interface");
}

NTSTATUS open_data_path(CDC_BUS_INTERFACE& bus, WDFDEVICE child, ULONG in, ULONG out) {
    NTSTATUS status = bus.cdc_data_io_init(child, in, out);
    if (!NT_SUCCESS(status)) return status;
    status = bus.cdc_transport_enable(child);
    if (status != STATUS_SUCCESS) {
        bus.cdc_data_io_uninit(child);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    return STATUS_SUCCESS;
}

void expect_pools(CDC_BUS_INTERFACE& bus, WDFDEVICE child, ULONG in, ULONG out, const char* who) {
    expect(bus.cdc_data_io_init(child, in, out) == STATUS_SUCCESS, std::string(who) + " sets its data path up");
}

void expect_open(CDC_BUS_INTERFACE& bus, WDFDEVICE child, ULONG in, ULONG out) {
    expect_pools(bus, child, in, out, "the child");
    expect(bus.cdc_transport_enable(child) == STATUS_SUCCESS, "the child enables its transport");
}

}  // namespace explore
