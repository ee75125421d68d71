// Times one verified download: net_download_bench URL SHA256 PATH.
// Runs in the machine named by QOR_MACHINE; prints "<bytes> <seconds>".
#include <chrono>
#include <cstdio>
#include <cstring>

#include "download.h"

int main(int argc, char** argv) {
    if (argc != 4 || strlen(argv[1]) >= PKG_URL_SIZE || strlen(argv[2]) >= PKG_SHA256_HEX_SIZE) {
        fprintf(stderr, "usage: net_download_bench URL SHA256 PATH\n");
        return 2;
    }
    package_entry entry{};
    strcpy(entry.name, "bench");
    strcpy(entry.url, argv[1]);
    strcpy(entry.sha256, argv[2]);
    uint32_t count = 0;
    auto start = std::chrono::steady_clock::now();
    int r = pkg_download_verified_to_path(&entry, argv[3], &count);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (r != 0) return 1;
    printf("%u %.3f\n", count, took.count());
    return 0;
}
