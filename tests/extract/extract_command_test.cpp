// The extract command run in process on a temporary machine: archives as
// tables of cases, each checked for its status, its exact output and the tree
// it leaves, and that nothing lands outside the destination.
#include <gtest/gtest.h>

#include "extract_fixtures.h"
#include "hosted.h"
#include "qor.h"

using namespace extract_test;

namespace {

const std::string OUT = "RAM:/out";

struct tree_entry {
    std::string path;     // ends in '/' for a directory
    std::string content = "";  // files only
};

std::string tree(const std::vector<tree_entry>& entries) {
    std::string d;
    for (const tree_entry& e : entries) d += e.path + "\n" + (e.path.back() == '/' ? "" : e.content + "\n");
    return d;
}

std::string summary(int files, int dirs, int skipped) {
    return "extract: " + std::to_string(files) + " files, " + std::to_string(dirs) + " directories, " +
           std::to_string(skipped) + " skipped\n";
}

struct archive_case {
    const char* name;
    std::string archive;
    int status;
    std::string output;
    std::string tree;  // of the destination
};

// Runs one case as a plain and, when `also_gzip`, as a gzip-compressed archive.
void check_case(const archive_case& c, bool also_gzip = true) {
    for (int gz = 0; gz <= (also_gzip ? 1 : 0); ++gz) {
        SCOPED_TRACE(std::string(c.name) + (gz ? " (gzip)" : ""));
        qortest::temp_machine machine;
        qortest::write_host_file(machine.media("a.tar"), gz ? gzip_zlib(c.archive, 6) : c.archive);
        run_result r = run_extract({"extract", "RAM:/a.tar", OUT});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(describe_tree(machine.media("out")), c.tree);
        EXPECT_EQ(paths_outside_destination(machine.media()), std::vector<std::string>{})
            << "written outside the destination";
    }
}

std::string file_1025() { return std::string(1024, 'a') + "b"; }

// A GNU long-name entry naming the next entry `name`.
std::string long_name(const std::string& name) { return tar_entry("././@LongLink", name, 'L'); }

}  // namespace

TEST(ExtractCommand, ArchiveStructure) {
    const std::string f = tar_entry("f", "hello");
    const std::vector<archive_case> cases = {
        {"file and directory", tar_entry("d/", "", '5') + tar_entry("d/f", "hello") + tar_end(), 0, summary(1, 1, 0),
         tree({{"d/"}, {"d/f", "hello"}})},
        {"empty archive file", "", 0, summary(0, 0, 0), ""},
        {"no end marker", f, 0, summary(1, 0, 0), tree({{"f", "hello"}})},
        {"one zero block, then the end", f + std::string(512, '\0'), 0, summary(1, 0, 0), tree({{"f", "hello"}})},
        {"single zero block between entries", f + std::string(512, '\0') + tar_entry("g", "x") + tar_end(), 0,
         summary(2, 0, 0), tree({{"f", "hello"}, {"g", "x"}})},
        {"blocks after the marker are never read", f + tar_end() + "garbage", 0, summary(1, 0, 0), tree({{"f", "hello"}})},
        {"empty and 1025-byte files", tar_entry("e", "") + tar_entry("big", file_1025()) + tar_end(), 0, summary(2, 0, 0),
         tree({{"big", file_1025()}, {"e", ""}})},
        {"old-style regular file type", tar_entry("v7", "old", '\0') + tar_end(), 0, summary(1, 0, 0), tree({{"v7", "old"}})},
        {"directory with data, existing directory", tar_entry("d", "junk", '5') + tar_entry("d", "", '5') + tar_end(), 0,
         summary(0, 2, 0), tree({{"d/"}})},
        {"parents made for a file", tar_entry("x/y/z", "deep") + tar_end(), 0, summary(1, 0, 0),
         tree({{"x/"}, {"x/y/"}, {"x/y/z", "deep"}})},
        {"symbolic link skipped, next entry read", tar_entry("link", "", '2') + f + tar_end(), 0,
         "extract: skipped type '2' for link\n" + summary(1, 0, 1), tree({{"f", "hello"}})},
        {"hard link with data dropped", tar_entry("h", std::string(600, 'h'), '1') + f + tar_end(), 0,
         "extract: skipped type '1' for h\n" + summary(1, 0, 1), tree({{"f", "hello"}})},
        {"wrong checksum is ignored", [] {
             std::string h = tar_entry("c", "sum");
             h[148] = '7';
             return h + tar_end();
         }(),
         0, summary(1, 0, 0), tree({{"c", "sum"}})},
        {"prefix and name, trailing spaces", tar_entry("file  ", "p", '0', "dir ") + tar_end(), 0, summary(1, 0, 0),
         tree({{"dir/"}, {"dir/file", "p"}})},
        {"prefix only", tar_entry("", "p", '0', "only") + tar_end(), 0, summary(1, 0, 0), tree({{"only", "p"}})},
        {"file data cut short", tar_header("f", 1000) + std::string(700, 'q'), 1,
         "extract: failed to extract file: RAM:/out/f\n", ""},
        {"hard link whose data is missing", f + tar_header("h", 321, '1'), 1, "", tree({{"f", "hello"}})},
        {"header cut short", f + std::string(100, 'x'), 1, "extract: failed to read tar header\n", tree({{"f", "hello"}})},
        {"trailer block cut short", f + std::string(512, '\0') + std::string(10, '\0'), 1,
         "extract: failed to read tar trailer\n", tree({{"f", "hello"}})},
        {"padding cut short", tar_header("f", 5) + "hello", 1, "extract: failed to read tar padding\n",
         tree({{"f", "hello"}})},
    };
    for (const archive_case& c : cases) check_case(c);
}

TEST(ExtractCommand, GzipMembersAndTheirTrailers) {
    const std::string tar = tar_entry("f", "hello") + tar_end() + "beyond the marker";
    const std::string good = gzip_zlib(tar, 6);
    auto altered = [&](size_t from_end) {
        std::string gz = good;
        gz[gz.size() - from_end] ^= 0x10;
        return gz;
    };
    // Deflate data of other bytes under the trailer of `tar`: the difference
    // lies after the end marker, where only the trailer can show it.
    std::string other = gzip_zlib(tar.substr(0, tar.size() - 1) + "?", 6);
    const std::string swapped = gzip_wrap(other.substr(10, other.size() - 18), tar);
    const std::string mismatch = "extract: gzip checksum mismatch\n";
    const std::string written = tree({{"f", "hello"}});
    const std::vector<archive_case> cases = {
        {"trailer matches", good, 0, summary(1, 0, 0), written},
        {"CRC differs", altered(8), 1, mismatch, written},
        {"size differs", altered(4), 1, mismatch, written},
        {"trailer cut short", good.substr(0, good.size() - 3), 1, mismatch, written},
        {"no trailer at all", good.substr(0, good.size() - 8), 1, mismatch, written},
        {"data after the marker altered", swapped, 1, mismatch, written},
        {"split across two members", gzip_zlib(tar.substr(0, 700), 6) + gzip_zlib(tar.substr(700), 1), 0,
         summary(1, 0, 0), written},
        {"split inside the file data", gzip_zlib(tar.substr(0, 514), 9) + gzip_zlib(tar.substr(514), 0), 0,
         summary(1, 0, 0), written},
        {"behind an empty member", gzip_zlib("", 6) + good, 0, summary(1, 0, 0), written},
        {"the marker ends the first member", gzip_zlib(tar_entry("f", "hello") + tar_end(), 6) + gzip_zlib("x", 6), 0,
         summary(1, 0, 0), written},
    };
    for (const archive_case& c : cases) {
        SCOPED_TRACE(c.name);
        qortest::temp_machine machine;
        qortest::write_host_file(machine.media("a.tar.gz"), c.archive);
        run_result r = run_extract({"extract", "RAM:/a.tar.gz", OUT});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(describe_tree(machine.media("out")), c.tree);
    }
}

TEST(ExtractCommand, SizeField) {
    auto with_size = [](const std::string& field, const std::string& data) {
        return tar_entry("s", data, '0', "", field) + tar_end();
    };
    const std::string k(1000, 'k');
    const std::string fatal = "extract: invalid size field in tar entry\n";
    const std::vector<archive_case> cases = {
        {"octal with a space", with_size("00000001750 ", k), 0, summary(1, 0, 0), tree({{"s", k}})},
        {"octal with a NUL", with_size(std::string("00000001750\0", 12), k), 0, summary(1, 0, 0), tree({{"s", k}})},
        {"leading spaces", with_size("     1750   ", k), 0, summary(1, 0, 0), tree({{"s", k}})},
        {"all NUL", with_size(std::string(12, '\0'), ""), 0, summary(1, 0, 0), tree({{"s", ""}})},
        {"all spaces", with_size(std::string(12, ' '), ""), 0, summary(1, 0, 0), tree({{"s", ""}})},
        {"letter among the digits", with_size("0000017a0 ", k), 1, fatal, ""},
        {"digit 8", with_size("00000001780 ", k), 1, fatal, ""},
        {"base-256 encoding", with_size(std::string("\x80\0\0\0\0\0\0\0\0\0\x03\xe8", 12), k), 1, fatal, ""},
        {"4 GiB does not fit 32 bits", with_size("40000000000 ", ""), 1, fatal, ""},
        {"twelve digits", with_size("777777777777", ""), 1, fatal, ""},
    };
    for (const archive_case& c : cases) check_case(c, false);
}

TEST(ExtractCommand, EntryNames) {
    const std::string f = tar_entry("f", "hello");
    const std::string n382(382, 'n');
    auto pax = [](const std::string& records, char type = 'x') { return tar_entry("PaxHeader", records, type); };
    const std::vector<archive_case> cases = {
        // The name applies: the message names it (it cannot fit under RAM:/out).
        {"GNU long name of 382 + NUL", long_name(n382 + '\0') + tar_entry("short", "L") + tar_end(), 1,
         "extract: output path too long: " + n382 + "\n", ""},
        {"GNU long name of 383 + NUL is too long", long_name(std::string(383, 'n') + '\0') + tar_entry("short", "L") + tar_end(),
         0, "extract: GNU long-name is too long for extractor path limit\n" + summary(1, 0, 1), tree({{"short", "L"}})},
        {"GNU long name of size 0", long_name("") + tar_entry("short", "x") + f + tar_end(), 0, summary(1, 0, 1),
         tree({{"f", "hello"}})},
        {"long name survives a PAX header without path",
         long_name("long/name") + pax(pax_record("mtime", "1")) + tar_entry("short", "x") + tar_end(), 0, summary(1, 0, 0),
         tree({{"long/"}, {"long/name", "x"}})},
        {"long name applies to one entry only", long_name("ln") + tar_entry("a", "1") + tar_entry("b", "2") + tar_end(), 0,
         summary(2, 0, 0), tree({{"b", "2"}, {"ln", "1"}})},
        {"PAX path", pax("17 path=dir/file\n") + tar_entry("short", "x") + tar_end(), 0, summary(1, 0, 0),
         tree({{"dir/"}, {"dir/file", "x"}})},
        {"PAX path replaces a long name", long_name("ln") + pax(pax_record("path", "px")) + tar_entry("s", "x") + tar_end(), 0,
         summary(1, 0, 0), tree({{"px", "x"}})},
        {"PAX header of size 0", tar_header("PaxHeader", 0, 'x') + f + tar_end(), 0, summary(1, 0, 0), tree({{"f", "hello"}})},
        {"PAX header of 16384 bytes", pax(pax_record("comment", std::string(16384 - 15, 'c'))) + f + tar_end(), 0,
         summary(1, 0, 0), tree({{"f", "hello"}})},
        {"PAX header of 16385 bytes", pax(pax_record("comment", std::string(16385 - 15, 'c'))) + f + tar_end(), 1,
         "extract: PAX header too large\n", ""},
        {"PAX record longer than the data", pax("18 path=dir/file\n") + f + tar_end(), 1,
         "extract: failed to parse PAX header\n", ""},
        {"PAX path of 384 bytes", pax(pax_record("path", std::string(384, 'p'))) + f + tar_end(), 1,
         "extract: PAX path exceeds extractor path limit\n", ""},
        {"PAX global header ignored", pax(pax_record("path", "global"), 'g') + f + tar_end(), 0, summary(1, 0, 0),
         tree({{"f", "hello"}})},
        {"GNU long name cut short", tar_header("././@LongLink", 600, 'L') + std::string(300, 'n'), 1,
         "extract: failed to read GNU long-name payload\n", ""},
        {"PAX global header cut short", tar_header("g", 600, 'g') + std::string(300, 'g'), 1,
         "extract: failed to read PAX global header\n", ""},
    };
    for (const archive_case& c : cases) check_case(c);
}

TEST(ExtractCommand, HostilePathsStayInsideTheDestination) {
    const std::string f = tar_entry("f", "hello");
    const std::vector<archive_case> cases = {
        {"dot-dot", tar_entry("../evil", "x") + tar_entry("a/../../evil", "x") + f + tar_end(), 0,
         "extract: skipped unsafe path: ../evil\nextract: skipped unsafe path: a/../../evil\n" + summary(1, 0, 2),
         tree({{"f", "hello"}})},
        {"absolute path", tar_entry("/abs/x", "x") + tar_end(), 0, summary(1, 0, 0), tree({{"abs/"}, {"abs/x", "x"}})},
        {"backslash and colon", tar_entry("a\\b", "x") + tar_entry("RAM:/evil", "x") + tar_entry("C:x", "x") + tar_end(), 0,
         "extract: skipped unsafe path: a\\b\nextract: skipped unsafe path: RAM:/evil\nextract: skipped unsafe path: C:x\n" +
             summary(0, 0, 3),
         ""},
        {"dot-dot through a long name", long_name("../../escape") + tar_entry("short", "x") + f + tar_end(), 0,
         "extract: skipped unsafe path: ../../escape\n" + summary(1, 0, 1), tree({{"f", "hello"}})},
        {"dot-dot through a PAX path", tar_entry("p", pax_record("path", "../up"), 'x') + tar_entry("s", "x") + tar_end(), 0,
         "extract: skipped unsafe path: ../up\n" + summary(0, 0, 1), ""},
        {"only dots and slashes", tar_entry(".", "", '5') + tar_entry("//", "x") + tar_entry("./", "", '5') + tar_end(), 0,
         summary(0, 0, 3), ""},
        {"over-long name and prefix fields", tar_entry(std::string(100, 'n'), "x", '0', std::string(155, 'p')) + tar_end(), 0,
         summary(1, 0, 0), tree({{std::string(155, 'p') + "/"}, {std::string(155, 'p') + "/" + std::string(100, 'n'), "x"}})},
        {"output path too long", long_name(std::string(380, 'n')) + tar_entry("s", "x", '2') + f + tar_end(), 1,
         "extract: output path too long: " + std::string(380, 'n') + "\n", ""},
        {"symbolic link to the outside", tar_entry("ln", "", '2') + tar_end(), 0,
         "extract: skipped type '2' for ln\n" + summary(0, 0, 1), ""},
    };
    for (const archive_case& c : cases) check_case(c);
}

TEST(ExtractCommand, CommandLine) {
    const std::string usage =
        "Usage: extract <archive.tar|archive.tar.gz> [destination]\nExamples:\n  extract /archive.tar\n"
        "  extract /archive.tar.gz /tmp/out\n";
    struct line_case {
        std::vector<std::string> args;
        int status;
        std::string output;
    };
    const std::vector<line_case> cases = {
        {{"extract"}, 1, usage},
        {{"extract", ""}, 1, usage},
        {{"extract", "-h"}, 0, usage},
        {{"extract", "--help", "x"}, 0, usage},
        {{"extract", "RAM:/missing.tar", "RAM:/made/dest"}, 1, "extract: failed to open archive: RAM:/missing.tar\n"},
        {{"extract", "RAM:/a.tar", "NOPE:/x"}, 1, "extract: failed to prepare destination: NOPE:/x\n"},
        {{"extract", "RAM:/a.tar", "RAM:/a.tar/sub"}, 1, "extract: failed to prepare destination: RAM:/a.tar/sub\n"},
        {{"extract", "RAM:/a.tar", ""}, 0, summary(1, 0, 0)},
        {{"extract", "RAM:/a.tar"}, 0, summary(1, 0, 0)},
        {{"extract", "RAM:/a.tar", "RAM:/o/", "ignored"}, 0, summary(1, 0, 0)},
        // Arguments far longer than any path still reach the output whole.
        {{"extract", "RAM:/" + std::string(3000, 'm') + ".tar"}, 1,
         "extract: failed to open archive: RAM:/" + std::string(3000, 'm') + ".tar\n"},
        {{"extract", "RAM:/a.tar", "NOPE:/" + std::string(3000, 'd')}, 1,
         "extract: failed to prepare destination: NOPE:/" + std::string(3000, 'd') + "\n"},
    };
    for (const line_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        qortest::temp_machine machine;
        qortest::write_host_file(machine.media("a.tar"), tar_entry("f", "hi") + tar_end());
        run_result r = run_extract(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.output, c.output);
    }
    qortest::temp_machine machine;
    run_extract({"extract", "RAM:/missing.tar", "RAM:/made/dest"});
    EXPECT_TRUE(qortest::host_path_exists(machine.media("made/dest")));
    qortest::write_host_file(machine.media("a.tar"), tar_entry("f", "hi") + tar_end());
    EXPECT_EQ(run_extract({"extract", "RAM:/a.tar"}).status, 0);  // "." is the current drive's root
    EXPECT_EQ(qortest::read_host_file(machine.media("f")), "hi");
}

TEST(ExtractCommand, HostFailuresThroughTheFaultHook) {
    struct fault_case {
        const char* name;
        long call;
        long use;
        long result;
        int status;
        std::string output;
        std::string tree;
    };
    const std::string file_fail = "extract: failed to extract file: RAM:/out/d/f\n";
    const std::vector<fault_case> cases = {
        {"short stream write", qor::SYS_STREAM_WRITE, 1, 0, 1, file_fail, tree({{"d/"}})},
        {"second stream write fails", qor::SYS_STREAM_WRITE, 2, -1, 1, file_fail, tree({{"d/"}})},
        {"stream end fails", qor::SYS_STREAM_END, 1, -1, 1, file_fail, tree({{"d/"}})},
        {"stream begin fails", qor::SYS_STREAM_BEGIN, 1, -1, 1, file_fail, tree({{"d/"}})},
        {"parent directory cannot be made", qor::SYS_MKDIR, 2, -1, 1, file_fail, ""},
        {"destination cannot be made", qor::SYS_MKDIR, 1, -1, 1, "extract: failed to prepare destination: RAM:/out\n", ""},
        {"first read fails", qor::SYS_READ, 1, -1, 1, "extract: failed to read archive header\n", ""},
        {"rewind fails", qor::SYS_LSEEK, 1, -1, 1, "extract: failed to rewind archive\n", ""},
        {"gzip header read fails", qor::SYS_READ, 2, -1, 1, "extract: invalid or unsupported gzip stream\n", ""},
        {"data read fails", qor::SYS_READ, 3, -1, 1, "extract: failed to read tar header\n", ""},
    };
    std::string archive = gzip_zlib(tar_entry("d/f", file_1025()) + tar_end(), 6);
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.name);
        qortest::temp_machine machine;
        qortest::write_host_file(machine.media("a.tar"), archive);
        hosted::fault_add(c.call, c.use, c.result);
        run_result r = run_extract({"extract", "RAM:/a.tar", OUT});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(describe_tree(machine.media("out")), c.tree);
    }
}
