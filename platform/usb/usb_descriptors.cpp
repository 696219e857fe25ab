#include "usb/usb_descriptors.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace sim::usb {

namespace {

// Longest string a one-byte bLength can carry: (255 - 2) / 2 units.
constexpr size_t max_string_units = 126;

// Room for any descriptor the device makes up as it answers: a string (2 +
// 126 * 2 bytes) or the device descriptor.
constexpr size_t scratch_size = 256;

// What a GET_DESCRIPTOR answers, whole: bytes the set holds, or bytes made
// into `scratch`; data nullptr for a stall.
struct descriptor_bytes {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

descriptor_bytes held(const std::vector<uint8_t>& bytes) { return {bytes.data(), bytes.size()}; }

// A string descriptor of these UTF-16 units (cut to what bLength can carry).
template <typename Unit>
descriptor_bytes make_string(const Unit* text, size_t count, uint8_t* scratch) {
    const size_t units = std::min<size_t>(count, max_string_units);
    scratch[0] = static_cast<uint8_t>(2 + units * 2);
    scratch[1] = USB_STRING_DESCRIPTOR_TYPE;
    for (size_t i = 0; i < units; ++i) {
        const auto unit = static_cast<uint16_t>(text[i]);
        scratch[2 + i * 2] = static_cast<uint8_t>(unit & 0xff);
        scratch[3 + i * 2] = static_cast<uint8_t>(unit >> 8);
    }
    return {scratch, 2 + units * 2};
}

descriptor_bytes find_descriptor(const descriptor_set& device, uint8_t type, uint8_t index, uint16_t langid,
                                 uint8_t* scratch) {
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
            if (index != 0) return {};
            std::memcpy(scratch, &device.device, sizeof(device.device));
            return {scratch, sizeof(device.device)};
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            if (index >= device.configurations.size()) return {};
            return held(device.configurations[index]);
        case USB_STRING_DESCRIPTOR_TYPE: {
            if (device.languages.empty()) return {};
            if (index == 0) return make_string(device.languages.data(), device.languages.size(), scratch);
            auto raw = device.other_descriptors.find(USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(type, index));
            if (raw != device.other_descriptors.end()) return held(raw->second);
            auto listed = std::find(device.languages.begin(), device.languages.end(), langid);
            const std::u16string* text = device.string(index);
            if (listed == device.languages.end() || text == nullptr) return {};
            return make_string(text->data(), text->size(), scratch);
        }
        default: {
            auto it = device.other_descriptors.find(USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(type, index));
            if (it == device.other_descriptors.end()) return {};
            return held(it->second);
        }
    }
}

// Copies a descriptor into its record; fields past its bLength stay zero.
template <typename Record>
Record copy_record(const uint8_t* data, const descriptor_entry& entry) {
    Record record{};
    std::memcpy(&record, data + entry.offset, std::min<size_t>(entry.length, sizeof(Record)));
    return record;
}

// Descriptors that end the run of class-specific bytes before them.
bool starts_group(uint8_t type) {
    return type == USB_INTERFACE_DESCRIPTOR_TYPE || type == USB_ENDPOINT_DESCRIPTOR_TYPE ||
           type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE;
}

// The endpoint descriptors from entries[first] up to the next interface or
// association.
size_t endpoints_after(const std::vector<descriptor_entry>& entries, size_t first) {
    size_t count = 0;
    for (size_t i = first; i < entries.size(); ++i) {
        const uint8_t type = entries[i].type;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE || type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) break;
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) count++;
    }
    return count;
}

}  // namespace

const std::u16string* descriptor_set::string(uint8_t index) const {
    auto it = strings.find(index);
    return it == strings.end() ? nullptr : &it->second;
}

std::vector<uint8_t> device_descriptor_bytes(const USB_DEVICE_DESCRIPTOR& device) {
    std::vector<uint8_t> bytes(sizeof(device));
    std::memcpy(bytes.data(), &device, sizeof(device));
    return bytes;
}

std::vector<uint8_t> string_descriptor_bytes(const std::u16string& text) {
    uint8_t scratch[scratch_size];
    const descriptor_bytes made = make_string(text.data(), text.size(), scratch);
    return std::vector<uint8_t>(made.data, made.data + made.size);
}

std::vector<uint8_t> language_descriptor_bytes(const std::vector<uint16_t>& languages) {
    return string_descriptor_bytes(std::u16string(languages.begin(), languages.end()));
}

descriptor_reply answer_get_descriptor(const descriptor_set& device, uint8_t type, uint8_t index, uint16_t langid,
                                       uint16_t length) {
    uint8_t scratch[scratch_size];
    const descriptor_bytes found = find_descriptor(device, type, index, langid, scratch);
    descriptor_reply reply;
    if (found.data == nullptr) {
        reply.stalled = true;
    } else {
        reply.data.assign(found.data, found.data + std::min<size_t>(found.size, length));
    }
    return reply;
}

bool answer_get_descriptor(const descriptor_set& device, uint8_t type, uint8_t index, uint16_t langid, uint16_t length,
                           uint8_t* out, size_t room, size_t* written) {
    uint8_t scratch[scratch_size];
    const descriptor_bytes found = find_descriptor(device, type, index, langid, scratch);
    if (found.data == nullptr) return false;
    *written = std::min({found.size, static_cast<size_t>(length), room});
    if (*written != 0 && out != nullptr) std::memcpy(out, found.data, *written);
    return true;
}

const char* walk_end_name(walk_end end) {
    switch (end) {
        case walk_end::complete:
            return "complete";
        case walk_end::zero_length:
            return "zero_length";
        case walk_end::length_too_small:
            return "length_too_small";
        case walk_end::past_total_length:
            return "past_total_length";
        case walk_end::past_buffer:
            return "past_buffer";
        case walk_end::short_buffer:
            return "short_buffer";
    }
    return "unknown";
}

std::string descriptor_walk::problem() const {
    std::string where = "offset " + std::to_string(stop_offset) + ": ";
    switch (end) {
        case walk_end::complete:
            return "";
        case walk_end::zero_length:
            return where + "descriptor with bLength 0";
        case walk_end::length_too_small:
            return where + "descriptor with bLength 1";
        case walk_end::past_total_length:
            return where + "descriptor runs past wTotalLength " + std::to_string(total_length);
        case walk_end::past_buffer:
            return where + "descriptor runs past the " + std::to_string(buffer_size) + " bytes present";
        case walk_end::short_buffer:
            if (buffer_size < 4) return where + "configuration too short for wTotalLength";
            return where + "wTotalLength " + std::to_string(total_length) + " but only " + std::to_string(buffer_size) +
                   " bytes present";
    }
    return where + "unknown";
}

descriptor_walk walk_configuration(const uint8_t* data, size_t size) {
    descriptor_walk walk;
    if (data == nullptr) size = 0;
    walk.buffer_size = size;
    // Without the four bytes holding wTotalLength only the buffer bounds the walk.
    size_t limit = size;
    if (size >= 4) {
        walk.total_length = static_cast<size_t>(data[2]) | static_cast<size_t>(data[3]) << 8;
        limit = std::min<size_t>(size, walk.total_length);
    }
    const bool bounded_by_total = size >= 4 && walk.total_length <= size;

    // Counted first so the list is allocated once.
    size_t count = 0;
    for (size_t at = 0; at < limit && data[at] >= 2 && at + data[at] <= limit; at += data[at]) count++;
    walk.descriptors.reserve(count);

    size_t offset = 0;
    while (offset < limit) {
        uint8_t length = data[offset];
        walk.stop_offset = offset;
        if (length == 0) {
            walk.end = walk_end::zero_length;
            return walk;
        }
        if (length < 2) {
            walk.end = walk_end::length_too_small;
            return walk;
        }
        if (offset + length > limit) {
            walk.end = bounded_by_total ? walk_end::past_total_length : walk_end::past_buffer;
            return walk;
        }
        walk.descriptors.push_back({offset, length, data[offset + 1]});
        offset += length;
    }
    walk.stop_offset = offset;
    walk.end = bounded_by_total ? walk_end::complete : walk_end::short_buffer;
    return walk;
}

const parsed_setting* parsed_interface::setting(uint8_t alternate) const {
    for (const parsed_setting& s : settings) {
        if (s.descriptor.bAlternateSetting == alternate) return &s;
    }
    return nullptr;
}

const parsed_interface* parsed_configuration::find_interface(uint8_t number) const {
    for (const parsed_interface& i : interfaces) {
        if (i.number == number) return &i;
    }
    return nullptr;
}

const parsed_setting* parsed_configuration::find_setting(uint8_t number, uint8_t alternate) const {
    const parsed_interface* found = find_interface(number);
    return found == nullptr ? nullptr : found->setting(alternate);
}

parsed_configuration parse_configuration(const uint8_t* data, size_t size) {
    parsed_configuration config;
    config.walk = walk_configuration(data, size);
    const std::vector<descriptor_entry>& entries = config.walk.descriptors;
    if (entries.empty()) return config;

    size_t first = 0;
    if (entries[0].type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        config.has_header = true;
        config.header = copy_record<USB_CONFIGURATION_DESCRIPTOR>(data, entries[0]);
        first = 1;
    }

    // Where the bytes of a descriptor that is neither an interface, an
    // endpoint nor an association go: after the header, after an interface
    // descriptor, or after an endpoint.
    std::vector<uint8_t>* extra = &config.extra;
    parsed_setting* setting = nullptr;
    for (size_t i = first; i < entries.size(); ++i) {
        const descriptor_entry& entry = entries[i];
        if (entry.type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            parsed_setting parsed;
            parsed.offset = entry.offset;
            parsed.descriptor = copy_record<USB_INTERFACE_DESCRIPTOR>(data, entry);
            uint8_t number = parsed.descriptor.bInterfaceNumber;
            auto it = std::find_if(config.interfaces.begin(), config.interfaces.end(),
                                   [number](const parsed_interface& p) { return p.number == number; });
            if (it == config.interfaces.end()) {
                config.interfaces.push_back({number, {}});
                it = config.interfaces.end() - 1;
            }
            it->settings.push_back(std::move(parsed));
            setting = &it->settings.back();
            extra = &setting->extra;
        } else if (entry.type == USB_ENDPOINT_DESCRIPTOR_TYPE && setting != nullptr) {
            parsed_endpoint endpoint;
            endpoint.offset = entry.offset;
            endpoint.descriptor = copy_record<USB_ENDPOINT_DESCRIPTOR>(data, entry);
            if (setting->endpoints.empty()) setting->endpoints.reserve(endpoints_after(entries, i));
            setting->endpoints.push_back(std::move(endpoint));
            extra = &setting->endpoints.back().extra;
        } else if (entry.type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) {
            config.associations.push_back(
                {entry.offset, copy_record<USB_INTERFACE_ASSOCIATION_DESCRIPTOR>(data, entry)});
            // What follows an association belongs to its first interface, not
            // to the previous function's last endpoint.
            setting = nullptr;
            extra = &config.extra;
        } else {
            // The run of such descriptors is contiguous: one copy for all of them.
            size_t last = i;
            while (last + 1 < entries.size() && !starts_group(entries[last + 1].type)) last++;
            extra->insert(extra->end(), data + entry.offset, data + entries[last].offset + entries[last].length);
            i = last;
        }
    }
    return config;
}

namespace {

// The configurations parsed lately, most recently used first.
class parse_cache {
 public:
    parse_cache() { entries_.reserve(capacity); }

    std::shared_ptr<const parsed_configuration> find(const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> guard(lock_);
        for (size_t i = 0; i < entries_.size(); ++i) {
            const std::vector<uint8_t>& bytes = entries_[i].bytes;
            if (bytes.size() != size || (size != 0 && std::memcmp(bytes.data(), data, size) != 0)) continue;
            std::rotate(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(i),
                        entries_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            return entries_.front().parsed;
        }
        return nullptr;
    }

    void add(const uint8_t* data, size_t size, std::shared_ptr<const parsed_configuration> parsed) {
        std::lock_guard<std::mutex> guard(lock_);
        if (entries_.size() == capacity) entries_.pop_back();
        entries_.insert(entries_.begin(), entry{std::vector<uint8_t>(data, data + size), std::move(parsed)});
    }

 private:
    static constexpr size_t capacity = 16;
    struct entry {
        std::vector<uint8_t> bytes;
        std::shared_ptr<const parsed_configuration> parsed;
    };
    std::mutex lock_;
    std::vector<entry> entries_;  // guarded by lock_
};

parse_cache& cache() {
    static auto* c = new parse_cache;  // outlives every static destructor
    return *c;
}

}  // namespace

std::shared_ptr<const parsed_configuration> shared_parse(const uint8_t* data, size_t size) {
    if (data == nullptr) size = 0;
    if (auto found = cache().find(data, size)) return found;
    auto parsed = std::make_shared<const parsed_configuration>(parse_configuration(data, size));
    cache().add(data, size, parsed);
    return parsed;
}

}  // namespace sim::usb
