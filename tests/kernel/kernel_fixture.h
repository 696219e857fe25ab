// Shared fixture and helpers of the kernel runtime tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "ntstrsafe.h"
#include "sim/kernel.h"
#include "sim/strings.h"

// Every test starts from the kernel's start state and must leave no pool
// block, raised IRQL or armed fault behind.
class kernel_test : public testing::Test {
 protected:
    void SetUp() override {
        sim::kernel_reset();
        sim::pool_reset_accounting();
    }
    void TearDown() override {
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_TRUE(sim::pool_outstanding_all().empty());
        sim::kernel_reset();
        sim::pool_reset_accounting();
    }
};

// Death tests re-run the program from the start in a child, so threads the
// platform may have started cannot deadlock the fork.
class kernel_death_test : public kernel_test {
 protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        kernel_test::SetUp();
    }
};

// The formatters called without the compiler's printf checks, which know
// only glibc's dialect and would flag the Windows one.
inline std::string win_format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = sim::format_windows(format, args);
    va_end(args);
    return out;
}

inline std::string win_format_wide(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = sim::to_utf8(sim::format_windows_wide(format, args));
    va_end(args);
    return out;
}

constexpr ULONG kTestTag = 0x43444345;
