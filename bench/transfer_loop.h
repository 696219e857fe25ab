// The steady-state loop both paths run: one asynchronous transfer per step,
// at most `depth` of them in flight, spread over the lanes in turn. Reads
// need data at the device: it is queued a batch at a time, outside the
// measured time and the allocation count, while nothing is in flight.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "bench/rig.h"

namespace cdc::bench {

enum class direction { out, in };

class transfer_loop {
 public:
    // Called around work that is not part of a transfer (queueing read data).
    struct hooks {
        std::function<void()> pause;
        std::function<void()> resume;
    };

    transfer_loop(path& p, direction dir, ULONG length, unsigned depth);

    // One transfer started (it may still be in flight).
    void step(const hooks* h = nullptr);
    // Waits until every transfer started has finished.
    void drain();

    uint64_t started() const { return started_; }
    uint64_t refused() const { return refused_; }
    // Reads: whether every finished read brought the bytes the device sent.
    bool data_intact() const;

 private:
    void queue_reads(const hooks* h);

    path& path_;
    direction dir_;
    ULONG length_;
    unsigned depth_;
    unsigned batch_;  // reads queued per lane at a time
    std::vector<std::vector<uint8_t>> buffers_;
    uint64_t started_ = 0;
    uint64_t queued_ = 0;  // reads the device has data for
    uint64_t refused_ = 0;
};

}  // namespace cdc::bench
