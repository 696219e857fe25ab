// Brackets one call into the driver from the PnP manager. Platform-internal.
#pragma once

#include "wdf.h"

namespace wdf {
class device;
}

namespace sim {

// PASSIVE_LEVEL on the way in and out, and no scenario call from inside. A
// call nested in another (a device brought back to D0 from inside a driver
// callback) leaves the outer call's state as it found it. With a device, the
// call is one of that device's power callbacks.
class driver_call {
 public:
    driver_call(bool& in_callback, const char* name, const wdf::device* power_of = nullptr);
    ~driver_call();
    driver_call(const driver_call&) = delete;
    driver_call& operator=(const driver_call&) = delete;

 private:
    bool& in_callback_;
    bool was_in_callback_;
    const char* name_;
    const wdf::device* power_of_;
};

const char* power_state_text(WDF_POWER_DEVICE_STATE state);  // "D0", "D2", "D3Final"

}  // namespace sim
