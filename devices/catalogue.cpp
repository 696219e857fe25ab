#include "devices/catalogue.h"

#include "devices/descriptor_builder.h"
#include "devices/models/make_device.h"

namespace sim::usb::catalogue {

namespace {

using ep = endpoint_type;

uint8_t attributes(const device_options& options, bool self_powered, bool remote_wakeup) {
    uint8_t value = USB_CONFIG_BUS_POWERED;
    if (options.self_powered.value_or(self_powered)) value |= USB_CONFIG_SELF_POWERED;
    if (options.remote_wakeup.value_or(remote_wakeup)) value |= USB_CONFIG_REMOTE_WAKEUP;
    return value;
}

bool high(const device_options& options) { return options.speed == usb_speed::high; }

uint16_t bulk_packet(const device_options& options) { return high(options) ? 512 : 64; }

// bInterval for a polling period: frames at full speed, 2^(n-1)
// microframes at high speed.
uint8_t interval_ms(const device_options& options, unsigned ms) {
    if (!high(options)) return static_cast<uint8_t>(ms);
    uint8_t n = 1;
    for (unsigned microframes = ms * 8; microframes > 1 && n < 16; microframes >>= 1) ++n;
    return n;
}

descriptor_builder start(const device_options& options, uint16_t product_id, uint8_t device_class, uint8_t subclass,
                         uint8_t protocol, const std::u16string& product, const std::u16string& serial) {
    descriptor_builder builder;
    builder.device(vendor_id, options.product_id.value_or(product_id), device_class, subclass, protocol, 0x0200, 64)
        .device_release(0x0100)
        .speed(options.speed)
        .strings(u"Simulated Devices", product, options.serial.value_or(serial));
    return builder;
}

// A high-speed capable device answers the device qualifier; a full-speed
// only one stalls it.
descriptor_set finish(const descriptor_builder& builder) {
    descriptor_set set = builder.build();
    if (set.speed == usb_speed::high) {
        const USB_DEVICE_DESCRIPTOR& d = set.device;
        set.other_descriptors[USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, 0)] = {
            10,
            USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE,
            static_cast<uint8_t>(d.bcdUSB & 0xff),
            static_cast<uint8_t>(d.bcdUSB >> 8),
            d.bDeviceClass,
            d.bDeviceSubClass,
            d.bDeviceProtocol,
            d.bMaxPacketSize0,
            d.bNumConfigurations,
            0};
    }
    return set;
}

// Communication and data interfaces of an ACM function at interfaces
// `comm` and comm + 1; endpoint numbers start at `first_ep`.
void add_acm_function(descriptor_builder& b, const device_options& o, uint8_t comm, uint8_t first_ep, bool notify,
                      uint8_t comm_string, uint8_t data_string) {
    const uint8_t data = static_cast<uint8_t>(comm + 1);
    const uint8_t notify_ep = static_cast<uint8_t>(0x80 | first_ep);
    const uint8_t data_ep = static_cast<uint8_t>(first_ep + 1);
    b
        // Interface comm: CDC communications, ACM, AT commands
        .interface(comm, 0, USB_DEVICE_CLASS_COMMUNICATIONS, cdc_subclass_acm, cdc_protocol_at, comm_string)
        // Header functional: CDC 1.10
        .cdc_header(0x0110)
        // Call management functional: handled by the device, over the data interface
        .cdc_call_management(0x03, data)
        // ACM functional: line coding, serial state and send break
        .cdc_acm(0x06)
        // Union functional: comm controls data
        .cdc_union(comm, {data});
    if (notify) {
        // Endpoint 0x8n: interrupt IN, 16, SERIAL_STATE notifications
        b.endpoint(notify_ep, ep::interrupt, 16, interval_ms(o, 16));
    }
    b
        // Interface comm + 1: CDC data
        .interface(data, 0, USB_DEVICE_CLASS_CDC_DATA, 0, 0, data_string)
        // Endpoint 0x8n: bulk IN, 64 or 512
        .endpoint(static_cast<uint8_t>(0x80 | data_ep), ep::bulk, bulk_packet(o))
        // Endpoint 0x0n: bulk OUT, 64 or 512
        .endpoint(data_ep, ep::bulk, bulk_packet(o));
}

descriptor_set make_acm(const device_options& o, bool notify) {
    descriptor_builder b = start(o, notify ? 0x0001 : 0x0002, USB_DEVICE_CLASS_COMMUNICATIONS, 0, 0, u"USB Modem",
                                 notify ? u"ACM0001" : u"ACM0002");
    // Configuration 1: 100 mA, remote wakeup on ring
    b.configuration(1, attributes(o, false, notify), 50);
    add_acm_function(b, o, 0, 1, notify, 0, 0);
    return finish(b);
}

// Interface data: CDC data with no endpoints in setting 0 (function idle)
// and the bulk pair in setting 1, as ECM and OBEX have it.
void add_switched_data_interface(descriptor_builder& b, const device_options& o, uint8_t number) {
    b
        // Interface 1, setting 0: CDC data, no endpoints
        .interface(number, 0, USB_DEVICE_CLASS_CDC_DATA, 0, 0)
        // Interface 1, setting 1: CDC data
        .interface(number, 1, USB_DEVICE_CLASS_CDC_DATA, 0, 0)
        // Endpoint 0x82: bulk IN, 64 or 512
        .endpoint(0x82, ep::bulk, bulk_packet(o))
        // Endpoint 0x02: bulk OUT, 64 or 512
        .endpoint(0x02, ep::bulk, bulk_packet(o));
}

// Smart-card class descriptor of a one-slot ICCD: T=1, fixed clock and
// rate, APDU level exchange.
std::vector<uint8_t> iccd_class_body() {
    return {
        0x10, 0x01,              // bcdCCID 1.10
        0x00,                    // bMaxSlotIndex
        0x07,                    // bVoltageSupport: 5 V, 3 V, 1.8 V
        0x02, 0x00, 0x00, 0x00,  // dwProtocols: T=1
        0xa0, 0x0f, 0x00, 0x00,  // dwDefaultClock: 4000 kHz
        0xa0, 0x0f, 0x00, 0x00,  // dwMaximumClock
        0x00,                    // bNumClockSupported
        0x80, 0x25, 0x00, 0x00,  // dwDataRate: 9600 bps
        0x80, 0x25, 0x00, 0x00,  // dwMaxDataRate
        0x00,                    // bNumDataRatesSupported
        0xfe, 0x00, 0x00, 0x00,  // dwMaxIFSD
        0x00, 0x00, 0x00, 0x00,  // dwSynchProtocols
        0x00, 0x00, 0x00, 0x00,  // dwMechanical
        0x40, 0x08, 0x04, 0x00,  // dwFeatures: automatic parameters, short and extended APDU
        0x0f, 0x01, 0x00, 0x00,  // dwMaxCCIDMessageLength: 271
        0xff,                    // bClassGetResponse
        0xff,                    // bClassEnvelope
        0x00, 0x00,              // wLcdLayout: none
        0x00,                    // bPINSupport
        0x01,                    // bMaxCCIDBusySlots
    };
}

descriptor_set make_iccd_bulk(const device_options& o) { return iccd_reader(0, true, o); }
descriptor_set make_iccd_a(const device_options& o) { return iccd_reader(1, false, o); }
descriptor_set make_iccd_b(const device_options& o) { return iccd_reader(2, true, o); }

}  // namespace

descriptor_set acm_modem(const device_options& options) { return make_acm(options, true); }

descriptor_set acm_without_notification(const device_options& options) { return make_acm(options, false); }

descriptor_set ecm_adapter(const device_options& o) {
    descriptor_builder b = start(o, 0x0003, USB_DEVICE_CLASS_COMMUNICATIONS, 0, 0, u"USB Ethernet", u"ECM0003");
    b.string(4, u"021234000003")
        // Configuration 1: 250 mA, remote wakeup on LAN activity
        .configuration(1, attributes(o, false, true), 125)
        // Interface 0: CDC communications, ECM
        .interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, cdc_subclass_ecm, 0)
        // Header functional: CDC 1.10
        .cdc_header(0x0110)
        // Union functional: 0 controls 1
        .cdc_union(0, {1})
        // Ethernet functional: MAC address in string 4, 1514-byte segments
        .cdc_ethernet(4, 0, 1514, 0, 0)
        // Endpoint 0x81: interrupt IN, 16, network connection notifications
        .endpoint(0x81, ep::interrupt, 16, interval_ms(o, 32));
    add_switched_data_interface(b, o, 1);
    return finish(b);
}

descriptor_set obex_phone(const device_options& o) {
    descriptor_builder b = start(o, 0x0004, USB_DEVICE_CLASS_COMMUNICATIONS, 0, 0, u"Phone OBEX", u"OBEX0004");
    b.string(4, u"OBEX Object Push")
        // Configuration 1: self powered (battery), 2 mA
        .configuration(1, attributes(o, true, false), 1)
        // Interface 0: CDC communications, OBEX, no endpoints
        .interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, cdc_subclass_obex, 0, 4)
        // Header functional: CDC 1.10
        .cdc_header(0x0110)
        // OBEX functional: version 1.00
        .cdc_obex(0x0100)
        // Union functional: 0 controls 1
        .cdc_union(0, {1});
    add_switched_data_interface(b, o, 1);
    return finish(b);
}

descriptor_set eem_adapter(const device_options& o) {
    descriptor_builder b = start(o, 0x0005, USB_DEVICE_CLASS_COMMUNICATIONS, 0, 0, u"USB EEM Ethernet", u"EEM0005");
    b
        // Configuration 1: 250 mA, remote wakeup on LAN activity
        .configuration(1, attributes(o, false, true), 125)
        // Interface 0: CDC communications, EEM
        .interface(0, 0, USB_DEVICE_CLASS_COMMUNICATIONS, cdc_subclass_eem, cdc_protocol_eem)
        // Endpoint 0x81: bulk IN, 64 or 512
        .endpoint(0x81, ep::bulk, bulk_packet(o))
        // Endpoint 0x02: bulk OUT, 64 or 512
        .endpoint(0x02, ep::bulk, bulk_packet(o));
    return finish(b);
}

descriptor_set iccd_reader(uint8_t protocol, bool interrupt_in, const device_options& o) {
    descriptor_builder b =
        start(o, static_cast<uint16_t>(0x0010 + protocol), 0, 0, 0, u"Smart Card Reader", u"ICCD0010");
    b
        // Configuration 1: 100 mA, remote wakeup on card insertion when it can tell
        .configuration(1, attributes(o, false, interrupt_in), 50)
        // Interface 0: smart card, ICCD
        .interface(0, 0, USB_DEVICE_CLASS_SMART_CARD, 0, protocol)
        // Smart-card class descriptor: one slot, T=1
        .descriptor(functional_descriptor, iccd_class_body());
    if (protocol == 0) {
        b
            // Endpoint 0x82: bulk IN, 64 or 512
            .endpoint(0x82, ep::bulk, bulk_packet(o))
            // Endpoint 0x02: bulk OUT, 64 or 512
            .endpoint(0x02, ep::bulk, bulk_packet(o));
    }
    if (interrupt_in) {
        // Endpoint 0x81: interrupt IN, 8, slot change
        b.endpoint(0x81, ep::interrupt, 8, interval_ms(o, 16));
    }
    return finish(b);
}

descriptor_set dfu_device(const device_options& o) {
    descriptor_builder b = start(o, 0x0020, 0, 0, 0, u"Firmware Updater", u"DFU0020");
    b.string(4, u"DFU")
        // Configuration 1: 100 mA
        .configuration(1, attributes(o, false, false), 50)
        // Interface 0: application specific, DFU, DFU mode
        .interface(0, 0, USB_DEVICE_CLASS_APPLICATION_SPECIFIC, 0x01, 0x02, 4)
        // DFU functional: download, upload, manifestation tolerant; 255 ms detach, 1024-byte blocks, DFU 1.10
        .descriptor(functional_descriptor, {0x07, 0xff, 0x00, 0x00, 0x04, 0x10, 0x01});
    return finish(b);
}

descriptor_set vendor_serial_2ep(const device_options& o) {
    descriptor_builder b = start(o, 0x0030, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0, u"USB Serial", u"VS0030");
    b
        // Configuration 1: 90 mA
        .configuration(1, attributes(o, false, false), 45)
        // Interface 0: vendor specific, two endpoints
        .interface(0, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0xff, 0xff)
        // Endpoint 0x81: bulk IN, 64 or 512
        .endpoint(0x81, ep::bulk, bulk_packet(o))
        // Endpoint 0x02: bulk OUT, 64 or 512
        .endpoint(0x02, ep::bulk, bulk_packet(o));
    return finish(b);
}

// Laid out as the common single-chip adapters are: 32-byte bulk packets at
// full speed, 8-byte control endpoint, line status on an interrupt IN.
descriptor_set vendor_serial_3ep(const device_options& o) {
    descriptor_builder b = start(o, 0x0031, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0, u"USB Serial", u"VS0031");
    const uint16_t packet = high(o) ? 512 : 32;
    b.device(vendor_id, o.product_id.value_or(0x0031), USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0, 0x0110, 8)
        // Configuration 1: 96 mA
        .configuration(1, attributes(o, false, false), 48)
        // Interface 0: vendor specific, three endpoints
        .interface(0, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0x01, 0x02)
        // Endpoint 0x82: bulk IN, 32 or 512
        .endpoint(0x82, ep::bulk, packet)
        // Endpoint 0x02: bulk OUT, 32 or 512
        .endpoint(0x02, ep::bulk, packet)
        // Endpoint 0x81: interrupt IN, 8, line status
        .endpoint(0x81, ep::interrupt, 8, interval_ms(o, 1));
    return finish(b);
}

descriptor_set vendor_interrupt_pair(const device_options& o) {
    descriptor_builder b = start(o, 0x0032, 0, 0, 0, u"USB Interrupt Serial", u"VI0032");
    b
        // Configuration 1: 100 mA
        .configuration(1, attributes(o, false, false), 50)
        // Interface 0: vendor specific, interrupt endpoints only
        .interface(0, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0)
        // Endpoint 0x81: interrupt IN, 64
        .endpoint(0x81, ep::interrupt, 64, interval_ms(o, 1))
        // Endpoint 0x01: interrupt OUT, 64
        .endpoint(0x01, ep::interrupt, 64, interval_ms(o, 1));
    return finish(b);
}

descriptor_set dual_acm_composite(const device_options& o) {
    descriptor_builder b =
        start(o, 0x0040, USB_DEVICE_CLASS_MISCELLANEOUS, 0x02, 0x01, u"Dual USB Serial", u"DUAL0040");
    b.string(4, u"Serial A")
        .string(5, u"Serial B")
        // Configuration 1: 100 mA
        .configuration(1, attributes(o, false, false), 50)
        // Association: interfaces 0-1, CDC ACM
        .iad(0, 2, USB_DEVICE_CLASS_COMMUNICATIONS, cdc_subclass_acm, cdc_protocol_at, 4);
    add_acm_function(b, o, 0, 1, true, 4, 0);
    // Association: interfaces 2-3, CDC ACM
    b.iad(2, 2, USB_DEVICE_CLASS_COMMUNICATIONS, cdc_subclass_acm, cdc_protocol_at, 5);
    add_acm_function(b, o, 2, 3, true, 5, 0);
    return finish(b);
}

descriptor_set acm_vendor_composite(const device_options& o) {
    descriptor_builder b = start(o, 0x0041, 0, 0, 0, u"Modem with Diagnostics", u"MD0041");
    b.string(4, u"Modem")
        .string(5, u"Diagnostics")
        // Configuration 1: 500 mA, remote wakeup on ring
        .configuration(1, attributes(o, false, true), 250)
        // Association: interfaces 0-1, CDC ACM
        .iad(0, 2, USB_DEVICE_CLASS_COMMUNICATIONS, cdc_subclass_acm, cdc_protocol_at, 4);
    add_acm_function(b, o, 0, 1, true, 4, 0);
    b
        // Interface 2: vendor specific, diagnostics
        .interface(2, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0xff, 0xff, 5)
        // Endpoint 0x84: bulk IN, 64 or 512
        .endpoint(0x84, ep::bulk, bulk_packet(o))
        // Endpoint 0x04: bulk OUT, 64 or 512
        .endpoint(0x04, ep::bulk, bulk_packet(o));
    return finish(b);
}

const std::vector<entry>& entries() {
    static const std::vector<entry> table = {
        {"acm", "CDC ACM modem with notification endpoint", acm_modem},
        {"acm-no-notify", "CDC ACM without notification endpoint", acm_without_notification},
        {"ecm", "CDC ECM ethernet adapter", ecm_adapter},
        {"obex", "CDC OBEX phone", obex_phone},
        {"eem", "CDC EEM ethernet adapter", eem_adapter},
        {"iccd-bulk", "smart-card reader, ICCD protocol 0 (bulk)", make_iccd_bulk},
        {"iccd-a", "smart-card reader, ICCD protocol 1 (control)", make_iccd_a},
        {"iccd-b", "smart-card reader, ICCD protocol 2 (control, interrupt IN)", make_iccd_b},
        {"dfu", "firmware updater in DFU mode", dfu_device},
        {"vendor2", "vendor serial adapter, bulk IN and OUT", vendor_serial_2ep},
        {"vendor3", "vendor serial adapter, bulk IN and OUT, interrupt IN", vendor_serial_3ep},
        {"vendor-interrupt", "vendor interface with interrupt IN and OUT only", vendor_interrupt_pair},
        {"dual-acm", "composite 0xEF/2/1, two ACM functions under associations", dual_acm_composite},
        {"acm-vendor", "composite class 0, ACM under an association and a vendor interface", acm_vendor_composite},
    };
    return table;
}

const entry* find(const std::string& name) {
    for (const entry& e : entries()) {
        if (name == e.name) return &e;
    }
    return nullptr;
}

std::shared_ptr<devices::model_device> build(const std::string& name, const device_options& options) {
    const entry* e = find(name);
    if (e == nullptr) return nullptr;
    return devices::make_device(e->make(options));
}

}  // namespace sim::usb::catalogue
