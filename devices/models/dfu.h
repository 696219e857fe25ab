// A firmware updater behind a DFU interface's descriptors.
//
// Interface protocol 1 (run-time) starts in appIDLE: DFU_DETACH moves it to
// appDETACH, and the next port reset or cycle puts it in DFU mode (dfuIDLE),
// where protocol 2 (DFU mode) starts. In run-time mode only DETACH,
// GETSTATUS and GETSTATE are answered; anything else stalls.
//
// In DFU mode:
// - DNLOAD (1) with data, in dfuIDLE or dfuDNLOAD-IDLE: the block (at most
//   wTransferSize of the functional descriptor) is appended to the image;
//   dfuDNLOAD-SYNC, and the next GETSTATUS reports dfuDNLOAD-IDLE (the block
//   is written at once). DNLOAD with no data in dfuDNLOAD-IDLE ends the
//   download: dfuMANIFEST-SYNC; GETSTATUS then reports dfuMANIFEST, and the
//   one after that dfuIDLE (manifestation tolerant) or
//   dfuMANIFEST-WAIT-RESET (not tolerant, until a port reset).
// - UPLOAD (2) in dfuIDLE or dfuUPLOAD-IDLE: the next wLength bytes of the
//   image; a short block ends the upload (dfuIDLE).
// - GETSTATUS (3): bStatus, bwPollTimeout (3 bytes, 0), bState, iString 0.
// - CLRSTATUS (4) in dfuERROR: dfuIDLE, status OK.
// - GETSTATE (5): bState.
// - ABORT (6) in the idle and sync states: dfuIDLE.
// A request that is not valid in the state stalls and, in DFU mode, moves
// the device to dfuERROR with errSTALLEDPKT, as the DFU state machine has it.
#pragma once

#include <vector>

#include "devices/models/function_model.h"

namespace sim::devices {

class dfu : public function_model {
 public:
    enum class state : uint8_t {
        app_idle = 0,
        app_detach = 1,
        dfu_idle = 2,
        dnload_sync = 3,
        dnbusy = 4,
        dnload_idle = 5,
        manifest_sync = 6,
        manifest = 7,
        manifest_wait_reset = 8,
        upload_idle = 9,
        error = 10,
    };
    enum class status : uint8_t { ok = 0x00, err_not_done = 0x09, err_stalled_packet = 0x0f };

    static constexpr uint8_t detach_request = 0;
    static constexpr uint8_t dnload_request = 1;
    static constexpr uint8_t upload_request = 2;
    static constexpr uint8_t getstatus_request = 3;
    static constexpr uint8_t clrstatus_request = 4;
    static constexpr uint8_t getstate_request = 5;
    static constexpr uint8_t abort_request = 6;

    explicit dfu(function_layout layout);
    const char* kind() const override { return "dfu"; }

    state current_state() const;
    status current_status() const;
    std::vector<uint8_t> image() const;  // what was downloaded (or given to upload)
    void set_image(std::vector<uint8_t> image);
    uint16_t transfer_size() const { return transfer_size_; }

 protected:
    usb::control_reply on_control(const usb::setup_packet& setup, uint8_t* data) override;

 private:
    // Under lock_: a port reset seen since DETACH or a manifestation that
    // waits for one.
    void follow_resets() const;
    usb::control_reply fail();  // under lock_

    uint16_t transfer_size_ = 1024;
    bool manifestation_tolerant_ = true;

    mutable std::mutex lock_;
    // A reset is seen when the state is next looked at, so these change under
    // a const look too.
    mutable state state_;                 // guarded by lock_
    mutable status status_ = status::ok;  // guarded by lock_
    std::vector<uint8_t> image_;          // guarded by lock_
    size_t upload_offset_ = 0;            // guarded by lock_
    mutable uint32_t resets_at_ = 0;      // guarded by lock_; bus resets when it last looked
};

}  // namespace sim::devices
