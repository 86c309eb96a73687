#include "emulator/printer.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "emulator/page_text.h"
#include "platform/clock.h"

namespace prt::emu {
namespace {

// The print-unit read command, sent as the only segment of a write.
constexpr uint8_t kPrintReadCommand[8] = {0x1B, 0x5B, 0x63, 0x03, 0x00, 0x02, 0x17, 0x40};
// Read data that fits one REMS answer after its 9 leading data bytes.
constexpr size_t kMaxRemsRead = kMaxAnswerData - 9;

constexpr uint8_t kAckControl = 0x81;
constexpr uint8_t kStatusControl = 0x82;

}  // namespace

Printer::Printer(Config config, Line& line) : cfg_(std::move(config)), line_(line) {
    t0_ = plat::monotonic_ms();
    print_clock_ms_ = t0_;
    if (!cfg_.long_on) link_reset_locked(false);
}

Printer::~Printer() = default;

// ---- Device side ----------------------------------------------------------------------

void Printer::on_connect() {
    std::lock_guard lk(mu_);
    rts_ = false;
    parser_.reset();
    abort_tx_locked();
    record_locked(false, {}, "connect");
    changed_locked();
}

void Printer::on_disconnect() {
    std::lock_guard lk(mu_);
    parser_.reset();
    abort_tx_locked();
    record_locked(false, {}, "disconnect");
    changed_locked();
}

void Printer::on_data(std::span<const uint8_t> bytes) {
    std::lock_guard lk(mu_);
    std::vector<Frame> frames;
    parser_.feed(bytes, frames);
    for (const Frame& f : frames) handle_frame_locked(f);
    changed_locked();
}

void Printer::on_rts(bool on) {
    std::lock_guard lk(mu_);
    const bool rising = on && !rts_;
    const bool falling = !on && rts_;
    rts_ = on;
    if (rising) {
        if (tx_state_ == TxState::Ready) {
            if (tx_mode_ == Handshake::BytePaced) {
                send_locked(std::span<const uint8_t>(&tx_[tx_pos_], 1));
                ++tx_pos_;
            } else {
                send_locked(std::span<const uint8_t>(tx_).subspan(tx_pos_));
                tx_pos_ = tx_.size();
            }
            if (tx_pos_ == tx_.size()) tx_state_ = TxState::Sent;
        } else if (tx_state_ == TxState::Sent) {
            // The host raises RTS once more after the last byte: the answer is released.
            set_dsr_locked(false);
            tx_state_ = TxState::Idle;
        }
    } else if (falling && tx_state_ == TxState::Sent && tx_mode_ != Handshake::BytePaced) {
        set_dsr_locked(false);
        tx_state_ = TxState::Idle;
    }
    changed_locked();
}

void Printer::on_break(bool on) {
    std::lock_guard lk(mu_);
    if (!on) return;
    ++counters_.breaks_received;
    parser_.reset();
    abort_tx_locked();
    record_locked(false, {}, "break");
    changed_locked();
}

void Printer::on_line_settings(const plat::rfc2217::ServerLineSettings& s) {
    std::lock_guard lk(mu_);
    baud_ = s.baud ? s.baud : 9600;
    stop_bits_ = s.stop_bits;
}

void Printer::announce_power() {
    std::lock_guard lk(mu_);
    line_.set_modem(powered_, dsr_);
}

// ---- Link ----------------------------------------------------------------------------

void Printer::handle_frame_locked(const Frame& f) {
    std::string text = describe_host_frame(f);
    if (!powered_) {
        ++counters_.bad_frames;
        record_locked(false, f.raw, text + " (power off)");
        return;
    }
    record_locked(false, f.raw, text);
    if (!f.crc_ok) {
        ++counters_.bad_frames;
        return;
    }
    // A new frame ends whatever is left of an earlier answer.
    abort_tx_locked();
    switch (f.kind()) {
        case FrameKind::LinkReset:
            link_reset_locked(true);
            break;
        case FrameKind::Poll:
            handle_poll_locked(f);
            break;
        case FrameKind::LastData:
        case FrameKind::MoreData:
            handle_data_locked(f);
            break;
    }
}

void Printer::link_reset_locked(bool from_host) {
    if (from_host) ++counters_.link_resets;
    seq_ = 0;
    ans_ = 0;
    outstanding_ = false;
    for (auto& q : queue_) q.clear();
    parser_.reset();
    buffered_ = 0;
    write_open_ = false;
    write_started_ = false;
    read_request_ = false;
    const uint8_t d1 = static_cast<uint8_t>((cfg_.por_error ? 0x10 : 0) |
                                            (cfg_.model == 0xD0 && !cfg_.rems ? 0x01 : 0));
    queue_locked(1, {static_cast<uint8_t>(0x80 | (document_in_ ? 0x08 : 0)), d1, cfg_.model,
                     cfg_.features, cfg_.level});
    if (has_rems_locked()) {
        queue_locked(2, {0, 0, 0x80, static_cast<uint8_t>(cfg_.rems_por_error ? 0x10 : 0), 0,
                         cfg_.rems_features, cfg_.rems_level, 0});
    }
}

void Printer::handle_poll_locked(const Frame& f) {
    const uint8_t unit = f.unit;
    if (unit < counters_.polls.size()) ++counters_.polls[unit];
    update_printing_locked();

    uint32_t delay_us = cfg_.reply_delay_ms * 1000u;
    if (cfg_.wire_timing) delay_us += static_cast<uint32_t>(f.raw.size()) * byte_time_us_locked();
    if (delay_us) std::this_thread::sleep_for(std::chrono::microseconds(delay_us));

    const uint8_t echo = f.control & kCtlAnswer;
    if (outstanding_) {
        if (echo != ans_) {
            // The host did not get the status: it polls with the old answer bit.
            answer_locked(unit, outstanding_status_.data, true);
            return;
        }
        outstanding_ = false;
        ++counters_.statuses_delivered;
        if (f_double_ > 0) {
            --f_double_;
            Status s{unit, unit == 2 ? std::vector<uint8_t>(8, 0) : std::vector<uint8_t>(5, 0)};
            if (unit <= 2 && !queue_[unit].empty()) {
                s = std::move(queue_[unit].front());
                queue_[unit].pop_front();
            }
            seq_ ^= kCtlSeq;
            ans_ ^= kCtlAnswer;
            outstanding_ = true;
            outstanding_status_ = s;
            answer_locked(unit, s.data, true);
            return;
        }
        // The poll that acknowledges a status always gets a plain acknowledgement.
        answer_locked(unit, {}, false);
        return;
    }
    if (unit >= 1 && unit <= 2 && !queue_[unit].empty()) {
        outstanding_status_ = std::move(queue_[unit].front());
        queue_[unit].pop_front();
        seq_ ^= kCtlSeq;
        ans_ ^= kCtlAnswer;
        outstanding_ = true;
        answer_locked(unit, outstanding_status_.data, true);
        return;
    }
    answer_locked(unit, {}, false);
}

void Printer::handle_data_locked(const Frame& f) {
    if (outstanding_ && (f.control & kCtlAnswer) == ans_) {
        outstanding_ = false;
        ++counters_.statuses_delivered;
    }
    bool drop = false;
    if (f_drop_ > 0) {
        --f_drop_;
        drop = true;
    } else if (random_hit_locked()) {
        drop = true;
    }
    if (drop) {
        ++counters_.data_dropped;
        record_locked(false, {}, "data frame dropped (fault)");
        return;
    }
    const uint8_t tag = f.control & kCtlSeq;
    if (tag == seq_) {
        ++counters_.data_repeats;
        record_locked(false, {}, "data frame is a repeat, dropped");
        return;
    }
    seq_ = tag;
    ++counters_.data_taken;
    const bool last = f.kind() == FrameKind::LastData;
    if (f.unit == 1) {
        update_printing_locked();
        if (last && !write_started_ &&
            std::equal(f.data.begin(), f.data.end(), kPrintReadCommand,
                       kPrintReadCommand + sizeof kPrintReadCommand) &&
            f.data.size() == sizeof kPrintReadCommand) {
            read_request_ = true;
        } else {
            print_log_.insert(print_log_.end(), f.data.begin(), f.data.end());
            if (cfg_.on_print) cfg_.on_print(f.data);
            buffered_ += f.data.size();
        }
        write_started_ = !last;
        if (last) write_open_ = true;
        update_printing_locked();
    } else if (f.unit == 2 && has_rems_locked()) {
        handle_rems_command_locked(f.data);
    }
}

void Printer::handle_rems_command_locked(std::span<const uint8_t> cmd) {
    RemsCommand rc;
    if (cmd.size() >= 7 && std::equal(cmd.begin(), cmd.begin() + 3, kLeadIn)) {
        rc.device = cmd[5];
        rc.function = cmd[6];
        rc.params.assign(cmd.begin() + 7, cmd.end());
    } else {
        rc.params.assign(cmd.begin(), cmd.end());
    }
    rems_.push_back(rc);

    std::vector<uint8_t> read;
    bool reads = false;
    if (rc.device == 0x01 && rc.function == 0x03 && !rc.params.empty()) {
        stripe_.assign(rc.params.begin() + 1, rc.params.end());
    } else if (rc.device == 0x01 && rc.function == 0x04) {
        read = stripe_;
        reads = true;
    } else if (rc.device == 0x03 && rc.function == 0x04) {
        if (!micr_.empty()) {
            last_micr_ = micr_.front();
            micr_.pop_front();
        }
        read.assign(last_micr_.begin(), last_micr_.end());
        reads = true;
    }
    if (f_never_ > 0) {
        --f_never_;
        record_locked(false, {}, "REMS command never completes (fault)");
        return;
    }
    if (read.size() > kMaxRemsRead) read.resize(kMaxRemsRead);
    std::vector<uint8_t> data(8, 0);
    data[7] = static_cast<uint8_t>(read.size());
    if (reads && !read.empty()) {
        data.push_back(0);
        data.insert(data.end(), read.begin(), read.end());
    }
    ++counters_.completions;
    queue_locked(2, std::move(data));
}

void Printer::update_printing_locked() {
    const uint64_t now = plat::monotonic_ms();
    if (cfg_.print_rate == 0) {
        buffered_ = 0;
    } else if (buffered_ > 0) {
        const uint64_t can = (now - print_clock_ms_) * cfg_.print_rate / 1000u;
        if (can > 0) {
            const size_t done = static_cast<size_t>(std::min<uint64_t>(can, buffered_));
            buffered_ -= done;
            print_clock_ms_ += done * 1000u / cfg_.print_rate;
        }
    }
    if (buffered_ == 0) print_clock_ms_ = now;
    if (!write_open_ || buffered_ != 0) return;
    write_open_ = false;
    if (f_never_ > 0) {
        --f_never_;
        read_request_ = false;
        record_locked(false, {}, "write never completes (fault)");
        return;
    }
    ++counters_.completions;
    if (!read_request_) {
        queue_locked(1, {0, 0, 0, 0, 0});
        return;
    }
    read_request_ = false;
    if (cfg_.model != 0xD0 && cfg_.model != 0x1A) {
        queue_locked(1, {0, 0, 0, 0, 0});
        return;
    }
    // Multi-part answer: a completion with the more-data bit, then the count and the first
    // four bytes, then five bytes a part.
    queue_locked(1, {0, 0, 0x01, 0, 0});
    const auto& rd = print_read_data_;
    std::vector<uint8_t> part{static_cast<uint8_t>(rd.size())};
    for (size_t i = 0; i < 4; ++i) part.push_back(i < rd.size() ? rd[i] : 0);
    queue_locked(1, part);
    for (size_t i = 4; i < rd.size(); i += 5) {
        part.clear();
        for (size_t k = i; k < i + 5; ++k) part.push_back(k < rd.size() ? rd[k] : 0);
        queue_locked(1, part);
    }
}

void Printer::answer_locked(uint8_t unit, std::vector<uint8_t> data, bool is_status) {
    ++counters_.answers;
    if (is_status) ++counters_.statuses_sent;
    bool room = cfg_.buffer_size >= buffered_ + kMaxHostData;
    if (f_busy_ > 0) {
        --f_busy_;
        room = false;
    }
    uint8_t control = static_cast<uint8_t>((is_status ? kStatusControl : kAckControl) |
                                           (room ? kCtlRoom : 0) | seq_ | ans_);
    bool lose = false, bad_crc = false, brk = false;
    if (f_lose_ > 0) {
        --f_lose_;
        lose = true;
    } else if (f_break_ > 0) {
        --f_break_;
        brk = true;
    } else if (f_crc_ > 0) {
        --f_crc_;
        bad_crc = true;
    } else if (f_seq_ > 0) {
        --f_seq_;
        control ^= kCtlSeq;
    } else if (random_hit_locked()) {
        switch (rng_() % 4) {
            case 0:
                lose = true;
                break;
            case 1:
                brk = true;
                break;
            case 2:
                bad_crc = true;
                break;
            default:
                control ^= kCtlSeq;
                break;
        }
    }
    std::vector<uint8_t> frame = build_frame(unit, control, data);
    if (bad_crc) frame[frame.size() - 1] ^= 0xFF;
    std::string text = describe_answer(frame);
    if (lose) {
        record_locked(true, std::move(frame), text + " (lost)");
        return;
    }
    if (brk) {
        record_locked(true, std::move(frame), text + " (break instead)");
        ++counters_.breaks_sent;
        line_.send_break();
        return;
    }
    record_locked(true, frame, text);
    tx_ = std::move(frame);
    tx_pos_ = 0;
    tx_mode_ = mode_locked();
    set_dsr_locked(true);
    if (rts_ || tx_mode_ == Handshake::None) {
        send_locked(tx_);
        tx_pos_ = tx_.size();
        tx_state_ = TxState::Sent;
    } else {
        tx_state_ = TxState::Ready;
    }
}

void Printer::send_locked(std::span<const uint8_t> bytes) {
    if (cfg_.wire_timing) {
        std::this_thread::sleep_for(
            std::chrono::microseconds(bytes.size() * byte_time_us_locked()));
    }
    line_.send(bytes);
}

void Printer::abort_tx_locked() {
    tx_state_ = TxState::Idle;
    tx_.clear();
    tx_pos_ = 0;
    set_dsr_locked(false);
}

void Printer::set_dsr_locked(bool on) {
    if (dsr_ == on) return;
    dsr_ = on;
    line_.set_modem(powered_, dsr_);
}

void Printer::record_locked(bool out, std::vector<uint8_t> bytes, std::string text) {
    FrameRecord r{plat::monotonic_ms() - t0_, out, std::move(bytes), std::move(text)};
    if (cfg_.on_frame) cfg_.on_frame(r);
    frames_.push_back(std::move(r));
}

void Printer::queue_locked(uint8_t unit, std::vector<uint8_t> data) {
    queue_[unit].push_back(Status{unit, std::move(data)});
}

void Printer::changed_locked() {
    ++generation_;
    cv_.notify_all();
}

bool Printer::has_rems_locked() const {
    return cfg_.rems;
}

Handshake Printer::mode_locked() const {
    if (cfg_.handshake != Handshake::Auto) return cfg_.handshake;
    return (cfg_.level >= 0x40 && cfg_.level <= 0x4F) ? Handshake::Block : Handshake::BytePaced;
}

bool Printer::random_hit_locked() {
    return random_percent_ != 0 && rng_() % 100 < random_percent_;
}

uint32_t Printer::byte_time_us_locked() const {
    const uint32_t bits = stop_bits_ == 1 ? 10 : 11;
    return bits * 1000000u / baud_;
}

// ---- Script ----------------------------------------------------------------------------

void Printer::power_off() {
    std::lock_guard lk(mu_);
    abort_tx_locked();
    powered_ = false;
    parser_.reset();
    line_.set_modem(false, false);
    record_locked(true, {}, "power off");
    changed_locked();
}

void Printer::power_on() {
    std::lock_guard lk(mu_);
    abort_tx_locked();
    powered_ = true;
    line_.set_modem(true, dsr_);
    link_reset_locked(false);
    record_locked(true, {}, "power on");
    changed_locked();
}

#define PRT_EMU_LOCKED(body)     \
    do {                         \
        std::lock_guard lk(mu_); \
        body;                    \
        changed_locked();        \
    } while (0)

void Printer::insert_document() {
    PRT_EMU_LOCKED(document_in_ = true; queue_locked(1, {0x08, 0, 0, 0, 0}));
}
void Printer::remove_document() {
    PRT_EMU_LOCKED(document_in_ = false; queue_locked(1, {0x40, 0, 0, 0, 0}));
}
void Printer::end_of_document() {
    PRT_EMU_LOCKED(queue_locked(1, {0x02, 0, 0, 0, 0}));
}
void Printer::no_document() {
    PRT_EMU_LOCKED(document_in_ = false; queue_locked(1, {0x40, 0, 0, 0, 0}));
}

void Printer::key(Key k) {
    std::array<uint8_t, 5> d{};
    switch (k) {
        case Key::Stop:
            d[0] = 0x01;
            break;
        case Key::Start1:
            d[0] = 0x20;
            break;
        case Key::Start2:
            d[0] = 0x10;
            break;
        case Key::Multiuser:
            d[1] = 0x40;
            break;
        case Key::Mf1:
            d[2] = 0x08;
            break;
        case Key::Mf2:
            d[2] = 0x04;
            break;
        case Key::Mf3:
            d[2] = 0x02;
            break;
    }
    queue_print_status(d);
}

void Printer::queue_print_status(std::array<uint8_t, 5> d) {
    PRT_EMU_LOCKED(queue_locked(1, std::vector<uint8_t>(d.begin(), d.end())));
}

void Printer::queue_rems_status(std::array<uint8_t, 5> q) {
    std::vector<uint8_t> data{0, 0};
    data.insert(data.end(), q.begin(), q.end());
    data.push_back(0);
    PRT_EMU_LOCKED(queue_locked(2, std::move(data)));
}

void Printer::print_error(uint8_t d1) {
    queue_print_status({0, d1, 0, 0, 0});
}
void Printer::print_exception() {
    queue_print_status({0, 0x20, 0, 0, 0});
}
void Printer::print_status_available() {
    queue_print_status({0, 0, 0x10, 0, 0});
}
void Printer::rems_error(uint8_t q3) {
    queue_rems_status({0, q3, 0, 0, 0});
}
void Printer::rems_exception() {
    queue_rems_status({0, 0x01, 0, 0, 0});
}
void Printer::rems_status_available() {
    queue_rems_status({0x01, 0, 0, 0, 0});
}

void Printer::set_stripe(std::vector<uint8_t> data) {
    PRT_EMU_LOCKED(stripe_ = std::move(data));
}
void Printer::add_micr_line(const std::string& line) {
    PRT_EMU_LOCKED(micr_.push_back(line));
}
void Printer::set_print_read_data(std::vector<uint8_t> data) {
    PRT_EMU_LOCKED(print_read_data_ = std::move(data));
}

void Printer::fault_lose_answer(uint32_t n) {
    PRT_EMU_LOCKED(f_lose_ += n);
}
void Printer::fault_bad_crc(uint32_t n) {
    PRT_EMU_LOCKED(f_crc_ += n);
}
void Printer::fault_wrong_seq(uint32_t n) {
    PRT_EMU_LOCKED(f_seq_ += n);
}
void Printer::fault_break_answer(uint32_t n) {
    PRT_EMU_LOCKED(f_break_ += n);
}
void Printer::fault_double_status(uint32_t n) {
    PRT_EMU_LOCKED(f_double_ += n);
}
void Printer::fault_busy(uint32_t polls) {
    PRT_EMU_LOCKED(f_busy_ += polls);
}
void Printer::fault_never_complete(uint32_t n) {
    PRT_EMU_LOCKED(f_never_ += n);
}
void Printer::fault_drop_data(uint32_t n) {
    PRT_EMU_LOCKED(f_drop_ += n);
}
void Printer::fault_random(uint32_t seed, uint32_t percent) {
    PRT_EMU_LOCKED(rng_.seed(seed); random_percent_ = std::min<uint32_t>(percent, 100));
}
void Printer::clear_faults() {
    PRT_EMU_LOCKED(f_lose_ = f_crc_ = f_seq_ = f_break_ = f_double_ = f_busy_ = f_never_ = f_drop_ =
                       random_percent_ = 0);
}

void Printer::send_break() {
    PRT_EMU_LOCKED(++counters_.breaks_sent; record_locked(true, {}, "break"); line_.send_break());
}

void Printer::set_print_rate(uint32_t bps) {
    PRT_EMU_LOCKED(cfg_.print_rate = bps);
}
void Printer::set_reply_delay(uint32_t ms) {
    PRT_EMU_LOCKED(cfg_.reply_delay_ms = ms);
}

#undef PRT_EMU_LOCKED

// ---- Records ---------------------------------------------------------------------------

Counters Printer::counters() const {
    std::lock_guard lk(mu_);
    return counters_;
}
std::vector<FrameRecord> Printer::frames() const {
    std::lock_guard lk(mu_);
    return frames_;
}
std::vector<uint8_t> Printer::print_log() const {
    std::lock_guard lk(mu_);
    return print_log_;
}
std::vector<RemsCommand> Printer::rems_commands() const {
    std::lock_guard lk(mu_);
    return rems_;
}
std::string Printer::page_text() const {
    std::lock_guard lk(mu_);
    return render_page_text(print_log_);
}
std::vector<uint8_t> Printer::stripe() const {
    std::lock_guard lk(mu_);
    return stripe_;
}
bool Printer::powered() const {
    std::lock_guard lk(mu_);
    return powered_;
}
bool Printer::dsr() const {
    std::lock_guard lk(mu_);
    return dsr_;
}
size_t Printer::pending_statuses() const {
    std::lock_guard lk(mu_);
    return queue_[1].size() + queue_[2].size() + (outstanding_ ? 1 : 0);
}

bool Printer::wait_for(const std::function<bool()>& pred, uint32_t ms) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lk(mu_);
    for (;;) {
        const uint64_t seen = generation_;
        lk.unlock();
        if (pred()) return true;
        lk.lock();
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // Changes outside the printer (the host's side of a test) wake nothing here, so look
        // again at least every 10 ms.
        const auto slice =
            std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
        cv_.wait_until(lk, slice, [&] { return generation_ != seen; });
    }
}

}  // namespace prt::emu
