// The host's side of the link for the emulator's tests: a port opened through our RFC 2217
// client, with the three ways of reading an answer, and the driver's two link bits kept as
// the driver keeps them. Frames are built by hand (golden bytes) or with build_frame.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/frame.h"
#include "platform/clock.h"
#include "platform/port.h"

namespace prt::emu::test {

// A runtime directory and namespace of this test process, so that runs can go in parallel.
inline void use_private_runtime() {
    static const bool done = [] {
        char tmpl[] = "/tmp/prt-emu-test-XXXXXX";
        const char* dir = mkdtemp(tmpl);
        if (dir) setenv("PRT_RUNTIME_DIR", dir, 1);
        setenv("PRT_NAMESPACE", ("emutest" + std::to_string(getpid())).c_str(), 1);
        // Port reads time out after 100 ms instead of 500 ms.
        plat::set_time_scale(0.2);
        return true;
    }();
    (void)done;
}

enum class ReadMode {
    BytePaced,  // CTS mode 1: DSR, then one RTS pulse a byte, release by RTS on / DSR off
    Block,      // CTS mode 1 with block transfer: DSR, RTS on, read all, RTS off
    RtsOn,      // CTS mode 2: RTS held on, the answer just arrives
};

class Host {
  public:
    explicit Host(ReadMode mode = ReadMode::RtsOn) : mode_(mode) {}
    ~Host() { close(); }

    bool open(const std::string& url) {
        use_private_runtime();
        if (!plat::port_open(url, &h_)) return false;
        plat::LineSettings ls;
        ls.baud = 9600;
        ls.stop_bits = 1;
        if (!plat::port_configure(h_, ls)) return false;
        return plat::port_set_rts(h_, mode_ == ReadMode::RtsOn);
    }
    void close() {
        if (h_ != plat::kInvalidHandle) plat::port_close(h_);
        h_ = plat::kInvalidHandle;
    }
    uint32_t handle() const { return h_; }

    void write(const std::vector<uint8_t>& bytes) {
        uint32_t written = 0;
        ASSERT_TRUE(
            plat::port_write(h_, bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
        ASSERT_EQ(written, bytes.size());
    }
    void purge() { ASSERT_TRUE(plat::port_purge(h_)); }

    uint32_t modem() {
        uint32_t bits = 0;
        EXPECT_TRUE(plat::port_modem_status(h_, &bits));
        return bits;
    }
    // Waits until the modem bit is in the wanted state; false at the deadline.
    bool wait_modem(uint32_t bit, bool on, uint32_t ms = 2000) {
        const uint64_t end = plat::monotonic_ms() + ms;
        for (;;) {
            if (((modem() & bit) != 0) == on) return true;
            if (plat::monotonic_ms() >= end) return false;
            // Modem notifications arrive on the socket; the next status call takes them in.
            plat::sleep_ms(5);
        }
    }
    uint32_t take_errors() {
        uint32_t f = 0;
        EXPECT_TRUE(plat::port_take_errors(h_, &f));
        return f;
    }
    std::vector<uint8_t> read_raw(uint32_t n) {
        std::vector<uint8_t> b(n);
        uint32_t got = 0;
        EXPECT_TRUE(plat::port_read(h_, b.data(), n, &got));
        b.resize(got);
        return b;
    }

    // Reads one answer by the handshake of the mode; empty when none came.
    std::vector<uint8_t> read_answer() {
        std::vector<uint8_t> f;
        if (mode_ == ReadMode::RtsOn) {
            f = read_raw(7);
            if (f.size() < 7) return f;
            const auto rest = read_raw(length(f) - 4 + 2);
            f.insert(f.end(), rest.begin(), rest.end());
            return f;
        }
        if (!wait_modem(plat::kModemDsr, true)) return {};
        if (mode_ == ReadMode::Block) {
            EXPECT_TRUE(plat::port_set_rts(h_, true));
            f = read_raw(7);
            if (f.size() == 7) {
                const auto rest = read_raw(length(f) - 4 + 2);
                f.insert(f.end(), rest.begin(), rest.end());
            }
            EXPECT_TRUE(plat::port_set_rts(h_, false));
            EXPECT_TRUE(wait_modem(plat::kModemDsr, false));
            return f;
        }
        f = read_paced(7);
        if (f.size() == 7) {
            const auto rest = read_paced(length(f) - 4 + 2);
            f.insert(f.end(), rest.begin(), rest.end());
        }
        // Release: DSR stays up until RTS rises once more after the last byte.
        EXPECT_TRUE(modem() & plat::kModemDsr);
        EXPECT_TRUE(plat::port_set_rts(h_, true));
        EXPECT_TRUE(wait_modem(plat::kModemDsr, false));
        EXPECT_TRUE(plat::port_set_rts(h_, false));
        return f;
    }

    // One RTS pulse per byte, as the driver reads byte by byte.
    std::vector<uint8_t> read_paced(uint32_t n) {
        std::vector<uint8_t> out;
        for (uint32_t i = 0; i < n; ++i) {
            EXPECT_TRUE(plat::port_set_rts(h_, true));
            const auto b = read_raw(1);
            EXPECT_TRUE(plat::port_set_rts(h_, false));
            if (b.empty()) break;
            out.push_back(b[0]);
        }
        return out;
    }

    // A poll with the driver's current bits; the answer updates them as the driver does.
    std::vector<uint8_t> poll(uint8_t unit) {
        send_poll(unit);
        auto a = read_answer();
        take(a);
        return a;
    }
    void send_poll(uint8_t unit) {
        purge();
        write(build_frame(unit, static_cast<uint8_t>(0xCD | echo | tag), {}));
    }
    // Takes an answer's bits into the driver's state.
    void take(const std::vector<uint8_t>& a) {
        if (a.size() < 9) return;
        echo = a[6] & kCtlAnswer;
        if (a.size() > 9) tag = a[6] & kCtlSeq;
    }
    // A new data frame: toggles the sequence bit first.
    std::vector<uint8_t> data_frame(uint8_t unit, const std::vector<uint8_t>& data,
                                    bool last = true) {
        tag ^= kCtlSeq;
        return build_frame(unit, static_cast<uint8_t>((last ? 0xCE : 0xCF) | echo | tag), data);
    }
    // Polls until a status answer of the unit arrives, acknowledging it; returns its data.
    std::vector<uint8_t> next_status(uint8_t unit, int max_polls = 10) {
        for (int i = 0; i < max_polls; ++i) {
            const auto a = poll(unit);
            if (a.size() > 9) {
                const auto ack = poll(unit);
                EXPECT_EQ(ack.size(), 9u) << "the acknowledging poll must get a plain ack";
                return std::vector<uint8_t>(a.begin() + 7, a.end() - 2);
            }
        }
        return {};
    }

    static size_t length(const std::vector<uint8_t>& f) { return f[3] | (f[4] << 8); }

    uint8_t echo = 0;
    uint8_t tag = 0;

  private:
    ReadMode mode_;
    uint32_t h_ = plat::kInvalidHandle;
};

inline bool crc_good(const std::vector<uint8_t>& f) {
    if (f.size() < 9) return false;
    const uint16_t c = crc16_x25(std::span<const uint8_t>(f).first(f.size() - 2));
    return f[f.size() - 2] == (c & 0xFF) && f[f.size() - 1] == (c >> 8);
}

}  // namespace prt::emu::test
