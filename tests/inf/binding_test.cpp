// Which driver loads where: the IDs the USB stack gives the real descriptor
// sets, the project's INF and vendor INFs ranked against the generic parent,
// the hub's validation of configuration descriptors and the generic parent's
// handling of broken interface associations.
#include <gtest/gtest.h>

#include <fstream>

#include "cdc/bus/kernel/winnt/cdc_bus.h"
#include "devices/catalogue.h"
#include "devices/descriptor_builder.h"
#include "devices/sysfs_loader.h"
#include "sim/host.h"
#include "sim/strings.h"
#include "usb/usb_composite.h"
#include "usb/usb_device.h"

#undef min
#undef max

namespace {

using sim::usb::descriptor_builder;
using sim::usb::descriptor_set;
using ep = sim::usb::endpoint_type;
using strings = std::vector<std::string>;

const char* const vendor_head =
    "[Version]\n"
    "Signature = \"$Windows NT$\"\n"
    "Class = System\n"
    "ClassGuid = {4D36E97D-E325-11CE-BFC1-08002BE10318}\n"
    "Provider = \"Vendor\"\n"
    "DriverVer = 03/04/2026,1.0.0.0\n"
    "[Manufacturer]\n"
    "\"Vendor\" = Models, NTamd64\n"
    "[Models.NTamd64]\n";

const char* const vendor_tail =
    "[Inst.NT]\n"
    "[Inst.NT.HW]\n"
    "AddReg = Hw\n"
    "[Hw]\n"
    "HKR,, IdleTimeout, 0x00010003, 5\n"
    "HKR,, ExtraControlEnabled, 0x00010001, 1\n"
    "[Inst.NT.Services]\n"
    "AddService = cdcbus, 2, Svc\n"
    "[Svc]\n"
    "ServiceType = 1\n"
    "StartType = 3\n"
    "ErrorControl = 1\n"
    "ServiceBinary = %12%\\cdcbus.sys\n"
    "[Inst.NT.Wdf]\n"
    "KmdfService = cdcbus, Wdf\n"
    "[Wdf]\n"
    "KmdfLibraryVersion = 1.9\n";

sim::inf_file vendor_inf(const std::string& hardware_id) {
    std::string error;
    auto inf =
        sim::inf_file::parse(std::string(vendor_head) + "\"Vendor device\" = Inst, " + hardware_id + "\n" + vendor_tail,
                             "vendor.inf", &error);
    EXPECT_TRUE(inf) << error;
    return *inf;
}

descriptor_set real(const char* name) {
    auto loaded = sim::usb::load_sysfs_file(std::string(CDC_SOURCE_DIR) + "/devices/descriptors/" + name);
    EXPECT_TRUE(loaded.ok()) << loaded.error;
    return loaded.descriptors;
}

class binding : public ::testing::Test {
 protected:
    void SetUp() override {
        host_ = std::make_unique<sim::host>();
        host_->registry().set_dword(sim::host::parameters_key(), "DebugLevel", 0);
        ASSERT_EQ(host_->load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS);
    }
    void TearDown() override { host_.reset(); }

    void install_project_inf() {
        std::string error;
        ASSERT_TRUE(host_->install_inf(std::string(CDC_SOURCE_DIR) + "/cdc/bus/kernel/winnt/cdcbus.inf", &error))
            << error;
    }

    std::vector<sim::device_stack*> plug(const descriptor_set& set, sim::plug_options options = {}) {
        devices_.push_back(std::make_shared<sim::usb::device>(set));
        return host_->plug(devices_.back(), options);
    }

    std::string function_of(const sim::device_stack* stack) const {
        auto* fdx = static_cast<DEVICE_CONTEXT*>(stack->context("DEVICE_CONTEXT"));
        return fdx != nullptr && fdx->ids.qd_enumerator != nullptr ? sim::to_utf8(fdx->ids.qd_enumerator) : "";
    }

    std::unique_ptr<sim::host> host_;
    std::vector<std::shared_ptr<sim::usb::device>> devices_;
};

// ---- The real descriptor sets under the project's INF ------------------------------

TEST_F(binding, dual_acm_composite_goes_to_the_generic_parent_and_each_function_to_cdcbus_by_class) {
    install_project_inf();
    std::vector<sim::device_stack*> stacks = plug(real("tinyusb-cdc_dual_ports.bin"));
    const sim::usb_binding& b = host_->last_binding();

    EXPECT_EQ(b.device.device_id, "USB\\VID_CAFE&PID_4006");
    EXPECT_EQ(b.device.hardware_ids, (strings{"USB\\VID_CAFE&PID_4006&REV_0100", "USB\\VID_CAFE&PID_4006"}));
    EXPECT_EQ(b.device.compatible_ids, (strings{"USB\\Class_EF&SubClass_02&Prot_01", "USB\\Class_EF&SubClass_02",
                                                "USB\\Class_EF", "USB\\COMPOSITE"}));
    EXPECT_EQ(b.device.inf, "usb.inf");
    EXPECT_EQ(b.device.service, "usbccgp");
    EXPECT_EQ(b.device.id, "USB\\COMPOSITE");
    EXPECT_EQ(b.device.stack, nullptr);

    ASSERT_EQ(b.functions.size(), 2u);
    ASSERT_EQ(stacks.size(), 2u);
    const char* mi[] = {"00", "02"};
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        const sim::driver_binding& f = b.functions[i];
        EXPECT_EQ(f.device_id, std::string("USB\\VID_CAFE&PID_4006&MI_") + mi[i]);
        EXPECT_EQ(f.instance_id, std::string("6&1a2b3c4d&0&00") + mi[i]);
        EXPECT_EQ(f.hardware_ids, (strings{std::string("USB\\VID_CAFE&PID_4006&REV_0100&MI_") + mi[i],
                                           std::string("USB\\VID_CAFE&PID_4006&MI_") + mi[i]}));
        // The association's class: 02/02/00.
        EXPECT_EQ(f.compatible_ids,
                  (strings{"USB\\Class_02&SubClass_02&Prot_00", "USB\\Class_02&SubClass_02", "USB\\Class_02"}));
        EXPECT_EQ(f.inf, "cdcbus.inf");
        EXPECT_EQ(f.models, "CdcBus.NTamd64");
        EXPECT_EQ(f.description, "USB CDC ACM function (CDC bus)");
        EXPECT_EQ(f.id, "USB\\Class_02&SubClass_02");
        EXPECT_FALSE(f.by_hardware_id);
        ASSERT_EQ(f.stack, stacks[i]);
        EXPECT_EQ(stacks[i]->start_status(), STATUS_SUCCESS);
        EXPECT_EQ(function_of(stacks[i]), "usbcdcacm");
    }
}

TEST_F(binding, ecm_device_of_class_02_binds_whole_by_its_device_class) {
    install_project_inf();
    std::vector<sim::device_stack*> stacks = plug(real("qemu-usb_net-cfgidx1_ecm.bin"));
    const sim::usb_binding& b = host_->last_binding();

    EXPECT_EQ(b.device.compatible_ids,
              (strings{"USB\\Class_02&SubClass_00&Prot_00", "USB\\Class_02&SubClass_00", "USB\\Class_02"}));
    EXPECT_EQ(b.device.id, "USB\\Class_02&SubClass_00");
    EXPECT_EQ(b.device.service, "cdcbus");
    EXPECT_TRUE(b.functions.empty());
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(stacks[0]->start_status(), STATUS_SUCCESS);
    EXPECT_EQ(function_of(stacks[0]), "usbcdcecm");
}

TEST_F(binding, vendor_class_device_binds_nothing_until_a_vendor_inf_names_it) {
    install_project_inf();
    std::vector<sim::device_stack*> stacks = plug(real("dump-ch340.bin"));
    EXPECT_TRUE(stacks.empty());
    const sim::usb_binding& none = host_->last_binding();
    EXPECT_EQ(none.device.hardware_ids, (strings{"USB\\VID_1A86&PID_7523&REV_0254", "USB\\VID_1A86&PID_7523"}));
    EXPECT_EQ(none.device.compatible_ids,
              (strings{"USB\\Class_FF&SubClass_00&Prot_00", "USB\\Class_FF&SubClass_00", "USB\\Class_FF"}));
    EXPECT_FALSE(none.device.matched);
    host_->unplug(devices_.back());

    host_->install_inf(vendor_inf("USB\\VID_1A86&PID_7523"));
    stacks = plug(real("dump-ch340.bin"));
    const sim::usb_binding& b = host_->last_binding();
    EXPECT_EQ(b.device.inf, "vendor.inf");
    EXPECT_EQ(b.device.id, "USB\\VID_1A86&PID_7523");
    EXPECT_TRUE(b.device.by_hardware_id);
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(stacks[0]->start_status(), STATUS_SUCCESS);
    EXPECT_EQ(function_of(stacks[0]), "usbcdcacm");
    // The model's .HW values were written as the device was installed.
    auto idle = host_->registry().value(stacks[0]->hardware_key(), "IdleTimeout");
    ASSERT_TRUE(idle);
    EXPECT_EQ(idle->data, (std::vector<uint8_t>{5, 0, 0, 0}));
    EXPECT_EQ(host_->children(*stacks[0]).size(), 2u) << "ExtraControlEnabled from the INF doubled the child";
}

TEST_F(binding, a_vendor_inf_naming_the_vid_pid_takes_a_composite_device_whole) {
    install_project_inf();
    host_->install_inf(vendor_inf("USB\\VID_CAFE&PID_4006"));
    std::vector<sim::device_stack*> stacks = plug(real("tinyusb-cdc_dual_ports.bin"));
    const sim::usb_binding& b = host_->last_binding();

    EXPECT_EQ(b.device.inf, "vendor.inf");
    EXPECT_EQ(b.device.id, "USB\\VID_CAFE&PID_4006") << "a hardware ID outranks USB\\COMPOSITE";
    EXPECT_TRUE(b.functions.empty());
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(stacks[0]->config().device_id, "VID_CAFE&PID_4006");
    EXPECT_EQ(stacks[0]->start_status(), STATUS_SUCCESS);
}

TEST_F(binding, a_vendor_inf_naming_one_function_binds_it_beside_the_class_match) {
    install_project_inf();
    host_->install_inf(vendor_inf("USB\\VID_1234&PID_0041&MI_02"));
    std::vector<sim::device_stack*> stacks = plug(sim::usb::catalogue::acm_vendor_composite());
    const sim::usb_binding& b = host_->last_binding();

    ASSERT_EQ(b.functions.size(), 2u);
    EXPECT_EQ(b.functions[0].inf, "cdcbus.inf");
    EXPECT_EQ(b.functions[1].inf, "vendor.inf");
    EXPECT_EQ(b.functions[1].id, "USB\\VID_1234&PID_0041&MI_02");
    ASSERT_EQ(stacks.size(), 2u);
    EXPECT_EQ(stacks[1]->config().device_id, "VID_1234&PID_0041&MI_02");
}

TEST_F(binding, whole_device_shorthand_outranks_the_generic_parent) {
    install_project_inf();
    sim::plug_options options;
    options.whole_device = true;
    std::vector<sim::device_stack*> stacks = plug(real("tinyusb-cdc_dual_ports.bin"), options);
    EXPECT_EQ(host_->last_binding().device.inf, "(--whole-device)");
    EXPECT_EQ(host_->last_binding().device.id, "USB\\VID_CAFE&PID_4006");
    ASSERT_EQ(stacks.size(), 1u);
    EXPECT_EQ(stacks[0]->start_status(), STATUS_SUCCESS);
}

TEST_F(binding, device_parameters_set_before_install_survive_a_noclobber_default) {
    host_->install_inf(vendor_inf("USB\\VID_1A86&PID_7523"));
    const std::string key =
        std::string(sim::enum_key()) + "\\USB\\VID_1A86&PID_7523\\6&1a2b3c4d&0&1\\Device Parameters";
    host_->registry().set_dword(key, "IdleTimeout", 9);
    host_->registry().set_dword(key, "ExtraControlEnabled", 0);
    plug(real("dump-ch340.bin"));
    EXPECT_EQ(host_->registry().value(key, "IdleTimeout")->data, (std::vector<uint8_t>{9, 0, 0, 0}));
    EXPECT_EQ(host_->registry().value(key, "ExtraControlEnabled")->data, (std::vector<uint8_t>{1, 0, 0, 0}))
        << "without FLG_ADDREG_NOCLOBBER the INF's value replaces it";
}

// ---- The hub's validation ------------------------------------------------------------

// Three vendor interfaces with a bulk pair each; interfaces 0 and 1 under an
// association.
descriptor_builder three_functions(uint8_t first, uint8_t count) {
    descriptor_builder b;
    b.device(0x1234, 0x7000).configuration().iad(first, count, 0xff, 0, 0);
    for (uint8_t i = 0; i < 3; i++) {
        b.interface(i, 0, 0xff, 0, 0).endpoint(0x81 + i, ep::bulk, 64).endpoint(0x01 + i, ep::bulk, 64);
    }
    return b;
}

TEST_F(binding, a_malformed_configuration_fails_enumeration_with_no_function_started) {
    struct case_t {
        const char* name;
        descriptor_set set;
        std::string problem;
    };
    const case_t cases[] = {
        {"descriptor past wTotalLength", three_functions(0, 2).total_length(9 + 8 + 9 + 7 + 3).build(),
         "offset 33: descriptor runs past wTotalLength 36"},
        {"bLength 1", three_functions(0, 2).raw({0x01}).build(), "offset 86: descriptor with bLength 1"},
        {"bNumInterfaces", three_functions(0, 2).num_interfaces(2).build(), "bNumInterfaces 2 but 3 interfaces"},
        {"bNumEndpoints", three_functions(0, 2).num_endpoints(3).build(),
         "offset 63: interface 2 setting 0 has bNumEndpoints 3 but 2 endpoints"},
    };
    for (bool with_inf : {false, true}) {
        if (with_inf) install_project_inf();
        for (const case_t& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (with_inf ? " (INF)" : ""));
            std::vector<sim::device_stack*> stacks = plug(c.set);
            EXPECT_TRUE(stacks.empty());
            const sim::usb_binding& b = host_->last_binding();
            EXPECT_EQ(b.device.device_id, "USB\\CONFIGURATION_DESCRIPTOR_VALIDATION_FAILURE");
            EXPECT_EQ(b.device.hardware_ids, (strings{"USB\\CONFIGURATION_DESCRIPTOR_VALIDATION_FAILURE"}));
            EXPECT_FALSE(b.device.matched);
            EXPECT_EQ(b.device.problem, "invalid configuration descriptor: " + c.problem);
            EXPECT_TRUE(b.functions.empty());
            host_->unplug(devices_.back());
        }
    }
}

// ---- The generic parent and broken associations ---------------------------------------

TEST_F(binding, unusable_associations_leave_their_interfaces_as_functions_of_their_own) {
    struct case_t {
        const char* name;
        descriptor_set set;
        strings functions;  // device IDs
    };
    const case_t cases[] = {
        {"usable", three_functions(0, 2).build(), {"VID_1234&PID_7000&MI_00", "VID_1234&PID_7000&MI_02"}},
        {"count 0",
         three_functions(0, 0).build(),
         {"VID_1234&PID_7000&MI_00", "VID_1234&PID_7000&MI_01", "VID_1234&PID_7000&MI_02"}},
        {"first interface missing",
         three_functions(5, 1).build(),
         {"VID_1234&PID_7000&MI_00", "VID_1234&PID_7000&MI_01", "VID_1234&PID_7000&MI_02"}},
        {"past the last interface",
         three_functions(1, 3).build(),
         {"VID_1234&PID_7000&MI_00", "VID_1234&PID_7000&MI_01", "VID_1234&PID_7000&MI_02"}},
        // A second association claiming interface 0 again once gave two
        // functions MI_00 at one location.
        {"overlapping",
         three_functions(0, 2).iad(0, 3, 0x02, 0x02, 0x01).build(),
         {"VID_1234&PID_7000&MI_00", "VID_1234&PID_7000&MI_02"}},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<sim::device_stack*> stacks = plug(c.set);
        strings ids;
        for (const sim::device_stack* s : stacks) {
            ids.push_back(s->config().device_id);
            EXPECT_EQ(s->start_status(), STATUS_SUCCESS);
        }
        EXPECT_EQ(ids, c.functions);
        host_->unplug(devices_.back());
    }
}

}  // namespace
