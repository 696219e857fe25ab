// A one-slot smart-card reader with a card inserted, behind an ICCD
// function's descriptors. The card answers every APDU with the response set
// by set_response() (90 00 at first).
//
// Class requests to the interface (protocols 1 and 2, control transfers):
// - ICC_POWER_ON (0x62): powers the card. Sent IN, the data stage is the
//   ATR; sent OUT, the ATR waits for DATA_BLOCK.
// - ICC_POWER_OFF (0x63): unpowers it and drops a waiting response.
// - XFR_BLOCK (0x65, OUT): one APDU; the card's response waits for
//   DATA_BLOCK. Stalls while the card is unpowered.
// - DATA_BLOCK (0x6F, IN): the waiting response, whole (a zero-length data
//   stage when nothing waits).
// - GET_ICC_STATUS (0xA0, IN): one byte: bits 0-1 as a slot's ICC status
//   (0 powered, 1 present and unpowered), 0x20 set while a response waits.
// - ABORT (0x01, OUT): drops a waiting response.
// - GET_CLOCK_FREQUENCIES (0x02) / GET_DATA_RATES (0x03), IN: dwDefaultClock
//   (kHz) / dwDataRate (bps) of the class descriptor, 4 bytes each.
// Anything else stalls.
//
// Protocol 0 carries the same exchange as messages on the bulk pipes:
// IccPowerOn (0x62) and XfrBlock (0x6F) are answered with DataBlock (0x80),
// IccPowerOff (0x63), GetSlotStatus (0x65) and anything else with
// SlotStatus (0x81); an XfrBlock to an unpowered card fails (bStatus 0x41,
// bError 0xFE), an unknown message with bError 0 (not supported).
//
// The interrupt IN endpoint, where there is one, carries slot changes:
// notify_slot_change().
#pragma once

#include <vector>

#include "devices/models/function_model.h"

namespace sim::devices {

class iccd : public function_model {
 public:
    static constexpr uint8_t icc_power_on_request = 0x62;
    static constexpr uint8_t icc_power_off_request = 0x63;
    static constexpr uint8_t xfr_block_request = 0x65;
    static constexpr uint8_t data_block_request = 0x6f;
    static constexpr uint8_t get_icc_status_request = 0xa0;
    static constexpr uint8_t abort_request = 0x01;
    static constexpr uint8_t get_clock_frequencies_request = 0x02;
    static constexpr uint8_t get_data_rates_request = 0x03;

    static constexpr uint8_t status_powered = 0x00;
    static constexpr uint8_t status_unpowered = 0x01;
    static constexpr uint8_t status_response_waiting = 0x20;

    explicit iccd(function_layout layout);
    const char* kind() const override { return "iccd"; }

    // T=1, no historical bytes but one, checksum included.
    static std::vector<uint8_t> default_atr();

    bool powered() const;
    std::vector<std::vector<uint8_t>> apdus() const;  // every APDU received, in order
    void set_response(std::vector<uint8_t> response);
    // NotifySlotChange on the interrupt IN endpoint; false without one.
    bool notify_slot_change(bool card_present);

 protected:
    usb::control_reply on_control(const usb::setup_packet& setup, uint8_t* data) override;
    int32_t on_out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    void on_configuration(uint8_t configuration_value) override;

 private:
    std::vector<uint8_t> bulk_message(const std::vector<uint8_t>& message);

    uint32_t default_clock_khz_ = 4000;
    uint32_t data_rate_bps_ = 9600;

    mutable std::mutex lock_;
    bool powered_ = false;                       // guarded by lock_
    std::vector<uint8_t> waiting_;               // guarded by lock_; the response DATA_BLOCK returns
    bool has_waiting_ = false;                   // guarded by lock_
    std::vector<uint8_t> response_{0x90, 0x00};  // guarded by lock_
    std::vector<std::vector<uint8_t>> apdus_;    // guarded by lock_
};

}  // namespace sim::devices
