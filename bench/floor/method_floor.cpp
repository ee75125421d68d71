// The floor each benchmark figure is set beside: the work the programs'
// method cannot do without, done alone and straight to Linux.
//
//   method_floor inflate ARCHIVE.tar.gz
//       our reference decoder (bit-at-a-time tree walk, bitwise CRC) over
//       the whole archive, output dropped: no file is written
//   method_floor tar ARCHIVE.tar DEST
//       the calls the extractor's rules require for a plain archive: reads
//       of 512-byte headers, 1024-byte data chunks and 256-byte pieces of
//       padding and dropped data, the existence test of every path prefix
//       (open and close), mkdir where one is missing, and each file written
//       in 1024-byte chunks
//   method_floor copy CHUNK SOURCE TARGET
//       a file copied in CHUNK-byte reads and writes
//   method_floor receive ADDRESS PORT PATH TARGET
//       an HTTP GET of PATH whose answer is received in 1536-byte pieces,
//       each written to TARGET as it arrives
//
// Prints the seconds taken.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "inflate.h"
#include "qor.h"

namespace {

constexpr int BLOCK = 512;
constexpr int DATA_CHUNK = 1024;
constexpr int DROP_CHUNK = 256;
constexpr int RECEIVE_CHUNK = 1536;

int fail(const char* what) {
    perror(what);
    return 1;
}

int run_inflate(const char* archive) {
    static inflate_state state;
    static uint8_t out[DATA_CHUNK];
    long fd = qor::open(archive, 0);
    if (fd < 0) return fail(archive);
    inflate_begin(&state, static_cast<int>(fd));
    if (gzip_read_member_header(static_cast<int>(fd)) != 0) return fail("gzip header");
    int32_t n;
    while ((n = gzip_inflate_some(&state, out, sizeof out)) > 0) {
    }
    return n == 0 ? 0 : fail("inflate");
}

bool read_exact(int fd, char* buf, long len) {
    while (len > 0) {
        ssize_t n = read(fd, buf, static_cast<size_t>(len));
        if (n <= 0) return false;
        buf += n;
        len -= n;
    }
    return true;
}

bool drop(int fd, long len) {
    char buf[DROP_CHUNK];
    while (len > 0) {
        long piece = len < DROP_CHUNK ? len : DROP_CHUNK;
        if (!read_exact(fd, buf, piece)) return false;
        len -= piece;
    }
    return true;
}

long octal(const char* field, int len) {
    long v = 0;
    for (int i = 0; i < len && field[i] >= '0' && field[i] <= '7'; ++i) v = v * 8 + (field[i] - '0');
    return v;
}

// The existence test of every prefix of `path`, and mkdir where one is missing.
void make_parents(std::string path) {
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] != '/') continue;
        path[i] = 0;
        int fd = open(path.c_str(), O_RDONLY);
        if (fd >= 0) close(fd);
        else mkdir(path.c_str(), 0755);
        path[i] = '/';
    }
}

int run_tar(const char* archive, const char* dest) {
    int in = open(archive, O_RDONLY);
    if (in < 0) return fail(archive);
    char header[BLOCK];
    char chunk[DATA_CHUNK];
    std::string long_name;
    while (read_exact(in, header, BLOCK)) {
        if (header[0] == 0) break;
        long size = octal(header + 124, 12);
        long padding = (BLOCK - size % BLOCK) % BLOCK;
        char type = header[156];
        std::string name;
        if (!long_name.empty()) {
            name = long_name;
            long_name.clear();
        } else {
            std::string prefix(header + 345, strnlen(header + 345, 155));
            name.assign(header, strnlen(header, 100));
            if (!prefix.empty()) name = prefix + "/" + name;
        }
        if (type == 'L') {
            long_name.resize(static_cast<size_t>(size));
            if (!read_exact(in, long_name.data(), size) || !drop(in, padding)) return fail("long name");
            long_name.resize(strnlen(long_name.c_str(), long_name.size()));
            continue;
        }
        std::string out = std::string(dest) + "/" + name;
        if (type == 0 || type == '0') {
            make_parents(out);
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0) return fail(out.c_str());
            for (long left = size; left > 0;) {
                long piece = left < DATA_CHUNK ? left : DATA_CHUNK;
                if (!read_exact(in, chunk, piece) || write(fd, chunk, static_cast<size_t>(piece)) != piece)
                    return fail(out.c_str());
                left -= piece;
            }
            close(fd);
        } else {
            if (type == '5') {
                make_parents(out);
                int fd = open(out.c_str(), O_RDONLY);
                if (fd >= 0) close(fd);
                else mkdir(out.c_str(), 0755);
            }
            if (!drop(in, size)) return fail("entry data");
        }
        if (!drop(in, padding)) return fail("padding");
    }
    close(in);
    return 0;
}

int run_copy(long chunk_size, const char* source, const char* target) {
    int in = open(source, O_RDONLY);
    int out = open(target, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || chunk_size < 1 || chunk_size > 65536) return fail("copy");
    char buf[65536];
    ssize_t n;
    while ((n = read(in, buf, static_cast<size_t>(chunk_size))) > 0) {
        if (write(out, buf, static_cast<size_t>(n)) != n) return fail(target);
    }
    close(in);
    return close(out) == 0 && n == 0 ? 0 : fail(source);
}

int run_receive(const char* address, const char* port, const char* path, const char* target) {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(atoi(port)));
    if (sock < 0 || inet_pton(AF_INET, address, &at.sin_addr) != 1 ||
        connect(sock, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
        return fail("connect");
    std::string request = std::string("GET ") + path + " HTTP/1.1\r\nHost: bench.test\r\nConnection: close\r\n\r\n";
    if (send(sock, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) return fail("send");
    int out = open(target, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return fail(target);
    char buf[RECEIVE_CHUNK];
    ssize_t n;
    while ((n = recv(sock, buf, sizeof buf, 0)) > 0) {
        if (write(out, buf, static_cast<size_t>(n)) != n) return fail(target);
    }
    close(sock);
    return close(out) == 0 && n == 0 ? 0 : fail("receive");
}

int usage() {
    fprintf(stderr,
            "usage: method_floor inflate ARCHIVE | tar ARCHIVE DEST | copy CHUNK SOURCE TARGET |"
            " receive ADDRESS PORT PATH TARGET\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    std::string mode = argv[1];
    auto start = std::chrono::steady_clock::now();
    int r;
    if (mode == "inflate" && argc == 3) r = run_inflate(argv[2]);
    else if (mode == "tar" && argc == 4) r = run_tar(argv[2], argv[3]);
    else if (mode == "copy" && argc == 5) r = run_copy(atol(argv[2]), argv[3], argv[4]);
    else if (mode == "receive" && argc == 6) r = run_receive(argv[2], argv[3], argv[4], argv[5]);
    else return usage();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (r == 0) printf("%.4f\n", took.count());
    return r;
}
