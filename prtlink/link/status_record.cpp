#include "prtlink/link/status_record.h"

namespace prtlink {
namespace {
inline uint16_t bit(uint8_t byte, int from, int to) {
    return static_cast<uint16_t>(((byte >> from) & 1u) << to);
}
}  // namespace

void Build_Print_Record(const uint8_t* d, uint8_t model, uint16_t rec[3]) {
    const bool old_model = model == 0x19 || model == 0x40;
    const uint8_t d0 = d[0], d1 = d[1], d2 = d[2], d3 = d[3], d4 = d[4];
    uint16_t exc = 0;
    exc |= bit(d0, 0, 0);
    if (old_model) exc |= bit(d1, 0, 2);
    exc |= bit(d0, 3, 3) | bit(d0, 4, 4) | bit(d0, 5, 5);
    exc |= bit(d1, 6, 6);
    exc |= bit(d0, 7, 7);
    exc |= bit(d2, 1, 8);
    exc |= bit(d0, 1, 9) | bit(d0, 2, 10);
    exc |= bit(d2, 3, 11) | bit(d2, 4, 12);
    if (old_model) exc |= bit(d1, 5, 13);
    exc |= bit(d0, 6, 14);
    exc |= bit(d2, 2, 15);
    uint16_t err = static_cast<uint16_t>(d1 & (old_model ? 0x1E : 0x1F));
    err |= static_cast<uint16_t>(d2 & 0xE0);
    rec[0] = exc;
    rec[1] = err;
    rec[2] = (d1 & 0x90) ? 0 : static_cast<uint16_t>(d3 | (d4 << 8));
}

void Build_Rems_Record(const uint8_t* q, uint16_t rec[3]) {
    const uint8_t q2 = q[2], q3 = q[3], q4 = q[4], q5 = q[5], q6 = q[6];
    uint16_t exc = static_cast<uint16_t>(q3 & 0x03);
    exc |= static_cast<uint16_t>(q4 & 0x18);
    exc |= static_cast<uint16_t>(q2 & 0x80);
    exc |= static_cast<uint16_t>((q2 & 0x1F) << 8);
    exc |= static_cast<uint16_t>(((q2 | q3) & 0x60) << 8);
    uint16_t err = static_cast<uint16_t>(q3 & 0x0C);
    err |= static_cast<uint16_t>((q4 & 0x07) << 8);
    err |= static_cast<uint16_t>((((q4 | q3) >> 4) & 1u) << 12);
    err |= static_cast<uint16_t>((q4 & 0xE0) << 8);
    rec[0] = exc;
    rec[1] = err;
    rec[2] = static_cast<uint16_t>(q5 | (q6 << 8));
}

}  // namespace prtlink
