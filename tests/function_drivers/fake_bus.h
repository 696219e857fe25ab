// A stand-in for the CDC bus driver's side of the bus interface: every slot a
// client uses records the call; data transfers stay pending until the test
// completes them (at DISPATCH_LEVEL, as completion routines run), and a purge
// completes what it purges with STATUS_CANCELLED. The interface is registered
// on the test bus's PDOs with a version check as the bus driver's.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cdc_bus_interface.h"
#include "cdc_client.h"
#include "tests/wdf/test_bus_driver.h"

namespace fake_bus {

struct pending_transfer {
    PVOID buffer;
    ULONG length;
    PFN_CDC_DATA_COMPLETE complete;
    PVOID context;
};

struct state {
    std::mutex lock;
    std::vector<std::string> calls;  // guarded by lock
    std::deque<pending_transfer> reads;
    std::deque<pending_transfer> writes;
    std::vector<std::vector<uint8_t>> written;
    std::vector<std::vector<uint8_t>> class_data;  // OUT data of each class request
    PFN_CDC_NOTIFY_CB notify = nullptr;
    PVOID notify_context = nullptr;
    // The control callbacks the client installed (cleared by uninit).
    PFN_CDC_CTRL_CB start_final = nullptr, stop_final = nullptr, is_open = nullptr, stop = nullptr, start = nullptr;
    PVOID ctrl_context = nullptr;
    ULONG check_open = 0;
    std::string version_seen;
    std::string expected_version = CDC_BUS_DRIVER_VERSION;
    int references = 0;
    std::thread::id init_thread;  // of the last data_io_init
    // What the slots answer.
    NTSTATUS init_status = STATUS_SUCCESS;
    NTSTATUS enable_status = STATUS_SUCCESS;
    NTSTATUS class_status = STATUS_SUCCESS;
    BOOLEAN notify_result = TRUE;
    BOOLEAN read_result = TRUE;
    BOOLEAN write_result = TRUE;
    NTSTATUS restart_status = STATUS_SUCCESS;
    bool idle = false;    // qd_is_idle; the wake-up clears it
    bool absent = false;  // no device serves the child: class and maintenance calls answer as the routing does
};

state& fake();
void reset();
// Registers the interface on a PDO (the test bus's on_pdo_created hook).
void register_on(WDFDEVICE pdo);

// Completes the oldest pending read or write with the given data or byte
// count, on the calling thread at DISPATCH_LEVEL; false when none is pending.
bool complete_read(const std::string& data, NTSTATUS status = STATUS_SUCCESS);
bool complete_write(NTSTATUS status = STATUS_SUCCESS);
void notify(const std::vector<uint8_t>& packet);
// Calls an installed control callback ("start-final", "stop-final",
// "is-open", "stop", "start") as the bus driver's power path would, at
// PASSIVE_LEVEL; -1 when none is installed.
LONG control(const std::string& which);
std::vector<std::string> calls();
size_t reads_pending();

// Two reads and four records, fewer than the clients' defaults: the call
// sequences the tests expect list each read.
inline function_drivers::client_options few_requests() {
    function_drivers::client_options options;
    options.reads = 2;
    options.requests = 4;
    return options;
}

}  // namespace fake_bus
