#include "devices/models/acm_modem.h"

#include <cctype>

namespace sim::devices {

std::array<uint8_t, 7> line_coding::bytes() const {
    return {static_cast<uint8_t>(dwDTERate),
            static_cast<uint8_t>(dwDTERate >> 8),
            static_cast<uint8_t>(dwDTERate >> 16),
            static_cast<uint8_t>(dwDTERate >> 24),
            bCharFormat,
            bParityType,
            bDataBits};
}

line_coding line_coding::from_bytes(const uint8_t b[7]) {
    line_coding c;
    c.dwDTERate = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
                  static_cast<uint32_t>(b[3]) << 24;
    c.bCharFormat = b[4];
    c.bParityType = b[5];
    c.bDataBits = b[6];
    return c;
}

bool line_coding::operator==(const line_coding& o) const {
    return dwDTERate == o.dwDTERate && bCharFormat == o.bCharFormat && bParityType == o.bParityType &&
           bDataBits == o.bDataBits;
}

namespace {

bool valid(const line_coding& c) {
    const bool bits = c.bDataBits == 5 || c.bDataBits == 6 || c.bDataBits == 7 || c.bDataBits == 8 || c.bDataBits == 16;
    return c.dwDTERate != 0 && c.bCharFormat <= 2 && c.bParityType <= 4 && bits;
}

std::string trimmed(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
    while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
    return text.substr(first, last - first);
}

bool is_attention(const std::string& command) {
    return command.size() == 2 && std::toupper(static_cast<unsigned char>(command[0])) == 'A' &&
           std::toupper(static_cast<unsigned char>(command[1])) == 'T';
}

const std::string ok_reply = "\r\nOK\r\n";
const std::string error_reply = "\r\nERROR\r\n";

}  // namespace

acm_modem::acm_modem(function_layout layout) : function_model(std::move(layout)) {}

line_coding acm_modem::coding() const {
    std::lock_guard<std::mutex> guard(lock_);
    return coding_;
}

uint16_t acm_modem::control_lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

std::vector<uint16_t> acm_modem::breaks() const {
    std::lock_guard<std::mutex> guard(lock_);
    return breaks_;
}

std::vector<std::string> acm_modem::commands() const {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

std::vector<uint8_t> acm_modem::serial_state_packet(uint16_t bits) const {
    const uint8_t comm = layout().comm_interface;
    return {0xa1,
            serial_state_notification,
            0x00,
            0x00,
            comm,
            0x00,
            0x02,
            0x00,
            static_cast<uint8_t>(bits & 0xff),
            static_cast<uint8_t>(bits >> 8)};
}

bool acm_modem::notify_serial_state(uint16_t bits) { return notify(serial_state_packet(bits)); }

bool acm_modem::notify(std::vector<uint8_t> bytes) {
    if (layout().notify_in == 0) return false;
    send_in(layout().notify_in, std::move(bytes));
    return true;
}

void acm_modem::device_send(std::vector<uint8_t> bytes) { send_in(layout().data_in, std::move(bytes)); }

usb::control_reply acm_modem::on_control(const usb::setup_packet& s, uint8_t* data) {
    if (s.type() != BMREQUEST_CLASS || s.recipient() != BMREQUEST_TO_INTERFACE ||
        (s.wIndex & 0xff) != layout().comm_interface) {
        return stall();
    }
    bool dtr_changed = false;
    bool dtr_up = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        switch (s.bRequest) {
            case set_line_coding_request: {
                if (s.device_to_host() || s.wLength != 7) return stall();
                line_coding requested = line_coding::from_bytes(data);
                if (!valid(requested)) return stall();
                coding_ = requested;
                return ok(7);
            }
            case get_line_coding_request: {
                if (!s.device_to_host()) return stall();
                const std::array<uint8_t, 7> bytes = coding_.bytes();
                return reply_with(s, data, {bytes.begin(), bytes.end()});
            }
            case set_control_line_state_request: {
                if (s.device_to_host() || s.wLength != 0) return stall();
                const uint16_t lines = s.wValue & (line_dtr | line_rts);
                dtr_changed = ((lines ^ lines_) & line_dtr) != 0;
                dtr_up = (lines & line_dtr) != 0;
                lines_ = lines;
                break;
            }
            case send_break_request:
                if (s.device_to_host() || s.wLength != 0) return stall();
                breaks_.push_back(s.wValue);
                return ok();
            default:
                return stall();
        }
    }
    if (dtr_changed) notify_serial_state(dtr_up ? state_dsr | state_dcd : 0);
    return ok();
}

int32_t acm_modem::on_out(uint8_t, const uint8_t* data, size_t length) {
    std::vector<std::string> replies;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (size_t i = 0; i < length; ++i) {
            const char c = static_cast<char>(data[i]);
            if (c != '\r') {
                if (line_.size() < max_line) {
                    line_.push_back(c);
                } else {
                    line_overflow_ = true;
                }
                continue;
            }
            std::string command = trimmed(line_);
            const bool overflow = line_overflow_;
            line_.clear();
            line_overflow_ = false;
            if (command.empty() && !overflow) continue;
            commands_.push_back(command);
            replies.push_back(!overflow && is_attention(command) ? ok_reply : error_reply);
        }
    }
    for (const std::string& reply : replies) device_send({reply.begin(), reply.end()});
    return USBD_STATUS_SUCCESS;
}

void acm_modem::on_configuration(uint8_t) {
    std::lock_guard<std::mutex> guard(lock_);
    coding_ = line_coding();
    lines_ = 0;
    line_.clear();
    line_overflow_ = false;
}

}  // namespace sim::devices
