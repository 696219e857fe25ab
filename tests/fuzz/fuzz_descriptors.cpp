// A device whose descriptors come from the input, plugged into a host running
// the driver: start, children, every child opening its data path through the
// bus interface and reading its descriptors back, then unplug and unload.
//
// Input: flags, a 16-bit parameter, a count, then the descriptors as sysfs
// holds them (device descriptor, configurations back to back).
//   flags & 3: how the device answers the host's GET_DESCRIPTOR
//     0: as the bytes say
//     1: configurations cut to `parameter` bytes (shorter than wTotalLength)
//     2: wTotalLength rewritten to `parameter` (claiming fewer or more bytes)
//     3: the next `count` control transfers end after `parameter` bytes
//   flags & 4: the composite device split into functions (else one function)
//   flags & 8: completions on the platform's threads, seeded by `count`
//   flags & 16: surprise removal instead of an orderly unplug
#include <atomic>

#include "devices/sysfs_loader.h"
#include "fuzz_host.h"
#include "usb/usb_device.h"

namespace {

using cdc_fuzz::input;

void on_complete(PVOID ctx, NTSTATUS, ULONG) { static_cast<std::atomic<int>*>(ctx)->fetch_add(1); }

void reshape(sim::usb::descriptor_set& set, uint8_t mode, uint16_t parameter) {
    for (auto& config : set.configurations) {
        if (mode == 1 && parameter < config.size()) config.resize(parameter);
        if (mode == 2 && config.size() >= 4) {
            config[2] = static_cast<uint8_t>(parameter);
            config[3] = static_cast<uint8_t>(parameter >> 8);
        }
    }
}

// What a child driver reads of its function before using it.
void read_back(CDC_BUS_INTERFACE& bus, WDFDEVICE child) {
    ULONG notify = 0, out = 0, in = 0;
    UCHAR ep0 = 0;
    bus.qd_get_maxps(child, &notify, &out, &in, &ep0);
    USB_DEVICE_DESCRIPTOR device;
    bus.qd_get_device_descriptor(child, &device);
    UCHAR protocol = 0;
    bus.qd_get_func_protocol(child, &protocol);

    USHORT total = 0;
    if (bus.qd_get_configuration_descriptor_copyout(child, nullptr, &total) == STATUS_SUCCESS) {
        std::vector<UCHAR> copy(total);
        bus.qd_get_configuration_descriptor_copyout(child, copy.data(), &total);
    }
    for (UCHAR subtype = 0; subtype < 0x20; subtype++) {
        UCHAR buffer[255];
        UCHAR length = sizeof(buffer);
        bus.cdc_get_functional_descriptor(child, subtype, buffer, &length);
    }
    UCHAR dfu[16];
    bus.dfu_get_functional_descriptor(child, dfu);
    for (UCHAR index = 0; index < 4; index++) {
        WCHAR text[64];
        UNICODE_STRING string{0, sizeof(text), text};
        USHORT chars = 63;
        bus.cdc_get_string(child, index, &string, &chars);
    }
    ULONG idle = 0;
    bus.qd_get_idle_timeout(child, &idle);
    bus.qd_is_ext_ctrl_enabled(child);
    bus.qd_ui_number_get(child);
    bus.qd_is_zlp_enabled(child);
}

void open_data_path(CDC_BUS_INTERFACE& bus, WDFDEVICE child) {
    if (bus.cdc_data_io_init(child, 2, 2) != STATUS_SUCCESS) return;
    if (bus.cdc_transport_enable(child) == STATUS_SUCCESS) {
        // Outlives the call: a cancelled read may be reported after disable returns.
        static std::atomic<int> done{0};
        uint8_t write[70] = {'A', 'T', '\r'};
        uint8_t read[64];
        bus.cdc_data_out_async(child, write, sizeof(write), on_complete, &done, 0);
        bus.cdc_data_in_async(child, read, sizeof(read), on_complete, &done, 0);
        bus.cdc_transport_disable(child);
    }
    // A child closing its port takes back the read it left waiting for data.
    bus.qd_abort_reads(child);
    bus.cdc_data_io_uninit(child);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cdc_fuzz::pin_driver_image();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    input in(data, size);
    const uint8_t flags = in.u8();
    const uint16_t parameter = in.u16();
    const uint8_t count = in.u8();
    const std::vector<uint8_t> bytes = in.rest();

    auto loaded = sim::usb::load_sysfs_descriptors(bytes);
    if (!loaded.ok()) return 0;
    const uint8_t mode = flags & 3;
    reshape(loaded.descriptors, mode, parameter);

    auto host = cdc_fuzz::make_host((flags & 8) != 0, count);
    auto dev = std::make_shared<sim::usb::device>(loaded.descriptors);
    if (mode == 3) {
        for (unsigned i = 0; i < (count & 15u); i++) dev->inject(0, sim::usb::fault::make_short(parameter));
    }
    sim::plug_options options;
    options.whole_device = (flags & 4) == 0;
    auto stacks = host->plug(dev, options);
    for (auto* stack : stacks) {
        for (const auto& child : host->children(*stack)) {
            CDC_BUS_INTERFACE bus;
            if (!cdc_fuzz::query_bus(child.device, &bus)) continue;
            read_back(bus, child.device);
            open_data_path(bus, child.device);
            bus.header.InterfaceDereference(bus.header.Context);
        }
    }
    if (flags & 16) {
        host->surprise_remove(dev);
    } else {
        host->unplug(dev);
    }
    cdc_fuzz::end_host(host);
    return 0;
}
