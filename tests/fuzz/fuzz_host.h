// What the fuzz targets share: reading the input a field at a time, and a
// simulated host with the driver loaded that checks for leaks as it goes.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "cdc/bus/kernel/winnt/cdc_bus_interface.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "wdf/wdf_request.h"

#undef min
#undef max

namespace cdc_fuzz {

// The input, consumed from the front; past its end every field reads 0.
class input {
 public:
    input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() {
        uint16_t lo = u8();
        return static_cast<uint16_t>(lo | (u8() << 8));
    }
    uint32_t u32() {
        uint32_t lo = u16();
        return lo | (static_cast<uint32_t>(u16()) << 16);
    }
    std::vector<uint8_t> bytes(size_t n) {
        n = n < remaining() ? n : remaining();
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    std::vector<uint8_t> rest() { return bytes(remaining()); }
    size_t remaining() const { return size_ - pos_; }
    bool empty() const { return pos_ >= size_; }

 private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// What keeping the host between inputs saved: FUZZ_STATS=1 prints, at exit,
// the inputs run and the plugs, unplugs and hosts they cost.
struct reuse_stats {
    unsigned long inputs = 0, plugs = 0, unplugs = 0, hosts = 0;

    static reuse_stats& get() {
        static reuse_stats* s = [] {
            auto* made = new reuse_stats;
            if (getenv("FUZZ_STATS") != nullptr) atexit(print);
            return made;
        }();
        return *s;
    }
    static void print() {
        const reuse_stats& s = get();
        fprintf(stderr, "reuse: %lu inputs, %lu plugs, %lu unplugs, %lu hosts\n", s.inputs, s.plugs, s.unplugs,
                s.hosts);
    }
};

// How many inputs one host serves at most before the bench makes a fresh
// one. The framework keeps every object the driver deleted until its host
// goes, so a late use of a handle is caught; a host kept for a whole run
// would hold them all (some tens of kilobytes an input).
constexpr unsigned long inputs_per_host = 4096;

// Keeps the driver image mapped for the whole run: the coverage counters the
// fuzzer reads after each input live in it, and each input's host unloads
// its own reference. DriverEntry still runs for every input.
inline void pin_driver_image() {
    if (dlopen(CDC_DRIVER_IMAGE, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE) == nullptr) {
        fprintf(stderr, "cannot load %s: %s\n", CDC_DRIVER_IMAGE, dlerror());
        abort();
    }
}

// A host with the driver loaded, by default tracing at the most verbose level
// so the trace formatting sees every value the input leads to; the bus-call
// targets let the input choose a quiet level, as most of their time would
// otherwise go to formatting traces. Destroying the host unloads the driver,
// which bug checks on anything left behind.
inline std::unique_ptr<sim::host> make_host(bool threaded_completions, uint8_t seed, bool control_device = false,
                                            ULONG debug_level = 4) {
    if (threaded_completions) {
        sim::set_completion_seed(seed);
    } else {
        sim::set_completion_mode(sim::completion_mode::inline_send);
    }
    auto host = std::make_unique<sim::host>();
    // Only the platform's threads besides this one: a wait with a time-out
    // that nothing working can satisfy ends at once in virtual time.
    sim::set_wait_grace(sim::wait_grace::platform_busy);
    reuse_stats::get().hosts++;
    // Reproducing a crash: FUZZ_TRACE=1 shows the driver's trace as it goes.
    if (getenv("FUZZ_TRACE") != nullptr) sim::debugger_mirror(stderr);
    host->registry().set_dword(sim::host::parameters_key(), "DebugLevel", debug_level);
    if (control_device) host->registry().set_dword(sim::host::parameters_key(), "UseControlDevice", 1);
    if (host->load_driver(CDC_DRIVER_IMAGE) != STATUS_SUCCESS) {
        fprintf(stderr, "the driver did not load\n");
        abort();
    }
    return host;
}

inline void end_host(std::unique_ptr<sim::host>& host) {
    host.reset();
    sim::io_threads_stop();
    sim::debugger_clear();
}

// The bus interface as a child driver asks for it; false when refused.
inline bool query_bus(WDFDEVICE child, CDC_BUS_INTERFACE* bus) {
    memset(bus, 0, sizeof(*bus));
    return sim::query_interface(child, GUID_CDC_BUS_INTERFACE, reinterpret_cast<PINTERFACE>(bus), sizeof(*bus),
                                CDC_BUS_INTERFACE_VERSION, const_cast<char*>(CDC_BUS_DRIVER_VERSION)) == STATUS_SUCCESS;
}

}  // namespace cdc_fuzz
