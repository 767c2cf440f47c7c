#include "output.h"

#include <cstdarg>
#include <cstdio>

void print_line(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    fflush(stdout);
}
