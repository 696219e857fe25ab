#include "devices/models/dfu.h"

#include <algorithm>

namespace sim::devices {

namespace {
constexpr uint8_t protocol_runtime = 1;
constexpr uint8_t attribute_manifestation_tolerant = 0x04;
}  // namespace

dfu::dfu(function_layout layout)
    : function_model(std::move(layout)),
      state_(this->layout().protocol == protocol_runtime ? state::app_idle : state::dfu_idle) {
    // DFU functional: bLength, type, bmAttributes, wDetachTimeOut (2),
    // wTransferSize (2), bcdDFUVersion (2).
    const std::vector<uint8_t> functional = this->layout().class_descriptor(usb::functional_descriptor);
    if (functional.size() >= 7) {
        manifestation_tolerant_ = (functional[2] & attribute_manifestation_tolerant) != 0;
        const uint16_t size = static_cast<uint16_t>(functional[5] | functional[6] << 8);
        if (size != 0) transfer_size_ = size;
    }
    // A fixed image, so an upload before any download has something to read.
    for (unsigned i = 0; i < 100; ++i) image_.push_back(static_cast<uint8_t>(i));
}

dfu::state dfu::current_state() const {
    std::lock_guard<std::mutex> guard(lock_);
    follow_resets();
    return state_;
}

dfu::status dfu::current_status() const {
    std::lock_guard<std::mutex> guard(lock_);
    return status_;
}

std::vector<uint8_t> dfu::image() const {
    std::lock_guard<std::mutex> guard(lock_);
    return image_;
}

void dfu::set_image(std::vector<uint8_t> image) {
    std::lock_guard<std::mutex> guard(lock_);
    image_ = std::move(image);
}

void dfu::follow_resets() const {
    const uint32_t resets = bus_resets();
    if (resets == resets_at_) return;
    resets_at_ = resets;
    if (state_ == state::app_detach || state_ == state::manifest_wait_reset) {
        state_ = state::dfu_idle;
        status_ = status::ok;
    }
}

usb::control_reply dfu::fail() {
    if (state_ != state::app_idle && state_ != state::app_detach) {
        state_ = state::error;
        status_ = status::err_stalled_packet;
    }
    return stall();
}

usb::control_reply dfu::on_control(const usb::setup_packet& s, uint8_t* data) {
    if (s.type() != BMREQUEST_CLASS || s.recipient() != BMREQUEST_TO_INTERFACE) return stall();
    std::lock_guard<std::mutex> guard(lock_);
    follow_resets();
    const bool in = s.device_to_host();
    const bool runtime = state_ == state::app_idle || state_ == state::app_detach;
    switch (s.bRequest) {
        case getstatus_request: {
            if (!in) return fail();
            // The status reports the state the request moves the device to.
            if (state_ == state::dnload_sync) {
                state_ = state::dnload_idle;
            } else if (state_ == state::manifest_sync) {
                state_ = state::manifest;
            } else if (state_ == state::manifest) {
                state_ = manifestation_tolerant_ ? state::dfu_idle : state::manifest_wait_reset;
            }
            return reply_with(s, data, {static_cast<uint8_t>(status_), 0, 0, 0, static_cast<uint8_t>(state_), 0});
        }
        case getstate_request:
            if (!in) return fail();
            return reply_with(s, data, {static_cast<uint8_t>(state_)});
        case detach_request:
            if (in || state_ != state::app_idle) return fail();
            state_ = state::app_detach;
            return ok();
        default:
            break;
    }
    if (runtime) return stall();
    switch (s.bRequest) {
        case dnload_request:
            if (in || s.wLength > transfer_size_) return fail();
            if (s.wLength == 0) {
                if (state_ != state::dnload_idle) return fail();
                state_ = state::manifest_sync;
                return ok();
            }
            if (state_ == state::dfu_idle) {
                image_.clear();
            } else if (state_ != state::dnload_idle) {
                return fail();
            }
            image_.insert(image_.end(), data, data + s.wLength);
            state_ = state::dnload_sync;
            return ok(s.wLength);
        case upload_request: {
            if (!in || s.wLength > transfer_size_) return fail();
            if (state_ == state::dfu_idle) {
                upload_offset_ = 0;
            } else if (state_ != state::upload_idle) {
                return fail();
            }
            const size_t n = std::min<size_t>(s.wLength, image_.size() - upload_offset_);
            std::vector<uint8_t> block(image_.begin() + static_cast<long>(upload_offset_),
                                       image_.begin() + static_cast<long>(upload_offset_ + n));
            upload_offset_ += n;
            state_ = n < s.wLength ? state::dfu_idle : state::upload_idle;
            return reply_with(s, data, block);
        }
        case clrstatus_request:
            if (in || state_ != state::error) return fail();
            state_ = state::dfu_idle;
            status_ = status::ok;
            return ok();
        case abort_request:
            if (in) return fail();
            switch (state_) {
                case state::dfu_idle:
                case state::dnload_sync:
                case state::dnload_idle:
                case state::manifest_sync:
                case state::upload_idle:
                    state_ = state::dfu_idle;
                    return ok();
                default:
                    return fail();
            }
        default:
            return fail();
    }
}

}  // namespace sim::devices
