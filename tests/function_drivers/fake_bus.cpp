#include "tests/function_drivers/fake_bus.h"

#include <cstring>

#include "sim/kernel.h"

namespace fake_bus {
namespace {

state* g_state = new state();

void call(const std::string& text) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().calls.push_back(text);
}

std::string hex(unsigned v) {
    char text[16];
    snprintf(text, sizeof(text), "0x%02x", v);
    return text;
}

VOID reference(PVOID) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().references++;
    fake().calls.push_back("reference");
}

VOID dereference(PVOID) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().references--;
    fake().calls.push_back("dereference");
}

NTSTATUS class_control_sync(WDFDEVICE, BOOLEAN in, UCHAR request, USHORT value, USHORT length, PVOID buffer,
                            PULONG transferred, LONGLONG) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().calls.push_back(std::string("class(") + (in ? "in," : "out,") + hex(request) + "," + std::to_string(value) +
                           "," + std::to_string(length) + ")");
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    if (!in) fake().class_data.emplace_back(bytes, bytes + (buffer == nullptr ? 0 : length));
    if (fake().absent) {
        *transferred = 0;
        return STATUS_CTRL_USB_DEVICE_ABSENT;
    }
    if (in && buffer != nullptr) memset(buffer, 0x11, length);
    *transferred = NT_SUCCESS(fake().class_status) ? length : 0;
    return fake().class_status;
}

NTSTATUS transport_enable(WDFDEVICE) {
    call("transport_enable");
    return fake().enable_status;
}

NTSTATUS transport_disable(WDFDEVICE) {
    call("transport_disable");
    return STATUS_SUCCESS;
}

NTSTATUS restart_io_target(WDFDEVICE, BOOLEAN in);
NTSTATUS inout_purge(WDFDEVICE, BOOLEAN in);

BOOLEAN data_in_async(WDFDEVICE, PVOID buffer, ULONG length, PFN_CDC_DATA_COMPLETE complete, PVOID context, LONGLONG) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().calls.push_back("read(" + std::to_string(length) + ")");
    if (!fake().read_result) return FALSE;
    fake().reads.push_back({buffer, length, complete, context});
    return TRUE;
}

BOOLEAN data_out_async(WDFDEVICE, PVOID buffer, ULONG length, PFN_CDC_DATA_COMPLETE complete, PVOID context, LONGLONG) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().calls.push_back("write(" + std::to_string(length) + ")");
    if (!fake().write_result) return FALSE;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    fake().written.emplace_back(bytes, bytes + length);
    fake().writes.push_back({buffer, length, complete, context});
    return TRUE;
}

BOOLEAN set_notify_cb(WDFDEVICE, PVOID context, PFN_CDC_NOTIFY_CB routine) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().calls.push_back(routine == nullptr ? "set_notify_cb(off)" : "set_notify_cb(on)");
    if (!fake().notify_result) return FALSE;
    fake().notify = routine;
    fake().notify_context = context;
    return TRUE;
}

NTSTATUS data_io_init(WDFDEVICE, ULONG in, ULONG out) {
    call("data_io_init(" + std::to_string(in) + "," + std::to_string(out) + ")");
    {
        std::lock_guard<std::mutex> guard(fake().lock);
        fake().init_thread = std::this_thread::get_id();
    }
    return fake().init_status;
}

NTSTATUS data_io_uninit(WDFDEVICE) {
    call("data_io_uninit");
    return STATUS_SUCCESS;
}

NTSTATUS ctrl_cbs_init(WDFDEVICE, ULONG check_open, PFN_CDC_CTRL_CB start_final, PFN_CDC_CTRL_CB stop_final,
                       PFN_CDC_CTRL_CB is_open, PFN_CDC_CTRL_CB stop, PFN_CDC_CTRL_CB start, PVOID context) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().calls.push_back("ctrl_cbs_init(" + std::to_string(check_open) + ")");
    state& s = fake();
    s.start_final = start_final;
    s.stop_final = stop_final;
    s.is_open = is_open;
    s.stop = stop;
    s.start = start;
    s.ctrl_context = context;
    s.check_open = check_open;
    return STATUS_SUCCESS;
}

VOID ctrl_cbs_uninit(WDFDEVICE) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().calls.push_back("ctrl_cbs_uninit");
    state& s = fake();
    s.start_final = s.stop_final = s.is_open = s.stop = s.start = nullptr;
    s.ctrl_context = nullptr;
    s.check_open = 0;
}

NTSTATUS reset_device(WDFDEVICE) {
    call("reset");
    return fake().absent ? STATUS_CTRL_USB_DEVICE_ABSENT : STATUS_SUCCESS;
}

void cancel_all(std::deque<pending_transfer>* queue) {
    std::deque<pending_transfer> cancelled;
    {
        std::lock_guard<std::mutex> guard(fake().lock);
        cancelled.swap(*queue);
    }
    KIRQL old = sim::irql_raise(DISPATCH_LEVEL);
    for (const auto& t : cancelled) t.complete(t.context, STATUS_CANCELLED, 0);
    sim::irql_lower(old);
}

NTSTATUS inout_purge(WDFDEVICE, BOOLEAN in) {
    call(in ? "purge(in)" : "purge(out)");
    if (fake().absent) return STATUS_CTRL_USB_DEVICE_ABSENT;
    cancel_all(in ? &fake().reads : &fake().writes);
    return STATUS_SUCCESS;
}

// A failed restart leaves the pipe stopped: what it held stays pending.
NTSTATUS restart_io_target(WDFDEVICE, BOOLEAN in) {
    call(in ? "restart(in)" : "restart(out)");
    if (fake().absent) return STATUS_CTRL_USB_DEVICE_ABSENT;
    if (!NT_SUCCESS(fake().restart_status)) return fake().restart_status;
    cancel_all(in ? &fake().reads : &fake().writes);
    return STATUS_SUCCESS;
}

BOOLEAN is_idle(WDFDEVICE) {
    std::lock_guard<std::mutex> guard(fake().lock);
    return fake().idle ? TRUE : FALSE;
}

NTSTATUS wakeup(WDFDEVICE, BOOLEAN) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().calls.push_back("wakeup");
    fake().idle = false;
    return STATUS_SUCCESS;
}

NTSTATUS verify_version(WDFDEVICE, LPGUID, PINTERFACE, PVOID data) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().version_seen = data == nullptr ? "(null)" : static_cast<const char*>(data);
    return fake().version_seen == fake().expected_version ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

bool complete_oldest(std::deque<pending_transfer>* queue, const std::string* data, NTSTATUS status, ULONG bytes) {
    pending_transfer t;
    {
        std::lock_guard<std::mutex> guard(fake().lock);
        if (queue->empty()) return false;
        t = queue->front();
        queue->pop_front();
    }
    if (data != nullptr) {
        bytes = static_cast<ULONG>(data->size() < t.length ? data->size() : t.length);
        memcpy(t.buffer, data->data(), bytes);
    }
    KIRQL old = sim::irql_raise(DISPATCH_LEVEL);
    t.complete(t.context, status, bytes);
    sim::irql_lower(old);
    return true;
}

}  // namespace

state& fake() { return *g_state; }

void reset() {
    delete g_state;
    g_state = new state();
}

void register_on(WDFDEVICE pdo) {
    CDC_BUS_INTERFACE record{};
    record.header.Size = CDC_BUS_INTERFACE_SIZE;
    record.header.Version = CDC_BUS_INTERFACE_VERSION;
    record.header.Context = pdo;
    record.header.InterfaceReference = reference;
    record.header.InterfaceDereference = dereference;
    record.class_control_sync = class_control_sync;
    record.cdc_transport_enable = transport_enable;
    record.cdc_transport_disable = transport_disable;
    record.cdc_restart_io_target = restart_io_target;
    record.cdc_data_in_async = data_in_async;
    record.cdc_data_out_async = data_out_async;
    record.cdc_set_notify_cb = set_notify_cb;
    record.cdc_inout_purge = inout_purge;
    record.cdc_data_io_init = data_io_init;
    record.cdc_data_io_uninit = data_io_uninit;
    record.qd_reset_device = reset_device;
    record.qd_is_idle = is_idle;
    record.qd_device_wakeup_sync = wakeup;
    record.cdc_data_io_ctrl_cbs_init = ctrl_cbs_init;
    record.cdc_data_io_ctrl_cbs_uninit = ctrl_cbs_uninit;
    WDF_QUERY_INTERFACE_CONFIG config;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &record.header, &GUID_CDC_BUS_INTERFACE, verify_version);
    WdfDeviceAddQueryInterface(pdo, &config);
}

bool complete_read(const std::string& data, NTSTATUS status) {
    return complete_oldest(&fake().reads, &data, status, 0);
}

bool complete_write(NTSTATUS status) {
    ULONG bytes;
    {
        std::lock_guard<std::mutex> guard(fake().lock);
        if (fake().writes.empty()) return false;
        bytes = NT_SUCCESS(status) ? fake().writes.front().length : 0;
    }
    return complete_oldest(&fake().writes, nullptr, status, bytes);
}

void notify(const std::vector<uint8_t>& packet) {
    PFN_CDC_NOTIFY_CB routine;
    PVOID context;
    {
        std::lock_guard<std::mutex> guard(fake().lock);
        routine = fake().notify;
        context = fake().notify_context;
    }
    if (routine == nullptr) return;
    std::vector<uint8_t> copy = packet;
    KIRQL old = sim::irql_raise(DISPATCH_LEVEL);
    routine(context, copy.data(), static_cast<ULONG>(copy.size()));
    sim::irql_lower(old);
}

LONG control(const std::string& which) {
    PFN_CDC_CTRL_CB routine;
    PVOID context;
    {
        std::lock_guard<std::mutex> guard(fake().lock);
        state& s = fake();
        routine = which == "start-final"  ? s.start_final
                  : which == "stop-final" ? s.stop_final
                  : which == "is-open"    ? s.is_open
                  : which == "stop"       ? s.stop
                                          : s.start;
        context = s.ctrl_context;
    }
    return routine == nullptr ? -1 : routine(context);
}

std::vector<std::string> calls() {
    std::lock_guard<std::mutex> guard(fake().lock);
    return fake().calls;
}

size_t reads_pending() {
    std::lock_guard<std::mutex> guard(fake().lock);
    return fake().reads.size();
}

}  // namespace fake_bus
