// A small bus driver linked into the test program, and the fixture that runs
// it in a simulated host. Its function device has every PnP callback and a
// default child list; what the list's callbacks do is set by the running
// test. Its PDOs have predictable identifiers and every PnP callback too, so
// the host's event log shows each step.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/host.h"
#include "sim/kernel.h"
#include "wdf.h"

namespace test_bus {

struct child_description {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header;
    ULONG serial;   // the child's identity
    ULONG flavour;  // a detail the serial-only compare callback ignores
};

struct child_address {
    WDF_CHILD_ADDRESS_DESCRIPTION_HEADER header;
    ULONG port;
};

struct child_context {
    ULONG serial;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(child_context, get_child_context)

child_description make_description(ULONG serial, ULONG flavour = 0);
child_address make_address(ULONG port);

using create_routine = std::function<NTSTATUS(WDFCHILDLIST, child_description*, PWDFDEVICE_INIT)>;

// What the driver does; a test sets it before the bus starts.
struct behaviour {
    bool compare_serial_only = false;  // a compare callback that looks at the serial only
    bool copy_callbacks = false;       // copy and cleanup callbacks, counted
    bool address_descriptions = false;
    bool default_list = true;
    bool scan_callback = false;
    std::vector<ULONG> scan_reports;     // what the scan callback reports, in one scan
    std::vector<ULONG> prepare_reports;  // what prepare hardware reports, outside a scan
    NTSTATUS prepare_status = STATUS_SUCCESS;
    NTSTATUS d0_entry_status = STATUS_SUCCESS;
    NTSTATUS pdo_prepare_status = STATUS_SUCCESS;
    NTSTATUS query_stop_status = STATUS_SUCCESS;  // the bus's EvtDeviceQueryStop
    ULONG refuse_stop_serial = 0;                 // the PDO whose EvtDeviceQueryStop fails (0: none)
    NTSTATUS eject_status = STATUS_SUCCESS;
    create_routine create;  // empty: standard_pdo
    std::function<void(PWDFDEVICE_INIT)> on_device_add;
    std::function<void(WDFDEVICE)> on_prepare_hardware;
    std::function<void(WDFDEVICE)> on_surprise_removal;
    std::function<void(WDFDEVICE)> on_pdo_created;  // standard_pdo: after the PDO exists (register interfaces)
    // Inside D0 entry and exit and self-managed I/O suspend and restart, of the bus and its PDOs.
    std::function<void(WDFDEVICE, const char*)> on_power;
};

struct counters {
    unsigned create_calls = 0;
    unsigned copies = 0;
    unsigned cleanups = 0;
    unsigned unloads = 0;
};

behaviour& config();
counters& counts();
void reset();

NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

// The usual PDO: device ID "testbus\CHILD_<serial>", instance ID the serial
// in four hex digits, a hardware and a compatible ID, an en-US text, Address
// = serial and UINumber = serial + 100, and a CHILD_CONTEXT record.
NTSTATUS standard_pdo(PWDFDEVICE_INIT init, const child_description& description, WDFDEVICE* pdo);

// A counted string over a test's text (the text must outlive it).
UNICODE_STRING counted(const std::u16string& text);

class bus_test : public testing::Test {
 protected:
    sim::host host;
    sim::device_stack* bus = nullptr;

    void SetUp() override { reset(); }

    // Loads the driver and adds and starts a root-enumerated bus device.
    void start_bus();
    WDFCHILDLIST list() const { return bus->child_list(); }

    NTSTATUS report(ULONG serial, ULONG flavour = 0);
    NTSTATUS report_missing(ULONG serial, ULONG flavour = 0);
    // The serials of the PDOs the bus (or another stack) has, oldest first.
    std::vector<ULONG> serials() const { return serials_of(*bus); }
    std::vector<ULONG> serials_of(const sim::device_stack& stack) const;
    WDFDEVICE pdo_of(ULONG serial) const;
    // The PnP steps of every device whose instance path starts with the prefix.
    std::vector<std::string> log_of(const std::string& instance_prefix) const;
};

// Death tests re-run the program in a child, so no platform thread is
// around for the fork.
class bus_death_test : public bus_test {
 protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        bus_test::SetUp();
    }
};

}  // namespace test_bus
