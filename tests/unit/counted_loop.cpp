// The benchmark's loop against the fake driver, with no window: a program the
// instruction counter can count in a second, even under valgrind.

#include "fake_gl.h"
#include "loop.h"

int main()
{
    install_fake_gl(false, 1);
    return run_compile_link_loop("void main() {}\n", "void main() {}\n") ? 0 : 1;
}
