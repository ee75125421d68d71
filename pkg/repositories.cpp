// Repositories: the drive's list of index URLs, the network index tried from
// each in turn, and packages with relative URLs fetched from the mirror
// their index came from and then from the others serving the same serial.
#include "repositories.h"

#include <cstdlib>
#include <cstring>

#include "download.h"
#include "http_url.h"
#include "index_load.h"
#include "index_trust.h"
#include "qor.h"
#include "qor_print.h"

namespace {

// The list of one load, and the text it is read from: fixed storage.
repo_list g_repos;
char g_list_text[REPO_LIST_MAX_BYTES];

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Takes one line [begin, end) of the file: a URL, a comment or nothing.
void take_line(const char* begin, const char* end, int32_t number, repo_list* list) {
    const char* hash = static_cast<const char*>(memchr(begin, '#', static_cast<size_t>(end - begin)));
    if (hash) end = hash;
    while (begin < end && is_blank(*begin)) ++begin;
    while (end > begin && is_blank(end[-1])) --end;
    size_t len = static_cast<size_t>(end - begin);
    if (len == 0) return;
    const char* why = nullptr;
    if (len >= PKG_URL_SIZE)
        why = "URL too long";
    else if (memchr(begin, ' ', len) || memchr(begin, '\t', len))
        why = "blank inside a URL";
    else if (list->count >= REPO_MAX)
        why = "more than 16 repositories";
    if (why) {
        qor::print("install: %s line %d: %s; line passed over\n", REPO_LIST_PATH, number, why);
        return;
    }
    memcpy(list->urls[list->count], begin, len);
    list->urls[list->count][len] = '\0';
    list->count++;
}

// The list to try for the network index: the drive's, else the default URL.
void repositories_or_default(repo_list* list) {
    if (repo_read_list(list)) return;
    const char* url = index_default_url();
    size_t len = strlen(url);
    list->count = len < PKG_URL_SIZE ? 1 : 0;
    if (list->count) memcpy(list->urls[0], url, len + 1);
}

// 1 when the repository at `url` serves an index with the loaded index's
// serial; 0 after saying why it is passed over.
int serves_same_serial(const char* url) {
    char* text = nullptr;
    uint32_t len = 0;
    if (package_download_url_to_buffer(url, &text, &len, IDX_INDEX_MAX_BYTES) != 0) {
        qor::print("install: failed to fetch package index from %s\n", url);
        return 0;
    }
    uint64_t serial = 0;
    int found = idx_index_serial(text, len, &serial);
    free(text);
    uint64_t wanted = index_loaded_origin()->serial;
    if (found >= 0 && serial == wanted) return 1;
    qor::print("install: repository %s does not serve index serial %llu; passed over\n", url,
               static_cast<unsigned long long>(wanted));
    return 0;
}

// One try of a relative package from the repository `index_url`: 0 or -1.
int download_from(const package_entry* entry, const char* index_url, const char* path, uint32_t* count) {
    static package_entry copy;  // about 1.6 KiB: fixed storage, not the stack
    copy = *entry;
    if (repo_resolve_url(index_url, entry->url, copy.url) != 0) {
        qor::print("install: cannot resolve %s against %s\n", entry->url, index_url);
        return -1;
    }
    return pkg_download_verified_to_path(&copy, path, count);
}

}  // namespace

void repo_parse_list(const char* text, uint32_t len, repo_list* list) {
    list->count = 0;
    const char* end = text + len;
    int32_t number = 1;
    for (const char* line = text; line < end; ++number) {
        const char* nl = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
        const char* stop = nl ? nl : end;
        take_line(line, stop, number, list);
        line = nl ? nl + 1 : end;
    }
}

int repo_read_list(repo_list* list) {
    list->count = 0;
    long fd = qor::open(REPO_LIST_PATH, qor::O_READ);
    if (fd < 0) return 0;
    long n = qor::read_full(static_cast<int>(fd), g_list_text, sizeof g_list_text);
    qor::close(static_cast<int>(fd));
    if (n < 0 || static_cast<size_t>(n) >= sizeof g_list_text) {
        qor::print("install: cannot read %s (at most %lu bytes); not used\n", REPO_LIST_PATH,
                   static_cast<unsigned long>(sizeof g_list_text - 1));
        return 0;
    }
    repo_parse_list(g_list_text, static_cast<uint32_t>(n), list);
    return list->count > 0 ? 1 : 0;
}

int repo_url_is_relative(const char* url) { return url && url[0] && !strstr(url, "://") ? 1 : 0; }

int repo_resolve_url(const char* index_url, const char* relative, char* out) {
    http_url base{};
    if (!index_url || !relative || !out || pkg_http_parse_url(index_url, &base) != 0) return -1;
    static_assert(PKG_URL_SIZE == HTTP_URL_SIZE, "a resolved URL fits a package URL");
    return pkg_make_redirect_url(&base, relative, out);
}

int repo_load_network_index(package_index* index) {
    repositories_or_default(&g_repos);
    for (int32_t i = 0; i < g_repos.count; ++i) {
        const char* url = g_repos.urls[i];
        char* text = nullptr;
        uint32_t len = 0;
        if (package_download_url_to_buffer(url, &text, &len, IDX_INDEX_MAX_BYTES) != 0) {
            qor::print("install: failed to fetch package index from %s\n", url);
            continue;
        }
        if (idx_use_index_text(index, text, len, url, 1, "network index") == 0) return 0;
    }
    return -1;
}

int repo_download_package(const package_entry* entry, const char* path, uint32_t* count) {
    if (!entry || !repo_url_is_relative(entry->url)) return pkg_download_verified_to_path(entry, path, count);
    const index_origin* origin = index_loaded_origin();
    if (origin->network && download_from(entry, origin->source, path, count) == 0) return 0;
    repositories_or_default(&g_repos);
    for (int32_t i = 0; i < g_repos.count; ++i) {
        const char* url = g_repos.urls[i];
        if (origin->network && strcmp(url, origin->source) == 0) continue;
        if (serves_same_serial(url) && download_from(entry, url, path, count) == 0) return 0;
    }
    return -1;
}
