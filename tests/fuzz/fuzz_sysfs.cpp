// Descriptor files as Linux exposes them, through the loader, and every
// configuration it keeps through the walker and parser the host side uses.
#include "devices/sysfs_loader.h"
#include "usb/usb_composite.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto loaded = sim::usb::load_sysfs_descriptors(data, size);
    if (!loaded.ok()) return 0;
    sim::usb::split_functions(loaded.descriptors);
    for (const auto& config : loaded.descriptors.configurations) {
        auto parsed = sim::usb::parse_configuration(config);
        parsed.walk.problem();
        sim::usb::answer_get_descriptor(loaded.descriptors, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
        sim::usb::answer_get_descriptor(loaded.descriptors, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0xffff);
    }
    return 0;
}
