// Lookups by name in a loaded package index.
#include <cstring>

#include "package_index.h"

const package_entry* index_find_package(const package_index* index, const char* name) {
    if (!index || !name || !name[0]) return nullptr;
    for (int32_t i = 0; i < index->count && i < PKG_INDEX_MAX_PACKAGES; i++)
        if (strcmp(index->packages[i].name, name) == 0) return &index->packages[i];
    return nullptr;
}

int index_has_package(const package_index* index, const char* name) {
    return index_find_package(index, name) ? 1 : 0;
}
