// Stands in for the host's power operations until they are built: nothing
// can sleep or idle yet.
#include "sim/host.h"

namespace sim {

NTSTATUS host::sleep() { return STATUS_NOT_SUPPORTED; }
NTSTATUS host::resume() { return STATUS_NOT_SUPPORTED; }
bool host::sleeping() const { return false; }
bool host::idle(WDFDEVICE device) {
    (void)device;
    return false;
}
WDF_POWER_DEVICE_STATE host::power_state(WDFDEVICE device) const {
    (void)device;
    return WdfPowerDeviceD0;
}

}  // namespace sim
