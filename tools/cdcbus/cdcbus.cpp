#include "cdcbus.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdlib>
#include <memory>

#include "scenario.h"

namespace cdcbus {

std::string driver_image_path() {
    if (const char* env = getenv("CDCBUS_DRIVER_IMAGE")) {
        return env;
    }
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir = dir.substr(0, dir.rfind('/'));
        std::string beside = dir + "/cdcbus.so";
        if (access(beside.c_str(), R_OK) == 0) {
            return beside;
        }
    }
    return CDC_DRIVER_IMAGE;
}

int run(int argc, char** argv, FILE* out, FILE* err) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) args.emplace_back(argv[i]);
    return run(args, out, err);
}

int run(const std::vector<std::string>& args, FILE* out, FILE* err) {
    options opts;
    CLI::App app{
        "Plugs a simulated USB device into a simulated Windows host running the CDC bus driver and shows "
        "what the driver makes of it.",
        "cdcbus"};
    // One file an occurrence, so that a descriptor file may follow.
    app.add_option("--reg", opts.reg_files, "Windows .reg file with registry values (repeatable)")
        ->allow_extra_args(false);
    app.add_option("--debug-level", opts.debug_level, "Sets the driver's DebugLevel (0 silences it, 4 is verbose)")
        ->check(CLI::Range(0u, 0xFFFFFFFFu));
    app.add_flag("--control-device", opts.control_device, "Sets UseControlDevice: children belong to a control device");
    app.add_flag("--root-device", opts.root_device, "Adds a root-enumerated device stack (the control role)");
    app.add_option("descriptors", opts.descriptors,
                   "USB device descriptors as Linux exposes them in /sys/bus/usb/devices/*/descriptors "
                   "(default: a built-in CDC ACM modem)");
    app.add_flag("--json", opts.json, "Prints the summary as JSON on stdout; the trace goes to stderr");
    app.add_option("--location", opts.location, "Location part of the device interface string (the port)");
    app.add_flag("--whole-device", opts.whole_device,
                 "Binds the driver to the whole device by its VID/PID, as a vendor INF naming it would");
    app.add_option("--inf", opts.infs, "Installs the driver package FILE besides the project's INF (repeatable)")
        ->allow_extra_args(false);
    app.add_option("--script", opts.script,
                   "Runs the scenario in FILE, one action a line (plug, open, write, expect, fault, unplug, ...)");
    app.add_flag("--serve", opts.serve,
                 "Runs actions read from standard input, one a line, until it ends; every serial child opened "
                 "is offered as a pseudo-terminal");
    app.add_option("--pcap", opts.pcap, "Writes the USB traffic of the run to FILE as a usbmon capture");
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        fputs(app.help().c_str(), out);
        return 0;
    } catch (const CLI::ParseError& e) {
        fprintf(err, "cdcbus: %s\n", e.what());
        return 2;
    }
    return run_scenario(opts, out, err);
}

}  // namespace cdcbus
