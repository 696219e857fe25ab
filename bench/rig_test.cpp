// Both paths of the benchmarks do the same thing on the wire, and what the
// benchmarks count (completions, refusals, read data, allocations) is right.
#include "bench/rig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "bench/alloc_count.h"
#include "bench/transfer_loop.h"
#include "sim/kernel.h"

namespace cdc::bench {
namespace {

std::vector<completion> offered_modes() {
    std::vector<completion> out;
    for (completion mode : {completion::threads, completion::inline_send}) {
        if (completion_offered(mode)) out.push_back(mode);
    }
    return out;
}

class bench_paths : public ::testing::Test {
 protected:
    static options recorded(unsigned lanes = 1, uint32_t enable_zlp = 1, completion mode = completion::threads) {
        options o;
        o.lanes = lanes;
        o.enable_zlp = enable_zlp;
        o.mode = mode;
        o.depth = 4;
        o.recording = true;
        return o;
    }

    static std::unique_ptr<path> open(bool driver, const options& o) {
        if (driver) return std::make_unique<driver_path>(o);
        return std::make_unique<bare_path>(o);
    }

    // The lengths of what each lane's device received on its data OUT pipe.
    static std::vector<std::vector<size_t>> out_lengths(path& p) {
        std::vector<std::vector<size_t>> out(p.lanes());
        for (size_t lane = 0; lane < p.lanes(); ++lane) {
            for (const auto& r : p.device(lane).traffic()) {
                if (r.type == sim::usb::transfer_record::kind::bulk_or_interrupt && r.endpoint == data_out) {
                    out[lane].push_back(r.data.size());
                }
            }
        }
        return out;
    }

    // What the devices saw after n writes of the loop on one path.
    static std::vector<std::vector<size_t>> wire_after_writes(bool driver, const options& o, ULONG length, unsigned n) {
        std::unique_ptr<path> p = open(driver, o);
        transfer_loop loop(*p, direction::out, length, o.depth);
        for (unsigned i = 0; i < n; ++i) loop.step();
        loop.drain();
        EXPECT_EQ(p->failures(), 0u);
        EXPECT_EQ(p->done().count(), n);
        return out_lengths(*p);
    }

    static std::vector<size_t> repeat(std::vector<size_t> unit, unsigned n) {
        std::vector<size_t> out;
        for (unsigned i = 0; i < n; ++i) out.insert(out.end(), unit.begin(), unit.end());
        return out;
    }
};

TEST_F(bench_paths, both_paths_put_the_same_packets_on_the_wire) {
    for (completion mode : offered_modes()) {
        SCOPED_TRACE(completion_name(mode));
        const options o = recorded(1, 1, mode);
        // A whole high-speed packet needs a zero-length packet behind it; a short one ends the transfer.
        EXPECT_EQ(wire_after_writes(true, o, 512, 10), (std::vector<std::vector<size_t>>{repeat({512, 0}, 10)}));
        EXPECT_EQ(wire_after_writes(false, o, 512, 10), (std::vector<std::vector<size_t>>{repeat({512, 0}, 10)}));
        EXPECT_EQ(wire_after_writes(true, o, 511, 10), (std::vector<std::vector<size_t>>{repeat({511}, 10)}));
        EXPECT_EQ(wire_after_writes(false, o, 511, 10), (std::vector<std::vector<size_t>>{repeat({511}, 10)}));
    }
}

TEST_F(bench_paths, without_enable_zlp_both_paths_follow_every_write_with_a_zlp) {
    const options o = recorded(1, 0);
    EXPECT_EQ(wire_after_writes(true, o, 511, 6), (std::vector<std::vector<size_t>>{repeat({511, 0}, 6)}));
    EXPECT_EQ(wire_after_writes(false, o, 511, 6), (std::vector<std::vector<size_t>>{repeat({511, 0}, 6)}));
}

TEST_F(bench_paths, two_lanes_take_the_transfers_in_turn) {
    const options o = recorded(2);
    const std::vector<std::vector<size_t>> each_three{repeat({512, 0}, 3), repeat({512, 0}, 3)};
    EXPECT_EQ(wire_after_writes(true, o, 512, 6), each_three);
    EXPECT_EQ(wire_after_writes(false, o, 512, 6), each_three);
}

// What the routing benchmark compares: a control device's children, each
// call routed to the modem serving it, move the same data as direct children.
TEST_F(bench_paths, control_device_children_move_the_same_data) {
    for (completion mode : offered_modes()) {
        SCOPED_TRACE(completion_name(mode));
        options o = recorded(2, 1, mode);
        o.control_device = true;
        const std::vector<std::vector<size_t>> each_three{repeat({512, 0}, 3), repeat({512, 0}, 3)};
        EXPECT_EQ(wire_after_writes(true, o, 512, 6), each_three);
        std::unique_ptr<path> p = open(true, o);
        transfer_loop loop(*p, direction::in, 512, o.depth);
        for (unsigned i = 0; i < 17; ++i) loop.step();
        loop.drain();
        EXPECT_EQ(p->failures(), 0u);
        EXPECT_TRUE(loop.data_intact());
    }
}

TEST_F(bench_paths, reads_bring_the_queued_packets_in_order) {
    for (completion mode : offered_modes()) {
        for (bool driver : {true, false}) {
            SCOPED_TRACE(std::string(completion_name(mode)) + (driver ? " driver" : " bare"));
            for (unsigned lanes : {1u, 2u}) {
                const options o = recorded(lanes, 1, mode);
                std::unique_ptr<path> p = open(driver, o);
                transfer_loop loop(*p, direction::in, 512, o.depth);
                // Past a few batches, and ending mid-turn on two lanes.
                for (unsigned i = 0; i < 41; ++i) loop.step();
                loop.drain();
                EXPECT_EQ(p->failures(), 0u);
                EXPECT_EQ(p->done().count(), 41u);
                EXPECT_TRUE(loop.data_intact());
            }
        }
    }
}

TEST_F(bench_paths, a_stray_packet_at_the_device_shows_as_wrong_read_data) {
    for (bool driver : {true, false}) {
        SCOPED_TRACE(driver ? "driver" : "bare");
        const options o = recorded();
        std::unique_ptr<path> p = open(driver, o);
        p->device(0).push_in(data_in, std::vector<uint8_t>(512, 0xee));
        transfer_loop loop(*p, direction::in, 512, o.depth);
        for (unsigned i = 0; i < 5; ++i) loop.step();
        loop.drain();
        EXPECT_FALSE(loop.data_intact());
    }
}

TEST_F(bench_paths, a_full_pool_refuses_until_the_device_takes_the_data) {
    const options o = recorded();
    std::vector<uint8_t> buffer(512, 1);
    // The driver's pool: depth + 2 writes, each with its zero-length packet;
    // the bare ring: depth + 1 request pairs.
    for (bool driver : {true, false}) {
        SCOPED_TRACE(driver ? "driver" : "bare");
        std::unique_ptr<path> p = open(driver, o);
        p->device(0).hold_out(data_out, true);
        const unsigned capacity = driver ? o.depth + 2 : o.depth + 1;
        for (unsigned i = 0; i < capacity; ++i) ASSERT_TRUE(p->write(0, buffer.data(), 512)) << i;
        EXPECT_FALSE(p->write(0, buffer.data(), 512));
        EXPECT_EQ(p->done().count(), 0u);

        p->device(0).hold_out(data_out, false);
        p->done().wait_for(capacity);
        EXPECT_EQ(p->failures(), 0u);
        EXPECT_EQ(p->last_bytes(), 512u);
        path::quiesce();
        EXPECT_TRUE(p->write(0, buffer.data(), 512));
        p->done().wait_for(capacity + 1);
    }
}

TEST_F(bench_paths, the_driver_path_closes_cleanly_right_after_its_last_callback) {
    options o = recorded();
    o.recording = false;
    driver_path p(o);
    transfer_loop loop(p, direction::out, 512, o.depth);
    for (unsigned i = 0; i < 200; ++i) loop.step();
    loop.drain();
    EXPECT_EQ(p.close(), STATUS_SUCCESS);
}

TEST_F(bench_paths, the_bare_path_allocates_nothing_once_warm) {
    for (direction dir : {direction::out, direction::in}) {
        options o = recorded();
        o.recording = false;
        bare_path p(o);
        transfer_loop loop(p, dir, 512, o.depth);
        for (unsigned i = 0; i < 64; ++i) loop.step();
        loop.drain();
        transfer_loop::hooks hooks{alloc_count::pause, alloc_count::resume};
        alloc_count::start();
        for (unsigned i = 0; i < 200; ++i) loop.step(&hooks);
        loop.drain();
        EXPECT_EQ(alloc_count::stop(), 0u) << (dir == direction::out ? "writes" : "reads");
    }
}

// What a steady-state transfer costs on a path: framework calls, spin-lock
// acquisitions and heap allocations, per transfer.
struct transfer_cost {
    double calls = 0;
    double spin_locks = 0;
    double allocations = 0;
    // Attempts refused while a finished transfer's record was on its way
    // back (completion threads only): each costs calls of its own.
    uint64_t refused = 0;

    // Counts comparable with another path's: nothing was refused.
    bool exact() const { return refused == 0; }
};

// The fewest calls of three measured rounds: on a busy machine a round may
// also count the platform's own work (a power timer firing while the test
// waits), which only ever adds calls. Allocations count in every round.
transfer_cost steady_cost(path& p, direction dir, ULONG length, unsigned depth) {
    constexpr unsigned n = 200;
    transfer_loop loop(p, dir, length, depth);
    for (unsigned i = 0; i < 8 * depth; ++i) loop.step();
    loop.drain();
    transfer_loop::hooks hooks{alloc_count::pause, alloc_count::resume};
    transfer_cost cost;
    uint64_t allocations = 0;
    for (int round = 0; round < 3; ++round) {
        const sim::call_counts before = sim::call_counts_read();
        alloc_count::start();
        for (unsigned i = 0; i < n; ++i) loop.step(&hooks);
        loop.drain();
        allocations += alloc_count::stop();
        const sim::call_counts after = sim::call_counts_read();
        const double calls = static_cast<double>(after.framework_calls - before.framework_calls) / n;
        const double spin_locks = static_cast<double>(after.spin_lock_acquisitions - before.spin_lock_acquisitions) / n;
        if (round == 0 || calls < cost.calls) cost.calls = calls;
        if (round == 0 || spin_locks < cost.spin_locks) cost.spin_locks = spin_locks;
    }
    EXPECT_EQ(p.failures(), 0u);
    cost.refused = loop.refused();
    cost.allocations = static_cast<double>(allocations) / (3 * n);
    return cost;
}

// The driver's own share of a transfer: the child's context (a lookup the
// framework answers from the handle) and one pool lock to take the record
// (with a write's packet record), nothing else: the records go back recycled
// without the lock, a recycled request's IRP comes from its record.
// Everything else is what the bare path calls too.
TEST_F(bench_paths, the_driver_path_adds_few_framework_calls_and_allocates_nothing) {
    for (completion mode : offered_modes()) {
        for (unsigned lanes : {1u, 2u}) {
            SCOPED_TRACE(std::string(completion_name(mode)) + ", lanes " + std::to_string(lanes));
            options o = recorded(lanes, 1, mode);
            o.recording = false;
            // With completion threads a round also counts calls of the
            // platform's own threads, and with two lanes the count depends on
            // how the lanes interleave: only one inline lane's count is exact
            // enough to bound.
            const bool counted = mode == completion::inline_send && lanes == 1;
            for (ULONG length : {512u, 511u}) {
                const transfer_cost bare = [&] {
                    bare_path p(o);
                    return steady_cost(p, direction::out, length, o.depth);
                }();
                driver_path p(o);
                const transfer_cost driver = steady_cost(p, direction::out, length, o.depth);
                if (counted && driver.exact() && bare.exact()) {
                    EXPECT_LE(driver.calls, bare.calls + 3) << "write " << length;
                    EXPECT_LE(driver.spin_locks, 1.0) << "write " << length;
                }
                EXPECT_EQ(driver.allocations, 0.0) << "write " << length;
            }
            const transfer_cost bare = [&] {
                bare_path p(o);
                return steady_cost(p, direction::in, 512, o.depth);
            }();
            driver_path p(o);
            const transfer_cost driver = steady_cost(p, direction::in, 512, o.depth);
            if (counted && driver.exact() && bare.exact()) {
                EXPECT_LE(driver.calls, bare.calls + 3);
                EXPECT_LE(driver.spin_locks, 1.0);
            }
            EXPECT_EQ(driver.allocations, 0.0);
        }
    }
}

// A routed call pins its serving device by a hold on the device's rundown
// alone, read with no lock: no framework call, spin lock or reference of its
// own per call, and no walk of the registered devices under the driver-wide
// lock.
TEST_F(bench_paths, a_routed_transfer_costs_no_framework_call_or_lock_of_its_own) {
    for (completion mode : offered_modes()) {
        SCOPED_TRACE(completion_name(mode));
        options o = recorded(1, 1, mode);
        o.recording = false;
        for (direction dir : {direction::out, direction::in}) {
            const transfer_cost direct = [&] {
                driver_path p(o);
                return steady_cost(p, dir, 512, o.depth);
            }();
            options routed = o;
            routed.control_device = true;
            driver_path p(routed);
            const transfer_cost control = steady_cost(p, dir, 512, o.depth);
            if (control.exact() && direct.exact()) {
                EXPECT_LE(control.spin_locks, direct.spin_locks);
                // Only the inline count is exact.
                if (mode == completion::inline_send) {
                    EXPECT_LE(control.calls, direct.calls);
                }
            }
            EXPECT_EQ(control.allocations, 0.0);
        }
    }
}

class alloc_counting : public ::testing::Test {
 protected:
    void TearDown() override { alloc_count::stop(); }
};

TEST_F(alloc_counting, counts_only_while_on) {
    // Kept from the optimiser, which may drop an allocation nobody looks at.
    int* volatile one = nullptr;
    char* volatile many = nullptr;
    alloc_count::start();
    one = new int(1);
    delete one;
    alloc_count::pause();
    one = new int(2);
    delete one;
    alloc_count::resume();
    many = new char[3];
    delete[] many;
    EXPECT_EQ(alloc_count::stop(), 2u);
    one = new int(4);
    delete one;
    alloc_count::start();
    EXPECT_EQ(alloc_count::stop(), 0u);
}

TEST_F(alloc_counting, the_c_allocator_counts_too_where_it_is_hooked) {
    alloc_count::start();
    void* volatile p = std::malloc(16);
    std::free(p);
    EXPECT_EQ(alloc_count::stop(), alloc_count::counts_malloc() ? 1u : 0u);
}

}  // namespace
}  // namespace cdc::bench
