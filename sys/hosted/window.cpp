// Window services: one 640 x 360 window drawn in software.
//
// Drawing goes to a back buffer; gui_present makes it the front buffer,
// which a presenter shows. The desktop window is shown by the window server
// (window_link.cpp), started when QOR_WINDOW=sdl asks for it and DISPLAY or
// WAYLAND_DISPLAY names a display that opens; once the server or its display
// is gone every window call fails. Otherwise the window is headless: each
// wait for an event writes the front buffer to <machine>/screens/NNN.png and
// takes the next key from <machine>/keys (one per line: enter, up, down,
// space, close or a single character); once the script has run out the
// window reports a close, and later waits fail. With a file
// <machine>/record-progress the headless window also writes the frames a
// busy program presents between waits, as NNN-present.png, a few per second
// at most.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>

#include "hosted.h"
#include "kernel.h"
#include "qor_calls.h"
#include "window_internal.h"

namespace hosted {
namespace {

constexpr long WINDOW_HANDLE = 1;
constexpr size_t TEXT_LIMIT = 4096;  // longest text taken from a program
constexpr const char* DEFAULT_FONT = "/usr/share/consolefonts/Lat15-VGA16.psf.gz";
constexpr const char* FONT_DIRECTORY = "/usr/share/consolefonts/";
// Progress frames come far more often than anyone can look at them.
constexpr std::chrono::milliseconds PRESENT_RECORD_INTERVAL{250};

struct scripted_event {
    int32_t type;
    int32_t code;
};

struct window_state {
    bool attached = false;
    bool desktop = false;
    std::vector<uint32_t> back, front;
    // After a present the two buffers are swapped, and the back buffer holds
    // an older frame until a drawing call that does not cover the whole
    // window brings the presented one back into it.
    bool back_is_stale = false;
    psf_font font;
    bool font_loaded = false;
    std::vector<window_draw> frame;
    std::deque<scripted_event> script;
    bool closed = false;  // the headless close has been delivered
    int screen_number = 0;
    bool record_presents = false;
    int presents_since_wait = 0;
    std::chrono::steady_clock::time_point last_screen{};  // written last, by a wait or a present
};

window_state g_window;

std::string bounded_text(const char* text) { return std::string(text, strnlen(text, TEXT_LIMIT)); }

std::string screens_dir() { return machine().dir + "/screens"; }

// Screenshots of an earlier run would mix with this run's; only our own
// NNN.png names are removed.
void remove_old_screens() {
    DIR* d = opendir(screens_dir().c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        const char* n = e->d_name;
        size_t digits = strspn(n, "0123456789");
        bool ours = digits >= 3 && (strcmp(n + digits, ".png") == 0 || strcmp(n + digits, "-present.png") == 0);
        if (ours) unlink((screens_dir() + "/" + n).c_str());
    }
    closedir(d);
}

// One line of the key script; false for a line that names no key.
bool parse_key_line(std::string line, scripted_event* out) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) return false;
    line = line.substr(start);
    if (line == "enter") *out = {qor::GUI_EVENT_KEY, qor::KEY_ENTER};
    else if (line == "up") *out = {qor::GUI_EVENT_KEY, qor::KEY_UP};
    else if (line == "down") *out = {qor::GUI_EVENT_KEY, qor::KEY_DOWN};
    else if (line == "space") *out = {qor::GUI_EVENT_KEY, qor::KEY_SPACE};
    else if (line == "close") *out = {qor::GUI_EVENT_CLOSE, 0};
    else if (line.size() == 1) *out = {qor::GUI_EVENT_KEY, static_cast<unsigned char>(line[0])};
    else {
        fprintf(stderr, "hosted window: keys: unknown key \"%s\" skipped\n", line.c_str());
        return false;
    }
    return true;
}

void load_key_script() {
    g_window.script.clear();
    if (is_bare_host()) return;
    std::ifstream in(machine().dir + "/keys");
    std::string line;
    scripted_event e;
    while (std::getline(in, line)) {
        if (parse_key_line(line, &e)) g_window.script.push_back(e);
    }
}

bool want_desktop() {
    const char* mode = getenv("QOR_WINDOW");
    return mode && strcmp(mode, "sdl") == 0;
}

// Without a display SDL may still open a console video driver that nobody
// sees and wait there for keys forever.
bool display_present() {
    const char* x = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

long attach(const char* title, const char* subtitle) {
    if (!title || !subtitle) return -1;
    window_reset();
    g_window.back.assign(WINDOW_PIXELS, 0);
    g_window.back_is_stale = false;
    g_window.front.assign(WINDOW_PIXELS, 0);
    g_window.font_loaded = psf_load(DEFAULT_FONT, &g_window.font);
    if (!g_window.font_loaded) fprintf(stderr, "hosted window: cannot read font %s\n", DEFAULT_FONT);
    if (want_desktop()) {
        std::string caption = bounded_text(title) + " - " + bounded_text(subtitle);
        g_window.desktop = display_present() && server_open(caption);
        if (!g_window.desktop) fprintf(stderr, "hosted window: no display for QOR_WINDOW=sdl, running headless\n");
    }
    if (!g_window.desktop) {
        load_key_script();
        if (!is_bare_host()) {
            remove_old_screens();
            g_window.record_presents = access((machine().dir + "/record-progress").c_str(), F_OK) == 0;
            g_window.last_screen = std::chrono::steady_clock::now();
        }
    }
    g_window.attached = true;
    return WINDOW_HANDLE;
}

// The empty name is the default font; another name is a console font file
// of the host, with or without its ".psf.gz".
long set_font(const char* name) {
    if (!name) return -1;
    std::string n = bounded_text(name);
    if (n.empty()) n = DEFAULT_FONT;
    else if (n.find('/') == std::string::npos) n = FONT_DIRECTORY + n + (n.find(".psf") == std::string::npos ? ".psf.gz" : "");
    psf_font font;
    if (!psf_load(n, &font)) return -1;
    g_window.font = std::move(font);
    g_window.font_loaded = true;
    return 0;
}

// The back buffer, made current with the presented frame first when a
// drawing call keeps any of it.
uint32_t* back_for_drawing(bool covers_window) {
    if (g_window.back_is_stale && !covers_window) g_window.back = g_window.front;
    g_window.back_is_stale = false;
    return g_window.back.data();
}

void fill(int32_t x, int32_t y, int32_t width, int32_t height, uint32_t colour) {
    int64_t x0 = x < 0 ? 0 : x, y0 = y < 0 ? 0 : y;
    int64_t x1 = static_cast<int64_t>(x) + width, y1 = static_cast<int64_t>(y) + height;
    if (x1 > WINDOW_WIDTH) x1 = WINDOW_WIDTH;
    if (y1 > WINDOW_HEIGHT) y1 = WINDOW_HEIGHT;
    if (x0 >= x1 || y0 >= y1) return;
    uint32_t* back = back_for_drawing(x0 == 0 && y0 == 0 && x1 == WINDOW_WIDTH && y1 == WINDOW_HEIGHT);
    for (int64_t py = y0; py < y1; ++py)
        std::fill_n(back + py * WINDOW_WIDTH + x0, x1 - x0, colour & 0xFFFFFF);
}

long clear(uint32_t colour) {
    fill(0, 0, WINDOW_WIDTH, WINDOW_HEIGHT, colour);
    g_window.frame.push_back({window_draw::kind_type::clear, 0, 0, 0, 0, colour, ""});
    return 0;
}

long fill_rect(const qor::gui_rect* r) {
    if (!r) return -1;
    fill(r->x, r->y, r->width, r->height, r->colour);
    g_window.frame.push_back({window_draw::kind_type::rect, r->x, r->y, r->width, r->height, r->colour, ""});
    return 0;
}

long draw_text(const qor::gui_text* t) {
    if (!t || !t->text) return -1;
    std::string text = bounded_text(t->text);
    g_window.frame.push_back({window_draw::kind_type::text, t->x, t->y, 0, 0, t->colour, text});
    if (!g_window.font_loaded) return -1;
    psf_draw_text(g_window.font, back_for_drawing(false), WINDOW_WIDTH, WINDOW_HEIGHT, t->x, t->y, t->colour & 0xFFFFFF,
                  text.c_str());
    return 0;
}

// The front buffer as the next screenshot, NNN followed by `ending`.
void write_screen(const char* ending) {
    if (is_bare_host()) return;
    mkdir(screens_dir().c_str(), 0755);
    char name[32];
    snprintf(name, sizeof name, "/%03d%s", g_window.screen_number++, ending);
    g_window.last_screen = std::chrono::steady_clock::now();
    if (!png_write(screens_dir() + name, g_window.front.data(), WINDOW_WIDTH, WINDOW_HEIGHT))
        fprintf(stderr, "hosted window: cannot write %s%s\n", screens_dir().c_str(), name);
}

// A program that presents a second time without waiting is busy: that
// frame starts its progress, later ones are taken at the interval. A single
// present before a wait is the wait's own screenshot already.
void record_present() {
    ++g_window.presents_since_wait;
    bool busy_begins = g_window.presents_since_wait == 2;
    if (!busy_begins && std::chrono::steady_clock::now() - g_window.last_screen < PRESENT_RECORD_INTERVAL) return;
    write_screen("-present.png");
}

long present() {
    if (!g_window.back_is_stale) {
        g_window.front.swap(g_window.back);
        g_window.back_is_stale = true;
    }
    if (g_window.desktop) return server_present(g_window.front.data());
    if (g_window.record_presents) record_present();
    return 0;
}

// The next event of the headless window: the script's, then one close.
bool next_scripted_event(scripted_event* e) {
    if (g_window.closed) return false;
    write_screen(".png");
    g_window.presents_since_wait = 0;
    if (g_window.script.empty()) {
        g_window.closed = true;
        *e = {qor::GUI_EVENT_CLOSE, 0};
        return true;
    }
    *e = g_window.script.front();
    g_window.script.pop_front();
    if (e->type == qor::GUI_EVENT_CLOSE) g_window.closed = true;
    return true;
}

long wait_event(void* record, long size) {
    if (!record || size < 8) return -1;
    scripted_event e{};
    if (g_window.desktop) {
        if (server_wait(&e.type, &e.code) < 0) return -1;
    } else if (!next_scripted_event(&e)) {
        return -1;
    }
    qor::gui_event event{};
    event.type = e.type;
    event.code = e.code;
    memcpy(record, &event, static_cast<size_t>(size < qor::GUI_EVENT_SIZE ? size : qor::GUI_EVENT_SIZE));
    return 1;
}

long content_size(qor::gui_size* size) {
    if (!size) return -1;
    size->width = WINDOW_WIDTH;
    size->height = WINDOW_HEIGHT;
    return 0;
}

}  // namespace

long window_call(long number, long a, long b, long c) {
    if (number == qor::SYS_GUI_ATTACH) return attach(as_text(a), as_text(b));
    if (!g_window.attached || a != WINDOW_HANDLE) return -1;
    // A window whose server or display went away is gone for the program.
    if (g_window.desktop && !server_alive()) return -1;
    switch (number) {
        case qor::SYS_GUI_SET_FONT: return set_font(as_text(b));
        case qor::SYS_GUI_WAIT_EVENT: return wait_event(as_buffer(b), c);
        case qor::SYS_GUI_GET_CONTENT_SIZE: return content_size(static_cast<qor::gui_size*>(as_buffer(b)));
        case qor::SYS_GUI_BEGIN: g_window.frame.clear(); return 0;
        case qor::SYS_GUI_CLEAR: return clear(static_cast<uint32_t>(b));
        case qor::SYS_GUI_FILL_RECT: return fill_rect(static_cast<const qor::gui_rect*>(as_buffer(b)));
        case qor::SYS_GUI_DRAW_TEXT: return draw_text(static_cast<const qor::gui_text*>(as_buffer(b)));
        case qor::SYS_GUI_PRESENT: return present();
        default: return -1;
    }
}

void window_reset() {
    if (g_window.desktop) server_close();
    g_window = window_state{};
}

std::vector<window_draw> window_frame() { return g_window.frame; }

uint32_t window_presented_pixel(int x, int y) {
    if (x < 0 || y < 0 || x >= WINDOW_WIDTH || y >= WINDOW_HEIGHT || g_window.front.empty()) return 0;
    return g_window.front[static_cast<size_t>(y) * WINDOW_WIDTH + x];
}

}  // namespace hosted
