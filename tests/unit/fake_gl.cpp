#include "fake_gl.h"

#include <glad/gl.h>

#include <cstdint>
#include <cstring>

static std::vector<gl_call> calls;
static bool recording;
static int link_answer;
static GLuint next_name;

static void record(const char *name, std::vector<long> args, const char *text = "")
{
    if (!recording)
        return;
    // Large texts are never copied, and measured only in the first iteration's 15 calls: under Wine, whose
    // strlen reads a byte at a time, measuring all 2,000 megabyte texts took 1.3 s.
    const size_t LARGE = 65536, MEASURED_CALLS = 15;
    size_t length = strnlen(text, LARGE);
    if (length == LARGE)
        length = calls.size() < MEASURED_CALLS ? strlen(text) : SIZE_MAX;
    calls.push_back(gl_call{name, std::move(args), length < LARGE ? text : "", length});
}

void install_fake_gl(bool record_calls, int link_status)
{
    calls.clear();
    recording = record_calls;
    link_answer = link_status;
    next_name = 0;
    // glShaderSource records the shader, the count, and whether lengths were given.
    glad_glCreateShader = [](GLenum type) { record("glCreateShader", {(long) type}); return ++next_name; };
    glad_glShaderSource = [](GLuint shader, GLsizei count, const GLchar *const *strings, const GLint *lengths) {
        record("glShaderSource", {(long) shader, (long) count, lengths != nullptr}, strings[0]);
    };
    glad_glCompileShader = [](GLuint shader) { record("glCompileShader", {(long) shader}); };
    glad_glCreateProgram = []() { record("glCreateProgram", {}); return ++next_name; };
    glad_glAttachShader = [](GLuint program, GLuint shader) {
        record("glAttachShader", {(long) program, (long) shader});
    };
    glad_glLinkProgram = [](GLuint program) { record("glLinkProgram", {(long) program}); };
    glad_glGetProgramiv = [](GLuint program, GLenum pname, GLint *params) {
        record("glGetProgramiv", {(long) program, (long) pname});
        if (link_answer != FAKE_LINK_SILENT)
            *params = link_answer;
    };
    glad_glDetachShader = [](GLuint program, GLuint shader) {
        record("glDetachShader", {(long) program, (long) shader});
    };
    glad_glDeleteShader = [](GLuint shader) { record("glDeleteShader", {(long) shader}); };
    glad_glDeleteProgram = [](GLuint program) { record("glDeleteProgram", {(long) program}); };
}

const std::vector<gl_call> &fake_gl_calls()
{
    return calls;
}
