// The key callback, against a stand-in for the one GLFW call it makes.

#include "callbacks.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

static GLFWwindow *closed_window;

void glfwSetWindowShouldClose(GLFWwindow *window, int value)
{
    closed_window = value == GLFW_TRUE ? window : nullptr;
}

TEST(Callbacks, OnlyAnEscapePressClosesTheWindowWhateverTheScancodeAndModifiers)
{
    GLFWwindow *window = reinterpret_cast<GLFWwindow *>(0x1234);
    const int ignored[][2] = {{GLFW_KEY_ESCAPE, GLFW_RELEASE}, {GLFW_KEY_ESCAPE, GLFW_REPEAT},
                              {GLFW_KEY_A, GLFW_PRESS}, {GLFW_KEY_ENTER, GLFW_PRESS}};
    for (const auto &event : ignored) {
        key_callback(window, event[0], 9, event[1], 0);
        EXPECT_EQ(closed_window, nullptr) << "key " << event[0] << ", action " << event[1];
    }
    key_callback(window, GLFW_KEY_ESCAPE, 0, GLFW_PRESS, GLFW_MOD_SHIFT | GLFW_MOD_CONTROL);
    EXPECT_EQ(closed_window, window);
}
