#include "disk_prepare.h"

#include "qor.h"
#include "reporting.h"

namespace {

constexpr const char* PROBE_PATH = "/.__install_probe";

}  // namespace

long disk_count() { return qor_syscall(qor::SYS_DISK_COUNT, 0, 0, 0); }

long disk_present(long slot) { return qor_syscall(qor::SYS_DISK_PRESENT, slot, 0, 0); }

long disk_prepare(long drive) { return qor_syscall(qor::SYS_DISK_PREPARE, drive, 0, 0); }

long drive_select(long drive) { return qor_syscall(qor::SYS_DRIVE_SELECT, drive, 0, 0); }

void detect_drives(installer_state* s) {
    long slots = disk_count();
    for (long i = 0; i < slots && s->drive_count < MAX_DRIVES; ++i) {
        if (disk_present(i) > 0) s->drives[s->drive_count++] = static_cast<int32_t>(i);
    }
}

int write_probe() {
    static const char probe = 'X';
    if (qor::writefile(PROBE_PATH, &probe, 1) < 0) return -1;
    qor::unlink(PROBE_PATH);  // a probe left behind is harmless
    return 0;
}

int prepare_target(installer_state* s) {
    if (disk_prepare(s->target_drive) != 0) {
        error_set(s, "Drive partition/format failed");
        return RUN_PREPARE_FAILED;
    }
    s->progress_permille = 80;
    redraw(s);
    if (drive_select(s->target_drive) < 0) {
        error_set(s, "Could not switch to target drive");
        return RUN_SELECT_FAILED;
    }
    status_set(s, "Verifying target filesystem ...");
    if (write_probe() < 0) {
        error_set(s, "Target write probe failed");
        return RUN_PROBE_FAILED;
    }
    s->progress_permille = 120;
    redraw(s);
    return 0;
}
