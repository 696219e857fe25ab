// Driver packages: what the platform reads from an INF, the errors it
// refuses one with, how models rank, and the project's own package.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "sim/inf.h"
#include "sim/registry.h"

namespace sim {
namespace {

const char* const package_head =
    "[Version]\n"
    "Signature = \"$Windows NT$\"\n"
    "Class = System\n"
    "ClassGuid = {4D36E97D-E325-11CE-BFC1-08002BE10318}\n"
    "Provider = %P%\n"
    "DriverVer = 01/02/2026,1.0.0.1\n"
    "CatalogFile = v.cat\n";

const char* const package_install =
    "[Inst.NT]\n"
    "[Inst.NT.HW]\n"
    "AddReg = Hw_AddReg\n"
    "[Hw_AddReg]\n"
    "HKR,, IdleTimeout, 0x00010003, 5\n"
    "HKR,, EnableZLP, 0x00010001, 0\n"
    "[Inst.NT.Services]\n"
    "AddService = cdcbus, 0x00000002, Svc\n"
    "[Svc]\n"
    "ServiceType = 1\n"
    "StartType = 3\n"
    "ErrorControl = 1\n"
    "ServiceBinary = %12%\\cdcbus.sys\n"
    "AddReg = Params\n"
    "[Params]\n"
    "HKR, Parameters, DebugLevel, 0x00010003, 2\n"
    "HKR, Parameters, Name, 0x00000000, \"a, b\"\n"
    "[Inst.NT.Wdf]\n"
    "KmdfService = cdcbus, WdfSect\n"
    "[WdfSect]\n"
    "KmdfLibraryVersion = 1.9\n"
    "[Strings]\n"
    "P = \"Vendor\"\n"
    "Desc = \"Vendor serial\"\n";

std::string package(const std::string& models) { return package_head + models + package_install; }

std::optional<inf_file> parse(const std::string& text, std::string* error) {
    return inf_file::parse(text, "dir/vendor.inf", error);
}

inf_file parsed(const std::string& text) {
    std::string error;
    std::optional<inf_file> inf = parse(text, &error);
    EXPECT_TRUE(inf.has_value()) << error;
    return inf ? *inf : inf_file();
}

TEST(inf_parser, a_package_gives_models_service_registry_values_and_kmdf_version) {
    inf_file inf =
        parsed(package("[Manufacturer]\n"
                       "%P% = Models, NTx86, NTamd64 ; x64 takes the NTamd64 list\n"
                       "[Models.NTx86]\n"
                       "%Desc% = Inst, USB\\VID_0000&PID_0000\n"
                       "[Models.NTamd64]\n"
                       "%Desc% = Inst, USB\\VID_1A86&PID_7523, \\\n"
                       "    USB\\Class_FF\n"));

    EXPECT_EQ(inf.name(), "vendor.inf");
    EXPECT_EQ(inf.provider(), "Vendor");
    EXPECT_EQ(inf.catalog(), "v.cat");
    ASSERT_EQ(inf.models().size(), 1u);
    const inf_model& m = inf.models()[0];
    EXPECT_EQ(m.section, "Models.NTamd64");
    EXPECT_EQ(m.line, 13u);
    EXPECT_EQ(m.description, "Vendor serial");
    EXPECT_EQ(m.ids, (std::vector<std::string>{"USB\\VID_1A86&PID_7523", "USB\\Class_FF"}));
    EXPECT_EQ(m.service, "cdcbus");
    EXPECT_EQ(m.kmdf_service, "cdcbus");
    EXPECT_EQ(m.kmdf_version, "1.9");
    ASSERT_EQ(m.hardware_values.size(), 2u);
    EXPECT_EQ(m.hardware_values[0].name, "IdleTimeout");
    EXPECT_EQ(m.hardware_values[0].dword_value, 5u);
    ASSERT_EQ(inf.services().size(), 1u);
    EXPECT_EQ(inf.services()[0].binary, "%12%\\cdcbus.sys");
    EXPECT_EQ(inf.services()[0].start_type, 3u);
    ASSERT_EQ(inf.services()[0].values.size(), 2u);
    EXPECT_EQ(inf.services()[0].values[1].string_value, "a, b");
}

TEST(inf_parser, a_manufacturer_without_an_amd64_list_offers_nothing_on_x64) {
    inf_file inf =
        parsed(package("[Manufacturer]\n"
                       "%P% = Models, NTx86\n"
                       "[Models.NTx86]\n"
                       "%Desc% = Inst, USB\\VID_0000&PID_0000\n"));
    EXPECT_TRUE(inf.models().empty());
}

TEST(inf_parser, malformed_packages_are_refused_with_file_and_line) {
    struct case_t {
        std::string text;
        std::string error;
    };
    const std::string ok_models =
        "[Manufacturer]\n"
        "%P% = Models, NTamd64\n"
        "[Models.NTamd64]\n"
        "%Desc% = Inst, USB\\VID_1234&PID_0001\n";
    const case_t cases[] = {
        {"Signature = \"$Windows NT$\"\n", "dir/vendor.inf:1: line outside any section"},
        {"[Version\n", "dir/vendor.inf:1: section name without a closing ']'"},
        {package("[Manufacturer]\n%P% = Missing, NTamd64\n"),
         "dir/vendor.inf:9: models section [Missing.NTamd64] is missing"},
        {package("[Manufacturer]\n%P% = Models, NTamd64\n[Models.NTamd64]\n%Desc% = NoSuch, USB\\VID_1\n"),
         "dir/vendor.inf:11: install section [NoSuch] is missing"},
        {package("[Manufacturer]\n%P% = Models, NTamd64\n[Models.NTamd64]\n%Desc% = Inst\n"),
         "dir/vendor.inf:11: a model needs description = install section, hardware ID"},
        {package("[Manufacturer]\n%P% = Models, NTamd64\n[Models.NTamd64]\n%Nope% = Inst, USB\\VID_1\n"),
         "dir/vendor.inf:11: string %Nope% is not defined in [Strings]"},
        {package(ok_models + "[Broken]\nkey = \"open\n"), "dir/vendor.inf:13: unterminated quoted string"},
        {std::string(package_head).replace(std::string(package_head).find("01/02/2026"), 10, "2026-01-02") + ok_models +
             package_install,
         "dir/vendor.inf:6: DriverVer must begin with a date mm/dd/yyyy"},
        {std::string(package(ok_models)).replace(package(ok_models).find("= 1.9"), 5, "= 1.15"),
         "dir/vendor.inf:32: KmdfLibraryVersion 1.15 needs a newer framework than the installed 1.9"},
        {std::string(package(ok_models)).replace(package(ok_models).find("0x00010003, 5"), 13, "0x00000007, 5"),
         "dir/vendor.inf:16: registry value type of flags 0x00000007 is not supported"},
        {std::string(package(ok_models)).replace(package(ok_models).find("0x00000002, Svc"), 10, "0x00000000"),
         "dir/vendor.inf:18: [Inst.NT.Services] names no function driver (flag 0x2)"},
        {std::string("[Strings]\nP = \"x\"\n"), "dir/vendor.inf:1: section [Version] is missing"},
    };
    for (const case_t& c : cases) {
        std::string error;
        EXPECT_FALSE(parse(c.text, &error).has_value()) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(inf_parser, models_rank_hardware_before_compatible_and_earlier_ids_first) {
    driver_store store;
    registry reg;
    store.install(parsed(package("[Manufacturer]\n"
                                 "%P% = Models, NTamd64\n"
                                 "[Models.NTamd64]\n"
                                 "%Desc% = Inst, USB\\Class_02&SubClass_02\n"
                                 "%Desc% = Inst, USB\\Class_02\n"
                                 "%Desc% = Inst, USB\\VID_1234&PID_0001\n")),
                  reg);
    const std::vector<std::string> hardware = {"USB\\VID_1234&PID_0001&REV_0100", "USB\\VID_1234&PID_0001"};
    const std::vector<std::string> compatible = {"USB\\Class_02&SubClass_02&Prot_01", "USB\\Class_02&SubClass_02",
                                                 "USB\\Class_02"};

    std::optional<inf_match> m = store.best_match(hardware, compatible);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->id, "USB\\VID_1234&PID_0001");
    EXPECT_TRUE(m->hardware_id);
    EXPECT_EQ(m->rank, 0x0010u);

    m = store.best_match({"USB\\VID_9999&PID_0001"}, compatible);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->id, "USB\\Class_02&SubClass_02") << "the earlier compatible ID wins";
    EXPECT_FALSE(m->hardware_id);
    EXPECT_EQ(m->rank, 0x2010u);

    // IDs compare without regard to case.
    m = store.best_match({}, {"usb\\class_02"});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->model->ids[0], "USB\\Class_02");

    EXPECT_FALSE(store.best_match({"USB\\VID_9999&PID_0001"}, {"USB\\Class_FF"}));
}

TEST(inf_parser, install_writes_service_values_keeping_existing_ones_under_noclobber) {
    registry reg;
    const std::string parameters = std::string(services_key()) + "\\cdcbus\\Parameters";
    reg.set_dword(parameters, "DebugLevel", 4);
    driver_store store;
    store.install(
        parsed(package("[Manufacturer]\n%P% = Models, NTamd64\n[Models.NTamd64]\n%Desc% = Inst, USB\\VID_1\n")), reg);

    EXPECT_EQ(reg.value(parameters, "DebugLevel")->data, (std::vector<uint8_t>{4, 0, 0, 0})) << "not clobbered";
    ASSERT_TRUE(reg.value(parameters, "Name"));
    EXPECT_EQ(reg.value(parameters, "Name")->type, 1u);  // REG_SZ
}

// ---- The project's package -------------------------------------------------------

std::string project_file(const std::string& name) {
    return std::string(CDC_SOURCE_DIR) + "/cdc/bus/kernel/winnt/" + name;
}

TEST(project_inf, is_a_kmdf_1_9_package_for_the_cdcbus_service_with_its_defaults) {
    std::string error;
    std::optional<inf_file> inf = inf_file::load(project_file("cdcbus.inf"), &error);
    ASSERT_TRUE(inf) << error;
    EXPECT_EQ(inf->class_guid(), "{4D36E97D-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(inf->catalog(), "cdcbus.cat");
    EXPECT_EQ(inf->driver_ver().substr(inf->driver_ver().find(',') + 1), "2.1.5.52");
    ASSERT_FALSE(inf->models().empty());
    for (const inf_model& m : inf->models()) {
        SCOPED_TRACE(m.description);
        EXPECT_EQ(m.section, "CdcBus.NTamd64");
        EXPECT_EQ(m.service, "cdcbus");
        EXPECT_EQ(m.kmdf_service, "cdcbus");
        EXPECT_EQ(m.kmdf_version, "1.9");
        EXPECT_TRUE(m.hardware_values.empty()) << "every device default equals its absence";
    }
    ASSERT_EQ(inf->services().size(), 1u);
    const inf_service& s = inf->services()[0];
    EXPECT_EQ(s.service_type, 1u);
    EXPECT_EQ(s.start_type, 3u);
    EXPECT_EQ(s.error_control, 1u);
    EXPECT_EQ(s.binary, "%12%\\cdcbus.sys");

    registry reg;
    driver_store store;
    store.install(*inf, reg);
    const std::string parameters = std::string(services_key()) + "\\cdcbus\\Parameters";
    EXPECT_EQ(reg.value(parameters, "DebugLevel")->data, (std::vector<uint8_t>{2, 0, 0, 0}));
    EXPECT_EQ(reg.value(parameters, "UseControlDevice")->data, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_FALSE(reg.value(parameters, "DeviceName")) << "a value would replace every child's text";
}

TEST(project_inf, the_wdk_project_compiles_every_driver_source) {
    std::ifstream in(project_file("cdcbus.vcxproj"));
    ASSERT_TRUE(in);
    std::stringstream text;
    text << in.rdbuf();
    const std::string project = text.str();
    std::set<std::string> listed;
    for (size_t at = project.find("<ClCompile Include=\""); at != std::string::npos;
         at = project.find("<ClCompile Include=\"", at + 1)) {
        size_t begin = at + 20;
        listed.insert(project.substr(begin, project.find('"', begin) - begin));
    }
    std::set<std::string> sources;
    DIR* dir = opendir(project_file("").c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cpp") == 0) sources.insert(name);
    }
    closedir(dir);
    EXPECT_EQ(listed, sources);
    EXPECT_NE(project.find("<KMDF_VERSION_MAJOR>1</KMDF_VERSION_MAJOR>"), std::string::npos);
    EXPECT_NE(project.find("<KMDF_VERSION_MINOR>9</KMDF_VERSION_MINOR>"), std::string::npos);
    EXPECT_NE(project.find("<Inf Include=\"cdcbus.inf\" />"), std::string::npos);
}

}  // namespace
}  // namespace sim
