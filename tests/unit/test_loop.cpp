// The compile-and-link loop against a recording fake driver, and the stamp.

#include "fake_gl.h"
#include "loop.h"

#include <glad/gl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static std::string stamped(const std::string &source, unsigned tick, int index)
{
    std::vector<char> work(source.size() + STAMP_LENGTH + 1, 'x');
    stamp_source(work.data(), source.c_str(), source.size(), tick, index);
    EXPECT_EQ(work.back(), '\0') << "the text must end with a NUL in the last byte";
    return std::string(work.data());
}

TEST(Stamp, IsFortyBytesWithCrLfAndLowerCaseHex)
{
    EXPECT_EQ(stamped("void main(){}", 0xDEADBEEF, 999),
              "void main(){}\r\n// temp random str deadbeef 000003e7\r\n");
    EXPECT_EQ(stamped("", 5, 0), "\r\n// temp random str 00000005 00000000\r\n");
    EXPECT_EQ(stamped("", 0xFFFFFFFF, 0).size(), 40u);
}

TEST(Stamp, SourceOfMaximumLengthFillsTheBufferExactly)
{
    EXPECT_EQ(MAX_SOURCE_LENGTH, WORK_BUFFER_SIZE - 41);
    std::vector<char> work(WORK_BUFFER_SIZE + 16, '#');
    std::string source(MAX_SOURCE_LENGTH, 'a');
    stamp_source(work.data(), source.c_str(), source.size(), 1, 2);
    EXPECT_EQ(work[WORK_BUFFER_SIZE - 1], '\0');
    EXPECT_EQ(work[WORK_BUFFER_SIZE - 2], '\n');
    EXPECT_EQ(work[WORK_BUFFER_SIZE], '#') << "nothing may be written past the buffer";
}

// Runs the loop against the fake and returns what it printed.
static std::string run_loop(const char *vertex, const char *fragment, int link_status, bool *started)
{
    install_fake_gl(true, link_status);
    testing::internal::CaptureStdout();
    *started = run_compile_link_loop(vertex, fragment);
    return testing::internal::GetCapturedStdout();
}

static std::string expected_progress(bool with_failures)
{
    std::string out;
    char line[32];
    for (int i = 0; i < 1000; i++) {
        if (with_failures)
            out += "glLinkProgram() failed\n";
        snprintf(line, sizeof(line), "%04d/1000\n", i);
        out += line;
    }
    return out;
}

// True when text is exactly the two report lines, whatever their figures.
static bool is_report(const std::string &text)
{
    int ms = 0, mb = 0;
    if (sscanf(text.c_str(), "Compiled all shaders in %dms Committed mem: %dMB", &ms, &mb) != 2)
        return false;
    char expected[128];
    snprintf(expected, sizeof(expected), "Compiled all shaders in %dms\nCommitted mem: %dMB\n", ms, mb);
    return text == expected;
}

TEST(Loop, EveryIterationMakesTheSameCallsInOrder)
{
    bool started = false;
    std::string out = run_loop("vs", "fs", GL_TRUE, &started);
    ASSERT_TRUE(started);

    const std::vector<gl_call> &calls = fake_gl_calls();
    const size_t PER_ITERATION = 15;
    ASSERT_EQ(calls.size(), 1000 * PER_ITERATION) << "no program may be deleted, nothing else called";
    for (int i = 0; i < 1000; i++) {
        const gl_call *c = &calls[i * PER_ITERATION];
        long vs = 3 * i + 1, fs = vs + 1, prog = vs + 2;
        std::vector<std::pair<std::string, std::vector<long>>> want = {
            {"glCreateShader", {GL_VERTEX_SHADER}},
            {"glShaderSource", {vs, 1, 0}},
            {"glCompileShader", {vs}},
            {"glCreateShader", {GL_FRAGMENT_SHADER}},
            {"glShaderSource", {fs, 1, 0}},
            {"glCompileShader", {fs}},
            {"glCreateProgram", {}},
            {"glAttachShader", {prog, vs}},
            {"glAttachShader", {prog, fs}},
            {"glLinkProgram", {prog}},
            {"glGetProgramiv", {prog, GL_LINK_STATUS}},
            {"glDetachShader", {prog, vs}},
            {"glDetachShader", {prog, fs}},
            {"glDeleteShader", {vs}},
            {"glDeleteShader", {fs}},
        };
        for (size_t k = 0; k < PER_ITERATION; k++) {
            ASSERT_EQ(c[k].name, want[k].first) << "iteration " << i << ", call " << k;
            ASSERT_EQ(c[k].args, want[k].second) << "iteration " << i << ", " << c[k].name;
        }
        char index[16];
        snprintf(index, sizeof(index), " %08x\r\n", i);
        ASSERT_EQ(c[1].text.substr(0, 2), "vs");
        ASSERT_EQ(c[4].text.substr(0, 2), "fs");
        ASSERT_EQ(c[1].text.size(), 42u);
        ASSERT_EQ(c[1].text.substr(31), index) << "vertex stamp of iteration " << i;
        ASSERT_EQ(c[4].text.substr(31), index) << "fragment stamp of iteration " << i;
    }

    ASSERT_EQ(out.compare(0, expected_progress(false).size(), expected_progress(false)), 0);
    EXPECT_TRUE(is_report(out.substr(expected_progress(false).size()))) << out;
}

TEST(Loop, FailedLinkIsReportedJustBeforeItsProgressLine)
{
    bool started = false;
    std::string out = run_loop("bad", "bad", GL_FALSE, &started);
    ASSERT_TRUE(started);
    std::string progress = expected_progress(true);
    ASSERT_EQ(out.compare(0, progress.size(), progress), 0) << out.substr(0, 200);
    EXPECT_TRUE(is_report(out.substr(progress.size())));
}

TEST(Loop, LinkStatusTheDriverDoesNotWriteCountsAsFailure)
{
    bool started = false;
    std::string out = run_loop("vs", "fs", FAKE_LINK_SILENT, &started);
    ASSERT_TRUE(started);
    EXPECT_EQ(out.rfind("glLinkProgram() failed\n0000/1000\n", 0), 0u) << out.substr(0, 80);
}

TEST(Loop, TextStopsAtTheFirstNulAndEmptySourcesCompileAsTheStampAlone)
{
    bool started = false;
    const char vertex[] = "keep\0drop";
    run_loop(vertex, "", GL_TRUE, &started);
    ASSERT_TRUE(started);
    const std::vector<gl_call> &calls = fake_gl_calls();
    EXPECT_EQ(calls[1].text, "keep\r\n// temp random str " + calls[1].text.substr(25, 8) + " 00000000\r\n");
    EXPECT_EQ(calls[4].text.size(), 40u);
    EXPECT_EQ(calls[4].text.substr(0, 21), "\r\n// temp random str ");
}

TEST(Loop, SourceTooLargeIsRefusedBeforeAnyCall)
{
    std::string fits(MAX_SOURCE_LENGTH, 'a');
    std::string too_large(MAX_SOURCE_LENGTH + 1, 'a');

    bool started = true;
    EXPECT_EQ(run_loop(too_large.c_str(), "fs", GL_TRUE, &started), "Shader source too large\n");
    EXPECT_FALSE(started);
    EXPECT_TRUE(fake_gl_calls().empty());

    EXPECT_EQ(run_loop("vs", too_large.c_str(), GL_TRUE, &started), "Shader source too large\n");
    EXPECT_FALSE(started);

    // Only the text up to the first NUL counts against the capacity.
    std::string padded = fits + std::string(1, '\0') + "tail beyond the NUL";
    run_loop(padded.c_str(), fits.c_str(), GL_TRUE, &started);
    EXPECT_TRUE(started);
    EXPECT_EQ(fake_gl_calls()[1].text_length, MAX_SOURCE_LENGTH + 40);
    EXPECT_EQ(fake_gl_calls()[4].text_length, MAX_SOURCE_LENGTH + 40);
}
