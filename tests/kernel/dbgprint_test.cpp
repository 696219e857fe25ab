// DbgPrint's debugger sink: line splitting, pending text, the 512-byte limit,
// mirroring and concurrent printers.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kernel_fixture.h"

using debugger = kernel_test;
using debugger_DeathTest = kernel_death_test;

using lines = std::vector<std::string>;

TEST_F(debugger, splits_output_into_lines) {
    EXPECT_EQ(DbgPrint("first\nsecond\n"), ULONG(STATUS_SUCCESS));
    DbgPrint("\n");
    DbgPrint("windows ending\r\n");
    // Every component and level shows, as in a debugger with the filter open.
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "info %d\n", 3);
    EXPECT_EQ(sim::debugger_lines(), (lines{"first", "second", "", "windows ending", "info 3"}));
    EXPECT_EQ(sim::debugger_text(), "first\nsecond\n\nwindows ending\ninfo 3\n");
}

TEST_F(debugger, text_without_newline_joins_the_next_print) {
    DbgPrint("status ");
    DbgPrint("0x%08lX", STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::debugger_lines().empty());
    DbgPrint(" done\nnext ");
    EXPECT_EQ(sim::debugger_lines(), (lines{"status 0xC0000001 done"}));
    sim::debugger_clear();
    DbgPrint("fresh\n");
    EXPECT_EQ(sim::debugger_lines(), (lines{"fresh"}));
}

TEST_F(debugger, one_print_sends_at_most_512_bytes) {
    const std::string long_text(600, 'a');
    DbgPrint("%s\n", long_text.c_str());
    // The cut also took the newline, so the text is still pending, as Windows shows it.
    EXPECT_TRUE(sim::debugger_lines().empty());
    DbgPrint("\n");
    EXPECT_EQ(sim::debugger_lines(), (lines{std::string(512, 'a')}));

    sim::debugger_clear();
    const std::string straddling = std::string(511, 'b') + "\xC3\xA9";
    DbgPrint("%s\n", straddling.c_str());
    DbgPrint("\n");
    EXPECT_EQ(sim::debugger_lines(), (lines{std::string(511, 'b')}));
}

TEST_F(debugger, mirrors_completed_lines_to_a_stream) {
    FILE* stream = tmpfile();
    ASSERT_NE(stream, nullptr);
    sim::debugger_mirror(stream);
    DbgPrint("mirrored\npartial");
    sim::debugger_mirror(nullptr);
    DbgPrint(" not mirrored\n");
    rewind(stream);
    char buf[64] = {};
    const size_t n = fread(buf, 1, sizeof(buf) - 1, stream);
    fclose(stream);
    EXPECT_EQ(std::string(buf, n), "mirrored\n");
    EXPECT_EQ(sim::debugger_lines(), (lines{"mirrored", "partial not mirrored"}));
}

TEST_F(debugger, concurrent_printers_keep_whole_lines) {
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> printers;
    for (int t = 0; t < kThreads; ++t)
        printers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) DbgPrint("thread %d line %03d\n", t, i);
        });
    for (std::thread& p : printers) p.join();
    const lines out = sim::debugger_lines();
    ASSERT_EQ(out.size(), size_t{kThreads * kLines});
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : out) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++) << "lines of one thread stay in order";
    }
}

TEST_F(debugger_DeathTest, null_format_is_a_bug_check) {
    EXPECT_DEATH(DbgPrint(nullptr), "BUGCHECK 0x000000C4: DbgPrint format is NULL");
}
