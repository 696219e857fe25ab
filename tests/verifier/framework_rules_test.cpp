// The framework's own rules beyond handles and locks: Unicode traces at
// raised IRQL, contexts during destruction, and the idle references of
// WdfDeviceStopIdle / WdfDeviceResumeIdle.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sim/host.h"
#include "sim/kernel.h"
#include "wdf.h"
#include "wdf/wdf_internal.h"
#include "wdf/wdf_power.h"

namespace {

struct destroy_probe {
    int value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(destroy_probe, probe_of);

int g_seen_in_destroy = 0;

VOID read_context_on_destroy(WDFOBJECT object) { g_seen_in_destroy = probe_of(object)->value; }

class framework_rules : public ::testing::Test {
 protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        host_ = std::make_unique<sim::host>();
        ASSERT_EQ(host_->load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS);
    }

    void TearDown() override {
        for (wdf::device* d : devices_) {
            wdf::power_removed(d);
            wdf::delete_object(d);
        }
        host_.reset();
    }

    // A framework device the PnP manager would have started (in D0 when `d0`).
    WDFDEVICE device(bool d0) {
        auto* d = new wdf::device();
        EXPECT_EQ(wdf::attach(d, nullptr, nullptr, "test"), STATUS_SUCCESS);
        if (d0) wdf::power_d0_entered(d);
        devices_.push_back(d);
        return reinterpret_cast<WDFDEVICE>(d->handle());
    }

    long stop_idle_count(WDFDEVICE d) { return wdf::power_stop_idle_count(reinterpret_cast<wdf::device*>(d)); }

    std::unique_ptr<sim::host> host_;
    std::vector<wdf::device*> devices_;
};

TEST_F(framework_rules, wide_conversions_at_dispatch_level_are_a_finding_at_teardown) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            DbgPrint("port %ws\n", L"COM3");
            KeLowerIrql(old);
            host_.reset();
        },
        "verifier finding: DbgPrint with %ws at IRQL 2");
}

TEST_F(framework_rules, wide_conversions_at_passive_level_and_narrow_ones_anywhere_are_fine) {
    DbgPrint("port %ws %wZ %S\n", L"COM3", nullptr, L"x");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    DbgPrint("%s %I64x %ld %%S\n", "narrow", 1ULL, 2L);
    KeLowerIrql(old);
    EXPECT_TRUE(sim::verifier_findings().empty());
}

TEST_F(framework_rules, a_context_is_readable_in_its_destroy_callback) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, destroy_probe);
    attributes.EvtDestroyCallback = read_context_on_destroy;
    WDFOBJECT object;
    ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    probe_of(object)->value = 42;
    g_seen_in_destroy = 0;
    WdfObjectDelete(object);
    EXPECT_EQ(g_seen_in_destroy, 42);
}

struct added_one {
    int value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(added_one, added_one_of);
struct added_two {
    int value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(added_two, added_two_of);

// A context lookup takes no lock: it walks the object's chain while another
// thread appends to it. Every lookup finds the first context, and a context
// once added; each added context is cleaned up and gone with the object.
TEST_F(framework_rules, contexts_added_while_another_thread_looks_them_up_are_found_once_added) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, destroy_probe);
    WDFOBJECT object;
    ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    probe_of(object)->value = 7;
    EXPECT_EQ(added_one_of(object), nullptr);

    std::atomic<bool> added{false};
    std::atomic<int> wrong{0};
    std::thread reader([&] {
        for (int i = 0; i < 20000; ++i) {
            if (probe_of(object)->value != 7) wrong++;
            const bool was_added = added.load();
            added_two* two = added_two_of(object);
            if (was_added && (two == nullptr || two->value != 2)) wrong++;
        }
    });
    PVOID context = nullptr;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, added_one);
    ASSERT_EQ(WdfObjectAllocateContext(object, &attributes, &context), STATUS_SUCCESS);
    static_cast<added_one*>(context)->value = 1;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, added_two);
    ASSERT_EQ(WdfObjectAllocateContext(object, &attributes, &context), STATUS_SUCCESS);
    static_cast<added_two*>(context)->value = 2;
    added.store(true);
    reader.join();
    EXPECT_EQ(wrong.load(), 0);

    EXPECT_EQ(added_one_of(object)->value, 1);
    EXPECT_EQ(WdfObjectAllocateContext(object, &attributes, &context), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(context, added_two_of(object));
    EXPECT_EQ(WdfObjectContextGetObject(context), object);
    WdfObjectDelete(object);
}

TEST_F(framework_rules, a_context_looked_up_on_a_destroyed_object_is_a_bug_check) {
    EXPECT_DEATH(
        {
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, destroy_probe);
            WDFOBJECT object;
            WdfObjectCreate(&attributes, &object);
            WdfObjectDelete(object);
            probe_of(object);
        },
        "BUGCHECK.*use of a deleted handle.*WdfObjectGetTypedContextWorker");
}

std::vector<int> g_cleaned;

VOID note_cleanup(WDFOBJECT object) { g_cleaned.push_back(probe_of(object)->value); }

TEST_F(framework_rules, children_are_cleaned_up_in_the_order_they_were_created_before_their_parent) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, destroy_probe);
    attributes.EvtCleanupCallback = note_cleanup;
    WDFOBJECT parent;
    ASSERT_EQ(WdfObjectCreate(&attributes, &parent), STATUS_SUCCESS);
    probe_of(parent)->value = 0;
    attributes.ParentObject = parent;
    for (int i = 1; i <= 3; ++i) {
        WDFOBJECT child;
        ASSERT_EQ(WdfObjectCreate(&attributes, &child), STATUS_SUCCESS);
        probe_of(child)->value = i;
    }
    g_cleaned.clear();
    WdfObjectDelete(parent);
    EXPECT_EQ(g_cleaned, (std::vector<int>{1, 2, 3, 0}));
}

TEST_F(framework_rules, a_collection_takes_its_own_lock_on_every_call) {
    WDFCOLLECTION collection;
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
    constexpr int per_thread = 200;
    std::vector<WDFOBJECT> objects(2 * per_thread);
    for (WDFOBJECT& o : objects) ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &o), STATUS_SUCCESS);
    auto add = [&](int first) {
        for (int i = first; i < first + per_thread; ++i) {
            EXPECT_EQ(WdfCollectionAdd(collection, objects[i]), STATUS_SUCCESS);
            WdfCollectionGetCount(collection);
            WdfCollectionGetLastItem(collection);
        }
    };
    std::thread a(add, 0);
    std::thread b(add, per_thread);
    a.join();
    b.join();
    EXPECT_EQ(WdfCollectionGetCount(collection), static_cast<ULONG>(2 * per_thread));
    WdfObjectDelete(collection);
    for (WDFOBJECT o : objects) WdfObjectDelete(o);
}

TEST_F(framework_rules, stop_idle_counts_nest_and_resume_releases_them) {
    WDFDEVICE d = device(true);
    EXPECT_EQ(WdfDeviceStopIdle(d, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(WdfDeviceStopIdle(d, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(stop_idle_count(d), 2);
    WdfDeviceResumeIdle(d);
    WdfDeviceResumeIdle(d);
    EXPECT_EQ(stop_idle_count(d), 0);
}

TEST_F(framework_rules, stop_idle_on_a_device_not_in_d0_fails_without_a_reference) {
    WDFDEVICE d = device(false);
    EXPECT_EQ(WdfDeviceStopIdle(d, TRUE), STATUS_POWER_STATE_INVALID);
    EXPECT_EQ(stop_idle_count(d), 0);
}

TEST_F(framework_rules, resume_idle_without_stop_idle_is_a_bug_check) {
    WDFDEVICE d = device(true);
    EXPECT_DEATH(WdfDeviceResumeIdle(d), "BUGCHECK.*WdfDeviceResumeIdle without a matching WdfDeviceStopIdle");
}

TEST_F(framework_rules, stop_idle_waiting_for_d0_above_passive_level_is_a_bug_check) {
    WDFDEVICE d = device(true);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            WdfDeviceStopIdle(d, TRUE);
        },
        "BUGCHECK.*WdfDeviceStopIdle");
}

TEST_F(framework_rules, removing_a_device_with_a_stop_idle_outstanding_is_a_bug_check) {
    WDFDEVICE d = device(true);
    ASSERT_EQ(WdfDeviceStopIdle(d, TRUE), STATUS_SUCCESS);
    EXPECT_DEATH(wdf::power_removed(reinterpret_cast<wdf::device*>(d)),
                 "BUGCHECK.*device removed with a WdfDeviceStopIdle not matched");
    WdfDeviceResumeIdle(d);
}

}  // namespace
