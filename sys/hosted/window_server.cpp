// qor-window-server: the desktop window of one program, in a process of its
// own so that the program links no display library and outlives its
// display. The program's end is window_link.cpp; the channel is described
// in window_protocol.h.
//
// The server repaints from the last frame and answers the window manager
// whatever the program does. Keys reach the program only while it waits for
// an event: key auto-repeat is never passed on, and keys pressed while the
// program was busy are dropped when it next waits; a close request is kept
// until then.
//
// QOR_WINDOW_TRACE=1 makes the server note on standard error when the
// program starts to wait, which keys it passed or dropped and when it kept
// a close, so tests can pace their keys as a person watching the window
// would.
#include <SDL.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "qor_calls.h"
#include "window_protocol.h"

namespace {

using hosted::frame_exchange;
using hosted::window_message;
using hosted::WINDOW_HEIGHT;
using hosted::WINDOW_PIXELS;
using hosted::WINDOW_WIDTH;

// Room left on the display for the window's frame and panels when the
// first scale is chosen.
constexpr int DISPLAY_MARGIN = 64;

// What the reader thread hands the main loop (code of an SDL user event).
enum : int32_t { FROM_PROGRAM_FRAME = 1, FROM_PROGRAM_WAIT = 2, FROM_PROGRAM_GONE = 3 };

struct server_state {
    int socket = hosted::WINDOW_SERVER_SOCKET_FD;
    frame_exchange* frames = nullptr;
    uint32_t own_slot = hosted::FRAME_SLOT_SERVER;
    Uint32 program_event = 0;
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
    SDL_Texture* texture = nullptr;
    // A frame event is queued and not yet taken: the reader queues no other,
    // so a program presenting faster than the display shows never fills
    // the queue or its socket.
    std::atomic<bool> frame_queued{false};
    bool waiting = false;        // the program blocks for an event
    bool close_pending = false;  // closed while the program was busy
    bool trace = false;
};

server_state g;

void trace(const char* what, int32_t code = 0) {
    if (g.trace) fprintf(stderr, "qor-window-server: %s %d (%u ms)\n", what, code, SDL_GetTicks());
}

bool send_message(const window_message& m) {
    for (;;) {
        ssize_t n = send(g.socket, &m, sizeof m, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(sizeof m);
    }
}

// Blocks on the socket so the main loop can block on SDL alone.
void read_program() {
    for (;;) {
        window_message m;
        ssize_t n = recv(g.socket, &m, sizeof m, 0);
        if (n < 0 && errno == EINTR) continue;
        SDL_Event e{};
        e.type = g.program_event;
        if (n != static_cast<ssize_t>(sizeof m)) e.user.code = FROM_PROGRAM_GONE;
        else if (m.kind == hosted::WINDOW_MSG_FRAME && g.frame_queued.exchange(true)) continue;
        else if (m.kind == hosted::WINDOW_MSG_FRAME) e.user.code = FROM_PROGRAM_FRAME;
        else if (m.kind == hosted::WINDOW_MSG_WAIT) e.user.code = FROM_PROGRAM_WAIT;
        else continue;
        while (SDL_PushEvent(&e) < 0) SDL_Delay(10);  // the queue is full: the main loop is behind
        if (e.user.code == FROM_PROGRAM_GONE) return;
    }
}

// The installer's key code for a key, 0 for keys it has no use for.
int32_t key_code(const SDL_Keysym& key) {
    switch (key.sym) {
        case SDLK_RETURN:
        case SDLK_KP_ENTER: return qor::KEY_ENTER;
        case SDLK_UP: return qor::KEY_UP;
        case SDLK_DOWN: return qor::KEY_DOWN;
        case SDLK_SPACE: return qor::KEY_SPACE;
        default: break;
    }
    if (key.sym >= SDLK_a && key.sym <= SDLK_z) {
        int32_t letter = static_cast<int32_t>(key.sym);
        return (key.mod & KMOD_SHIFT) ? letter - 'a' + 'A' : letter;
    }
    return 0;
}

// The largest whole scale of the frame that fits `w` x `h`; a window smaller
// than the frame shows it shrunk to fit, never cropped.
SDL_Rect frame_place(int w, int h) {
    int scale = std::min(w / WINDOW_WIDTH, h / WINDOW_HEIGHT);
    int fw = scale * WINDOW_WIDTH, fh = scale * WINDOW_HEIGHT;
    if (scale < 1) {
        fw = std::min(w, h * WINDOW_WIDTH / WINDOW_HEIGHT);
        fh = fw * WINDOW_HEIGHT / WINDOW_WIDTH;
    }
    return SDL_Rect{(w - fw) / 2, (h - fh) / 2, fw, fh};
}

void render() {
    int w = 0, h = 0;
    if (SDL_GetRendererOutputSize(g.renderer, &w, &h) != 0) return;
    SDL_Rect place = frame_place(w, h);
    SDL_SetRenderDrawColor(g.renderer, 0, 0, 0, 255);
    SDL_RenderClear(g.renderer);
    SDL_RenderCopy(g.renderer, g.texture, nullptr, &place);
    SDL_RenderPresent(g.renderer);
}

void take_frame() {
    g.frame_queued = false;
    if (!(g.frames->middle.load(std::memory_order_acquire) & frame_exchange::FRESH)) return;
    g.own_slot = g.frames->middle.exchange(g.own_slot, std::memory_order_acq_rel) & 3;
    // 0x00BBGGRR words are SDL's XBGR8888.
    SDL_UpdateTexture(g.texture, nullptr, g.frames->slots[g.own_slot], WINDOW_WIDTH * 4);
    render();
}

void deliver(int32_t type, int32_t code) {
    window_message m;
    m.kind = hosted::WINDOW_MSG_EVENT;
    m.type = type;
    m.code = code;
    g.waiting = false;
    trace(type == qor::GUI_EVENT_CLOSE ? "delivered close" : "delivered key", code);
    send_message(m);
}

// The program waits again: whatever was typed meanwhile is not for the step
// it shows now.
void program_waits() {
    take_frame();  // a frame whose message could not be sent is in the exchange all the same
    SDL_PumpEvents();
    SDL_Event e;
    while (SDL_PeepEvents(&e, 1, SDL_GETEVENT, SDL_KEYDOWN, SDL_KEYDOWN) > 0) trace("dropped early key", e.key.keysym.sym);
    if (SDL_PeepEvents(&e, 1, SDL_GETEVENT, SDL_QUIT, SDL_QUIT) > 0) {
        g.close_pending = true;
        trace("kept close");
    }
    g.waiting = true;
    trace("waiting");
    if (g.close_pending) {
        g.close_pending = false;
        deliver(qor::GUI_EVENT_CLOSE, 0);
    }
}

void key_down(const SDL_KeyboardEvent& key) {
    if (key.repeat) {
        trace("dropped repeat", key.keysym.sym);
        return;
    }
    int32_t code = key_code(key.keysym);
    if (code == 0) return;
    if (!g.waiting) {
        trace("dropped early key", key.keysym.sym);
        return;
    }
    deliver(qor::GUI_EVENT_KEY, code);
}

// The first size shows the frame at the largest whole scale the display
// leaves room for.
int first_scale() {
    SDL_Rect usable;
    if (SDL_GetDisplayUsableBounds(0, &usable) != 0) return 1;
    int scale = std::min(usable.w / WINDOW_WIDTH, (usable.h - DISPLAY_MARGIN) / WINDOW_HEIGHT);
    return scale < 1 ? 1 : scale;
}

// Only the display the program was given: without it SDL may fall back to
// a console or off-screen driver nobody sees and wait there for keys.
const char* display_driver() {
    const char* x = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    if (x && *x) return "x11";
    if (wayland && *wayland) return "wayland";
    return nullptr;
}

bool open_window(const char* caption) {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    const char* driver = display_driver();
    if (!driver) {
        fprintf(stderr, "qor-window-server: no display\n");
        return false;
    }
    SDL_SetHint(SDL_HINT_VIDEODRIVER, driver);
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        fprintf(stderr, "qor-window-server: %s\n", SDL_GetError());
        return false;
    }
    trace("video started");
    int scale = first_scale();
    g.window = SDL_CreateWindow(caption, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, WINDOW_WIDTH * scale,
                                WINDOW_HEIGHT * scale, SDL_WINDOW_RESIZABLE);
    trace("window created");
    if (g.window) g.renderer = SDL_CreateRenderer(g.window, -1, 0);
    trace("renderer created");
    if (g.renderer)
        g.texture = SDL_CreateTexture(g.renderer, SDL_PIXELFORMAT_XBGR8888, SDL_TEXTUREACCESS_STREAMING, WINDOW_WIDTH,
                                      WINDOW_HEIGHT);
    if (!g.texture) {
        fprintf(stderr, "qor-window-server: %s\n", SDL_GetError());
        return false;
    }
    SDL_SetWindowMinimumSize(g.window, WINDOW_WIDTH / 2, WINDOW_HEIGHT / 2);
    std::vector<uint32_t> black(WINDOW_PIXELS, 0);
    SDL_UpdateTexture(g.texture, nullptr, black.data(), WINDOW_WIDTH * 4);
    render();
    return true;
}

void serve() {
    SDL_Event e;
    while (SDL_WaitEvent(&e)) {
        if (e.type == g.program_event) {
            if (e.user.code == FROM_PROGRAM_GONE) return;
            if (e.user.code == FROM_PROGRAM_FRAME) take_frame();
            else program_waits();
        } else if (e.type == SDL_QUIT) {
            if (g.waiting) {
                deliver(qor::GUI_EVENT_CLOSE, 0);
            } else {
                g.close_pending = true;
                trace("kept close");
            }
        } else if (e.type == SDL_WINDOWEVENT) {
            // Uncovered, resized, shown again: paint the last frame.
            render();
        } else if (e.type == SDL_KEYDOWN) {
            key_down(e.key);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* caption = argc > 1 ? argv[1] : "QOR-OS";
    const char* t = getenv("QOR_WINDOW_TRACE");
    g.trace = t && strcmp(t, "1") == 0;
    void* shared = mmap(nullptr, sizeof(frame_exchange), PROT_READ | PROT_WRITE, MAP_SHARED,
                        hosted::WINDOW_SERVER_FRAME_FD, 0);
    if (shared == MAP_FAILED) {
        fprintf(stderr, "qor-window-server: no frame memory on descriptor %d\n", hosted::WINDOW_SERVER_FRAME_FD);
        return 2;
    }
    g.frames = static_cast<frame_exchange*>(shared);
    if (!open_window(caption)) return 1;
    g.program_event = SDL_RegisterEvents(1);
    window_message ready;
    ready.kind = hosted::WINDOW_MSG_READY;
    if (g.program_event == static_cast<Uint32>(-1) || !send_message(ready)) return 1;
    std::thread reader(read_program);
    reader.detach();
    serve();
    // The program is gone: close the window at once, whatever the reader does.
    SDL_Quit();
    _exit(0);
}
