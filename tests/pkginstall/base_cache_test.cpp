// The local base cache is tried at most once per process, so each scenario
// runs in a forked child of its own (a death-test child that exits 0 when
// every check held, else prints the failed checks and exits 1). The
// scenario's machine is gone before the child exits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "hosted.h"
#include "install_fixture.h"
#include "test_machine.h"

namespace {

using insttest::install_named;
using insttest::make_archive;
using insttest::make_entry;
using insttest::make_index;
using insttest::refused_url;
using insttest::sha256_of;

// Collects failed checks inside the child.
struct checks {
    std::string failed;
    void equal(const std::string& what, const std::string& got, const std::string& want) {
        if (got != want) failed += what + ":\n  got:  [" + got + "]\n  want: [" + want + "]\n";
    }
    void contains(const std::string& text, const std::string& part) {
        if (text.find(part) == std::string::npos) failed += "missing [" + part + "] in [" + text + "]\n";
    }
};

// Ends the child: 0 when nothing failed, else 1 after printing the failures.
[[noreturn]] void exit_with(const std::string& failed) {
    fputs(failed.c_str(), stderr);
    fflush(stderr);
    _exit(failed.empty() ? 0 : 1);
}

std::string url(const std::string& name) { return refused_url(name + ".tgz"); }

// Two packages in the base cache, a third in neither cache: the base cache
// is unpacked for the first, reused by the second and not tried again for
// the third.
std::string unpacked_once_per_run() {
    qortest::temp_machine m;
    insttest::refuse_downloads(m);
    qortest::temp_dir work("base");
    const std::string alpha = make_archive(work.path() + "/alpha.pkg", {{"alpha", "AAAA"}});
    const std::string beta = make_archive(work.path() + "/beta.pkg", {{"beta", "BB"}});
    const std::string a = sha256_of(alpha);
    const std::string b = sha256_of(beta);
    // A plain tar of the two cached archives; make_archive throws (and the
    // child fails) when tar does.
    make_archive(m.media("cache/base.pkg"), {{"alpha.pkg", alpha}, {"beta.pkg", beta}}, false);
    checks c;
    qortest::write_host_file(m.media("binaries/.keep"), "");
    auto index = make_index({make_entry("alpha", url("alpha"), a, "/binaries", "alpha", 1),
                             make_entry("beta", url("beta"), b, "/binaries", "beta", 1),
                             make_entry("gamma", url("gamma"), std::string(64, 'c'), "/binaries", "gamma", 1)});
    insttest::run_result first = install_named(*index, "alpha");
    c.equal("alpha", first.output,
            "install: unpacking local base cache ...\n"
            "extract: 2 files, 0 directories, 0 skipped\n"
            "extract: 1 files, 0 directories, 0 skipped\n"
            "install: using cached package for alpha\n"
            "install: installed alpha@1.0 (4 bytes)\n");
    insttest::run_result second = install_named(*index, "beta");
    c.equal("beta", second.output,
            "extract: 1 files, 0 directories, 0 skipped\n"
            "install: using cached package for beta\n"
            "install: installed beta@1.0 (2 bytes)\n");
    c.equal("beta payload", qortest::read_host_file(m.media("binaries/beta")), "BB");

    // The base cache is still there, yet a package it lacks does not bring
    // about a second unpacking.
    hosted::call_counts_reset();
    insttest::run_result third = install_named(*index, "gamma");
    c.equal("gamma result", std::to_string(third.result), "-1");
    if (third.output.find("unpacking") != std::string::npos) c.failed += "gamma unpacked again: " + third.output;
    return c.failed;
}

// A base cache that does not unpack is reported, and the package goes to
// the network.
std::string broken_base_cache_falls_through() {
    qortest::temp_machine m;
    insttest::refuse_downloads(m);
    qortest::write_host_file(m.media("cache/base.pkg"), "garbage, not a tar archive at all");
    qortest::write_host_file(m.media("binaries/.keep"), "");
    auto index = make_index({make_entry("alpha", url("alpha"), std::string(64, 'a'), "/binaries", "alpha", 1)});
    checks c;
    insttest::run_result r = install_named(*index, "alpha");
    c.equal("result", std::to_string(r.result), "-1");
    c.contains(r.output, "install: unpacking local base cache ...\n");
    c.contains(r.output,
               "install: embedded extract failed (status=1)\n"
               "install: failed to unpack local base cache; falling back to per-package media cache\n");
    c.contains(r.output, "install: download failed for alpha\n");
    return c.failed;
}

TEST(BaseCache, UnpackedOncePerRun) {
    EXPECT_EXIT(exit_with(unpacked_once_per_run()), ::testing::ExitedWithCode(0), "");
}

TEST(BaseCache, BrokenBaseCacheFallsThroughToTheNetwork) {
    EXPECT_EXIT(exit_with(broken_base_cache_falls_through()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
