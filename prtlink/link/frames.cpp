#include "prtlink/link/frames.h"

#include <array>
#include <cstring>
#include <utility>

namespace prtlink {
namespace {

// Entry i is the reflected CRC (polynomial 0x8408) of the single byte i.
constexpr uint16_t crc_entry(uint8_t i) {
    uint16_t c = i;
    for (int b = 0; b < 8; ++b) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0x8408) : c >> 1;
    return c;
}

template <size_t... I>
constexpr std::array<uint16_t, 256> make_table(std::index_sequence<I...>) {
    return {crc_entry(static_cast<uint8_t>(I))...};
}

}  // namespace

constexpr std::array<uint16_t, 256> kCrcTable = make_table(std::make_index_sequence<256>{});
static_assert(kCrcTable[1] == 0x1189);

void Crc_Step(uint8_t byte, uint16_t* crc) {
    *crc = static_cast<uint16_t>(kCrcTable[(byte ^ *crc) & 0xFF] ^ (*crc >> 8));
}

uint16_t Calc_Crc(const uint8_t* buffer, int count) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < count; ++i) Crc_Step(buffer[i], &crc);
    return static_cast<uint16_t>(~crc);
}

void Build_Short_Frame(uint8_t frame[9], uint8_t unit, uint8_t control) {
    frame[0] = 0x1B;
    frame[1] = 0x5B;
    frame[2] = 0x63;
    frame[3] = 0x04;
    frame[4] = 0x00;
    frame[5] = unit;
    frame[6] = control;
    const uint16_t crc = Calc_Crc(frame, 7);
    frame[7] = static_cast<uint8_t>(crc);
    frame[8] = static_cast<uint8_t>(crc >> 8);
}

void Build_Data_Frame(uint8_t frame[265], uint8_t unit, uint8_t control, const uint8_t* data,
                      uint16_t count) {
    const uint16_t len = static_cast<uint16_t>(count + 4);
    frame[0] = 0x1B;
    frame[1] = 0x5B;
    frame[2] = 0x63;
    frame[3] = static_cast<uint8_t>(len);
    frame[4] = static_cast<uint8_t>(len >> 8);
    frame[5] = unit;
    frame[6] = control;
    std::memcpy(frame + 7, data, count);
    const uint16_t crc = Calc_Crc(frame, len + 3);
    frame[263] = static_cast<uint8_t>(crc);
    frame[264] = static_cast<uint8_t>(crc >> 8);
}

bool Frame_Ok(const uint8_t* frame, uint16_t length, const uint8_t crc_lo_hi[2]) {
    if (frame[0] != 0x1B || frame[1] != 0x5B || frame[2] != 0x63) return false;
    const uint16_t crc = Calc_Crc(frame, length + 3);
    return crc_lo_hi[0] == static_cast<uint8_t>(crc) && crc_lo_hi[1] == static_cast<uint8_t>(crc >> 8);
}

}  // namespace prtlink
