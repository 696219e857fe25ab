// Device side of the simulated bus: the descriptors a USB device holds, how it
// answers GET_DESCRIPTOR, and a bounds-safe walker and parser over the bytes
// of a configuration for the host side.
//
// The model keeps configurations as the raw bytes the device sends. A real
// device may send broken descriptors (zero bLength, a descriptor running past
// wTotalLength, a wTotalLength larger than what it has): nothing here fixes
// them; the walker says where and why it had to stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "usbspec.h"

// ntdef.h's min and max macros would break standard headers included after
// this one; simulator code uses std::min and std::max.
#undef min
#undef max

namespace sim::usb {

constexpr uint16_t langid_en_us = 0x0409;

// Class-specific descriptor types (CDC, DFU and smart-card functions).
constexpr uint8_t cs_interface = 0x24;
constexpr uint8_t cs_endpoint = 0x25;
constexpr uint8_t functional_descriptor = 0x21;  // DFU functional, smart-card class descriptor

// CDC communication subclasses and protocols.
constexpr uint8_t cdc_subclass_acm = 0x02;
constexpr uint8_t cdc_subclass_ecm = 0x06;
constexpr uint8_t cdc_subclass_obex = 0x0b;
constexpr uint8_t cdc_subclass_eem = 0x0c;
constexpr uint8_t cdc_protocol_at = 0x01;
constexpr uint8_t cdc_protocol_eem = 0x07;

// CDC functional descriptor subtypes (third byte of a CS_INTERFACE descriptor).
constexpr uint8_t cdc_fd_header = 0x00;
constexpr uint8_t cdc_fd_call_management = 0x01;
constexpr uint8_t cdc_fd_acm = 0x02;
constexpr uint8_t cdc_fd_union = 0x06;
constexpr uint8_t cdc_fd_ethernet = 0x0f;
constexpr uint8_t cdc_fd_obex = 0x15;

enum class usb_speed { low, full, high };

// Everything a device answers GET_DESCRIPTOR from.
struct descriptor_set {
    usb_speed speed = usb_speed::full;  // the speed it runs at on the simulated bus
    USB_DEVICE_DESCRIPTOR device{};
    // Configuration blocks by index, each exactly as the device sends it.
    std::vector<std::vector<uint8_t>> configurations;
    // String 0: the LANGIDs the device lists. Empty: the device has no strings.
    std::vector<uint16_t> languages{langid_en_us};
    // Strings by index, answered in every listed language.
    std::map<uint8_t, std::u16string> strings;
    // Any other descriptor the device answers (device qualifier, BOS, other
    // speed configuration, a string sent exactly as given in every listed
    // language), keyed by USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX.
    std::map<uint16_t, std::vector<uint8_t>> other_descriptors;

    const std::u16string* string(uint8_t index) const;
};

// ---- Standard requests ---------------------------------------------------------

// What the device puts on the wire for one GET_DESCRIPTOR, or a stall.
struct descriptor_reply {
    bool stalled = false;
    std::vector<uint8_t> data;
};

// Answers GET_DESCRIPTOR (type, index) in language langid with at most length
// bytes. A configuration whose wTotalLength claims more than the device holds
// is sent as far as it goes; a type, index or language it lacks stalls.
descriptor_reply answer_get_descriptor(const descriptor_set& device, uint8_t type, uint8_t index, uint16_t langid,
                                       uint16_t length);
// The same answer written to `out` (room bytes at most, and at most length):
// false for a stall, else true with *written set.
bool answer_get_descriptor(const descriptor_set& device, uint8_t type, uint8_t index, uint16_t langid, uint16_t length,
                           uint8_t* out, size_t room, size_t* written);

std::vector<uint8_t> device_descriptor_bytes(const USB_DEVICE_DESCRIPTOR& device);
// bLength, type 3, UTF-16LE; text past 126 units does not fit in bLength and is cut.
std::vector<uint8_t> string_descriptor_bytes(const std::u16string& text);
std::vector<uint8_t> language_descriptor_bytes(const std::vector<uint16_t>& languages);

// ---- Walking a configuration -------------------------------------------------

enum class walk_end {
    complete,           // every descriptor up to wTotalLength walked
    zero_length,        // a descriptor with bLength 0 (walking on would loop forever)
    length_too_small,   // a descriptor with bLength 1
    past_total_length,  // a descriptor running past wTotalLength
    past_buffer,        // a descriptor running past the bytes the device sent
    short_buffer,       // wTotalLength claims more bytes than the device sent
};
const char* walk_end_name(walk_end end);

struct descriptor_entry {
    size_t offset = 0;
    uint8_t length = 0;
    uint8_t type = 0;
};

struct descriptor_walk {
    // Every whole descriptor inside both the buffer and wTotalLength, the
    // configuration descriptor first.
    std::vector<descriptor_entry> descriptors;
    walk_end end = walk_end::complete;
    size_t stop_offset = 0;   // where walking stopped
    size_t total_length = 0;  // wTotalLength, 0 when the buffer is too short to hold it
    size_t buffer_size = 0;

    bool complete() const { return end == walk_end::complete; }
    // "" when complete, else e.g. "offset 27: descriptor with bLength 0".
    std::string problem() const;
};

descriptor_walk walk_configuration(const uint8_t* data, size_t size);
inline descriptor_walk walk_configuration(const std::vector<uint8_t>& bytes) {
    return walk_configuration(bytes.data(), bytes.size());
}

// ---- Parsed view ---------------------------------------------------------------
// Records are copied from the bytes; fields past a descriptor's own bLength
// read as 0. Offsets are from the start of the configuration.

struct parsed_endpoint {
    size_t offset = 0;
    USB_ENDPOINT_DESCRIPTOR descriptor{};
    // Descriptors after it up to the next endpoint, interface or association
    // (class-specific endpoint descriptors, companions).
    std::vector<uint8_t> extra;
};

struct parsed_setting {
    size_t offset = 0;
    USB_INTERFACE_DESCRIPTOR descriptor{};
    // Descriptors between the interface descriptor and its first endpoint
    // (CDC functional descriptors, DFU and smart-card class descriptors).
    std::vector<uint8_t> extra;
    // Every endpoint descriptor that follows, whatever bNumEndpoints says.
    std::vector<parsed_endpoint> endpoints;
};

struct parsed_interface {
    uint8_t number = 0;
    std::vector<parsed_setting> settings;  // in the order the device lists them

    const parsed_setting* setting(uint8_t alternate) const;
};

struct parsed_association {
    size_t offset = 0;
    USB_INTERFACE_ASSOCIATION_DESCRIPTOR descriptor{};
};

struct parsed_configuration {
    bool has_header = false;  // the first descriptor is a configuration descriptor
    USB_CONFIGURATION_DESCRIPTOR header{};
    // Descriptors between the header and the first interface, associations excepted.
    std::vector<uint8_t> extra;
    std::vector<parsed_association> associations;
    std::vector<parsed_interface> interfaces;  // in order of first appearance
    descriptor_walk walk;

    const parsed_interface* find_interface(uint8_t number) const;
    const parsed_setting* find_setting(uint8_t number, uint8_t alternate) const;
};

parsed_configuration parse_configuration(const uint8_t* data, size_t size);
inline parsed_configuration parse_configuration(const std::vector<uint8_t>& bytes) {
    return parse_configuration(bytes.data(), bytes.size());
}

// The same parse, kept: bytes parsed lately (each plug of a device is parsed
// by the hub, the PnP manager and the framework alike) give the parse made
// then, shared. Thread-safe.
std::shared_ptr<const parsed_configuration> shared_parse(const uint8_t* data, size_t size);
inline std::shared_ptr<const parsed_configuration> shared_parse(const std::vector<uint8_t>& bytes) {
    return shared_parse(bytes.data(), bytes.size());
}

}  // namespace sim::usb
