// The common part of the function drivers that load on the CDC bus driver's
// child PDOs, written against the bus interface only, as a separately built
// child driver would be.
//
// open: IRP_MN_QUERY_INTERFACE for GUID_CDC_BUS_INTERFACE (Size 344,
// Version 1, the bus driver's version string as interface-specific data),
// cdc_data_io_init(n, n), cdc_transport_enable, the driver's own steps
// (on_open), then `reads` asynchronous reads kept pending on the data IN
// pipe. A failing step undoes the ones before it, newest first.
//
// Reads: every completed read goes into the read log and, when it succeeded
// (zero bytes included) and the client is not closing, is sent again from its
// completion routine. A failed read is recorded and not sent again, so a
// stalled or failing pipe is not hammered; purge(TRUE), restart(TRUE) and
// reset() send the reads again once the operation is over.
//
// close: the driver's own steps (on_close: the serial driver unregisters its
// notification callback), purge IN and OUT, wait until every read and write
// has completed, cdc_transport_disable, cdc_data_io_uninit,
// InterfaceDereference.
//
// A driver that follows its device (the serial driver) also installs the
// control callbacks when it opens and removes them when it closes; with a
// control device they keep it open across the USB device leaving and
// coming back (see the callbacks below). Without one they are never called.
// A returning device is taken up on the client's own thread, as the
// callbacks run inside the device's power transitions.
//
// Completion and notification routines run on other threads at
// DISPATCH_LEVEL; they only record and resend, never wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cdc_bus_interface.h"
#include "sim/host.h"

// What the bus answers while no USB device serves the child (a success
// code: callers compare with it).
#ifndef STATUS_CTRL_USB_DEVICE_ABSENT
#define STATUS_CTRL_USB_DEVICE_ABSENT ((NTSTATUS)0x20000004L)
#endif

namespace function_drivers {

struct completion {
    std::string op;  // "read", "write", "class"
    NTSTATUS status;
    ULONG bytes;
};

// What a function driver saw, for the command-line program's summary.
struct driver_report {
    std::string name;
    bool opened = false;  // an open has succeeded
    bool open = false;    // open now
    std::vector<uint8_t> read;
    std::vector<completion> completions;
    std::vector<std::vector<uint8_t>> notifications;
};

// Thirteen reads and records: a transfer ends at the microframe its last
// packet moved in and one sent again from its completion starts in the next,
// so a read or write that takes one packet (a serial device sends short
// packets) moves one packet per microframe. A high-speed microframe carries
// 13 bulk packets: with fewer in flight the bus idles (12 reach 0.92 of it,
// 13 all of it; cdcbustime measures it).
struct client_options {
    ULONG reads = 13;           // reads kept pending
    ULONG read_size = 512;      // bytes per read: a multiple of the bulk packet sizes
    ULONG requests = 13;        // cdc_data_io_init(requests, requests): writes in flight
    LONGLONG data_timeout = 0;  // data transfers never time out
    LONGLONG control_timeout = WDF_REL_TIMEOUT_IN_SEC(5);
};

class cdc_client : public sim::function_driver {
 public:
    cdc_client(WDFDEVICE pdo, std::string name, const client_options& options = {});
    ~cdc_client() override;
    cdc_client(const cdc_client&) = delete;
    cdc_client& operator=(const cdc_client&) = delete;

    std::string name() const override { return name_; }
    NTSTATUS open() override;
    void close() override;
    bool is_open() const override;
    // Open and served by a USB device (false from stop-final to start-final).
    bool device_present() const;

    // Gets every byte a read brings, in order, at DISPATCH_LEVEL with the
    // client's lock held: it must only queue. An empty sink detaches.
    using read_sink = std::function<void(const uint8_t* data, size_t bytes)>;
    void set_read_sink(read_sink sink);

    WDFDEVICE pdo() const { return pdo_; }
    // The record the query returned (valid while open); Context is the child.
    const CDC_BUS_INTERFACE& bus() const { return bus_; }
    WDFDEVICE child() const { return static_cast<WDFDEVICE>(bus_.header.Context); }

    // One cdc_data_out_async of the whole buffer; false when it was refused
    // (closed, or no device: recorded as write-refused with
    // STATUS_CTRL_USB_DEVICE_ABSENT). At PASSIVE_LEVEL: a driver may wake
    // its device first (before_write).
    bool write(const std::vector<uint8_t>& bytes);
    bool write(const std::string& text) { return write(std::vector<uint8_t>(text.begin(), text.end())); }
    // A class request through class_control_sync: IN reads `length` bytes
    // into *data, OUT sends *data. This and the three below go to the bus
    // while the port is open, with or without a device serving it.
    NTSTATUS class_request(bool in, UCHAR request, USHORT value, USHORT length, std::vector<uint8_t>* data);
    NTSTATUS purge(bool in);
    // A failed restart of IN leaves the reads stopped (the pipe holds what is
    // sent to it) until a restart or purge of IN succeeds.
    NTSTATUS restart(bool in);
    NTSTATUS reset();
    // Returns once the device a start-final announced has been taken up (or
    // has failed to be).
    void wait_device_work();

    std::vector<uint8_t> read_bytes() const;
    std::string read_text() const;
    std::vector<completion> completions() const;
    std::vector<std::vector<uint8_t>> notifications() const;
    ULONG reads_pending() const;
    // Writes sent and not yet completed.
    ULONG writes_pending() const;
    driver_report report() const;

 protected:
    // The driver's own open steps, after the data path is enabled; a failure
    // must leave nothing of its own behind.
    virtual NTSTATUS on_open() { return STATUS_SUCCESS; }
    virtual void on_close() {}
    // At DISPATCH_LEVEL, after the packet is recorded.
    virtual void on_notification(const uint8_t* data, ULONG bytes) {
        (void)data;
        (void)bytes;
    }

    // A driver that keeps its port open while the USB device is away.
    virtual bool follows_device() const { return false; }
    // Stop-final, after reads stopped and before the data path is torn down.
    virtual void on_device_leaving() {}
    // Start-final, after the data path is enabled again and before reads go.
    // On the client's own thread, not in the bus's power callback.
    virtual NTSTATUS on_device_back() { return STATUS_SUCCESS; }
    // Before each write is sent, at PASSIVE_LEVEL.
    virtual void before_write() {}

    // The notification callback for cdc_set_notify_cb, with this as context.
    static VOID notify_routine(PVOID context, PVOID buffer, ULONG bytes);
    void record(const std::string& op, NTSTATUS status, ULONG bytes);
    const client_options& options() const { return options_; }

 private:
    struct read_slot {
        cdc_client* owner;
        std::vector<uint8_t> buffer;
        bool busy = false;  // guarded by owner->lock_
    };
    struct write_op {
        cdc_client* owner;
        std::vector<uint8_t> data;
    };

    // The control callbacks, with this as context; 0 is success (is-open:
    // 0 is closed).
    static LONG start_final_cb(PVOID context);
    static LONG stop_final_cb(PVOID context);
    static LONG is_open_cb(PVOID context);
    static LONG stop_cb(PVOID context);
    static LONG start_cb(PVOID context);
    NTSTATUS device_back();
    void device_leaving();
    // The thread that takes a returning device up, outside its power
    // callbacks.
    void start_device_work();
    void stop_device_work();
    void device_work();
    void stop_reads();

    static VOID read_complete(PVOID context, NTSTATUS status, ULONG bytes);
    static VOID write_complete(PVOID context, NTSTATUS status, ULONG bytes);
    // Sends reads until `reads` are pending; false when one was refused.
    bool arm_reads();
    bool submit_read(read_slot* slot);
    // Stops reads from being sent again and waits for those being sent.
    void pause_reads();
    void wait_idle(bool reads, bool writes);
    // Refuses new writes and waits for those being sent.
    void close_writes();
    void unwind_interface();

    const WDFDEVICE pdo_;
    const std::string name_;
    const client_options options_;
    CDC_BUS_INTERFACE bus_{};
    std::atomic<bool> open_{false};
    bool ever_opened_ = false;
    bool callbacks_installed_ = false;
    std::vector<std::unique_ptr<read_slot>> slots_;
    std::thread worker_;  // open and close only
    // Held while the data path is taken up or down for a device.
    std::mutex follow_lock_;

    mutable std::mutex lock_;
    std::condition_variable idle_;
    bool paused_ = true;              // guarded by lock_
    unsigned submitting_ = 0;         // guarded by lock_
    unsigned writes_pending_ = 0;     // guarded by lock_
    unsigned writes_submitting_ = 0;  // guarded by lock_
    bool accepting_writes_ = false;   // guarded by lock_
    bool present_ = false;            // guarded by lock_
    std::condition_variable work_wake_;
    bool back_queued_ = false;                         // guarded by lock_
    bool back_running_ = false;                        // guarded by lock_
    bool work_stop_ = true;                            // guarded by lock_
    read_sink sink_;                                   // guarded by lock_
    std::vector<uint8_t> read_log_;                    // guarded by lock_
    std::vector<completion> completions_;              // guarded by lock_
    std::vector<std::vector<uint8_t>> notifications_;  // guarded by lock_
};

// A client for any child: the common part only. Tests reach every slot
// through bus().
class generic_client : public cdc_client {
 public:
    explicit generic_client(WDFDEVICE pdo, const client_options& options = {}) : cdc_client(pdo, "generic", options) {}
};

}  // namespace function_drivers
