#include "callbacks.h"

#include <GLFW/glfw3.h>

#include <cstdio>

void error_callback(int error, const char *description)
{
    (void) error;
    fprintf(stderr, ERROR_LINE, description);
}

void key_callback(GLFWwindow *window, int key, int scancode, int action, int mods)
{
    (void) scancode;
    (void) mods;
    if (key == GLFW_KEY_ESCAPE && action == GLFW_PRESS)
        glfwSetWindowShouldClose(window, GLFW_TRUE);
}
