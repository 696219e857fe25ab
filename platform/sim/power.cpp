// The framework's device power transitions as the PnP manager runs them:
// idle and the return from it, system sleep and resume (host.h gives the
// order of the driver's callbacks).
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim/host.h"
#include "sim/kernel.h"
#include "sim/pnp_call.h"
#include "wdf/wdf_internal.h"
#include "wdf/wdf_power.h"

namespace wdf {

NTSTATUS request_d0(device* dev, bool wait) {
    sim::host* h = sim::current_host();
    if (h == nullptr) return STATUS_INVALID_DEVICE_STATE;
    if (wait) return h->wait_for_d0(dev);
    h->queue_wake(dev);
    return STATUS_PENDING;
}

bool indicate_wake(device* dev, NTSTATUS status) {
    sim::host* h = sim::current_host();
    return h != nullptr && h->indicate_wake(dev, status);
}

}  // namespace wdf

namespace sim {
namespace {

// The framework's idle timers on the platform clock: one thread serves the
// deadlines of every device. It sleeps until the earliest deadline passes
// (the clock observer or a newly started timer wakes it), then hands the
// expiry to the PnP manager, which runs the idle on this thread.
struct idle_timer_service {
    std::mutex lock;
    std::condition_variable changed;
    std::thread* thread = nullptr;        // guarded by lock
    std::atomic<bool> stopping{false};    // written under lock
    std::atomic<uint64_t> generation{0};  // bumped under lock by every wake-up
};

idle_timer_service& idle_timers() {
    static auto* t = new idle_timer_service();  // outlives every static destructor
    return *t;
}

void idle_timer_thread() {
    idle_timer_service& t = idle_timers();
    for (;;) {
        const uint64_t seen = t.generation.load();
        if (t.stopping.load()) return;
        const int64_t next = wdf::power_next_idle_deadline();
        host* h = current_host();
        if (h != nullptr && next <= clock_now()) {
            h->idle_timers_expired();
            continue;
        }
        const int64_t deadline = h != nullptr ? next : INT64_MAX;
        if (sched::active()) {
            sched::wait(
                "idle timer", [&t, seen] { return t.stopping.load() || t.generation.load() != seen; }, deadline);
            continue;
        }
        std::unique_lock<std::mutex> lk(t.lock);
        auto woken = [&t, seen] { return t.stopping.load() || t.generation.load() != seen; };
        if (deadline == INT64_MAX || clock_is_virtual()) {
            // A virtual clock moves only by an advance, which the observer reports.
            t.changed.wait(lk, woken);
        } else {
            const int64_t span = deadline - clock_now();
            if (span > 0) t.changed.wait_for(lk, std::chrono::nanoseconds(span * 100), woken);
        }
    }
}

void wake_idle_timer_thread() {
    idle_timer_service& t = idle_timers();
    std::lock_guard<std::mutex> guard(t.lock);
    t.generation.fetch_add(1);
    t.changed.notify_all();
}

// Runs on whichever thread moved the clock; only the passing of a deadline wakes the timer's thread.
void clock_moved() {
    if (sched::active() || wdf::power_next_idle_deadline() > clock_now()) return;
    wake_idle_timer_thread();
}

// A forked child (a "fast" death test) has no timer thread: it starts its own when a timer starts.
void idle_before_fork() { idle_timers().lock.lock(); }
void idle_after_fork_parent() { idle_timers().lock.unlock(); }
void idle_after_fork_child() {
    idle_timers().thread = nullptr;  // the parent's thread does not exist here
    idle_timers().lock.unlock();
}

struct idle_timer_setup {
    idle_timer_setup() {
        add_clock_observer(clock_moved);
        pthread_atfork(idle_before_fork, idle_after_fork_parent, idle_after_fork_child);
    }
};
idle_timer_setup g_idle_timer_setup;

}  // namespace

// The thread starts with the first timer of a host's life and ends with the
// host: a timer started while the host is torn down starts no thread.
void host::idle_timer_start() {
    idle_timer_service& t = idle_timers();
    std::lock_guard<std::mutex> guard(t.lock);
    t.stopping.store(false);
}

void host::idle_timer_stop() {
    idle_timer_service& t = idle_timers();
    std::thread* thread;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        thread = t.thread;
        t.thread = nullptr;
        t.stopping.store(true);
        t.generation.fetch_add(1);
        t.changed.notify_all();
    }
    if (thread != nullptr) {
        sched::join(thread);
        delete thread;
    }
}

void host::idle_timers_expired() {
    std::lock_guard<sched::controlled_recursive_mutex> guard(pnp_lock_);
    if (fire_idle_timers()) process_queue();
}

}  // namespace sim

namespace wdf {

void idle_timer_armed() {
    sim::idle_timer_service& t = sim::idle_timers();
    std::lock_guard<std::mutex> guard(t.lock);
    if (sim::current_host() == nullptr || t.stopping.load()) return;
    if (t.thread == nullptr) t.thread = sim::sched::spawn("idle timer", sim::idle_timer_thread);
    // A virtual clock wakes the thread itself when it passes a deadline: one
    // still ahead needs no wake now (a wake per arm was a thread switch per
    // framework idle reference).
    if (sim::clock_is_virtual() && !sim::sched::active() && power_next_idle_deadline() > sim::clock_now()) return;
    t.generation.fetch_add(1);
    t.changed.notify_all();
}

}  // namespace wdf

namespace sim {
namespace {

WDF_POWER_DEVICE_STATE from_device_state(DEVICE_POWER_STATE state, WDF_POWER_DEVICE_STATE otherwise) {
    switch (state) {
        case PowerDeviceD1:
            return WdfPowerDeviceD1;
        case PowerDeviceD2:
            return WdfPowerDeviceD2;
        case PowerDeviceD3:
            return WdfPowerDeviceD3;
        default:
            return otherwise;
    }
}

// A device that can wake from S0 (selective suspend included) idles in D2
// unless its settings name a state; one that cannot goes to D3.
WDF_POWER_DEVICE_STATE idle_state(const wdf::device& dev) {
    if (!dev.idle_settings_set) return WdfPowerDeviceD3;
    const WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS& s = dev.idle_settings;
    return from_device_state(s.DxState, s.IdleCaps == IdleCannotWakeFromS0 ? WdfPowerDeviceD3 : WdfPowerDeviceD2);
}

bool idle_arms_wake(const wdf::device& dev) {
    return dev.idle_settings_set && dev.idle_settings.IdleCaps != IdleCannotWakeFromS0;
}

bool wake_from_sx(const wdf::device& dev) { return dev.wake_settings_set && dev.wake_settings.Enabled != WdfFalse; }

// A PDO's function driver, its power policy owner, may arm it itself.
bool function_arms(const pnp_node& node) { return node.function != nullptr && node.function->arms_for_wake(); }

std::string call_name(const char* event, WDF_POWER_DEVICE_STATE state) {
    return std::string(event) + "(" + power_state_text(state) + ")";
}

}  // namespace

const char* power_state_text(WDF_POWER_DEVICE_STATE state) {
    switch (state) {
        case WdfPowerDeviceD0:
            return "D0";
        case WdfPowerDeviceD1:
            return "D1";
        case WdfPowerDeviceD2:
            return "D2";
        case WdfPowerDeviceD3:
            return "D3";
        case WdfPowerDeviceD3Final:
            return "D3Final";
        default:
            return "Dx";
    }
}

// ---- Transitions -------------------------------------------------------------------

NTSTATUS host::leave_d0(pnp_node& node, WDF_POWER_DEVICE_STATE target, bool arm) {
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = node.device->init.pnp;
    const WDFDEVICE handle = reinterpret_cast<WDFDEVICE>(node.device);
    NTSTATUS first = STATUS_SUCCESS;
    auto keep = [&](NTSTATUS status) {
        if (NT_SUCCESS(first) && !NT_SUCCESS(status)) first = status;
    };
    if (arm) {
        record(node, "arm_for_wake");
        node.armed_for_wake = true;
    }
    if (cb.EvtDeviceSelfManagedIoSuspend != nullptr) {
        record(node, "self_managed_io_suspend");
        driver_call call(in_callback_, "EvtDeviceSelfManagedIoSuspend", node.device);
        keep(cb.EvtDeviceSelfManagedIoSuspend(handle));
    }
    if (cb.EvtDeviceD0ExitPreInterruptsDisabled != nullptr) {
        record(node, call_name("d0_exit_pre_interrupts_disabled", target));
        driver_call call(in_callback_, "EvtDeviceD0ExitPreInterruptsDisabled", node.device);
        keep(cb.EvtDeviceD0ExitPreInterruptsDisabled(handle, target));
    }
    wdf::power_d0_leaving(node.device, target);
    if (cb.EvtDeviceD0Exit != nullptr) {
        record(node, call_name("d0_exit", target));
        driver_call call(in_callback_, "EvtDeviceD0Exit", node.device);
        keep(cb.EvtDeviceD0Exit(handle, target));
    }
    wdf::power_low_entered(node.device, target);
    return first;
}

// A device that cannot return to D0 is failed: the PnP manager removes it
// (with its children) as it removes a device whose start failed. The node
// may be gone when this returns.
NTSTATUS host::enter_d0(pnp_node& node) {
    const WDF_PNPPOWER_EVENT_CALLBACKS cb = node.device->init.pnp;
    const WDFDEVICE handle = reinterpret_cast<WDFDEVICE>(node.device);
    const WDF_POWER_DEVICE_STATE previous = wdf::power_state(node.device);
    NTSTATUS status = STATUS_SUCCESS;
    wdf::power_bus_resuming(node.device);
    if (cb.EvtDeviceD0Entry != nullptr) {
        record(node, call_name("d0_entry", previous));
        driver_call call(in_callback_, "EvtDeviceD0Entry", node.device);
        status = cb.EvtDeviceD0Entry(handle, previous);
    }
    if (NT_SUCCESS(status)) {
        wdf::power_d0_entered(node.device);
        if (cb.EvtDeviceD0EntryPostInterruptsEnabled != nullptr) {
            record(node, call_name("d0_entry_post_interrupts_enabled", previous));
            driver_call call(in_callback_, "EvtDeviceD0EntryPostInterruptsEnabled", node.device);
            status = cb.EvtDeviceD0EntryPostInterruptsEnabled(handle, previous);
        }
    }
    if (NT_SUCCESS(status)) scan_children(node);
    if (NT_SUCCESS(status) && cb.EvtDeviceSelfManagedIoRestart != nullptr) {
        record(node, "self_managed_io_restart");
        driver_call call(in_callback_, "EvtDeviceSelfManagedIoRestart", node.device);
        status = cb.EvtDeviceSelfManagedIoRestart(handle);
    }
    if (NT_SUCCESS(status) && node.armed_for_wake) {
        record(node, "disarm_wake");
        node.armed_for_wake = false;
    }
    if (!NT_SUCCESS(status)) {
        record(node, "power_up_failed");
        if (in_stop_idle_) {
            // The PnP manager tears the stack down from its own thread, once
            // the WdfDeviceStopIdle that failed has returned to its caller.
            std::lock_guard<std::mutex> guard(queue_lock_);
            if (std::find(failed_queue_.begin(), failed_queue_.end(), node.device) == failed_queue_.end()) {
                failed_queue_.push_back(node.device);
            }
        } else {
            remove_node(node, false);
        }
    }
    return status;
}

// The parent is in D0 before its child can be.
NTSTATUS host::wake_node(pnp_node& node) {
    if (node.parent != nullptr && wdf::power_state(node.parent->device) != WdfPowerDeviceD0) {
        NTSTATUS status = wake_node(*node.parent);
        if (!NT_SUCCESS(status)) return status;
    }
    WDF_POWER_DEVICE_STATE state = wdf::power_state(node.device);
    if (state == WdfPowerDeviceD0) return STATUS_SUCCESS;
    if (state == WdfPowerDeviceD3Final || node.removing) return STATUS_INVALID_DEVICE_STATE;
    return enter_d0(node);
}

NTSTATUS host::wait_for_d0(wdf::device* dev) {
    std::unique_lock<sched::controlled_recursive_mutex> guard(pnp_lock_);
    const bool scenario_thread = std::this_thread::get_id() == scenario_thread_;
    for (;;) {
        pnp_node* node = node_of(dev);
        if (node == nullptr || !node->started || node->removing) return STATUS_INVALID_DEVICE_STATE;
        if (!sleeping_) {
            const bool nested = in_stop_idle_;
            in_stop_idle_ = true;
            const NTSTATUS status = wake_node(*node);
            in_stop_idle_ = nested;
            return status;
        }
        if (scenario_thread) {
            bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION,
                      "WdfDeviceStopIdle waits for D0 while the system sleeps, on the thread that would resume it",
                      dev->handle(), "WdfDeviceStopIdle");
        }
        if (sched::active()) {
            guard.unlock();
            sched::wait("WdfDeviceStopIdle waiting for resume", [this] { return !sleeping_; });
            guard.lock();
        } else {
            power_changed_.wait(guard);
        }
    }
}

bool host::indicate_wake(wdf::device* dev, NTSTATUS status) {
    std::lock_guard<sched::controlled_recursive_mutex> guard(pnp_lock_);
    pnp_node* node = node_of(dev);
    if (node == nullptr || !node->armed_for_wake) return false;
    node->armed_for_wake = false;
    if (!NT_SUCCESS(status)) {
        record(*node, "wake_failed");
        return true;
    }
    record(*node, "wake_signalled");
    queue_wake(dev);
    return true;
}

void host::queue_wake(wdf::device* dev) {
    std::lock_guard<std::mutex> guard(queue_lock_);
    if (std::find(wake_queue_.begin(), wake_queue_.end(), dev) == wake_queue_.end()) wake_queue_.push_back(dev);
}

// ---- Idle --------------------------------------------------------------------------

// A child held in D0 keeps its parent there too.
bool host::can_idle(const pnp_node& node) const {
    if (wdf::power_idle_blocked(node.device)) return false;
    return std::all_of(node.children.begin(), node.children.end(),
                       [&](const pnp_node* child) { return !child->started || can_idle(*child); });
}

void host::idle_children(pnp_node& node) {
    std::vector<pnp_node*> children(node.children.rbegin(), node.children.rend());
    for (pnp_node* child : children) {
        idle_children(*child);
        if (child->started && wdf::power_state(child->device) == WdfPowerDeviceD0) {
            wdf::power_idle_begin(child->device);
            leave_d0(*child, idle_state(*child->device), idle_arms_wake(*child->device) || function_arms(*child));
        }
    }
}

// The idle timers run out as the PnP manager's work: a device whose timer
// expired has no power reference (no child in D0 among them), so it leaves
// D0 alone. One that began its removal meanwhile, or a system going to
// sleep, keeps it in D0 with its timer started again.
bool host::fire_idle_timers() {
    bool fired = false;
    for (;;) {
        wdf::device* expired[16];
        const size_t count = wdf::power_idle_expired(clock_now(), expired, 16);
        if (count == 0) return fired;
        for (size_t i = 0; i < count; ++i) {
            pnp_node* node = node_of(expired[i]);
            if (sleeping_ || node == nullptr || !node->started || node->removing ||
                wdf::power_state(expired[i]) != WdfPowerDeviceD0) {
                wdf::power_idle_abandon(expired[i]);
                continue;
            }
            leave_d0(*node, idle_state(*node->device), idle_arms_wake(*node->device) || function_arms(*node));
            fired = true;
        }
    }
}

bool host::idle(WDFDEVICE device) {
    auto guard = enter("sim::host::idle");
    auto* dev = reinterpret_cast<wdf::device*>(device);
    pnp_node* node = node_of(dev);
    if (sleeping_ || node == nullptr || !node->started || node->removing) return false;
    if (!dev->idle_settings_set || dev->idle_settings.Enabled == WdfFalse) return false;
    if (wdf::power_state(dev) != WdfPowerDeviceD0 || !can_idle(*node)) return false;
    idle_children(*node);
    wdf::power_idle_begin(dev);
    leave_d0(*node, idle_state(*dev), idle_arms_wake(*dev));
    process_queue();
    return true;
}

// ---- System sleep ------------------------------------------------------------------

// Parents before their children (oldest first); USB stacks before the others.
std::vector<wdf::device*> host::resume_order() const {
    std::vector<wdf::device*> order;
    std::function<void(const pnp_node&)> walk = [&](const pnp_node& node) {
        order.push_back(node.device);
        for (const pnp_node* child : node.children) walk(*child);
    };
    for (bool usb : {true, false}) {
        for (const auto& stack : stacks_) {
            const pnp_node& node = stack->node_;
            if ((stack->config().usb != nullptr) != usb || node.device == nullptr || !node.started) continue;
            walk(node);
        }
    }
    return order;
}

NTSTATUS host::sleep() {
    auto guard = enter("sim::host::sleep");
    if (sleeping_) return STATUS_INVALID_DEVICE_STATE;
    wdf::set_system_power_action(PowerActionSleep);
    NTSTATUS first = STATUS_SUCCESS;
    std::vector<wdf::device*> order = resume_order();
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        pnp_node* node = node_of(*it);
        if (node == nullptr || !node->started || wdf::power_state(*it) != WdfPowerDeviceD0) continue;
        const bool wake = wake_from_sx(**it);
        WDF_POWER_DEVICE_STATE target =
            wake ? from_device_state((*it)->wake_settings.DxState, WdfPowerDeviceD2) : WdfPowerDeviceD3;
        NTSTATUS status = leave_d0(*node, target, wake || function_arms(*node));
        if (NT_SUCCESS(first) && !NT_SUCCESS(status)) first = status;
    }
    sleeping_ = true;
    wdf::set_system_power_action(PowerActionNone);
    return first;
}

// Devices that were idle before the sleep come back to D0 with the others.
NTSTATUS host::resume() {
    auto guard = enter("sim::host::resume");
    if (!sleeping_) return STATUS_INVALID_DEVICE_STATE;
    wdf::set_system_power_action(PowerActionSleep);
    NTSTATUS first = STATUS_SUCCESS;
    for (wdf::device* dev : resume_order()) {
        pnp_node* node = node_of(dev);
        if (node == nullptr || !node->started || node->removing) continue;
        WDF_POWER_DEVICE_STATE state = wdf::power_state(dev);
        if (state == WdfPowerDeviceD0 || state == WdfPowerDeviceD3Final) continue;
        NTSTATUS status = enter_d0(*node);
        if (NT_SUCCESS(first) && !NT_SUCCESS(status)) first = status;
    }
    sleeping_ = false;
    wdf::set_system_power_action(PowerActionNone);
    power_changed_.notify_all();
    process_queue();
    return first;
}

bool host::sleeping() const {
    std::lock_guard<sched::controlled_recursive_mutex> guard(pnp_lock_);
    return sleeping_;
}

WDF_POWER_DEVICE_STATE host::power_state(WDFDEVICE device) const {
    return wdf::power_state(reinterpret_cast<const wdf::device*>(device));
}

}  // namespace sim
