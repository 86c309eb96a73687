// Telnet framing and option negotiation for RFC 2217, without any I/O: bytes in, bytes
// and events out. Used by both the RFC 2217 client backend and the server library.
//
//   data:         every 0xFF (IAC) byte is sent doubled
//   negotiation:  IAC {WILL|WONT|DO|DONT} <option>
//   com port cmd: IAC SB 44 <code> <value, IAC doubled> IAC SE
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace prt::plat::telnet {

constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;

constexpr uint8_t kOptBinary = 0;
constexpr uint8_t kOptEcho = 1;
constexpr uint8_t kOptSga = 3;
constexpr uint8_t kOptComPort = 44;

// RFC 2217 command codes, client to server; the server answers with code + 100.
namespace cpc {
constexpr uint8_t kSignature = 0;
constexpr uint8_t kSetBaudrate = 1;
constexpr uint8_t kSetDatasize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopsize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kNotifyLinestate = 6;
constexpr uint8_t kNotifyModemstate = 7;
constexpr uint8_t kFlowSuspend = 8;
constexpr uint8_t kFlowResume = 9;
constexpr uint8_t kSetLinestateMask = 10;
constexpr uint8_t kSetModemstateMask = 11;
constexpr uint8_t kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
constexpr uint8_t kFlowAsk = 0;
constexpr uint8_t kFlowNone = 1;
constexpr uint8_t kFlowXonXoff = 2;
constexpr uint8_t kFlowHardware = 3;
constexpr uint8_t kBreakAsk = 4;
constexpr uint8_t kBreakOn = 5;
constexpr uint8_t kBreakOff = 6;
constexpr uint8_t kDtrAsk = 7;
constexpr uint8_t kDtrOn = 8;
constexpr uint8_t kDtrOff = 9;
constexpr uint8_t kRtsAsk = 10;
constexpr uint8_t kRtsOn = 11;
constexpr uint8_t kRtsOff = 12;

// Line-state bits (NOTIFY-LINESTATE).
constexpr uint8_t kLineBreak = 0x10;
constexpr uint8_t kLineFrame = 0x08;
constexpr uint8_t kLineParity = 0x04;
constexpr uint8_t kLineOverrun = 0x02;

// Modem-state bits (NOTIFY-MODEMSTATE).
constexpr uint8_t kModemCd = 0x80;
constexpr uint8_t kModemRi = 0x40;
constexpr uint8_t kModemDsr = 0x20;
constexpr uint8_t kModemCts = 0x10;
constexpr uint8_t kModemDeltaDsr = 0x02;
constexpr uint8_t kModemDeltaCts = 0x01;
}  // namespace cpc

// Largest encoded size of a com port command with a value of `n` bytes.
constexpr size_t subneg_max_size(size_t n) {
    return 6 + 2 * n;
}

// Copies `in` to `out` with every IAC doubled. `out` must hold 2 * in.size() bytes.
// Returns the encoded length.
size_t escape_data(std::span<const uint8_t> in, uint8_t* out);

// Encodes IAC SB 44 <code> <value> IAC SE. `out` must hold subneg_max_size(value.size()).
size_t encode_com_port(uint8_t code, std::span<const uint8_t> value, uint8_t* out);

// Encodes IAC <verb> <option> into out[0..2]. Returns 3.
size_t encode_option(uint8_t verb, uint8_t option, uint8_t* out);

// What the decoder found in the stream.
class Sink {
  public:
    virtual ~Sink() = default;
    // A run of serial data with the escaping removed.
    virtual void on_data(std::span<const uint8_t> bytes) = 0;
    // IAC WILL/WONT/DO/DONT <option>.
    virtual void on_option(uint8_t verb, uint8_t option) = 0;
    // A com port command: the code and its value (unescaped). Other sub-negotiations and
    // other telnet commands (NOP, BRK, ...) are dropped.
    virtual void on_com_port(uint8_t code, std::span<const uint8_t> value) = 0;
};

// Stream decoder. Input may be split anywhere; state carries over between feed() calls.
// Does not allocate: sub-negotiation values longer than kMaxValue are cut.
class Decoder {
  public:
    static constexpr size_t kMaxValue = 32;
    void feed(std::span<const uint8_t> in, Sink& sink);
    void reset() { *this = Decoder{}; }

  private:
    enum class State : uint8_t { kData, kIac, kVerb, kSb, kSbIac };
    State state_ = State::kData;
    uint8_t verb_ = 0;
    uint8_t sb_[2 + kMaxValue] = {};  // option, code, value
    size_t sb_len_ = 0;
};

// Per-option state of both directions ("us": our WILL/WONT; "him": the peer's), so that
// either side may start, acknowledgements are never answered, and unknown options are
// refused. Options 0..63 are tracked; higher ones are always refused.
class Negotiator {
  public:
    // `supported` options are accepted in both directions.
    explicit Negotiator(std::span<const uint8_t> supported);

    // Asks to enable `option` on our side (WILL) or the peer's (DO). Writes the request to
    // `out` (3 bytes) and returns its length, or 0 when already enabled or requested.
    size_t request_local(uint8_t option, uint8_t* out);
    size_t request_remote(uint8_t option, uint8_t* out);

    // Takes in IAC <verb> <option> from the peer; writes the answer, if any, to `out`
    // (3 bytes) and returns its length.
    size_t receive(uint8_t verb, uint8_t option, uint8_t* out);

    bool local_enabled(uint8_t option) const;
    bool remote_enabled(uint8_t option) const;
    // The peer refused our request (WONT to our DO, DONT to our WILL).
    bool local_refused(uint8_t option) const;
    bool remote_refused(uint8_t option) const;

    void reset();

  private:
    static constexpr size_t kOptions = 64;
    enum class Q : uint8_t { kNo, kYes, kWantYes, kWantNo };
    struct Side {
        Q state = Q::kNo;
        bool refused = false;
    };
    bool supported(uint8_t option) const { return option < kOptions && supported_[option]; }
    size_t receive_side(Side& s, bool positive, bool accept, uint8_t yes, uint8_t no,
                        uint8_t option, uint8_t* out);

    bool supported_[kOptions] = {};
    Side local_[kOptions];
    Side remote_[kOptions];
};

}  // namespace prt::plat::telnet
