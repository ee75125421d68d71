#include "extract_dirs.h"

#include <cstring>

#include "qor.h"
#include "tar_names.h"

int ensure_dir_exists(const char* path) {
    if (!path || path[0] == 0) return -1;
    if (strcmp(path, ".") == 0 || strcmp(path, "/") == 0) return 0;
    if (qor::access(path) == 0) return 0;
    if (qor::mkdir(path) == 0) return 0;
    return qor::access(path) == 0 ? 0 : -1;  // made meanwhile by someone else
}

// A leading '/' is not a separator; "a//b" passes "a/" on as it stands.
int ensure_parent_dirs(const char* path) {
    if (!path) return -1;
    size_t len = strlen(path);
    if (len == 0 || len > static_cast<size_t>(TAR_PATH_MAX)) return -1;
    char work[TAR_PATH_BUFFER];
    memcpy(work, path, len + 1);
    for (size_t i = 1; i < len; ++i) {
        if (work[i] != '/') continue;
        work[i] = 0;
        int made = ensure_dir_exists(work);
        work[i] = '/';
        if (made != 0) return -1;
    }
    return 0;
}
