// Plain-text rendition of what the print unit printed: text, line feeds and form feeds kept;
// escape sequences, commands and bit images shown as short bracketed marks.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace prt::emu {

// Marks: "[ESC x]" for an escape sequence (ESC I n keeps its parameter: "[ESC I 02]"),
// "[CMD n]" for a framed command ESC [ c with n parameter bytes, "[IMG n]" for a bit image
// ESC * m nL nH of n columns, "[xx]" for other control bytes, "." for bytes above 0x7E.
// A form feed becomes '\f' followed by a line break; carriage returns are dropped.
std::string render_page_text(std::span<const uint8_t> printed);

}  // namespace prt::emu
