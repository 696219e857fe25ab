// Device power as the framework tracks it: each device's power state, its
// power references and idle timer, which thread runs its power callbacks,
// and the system's power action. The PnP manager (sim/power.cpp) makes the
// transitions and reports them here.
//
// The idle timer, as the framework's power idle machine runs it: a device's
// power references are its WdfDeviceStopIdle references, the StopIdle calls
// waiting for D0, and its children in D0 (a PDO in D0 holds one on its
// parent when the parent owns its stack's power policy). A started device
// in D0 with enabled idle settings and no reference has its timer running;
// it expires IdleTimeout ms (5 s for IdleTimeoutDefaultValue) after the
// count last fell to 0, on the platform clock. A reference cancels it. Once
// it has expired the device is timing out: StopIdle no longer takes a
// reference at once but waits for (or queues) the return to D0.
// Platform-internal.
#pragma once

#include "wdf.h"

namespace wdf {

class device;

// After a successful EvtDeviceD0Entry, and before EvtDeviceD0Exit.
void power_d0_entered(device* dev);
// A PDO the PnP manager enumerated: its D0 holds a reference on `parent`.
void power_set_parent(device* child, device* parent);
// Once the start has finished: the idle timer may run from now on.
void power_started(device* dev);
// WdfDeviceAssignS0IdleSettings changed the settings: the timer starts over.
void power_idle_settings_changed(device* dev);
// The earliest deadline of a running idle timer (INT64_MAX: none).
int64_t power_next_idle_deadline();
// Takes every device whose idle timer expired by `now`: each is timing out.
// The caller takes it out of D0, or gives it back with power_idle_abandon.
size_t power_idle_expired(int64_t now, device** out, size_t capacity);
void power_idle_abandon(device* dev);
// An idle the scenario orders now: the device is timing out as if its timer expired.
void power_idle_begin(device* dev);
void power_d0_leaving(device* dev, WDF_POWER_DEVICE_STATE target);
// After EvtDeviceReleaseHardware of a stop the device comes back from (a
// rebalance): not started, its timer off, its reference on its parent gone.
void power_stopped(device* dev);
// After EvtDeviceD0Exit of a low-power transition: the device is in `state`
// and its bus suspended until power_bus_resuming.
void power_low_entered(device* dev, WDF_POWER_DEVICE_STATE state);
// Before EvtDeviceD0Entry from a low-power state: the bus is powered again.
void power_bus_resuming(device* dev);
// Transfers to a device whose bus is suspended cannot reach it.
bool power_bus_suspended(const device* dev);
// When the PnP manager removes the device: a WdfDeviceStopIdle without its
// WdfDeviceResumeIdle is a leak (bug check naming the device).
void power_removed(device* dev);
// The device's outstanding WdfDeviceStopIdle count, for tests.
long power_stop_idle_count(const device* dev);
WDF_POWER_DEVICE_STATE power_state(const device* dev);
// Whether anything holds the device in D0: a StopIdle reference, or a
// StopIdle caller waiting for D0.
bool power_idle_blocked(const device* dev);
// Brackets each of a device's power callbacks: a WdfDeviceStopIdle that
// waits for D0 from inside one would never return.
void power_callback_enter(const device* dev);
void power_callback_leave(const device* dev);
void set_system_power_action(POWER_ACTION action);
// Whether the device owns its stack's power policy (wdf_device.cpp).
bool power_policy_owner(const device* dev);
// Whether WdfDeviceSetStaticStopRemove holds the device against a
// query-stop (wdf_device.cpp).
bool static_stop_vetoed(const device* dev);

// Implemented by the PnP manager: brings a low-power device back to D0,
// waiting (true: STATUS_SUCCESS once in D0, else why not) or queued for the
// PnP manager's thread (wait false: STATUS_PENDING).
NTSTATUS request_d0(device* dev, bool wait);
// Implemented by the PnP manager: an idle timer started; its thread looks
// at the deadlines again.
void idle_timer_armed();
// Implemented by the PnP manager: completes a PDO's pending wait-wake request
// with the status (success: its power policy owner brings it back to D0
// through the PnP manager's queue); false when none is pending.
bool indicate_wake(device* dev, NTSTATUS status);

}  // namespace wdf
