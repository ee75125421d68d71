#include "run_installation.h"

#include <cstdio>

#include "disk_prepare.h"
#include "install_phases.h"
#include "media_checks.h"
#include "qor_print.h"
#include "reporting.h"

namespace {

// Switches to the progress screen and starts its bar for the media checks.
void show_media_check_start(installer_state* s) {
    s->step = STEP_INSTALL;
    status_set(s, "Preparing disk ...");
    status_set(s, "Checking RAM:/ installer media ...");
    progress_begin(s, 100, "");
    s->progress_permille = 30;
    redraw(s);
}

}  // namespace

int run_installation(installer_state* s) {
    show_media_check_start(s);
    int rc = check_installation_media(s);
    if (rc == 0) rc = prepare_target(s);
    if (rc != 0) return end_failed_run(s, rc);

    if (install_from_package_manifest(s) != 0) {
        if (!s->error_text[0]) error_set(s, "Package-manifest install failed");
        return end_failed_run(s, RUN_SEQUENCE_FAILED);
    }
    rc = install_bootloader(s);
    if (rc != 0) return end_failed_run(s, rc);
    s->step = STEP_DONE;
    return 0;
}

int end_failed_run(installer_state* s, int code) {
    if (!s->error_text[0]) snprintf(s->error_text, sizeof s->error_text, "Installer failed (rc=%d)", code);
    qor::print("[installer] failure rc=%d msg=%s\n", code, s->error_text);
    s->step = STEP_FAILED;
    return code;
}
