// The pieces of the hosted window: the console font, the PNG writer of the
// headless presenter and the SDL2 desktop presenter. The call handling that
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

// The desktop presenter. sdl_open is false when SDL2 is missing from the
// build or no display can be opened.
bool sdl_open(const std::string& title);
void sdl_show(const uint32_t* pixels);
// Blocks for the next event the installer understands: 1 with type and code
// filled (type 1 key, 2 redraw, 3 close), -1 when SDL fails.
int sdl_wait(int32_t* type, int32_t* code);
void sdl_close();

}  // namespace hosted
