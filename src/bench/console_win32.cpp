#include "console.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>

void use_binary_output()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}
