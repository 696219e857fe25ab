// A CDC ACM modem behind an ACM function's descriptors.
//
// Class requests (to the communication interface):
// - SET_LINE_CODING (0x20): exactly 7 bytes; stop bits 0-2, parity 0-4 and
//   data bits 5, 6, 7, 8 or 16, else it stalls and keeps the old coding.
// - GET_LINE_CODING (0x21): the 7 bytes in force, 9600 8N1 at first.
// - SET_CONTROL_LINE_STATE (0x22): DTR (bit 0) and RTS (bit 1) kept.
// - SEND_BREAK (0x23): wValue milliseconds recorded (0xFFFF: until a break
//   of 0 ends it).
// Anything else, or a request in the wrong direction, stalls.
//
// Notifications: SERIAL_STATE is the 10 bytes A1 20 0000 <comm interface>
// 0200 <bitmap>. The modem answers DTR as a powered modem with a carrier
// does: when DTR rises it reports DSR|DCD, when DTR falls it reports 0
// (only on a change, and only when the function has a notification
// endpoint). Line coding and lines go back to their defaults on
// SET_CONFIGURATION.
//
// Data: bytes on the data OUT endpoint collect into a command line until
// "\r". The line, trimmed of blanks and line feeds, is answered on the data
// IN endpoint (echo off): "AT" in any case with "\r\nOK\r\n", anything else
// with "\r\nERROR\r\n". An empty line is ignored, as modems ignore it; a line
// longer than max_line bytes is answered with ERROR at its end.
#pragma once

#include <array>
#include <vector>

#include "devices/models/function_model.h"

namespace sim::devices {

struct line_coding {
    uint32_t dwDTERate = 9600;
    uint8_t bCharFormat = 0;  // 0: 1 stop bit, 1: 1.5, 2: 2
    uint8_t bParityType = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t bDataBits = 8;

    std::array<uint8_t, 7> bytes() const;
    static line_coding from_bytes(const uint8_t bytes[7]);
    bool operator==(const line_coding& other) const;
};

class acm_modem : public function_model {
 public:
    // CDC class requests and notification.
    static constexpr uint8_t set_line_coding_request = 0x20;
    static constexpr uint8_t get_line_coding_request = 0x21;
    static constexpr uint8_t set_control_line_state_request = 0x22;
    static constexpr uint8_t send_break_request = 0x23;
    static constexpr uint8_t serial_state_notification = 0x20;
    // SERIAL_STATE bits.
    static constexpr uint16_t state_dcd = 0x01;
    static constexpr uint16_t state_dsr = 0x02;
    static constexpr uint16_t state_break = 0x04;
    static constexpr uint16_t state_ring = 0x08;
    static constexpr uint16_t state_framing = 0x10;
    static constexpr uint16_t state_parity = 0x20;
    static constexpr uint16_t state_overrun = 0x40;
    // SET_CONTROL_LINE_STATE bits.
    static constexpr uint16_t line_dtr = 0x01;
    static constexpr uint16_t line_rts = 0x02;

    static constexpr size_t max_line = 256;

    explicit acm_modem(function_layout layout);
    const char* kind() const override { return "acm-modem"; }

    line_coding coding() const;
    uint16_t control_lines() const;
    bool dtr() const { return (control_lines() & line_dtr) != 0; }
    bool rts() const { return (control_lines() & line_rts) != 0; }
    std::vector<uint16_t> breaks() const;       // every SEND_BREAK's wValue, in order
    std::vector<std::string> commands() const;  // every command line answered, trimmed

    // The 10-byte SERIAL_STATE packet for the bits.
    std::vector<uint8_t> serial_state_packet(uint16_t bits) const;
    // Send on the notification endpoint; false when the function has none.
    bool notify_serial_state(uint16_t bits);
    bool notify(std::vector<uint8_t> bytes);
    // The modem sends bytes on the data IN endpoint.
    void device_send(std::vector<uint8_t> bytes);

 protected:
    usb::control_reply on_control(const usb::setup_packet& setup, uint8_t* data) override;
    int32_t on_out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    void on_configuration(uint8_t configuration_value) override;

 private:
    mutable std::mutex lock_;
    line_coding coding_;                 // guarded by lock_
    uint16_t lines_ = 0;                 // guarded by lock_
    std::vector<uint16_t> breaks_;       // guarded by lock_
    std::string line_;                   // guarded by lock_; the command line being typed
    bool line_overflow_ = false;         // guarded by lock_
    std::vector<std::string> commands_;  // guarded by lock_
};

}  // namespace sim::devices
