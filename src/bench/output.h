#pragma once

// Every line the benchmark prints on standard output, in one place: scripts
// read these, so they change only together with the parser in tools/sbench.
#define PROGRESS_LINE "%04d/1000\n"
#define LINK_FAILED_LINE "glLinkProgram() failed\n"
#define TIME_LINE "Compiled all shaders in %dms\n"
#define COMMIT_LINE "Committed mem: %dMB\n"
#define COMMIT_UNAVAILABLE_LINE "Committed mem: unavailable\n"
#define LOAD_FAILED_LINE "Unable to load file\n"
#define TOO_LARGE_LINE "Shader source too large\n"
#define NO_BUFFERS_LINE "Unable to allocate working buffers\n"
#define NO_GL_LINE "Unable to load OpenGL functions\n"

// Prints one formatted line on standard output and flushes it at once, so that a
// reader on a pipe or a file sees every line when it is printed, not when the
// process ends (and the process may sit in its idle loop for a long time).
void print_line(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
