// Link frames as the printer sees them: the frame check, building answers and cutting the
// host's byte stream into frames. Pure byte work, no I/O, so it is tested with fixed bytes.
//
// Frame: 1B 5B 63, 16-bit length (little-endian, bytes after the length field including the
// CRC), unit, control, data, CRC-16/X-25 of everything before it (low byte first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace prt::emu {

constexpr uint8_t kLeadIn[3] = {0x1B, 0x5B, 0x63};

// Host frames carry at most 256 data bytes; printer answers at most 114.
constexpr size_t kMaxHostData = 256;
constexpr size_t kMaxAnswerData = 114;

// Bits of the control byte.
constexpr uint8_t kCtlRoom = 0x40;    // printer to host: a data frame can be taken
constexpr uint8_t kCtlSeq = 0x20;     // sequence bit
constexpr uint8_t kCtlAnswer = 0x10;  // answer (echo) bit
constexpr uint8_t kCtlKindMask = 0x03;

enum class FrameKind : uint8_t { LinkReset = 0, Poll = 1, LastData = 2, MoreData = 3 };

// CRC-16/X-25: reflected polynomial 0x1021, initial 0xFFFF, final complement.
uint16_t crc16_x25(std::span<const uint8_t> bytes);

// A whole frame around `data` with a correct CRC.
std::vector<uint8_t> build_frame(uint8_t unit, uint8_t control, std::span<const uint8_t> data);

struct Frame {
    uint8_t unit = 0;
    uint8_t control = 0;
    std::vector<uint8_t> data;
    std::vector<uint8_t> raw;  // the frame as received
    bool crc_ok = false;

    FrameKind kind() const { return static_cast<FrameKind>(control & kCtlKindMask); }
};

// Cuts a byte stream into frames. Bytes before a lead-in are skipped; a length field outside
// 4..260 drops the lead-in and searches again. A frame with a bad CRC is still delivered,
// with crc_ok false, so that it can be logged.
class FrameParser {
  public:
    // Appends bytes; complete frames go to `out`. Returns the number of bytes skipped.
    size_t feed(std::span<const uint8_t> bytes, std::vector<Frame>& out);
    // Drops a partial frame (after a break, a power cycle or a link reset).
    void reset() { buf_.clear(); }
    bool partial() const { return !buf_.empty(); }

  private:
    std::vector<uint8_t> buf_;
};

// One-line readable form of a frame in either direction, e.g.
// "poll unit=1 seq=0 ans=0" or "status unit=1 seq=1 ans=1 room=1 data=00 00 00 00 00".
std::string describe_host_frame(const Frame& f);
std::string describe_answer(std::span<const uint8_t> raw);
std::string hex(std::span<const uint8_t> bytes);

}  // namespace prt::emu
