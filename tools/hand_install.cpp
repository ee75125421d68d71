// hand_install: makes a drive slot bootable without the installer's wizard,
// so the drive tools (export, boot) can be checked on a drive written
// through the drive and file services alone.
//
//   hand_install SLOT
//
// It partitions the slot, copies "RAM:/boot/kernel.bin" to "/boot/kernel.bin"
// and then runs the installer's own boot loader writers: grub.cfg, sector 0
// from "RAM:/installer/grub/boot.img" and the layout, the core image
// "RAM:/installer/grub/core.img" from sector 1, the kernel from sector 1024.
#include <cstdlib>

#include "boot_loader.h"
#include "disk_prepare.h"
#include "installer_state.h"
#include "package_install.h"
#include "qor.h"
#include "qor_print.h"

namespace {

constexpr char MEDIA_KERNEL[] = "RAM:/boot/kernel.bin";
constexpr char TARGET_KERNEL[] = "/boot/kernel.bin";

int fail(const char* what, int code) {
    qor::print("hand_install: %s (rc=%d)\n", what, code);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return fail("usage: hand_install SLOT", -1);
    static installer_state state;  // large; only target_drive is used
    state.target_drive = static_cast<int32_t>(strtol(argv[1], nullptr, 10));
    long slot = state.target_drive;

    if (disk_prepare(slot) != 0) return fail("disk_prepare failed", -1);
    if (drive_select(slot) < 0) return fail("drive_select failed", -1);
    qor::mkdir("/boot");
    if (pkg_copy_file_to_path(MEDIA_KERNEL, TARGET_KERNEL) != 0) return fail("cannot copy the kernel", -1);
    int rc = write_grub_config();
    if (rc != 0) return fail("cannot write /boot/grub/grub.cfg", rc);
    rc = write_boot_images(&state);
    if (rc != 0) return fail("cannot write the boot sectors", rc);
    qor::print("hand_install: slot %ld is bootable\n", slot);
    return 0;
}
