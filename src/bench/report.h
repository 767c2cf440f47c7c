#pragma once

#include <cstdint>

// Elapsed milliseconds between two tick samples, true across a wrap of the counter.
uint32_t elapsed_ms(uint32_t start_ticks, uint32_t end_ticks);

// Growth of the commit charge in whole MiB, rounded towards minus infinity, so
// that any shrink, however small, shows as negative.
int64_t commit_growth_mb(uint64_t before, uint64_t after);

// Prints the two result lines: the time since start_ticks, then the commit growth
// since commit_before (sampled after the time line). When either commit sample is
// missing the commit line says "unavailable" rather than a made-up number.
void report_results(uint32_t start_ticks, bool have_commit_before, uint64_t commit_before);
