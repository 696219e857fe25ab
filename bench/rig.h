// What the data-path benchmarks drive: the same 512-byte transfers sent
// through a child's bus interface (the driver's path) and sent by a framework
// device of our own straight to the USB pipes (the bare platform), on sink
// devices of the same kind. Each path has one or more lanes, a lane being one
// child (driver) or one bound device (bare) with its own data pipes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cdc/bus/kernel/winnt/cdc_bus_interface.h"
#include "usb/usb_descriptors.h"
#include "usb/usb_device.h"
#include "wdf.h"
#include "wdfusb.h"

namespace sim {
class host;
class device_stack;
}  // namespace sim

namespace cdc::bench {

// ---- Knobs -------------------------------------------------------------------------
// Everything the runs vary or the platform may change lives here.

enum class completion { threads, inline_send };
const char* completion_name(completion mode);
// Whether this build's platform offers the mode (the inline one needs the
// platform's completion switch).
bool completion_offered(completion mode);

struct options {
    unsigned lanes = 1;  // devices plugged, one child each
    sim::usb::usb_speed speed = sim::usb::usb_speed::high;
    completion mode = completion::threads;
    // Transfers in flight at once, over all lanes.
    unsigned depth = 8;
    // EnableZLP in each device's hardware key.
    uint32_t enable_zlp = 1;
    // The driver's DebugLevel: errors only, as a product runs.
    uint32_t debug_level = 1;
    // Off: the device copies nothing it sees, as a benchmark needs.
    bool recording = false;
    // UseControlDevice: a root control device owns the children and every
    // bus-interface call is routed to the function device serving it.
    bool control_device = false;
};

// The answer a child driver gets to its query for the bus interface, kept
// in one place so the platform's own query API can replace it.
NTSTATUS query_bus_interface(WDFDEVICE child, const char* version, CDC_BUS_INTERFACE* out);

// ---- Completions ------------------------------------------------------------------

// Finished transfers, counted from any thread and waited for without sleeping.
class tally {
 public:
    void add();
    uint64_t count() const { return count_.load(); }
    void wait_for(uint64_t n);

 private:
    std::atomic<uint64_t> count_{0};
    std::atomic<bool> waiting_{false};
    std::mutex lock_;
    std::condition_variable changed_;
};

// A device that takes what the host writes without keeping it, and whose IN
// pipe sends packets queued by the benchmark.
class sink_device : public sim::usb::device {
 public:
    using device::device;

 protected:
    int32_t on_out(uint8_t endpoint, const uint8_t* data, size_t length) override;
};

constexpr uint8_t data_in = 0x82;
constexpr uint8_t data_out = 0x02;

// The catalogue's ACM modem at the options' speed.
sim::usb::descriptor_set modem(const options& opts);

// ---- The two paths -------------------------------------------------------------------

class path {
 public:
    virtual ~path() = default;
    virtual const char* name() const = 0;
    size_t lanes() const { return devices_.size(); }
    sim::usb::device& device(size_t lane) { return *devices_.at(lane); }
    tally& done() { return done_; }
    // Starts an asynchronous transfer on a lane; false when it was refused
    // (nothing will complete). Reads land in buffer.
    virtual bool write(size_t lane, const void* buffer, ULONG length) = 0;
    virtual bool read(size_t lane, void* buffer, ULONG length) = 0;
    // Statuses of transfers that finished with something else than success.
    uint64_t failures() const { return failures_.load(); }
    ULONG last_bytes() const { return last_bytes_.load(); }
    // Waits until every completion the platform has queued has run, the
    // driver's own (records coming back after the child's callback) included.
    static void quiesce();

 protected:
    void finished(NTSTATUS status, ULONG bytes);

    std::vector<std::shared_ptr<sink_device>> devices_;
    tally done_;
    std::atomic<uint64_t> failures_{0};
    std::atomic<ULONG> last_bytes_{0};
};

// Host with the driver loaded, one device per lane plugged, its child's bus
// interface queried and the data path initialised and enabled.
class driver_path : public path {
 public:
    explicit driver_path(const options& opts);
    ~driver_path() override;
    const char* name() const override { return "driver"; }
    bool write(size_t lane, const void* buffer, ULONG length) override;
    bool read(size_t lane, void* buffer, ULONG length) override;
    // Disables and uninitialises every child's data path and drops the
    // interfaces (the destructor does it otherwise); the first failure.
    NTSTATUS close();

 private:
    static VOID on_complete(PVOID context, NTSTATUS status, ULONG bytes);

    std::unique_ptr<sim::host> host_;
    std::vector<WDFDEVICE> children_;
    std::vector<CDC_BUS_INTERFACE> buses_;
    sim::device_stack* control_ = nullptr;
};

// Framework devices of our own bound to one device per lane, configured, with
// a ring of preallocated request pairs (data and zero-length packet) per lane
// reused for every transfer, as a lean client driver would do it.
class bare_path : public path {
 public:
    explicit bare_path(const options& opts);
    ~bare_path() override;
    const char* name() const override { return "bare"; }
    bool write(size_t lane, const void* buffer, ULONG length) override;
    bool read(size_t lane, void* buffer, ULONG length) override;

 private:
    struct slot {
        bare_path* owner = nullptr;
        WDFREQUEST data = nullptr;
        WDFREQUEST zlp = nullptr;
        WDFMEMORY memory = nullptr;     // over the caller's buffer, reassigned per transfer
        std::atomic<bool> busy{false};  // from send to the transfer's finish
        std::atomic<int> pending{0};    // requests of the transfer not yet completed
        std::atomic<NTSTATUS> status{STATUS_SUCCESS};
        ULONG length = 0;
    };
    struct lane_state {
        WDFDEVICE device = nullptr;
        WDFUSBPIPE in = nullptr;
        WDFUSBPIPE out = nullptr;
        ULONG out_packet = 0;
        std::vector<std::unique_ptr<slot>> slots;
        size_t next = 0;
    };

    slot* take(lane_state& lane);
    bool send(slot* s, WDFREQUEST request, WDFUSBPIPE pipe);
    void settle(slot* s, NTSTATUS status);
    static VOID on_complete(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params,
                            WDFCONTEXT context);

    std::unique_ptr<sim::host> host_;
    std::vector<lane_state> lanes_;
    uint32_t enable_zlp_;
};

}  // namespace cdc::bench
