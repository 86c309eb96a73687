// Transactions.
#pragma once

#include <cstdint>

namespace prtlink {

// The more significant of two completion codes: 0 < 1290 < 1288 < 1287 < any other code;
// of two other codes, the first.
uint16_t Pick_Code(uint16_t a, uint16_t b);

// The ownership check of the data operations: the handle is open in this process and
// holds the slot's transaction. 0 with the slot set, or 1294.
uint16_t Check_Owner(uint32_t handle, int* slot);

}  // namespace prtlink
