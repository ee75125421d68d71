// The whole job on the sample media: the real installer, headless, walks
// welcome, drive, options and confirmation by key script and installs onto
// an empty drive; the drive, exported as a disk image, boots in QEMU to the
// test kernel's line.
#include <filesystem>
#include <fstream>

#include "installer_fixture.h"
#include "qor_endian.h"
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

// The sample media made from this build installed by the real installer
// onto the one empty drive, of `size`, of a machine at `machine`; checked to
// have finished on the done screen with every sample package.
void install_sample_media(const temp_dir& work, const std::string& machine, const char* size) {
    std::string media = work.path() + "/media";
    std::string out;
    ASSERT_EQ(run_command(std::string("python3 ") + SAMPLE_MEDIA_TOOL + " " + BUILD_DIR + " " + media, &out), 0)
        << out;
    ASSERT_EQ(run_command(std::string("python3 ") + MACHINE_TOOL + " create " + machine + " --media " + media +
                              " --drives 1 --size " + size,
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
}

TEST(install_and_boot, sample_media_installs_onto_an_empty_drive_that_boots) {
    temp_dir work("install-boot");
    std::string machine = work.path() + "/machine", disk = work.path() + "/disk.img";
    install_sample_media(work, machine, "64M");
    if (HasFatalFailure()) return;
    std::string root = machine + "/drives/0/root/";
    for (const char* file : {"boot/kernel.bin", "boot/grub/grub.cfg", "binaries/extract", "binaries/hello",
                             "binaries/coreutils", "lib/libqor.txt", "docs/guide/install.txt",
                             "config/desktop/panel.conf", ".view/default.view", "icons16/files.icon",
                             "cache/index.json", "cache/base.manifest"})
        EXPECT_TRUE(host_path_exists(root + file)) << file;

    std::string out;
    ASSERT_EQ(run_command(std::string("python3 ") + MACHINE_TOOL + " export " + machine + " 0 " + disk, &out), 0)
        << out;
    int status = run_command(std::string("python3 ") + MACHINE_TOOL + " boot " + disk +
                             " --timeout 60 --expect \"QOR-OS test kernel booted\"",
                         &out);
    EXPECT_EQ(status, 0) << out;
}

// A drive image above 4 GiB (sparse), which on the 32-bit build only 64-bit
// host offsets reach: the master boot record's partition spans all of it.
TEST(install_and_boot, sample_media_installs_onto_a_drive_above_4_gib) {
    temp_dir work("install-5g");
    std::string machine = work.path() + "/machine";
    install_sample_media(work, machine, "5G");
    if (HasFatalFailure()) return;
    std::string image = machine + "/drives/0/disk.img";
    EXPECT_EQ(std::filesystem::file_size(image), 5ull << 30);
    std::ifstream in(image, std::ios::binary);
    unsigned char mbr[512] = {};
    in.read(reinterpret_cast<char*>(mbr), sizeof mbr);
    ASSERT_TRUE(in) << "no boot sector";
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
    const unsigned char* entry = mbr + 446;
    EXPECT_EQ(entry[4], 0x83);
    EXPECT_EQ(qor::load_le32(entry + 8), 8192u);
    EXPECT_EQ(qor::load_le32(entry + 12), (5ull << 30) / 512 - 8192);
}

}  // namespace
}  // namespace qortest
