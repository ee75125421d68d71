// PSF console fonts, as Linux consoles load them.
//
// PSF1: magic 36 04, mode byte (bit 0: 512 glyphs, bits 1-2: a Unicode
// table follows), glyph height; glyphs are 8 pixels wide. The table holds,
// per glyph, 16-bit little-endian code points up to FFFF (FFFE starts a
// sequence, which we skip).
// PSF2: magic 72 b5 4a 86, then little-endian 32-bit version, header size,
// flags (bit 0: Unicode table), glyph count, bytes per glyph, height, width.
// The table holds UTF-8 code points per glyph up to FF (FE starts a
// sequence).
#include <zlib.h>

#include "qor_endian.h"
#include "window_internal.h"

namespace hosted {
namespace {

constexpr uint32_t NO_GLYPH = 0xFFFFFFFF;
constexpr uint32_t LATIN1_CODES = 256;

// The whole file, gunzipped when it is compressed (gzread reads plain files
// as they are).
bool read_gzip_file(const std::string& path, std::vector<uint8_t>* out) {
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) return false;
    uint8_t buf[4096];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) out->insert(out->end(), buf, buf + n);
    bool ok = n == 0;
    gzclose(f);
    return ok;
}

void map_code(psf_font* font, uint32_t code, uint32_t glyph) {
    if (code < LATIN1_CODES && font->glyph_of_code[code] == NO_GLYPH) font->glyph_of_code[code] = glyph;
}

void read_psf1_table(const std::vector<uint8_t>& data, size_t at, psf_font* font) {
    uint32_t glyph = 0;
    bool in_sequence = false;
    for (; at + 1 < data.size() && glyph < font->glyph_count; at += 2) {
        uint32_t v = qor::load_le16(&data[at]);
        if (v == 0xFFFF) {
            ++glyph;
            in_sequence = false;
        } else if (v == 0xFFFE) {
            in_sequence = true;
        } else if (!in_sequence) {
            map_code(font, v, glyph);
        }
    }
}

// One UTF-8 code point from data[*at]; advances *at past it.
uint32_t next_utf8(const std::vector<uint8_t>& data, size_t* at) {
    uint8_t b = data[(*at)++];
    int more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
    uint32_t v = more == 3 ? b & 0x07u : more == 2 ? b & 0x0Fu : more == 1 ? b & 0x1Fu : b;
    for (; more > 0 && *at < data.size(); --more) v = v << 6 | (data[(*at)++] & 0x3Fu);
    return v;
}

void read_psf2_table(const std::vector<uint8_t>& data, size_t at, psf_font* font) {
    uint32_t glyph = 0;
    bool in_sequence = false;
    while (at < data.size() && glyph < font->glyph_count) {
        if (data[at] == 0xFF) {
            ++glyph;
            in_sequence = false;
            ++at;
        } else if (data[at] == 0xFE) {
            in_sequence = true;
            ++at;
        } else {
            uint32_t code = next_utf8(data, &at);
            if (!in_sequence) map_code(font, code, glyph);
        }
    }
}

bool load_psf1(const std::vector<uint8_t>& data, psf_font* font) {
    if (data.size() < 4) return false;
    uint8_t mode = data[2];
    font->width = 8;
    font->height = data[3];
    font->bytes_per_row = 1;
    font->glyph_count = (mode & 1) ? 512 : 256;
    size_t bytes = static_cast<size_t>(font->glyph_count) * font->height;
    if (font->height == 0 || data.size() < 4 + bytes) return false;
    font->glyphs.assign(data.begin() + 4, data.begin() + 4 + static_cast<long>(bytes));
    if (mode & 6) read_psf1_table(data, 4 + bytes, font);
    return true;
}

bool load_psf2(const std::vector<uint8_t>& data, psf_font* font) {
    if (data.size() < 32) return false;
    uint32_t header = qor::load_le32(&data[8]), flags = qor::load_le32(&data[12]), count = qor::load_le32(&data[16]);
    uint32_t per_glyph = qor::load_le32(&data[20]), height = qor::load_le32(&data[24]), width = qor::load_le32(&data[28]);
    if (width == 0 || height == 0 || width > 64 || height > 64 || count == 0 || count > 65536) return false;
    uint32_t per_row = (width + 7) / 8;
    if (per_glyph != per_row * height) return false;
    size_t bytes = static_cast<size_t>(count) * per_glyph;
    if (header < 32 || data.size() < header + bytes) return false;
    font->width = static_cast<int>(width);
    font->height = static_cast<int>(height);
    font->bytes_per_row = static_cast<int>(per_row);
    font->glyph_count = count;
    font->glyphs.assign(data.begin() + header, data.begin() + header + static_cast<long>(bytes));
    if (flags & 1) read_psf2_table(data, header + bytes, font);
    return true;
}

// Codes the table did not name fall back to the glyph at their own index,
// which is where console fonts keep ASCII.
void fill_unmapped_codes(psf_font* font) {
    for (uint32_t c = 0; c < LATIN1_CODES; ++c) {
        if (font->glyph_of_code[c] == NO_GLYPH && c < font->glyph_count) font->glyph_of_code[c] = c;
    }
}

}  // namespace

bool psf_load(const std::string& path, psf_font* out) {
    std::vector<uint8_t> data;
    if (!read_gzip_file(path, &data)) return false;
    psf_font font;
    font.glyph_of_code.assign(LATIN1_CODES, NO_GLYPH);
    bool ok = false;
    if (data.size() >= 2 && data[0] == 0x36 && data[1] == 0x04) ok = load_psf1(data, &font);
    if (data.size() >= 4 && qor::load_le32(&data[0]) == 0x864AB572) ok = load_psf2(data, &font);
    if (!ok) return false;
    fill_unmapped_codes(&font);
    *out = std::move(font);
    return true;
}

void psf_draw_text(const psf_font& font, uint32_t* pixels, int width, int height, int x, int y, uint32_t colour,
                   const char* text) {
    uint32_t question = font.glyph_of_code['?'];
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p, x += font.width) {
        if (x >= width) break;
        uint32_t glyph = font.glyph_of_code[*p];
        if (glyph == NO_GLYPH) glyph = question;
        if (glyph == NO_GLYPH) continue;
        const uint8_t* bits = &font.glyphs[static_cast<size_t>(glyph) * font.bytes_per_row * font.height];
        for (int row = 0; row < font.height; ++row) {
            int py = y + row;
            if (py < 0 || py >= height) continue;
            for (int col = 0; col < font.width; ++col) {
                int px = x + col;
                uint8_t byte = bits[row * font.bytes_per_row + col / 8];
                if (px >= 0 && px < width && (byte & (0x80 >> (col % 8)))) pixels[py * width + px] = colour;
            }
        }
    }
}

}  // namespace hosted
