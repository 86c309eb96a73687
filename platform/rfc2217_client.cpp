// The RFC 2217 client backend: a serial port on a networked port server.
//
// One connection per open port. Everything runs on the caller's thread: incoming bytes are
// taken in whenever a call needs them (a read, the modem lines, the error flags, a wait
// for acknowledgements) and decoded into a data ring, a modem-state cache and the line
// error flags. Commands that the driver sends per byte (RTS, DTR, break) go out without
// waiting for their acknowledgement; the order in the TCP stream is what the server sees.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/names.h"
#include "platform/port_backend.h"
#include "platform/telnet.h"

namespace prt::plat {
namespace {

namespace cpc = telnet::cpc;

constexpr int kConnectTimeoutMs = 3000;
// Negotiation and line-setting acknowledgements. Network round trips do not shrink with
// the tests' time scale, hence the floor.
constexpr uint32_t kAnswerWaitMs = 3000;
constexpr uint32_t kAnswerWaitFloorMs = 1000;
// Grace for the flow-control acknowledgement once the line settings are acknowledged;
// some servers answer it with other values or not at all.
constexpr uint64_t kControlGraceMs = 250;
// A server that never acknowledges a purge must not make us drop data for ever.
constexpr uint64_t kPurgeAckLimitMs = 2000;
constexpr uint8_t kLinestateMask =
    cpc::kLineBreak | cpc::kLineFrame | cpc::kLineParity | cpc::kLineOverrun;

constexpr uint8_t kSupportedOptions[] = {telnet::kOptBinary, telnet::kOptSga, telnet::kOptComPort};

uint32_t answer_wait_ms() {
    return std::max(scaled_ms(kAnswerWaitMs), kAnswerWaitFloorMs);
}

struct Address {
    std::string host;
    std::string port;
};

// "host:port", "[v6]:port", with anything after a '/' or '?' ignored.
bool parse_address(const std::string& text, Address* out) {
    std::string s = text.substr(0, text.find_first_of("/?"));
    if (!s.empty() && s[0] == '[') {
        const size_t close = s.find(']');
        if (close == std::string::npos || close + 1 >= s.size() || s[close + 1] != ':') {
            return false;
        }
        out->host = s.substr(1, close - 1);
        out->port = s.substr(close + 2);
    } else {
        const size_t colon = s.rfind(':');
        if (colon == std::string::npos) return false;
        out->host = s.substr(0, colon);
        out->port = s.substr(colon + 1);
    }
    if (out->host.empty() || out->port.empty() || out->port.size() > 5) return false;
    return std::all_of(out->port.begin(), out->port.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// The per-address lock file: a second open of the same address, from any process, fails
// until the first closes; a dead holder's lock goes with it.
int take_address_lock(const Address& a) {
    std::string name = "port." + a.host + "_" + a.port + ".lock";
    for (char& c : name) {
        if (c == '/' || c == ':') c = '_';
    }
    const std::string path = runtime_path(name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int connect_with_timeout(const Address& a) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (::getaddrinfo(a.host.c_str(), a.port.c_str(), &hints, &list) != 0 || list == nullptr) {
        errno = EHOSTUNREACH;
        return -1;
    }
    int err = ECONNREFUSED;
    int fd = -1;
    for (addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        const int s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                               ai->ai_protocol);
        if (s < 0) {
            err = errno;
            continue;
        }
        if (::connect(s, ai->ai_addr, ai->ai_addrlen) == 0) {
            fd = s;
            break;
        }
        if (errno == EINPROGRESS) {
            pollfd p{s, POLLOUT, 0};
            int r;
            do {
                r = ::poll(&p, 1, kConnectTimeoutMs);
            } while (r < 0 && errno == EINTR);
            int so_error = 0;
            socklen_t len = sizeof(so_error);
            if (r == 1 && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &so_error, &len) == 0 &&
                so_error == 0) {
                fd = s;
                break;
            }
            err = r == 0 ? ETIMEDOUT : (so_error != 0 ? so_error : errno);
        } else {
            err = errno;
        }
        ::close(s);
    }
    ::freeaddrinfo(list);
    if (fd < 0) {
        errno = err;
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

class Rfc2217Port final : public PortBackend, private telnet::Sink {
  public:
    Rfc2217Port(int sock, int lock_fd) : sock_(sock), lock_fd_(lock_fd), neg_(kSupportedOptions) {}
    ~Rfc2217Port() override { close(); }

    int fd() const override { return sock_; }

    // Offers and accepts COM-PORT-OPTION, BINARY and SGA; done when the server agreed to
    // the com port option in either direction. Then asks for every modem and line event.
    bool negotiate() {
        uint8_t req[18];
        size_t n = 0;
        for (const uint8_t opt : kSupportedOptions) {
            n += neg_.request_local(opt, req + n);
            n += neg_.request_remote(opt, req + n);
        }
        const uint64_t deadline = monotonic_ms() + answer_wait_ms();
        if (!send_all(req, n, deadline)) return false;
        const auto agreed = [this] {
            return neg_.local_enabled(telnet::kOptComPort) ||
                   neg_.remote_enabled(telnet::kOptComPort);
        };
        while (!agreed()) {
            if (neg_.local_refused(telnet::kOptComPort) &&
                neg_.remote_refused(telnet::kOptComPort)) {
                errno = EPROTONOSUPPORT;
                return false;
            }
            if (!pump_until(deadline)) return false;
        }
        const uint8_t all = 0xFF;
        const uint8_t line = kLinestateMask;
        return send_command(cpc::kSetModemstateMask, {&all, 1}, deadline) &&
               send_command(cpc::kSetLinestateMask, {&line, 1}, deadline);
    }

    bool configure(const LineSettings& s) override {
        if (s.baud < 1200 || s.baud > 19200 || s.data_bits != 8 ||
            (s.stop_bits != 1 && s.stop_bits != 2)) {
            errno = EINVAL;
            return false;
        }
        const uint64_t deadline = monotonic_ms() + answer_wait_ms();
        const uint8_t baud[4] = {static_cast<uint8_t>(s.baud >> 24),
                                 static_cast<uint8_t>(s.baud >> 16),
                                 static_cast<uint8_t>(s.baud >> 8), static_cast<uint8_t>(s.baud)};
        const uint8_t size = 8;
        const uint8_t parity = 1;  // none
        const uint8_t stop = s.stop_bits;
        const uint8_t flow = cpc::kFlowNone;
        uint32_t before[13];
        std::copy(std::begin(acks_), std::end(acks_), before);
        if (!send_command(cpc::kSetBaudrate, baud, deadline) ||
            !send_command(cpc::kSetDatasize, {&size, 1}, deadline) ||
            !send_command(cpc::kSetParity, {&parity, 1}, deadline) ||
            !send_command(cpc::kSetStopsize, {&stop, 1}, deadline) ||
            !send_command(cpc::kSetControl, {&flow, 1}, deadline)) {
            return false;
        }
        // Any answer counts: servers differ in the values they echo (a longer baud answer,
        // the flow value for a control command). A server that answers none is dead.
        const auto answered = [&](uint8_t code) { return acks_[code] != before[code]; };
        while (!(answered(cpc::kSetBaudrate) && answered(cpc::kSetDatasize) &&
                 answered(cpc::kSetParity) && answered(cpc::kSetStopsize))) {
            if (!pump_until(deadline)) {
                if (errno == ETIMEDOUT) errno = EPROTO;
                return false;
            }
        }
        const uint64_t grace = std::min<uint64_t>(deadline, monotonic_ms() + kControlGraceMs);
        while (!answered(cpc::kSetControl)) {
            if (!pump_until(grace)) return errno == ETIMEDOUT;
        }
        return true;
    }

    bool purge() override {
        const uint8_t both = 3;
        if (!send_command(cpc::kPurgeData, {&both, 1}, port_deadline())) return false;
        // Everything received up to the server's acknowledgement predates the purge.
        ++purge_pending_;
        purge_limit_ = monotonic_ms() + kPurgeAckLimitMs;
        rx_head_ = 0;
        rx_size_ = 0;
        return true;
    }

    bool write(const uint8_t* data, uint32_t count, uint32_t* written) override {
        const uint64_t deadline = port_deadline();
        uint8_t enc[2 * kWriteChunk];
        while (*written < count) {
            const uint32_t take = std::min<uint32_t>(count - *written, kWriteChunk);
            const std::span<const uint8_t> chunk(data + *written, take);
            const size_t len = telnet::escape_data(chunk, enc);
            size_t sent = 0;
            const bool ok = send_all(enc, len, deadline, &sent);
            if (!ok) {
                // Count the input bytes whose encoding went out whole.
                size_t pos = 0;
                for (const uint8_t b : chunk) {
                    pos += b == telnet::kIac ? 2 : 1;
                    if (pos > sent) break;
                    ++*written;
                }
                return false;
            }
            *written += take;
        }
        return true;
    }

    bool read(uint8_t* data, uint32_t count, uint32_t* got) override {
        const uint64_t deadline = port_deadline();
        for (;;) {
            *got += take_rx(data + *got, count - *got);
            if (*got >= count) return true;
            if (!pump_until(deadline)) return errno == ETIMEDOUT;
        }
    }

    bool set_rts(bool on) override { return send_control(on ? cpc::kRtsOn : cpc::kRtsOff); }
    bool set_dtr(bool on) override { return send_control(on ? cpc::kDtrOn : cpc::kDtrOff); }
    bool set_break(bool on) override { return send_control(on ? cpc::kBreakOn : cpc::kBreakOff); }

    bool modem_status(uint32_t* bits) override {
        if (!drain()) return false;
        uint32_t out = 0;
        if (modem_ & cpc::kModemCts) out |= kModemCts;
        if (modem_ & cpc::kModemDsr) out |= kModemDsr;
        if (modem_ & cpc::kModemRi) out |= kModemRing;
        if (modem_ & cpc::kModemCd) out |= kModemCd;
        *bits = out;
        return true;
    }

    bool take_errors(uint32_t* flags) override {
        *flags = 0;
        if (!drain()) return false;
        *flags = errors_;
        errors_ = 0;
        return true;
    }

    bool close() override {
        bool ok = true;
        if (sock_ >= 0) {
            ok = ::close(sock_) == 0 || errno == EINTR;
            sock_ = -1;
        }
        if (lock_fd_ >= 0) {
            ::close(lock_fd_);
            lock_fd_ = -1;
        }
        return ok;
    }

  private:
    static constexpr uint32_t kWriteChunk = 512;
    static constexpr size_t kRxSize = 16384;

    static uint64_t port_deadline() { return monotonic_ms() + scaled_ms(kPortTimeoutMs); }

    // --- telnet::Sink: runs inside take_in() ---

    void on_data(std::span<const uint8_t> bytes) override {
        if (purge_pending_ > 0 && monotonic_ms() >= purge_limit_) purge_pending_ = 0;
        if (purge_pending_ > 0) return;
        for (const uint8_t b : bytes) {
            if (rx_size_ == kRxSize) {
                errors_ |= kErrRxOver;
                return;
            }
            rx_[(rx_head_ + rx_size_) % kRxSize] = b;
            ++rx_size_;
        }
    }

    void on_option(uint8_t verb, uint8_t option) override {
        if (reply_len_ + 3 <= sizeof(reply_)) {
            reply_len_ += neg_.receive(verb, option, reply_ + reply_len_);
        }
    }

    void on_com_port(uint8_t code, std::span<const uint8_t> value) override {
        if (code < cpc::kServerOffset) return;  // a client command: not ours to answer
        const uint8_t cmd = code - cpc::kServerOffset;
        switch (cmd) {
            case cpc::kNotifyModemstate:
                if (!value.empty()) modem_ = value[0];
                return;
            case cpc::kNotifyLinestate:
                if (!value.empty()) {
                    if (value[0] & cpc::kLineBreak) errors_ |= kErrBreak;
                    if (value[0] & cpc::kLineFrame) errors_ |= kErrFrame;
                    if (value[0] & cpc::kLineParity) errors_ |= kErrParity;
                    if (value[0] & cpc::kLineOverrun) errors_ |= kErrOverrun;
                }
                return;
            case cpc::kPurgeData:
                if (purge_pending_ > 0) --purge_pending_;
                break;
            default:
                break;
        }
        if (cmd < std::size(acks_)) ++acks_[cmd];
    }

    // --- I/O ---

    uint32_t take_rx(uint8_t* out, uint32_t want) {
        uint32_t n = 0;
        while (n < want && rx_size_ > 0) {
            out[n++] = rx_[rx_head_];
            rx_head_ = (rx_head_ + 1) % kRxSize;
            --rx_size_;
        }
        return n;
    }

    // Receives once (without waiting) and decodes. False with errno when the connection
    // failed or closed; *idle tells that nothing was there.
    bool take_in(bool* idle) {
        *idle = false;
        const ssize_t n = ::recv(sock_, raw_, sizeof(raw_), MSG_DONTWAIT);
        if (n > 0) {
            dec_.feed(std::span<const uint8_t>(raw_, static_cast<size_t>(n)), *this);
            return flush_replies();
        }
        if (n == 0) {
            errno = ECONNRESET;
            return false;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            *idle = true;
            return true;
        }
        return false;
    }

    // Takes in everything that has already arrived, never waiting.
    bool drain() {
        bool idle = false;
        while (!idle) {
            if (!take_in(&idle)) return false;
        }
        return true;
    }

    // Waits until something arrives (and takes it in) or until `deadline`, where it fails
    // with ETIMEDOUT.
    bool pump_until(uint64_t deadline) {
        for (;;) {
            bool idle = false;
            if (!take_in(&idle)) return false;
            if (!idle) return true;
            const uint64_t now = monotonic_ms();
            if (now >= deadline) {
                errno = ETIMEDOUT;
                return false;
            }
            pollfd p{sock_, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(deadline - now));
            if (r < 0 && errno != EINTR) return false;
        }
    }

    // Sends all of `len` bytes by `deadline`, taking in what arrives meanwhile so that a
    // server blocked on its own sending cannot stall us.
    bool send_all(const uint8_t* data, size_t len, uint64_t deadline, size_t* sent_out = nullptr) {
        size_t sent = 0;
        bool ok = true;
        while (sent < len) {
            const ssize_t n = ::send(sock_, data + sent, len - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                ok = false;
                break;
            }
            const uint64_t now = monotonic_ms();
            if (now >= deadline) {
                errno = ETIMEDOUT;
                ok = false;
                break;
            }
            pollfd p{sock_, POLLOUT | POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(deadline - now));
            if (r < 0 && errno != EINTR) {
                ok = false;
                break;
            }
            if (r > 0 && (p.revents & POLLIN)) {
                const ssize_t got = ::recv(sock_, raw_, sizeof(raw_), MSG_DONTWAIT);
                if (got > 0) {
                    dec_.feed(std::span<const uint8_t>(raw_, static_cast<size_t>(got)), *this);
                } else if (got == 0) {
                    errno = ECONNRESET;
                    ok = false;
                    break;
                }
            }
        }
        if (sent_out != nullptr) *sent_out = sent;
        return ok;
    }

    // Negotiation answers collected while decoding.
    bool flush_replies() {
        while (reply_len_ > 0) {
            uint8_t out[sizeof(reply_)];
            const size_t n = reply_len_;
            std::memcpy(out, reply_, n);
            reply_len_ = 0;
            if (!send_all(out, n, port_deadline())) return false;
        }
        return true;
    }

    bool send_command(uint8_t code, std::span<const uint8_t> value, uint64_t deadline) {
        uint8_t buf[telnet::subneg_max_size(4)];
        const size_t n =
            telnet::encode_com_port(code, value.first(std::min<size_t>(value.size(), 4)), buf);
        return send_all(buf, n, deadline) && flush_replies();
    }

    bool send_control(uint8_t value) {
        return send_command(cpc::kSetControl, {&value, 1}, port_deadline());
    }

    int sock_;
    int lock_fd_;
    telnet::Decoder dec_;
    telnet::Negotiator neg_;
    uint8_t raw_[2048];
    uint8_t reply_[96];
    size_t reply_len_ = 0;
    uint8_t rx_[kRxSize];
    size_t rx_head_ = 0;
    size_t rx_size_ = 0;
    uint8_t modem_ = 0;
    uint32_t errors_ = 0;
    uint32_t purge_pending_ = 0;
    uint64_t purge_limit_ = 0;
    uint32_t acks_[13] = {};  // answers received, by command code
};

}  // namespace

std::unique_ptr<PortBackend> open_rfc2217_port(const std::string& address) {
    Address a;
    if (!parse_address(address, &a)) {
        errno = EINVAL;
        return nullptr;
    }
    const int lock_fd = take_address_lock(a);
    if (lock_fd < 0) return nullptr;
    const int sock = connect_with_timeout(a);
    if (sock < 0) {
        const int err = errno;
        ::close(lock_fd);
        errno = err;
        return nullptr;
    }
    auto port = std::make_unique<Rfc2217Port>(sock, lock_fd);
    if (!port->negotiate()) {
        const int err = errno;
        port->close();
        errno = err;
        return nullptr;
    }
    return port;
}

}  // namespace prt::plat
