#include "devices/sysfs_loader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim::usb {

namespace {

std::string at(size_t offset) { return "offset " + std::to_string(offset) + ": "; }

std::string hex_byte(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%02x", value);
    return text;
}

bool read_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    // read() turns a failing read (a directory, say) into badbit; iterating
    // over the stream buffer would let the exception out.
    char chunk[4096];
    bytes->clear();
    while (file.read(chunk, sizeof(chunk)) || file.gcount() > 0) {
        bytes->insert(bytes->end(), chunk, chunk + file.gcount());
    }
    if (file.bad()) {
        *error = path + ": cannot read";
        return false;
    }
    return true;
}

// sysfs text attributes are UTF-8 with a trailing newline.
std::u16string utf8_line_to_utf16(const std::string& text) {
    std::u16string out;
    size_t end = text.find('\n');
    if (end == std::string::npos) end = text.size();
    for (size_t i = 0; i < end;) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        size_t extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
        uint32_t code = c;
        if (c >= 0x80 && (c < 0xc0 || c >= 0xf8 || i + extra >= end)) {
            code = 0xfffd;
            extra = 0;
        } else if (extra != 0) {
            code = c & (0x3fu >> extra);
            for (size_t k = 1; k <= extra; ++k) code = code << 6 | (static_cast<uint8_t>(text[i + k]) & 0x3fu);
        }
        i += 1 + extra;
        if (code > 0x10ffff) code = 0xfffd;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xd800 | (code >> 10)));
            out.push_back(static_cast<char16_t>(0xdc00 | (code & 0x3ff)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

}  // namespace

sysfs_load_result load_sysfs_descriptors(const uint8_t* data, size_t size) {
    sysfs_load_result result;
    if (data == nullptr) size = 0;
    if (size < sizeof(USB_DEVICE_DESCRIPTOR)) {
        result.error = at(0) + "device descriptor truncated (" + std::to_string(size) + " bytes)";
        return result;
    }
    if (data[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        result.error = at(0) + "descriptor type " + hex_byte(data[1]) + ", expected a device descriptor";
        return result;
    }
    if (data[0] != sizeof(USB_DEVICE_DESCRIPTOR)) {
        result.error = at(0) + "device descriptor bLength " + std::to_string(data[0]) + ", expected 18";
        return result;
    }
    std::memcpy(&result.descriptors.device, data, sizeof(USB_DEVICE_DESCRIPTOR));

    size_t offset = sizeof(USB_DEVICE_DESCRIPTOR);
    if (offset == size) {
        result.error = at(offset) + "no configuration descriptor";
        return result;
    }
    while (offset < size) {
        size_t left = size - offset;
        if (left < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            result.error =
                at(offset) + "configuration descriptor header truncated (" + std::to_string(left) + " bytes)";
            return result;
        }
        const uint8_t* block = data + offset;
        if (block[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            result.error =
                at(offset) + "descriptor type " + hex_byte(block[1]) + ", expected a configuration descriptor";
            return result;
        }
        size_t total = static_cast<size_t>(block[2]) | static_cast<size_t>(block[3]) << 8;
        if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            result.error =
                at(offset) + "wTotalLength " + std::to_string(total) + " shorter than the configuration descriptor";
            return result;
        }
        if (total > left) {
            result.warnings.push_back(at(offset) + "configuration " +
                                      std::to_string(result.descriptors.configurations.size()) + " claims " +
                                      std::to_string(total) + " bytes, " + std::to_string(left) + " present");
            total = left;
        }
        result.descriptors.configurations.emplace_back(block, block + total);
        offset += total;
    }

    // Only a high-speed device has 512-byte bulk endpoints; the file says nothing else about speed.
    for (const std::vector<uint8_t>& configuration : result.descriptors.configurations) {
        for (const parsed_interface& ifc : parse_configuration(configuration).interfaces) {
            for (const parsed_setting& setting : ifc.settings) {
                for (const parsed_endpoint& ep : setting.endpoints) {
                    if ((ep.descriptor.bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK &&
                        (ep.descriptor.wMaxPacketSize & 0x7ff) == 512) {
                        result.descriptors.speed = usb_speed::high;
                    }
                }
            }
        }
    }

    size_t count = result.descriptors.configurations.size();
    if (count != result.descriptors.device.bNumConfigurations) {
        result.warnings.push_back(std::to_string(count) + " configuration(s) present, bNumConfigurations " +
                                  std::to_string(result.descriptors.device.bNumConfigurations));
    }
    return result;
}

sysfs_load_result load_sysfs_file(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!read_file(path, &bytes, &error)) {
        sysfs_load_result result;
        result.error = error;
        return result;
    }
    sysfs_load_result result = load_sysfs_descriptors(bytes);
    if (!result.ok()) result.error = path + ": " + result.error;
    return result;
}

sysfs_load_result load_sysfs_directory(const std::string& path) {
    sysfs_load_result result = load_sysfs_file(path + "/descriptors");
    if (!result.ok()) return result;
    const USB_DEVICE_DESCRIPTOR& device = result.descriptors.device;
    const std::pair<const char*, uint8_t> names[] = {
        {"manufacturer", device.iManufacturer}, {"product", device.iProduct}, {"serial", device.iSerialNumber}};
    for (const auto& [name, index] : names) {
        std::vector<uint8_t> bytes;
        std::string error;
        if (index == 0 || !read_file(path + "/" + name, &bytes, &error)) continue;
        result.descriptors.strings[index] = utf8_line_to_utf16(std::string(bytes.begin(), bytes.end()));
    }
    return result;
}

}  // namespace sim::usb
