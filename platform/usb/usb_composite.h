// How a USB device becomes the functions that Windows loads drivers on.
//
// A composite device (device class 0, or 0xEF/0x02/0x01, one configuration
// with several interfaces) is split as the Windows composite parent splits
// it: one function per interface association, else one per interface. Each
// function sees a configuration holding only its own interfaces and has the
// hardware id VID_vvvv&PID_pppp&MI_nn. Any other device is one function with
// the hardware id VID_vvvv&PID_pppp and every configuration unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usb/usb_descriptors.h"

namespace sim::usb {

struct usb_function {
    std::string hardware_id;
    bool interface_function = false;  // one function of a composite device (MI_nn)
    uint8_t first_interface = 0;
    // The device as this function sees it: the device descriptor and strings
    // unchanged; every configuration for a whole device, only its own part of
    // the first configuration for a composite function.
    descriptor_set descriptors;
};

enum class split_mode {
    composite,     // split a composite device into its functions
    whole_device,  // one function with the whole device, whatever it is
};

bool is_composite(const descriptor_set& device);

std::vector<usb_function> split_functions(const descriptor_set& device, split_mode mode = split_mode::composite);

// "VID_1234&PID_ABCD" and "VID_1234&PID_ABCD&MI_02".
std::string device_hardware_id(uint16_t vendor_id, uint16_t product_id);
std::string interface_hardware_id(uint16_t vendor_id, uint16_t product_id, uint8_t interface_number);

// The part of a configuration one function sees: the configuration header
// with wTotalLength and bNumInterfaces fitted to what is kept, descriptors
// that precede every interface, the function's own interface association
// (the one at association_offset, 0 for none) and its interfaces with
// everything that follows them. Walks as far as the bytes allow.
std::vector<uint8_t> function_configuration(const std::vector<uint8_t>& configuration,
                                            const std::vector<uint8_t>& interfaces, size_t association_offset);

}  // namespace sim::usb
