#include "sim/kernel.h"
#include "sim/sched.h"
#include "wdf/wdf_internal.h"

using namespace wdf;

wdf::spin_lock_object::~spin_lock_object() { sim::spin_lock_forget(this); }

extern "C" {

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock) {
    sim::count_framework_call();
    require_irql_max(DISPATCH_LEVEL, "WdfSpinLockCreate");
    if (SpinLock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *SpinLock = nullptr;
    auto* lock = new spin_lock_object();
    NTSTATUS status = attach(lock, SpinLockAttributes, default_parent(), "WdfSpinLockCreate");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *SpinLock = reinterpret_cast<WDFSPINLOCK>(lock);
    return STATUS_SUCCESS;
}

VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock) {
    sim::count_framework_call();
    sim::count_spin_lock_acquisition();
    auto* lock = validate_as<spin_lock_object>(SpinLock, object_type::spin_lock, "WdfSpinLockAcquire");
    require_irql_max(DISPATCH_LEVEL, "WdfSpinLockAcquire");
    // Checked before blocking: the thread would otherwise wait for itself.
    sim::spin_lock_note_acquire(SpinLock, "WdfSpinLockAcquire");
    KIRQL old = sim::irql_raise(DISPATCH_LEVEL);
    if (sim::sched::active()) {
        // The holder may be parked at a scheduling point: wait for it as the
        // scheduler sees it, never on the mutex itself.
        sim::sched::wait("WdfSpinLockAcquire", [lock] { return lock->owner.load() == std::thread::id(); });
        lock->owner.store(std::this_thread::get_id());
    }
    lock->mutex.lock();
    lock->saved_irql = old;
}

VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock) {
    sim::count_framework_call();
    auto* lock = validate_as<spin_lock_object>(SpinLock, object_type::spin_lock, "WdfSpinLockRelease");
    sim::spin_lock_note_release(SpinLock, "WdfSpinLockRelease");
    KIRQL old = lock->saved_irql;
    lock->mutex.unlock();
    const bool controlled = sim::sched::active();
    if (controlled) lock->owner.store(std::thread::id());
    sim::irql_lower(old);
    if (controlled) sim::sched::point("WdfSpinLockRelease");
}

}  // extern "C"
