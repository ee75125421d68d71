// Package installation without a network peer or a child program: path
// rules, the confirmation question, the file operations, the record checks
// and the package cache (unpacked in process; the machine has no extract
// program). Downloads go to a refused address and fail at once.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "hosted.h"
#include "install_fixture.h"
#include "qor.h"
#include "test_machine.h"

namespace {

using insttest::captured;
using insttest::install_named;
using insttest::make_archive;
using insttest::make_entry;
using insttest::make_index;
using insttest::sha256_of;

constexpr const char* EMBEDDED_ONE_FILE = "extract: 1 files, 0 directories, 0 skipped\n";

TEST(InstallPaths, InstallDirectoryMustBeACleanAbsolutePath) {
    struct dir_case {
        std::string given;
        int result;
        std::string dir;
    };
    const std::string longest = "/" + std::string(PKG_INSTALL_DIR_SIZE - 2, 'd');
    const dir_case cases[] = {
        {"", 0, "/binaries"},
        {"/apps", 0, "/apps"},
        {"/apps///", 0, "/apps"},
        {"/apps/tools/", 0, "/apps/tools"},
        {"/a.b/..c/...", 0, "/a.b/..c/..."},
        {longest, 0, longest},
        {"/", -1, ""},
        {"///", -1, ""},
        {"apps", -1, ""},
        {"/apps//tools", -1, ""},
        {"/apps/./tools", -1, ""},
        {"/apps/..", -1, ""},
        {"/../apps", -1, ""},
        {"/apps\\tools", -1, ""},
        {"RAM:/apps", -1, ""},
        {"/apps:x", -1, ""},
    };
    for (const dir_case& c : cases) {
        SCOPED_TRACE("install_dir '" + c.given + "'");
        package_entry e = make_entry("demo", "http://x/demo", "", c.given);
        char out[PKG_INSTALL_PATH_SIZE] = {};
        ASSERT_EQ(pkg_get_install_dir(&e, out), c.result);
        if (c.result == 0) {
            EXPECT_EQ(std::string(out), c.dir);
        }
    }
    // A field without its NUL is refused rather than read past.
    package_entry e = make_entry("demo", "http://x/demo", "");
    memset(e.install_dir, 'd', sizeof e.install_dir);
    e.install_dir[0] = '/';
    char out[PKG_INSTALL_PATH_SIZE];
    EXPECT_EQ(pkg_get_install_dir(&e, out), -1);
}

TEST(InstallPaths, InstallNameIsOneFileName) {
    struct name_case {
        std::string name;
        std::string install_name;
        int result;
        std::string out;
    };
    const std::string longest(PKG_INSTALL_NAME_SIZE - 1, 'n');
    const name_case cases[] = {
        {"demo", "", 0, "demo"},        {"demo", "tool.elf", 0, "tool.elf"}, {"demo", longest, 0, longest},
        {"demo", "bin/tool", -1, ""},   {"demo", "a\\b", -1, ""},           {"demo", "c:tool", -1, ""},
        {"demo", ".", -1, ""},          {"demo", "..", -1, ""},             {"a/b", "", -1, ""},
        {"demo", "..tool", 0, "..tool"},
    };
    for (const name_case& c : cases) {
        SCOPED_TRACE(c.name + " / '" + c.install_name + "'");
        package_entry e = make_entry(c.name, "http://x/demo", "", "/binaries", c.install_name);
        char out[PKG_INSTALL_NAME_SIZE] = {};
        ASSERT_EQ(pkg_get_install_name(&e, out), c.result);
        if (c.result == 0) {
            EXPECT_EQ(std::string(out), c.out);
        }
    }
    package_entry e = make_entry("demo", "http://x/demo", "");
    memset(e.install_name, 'n', sizeof e.install_name);
    char out[PKG_INSTALL_NAME_SIZE];
    EXPECT_EQ(pkg_get_install_name(&e, out), -1);
}

TEST(InstallPaths, SuffixIgnoresLetterCase) {
    struct suffix_case {
        const char* text;
        const char* suffix;
        int result;
    };
    const suffix_case cases[] = {
        {"http://h/a.TGZ", ".tgz", 1}, {"http://h/a.Tar.Gz", ".tar.gz", 1}, {"a.tar", ".TAR", 1},
        {"a.tar.gz.sig", ".tar.gz", 0}, {"tgz", ".tgz", 0},                 {"", "", 1},
        {"x", "", 1},                  {"", "x", 0},                        {"a.t@r", ".t`r", 0},
    };
    for (const suffix_case& c : cases) EXPECT_EQ(pkg_has_suffix_ci(c.text, c.suffix), c.result) << c.text;
    EXPECT_EQ(pkg_has_suffix_ci(nullptr, ""), 0);
}

TEST(Confirmation, ModeIsOneOnlyForExactlyOne) {
    EXPECT_EQ(package_set_confirm_mode(1), 0);
    EXPECT_EQ(package_set_confirm_mode(2), 1);
    EXPECT_EQ(package_set_confirm_mode(1), 0);
    EXPECT_EQ(package_set_confirm_mode(-1), 1);
    EXPECT_EQ(package_set_confirm_mode(0), 0);
}

TEST(Confirmation, AnswerIsYesOnlyWhenItStartsWithY) {
    struct answer_case {
        std::string input;
        int result;
        std::string left_over;  // what the question must not have consumed
    };
    const answer_case cases[] = {
        {"y\nrest", 1, "rest"}, {"Y", 1, ""},    {"n\n", 0, ""},   {"\ny\n", 0, "y\n"},
        {"", 0, ""},            {" y\n", 0, ""}, {"Yikes\r\nz", 1, "\nz"},
        // Seven bytes are kept; the rest of the line is read and dropped.
        {"yes please\nn\n", 1, "n\n"}, {"nope, y\n", 0, ""}, {"abcdefg\nrest", 0, "rest"},
        {"yyyyyyyyyy", 1, ""},
    };
    package_set_confirm_mode(0);
    for (const answer_case& c : cases) {
        SCOPED_TRACE(c.input);
        insttest::stdin_from in(c.input);
        insttest::run_result r = captured([] { return pkg_prompt_confirm("disk is odd"); });
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.output, "install: warning: disk is odd\ninstall: continue? [y/N]: ");
        char rest[32] = {};
        long n = qor::read(0, rest, sizeof rest);
        EXPECT_EQ(std::string(rest, n > 0 ? static_cast<size_t>(n) : 0), c.left_over);
    }

    {
        // A long refusal, then a second question: the second gets its own line.
        insttest::stdin_from in("no, not on this disk\ny\n");
        EXPECT_EQ(captured([] { return pkg_prompt_confirm("disk is odd"); }).result, 0);
        EXPECT_EQ(captured([] { return pkg_prompt_confirm("disk is odd"); }).result, 1);
    }

    insttest::stdin_from in("y\n");
    EXPECT_EQ(captured([] { return pkg_prompt_confirm(""); }).result, 0) << "an empty warning is never confirmed";
    package_set_confirm_mode(1);
    insttest::run_result r = captured([] { return pkg_prompt_confirm("disk is odd"); });
    package_set_confirm_mode(0);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.output, "install: warning: disk is odd (auto-accepted)\n");
}

class FileOps : public ::testing::Test {
protected:
    qortest::temp_machine machine_;
};

TEST_F(FileOps, DirectoryTestAndOneLevelMaking) {
    qortest::write_host_file(machine_.media("dir/file"), "x");
    EXPECT_EQ(pkg_path_is_directory("/dir"), 1);
    EXPECT_EQ(pkg_path_is_directory("/dir/file"), 0);
    EXPECT_EQ(pkg_path_is_directory("/missing"), 0);
    EXPECT_EQ(pkg_path_is_directory(""), 0);

    EXPECT_EQ(pkg_ensure_dir_exists("/dir"), 0);
    EXPECT_EQ(pkg_ensure_dir_exists("/dir/file"), 0) << "an existing file counts as there";
    EXPECT_EQ(pkg_ensure_dir_exists("/dir/new"), 0);
    EXPECT_EQ(pkg_path_is_directory("/dir/new"), 1);
    EXPECT_EQ(pkg_ensure_dir_exists("/a/b"), -1) << "one level only";
    EXPECT_EQ(pkg_ensure_dir_exists(""), -1);
}

TEST_F(FileOps, SizeIsCountedByReading) {
    for (size_t size : {0u, 1u, 1023u, 1024u, 1025u, 5000u}) {
        qortest::write_host_file(machine_.media("f"), std::string(size, 'q'));
        uint32_t measured = 12345;
        ASSERT_EQ(pkg_measure_file_size("/f", &measured), 0);
        EXPECT_EQ(measured, size);
    }
    uint32_t measured = 0;
    EXPECT_EQ(pkg_measure_file_size("/missing", &measured), -1);
    hosted::fault_add(qor::SYS_READ, 2, -1);
    EXPECT_EQ(pkg_measure_file_size("/f", &measured), -1);
}

TEST_F(FileOps, CopyRemovesAPartialTarget) {
    const std::string body(2500, 'c');
    qortest::write_host_file(machine_.media("src"), body);
    ASSERT_EQ(pkg_copy_file_to_path("/src", "/dst"), 0);
    EXPECT_EQ(qortest::read_host_file(machine_.media("dst")), body);

    struct fault_case {
        const char* what;
        long call;
        long use;
        long result;
    };
    const fault_case faults[] = {
        {"short second write", qor::SYS_STREAM_WRITE, 2, 100},
        {"failed read", qor::SYS_READ, 3, -1},
        {"stream not completed", qor::SYS_STREAM_END, 1, -1},
    };
    for (const fault_case& f : faults) {
        SCOPED_TRACE(f.what);
        hosted::fault_add(f.call, f.use, f.result);
        EXPECT_EQ(pkg_copy_file_to_path("/src", "/dst2"), -1);
        hosted::faults_clear();
        EXPECT_FALSE(qortest::host_path_exists(machine_.media("dst2")));
    }
    EXPECT_EQ(pkg_copy_file_to_path("/missing", "/dst3"), -1);
    EXPECT_FALSE(qortest::host_path_exists(machine_.media("dst3")));
    EXPECT_EQ(pkg_copy_file_to_path("/src", "/no-dir/dst"), -1);
}

// Installation on the media drive with nothing reachable on the network.
class OfflineInstall : public ::testing::Test {
protected:
    void SetUp() override {
        package_set_confirm_mode(0);
        insttest::refuse_downloads(machine_);
    }
    void TearDown() override { package_set_confirm_mode(0); }

    static std::string url(const std::string& file) { return insttest::refused_url(file); }
    std::string at(const std::string& rel) const { return machine_.media(rel); }

    // Puts a gzip archive with `files` at media path `rel`; its digest.
    std::string archive_at(const std::string& rel, const std::map<std::string, std::string>& files) {
        return sha256_of(make_archive(at(rel), files));
    }

    qortest::temp_machine machine_;
};

TEST_F(OfflineInstall, RecordMustMatchTheIndex) {
    const std::string digest(64, 'a');
    package_entry good = make_entry("demo", url("demo.tgz"), digest, "/binaries", "demo", 1);
    auto index = make_index({good});

    package_entry stranger = good;
    strcpy(stranger.name, "other");
    insttest::run_result r = captured([&] { return install_package(index.get(), &stranger); });
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.output, "install: package 'other' not found in index\n");

    auto differs = [&](auto change) {
        package_entry e = good;
        change(e);
        return captured([&] { return install_package(index.get(), &e); });
    };
    for (auto change : {+[](package_entry& e) { strcpy(e.version, "2"); },
                        +[](package_entry& e) { strcpy(e.url, "http://refused.test:9/x.tgz"); },
                        +[](package_entry& e) { e.sha256[0] = 'A'; },
                        +[](package_entry& e) { strcpy(e.install_dir, "/apps"); },
                        +[](package_entry& e) { strcpy(e.install_name, "d"); },
                        +[](package_entry& e) { e.system = 0; }}) {
        insttest::run_result m = differs(change);
        EXPECT_EQ(m.result, -1);
        EXPECT_EQ(m.output, "install: package metadata mismatch for demo\n");
    }
    package_entry deps_differ = good;
    deps_differ.dep_count = 1;
    strcpy(deps_differ.deps[0], "zlib");
    EXPECT_NE(captured([&] { return install_package(index.get(), &deps_differ); }).output,
              "install: package metadata mismatch for demo\n")
        << "dependencies are not compared";

    EXPECT_EQ(captured([&] { return install_package(nullptr, &good); }).output, "");
    EXPECT_EQ(captured([&] { return install_package(index.get(), nullptr); }).result, -1);
}

TEST_F(OfflineInstall, BadDigestTextOrPathsAreRefusedBeforeAnythingIsMade) {
    struct refuse_case {
        package_entry entry;
        std::string output;
    };
    const std::string digest(64, 'b');
    const refuse_case cases[] = {
        {make_entry("short", url("s.tgz"), digest.substr(1)), "install: invalid sha256 for short\n"},
        {make_entry("dotdir", url("d.tgz"), digest, "/apps/../binaries"), "install: output path too long for dotdir\n"},
        {make_entry("colon", url("c.tgz"), digest, "RAM:/binaries"), "install: output path too long for colon\n"},
        {make_entry("slashname", url("n.tgz"), digest, "/binaries", "sub/tool"),
         "install: output path too long for slashname\n"},
        // The package name also names the cached and temporary archives.
        {make_entry("../escape", url("e.tgz"), digest, "/binaries", "tool"),
         "install: output path too long for ../escape\n"},
    };
    for (const refuse_case& c : cases) {
        SCOPED_TRACE(c.entry.name);
        auto index = make_index({c.entry});
        insttest::run_result r = install_named(*index, c.entry.name);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.output, c.output);
    }
    EXPECT_FALSE(qortest::host_path_exists(at("binaries")));
    EXPECT_FALSE(qortest::host_path_exists(at("tmp")));
}

TEST_F(OfflineInstall, InstallDirectoryRules) {
    const std::string digest = archive_at("cache/pkg/tool.pkg", {{"tool", "payload"}});
    qortest::write_host_file(at("plainfile"), "x");
    struct dir_case {
        std::string install_dir;
        int mode;
        const char* answer;
        int result;
        std::string output;  // before the unpacking, when it succeeds
    };
    const dir_case cases[] = {
        {"/binaries", 0, "", 0, ""},
        {"/plainfile", 1, "", -1, "install: target path is not a directory: /plainfile\n"},
        {"/apps", 0, "n\n", -1,
         "install: warning: target directory '/apps' does not exist and will be created\n"
         "install: continue? [y/N]: install: cancelled by user\n"},
        {"/opt/tools", 0, "\n", -1,
         "install: warning: target directory '/opt/tools' is not first-level\n"
         "install: continue? [y/N]: install: cancelled by user\n"},
        {"/opt/tools", 0, "y\ny\n", 0,
         "install: warning: target directory '/opt/tools' is not first-level\n"
         "install: continue? [y/N]: "
         "install: warning: target directory '/opt/tools' does not exist and will be created\n"
         "install: continue? [y/N]: "},
        {"/deep/er/still", 1, "", 0,
         "install: warning: target directory '/deep/er/still' is not first-level (auto-accepted)\n"
         "install: warning: target directory '/deep/er/still' does not exist and will be created "
         "(auto-accepted)\n"},
    };
    qortest::write_host_file(at("binaries/.keep"), "");
    const std::string installed = std::string(EMBEDDED_ONE_FILE) + "install: using cached package for tool\n" +
                                  "install: installed tool@1.0 (7 bytes)\n";
    for (const dir_case& c : cases) {
        SCOPED_TRACE(c.install_dir);
        package_entry e = make_entry("tool", url("tool.tgz"), digest, c.install_dir, "tool", 1);
        auto index = make_index({e});
        package_set_confirm_mode(c.mode);
        insttest::stdin_from in(c.answer);
        insttest::run_result r = install_named(*index, "tool");
        ASSERT_EQ(r.result, c.result) << r.output;
        const std::string host_dir = at(c.install_dir.substr(1));
        if (c.result == 0) {
            EXPECT_EQ(r.output, c.output + installed);
            EXPECT_EQ(qortest::read_host_file(host_dir + "/tool"), "payload");
        } else {
            EXPECT_EQ(r.output, c.output);
            EXPECT_EQ(qortest::host_path_exists(host_dir), c.install_dir == "/plainfile") << "nothing made";
        }
    }
}

TEST_F(OfflineInstall, MatchingCachedArchiveNeedsNoNetwork) {
    const std::string digest = archive_at("cache/pkg/tool.pkg", {{"tool", "payload!"}});
    std::string upper = digest;
    for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    auto index = make_index({make_entry("tool", url("tool.TAR.GZ"), upper, "/binaries", "tool", 1)});
    qortest::write_host_file(at("binaries/.keep"), "");
    hosted::call_counts_reset();
    insttest::run_result r = install_named(*index, "tool");
    ASSERT_EQ(r.result, 0) << r.output;
    EXPECT_EQ(r.output, std::string(EMBEDDED_ONE_FILE) +
                            "install: using cached package for tool\ninstall: installed tool@1.0 (8 bytes)\n");
    EXPECT_EQ(hosted::call_count(qor::SYS_TCP_CONNECT), 0);
    EXPECT_EQ(hosted::call_count(qor::SYS_NET_RESOLVE), 0);
    EXPECT_TRUE(qortest::host_path_exists(at("cache/pkg/tool.pkg"))) << "the cache keeps its archives";
}

TEST_F(OfflineInstall, CacheFailuresFallBackToTheNetwork) {
    qortest::write_host_file(at("binaries/.keep"), "");
    struct fallback_case {
        std::string what;
        std::string name;
        std::map<std::string, std::string> cached;  // empty: no cached archive
        bool digest_matches;
        std::string install_name;
        bool system;
        std::string message;  // what the cache says before the network is tried
    };
    const std::string name28(28, 'p');
    const fallback_case cases[] = {
        {"digest differs", "tool", {{"tool", "x"}}, false, "tool", true,
         "install: cached archive checksum mismatch for tool; using network\n"},
        {"payload missing", "tool", {{"other", "x"}}, true, "tool", true,
         "install: cached archive missing payload for tool; using network\n"},
        // In the cache, a payload under the package name does not count.
        {"payload under the package name", "tool", {{"tool", "x"}}, true, "tool.elf", true,
         "install: cached archive missing payload for tool; using network\n"},
        {"not a system package", "tool", {{"tool", "x"}}, true, "tool", false, ""},
        {"cache file name over 31 characters", name28, {{name28, "x"}}, true, name28, true, ""},
        {"nothing cached, nothing on the media", "tool", {}, true, "tool", true, ""},
    };
    for (const fallback_case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string cached_rel = "cache/pkg/" + c.name + ".pkg";
        std::string digest(64, '0');
        std::string before;
        if (!c.cached.empty()) {
            std::string actual = archive_at(cached_rel, c.cached);
            if (c.digest_matches) digest = actual;
            before = qortest::read_host_file(at(cached_rel));
        }
        auto index =
            make_index({make_entry(c.name, url(c.name + ".tgz"), digest, "/binaries", c.install_name, c.system)});
        insttest::run_result r = install_named(*index, c.name);
        EXPECT_EQ(r.result, -1);
        const std::string tail = "install: download failed for " + c.name + "\n";
        ASSERT_GE(r.output.size(), tail.size()) << r.output;
        EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail);
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("using cached package"), std::string::npos) << r.output;
        if (!c.cached.empty()) {
            EXPECT_EQ(qortest::read_host_file(at(cached_rel)), before) << "the cache is left alone";
        }
        EXPECT_FALSE(qortest::host_path_exists(at("tmp/install-" + c.name + ".pkg")));
        std::filesystem::remove_all(at("cache"));
        std::filesystem::remove_all(at("binaries/tool"));
    }

    // A cached archive that opens but cannot be read.
    std::filesystem::create_directories(at("cache/pkg/tool.pkg"));
    auto index = make_index({make_entry("tool", url("tool.tgz"), std::string(64, '0'), "/binaries", "tool", 1)});
    insttest::run_result r = install_named(*index, "tool");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.output.rfind("install: failed to hash cached archive for tool\n", 0), 0u) << r.output;
}

TEST_F(OfflineInstall, CacheFileNameOfThirtyOneCharactersIsUsed) {
    const std::string name27(27, 'q');
    const std::string digest = archive_at("cache/pkg/" + name27 + ".pkg", {{name27, "edge"}});
    qortest::write_host_file(at("binaries/.keep"), "");
    auto index = make_index({make_entry(name27, url(name27 + ".tar.gz"), digest, "/binaries", name27, 1)});
    insttest::run_result r = install_named(*index, name27);
    EXPECT_EQ(r.result, 0) << r.output;
    EXPECT_EQ(qortest::read_host_file(at("binaries/" + name27)), "edge");
}

TEST_F(OfflineInstall, MediaArchiveSeedsTheCache) {
    const std::string digest = archive_at("installer/pkg/tool.pkg", {{"tool", "seeded"}});
    const std::string media_bytes = qortest::read_host_file(at("installer/pkg/tool.pkg"));
    qortest::write_host_file(at("binaries/.keep"), "");
    auto index = make_index({make_entry("tool", url("tool.tgz"), digest, "/binaries", "tool", 1)});

    // A copy that fails part-way leaves no cached archive behind.
    hosted::fault_add(qor::SYS_STREAM_END, 1, -1);
    insttest::run_result failed = install_named(*index, "tool");
    hosted::faults_clear();
    EXPECT_EQ(failed.result, -1);
    EXPECT_EQ(failed.output.rfind("install: failed to seed tool from installer media\n", 0), 0u) << failed.output;
    EXPECT_FALSE(qortest::host_path_exists(at("cache/pkg/tool.pkg")));

    insttest::run_result r = install_named(*index, "tool");
    ASSERT_EQ(r.result, 0) << r.output;
    EXPECT_EQ(r.output, "install: seeded cached archive for tool from installer media\n" +
                            std::string(EMBEDDED_ONE_FILE) +
                            "install: using cached package for tool\ninstall: installed tool@1.0 (6 bytes)\n");
    EXPECT_EQ(qortest::read_host_file(at("cache/pkg/tool.pkg")), media_bytes);
    EXPECT_EQ(qortest::read_host_file(at("binaries/tool")), "seeded");

    // A corrupt archive that still matches its digest cannot be unpacked.
    qortest::write_host_file(at("cache/pkg/bad.pkg"), "not an archive at all");
    const std::string bad_digest = sha256_of("not an archive at all");
    auto bad = make_index({make_entry("bad", url("bad.tgz"), bad_digest, "/binaries", "bad", 1)});
    insttest::run_result b = install_named(*bad, "bad");
    EXPECT_EQ(b.result, -1);
    EXPECT_NE(b.output.find("extract: failed to read tar header\n"
                            "install: cached archive extraction failed for bad; using network\n"),
              std::string::npos)
        << b.output;
}

}  // namespace
