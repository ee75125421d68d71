// The desktop presenter: the framebuffer in a real SDL2 window, keys from
// the keyboard. Builds without SDL2 leave only the headless presenter.
#include "window_internal.h"

#ifdef QOR_HAVE_SDL2
#include <SDL.h>

#include "qor_calls.h"

namespace hosted {
namespace {

SDL_Window* g_window = nullptr;
SDL_Renderer* g_renderer = nullptr;
SDL_Texture* g_texture = nullptr;
bool g_started = false;
std::vector<uint32_t> g_shown(WINDOW_PIXELS, 0);

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

void render_shown() {
    SDL_UpdateTexture(g_texture, nullptr, g_shown.data(), WINDOW_WIDTH * 4);
    SDL_RenderClear(g_renderer);
    SDL_RenderCopy(g_renderer, g_texture, nullptr, nullptr);
    SDL_RenderPresent(g_renderer);
}

}  // namespace

bool sdl_open(const std::string& title) {
    if (g_window) sdl_close();
    if (SDL_Init(SDL_INIT_VIDEO) != 0) return false;
    g_started = true;
    g_window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, WINDOW_WIDTH,
                                WINDOW_HEIGHT, 0);
    if (g_window) g_renderer = SDL_CreateRenderer(g_window, -1, 0);
    // 0x00BBGGRR words are SDL's XBGR8888.
    if (g_renderer)
        g_texture = SDL_CreateTexture(g_renderer, SDL_PIXELFORMAT_XBGR8888, SDL_TEXTUREACCESS_STREAMING, WINDOW_WIDTH,
                                      WINDOW_HEIGHT);
    if (!g_texture) {
        sdl_close();
        return false;
    }
    render_shown();
    return true;
}

void sdl_show(const uint32_t* pixels) {
    if (!g_texture) return;
    g_shown.assign(pixels, pixels + WINDOW_PIXELS);
    render_shown();
}

int sdl_wait(int32_t* type, int32_t* code) {
    SDL_Event event;
    while (SDL_WaitEvent(&event)) {
        if (event.type == SDL_QUIT) {
            *type = qor::GUI_EVENT_CLOSE;
            *code = 0;
            return 1;
        }
        if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_EXPOSED) {
            render_shown();
            *type = qor::GUI_EVENT_REDRAW;  // the window was uncovered
            *code = 0;
            return 1;
        }
        if (event.type == SDL_KEYDOWN) {
            int32_t k = key_code(event.key.keysym);
            if (k == 0) continue;
            *type = qor::GUI_EVENT_KEY;
            *code = k;
            return 1;
        }
    }
    return -1;
}

void sdl_close() {
    if (g_texture) SDL_DestroyTexture(g_texture);
    if (g_renderer) SDL_DestroyRenderer(g_renderer);
    if (g_window) SDL_DestroyWindow(g_window);
    if (g_started) SDL_Quit();
    g_started = false;
    g_texture = nullptr;
    g_renderer = nullptr;
    g_window = nullptr;
}

}  // namespace hosted

#else

namespace hosted {

bool sdl_open(const std::string&) { return false; }
void sdl_show(const uint32_t*) {}
int sdl_wait(int32_t*, int32_t*) { return -1; }
void sdl_close() {}

}  // namespace hosted

#endif
