// REMS attributes.
#pragma once

#include <cstdint>

namespace prtlink {

// When the REMS unit went through a power-on reset, sends its attributes again. Returns
// `code` unchanged, or 1300 when the sending failed.
uint16_t Send_Rems_Attr(uint32_t handle, int slot, uint16_t code);

}  // namespace prtlink
