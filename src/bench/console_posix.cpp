#include "console.h"

void use_binary_output()
{
    // POSIX streams never translate line ends.
}
