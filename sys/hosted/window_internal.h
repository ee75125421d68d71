// The pieces of the hosted window: the console font, the PNG writer of the
// headless presenter and the link to the window server. The call handling that
// ties them together is window.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hosted {

constexpr int WINDOW_WIDTH = 640;
constexpr int WINDOW_HEIGHT = 360;
constexpr size_t WINDOW_PIXELS = size_t{WINDOW_WIDTH} * WINDOW_HEIGHT;

// A PSF console font (version 1 or 2), glyphs one bit per pixel, rows padded
// to whole bytes.
struct psf_font {
    int width = 0;
    int height = 0;
    int bytes_per_row = 0;
    uint32_t glyph_count = 0;
    std::vector<uint8_t> glyphs;
    std::vector<uint32_t> glyph_of_code;  // Latin-1 code -> glyph index
};

// Reads a gzip-compressed (or plain) PSF file; false when it is not one.
bool psf_load(const std::string& path, psf_font* out);

// Draws the bytes of `text` (each a Latin-1 character) with the glyph's top
// left corner at x, y; pixels outside the buffer are skipped.
void psf_draw_text(const psf_font& font, uint32_t* pixels, int width, int height, int x, int y,
                   uint32_t colour, const char* text);

// Writes 0x00BBGGRR pixels as an RGB PNG; false on any failure.
bool png_write(const std::string& path, const uint32_t* pixels, int width, int height);

// The desktop window, shown by the window server process (window_link.cpp).
// server_open is false when no server is built or it cannot open a window;
// the other calls fail (-1) once the server or its display is gone.
bool server_open(const std::string& caption);
bool server_alive();
int server_present(const uint32_t* pixels);
// Blocks for the next event: 1 with type and code filled (type 1 key,
// 3 close), -1 when the server is gone.
int server_wait(int32_t* type, int32_t* code);
// Ends the server: its wait status (0 when none ran).
int server_close();

}  // namespace hosted
