// The two callbacks, against a stand-in for the one GLFW call they make.

#include "callbacks.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

static GLFWwindow *closed_window;
static int close_calls;

void glfwSetWindowShouldClose(GLFWwindow *window, int value)
{
    if (value == GLFW_TRUE) {
        closed_window = window;
        close_calls++;
    }
}

TEST(Callbacks, OnlyAnEscapePressClosesTheWindow)
{
    GLFWwindow *window = reinterpret_cast<GLFWwindow *>(0x1234);
    close_calls = 0;
    key_callback(window, GLFW_KEY_ESCAPE, 9, GLFW_RELEASE, 0);
    key_callback(window, GLFW_KEY_ESCAPE, 9, GLFW_REPEAT, 0);
    key_callback(window, GLFW_KEY_A, 38, GLFW_PRESS, 0);
    key_callback(window, GLFW_KEY_ENTER, 36, GLFW_PRESS, 0);
    EXPECT_EQ(close_calls, 0);

    // Scancode and modifiers do not matter.
    key_callback(window, GLFW_KEY_ESCAPE, 0, GLFW_PRESS, GLFW_MOD_SHIFT | GLFW_MOD_CONTROL);
    EXPECT_EQ(close_calls, 1);
    EXPECT_EQ(closed_window, window);
}

TEST(Callbacks, ErrorsGoToStandardErrorWithoutTheirCode)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    error_callback(65544, "X11: The DISPLAY environment variable is missing");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: X11: The DISPLAY environment variable is missing\n");
}
