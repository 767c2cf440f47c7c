#pragma once

#include <cstddef>
#include <cstdint>

const int ITERATION_COUNT = 1000;
const size_t WORK_BUFFER_SIZE = 0x100000;

// Appended to every source so that no two iterations hand the driver the same
// text and no shader cache can answer for it: always 40 bytes.
#define STAMP_FORMAT "\r\n// temp random str %08x %08x\r\n"
const size_t STAMP_LENGTH = 40;

// The longest source (up to its first NUL) that fits a working buffer together
// with the stamp and the closing NUL.
const size_t MAX_SOURCE_LENGTH = WORK_BUFFER_SIZE - STAMP_LENGTH - 1;

// Copies the first length bytes of source to the start of work and appends the
// stamp for tick and index, NUL-terminated. work must hold length + 41 bytes.
void stamp_source(char *work, const char *source, size_t length, uint32_t tick, int index);

// Compiles and links ITERATION_COUNT uniquely stamped programs on the current
// context, printing a progress line for each and the time and commit report at
// the end; the programs are left alive. Returns false, having printed why, when
// it cannot start: a source too large for a working buffer, or no memory for one.
bool run_compile_link_loop(const char *vertex_source, const char *fragment_source);
