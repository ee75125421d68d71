// The installation sequence's seeding: which rows run for which options,
// the step count, optional media items, and every refusal. The package
// index on these media never loads (and the network is out of reach), so
// each run ends right after seeding, at the package phase's first step.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>

#include "install_options.h"
#include "install_phases.h"
#include "installer_fixture.h"

namespace qortest {
namespace {

constexpr const char* FONTS[] = {"a.psf", "b.psf", "c.psf", "d.psf", "e.psf"};
constexpr const char* INDEX_NOT_LOADED = "Failed to load package index";

class sequence_test : public window_fixture {
protected:
    void SetUp() override {
        window_fixture::SetUp();
        hosted::skip_sleeps(true);
        fresh();
    }
    void TearDown() override {
        hosted::skip_sleeps(false);
        window_fixture::TearDown();
    }
    // Complete media, an empty prepared target, the state as the wizard
    // leaves it before the sequence, and no network.
    void fresh() {
        std::filesystem::remove_all(machine.media(""));
        write_complete_media(machine);
        write_host_file(machine.media("boot/kernel.bin"), "kernel");
        write_host_file(machine.media("installer/index.json"), "not an index");
        write_host_file(machine.media("installer/base.pkg"), "base cache");
        write_host_file(machine.media("config/desktop/panel.conf"), "panel");
        for (const char* tree : {"icons", "icons16"}) write_host_file(machine.media(tree) + "/term.icon", tree);
        for (const char* font : FONTS) write_host_file(machine.media("fonts/") + font, font);
        write_host_file(machine.media("programs/chibicc"), "cc");
        select_prepared_drive(0);
        installer_state_init(&state);
        state.step = STEP_INSTALL;
        hosted::faults_clear();
        hosted::fault_add(qor::SYS_NET_RESOLVE, 1, -1, -1);
    }
    int run() {
        return run_captured(&output, [&] { return install_from_package_manifest(&state); });
    }
    bool on_target(const std::string& rel) { return machine.drive_path_exists(0, rel); }
    // The installer's error lines, without the package core's lines.
    std::string error_lines() {
        std::string lines, line;
        std::istringstream in(output);
        while (std::getline(in, line))
            if (line.rfind("[installer]", 0) == 0) lines += line + "\n";
        return lines;
    }
    std::string output;
};

TEST_F(sequence_test, seeding_rows_follow_the_options_and_count_one_step_each) {
    struct {
        const char* name;
        bool icons, fonts, compiler, index_on_media;
        std::vector<int> fonts_selected;
        int32_t steps;
        bool trust = false;  // the index's signature, the keys and the mirrors on the media
    } cases[] = {
        {"everything off, no index or base cache", false, false, false, false, {}, 10},
        {"icons", true, false, false, true, {}, 12},
        {"three fonts of five and the compiler", false, true, true, true, {0, 2, 4}, 14},
        {"everything on", true, true, true, true, {1}, 14},
        {"a signed media with mirrors", false, false, false, true, {}, 13, true},
    };
    for (auto& c : cases) {
        fresh();
        if (!c.index_on_media) {
            std::filesystem::remove(machine.media("installer/index.json"));
            std::filesystem::remove(machine.media("installer/base.pkg"));
        }
        if (c.trust)
            for (const char* file : {"index.json.sig", "trusted-keys.pem", "repositories"})
                write_host_file(machine.media("installer/") + file, file);
        ASSERT_EQ(installer_prepare_options(&state), 0);
        state.seed_icons = c.icons;
        state.seed_fonts = c.fonts;
        state.seed_chibicc = c.compiler;
        memset(state.font_selected, 0, sizeof state.font_selected);
        for (int f : c.fonts_selected) state.font_selected[f] = 1;

        EXPECT_EQ(run(), -1) << c.name;
        EXPECT_STREQ(state.error_text, INDEX_NOT_LOADED) << c.name << "\n" << output;
        EXPECT_EQ(state.progress_total, c.steps) << c.name;
        EXPECT_EQ(state.progress_done, c.steps) << c.name;
        for (const char* always : {"binaries/install", "binaries/extract", "binaries/installer", "boot/kernel.bin",
                                   "cache/base.manifest", "etc/resolv.conf", "config/desktop/panel.conf",
                                   ".view/.keep", "cache/pkg"})
            EXPECT_TRUE(on_target(always)) << c.name << ": " << always;
        EXPECT_EQ(on_target("cache/index.json"), c.index_on_media) << c.name;
        EXPECT_EQ(on_target("cache/base.pkg"), c.index_on_media) << c.name;
        for (const char* file : {"cache/index.json.sig", "cache/trusted-keys.pem", "cache/repositories"})
            EXPECT_EQ(on_target(file), c.trust) << c.name << ": " << file;
        EXPECT_EQ(on_target("icons/term.icon") && on_target("icons16/term.icon"), c.icons) << c.name;
        EXPECT_EQ(on_target("binaries/chibicc"), c.compiler) << c.name;
        for (int f = 0; f < 5; ++f) {
            bool wanted = c.fonts && std::count(c.fonts_selected.begin(), c.fonts_selected.end(), f) > 0;
            EXPECT_EQ(on_target(std::string("fonts/") + FONTS[f]), wanted) << c.name << ": " << FONTS[f];
        }
    }
}

// An optional media file is skipped only when its directory does not list
// it; one that is there but does not open is not quietly left off the drive.
TEST_F(sequence_test, an_optional_file_that_is_listed_but_does_not_open_fails_its_copy) {
    std::filesystem::remove(machine.media("installer/index.json"));
    ASSERT_EQ(mkfifo(machine.media("installer/index.json").c_str(), 0644), 0);
    ASSERT_EQ(installer_prepare_options(&state), 0);
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(error_lines(), "[installer] error: Copy source open failed: RAM:/installer/index.json\n") << output;
    EXPECT_FALSE(on_target("cache/index.json"));
}

// What a refusal case changes before the sequence runs.
struct setting {
    const temp_machine& machine;
    installer_state* state;
};

TEST_F(sequence_test, refusals_stop_the_sequence_with_their_own_message) {
    struct {
        const char* message;
        std::function<void(const setting&)> arrange;
        const char* copied_before;  // on the target when the sequence stops
        const char* not_copied;     // the row after the stop
    } cases[] = {
        {"Failed to load installer options",
         [](const setting& t) { std::filesystem::remove(t.machine.media("installer/base.manifest")); }, nullptr,
         "binaries/install"},
        {"Select at least one package before install",
         [](const setting& t) {
             installer_prepare_options(t.state);
             memset(t.state->package_selected, 0, sizeof t.state->package_selected);
         },
         nullptr, "binaries/install"},
        {"RAM:/installer/base.manifest missing",
         [](const setting& t) {
             installer_prepare_options(t.state);
             std::filesystem::remove(t.machine.media("installer/base.manifest"));
         },
         "cache/base.pkg", "etc/resolv.conf"},
        {"Failed to create target directory: /etc",
         [](const setting& t) { t.machine.write_drive_file(0, "etc", "a file"); }, "cache/base.manifest",
         "config"},
        {"RAM:/config missing", [](const setting& t) { std::filesystem::remove_all(t.machine.media("config")); },
         "etc/resolv.conf", ".view"},
        {"RAM:/icons16 missing", [](const setting& t) { std::filesystem::remove_all(t.machine.media("icons16")); },
         "icons/term.icon", nullptr},
        {"Fonts enabled but no fonts selected",
         [](const setting& t) {
             installer_prepare_options(t.state);
             t.state->seed_fonts = 1;
             memset(t.state->font_selected, 0, sizeof t.state->font_selected);
         },
         "icons16/term.icon", "fonts"},
        {"Failed to create target directory: /fonts",
         [](const setting& t) {
             installer_prepare_options(t.state);
             t.state->seed_fonts = 1;
             t.machine.write_drive_file(0, "fonts", "a file");
         },
         "icons16/term.icon", nullptr},
        {"RAM:/programs/chibicc missing",
         [](const setting& t) {
             installer_prepare_options(t.state);
             t.state->seed_chibicc = 1;
             std::filesystem::remove(t.machine.media("programs/chibicc"));
         },
         "icons16/term.icon", "binaries/chibicc"},
    };
    for (auto& c : cases) {
        fresh();
        c.arrange(setting{machine, &state});
        EXPECT_EQ(run(), -1) << c.message;
        EXPECT_EQ(error_lines(), std::string("[installer] error: ") + c.message + "\n") << c.message;
        EXPECT_EQ(state.step, STEP_FAILED);
        if (c.copied_before) {
            EXPECT_TRUE(on_target(c.copied_before)) << c.message;
        }
        if (c.not_copied) {
            EXPECT_FALSE(on_target(c.not_copied)) << c.message;
        }
    }
}

}  // namespace
}  // namespace qortest
