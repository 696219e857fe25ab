// The serial function driver for usbcdcacm children: the common client plus
// the line settings. On open, after the data path is enabled, it registers
// for notifications (a function without a notification pipe refuses; the
// port then works without modem status), sets the line coding (115200 8N1
// unless set before open) and raises DTR and RTS. A device that refuses a
// line setting (vendor adapters stall the CDC requests) still opens: the
// failure is recorded and line_setup_status() gives it. The modem status
// comes from SERIAL_STATE notifications. An idle device is woken through
// the bus interface before a write, so nothing written is lost to idling.
//
// It keeps the port open while its USB device is away (control-device mode):
// when a device serves it again, the notification callback, the line coding
// and the control lines in force go out again before reads restart. Line
// settings made meanwhile are refused with STATUS_CTRL_USB_DEVICE_ABSENT but
// kept for that moment.
#pragma once

#include "cdc_client.h"

namespace function_drivers {

// CDC class requests of the abstract control model.
constexpr UCHAR cdc_set_line_coding = 0x20;
constexpr UCHAR cdc_get_line_coding = 0x21;
constexpr UCHAR cdc_set_control_line_state = 0x22;
constexpr UCHAR cdc_send_break = 0x23;
constexpr UCHAR cdc_notification_serial_state = 0x20;

struct line_coding {
    ULONG baud = 115200;
    UCHAR stop_bits = 0;  // bCharFormat: 0 one, 1 one and a half, 2 two
    UCHAR parity = 0;     // bParityType: 0 none, 1 odd, 2 even, 3 mark, 4 space
    UCHAR data_bits = 8;

    std::vector<uint8_t> bytes() const;  // the 7 bytes of SET_LINE_CODING
};

// Parsed from the UART state bitmap of the last SERIAL_STATE.
struct modem_status {
    unsigned notifications = 0;  // SERIAL_STATE packets received
    uint16_t bitmap = 0;
    bool dcd = false;  // bRxCarrier
    bool dsr = false;  // bTxCarrier
    bool break_detected = false;
    bool ring = false;
    bool framing_error = false;
    bool parity_error = false;
    bool overrun = false;
};

class serial_driver : public cdc_client {
 public:
    explicit serial_driver(WDFDEVICE pdo, const client_options& options = {});
    ~serial_driver() override;

    // parity: 'N', 'O', 'E', 'M' or 'S'; stop_bits 1, 1.5 or 2; data bits 5
    // to 8 or 16. Refused with STATUS_INVALID_PARAMETER before anything goes
    // out. Before open it only sets what open will send.
    NTSTATUS set_line_coding(ULONG baud, UCHAR data_bits, char parity, double stop_bits);
    NTSTATUS set_control_lines(bool dtr, bool rts);
    line_coding current_line_coding() const { return coding_; }
    bool dtr() const { return dtr_; }
    bool rts() const { return rts_; }
    bool notifications_registered() const { return notify_registered_; }
    // The first failure of the line settings sent at open or when a device
    // came back, STATUS_SUCCESS when both went through.
    NTSTATUS line_setup_status() const { return setup_status_.load(); }
    struct modem_status modem_status() const;

 protected:
    NTSTATUS on_open() override;
    void on_close() override;
    void on_notification(const uint8_t* data, ULONG bytes) override;
    bool follows_device() const override { return true; }
    void on_device_leaving() override;
    NTSTATUS on_device_back() override;
    void before_write() override;

 private:
    NTSTATUS send_line_coding(const line_coding& coding);
    NTSTATUS send_control_lines(bool dtr, bool rts);
    // Line coding and control lines in force, as a device is taken up.
    void send_line_setup(bool dtr, bool rts);

    line_coding coding_;
    bool dtr_ = false;
    bool rts_ = false;
    bool notify_registered_ = false;
    std::atomic<NTSTATUS> setup_status_{STATUS_SUCCESS};
    mutable std::mutex status_lock_;
    struct modem_status status_;  // guarded by status_lock_
};

// Registers the serial driver for usbcdcacm children and the generic client
// for every other child.
void install(sim::host& host, const client_options& options = {});

}  // namespace function_drivers
