// shaderbench: what an OpenGL driver costs, in time and committed memory, to
// compile and link 1000 shader programs that it has to keep alive.

#include <glad/gl.h>
#include <GLFW/glfw3.h>

#include "callbacks.h"
#include "console.h"
#include "loop.h"
#include "output.h"
#include "source_file.h"

#include <cstdlib>

static void close_and_exit(GLFWwindow *window, int status)
{
    glfwDestroyWindow(window);
    glfwTerminate();
    exit(status);
}

int main(int argc, char **argv, char **envp)
{
    // Nothing on the command line or in the environment changes a run.
    (void) argc;
    (void) argv;
    (void) envp;

    use_binary_output();

    // Installed first, so that errors raised while GLFW initialises are printed too.
    glfwSetErrorCallback(error_callback);
    if (!glfwInit())
        exit(1);

    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 2);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 0);
    GLFWwindow *window = glfwCreateWindow(640, 480, "Shader RAM usage test", nullptr, nullptr);
    if (!window) {
        glfwTerminate();
        exit(1);
    }
    glfwSetKeyCallback(window, key_callback);
    glfwMakeContextCurrent(window);
    glfwSwapInterval(1);

    if (!gladLoadGL(glfwGetProcAddress)) {
        print_line(NO_GL_LINE);
        close_and_exit(window, 1);
    }

    // Both reads happen even when the first fails, so every missing file is named.
    char *vertex_source = read_source_file(VERTEX_SOURCE_PATH);
    char *fragment_source = read_source_file(FRAGMENT_SOURCE_PATH);
    if (!vertex_source || !fragment_source)
        close_and_exit(window, 1);

    if (!run_compile_link_loop(vertex_source, fragment_source))
        close_and_exit(window, 1);

    // Keep the window (and with it the programs) until the user ends the run.
    // No events were polled during the benchmark; input waits for this loop.
    while (!glfwWindowShouldClose(window)) {
        glfwSwapBuffers(window);
        glfwPollEvents();
    }

    close_and_exit(window, 0);
}
