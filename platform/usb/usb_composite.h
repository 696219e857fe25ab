// How a USB device becomes the functions that Windows loads drivers on.
//
// A composite device (device class 0, or 0xEF/0x02/0x01, one configuration
// with several interfaces) is split as the Windows composite parent splits
// it: one function per interface association, else one per interface. Each
// function sees a configuration holding only its own interfaces and has the
// hardware id VID_vvvv&PID_pppp&MI_nn. Any other device is one function with
// the hardware id VID_vvvv&PID_pppp and every configuration unchanged.
//
// An association the generic parent cannot use is ignored and its
// interfaces are functions of their own: a bInterfaceCount of 0, a first
// interface the configuration lacks, a range reaching past the interfaces
// it has, or a range overlapping an earlier association's. So every
// interface belongs to one function and no two functions share an MI_nn.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "usb/usb_descriptors.h"

namespace sim::usb {

struct usb_function {
    std::string hardware_id;
    bool interface_function = false;  // one function of a composite device (MI_nn)
    uint8_t first_interface = 0;
    // The association a composite function was grouped by.
    bool has_association = false;
    USB_INTERFACE_ASSOCIATION_DESCRIPTOR association{};
    // The device as this function sees it: the device descriptor and strings
    // unchanged; every configuration for a whole device (the device's own set,
    // shared), only its own part of the first configuration for a composite
    // function. Never null.
    std::shared_ptr<const descriptor_set> descriptors;
};

enum class split_mode {
    composite,     // split a composite device into its functions
    whole_device,  // one function with the whole device, whatever it is
};

bool is_composite(const descriptor_set& device);

// The IDs Windows' USB stack reports, upper-case hex. A device (the hub's
// PDO): USB\VID_v&PID_p&REV_r and USB\VID_v&PID_p; compatible
// USB\Class_c&SubClass_s&Prot_p, USB\Class_c&SubClass_s, USB\Class_c from
// the device descriptor (from its first interface when bDeviceClass is 0
// and the device is not composite), and USB\COMPOSITE for a composite
// device. A function of the generic parent: the same with &MI_nn, its
// class from its association or else its first interface.
struct usb_ids {
    std::vector<std::string> hardware;
    std::vector<std::string> compatible;
};
usb_ids function_ids(const descriptor_set& device, const usb_function& function);

// The hub's check of configuration 0 before it reports the device, as
// Windows' hub validates what it reads: the header, every bLength at least
// 2, nothing past wTotalLength or the bytes sent, as many interfaces as
// bNumInterfaces and as many endpoints under each setting as its
// bNumEndpoints. "" when it passes, else what failed. A device failing it
// is reported as USB\CONFIGURATION_DESCRIPTOR_VALIDATION_FAILURE, with no
// driver.
std::string validate_configuration(const std::vector<uint8_t>& configuration);
constexpr const char* validation_failure_id = "USB\\CONFIGURATION_DESCRIPTOR_VALIDATION_FAILURE";

std::vector<usb_function> split_functions(const descriptor_set& device, split_mode mode = split_mode::composite);
// The same for a set held shared, which a whole-device function shares.
std::vector<usb_function> split_functions(const std::shared_ptr<const descriptor_set>& device,
                                          split_mode mode = split_mode::composite);

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
