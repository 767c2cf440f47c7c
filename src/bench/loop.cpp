#include "loop.h"
#include "output.h"
#include "probes.h"
#include "report.h"

#include <glad/gl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

void stamp_source(char *work, const char *source, size_t length, uint32_t tick, int index)
{
    memcpy(work, source, length);
    snprintf(work + length, STAMP_LENGTH + 1, STAMP_FORMAT, tick, (uint32_t) index);
}

// Kept out of line so that a leak checker can tell the two working buffers,
// kept until the process ends by design, from anything else the loop allocates.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
static char *allocate_working_buffer()
{
    return (char *) malloc(WORK_BUFFER_SIZE);
}

bool run_compile_link_loop(const char *vertex_source, const char *fragment_source)
{
    // Measured once: the text stops at its first NUL, and only that much is copied.
    size_t vertex_length = strlen(vertex_source);
    size_t fragment_length = strlen(fragment_source);
    if (vertex_length > MAX_SOURCE_LENGTH || fragment_length > MAX_SOURCE_LENGTH) {
        print_line(TOO_LARGE_LINE);
        return false;
    }

    char *vertex_work = allocate_working_buffer();
    char *fragment_work = allocate_working_buffer();
    if (!vertex_work || !fragment_work) {
        print_line(NO_BUFFERS_LINE);
        return false;
    }

    // Commit first, then time, so the time span holds nothing but the loop.
    uint64_t commit_before = 0;
    bool have_commit_before = committed_bytes(&commit_before);
    uint32_t start_ticks = tick_ms();

    for (int i = 0; i < ITERATION_COUNT; i++) {
        stamp_source(vertex_work, vertex_source, vertex_length, tick_ms(), i);
        stamp_source(fragment_work, fragment_source, fragment_length, tick_ms(), i);

        GLuint vertex_shader = glCreateShader(GL_VERTEX_SHADER);
        glShaderSource(vertex_shader, 1, &vertex_work, nullptr);
        glCompileShader(vertex_shader);

        GLuint fragment_shader = glCreateShader(GL_FRAGMENT_SHADER);
        glShaderSource(fragment_shader, 1, &fragment_work, nullptr);
        glCompileShader(fragment_shader);

        GLuint program = glCreateProgram();
        glAttachShader(program, vertex_shader);
        glAttachShader(program, fragment_shader);
        glLinkProgram(program);

        GLint link_status = 0;
        glGetProgramiv(program, GL_LINK_STATUS, &link_status);
        if (link_status == 0)
            print_line(LINK_FAILED_LINE);
        print_line(PROGRESS_LINE, i);

        // The program stays alive: what the driver keeps per program is what
        // the commit line measures.
        glDetachShader(program, vertex_shader);
        glDetachShader(program, fragment_shader);
        glDeleteShader(vertex_shader);
        glDeleteShader(fragment_shader);
    }

    report_results(start_ticks, have_commit_before, commit_before);
    return true;
}
