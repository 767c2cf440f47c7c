#pragma once

struct GLFWwindow;

// Prints every error GLFW raises on standard error, without its code.
#define ERROR_LINE "Error: %s\n"
void error_callback(int error, const char *description);

// Closes the window on an Escape press; repeats, releases and other keys are ignored.
void key_callback(GLFWwindow *window, int key, int scancode, int action, int mods);
