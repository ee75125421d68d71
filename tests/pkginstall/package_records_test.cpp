// The package records on a real drive, through the install command in
// process: records that check after installs, skipping what is installed,
// the list columns, removal with its dependents rule, conflicts, upgrade,
// the check, records edited by hand, and runs killed at their calls.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "hosted.h"
#include "install_command.h"
#include "install_fixture.h"
#include "install_run.h"
#include "qor_calls.h"
#include "qor_syscall.h"
#include "test_machine.h"

namespace {

namespace fs = std::filesystem;

struct package_spec {
    std::string name, version, dir, install_name, deps;  // deps: JSON array text
    std::map<std::string, std::string> files;
};

// base puts a shared directory under /multi; tool needs it; clash would
// write over base's file; base 2.0 drops share/b.txt and needs extra.
const package_spec BASE = {"base", "1.0", "/multi", "base", "[]",
                           {{"base", "base 1"}, {"share/a.txt", "a"}, {"share/b.txt", "b"}}};
const package_spec TOOL = {"tool", "1.0", "/binaries", "tool", "[\"base\"]", {{"tool", "tool"}}};
const package_spec CLASH = {"clash", "1.0", "/multi", "clash", "[]", {{"clash", "c"}, {"share/a.txt", "mine"}}};
const package_spec BASE2 = {"base", "2.0", "/multi", "base", "[\"extra\"]", {{"base", "base 2"}, {"share/a.txt", "a2"}}};
const package_spec EXTRA = {"extra", "1.0", "/lib", "extra.txt", "[]", {{"extra.txt", "x"}}};

using insttest::command_result;
using insttest::run_install;

::testing::AssertionResult has(const std::string& output, const std::string& text) {
    if (output.find(text) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << text << "\" in:\n" << output;
}

class PackageRecords : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(qor_syscall(qor::SYS_DISK_PREPARE, 0, 0, 0), 0);
        ASSERT_EQ(qor_syscall(qor::SYS_DRIVE_SELECT, 0, 0, 0), 0);
        insttest::refuse_downloads(machine_);
        offer({BASE, TOOL, CLASH, EXTRA});
    }
    // Makes `packages` the index, their archives in the drive's cache.
    void offer(const std::vector<package_spec>& packages) {
        std::string index = "{\"packages\":[";
        for (const package_spec& p : packages) {
            std::string archive = insttest::make_archive(work_.path() + "/" + p.name + "-" + p.version + ".tgz", p.files);
            machine_.write_drive_file(0, "cache/pkg/" + p.name + ".pkg", archive);
            if (index.back() != '[') index += ",";
            index += "{\"name\":\"" + p.name + "\",\"version\":\"" + p.version + "\",\"url\":\"" +
                     insttest::refused_url(p.name + ".tgz") + "\",\"sha256\":\"" + insttest::sha256_of(archive) +
                     "\",\"install_dir\":\"" + p.dir + "\",\"install_name\":\"" + p.install_name +
                     "\",\"deps\":" + p.deps + ",\"system\":true}";
        }
        machine_.write_drive_file(0, "cache/index.json", index + "]}");
    }
    std::string drive(const std::string& rel) const { return machine_.read_drive_file(0, rel); }
    bool on_drive(const std::string& rel) const { return machine_.drive_path_exists(0, rel); }
    // Every file under the install directories the packages use.
    std::map<std::string, std::string> package_files() const {
        std::map<std::string, std::string> out;
        for (auto& [path, bytes] : machine_.drive_tree(0))
            for (const char* dir : {"multi/", "binaries/", "lib/"})
                if (path.rfind(dir, 0) == 0) out[path] = bytes;
        return out;
    }

    qortest::temp_machine machine_{qortest::machine_options{1}};
    qortest::temp_dir work_{"records"};
};

TEST_F(PackageRecords, InstallsLeaveRecordsThatCheckAndAreSkippedNextTime) {
    command_result r = run_install({"-y", "tool"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(has(r.output, "install: no package records on this drive\n"));
    const std::string record = drive("records/base.rec");
    EXPECT_EQ(record.rfind("qor-package-record 1\nname base\nversion 1.0\ndir /multi\ninstall-name base\n", 0), 0u)
        << record;
    for (const std::string& line : std::vector<std::string>{"f 6 " + insttest::sha256_of("base 1") + " base\n", std::string("d share\n"),
                                   "f 1 " + insttest::sha256_of("b") + " share/b.txt\n"})
        EXPECT_TRUE(has(record, line));
    EXPECT_TRUE(has(drive("records/tool.rec"), "dep base\n"));

    r = run_install({"-c"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "install: 2 checked, 0 files missing or changed, 0 records bad\n");
    r = run_install({"-i"});
    EXPECT_TRUE(has(r.output, "base                     1.0\n"));
    EXPECT_TRUE(has(r.output, "tool                     1.0\n"));
    r = run_install({"-l"});
    EXPECT_TRUE(has(r.output, "base                     1.0          1.0          yes    /multi\n"));
    EXPECT_TRUE(has(r.output, "clash                    1.0          -            yes    /multi\n"));

    // Installed at the index's version: nothing is unpacked again, -f does.
    hosted::call_counts_reset();
    r = run_install({"-y", "tool"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "install: base@1.0 is already installed\ninstall: tool@1.0 is already installed\n"
                        "install: 1 installed, 0 failed\n");
    EXPECT_EQ(hosted::call_count(qor::SYS_STREAM_BEGIN), 0);
    r = run_install({"-y", "-f", "base"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.output, "install: installed base@1.0 (6 bytes)\n"));
    EXPECT_EQ(run_install({"-c"}).status, 0);
}

TEST_F(PackageRecords, RemoveKeepsWhatOthersNeed) {
    ASSERT_EQ(run_install({"-y", "tool"}).status, 0);
    struct remove_case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> lines;
        std::vector<std::string> present, absent;
    };
    const remove_case cases[] = {
        {{"-r", "base"}, 1, {"install: base is needed by tool\n", "install: 0 removed, 1 failed\n"}, {"multi/base"}, {}},
        {{"-r", "-n", "tool", "base"}, 0, {"install: would remove /binaries/tool\n", "install: would remove /multi/share/a.txt\n"},
         {"binaries/tool", "multi/base"}, {}},
        {{"-r", "nosuch"}, 1, {"install: nosuch is not installed\n"}, {}, {}},
        {{"-r", "base", "tool"}, 0, {"install: removed tool@1.0\n", "install: removed base@1.0\n", "install: 2 removed, 0 failed\n"},
         {"multi", "binaries"}, {"binaries/tool", "multi/base", "multi/share", "records/base.rec", "records/tool.rec"}},
    };
    for (const remove_case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        command_result r = run_install(c.args);
        EXPECT_EQ(r.status, c.status) << r.output;
        for (const std::string& l : c.lines) EXPECT_TRUE(has(r.output, l));
        for (const std::string& p : c.present) EXPECT_TRUE(on_drive(p)) << p;
        for (const std::string& p : c.absent) EXPECT_FALSE(on_drive(p)) << p;
    }
    EXPECT_EQ(run_install({"-c"}).output, "install: 0 checked, 0 files missing or changed, 0 records bad\n");
    std::string report;
    EXPECT_EQ(machine_.check_drive(0, &report), 0) << report;
}

TEST_F(PackageRecords, AFileOfAnotherPackageIsNeverWrittenOver) {
    // What no record owns (as the installer seeds it) is written over.
    machine_.write_drive_file(0, "multi/share/a.txt", "seeded");
    ASSERT_EQ(run_install({"-y", "base"}).status, 0);
    EXPECT_EQ(drive("multi/share/a.txt"), "a");
    command_result r = run_install({"-y", "clash"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.output, "install: clash: /multi/share/a.txt belongs to base\n"));
    EXPECT_FALSE(on_drive("multi/clash"));
    EXPECT_FALSE(on_drive("records/clash.rec"));
    EXPECT_EQ(drive("multi/share/a.txt"), "a");
    EXPECT_EQ(run_install({"-c"}).status, 0);
}

TEST_F(PackageRecords, UpgradeBringsNewDependenciesAndDropsWhatTheNewVersionLacks) {
    ASSERT_EQ(run_install({"-y", "tool"}).status, 0);
    offer({BASE2, TOOL, EXTRA});
    command_result r = run_install({"-l"});
    EXPECT_TRUE(has(r.output, "base                     2.0          1.0*"));
    r = run_install({"-u", "-n"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.output, "install: upgrade base: 1.0 -> extra@1.0 base@2.0\n"));
    EXPECT_EQ(drive("multi/base"), "base 1");
    r = run_install({"-u", "-y"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(has(r.output, "install: installed extra@1.0"));
    EXPECT_TRUE(has(r.output, "install: 1 upgraded, 0 failed\n"));
    EXPECT_LT(r.output.find("installed extra@1.0"), r.output.find("installed base@2.0"));
    EXPECT_EQ(drive("multi/base"), "base 2");
    EXPECT_FALSE(on_drive("multi/share/b.txt"));
    EXPECT_EQ(run_install({"-c"}).status, 0);
    EXPECT_TRUE(has(run_install({"-u", "base"}).output, "install: base@2.0 is up to date\n"));
}

TEST_F(PackageRecords, CheckNamesMissingAndChangedFiles) {
    ASSERT_EQ(run_install({"-y", "tool"}).status, 0);
    machine_.write_drive_file(0, "multi/share/a.txt", "edited");
    machine_.remove_drive_path(0, "binaries/tool");
    command_result r = run_install({"-c"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.output, "install: base: changed /multi/share/a.txt\n"));
    EXPECT_TRUE(has(r.output, "install: tool: missing /binaries/tool\n"));
    EXPECT_TRUE(has(r.output, "install: 2 checked, 2 files missing or changed, 0 records bad\n"));
    EXPECT_EQ(run_install({"-c", "base"}).status, 1);
}

// A record that does not check is reported with its file name and not taken
// as installed; nothing is removed or written because of what it says.
TEST_F(PackageRecords, RecordsEditedByHand) {
    ASSERT_EQ(run_install({"-y", "base"}).status, 0);
    const std::string good = drive("records/base.rec");
    const std::string body = good.substr(0, good.rfind("end "));
    auto sealed = [](const std::string& text) { return text + "end " + insttest::sha256_of(text) + "\n"; };
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string t = body;
        t.replace(t.find(from), from.size(), to);
        return sealed(t);
    };
    struct bad_case {
        std::string what, file, bytes, reason;
    };
    const bad_case cases[] = {
        {"garbage", "base.rec", "\x01\x02 garbage\n", "not a package record"},
        {"cut short", "base.rec", good.substr(0, good.size() / 2), "cut short"},
        {"edited without its check", "base.rec", body + "f 1 " + std::string(64, 'a') + " x\nend " + std::string(64, '0') + "\n",
         "its check does not match"},
        {"a path with ..", "base.rec", replaced(" share/a.txt\n", " ../binaries/install\n"), "path not inside its directory"},
        {"an absolute path", "base.rec", replaced(" share/a.txt\n", " /binaries/install\n"), "path not inside its directory"},
        {"a name over its limits", "base.rec", replaced("name base\n", "name " + std::string(60, 'n') + "\n"), "bad name"},
        {"two records claim a path", "other.rec",
         sealed("qor-package-record 1\nname other\nversion 1\ndir /multi\ninstall-name o\narchive " +
                std::string(64, 'b') + "\nf 1 " + std::string(64, 'c') + " share/a.txt\n"),
         "claims /multi/share/a.txt"},
    };
    const auto files_before = package_files();
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.what);
        machine_.write_drive_file(0, "records/" + c.file, c.bytes);
        command_result r = run_install({"-i"});
        EXPECT_TRUE(has(r.output, "install: interrupted change in /records/" + c.file + ": " + c.reason));
        EXPECT_FALSE(has(r.output, "base                     1.0"));
        r = run_install({"-r", "base"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(run_install({"-c"}).status, 1);
        EXPECT_EQ(package_files(), files_before);
        if (c.file != "base.rec") machine_.remove_drive_path(0, "records/" + c.file);
        machine_.write_drive_file(0, "records/base.rec", good);
    }
    EXPECT_EQ(run_install({"-c"}).status, 0);
}

// The install command killed at each use of the calls that change the drive:
// the next run explains and repairs, after which every record checks and no
// file a package put down is left without a record.
TEST_F(PackageRecords, KilledAtEveryWriteTheNextRunRepairs) {
    ASSERT_EQ(run_install({"-y", "base"}).status, 0);
    offer({BASE2, TOOL, EXTRA});
    hosted::drives_sync();
    const std::string image = machine_.image(0);
    const std::string saved = work_.path() + "/saved.img";
    fs::copy_file(image, saved);
    struct scenario {
        std::vector<std::string> args;
    };
    const scenario scenarios[] = {{{"-y", "tool"}}, {{"-u", "-y"}}, {{"-r", "base"}}};
    int interrupted = 0;
    for (const scenario& s : scenarios) {
        for (long call : {long(qor::SYS_STREAM_WRITE), long(qor::SYS_STREAM_END), long(qor::SYS_UNLINK)}) {
            for (long use = 1;; ++use) {
                SCOPED_TRACE(testing::PrintToString(s.args) + " call " + std::to_string(call) + " use " +
                             std::to_string(use));
                hosted::drives_sync();
                fs::copy_file(saved, image, fs::copy_options::overwrite_existing);
                pid_t child = fork();
                if (child == 0) {
                    hosted::fault_add_kill(call, use);
                    run_install(s.args);
                    hosted::drives_sync();
                    _exit(0);  // the kill never came: the run made fewer such calls
                }
                int status = 0;
                waitpid(child, &status, 0);
                ASSERT_TRUE(WIFEXITED(status));
                if (WEXITSTATUS(status) == 0) break;
                ASSERT_EQ(WEXITSTATUS(status), hosted::KILLED_STATUS);
                std::string report;
                ASSERT_EQ(machine_.check_drive(0, &report), 0) << report;
                command_result next = run_install({"-c"});
                if (next.output.find("interrupted") != std::string::npos) {
                    EXPECT_TRUE(has(next.output, "install: interrupted"));
                    ++interrupted;
                }
                EXPECT_EQ(next.status, 0) << next.output;
                EXPECT_FALSE(on_drive("records/base.int") || on_drive("records/tool.int") ||
                             on_drive("records/extra.int"));
                // Every package file is named by a record.
                std::string records;
                for (const char* r : {"records/base.rec", "records/tool.rec", "records/extra.rec"})
                    if (on_drive(r)) records += drive(r);
                for (auto& [path, bytes] : package_files()) {
                    if (bytes == "/") continue;
                    std::string rel = path.substr(path.find('/') + 1);
                    EXPECT_TRUE(has(records, " " + rel + "\n")) << path;
                }
            }
        }
    }
    EXPECT_GT(interrupted, 20);
}

}  // namespace
