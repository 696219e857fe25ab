// Writes the seed corpora: the built-in devices' descriptors in the sysfs
// format (raw for the loader, behind a header for the plugged device), and
// registry files and scripts of the kinds the project's tests use.
//   fuzz_seeds <corpus-root>   ->  <root>/{descriptors,sysfs,reg,script,bus_calls,control_calls}/
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "devices/catalogue.h"

namespace {

namespace catalogue = sim::usb::catalogue;

std::vector<uint8_t> sysfs_bytes(const sim::usb::descriptor_set& set) {
    std::vector<uint8_t> out = sim::usb::device_descriptor_bytes(set.device);
    for (const auto& config : set.configurations) out.insert(out.end(), config.begin(), config.end());
    return out;
}

void write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

using bytes = std::vector<uint8_t>;

bytes operator+(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A child's session in the bus-call targets' encoding (fuzz_bus.h): open the
// data path, move data both ways, take notifications, ask every query, meet
// device faults, and close again.
bytes child_session() {
    return bytes{13, 2, 2, 4, 11, 1} +                           // pools, transport, notifications
           bytes{8, 3, 0, 'A', 'T', '\r'} +                      // write async
           bytes{36, 3, 'O', 'K', '\r', 7, 3, 0, 0, 0, 0} +      // data arrives, read async
           bytes{37, 2, 0xA1, 0x20} +                            // a notification
           bytes{0, 1, 0x21, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 1} +  // GET_LINE_CODING
           bytes{2, 0, 0x22, 3, 0, 0, 1, 1} +                    // SET_CONTROL_LINE_STATE, timed
           bytes{1, 0xA1, 0x21, 0, 0, 0, 0, 7, 0, 7, 0, 0, 0, 0, 0, 0, 0, 1} +
           bytes{3, 0x21, 0x22, 1, 0, 0, 0, 0, 0, 0} +
           bytes{10, 2, 0, 'h', 'i', 1, 9, 4, 0, 0, 0, 0, 0, 1} +  // sync write, sync read timing out
           bytes{24, 15, 25, 255, 0x24, 25, 2, 0x06, 26, 127, 1, 26, 1, 2, 27, 28, 29, 30, 1, 1, 31, 32, 33, 34, 35} +
           bytes{38, 1, 38, 0x05, 38, 0x09, 38, 0x0C, 38, 0x11, 69} +  // faults at each endpoint
           bytes{8, 1, 0, 'x', 7, 1, 0, 0, 39, 40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 41, 50, 42} +
           bytes{6, 1, 6, 0, 12, 1, 12, 0, 23, 22, 16, 15, 17, 1, 18, 7, 1, 19, 20, 1, 21} + bytes{5, 11, 0, 14, 42};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_seeds <corpus-root>\n");
        return 2;
    }
    const std::string root = argv[1];
    catalogue::device_options high;
    high.speed = sim::usb::usb_speed::high;
    const std::vector<std::pair<std::string, sim::usb::descriptor_set>> devices = {
        {"acm_modem", catalogue::acm_modem()},
        {"acm_modem_high", catalogue::acm_modem(high)},
        {"acm_without_notification", catalogue::acm_without_notification()},
        {"ecm_adapter", catalogue::ecm_adapter()},
        {"obex_phone", catalogue::obex_phone()},
        {"eem_adapter", catalogue::eem_adapter()},
        {"iccd_reader", catalogue::iccd_reader(0, true)},
        {"dfu_device", catalogue::dfu_device()},
        {"vendor_serial_2ep", catalogue::vendor_serial_2ep()},
        {"vendor_serial_3ep", catalogue::vendor_serial_3ep()},
        {"vendor_interrupt_pair", catalogue::vendor_interrupt_pair()},
        {"dual_acm_composite", catalogue::dual_acm_composite()},
        {"acm_vendor_composite", catalogue::acm_vendor_composite()},
    };
    // Header: flags, parameter (little-endian), count; see fuzz_descriptors.cpp.
    const std::vector<std::vector<uint8_t>> headers = {{0, 0, 0, 0},    {4, 0, 0, 0}, {1, 40, 0, 0},
                                                       {2, 0x40, 0, 0}, {3, 8, 0, 3}, {8 | 16, 0, 0, 7}};
    for (const auto& [name, set] : devices) {
        const auto bytes = sysfs_bytes(set);
        write(root + "/sysfs/" + name + ".bin", bytes);
        for (size_t i = 0; i < headers.size(); i++) {
            auto input = headers[i];
            input.insert(input.end(), bytes.begin(), bytes.end());
            write(root + "/descriptors/" + name + "-" + std::to_string(i) + ".bin", input);
        }
    }

    // The USB-direct bus-call target: device, flags (threaded completions,
    // surprise removal, verbose traces), completion seed, the device's answers,
    // the session.
    for (uint8_t device = 0; device < 8; device++) {
        for (uint8_t choice = 0; choice < 8; choice++) {
            // Surprise removal at the end in two of them: it costs the next input a plug.
            const uint8_t flags = (choice & 5) | (choice == 2 || choice == 7 ? 0x62 : 0);
            write(root + "/bus_calls/session-" + std::to_string(device) + "-" + std::to_string(choice) + ".bin",
                  bytes{device, flags, 7, 4, 0, 4, 2, 0x10} + child_session());
        }
    }
    // A child opening its data path while it is open, and closing it as often.
    for (uint8_t device = 0; device < 8; device++) {
        write(root + "/bus_calls/reopen-" + std::to_string(device) + ".bin",
              bytes{device, 0, 7, 0, 13, 2, 2, 13, 1, 1, 14, 13, 2, 2, 14, 14, 14});
    }
    // The same sessions with a framework call failing: the nth from the
    // opening of the data path, the transport's enabling, a read, a class
    // request and a reset, for the error paths behind each.
    const uint8_t arm = 47;
    for (uint8_t device = 0; device < 8; device++) {
        for (uint8_t nth = 0; nth < 12; nth++) {
            const bytes faulty =
                bytes{arm, nth, static_cast<uint8_t>(nth % 4), 13, 2, 2, arm, static_cast<uint8_t>(nth / 2), 0, 4,
                      11,  1} +
                bytes{arm, nth, 1, 7, 3, 0, 0, 0, 0, arm, nth, 0, 2, 0, 0x22, 3, 0, 0, 1, 1} +
                bytes{arm, nth, 0, 15, arm, nth, 0, 20, 1, arm, nth, 0, 22} + child_session();
            write(root + "/bus_calls/fault-" + std::to_string(device) + "-" + std::to_string(nth) + ".bin",
                  bytes{device, 0x80, 7, 4, 0, 4, 2, 0x10} + faulty);
        }
    }
    // The control-device target: flags, the device at each port (bit 3: the
    // port starts empty, bit 4: with an idle time-out), completion seed, each
    // port's answers; then either plugging (the children asking for the power
    // callbacks, checking whether they are open) or, with both devices there
    // from the start, one byte for their children; a session on the first
    // child, and the devices going and coming back around sleep and idle.
    const uint8_t plug0 = 160, plug1 = 161, unplug0 = 164, surprise0 = 166, surprise1 = 167, sleep0 = 168, idle0 = 170,
                  event0 = 172, settle0 = 178, empty = 8, idle_timeout = 16;
    // Child 0 opens its data path, writes, reads, asks a few queries.
    const bytes calls = bytes{13, 0, 2, 2, 4, 0, 11, 0, 1, 8, 0, 3, 0, 'A', 'T', '\r', 7, 0, 3, 0, 0, 0, 0} +
                        bytes{0, 0, 1, 0x21, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 1} + bytes{24, 0, 15, 33, 0, 33, 1, 31, 0};
    const bytes replug = bytes{unplug0, plug0, 0, 33, 0, 20, 0, 1, surprise1, 21, 0, 21, 1, settle0};
    const bytes surprise =
        bytes{surprise0, 13, 0, 1, 1, 14, 0, 5, 0, 33, 0, 21, 0, plug0, 1, 33, 0, 5, 0, 14, 0, settle0};
    const bytes power = bytes{sleep0, 1, 33, 0,      39, 0,         1,         idle0, 20, 0,  1, event0, 3,
                              39,     1, 1,  sleep0, 1,  surprise0, surprise1, 21,    0,  21, 1, settle0};
    // Ending with both devices as plugging left them: the next input finds them.
    const bytes quiet = bytes{33, 0, 20, 0, 1, 21, 1, event0, 0, 0, settle0};
    const bytes closed = bytes{unplug0, 21, 0, plug0, 1, 0, 0, 36, 0, 1, 37, 0, 36, 0, 0, surprise0, 21, 0, settle0};
    for (uint8_t device = 0; device < 8; device += 3) {
        const auto d0 = device, d1 = static_cast<uint8_t>((device + 4) % 8);
        const bytes head{0, static_cast<uint8_t>(d0 | empty), static_cast<uint8_t>(d1 | empty), 3, 2, 0, 4, 0};
        // Open children: callbacks with the open check, the child marks itself open.
        const bytes plug_both = bytes{plug0, 1, 1, 1, plug1, 0, 1, 1, 38, 0, 38, 1};
        const bytes there{0, static_cast<uint8_t>(d0 | idle_timeout), d1, 3, 2, 0, 4, 0, 0xff, 38, 0, 38, 1};
        const std::string n = std::to_string(device);
        write(root + "/control_calls/replug-" + n + ".bin", head + plug_both + calls + replug);
        write(root + "/control_calls/surprise-" + n + ".bin", head + plug_both + calls + surprise);
        write(root + "/control_calls/power-" + n + ".bin", head + plug_both + calls + power);
        write(root + "/control_calls/closed-" + n + ".bin", head + bytes{plug0, 0, 1, 0, plug1, 1, 0} + calls + closed);
        write(root + "/control_calls/there-replug-" + n + ".bin", there + calls + replug);
        write(root + "/control_calls/there-surprise-" + n + ".bin", there + calls + surprise);
        write(root + "/control_calls/there-power-" + n + ".bin", there + calls + power);
        write(root + "/control_calls/there-quiet-" + n + ".bin", there + calls + quiet);
        // Removed while idle: no D0 exit to pass on, its children stop from its hardware stop.
        write(root + "/control_calls/there-idle-surprise-" + n + ".bin", there + bytes{idle0, surprise0, settle0});
    }
    // A framework call failing while a device is plugged (its start, its
    // children's creation), while it is in use, and around sleep and idle.
    const uint8_t arm0 = 182;
    for (uint8_t device = 0; device < 8; device += 2) {
        for (unsigned nth = 0; nth < 160; nth += 5) {
            const uint8_t n = static_cast<uint8_t>(nth);
            const auto d0 = device, d1 = static_cast<uint8_t>((device + 3) % 8);
            const bytes head{0x80, static_cast<uint8_t>(d0 | empty), static_cast<uint8_t>(d1 | empty), 3, 2, 0, 4, 0};
            const bytes there{0x80, d0, d1, 3, 2, 0, 4, 0, 0x33};
            const bytes plug_both =
                bytes{arm0, n, static_cast<uint8_t>(nth % 4), plug0, 1, 1, 1, plug1, 0, 1, 1, 38, 0, 38, 1};
            const bytes calls =
                bytes{arm0, static_cast<uint8_t>(nth / 8), 0, 13, 0, 2, 2, 4, 0, 11, 0, 1} +
                bytes{arm0, static_cast<uint8_t>(nth / 8), 1, 0, 0, 1, 0x21, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 1};
            const bytes power = bytes{arm0,
                                      static_cast<uint8_t>(nth / 4),
                                      0,
                                      sleep0,
                                      1,
                                      arm0,
                                      static_cast<uint8_t>(nth / 4),
                                      0,
                                      idle0,
                                      20,
                                      0,
                                      1,
                                      unplug0,
                                      arm0,
                                      static_cast<uint8_t>(nth / 2),
                                      0,
                                      plug0,
                                      0,
                                      1,
                                      1,
                                      surprise1,
                                      settle0};
            write(root + "/control_calls/fault-" + std::to_string(device) + "-" + std::to_string(nth) + ".bin",
                  head + plug_both + calls + power);
            if (nth % 10 == 0) {
                write(
                    root + "/control_calls/there-fault-" + std::to_string(device) + "-" + std::to_string(nth) + ".bin",
                    there + calls + power);
            }
        }
    }

    write(root + "/reg/parameters.reg",
          "Windows Registry Editor Version 5.00\n"
          "; a comment\n"
          "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\cdcbus\\Parameters]\n"
          "\"DebugLevel\"=dword:0000000A\n"
          "\"DeviceName\"=\"Modem \\\"A\\\" \\\\ port\"\n"
          "\"Blob\"=hex:01,02,\\\n"
          "  03\n"
          "@=\"default\"\n"
          "[-HKLM\\SYSTEM\\Old]\n");
    write(root + "/reg/device.reg",
          "REGEDIT4\n"
          "[HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_0001\\6&1a2b3c4d&0&1\\Device Parameters]\n"
          "\"EnableZLP\"=dword:00000001\n"
          "\"Name\"=hex(2):41,00,00,00\n"
          "\"Gone\"=-\n");

    write(root + "/script/every_form.txt",
          "# a comment line\n"
          "plug modem\n"
          "open 0   # trailing comment\n"
          "write usbcdcacm\\VID_1234&PID_0001 \"A\\r\\n\\t\\\\\\\"\\x7f#\"\n"
          "write 0 *0x103\n"
          "device-send 0 \"hi\"\n"
          "expect 0 \"OK\"\n"
          "line-coding 0 0x1C200 7 E 1.5\n"
          "control-lines 0 nodtr rts\n"
          "class 0 in 0x21 0 7\n"
          "class 0 out 0x22 3\n"
          "class 0 out 0x20 0 \"\\x00\\xc2\\x01\\x00\\x00\\x00\\x08\"\n"
          "notify 0 a1200000000002000300\n"
          "fault 0 in short 5\n"
          "fault 0 notify stall\n"
          "fault 0 out error\n"
          "purge 0 in\n"
          "restart 0 out\n"
          "reset 0\n"
          "close 0\n"
          "surprise-remove\n"
          "\n"
          "unplug\n");
    write(root + "/script/plug_at.txt", "plug modem at 7&2b3c4d5e&0&3\nopen 0\nclose 0\nunplug\n");
    return 0;
}
