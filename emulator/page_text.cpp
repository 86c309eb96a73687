#include "emulator/page_text.h"

#include <cstdio>

namespace prt::emu {

std::string render_page_text(std::span<const uint8_t> p) {
    std::string out;
    char mark[32];
    size_t i = 0;
    const size_t n = p.size();
    while (i < n) {
        const uint8_t b = p[i];
        if (b == 0x1B) {
            if (i + 1 >= n) {
                out += "[ESC]";
                break;
            }
            const uint8_t c = p[i + 1];
            if (c == '[' && i + 4 < n && p[i + 2] == 'c') {
                const size_t count = p[i + 3] | (static_cast<size_t>(p[i + 4]) << 8);
                std::snprintf(mark, sizeof mark, "[CMD %zu]", count);
                out += mark;
                i += 5 + count;
            } else if (c == '*' && i + 4 < n) {
                const size_t cols = p[i + 3] | (static_cast<size_t>(p[i + 4]) << 8);
                std::snprintf(mark, sizeof mark, "[IMG %zu]", cols);
                out += mark;
                i += 5 + cols;
            } else if (c == 'I' && i + 2 < n) {
                std::snprintf(mark, sizeof mark, "[ESC I %02X]", p[i + 2]);
                out += mark;
                i += 3;
            } else {
                if (c >= 0x21 && c <= 0x7E) {
                    std::snprintf(mark, sizeof mark, "[ESC %c]", c);
                } else {
                    std::snprintf(mark, sizeof mark, "[ESC %02X]", c);
                }
                out += mark;
                i += 2;
            }
            continue;
        }
        if (b == '\n') {
            out += '\n';
        } else if (b == '\f') {
            out += "\f\n";
        } else if (b == '\r') {
            // Carriage return alone does not change the text.
        } else if (b == '\t' || (b >= 0x20 && b <= 0x7E)) {
            out += static_cast<char>(b);
        } else if (b < 0x20 || b == 0x7F) {
            std::snprintf(mark, sizeof mark, "[%02X]", b);
            out += mark;
        } else {
            out += '.';
        }
        ++i;
    }
    return out;
}

}  // namespace prt::emu
