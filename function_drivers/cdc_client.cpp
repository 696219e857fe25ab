#include "cdc_client.h"

#include <chrono>
#include <cstring>

#include "sim/kernel.h"

namespace function_drivers {
namespace {

// A purged transfer completes at once; one still pending after this long
// means the bus driver lost it.
constexpr auto drain_bound = std::chrono::seconds(30);

}  // namespace

cdc_client::cdc_client(WDFDEVICE pdo, std::string name, const client_options& options)
    : pdo_(pdo), name_(std::move(name)), options_(options) {
    for (ULONG i = 0; i < options_.reads; ++i) {
        auto slot = std::make_unique<read_slot>();
        slot->owner = this;
        slot->buffer.resize(options_.read_size);
        slots_.push_back(std::move(slot));
    }
}

cdc_client::~cdc_client() {
    if (open_) close();
    stop_device_work();
}

bool cdc_client::is_open() const { return open_; }

NTSTATUS cdc_client::open() {
    if (open_) return STATUS_SUCCESS;
    memset(&bus_, 0, sizeof(bus_));
    char version[] = CDC_BUS_DRIVER_VERSION;
    NTSTATUS status = sim::query_interface(pdo_, GUID_CDC_BUS_INTERFACE, &bus_.header, CDC_BUS_INTERFACE_SIZE,
                                           CDC_BUS_INTERFACE_VERSION, version);
    if (!NT_SUCCESS(status)) {
        memset(&bus_, 0, sizeof(bus_));
        return status;
    }
    status = bus_.cdc_data_io_init(child(), options_.requests, options_.requests);
    if (!NT_SUCCESS(status)) {
        unwind_interface();
        return status;
    }
    status = bus_.cdc_transport_enable(child());
    if (!NT_SUCCESS(status)) {
        bus_.cdc_data_io_uninit(child());
        unwind_interface();
        return status;
    }
    status = on_open();
    if (!NT_SUCCESS(status)) {
        bus_.cdc_transport_disable(child());
        bus_.cdc_data_io_uninit(child());
        unwind_interface();
        return status;
    }
    open_ = true;
    {
        std::lock_guard<std::mutex> guard(lock_);
        paused_ = false;
        present_ = true;
        accepting_writes_ = true;
    }
    if (!arm_reads()) {
        // Whatever reads did start are purged by the ordinary close.
        close();
        return STATUS_UNSUCCESSFUL;
    }
    if (follows_device()) {
        start_device_work();
        status = bus_.cdc_data_io_ctrl_cbs_init(child(), 1, start_final_cb, stop_final_cb, is_open_cb, stop_cb,
                                                start_cb, this);
        if (!NT_SUCCESS(status)) {
            close();
            return status;
        }
        callbacks_installed_ = true;
    }
    ever_opened_ = true;
    return STATUS_SUCCESS;
}

void cdc_client::unwind_interface() {
    if (bus_.header.InterfaceDereference != nullptr) {
        bus_.header.InterfaceDereference(bus_.header.Context);
    }
    memset(&bus_, 0, sizeof(bus_));
}

void cdc_client::close() {
    if (!open_) return;
    // First, so that no callback runs on a port being closed.
    if (callbacks_installed_) {
        bus_.cdc_data_io_ctrl_cbs_uninit(child());
        callbacks_installed_ = false;
    }
    // A device coming back meanwhile is not taken up any more.
    stop_device_work();
    close_writes();
    pause_reads();
    bool present;
    {
        std::lock_guard<std::mutex> guard(lock_);
        present = present_;
        present_ = false;
    }
    if (present) {
        on_close();
        bus_.cdc_inout_purge(child(), TRUE);
        bus_.cdc_inout_purge(child(), FALSE);
    }
    // Without a device the data path went down at stop-final already.
    wait_idle(true, true);
    if (present) {
        bus_.cdc_transport_disable(child());
        bus_.cdc_data_io_uninit(child());
    }
    unwind_interface();
    open_ = false;
}

bool cdc_client::device_present() const {
    std::lock_guard<std::mutex> guard(lock_);
    return open_ && present_;
}

void cdc_client::set_read_sink(read_sink sink) {
    std::lock_guard<std::mutex> guard(lock_);
    sink_ = std::move(sink);
}

void cdc_client::close_writes() {
    std::unique_lock<std::mutex> guard(lock_);
    accepting_writes_ = false;
    if (!idle_.wait_for(guard, drain_bound, [&] { return writes_submitting_ == 0; })) {
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "a write submission never returned", this,
                       "function driver");
    }
}

// ---- Control callbacks ------------------------------------------------------------
// Called by the bus driver at PASSIVE_LEVEL from the serving USB device's
// power transitions, only while installed (between open and close). They run
// inside the device's D0 entry or exit: nothing here may wait for the device
// to be in D0, and a control request does (the bus wakes the device before
// sending one), so taking the device up is left to this client's own thread.

LONG cdc_client::is_open_cb(PVOID context) { return static_cast<cdc_client*>(context)->open_ ? 1 : 0; }

// The device is leaving for good: the port stays open without it.
// A device taken up on the client's thread is taken down after it.
LONG cdc_client::stop_final_cb(PVOID context) {
    auto* self = static_cast<cdc_client*>(context);
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->back_queued_ = false;
    }
    self->idle_.notify_all();
    std::lock_guard<std::mutex> follow(self->follow_lock_);
    self->device_leaving();
    return 0;
}

// What taking the device up returns is recorded as "device-back"; the
// device's power-up goes on regardless.
LONG cdc_client::start_final_cb(PVOID context) {
    auto* self = static_cast<cdc_client*>(context);
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        if (!self->open_ || self->work_stop_) return 0;
        self->back_queued_ = true;
    }
    self->work_wake_.notify_all();
    return 0;
}

void cdc_client::start_device_work() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        work_stop_ = false;
        back_queued_ = false;
    }
    worker_ = std::thread([this] { device_work(); });
}

void cdc_client::stop_device_work() {
    if (!worker_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        work_stop_ = true;
        back_queued_ = false;
    }
    work_wake_.notify_all();
    worker_.join();
}

// The return is taken off the queue only with follow_lock_ held: a
// stop-final that clears the queue before it takes that lock then either
// drops the return or runs after it, never between the two.
void cdc_client::device_work() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        work_wake_.wait(guard, [&] { return work_stop_ || back_queued_; });
        if (work_stop_) return;
        guard.unlock();
        std::unique_lock<std::mutex> follow(follow_lock_);
        guard.lock();
        if (work_stop_) return;
        if (!back_queued_) continue;
        back_queued_ = false;
        back_running_ = true;
        guard.unlock();
        NTSTATUS status = device_back();
        follow.unlock();
        if (!NT_SUCCESS(status)) record("device-back", status, 0);
        guard.lock();
        back_running_ = false;
        idle_.notify_all();
    }
}

void cdc_client::wait_device_work() {
    std::unique_lock<std::mutex> guard(lock_);
    idle_.wait(guard, [&] { return !back_queued_ && !back_running_; });
}

// Idle or sleep: the reads would fail in the low-power state and not be sent
// again, so they are stopped before and sent again after.
LONG cdc_client::stop_cb(PVOID context) {
    static_cast<cdc_client*>(context)->stop_reads();
    return 0;
}

LONG cdc_client::start_cb(PVOID context) {
    auto* self = static_cast<cdc_client*>(context);
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        if (!self->open_ || !self->present_) return 0;
        self->paused_ = false;
    }
    self->arm_reads();
    return 0;
}

void cdc_client::stop_reads() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!open_ || !present_) return;
    }
    pause_reads();
    bus_.cdc_inout_purge(child(), TRUE);
    wait_idle(true, false);
}

void cdc_client::device_leaving() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!open_ || !present_) return;
        present_ = false;
    }
    close_writes();
    pause_reads();
    on_device_leaving();
    bus_.cdc_inout_purge(child(), TRUE);
    bus_.cdc_inout_purge(child(), FALSE);
    wait_idle(true, true);
    bus_.cdc_transport_disable(child());
    bus_.cdc_data_io_uninit(child());
}

NTSTATUS cdc_client::device_back() {
    bool stale;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!open_) return STATUS_SUCCESS;
        stale = present_;
    }
    // A start-final comes from a device that has just started. One removed
    // while in a low-power state passed no D0 exit, so no stop-final came:
    // what this client set up died with it, and it starts afresh.
    if (stale) device_leaving();
    NTSTATUS status = bus_.cdc_data_io_init(child(), options_.requests, options_.requests);
    if (!NT_SUCCESS(status)) return status;
    status = bus_.cdc_transport_enable(child());
    if (NT_SUCCESS(status)) status = on_device_back();
    if (!NT_SUCCESS(status)) {
        bus_.cdc_transport_disable(child());
        bus_.cdc_data_io_uninit(child());
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        present_ = true;
        accepting_writes_ = true;
        paused_ = false;
    }
    arm_reads();
    return STATUS_SUCCESS;
}

// ---- Reads -------------------------------------------------------------------------

void cdc_client::pause_reads() {
    std::unique_lock<std::mutex> guard(lock_);
    paused_ = true;
    if (!idle_.wait_for(guard, drain_bound, [&] { return submitting_ == 0; })) {
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "a read submission never returned", this, "function driver");
    }
}

void cdc_client::wait_idle(bool reads, bool writes) {
    std::unique_lock<std::mutex> guard(lock_);
    bool drained = idle_.wait_for(guard, drain_bound, [&] {
        bool reads_done = true;
        for (const auto& slot : slots_) reads_done = reads_done && !slot->busy;
        return (!reads || reads_done) && (!writes || writes_pending_ == 0);
    });
    if (!drained) {
        // The records are still the bus driver's: freeing them would be a
        // use after free on Windows too.
        sim::bug_check(DRIVER_VERIFIER_DETECTED_VIOLATION, "transfers still pending after a purge", this,
                       "function driver");
    }
}

bool cdc_client::arm_reads() {
    for (const auto& slot : slots_) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (paused_ || slot->busy) continue;
            slot->busy = true;
            submitting_++;
        }
        bool sent = submit_read(slot.get());
        std::lock_guard<std::mutex> guard(lock_);
        submitting_--;
        idle_.notify_all();
        if (!sent) return false;
    }
    return true;
}

// Called with the slot marked busy and submitting_ counted; the read may
// complete before this returns (inline completion).
bool cdc_client::submit_read(read_slot* slot) {
    BOOLEAN sent = bus_.cdc_data_in_async(child(), slot->buffer.data(), static_cast<ULONG>(slot->buffer.size()),
                                          read_complete, slot, options_.data_timeout);
    if (!sent) {
        std::lock_guard<std::mutex> guard(lock_);
        slot->busy = false;
        completions_.push_back({"read-refused", STATUS_UNSUCCESSFUL, 0});
    }
    return sent != FALSE;
}

VOID cdc_client::read_complete(PVOID context, NTSTATUS status, ULONG bytes) {
    auto* slot = static_cast<read_slot*>(context);
    cdc_client* self = slot->owner;
    bool again;
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        if (NT_SUCCESS(status)) {
            ULONG n = bytes <= slot->buffer.size() ? bytes : static_cast<ULONG>(slot->buffer.size());
            self->read_log_.insert(self->read_log_.end(), slot->buffer.begin(), slot->buffer.begin() + n);
            if (n > 0 && self->sink_) self->sink_(slot->buffer.data(), n);
        }
        self->completions_.push_back({"read", status, bytes});
        again = NT_SUCCESS(status) && !self->paused_;
        if (again) {
            self->submitting_++;
        } else {
            slot->busy = false;
        }
        self->idle_.notify_all();
    }
    if (again) {
        self->submit_read(slot);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->submitting_--;
        self->idle_.notify_all();
    }
}

// ---- Writes ------------------------------------------------------------------------

bool cdc_client::write(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!accepting_writes_) {
            if (open_ && !present_) completions_.push_back({"write-refused", STATUS_CTRL_USB_DEVICE_ABSENT, 0});
            return false;
        }
        writes_pending_++;
        writes_submitting_++;
    }
    before_write();
    auto* op = new write_op{this, bytes};
    BOOLEAN sent = bus_.cdc_data_out_async(child(), op->data.data(), static_cast<ULONG>(op->data.size()),
                                           write_complete, op, options_.data_timeout);
    std::lock_guard<std::mutex> guard(lock_);
    writes_submitting_--;
    if (!sent) {
        delete op;
        writes_pending_--;
        completions_.push_back({"write-refused", STATUS_UNSUCCESSFUL, 0});
    }
    idle_.notify_all();
    return sent != FALSE;
}

VOID cdc_client::write_complete(PVOID context, NTSTATUS status, ULONG bytes) {
    auto* op = static_cast<write_op*>(context);
    cdc_client* self = op->owner;
    delete op;
    std::lock_guard<std::mutex> guard(self->lock_);
    self->completions_.push_back({"write", status, bytes});
    self->writes_pending_--;
    self->idle_.notify_all();
}

// ---- Control and maintenance ------------------------------------------------------

// The maintenance calls reach the bus whether or not a device serves the
// port: what the bus answers without one is its to say.
NTSTATUS cdc_client::class_request(bool in, UCHAR request, USHORT value, USHORT length, std::vector<uint8_t>* data) {
    if (!open_) return STATUS_INVALID_DEVICE_STATE;
    std::vector<uint8_t> local;
    if (data == nullptr) data = &local;
    if (in) {
        data->assign(length, 0);
    } else {
        length = static_cast<USHORT>(data->size());
    }
    ULONG transferred = 0;
    NTSTATUS status =
        bus_.class_control_sync(child(), in ? TRUE : FALSE, request, value, length,
                                data->empty() ? nullptr : data->data(), &transferred, options_.control_timeout);
    if (in) data->resize(NT_SUCCESS(status) && transferred <= length ? transferred : 0);
    record("class", status, transferred);
    return status;
}

NTSTATUS cdc_client::purge(bool in) {
    if (!open_) return STATUS_INVALID_DEVICE_STATE;
    if (!in || !device_present()) return bus_.cdc_inout_purge(child(), in ? TRUE : FALSE);
    pause_reads();
    NTSTATUS status = bus_.cdc_inout_purge(child(), TRUE);
    wait_idle(true, false);
    {
        std::lock_guard<std::mutex> guard(lock_);
        paused_ = false;
    }
    arm_reads();
    return status;
}

// A pipe whose restart failed stays stopped and holds what is sent to it
// until a restart succeeds: the reads it holds are purged rather than waited
// for, and none is sent again until a restart or purge of IN succeeds.
NTSTATUS cdc_client::restart(bool in) {
    if (!open_) return STATUS_INVALID_DEVICE_STATE;
    if (!in || !device_present()) return bus_.cdc_restart_io_target(child(), in ? TRUE : FALSE);
    pause_reads();
    NTSTATUS status = bus_.cdc_restart_io_target(child(), TRUE);
    if (!NT_SUCCESS(status)) bus_.cdc_inout_purge(child(), TRUE);
    wait_idle(true, false);
    if (NT_SUCCESS(status)) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            paused_ = false;
        }
        arm_reads();
    }
    return status;
}

// A port reset need not cancel the reads; those it failed are sent again.
NTSTATUS cdc_client::reset() {
    if (!open_) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = bus_.qd_reset_device(child());
    if (device_present()) arm_reads();
    return status;
}

// ---- Notifications and records ------------------------------------------------------

VOID cdc_client::notify_routine(PVOID context, PVOID buffer, ULONG bytes) {
    auto* self = static_cast<cdc_client*>(context);
    const auto* data = static_cast<const uint8_t*>(buffer);
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->notifications_.emplace_back(data, data + bytes);
    }
    self->on_notification(data, bytes);
}

void cdc_client::record(const std::string& op, NTSTATUS status, ULONG bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    completions_.push_back({op, status, bytes});
}

std::vector<uint8_t> cdc_client::read_bytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return read_log_;
}

std::string cdc_client::read_text() const {
    std::lock_guard<std::mutex> guard(lock_);
    return std::string(read_log_.begin(), read_log_.end());
}

std::vector<completion> cdc_client::completions() const {
    std::lock_guard<std::mutex> guard(lock_);
    return completions_;
}

std::vector<std::vector<uint8_t>> cdc_client::notifications() const {
    std::lock_guard<std::mutex> guard(lock_);
    return notifications_;
}

ULONG cdc_client::reads_pending() const {
    std::lock_guard<std::mutex> guard(lock_);
    ULONG n = 0;
    for (const auto& slot : slots_) n += slot->busy ? 1 : 0;
    return n;
}

ULONG cdc_client::writes_pending() const {
    std::lock_guard<std::mutex> guard(lock_);
    return writes_pending_;
}

driver_report cdc_client::report() const {
    driver_report r;
    r.name = name_;
    r.opened = ever_opened_;
    r.open = open_;
    std::lock_guard<std::mutex> guard(lock_);
    r.read = read_log_;
    r.completions = completions_;
    r.notifications = notifications_;
    return r;
}

}  // namespace function_drivers
