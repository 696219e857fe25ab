// The platform as a verifier: each rule a driver can break stops the process
// with a bug check naming the rule.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/host.h"
#include "sim/kernel.h"
#include "wdf.h"
#include "wdf/wdf_object.h"

namespace {

class verifier : public ::testing::Test {
 protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    // A loaded driver gives objects their default parent.
    void load(sim::host& host) { ASSERT_EQ(host.load_driver(CDC_DRIVER_IMAGE), STATUS_SUCCESS); }
};

TEST_F(verifier, spin_lock_acquired_twice_by_one_thread) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            WDFSPINLOCK lock;
            WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock);
            WdfSpinLockAcquire(lock);
            WdfSpinLockAcquire(lock);
        },
        "BUGCHECK.*spin lock acquired by the thread that already holds it.*WdfSpinLockAcquire");
}

TEST_F(verifier, spin_lock_released_without_being_held) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            WDFSPINLOCK lock;
            WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock);
            WdfSpinLockRelease(lock);
        },
        "BUGCHECK.*spin lock released by a thread that does not hold it");
}

WDFSPINLOCK new_spin_lock() {
    WDFSPINLOCK lock = nullptr;
    WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock);
    return lock;
}

void nested(WDFSPINLOCK outer, WDFSPINLOCK inner) {
    WdfSpinLockAcquire(outer);
    WdfSpinLockAcquire(inner);
    WdfSpinLockRelease(inner);
    WdfSpinLockRelease(outer);
}

// Two locks taken in both orders, each on its own thread and never at the
// same time: no deadlock happened, yet the inversion is reported.
void invert_across_threads() {
    WDFSPINLOCK a = new_spin_lock();
    WDFSPINLOCK b = new_spin_lock();
    std::thread first(nested, a, b);
    first.join();
    nested(b, a);
}

void cycle_of_three() {
    WDFSPINLOCK a = new_spin_lock();
    WDFSPINLOCK b = new_spin_lock();
    WDFSPINLOCK c = new_spin_lock();
    nested(a, b);
    nested(b, c);
    nested(c, a);
}

TEST_F(verifier, spin_locks_taken_in_both_orders) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            invert_across_threads();
        },
        "BUGCHECK.*lock order inversion.*WdfSpinLockAcquire");
}

TEST_F(verifier, a_cycle_through_three_spin_locks) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            cycle_of_three();
        },
        "BUGCHECK.*lock order inversion");
}

TEST_F(verifier, one_order_kept_is_no_finding_and_a_deleted_lock_leaves_the_record) {
    sim::host host;
    load(host);
    WDFSPINLOCK a, b;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &a), STATUS_SUCCESS);
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &b), STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        WdfSpinLockAcquire(a);
        WdfSpinLockAcquire(b);
        WdfSpinLockRelease(b);
        WdfSpinLockRelease(a);
    }
    WdfObjectDelete(a);
    WdfObjectDelete(b);
    // New locks may take the old addresses; their order starts afresh.
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &b), STATUS_SUCCESS);
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &a), STATUS_SUCCESS);
    WdfSpinLockAcquire(b);
    WdfSpinLockAcquire(a);
    WdfSpinLockRelease(a);
    WdfSpinLockRelease(b);
    WdfObjectDelete(a);
    WdfObjectDelete(b);
}

TEST_F(verifier, waiting_while_holding_a_spin_lock) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            WDFSPINLOCK lock;
            WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock);
            WdfSpinLockAcquire(lock);
            LARGE_INTEGER interval;
            interval.QuadPart = -10000;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        },
        "BUGCHECK.*KeDelayExecutionThread");
}

TEST_F(verifier, a_lock_held_keeps_irql_at_dispatch_and_release_restores_it) {
    sim::host host;
    load(host);
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfSpinLockAcquire(lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    WdfSpinLockRelease(lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(verifier, handle_of_the_wrong_type) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            WDFCOLLECTION collection;
            WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection);
            WdfSpinLockAcquire(reinterpret_cast<WDFSPINLOCK>(collection));
        },
        "BUGCHECK.*handle of the wrong type \\(WDFCOLLECTION where WDFSPINLOCK was expected\\)");
}

TEST_F(verifier, unknown_handle) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            int not_an_object = 0;
            WdfCollectionGetCount(reinterpret_cast<WDFCOLLECTION>(&not_an_object));
        },
        "BUGCHECK.*unknown handle.*WdfCollectionGetCount");
}

TEST_F(verifier, use_of_a_deleted_handle) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            WDFCOLLECTION collection;
            WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection);
            WdfObjectDelete(collection);
            WdfCollectionGetCount(collection);
        },
        "BUGCHECK.*use of a deleted handle.*WdfCollectionGetCount");
}

TEST_F(verifier, double_delete) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            WDFSTRING string;
            WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string);
            WdfObjectDelete(string);
            WdfObjectDelete(string);
        },
        "BUGCHECK.*object deleted twice");
}

TEST_F(verifier, deleting_a_framework_owned_device) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            auto& stack = host.add_device(sim::device_stack_config{});
            WdfObjectDelete(stack.device());
        },
        "BUGCHECK.*may not delete a framework-owned WDFDEVICE");
}

TEST_F(verifier, dereference_without_reference) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            WDFCOLLECTION collection;
            WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection);
            WdfObjectDereferenceWithTag(collection, reinterpret_cast<PVOID>(0x1234));
        },
        "BUGCHECK.*dereference without a matching reference");
}

TEST_F(verifier, reference_left_at_unload) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            auto& stack = host.add_device(sim::device_stack_config{});
            WdfObjectReferenceWithTag(stack.device(), reinterpret_cast<PVOID>(0x99));
            host.unload_driver();
        },
        "leaked WDFDEVICE(.|\n)*reference tag 0x99(.|\n)*BUGCHECK.*left behind at driver unload");
}

TEST_F(verifier, pool_left_at_unload) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            ExAllocatePoolWithTag(NonPagedPool, 32, 0x43444345);
            host.unload_driver();
        },
        "leaked pool tag 0x43444345: 1 blocks, 32 bytes(.|\n)*BUGCHECK.*left behind at driver unload");
}

// A key closed is no finding; one left open is, though the driver's
// deletion would close it.
TEST_F(verifier, registry_key_left_open_at_unload) {
    {
        sim::host host;
        load(host);
        WDFKEY key;
        ASSERT_EQ(WdfDriverOpenParametersRegistryKey(WdfGetDriver(), KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
                  STATUS_SUCCESS);
        WdfRegistryClose(key);
        host.unload_driver();
    }
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            WDFKEY key;
            WdfDriverOpenParametersRegistryKey(WdfGetDriver(), KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key);
            host.unload_driver();
        },
        "registry key left open: .*Parameters \\(opened by WdfDriverOpenParametersRegistryKey\\)"
        "(.|\n)*BUGCHECK.*left behind at driver unload");
}

TEST_F(verifier, object_kept_alive_by_a_reference_after_delete_is_released_by_the_last_dereference) {
    sim::host host;
    load(host);
    WDFCOLLECTION collection;
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
    WdfObjectReferenceWithTag(collection, reinterpret_cast<PVOID>(7));
    WdfObjectDelete(collection);
    WdfObjectDereferenceWithTag(collection, reinterpret_cast<PVOID>(7));
    host.unload_driver();  // nothing leaked
}

struct held_value {
    int value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(held_value, held_value_of);

ULONG g_count_in_cleanup = 0;

VOID count_own_items_on_cleanup(WDFOBJECT object) {
    g_count_in_cleanup = WdfCollectionGetCount(static_cast<WDFCOLLECTION>(object)) + 100;
}

WDFCOLLECTION new_collection_with_value(int value, PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, held_value);
    attributes.EvtCleanupCallback = cleanup;
    WDFCOLLECTION collection = nullptr;
    EXPECT_EQ(WdfCollectionCreate(&attributes, &collection), STATUS_SUCCESS);
    held_value_of(collection)->value = value;
    return collection;
}

// A handle serves every call until its cleanup callbacks have run; after its
// deletion only its reference holders' calls pass (its context, their
// dereference), though the object stays until the last reference goes.
TEST_F(verifier, a_deleted_handle_still_referenced_serves_only_its_contexts_and_dereference) {
    sim::host host;
    load(host);
    WDFCOLLECTION collection = new_collection_with_value(5, count_own_items_on_cleanup);
    WdfObjectReferenceWithTag(collection, reinterpret_cast<PVOID>(7));
    g_count_in_cleanup = 0;
    WdfObjectDelete(collection);
    EXPECT_EQ(g_count_in_cleanup, 100u);
    EXPECT_EQ(held_value_of(collection)->value, 5);
    EXPECT_DEATH(WdfCollectionGetCount(collection), "BUGCHECK.*use of a deleted handle.*WdfCollectionGetCount");
    EXPECT_DEATH(WdfObjectReferenceWithTag(collection, reinterpret_cast<PVOID>(8)),
                 "BUGCHECK.*use of a deleted handle.*WdfObjectReferenceActual");
    EXPECT_DEATH(WdfObjectDelete(collection), "BUGCHECK.*object deleted twice");
    WdfObjectDereferenceWithTag(collection, reinterpret_cast<PVOID>(7));
    EXPECT_DEATH(WdfObjectDereferenceWithTag(collection, reinterpret_cast<PVOID>(7)),
                 "BUGCHECK.*use of a deleted handle.*WdfObjectDereferenceActual");
    EXPECT_DEATH(held_value_of(collection), "BUGCHECK.*use of a deleted handle.*WdfObjectGetTypedContextWorker");
    host.unload_driver();  // nothing leaked
}

// Handle checks take no lock: a holder of a reference looks its context up
// and checks its handle on one thread while another deletes the object; the
// lookups find the context throughout, and the holder's dereference destroys
// the object.
TEST_F(verifier, a_referenced_handle_deleted_on_another_thread_keeps_its_context_for_the_holder) {
    sim::host host;
    load(host);
    for (int round = 0; round < 20; ++round) {
        WDFCOLLECTION collection = new_collection_with_value(round);
        WdfObjectReferenceWithTag(collection, reinterpret_cast<PVOID>(7));
        std::atomic<bool> started{false};
        int wrong = 0;
        std::thread holder([&] {
            started.store(true);
            for (int i = 0; i < 2000; ++i) {
                if (held_value_of(collection)->value != round) wrong++;
            }
            WdfObjectDereferenceWithTag(collection, reinterpret_cast<PVOID>(7));
        });
        while (!started.load()) std::this_thread::yield();
        WdfObjectDelete(collection);
        holder.join();
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(wdf::reference_count(collection), -1);
    }
    host.unload_driver();  // nothing leaked
}

TEST_F(verifier, device_init_used_after_create) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            auto& stack = host.add_device(sim::device_stack_config{});
            (void)stack;
            // The driver's device add consumed its init; using it again is a bug.
            WdfDeviceInitSetIoType(nullptr, WdfDeviceIoBuffered);
        },
        "BUGCHECK.*invalid WDFDEVICE_INIT");
}

TEST_F(verifier, registry_key_at_dispatch_level) {
    EXPECT_DEATH(
        {
            sim::host host;
            load(host);
            WDFSPINLOCK lock;
            WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock);
            WdfSpinLockAcquire(lock);
            WDFKEY key;
            WdfDriverOpenParametersRegistryKey(WdfGetDriver(), KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key);
        },
        "BUGCHECK.*above the allowed 0.*WdfDriverOpenParametersRegistryKey");
}

}  // namespace
