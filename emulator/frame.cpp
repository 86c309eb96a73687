#include "emulator/frame.h"

#include <cstdio>

namespace prt::emu {

uint16_t crc16_x25(std::span<const uint8_t> bytes) {
    // Bitwise on purpose: an independent reading beside the driver's table form.
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : (crc >> 1);
    }
    return static_cast<uint16_t>(~crc);
}

std::vector<uint8_t> build_frame(uint8_t unit, uint8_t control, std::span<const uint8_t> data) {
    std::vector<uint8_t> f(kLeadIn, kLeadIn + 3);
    const size_t len = data.size() + 4;
    f.push_back(static_cast<uint8_t>(len & 0xFF));
    f.push_back(static_cast<uint8_t>(len >> 8));
    f.push_back(unit);
    f.push_back(control);
    f.insert(f.end(), data.begin(), data.end());
    const uint16_t crc = crc16_x25(f);
    f.push_back(static_cast<uint8_t>(crc & 0xFF));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

size_t FrameParser::feed(std::span<const uint8_t> bytes, std::vector<Frame>& out) {
    size_t skipped = 0;
    buf_.insert(buf_.end(), bytes.begin(), bytes.end());
    size_t pos = 0;
    for (;;) {
        // Find a lead-in, keeping a possible partial one at the end.
        size_t i = pos;
        for (; i < buf_.size(); ++i) {
            size_t k = 0;
            while (k < 3 && i + k < buf_.size() && buf_[i + k] == kLeadIn[k]) ++k;
            if (k == 3 || i + k == buf_.size()) break;
        }
        skipped += i - pos;
        pos = i;
        if (buf_.size() - pos < 5) break;
        const size_t len = buf_[pos + 3] | (static_cast<size_t>(buf_[pos + 4]) << 8);
        if (len < 4 || len > kMaxHostData + 4) {
            ++pos;
            ++skipped;
            continue;
        }
        const size_t total = len + 5;
        if (buf_.size() - pos < total) break;
        Frame f;
        f.raw.assign(buf_.begin() + static_cast<long>(pos),
                     buf_.begin() + static_cast<long>(pos + total));
        f.unit = f.raw[5];
        f.control = f.raw[6];
        f.data.assign(f.raw.begin() + 7, f.raw.end() - 2);
        const uint16_t crc = crc16_x25(std::span<const uint8_t>(f.raw).first(total - 2));
        f.crc_ok = f.raw[total - 2] == (crc & 0xFF) && f.raw[total - 1] == (crc >> 8);
        out.push_back(std::move(f));
        pos += total;
    }
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(pos));
    return skipped;
}

std::string hex(std::span<const uint8_t> bytes) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

namespace {
std::string bits(uint8_t control) {
    std::string s = " seq=";
    s += (control & kCtlSeq) ? '1' : '0';
    s += " ans=";
    s += (control & kCtlAnswer) ? '1' : '0';
    return s;
}
}  // namespace

std::string describe_host_frame(const Frame& f) {
    static const char* const kNames[] = {"link-reset", "poll", "data-last", "data-more"};
    std::string s = kNames[static_cast<int>(f.kind())];
    s += " unit=" + std::to_string(f.unit) + bits(f.control);
    if (!f.data.empty()) s += " n=" + std::to_string(f.data.size());
    if (!f.crc_ok) s += " BAD-CRC";
    return s;
}

std::string describe_answer(std::span<const uint8_t> raw) {
    if (raw.size() < 9) return "short";
    const uint8_t c = raw[6];
    std::string s = raw.size() == 9 ? "ack" : "status";
    s += " unit=" + std::to_string(raw[5]) + bits(c) + " room=" + ((c & kCtlRoom) ? "1" : "0");
    if (raw.size() > 9) s += " data=" + hex(raw.subspan(7, raw.size() - 9));
    const uint16_t crc = crc16_x25(raw.first(raw.size() - 2));
    if (raw[raw.size() - 2] != (crc & 0xFF) || raw[raw.size() - 1] != (crc >> 8)) s += " BAD-CRC";
    return s;
}

}  // namespace prt::emu
