// The extraction runner with the built extract program as a real child, a
// scripted child, the bare-name search and the in-process fall-back.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "hosted.h"
#include "install_fixture.h"
#include "qor.h"
#include "test_machine.h"

namespace {

namespace fs = std::filesystem;

using insttest::captured;
using insttest::make_archive;

constexpr const char* SUMMARY_TWO_FILES = "extract: 2 files, 0 directories, 0 skipped\n";

// Where the extract program lies in a case's machine.
enum class program_at { none, media, slot_and_media_bare, script_exit_3, unstartable };

void put_extract(const std::string& dir) {
    fs::create_directories(dir);
    fs::copy_file(EXTRACT_PROGRAM_PATH, dir + "/extract", fs::copy_options::overwrite_existing);
}

TEST(ExtractRunner, ChildOrInProcess) {
    struct runner_case {
        std::string what;
        program_at program;
        bool good_archive;
        int result;
        std::string output;
        long spawns;
        long waits;
    };
    const runner_case cases[] = {
        {"child at /binaries/extract", program_at::media, true, 0, SUMMARY_TWO_FILES, 1, 1},
        {"child by its bare name", program_at::slot_and_media_bare, true, 0, SUMMARY_TWO_FILES, 2, 1},
        {"in process", program_at::none, true, 0, SUMMARY_TWO_FILES, 2, 0},
        {"child fails", program_at::media, false, -1,
         "extract: invalid size field in tar entry\ninstall: extract failed (status=1)\n", 1, 1},
        {"child exits 3", program_at::script_exit_3, true, -1, "install: extract failed (status=3)\n", 1, 1},
        // A program the host cannot start is no child: the runner goes on to
        // the bare name (the same script) and then runs in process.
        {"unstartable program", program_at::unstartable, true, 0, SUMMARY_TWO_FILES, 2, 0},
        {"in process fails", program_at::none, false, -1,
         "extract: invalid size field in tar entry\ninstall: embedded extract failed (status=1)\n", 2, 0},
    };
    for (const runner_case& c : cases) {
        SCOPED_TRACE(c.what);
        qortest::temp_machine m({.drives = 1});
        switch (c.program) {
            case program_at::none: break;
            case program_at::media: put_extract(m.media("binaries")); break;
            case program_at::slot_and_media_bare:
                put_extract(m.media("binaries"));
                ASSERT_EQ(qor_syscall(qor::SYS_DISK_PREPARE, 0, 0, 0), 0);
                ASSERT_GE(qor_syscall(qor::SYS_DRIVE_SELECT, 0, 0, 0), 0);
                break;
            case program_at::script_exit_3:
                qortest::write_host_file(m.media("binaries/extract"), "#!/bin/sh\nexit 3\n");
                break;
            case program_at::unstartable:
                qortest::write_host_file(m.media("binaries/extract"), "#!/nonexistent/interpreter\nexit 0\n");
                break;
        }
        const bool on_slot = c.program == program_at::slot_and_media_bare;
        const std::string archive = on_slot ? m.dir() + "/pkg.tgz" : m.media("pkg.tgz");
        if (c.good_archive) {
            make_archive(archive, {{"tool", "payload"}, {"tool.txt", "notes"}});
        } else {
            qortest::write_host_file(archive, std::string(600, 'x'));
        }
        if (on_slot) m.write_drive_file(0, "pkg.tgz", qortest::read_host_file(archive));
        auto read_result = [&](const std::string& rel) {
            return on_slot ? m.read_drive_file(0, rel) : qortest::read_host_file(m.media(rel));
        };
        hosted::call_counts_reset();
        insttest::run_result r = captured([] { return pkg_extract_archive("/pkg.tgz", "/out"); });
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(hosted::call_count(qor::SYS_SPAWN), c.spawns);
        EXPECT_EQ(hosted::call_count(qor::SYS_WAITPID), c.waits);
        if (c.result == 0) {
            EXPECT_EQ(read_result("out/tool"), "payload");
            EXPECT_EQ(read_result("out/tool.txt"), "notes");
        }
    }
}

TEST(ExtractRunner, ChildThatCannotBeWaitedForFails) {
    qortest::temp_machine m;
    put_extract(m.media("binaries"));
    make_archive(m.media("pkg.tgz"), {{"tool", "payload"}});
    hosted::fault_add(qor::SYS_WAITPID, 1, -1);
    insttest::run_result r = captured([] { return pkg_extract_archive("/pkg.tgz", "/out"); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.output, "install: failed to wait for extract command\n");
}

}  // namespace
