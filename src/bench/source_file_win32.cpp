#include "source_file.h"
#include "output.h"

#include <windows.h>

#include <cstdlib>

const char *const VERTEX_SOURCE_PATH = "shaders\\largeShaderExample_vs_source.txt";
const char *const FRAGMENT_SOURCE_PATH = "shaders\\largeShaderExample_ps_source.txt";

char *read_source_file(const char *path)
{
    // Share mode 0: while we read, no other process may write (or read) the file.
    HANDLE file = CreateFileA(path, FILE_GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        print_line(LOAD_FAILED_LINE);
        return nullptr;
    }

    // All 32 bits set is also a valid size; only GetLastError tells them apart.
    // A file of 4 GiB or more is refused, not read as its low 32 bits' worth.
    char *text = nullptr;
    DWORD high = 0;
    DWORD size = GetFileSize(file, &high);
    if ((size != INVALID_FILE_SIZE || GetLastError() == NO_ERROR) && high == 0) {
        text = (char *) malloc((size_t) size + 1);
        DWORD done = 0;
        if (text && ReadFile(file, text, size, &done, nullptr) && done == size) {
            text[size] = '\0';
        } else {
            free(text);
            text = nullptr;
        }
    }
    CloseHandle(file);

    if (!text)
        print_line(LOAD_FAILED_LINE);
    return text;
}
