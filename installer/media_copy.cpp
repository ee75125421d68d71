#include "media_copy.h"

#include "qor.h"

int path_is_directory(const char* path) {
    if (!path || !path[0]) return 0;
    long fd = qor::open(path, qor::O_READ);
    if (fd < 0) return 0;
    unsigned char record[qor::DIRENT_SIZE];
    // A regular file opens but cannot be listed.
    long listed = qor::getdents(static_cast<int>(fd), record, sizeof record);
    qor::close(static_cast<int>(fd));
    return listed >= 0 ? 1 : 0;
}
