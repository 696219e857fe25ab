// IRP_MN_QUERY_INTERFACE on a PDO, answered from WdfDeviceAddQueryInterface
// registrations as the framework answers it.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/wdf/test_bus_driver.h"

namespace test_bus {
namespace {

const GUID test_interface_guid = {0x1d3a9f20, 0x5b7c, 0x4e11, {0x8a, 0x6d, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
const GUID other_guid = {0x1d3a9f21, 0x5b7c, 0x4e11, {0x8a, 0x6d, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};

struct test_interface {
    INTERFACE header;
    ULONG (*answer)(PVOID context);
};

struct qi_state {
    int references = 0;
    int dereferences = 0;
    int callbacks = 0;
    NTSTATUS callback_status = STATUS_SUCCESS;
    bool with_callback = true;
    WDFDEVICE seen_device = nullptr;
    PINTERFACE seen_interface = nullptr;
    std::string seen_data;
    USHORT registered_size = sizeof(test_interface);
    USHORT registered_version = 2;
    bool null_reference = false;
    NTSTATUS register_status = STATUS_PENDING;
};
qi_state g_qi;

VOID reference(PVOID) { g_qi.references++; }
VOID dereference(PVOID) { g_qi.dereferences++; }
ULONG answer(PVOID context) { return static_cast<ULONG>(reinterpret_cast<uintptr_t>(context)); }

NTSTATUS process(WDFDEVICE device, LPGUID, PINTERFACE exposed, PVOID data) {
    g_qi.callbacks++;
    g_qi.seen_device = device;
    g_qi.seen_interface = exposed;
    g_qi.seen_data = data == nullptr ? "(null)" : static_cast<const char*>(data);
    return g_qi.callback_status;
}

void register_interface(WDFDEVICE pdo) {
    test_interface record{};
    record.header.Size = g_qi.registered_size;
    record.header.Version = g_qi.registered_version;
    record.header.Context = reinterpret_cast<PVOID>(static_cast<uintptr_t>(42));
    record.header.InterfaceReference = g_qi.null_reference ? nullptr : reference;
    record.header.InterfaceDereference = dereference;
    record.answer = answer;
    WDF_QUERY_INTERFACE_CONFIG config;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &record.header, &test_interface_guid,
                                    g_qi.with_callback ? process : nullptr);
    g_qi.register_status = WdfDeviceAddQueryInterface(pdo, &config);
    // The framework keeps its own copy: the driver's record is gone.
    memset(&record, 0xcc, sizeof(record));
}

class query_interface : public bus_test {
 protected:
    void SetUp() override {
        bus_test::SetUp();
        g_qi = qi_state();
        config().on_pdo_created = register_interface;
    }
    WDFDEVICE start_child() {
        start_bus();
        report(1);
        host.settle();
        return pdo_of(1);
    }
    NTSTATUS query(WDFDEVICE pdo, test_interface* out, USHORT size = sizeof(test_interface), USHORT version = 2,
                   const char* data = "v1", const GUID& guid = test_interface_guid) {
        return sim::query_interface(pdo, guid, &out->header, size, version, const_cast<char*>(data));
    }
};

TEST_F(query_interface, the_caller_gets_the_frameworks_copy_after_the_callback_and_one_reference) {
    WDFDEVICE pdo = start_child();
    ASSERT_EQ(g_qi.register_status, STATUS_SUCCESS);
    test_interface got{};
    ASSERT_EQ(query(pdo, &got), STATUS_SUCCESS);
    EXPECT_EQ(got.header.Size, sizeof(test_interface));
    EXPECT_EQ(got.header.Version, 2);
    EXPECT_EQ(got.answer(got.header.Context), 42u);
    EXPECT_EQ(g_qi.callbacks, 1);
    EXPECT_EQ(g_qi.seen_device, pdo);
    EXPECT_EQ(g_qi.seen_interface, &got.header);
    EXPECT_EQ(g_qi.seen_data, "v1");
    EXPECT_EQ(g_qi.references, 1);
    got.header.InterfaceDereference(got.header.Context);
    EXPECT_EQ(g_qi.dereferences, 1);
}

TEST_F(query_interface, an_unknown_guid_is_not_supported_and_leaves_the_buffer_alone) {
    WDFDEVICE pdo = start_child();
    test_interface got{};
    EXPECT_EQ(query(pdo, &got, sizeof(got), 2, "v1", other_guid), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(got.header.Size, 0);
    EXPECT_EQ(g_qi.callbacks, 0);
    EXPECT_EQ(g_qi.references, 0);
}

TEST_F(query_interface, a_smaller_or_older_caller_is_refused_a_larger_or_newer_one_served) {
    WDFDEVICE pdo = start_child();
    test_interface got{};
    EXPECT_EQ(query(pdo, &got, sizeof(got) - 1), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(query(pdo, &got, sizeof(got), 1), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(g_qi.callbacks, 0);
    EXPECT_EQ(g_qi.references, 0);
    struct {
        test_interface record;
        char tail[8];
    } larger{};
    memset(larger.tail, 0x5a, sizeof(larger.tail));
    EXPECT_EQ(sim::query_interface(pdo, test_interface_guid, &larger.record.header, sizeof(larger), 3, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(larger.record.header.Size, sizeof(test_interface));
    EXPECT_EQ(larger.tail[7], 0x5a);  // only the registered Size is written
    EXPECT_EQ(g_qi.seen_data, "(null)");
}

TEST_F(query_interface, a_failing_callback_fails_the_query_without_a_reference) {
    g_qi.callback_status = STATUS_UNSUCCESSFUL;
    WDFDEVICE pdo = start_child();
    test_interface got{};
    EXPECT_EQ(query(pdo, &got), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g_qi.callbacks, 1);
    EXPECT_EQ(g_qi.references, 0);
}

TEST_F(query_interface, without_callback_or_reference_routine_the_copy_is_served_with_no_ops) {
    g_qi.with_callback = false;
    g_qi.null_reference = true;
    WDFDEVICE pdo = start_child();
    test_interface got{};
    ASSERT_EQ(query(pdo, &got), STATUS_SUCCESS);
    ASSERT_NE(got.header.InterfaceReference, nullptr);
    got.header.InterfaceReference(got.header.Context);
    EXPECT_EQ(g_qi.references, 0);
    EXPECT_EQ(g_qi.callbacks, 0);
}

TEST_F(query_interface, malformed_registrations_are_refused) {
    WDFDEVICE pdo = start_child();
    test_interface record{};
    record.header.Size = sizeof(record);
    WDF_QUERY_INTERFACE_CONFIG config;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &record.header, &other_guid, nullptr);
    config.Size = sizeof(config) - 8;
    EXPECT_EQ(WdfDeviceAddQueryInterface(pdo, &config), STATUS_INFO_LENGTH_MISMATCH);
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, nullptr, &other_guid, nullptr);
    EXPECT_EQ(WdfDeviceAddQueryInterface(pdo, &config), STATUS_INVALID_PARAMETER);
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &record.header, &other_guid, nullptr);
    config.ImportInterface = TRUE;
    EXPECT_EQ(WdfDeviceAddQueryInterface(pdo, &config), STATUS_INVALID_PARAMETER);
    record.header.Size = sizeof(INTERFACE) - 1;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &record.header, &other_guid, nullptr);
    EXPECT_EQ(WdfDeviceAddQueryInterface(pdo, &config), STATUS_INVALID_PARAMETER);
    record.header.Size = sizeof(record);
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &record.header, &other_guid, nullptr);
    config.SendQueryToParentStack = TRUE;
    EXPECT_EQ(WdfDeviceAddQueryInterface(bus->device(), &config), STATUS_INVALID_PARAMETER);
    test_interface got{};
    EXPECT_EQ(query(pdo, &got, sizeof(got), 2, "v1", other_guid), STATUS_NOT_SUPPORTED);
}

TEST_F(query_interface, a_pass_through_registration_answers_from_the_parent) {
    WDFDEVICE pdo = start_child();
    test_interface parent_record{};
    parent_record.header.Size = sizeof(parent_record);
    parent_record.header.Version = 1;
    parent_record.header.InterfaceReference = reference;
    parent_record.answer = answer;
    WDF_QUERY_INTERFACE_CONFIG config;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &parent_record.header, &other_guid, nullptr);
    ASSERT_EQ(WdfDeviceAddQueryInterface(bus->device(), &config), STATUS_SUCCESS);
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, nullptr, &other_guid, nullptr);
    config.SendQueryToParentStack = TRUE;
    ASSERT_EQ(WdfDeviceAddQueryInterface(pdo, &config), STATUS_SUCCESS);
    test_interface got{};
    EXPECT_EQ(query(pdo, &got, sizeof(got), 1, "v1", other_guid), STATUS_SUCCESS);
    EXPECT_EQ(got.answer, answer);
    EXPECT_EQ(g_qi.references, 1);
}

TEST_F(query_interface, an_injected_failure_leaves_the_child_without_the_interface) {
    sim::fault_fail_nth("WdfDeviceAddQueryInterface", 1);
    WDFDEVICE pdo = start_child();
    EXPECT_EQ(g_qi.register_status, STATUS_INSUFFICIENT_RESOURCES);
    test_interface got{};
    EXPECT_EQ(query(pdo, &got), STATUS_NOT_SUPPORTED);
}

class query_interface_death : public query_interface {
 protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        query_interface::SetUp();
    }
};

TEST_F(query_interface_death, a_query_above_passive_level_is_a_bug_check) {
    WDFDEVICE pdo = start_child();
    test_interface got{};
    EXPECT_DEATH(
        {
            sim::irql_raise(DISPATCH_LEVEL);
            query(pdo, &got);
        },
        "PASSIVE_LEVEL");
}

}  // namespace
}  // namespace test_bus
