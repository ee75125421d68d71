#include "qor_print.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "qor.h"

namespace qor {

int print(const char* format, ...) {
    char line[PRINT_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) return -1;
    size_t len = static_cast<size_t>(n);
    if (len >= sizeof line) {
        static const char cut_mark[] = "...\n";
        len = sizeof line - 1;
        memcpy(line + len - (sizeof cut_mark - 1), cut_mark, sizeof cut_mark - 1);
    }
    return static_cast<int>(write(1, line, len));
}

int print_text(const char* text) {
    if (!text) return -1;
    return static_cast<int>(write(1, text, strlen(text)));
}

}  // namespace qor
