// The compile-and-link loop against a recording fake driver, and the stamp.

#include "fake_gl.h"
#include "loop.h"
#include "output.h"

#include <glad/gl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

TEST(Stamp, IsFortyBytesOfCrLfAndLowerCaseHexEndingInTheLastByte)
{
    std::vector<char> work(13 + STAMP_LENGTH + 2, '#');
    stamp_source(work.data(), "void main(){}", 13, 0xDEADBEEF, 999);
    EXPECT_EQ(std::string(work.data()), "void main(){}\r\n// temp random str deadbeef 000003e7\r\n");
    EXPECT_EQ(work[work.size() - 2], '\0');
    EXPECT_EQ(work.back(), '#') << "nothing may be written past length + 41 bytes";

    // The longest source allowed fills a working buffer exactly.
    std::vector<char> buffer(WORK_BUFFER_SIZE + 1, '#');
    stamp_source(buffer.data(), std::string(MAX_SOURCE_LENGTH, 'a').c_str(), MAX_SOURCE_LENGTH, 0xFFFFFFFF, 0);
    EXPECT_EQ(buffer[WORK_BUFFER_SIZE - 1], '\0');
    EXPECT_EQ(buffer[WORK_BUFFER_SIZE], '#');
}

// Runs the loop against the fake and returns what it printed.
static std::string run_loop(const std::string &vertex, const std::string &fragment, int link_status,
                            bool *started)
{
    install_fake_gl(true, link_status);
    testing::internal::CaptureStdout();
    *started = run_compile_link_loop(vertex.c_str(), fragment.c_str());
    return testing::internal::GetCapturedStdout();
}

TEST(Loop, EveryIterationMakesTheSameCallsInOrderAndKeepsItsProgram)
{
    bool started = false;
    EXPECT_EQ(run_loop("vs", "fs", GL_TRUE, &started).find(LINK_FAILED_LINE), std::string::npos);
    ASSERT_TRUE(started);
    const std::vector<gl_call> &calls = fake_gl_calls();
    ASSERT_EQ(calls.size(), 15u * ITERATION_COUNT) << "no program deleted, nothing else called";
    for (int i = 0; i < ITERATION_COUNT; i++) {
        const gl_call *c = &calls[15 * i];
        long vs = 3 * i + 1, fs = vs + 1, prog = vs + 2;
        const std::vector<std::pair<std::string, std::vector<long>>> want = {
            {"glCreateShader", {GL_VERTEX_SHADER}}, {"glShaderSource", {vs, 1, 0}}, {"glCompileShader", {vs}},
            {"glCreateShader", {GL_FRAGMENT_SHADER}}, {"glShaderSource", {fs, 1, 0}}, {"glCompileShader", {fs}},
            {"glCreateProgram", {}}, {"glAttachShader", {prog, vs}}, {"glAttachShader", {prog, fs}},
            {"glLinkProgram", {prog}}, {"glGetProgramiv", {prog, GL_LINK_STATUS}},
            {"glDetachShader", {prog, vs}}, {"glDetachShader", {prog, fs}},
            {"glDeleteShader", {vs}}, {"glDeleteShader", {fs}},
        };
        for (size_t k = 0; k < want.size(); k++) {
            ASSERT_EQ(c[k].name, want[k].first) << "iteration " << i << ", call " << k;
            ASSERT_EQ(c[k].args, want[k].second) << "iteration " << i << ", " << c[k].name;
        }
        char index[16];
        snprintf(index, sizeof(index), " %08x\r\n", i);
        ASSERT_EQ(c[1].text.substr(0, 2) + c[1].text.substr(31), "vs" + std::string(index));
        ASSERT_EQ(c[4].text.substr(0, 2) + c[4].text.substr(31), "fs" + std::string(index));
    }
}

TEST(Loop, AFailedLinkIsReportedJustBeforeItsProgressLine)
{
    // Spelled out, not by the format: scripts read these lines.
    const std::string expected = "glLinkProgram() failed\n0000/1000\nglLinkProgram() failed\n0001/1000\n";
    for (int status : {(int) GL_FALSE, FAKE_LINK_SILENT}) {
        bool started = false;
        std::string out = run_loop("bad", "bad", status, &started);
        EXPECT_EQ(out.substr(0, expected.size()), expected) << "link status " << status;
    }
}

TEST(Loop, TextStopsAtTheFirstNulOnlyThatCountsAgainstTheBoundAndATextTooLargeIsRefusedBeforeAnyCall)
{
    bool started = false;
    std::string longest = std::string(MAX_SOURCE_LENGTH, 'a') + std::string(1, '\0') + "tail";
    run_loop(longest, longest, GL_TRUE, &started);
    ASSERT_TRUE(started);
    EXPECT_EQ(fake_gl_calls()[1].text_length, MAX_SOURCE_LENGTH + STAMP_LENGTH);
    EXPECT_EQ(fake_gl_calls()[4].text_length, MAX_SOURCE_LENGTH + STAMP_LENGTH);

    run_loop(std::string("keep\0drop", 9), "", GL_TRUE, &started);
    EXPECT_EQ(fake_gl_calls()[1].text.substr(0, 25), "keep\r\n// temp random str ");
    EXPECT_EQ(fake_gl_calls()[1].text_length, 4u + STAMP_LENGTH);
    EXPECT_EQ(fake_gl_calls()[4].text.substr(0, 21), "\r\n// temp random str ") << "the stamp alone";

    std::string too_large(MAX_SOURCE_LENGTH + 1, 'a');
    for (bool vertex : {true, false}) {
        started = true;
        EXPECT_EQ(run_loop(vertex ? too_large : "vs", vertex ? "fs" : too_large, GL_TRUE, &started),
                  TOO_LARGE_LINE);
        EXPECT_FALSE(started);
        EXPECT_TRUE(fake_gl_calls().empty());
    }
}
