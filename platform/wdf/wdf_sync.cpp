#include "sim/kernel.h"
#include "wdf/wdf_internal.h"

using namespace wdf;

extern "C" {

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock) {
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
    auto* lock = validate_as<spin_lock_object>(SpinLock, object_type::spin_lock, "WdfSpinLockAcquire");
    require_irql_max(DISPATCH_LEVEL, "WdfSpinLockAcquire");
    if (lock->owner.load() == std::this_thread::get_id()) {
        sim::bug_check(SPIN_LOCK_ALREADY_OWNED, "spin lock acquired by the thread that already holds it", SpinLock,
                       "WdfSpinLockAcquire");
    }
    KIRQL old = sim::irql_raise(DISPATCH_LEVEL);
    lock->mutex.lock();
    lock->owner.store(std::this_thread::get_id());
    lock->saved_irql = old;
}

VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock) {
    auto* lock = validate_as<spin_lock_object>(SpinLock, object_type::spin_lock, "WdfSpinLockRelease");
    if (lock->owner.load() != std::this_thread::get_id()) {
        sim::bug_check(SPIN_LOCK_NOT_OWNED, "spin lock released by a thread that does not hold it", SpinLock,
                       "WdfSpinLockRelease");
    }
    KIRQL old = lock->saved_irql;
    lock->owner.store(std::thread::id());
    lock->mutex.unlock();
    sim::irql_lower(old);
}

}  // extern "C"
