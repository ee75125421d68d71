// pkg_bench sha256 FILE      digest FILE (read into memory first), timing
//                            only the hashing, in 1024-byte updates as the
//                            package cache reads it and in one call, with
//                            the SHA instructions (when present) and with
//                            the portable code
// pkg_bench sha256-file FILE [portable]
//                            digest FILE read in 64 KiB pieces, as one
//                            process to time beside sha256sum and openssl;
//                            prints the digest
// pkg_bench index            parse a generated 128-package index near
//                            512 KiB repeatedly
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "package_index.h"
#include "sha256.h"

namespace {

using bench_clock = std::chrono::steady_clock;

double seconds_since(bench_clock::time_point start) {
    return std::chrono::duration<double>(bench_clock::now() - start).count();
}

// Hashes `data` in updates of `chunk` bytes; returns the seconds taken.
double time_digest(const std::string& data, size_t chunk, char hex[PKG_SHA256_HEX_SIZE]) {
    auto start = bench_clock::now();
    pkg_sha256_ctx ctx;
    pkg_sha256_init(&ctx);
    for (size_t at = 0; at < data.size(); at += chunk)
        pkg_sha256_update(&ctx, data.data() + at, std::min(chunk, data.size() - at));
    uint8_t digest[PKG_SHA256_DIGEST_SIZE];
    pkg_sha256_final(&ctx, digest);
    double taken = seconds_since(start);
    pkg_sha256_hex(digest, hex);
    return taken;
}

int bench_sha256(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "pkg_bench: cannot read %s\n", path);
        return 1;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::string data = bytes.str();
    double mib = static_cast<double>(data.size()) / (1024 * 1024);
    for (int portable : {0, 1}) {
        pkg_sha256_force_portable(portable);
        const char* engine = pkg_sha256_uses_sha_instructions() ? "SHA instructions" : "portable";
        if (!portable && !pkg_sha256_uses_sha_instructions()) continue;  // no SHA instructions: one run is enough
        for (size_t chunk : {size_t{1024}, data.size()}) {
            char hex[PKG_SHA256_HEX_SIZE];
            double taken = time_digest(data, chunk, hex);
            printf("pkg_sha256 %s, %zu-byte updates: %.0f MiB in %.3f s = %.1f MiB/s  %s\n", engine, chunk, mib, taken,
                   mib / taken, hex);
        }
    }
    pkg_sha256_force_portable(0);
    return 0;
}

int digest_file(const char* path, bool portable) {
    pkg_sha256_force_portable(portable ? 1 : 0);
    FILE* f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "pkg_bench: cannot read %s\n", path);
        return 1;
    }
    static uint8_t piece[65536];
    pkg_sha256_ctx ctx;
    pkg_sha256_init(&ctx);
    size_t n;
    while ((n = fread(piece, 1, sizeof piece, f)) > 0) pkg_sha256_update(&ctx, piece, n);
    fclose(f);
    char hex[PKG_SHA256_HEX_SIZE];
    pkg_sha256_final_hex(&ctx, hex);
    printf("%s  %s\n", hex, path);
    return 0;
}

// A 128-package index in the packages-array form, each package padded with
// a skipped member so the whole stays just under 512 KiB.
std::string make_index() {
    constexpr size_t TARGET = 524288 - 4096;
    constexpr int PACKAGES = 128;
    std::string doc = "{\"generator\":\"pkg_bench\",\"packages\":[";
    const size_t per_package = TARGET / PACKAGES;
    for (int i = 0; i < PACKAGES; i++) {
        std::string name = "package-" + std::to_string(i);
        std::string p = "{\"name\":\"" + name + "\",\"install_dir\":\"/binaries\",\"system\":" + (i % 2 ? "true" : "false") +
                        ",\"deps\":[" + (i ? "\"package-" + std::to_string(i - 1) + "\"" : "") + "],\"latest\":\"1.2\"," +
                        "\"versions\":{\"1.1\":{\"url\":\"https://pkg.example/" + name + "-1.1.tar.gz\",\"sha256\":\"" +
                        std::string(64, 'a') + "\"},\"1.2\":{\"url\":\"https://pkg.example/" + name +
                        "-1.2.tar.gz\",\"sha256\":\"" + std::string(64, 'b') + "\"}},\"description\":\"";
        while (p.size() + 3 < per_package) p += "A line of text with an escape \\n and \\u00e9. ";
        p.resize(per_package - 3);
        if (p.back() == '\\') p.back() = ' ';
        doc += p + "\"}" + (i + 1 < PACKAGES ? "," : "");
    }
    return doc + "]}";
}

int bench_index() {
    std::string doc = make_index();
    auto index = std::make_unique<package_index>();
    if (idx_parse_index_bytes(index.get(), doc.data(), static_cast<uint32_t>(doc.size()), "bench index") != 0 ||
        index->count != 128) {
        fprintf(stderr, "pkg_bench: generated index did not load\n");
        return 1;
    }
    constexpr int ROUNDS = 200;
    auto start = bench_clock::now();
    for (int i = 0; i < ROUNDS; i++)
        idx_parse_index_bytes(index.get(), doc.data(), static_cast<uint32_t>(doc.size()), "bench index");
    double each = seconds_since(start) / ROUNDS;
    printf("idx_parse_index_bytes: %d packages, %zu bytes: %.3f ms per parse = %.1f MiB/s\n", index->count, doc.size(),
           each * 1e3, static_cast<double>(doc.size()) / (1024 * 1024) / each);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "sha256") == 0) return bench_sha256(argv[2]);
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "sha256-file") == 0)
        return digest_file(argv[2], argc == 4 && strcmp(argv[3], "portable") == 0);
    if (argc == 2 && strcmp(argv[1], "index") == 0) return bench_index();
    fprintf(stderr, "usage: pkg_bench sha256 FILE | pkg_bench sha256-file FILE [portable] | pkg_bench index\n");
    return 2;
}
