// Code-page selection and download on the print unit.
#pragma once

#include <cstdint>

namespace prtlink {

// Selects `code_page` in print mode `cp_mode` on the print unit of `slot`.
uint16_t Load_Code_Page(uint16_t code_page, uint16_t cp_mode, bool restore, uint32_t handle,
                        uint8_t model, uint8_t level, int slot);

// Selects the slot's code page again after a power-on reset of the print unit:
// 0, 476, 1296 or 1297.
uint16_t Restore_Code_Page(uint32_t handle, uint8_t model, uint8_t level, int slot);

}  // namespace prtlink
