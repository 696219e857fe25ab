// The bug check line and the abort that follows it.
#include <csignal>

#include "kernel_fixture.h"

using bug_check_DeathTest = kernel_death_test;

TEST_F(bug_check_DeathTest, names_code_rule_object_and_caller_then_aborts) {
    EXPECT_EXIT(
        sim::bug_check(WDF_VIOLATION, "handle already deleted", reinterpret_cast<void*>(0x1234), "WdfObjectDelete"),
        testing::KilledBySignal(SIGABRT),
        "\\*\\*\\* BUGCHECK 0x0000010D: handle already deleted: object 0000000000001234, caller WdfObjectDelete\n");
}

TEST_F(bug_check_DeathTest, driver_bug_check_shows_its_parameters) {
    EXPECT_DEATH(KeBugCheckEx(0xDE, 1, 0x22, 0x333, 0x4444),
                 "BUGCHECK 0x000000DE: driver called KeBugCheckEx \\(0x1, 0x22, 0x333, 0x4444\\): object "
                 "0000000000000001, caller KeBugCheckEx");
}
