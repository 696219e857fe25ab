// WdfDeviceStopIdle and WdfDeviceResumeIdle: the per-device count of power
// references that keep a device out of idle. Power transitions themselves
// (idle time-out, Dx, wake) are not simulated yet: a started device stays in D0.
#include "wdf/wdf_power.h"

#include <map>
#include <mutex>

#include "sim/kernel.h"
#include "wdf/wdf_internal.h"

namespace wdf {
namespace {

struct power_record {
    bool in_d0 = false;
    long stop_idle = 0;  // successful StopIdle calls not yet resumed
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

}  // namespace

void power_d0_entered(device* dev) {
    std::lock_guard<std::mutex> guard(power().lock);
    power().devices[dev].in_d0 = true;
}

void power_d0_leaving(device* dev) {
    std::lock_guard<std::mutex> guard(power().lock);
    power().devices[dev].in_d0 = false;
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

}  // namespace wdf

using namespace wdf;

extern "C" {

// In D0 the reference is taken at once (STATUS_SUCCESS). A device that has
// not entered D0 (not started yet, or stopped) cannot be brought there by
// this platform: STATUS_INVALID_DEVICE_STATE and no reference.
NTSTATUS WdfDeviceStopIdleActual(WDFDEVICE Device, BOOLEAN WaitForD0, PVOID, LONG, PCCH) {
    auto* dev = validate_as<device>(Device, object_type::device, "WdfDeviceStopIdle");
    require_irql_max(WaitForD0 ? PASSIVE_LEVEL : DISPATCH_LEVEL, "WdfDeviceStopIdle");
    std::lock_guard<std::mutex> guard(power().lock);
    power_record& record = power().devices[dev];
    if (!record.in_d0) return STATUS_INVALID_DEVICE_STATE;
    record.stop_idle++;
    return STATUS_SUCCESS;
}

VOID WdfDeviceResumeIdleActual(WDFDEVICE Device, PVOID, LONG, PCCH) {
    auto* dev = validate_as<device>(Device, object_type::device, "WdfDeviceResumeIdle");
    require_irql_max(DISPATCH_LEVEL, "WdfDeviceResumeIdle");
    std::lock_guard<std::mutex> guard(power().lock);
    auto it = power().devices.find(dev);
    if (it == power().devices.end() || it->second.stop_idle == 0) {
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "WdfDeviceResumeIdle without a matching WdfDeviceStopIdle",
                       Device, "WdfDeviceResumeIdle");
    }
    it->second.stop_idle--;
}

}  // extern "C"
