// Helpers shared by the device-side tests. Packed 16-bit descriptor fields
// are compared through a copy (unary +): gtest would bind a misaligned
// reference to them.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace sim::usb::test {

inline std::string real_descriptor_file(const std::string& name) {
    return std::string(CDC_SOURCE_DIR) + "/devices/descriptors/" + name;
}

// A heap block of exactly the given bytes, so AddressSanitizer catches a
// read one byte past them.
struct exact_bytes {
    explicit exact_bytes(const std::vector<uint8_t>& bytes) : size(bytes.size()), data(new uint8_t[bytes.size()]) {
        if (size != 0) std::memcpy(data.get(), bytes.data(), size);
    }
    size_t size;
    std::unique_ptr<uint8_t[]> data;
};

inline uint16_t total_length_of(const std::vector<uint8_t>& configuration) {
    return static_cast<uint16_t>(configuration[2] | configuration[3] << 8);
}

}  // namespace sim::usb::test
