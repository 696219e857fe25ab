// Device power as the framework tracks it: each device's power state, the
// WdfDeviceStopIdle references that keep it out of idle, which thread runs
// its power callbacks, and the system's power action. The PnP manager
// (sim/power.cpp) makes the transitions and reports them here.
// Platform-internal.
#pragma once

#include "wdf.h"

namespace wdf {

class device;

// After a successful EvtDeviceD0Entry, and before EvtDeviceD0Exit.
void power_d0_entered(device* dev);
void power_d0_leaving(device* dev, WDF_POWER_DEVICE_STATE target);
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

// Implemented by the PnP manager: brings a low-power device back to D0,
// waiting (true: STATUS_SUCCESS once in D0, else why not) or queued for the
// PnP manager's thread (wait false: STATUS_PENDING).
NTSTATUS request_d0(device* dev, bool wait);
// Implemented by the PnP manager: completes a PDO's pending wait-wake request
// with the status (success: its power policy owner brings it back to D0
// through the PnP manager's queue); false when none is pending.
bool indicate_wake(device* dev, NTSTATUS status);

}  // namespace wdf
