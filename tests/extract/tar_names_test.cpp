// Path decisions of the extractor: sanitising, joining, PAX records.
#include <gtest/gtest.h>

#include <memory>

#include "extract_fixtures.h"
#include "hosted.h"
#include "qor.h"
#include "tar_names.h"

using extract_test::pax_record;

TEST(TarNames, SanitizesArchivePaths) {
    struct sanitize_case {
        std::string archive_path;
        int result;
        std::string relative;
    };
    const std::vector<sanitize_case> cases = {
        {"a/b", TAR_PATH_SAFE, "a/b"},
        {"/etc/x", TAR_PATH_SAFE, "etc/x"},
        {"./a/./b//c/", TAR_PATH_SAFE, "a/b/c"},
        {".../x", TAR_PATH_SAFE, ".../x"},
        {"..a", TAR_PATH_SAFE, "..a"},
        {"a/../b", TAR_PATH_UNSAFE, ""},
        {"x/..", TAR_PATH_UNSAFE, ""},
        {"../x", TAR_PATH_UNSAFE, ""},
        {"C:x", TAR_PATH_UNSAFE, ""},
        {"RAM:/x", TAR_PATH_UNSAFE, ""},
        {"a\\b", TAR_PATH_UNSAFE, ""},
        {".", TAR_PATH_EMPTY, ""},
        {"/", TAR_PATH_EMPTY, ""},
        {"./", TAR_PATH_EMPTY, ""},
        {"//", TAR_PATH_EMPTY, ""},
        {"", TAR_PATH_EMPTY, ""},
        {"./././", TAR_PATH_EMPTY, ""},
        {std::string(383, 'n'), TAR_PATH_SAFE, std::string(383, 'n')},
        {"/" + std::string(383, 'n'), TAR_PATH_SAFE, std::string(383, 'n')},
        {std::string(190, 'n') + "/./" + std::string(192, 'n'), TAR_PATH_SAFE,
         std::string(190, 'n') + "/" + std::string(192, 'n')},
    };
    for (const sanitize_case& c : cases) {
        char relative[TAR_PATH_BUFFER];
        int result = tar_sanitize_path(c.archive_path.c_str(), relative);
        EXPECT_EQ(result, c.result) << c.archive_path;
        if (result == TAR_PATH_SAFE) {
            EXPECT_EQ(std::string(relative), c.relative) << c.archive_path;
        }
    }
}

TEST(TarNames, JoinsDestinationAndRelativePath) {
    struct join_case {
        std::string destination, relative;
        int result;
        std::string output;
    };
    const std::vector<join_case> cases = {
        {"/tmp/out", "a/b", 0, "/tmp/out/a/b"},
        {"/tmp/out/", "a/b", 0, "/tmp/out/a/b"},
        {".", "a/b", 0, "a/b"},
        {"RAM:/out", "x", 0, "RAM:/out/x"},
        {"d", std::string(381, 'n'), 0, "d/" + std::string(381, 'n')},
        {"d", std::string(382, 'n'), -1, ""},
        {".", std::string(383, 'n'), 0, std::string(383, 'n')},
    };
    for (const join_case& c : cases) {
        char output[TAR_PATH_BUFFER];
        int result = tar_join_output_path(c.destination.c_str(), c.relative.c_str(), output);
        EXPECT_EQ(result, c.result) << c.destination << " + " << c.relative.size();
        if (result == 0) {
            EXPECT_EQ(std::string(output), c.output);
        }
    }
}

TEST(TarNames, ParsesPaxRecords) {
    struct pax_case {
        const char* name;
        std::string data;
        int result;
        std::string path;  // "" when no path record
    };
    const std::vector<pax_case> cases = {
        {"one path record", "17 path=dir/file\n", PAX_PARSE_OK, "dir/file"},
        {"later path wins", pax_record("path", "a") + pax_record("mtime", "1") + pax_record("path", "b"), PAX_PARSE_OK, "b"},
        {"other keys ignored", pax_record("linkpath", "x") + pax_record("size", "9"), PAX_PARSE_OK, ""},
        {"record without '='", "8 nokey\n" + pax_record("path", "p"), PAX_PARSE_OK, "p"},
        {"body without newline", "10 path=ab", PAX_PARSE_OK, "ab"},
        {"empty value", pax_record("path", ""), PAX_PARSE_OK, ""},
        {"key with a suffix", pax_record("pathx", "q") + pax_record("GNU.path", "q"), PAX_PARSE_OK, ""},
        {"383-byte path", pax_record("path", std::string(383, 'p')), PAX_PARSE_OK, std::string(383, 'p')},
        {"384-byte path", pax_record("path", std::string(384, 'p')), PAX_PARSE_PATH_LONG, ""},
        {"length past the data", "18 path=dir/file\n", PAX_PARSE_SYNTAX, ""},
        {"length below its digits", "2 path=x\n", PAX_PARSE_SYNTAX, ""},
        {"no digits", " path=x\n", PAX_PARSE_SYNTAX, ""},
        {"digits to the end", "1234", PAX_PARSE_SYNTAX, ""},
        {"no space after digits", "9:path=x\n", PAX_PARSE_SYNTAX, ""},
        {"huge length", "99999999999999999999 path=x\n", PAX_PARSE_SYNTAX, ""},
    };
    for (const pax_case& c : cases) {
        char path[TAR_PATH_BUFFER];
        int has_path = 0;
        int result = pax_parse_records(c.data.data(), static_cast<uint32_t>(c.data.size()), path, &has_path);
        EXPECT_EQ(result, c.result) << c.name;
        if (result == PAX_PARSE_OK) {
            EXPECT_EQ(has_path ? std::string(path) : std::string(), c.path) << c.name;
        }
    }
}

TEST(TarNames, LongNamePayloadIsReadInPiecesOf256) {
    // On a plain archive every piece the reader asks for is one read call,
    // so the count of reads shows the size of the pieces.
    struct long_name_case {
        size_t size;  // payload, its NUL included
        long reads;   // pieces kept + pieces dropped + pieces of padding
        int active;
    };
    const long_name_case cases[] = {
        {100, 1 + 0 + 2, 1}, {256, 1 + 0 + 1, 1}, {257, 2 + 0 + 1, 1}, {383, 2 + 0 + 1, 1},
        {512, 2 + 1 + 0, 0}, {700, 2 + 2 + 2, 0},
    };
    for (const long_name_case& c : cases) {
        SCOPED_TRACE(c.size);
        qortest::temp_machine machine;
        std::string payload(c.size - 1, 'n');
        payload += '\0';
        qortest::write_host_file(machine.media("a.tar"), payload + std::string((512 - c.size % 512) % 512, '\0'));
        long fd = qor::open("RAM:/a.tar", qor::O_READ);
        auto r = std::make_unique<archive_reader>();
        ASSERT_EQ(archive_reader_open(r.get(), static_cast<int>(fd)), ARCHIVE_OPEN_OK);
        tar_pending_name pending = {};
        uint32_t skipped = 0;
        hosted::call_counts_reset();
        hosted::capture_begin();
        EXPECT_EQ(tar_read_long_name(r.get(), static_cast<uint32_t>(c.size), &pending, &skipped), 0);
        hosted::capture_end();
        EXPECT_EQ(hosted::call_count(qor::SYS_READ), c.reads);
        EXPECT_EQ(pending.active, c.active);
        if (c.active) {
            EXPECT_EQ(std::string(pending.name), payload.substr(0, c.size - 1));
        }
        qor::close(static_cast<int>(fd));
    }
}
