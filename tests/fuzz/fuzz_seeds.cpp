// Writes the seed corpora: the built-in devices' descriptors in the sysfs
// format (raw for the loader, behind a header for the plugged device), and
// registry files and scripts of the kinds the project's tests use.
//   fuzz_seeds <corpus-root>   ->  <root>/{descriptors,sysfs,reg,script}/
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
