// Built-in simulated devices, each laid out as a real device of its kind is:
// the interfaces, class-specific descriptors, endpoints, packet sizes and
// power attributes such a device has. Vendor id 0x1234, one product id each.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "usb/usb_descriptors.h"

namespace sim::devices {
class model_device;
}

namespace sim::usb::catalogue {

struct device_options {
    // Full speed: 64-byte bulk packets; high speed: 512, and a device qualifier.
    usb_speed speed = usb_speed::full;
    // Unset: as a real device of the kind is.
    std::optional<bool> self_powered;
    std::optional<bool> remote_wakeup;
    std::optional<uint16_t> product_id;
    std::optional<std::u16string> serial;
};

constexpr uint16_t vendor_id = 0x1234;

// CDC ACM modem: communication interface 2/2/1 with header, call management,
// ACM and union descriptors and notification endpoint 0x81; data interface
// with bulk 0x82 IN and 0x02 OUT. Remote wakeup (ring), bus powered.
descriptor_set acm_modem(const device_options& options = {});
// The same without the notification endpoint; no remote wakeup.
descriptor_set acm_without_notification(const device_options& options = {});
// CDC ECM: communication interface 2/6/0 with the ethernet descriptor; data
// interface with an empty setting 0 and bulk endpoints in setting 1.
descriptor_set ecm_adapter(const device_options& options = {});
// CDC OBEX: communication interface 2/0x0B/0, data interface like ECM's.
// Self powered, as a phone is.
descriptor_set obex_phone(const device_options& options = {});
// CDC EEM: one interface 2/0x0C/7 with bulk IN and OUT.
descriptor_set eem_adapter(const device_options& options = {});
// Smart-card reader, interface 0x0B/0/protocol. Protocol 0 has bulk IN, bulk
// OUT and interrupt IN; protocols 1 and 2 are control only, with an
// interrupt IN when asked.
descriptor_set iccd_reader(uint8_t protocol, bool interrupt_in, const device_options& options = {});
// DFU in DFU mode: interface 0xFE/1/2 with its functional descriptor, no endpoints.
descriptor_set dfu_device(const device_options& options = {});
// Vendor serial adapters, class 0xFF: bulk IN and OUT, and in the 3-endpoint
// layout an interrupt IN for line status.
descriptor_set vendor_serial_2ep(const device_options& options = {});
descriptor_set vendor_serial_3ep(const device_options& options = {});
// A vendor interface with only an interrupt IN and an interrupt OUT endpoint.
descriptor_set vendor_interrupt_pair(const device_options& options = {});
// Composite 0xEF/2/1: two ACM functions, each under an interface association.
descriptor_set dual_acm_composite(const device_options& options = {});
// Composite of class 0: an ACM function under an interface association
// (interfaces 0 and 1) and a vendor interface 2 on its own.
descriptor_set acm_vendor_composite(const device_options& options = {});

struct entry {
    const char* name;     // "acm", "ecm", "iccd-bulk", ...
    const char* summary;  // one line for listings
    descriptor_set (*make)(const device_options& options);
};

const std::vector<entry>& entries();
const entry* find(const std::string& name);

// The named built-in device with its function models (the "acm" modem
// answers AT commands, ...), as sim::devices::make_device builds it from the
// descriptors; nullptr for an unknown name.
std::shared_ptr<devices::model_device> build(const std::string& name, const device_options& options = {});

}  // namespace sim::usb::catalogue
