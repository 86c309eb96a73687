// Test fixtures for the driver: a namespace, runtime and configuration directory of the
// test's own, the registry file, trace sections and their records, a scripted peer on the
// line, and a second driver process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/rfc2217_server.h"

namespace prt::test {

struct TraceRec {
    std::string tag;  // trailing blanks and NULs removed
    uint8_t b[8];
    uint16_t code() const { return static_cast<uint16_t>((b[5] << 12) | (b[6] << 8) | b[7]); }
    uint32_t value() const {
        return (uint32_t{b[4]} << 24) | (uint32_t{b[5]} << 16) | (uint32_t{b[6]} << 8) | b[7];
    }
};

// Sets PRT_NAMESPACE, PRT_RUNTIME_DIR and PRT_CONFIG_DIR to fresh values for this test;
// removes what it made when destroyed. Does not attach the driver.
class DriverEnv {
public:
    DriverEnv();
    ~DriverEnv();

    const std::string& dir() const { return dir_; }
    void write_registry(const std::string& text);
    // A registry with printer `id` on `device` (COM<id>), the given CTS mode, baud, stop bits.
    void configure_printer(int id, const std::string& device, int cts_line = 1, int baud = 9600,
                           int stop_bits = 2);

    void create_trace(int printer);  // creates or resets WPLOG<printer>
    std::vector<TraceRec> trace(int printer) const;
    // Tags of the records, in order, for readable failure messages.
    std::string trace_text(int printer) const;
    size_t count_tag(int printer, const std::string& tag) const;
    // The first record with `tag`, or null.
    std::unique_ptr<TraceRec> find_tag(int printer, const std::string& tag) const;

private:
    std::string dir_;
    std::string ns_;
};

// A second process that runs driver calls given as text lines ("open 1 0", "close H",
// "begin H 0", "end H", "lock", "quit"); each reply is one line.
class DriverChild {
public:
    DriverChild();  // starts tests' drvchild program with the current environment
    ~DriverChild();
    std::string call(const std::string& line);  // empty on a dead child
    void kill_hard();                           // SIGKILL and reap
    bool alive() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buffered_;
};

// A peer that answers every poll with the next scripted frame, or with an
// acknowledgement (sequence bit 0) when the script is empty. The poll after a status
// answer (the driver's acknowledging poll) always gets an acknowledgement. No handshake: use it with
// CTS mode 2. CTS is up.
class ScriptedPeer : public prt::plat::rfc2217::Device {
public:
    ScriptedPeer();
    ~ScriptedPeer() override;
    std::string url() const;
    void push(std::vector<uint8_t> frame);
    // A status answer frame with these data bytes and control byte.
    static std::vector<uint8_t> status_frame(uint8_t unit, const std::vector<uint8_t>& data,
                                             uint8_t control = 0xC0);
    int polls() const;

    void on_data(std::span<const uint8_t> bytes) override;

private:
    mutable std::mutex mu_;
    std::unique_ptr<prt::plat::rfc2217::Server> server_;
    std::deque<std::vector<uint8_t>> script_;
    std::vector<uint8_t> in_;
    int polls_ = 0;
    bool acknowledging_ = false;
};

// CRC-16/X-25, written apart from the driver's so that the fixtures check it.
uint16_t x25(const uint8_t* p, size_t n);

}  // namespace prt::test
