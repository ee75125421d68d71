// The whole job on the sample media: the real installer, headless, walks
// welcome, drive, options and confirmation by key script and installs onto
// an empty drive; the drive's image boots in QEMU to the test kernel's line
// as it stands.
#include <filesystem>
#include <fstream>
#include <map>

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

// Runs the real installer, headless, on the sample media made from this
// build (with `extra_bytes` of random data added as config/big.bin) onto
// the one empty drive, of `size`, of a machine at `machine`: welcome, drive
// 0, the default options, format and install, then Q on the final screen.
// The installer's output lands in *out.
void run_sample_install(const temp_dir& work, const std::string& machine, const char* size, std::string* out,
                        long extra_bytes = 0) {
    std::string media = work.path() + "/media";
    ASSERT_EQ(run_command(std::string("python3 ") + SAMPLE_MEDIA_TOOL + " " + BUILD_DIR + " " + media, out), 0)
        << *out;
    if (extra_bytes > 0) {
        std::string big = "head -c " + std::to_string(extra_bytes) + " /dev/urandom > " + media + "/config/big.bin";
        ASSERT_EQ(run_command(big, out), 0) << *out;
    }
    ASSERT_EQ(run_command(std::string("python3 ") + MACHINE_TOOL + " create " + machine + " --media " + media +
                              " --drives 1 --size " + size,
                          out),
              0)
        << *out;
    write_host_file(machine + "/keys", "enter\nenter\ni\nenter\nq\n");
    int status = run_command(std::string("python3 ") + MACHINE_TOOL + " run " + machine + " -- " + INSTALLER_PATH, out);
    ASSERT_EQ(status, 0) << *out;
}

// The sample install, checked to have finished on the done screen with
// every sample package.
void install_sample_media(const temp_dir& work, const std::string& machine, const char* size) {
    std::string out;
    run_sample_install(work, machine, size, &out);
    if (::testing::Test::HasFatalFailure()) return;
    EXPECT_EQ(out.find("[installer]"), std::string::npos) << out;
    for (const char* package : {"libqor", "hello", "coreutils", "docs"})
        EXPECT_NE(out.find(std::string("install: installed ") + package + "@1.0"), std::string::npos) << package;
    // The done screen's green headline, where the failure screen has its red one.
    EXPECT_GT(pixels_of_colour(last_screen(machine), 56, 72, 0xA0FF8C), 0) << "not the done screen";
}

TEST(install_and_boot, sample_media_installs_onto_an_empty_drive_that_boots) {
    temp_dir work("install-boot");
    std::string media = work.path() + "/media", machine = work.path() + "/machine";
    install_sample_media(work, machine, "64M");
    if (HasFatalFailure()) return;
    std::string out;
    int status = 0;
    // The drive's files, read back from its image, are exactly what the
    // media and its packages promise, and its file system is clean.
    std::string expected = work.path() + "/expected";
    ASSERT_EQ(run_command(std::string("python3 ") + EXPECTED_TREE_TOOL + " " + media + " " + expected, &out), 0)
        << out;
    hosted::use_machine(machine);
    std::vector<std::pair<std::string, std::string>> nodes;
    ASSERT_EQ(hosted::drive_tree(0, &nodes), 0);
    hosted::use_machine("");
    std::map<std::string, std::string> on_drive;
    for (auto& [path, bytes] : nodes)
        if (bytes != "/") on_drive[path] = bytes;
    size_t promised = 0;
    for (auto& e : std::filesystem::recursive_directory_iterator(expected)) {
        if (!e.is_regular_file()) continue;
        std::string rel = std::filesystem::relative(e.path(), expected).string();
        ++promised;
        auto found = on_drive.find(rel);
        if (found == on_drive.end()) {
            ADD_FAILURE() << "missing on the drive: " << rel;
            continue;
        }
        EXPECT_EQ(found->second, read_host_file(e.path())) << "differs: " << rel;
        on_drive.erase(found);
    }
    EXPECT_GT(promised, 20u);
    on_drive.erase("boot/grub/grub.cfg");
    // A package record for every package installed, and the install
    // command's check of them passes on the drive as the installer left it.
    for (const char* name : {"libqor", "hello", "coreutils", "docs"})
        EXPECT_EQ(on_drive.erase(std::string("records/") + name + ".rec"), 1u) << name;
    EXPECT_EQ(run_command(std::string("python3 ") + MACHINE_TOOL + " run --drive 0 " + machine + " -- " +
                              INSTALL_PROGRAM_PATH + " -c",
                          &out),
              0)
        << out;
    EXPECT_NE(out.find("install: 4 checked, 0 files missing or changed, 0 records bad\n"), std::string::npos) << out;
    for (auto& [path, bytes] : on_drive) ADD_FAILURE() << "not promised: " << path;
    ASSERT_EQ(run_command(std::string("python3 ") + MACHINE_TOOL + " check " + machine + " 0", &out), 0) << out;

    // The image boots as it stands.
    status = run_command(std::string("python3 ") + MACHINE_TOOL + " boot " + machine +
                             " 0 --timeout 60 --expect \"QOR-OS test kernel booted\"",
                         &out);
    EXPECT_EQ(status, 0) << out;
}

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
    std::string out;
    EXPECT_EQ(run_command(std::string("python3 ") + MACHINE_TOOL + " check " + machine + " 0", &out), 0) << out;
}

// A drive holds no more than its partition: a media larger than the drive
// ends on the failure screen with the copy's message, and the drive's file
// system is still clean.
TEST(install_and_boot, a_drive_too_small_for_the_media_ends_on_the_failure_screen) {
    temp_dir work("too-small");
    std::string machine = work.path() + "/machine";
    std::string out;
    run_sample_install(work, machine, "32M", &out, 40l << 20);
    if (HasFatalFailure()) return;
    EXPECT_NE(out.find("[installer] error: Copy target write failed: /config/big.bin\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Install finished successfully"), std::string::npos) << out;
    EXPECT_EQ(pixels_of_colour(last_screen(machine), 56, 72, 0xA0FF8C), 0) << "the done screen";
    EXPECT_EQ(run_command(std::string("python3 ") + MACHINE_TOOL + " check " + machine + " 0", &out), 0) << out;
}

}  // namespace
}  // namespace qortest
