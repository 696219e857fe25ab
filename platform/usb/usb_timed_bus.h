// The wire at the bus's own rate: devices attached to a timed_bus move bulk
// and interrupt packets only when the bus runs a frame, as many as the frame
// has room for, on the platform clock (the virtual one makes the figures the
// same on every machine).
//
// The rates are USB 2.0's (chapter 5): a high-speed bus runs 125-us
// microframes, of which one carries at most 13 bulk packets of 512 bytes; a
// full-speed bus runs 1-ms frames carrying at most 19 bulk packets of 64
// bytes. Every packet takes one of those slots whatever its size, so a
// zero-length packet costs as much as a full one. Interrupt endpoints are
// served first (the periodic schedule) and only in the frames their polling
// interval makes due: bInterval frames at full or low speed, 2^(bInterval-1)
// microframes at high speed.
//
// A frame: the clock moves to the frame's end, the bus visits the attached
// devices in turn, each visit moving at most one packet per endpoint (as a
// host controller round-robins its queue heads), until the slots are gone or
// nothing moves; then the transfers that ended complete, at the frame's end.
// A transfer sent from a completion therefore starts in the next frame, and
// how many transfers a driver keeps queued decides how full the frames are.
// A host IN transfer ends on a full buffer, a short packet or a zero-length
// packet, as on an untimed wire; an OUT transfer of n bytes takes
// ceil(n / wMaxPacketSize) slots, one when n is 0.
//
// Frames run only when the owner asks (run_frame); time the clock moves
// otherwise (a delay elsewhere) is time the bus stood idle. Control transfers
// are not timed. One thread runs the frames; completions run on it (inline
// completion mode) or on the platform's threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "usb/usb_device.h"

namespace sim::usb {

class timed_bus {
 public:
    explicit timed_bus(usb_speed speed);
    ~timed_bus();  // detaches every device
    timed_bus(const timed_bus&) = delete;
    timed_bus& operator=(const timed_bus&) = delete;

    // The device moves packets only in this bus's frames from now on. A
    // high-speed device needs a high-speed bus and the other way round
    // (std::invalid_argument); a low-speed one runs on a full-speed bus.
    void attach(std::shared_ptr<device> dev);
    // Back to moving data at once; what waited for a frame moves now.
    void detach(const std::shared_ptr<device>& dev);

    usb_speed speed() const { return speed_; }
    int64_t frame_length() const;      // platform clock units (100 ns): 1250 or 10000
    unsigned slots_per_frame() const;  // 13 or 19
    uint16_t bulk_packet() const;      // 512 or 64
    // The most bulk payload the bus carries per second.
    double limit_bytes_per_second() const;

    struct frame_result {
        uint64_t frame = 0;  // its number, in frame_length() units from clock 0
        unsigned packets = 0;
        uint64_t bytes = 0;  // payload
    };
    // Runs the next frame (starting no earlier than the clock) and leaves the
    // clock at its end.
    frame_result run_frame();
    void run_frames(uint64_t count);

    // Since the bus was made.
    uint64_t frames_run() const { return frames_; }
    uint64_t packets_moved() const { return packets_; }
    uint64_t bytes_moved() const { return bytes_; }

 private:
    const usb_speed speed_;
    std::mutex lock_;
    std::vector<std::shared_ptr<device>> devices_;  // guarded by lock_
    uint64_t next_frame_ = 0;                       // the frame thread's
    uint64_t frames_ = 0;
    uint64_t packets_ = 0;
    uint64_t bytes_ = 0;
};

}  // namespace sim::usb
