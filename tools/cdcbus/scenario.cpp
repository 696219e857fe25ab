#include "scenario.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "cdcbus.h"
#include "devices/catalogue.h"
#include "devices/models/make_device.h"
#include "devices/sysfs_loader.h"
#include "script.h"
#include "serial_driver.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "sim/strings.h"
#include "terminal.h"
#include "usb/usb_device.h"
#include "usb/usb_pcap.h"
#include "wdf/wdf_request.h"

namespace cdcbus {
namespace {

const char* pipe_type_name(WDF_USB_PIPE_TYPE type) {
    switch (type) {
        case WdfUsbPipeTypeControl:
            return "control";
        case WdfUsbPipeTypeIsochronous:
            return "isochronous";
        case WdfUsbPipeTypeBulk:
            return "bulk";
        case WdfUsbPipeTypeInterrupt:
            return "interrupt";
        default:
            return "invalid";
    }
}

void add_interface(device_summary& summary, WDFUSBINTERFACE ifc, const char* role) {
    if (ifc == nullptr) return;
    for (auto& existing : summary.interfaces) {
        if (existing.number == WdfUsbInterfaceGetInterfaceNumber(ifc)) {
            existing.role += std::string(" and ") + role;
            return;
        }
    }
    interface_summary s;
    s.role = role;
    s.number = WdfUsbInterfaceGetInterfaceNumber(ifc);
    s.settings = WdfUsbInterfaceGetNumSettings(ifc);
    s.current_setting = WdfUsbInterfaceGetConfiguredSettingIndex(ifc);
    USB_INTERFACE_DESCRIPTOR desc;
    WdfUsbInterfaceGetDescriptor(ifc, static_cast<UCHAR>(s.current_setting), &desc);
    s.interface_class = desc.bInterfaceClass;
    s.subclass = desc.bInterfaceSubClass;
    s.protocol = desc.bInterfaceProtocol;
    summary.interfaces.push_back(s);
}

WDFUSBPIPE locked_pipe(WDFSPINLOCK lock, WDFUSBPIPE* field) {
    if (lock != nullptr) WdfSpinLockAcquire(lock);
    WDFUSBPIPE pipe = *field;
    if (lock != nullptr) WdfSpinLockRelease(lock);
    return pipe;
}

void add_pipe(device_summary& summary, WDFUSBPIPE pipe, const char* role) {
    if (pipe == nullptr) return;
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WdfUsbTargetPipeGetInformation(pipe, &info);
    summary.pipes.push_back({role, info.EndpointAddress, pipe_type_name(info.PipeType), info.MaximumPacketSize});
}

// What the driver made of one function device, read as a debugger would
// read its context, while the device is still started.
device_summary describe(const sim::device_stack& stack) {
    device_summary summary;
    summary.hardware_id = stack.config().device_id;
    summary.location = stack.config().instance_id;
    summary.start_status = static_cast<uint32_t>(stack.start_status());
    auto* fdx = static_cast<DEVICE_CONTEXT*>(stack.context("DEVICE_CONTEXT"));
    if (fdx == nullptr || !stack.started()) {
        return summary;
    }
    if (fdx->ids.qd_enumerator != nullptr) {
        summary.function = sim::to_utf8(fdx->ids.qd_enumerator);
    }
    add_interface(summary, fdx->usb_ifc_comm, "communication");
    add_interface(summary, fdx->usb_ifc_data, "data");
    add_pipe(summary, fdx->pipe_comm_notify, "notification");
    // A child's driver may be opening the data path meanwhile: the pipes are
    // read under the pools' locks the driver publishes them under.
    add_pipe(summary, locked_pipe(fdx->req_in.lock, &fdx->pipe_data_in), "data in");
    add_pipe(summary, locked_pipe(fdx->req_out.lock, &fdx->pipe_data_out), "data out");
    summary.alternate_settings = fdx->alt_enable != fdx->alt_disable;
    summary.alt_enable = fdx->alt_enable;
    summary.alt_disable = fdx->alt_disable;
    return summary;
}

child_summary summarize(const sim::child_info& child) {
    child_summary c;
    c.device_id = child.device_id;
    c.hardware_ids = child.hardware_ids;
    c.compatible_ids = child.compatible_ids;
    c.instance_id = child.instance_id;
    c.device_text = child.device_text;
    c.location_text = child.location_text;
    c.address = child.pnp_capabilities.Address;
    c.ui_number = child.pnp_capabilities.UINumber;
    return c;
}

binding_summary summarize(const sim::driver_binding& b) {
    binding_summary s;
    s.device_id = b.device_id;
    s.instance_id = b.instance_id;
    s.hardware_ids = b.hardware_ids;
    s.compatible_ids = b.compatible_ids;
    s.matched = b.matched;
    s.inf = b.inf;
    s.models = b.models;
    s.description = b.description;
    s.service = b.service;
    s.id = b.id;
    s.by_hardware_id = b.by_hardware_id;
    s.problem = b.problem;
    s.loaded = b.stack != nullptr;
    return s;
}

usb_device_summary summarize(const sim::usb_binding& b) {
    usb_device_summary s;
    s.device = summarize(b.device);
    for (const auto& f : b.functions) s.functions.push_back(summarize(f));
    return s;
}

driver_summary summarize(const function_drivers::driver_report& report) {
    driver_summary d;
    d.name = report.name;
    d.opened = report.opened;
    d.read = report.read;
    for (const auto& c : report.completions) {
        d.completions.push_back({c.op, static_cast<uint32_t>(c.status), c.bytes});
    }
    d.notifications = report.notifications;
    return d;
}

// A function driver that hands what it saw to the program as it unloads,
// after the PnP manager closed it.
template <class Driver>
class reporting : public Driver {
 public:
    using sink = std::function<void(WDFDEVICE, const function_drivers::driver_report&)>;
    reporting(WDFDEVICE pdo, sink on_unload) : Driver(pdo), on_unload_(std::move(on_unload)) {}
    ~reporting() override { on_unload_(this->pdo(), this->report()); }

 private:
    sink on_unload_;
};

// A run failed part-way: the message goes to stderr, the run stops.
struct run_error {
    std::string message;
};

class session {
 public:
    session(sim::host& host, const options& opts, FILE* trace) : host_(host), opts_(opts), trace_(trace) {}
    ~session() { terminals_.clear(); }

    void load_function_drivers() {
        auto sink = [this](WDFDEVICE pdo, const function_drivers::driver_report& report) { unloaded(pdo, report); };
        host_.register_function_driver("usbcdcacm\\compat", [sink](WDFDEVICE pdo) {
            return std::unique_ptr<sim::function_driver>(new reporting<function_drivers::serial_driver>(pdo, sink));
        });
        host_.set_default_function_driver([sink](WDFDEVICE pdo) {
            return std::unique_ptr<sim::function_driver>(new reporting<function_drivers::generic_client>(pdo, sink));
        });
    }

    void set_control(sim::device_stack* control) { control_ = control; }

    // Runs the actions in order; a failing expect or an action the devices
    // cannot take throws run_error.
    void run(const std::vector<action>& actions) {
        for (const auto& a : actions) step(a);
    }

    void step(const action& a) {
        if (!a.source.empty()) fprintf(trace_, "cdcbus> %s\n", a.source.c_str());
        try {
            perform(a);
        } catch (const run_error&) {
            quiesce();
            throw;
        }
        quiesce();
    }

    // Serving: what the actions report goes to `out`, serial children get
    // terminals when they open.
    void serve_to(FILE* out) {
        report_ = out;
        prefix_ = "";
        serving_ = true;
    }

    // Children reported and removed since the last call, what each read, and
    // the terminals opened; one line each.
    void report_changes() {
        for (size_t i = 0; i < children_.size(); i++) {
            child_entry& c = children_[i];
            if (!c.announced) {
                fprintf(report_, "child %zu %s reported\n", i, c.device_id.c_str());
                c.announced = true;
            }
            if (c.present && !c.gone_announced) {
                if (auto* d = dynamic_cast<function_drivers::cdc_client*>(host_.function_driver_of(c.pdo))) {
                    std::vector<uint8_t> read = d->read_bytes();
                    if (read.size() > c.read_reported) {
                        std::vector<uint8_t> fresh(read.begin() + static_cast<long>(c.read_reported), read.end());
                        fprintf(report_, "child %zu read \"%s\"\n", i, escape_text(fresh).c_str());
                        c.read_reported = read.size();
                    }
                }
            }
            if (!c.present && !c.gone_announced) {
                fprintf(report_, "child %zu %s removed\n", i, c.device_id.c_str());
                c.gone_announced = true;
            }
        }
        for (const auto& line : terminal_lines_) fprintf(report_, "%s\n", line.c_str());
        terminal_lines_.clear();
        fflush(report_);
    }

    // Closes every open child, as programs exiting would.
    void close_all() {
        for (auto& c : children_) {
            if (!c.present) continue;
            sim::function_driver* d = host_.function_driver_of(c.pdo);
            if (d != nullptr && d->is_open()) host_.close(c.pdo);
        }
        quiesce();
    }

    // Unplugs what is still plugged in; the drivers' reports and the
    // devices' traffic are then final.
    void finish() {
        // The devices still plugged in leave a running system, as a user
        // would wake the machine before pulling them.
        if (host_.sleeping()) {
            fprintf(trace_, "cdcbus: the system sleeps at the end; resuming\n");
            host_.resume();
            quiesce();
        }
        for (auto it = plugged_.rbegin(); it != plugged_.rend(); ++it) {
            if (it->present) remove(*it, false);
        }
        for (const auto& p : plugged_) {
            for (size_t index : p.summaries) add_transfers(summaries_[index], *p.dev, p.traffic_seen);
        }
    }

    std::vector<sim::usb::wire_event> capture() const {
        std::vector<std::vector<sim::usb::wire_event>> streams;
        for (const auto& p : plugged_) streams.push_back(p.dev->events());
        return sim::usb::merge_events(streams);
    }

    std::vector<device_summary>& summaries() { return summaries_; }
    const std::vector<usb_device_summary>& bindings() const { return bindings_; }
    void add_binding(const usb_device_summary& b) { bindings_.push_back(b); }
    bool start_failed() const { return start_failed_; }

 private:
    struct plugged_device {
        std::shared_ptr<sim::devices::model_device> dev;
        std::vector<sim::device_stack*> stacks;
        std::vector<size_t> summaries;  // parallel to stacks
        bool present = true;
        std::string location;     // the port it was plugged into
        size_t traffic_seen = 0;  // transfers in the summaries of earlier pluggings
        std::shared_ptr<std::atomic<bool>> gone = std::make_shared<std::atomic<bool>>(false);
    };
    struct child_entry {
        WDFDEVICE pdo;
        std::string device_id;
        size_t plugged;  // index in plugged_
        size_t summary;  // index in summaries_
        size_t index;    // in that summary's children
        bool present = true;
        // Serving: what was reported of it already.
        bool announced = false;
        bool gone_announced = false;
        size_t read_reported = 0;
    };

    // ---- Children ------------------------------------------------------------------

    std::vector<sim::child_info> children_of(const sim::device_stack& stack, const device_summary& summary) const {
        if (control_ == nullptr || !control_->started()) return host_.children(stack);
        // In control-device mode the children belong to the control device;
        // each goes with the function whose hardware id it carries.
        std::vector<sim::child_info> mine;
        for (const auto& child : host_.children(*control_)) {
            if (child.device_id.find("\\" + summary.hardware_id) != std::string::npos) mine.push_back(child);
        }
        return mine;
    }

    // Picks up children reported since the last look and marks those gone.
    void refresh_children() {
        std::vector<WDFDEVICE> seen;
        for (size_t p = 0; p < plugged_.size(); p++) {
            if (!plugged_[p].present) continue;
            for (size_t s = 0; s < plugged_[p].stacks.size(); s++) {
                const sim::device_stack& stack = *plugged_[p].stacks[s];
                size_t summary = plugged_[p].summaries[s];
                if (!stack.started()) continue;
                for (const auto& child : children_of(stack, summaries_[summary])) {
                    seen.push_back(child.device);
                    if (find_present(child.device) != nullptr) continue;
                    summaries_[summary].children.push_back(summarize(child));
                    children_.push_back(
                        {child.device, child.device_id, p, summary, summaries_[summary].children.size() - 1});
                }
            }
        }
        // With a control device, a child outlives the device that served it.
        if (control_ != nullptr && control_->started()) {
            for (const auto& child : host_.children(*control_)) seen.push_back(child.device);
        }
        for (auto& c : children_) {
            if (c.present && std::find(seen.begin(), seen.end(), c.pdo) == seen.end()) c.present = false;
        }
    }

    child_entry* find_present(WDFDEVICE pdo) {
        for (auto& c : children_) {
            if (c.present && c.pdo == pdo) return &c;
        }
        return nullptr;
    }

    void unloaded(WDFDEVICE pdo, const function_drivers::driver_report& report) {
        auto t = terminals_.find(pdo);
        if (t != terminals_.end()) {
            terminal_lines_.push_back(t->second->path() + " closed");
            terminals_.erase(t);
        }
        if (child_entry* c = find_present(pdo)) {
            summaries_[c->summary].children[c->index].driver = summarize(report);
        }
    }

    // CHILD: an index in the order reported, else a device ID; the newest
    // child with that ID.
    child_entry& child(const action& a) {
        const std::string& name = a.child;
        child_entry* found = nullptr;
        if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit)) {
            size_t index = std::stoul(name);
            if (index < children_.size()) found = &children_[index];
        } else {
            for (auto& c : children_) {
                if (c.device_id == name) found = &c;
            }
        }
        if (found == nullptr) fail(a, "no child " + name);
        if (!found->present) fail(a, "child " + name + " is gone");
        return *found;
    }

    function_drivers::cdc_client& driver(const action& a, const child_entry& c) {
        auto* d = dynamic_cast<function_drivers::cdc_client*>(host_.function_driver_of(c.pdo));
        if (d == nullptr) fail(a, "child " + a.child + " has no function driver");
        return *d;
    }

    // The pipe of the setting in force now: enabling the data path may
    // switch to a setting with other pipes than the one plugged.
    uint8_t endpoint(const action& a, const child_entry& c, const std::string& role) {
        note_pipes();
        for (const auto& pipe : summaries_[c.summary].pipes) {
            if (pipe.role == role) return static_cast<uint8_t>(pipe.endpoint);
        }
        fail(a, "child " + a.child + " has no " + role + " pipe");
        return 0;
    }

    [[noreturn]] static void fail(const action& a, const std::string& message) {
        throw run_error{"line " + std::to_string(a.line) + ": " + message};
    }

    void report_status(const char* what, NTSTATUS status) {
        fprintf(report_, "%s%s: 0x%08X\n", prefix_, what, static_cast<unsigned>(status));
    }

    // Serving: a serial child that opened gets its terminal, once.
    void offer_terminal(const child_entry& c) {
        if (!serving_ || terminals_.count(c.pdo) != 0) return;
        auto* serial = dynamic_cast<function_drivers::serial_driver*>(host_.function_driver_of(c.pdo));
        if (serial == nullptr) return;
        std::string error;
        std::unique_ptr<terminal> t = terminal::create(&error);
        if (t == nullptr) {
            fprintf(report_, "error: %s\n", error.c_str());
            return;
        }
        t->attach(serial);
        terminal_lines_.push_back(c.device_id + " on " + t->path());
        terminals_[c.pdo] = std::move(t);
    }

    // The stack of the child's device that carries the child's function.
    sim::device_stack* serving_stack(const action& a, const child_entry& c) {
        const plugged_device& p = plugged_[c.plugged];
        if (p.present) {
            for (size_t s = 0; s < p.stacks.size(); s++) {
                if (summaries_[p.summaries[s]].hardware_id == summaries_[c.summary].hardware_id &&
                    p.stacks[s]->started())
                    return p.stacks[s];
            }
        }
        fail(a, "no USB device serves child " + a.child);
    }

    // ---- Actions ---------------------------------------------------------------------

    void perform(const action& a) {
        using k = action::kind;
        switch (a.type) {
            case k::plug:
                plug(a);
                return;
            case k::replug:
                replug(a);
                return;
            case k::sleep:
                report_status("sleep", host_.sleep());
                return;
            case k::resume:
                report_status("resume", host_.resume());
                return;
            case k::unplug:
            case k::surprise_remove: {
                plugged_device* last = nullptr;
                for (auto& p : plugged_) {
                    if (p.present) last = &p;
                }
                if (last == nullptr) fail(a, "nothing is plugged in");
                refuse_pnp_while_sleeping(a);
                remove(*last, a.type == k::surprise_remove);
                return;
            }
            default:
                break;
        }
        child_entry& c = child(a);
        sim::usb::device& dev = *plugged_[c.plugged].dev;
        switch (a.type) {
            case k::open: {
                NTSTATUS status = host_.open(c.pdo);
                report_status("open", status);
                if (NT_SUCCESS(status)) offer_terminal(c);
                break;
            }
            case k::idle: {
                bool idled = host_.idle(serving_stack(a, c)->device());
                fprintf(report_, "%sidle: %s\n", prefix_, idled ? "idle" : "refused");
                break;
            }
            case k::close:
                host_.close(c.pdo);
                break;
            case k::write:
                if (!driver(a, c).write(a.bytes)) fprintf(report_, "%swrite refused\n", prefix_);
                break;
            case k::device_send:
                dev.push_in(endpoint(a, c, "data in"), a.bytes);
                break;
            case k::expect: {
                function_drivers::cdc_client& d = driver(a, c);
                std::vector<uint8_t> read = d.read_bytes();
                // Nothing expected is always there, even in nothing read.
                if (!a.bytes.empty() &&
                    std::search(read.begin(), read.end(), a.bytes.begin(), a.bytes.end()) == read.end()) {
                    fail(a, "expected child " + a.child + " to have read \"" + escape_text(a.bytes) + "\", it read \"" +
                                escape_text(read) + "\"");
                }
                break;
            }
            case k::line_coding:
                report_status("line coding", serial(a, c).set_line_coding(a.baud, a.data_bits, a.parity, a.stop_bits));
                break;
            case k::control_lines:
                report_status("control lines", serial(a, c).set_control_lines(a.dtr, a.rts));
                break;
            case k::class_request: {
                std::vector<uint8_t> data = a.bytes;
                NTSTATUS status = driver(a, c).class_request(a.in, a.request, a.value, a.length, &data);
                report_status("class request", status);
                if (a.in && NT_SUCCESS(status) && status != STATUS_CTRL_USB_DEVICE_ABSENT)
                    fprintf(report_, "%sclass request read %s\n", prefix_, hex_bytes(data).c_str());
                break;
            }
            case k::notify:
                dev.push_in(endpoint(a, c, "notification"), a.bytes);
                break;
            case k::fault:
                dev.inject(endpoint(a, c,
                                    a.pipe == "notify" ? "notification"
                                    : a.pipe == "in"   ? "data in"
                                                       : "data out"),
                           make_fault(a));
                break;
            case k::purge:
                report_status("purge", driver(a, c).purge(a.in));
                break;
            case k::restart:
                report_status("restart", driver(a, c).restart(a.in));
                break;
            case k::reset:
                report_status("reset", driver(a, c).reset());
                break;
            case k::serial_state: {
                auto* modem = plugged_[c.plugged].dev->find<sim::devices::acm_modem>();
                if (modem == nullptr || !modem->notify_serial_state(a.state_bits)) fail(a, "no modem status to send");
                break;
            }
            default:
                break;
        }
    }

    function_drivers::serial_driver& serial(const action& a, const child_entry& c) {
        auto* s = dynamic_cast<function_drivers::serial_driver*>(&driver(a, c));
        if (s == nullptr) fail(a, "child " + a.child + " is not a serial port");
        return *s;
    }

    static sim::usb::fault make_fault(const action& a) {
        using sim::usb::fault;
        if (a.fault_kind == "stall") return fault::make_stall();
        if (a.fault_kind == "error") return fault::make_error(USBD_STATUS_XACT_ERROR);
        if (a.fault_kind == "hang") return fault::make_hang();
        if (a.fault_kind == "short") return fault::make_short(a.short_bytes);
        return fault::make_gone();
    }

    // Adds the pipes each started function has in force now to its summary,
    // so that the summary lists, and its traffic counts, every pipe used.
    void note_pipes() {
        for (const auto& p : plugged_) {
            if (!p.present) continue;
            for (size_t s = 0; s < p.stacks.size(); s++) {
                if (!p.stacks[s]->started()) continue;
                device_summary now = describe(*p.stacks[s]);
                std::vector<pipe_summary>& pipes = summaries_[p.summaries[s]].pipes;
                for (const auto& pipe : now.pipes) {
                    bool listed = std::any_of(pipes.begin(), pipes.end(), [&](const pipe_summary& q) {
                        return q.endpoint == pipe.endpoint && q.role == pipe.role;
                    });
                    if (!listed) pipes.push_back(pipe);
                }
            }
        }
    }

    // A port holds one device, and nothing is plugged or unplugged while the
    // system sleeps: such a line is refused, not run.
    void refuse_pnp_while_sleeping(const action& a) {
        if (host_.sleeping()) fail(a, "the system sleeps; resume first");
    }

    void refuse_port_in_use(const action& a, const std::string& location) {
        for (const auto& p : plugged_) {
            if (p.present && p.location == location) fail(a, "a device is plugged in at " + location + " already");
        }
    }

    void plug(const action& a) {
        sim::plug_options plug;
        if (!a.location.empty()) {
            plug.location = a.location;
        } else if (!opts_.location.empty()) {
            plug.location = opts_.location;
        }
        plug.whole_device = opts_.whole_device;
        refuse_pnp_while_sleeping(a);
        refuse_port_in_use(a, plug.location);
        sim::devices::model_options model;
        model.location = plug.location;
        plugged_device p;
        p.dev = sim::devices::make_device(a.modem ? sim::usb::catalogue::acm_modem() : a.descriptors, model);
        p.location = plug.location;
        // A `gone` fault unplugs the device on a completion path; the PnP
        // manager hears of it once the line's completions are over.
        auto gone = p.gone;
        p.dev->on_gone = [gone] { gone->store(true); };
        plug_stacks(p, plug);
        plugged_.push_back(std::move(p));
    }

    void plug_stacks(plugged_device& p, const sim::plug_options& plug) {
        p.stacks.clear();
        p.summaries.clear();
        std::vector<sim::device_stack*> stacks = host_.plug(p.dev, plug);
        bindings_.push_back(summarize(host_.last_binding()));
        if (serving_ && stacks.empty()) {
            fprintf(report_, "plug %s at %s: no driver\n", bindings_.back().device.device_id.c_str(),
                    bindings_.back().device.instance_id.c_str());
        }
        for (sim::device_stack* stack : stacks) {
            if (!NT_SUCCESS(stack->start_status())) start_failed_ = true;
            p.stacks.push_back(stack);
            p.summaries.push_back(summaries_.size());
            summaries_.push_back(describe(*stack));
            if (serving_)
                fprintf(report_, "plug %s at %s: 0x%08X\n", stack->config().device_id.c_str(),
                        stack->config().instance_id.c_str(), static_cast<unsigned>(stack->start_status()));
        }
    }

    // The same device, with the same model, back in the port it left or
    // another one.
    void replug(const action& a) {
        if (last_removed_ >= plugged_.size() || plugged_[last_removed_].present) fail(a, "nothing was unplugged");
        plugged_device& p = plugged_[last_removed_];
        sim::plug_options plug;
        plug.location = a.location.empty() ? p.location : a.location;
        plug.whole_device = opts_.whole_device;
        refuse_pnp_while_sleeping(a);
        refuse_port_in_use(a, plug.location);
        // Its earlier summaries keep their transfers: the device's record
        // restarts with the new plugging.
        for (size_t index : p.summaries) add_transfers(summaries_[index], *p.dev, p.traffic_seen);
        p.traffic_seen = p.dev->traffic().size();
        p.location = plug.location;
        p.present = true;
        p.gone->store(false);
        plug_stacks(p, plug);
    }

    void remove(plugged_device& p, bool surprise) {
        if (surprise) {
            host_.surprise_remove(p.dev);
        } else {
            host_.unplug(p.dev);
        }
        p.present = false;
        last_removed_ = static_cast<size_t>(&p - plugged_.data());
        if (serving_) fprintf(report_, "%s\n", surprise ? "surprise-removed" : "unplugged");
        // A child that outlives its device (control-device mode) stays.
        refresh_children();
    }

    // Everything the line set off: completions queued, completion routines
    // sending again, the PnP manager's work. Stops when nothing moves; a
    // transfer the device holds stays pending.
    void quiesce() {
        size_t before = SIZE_MAX;
        for (int round = 0; round < 1000; round++) {
            host_.settle();
            // A serial port takes a returning device up on its own thread.
            for (const auto& c : children_) {
                if (!c.present) continue;
                if (auto* d = dynamic_cast<function_drivers::cdc_client*>(host_.function_driver_of(c.pdo))) {
                    d->wait_device_work();
                }
            }
            host_.settle();
            sim::io_threads_stop();
            for (auto& p : plugged_) {
                // A device gone while the system sleeps leaves at resume.
                if (p.present && !host_.sleeping() && p.gone->exchange(false)) remove(p, true);
            }
            refresh_children();
            size_t now = activity();
            if (now == before) {
                note_pipes();
                return;
            }
            before = now;
        }
    }

    size_t activity() {
        size_t n = 0;
        for (const auto& p : plugged_) {
            if (p.present) n += p.dev->events().size();
        }
        for (const auto& c : children_) {
            if (!c.present) continue;
            if (auto* d = dynamic_cast<function_drivers::cdc_client*>(host_.function_driver_of(c.pdo))) {
                n += d->completions().size() + d->notifications().size();
            }
        }
        return n;
    }

    void add_transfers(device_summary& summary, const sim::usb::device& dev, size_t from) {
        std::vector<sim::usb::transfer_record> traffic = dev.traffic();
        for (size_t i = from; i < traffic.size(); i++) {
            const sim::usb::transfer_record& t = traffic[i];
            transfer_summary s;
            s.endpoint = t.endpoint;
            s.direction = t.in ? "in" : "out";
            s.length = t.data.size();
            s.status = static_cast<uint32_t>(t.usbd_status);
            switch (t.type) {
                case sim::usb::transfer_record::kind::control:
                    s.type = "control";
                    break;
                case sim::usb::transfer_record::kind::port_reset:
                    s.type = "port reset";
                    break;
                case sim::usb::transfer_record::kind::port_cycle:
                    s.type = "port cycle";
                    break;
                default: {
                    // Another function's pipes are not this one's traffic.
                    auto pipe = std::find_if(summary.pipes.begin(), summary.pipes.end(),
                                             [&](const pipe_summary& p) { return p.endpoint == t.endpoint; });
                    if (pipe == summary.pipes.end()) continue;
                    s.type = pipe->type;
                }
            }
            summary.transfers.push_back(s);
        }
    }

    sim::host& host_;
    const options& opts_;
    FILE* trace_;
    sim::device_stack* control_ = nullptr;
    FILE* report_ = trace_;
    const char* prefix_ = "cdcbus: ";
    bool serving_ = false;
    size_t last_removed_ = SIZE_MAX;
    std::map<WDFDEVICE, std::unique_ptr<terminal>> terminals_;
    std::vector<std::string> terminal_lines_;
    std::vector<plugged_device> plugged_;
    std::vector<child_entry> children_;
    std::vector<device_summary> summaries_;
    std::vector<usb_device_summary> bindings_;  // one per plug, in order
    bool start_failed_ = false;
};

std::string read_file(const std::string& path, bool* ok) {
    std::ifstream in(path, std::ios::binary);
    *ok = static_cast<bool>(in);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The built-in demonstration: the modem answers "AT", reports a modem-status
// change, and the serial port is closed again.
std::vector<action> demonstration() {
    const char* text =
        "plug modem\n"
        "open 0\n"
        "write 0 \"AT\\r\"\n"
        "expect 0 \"\\r\\nOK\\r\\n\"\n"
        "close 0\n"
        "unplug\n";
    std::vector<action> actions = parse_script(text).actions;
    action ring;
    ring.type = action::kind::serial_state;
    ring.child = "0";
    ring.line = 4;
    ring.source = "(the modem reports DCD, DSR and RING)";
    ring.state_bits =
        sim::devices::acm_modem::state_dcd | sim::devices::acm_modem::state_dsr | sim::devices::acm_modem::state_ring;
    actions.insert(actions.begin() + 4, ring);
    return actions;
}

}  // namespace

std::string project_inf_path() {
    if (const char* env = getenv("CDCBUS_INF")) return env;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        std::string beside = dir.substr(0, dir.rfind('/')) + "/cdcbus.inf";
        if (access(beside.c_str(), R_OK) == 0) return beside;
    }
    return CDC_PROJECT_INF;
}

// Reads actions a line at a time until `in` ends; each line's outcome is on
// `out` before the next line is read.
void serve(session& run, FILE* in, FILE* out) {
    run.serve_to(out);
    run.report_changes();
    char* buffer = nullptr;
    size_t capacity = 0;
    unsigned number = 0;
    while (getline(&buffer, &capacity, in) >= 0) {
        number++;
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        parse_result parsed = parse_script(line, ".");
        if (!parsed.ok()) {
            // The parser counts lines of its one-line script.
            fprintf(out, "error: line %u: %s\n", number, parsed.error.substr(parsed.error.find(": ") + 2).c_str());
        }
        for (action& a : parsed.actions) {
            a.line = number;
            try {
                run.step(a);
            } catch (const run_error& e) {
                fprintf(out, "error: %s\n", e.message.c_str());
            }
        }
        run.report_changes();
    }
    free(buffer);
    run.close_all();
    run.report_changes();
}

int run_scenario(const options& opts, FILE* out, FILE* err, FILE* in) {
    std::vector<action> actions;
    if (opts.serve) {
        if (!opts.script.empty() || !opts.descriptors.empty()) {
            fprintf(err, "cdcbus: --serve reads its actions from standard input; give no script or descriptor file\n");
            return 2;
        }
    } else if (!opts.script.empty()) {
        if (!opts.descriptors.empty()) {
            fprintf(err, "cdcbus: a script plugs its own devices; give no descriptor file with --script\n");
            return 2;
        }
        bool ok;
        std::string text = read_file(opts.script, &ok);
        if (!ok) {
            fprintf(err, "cdcbus: %s: cannot open file\n", opts.script.c_str());
            return 2;
        }
        std::string dir =
            opts.script.find('/') == std::string::npos ? "." : opts.script.substr(0, opts.script.rfind('/'));
        parse_result parsed = parse_script(text, dir);
        if (!parsed.ok()) {
            fprintf(err, "cdcbus: %s: %s\n", opts.script.c_str(), parsed.error.c_str());
            return 2;
        }
        actions = std::move(parsed.actions);
    } else if (opts.descriptors.empty()) {
        actions = demonstration();
    } else {
        auto loaded = sim::usb::load_sysfs_file(opts.descriptors);
        if (!loaded.ok()) {
            fprintf(err, "cdcbus: %s: %s\n", opts.descriptors.c_str(), loaded.error.c_str());
            return 2;
        }
        for (const auto& warning : loaded.warnings) {
            fprintf(err, "cdcbus: %s: warning: %s\n", opts.descriptors.c_str(), warning.c_str());
        }
        action plug;
        plug.type = action::kind::plug;
        plug.descriptors = std::move(loaded.descriptors);
        action unplug;
        unplug.type = action::kind::unplug;
        actions = {plug, unplug};
    }
    if (!opts.pcap.empty() && !std::ofstream(opts.pcap, std::ios::binary)) {
        fprintf(err, "cdcbus: %s: cannot write file\n", opts.pcap.c_str());
        return 2;
    }

    sim::host host;
    // Packages first: their defaults are what a .reg file and the options override.
    std::vector<std::string> infs = {project_inf_path()};
    infs.insert(infs.end(), opts.infs.begin(), opts.infs.end());
    for (const auto& file : infs) {
        std::string error;
        if (!host.install_inf(file, &error)) {
            fprintf(err, "cdcbus: %s\n", error.c_str());
            return 2;
        }
    }
    for (const auto& file : opts.reg_files) {
        std::string error;
        if (!host.registry().load_reg_file(file, &error)) {
            fprintf(err, "cdcbus: %s\n", error.c_str());
            return 2;
        }
    }
    if (opts.debug_level) {
        host.registry().set_dword(sim::host::parameters_key(), "DebugLevel", *opts.debug_level);
    }
    if (opts.control_device) {
        host.registry().set_dword(sim::host::parameters_key(), "UseControlDevice", 1);
    }

    // The trace is the program's main output; with --json it makes way for
    // the summary on stdout.
    FILE* trace = opts.json || opts.serve ? err : out;
    sim::clock_use_virtual(false);
    sim::debugger_mirror(trace);

    int exit_status = 0;
    NTSTATUS status = host.load_driver(driver_image_path());
    if (!NT_SUCCESS(status)) {
        sim::debugger_mirror(nullptr);
        fprintf(err, "cdcbus: driver load failed 0x%08X\n", static_cast<unsigned>(status));
        return 1;
    }

    session run(host, opts, trace);
    run.load_function_drivers();
    if (opts.root_device) {
        sim::device_stack_config root;
        root.enumerator = "ROOT";
        root.device_id = "CDCBUS";
        root.instance_id = "0000";
        root.description = "CDC bus control device";
        root.hardware_ids = {"ROOT\\CDCBUS"};
        // A root-enumerated device gets the driver its INF model names.
        std::optional<sim::inf_match> match = host.match_driver(root.hardware_ids, {});
        sim::driver_binding node;
        node.device_id = root.enumerator + "\\" + root.device_id;
        node.instance_id = root.instance_id;
        node.hardware_ids = root.hardware_ids;
        if (match) {
            node.matched = true;
            node.inf = match->inf;
            node.models = match->model->section;
            node.description = match->model->description;
            node.service = match->model->service;
            node.id = match->id;
            node.by_hardware_id = match->hardware_id;
        }
        if (match && match->model->service == sim::host::driver_service()) {
            sim::device_stack* control = &host.add_device(root);
            node.stack = control;
            if (!NT_SUCCESS(control->add_status())) {
                exit_status = 1;
            } else if (!NT_SUCCESS(host.start_device(*control))) {
                exit_status = 1;
            }
            run.set_control(control);
        } else {
            exit_status = 1;
        }
        sim::usb_binding root_binding;
        root_binding.device = node;
        run.add_binding(summarize(root_binding));
    }

    if (opts.serve) {
        serve(run, in, out);
        run.finish();
        host.unload_driver();
        sim::debugger_mirror(nullptr);
        if (!opts.pcap.empty() && !sim::usb::write_pcap(opts.pcap, run.capture())) {
            fprintf(err, "cdcbus: %s: cannot write file\n", opts.pcap.c_str());
            exit_status = 1;
        }
        return run.start_failed() ? 1 : exit_status;
    }

    std::string failure;
    try {
        run.run(actions);
    } catch (const run_error& e) {
        failure = e.message;
    }
    run.finish();
    host.unload_driver();
    sim::debugger_mirror(nullptr);
    if (run.start_failed()) exit_status = 1;

    if (!opts.pcap.empty() && !sim::usb::write_pcap(opts.pcap, run.capture())) {
        fprintf(err, "cdcbus: %s: cannot write file\n", opts.pcap.c_str());
        exit_status = 1;
    }
    for (const auto& file : opts.infs) {
        std::string name =
            file.substr(file.find_last_of("/\\") == std::string::npos ? 0 : file.find_last_of("/\\") + 1);
        bool used = false;
        for (const auto& b : run.bindings()) {
            used = used || b.device.inf == name;
            for (const auto& f : b.functions) used = used || f.inf == name;
        }
        if (!used) fprintf(err, "cdcbus: %s: no model of it matches a device of this run\n", file.c_str());
    }
    if (opts.json) {
        print_json(run.summaries(), out, run.bindings());
    } else {
        print_summary(run.summaries(), out, run.bindings());
    }
    if (!failure.empty()) {
        const std::string& where = opts.script.empty() ? std::string("demonstration") : opts.script;
        fprintf(err, "cdcbus: %s: %s\n", where.c_str(), failure.c_str());
        exit_status = 1;
    }
    return exit_status;
}

}  // namespace cdcbus
