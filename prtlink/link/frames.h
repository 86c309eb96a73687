// Link frames: layout, CRC-16/X-25 and the control byte. Building and checking take
// bytes, not ports.
//
//   1B 5B 63 | len lo | len hi | unit | control | data (len - 4) | crc lo | crc hi
//
// len counts the bytes after the length field, CRC included; the CRC covers the lead-in
// through the last data byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace prtlink {

constexpr uint8_t kCtlLinkReset = 0xCC;
constexpr uint8_t kCtlPoll = 0xCD;
constexpr uint8_t kCtlPollBlock = 0xC5;
constexpr uint8_t kCtlLast = 0xCE;
constexpr uint8_t kCtlFirstMiddle = 0xCF;
constexpr uint8_t kTagBit = 0x20;
constexpr uint8_t kEchoBit = 0x10;
constexpr uint8_t kRoomBit = 0x40;

constexpr uint16_t kMaxAnswerLength = 118;  // what rx_frame can hold
constexpr size_t kRxCrcOffset = 121;

void Crc_Step(uint8_t byte, uint16_t* crc);
// CRC-16/X-25 of `count` bytes; a count below 1 gives 0x0000.
uint16_t Calc_Crc(const uint8_t* buffer, int count);

// Writes unit, control and CRC of a 9-byte poll or link-reset frame.
void Build_Short_Frame(uint8_t frame[9], uint8_t unit, uint8_t control);

// Fills a data frame in a 265-byte buffer: header, `count` (1..256) data bytes, CRC at
// bytes 263..264 whatever the length.
void Build_Data_Frame(uint8_t frame[265], uint8_t unit, uint8_t control, const uint8_t* data,
                      uint16_t count);

// True when the lead-in is 1B 5B 63 and the CRC over length + 3 bytes matches `crc_lo_hi`.
bool Frame_Ok(const uint8_t* frame, uint16_t length, const uint8_t crc_lo_hi[2]);

}  // namespace prtlink
