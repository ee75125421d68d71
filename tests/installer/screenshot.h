// Screenshots of the headless window, read back as the window's own pixels.
#pragma once

#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qortest {

// A screenshot as 0x00BBGGRR pixels, row after row.
struct screenshot {
    uint32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;
};

// Reads the PNG at `path` into `out`: false when it cannot be read.
inline bool read_screenshot(const std::string& path, screenshot* out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return false;
    out->width = image.width;
    out->height = image.height;
    out->pixels.resize(size_t{image.width} * image.height);
    for (size_t i = 0; i < out->pixels.size(); ++i)
        out->pixels[i] = uint32_t{rgb[i * 3]} | uint32_t{rgb[i * 3 + 1]} << 8 | uint32_t{rgb[i * 3 + 2]} << 16;
    return true;
}

}  // namespace qortest
