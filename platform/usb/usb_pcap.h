// Capture files of the simulated bus in the format Linux's usbmon produces
// (pcap, link type LINKTYPE_USB_LINUX_MMAPPED: a 64-byte header per event,
// then the data), so Wireshark and tshark decode the traffic: one packet per
// submission ('S') and completion ('C'), OUT data on the submission, IN data
// on the completion, zero-length packets as packets with no data.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "usb/usb_device.h"

namespace sim::usb {

constexpr uint32_t linktype_usb_linux_mmapped = 220;
constexpr size_t usbmon_header_size = 64;

struct pcap_options {
    uint16_t bus = 1;
    // The device number of every packet; -1: the address each event was
    // recorded with (0 before the hub's SET_ADDRESS).
    int device = -1;
    // Added to the platform clock's time, so a capture can carry a real date.
    int64_t epoch_seconds = 0;
};

// The URB status Linux reports for a completion with this USBD status, as a
// negative errno: 0, -EPIPE for a stall or halted endpoint, -ENOENT for a
// cancel, -ESHUTDOWN for a device gone, -EOVERFLOW for babble, -EPROTO for
// other transmission errors, -EINVAL for a request the stack refused.
int32_t usbmon_status(int32_t usbd_status);

// One event as the 64-byte header and its data, without pcap framing.
std::vector<uint8_t> usbmon_packet(const wire_event& event, const pcap_options& options = {});

// Writes the pcap file header and one record per event, in the given order.
void write_pcap(std::ostream& out, const std::vector<wire_event>& events, const pcap_options& options = {});
// False when the file cannot be written.
bool write_pcap(const std::string& path, const std::vector<wire_event>& events, const pcap_options& options = {});

// The events of several devices as one stream, in order of time (each
// device's own order kept).
std::vector<wire_event> merge_events(const std::vector<std::vector<wire_event>>& streams);

}  // namespace sim::usb
