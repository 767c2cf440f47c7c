#pragma once

// A stand-in driver: glad's entry points hand out names, record each call and answer the link status query.

#include <string>
#include <vector>

struct gl_call {
    std::string name;
    std::vector<long> args;   // numeric arguments in call order
    std::string text;         // glShaderSource: the text up to its NUL, when under 64 KiB
    size_t text_length;       // glShaderSource: the length of that text (SIZE_MAX: 64 KiB or more, unmeasured
                              // after the first iteration's 15 calls)
};

// glGetProgramiv writes nothing, as when the query itself fails.
const int FAKE_LINK_SILENT = -1;

void install_fake_gl(bool record, int link_status);
const std::vector<gl_call> &fake_gl_calls();
