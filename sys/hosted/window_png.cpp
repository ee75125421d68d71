// Screenshots of the headless presenter. libpng's simplified writer keeps
// its error handling to a result code, so no longjmp crosses our frames.
#include <png.h>

#include "window_internal.h"

namespace hosted {

bool png_write(const std::string& path, const uint32_t* pixels, int width, int height) {
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
        rgb[i * 3 + 0] = static_cast<uint8_t>(pixels[i]);
        rgb[i * 3 + 1] = static_cast<uint8_t>(pixels[i] >> 8);
        rgb[i * 3 + 2] = static_cast<uint8_t>(pixels[i] >> 16);
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    // A screenshot is written at every wait for an event: speed before size.
    image.flags = PNG_IMAGE_FLAG_FAST;
    bool ok = png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
    png_image_free(&image);
    return ok;
}

}  // namespace hosted
