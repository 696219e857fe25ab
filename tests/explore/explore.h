// The explorer's scenarios: people and child drivers acting on the driver at
// once, each on a thread the controlled scheduler owns. A scenario fails by
// what the platform detects (bug check, verifier finding, leak at unload, a
// deadlock or livelock) or by its own checks (a completion lost or doubled,
// a status that must not be).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cdc/bus/kernel/winnt/cdc_bus_interface.h"
#include "devices/catalogue.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "sim/sched.h"
#include "usb/usb_device.h"

namespace explore {

struct scenario {
    const char* name;
    const char* summary;
    uint64_t expected_steps;  // a typical run's length, for PCT's change points
    void (*run)();
};

const std::vector<scenario>& scenarios();
const scenario* find(const std::string& name);
// The driver's DebugLevel in the scenarios' hosts (1 unless replaying).
void set_debug_level(int level);

// A scenario's own check: prints "*** SCENARIO: <what>" and ends the run.
void expect(bool ok, const std::string& what);

// Virtual time: 100 ns units.
constexpr int64_t kMillisecond = 10000;
constexpr int64_t kSecond = 1000 * kMillisecond;

// Waits until every other thread is blocked or done (the virtual clock moves
// only then), as a person looking at an idle system.
void quiesce();

// A thread of the scenario (a child driver, a person, the device), joined in
// order of creation when the actors go out of scope.
class actors {
 public:
    void start(const char* name, std::function<void()> body);
    void join_all();
    ~actors() { join_all(); }

 private:
    std::vector<std::thread*> threads_;
};

// One transfer a child started: its callback must come exactly once.
struct transfer {
    std::atomic<int> calls{0};
    NTSTATUS status = STATUS_PENDING;
    ULONG bytes = 0;
    uint8_t buffer[128] = {};
    static VOID done(PVOID ctx, NTSTATUS status, ULONG bytes);
};

// The transfers a child started, and the wait for their completions.
class ledger {
 public:
    transfer* next();                              // a fresh record (kept until the ledger goes)
    void forget_last();                            // the call refused it: no completion comes
    bool all_done(int64_t within = 30 * kSecond);  // false: a completion was lost
    size_t started() const { return items_.size(); }
    const std::deque<transfer>& items() const { return items_; }

 private:
    std::deque<transfer> items_;
};

// The host, the driver and one plugged device; the children's bus interfaces.
class world {
 public:
    // start_control false: the control device is added, its start left to
    // the scenario.
    explicit world(bool control_device = false, bool start_control = true);
    ~world();
    // The registry value for the device at the default location.
    void device_value(const sim::usb::descriptor_set& set, const std::string& name, uint32_t value);
    // Plugs the device: `count` children (of the control device in its
    // mode) are expected, as `what` says.
    std::vector<WDFDEVICE> plug(const sim::usb::descriptor_set& set, size_t count, const char* what);
    // The device's one child.
    WDFDEVICE plug_one(const sim::usb::descriptor_set& set);
    // An ECM adapter with ExtraControlEnabled: two children on one function.
    std::vector<WDFDEVICE> plug_ecm_pair();
    CDC_BUS_INTERFACE& bus(WDFDEVICE child);
    void release_interfaces();

    std::unique_ptr<sim::host> host;
    std::shared_ptr<sim::usb::device> device;
    sim::device_stack* stack = nullptr;
    sim::device_stack* control = nullptr;  // the root device in control-device mode

 private:
    std::deque<CDC_BUS_INTERFACE> interfaces_;
};

std::string location();

// The bus interface, as a child's function driver queries it.
void query_bus(WDFDEVICE child, CDC_BUS_INTERFACE* bus);
// A function driver opening its data path: pools, then the transport; a
// transport refused gives the pools back.
NTSTATUS open_data_path(CDC_BUS_INTERFACE& bus, WDFDEVICE child, ULONG in, ULONG out);
// The same where the scenario's set-up needs it to succeed.
void expect_pools(CDC_BUS_INTERFACE& bus, WDFDEVICE child, ULONG in, ULONG out, const char* who);
void expect_open(CDC_BUS_INTERFACE& bus, WDFDEVICE child, ULONG in, ULONG out);

}  // namespace explore
