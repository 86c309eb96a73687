// The device status record: three words (exception, error, detail) made from one unit's
// status bytes, the same for every printer model.
#pragma once

#include <cstdint>

namespace prtlink {

// Print unit, from data bytes d0..d4 (`d` points at d0). `model` is prt_model.
void Build_Print_Record(const uint8_t* d, uint8_t model, uint16_t rec[3]);

// REMS unit, from data bytes q2..q6 (`q` points at data byte 0 of the answer).
void Build_Rems_Record(const uint8_t* q, uint16_t rec[3]);

}  // namespace prtlink
