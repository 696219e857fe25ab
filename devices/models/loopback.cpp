#include "devices/models/loopback.h"

namespace sim::devices {

namespace {
constexpr uint16_t statistic_xmit_ok = 1;
constexpr uint16_t statistic_rcv_ok = 2;
constexpr size_t mac_length = 6;
}  // namespace

loopback::loopback(function_layout layout, flavor kind) : function_model(std::move(layout)), flavor_(kind) {
    // Ethernet functional: length, type, subtype, iMACAddress,
    // bmEthernetStatistics (4), wMaxSegmentSize (2), wNumberMCFilters (2), ...
    const std::vector<uint8_t> ethernet = this->layout().class_descriptor(usb::cs_interface, usb::cdc_fd_ethernet);
    if (ethernet.size() >= 12) {
        statistics_ = static_cast<uint32_t>(ethernet[4]) | static_cast<uint32_t>(ethernet[5]) << 8 |
                      static_cast<uint32_t>(ethernet[6]) << 16 | static_cast<uint32_t>(ethernet[7]) << 24;
        multicast_max_ = static_cast<uint16_t>((ethernet[10] | ethernet[11] << 8) & 0x7fff);
    }
}

uint16_t loopback::packet_filter() const {
    std::lock_guard<std::mutex> guard(lock_);
    return packet_filter_;
}

std::vector<std::vector<uint8_t>> loopback::multicast_filters() const {
    std::lock_guard<std::mutex> guard(lock_);
    return multicast_;
}

uint32_t loopback::frames_echoed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return echoed_;
}

bool loopback::network_connection(bool connected) {
    if (flavor_ != flavor::ecm) return false;
    const uint8_t comm = layout().comm_interface;
    return notify(
        {0xa1, network_connection_notification, static_cast<uint8_t>(connected ? 1 : 0), 0x00, comm, 0x00, 0x00, 0x00});
}

bool loopback::connection_speed(uint32_t down, uint32_t up) {
    if (flavor_ != flavor::ecm) return false;
    const uint8_t comm = layout().comm_interface;
    std::vector<uint8_t> packet = {0xa1, connection_speed_change_notification, 0x00, 0x00, comm, 0x00, 0x08, 0x00};
    for (uint32_t value : {down, up}) {
        for (int shift = 0; shift < 32; shift += 8) packet.push_back(static_cast<uint8_t>(value >> shift));
    }
    return notify(std::move(packet));
}

bool loopback::notify(std::vector<uint8_t> bytes) {
    if (layout().notify_in == 0) return false;
    send_in(layout().notify_in, std::move(bytes));
    return true;
}

void loopback::device_send(std::vector<uint8_t> bytes) { send_in(layout().data_in, std::move(bytes)); }

usb::control_reply loopback::on_control(const usb::setup_packet& s, uint8_t* data) {
    if (flavor_ != flavor::ecm || s.type() != BMREQUEST_CLASS || s.recipient() != BMREQUEST_TO_INTERFACE ||
        (s.wIndex & 0xff) != layout().comm_interface) {
        return stall();
    }
    return ecm_request(s, data);
}

usb::control_reply loopback::ecm_request(const usb::setup_packet& s, uint8_t* data) {
    switch (s.bRequest) {
        case set_packet_filter_request: {
            if (s.device_to_host() || s.wLength != 0) return stall();
            std::lock_guard<std::mutex> guard(lock_);
            packet_filter_ = s.wValue;
            return ok();
        }
        case set_multicast_filters_request: {
            const size_t count = s.wValue;
            if (s.device_to_host() || count > multicast_max_ || s.wLength != count * mac_length) return stall();
            std::lock_guard<std::mutex> guard(lock_);
            multicast_.clear();
            for (size_t i = 0; i < count; ++i) {
                multicast_.emplace_back(data + i * mac_length, data + (i + 1) * mac_length);
            }
            return ok(s.wLength);
        }
        case get_statistic_request: {
            const uint16_t selector = s.wValue;
            if (!s.device_to_host() || selector == 0 || selector > 32 || (statistics_ & (1u << (selector - 1))) == 0) {
                return stall();
            }
            uint32_t value = 0;
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (selector == statistic_xmit_ok || selector == statistic_rcv_ok) value = echoed_;
            }
            return reply_with(s, data,
                              {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                               static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
        }
        default:
            return stall();
    }
}

int32_t loopback::on_out(uint8_t, const uint8_t* data, size_t length) {
    if (length == 0) return USBD_STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(lock_);
        echoed_++;
    }
    send_in(layout().data_in, std::vector<uint8_t>(data, data + length));
    return USBD_STATUS_SUCCESS;
}

}  // namespace sim::devices
