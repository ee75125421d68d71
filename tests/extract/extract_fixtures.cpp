#include "extract_fixtures.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "archive_reader.h"
#include "extract_command.h"
#include "hosted.h"
#include "qor.h"

namespace fs = std::filesystem;

namespace extract_test {

std::string tar_header(const std::string& name, size_t size, char type, const std::string& prefix,
                       const std::string& size_field) {
    std::string h(512, '\0');
    memcpy(&h[0], name.data(), std::min<size_t>(name.size(), 100));
    memcpy(&h[100], "0000644", 7);
    memcpy(&h[108], "0000000", 7);
    memcpy(&h[116], "0000000", 7);
    char octal[16];
    snprintf(octal, sizeof octal, "%011lo", static_cast<unsigned long>(size));
    std::string sz = size_field.empty() ? std::string(octal) : size_field;
    memcpy(&h[124], sz.data(), std::min<size_t>(sz.size(), 12));
    memcpy(&h[136], "00000000000", 11);
    h[156] = type;
    memcpy(&h[257], "ustar\0" "00", 8);
    memcpy(&h[345], prefix.data(), std::min<size_t>(prefix.size(), 155));
    memset(&h[148], ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : h) sum += c;
    snprintf(&h[148], 8, "%06o", sum);
    return h;
}

std::string tar_entry(const std::string& name, const std::string& data, char type, const std::string& prefix,
                      const std::string& size_field) {
    std::string e = tar_header(name, data.size(), type, prefix, size_field) + data;
    e.append((512 - data.size() % 512) % 512, '\0');
    return e;
}

std::string pax_record(const std::string& key, const std::string& value) {
    size_t body = 1 + key.size() + 1 + value.size() + 1;  // " key=value\n"
    size_t len = body + 1;
    while (std::to_string(len).size() + body != len) ++len;
    return std::to_string(len) + " " + key + "=" + value + "\n";
}

std::string tar_end() { return std::string(1024, '\0'); }

std::string gzip_zlib(const std::string& data, int level) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&z, data.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

bool zlib_inflate_raw(const std::string& deflate, std::string* out) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(deflate.data()));
    z.avail_in = static_cast<uInt>(deflate.size());
    out->clear();
    char buf[4096];
    int r;
    do {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        r = inflate(&z, Z_NO_FLUSH);
        out->append(buf, sizeof buf - z.avail_out);
    } while (r == Z_OK && (z.avail_out == 0 || z.avail_in > 0));
    inflateEnd(&z);
    return r == Z_STREAM_END;
}

std::string gzip_wrap(const std::string& deflate, const std::string& content) {
    std::string g("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
    g += deflate;
    uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
    uint32_t len = static_cast<uint32_t>(content.size());
    for (int i = 0; i < 4; ++i) g += static_cast<char>((crc >> (8 * i)) & 0xFF);
    for (int i = 0; i < 4; ++i) g += static_cast<char>((len >> (8 * i)) & 0xFF);
    return g;
}

read_outcome read_archive(const std::string& bytes, int32_t chunk, int* open_result) {
    qortest::temp_machine machine;
    qortest::write_host_file(machine.media("a.gz"), bytes);
    long fd = qor::open("RAM:/a.gz", qor::O_READ);
    auto r = std::make_unique<archive_reader>();
    int opened = archive_reader_open(r.get(), static_cast<int>(fd));
    if (open_result) *open_result = opened;
    read_outcome out{"", opened, opened};
    if (opened != ARCHIVE_OPEN_OK) return out;
    std::string buf(static_cast<size_t>(chunk), '\0');
    int32_t n;
    while ((n = archive_read_some(r.get(), buf.data(), chunk)) > 0) out.content.append(buf.data(), static_cast<size_t>(n));
    out.last = n;
    out.after_last = archive_read_some(r.get(), buf.data(), chunk);
    qor::close(static_cast<int>(fd));
    return out;
}

run_result run_extract(const std::vector<std::string>& args) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    hosted::capture_begin();
    int status = install_embedded_extract_main(static_cast<int>(args.size()), argv.data());
    return {status, hosted::capture_end()};
}

std::vector<std::string> list_paths(const std::string& root) {
    std::vector<std::string> paths;
    if (!fs::exists(root)) return paths;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        paths.push_back(fs::relative(e.path(), root).string() + (e.is_directory() ? "/" : ""));
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<std::string> paths_outside_destination(const std::string& media) {
    std::vector<std::string> outside;
    for (const std::string& p : list_paths(media)) {
        if (p != "a.tar" && p.rfind("out/", 0) != 0) outside.push_back(p);
    }
    return outside;
}

std::string describe_tree(const std::string& root) {
    std::string d;
    for (const std::string& p : list_paths(root)) {
        d += p + "\n";
        if (p.back() != '/') d += qortest::read_host_file(root + "/" + p) + "\n";
    }
    return d;
}

}  // namespace extract_test
