#include "devices/models/iccd.h"

namespace sim::devices {

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t offset) {
    return static_cast<uint32_t>(b[offset]) | static_cast<uint32_t>(b[offset + 1]) << 8 |
           static_cast<uint32_t>(b[offset + 2]) << 16 | static_cast<uint32_t>(b[offset + 3]) << 24;
}

std::vector<uint8_t> le32_bytes(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

// Bulk message layout: bMessageType, dwLength, bSlot, bSeq, three bytes
// that depend on the message, then dwLength bytes of data.
constexpr size_t header_size = 10;
constexpr uint8_t msg_power_on = 0x62;
constexpr uint8_t msg_power_off = 0x63;
constexpr uint8_t msg_slot_status = 0x65;
constexpr uint8_t msg_xfr_block = 0x6f;
constexpr uint8_t reply_data_block = 0x80;
constexpr uint8_t reply_slot_status = 0x81;
constexpr uint8_t command_failed = 0x40;
constexpr uint8_t error_icc_mute = 0xfe;

std::vector<uint8_t> reply(uint8_t type, const std::vector<uint8_t>& request, uint8_t status, uint8_t error,
                           const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes = {type};
    const std::vector<uint8_t> length = le32_bytes(static_cast<uint32_t>(data.size()));
    bytes.insert(bytes.end(), length.begin(), length.end());
    bytes.push_back(request.size() > 5 ? request[5] : 0);  // bSlot
    bytes.push_back(request.size() > 6 ? request[6] : 0);  // bSeq
    bytes.push_back(status);
    bytes.push_back(error);
    bytes.push_back(0);  // bChainParameter / bClockStatus
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

}  // namespace

iccd::iccd(function_layout layout) : function_model(std::move(layout)) {
    // Smart-card class descriptor: bLength, bDescriptorType, bcdCCID (2),
    // bMaxSlotIndex, bVoltageSupport, dwProtocols (4), dwDefaultClock at 10,
    // dwMaximumClock, bNumClockSupported, dwDataRate at 19.
    const std::vector<uint8_t> cls = this->layout().class_descriptor(usb::functional_descriptor);
    if (cls.size() >= 23) {
        default_clock_khz_ = le32(cls, 10);
        data_rate_bps_ = le32(cls, 19);
    }
}

std::vector<uint8_t> iccd::default_atr() {
    // TS direct convention; T0: TD1 follows, one historical byte; TD1: TD2
    // follows, T=0; TD2: T=1; historical 0x80; TCK over T0..historical.
    std::vector<uint8_t> atr = {0x3b, 0x81, 0x80, 0x01, 0x80};
    uint8_t tck = 0;
    for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

bool iccd::powered() const {
    std::lock_guard<std::mutex> guard(lock_);
    return powered_;
}

std::vector<std::vector<uint8_t>> iccd::apdus() const {
    std::lock_guard<std::mutex> guard(lock_);
    return apdus_;
}

void iccd::set_response(std::vector<uint8_t> response) {
    std::lock_guard<std::mutex> guard(lock_);
    response_ = std::move(response);
}

bool iccd::notify_slot_change(bool card_present) {
    if (layout().notify_in == 0) return false;
    // RDR_to_PC_NotifySlotChange: slot 0 present (bit 0) and changed (bit 1).
    send_in(layout().notify_in, {0x50, static_cast<uint8_t>(card_present ? 0x03 : 0x02)});
    return true;
}

usb::control_reply iccd::on_control(const usb::setup_packet& s, uint8_t* data) {
    if (s.type() != BMREQUEST_CLASS || s.recipient() != BMREQUEST_TO_INTERFACE) return stall();
    const bool in = s.device_to_host();
    std::lock_guard<std::mutex> guard(lock_);
    switch (s.bRequest) {
        case icc_power_on_request:
            powered_ = true;
            if (in) {
                has_waiting_ = false;
                waiting_.clear();
                return reply_with(s, data, default_atr());
            }
            waiting_ = default_atr();
            has_waiting_ = true;
            return ok();
        case icc_power_off_request:
            if (in) return stall();
            powered_ = false;
            has_waiting_ = false;
            waiting_.clear();
            return ok();
        case xfr_block_request:
            if (in || !powered_ || s.wLength == 0) return stall();
            apdus_.emplace_back(data, data + s.wLength);
            waiting_ = response_;
            has_waiting_ = true;
            return ok(s.wLength);
        case data_block_request: {
            if (!in) return stall();
            std::vector<uint8_t> bytes;
            if (has_waiting_) bytes.swap(waiting_);
            has_waiting_ = false;
            return reply_with(s, data, bytes);
        }
        case get_icc_status_request: {
            if (!in) return stall();
            uint8_t status = powered_ ? status_powered : status_unpowered;
            if (has_waiting_) status |= status_response_waiting;
            return reply_with(s, data, {status});
        }
        case abort_request:
            if (in) return stall();
            has_waiting_ = false;
            waiting_.clear();
            return ok();
        case get_clock_frequencies_request:
            if (!in) return stall();
            return reply_with(s, data, le32_bytes(default_clock_khz_));
        case get_data_rates_request:
            if (!in) return stall();
            return reply_with(s, data, le32_bytes(data_rate_bps_));
        default:
            return stall();
    }
}

std::vector<uint8_t> iccd::bulk_message(const std::vector<uint8_t>& m) {
    std::lock_guard<std::mutex> guard(lock_);
    const uint8_t slot_state = powered_ ? status_powered : status_unpowered;
    switch (m[0]) {
        case msg_power_on:
            powered_ = true;
            return reply(reply_data_block, m, status_powered, 0, default_atr());
        case msg_power_off:
            powered_ = false;
            return reply(reply_slot_status, m, status_unpowered, 0, {});
        case msg_slot_status:
            return reply(reply_slot_status, m, slot_state, 0, {});
        case msg_xfr_block: {
            if (!powered_) return reply(reply_data_block, m, command_failed | slot_state, error_icc_mute, {});
            apdus_.emplace_back(m.begin() + header_size, m.end());
            return reply(reply_data_block, m, status_powered, 0, response_);
        }
        default:
            return reply(reply_slot_status, m, command_failed | slot_state, 0, {});
    }
}

int32_t iccd::on_out(uint8_t, const uint8_t* data, size_t length) {
    // A message shorter than its header, or than the length it claims, is
    // not one the reader can act on: the transfer fails with a stall.
    if (length < header_size) return USBD_STATUS_STALL_PID;
    std::vector<uint8_t> message(data, data + length);
    if (le32(message, 1) != length - header_size) return USBD_STATUS_STALL_PID;
    send_in(layout().data_in, bulk_message(message));
    return USBD_STATUS_SUCCESS;
}

void iccd::on_configuration(uint8_t) {
    std::lock_guard<std::mutex> guard(lock_);
    powered_ = false;
    has_waiting_ = false;
    waiting_.clear();
}

}  // namespace sim::devices
