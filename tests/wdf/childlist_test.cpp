// Child lists: reporting, scans, iteration and retrieval, and how the PnP
// manager turns the list's changes into PDOs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/wdf/test_bus_driver.h"
#include "wdf/wdf_object.h"

namespace test_bus {
namespace {

using ulongs = std::vector<ULONG>;

class child_list : public bus_test {};

// ---- Reporting ---------------------------------------------------------------------

TEST_F(child_list, new_description_gets_its_pdo_when_the_pnp_manager_runs_and_equal_one_exists) {
    start_bus();
    EXPECT_EQ(report(1), STATUS_SUCCESS);
    EXPECT_EQ(serials(), ulongs{}) << "created inside the caller's call";
    host.settle();
    EXPECT_EQ(serials(), ulongs{1});

    EXPECT_EQ(report(1), STATUS_OBJECT_NAME_EXISTS);
    host.settle();
    EXPECT_EQ(serials(), ulongs{1});
    EXPECT_EQ(counts().create_calls, 1u);
}

TEST_F(child_list, byte_compare_sees_any_difference_as_a_new_child) {
    start_bus();
    EXPECT_EQ(report(1, 0), STATUS_SUCCESS);
    EXPECT_EQ(report(1, 7), STATUS_SUCCESS);
    host.settle();
    EXPECT_EQ(serials(), (ulongs{1, 1})) << "two children with one serial";
}

TEST_F(child_list, compare_callback_decides_what_is_the_same_child) {
    config().compare_serial_only = true;
    start_bus();
    EXPECT_EQ(report(1, 0), STATUS_SUCCESS);
    EXPECT_EQ(report(1, 7), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(report(2, 7), STATUS_SUCCESS);
    host.settle();
    EXPECT_EQ(serials(), (ulongs{1, 2}));
}

TEST_F(child_list, malformed_descriptions_are_refused) {
    start_bus();
    child_description d = make_description(1);
    d.header.IdentificationDescriptionSize = sizeof(d) - 1;
    EXPECT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list(), &d.header, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(WdfChildListUpdateChildDescriptionAsMissing(list(), &d.header), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list(), nullptr, nullptr), STATUS_INVALID_PARAMETER);
    child_address a = make_address(1);
    d = make_description(1);
    EXPECT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list(), &d.header, &a.header),
              STATUS_INVALID_DEVICE_REQUEST)
        << "an address description for a list without them";
    host.settle();
    EXPECT_EQ(serials(), ulongs{});
}

TEST_F(child_list, failed_allocation_reports_nothing_and_the_next_report_works) {
    start_bus();
    sim::fault_fail_nth("WdfChildListAddOrUpdateChildDescriptionAsPresent", 1);
    EXPECT_EQ(report(1), STATUS_INSUFFICIENT_RESOURCES);
    host.settle();
    EXPECT_EQ(serials(), ulongs{});
    EXPECT_EQ(report(1), STATUS_SUCCESS);
    host.settle();
    EXPECT_EQ(serials(), ulongs{1});
}

TEST_F(child_list, update_as_missing_removes_a_known_child_and_refuses_an_unknown_one) {
    start_bus();
    report(1);
    report(2);
    host.settle();
    WDFDEVICE gone = pdo_of(1);

    EXPECT_EQ(report_missing(1), STATUS_SUCCESS);
    EXPECT_EQ(report_missing(1), STATUS_NO_SUCH_DEVICE) << "already reported missing";
    EXPECT_EQ(report_missing(9), STATUS_NO_SUCH_DEVICE);
    host.settle();
    EXPECT_EQ(serials(), ulongs{2});
    EXPECT_FALSE(wdf::is_live(gone));
    // A report after the removal is a new child again.
    EXPECT_EQ(report(1), STATUS_SUCCESS);
}

TEST_F(child_list, reports_from_a_completion_thread_race_the_pnp_manager_and_all_get_pdos) {
    start_bus();
    constexpr ULONG count = 40;
    std::atomic<bool> done{false};
    std::thread reporter([this, &done] {
        KIRQL old = sim::irql_raise(DISPATCH_LEVEL);  // as a completion routine runs
        for (ULONG s = 1; s <= count; ++s) EXPECT_EQ(report(s), STATUS_SUCCESS);
        sim::irql_lower(old);
        done = true;
    });
    while (!done) host.settle();
    reporter.join();
    host.settle();
    EXPECT_EQ(serials().size(), count);
    EXPECT_EQ(counts().create_calls, count);
}

// ---- Scans -------------------------------------------------------------------------

TEST_F(child_list, scan_removes_what_it_did_not_report_with_a_surprise_removal) {
    start_bus();
    for (ULONG s : {1, 2, 3}) report(s);
    host.settle();
    WDFDEVICE kept = pdo_of(1);

    WdfChildListBeginScan(list());
    EXPECT_EQ(report(1), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(report(3), STATUS_OBJECT_NAME_EXISTS);
    WdfChildListEndScan(list());
    host.settle();

    EXPECT_EQ(serials(), (ulongs{1, 3}));
    EXPECT_EQ(pdo_of(1), kept) << "a child reported again keeps its PDO";
    EXPECT_EQ(
        log_of("testbus\\CHILD_2\\"),
        (std::vector<std::string>{"prepare_hardware", "d0_entry(D3Final)", "self_managed_io_init", "surprise_removal",
                                  "self_managed_io_suspend", "d0_exit(D3Final)", "release_hardware",
                                  "self_managed_io_flush", "self_managed_io_cleanup", "removed"}));
}

TEST_F(child_list, changes_inside_a_scan_wait_for_its_end) {
    start_bus();
    report(1);
    host.settle();
    WdfChildListBeginScan(list());
    report(2);
    host.settle();
    EXPECT_EQ(serials(), ulongs{1});
    WdfChildListEndScan(list());
    host.settle();
    EXPECT_EQ(serials(), ulongs{2});
}

TEST_F(child_list, nested_scans_commit_at_the_outermost_end_and_keep_the_outer_reports) {
    start_bus();
    report(1);
    report(2);
    host.settle();
    WdfChildListBeginScan(list());
    report(1);
    WdfChildListBeginScan(list());  // must not forget that 1 was reported
    WdfChildListEndScan(list());
    host.settle();
    EXPECT_EQ(serials(), (ulongs{1, 2}));
    WdfChildListEndScan(list());
    host.settle();
    EXPECT_EQ(serials(), ulongs{1});
}

TEST_F(child_list, an_empty_scan_removes_every_child_and_update_all_keeps_them) {
    start_bus();
    report(1);
    report(2);
    host.settle();
    WdfChildListBeginScan(list());
    WdfChildListUpdateAllChildDescriptionsAsPresent(list());
    WdfChildListEndScan(list());
    host.settle();
    EXPECT_EQ(serials(), (ulongs{1, 2}));

    WdfChildListBeginScan(list());
    WdfChildListEndScan(list());
    host.settle();
    EXPECT_EQ(serials(), ulongs{});
}

TEST_F(child_list, a_child_reported_during_prepare_hardware_gets_its_pdo_right_after_the_start) {
    config().prepare_reports = {3};
    start_bus();
    EXPECT_EQ(serials(), ulongs{3});
    std::vector<std::string> order;
    for (const sim::pnp_event& e : host.pnp_log()) order.push_back(e.instance_path + " " + e.name);
    order.resize(6);
    EXPECT_EQ(order, (std::vector<std::string>{
                         "ROOT\\TESTBUS\\0000 device_add", "ROOT\\TESTBUS\\0000 prepare_hardware",
                         "ROOT\\TESTBUS\\0000 d0_entry(D3Final)", "ROOT\\TESTBUS\\0000 self_managed_io_init",
                         "testbus\\CHILD_3\\0003 prepare_hardware", "testbus\\CHILD_3\\0003 d0_entry(D3Final)"}));
}

TEST_F(child_list, the_scan_callback_runs_at_start_before_self_managed_io_and_replaces_earlier_reports) {
    config().scan_callback = true;
    config().scan_reports = {4, 5};
    config().prepare_reports = {3};
    start_bus();
    EXPECT_EQ(serials(), (ulongs{4, 5}));
    EXPECT_EQ(counts().create_calls, 2u) << "3 went missing in the scan before it had a PDO";
    EXPECT_EQ(bus->events(), (std::vector<std::string>{"device_add", "prepare_hardware", "d0_entry(D3Final)",
                                                       "scan_for_children", "self_managed_io_init"}));
    host.settle();
    EXPECT_EQ(bus->events().size(), 5u) << "one scan only";
}

// ---- Iteration and retrieval -------------------------------------------------------

class iteration : public bus_test {
 protected:
    // Children 1 and 2 present; then, inside a scan, 1 re-reported, 2 not
    // (missing) and 3 new (pending).
    void SetUp() override {
        bus_test::SetUp();
        start_bus();
        report(1);
        report(2);
        host.settle();
        WdfChildListBeginScan(list());
        report(1);
        report(3);
    }
    void TearDown() override { WdfChildListEndScan(list()); }

    struct found {
        ULONG serial;
        bool has_device;
        WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS status;
    };
    std::vector<found> iterate(ULONG flags, PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE compare = nullptr,
                               ULONG template_serial = 0) {
        std::vector<found> out;
        WDF_CHILD_LIST_ITERATOR iterator;
        WDF_CHILD_LIST_ITERATOR_INIT(&iterator, flags);
        WdfChildListBeginIteration(list(), &iterator);
        for (;;) {
            child_description d = make_description(template_serial);
            WDF_CHILD_RETRIEVE_INFO info;
            WDF_CHILD_RETRIEVE_INFO_INIT(&info, &d.header);
            info.EvtChildListIdentificationDescriptionCompare = compare;
            WDFDEVICE device = nullptr;
            NTSTATUS status = WdfChildListRetrieveNextDevice(list(), &iterator, &device, &info);
            if (status == STATUS_NO_MORE_ENTRIES) break;
            EXPECT_EQ(status, STATUS_SUCCESS);
            out.push_back({d.serial, device != nullptr, info.Status});
        }
        WdfChildListEndIteration(list(), &iterator);
        return out;
    }
    static std::vector<ULONG> serials_of(const std::vector<found>& f) {
        std::vector<ULONG> out;
        for (const auto& x : f) out.push_back(x.serial);
        return out;
    }
};

BOOLEAN odd_serial(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER,
                   PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER stored) {
    return (reinterpret_cast<child_description*>(stored)->serial & 1) != 0;
}

TEST_F(iteration, flags_select_present_pending_and_missing_children) {
    std::vector<found> present = iterate(WdfRetrievePresentChildren);
    ASSERT_EQ(serials_of(present), ulongs{1});
    EXPECT_TRUE(present[0].has_device);
    EXPECT_EQ(present[0].status, WdfChildListRetrieveDeviceSuccess);

    std::vector<found> pending = iterate(WdfRetrievePendingChildren);
    ASSERT_EQ(serials_of(pending), ulongs{3});
    EXPECT_FALSE(pending[0].has_device);
    EXPECT_EQ(pending[0].status, WdfChildListRetrieveDeviceNotYetCreated);

    std::vector<found> missing = iterate(WdfRetrieveMissingChildren);
    ASSERT_EQ(serials_of(missing), ulongs{2});
    EXPECT_TRUE(missing[0].has_device) << "its PDO is still there until the PnP manager removes it";
    EXPECT_EQ(missing[0].status, WdfChildListRetrieveDeviceNoSuchDevice);

    EXPECT_EQ(serials_of(iterate(WdfRetrieveAllChildren)), (ulongs{1, 2, 3}));
    EXPECT_EQ(serials_of(iterate(WdfRetrieveAddedChildren)), (ulongs{1, 3}));
}

TEST_F(iteration, the_callers_compare_routine_filters_and_the_stored_description_is_copied_out) {
    EXPECT_EQ(serials_of(iterate(WdfRetrieveAllChildren, odd_serial, 99)), (ulongs{1, 3}));
    EXPECT_EQ(serials_of(iterate(WdfRetrieveAllChildren, nullptr, 99)), (ulongs{1, 2, 3}))
        << "without a compare routine the template is only a buffer";
}

TEST_F(iteration, retrieve_next_checks_its_bracket_and_sizes) {
    WDF_CHILD_LIST_ITERATOR iterator;
    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrieveAllChildren);
    WDFDEVICE device;
    EXPECT_EQ(WdfChildListRetrieveNextDevice(list(), &iterator, &device, nullptr), STATUS_INVALID_DEVICE_STATE);

    WdfChildListBeginIteration(list(), &iterator);
    WDF_CHILD_RETRIEVE_INFO info;
    child_description d = make_description(0);
    WDF_CHILD_RETRIEVE_INFO_INIT(&info, &d.header);
    info.Size = sizeof(info) - 1;
    EXPECT_EQ(WdfChildListRetrieveNextDevice(list(), &iterator, &device, &info), STATUS_INFO_LENGTH_MISMATCH);
    WDF_CHILD_RETRIEVE_INFO_INIT(&info, &d.header);
    child_address a = make_address(0);
    info.AddressDescription = &a.header;
    EXPECT_EQ(WdfChildListRetrieveNextDevice(list(), &iterator, &device, &info), STATUS_INVALID_DEVICE_REQUEST)
        << "the list has no address descriptions";
    iterator.Size = 0;
    EXPECT_EQ(WdfChildListRetrieveNextDevice(list(), &iterator, &device, nullptr), STATUS_INFO_LENGTH_MISMATCH);
    iterator.Size = sizeof(iterator);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WdfChildListRetrieveNextDevice(list(), &iterator, &device, nullptr), 0);
    EXPECT_EQ(WdfChildListRetrieveNextDevice(list(), &iterator, &device, nullptr), STATUS_NO_MORE_ENTRIES);
    WdfChildListEndIteration(list(), &iterator);
}

TEST_F(iteration, retrieve_pdo_answers_per_state_with_the_lists_compare_routine) {
    child_description d = make_description(1);
    WDF_CHILD_RETRIEVE_INFO info;
    WDF_CHILD_RETRIEVE_INFO_INIT(&info, &d.header);
    EXPECT_EQ(WdfChildListRetrievePdo(list(), &info), pdo_of(1));
    EXPECT_EQ(info.Status, WdfChildListRetrieveDeviceSuccess);

    d = make_description(3);
    EXPECT_EQ(WdfChildListRetrievePdo(list(), &info), nullptr);
    EXPECT_EQ(info.Status, WdfChildListRetrieveDeviceNotYetCreated);

    // Missing, but its PDO is still there until the PnP manager removes it.
    d = make_description(2);
    EXPECT_EQ(WdfChildListRetrievePdo(list(), &info), pdo_of(2));
    EXPECT_EQ(info.Status, WdfChildListRetrieveDeviceSuccess);

    d = make_description(1, 5);
    info.EvtChildListIdentificationDescriptionCompare = [](WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER a,
                                                           PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER b) -> BOOLEAN {
        return reinterpret_cast<child_description*>(a)->serial == reinterpret_cast<child_description*>(b)->serial;
    };
    EXPECT_EQ(WdfChildListRetrievePdo(list(), &info), nullptr) << "the list compares the bytes; the info's routine "
                                                                  "is for iterations";
    EXPECT_EQ(info.Status, WdfChildListRetrieveDeviceNoSuchDevice);

    info.Size = 8;
    EXPECT_EQ(WdfChildListRetrievePdo(list(), &info), nullptr) << "malformed: nothing found, no bug check";
}

TEST_F(child_list, changes_during_an_iteration_are_committed_at_its_end) {
    start_bus();
    report(1);
    host.settle();
    WDF_CHILD_LIST_ITERATOR iterator;
    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrievePresentChildren);
    WdfChildListBeginIteration(list(), &iterator);
    WDFDEVICE device;
    ASSERT_EQ(WdfChildListRetrieveNextDevice(list(), &iterator, &device, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(report_missing(1), STATUS_SUCCESS);
    host.settle();
    EXPECT_TRUE(wdf::is_live(device));
    WdfChildListEndIteration(list(), &iterator);
    host.settle();
    EXPECT_FALSE(wdf::is_live(device));
}

TEST_F(child_list, address_descriptions_are_stored_updated_and_retrieved) {
    config().address_descriptions = true;
    start_bus();
    child_description d = make_description(1);
    child_address a = make_address(10);
    ASSERT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list(), &d.header, &a.header), STATUS_SUCCESS);
    EXPECT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list(), &d.header, nullptr), STATUS_INVALID_PARAMETER)
        << "this list needs an address for every child";
    a = make_address(11);
    EXPECT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list(), &d.header, &a.header),
              STATUS_OBJECT_NAME_EXISTS);

    child_address out = make_address(0);
    EXPECT_EQ(WdfChildListRetrieveAddressDescription(list(), &d.header, &out.header), STATUS_SUCCESS);
    EXPECT_EQ(out.port, 11u);
    child_description unknown = make_description(2);
    EXPECT_EQ(WdfChildListRetrieveAddressDescription(list(), &unknown.header, &out.header), STATUS_NO_SUCH_DEVICE);
}

TEST_F(child_list, retrieve_address_description_on_a_list_without_them_is_refused) {
    start_bus();
    report(1);
    child_description d = make_description(1);
    child_address out = make_address(0);
    EXPECT_EQ(WdfChildListRetrieveAddressDescription(list(), &d.header, &out.header), STATUS_INVALID_DEVICE_REQUEST);
}

// ---- Creating and removing PDOs ------------------------------------------------------

TEST_F(child_list, a_failing_create_callback_drops_the_child) {
    start_bus();
    config().create = [](WDFCHILDLIST, child_description*, PWDFDEVICE_INIT) { return STATUS_UNSUCCESSFUL; };
    report(1);
    host.settle();
    EXPECT_EQ(serials(), ulongs{});
    EXPECT_EQ(counts().create_calls, 1u);
    EXPECT_EQ(report(1), STATUS_SUCCESS) << "forgotten: a new child";
}

TEST_F(child_list, a_device_created_by_a_failing_callback_is_deleted_with_the_child) {
    start_bus();
    WDFDEVICE created = nullptr;
    config().create = [&created](WDFCHILDLIST, child_description* d, PWDFDEVICE_INIT init) {
        EXPECT_EQ(standard_pdo(init, *d, &created), STATUS_SUCCESS);
        return STATUS_UNSUCCESSFUL;
    };
    report(1);
    host.settle();
    EXPECT_EQ(serials(), ulongs{});
    EXPECT_FALSE(wdf::is_live(created));
}

class child_list_death : public bus_death_test {};

TEST_F(child_list_death, success_without_a_device_is_a_verifier_finding) {
    EXPECT_DEATH(
        {
            start_bus();
            config().create = [](WDFCHILDLIST, child_description*, PWDFDEVICE_INIT) { return STATUS_SUCCESS; };
            report(1);
            host.settle();
        },
        "BUGCHECK.*EvtChildListCreateDevice returned success without creating a device");
}

TEST_F(child_list, a_retry_answer_is_called_again_until_it_creates_or_the_framework_gives_up) {
    start_bus();
    config().create = [](WDFCHILDLIST, child_description* d, PWDFDEVICE_INIT init) {
        if (counts().create_calls < 3) return STATUS_RETRY;
        WDFDEVICE pdo;
        return standard_pdo(init, *d, &pdo);
    };
    report(1);
    host.settle();
    EXPECT_EQ(serials(), ulongs{1});
    EXPECT_EQ(counts().create_calls, 3u);

    counts().create_calls = 0;
    config().create = [](WDFCHILDLIST, child_description*, PWDFDEVICE_INIT) { return STATUS_RETRY; };
    report(2);
    host.settle();
    EXPECT_EQ(serials(), ulongs{1});
    EXPECT_EQ(counts().create_calls, 4u) << "the first call and three retries";
}

TEST_F(child_list, copy_and_cleanup_callbacks_handle_the_stored_descriptions) {
    config().copy_callbacks = true;
    start_bus();
    report(1);
    report(2);
    EXPECT_EQ(counts().copies, 2u);
    host.settle();
    report_missing(1);
    host.settle();
    EXPECT_EQ(counts().cleanups, 1u);
    WDF_CHILD_LIST_ITERATOR iterator;
    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrieveAllChildren);
    WdfChildListBeginIteration(list(), &iterator);
    child_description d = make_description(0);
    WDF_CHILD_RETRIEVE_INFO info;
    WDF_CHILD_RETRIEVE_INFO_INIT(&info, &d.header);
    WDFDEVICE device;
    EXPECT_EQ(WdfChildListRetrieveNextDevice(list(), &iterator, &device, &info), STATUS_SUCCESS);
    WdfChildListEndIteration(list(), &iterator);
    EXPECT_EQ(counts().copies, 3u) << "copied out through the callback too";
    EXPECT_EQ(d.serial, 2u);
    host.remove_device(*bus);
    EXPECT_EQ(counts().cleanups, 2u);
}

TEST_F(child_list, eject_stops_the_child_calls_its_eject_callback_and_removes_it) {
    start_bus();
    report(1);
    report(2);
    host.settle();
    child_description d = make_description(1);
    EXPECT_TRUE(WdfChildListRequestChildEject(list(), &d.header));
    d = make_description(9);
    EXPECT_FALSE(WdfChildListRequestChildEject(list(), &d.header));
    host.settle();
    EXPECT_EQ(serials(), ulongs{2});
    std::vector<std::string> log = log_of("testbus\\CHILD_1\\");
    EXPECT_EQ(std::vector<std::string>(log.begin() + 3, log.end()),
              (std::vector<std::string>{"self_managed_io_suspend", "d0_exit(D3Final)", "release_hardware",
                                        "self_managed_io_flush", "self_managed_io_cleanup", "eject", "removed"}));
}

TEST_F(child_list, a_failed_eject_leaves_the_child_stopped_but_present) {
    start_bus();
    report(1);
    host.settle();
    config().eject_status = STATUS_UNSUCCESSFUL;
    WdfPdoRequestEject(pdo_of(1));
    host.settle();
    EXPECT_EQ(serials(), ulongs{1});
    EXPECT_EQ(log_of("testbus\\CHILD_1\\").back(), "eject");
}

TEST_F(child_list, mark_missing_on_a_pdo_removes_it) {
    start_bus();
    report(1);
    host.settle();
    WDFDEVICE pdo = pdo_of(1);
    EXPECT_EQ(WdfPdoMarkMissing(pdo), STATUS_SUCCESS);
    EXPECT_EQ(WdfPdoMarkMissing(pdo), STATUS_NO_SUCH_DEVICE);
    host.settle();
    EXPECT_EQ(serials(), ulongs{});
}

TEST_F(child_list, a_second_list_enumerates_beside_the_default_one) {
    start_bus();
    WDF_CHILD_LIST_CONFIG list_config;
    WDF_CHILD_LIST_CONFIG_INIT(&list_config, sizeof(child_description),
                               [](WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER h, PWDFDEVICE_INIT init) {
                                   WDFDEVICE pdo;
                                   return standard_pdo(init, *reinterpret_cast<child_description*>(h), &pdo);
                               });
    WDFCHILDLIST second = nullptr;
    ASSERT_EQ(WdfChildListCreate(bus->device(), &list_config, WDF_NO_OBJECT_ATTRIBUTES, &second), STATUS_SUCCESS);
    EXPECT_EQ(WdfChildListGetDevice(second), bus->device());
    child_description d = make_description(8);
    EXPECT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(second, &d.header, nullptr), STATUS_SUCCESS);
    report(1);
    host.settle();
    EXPECT_EQ(serials(), (ulongs{1, 8}));
    EXPECT_EQ(host.children(*bus)[1].list, second);

    list_config.Size = 0;
    EXPECT_EQ(WdfChildListCreate(bus->device(), &list_config, WDF_NO_OBJECT_ATTRIBUTES, &second),
              STATUS_INFO_LENGTH_MISMATCH);
    WDF_CHILD_LIST_CONFIG_INIT(&list_config, sizeof(child_description), nullptr);
    EXPECT_EQ(WdfChildListCreate(bus->device(), &list_config, WDF_NO_OBJECT_ATTRIBUTES, &second),
              STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace test_bus
