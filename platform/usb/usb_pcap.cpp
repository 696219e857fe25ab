#include "usb/usb_pcap.h"

#include <algorithm>
#include <cerrno>
#include <fstream>

namespace sim::usb {

namespace {

// URB transfer types as usbmon numbers them.
constexpr uint8_t usbmon_iso = 0;
constexpr uint8_t usbmon_interrupt = 1;
constexpr uint8_t usbmon_control = 2;
constexpr uint8_t usbmon_bulk = 3;
constexpr uint32_t urb_dir_in = 0x0200;  // the URB transfer flag

uint8_t usbmon_type(uint8_t endpoint_type) {
    switch (endpoint_type) {
        case USB_ENDPOINT_TYPE_ISOCHRONOUS:
            return usbmon_iso;
        case USB_ENDPOINT_TYPE_INTERRUPT:
            return usbmon_interrupt;
        case USB_ENDPOINT_TYPE_BULK:
            return usbmon_bulk;
        default:
            return usbmon_control;
    }
}

// Little-endian, whatever the host: the pcap magic below says so.
void put(std::vector<uint8_t>& out, size_t offset, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void put(std::ostream& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out.put(static_cast<char>(value >> (8 * i)));
}

}  // namespace

int32_t usbmon_status(int32_t usbd_status) {
    switch (usbd_status) {
        case USBD_STATUS_SUCCESS:
            return 0;
        case USBD_STATUS_PENDING:
            return -EINPROGRESS;
        case USBD_STATUS_STALL_PID:
        case USBD_STATUS_ENDPOINT_HALTED:
            return -EPIPE;
        case USBD_STATUS_CANCELED:
        case USBD_STATUS_TIMEOUT:  // the host cancels a request whose time ran out
            return -ENOENT;
        case USBD_STATUS_DEVICE_GONE:
            return -ESHUTDOWN;
        case USBD_STATUS_BABBLE_DETECTED:
        case USBD_STATUS_DATA_OVERRUN:
            return -EOVERFLOW;
        case USBD_STATUS_CRC:
            return -EILSEQ;
        case USBD_STATUS_DEV_NOT_RESPONDING:
            return -ETIME;
        case USBD_STATUS_DATA_UNDERRUN:
            return -EREMOTEIO;
        case USBD_STATUS_BUFFER_OVERRUN:
            return -ECOMM;
        case USBD_STATUS_BUFFER_UNDERRUN:
            return -ENOSR;
        default:
            if (USBD_SUCCESS(usbd_status)) return 0;
            // 0x8...: the stack refused the request before it reached the bus.
            if ((static_cast<uint32_t>(usbd_status) >> 30) == 2) return -EINVAL;
            return -EPROTO;
    }
}

std::vector<uint8_t> usbmon_packet(const wire_event& e, const pcap_options& options) {
    const bool submit = e.type == wire_event::kind::submit;
    // Data travels on the submission going out and on the completion coming in.
    const bool carries_data = submit != e.in();
    const size_t captured = carries_data ? e.data.size() : 0;
    std::vector<uint8_t> p(usbmon_header_size + captured, 0);
    const int64_t time = e.time < 0 ? 0 : e.time;
    const int64_t seconds = options.epoch_seconds + time / 10000000;
    const int64_t microseconds = (time % 10000000) / 10;

    put(p, 0, e.id, 8);
    p[8] = submit ? 'S' : 'C';
    p[9] = usbmon_type(e.transfer_type);
    p[10] = e.endpoint;
    p[11] = options.device >= 0 ? static_cast<uint8_t>(options.device) : e.address;
    put(p, 12, options.bus, 2);
    // 0 means present; '-' that there is no setup packet.
    p[14] = submit && e.has_setup ? 0 : '-';
    // 0 means present; '<' an IN submission, '>' an OUT completion.
    p[15] = carries_data ? 0 : (e.in() ? '<' : '>');
    put(p, 16, static_cast<uint64_t>(seconds), 8);
    put(p, 24, static_cast<uint64_t>(microseconds), 4);
    put(p, 28, static_cast<uint32_t>(submit ? usbmon_status(USBD_STATUS_PENDING) : usbmon_status(e.usbd_status)), 4);
    put(p, 32, e.length, 4);  // submission: requested; completion: moved
    put(p, 36, captured, 4);
    if (submit && e.has_setup) std::copy(e.setup, e.setup + 8, p.begin() + 40);
    put(p, 48, e.transfer_type == USB_ENDPOINT_TYPE_INTERRUPT ? e.interval : 0, 4);
    put(p, 52, 0, 4);  // start_frame: isochronous only
    put(p, 56, e.in() ? urb_dir_in : 0, 4);
    put(p, 60, 0, 4);  // ndesc: isochronous only
    if (captured != 0) std::copy(e.data.begin(), e.data.end(), p.begin() + usbmon_header_size);
    return p;
}

void write_pcap(std::ostream& out, const std::vector<wire_event>& events, const pcap_options& options) {
    put(out, 0xa1b2c3d4, 4);  // microsecond timestamps
    put(out, 2, 2);
    put(out, 4, 2);
    put(out, 0, 4);  // GMT
    put(out, 0, 4);
    put(out, 0x40000, 4);  // snapshot length
    put(out, linktype_usb_linux_mmapped, 4);
    for (const wire_event& e : events) {
        const std::vector<uint8_t> packet = usbmon_packet(e, options);
        const int64_t time = e.time < 0 ? 0 : e.time;
        put(out, static_cast<uint64_t>(options.epoch_seconds + time / 10000000), 4);
        put(out, static_cast<uint64_t>((time % 10000000) / 10), 4);
        put(out, packet.size(), 4);
        put(out, packet.size(), 4);
        out.write(reinterpret_cast<const char*>(packet.data()), static_cast<std::streamsize>(packet.size()));
    }
}

bool write_pcap(const std::string& path, const std::vector<wire_event>& events, const pcap_options& options) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    write_pcap(out, events, options);
    out.flush();
    return static_cast<bool>(out);
}

std::vector<wire_event> merge_events(const std::vector<std::vector<wire_event>>& streams) {
    // Each stream is already in order: take the earliest head, the first
    // stream on a tie.
    std::vector<wire_event> all;
    std::vector<size_t> next(streams.size(), 0);
    for (;;) {
        size_t best = streams.size();
        for (size_t i = 0; i < streams.size(); ++i) {
            if (next[i] == streams[i].size()) continue;
            if (best == streams.size() || streams[i][next[i]].time < streams[best][next[best]].time) best = i;
        }
        if (best == streams.size()) return all;
        all.push_back(streams[best][next[best]++]);
    }
}

}  // namespace sim::usb
