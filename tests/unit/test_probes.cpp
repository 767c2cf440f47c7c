// The platform probes and the report built on them.

#include "probes.h"
#include "report.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

const uint64_t MIB = 1048576;

TEST(Report, CommitGrowthIsFlooredToWholeMebibytes)
{
    uint64_t base = 500 * MIB + 12345;
    EXPECT_EQ(commit_growth_mb(base, base), 0);
    EXPECT_EQ(commit_growth_mb(base, base + MIB - 1), 0);
    EXPECT_EQ(commit_growth_mb(base, base + 7 * MIB), 7);
    EXPECT_EQ(commit_growth_mb(base, base + 7 * MIB + MIB - 1), 7);
    EXPECT_EQ(commit_growth_mb(base, base - 1), -1) << "a shrink of one byte shows as -1";
    EXPECT_EQ(commit_growth_mb(base, base - MIB), -1);
    EXPECT_EQ(commit_growth_mb(base, base - MIB - 1), -2);
}

TEST(Report, ElapsedTimeIsTrueAcrossATickWrap)
{
    EXPECT_EQ(elapsed_ms(100, 350), 250u);
    EXPECT_EQ(elapsed_ms(0xFFFFFFF0u, 0x10u), 0x20u);
}

TEST(Report, PrintsTimeThenCommitAndNeverAMadeUpNumber)
{
    testing::internal::CaptureStdout();
    report_results(tick_ms(), false, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Compiled all shaders in 0ms\nCommitted mem: unavailable\n");

    uint64_t now = 0;
    ASSERT_TRUE(committed_bytes(&now));
    testing::internal::CaptureStdout();
    report_results(tick_ms() - 1500, true, now + 3 * MIB);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(out.rfind("Compiled all shaders in 15", 0) == 0) << out;
    EXPECT_NE(out.find("ms\nCommitted mem: -3MB\n"), std::string::npos) << out;
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
