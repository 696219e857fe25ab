// Each device's power state and idle references. WdfDeviceStopIdle on a
// device in a low-power state brings it back to D0 through the PnP manager:
// waiting on the calling thread, or queued for the PnP manager.
#include "wdf/wdf_power.h"

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "sim/kernel.h"
#include "wdf/wdf_internal.h"

namespace wdf {
namespace {

struct power_record {
    WDF_POWER_DEVICE_STATE state = WdfPowerDeviceD3Final;
    bool bus_suspended = false;
    bool wake_queued = false;
    long stop_idle = 0;  // successful StopIdle calls not yet resumed
    long waiters = 0;    // StopIdle calls waiting for D0
    std::thread::id callback_thread;
};

// Only the power calls take it; handle checks and I/O never do.
struct power_table {
    std::mutex lock;
    std::map<const device*, power_record> devices;  // guarded by lock
};

power_table& power() {
    static auto* t = new power_table();  // outlives every static destructor
    return *t;
}

std::atomic<POWER_ACTION> system_action{PowerActionNone};

}  // namespace

void power_d0_entered(device* dev) {
    std::lock_guard<std::mutex> guard(power().lock);
    power_record& record = power().devices[dev];
    record.state = WdfPowerDeviceD0;
    record.bus_suspended = false;
    record.wake_queued = false;
}

void power_d0_leaving(device* dev, WDF_POWER_DEVICE_STATE target) {
    std::lock_guard<std::mutex> guard(power().lock);
    power().devices[dev].state = target;
}

void power_low_entered(device* dev, WDF_POWER_DEVICE_STATE state) {
    std::lock_guard<std::mutex> guard(power().lock);
    power_record& record = power().devices[dev];
    record.state = state;
    record.bus_suspended = true;
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
    {
        std::lock_guard<std::mutex> guard(power().lock);
        auto it = power().devices.find(dev);
        outstanding = it != power().devices.end() ? it->second.stop_idle : 0;
        if (it != power().devices.end()) power().devices.erase(it);
    }
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
        if (record.state == WdfPowerDeviceD0) {
            record.stop_idle++;
            return STATUS_SUCCESS;
        }
        if (!WaitForD0) {
            record.stop_idle++;
            queue = !record.wake_queued;
            record.wake_queued = true;
        } else {
            record.waiters++;
        }
    }
    if (!WaitForD0) {
        if (queue) request_d0(dev, false);
        return STATUS_PENDING;
    }
    NTSTATUS status = request_d0(dev, true);
    std::lock_guard<std::mutex> guard(power().lock);
    auto it = power().devices.find(dev);
    if (it == power().devices.end()) {
        return STATUS_POWER_STATE_INVALID;  // removed meanwhile
    }
    it->second.waiters--;
    if (NT_SUCCESS(status) && it->second.state == WdfPowerDeviceD0) {
        it->second.stop_idle++;
        return STATUS_SUCCESS;
    }
    return STATUS_POWER_STATE_INVALID;
}

VOID WdfDeviceResumeIdle(WDFDEVICE Device) {
    auto* dev = validate_as<device>(Device, object_type::device, "WdfDeviceResumeIdle");
    require_irql_max(DISPATCH_LEVEL, "WdfDeviceResumeIdle");
    // A device that is not the power policy owner took no reference: nothing to do.
    if (!power_policy_owner(dev)) return;
    std::lock_guard<std::mutex> guard(power().lock);
    auto it = power().devices.find(dev);
    if (it == power().devices.end() || it->second.stop_idle == 0) {
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "WdfDeviceResumeIdle without a matching WdfDeviceStopIdle",
                       Device, "WdfDeviceResumeIdle");
    }
    it->second.stop_idle--;
}

POWER_ACTION WdfDeviceGetSystemPowerAction(WDFDEVICE Device) {
    validate_as<device>(Device, object_type::device, "WdfDeviceGetSystemPowerAction");
    return system_action.load();
}

// Only a PDO owns its wait-wake request (its function driver sends it
// there); completing it is how its bus driver tells of a wake.
NTSTATUS WdfDeviceIndicateWakeStatus(WDFDEVICE Device, NTSTATUS WaitWakeStatus) {
    require_irql_max(DISPATCH_LEVEL, "WdfDeviceIndicateWakeStatus");
    auto* dev = validate_as<device>(Device, object_type::device, "WdfDeviceIndicateWakeStatus");
    if (WaitWakeStatus == STATUS_PENDING || WaitWakeStatus == STATUS_CANCELLED) return STATUS_INVALID_PARAMETER;
    if (!dev->is_pdo()) return STATUS_INVALID_DEVICE_STATE;
    return indicate_wake(dev, WaitWakeStatus) ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}

}  // extern "C"
