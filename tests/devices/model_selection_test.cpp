// Which models a device gets from its descriptors, how a composite device's
// traffic reaches each function, and the strings every named index answers.
#include <gtest/gtest.h>

#include <set>

#include "descriptor_test_support.h"
#include "devices/catalogue.h"
#include "devices/descriptor_builder.h"
#include "devices/models/make_device.h"
#include "devices/sysfs_loader.h"
#include "model_test_support.h"

namespace sim::devices {
namespace {

using test::bytes_of;

usb::descriptor_set load(const std::string& file) {
    usb::sysfs_load_result loaded = usb::load_sysfs_file(usb::test::real_descriptor_file(file));
    EXPECT_TRUE(loaded.ok()) << loaded.error;
    return loaded.descriptors;
}

std::vector<model_kind> kinds(const std::vector<planned_function>& plan) {
    std::vector<model_kind> out;
    for (const planned_function& f : plan) out.push_back(f.kind);
    return out;
}

// Every string index the device and configuration descriptors name.
std::set<uint8_t> named_indexes(const usb::descriptor_set& set) {
    std::set<uint8_t> named;
    for (uint8_t i : {set.device.iManufacturer, set.device.iProduct, set.device.iSerialNumber}) named.insert(i);
    for (const std::vector<uint8_t>& bytes : set.configurations) {
        for (const usb::descriptor_entry& e : usb::walk_configuration(bytes).descriptors) {
            const uint8_t* p = bytes.data() + e.offset;
            if (e.type == USB_CONFIGURATION_DESCRIPTOR_TYPE) named.insert(p[6]);
            if (e.type == USB_INTERFACE_DESCRIPTOR_TYPE) named.insert(p[8]);
            if (e.type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) named.insert(p[7]);
            if (e.type == usb::cs_interface && p[2] == usb::cdc_fd_ethernet) named.insert(p[3]);
        }
    }
    named.erase(0);
    return named;
}

// The string as the host reads it in 0x0409, ASCII only; nullopt on a stall.
std::optional<std::string> read_string(test::host_side& host, uint8_t index) {
    std::vector<uint8_t> data;
    if (host.control(test::setup(0x80, USB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>(0x0300 | index),
                                 usb::langid_en_us, 255),
                     &data) != USBD_STATUS_SUCCESS) {
        return std::nullopt;
    }
    EXPECT_GE(data.size(), 2u);
    EXPECT_EQ(data[0], data.size());
    EXPECT_EQ(data[1], USB_STRING_DESCRIPTOR_TYPE);
    std::string text;
    for (size_t i = 2; i + 1 < data.size(); i += 2) text.push_back(static_cast<char>(data[i]));
    return text;
}

class model_selection : public ::testing::Test {};

// ---- The real descriptor files ----------------------------------------------------

TEST_F(model_selection, dual_port_file_gets_a_modem_per_association) {
    std::vector<planned_function> plan = plan_functions(load("tinyusb-cdc_dual_ports.bin"));
    ASSERT_EQ(kinds(plan), (std::vector<model_kind>{model_kind::acm_modem, model_kind::acm_modem}));
    const function_layout& second = plan[1].layout;
    EXPECT_EQ(second.interfaces, (std::vector<uint8_t>{2, 3}));
    EXPECT_EQ(second.comm_interface, 2);
    EXPECT_EQ(second.data_interface, 3);
    EXPECT_EQ(second.notify_in, 0x83);
    EXPECT_EQ(second.data_in, 0x84);
    EXPECT_EQ(second.data_out, 0x04);
}

TEST_F(model_selection, ecm_file_gets_an_ecm_loopback_with_the_data_setting_pipes) {
    std::vector<planned_function> plan = plan_functions(load("qemu-usb_net-cfgidx1_ecm.bin"));
    ASSERT_EQ(kinds(plan), std::vector<model_kind>{model_kind::ecm});
    const function_layout& l = plan[0].layout;
    EXPECT_EQ(l.interfaces, (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(l.notify_in, 0x81);
    EXPECT_EQ(l.data_in, 0x82);
    EXPECT_EQ(l.data_out, 0x02);
    EXPECT_FALSE(l.class_descriptor(usb::cs_interface, usb::cdc_fd_ethernet).empty());
}

TEST_F(model_selection, vendor_file_gets_a_vendor_loopback_with_its_status_endpoint) {
    std::vector<planned_function> plan = plan_functions(load("dump-ch340.bin"));
    ASSERT_EQ(kinds(plan), std::vector<model_kind>{model_kind::vendor});
    EXPECT_EQ(plan[0].layout.data_in, 0x82);
    EXPECT_EQ(plan[0].layout.data_out, 0x02);
    EXPECT_EQ(plan[0].layout.notify_in, 0x81);
}

// ---- The built-in devices ---------------------------------------------------------

TEST_F(model_selection, every_built_in_device_gets_the_models_of_its_functions) {
    const std::pair<const char*, std::vector<model_kind>> expected[] = {
        {"acm", {model_kind::acm_modem}},
        {"acm-no-notify", {model_kind::acm_modem}},
        {"ecm", {model_kind::ecm}},
        {"obex", {model_kind::obex}},
        {"eem", {model_kind::eem}},
        {"iccd-bulk", {model_kind::iccd}},
        {"iccd-a", {model_kind::iccd}},
        {"iccd-b", {model_kind::iccd}},
        {"dfu", {model_kind::dfu}},
        {"vendor2", {model_kind::vendor}},
        {"vendor3", {model_kind::vendor}},
        {"vendor-interrupt", {model_kind::vendor}},
        {"dual-acm", {model_kind::acm_modem, model_kind::acm_modem}},
        {"acm-vendor", {model_kind::acm_modem, model_kind::vendor}},
    };
    EXPECT_EQ(std::size(expected), usb::catalogue::entries().size());
    for (const auto& [name, models] : expected) {
        SCOPED_TRACE(name);
        const usb::catalogue::entry* e = usb::catalogue::find(name);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(kinds(plan_functions(e->make({}))), models);
        std::shared_ptr<model_device> dev = usb::catalogue::build(name);
        EXPECT_EQ(dev->functions().size(), models.size());
    }
    EXPECT_EQ(usb::catalogue::build("no-such-device"), nullptr);
}

TEST_F(model_selection, a_function_with_nothing_to_model_keeps_the_base_behaviour) {
    // CDC subclass 0x0d with one interrupt IN: no data pair, no model.
    usb::descriptor_set set = usb::descriptor_builder()
                                  .device(0x1234, 0x0100)
                                  .configuration()
                                  .interface(0, 0, 2, 0x0d, 0)
                                  .endpoint(0x81, usb::endpoint_type::interrupt, 8, 10)
                                  .interface(1, 0, 0xff, 0, 0)
                                  .endpoint(0x03, usb::endpoint_type::bulk, 64)
                                  .build();
    std::shared_ptr<model_device> dev = make_device(set);
    EXPECT_TRUE(dev->functions().empty());
    test::host_side host(*dev);
    host.configure();
    EXPECT_EQ(host.class_out(0x22, 1, 0), USBD_STATUS_STALL_PID);
    ASSERT_EQ(host.write(0x03, {1, 2}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(dev->take_out(0x03), (std::vector<uint8_t>{1, 2}));
}

TEST_F(model_selection, acm_without_a_union_pairs_with_the_next_data_interface) {
    usb::descriptor_set set = usb::descriptor_builder()
                                  .device(0x1234, 0x0101)
                                  .configuration()
                                  .interface(0, 0, 2, usb::cdc_subclass_acm, 1)
                                  .interface(1, 0, 10, 0, 0)
                                  .endpoint(0x83, usb::endpoint_type::bulk, 64)
                                  .endpoint(0x03, usb::endpoint_type::bulk, 64)
                                  .build();
    std::vector<planned_function> plan = plan_functions(set);
    ASSERT_EQ(kinds(plan), std::vector<model_kind>{model_kind::acm_modem});
    EXPECT_EQ(plan[0].layout.interfaces, (std::vector<uint8_t>{0, 1}));
    EXPECT_EQ(plan[0].layout.notify_in, 0);
    EXPECT_EQ(plan[0].layout.data_in, 0x83);
}

// ---- Composite routing ------------------------------------------------------------

TEST_F(model_selection, each_port_of_a_dual_modem_answers_its_own_traffic) {
    std::shared_ptr<model_device> dev = make_device(load("tinyusb-cdc_dual_ports.bin"));
    test::host_side host(*dev);
    host.configure();
    acm_modem* first = dev->find<acm_modem>(0);
    acm_modem* second = dev->find<acm_modem>(1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(dev->function_at(3), second);

    const std::vector<uint8_t> coding = {0x00, 0xc2, 0x01, 0x00, 0, 0, 8};
    ASSERT_EQ(host.class_out(acm_modem::set_line_coding_request, 0, 2, coding), USBD_STATUS_SUCCESS);
    EXPECT_EQ(second->coding().dwDTERate, 115200u);
    EXPECT_EQ(first->coding().dwDTERate, 9600u);

    ASSERT_EQ(host.write(0x04, bytes_of("AT\r")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(0x84), bytes_of("\r\nOK\r\n"));
    EXPECT_FALSE(host.read(0x82));
    ASSERT_EQ(host.write(0x02, bytes_of("x\r")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(0x82), bytes_of("\r\nERROR\r\n"));

    ASSERT_EQ(host.class_out(acm_modem::set_control_line_state_request, 1, 2), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(0x83, 16), (std::vector<uint8_t>{0xa1, 0x20, 0, 0, 2, 0, 2, 0, 3, 0}));
    EXPECT_FALSE(host.read(0x81, 16));
    EXPECT_FALSE(first->dtr());

    // A class request to the whole device names no function.
    EXPECT_EQ(host.control(test::setup(0x20, acm_modem::send_break_request, 10, 0, 0)), USBD_STATUS_STALL_PID);
}

TEST_F(model_selection, a_modem_and_a_vendor_pipe_share_one_device) {
    std::shared_ptr<model_device> dev = usb::catalogue::build("acm-vendor");
    test::host_side host(*dev);
    host.configure();
    ASSERT_EQ(host.write(0x04, {0xde, 0xad}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(0x84), (std::vector<uint8_t>{0xde, 0xad}));
    ASSERT_EQ(host.write(0x02, bytes_of("AT\r")), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.read(0x82), bytes_of("\r\nOK\r\n"));
    EXPECT_EQ(host.class_out(acm_modem::set_control_line_state_request, 1, 2), USBD_STATUS_STALL_PID);
}

// ---- Strings ----------------------------------------------------------------------

TEST_F(model_selection, every_named_string_answers_in_english_for_the_real_files) {
    for (const char* file : {"tinyusb-cdc_dual_ports.bin", "qemu-usb_net-cfgidx1_ecm.bin", "dump-ch340.bin"}) {
        SCOPED_TRACE(file);
        const usb::descriptor_set set = load(file);
        ASSERT_TRUE(set.strings.empty());
        std::shared_ptr<model_device> dev = make_device(set);
        test::host_side host(*dev);
        std::vector<uint8_t> languages;
        ASSERT_EQ(host.control(test::setup(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0300, 0, 255), &languages),
                  USBD_STATUS_SUCCESS);
        EXPECT_EQ(languages, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
        const std::set<uint8_t> named = named_indexes(set);
        EXPECT_FALSE(named.empty());
        for (uint8_t index : named) {
            std::optional<std::string> text = read_string(host, index);
            ASSERT_TRUE(text) << "string " << int(index);
            EXPECT_FALSE(text->empty());
        }
        // An index nothing names still stalls.
        EXPECT_FALSE(read_string(host, 200));
    }
}

TEST_F(model_selection, synthesised_strings_say_what_the_device_is) {
    const usb::descriptor_set ecm = load("qemu-usb_net-cfgidx1_ecm.bin");
    std::shared_ptr<model_device> dev = make_device(ecm);
    test::host_side host(*dev);
    EXPECT_EQ(read_string(host, ecm.device.iManufacturer), "Manufacturer 0525");
    EXPECT_EQ(read_string(host, ecm.device.iProduct), "USB Ethernet (ECM)");
    EXPECT_EQ(read_string(host, 7), "Configuration 1");
    std::optional<std::string> mac = read_string(host, 3);
    ASSERT_TRUE(mac);
    ASSERT_EQ(mac->size(), 12u);
    EXPECT_EQ(mac->substr(0, 2), "02");
    EXPECT_EQ(mac->find_first_not_of("0123456789ABCDEF"), std::string::npos);

    const usb::descriptor_set dual = load("tinyusb-cdc_dual_ports.bin");
    dev = make_device(dual);
    test::host_side dual_host(*dev);
    EXPECT_EQ(read_string(dual_host, dual.device.iProduct), "USB Modem + USB Modem");
}

TEST_F(model_selection, serial_numbers_follow_the_port_and_given_strings_stay) {
    const usb::descriptor_set ch340 = load("dump-ch340.bin");
    ASSERT_NE(ch340.device.iProduct, 0);
    auto serial_at = [](usb::descriptor_set set, const std::string& location) {
        usb::descriptor_set copy = std::move(set);
        copy.device.iSerialNumber = 3;
        model_options options;
        options.location = location;
        std::shared_ptr<model_device> dev = make_device(copy, options);
        return *dev->descriptors().string(3);
    };
    EXPECT_EQ(serial_at(ch340, "6&1a2b3c4d&0&1"), serial_at(ch340, "6&1a2b3c4d&0&1"));
    EXPECT_NE(serial_at(ch340, "6&1a2b3c4d&0&1"), serial_at(ch340, "6&1a2b3c4d&0&2"));

    // The catalogue's own strings are kept.
    std::shared_ptr<model_device> acm = usb::catalogue::build("acm");
    EXPECT_EQ(*acm->descriptors().string(acm->descriptors().device.iProduct), u"USB Modem");
    EXPECT_EQ(*acm->descriptors().string(acm->descriptors().device.iManufacturer), u"Simulated Devices");

    // Without synthesis the file's device has no strings to answer with.
    model_options bare;
    bare.add_strings = false;
    std::shared_ptr<model_device> dev = make_device(ch340, bare);
    test::host_side host(*dev);
    EXPECT_FALSE(read_string(host, ch340.device.iProduct));
}

}  // namespace
}  // namespace sim::devices
