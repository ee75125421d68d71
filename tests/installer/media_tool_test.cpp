// tools/qor-media on a small source folder: the real installer installs the
// media it built, and the install program it put on the drive adds a
// package the installer did not offer; descriptions with a fault are
// refused with one line naming the file.
#include <filesystem>

#include "installer_fixture.h"

namespace qortest {
namespace {

const std::string MEDIA_TOOL = std::string("python3 ") + PROJECT_DIR + "/tools/qor-media";

// A source folder: tool needs lib; extra is a system package the manifest
// does not offer.
void write_source(const std::string& src) {
    write_host_file(src + "/base.manifest", "# offered\ntool\n");
    write_host_file(src + "/packages/lib/package.conf",
                    "name = lib\nversion = 2\ninstall_dir = /lib\ninstall_name = lib.txt\nsystem = yes\n");
    write_host_file(src + "/packages/lib/files/lib.txt", "library\n");
    write_host_file(src + "/packages/tool/package.conf",
                    "name = tool\nversion = 0.1\ninstall_dir = /binaries\ninstall_name = tool\n"
                    "deps = lib\nsystem = yes\n");
    write_host_file(src + "/packages/tool/files/tool", "tool payload\n");
    write_host_file(src + "/packages/tool/files/share/tool.txt", "beside the payload\n");
    write_host_file(src + "/packages/extra/package.conf",
                    "name = extra\nversion = 3\ninstall_dir = /binaries\ninstall_name = extra\n"
                    "deps = lib\nsystem = yes\n");
    write_host_file(src + "/packages/extra/files/extra", "extra payload\n");
    write_host_file(src + "/tree/etc/resolv.conf", "nameserver 10.0.2.3\n");
    for (const char* dir : {"config", ".view", "icons", "icons16"})
        write_host_file(src + "/tree/" + dir + "/keep.txt", dir);
}

TEST(media_tool, media_from_a_small_folder_installs_and_its_install_program_adds_a_package) {
    temp_dir work("media-tool");
    temp_machine machine{machine_options{1}};
    write_source(work.path() + "/src");
    std::string out;
    ASSERT_EQ(run_command(MEDIA_TOOL + " " + work.path() + "/src " + machine.media() + " --build " + BUILD_DIR, &out),
              0)
        << out;
    for (const char* file : {"installer/pkg/lib.pkg", "installer/pkg/extra.pkg", "installer/base.pkg",
                             "installer/index.json", "installer/grub/core.img", "binaries/install"})
        EXPECT_TRUE(host_path_exists(machine.media(file))) << file;
    // The programs go onto the media stripped (the one started from the
    // drive below shows it still runs); the kernel goes as it was built.
    for (const char* program : {"binaries/installer", "binaries/install", "binaries/extract"}) {
        std::string sections;
        ASSERT_EQ(run_command("readelf -S -W " + machine.media(program), &sections), 0) << program;
        EXPECT_EQ(sections.find(".symtab"), std::string::npos) << program;
        EXPECT_EQ(sections.find(".debug_"), std::string::npos) << program;
    }
    EXPECT_EQ(read_host_file(machine.media("boot/kernel.bin")),
              read_host_file(std::string(BUILD_DIR) + "/tools/kernel.bin"));

    // Welcome, drive 0, the default options, format and install, then Q.
    write_host_file(machine.dir() + "/keys", "enter\nenter\ni\nenter\nq\n");
    ASSERT_EQ(run_command("QOR_MACHINE=" + machine.dir() + " " + INSTALLER_PATH, &out), 0) << out;
    EXPECT_EQ(out.find("[installer]"), std::string::npos) << out;
    EXPECT_NE(out.find("install: installed lib@2 (8 bytes)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("install: installed tool@0.1 (13 bytes)\n"), std::string::npos) << out;
    EXPECT_EQ(machine.read_drive_file(0, "binaries/tool"), "tool payload\n");
    EXPECT_EQ(machine.read_drive_file(0, "binaries/share/tool.txt"), "beside the payload\n");
    EXPECT_TRUE(machine.drive_path_exists(0, "binaries/install"));
    EXPECT_FALSE(machine.drive_path_exists(0, "binaries/extra"));

    // The installed install program, started from the drive.
    ASSERT_EQ(drive_select(0), 0);
    const char* argv[] = {"-y", "extra"};
    int32_t status = -1;
    int rc = run_captured(&out, [&] {
        long child = qor::spawn("/binaries/install", argv, 2);
        return child < 0 ? -1 : static_cast<int>(qor::waitpid(child, &status));
    });
    ASSERT_GE(rc, 0) << out;
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("install: installed extra@3 (14 bytes)\ninstall: 1 installed, 0 failed\n"), std::string::npos)
        << out;
    EXPECT_EQ(machine.read_drive_file(0, "binaries/extra"), "extra payload\n");
}

// Reads one member of an index.json as text ("42" for "serial": 42).
std::string index_serial(const std::string& index_path) {
    std::string out;
    run_command("python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))[\"serial\"])' " + index_path, &out);
    return out;
}

TEST(media_tool, indexes_are_signed_by_a_key_made_once_outside_the_checkout) {
    temp_dir work("media-sign");
    const std::string src = work.path() + "/src";
    write_source(src);
    // A package whose archive lies relative to the index.
    write_host_file(src + "/packages/extra/package.conf",
                    "name = extra\nversion = 3\ninstall_dir = /binaries\ninstall_name = extra\n"
                    "url = pool/extra.tar.gz\nsystem = no\n");
    const std::string env = "XDG_CONFIG_HOME=" + work.path() + "/config ";
    const std::string key = work.path() + "/config/qor-media/signing-key.pem";
    const std::string media = work.path() + "/media";
    const std::string repo = work.path() + "/repo";
    std::string out;
    ASSERT_EQ(run_command(env + MEDIA_TOOL + " " + src + " " + media + " --build " + BUILD_DIR + " --repo " + repo +
                              " --serial 42 --mirror http://m1.test/index.json --mirror https://m2.test/r/index.json",
                          &out),
              0)
        << out;
    ASSERT_TRUE(host_path_exists(key)) << out;
    const std::string first_key = read_host_file(key);
    const std::string pub = work.path() + "/pub.pem";
    ASSERT_EQ(run_command("openssl pkey -in " + key + " -pubout -out " + pub), 0);
    for (const std::string& index : {media + "/installer/index.json", repo + "/index.json"}) {
        EXPECT_EQ(run_command("openssl dgst -sha256 -verify " + media + "/installer/trusted-keys.pem -signature " +
                                  index + ".sig " + index,
                              &out),
                  0)
            << index << out;
        EXPECT_EQ(index_serial(index), "42\n");
    }
    EXPECT_NE(read_host_file(media + "/installer/trusted-keys.pem").find(read_host_file(pub)), std::string::npos);
    EXPECT_EQ(read_host_file(media + "/installer/repositories"),
              "# index URLs, tried in order\nhttp://m1.test/index.json\nhttps://m2.test/r/index.json\n");
    EXPECT_NE(read_host_file(repo + "/index.json").find("\"url\": \"pool/extra.tar.gz\""), std::string::npos);
    EXPECT_TRUE(host_path_exists(repo + "/pool/extra.tar.gz"));

    // The key is reused; the serial comes from SOURCE_DATE_EPOCH.
    ASSERT_EQ(run_command(env + "SOURCE_DATE_EPOCH=77 " + MEDIA_TOOL + " " + src + " " + media + " --build " + BUILD_DIR,
                          &out),
              0)
        << out;
    EXPECT_EQ(read_host_file(key), first_key);
    EXPECT_EQ(index_serial(media + "/installer/index.json"), "77\n");
    EXPECT_FALSE(host_path_exists(media + "/installer/repositories"));

    // Unsigned as before.
    ASSERT_EQ(run_command(env + MEDIA_TOOL + " " + src + " " + media + " --build " + BUILD_DIR + " --no-sign", &out), 0);
    for (const char* file : {"installer/index.json.sig", "installer/trusted-keys.pem"})
        EXPECT_FALSE(host_path_exists(media + "/" + file)) << file;

    // A private key is never made or taken inside the checkout or the media.
    struct refusal {
        std::string args;
        std::string message;
    };
    const refusal refusals[] = {
        {"XDG_CONFIG_HOME=" + std::string(PROJECT_DIR) + "/build-keys " + MEDIA_TOOL + " " + src + " " + media,
         "the signing key would lie inside the checkout"},
        {MEDIA_TOOL + " " + src + " " + media + " --key " + media + "/k.pem", "no such key file"},
        {MEDIA_TOOL + " " + src + " " + work.path() + "/m2 --key " + pub, "openssl pkey failed"},
        {MEDIA_TOOL + " " + src + " " + media + " --mirror ftp://x/index.json", "--mirror: 'ftp://x/index.json'"},
    };
    for (const refusal& r : refusals) {
        SCOPED_TRACE(r.args);
        EXPECT_EQ(run_command(r.args + " --build " + BUILD_DIR, &out), 2);
        EXPECT_NE(out.find(r.message), std::string::npos) << out;
    }
    write_host_file(media + "/k.pem", first_key);
    EXPECT_EQ(run_command(MEDIA_TOOL + " " + src + " " + work.path() + "/m3 --key " + media + "/k.pem --repo " + media +
                              " --build " + BUILD_DIR,
                          &out),
              2);
    EXPECT_NE(out.find("the private key must not lie inside the repository"), std::string::npos) << out;
    EXPECT_FALSE(host_path_exists(std::string(PROJECT_DIR) + "/build-keys"));
}

TEST(media_tool, faulty_sources_are_refused_with_the_file_named) {
    struct fault_case {
        std::string what;
        std::string file;      // rewritten in the source
        std::string contents;
        std::string message;   // after "qor-media: <source>/"
    };
    const fault_case cases[] = {
        {"missing field", "packages/tool/package.conf",
         "name = tool\ninstall_dir = /binaries\ninstall_name = tool\nsystem = yes\n",
         "packages/tool/package.conf: missing field 'version'\n"},
        {"bad dependency", "packages/tool/package.conf",
         "name = tool\nversion = 1\ninstall_dir = /binaries\ninstall_name = tool\ndeps = lib nosuch\nsystem = yes\n",
         "packages/tool/package.conf:5: dependency 'nosuch' is not a package under packages/\n"},
        {"dependency cycle", "packages/lib/package.conf",
         "name = lib\nversion = 2\ninstall_dir = /lib\ninstall_name = lib.txt\ndeps = tool\nsystem = yes\n",
         "packages/lib/package.conf:5: dependency cycle: lib -> tool -> lib\n"},
        {"unclean directory", "packages/lib/package.conf",
         "name = lib\nversion = 2\ninstall_dir = /lib/../etc\ninstall_name = lib.txt\nsystem = yes\n",
         "packages/lib/package.conf:3: install_dir '/lib/../etc' is not a clean absolute directory such as /binaries\n"},
        {"payload missing", "packages/lib/package.conf",
         "name = lib\nversion = 2\ninstall_dir = /lib\ninstall_name = other.txt\nsystem = yes\n",
         "packages/lib/files/other.txt: missing: the archive must carry its install_name at its top level\n"},
        {"manifest names no package", "base.manifest", "tool\nnosuch extra words\n",
         "base.manifest:2: 'nosuch' is not a package under packages/\n"},
    };
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir work("media-fault");
        const std::string src = work.path() + "/src";
        write_source(src);
        write_host_file(src + "/" + c.file, c.contents);
        std::string out;
        int status = run_command(MEDIA_TOOL + " " + src + " " + work.path() + "/out --build " + BUILD_DIR, &out);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(out, "qor-media: " + src + "/" + c.message);
        EXPECT_FALSE(host_path_exists(work.path() + "/out")) << "nothing is made from a faulty source";
    }
}

}  // namespace
}  // namespace qortest
