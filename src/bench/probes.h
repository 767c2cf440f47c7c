#pragma once

#include <cstdint>

// Milliseconds since the system started, wrapping every 2^32 ms.
uint32_t tick_ms();

// The process's committed private memory in bytes. Returns false (and leaves
// *bytes alone) when the system will not say.
bool committed_bytes(uint64_t *bytes);

// Linux: the commit figure out of the text of /proc/self/status (VmData + VmStk).
bool parse_committed_bytes(const char *status, uint64_t *bytes);
