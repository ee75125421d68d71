// Conformance data from other projects' test suites (the shared corpora):
// each archive either extracts or fails with one of our messages, and never
// writes outside the destination; every raw deflate stream decodes to what
// zlib decodes.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive_reader.h"
#include "extract_fixtures.h"

using namespace extract_test;
using qortest::corpora_dir;
namespace fs = std::filesystem;

namespace {

struct corpus_case {
    const char* file;     // under the corpora directory
    int status;
    const char* last_line;  // last output line; "" for none
    const char* why;        // for failures and skips
};

// Status and last output line of every tar and gzip file of the corpora.
const corpus_case corpus_cases[] = {
    {"tar/go/file-and-dir.tar", 0, "extract: 1 files, 1 directories, 0 skipped", ""},
    {"tar/go/gnu-incremental.tar", 0, "extract: 1 files, 0 directories, 2 skipped", "types 'D' and 'S' skipped"},
    {"tar/go/gnu-long-nul.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/gnu-multi-hdrs.tar", 0, "extract: 0 files, 0 directories, 3 skipped", "'K' long link names and a symlink"},
    {"tar/go/gnu-nil-sparse-data.tar", 0, "extract: 0 files, 0 directories, 1 skipped", "GNU sparse 'S' skipped"},
    {"tar/go/gnu-nil-sparse-hole.tar", 0, "extract: 0 files, 0 directories, 1 skipped", "GNU sparse 'S' skipped"},
    {"tar/go/gnu-not-utf8.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/gnu-sparse-big.tar", 0, "extract: 0 files, 0 directories, 2 skipped", "GNU sparse with base-256 fields"},
    {"tar/go/gnu-utf8.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/gnu.tar", 0, "extract: 2 files, 0 directories, 0 skipped", ""},
    {"tar/go/hardlink.tar", 0, "extract: 1 files, 0 directories, 1 skipped", "hard link skipped"},
    {"tar/go/hdr-only.tar", 0, "extract: 2 files, 2 directories, 9 skipped", "devices, fifos and links skipped"},
    {"tar/go/invalid-go17.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/issue10968.tar", 1, "extract: invalid size field in tar entry", "size field holds non-octal bytes"},
    {"tar/go/issue11169.tar", 1, "extract: failed to read tar padding", "PAX data shorter than its size"},
    {"tar/go/issue12435.tar", 1, "extract: invalid size field in tar entry", "size field holds non-octal bytes"},
    {"tar/go/neg-size.tar", 1, "extract: invalid size field in tar entry", "negative base-256 size"},
    {"tar/go/nil-uid.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/pax-bad-hdr-file.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/pax-bad-hdr-large.tar.bz2", 1, "extract: failed to read tar header", "bzip2 is not read: 156 bytes, no block"},
    {"tar/go/pax-bad-mtime-file.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/pax-global-records.tar", 0, "extract: 4 files, 0 directories, 0 skipped", ""},
    {"tar/go/pax-multi-hdrs.tar", 0, "extract: 0 files, 0 directories, 1 skipped", "symlink skipped"},
    {"tar/go/pax-nil-sparse-data.tar", 0, "extract: 1 files, 0 directories, 0 skipped", "sparse map written as data"},
    {"tar/go/pax-nil-sparse-hole.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/pax-nul-path.tar", 0, "extract: 1 files, 0 directories, 0 skipped", "path cut at its NUL"},
    {"tar/go/pax-nul-xattrs.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/pax-path-hdr.tar", 0, "extract: 0 files, 0 directories, 0 skipped", "PAX header only, then the end"},
    {"tar/go/pax-pos-size-file.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/pax-records.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/pax-sparse-big.tar", 0, "extract: 1 files, 0 directories, 0 skipped", "sparse map written as data"},
    {"tar/go/pax.tar", 0, "extract: 1 files, 0 directories, 1 skipped", "symlink skipped"},
    {"tar/go/sparse-formats.tar", 0, "extract: 7 files, 0 directories, 1 skipped", "GNU sparse skipped, PAX sparse as data"},
    {"tar/go/star.tar", 0, "extract: 2 files, 0 directories, 0 skipped", ""},
    {"tar/go/trailing-slash.tar", 0, "extract: 0 files, 1 directories, 0 skipped", ""},
    {"tar/go/ustar-file-devs.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/ustar-file-reg.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/ustar.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/go/v7.tar", 0, "extract: 2 files, 0 directories, 0 skipped", ""},
    {"tar/go/writer-big-long.tar", 0, "extract: 1 files, 0 directories, 0 skipped", "16 GiB size in PAX, ignored"},
    {"tar/go/writer-big.tar", 1, "extract: invalid size field in tar entry", "16 GiB base-256 size"},
    {"tar/go/writer.tar", 0, "extract: 2 files, 0 directories, 1 skipped", "symlink skipped"},
    {"tar/go/xattrs.tar", 0, "extract: 2 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_acl_pax_nfs4.tar", 0, "extract: 3 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_acl_pax_posix1e.tar", 0, "extract: 4 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_compat_gtar_1.tar", 0, "extract: 1 files, 0 directories, 2 skipped", "'K' and a symlink"},
    {"tar/libarchive/test_compat_gtar_2.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_compat_gzip_1.tgz", 0, "extract: 6 files, 0 directories, 0 skipped",
     "several gzip members, read as one stream"},
    {"tar/libarchive/test_compat_gzip_2.tgz", 0, "extract: 6 files, 0 directories, 0 skipped", "garbage after the member"},
    {"tar/libarchive/test_compat_perl_archive_tar.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_compat_plexus_archiver_tar.tar", 0, "extract: 1 files, 0 directories, 1 skipped",
     "empty-named entry skipped"},
    {"tar/libarchive/test_compat_solaris_tar_acl.tar", 0, "extract: 2 files, 2 directories, 4 skipped", "ACL 'A' entries"},
    {"tar/libarchive/test_compat_star_acl_nfs4.tar", 0, "extract: 2 files, 1 directories, 0 skipped", ""},
    {"tar/libarchive/test_compat_star_acl_posix1e.tar", 0, "extract: 2 files, 1 directories, 0 skipped", ""},
    {"tar/libarchive/test_compat_tar_directory_1.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_compat_tar_hardlink_1.tar", 1, "",
     "a hard link claims 321 data bytes the archive lacks: dropping them fails, silently"},
    {"tar/libarchive/test_pax_filename_encoding.tar", 0, "extract: 2 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_pax_xattr_header_all.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_pax_xattr_header_libarchive.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_pax_xattr_header_schily.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_format_gtar_sparse_1_13.tar", 1, "extract: invalid size field in tar entry",
     "old GNU sparse continuation read as a header"},
    {"tar/libarchive/test_read_format_gtar_sparse_1_17.tar", 1, "extract: invalid size field in tar entry",
     "old GNU sparse continuation read as a header"},
    {"tar/libarchive/test_read_format_gtar_sparse_1_17_posix00.tar", 0, "extract: 3 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_format_gtar_sparse_1_17_posix01.tar", 0, "extract: 3 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_format_gtar_sparse_1_17_posix10.tar", 0, "extract: 3 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_format_gtar_sparse_1_17_posix10_modified.tar", 0,
     "extract: 3 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_format_gtar_sparse_reuse.tar", 0, "extract: 0 files, 0 directories, 1 skipped", ""},
    {"tar/libarchive/test_read_format_tar_V_negative_size.tar", 1, "extract: invalid size field in tar entry",
     "negative size"},
    {"tar/libarchive/test_read_format_tar_acl_oob_read.tar", 1, "extract: invalid size field in tar entry",
     "size field holds non-octal bytes"},
    {"tar/libarchive/test_read_format_tar_concatenated.tar", 0, "extract: 1 files, 0 directories, 0 skipped",
     "second archive after the end marker not read"},
    {"tar/libarchive/test_read_format_tar_empty_filename.tar", 0, "extract: 0 files, 0 directories, 1 skipped", ""},
    {"tar/libarchive/test_read_format_tar_empty_with_gnulabel.tar", 0, "extract: 0 files, 0 directories, 1 skipped",
     "volume label 'V'"},
    {"tar/libarchive/test_read_format_tar_invalid_pax_size.tar", 1, "extract: failed to parse PAX header",
     "record length past the data"},
    {"tar/libarchive/test_read_format_tar_mac_metadata_1.tar", 0, "extract: 2 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_format_tar_pax_g_large.tar", 1, "extract: invalid size field in tar entry",
     "'g' size above 32 bits"},
    {"tar/libarchive/test_read_format_tar_pax_negative_time.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_format_tar_pax_sun_holesdata.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_format_tar_pax_timestamps.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_format_tar_timestamp_overflow.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_pax_empty_val_no_nl.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_pax_xattr_rht_security_selinux.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_read_pax_xattr_schily.tar", 0, "extract: 1 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_write_disk_hfs_compression.tgz", 0, "extract: 4 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_write_disk_mac_metadata.tar.gz", 0, "extract: 2 files, 0 directories, 0 skipped", ""},
    {"tar/libarchive/test_write_disk_no_hfs_compression.tgz", 0, "extract: 4 files, 0 directories, 0 skipped", ""},
    {"gzip/go/issue6550.gz", 1, "extract: invalid or unsupported gzip stream", "reserved flag bits set"},
};

std::string last_line(const std::string& output) {
    if (output.empty()) return "";
    size_t end = output.size() - (output.back() == '\n' ? 1 : 0);
    size_t start = output.rfind('\n', end - 1);
    return output.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

}  // namespace

TEST(Corpora, TarAndGzipFilesExtractOrFailWithOurMessages) {
    if (!fs::exists(corpora_dir())) GTEST_SKIP() << "no corpora at " << corpora_dir();
    for (const corpus_case& c : corpus_cases) {
        SCOPED_TRACE(c.file);
        qortest::temp_machine machine;
        fs::copy_file(corpora_dir() + "/" + c.file, machine.media("a.tar"));
        run_result r = run_extract({"extract", "RAM:/a.tar", "RAM:/out"});
        EXPECT_EQ(r.status, c.status) << c.why;
        EXPECT_EQ(last_line(r.output), c.last_line) << c.why;
        EXPECT_EQ(paths_outside_destination(machine.media()), std::vector<std::string>{})
            << "written outside the destination";
    }
    // Every tar and gzip file of the corpora is in the table.
    size_t archives = 0;
    for (const char* dir : {"tar/go", "tar/libarchive", "gzip/go"}) {
        for (const auto& e : fs::directory_iterator(corpora_dir() + "/" + dir)) {
            std::string name = e.path().filename().string();
            if (name.find(".tar") != std::string::npos || name.find(".tgz") != std::string::npos ||
                (name.size() > 3 && name.substr(name.size() - 3) == ".gz")) {
                ++archives;
            }
        }
    }
    EXPECT_EQ(archives, std::size(corpus_cases));
}

// The flate streams are raw deflate written by another encoder's tests, none
// with a final block: zlib decodes them to the end of the input without
// finishing. Wrapped in a gzip member, ours must give the same bytes and then
// fail for lack of input.
TEST(Corpora, RawDeflateStreamsDecodeLikeZlib) {
    std::string dir = corpora_dir() + "/flate/go";
    if (!fs::exists(dir)) GTEST_SKIP() << "no corpora at " << dir;
    int streams = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        if (name.find(".golden") == std::string::npos && name.find(".expect") == std::string::npos) continue;
        SCOPED_TRACE(name);
        ++streams;
        std::string deflate = qortest::read_host_file(e.path().string());
        std::string expected;
        EXPECT_FALSE(zlib_inflate_raw(deflate, &expected));  // no final block
        int opened;
        read_outcome got = read_archive(gzip_wrap(deflate, expected), 4096, &opened);
        ASSERT_EQ(opened, ARCHIVE_OPEN_OK);
        EXPECT_EQ(got.last, -1);
        EXPECT_TRUE(got.content == expected) << got.content.size() << " bytes, zlib " << expected.size();
    }
    EXPECT_GT(streams, 40);
}
