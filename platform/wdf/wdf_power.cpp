// Each device's power state and idle references. WdfDeviceStopIdle on a
// device in a low-power state brings it back to D0 through the PnP manager:
// waiting on the calling thread, or queued for the PnP manager.
#include "wdf/wdf_power.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <map>
#include <mutex>
#include <thread>

#include "sim/kernel.h"
#include "wdf/wdf_internal.h"

namespace wdf {
namespace {

constexpr int64_t kNoDeadline = INT64_MAX;

struct power_record {
    WDF_POWER_DEVICE_STATE state = WdfPowerDeviceD3Final;
    bool bus_suspended = false;
    bool wake_queued = false;
    long stop_idle = 0;  // successful StopIdle calls not yet resumed
    long waiters = 0;    // StopIdle calls waiting for D0
    std::thread::id callback_thread;
    device* parent = nullptr;   // a PDO's parent, which its D0 holds
    bool holds_parent = false;  // it holds its parent's reference now
    long children_in_d0 = 0;    // references its children in D0 hold
    bool started = false;
    bool idle_enabled = false;  // idle settings assigned and enabled
    ULONG idle_timeout_ms = 0;
    bool timing_out = false;              // its idle timer expired: it is on its way out of D0
    int64_t idle_deadline = kNoDeadline;  // the running idle timer's expiry
};

// Only the power calls take it; handle checks and I/O never do.
struct power_table {
    std::mutex lock;
    std::map<const device*, power_record> devices;  // guarded by lock
    // The earliest idle deadline, written under lock: the clock observer
    // reads it without the lock.
    std::atomic<int64_t> next_deadline{kNoDeadline};
};

power_table& power() {
    static auto* t = new power_table();  // outlives every static destructor
    return *t;
}

std::atomic<POWER_ACTION> system_action{PowerActionNone};

// The framework's time-out when the driver asks for its default.
constexpr ULONG kDefaultIdleTimeoutMs = 5000;

// Under the table's lock.
void recompute_next_deadline() {
    int64_t next = kNoDeadline;
    for (const auto& entry : power().devices) next = std::min(next, entry.second.idle_deadline);
    power().next_deadline.store(next);
}

bool idle_timer_may_run(const power_record& r) {
    return r.started && r.state == WdfPowerDeviceD0 && !r.timing_out && r.idle_enabled && r.stop_idle == 0 &&
           r.waiters == 0 && r.children_in_d0 == 0;
}

// Under the table's lock: starts the timer when the last reference went,
// cancels it when one came. True when a timer started.
bool rearm(power_record& r) {
    if (!idle_timer_may_run(r)) {
        if (r.idle_deadline != kNoDeadline) {
            r.idle_deadline = kNoDeadline;
            recompute_next_deadline();
        }
        return false;
    }
    if (r.idle_deadline != kNoDeadline) return false;
    r.idle_deadline = sim::clock_now() + static_cast<int64_t>(r.idle_timeout_ms) * 10000;
    recompute_next_deadline();
    return true;
}

// Under the table's lock: a child out of D0 (or gone) lets its parent idle.
bool release_parent(power_record& child) {
    if (!child.holds_parent) return false;
    child.holds_parent = false;
    auto it = power().devices.find(child.parent);
    if (it == power().devices.end()) return false;
    it->second.children_in_d0--;
    return rearm(it->second);
}

// Wakes the idle timer's thread once the table's lock is released.
void armed(bool started) {
    if (started) idle_timer_armed();
}

}  // namespace

void power_d0_entered(device* dev) {
    bool started;
    {
        std::lock_guard<std::mutex> guard(power().lock);
        power_record& record = power().devices[dev];
        record.state = WdfPowerDeviceD0;
        record.bus_suspended = false;
        record.wake_queued = false;
        record.timing_out = false;
        if (record.parent != nullptr && !record.holds_parent && power_policy_owner(record.parent)) {
            auto it = power().devices.find(record.parent);
            if (it != power().devices.end()) {
                record.holds_parent = true;
                it->second.children_in_d0++;
                rearm(it->second);
            }
        }
        started = rearm(record);
    }
    armed(started);
}

void power_set_parent(device* child, device* parent) {
    std::lock_guard<std::mutex> guard(power().lock);
    power().devices[child].parent = parent;
}

void power_started(device* dev) {
    bool started;
    {
        std::lock_guard<std::mutex> guard(power().lock);
        power_record& record = power().devices[dev];
        record.started = true;
        started = rearm(record);
    }
    armed(started);
}

void power_idle_settings_changed(device* dev) {
    const WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings = dev->idle_settings;
    bool started;
    {
        std::lock_guard<std::mutex> guard(power().lock);
        power_record& record = power().devices[dev];
        record.idle_enabled = settings.Enabled != WdfFalse;
        record.idle_timeout_ms =
            settings.IdleTimeout == IdleTimeoutDefaultValue ? kDefaultIdleTimeoutMs : settings.IdleTimeout;
        auto it = power().devices.find(dev);
        it->second.idle_deadline = kNoDeadline;
        started = rearm(it->second);
        if (!started) recompute_next_deadline();
    }
    armed(started);
}

int64_t power_next_idle_deadline() { return power().next_deadline.load(); }

size_t power_idle_expired(int64_t now, device** out, size_t capacity) {
    std::lock_guard<std::mutex> guard(power().lock);
    size_t count = 0;
    for (auto& entry : power().devices) {
        power_record& r = entry.second;
        if (r.idle_deadline > now || count == capacity) continue;
        r.idle_deadline = kNoDeadline;
        r.timing_out = true;
        out[count++] = const_cast<device*>(entry.first);
    }
    recompute_next_deadline();
    return count;
}

void power_idle_abandon(device* dev) {
    bool started = false;
    {
        std::lock_guard<std::mutex> guard(power().lock);
        auto it = power().devices.find(dev);
        if (it != power().devices.end()) {
            it->second.timing_out = false;
            started = rearm(it->second);
        }
    }
    armed(started);
}

void power_idle_begin(device* dev) {
    std::lock_guard<std::mutex> guard(power().lock);
    power_record& record = power().devices[dev];
    record.timing_out = true;
    rearm(record);
}

void power_d0_leaving(device* dev, WDF_POWER_DEVICE_STATE target) {
    std::lock_guard<std::mutex> guard(power().lock);
    power_record& record = power().devices[dev];
    record.state = target;
    rearm(record);
}

void power_stopped(device* dev) {
    bool started;
    {
        std::lock_guard<std::mutex> guard(power().lock);
        power_record& record = power().devices[dev];
        record.state = WdfPowerDeviceD3Final;
        record.started = false;
        record.timing_out = false;
        record.wake_queued = false;
        rearm(record);
        started = release_parent(record);
    }
    armed(started);
}

void power_low_entered(device* dev, WDF_POWER_DEVICE_STATE state) {
    bool started;
    {
        std::lock_guard<std::mutex> guard(power().lock);
        power_record& record = power().devices[dev];
        record.state = state;
        record.bus_suspended = true;
        record.timing_out = false;
        rearm(record);
        started = release_parent(record);
    }
    armed(started);
}

void power_bus_resuming(device* dev) {
    std::lock_guard<std::mutex> guard(power().lock);
    power().devices[dev].bus_suspended = false;
}

bool power_bus_suspended(const device* dev) {
    std::lock_guard<std::mutex> guard(power().lock);
    auto it = power().devices.find(dev);
    return it != power().devices.end() && it->second.bus_suspended;
}

void power_removed(device* dev) {
    long outstanding;
    bool started = false;
    {
        std::lock_guard<std::mutex> guard(power().lock);
        auto it = power().devices.find(dev);
        outstanding = it != power().devices.end() ? it->second.stop_idle : 0;
        if (it != power().devices.end()) {
            started = release_parent(it->second);
            power().devices.erase(it);
            recompute_next_deadline();
        }
    }
    armed(started);
    if (outstanding != 0) {
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION,
                       "device removed with a WdfDeviceStopIdle not matched by WdfDeviceResumeIdle", dev->handle(),
                       "WdfDeviceResumeIdle");
    }
}

long power_stop_idle_count(const device* dev) {
    std::lock_guard<std::mutex> guard(power().lock);
    auto it = power().devices.find(dev);
    return it != power().devices.end() ? it->second.stop_idle : 0;
}

WDF_POWER_DEVICE_STATE power_state(const device* dev) {
    std::lock_guard<std::mutex> guard(power().lock);
    auto it = power().devices.find(dev);
    return it != power().devices.end() ? it->second.state : WdfPowerDeviceD3Final;
}

bool power_idle_blocked(const device* dev) {
    std::lock_guard<std::mutex> guard(power().lock);
    auto it = power().devices.find(dev);
    return it != power().devices.end() && (it->second.stop_idle != 0 || it->second.waiters != 0);
}

void power_callback_enter(const device* dev) {
    std::lock_guard<std::mutex> guard(power().lock);
    power().devices[dev].callback_thread = std::this_thread::get_id();
}

void power_callback_leave(const device* dev) {
    std::lock_guard<std::mutex> guard(power().lock);
    auto it = power().devices.find(dev);
    if (it != power().devices.end()) it->second.callback_thread = std::thread::id();
}

void set_system_power_action(POWER_ACTION action) { system_action.store(action); }

}  // namespace wdf

using namespace wdf;

extern "C" {

// In D0 the reference is taken at once. In a low-power state the reference
// is taken and the device brought back: WaitForD0 returns once it is in D0
// (a failed return to D0 fails the call, without a reference), otherwise the
// call returns STATUS_PENDING and the PnP manager finishes the return. A
// device that is not started (or is being removed), or whose return to D0
// failed, gives STATUS_POWER_STATE_INVALID and no reference; a device that
// does not own its stack's power policy STATUS_INVALID_DEVICE_STATE: only the
// owner idles.
NTSTATUS WdfDeviceStopIdle(WDFDEVICE Device, BOOLEAN WaitForD0) {
    sim::count_framework_call();
    auto* dev = validate_as<device>(Device, object_type::device, "WdfDeviceStopIdle");
    require_irql_max(WaitForD0 ? PASSIVE_LEVEL : DISPATCH_LEVEL, "WdfDeviceStopIdle");
    if (!power_policy_owner(dev)) return STATUS_INVALID_DEVICE_STATE;
    // A failed power-up: no reference is taken.
    NTSTATUS injected;
    if (sim::fault_should_fail("WdfDeviceStopIdle", &injected)) return injected;
    bool queue = false;
    {
        std::lock_guard<std::mutex> guard(power().lock);
        power_record& record = power().devices[dev];
        if (WaitForD0 && record.callback_thread == std::this_thread::get_id()) {
            sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION,
                           "WdfDeviceStopIdle waiting for D0 inside the device's own power callback (deadlock)", Device,
                           "WdfDeviceStopIdle");
        }
        if (record.state == WdfPowerDeviceD3Final) return STATUS_POWER_STATE_INVALID;
        // Once its timer expired the device is on its way out of D0: the
        // reference brings it back afterwards.
        if (record.state == WdfPowerDeviceD0 && !record.timing_out) {
            record.stop_idle++;
            rearm(record);
            return STATUS_SUCCESS;
        }
        if (!WaitForD0) {
            record.stop_idle++;
            queue = !record.wake_queued;
            record.wake_queued = true;
        } else {
            record.waiters++;
        }
        rearm(record);
    }
    if (!WaitForD0) {
        if (queue) request_d0(dev, false);
        return STATUS_PENDING;
    }
    NTSTATUS status = request_d0(dev, true);
    std::unique_lock<std::mutex> guard(power().lock);
    auto it = power().devices.find(dev);
    if (it == power().devices.end()) {
        return STATUS_POWER_STATE_INVALID;  // removed meanwhile
    }
    it->second.waiters--;
    NTSTATUS result = STATUS_POWER_STATE_INVALID;
    if (NT_SUCCESS(status) && it->second.state == WdfPowerDeviceD0) {
        it->second.stop_idle++;
        result = STATUS_SUCCESS;
    }
    const bool started = rearm(it->second);
    guard.unlock();
    armed(started);
    return result;
}

VOID WdfDeviceResumeIdle(WDFDEVICE Device) {
    sim::count_framework_call();
    auto* dev = validate_as<device>(Device, object_type::device, "WdfDeviceResumeIdle");
    require_irql_max(DISPATCH_LEVEL, "WdfDeviceResumeIdle");
    // A device that is not the power policy owner took no reference: nothing to do.
    if (!power_policy_owner(dev)) return;
    bool started;
    {
        std::lock_guard<std::mutex> guard(power().lock);
        auto it = power().devices.find(dev);
        if (it == power().devices.end() || it->second.stop_idle == 0) {
            sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION,
                           "WdfDeviceResumeIdle without a matching WdfDeviceStopIdle", Device, "WdfDeviceResumeIdle");
        }
        it->second.stop_idle--;
        started = rearm(it->second);
    }
    armed(started);
}

POWER_ACTION WdfDeviceGetSystemPowerAction(WDFDEVICE Device) {
    sim::count_framework_call();
    validate_as<device>(Device, object_type::device, "WdfDeviceGetSystemPowerAction");
    return system_action.load();
}

// Only a PDO owns its wait-wake request (its function driver sends it
// there); completing it is how its bus driver tells of a wake.
NTSTATUS WdfDeviceIndicateWakeStatus(WDFDEVICE Device, NTSTATUS WaitWakeStatus) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfDeviceIndicateWakeStatus");
    auto* dev = validate_as<device>(Device, object_type::device, "WdfDeviceIndicateWakeStatus");
    if (WaitWakeStatus == STATUS_PENDING || WaitWakeStatus == STATUS_CANCELLED) return STATUS_INVALID_PARAMETER;
    if (!dev->is_pdo()) return STATUS_INVALID_DEVICE_STATE;
    return indicate_wake(dev, WaitWakeStatus) ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}

}  // extern "C"
