#include "fake_gl.h"

#include <glad/gl.h>

#include <cstring>

static std::vector<gl_call> calls;
static bool recording;
static int link_answer;
static GLuint next_name;

static void record(const char *name, std::vector<long> args, const char *text = "")
{
    if (!recording)
        return;
    // Large texts are only measured: a thousand megabyte copies would cost seconds.
    size_t length = strlen(text);
    calls.push_back(gl_call{name, std::move(args), length < 65536 ? text : "", length});
}

static GLuint GLAD_API_PTR fake_create_shader(GLenum type)
{
    record("glCreateShader", {(long) type});
    return ++next_name;
}

static void GLAD_API_PTR fake_shader_source(GLuint shader, GLsizei count, const GLchar *const *strings,
                                            const GLint *lengths)
{
    // args: shader, count, whether a length array was given
    record("glShaderSource", {(long) shader, (long) count, lengths != nullptr}, strings[0]);
}

static void GLAD_API_PTR fake_compile_shader(GLuint shader)
{
    record("glCompileShader", {(long) shader});
}

static GLuint GLAD_API_PTR fake_create_program()
{
    record("glCreateProgram", {});
    return ++next_name;
}

static void GLAD_API_PTR fake_attach_shader(GLuint program, GLuint shader)
{
    record("glAttachShader", {(long) program, (long) shader});
}

static void GLAD_API_PTR fake_link_program(GLuint program)
{
    record("glLinkProgram", {(long) program});
}

static void GLAD_API_PTR fake_get_programiv(GLuint program, GLenum pname, GLint *params)
{
    record("glGetProgramiv", {(long) program, (long) pname});
    if (link_answer != FAKE_LINK_SILENT)
        *params = link_answer;
}

static void GLAD_API_PTR fake_detach_shader(GLuint program, GLuint shader)
{
    record("glDetachShader", {(long) program, (long) shader});
}

static void GLAD_API_PTR fake_delete_shader(GLuint shader)
{
    record("glDeleteShader", {(long) shader});
}

static void GLAD_API_PTR fake_delete_program(GLuint program)
{
    record("glDeleteProgram", {(long) program});
}

void install_fake_gl(bool record_calls, int link_status)
{
    calls.clear();
    recording = record_calls;
    link_answer = link_status;
    next_name = 0;
    glad_glCreateShader = fake_create_shader;
    glad_glShaderSource = fake_shader_source;
    glad_glCompileShader = fake_compile_shader;
    glad_glCreateProgram = fake_create_program;
    glad_glAttachShader = fake_attach_shader;
    glad_glLinkProgram = fake_link_program;
    glad_glGetProgramiv = fake_get_programiv;
    glad_glDetachShader = fake_detach_shader;
    glad_glDeleteShader = fake_delete_shader;
    glad_glDeleteProgram = fake_delete_program;
}

const std::vector<gl_call> &fake_gl_calls()
{
    return calls;
}
