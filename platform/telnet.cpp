#include "platform/telnet.h"

#include <cstring>

namespace prt::plat::telnet {

size_t escape_data(std::span<const uint8_t> in, uint8_t* out) {
    size_t n = 0;
    for (const uint8_t b : in) {
        out[n++] = b;
        if (b == kIac) out[n++] = kIac;
    }
    return n;
}

size_t encode_com_port(uint8_t code, std::span<const uint8_t> value, uint8_t* out) {
    size_t n = 0;
    out[n++] = kIac;
    out[n++] = kSb;
    out[n++] = kOptComPort;
    out[n++] = code;
    n += escape_data(value, out + n);
    out[n++] = kIac;
    out[n++] = kSe;
    return n;
}

size_t encode_option(uint8_t verb, uint8_t option, uint8_t* out) {
    out[0] = kIac;
    out[1] = verb;
    out[2] = option;
    return 3;
}

void Decoder::feed(std::span<const uint8_t> in, Sink& sink) {
    size_t i = 0;
    const size_t n = in.size();
    while (i < n) {
        const uint8_t b = in[i];
        switch (state_) {
            case State::kData: {
                // Hand over the whole run up to the next IAC in one call.
                size_t end = i;
                while (end < n && in[end] != kIac) ++end;
                if (end > i) sink.on_data(in.subspan(i, end - i));
                i = end;
                if (i < n) {
                    state_ = State::kIac;
                    ++i;
                }
                continue;
            }
            case State::kIac:
                if (b == kIac) {
                    sink.on_data(in.subspan(i, 1));
                    state_ = State::kData;
                } else if (b == kSb) {
                    sb_len_ = 0;
                    state_ = State::kSb;
                } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                    verb_ = b;
                    state_ = State::kVerb;
                } else {
                    state_ = State::kData;  // NOP, BRK, GA, a stray SE: nothing to do
                }
                break;
            case State::kVerb:
                sink.on_option(verb_, b);
                state_ = State::kData;
                break;
            case State::kSb:
                if (b == kIac) {
                    state_ = State::kSbIac;
                } else if (sb_len_ < sizeof(sb_)) {
                    sb_[sb_len_++] = b;
                }
                break;
            case State::kSbIac:
                if (b == kIac) {
                    if (sb_len_ < sizeof(sb_)) sb_[sb_len_++] = kIac;
                    state_ = State::kSb;
                } else {
                    // IAC SE ends the sub-negotiation; any other command inside one is a
                    // peer error, and ending there resynchronises on the stream.
                    if (sb_len_ >= 2 && sb_[0] == kOptComPort) {
                        sink.on_com_port(sb_[1], std::span<const uint8_t>(sb_ + 2, sb_len_ - 2));
                    }
                    sb_len_ = 0;
                    state_ = State::kData;
                }
                break;
        }
        ++i;
    }
}

Negotiator::Negotiator(std::span<const uint8_t> supported) {
    for (const uint8_t o : supported) {
        if (o < kOptions) supported_[o] = true;
    }
}

void Negotiator::reset() {
    for (size_t i = 0; i < kOptions; ++i) {
        local_[i] = Side{};
        remote_[i] = Side{};
    }
}

size_t Negotiator::request_local(uint8_t option, uint8_t* out) {
    if (!supported(option)) return 0;
    Side& s = local_[option];
    if (s.state != Q::kNo) return 0;
    s.state = Q::kWantYes;
    s.refused = false;
    return encode_option(kWill, option, out);
}

size_t Negotiator::request_remote(uint8_t option, uint8_t* out) {
    if (!supported(option)) return 0;
    Side& s = remote_[option];
    if (s.state != Q::kNo) return 0;
    s.state = Q::kWantYes;
    s.refused = false;
    return encode_option(kDo, option, out);
}

size_t Negotiator::receive_side(Side& s, bool positive, bool accept, uint8_t yes, uint8_t no,
                                uint8_t option, uint8_t* out) {
    if (positive) {
        switch (s.state) {
            case Q::kNo:
                if (!accept) return encode_option(no, option, out);
                s.state = Q::kYes;
                return encode_option(yes, option, out);
            case Q::kWantYes:  // the answer to our request: not to be answered again
                s.state = Q::kYes;
                return 0;
            case Q::kWantNo:  // the peer contradicts our refusal; stay off
                s.state = Q::kNo;
                return 0;
            case Q::kYes:
                return 0;
        }
        return 0;
    }
    switch (s.state) {
        case Q::kYes:
            s.state = Q::kNo;
            return encode_option(no, option, out);
        case Q::kWantYes:
            s.state = Q::kNo;
            s.refused = true;
            return 0;
        case Q::kWantNo:
        case Q::kNo:
            s.state = Q::kNo;
            return 0;
    }
    return 0;
}

size_t Negotiator::receive(uint8_t verb, uint8_t option, uint8_t* out) {
    const bool accept = supported(option);
    const bool positive = verb == kWill || verb == kDo;
    if (option >= kOptions) {
        if (!positive) return 0;
        return encode_option(verb == kWill ? kDont : kWont, option, out);
    }
    if (verb == kWill || verb == kWont) {
        return receive_side(remote_[option], positive, accept, kDo, kDont, option, out);
    }
    if (verb == kDo || verb == kDont) {
        return receive_side(local_[option], positive, accept, kWill, kWont, option, out);
    }
    return 0;
}

bool Negotiator::local_enabled(uint8_t option) const {
    return option < kOptions && local_[option].state == Q::kYes;
}
bool Negotiator::remote_enabled(uint8_t option) const {
    return option < kOptions && remote_[option].state == Q::kYes;
}
bool Negotiator::local_refused(uint8_t option) const {
    return option < kOptions && local_[option].refused;
}
bool Negotiator::remote_refused(uint8_t option) const {
    return option < kOptions && remote_[option].refused;
}

}  // namespace prt::plat::telnet
