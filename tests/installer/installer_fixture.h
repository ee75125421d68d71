// Shared pieces of the installer tests: complete media in a temporary
// machine, an attached headless window, and frames written as lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "disk_prepare.h"
#include "hosted.h"
#include "installer_state.h"
#include "qor.h"
#include "test_machine.h"

namespace qortest {

// Everything the media checks look for, and a three-package manifest.
inline void write_complete_media(const temp_machine& m, const std::string& manifest = "base\nnet\neditor\n") {
    for (const char* f : {"binaries/installer", "binaries/install", "binaries/extract", "etc/resolv.conf"})
        write_host_file(m.media(f), "x");
    write_host_file(m.media("installer/base.manifest"), manifest);
    write_host_file(m.media("config/.keep"), "");
    write_host_file(m.media(".view/.keep"), "");
}

// Partitions and formats drive slot `slot` and makes it the current drive,
// as the target preparation does.
inline void select_prepared_drive(int slot) {
    ASSERT_EQ(disk_prepare(slot), 0);
    ASSERT_EQ(drive_select(slot), 0);
}

// A frame's drawing calls as lines: "clear 1E1E1E", "rect 0,0 640x24
// 303030", "text 12,6 F5F5F5 QOR-OS Installer".
inline std::vector<std::string> frame_lines() {
    std::vector<std::string> out;
    char line[512];
    for (const hosted::window_draw& d : hosted::window_frame()) {
        if (d.kind == hosted::window_draw::kind_type::clear)
            snprintf(line, sizeof line, "clear %06X", d.colour);
        else if (d.kind == hosted::window_draw::kind_type::rect)
            snprintf(line, sizeof line, "rect %d,%d %dx%d %06X", d.x, d.y, d.width, d.height, d.colour);
        else
            snprintf(line, sizeof line, "text %d,%d %06X %s", d.x, d.y, d.colour, d.text.c_str());
        out.push_back(line);
    }
    return out;
}

// The lines every frame begins with.
inline std::vector<std::string> frame_start() {
    return {"clear 1E1E1E", "rect 0,0 640x24 303030", "text 12,6 F5F5F5 QOR-OS Installer"};
}

// A machine with an attached window whose handle the reporting operations
// use; the state starts as at program start.
class window_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        handle = qor::gui_attach("Installer", "QOR-OS setup");
        ASSERT_GE(handle, 0);
        g_installer_gui_handle = handle;
        installer_state_init(&state);
    }
    void TearDown() override { g_installer_gui_handle = -1; }

    temp_machine machine{machine_options{1}};
    long handle = -1;
    installer_state state;
};

}  // namespace qortest
