#include "report.h"
#include "output.h"
#include "probes.h"

uint32_t elapsed_ms(uint32_t start_ticks, uint32_t end_ticks)
{
    return end_ticks - start_ticks;
}

int64_t commit_growth_mb(uint64_t before, uint64_t after)
{
    return (int64_t) (after - before) >> 20;
}

void report_results(uint32_t start_ticks, bool have_commit_before, uint64_t commit_before)
{
    print_line(TIME_LINE, (int) elapsed_ms(start_ticks, tick_ms()));

    uint64_t commit_after = 0;
    if (have_commit_before && committed_bytes(&commit_after))
        print_line(COMMIT_LINE, (int) commit_growth_mb(commit_before, commit_after));
    else
        print_line(COMMIT_UNAVAILABLE_LINE);
}
