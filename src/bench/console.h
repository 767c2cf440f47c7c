#pragma once

// Makes standard output and standard error write exactly the bytes printed, so
// that every platform's output is the same byte for byte (the Windows C library
// would otherwise put a carriage return before every line feed).
void use_binary_output();
