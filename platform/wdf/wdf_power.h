// Device power as far as the framework's idle references need it: whether a
// device is in D0 and how many WdfDeviceStopIdle calls it has outstanding.
// The PnP manager reports the transitions. Platform-internal.
#pragma once

namespace wdf {

class device;

// After a successful EvtDeviceD0Entry, and before EvtDeviceD0Exit.
void power_d0_entered(device* dev);
void power_d0_leaving(device* dev);
// When the PnP manager removes the device: a WdfDeviceStopIdle without its
// WdfDeviceResumeIdle is a leak (bug check naming the device).
void power_removed(device* dev);
// The device's outstanding WdfDeviceStopIdle count, for tests.
long power_stop_idle_count(const device* dev);

}  // namespace wdf
