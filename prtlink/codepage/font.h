// Font files sent again after a power-on reset.
#pragma once

#include <cstdint>

namespace prtlink {

// Reloads the fonts of a unit that went through a power-on reset; the caller ignores
// the result.
uint16_t Restore_Font(uint32_t handle, uint8_t model, uint8_t rems_level, int slot);

}  // namespace prtlink
