// A loopback behind ECM, EEM, OBEX and vendor data pipes: every transfer the
// host writes to the data OUT endpoint comes back whole as one transfer on
// the data IN endpoint. A zero-length transfer is not echoed (it only ends a
// transfer on the wire; an echoed one would show the host a packet nobody
// sent).
//
// Class requests:
// - ECM, to the communication interface: SET_ETHERNET_PACKET_FILTER (0x43)
//   keeps the filter bitmap; SET_ETHERNET_MULTICAST_FILTERS (0x40) keeps the
//   6-byte addresses, up to wNumberMCFilters of the ethernet descriptor (more
//   stall); GET_ETHERNET_STATISTIC (0x44) answers the frames sent and
//   received for XMIT_OK (1) and RCV_OK (2) when bmEthernetStatistics offers
//   them, 0 for the other offered ones, and stalls for what it does not
//   offer. The power-filter requests stall: the adapters modelled have none.
// - EEM, OBEX and vendor functions stall every class and vendor request.
//
// Notifications on the communication interface's interrupt IN endpoint:
// network_connection() and connection_speed() for ECM, notify() with any
// bytes for every flavour that has the endpoint.
#pragma once

#include <vector>

#include "devices/models/function_model.h"

namespace sim::devices {

class loopback : public function_model {
 public:
    enum class flavor { ecm, eem, obex, vendor };

    static constexpr uint8_t set_multicast_filters_request = 0x40;
    static constexpr uint8_t set_packet_filter_request = 0x43;
    static constexpr uint8_t get_statistic_request = 0x44;
    static constexpr uint8_t network_connection_notification = 0x00;
    static constexpr uint8_t connection_speed_change_notification = 0x2a;

    loopback(function_layout layout, flavor kind);
    const char* kind() const override { return "loopback"; }
    flavor type() const { return flavor_; }

    uint16_t packet_filter() const;
    std::vector<std::vector<uint8_t>> multicast_filters() const;
    uint32_t frames_echoed() const;

    // ECM notifications; false when the function has no notification endpoint
    // or is not ECM.
    bool network_connection(bool connected);
    bool connection_speed(uint32_t downstream_bps, uint32_t upstream_bps);
    bool notify(std::vector<uint8_t> bytes);
    // The device sends bytes on the data IN endpoint unasked.
    void device_send(std::vector<uint8_t> bytes);

 protected:
    usb::control_reply on_control(const usb::setup_packet& setup, uint8_t* data) override;
    int32_t on_out(uint8_t endpoint, const uint8_t* data, size_t length) override;

 private:
    usb::control_reply ecm_request(const usb::setup_packet& setup, uint8_t* data);

    const flavor flavor_;
    uint32_t statistics_ = 0;     // bmEthernetStatistics
    uint16_t multicast_max_ = 0;  // wNumberMCFilters, without its "imperfect" bit

    mutable std::mutex lock_;
    uint16_t packet_filter_ = 0;                   // guarded by lock_
    std::vector<std::vector<uint8_t>> multicast_;  // guarded by lock_
    uint32_t echoed_ = 0;                          // guarded by lock_
};

}  // namespace sim::devices
