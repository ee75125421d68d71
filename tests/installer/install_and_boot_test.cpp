// The whole job on the sample media: the real installer, headless, walks
// welcome, drive, options and confirmation by key script and installs onto
// an empty drive; the drive, exported as a disk image, boots in QEMU to the
// test kernel's line.
#include <filesystem>

#include "installer_fixture.h"
#include "screenshot.h"

namespace qortest {
namespace {

// Pixels of `colour` (0x00BBGGRR) in rows y0 to y1 of a screenshot, or -1
// when it cannot be read.
long pixels_of_colour(const std::string& path, int y0, int y1, uint32_t colour) {
    screenshot shot;
    if (!read_screenshot(path, &shot)) return -1;
    long found = 0;
    for (int y = y0; y <= y1 && y < static_cast<int>(shot.height); ++y) {
        for (uint32_t x = 0; x < shot.width; ++x)
            found += shot.pixels[static_cast<size_t>(y) * shot.width + x] == colour ? 1 : 0;
    }
    return found;
}

// The screenshot taken last (at the wait for the Q that ends the run).
std::string last_screen(const std::string& machine) {
    std::string last;
    for (auto& e : std::filesystem::directory_iterator(machine + "/screens"))
        if (e.path().string() > last) last = e.path().string();
    return last;
}

TEST(install_and_boot, sample_media_installs_onto_an_empty_drive_that_boots) {
    temp_dir work("install-boot");
    std::string media = work.path() + "/media", machine = work.path() + "/machine", disk = work.path() + "/disk.img";
    std::string out;
    ASSERT_EQ(run_command(std::string("python3 ") + SAMPLE_MEDIA_TOOL + " " + BUILD_DIR + " " + media, &out), 0)
        << out;
    ASSERT_EQ(run_command(std::string("python3 ") + MACHINE_TOOL + " create " + machine + " --media " + media +
                              " --drives 1 --size 64M",
                          &out),
              0)
        << out;
    // Welcome, drive 0, the default options, format and install, then Q on
    // the done screen.
    write_host_file(machine + "/keys", "enter\nenter\ni\nenter\nq\n");
    int status = run_command(std::string("python3 ") + MACHINE_TOOL + " run " + machine + " -- " + INSTALLER_PATH, &out);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(out.find("[installer]"), std::string::npos) << out;
    for (const char* package : {"libqor", "hello", "coreutils", "docs"})
        EXPECT_NE(out.find(std::string("install: installed ") + package + "@1.0"), std::string::npos) << package;
    // The done screen's green headline, where the failure screen has its red one.
    EXPECT_GT(pixels_of_colour(last_screen(machine), 56, 72, 0xA0FF8C), 0) << "not the done screen";

    std::string root = machine + "/drives/0/root/";
    for (const char* file : {"boot/kernel.bin", "boot/grub/grub.cfg", "binaries/extract", "binaries/hello",
                             "binaries/coreutils", "lib/libqor.txt", "docs/guide/install.txt",
                             "config/desktop/panel.conf", ".view/default.view", "icons16/files.icon",
                             "cache/index.json", "cache/base.manifest"})
        EXPECT_TRUE(host_path_exists(root + file)) << file;

    ASSERT_EQ(run_command(std::string("python3 ") + MACHINE_TOOL + " export " + machine + " 0 " + disk, &out), 0)
        << out;
    status = run_command(std::string("python3 ") + MACHINE_TOOL + " boot " + disk +
                             " --timeout 60 --expect \"QOR-OS test kernel booted\"",
                         &out);
    EXPECT_EQ(status, 0) << out;
}

}  // namespace
}  // namespace qortest
