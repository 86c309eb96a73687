// The emulated printer: the printer's side of the framed, polled link, its print unit and
// REMS unit, scripted events and faults, and records of everything that happened.
//
// A Printer is the device behind an RFC 2217 server (it implements its Device interface)
// and talks back through a Line, so it can also be driven in-process with a fake Line.
// Every public call is thread-safe: the server thread feeds the Device callbacks, a test or
// the prtsim command loop scripts events and reads records at the same time. Hooks in the
// Config run on the thread that caused them, with the printer's lock held: they must not
// call back into the Printer.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "emulator/frame.h"
#include "platform/rfc2217_server.h"

namespace prt::emu {

// How an answer is handed over on the modem lines.
enum class Handshake : uint8_t {
    Auto,       // Block for print-unit levels 0x40..0x4F, else BytePaced
    BytePaced,  // DSR up when ready; one byte per RTS rising edge; DSR down at the next one
    Block,      // DSR up when ready; the whole answer at the RTS rising edge; DSR down at RTS off
    None,       // the answer goes out at once after the poll
};
// In every mode an answer is sent at once when the host already holds RTS on (CTS mode 2).

struct Config {
    uint8_t model = 0x1C;     // print-unit POR data byte 2
    uint8_t level = 0x30;     // print-unit POR data byte 4
    uint8_t features = 0x00;  // print-unit POR data byte 3
    bool rems = true;         // a REMS unit is fitted (on model 0xD0 reported by the no-REMS bit)
    uint8_t rems_level = 0x30;
    uint8_t rems_features = 0x00;
    bool por_error = false;       // print-unit POR reported with its error bit
    bool rems_por_error = false;  // REMS POR reported with its error bit
    Handshake handshake = Handshake::Auto;
    bool long_on = false;         // start as a printer whose POR statuses were already taken
    bool wire_timing = false;     // pace answers by the host's baud rate and stop bits
    size_t buffer_size = 4096;    // print buffer; room is reported while 256 bytes fit
    uint32_t print_rate = 0;      // bytes per second; 0 prints at once
    uint32_t reply_delay_ms = 0;  // extra time before each answer is ready
    // Optional hooks (see the thread note above): each frame record as it is made, and each
    // block of bytes taken by the print unit.
    std::function<void(const struct FrameRecord&)> on_frame;
    std::function<void(std::span<const uint8_t>)> on_print;
};

// Where the printer's answers go: the server's send side, or a test's fake.
class Line {
  public:
    virtual ~Line() = default;
    virtual void send(std::span<const uint8_t> bytes) = 0;
    virtual void set_modem(bool cts, bool dsr) = 0;
    virtual void send_break() = 0;
};

struct FrameRecord {
    uint64_t ms = 0;   // monotonic milliseconds since the printer was made
    bool out = false;  // true: printer to host
    std::vector<uint8_t> bytes;
    std::string text;  // decoded, with fault marks such as "(lost)"
};

struct RemsCommand {
    uint8_t device = 0;    // 01 magnetic stripe, 03 MICR reader
    uint8_t function = 0;  // 02 attributes, 03 write, 04 read
    std::vector<uint8_t> params;
};

struct Counters {
    std::array<uint32_t, 3> polls{};  // by unit byte 0..2
    uint32_t link_resets = 0;
    uint32_t breaks_received = 0;
    uint32_t breaks_sent = 0;
    uint32_t data_taken = 0;     // data frames whose data was taken
    uint32_t data_repeats = 0;   // data frames dropped as repeats (own sequence bit)
    uint32_t data_dropped = 0;   // data frames dropped by the drop-data fault
    uint32_t bad_frames = 0;     // CRC errors and frames ignored while powered off
    uint32_t answers = 0;        // answers made ready (lost ones included)
    uint32_t statuses_sent = 0;  // status answers made ready, repeats included
    uint32_t statuses_delivered = 0;
    uint32_t completions = 0;  // write completions queued
};

enum class Key : uint8_t { Stop, Start1, Start2, Multiuser, Mf1, Mf2, Mf3 };

// The command language of Printer::command, one command a line.
const char* command_help();

class Printer : public plat::rfc2217::Device {
  public:
    Printer(Config config, Line& line);
    ~Printer() override;
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;

    // Device side (the server thread).
    void on_connect() override;
    void on_disconnect() override;
    void on_data(std::span<const uint8_t> bytes) override;
    void on_rts(bool on) override;
    void on_break(bool on) override;
    void on_line_settings(const plat::rfc2217::ServerLineSettings& settings) override;

    // Announces the power state on the modem lines (CTS). Call once the Line can carry it.
    void announce_power();

    // Power. Off: CTS down, nothing is answered. On: CTS up, link reset, POR statuses queued.
    void power_off();
    void power_on();

    // Events: each queues one print-unit status with the bits the driver decodes for it.
    void insert_document();  // d0 0x08; later POR statuses carry 0x08 too
    void remove_document();  // d0 0x40 (no document)
    void end_of_document();  // d0 0x02
    void no_document();      // d0 0x40
    void key(Key k);         // Stop/cover d0 0x01, Start1 d0 0x20, Start2 d0 0x10,
                             // multiuser d1 0x40, MF1 d2 0x08, MF2 d2 0x04, MF3 d2 0x02
    // Raw statuses: print unit d0..d4; REMS unit q2..q6 (data bytes 0, 1 and 7 are zero).
    void queue_print_status(std::array<uint8_t, 5> d);
    void queue_rems_status(std::array<uint8_t, 5> q);
    void print_error(uint8_t d1 = 0x02);  // error bits of data byte 1
    void print_exception();               // d1 0x20
    void print_status_available();        // d2 0x10
    void rems_error(uint8_t q3 = 0x04);   // error bits of q3
    void rems_exception();                // q3 0x01
    void rems_status_available();         // q2 0x01

    // What the REMS unit reads: stripe contents (also set by a stripe write) and MICR lines
    // (each MICR read takes the next line; the last line stays). Print-unit read data.
    void set_stripe(std::vector<uint8_t> data);
    void add_micr_line(const std::string& line);
    void set_print_read_data(std::vector<uint8_t> data);

    // Faults. Counted ones act on the next n occasions.
    void fault_lose_answer(uint32_t n = 1);     // no answer to a poll (DSR stays down)
    void fault_bad_crc(uint32_t n = 1);         // answer with a corrupted CRC
    void fault_wrong_seq(uint32_t n = 1);       // answer with the other sequence bit
    void fault_break_answer(uint32_t n = 1);    // a break instead of the answer
    void fault_double_status(uint32_t n = 1);   // a status to the acknowledging poll
    void fault_busy(uint32_t polls);            // no buffer room in the next answers
    void fault_never_complete(uint32_t n = 1);  // the next writes never complete
    void fault_drop_data(uint32_t n = 1);       // the next data frames are lost
    // Random faults: each answer (or data frame) misbehaves with `percent` probability,
    // drawn from a generator seeded with `seed`. Percent 0 switches them off.
    void fault_random(uint32_t seed, uint32_t percent);
    void clear_faults();
    // A break from the printer (NOTIFY-LINESTATE break detect), now.
    void send_break();

    void set_print_rate(uint32_t bytes_per_second);
    void set_reply_delay(uint32_t ms);

    // Records.
    Counters counters() const;
    std::vector<FrameRecord> frames() const;
    std::vector<uint8_t> print_log() const;
    std::vector<RemsCommand> rems_commands() const;
    std::string page_text() const;
    std::vector<uint8_t> stripe() const;
    bool powered() const;
    bool dsr() const;
    // Statuses queued and not yet delivered, both units together.
    size_t pending_statuses() const;

    // Waits until `pred` holds (evaluated at once and after every change), at most `ms`
    // milliseconds. `pred` may call the accessors above.
    bool wait_for(const std::function<bool()>& pred, uint32_t ms) const;

    // One command of the prtsim language (command_help() lists them); returns the reply
    // text: "ok", a value, or "error: ..." for a command it does not understand.
    std::string command(const std::string& line);

  private:
    struct Status {
        uint8_t unit;
        std::vector<uint8_t> data;
    };
    enum class TxState : uint8_t { Idle, Ready, Sent };

    void handle_frame_locked(const Frame& f);
    void handle_poll_locked(const Frame& f);
    void handle_data_locked(const Frame& f);
    void handle_rems_command_locked(std::span<const uint8_t> cmd);
    void link_reset_locked(bool from_host);
    void update_printing_locked();
    void answer_locked(uint8_t unit, std::vector<uint8_t> data, bool is_status);
    void send_locked(std::span<const uint8_t> bytes);
    void abort_tx_locked();
    void set_dsr_locked(bool on);
    void record_locked(bool out, std::vector<uint8_t> bytes, std::string text);
    void queue_locked(uint8_t unit, std::vector<uint8_t> data);
    void changed_locked();
    bool has_rems_locked() const;
    Handshake mode_locked() const;
    bool random_hit_locked();
    uint32_t byte_time_us_locked() const;

    Config cfg_;
    Line& line_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    uint64_t generation_ = 0;
    uint64_t t0_ = 0;

    FrameParser parser_;
    bool powered_ = true;
    bool rts_ = false;
    bool dsr_ = false;
    uint32_t baud_ = 9600;
    uint8_t stop_bits_ = 1;

    uint8_t seq_ = 0;  // printer's sequence bit (0 or kCtlSeq)
    uint8_t ans_ = 0;  // printer's answer bit (0 or kCtlAnswer)
    std::deque<Status> queue_[3];
    bool outstanding_ = false;  // a status was sent and is not yet confirmed
    Status outstanding_status_{};

    TxState tx_state_ = TxState::Idle;
    Handshake tx_mode_ = Handshake::BytePaced;
    std::vector<uint8_t> tx_;
    size_t tx_pos_ = 0;

    bool document_in_ = false;
    size_t buffered_ = 0;
    uint64_t print_clock_ms_ = 0;
    bool write_open_ = false;     // last segment taken, completion due once printed
    bool write_started_ = false;  // a first or middle segment of a write was taken
    bool read_request_ = false;   // the open write was the print-unit read command
    std::vector<uint8_t> print_read_data_;
    std::vector<uint8_t> stripe_;
    std::deque<std::string> micr_;
    std::string last_micr_;

    uint32_t f_lose_ = 0, f_crc_ = 0, f_seq_ = 0, f_break_ = 0, f_double_ = 0, f_busy_ = 0,
             f_never_ = 0, f_drop_ = 0;
    uint32_t random_percent_ = 0;
    std::mt19937 rng_;

    Counters counters_;
    std::vector<FrameRecord> frames_;
    std::vector<uint8_t> print_log_;
    std::vector<RemsCommand> rems_;
};

}  // namespace prt::emu
