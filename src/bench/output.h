#pragma once

// Prints one formatted line on standard output and flushes it at once, so that a
// reader on a pipe or a file sees every line when it is printed, not when the
// process ends (and the process may sit in its idle loop for a long time).
void print_line(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
