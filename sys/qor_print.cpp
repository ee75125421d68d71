#include "qor_print.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qor.h"

namespace qor {

int print(const char* format, ...) {
    char line[PRINT_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return -1;
    }
    size_t len = static_cast<size_t>(n);
    if (len < sizeof line) {
        va_end(again);
        return static_cast<int>(write(1, line, len));
    }
    // Longer than the buffer (a long path or argument): formatted again into
    // a heap block of its measured size, so it still goes out whole in one
    // write.
    char* whole = static_cast<char*>(malloc(len + 1));
    if (whole) vsnprintf(whole, len + 1, format, again);
    va_end(again);
    if (!whole) {
        // Without memory for the whole line the cut one is all there is; its
        // end shows that it was cut.
        static const char cut_mark[] = "...\n";
        len = sizeof line - 1;
        memcpy(line + len - (sizeof cut_mark - 1), cut_mark, sizeof cut_mark - 1);
        return static_cast<int>(write(1, line, len));
    }
    long written = write(1, whole, len);
    free(whole);
    return static_cast<int>(written);
}

int print_text(const char* text) {
    if (!text) return -1;
    return static_cast<int>(write(1, text, strlen(text)));
}

}  // namespace qor
