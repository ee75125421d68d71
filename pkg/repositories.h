// The repositories a drive fetches from: index URLs (mirrors) listed one a
// line in a file on the drive, tried in order when the local index cannot
// be used, and the home of every package whose URL is relative. Without the
// file the one repository is the default index URL.
#pragma once

#include <cstdint>

#include "package_index.h"

constexpr char REPO_LIST_PATH[] = "/cache/repositories";
constexpr uint32_t REPO_LIST_MAX_BYTES = 8192;
constexpr int32_t REPO_MAX = 16;

// The index URLs to try, in order.
struct repo_list {
    char urls[REPO_MAX][PKG_URL_SIZE];
    int32_t count;
};

// The drive's repositories file into `list`: 1 when it lists at least one
// URL, 0 when it is missing or lists none (lines it cannot take are
// reported and passed over).
int repo_read_list(repo_list* list);

// Parses the text of a repositories file: one URL a line, "#" to the end of
// a line is a comment, blank lines and surrounding blanks ignored. Lines
// that are too long, hold blanks inside or pass REPO_MAX are reported with
// their line number and passed over.
void repo_parse_list(const char* text, uint32_t len, repo_list* list);

// 1 when a package URL names no scheme and is taken relative to its index.
int repo_url_is_relative(const char* url);

// `relative` resolved against the index URL `index_url` into `out`
// (PKG_URL_SIZE bytes): 0, or -1 when either is unusable or it does not fit.
int repo_resolve_url(const char* index_url, const char* relative, char* out);

// Loads the index from the network: each repository in turn (the default
// URL when the drive lists none), each failure one line, the first that is
// fetched, trusted and parsed wins. 0 or -1.
int repo_load_network_index(package_index* index);

// Downloads a package as pkg_download_verified_to_path does. An absolute URL
// is fetched as it stands; a relative one from the repository the index
// came from, then from each other repository serving the same index serial.
// 0, or -1 when every try failed (each reported).
int repo_download_package(const package_entry* entry, const char* path, uint32_t* count);
