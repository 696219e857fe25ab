// Whether a child keeps the bus busy: the serial function driver and the
// generic client on the bus driver's children, their devices on a timed wire
// (usb_timed_bus.h), the payload they move per second of the platform's
// virtual clock as a fraction of what the bus carries at most. The figures
// depend on nothing but the code, so they are the same on every machine.
//
// Completions run inline on the thread running the frames: each frame's
// completions, and the transfers the drivers send again from them, are done
// when the frame ends, and the next frame sees them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/catalogue.h"
#include "function_drivers/serial_driver.h"
#include "sim/host.h"
#include "sim/kernel.h"
#include "usb/usb_composite.h"
#include "usb/usb_timed_bus.h"
#include "wdf/wdf_request.h"

namespace cdc::bench {
namespace {

using sim::usb::usb_speed;

enum class client { serial, generic };
enum class flow { in, out };

// A device that takes what the host writes without keeping it.
class sink : public sim::usb::device {
 public:
    using device::device;

 protected:
    int32_t on_out(uint8_t, const uint8_t*, size_t) override { return USBD_STATUS_SUCCESS; }
};

struct run_options {
    client who = client::serial;
    flow dir = flow::in;
    usb_speed speed = usb_speed::high;
    unsigned in_flight = 1;
    ULONG length = 512;       // bytes per read or write
    uint32_t enable_zlp = 1;  // the device's EnableZLP
};

// Frames before the measured ones (the drivers' queues fill) and measured.
constexpr unsigned warm_frames = 32;
constexpr unsigned measured_frames = 400;

void require(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

// The serial driver loads on the ACM modem's child, the generic client on
// the EEM adapter's; data IN 0x82 and 0x81 respectively, OUT 0x02.
sim::usb::descriptor_set device_for(const run_options& o) {
    sim::usb::catalogue::device_options d;
    d.speed = o.speed;
    return o.who == client::serial ? sim::usb::catalogue::acm_modem(d) : sim::usb::catalogue::eem_adapter(d);
}

uint8_t data_in(const run_options& o) { return o.who == client::serial ? 0x82 : 0x81; }

// The payload per frame the bus moved, over what it can move.
double measure(const run_options& o) {
    sim::set_completion_mode(sim::completion_mode::inline_send);
    auto dev = std::make_shared<sink>(device_for(o));
    dev->set_recording(false);
    sim::usb::timed_bus bus(o.speed);
    double fraction = 0;
    {
        sim::host host;
        host.registry().set_dword(sim::host::parameters_key(), "DebugLevel", 1);
        const std::string location = "6&1a2b3c4d&0&1";
        host.registry().set_dword(
            std::string(sim::enum_key()) + "\\USB\\" +
                sim::usb::device_hardware_id(dev->descriptors().device.idVendor, dev->descriptors().device.idProduct) +
                "\\" + location + "\\Device Parameters",
            "EnableZLP", o.enable_zlp);
        require(NT_SUCCESS(host.load_driver(CDC_DRIVER_IMAGE)), "loading the driver");
        function_drivers::client_options options;
        options.read_size = o.length;
        if (o.dir == flow::in) options.reads = o.in_flight;
        options.requests = std::max<ULONG>(options.requests, std::max<ULONG>(options.reads, o.in_flight));
        function_drivers::install(host, options);
        sim::plug_options plug;
        plug.location = location;
        plug.whole_device = true;
        auto stacks = host.plug(dev, plug);
        require(stacks.size() == 1 && stacks[0]->start_status() == STATUS_SUCCESS, "plugging the device");
        auto children = host.children(*stacks[0]);
        require(children.size() == 1, "one child");
        const WDFDEVICE child = children[0].device;
        auto* driver = dynamic_cast<function_drivers::cdc_client*>(host.function_driver_of(child));
        require(driver != nullptr, "a function driver on the child");
        require(host.open(child) == STATUS_SUCCESS, "opening the child");
        bus.attach(dev);

        const std::vector<uint8_t> payload(o.length, 0x5a);
        const unsigned packet = bus.bulk_packet();
        // The device always has more to send than a frame carries.
        const std::vector<uint8_t> one_packet(packet, 0xa5);
        auto frame = [&] {
            if (o.dir == flow::in) {
                while (dev->queued_in(data_in(o)) < 2 * bus.slots_per_frame()) dev->push_in(data_in(o), one_packet);
            } else {
                while (driver->writes_pending() < o.in_flight) require(driver->write(payload), "a write refused");
            }
            bus.run_frame();
        };
        for (unsigned i = 0; i < warm_frames; ++i) frame();
        const uint64_t before = bus.bytes_moved();
        for (unsigned i = 0; i < measured_frames; ++i) frame();
        const double moved = static_cast<double>(bus.bytes_moved() - before);
        fraction = moved / (static_cast<double>(measured_frames) * bus.slots_per_frame() * packet);

        for (const auto& c : driver->completions()) {
            if ((c.op == "read" || c.op == "write") && !NT_SUCCESS(c.status) && c.status != STATUS_CANCELLED) {
                throw std::runtime_error("a transfer failed");
            }
        }
        bus.detach(dev);
        host.close(child);
    }
    sim::set_completion_mode(sim::completion_mode::threads);
    return fraction;
}

const char* speed_name(usb_speed s) { return s == usb_speed::high ? "high speed" : "full speed"; }
const char* client_name(client c) { return c == client::serial ? "serial driver" : "generic client"; }

// Reads of the clients' size; writes a byte shorter, so that they end on a
// short packet and no zero-length packet follows (zlp_table prices those).
ULONG length_of(flow dir, ULONG read_size) { return dir == flow::in ? read_size : read_size - 1; }

void in_flight_table(usb_speed speed, ULONG read_size) {
    printf("\n  %s, %lu-byte reads and %lu-byte writes; requests in flight:\n  %-22s", speed_name(speed),
           static_cast<unsigned long>(length_of(flow::in, read_size)),
           static_cast<unsigned long>(length_of(flow::out, read_size)), "");
    for (unsigned n = 1; n <= 16; ++n) printf(" %5u", n);
    printf("\n");
    for (client who : {client::serial, client::generic}) {
        for (flow dir : {flow::in, flow::out}) {
            printf("  %-14s %-7s", client_name(who), dir == flow::in ? "read" : "write");
            for (unsigned n = 1; n <= 16; ++n) {
                run_options o;
                o.who = who;
                o.dir = dir;
                o.speed = speed;
                o.in_flight = n;
                o.length = length_of(dir, read_size);
                printf(" %5.3f", measure(o));
                fflush(stdout);
            }
            printf("\n");
        }
    }
}

void zlp_table() {
    const function_drivers::client_options defaults;
    printf("\n  Writes with and without zero-length packets, %lu in flight (the function drivers' default):\n",
           static_cast<unsigned long>(defaults.requests));
    for (usb_speed speed : {usb_speed::high, usb_speed::full}) {
        const ULONG packet = speed == usb_speed::high ? 512 : 64;
        for (ULONG length : {ULONG{64}, ULONG{4096}}) {
            for (uint32_t zlp : {1u, 0u}) {
                const bool follows = zlp == 0 || length % packet == 0;
                const ULONG packets = (length + packet - 1) / packet + (follows ? 1 : 0);
                printf("  %s, %4lu-byte writes, EnableZLP %u (%s):", speed_name(speed),
                       static_cast<unsigned long>(length), zlp, follows ? "a ZLP after each" : "no ZLP");
                for (client who : {client::serial, client::generic}) {
                    run_options o;
                    o.who = who;
                    o.dir = flow::out;
                    o.speed = speed;
                    o.in_flight = defaults.requests;
                    o.length = length;
                    o.enable_zlp = zlp;
                    printf("  %s %5.3f", who == client::serial ? "serial" : "generic", measure(o));
                }
                // A write's packets, its zero-length one included, fill the frames at best.
                printf("  (bound %5.3f)\n", static_cast<double>(length) / static_cast<double>(packets * packet));
            }
        }
    }
}

}  // namespace

// The bus-time section of the data-path benchmarks.
void report_bus_time() {
    printf(
        "\nBus time (virtual clock): payload moved as a fraction of the bus limit\n"
        "  (high speed 13 x 512 B per 125-us microframe, full speed 19 x 64 B per 1-ms frame; each figure over %u "
        "frames)\n",
        measured_frames);
    const function_drivers::client_options defaults;
    in_flight_table(usb_speed::high, defaults.read_size);
    in_flight_table(usb_speed::full, defaults.read_size);
    zlp_table();
}

// What the clients reach as they come, at high speed: their own number of
// reads, as many writes in flight as their records allow. True when every
// figure is at least 0.95 of the limit.
bool report_defaults() {
    const function_drivers::client_options defaults;
    printf("\n  High speed with the function drivers' defaults (%lu reads of %lu bytes, %lu writes in flight):",
           static_cast<unsigned long>(defaults.reads), static_cast<unsigned long>(defaults.read_size),
           static_cast<unsigned long>(defaults.requests));
    double lowest = 1;
    for (client who : {client::serial, client::generic}) {
        for (flow dir : {flow::in, flow::out}) {
            run_options o;
            o.who = who;
            o.dir = dir;
            o.in_flight = dir == flow::in ? defaults.reads : defaults.requests;
            o.length = length_of(dir, defaults.read_size);
            const double f = measure(o);
            lowest = std::min(lowest, f);
            printf("  %s %s %5.3f", who == client::serial ? "serial" : "generic", dir == flow::in ? "read" : "write",
                   f);
        }
    }
    printf("\n  %s (target: at least 0.95 of the limit)\n", lowest >= 0.95 ? "met" : "NOT MET");
    return lowest >= 0.95;
}

}  // namespace cdc::bench

// --defaults: only the figures of the clients' defaults; the exit status
// says whether they reach the target.
int main(int argc, char** argv) {
    const bool defaults_only = argc > 1 && std::strcmp(argv[1], "--defaults") == 0;
    if (argc > 2 || (argc == 2 && !defaults_only)) {
        fprintf(stderr, "usage: cdcbustime [--defaults]\n");
        return 2;
    }
    try {
        if (!defaults_only) cdc::bench::report_bus_time();
        return cdc::bench::report_defaults() ? 0 : 1;
    } catch (const std::exception& e) {
        fprintf(stderr, "cdcbustime: %s\n", e.what());
        return 1;
    }
}
