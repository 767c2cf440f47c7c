// The platform probes and the report built on them.

#include "probes.h"
#include "report.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

const uint64_t MIB = 1048576;

TEST(Report, CommitGrowthIsFlooredSoThatAnyShrinkIsNegative)
{
    uint64_t base = 500 * MIB + 12345;
    EXPECT_EQ(commit_growth_mb(base, base + 7 * MIB + MIB - 1), 7);
    EXPECT_EQ(commit_growth_mb(base, base - 1), -1);
    EXPECT_EQ(commit_growth_mb(base, base - MIB - 1), -2);
    EXPECT_EQ(elapsed_ms(0xFFFFFFF0u, 0x10u), 0x20u) << "true across a wrap of the tick count";
}

TEST(Probes, TickCountsMillisecondsLikeTheSystemClock)
{
    uint32_t before = tick_ms();
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    uint32_t ticks = elapsed_ms(before, tick_ms());
    auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    // Windows' tick count steps in about 16 ms: allow one step either way.
    EXPECT_GE(ticks, 120u - 17u);
    EXPECT_LE(ticks, (uint32_t) wall.count() + 17u);
}

TEST(Probes, CommitCountsCommittedMemoryInFull)
{
    uint64_t before = 0, after = 0;
    ASSERT_TRUE(committed_bytes(&before));
#ifdef _WIN32
    // Written to as well: Wine counts only the pages touched, Windows every committed page.
    void *block = VirtualAlloc(nullptr, 64 * MIB, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    memset(block, 1, 64 * MIB);
    ASSERT_TRUE(committed_bytes(&after));
    VirtualFree(block, 0, MEM_RELEASE);
#else
    // Never touched (commit, not the resident set); 64 MiB gets a mapping of its own, beyond the heap's slack.
    void *volatile block = malloc(64 * MIB);
    ASSERT_TRUE(committed_bytes(&after));
    free(block);
#endif
    EXPECT_EQ(commit_growth_mb(before, after), 64);
}

#ifndef _WIN32
TEST(Probes, ParsesTheKernelsStatusTextOrLeavesTheResultAlone)
{
    uint64_t bytes = 0;
    ASSERT_TRUE(parse_committed_bytes("Name:\tx\nVmPeak:\t 999 kB\nVmData:\t  2048 kB\nVmStk:\t 132 kB\n", &bytes));
    EXPECT_EQ(bytes, (2048u + 132u) * 1024u);
    bytes = 77;
    for (const char *status : {"Name:\tx\nVmData:\t 1 kB\n", "VmData:\tlots\nVmStk:\t1 kB\n", "XVmData:\t1 kB\nVmStk:\t1 kB\n"})
        EXPECT_FALSE(parse_committed_bytes(status, &bytes)) << status;
    EXPECT_EQ(bytes, 77u);
}
#endif
