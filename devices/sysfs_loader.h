// Reads device descriptors in the format Linux exposes as
// /sys/bus/usb/devices/<device>/descriptors: the 18-byte device descriptor
// followed by every configuration block back to back, each wTotalLength long.
//
// Only the framing is checked. A configuration whose wTotalLength runs past
// the end of the data keeps what is there, as the device's own bytes (the
// driver must cope with it); the loader notes it as a warning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "usb/usb_descriptors.h"

namespace sim::usb {

struct sysfs_load_result {
    descriptor_set descriptors;
    // Empty when loaded, else where and why: "offset 18: configuration
    // descriptor header truncated (5 bytes)".
    std::string error;
    // Loaded all the same: a short last configuration, a configuration count
    // that differs from bNumConfigurations.
    std::vector<std::string> warnings;

    bool ok() const { return error.empty(); }
};

// The loaded device has no strings (the file holds none) unless they are
// added; its LANGID list stays 0x0409. It runs at high speed when a bulk
// endpoint has 512-byte packets, else at full speed.
sysfs_load_result load_sysfs_descriptors(const uint8_t* data, size_t size);
inline sysfs_load_result load_sysfs_descriptors(const std::vector<uint8_t>& bytes) {
    return load_sysfs_descriptors(bytes.data(), bytes.size());
}

sysfs_load_result load_sysfs_file(const std::string& path);

// A device directory (/sys/bus/usb/devices/1-2): its descriptors file, and
// the manufacturer, product and serial files where present, as the strings
// the device descriptor's indexes name.
sysfs_load_result load_sysfs_directory(const std::string& path);

}  // namespace sim::usb
