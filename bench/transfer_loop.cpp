#include "bench/transfer_loop.h"

#include <thread>

namespace cdc::bench {

namespace {
// The byte a read of the given packet carries, so a lost or misplaced packet shows.
uint8_t pattern(uint64_t packet) { return static_cast<uint8_t>(0x30 + packet % 64); }
}  // namespace

transfer_loop::transfer_loop(path& p, direction dir, ULONG length, unsigned depth)
    : path_(p), dir_(dir), length_(length), depth_(depth), batch_(4 * depth) {
    // More buffers than transfers in flight, with room for completions that
    // finish out of order, so no two reads in flight share one.
    buffers_.assign(2 * depth + p.lanes(), std::vector<uint8_t>(length, 0x5a));
}

void transfer_loop::queue_reads(const hooks* h) {
    drain();
    if (h != nullptr && h->pause) h->pause();
    for (size_t lane = 0; lane < path_.lanes(); ++lane) {
        for (unsigned i = 0; i < batch_; ++i) {
            path_.device(lane).push_in(data_in, std::vector<uint8_t>(length_, pattern(queued_ + i)));
        }
    }
    queued_ += batch_;
    if (h != nullptr && h->resume) h->resume();
}

void transfer_loop::step(const hooks* h) {
    if (dir_ == direction::in && started_ == queued_ * path_.lanes()) queue_reads(h);
    if (started_ >= depth_) path_.done().wait_for(started_ - depth_ + 1);
    const size_t lane = started_ % path_.lanes();
    std::vector<uint8_t>& buffer = buffers_[started_ % buffers_.size()];
    for (;;) {
        const bool ok = dir_ == direction::out ? path_.write(lane, buffer.data(), length_)
                                               : path_.read(lane, buffer.data(), length_);
        if (ok) break;
        // A record or slot of a finished transfer is still on its way back.
        refused_++;
        std::this_thread::yield();
    }
    started_++;
}

void transfer_loop::drain() { path_.done().wait_for(started_); }

bool transfer_loop::data_intact() const {
    if (dir_ != direction::in || started_ == 0) return true;
    // The last read of each lane holds the packet of its turn: a lane's k-th
    // read gets the k-th packet queued for it.
    for (size_t lane = 0; lane < path_.lanes() && lane < started_; ++lane) {
        const uint64_t last = started_ - 1 - (started_ - 1 - lane) % path_.lanes();
        const std::vector<uint8_t>& buffer = buffers_[last % buffers_.size()];
        const uint8_t expected = pattern(last / path_.lanes());
        for (uint8_t b : buffer) {
            if (b != expected) return false;
        }
    }
    return path_.last_bytes() == length_;
}

}  // namespace cdc::bench
