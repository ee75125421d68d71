// The hosted window: key scripts, screenshots, colours and text.
#include <chrono>
#include <cstdio>

#include "installer_fixture.h"
#include "screenshot.h"

namespace qortest {
namespace {

struct event_seen {
    long rc;
    int32_t type, code;
};

event_seen wait(long handle) {
    qor::gui_event e{};
    long rc = qor::gui_wait_event(handle, &e);
    return {rc, e.type, e.code};
}

// Pixel (x, y) of a PNG as 0x00BBGGRR, or 0xFFFFFFFF when it cannot be read.
uint32_t png_pixel(const std::string& path, int x, int y) {
    screenshot shot;
    if (!read_screenshot(path, &shot)) return 0xFFFFFFFF;
    return shot.pixels[static_cast<size_t>(y) * shot.width + x];
}

std::string three_digits(long n) {
    char text[24];
    snprintf(text, sizeof text, "%03ld", n);
    return text;
}

TEST(hosted_window, key_script_then_close_then_failure) {
    temp_machine machine;
    write_host_file(machine.dir() + "/keys", "enter\r\nup\ndown\n\nspace\nQ\nbogus\nz\n");
    long h = qor::gui_attach("Installer", "QOR-OS setup");
    ASSERT_GE(h, 0);
    constexpr int32_t KEY = qor::GUI_EVENT_KEY;
    event_seen expected[] = {{1, KEY, 13},  {1, KEY, qor::KEY_UP}, {1, KEY, qor::KEY_DOWN},       {1, KEY, 32},
                             {1, KEY, 'Q'}, {1, KEY, 'z'},         {1, qor::GUI_EVENT_CLOSE, 0}, {-1, 0, 0}};
    for (auto& e : expected) {
        event_seen got = wait(h);
        EXPECT_EQ(got.rc, e.rc);
        if (e.rc > 0) {
            EXPECT_EQ(got.type, e.type);
            EXPECT_EQ(got.code, e.code);
        }
    }
    EXPECT_EQ(qor::gui_begin(h + 1), -1);  // no such window
    write_host_file(machine.dir() + "/keys", "close\nenter\n");
    h = qor::gui_attach("Installer", "QOR-OS setup");
    EXPECT_EQ(wait(h).type, qor::GUI_EVENT_CLOSE);
    EXPECT_EQ(wait(h).rc, -1);
}

TEST(hosted_window, screenshots_show_the_presented_frame_in_bbggrr_colours) {
    temp_machine machine;
    write_host_file(machine.dir() + "/screens/123.png", "stale");
    long h = qor::gui_attach("Installer", "QOR-OS setup");
    ASSERT_EQ(qor::gui_set_font(h, ""), 0);
    EXPECT_FALSE(host_path_exists(machine.dir() + "/screens/123.png"));
    qor::gui_begin(h);
    qor::gui_clear(h, 0x0000FF);  // red
    qor::gui_rect green{10, 10, 20, 20, 0x00FF00};
    qor::gui_fill_rect(h, &green);
    qor::gui_rect offscreen{630, 350, 100, 100, 0xFF0000};  // clipped, not refused
    EXPECT_EQ(qor::gui_fill_rect(h, &offscreen), 0);
    qor::gui_text text{100, 100, 0xFFFFFF, "Hello"};
    EXPECT_EQ(qor::gui_draw_text(h, &text), 0);
    qor::gui_present(h);
    qor::gui_begin(h);
    qor::gui_clear(h, 0x000000);  // drawn, not presented: the screenshot keeps the last frame
    wait(h);
    std::string png = machine.dir() + "/screens/000.png";
    EXPECT_EQ(png_pixel(png, 0, 0), 0x0000FFu);
    EXPECT_EQ(png_pixel(png, 15, 15), 0x00FF00u);
    EXPECT_EQ(png_pixel(png, 639, 359), 0xFF0000u);
    int lit = 0;  // the text lies in its 5 x 8 by 16 cell
    for (int y = 100; y < 116; ++y)
        for (int x = 100; x < 140; ++x) lit += hosted::window_presented_pixel(x, y) == 0xFFFFFF;
    EXPECT_GT(lit, 40);
    EXPECT_EQ(hosted::window_presented_pixel(99, 99), 0x0000FFu);
    EXPECT_EQ(qor::gui_set_font(h, "no-such-font"), -1);
}

TEST(hosted_window, progress_recording_writes_a_few_presents_between_waits) {
    temp_machine machine;
    write_host_file(machine.dir() + "/record-progress", "");
    write_host_file(machine.dir() + "/screens/004-present.png", "stale");
    long h = qor::gui_attach("Installer", "QOR-OS setup");
    EXPECT_FALSE(host_path_exists(machine.dir() + "/screens/004-present.png"));
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {  // far more often than recorded
        qor::gui_begin(h);
        qor::gui_clear(h, static_cast<uint32_t>(i));
        qor::gui_present(h);
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    wait(h);
    long presents = 0;
    while (host_path_exists(machine.dir() + "/screens/" + three_digits(presents) + "-present.png")) ++presents;
    EXPECT_GE(presents, 1);
    EXPECT_LE(presents, 1 + elapsed / std::chrono::milliseconds(250));
    // The second present without a wait shows a busy program: its first
    // progress frame.
    EXPECT_EQ(png_pixel(machine.dir() + "/screens/000-present.png", 0, 0), 1u);
    // The wait's screenshot comes after them, as always.
    EXPECT_EQ(png_pixel(machine.dir() + "/screens/" + three_digits(presents) + ".png", 0, 0), 49u);
}

TEST(hosted_window, content_size) {
    temp_machine machine;
    long h = qor::gui_attach("a", "b");
    qor::gui_size size{};
    EXPECT_EQ(qor::gui_get_content_size(h, &size), 0);
    EXPECT_EQ(size.width, 640);
    EXPECT_EQ(size.height, 360);
}

}  // namespace
}  // namespace qortest
