// A simulated USB device on the host's bus: its descriptors plus the state and
// behaviour the host side talks to (configuration, alternate settings,
// control requests, bulk and interrupt endpoint queues, recorded traffic,
// injected faults).
//
// Behaviour, as a real device has it:
// - Standard requests are answered from the descriptors: GET_DESCRIPTOR
//   (device, configuration, string, anything in other_descriptors),
//   SET_CONFIGURATION / GET_CONFIGURATION, SET_INTERFACE / GET_INTERFACE,
//   GET_STATUS, CLEAR_FEATURE and SET_FEATURE (ENDPOINT_HALT, remote wakeup).
//   A request the device cannot honour stalls (USBD_STATUS_STALL_PID).
// - Class and vendor requests go to handle_class_or_vendor(); the base device
//   stalls them. Function models derive from device and override it.
// - Bulk and interrupt endpoints: what the host writes to an OUT endpoint goes
//   to on_out(), which by default queues it for take_out(); an IN transfer
//   completes with the oldest packet pushed with push_in(), or stays pending
//   until one is pushed. push_in(ep, {}) is a zero-length packet. A packet
//   longer than the host's buffer fills the buffer and its remainder stays at
//   the head of the queue for the next IN transfer.
// - A transfer to an endpoint that is not part of the current configuration
//   and alternate settings fails with USBD_STATUS_INVALID_PIPE_HANDLE.
// - Unplugged (set_connected(false)): every pending transfer completes with
//   USBD_STATUS_DEVICE_GONE and every new one fails with it. Plugging it back
//   in returns it to the unconfigured state with empty queues.
// - A halted endpoint fails every transfer with USBD_STATUS_STALL_PID until
//   CLEAR_FEATURE(ENDPOINT_HALT) (the host's pipe reset) clears it. An
//   injected failure with a halting status (USBD_HALTED) halts the endpoint.
//
// Threading: every public member is thread-safe. Transfers are completed by
// calling their `complete` function exactly once, on whichever thread
// completed them (the submitting thread, a test thread pushing data, a
// cancelling thread), never with the device's lock held. The overridable
// handlers are called without the lock held too, so a model may call
// push_in() and the other controls from them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "usb.h"
#include "usb/usb_composite.h"
#include "usb/usb_descriptors.h"

namespace sim::usb {

// The eight bytes of a control transfer's setup stage.
struct setup_packet {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    static setup_packet from_bytes(const uint8_t bytes[8]);
    void to_bytes(uint8_t bytes[8]) const;

    bool device_to_host() const { return (bmRequestType & 0x80) != 0; }
    uint8_t type() const { return (bmRequestType >> 5) & 0x03; }  // BMREQUEST_STANDARD / CLASS / VENDOR
    uint8_t recipient() const { return bmRequestType & 0x1f; }    // BMREQUEST_TO_DEVICE / INTERFACE / ENDPOINT
};

// Setup packets a test matches when it injects control-request faults.
using control_predicate = std::function<bool(const setup_packet&)>;
namespace match {
bool any(const setup_packet& setup);
bool set_configuration(const setup_packet& setup);
bool set_interface(const setup_packet& setup);
bool clear_feature(const setup_packet& setup);
bool class_or_vendor(const setup_packet& setup);
// GET_DESCRIPTOR of one descriptor type (USB_STRING_DESCRIPTOR_TYPE, ...).
control_predicate get_descriptor(uint8_t descriptor_type);
// GET_DESCRIPTOR of one string index (in any language).
control_predicate get_string(uint8_t index);
// Exactly this bmRequestType and bRequest.
control_predicate request(uint8_t bm_request_type, uint8_t b_request);
}  // namespace match

// The NTSTATUS a USBD status becomes when the bus driver completes the
// request with it: success, STATUS_CANCELLED, STATUS_NO_SUCH_DEVICE (device
// gone), STATUS_IO_TIMEOUT, STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES,
// STATUS_BUFFER_TOO_SMALL, STATUS_NOT_SUPPORTED, STATUS_DEVICE_DATA_ERROR
// (transmission errors), STATUS_UNSUCCESSFUL for a stall and anything else.
NTSTATUS ntstatus_from_usbd(int32_t usbd_status);

// One transfer between host and device. The host owns the record (the
// framework preallocates one per request); the device holds it while it is
// pending and completes it by calling `complete`.
struct transfer {
    // Set by the host before submit().
    uint8_t endpoint = 0;       // endpoint address; 0 = the default control pipe
    uint8_t setup[8] = {};      // control transfers
    uint8_t* buffer = nullptr;  // OUT: what the host sends; IN: where the data goes
    size_t length = 0;
    // The descriptors a function sees (a composite function sees its own part
    // of the configuration); nullptr: the device's own.
    const descriptor_set* view = nullptr;
    uint64_t sequence = 0;  // cancel() matches it, so a cancel cannot hit a later use of the record
    void (*complete)(transfer* t, void* context) = nullptr;
    void* context = nullptr;

    // Set by the device when it completes the transfer.
    size_t actual = 0;
    int32_t usbd_status = USBD_STATUS_PENDING;

    transfer* next = nullptr;  // the device's, while pending
};

// One event on the bus as the device saw it.
struct transfer_record {
    enum class kind { control, bulk_or_interrupt, port_reset, port_cycle } type = kind::control;
    uint8_t setup[8] = {};      // control transfers
    uint8_t endpoint = 0;       // 0 for control
    std::vector<uint8_t> data;  // data stage / payload (OUT: what the host sent; IN: what the device returned)
    int32_t usbd_status = 0;

    setup_packet packet() const { return setup_packet::from_bytes(setup); }
};

// What a class or vendor request handler answers.
struct control_reply {
    int32_t usbd_status = USBD_STATUS_SUCCESS;
    size_t length = 0;  // IN: bytes written to the data buffer
};

class device {
 public:
    explicit device(descriptor_set descriptors);
    virtual ~device();
    device(const device&) = delete;
    device& operator=(const device&) = delete;

    const descriptor_set& descriptors() const { return descriptors_; }

    // ---- State ---------------------------------------------------------------
    bool connected() const;
    // Unplug (false) or plug back in (true); see the header comment.
    void set_connected(bool connected);
    uint8_t configuration() const;  // bConfigurationValue in force, 0 = unconfigured
    uint8_t alternate_setting(uint8_t interface_number) const;
    bool remote_wakeup_enabled() const;
    bool halted(uint8_t endpoint) const;
    // Halting completes the endpoint's pending transfers with a stall.
    void set_halted(uint8_t endpoint, bool halted);
    uint32_t port_resets() const;
    uint32_t port_cycles() const;

    // ---- Host side -------------------------------------------------------------
    // Starts a transfer; it may complete before submit returns.
    void submit(transfer* t);
    // Completes a pending transfer with `usbd_status` (on this thread, before
    // returning true); false when it is not pending here (any more) or the
    // sequence differs.
    bool cancel(transfer* t, uint64_t sequence, int32_t usbd_status = USBD_STATUS_CANCELED);
    // Completes every pending transfer of the endpoint with USBD_STATUS_CANCELED.
    size_t abort_endpoint(uint8_t endpoint);
    // The hub resets the port: the device returns to the unconfigured state
    // (the host restores the configuration afterwards). Cycling also does so;
    // `on_port_cycle` (if set) lets the PnP side re-enumerate the device.
    void reset_port();
    void cycle_port();
    std::function<void()> on_port_cycle;

    // ---- Device / test side ----------------------------------------------------
    // One IN packet or transfer's worth of data: completes the oldest pending
    // IN transfer of the endpoint or waits for one.
    void push_in(uint8_t endpoint, std::vector<uint8_t> bytes);
    // The oldest transfer the host wrote to an OUT endpoint, if any.
    std::optional<std::vector<uint8_t>> take_out(uint8_t endpoint);
    std::vector<std::vector<uint8_t>> take_all_out(uint8_t endpoint);
    size_t queued_in(uint8_t endpoint) const;   // pushed, not yet read
    size_t queued_out(uint8_t endpoint) const;  // written, not yet taken
    size_t pending(uint8_t endpoint) const;     // host transfers waiting at the endpoint (0: control)

    // ---- Fault injection ------------------------------------------------------
    // The next `count` control requests matching the predicate fail with the
    // status (a stall by default) without reaching the device's logic.
    void fail_next_control(control_predicate predicate, int32_t usbd_status = USBD_STATUS_STALL_PID,
                           unsigned count = 1);
    // The next `count` matching control requests stay pending until cancelled
    // (or the device is unplugged).
    void hold_next_control(control_predicate predicate, unsigned count = 1);
    // The next `count` transfers on the endpoint fail with the status.
    void fail_next_transfer(uint8_t endpoint, int32_t usbd_status, unsigned count = 1);
    // While held, OUT transfers on the endpoint stay pending; releasing
    // delivers them in order (a late completion).
    void hold_out(uint8_t endpoint, bool hold);
    void clear_faults();

    // ---- Traffic --------------------------------------------------------------
    // Everything the host sent or received, in order (completed transfers).
    std::vector<transfer_record> traffic() const;
    // Control transfers only / those matching a predicate.
    std::vector<transfer_record> control_traffic(const control_predicate& predicate = match::any) const;
    void clear_traffic();
    // Recording copies every payload; a benchmark turns it off.
    void set_recording(bool on);

 protected:
    // Class and vendor requests (and standard ones addressed to an interface
    // or endpoint the device does not handle). `data` holds setup.wLength
    // bytes: what the host sent (OUT) or room for the answer (IN).
    virtual control_reply handle_class_or_vendor(const setup_packet& setup, uint8_t* data);
    // The host wrote to an OUT endpoint. The default queues the bytes for
    // take_out(); a model may answer with push_in(). Returns the USBD status
    // the transfer completes with.
    virtual int32_t on_out(uint8_t endpoint, const uint8_t* data, size_t length);
    // After SET_CONFIGURATION / SET_INTERFACE took effect.
    virtual void on_configuration(uint8_t configuration_value);
    virtual void on_interface(uint8_t interface_number, uint8_t alternate_setting);

    descriptor_set descriptors_;

 private:
    struct endpoint_state {
        bool active = false;  // part of the configuration and settings in force
        bool halted = false;
        bool hold = false;
        bool out_busy = false;             // a thread is handing OUT transfers to on_out()
        transfer* pending_head = nullptr;  // host transfers, oldest first
        transfer* pending_tail = nullptr;
        std::deque<std::vector<uint8_t>> in_data;
        std::deque<std::vector<uint8_t>> out_data;
        unsigned fail_count = 0;
        int32_t fail_status = 0;
    };
    struct control_fault {
        control_predicate predicate;
        int32_t usbd_status;
        unsigned remaining;
        bool hold;
    };
    // Transfers completed under the lock, finished after it is released.
    struct completion_list {
        transfer* head = nullptr;
        transfer* tail = nullptr;
        void add(transfer* t, int32_t status, size_t actual);
        void run();
    };

    static size_t slot(uint8_t endpoint) { return (endpoint & 0x0f) | ((endpoint & 0x80) ? 16 : 0); }
    endpoint_state& ep(uint8_t endpoint) { return endpoints_[slot(endpoint)]; }
    const endpoint_state& ep(uint8_t endpoint) const { return endpoints_[slot(endpoint)]; }

    void submit_control(transfer* t);
    void submit_endpoint(transfer* t);
    // Standard requests, under the lock. False: not a standard request the
    // device itself handles.
    bool standard_request(const setup_packet& setup, transfer* t, control_reply* reply, bool* configured,
                          bool* interface_set);
    void activate_endpoints();  // under the lock
    void unconfigure();         // under the lock
    void deliver_in(endpoint_state& state, completion_list& done);
    void deliver_out(endpoint_state& state, std::unique_lock<std::mutex>& guard, completion_list& done);
    void drain(endpoint_state& state, int32_t status, completion_list& done);
    static void unlink(endpoint_state& state, transfer* t);
    static void append(endpoint_state& state, transfer* t);
    void record(transfer_record::kind kind, const transfer* t, const uint8_t* data, size_t length, int32_t status);

    mutable std::mutex lock_;
    bool connected_ = true;                      // guarded by lock_
    uint8_t configuration_ = 0;                  // guarded by lock_
    uint8_t alternate_[256] = {};                // guarded by lock_
    bool remote_wakeup_ = false;                 // guarded by lock_
    endpoint_state endpoints_[32];               // guarded by lock_; [0] and [16]: control
    std::vector<control_fault> control_faults_;  // guarded by lock_
    uint32_t port_resets_ = 0;                   // guarded by lock_
    uint32_t port_cycles_ = 0;                   // guarded by lock_
    bool recording_ = true;                      // guarded by lock_
    std::vector<transfer_record> traffic_;       // guarded by lock_
};

// What the PnP manager attaches to the PDO of one USB function: the device it
// belongs to and the function's own view of it.
struct function_binding {
    std::shared_ptr<device> dev;
    usb_function function;
};

}  // namespace sim::usb
