// A child program for process tests: prints its arguments and the first line
// of a file, through the seam, and exits with the status it is given.
//   child_probe STATUS [PATH [NEW_PATH TEXT]]
// With NEW_PATH it also writes TEXT into a new file there.
#include <cstdlib>
#include <cstring>

#include "qor.h"
#include "qor_print.h"

int main(int argc, char** argv) {
    qor::print("child argc=%d\n", argc);
    if (argc >= 3) {
        char text[128] = {};
        long fd = qor::open(argv[2], qor::O_READ);
        long n = fd >= 0 ? qor::read(static_cast<int>(fd), text, sizeof text - 1) : -1;
        qor::print("child read %s: %s\n", argv[2], n >= 0 ? text : "(cannot open)");
    }
    if (argc >= 5) {
        long n = qor::writefile(argv[3], argv[4], static_cast<long>(strlen(argv[4])));
        qor::print("child wrote %s: %ld\n", argv[3], n);
    }
    return argc >= 2 ? atoi(argv[1]) : 0;
}
