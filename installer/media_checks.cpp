#include "media_checks.h"

#include "media_copy.h"
#include "qor.h"
#include "reporting.h"

namespace {

constexpr int ROOT_LISTING_SIZE = 1024;

enum class media_need { file, directory };

struct media_item {
    media_need need;
    const char* path;
    const char* missing;
};

constexpr media_item MEDIA_ITEMS[] = {
    {media_need::file, "RAM:/binaries/installer", "RAM:/binaries/installer missing"},
    {media_need::file, "RAM:/binaries/install", "RAM:/binaries/install missing"},
    {media_need::file, "RAM:/binaries/extract", "RAM:/binaries/extract missing"},
    {media_need::file, "RAM:/installer/base.manifest", "RAM:/installer/base.manifest missing"},
    {media_need::file, "RAM:/etc/resolv.conf", "RAM:/etc/resolv.conf missing"},
    {media_need::directory, "RAM:/config", "RAM:/config missing"},
    {media_need::directory, "RAM:/.view", "RAM:/.view missing"},
};

// The message for a media root that cannot be used, or nullptr when it lists.
const char* check_media_root() {
    long fd = qor::open("RAM:/", qor::O_READ);
    if (fd < 0) return "Could not open RAM:/ root";
    unsigned char listing[ROOT_LISTING_SIZE];
    long n = list_directory(static_cast<int>(fd), listing, sizeof listing);
    qor::close(static_cast<int>(fd));
    if (n < 0) return "Could not list RAM:/ root";
    if (n == 0) return "RAM:/ is empty (no files)";
    return nullptr;
}

bool item_present(const media_item& item) {
    if (item.need == media_need::directory) return path_is_directory(item.path) == 1;
    return qor::access(item.path) == 0;
}

}  // namespace

int check_installation_media(installer_state* s) {
    if (const char* problem = check_media_root()) {
        error_set(s, problem);
        return RUN_MEDIA_INCOMPLETE;
    }
    for (const media_item& item : MEDIA_ITEMS) {
        if (!item_present(item)) {
            error_set(s, item.missing);
            return RUN_MEDIA_INCOMPLETE;
        }
    }
    return 0;
}
