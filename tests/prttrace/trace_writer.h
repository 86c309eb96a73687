// Test helper: builds trace records and writes them into a 65536-byte section the way the
// driver does (record at the write position, wrap after 65504 back to 32, count capped at
// 65504, then both header words), so that the viewer is checked against that behaviour.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace prt::trace::testing {

using RecordBytes = std::array<uint8_t, 32>;

struct Stamp {
    uint8_t year = 26, month = 12, day = 11, hour = 14, minute = 3, second = 7;
    uint16_t millisecond = 123;
};

// `tag` is padded with blanks to 16 bytes; pass 16 bytes to keep NULs.
inline RecordBytes record(const std::string& tag, const std::array<uint8_t, 8>& body,
                          Stamp t = {}) {
    RecordBytes r{};
    r[0] = t.year;
    r[1] = t.month;
    r[2] = t.day;
    r[3] = t.hour;
    r[4] = t.minute;
    r[5] = t.second;
    r[6] = static_cast<uint8_t>(t.millisecond & 0xFF);
    r[7] = static_cast<uint8_t>(t.millisecond >> 8);
    std::memcpy(r.data() + 8, body.data(), 8);
    std::memset(r.data() + 16, ' ', 16);
    std::memcpy(r.data() + 16, tag.data(), tag.size() < 16 ? tag.size() : 16);
    return r;
}

inline RecordBytes event(const std::string& tag, uint16_t code, Stamp t = {}) {
    return record(tag,
                  {0, 0, 0, 0, 0, static_cast<uint8_t>(code >> 12),
                   static_cast<uint8_t>((code >> 8) & 0x0F), static_cast<uint8_t>(code & 0xFF)},
                  t);
}

inline RecordBytes value(const std::string& tag, uint32_t v, Stamp t = {}) {
    return record(tag,
                  {0, 0, 0, 0, static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                   static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)},
                  t);
}

inline uint32_t get_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline void put_u32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

// Writes into the section at `base` (65536 bytes) as the driver does.
class Writer {
  public:
    explicit Writer(uint8_t* base) : base_(base) {}

    // What the driver does when it first attaches: write position 32, count untouched.
    void attach() {
        next_ = 32;
        count_ = get_u32(base_ + 4);
        put_u32(base_, 32);
    }

    void write(const RecordBytes& r) {
        std::memcpy(base_ + next_, r.data(), r.size());
        next_ += 32;
        if (next_ >= 65536) next_ = 32;
        count_ = count_ < 65504 ? count_ + 32 : 65504;
        put_u32(base_, next_);
        put_u32(base_ + 4, count_);
    }

  private:
    uint8_t* base_;
    uint32_t next_ = 32;
    uint32_t count_ = 0;
};

}  // namespace prt::trace::testing
