#include "probes.h"

#include <windows.h>
#include <psapi.h>

uint32_t tick_ms()
{
    return GetTickCount();
}

bool committed_bytes(uint64_t *bytes)
{
    // The basic record: PagefileUsage is the process's commit charge.
    PROCESS_MEMORY_COUNTERS counters;
    counters.cb = sizeof(counters);
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return false;
    *bytes = counters.PagefileUsage;
    return true;
}
