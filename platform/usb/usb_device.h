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
// - Bulk and interrupt endpoints move packets of the endpoint's wMaxPacketSize
//   (from the configuration and settings in force). What the host writes to
//   an OUT endpoint goes to on_out(), which by default queues it for
//   take_out(); a zero-length OUT transfer is a zero-length packet.
//   push_in(ep, bytes) is one IN transfer as the device sends it: full
//   packets and a short last one; bytes that are a multiple of the packet
//   size end without a zero-length packet unless the model pushes one
//   (push_in(ep, {})). A host IN transfer takes packets until its buffer is
//   full, a short packet arrives or a zero-length packet arrives; until then
//   it stays pending with what it has. A packet longer than the room left in
//   the buffer (a buffer that is not a multiple of the packet size) is
//   babble: the transfer fails with USBD_STATUS_BABBLE_DETECTED, the endpoint
//   halts and the packet stays queued. Packets are never split.
// - A transfer to an endpoint that is not part of the current configuration
//   and alternate settings fails with USBD_STATUS_INVALID_PIPE_HANDLE.
// - Unplugged (set_connected(false)): every pending transfer completes with
//   USBD_STATUS_DEVICE_GONE and every new one fails with it. Plugging it back
//   in returns it to the unconfigured state with empty queues, no address and
//   remote wakeup off, and tells its logic (on_configuration(0)); injected
//   faults stay queued.
// - Halts, as the host controller sees them: a device that stalls (a halted
//   endpoint, or an injected stall) completes the transfer with
//   USBD_STATUS_STALL_PID; from then on the host's endpoint is halted, and the
//   transfers queued behind it and every later one complete with
//   USBD_STATUS_ENDPOINT_HALTED, until CLEAR_FEATURE(ENDPOINT_HALT) (the host's
//   pipe reset) clears both sides. A transmission error (a USBD status
//   0xC00000xx, babble included) halts the host's endpoint the same way.
// - Faults (inject()) apply to the next transfers submitted to an endpoint,
//   one fault each, in the order injected.
// - Timed (set_timed(true), what a timed_bus does to the devices it holds,
//   usb_timed_bus.h): bulk and interrupt endpoints move packets only when
//   the bus runs a frame and gives them slots, one packet a slot, a
//   zero-length or short one included; what is queued meanwhile waits.
//   Faults, halts and cancels act at once as before; control transfers are
//   not timed. Off by default: data moves as soon as both sides are ready.
// - Recording: traffic() holds the completed transfers the host's drivers
//   made; events() every submission and completion on the wire in order, the
//   hub's enumeration at plug included, with platform-clock times, which is
//   what a capture file is written from (usb_pcap.h). Nothing is recorded,
//   and nothing allocated for it, while recording is off.
//
// Threading: every public member is thread-safe. Transfers are completed by
// calling their `complete` function exactly once, on whichever thread
// completed them (the submitting thread, a test thread pushing data, a
// cancelling thread), never with the device's lock held. The overridable
// handlers are called without the lock held too, so a model may call
// push_in() and the other controls from them.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
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

    // The device's, while pending.
    transfer* next = nullptr;
    uint64_t wire_id = 0;      // pairs the submission with the completion in events()
    int64_t submitted_at = 0;  // platform clock, 100 ns
    uint8_t held = 0;          // an injected hang or late completion keeps it pending
    size_t limit = SIZE_MAX;   // an injected short packet: the most it moves
};

// One completed transfer (or port event) as the device saw it.
struct transfer_record {
    enum class kind { control, bulk_or_interrupt, port_reset, port_cycle } type = kind::control;
    uint8_t setup[8] = {};      // control transfers
    uint8_t endpoint = 0;       // 0 for control
    std::vector<uint8_t> data;  // data stage / payload (OUT: what the host sent; IN: what the device returned)
    int32_t usbd_status = 0;
    bool in = false;        // device to host (a control transfer: its data stage)
    size_t requested = 0;   // the host's buffer length (control: wLength)
    int64_t submitted = 0;  // platform clock, 100 ns
    int64_t completed = 0;

    setup_packet packet() const { return setup_packet::from_bytes(setup); }
};

// One submission or completion on the wire, in the order they happened.
struct wire_event {
    enum class kind : uint8_t { submit, complete } type = kind::submit;
    uint64_t id = 0;                                    // the same for a transfer's submission and completion
    uint8_t transfer_type = USB_ENDPOINT_TYPE_CONTROL;  // USB_ENDPOINT_TYPE_*
    uint8_t endpoint = 0;                               // with the direction bit (control: its data stage's)
    uint8_t address = 0;                                // the device's bus address at the time
    uint8_t interval = 0;                               // bInterval of an interrupt endpoint
    bool has_setup = false;                             // a control submission
    bool hub = false;                                   // the hub's enumeration at plug
    uint8_t setup[8] = {};
    size_t length = 0;                          // submission: requested; completion: moved
    int32_t usbd_status = USBD_STATUS_PENDING;  // completion
    int64_t time = 0;                           // platform clock, 100 ns
    std::vector<uint8_t> data;                  // OUT data on the submission, IN data on the completion

    bool in() const { return (endpoint & 0x80) != 0; }
};

// A fault for the next transfer on an endpoint.
struct fault {
    enum kind {
        stall,         // the device stalls it (USBD_STATUS_STALL_PID) and its endpoint halts
        error,         // it fails with usbd_status; a transmission error halts the endpoint
        hang,          // it stays pending until cancelled (the device NAKs), holding up those behind it
        late,          // like hang, but release() completes it as the device would have
        short_packet,  // IN: it ends after n bytes of what is queued; OUT: the device takes only n
        gone,          // the device is unplugged while it is pending
    };
    kind type = stall;
    int32_t usbd_status = USBD_STATUS_STALL_PID;  // error
    size_t n = 0;                                 // short_packet

    static fault make_stall() { return fault{stall, USBD_STATUS_STALL_PID, 0}; }
    static fault make_error(int32_t status) { return fault{error, status, 0}; }
    static fault make_hang() { return fault{hang, USBD_STATUS_PENDING, 0}; }
    static fault make_late() { return fault{late, USBD_STATUS_PENDING, 0}; }
    static fault make_short(size_t bytes) { return fault{short_packet, USBD_STATUS_SUCCESS, bytes}; }
    static fault make_gone() { return fault{gone, USBD_STATUS_DEVICE_GONE, 0}; }
};

// A transmission error the host controller reports (CRC, stall, babble, ...):
// the host's endpoint halts on it.
inline bool usbd_transmission_error(int32_t usbd_status) {
    return (static_cast<uint32_t>(usbd_status) & 0xffffff00u) == 0xc0000000u && usbd_status != 0;
}

// What a class or vendor request handler answers.
struct control_reply {
    int32_t usbd_status = USBD_STATUS_SUCCESS;
    size_t length = 0;  // IN: bytes written to the data buffer
};

class device {
 public:
    explicit device(descriptor_set descriptors);
    // A set made once for many devices (a model plugged again and again) is shared, not copied.
    explicit device(std::shared_ptr<const descriptor_set> descriptors);
    virtual ~device();
    device(const device&) = delete;
    device& operator=(const device&) = delete;

    const descriptor_set& descriptors() const { return descriptors_; }
    // The same set, for what shares it (a whole-device function's view).
    const std::shared_ptr<const descriptor_set>& shared_descriptors() const { return shared_; }

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
    uint8_t address() const;  // given by SET_ADDRESS; 0 until then

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
    // The hub's enumeration when the device is plugged in, before any driver
    // loads: GET_DESCRIPTOR(device, 64), SET_ADDRESS, GET_DESCRIPTOR(device),
    // GET_DESCRIPTOR(configuration 0) for 9 bytes then wTotalLength, and, when
    // `configure`, SET_CONFIGURATION of the first configuration. Recorded in
    // events() (marked hub), not in traffic(). Windows' hub leaves the
    // configuration to the function's driver, so the host does not configure.
    void hub_enumerate(uint8_t address, bool configure = false);

    // ---- Device / test side ----------------------------------------------------
    // One IN transfer as the device sends it (see the header comment);
    // {} is a zero-length packet. Completes pending IN transfers as far as
    // the packets go.
    void push_in(uint8_t endpoint, std::vector<uint8_t> bytes);
    // The oldest transfer the host wrote to an OUT endpoint, if any.
    std::optional<std::vector<uint8_t>> take_out(uint8_t endpoint);
    std::vector<std::vector<uint8_t>> take_all_out(uint8_t endpoint);
    size_t queued_in(uint8_t endpoint) const;  // packets pushed, not yet read
    // Drops the packets pushed and not yet read, as the device's own reset
    // empties its FIFO; returns how many there were.
    size_t discard_in(uint8_t endpoint);
    size_t queued_out(uint8_t endpoint) const;  // written, not yet taken
    size_t pending(uint8_t endpoint) const;     // host transfers waiting at the endpoint (0: control)

    // ---- Fault injection ------------------------------------------------------
    // A fault for the next transfer submitted to the endpoint (0: the next
    // control transfer). Faults queue: each applies to one transfer. `late`
    // applies to bulk and interrupt endpoints only (std::invalid_argument).
    void inject(uint8_t endpoint, fault f);
    // Completes the endpoint's transfers held by `late` faults, in order, as
    // the device would have; returns how many it released.
    size_t release(uint8_t endpoint);
    // Called, without the lock, after an injected `gone` unplugged the device,
    // so the host can start its surprise removal.
    std::function<void()> on_gone;
    // The next `count` control requests matching the predicate fail with the
    // status (a stall by default) without reaching the device's logic.
    void fail_next_control(control_predicate predicate, int32_t usbd_status = USBD_STATUS_STALL_PID,
                           unsigned count = 1);
    // The next `count` matching control requests stay pending until cancelled
    // (or the device is unplugged).
    void hold_next_control(control_predicate predicate, unsigned count = 1);
    // The next `count` transfers on the endpoint fail with the status (as
    // `count` error faults).
    void fail_next_transfer(uint8_t endpoint, int32_t usbd_status, unsigned count = 1);
    // While held, OUT transfers on the endpoint stay pending; releasing
    // delivers them in order (a late completion).
    void hold_out(uint8_t endpoint, bool hold);
    void clear_faults();

    // ---- Timed wire (driven by a timed_bus) ---------------------------------------
    // Off: what waited for the bus's frames moves at once.
    void set_timed(bool timed);
    bool timed() const;
    // One pass of the bus over the device in frame `frame` (numbered in the
    // device's own frame unit: microframes at high speed, frames otherwise):
    // at most one packet on each bulk endpoint (`periodic` false) or each
    // interrupt endpoint due in this frame (`periodic` true), while `*slots`
    // lasts; each packet moved takes one slot. Returns the packets moved and
    // adds their payload to *bytes. Transfers it ends wait for frame_end().
    unsigned frame_pass(uint64_t frame, bool periodic, unsigned* slots, uint64_t* bytes);
    // Completes the transfers the frame's passes ended, without the lock.
    void frame_end();

    // ---- Traffic --------------------------------------------------------------
    // Everything the host's drivers sent or received, in order of completion.
    std::vector<transfer_record> traffic() const;
    // Every submission and completion, the hub's enumeration included.
    std::vector<wire_event> events() const;
    // Control transfers only / those matching a predicate.
    std::vector<transfer_record> control_traffic(const control_predicate& predicate = match::any) const;
    void clear_traffic();  // and events()
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

    // Set at construction, never changed.
    const std::shared_ptr<const descriptor_set> shared_;
    const descriptor_set& descriptors_;

 private:
    struct endpoint_state {
        bool active = false;  // part of the configuration and settings in force
        uint8_t type = USB_ENDPOINT_TYPE_CONTROL;
        uint16_t max_packet = 64;
        uint8_t interval = 0;
        // Timed wire: packets per due frame and frames between due ones
        // (interrupt endpoints), slots granted for the current pass, and the
        // frame and count of the packets moved in it.
        uint8_t per_interval = 1;
        uint32_t period = 1;
        unsigned slots = 0;
        uint64_t served_frame = UINT64_MAX;
        unsigned served = 0;
        bool halted = false;       // the device stalls every token
        bool host_halted = false;  // the host controller's endpoint stopped after a stall or error
        bool hold = false;
        bool out_busy = false;             // a thread is handing OUT transfers to on_out()
        transfer* pending_head = nullptr;  // host transfers, oldest first
        transfer* pending_tail = nullptr;
        // IN transfers as pushed; in_offset: bytes of the front one already sent.
        // Lists: an empty one allocates nothing, and most of a device's 32
        // endpoints never queue anything (each plug makes a device).
        std::list<std::vector<uint8_t>> in_data;
        size_t in_offset = 0;
        std::list<std::vector<uint8_t>> out_data;
        std::list<fault> faults;
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
        bool gone = false;  // an injected `gone` unplugged the device: on_gone is due
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
    void drain(endpoint_state& state, int32_t status, completion_list& done);
    // The host's endpoint halts: `t` (if any) completes with `status`, the
    // transfers queued behind it with USBD_STATUS_ENDPOINT_HALTED.
    void halt_host(endpoint_state& state, transfer* t, int32_t status, completion_list& done);
    void disconnect(completion_list& done);  // under the lock
    // Runs the completions, then on_gone if due; without the lock.
    void complete_all(completion_list& done);
    // Runs an endpoint's queue as far as it can go: faults for the transfer
    // at its head, packets for IN transfers, on_out() for OUT ones.
    void process(endpoint_state& state, std::unique_lock<std::mutex>& guard, completion_list& done);
    bool apply_fault(endpoint_state& state, transfer* t, completion_list& done);
    bool deliver_in_one(endpoint_state& state, transfer* t, completion_list& done);
    // Timed wire, under the lock: takes one of the endpoint's slots for a
    // packet of `bytes` (always true while untimed); moves an OUT transfer's
    // packets as far as the slots go, true once its last one has moved.
    bool take_slot(endpoint_state& state, size_t bytes);
    bool move_out_packets(endpoint_state& state, transfer* t, size_t length);
    static void unlink(endpoint_state& state, transfer* t);
    static void append(endpoint_state& state, transfer* t);
    // Recording, under the lock. `finish` completes the transfer with its
    // record: the payload is t->buffer for `actual` bytes when `with_data`.
    void record_submit(const transfer* t);
    void finish(completion_list& done, transfer* t, int32_t status, size_t actual, bool with_data);
    void record_port(transfer_record::kind kind);

    mutable std::mutex lock_;
    bool connected_ = true;                      // guarded by lock_
    uint8_t configuration_ = 0;                  // guarded by lock_
    uint8_t alternate_[256] = {};                // guarded by lock_
    bool remote_wakeup_ = false;                 // guarded by lock_
    endpoint_state endpoints_[32];               // guarded by lock_; [0] and [16]: control
    std::vector<control_fault> control_faults_;  // guarded by lock_
    uint32_t port_resets_ = 0;                   // guarded by lock_
    uint32_t port_cycles_ = 0;                   // guarded by lock_
    uint8_t address_ = 0;                        // guarded by lock_
    bool enumerating_ = false;                   // guarded by lock_; the hub is talking
    bool recording_ = true;                      // guarded by lock_
    bool timed_ = false;                         // guarded by lock_
    uint64_t frame_bytes_ = 0;                   // guarded by lock_; payload moved in the current pass
    completion_list frame_done_;                 // guarded by lock_; ended in the frame, completed at its end
    std::vector<transfer_record> traffic_;       // guarded by lock_
    std::vector<wire_event> events_;             // guarded by lock_
};

// What the PnP manager attaches to the PDO of one USB function: the device it
// belongs to and the function's own view of it.
struct function_binding {
    std::shared_ptr<device> dev;
    usb_function function;
};

}  // namespace sim::usb
