#include "serial_driver.h"

namespace function_drivers {

std::vector<uint8_t> line_coding::bytes() const {
    return {static_cast<uint8_t>(baud),
            static_cast<uint8_t>(baud >> 8),
            static_cast<uint8_t>(baud >> 16),
            static_cast<uint8_t>(baud >> 24),
            stop_bits,
            parity,
            data_bits};
}

serial_driver::serial_driver(WDFDEVICE pdo, const client_options& options) : cdc_client(pdo, "serial", options) {}

// Closed here, while on_close still unregisters this driver's callback.
serial_driver::~serial_driver() {
    if (is_open()) close();
}

NTSTATUS serial_driver::on_open() {
    notify_registered_ = bus().cdc_set_notify_cb(child(), this, notify_routine) != FALSE;
    send_line_setup(true, true);
    return STATUS_SUCCESS;
}

// A refused setting leaves the device at its own; the port works with it.
void serial_driver::send_line_setup(bool dtr, bool rts) {
    NTSTATUS coding = send_line_coding(coding_);
    NTSTATUS lines = send_control_lines(dtr, rts);
    setup_status_ = !NT_SUCCESS(coding) ? coding : lines;
}

void serial_driver::on_close() {
    if (notify_registered_) {
        bus().cdc_set_notify_cb(child(), nullptr, nullptr);
        notify_registered_ = false;
    }
}

void serial_driver::on_device_leaving() { on_close(); }

NTSTATUS serial_driver::on_device_back() {
    notify_registered_ = bus().cdc_set_notify_cb(child(), this, notify_routine) != FALSE;
    send_line_setup(dtr_, rts_);
    return STATUS_SUCCESS;
}

// Writes are sent from PASSIVE_LEVEL: an idle device is woken first, or the
// write would fail at the suspended device and its bytes be lost.
void serial_driver::before_write() {
    if (bus().qd_is_idle(child())) bus().qd_device_wakeup_sync(child(), FALSE);
}

NTSTATUS serial_driver::send_line_coding(const line_coding& coding) {
    std::vector<uint8_t> data = coding.bytes();
    ULONG transferred = 0;
    NTSTATUS status = bus().class_control_sync(child(), FALSE, cdc_set_line_coding, 0, 7, data.data(), &transferred,
                                               options().control_timeout);
    record("class", status, transferred);
    return status;
}

NTSTATUS serial_driver::send_control_lines(bool dtr, bool rts) {
    USHORT value = static_cast<USHORT>((dtr ? 1 : 0) | (rts ? 2 : 0));
    ULONG transferred = 0;
    NTSTATUS status = bus().class_control_sync(child(), FALSE, cdc_set_control_line_state, value, 0, nullptr,
                                               &transferred, options().control_timeout);
    record("class", status, transferred);
    if (NT_SUCCESS(status)) {
        dtr_ = dtr;
        rts_ = rts;
    }
    return status;
}

NTSTATUS serial_driver::set_line_coding(ULONG baud, UCHAR data_bits, char parity, double stop_bits) {
    line_coding coding;
    coding.baud = baud;
    coding.data_bits = data_bits;
    switch (parity) {
        case 'N':
        case 'n':
            coding.parity = 0;
            break;
        case 'O':
        case 'o':
            coding.parity = 1;
            break;
        case 'E':
        case 'e':
            coding.parity = 2;
            break;
        case 'M':
        case 'm':
            coding.parity = 3;
            break;
        case 'S':
        case 's':
            coding.parity = 4;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (stop_bits == 1.0) {
        coding.stop_bits = 0;
    } else if (stop_bits == 1.5) {
        coding.stop_bits = 1;
    } else if (stop_bits == 2.0) {
        coding.stop_bits = 2;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    if (baud == 0 || !((data_bits >= 5 && data_bits <= 8) || data_bits == 16)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!is_open()) {
        coding_ = coding;
        return STATUS_SUCCESS;
    }
    if (!device_present()) {
        coding_ = coding;
        return STATUS_CTRL_USB_DEVICE_ABSENT;
    }
    NTSTATUS status = send_line_coding(coding);
    if (NT_SUCCESS(status)) coding_ = coding;
    return status;
}

NTSTATUS serial_driver::set_control_lines(bool dtr, bool rts) {
    if (!is_open()) return STATUS_INVALID_DEVICE_STATE;
    if (!device_present()) {
        dtr_ = dtr;
        rts_ = rts;
        return STATUS_CTRL_USB_DEVICE_ABSENT;
    }
    return send_control_lines(dtr, rts);
}

// SERIAL_STATE: bmRequestType 0xA1, bNotification 0x20, wValue 0, wIndex the
// interface, wLength 2, then the UART state bitmap. Anything else, or a
// packet shorter than its wLength says, is only recorded.
void serial_driver::on_notification(const uint8_t* data, ULONG bytes) {
    if (bytes < 10 || data[0] != 0xA1 || data[1] != cdc_notification_serial_state) return;
    uint16_t length = static_cast<uint16_t>(data[6] | (data[7] << 8));
    if (length < 2 || bytes < 8u + length) return;
    uint16_t bitmap = static_cast<uint16_t>(data[8] | (data[9] << 8));
    std::lock_guard<std::mutex> guard(status_lock_);
    status_.notifications++;
    status_.bitmap = bitmap;
    status_.dcd = (bitmap & 0x01) != 0;
    status_.dsr = (bitmap & 0x02) != 0;
    status_.break_detected = (bitmap & 0x04) != 0;
    status_.ring = (bitmap & 0x08) != 0;
    status_.framing_error = (bitmap & 0x10) != 0;
    status_.parity_error = (bitmap & 0x20) != 0;
    status_.overrun = (bitmap & 0x40) != 0;
}

struct modem_status serial_driver::modem_status() const {
    std::lock_guard<std::mutex> guard(status_lock_);
    return status_;
}

void install(sim::host& host, const client_options& options) {
    host.register_function_driver("usbcdcacm\\compat", [options](WDFDEVICE pdo) {
        return std::unique_ptr<sim::function_driver>(new serial_driver(pdo, options));
    });
    host.set_default_function_driver(
        [options](WDFDEVICE pdo) { return std::unique_ptr<sim::function_driver>(new generic_client(pdo, options)); });
}

}  // namespace function_drivers
