// Interlocked operations: sequentially consistent, so each is a full barrier
// as on Windows. Signed overflow wraps, as the hardware instruction does.
#include "sim/sched.h"
#include "wdm.h"

EXTERN_C LONG InterlockedIncrement(LONG volatile* Addend) {
    sim::sched::point("InterlockedIncrement");
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

EXTERN_C LONG InterlockedDecrement(LONG volatile* Addend) {
    sim::sched::point("InterlockedDecrement");
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

EXTERN_C LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    sim::sched::point("InterlockedExchange");
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

EXTERN_C LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    sim::sched::point("InterlockedExchangeAdd");
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

EXTERN_C LONG InterlockedCompareExchange(LONG volatile* Destination, LONG ExChange, LONG Comperand) {
    sim::sched::point("InterlockedCompareExchange");
    LONG expected = Comperand;
    __atomic_compare_exchange_n(Destination, &expected, ExChange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return expected;
}

EXTERN_C LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
    sim::sched::point("InterlockedAnd");
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}

EXTERN_C LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
    sim::sched::point("InterlockedOr");
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}

EXTERN_C PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    sim::sched::point("InterlockedExchangePointer");
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

EXTERN_C PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comperand) {
    sim::sched::point("InterlockedCompareExchangePointer");
    PVOID expected = Comperand;
    __atomic_compare_exchange_n(Destination, &expected, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return expected;
}
