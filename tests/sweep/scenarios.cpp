// The sweep's scenarios and the checks of one run. Each scenario has a setup
// (never failed) and a body: the window whose fault points are swept. A body
// goes on past a failure as a child driver would: what it cannot do it skips,
// and it always leaves the host as it found it (devices unplugged, interfaces
// let go), so the fresh plug that follows shows whether the driver recovered.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <regex>
#include <thread>

#include "cdc/bus/kernel/winnt/cdc_bus_interface.h"
#include "devices/catalogue.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "sweep/sweep.h"
#include "usb/usb_device.h"
#include "wdf/wdf_object.h"
#include "wdf/wdf_request.h"

namespace sweep {
namespace {

namespace catalogue = sim::usb::catalogue;

constexpr uint8_t data_in = 0x82;
constexpr uint8_t data_out = 0x02;
constexpr uint8_t get_line_coding = 0x21;

// One asynchronous transfer as its starter tracks it.
struct transfer_record {
    std::string what;
    bool owed = false;  // accepted: exactly one completion is due
    std::atomic<int> completions{0};

    static VOID done(PVOID ctx, NTSTATUS, ULONG) { static_cast<transfer_record*>(ctx)->completions++; }
};

// What a child driver in control-device mode tells the bus driver.
struct child_state {
    std::atomic<bool> open{false};
    static LONG final_cb(PVOID) { return 0; }
    static LONG is_open(PVOID ctx) { return static_cast<child_state*>(ctx)->open ? 1 : 0; }
};

class run {
 public:
    explicit run(bool control_mode) : control_mode_(control_mode) {}

    // ---- Setup -------------------------------------------------------------------
    void make_host() {
        host_ = std::make_unique<sim::host>();
        if (getenv("CDC_TRACE") != nullptr) sim::debugger_mirror(stderr);
        // Errors and notices only: whatever prints is a failure the driver
        // reported (a registry value it could not read is a notice).
        host_->registry().set_dword(sim::host::parameters_key(), "DebugLevel", getenv("CDC_TRACE") ? 4 : 3);
        if (control_mode_) host_->registry().set_dword(sim::host::parameters_key(), "UseControlDevice", 1);
    }
    bool load() { return ok(host_->load_driver(CDC_DRIVER_IMAGE)); }
    void add_control_device() {
        sim::device_stack_config root;
        root.enumerator = "ROOT";
        root.device_id = "CDCBUS";
        root.instance_id = "0000";
        control_ = &host_->add_device(root);
    }
    bool start_control_device() { return control_ != nullptr && ok(host_->start_device(*control_)); }

    void set_hardware_value(const std::string& location, const std::string& name, uint32_t value) {
        const sim::usb::descriptor_set set = catalogue::acm_modem();
        char id[32];
        snprintf(id, sizeof(id), "VID_%04X&PID_%04X", set.device.idVendor, set.device.idProduct);
        host_->registry().set_dword(
            std::string(sim::enum_key()) + "\\USB\\" + id + "\\" + location + "\\Device Parameters", name, value);
    }

    // ---- Scenario steps ------------------------------------------------------------
    // Plugs a modem; its function device's stack, or nullptr when it did not start.
    sim::device_stack* plug(const std::string& location = sim::plug_options().location) {
        catalogue::device_options options;
        options.remote_wakeup = true;
        auto dev = std::make_shared<sim::usb::device>(catalogue::acm_modem(options));
        sim::plug_options plug_options;
        plug_options.whole_device = true;
        plug_options.location = location;
        auto stacks = host_->plug(dev, plug_options);
        plugged_.push_back(dev);
        if (stacks.size() != 1 || !ok(stacks[0]->start_status())) return nullptr;
        return stacks[0];
    }

    void unplug_all(bool surprise) {
        let_go();
        unplug_devices(surprise);
    }
    // The child driver keeps its interfaces (a child that stays open).
    void unplug_devices(bool surprise) {
        for (auto& dev : plugged_) surprise ? host_->surprise_remove(dev) : host_->unplug(dev);
        plugged_.clear();
    }

    std::vector<sim::child_info> children(sim::device_stack* stack) const {
        if (control_mode_) return control_ != nullptr ? host_->children(*control_) : std::vector<sim::child_info>{};
        return stack != nullptr ? host_->children(*stack) : std::vector<sim::child_info>{};
    }

    // The first child of a device, or NULL when it reported none.
    WDFDEVICE first_child(sim::device_stack* stack) {
        auto kids = children(stack);
        if (kids.empty()) {
            failure_returned_ = true;
            return nullptr;
        }
        return kids.front().device;
    }

    CDC_BUS_INTERFACE* bus(WDFDEVICE child) {
        if (child == nullptr) return nullptr;
        interfaces_.emplace_back();
        CDC_BUS_INTERFACE& b = interfaces_.back();
        if (!ok(sim::query_interface(child, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(&b), sizeof(b),
                                     CDC_BUS_INTERFACE_VERSION, const_cast<char*>(CDC_BUS_DRIVER_VERSION)))) {
            interfaces_.pop_back();
            return nullptr;
        }
        return &b;
    }

    // A child driver lets go of its interfaces before its PDOs go.
    void let_go() {
        for (auto& b : interfaces_) {
            if (b.header.InterfaceDereference != nullptr && wdf::is_live(static_cast<WDFOBJECT>(b.header.Context))) {
                b.header.InterfaceDereference(b.header.Context);
            }
        }
        interfaces_.clear();
    }

    bool open_data_path(CDC_BUS_INTERFACE* b, WDFDEVICE c) {
        if (b == nullptr) return false;
        if (!ok(b->cdc_data_io_init(c, 2, 2))) return false;
        if (!ok(b->cdc_transport_enable(c))) return false;
        return ok_bool(b->cdc_set_notify_cb(c, this, notified));
    }
    void close_data_path(CDC_BUS_INTERFACE* b, WDFDEVICE c) {
        if (b == nullptr) return;
        ok(b->cdc_transport_disable(c));
        ok(b->cdc_data_io_uninit(c));
    }

    transfer_record& record(const std::string& what) {
        transfers_.emplace_back();
        transfers_.back().what = what;
        return transfers_.back();
    }
    void read_async(CDC_BUS_INTERFACE* b, WDFDEVICE c, std::vector<uint8_t>* buffer) {
        transfer_record& r = record("read");
        r.owed = ok_bool(
            b->cdc_data_in_async(c, buffer->data(), static_cast<ULONG>(buffer->size()), transfer_record::done, &r, 0));
    }
    void write_async(CDC_BUS_INTERFACE* b, WDFDEVICE c, std::vector<uint8_t>* buffer) {
        transfer_record& r = record("write");
        r.owed = ok_bool(
            b->cdc_data_out_async(c, buffer->data(), static_cast<ULONG>(buffer->size()), transfer_record::done, &r, 0));
    }
    void control_async(CDC_BUS_INTERFACE* b, WDFDEVICE c) {
        transfer_record& r = record("control");
        ULONG bytes = 0;
        static UCHAR coding[7];
        const NTSTATUS status = b->class_control_async(c, TRUE, get_line_coding, 0, sizeof(coding), coding,
                                                       transfer_record::done, &r, &bytes, 0);
        r.owed = status == STATUS_PENDING;
        ok(status);
    }
    // A write and a read that must come through whole.
    bool echo(CDC_BUS_INTERFACE* b, WDFDEVICE c, const std::shared_ptr<sim::usb::device>& dev, bool* moved) {
        *moved = false;
        UCHAR text[] = {'A', 'T', '\r'};
        if (!ok_bool(b->cdc_data_out_sync(c, text, sizeof(text), 0))) return false;
        const auto out = dev->take_out(data_out);
        dev->push_in(data_in, {'O', 'K'});
        std::vector<uint8_t> in(64);
        if (!ok_bool(b->cdc_data_in_sync(c, in.data(), static_cast<ULONG>(in.size()), 0))) return false;
        *moved = out == std::vector<uint8_t>({'A', 'T', '\r'}) && in[0] == 'O' && in[1] == 'K';
        return true;
    }

    // False (and the failure noted) for a failing status.
    bool ok(NTSTATUS status) {
        if (!NT_SUCCESS(status)) {
            failure_returned_ = true;
            if (getenv("CDC_TRACE") != nullptr) fprintf(stderr, "sweep: step failed with %08x\n", unsigned(status));
        }
        return NT_SUCCESS(status);
    }
    bool ok_bool(BOOLEAN value) {
        if (!value) {
            failure_returned_ = true;
            if (getenv("CDC_TRACE") != nullptr) fprintf(stderr, "sweep: step refused\n");
        }
        return value != FALSE;
    }
    static VOID notified(PVOID, PVOID, ULONG) {}

    // Waits (bounded, real time) for what is owed; problems for what never came.
    void account(std::vector<std::string>* problems) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            host_->settle();
            bool waiting = false;
            for (const auto& r : transfers_) waiting |= r.owed && r.completions == 0;
            if (!waiting || std::chrono::steady_clock::now() > deadline) break;
            std::this_thread::yield();
        }
        for (const auto& r : transfers_) {
            if (r.owed && r.completions != 1) {
                problems->push_back("accepted " + r.what + " completed " + std::to_string(r.completions) + " times");
            } else if (!r.owed && r.completions > 1) {
                problems->push_back("refused " + r.what + " completed " + std::to_string(r.completions) + " times");
            }
        }
        transfers_.clear();
    }

    sim::host& host() { return *host_; }
    std::unique_ptr<sim::host>& host_ptr() { return host_; }
    bool control_mode() const { return control_mode_; }
    sim::device_stack* control() const { return control_; }
    bool failure_returned() const { return failure_returned_; }
    void forget_failures() { failure_returned_ = false; }
    const std::vector<std::shared_ptr<sim::usb::device>>& plugged() const { return plugged_; }

 private:
    bool control_mode_;
    std::unique_ptr<sim::host> host_;
    sim::device_stack* control_ = nullptr;
    std::vector<std::shared_ptr<sim::usb::device>> plugged_;
    std::deque<CDC_BUS_INTERFACE> interfaces_;
    std::deque<transfer_record> transfers_;
    bool failure_returned_ = false;
};

struct scenario {
    scenario_info info;
    bool control_mode;
    std::function<void(run&)> setup;
    std::function<void(run&)> body;
};

// ---- The scenarios ------------------------------------------------------------------

void plug_start_children_unplug(run& r) {
    if (!r.load()) return;
    sim::device_stack* stack = r.plug();
    if (stack != nullptr) r.children(stack);
    r.unplug_all(false);
}

struct data_path {
    sim::device_stack* stack = nullptr;
    WDFDEVICE child = nullptr;
    CDC_BUS_INTERFACE* bus = nullptr;
};
data_path* current_path = nullptr;  // what the setup opened for the body

void plug_and_query(run& r) {
    static data_path path;
    path = data_path();
    path.stack = r.plug();
    path.child = r.first_child(path.stack);
    path.bus = r.bus(path.child);
    current_path = &path;
}

void child_data_path(run& r) {
    data_path& p = *current_path;
    if (p.bus != nullptr && r.open_data_path(p.bus, p.child)) {
        bool moved = false;
        r.echo(p.bus, p.child, r.plugged().back(), &moved);
        ULONG bytes = 0;
        UCHAR coding[7] = {};
        r.ok(p.bus->class_control_sync(p.child, TRUE, get_line_coding, 0, sizeof(coding), coding, &bytes, 0));
    }
    r.close_data_path(p.bus, p.child);
    r.unplug_all(false);
}

void open_path_for_surprise(run& r) {
    plug_and_query(r);
    data_path& p = *current_path;
    if (p.bus == nullptr || !r.open_data_path(p.bus, p.child)) std::abort();
}

void surprise_removal_in_flight(run& r) {
    data_path& p = *current_path;
    static std::vector<uint8_t> reads[2] = {std::vector<uint8_t>(64), std::vector<uint8_t>(64)};
    static std::vector<uint8_t> write(200, 0x5a);
    r.read_async(p.bus, p.child, &reads[0]);
    r.read_async(p.bus, p.child, &reads[1]);
    r.write_async(p.bus, p.child, &write);
    r.control_async(p.bus, p.child);
    r.unplug_all(true);
}

std::deque<child_state> control_children;  // outlive the host: callbacks run until unload

void control_device_replug(run& r) {
    if (!r.start_control_device()) return;
    const std::string port = sim::plug_options().location;
    sim::device_stack* stack = r.plug(port);
    WDFDEVICE child = r.first_child(stack);
    CDC_BUS_INTERFACE* b = r.bus(child);
    child_state& state = control_children.emplace_back();
    if (b != nullptr) {
        r.ok(b->cdc_data_io_ctrl_cbs_init(child, 1, child_state::final_cb, child_state::final_cb, child_state::is_open,
                                          nullptr, nullptr, &state));
        state.open = true;
        if (r.open_data_path(b, child)) {
            bool moved = false;
            r.echo(b, child, r.plugged().back(), &moved);
        }
    }
    // Unplugged while open: the child stays, and is served again at replug.
    r.unplug_devices(false);
    stack = r.plug(port);
    if (b != nullptr && r.first_child(stack) == child) {
        r.close_data_path(b, child);
        if (r.open_data_path(b, child)) {
            bool moved = false;
            r.echo(b, child, r.plugged().back(), &moved);
        }
        r.close_data_path(b, child);
        state.open = false;
        r.ok(b->qd_notify_child_not_in_use(child));
    }
    state.open = false;
    r.unplug_all(false);
}

void power_idle_sleep(run& r) {
    data_path& p = *current_path;
    if (p.bus != nullptr && r.open_data_path(p.bus, p.child) && p.stack != nullptr) {
        WDFDEVICE device = p.stack->device();
        if (r.host().idle(device)) {
            if (r.ok(WdfDeviceStopIdle(device, TRUE))) WdfDeviceResumeIdle(device);
        }
        r.ok(r.host().sleep());
        r.ok(r.host().resume());
        bool moved = false;
        r.echo(p.bus, p.child, r.plugged().back(), &moved);
    }
    r.close_data_path(p.bus, p.child);
    r.unplug_all(false);
}

// A resource rebalance with a read waiting: the stop takes it back, the
// restart reports the child again, and the new child moves data.
void rebalance_in_flight(run& r) {
    data_path& p = *current_path;
    static std::vector<uint8_t> read(64);
    if (p.bus != nullptr && r.open_data_path(p.bus, p.child)) r.read_async(p.bus, p.child, &read);
    // Its driver lets go of the child, which the restart's enumeration replaces.
    r.let_go();
    if (p.stack != nullptr && r.ok(r.host().rebalance(*p.stack))) {
        WDFDEVICE child = r.first_child(p.stack);
        CDC_BUS_INTERFACE* b = r.bus(child);
        if (r.open_data_path(b, child)) {
            bool moved = false;
            r.echo(b, child, r.plugged().back(), &moved);
        }
        r.close_data_path(b, child);
    }
    r.unplug_all(false);
}

// Control-device mode: the open child stays across its device's rebalance
// and sets up again on it.
void control_device_rebalance(run& r) {
    if (!r.start_control_device()) return;
    sim::device_stack* stack = r.plug(sim::plug_options().location);
    WDFDEVICE child = r.first_child(stack);
    CDC_BUS_INTERFACE* b = r.bus(child);
    child_state& state = control_children.emplace_back();
    static std::vector<uint8_t> read(64);
    if (b != nullptr) {
        r.ok(b->cdc_data_io_ctrl_cbs_init(child, 1, child_state::final_cb, child_state::final_cb, child_state::is_open,
                                          nullptr, nullptr, &state));
        state.open = true;
        if (r.open_data_path(b, child)) r.read_async(b, child, &read);
    }
    if (stack != nullptr && r.ok(r.host().rebalance(*stack)) && b != nullptr && r.first_child(stack) == child) {
        r.close_data_path(b, child);
        if (r.open_data_path(b, child)) {
            bool moved = false;
            r.echo(b, child, r.plugged().back(), &moved);
        }
    }
    // Closed, also when its device did not come back: a child left pending
    // goes at its not-in-use report.
    if (b != nullptr) {
        r.close_data_path(b, child);
        state.open = false;
        r.ok(b->qd_notify_child_not_in_use(child));
    }
    state.open = false;
    r.unplug_all(false);
}

const std::vector<scenario>& all() {
    static const std::vector<scenario> list = {
        {{"plug", "load, plug, start, children, unplug (USB-direct)"}, false, [](run&) {}, plug_start_children_unplug},
        {{"data", "data path: init, enable, notify, write, read, control, disable, uninit, unplug"},
         false,
         [](run& r) {
             r.load();
             plug_and_query(r);
         },
         child_data_path},
        {{"surprise", "surprise removal with reads, a write and a control request in flight"},
         false,
         [](run& r) {
             r.load();
             open_path_for_surprise(r);
         },
         surprise_removal_in_flight},
        {{"control", "control device: start, plug, serve, unplug while open, replug, close"},
         true,
         [](run& r) {
             r.load();
             r.add_control_device();
         },
         control_device_replug},
        {{"power", "idle and wake, sleep and resume, with the data path open"},
         false,
         [](run& r) {
             r.load();
             r.set_hardware_value(sim::plug_options().location, "IdleTimeout", 5);
             plug_and_query(r);
         },
         power_idle_sleep},
        {{"rebalance", "a rebalance with a read waiting, the child reported again, its data path"},
         false,
         [](run& r) {
             r.load();
             plug_and_query(r);
         },
         rebalance_in_flight},
        {{"control-rebalance", "control device: a rebalance of the serving device with the child open and reading"},
         true,
         [](run& r) {
             r.load();
             r.add_control_device();
         },
         control_device_rebalance},
    };
    return list;
}

// The fresh device after the scenario: a write and a read must come through.
void second_plug(run& r, std::vector<std::string>* problems) {
    if (!r.host().driver_loaded() && !NT_SUCCESS(r.host().load_driver(CDC_DRIVER_IMAGE))) {
        problems->push_back("the driver does not load again");
        return;
    }
    if (r.control_mode() && (r.control() == nullptr || !r.control()->started())) {
        r.add_control_device();
        if (!r.start_control_device()) {
            problems->push_back("a new control device does not start");
            return;
        }
    }
    r.forget_failures();
    sim::device_stack* stack = r.plug("7&2b3c4d5e&0&2");
    WDFDEVICE child = r.first_child(stack);
    CDC_BUS_INTERFACE* b = r.bus(child);
    bool moved = false;
    if (b == nullptr) {
        problems->push_back("the next plug gives no child with a bus interface");
    } else if (!r.open_data_path(b, child)) {
        problems->push_back("the next plug's data path does not open");
    } else if (!r.echo(b, child, r.plugged().back(), &moved) || !moved) {
        problems->push_back("the next plug's write and read fail");
    }
    r.close_data_path(b, child);
    if (r.failure_returned() && problems->empty()) problems->push_back("the next plug reports a failure");
    r.unplug_all(false);
}

}  // namespace

// Addresses differ from run to run; statuses are what a failure shows, so
// they are kept.
std::string normalise_line(const std::string& line) {
    static const std::regex hex("(0x)?[0-9A-Fa-f]{12,}");
    return std::regex_replace(line, hex, "#");
}

const std::vector<scenario_info>& scenarios() {
    static const std::vector<scenario_info> infos = [] {
        std::vector<scenario_info> out;
        for (const scenario& s : all()) out.push_back(s.info);
        return out;
    }();
    return infos;
}

run_report run_scenario(const std::string& name, unsigned fail_point, const std::vector<std::string>& baseline) {
    run_report report;
    const auto found = std::find_if(all().begin(), all().end(), [&](const scenario& s) { return s.info.name == name; });
    if (found == all().end()) {
        report.problems.push_back("no scenario " + name);
        return report;
    }
    sim::fault_reset();
    sim::set_completion_mode(sim::completion_mode::threads);
    run r(found->control_mode);
    r.make_host();
    found->setup(r);
    r.forget_failures();
    sim::debugger_clear();

    const uint64_t start = sim::fault_site_calls("*");
    if (fail_point != 0) sim::fault_fail_nth("*", fail_point);
    found->body(r);
    sim::fault_fail_nth("*", 0);
    report.points = sim::fault_site_calls("*") - start;
    report.injected = fail_point != 0 && report.points >= fail_point;
    report.site = sim::fault_last_failed_site();
    report.failure_returned = r.failure_returned();
    r.account(&report.problems);

    for (const std::string& line : sim::debugger_lines()) report.error_lines.push_back(normalise_line(line));
    if (report.injected && !report.failure_returned) {
        const bool new_line = std::any_of(report.error_lines.begin(), report.error_lines.end(), [&](const auto& l) {
            return std::find(baseline.begin(), baseline.end(), l) == baseline.end();
        });
        // The one read that cannot be traced is the debug level's own: the
        // default level applies, below the notice, and the run prints less.
        const bool level_fell_back =
            report.site == "WdfRegistryQueryULong" && report.error_lines.size() < baseline.size();
        if (!new_line && !level_fell_back) report.problems.push_back("the failure was neither returned nor traced");
    }

    second_plug(r, &report.problems);
    r.account(&report.problems);
    // Unloading bug checks on anything the driver left behind.
    r.host_ptr().reset();
    return report;
}

}  // namespace sweep
