#include "usb/usb_timed_bus.h"

#include <algorithm>
#include <stdexcept>

#include "sim/kernel.h"

namespace sim::usb {

namespace {
// USB 2.0: a full-speed frame is 1 ms, a high-speed microframe 125 us
// (8.4.3.1); the bulk limits (5.8.4) are 13 transactions of 512 bytes per
// microframe and 19 of 64 bytes per frame.
constexpr int64_t microframe_100ns = 1250;
constexpr int64_t frame_100ns = 10000;
constexpr unsigned high_speed_bulk_slots = 13;
constexpr unsigned full_speed_bulk_slots = 19;
}  // namespace

timed_bus::timed_bus(usb_speed speed) : speed_(speed == usb_speed::low ? usb_speed::full : speed) {}

timed_bus::~timed_bus() {
    std::vector<std::shared_ptr<device>> devices;
    {
        std::lock_guard<std::mutex> guard(lock_);
        devices.swap(devices_);
    }
    for (const std::shared_ptr<device>& dev : devices) dev->set_timed(false);
}

void timed_bus::attach(std::shared_ptr<device> dev) {
    const bool high = dev->descriptors().speed == usb_speed::high;
    if (high != (speed_ == usb_speed::high)) {
        throw std::invalid_argument("sim::usb::timed_bus::attach: the device runs at another speed than the bus");
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (std::find(devices_.begin(), devices_.end(), dev) != devices_.end()) return;
        devices_.push_back(dev);
    }
    dev->set_timed(true);
}

void timed_bus::detach(const std::shared_ptr<device>& dev) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = std::find(devices_.begin(), devices_.end(), dev);
        if (it == devices_.end()) return;
        devices_.erase(it);
    }
    dev->set_timed(false);
}

int64_t timed_bus::frame_length() const { return speed_ == usb_speed::high ? microframe_100ns : frame_100ns; }

unsigned timed_bus::slots_per_frame() const {
    return speed_ == usb_speed::high ? high_speed_bulk_slots : full_speed_bulk_slots;
}

uint16_t timed_bus::bulk_packet() const { return speed_ == usb_speed::high ? 512 : 64; }

double timed_bus::limit_bytes_per_second() const {
    return static_cast<double>(slots_per_frame()) * bulk_packet() * 1e7 / static_cast<double>(frame_length());
}

timed_bus::frame_result timed_bus::run_frame() {
    const int64_t length = frame_length();
    const int64_t now = sim::clock_now();
    const uint64_t first_whole = static_cast<uint64_t>((now + length - 1) / length);
    frame_result r;
    r.frame = std::max(next_frame_, first_whole);
    const int64_t end = static_cast<int64_t>(r.frame + 1) * length;
    if (now < end) sim::clock_advance(end - now);

    std::vector<std::shared_ptr<device>> devices;
    {
        std::lock_guard<std::mutex> guard(lock_);
        devices = devices_;
    }
    if (!devices.empty()) {
        // The first device visited changes from frame to frame, as the
        // endpoints within one do.
        const size_t start = static_cast<size_t>(r.frame % devices.size());
        unsigned slots = slots_per_frame();
        for (bool periodic : {true, false}) {
            for (;;) {
                unsigned moved = 0;
                for (size_t i = 0; i < devices.size() && slots != 0; ++i) {
                    moved += devices[(start + i) % devices.size()]->frame_pass(r.frame, periodic, &slots, &r.bytes);
                }
                r.packets += moved;
                if (moved == 0 || slots == 0) break;
            }
        }
        for (const std::shared_ptr<device>& dev : devices) dev->frame_end();
    }
    next_frame_ = r.frame + 1;
    frames_++;
    packets_ += r.packets;
    bytes_ += r.bytes;
    return r;
}

void timed_bus::run_frames(uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) run_frame();
}

}  // namespace sim::usb
