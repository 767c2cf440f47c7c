/* A libGL.so.1 for tests (built by test_libraries.py) that forwards what GLFW and `glxinfo -B` take from the
 * real one, and hands out a glLinkProgram that first spends LINK_DELAY_US microseconds busy, then runs
 * LINK_WORK turns of an empty loop: more time, or more instructions, a link. */

#include <GL/glx.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifndef LINK_DELAY_US
#define LINK_DELAY_US 0
#endif
#ifndef LINK_WORK
#define LINK_WORK 0
#endif

/* A symbol of the real library, opened by absolute path (a bare name would
 * find this one again) and globally, so that the driver it loads sees its symbols. */
static void *real_symbol(const char *name)
{
    static void *handle;
    if (!handle)
        handle = dlopen(REAL_LIBGL, RTLD_NOW | RTLD_GLOBAL);
    void *found = handle ? dlsym(handle, name) : NULL;
    if (!found) {
        fprintf(stderr, "forward_gl: no %s in %s: %s\n", name, REAL_LIBGL, dlerror());
        abort();
    }
    return found;
}

/* One forwarding function: the real one is looked up on the first call. */
#define FORWARD(ret, name, params, args)                    \
    ret name params                                         \
    {                                                       \
        static ret(*real) params;                           \
        if (!real)                                          \
            real = (ret(*) params)real_symbol(#name);       \
        return real args;                                   \
    }

/* What GLFW looks up with dlsym. */
FORWARD(GLXFBConfig *, glXGetFBConfigs, (Display *dpy, int screen, int *n), (dpy, screen, n))
FORWARD(int, glXGetFBConfigAttrib, (Display *dpy, GLXFBConfig config, int attribute, int *value),
        (dpy, config, attribute, value))
FORWARD(const char *, glXGetClientString, (Display *dpy, int name), (dpy, name))
FORWARD(Bool, glXQueryExtension, (Display *dpy, int *error, int *event), (dpy, error, event))
FORWARD(Bool, glXQueryVersion, (Display *dpy, int *major, int *minor), (dpy, major, minor))
FORWARD(void, glXDestroyContext, (Display *dpy, GLXContext ctx), (dpy, ctx))
FORWARD(Bool, glXMakeCurrent, (Display *dpy, GLXDrawable drawable, GLXContext ctx), (dpy, drawable, ctx))
FORWARD(void, glXSwapBuffers, (Display *dpy, GLXDrawable drawable), (dpy, drawable))
FORWARD(const char *, glXQueryExtensionsString, (Display *dpy, int screen), (dpy, screen))
FORWARD(GLXContext, glXCreateNewContext,
        (Display *dpy, GLXFBConfig config, int type, GLXContext share, Bool direct),
        (dpy, config, type, share, direct))
FORWARD(GLXWindow, glXCreateWindow, (Display *dpy, GLXFBConfig config, Window window, const int *attributes),
        (dpy, config, window, attributes))
FORWARD(void, glXDestroyWindow, (Display *dpy, GLXWindow window), (dpy, window))
FORWARD(XVisualInfo *, glXGetVisualFromFBConfig, (Display *dpy, GLXFBConfig config), (dpy, config))

/* What glxinfo links against besides. */
FORWARD(GLXFBConfig *, glXChooseFBConfig, (Display *dpy, int screen, const int *attributes, int *n),
        (dpy, screen, attributes, n))
FORWARD(XVisualInfo *, glXChooseVisual, (Display *dpy, int screen, int *attributes), (dpy, screen, attributes))
FORWARD(GLXContext, glXCreateContext, (Display *dpy, XVisualInfo *visual, GLXContext share, Bool direct),
        (dpy, visual, share, direct))
FORWARD(int, glXGetConfig, (Display *dpy, XVisualInfo *visual, int attribute, int *value),
        (dpy, visual, attribute, value))
FORWARD(Bool, glXIsDirect, (Display *dpy, GLXContext ctx), (dpy, ctx))
FORWARD(const char *, glXQueryServerString, (Display *dpy, int screen, int name), (dpy, screen, name))
FORWARD(GLenum, glGetError, (void), ())
FORWARD(void, glGetIntegerv, (GLenum name, GLint *values), (name, values))
FORWARD(const GLubyte *, glGetString, (GLenum name), (name))

static void (*real_link)(GLuint);

/* Busy for LINK_DELAY_US of this thread's CPU time, not of the wall clock: as
 * a slower compiler would, it takes longer while another process has the core,
 * in proportion with the rest of the run. The LINK_WORK turns are the same
 * instructions every run, which a counter counts alike whatever the load (the
 * volatile counter keeps the compiler from removing the loop). */
static void slow_link(GLuint program)
{
    struct timespec start, now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    do {
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000000L + (now.tv_nsec - start.tv_nsec) / 1000 < LINK_DELAY_US);
    for (volatile long turn = 0; turn < LINK_WORK; turn++)
        ;
    real_link(program);
}

/* The real lookup, except glLinkProgram, which gets the slow one. */
__GLXextFuncPtr glXGetProcAddressARB(const GLubyte *name)
{
    static __GLXextFuncPtr (*real)(const GLubyte *);
    if (!real)
        real = (__GLXextFuncPtr(*)(const GLubyte *))real_symbol("glXGetProcAddressARB");
    __GLXextFuncPtr found = real(name);
    if (found && strcmp((const char *)name, "glLinkProgram") == 0) {
        real_link = (void (*)(GLuint))found;
        return (__GLXextFuncPtr)slow_link;
    }
    return found;
}

/* Both names are one function. */
__GLXextFuncPtr glXGetProcAddress(const GLubyte *name) __attribute__((alias("glXGetProcAddressARB")));
