#include "dir_listing.h"

#include <cstring>

#include "qor.h"

namespace {

constexpr int LISTING_SIZE = 1024;

}  // namespace

const char* listing_record_name(const unsigned char* record) {
    const char* name = reinterpret_cast<const char*>(record + qor::DIRENT_NAME_OFFSET);
    return strnlen(name, qor::DIRENT_NAME_MAX + 1) <= static_cast<size_t>(qor::DIRENT_NAME_MAX) ? name : nullptr;
}

long list_directory(int fd, unsigned char* buf, size_t size) {
    long n = qor::getdents(fd, buf, size);
    return n == 0 ? qor::getdents(fd, buf, size) : n;
}

int directory_lists_name(const char* directory, const char* name) {
    long fd = qor::open(directory, qor::O_READ);
    if (fd < 0) return 0;
    unsigned char listing[LISTING_SIZE];
    int found = 0;
    long n = 0;
    while (!found && (n = list_directory(static_cast<int>(fd), listing, sizeof listing)) > 0) {
        for (long at = 0; at + qor::DIRENT_SIZE <= n; at += qor::DIRENT_SIZE) {
            const char* listed = listing_record_name(listing + at);
            if (listed && strcmp(listed, name) == 0) found = 1;
        }
    }
    qor::close(static_cast<int>(fd));
    return found || n == 0 ? found : -1;
}
