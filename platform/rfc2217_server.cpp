// RFC 2217 server: one thread runs a poll loop over the listening socket, the client's
// connection and a wake-up eventfd. Everything towards the client (negotiation answers,
// acknowledgements, notifications, data) goes through one outgoing queue under a mutex,
// so the bytes leave in the order they were queued, whichever thread queued them.
#include "platform/rfc2217_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/telnet.h"

namespace prt::plat::rfc2217 {
namespace {

namespace cpc = telnet::cpc;

constexpr uint8_t kSupportedOptions[] = {telnet::kOptBinary, telnet::kOptSga, telnet::kOptComPort};
constexpr char kSignature[] = "prtstack rfc2217 server";
// A client that stops reading must not make the queue grow without end.
constexpr size_t kMaxQueued = 4u << 20;

class ServerImpl final : public Server, private telnet::Sink {
  public:
    ServerImpl(Device& device, int listen_fd, int wake_fd, uint16_t port)
        : device_(device),
          listen_fd_(listen_fd),
          wake_fd_(wake_fd),
          port_(port),
          neg_(kSupportedOptions) {
        thread_ = std::thread([this] { run(); });
    }
    ~ServerImpl() override { stop(); }

    uint16_t port() const override { return port_; }
    bool connected() const override { return connected_.load(); }

    void send_data(std::span<const uint8_t> bytes) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!client_open_ || out_.size() + 2 * bytes.size() > kMaxQueued) return;
            const size_t at = out_.size();
            out_.resize(at + 2 * bytes.size());
            out_.resize(at + telnet::escape_data(bytes, out_.data() + at));
        }
        wake();
    }

    void set_modem(bool cts, bool dsr) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            const uint8_t now = (cts ? cpc::kModemCts : 0) | (dsr ? cpc::kModemDsr : 0);
            if (now == modem_) return;
            uint8_t delta = 0;
            if ((now ^ modem_) & cpc::kModemCts) delta |= cpc::kModemDeltaCts;
            if ((now ^ modem_) & cpc::kModemDsr) delta |= cpc::kModemDeltaDsr;
            modem_ = now;
            if (!negotiated_) return;
            queue_command_locked(cpc::kNotifyModemstate + cpc::kServerOffset,
                                 static_cast<uint8_t>((now | delta) & modem_mask_));
        }
        wake();
    }

    void send_break() override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (!client_open_) return;
            // Before the negotiation ends it waits behind the first modem state.
            if (!negotiated_) {
                break_pending_ = true;
                return;
            }
            queue_command_locked(cpc::kNotifyLinestate + cpc::kServerOffset, cpc::kLineBreak);
        }
        wake();
    }

    void stop() override {
        if (!thread_.joinable()) return;
        stop_.store(true);
        wake();
        thread_.join();
        ::close(listen_fd_);
        ::close(wake_fd_);
    }

  private:
    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof(one));
    }

    void queue_locked(const uint8_t* data, size_t n) {
        if (client_open_) out_.insert(out_.end(), data, data + n);
    }

    void queue_command_locked(uint8_t code, std::span<const uint8_t> value) {
        uint8_t buf[telnet::subneg_max_size(sizeof(kSignature))];
        queue_locked(buf, telnet::encode_com_port(code, value, buf));
    }
    void queue_command_locked(uint8_t code, uint8_t value) {
        queue_command_locked(code, std::span<const uint8_t>(&value, 1));
    }
    void answer(uint8_t code, std::span<const uint8_t> value) {
        std::lock_guard<std::mutex> lock(mu_);
        queue_command_locked(code + cpc::kServerOffset, value);
    }
    void answer(uint8_t code, uint8_t value) { answer(code, std::span<const uint8_t>(&value, 1)); }

    void run() {
        uint8_t buf[4096];
        while (!stop_.load()) {
            pollfd fds[3] = {{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}, {client_fd_, 0, 0}};
            nfds_t count = 2;
            if (client_fd_ >= 0) {
                std::lock_guard<std::mutex> lock(mu_);
                fds[2].events =
                    static_cast<short>(POLLIN | (out_.size() > out_sent_ ? POLLOUT : 0));
                count = 3;
            }
            if (::poll(fds, count, -1) < 0 && errno != EINTR) break;
            if (fds[0].revents & POLLIN) {
                uint64_t v;
                [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &v, sizeof(v));
            }
            // The client first: a host that closed and connects again must find its old
            // connection gone, not be refused as a second client.
            if (count == 3 && client_fd_ >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
                read_client(buf, sizeof(buf));
            }
            if (fds[1].revents & POLLIN) accept_client(buf, sizeof(buf));
            if (client_fd_ >= 0 && !flush()) drop_client();
        }
        if (client_fd_ >= 0) drop_client();
    }

    // Takes in what the client sent; drops it when it has gone. False when it has gone.
    bool read_client(uint8_t* buf, size_t size) {
        for (;;) {
            const ssize_t n = ::recv(client_fd_, buf, size, MSG_DONTWAIT);
            if (n > 0) {
                dec_.feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)), *this);
                if (client_fd_ < 0) return false;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
            drop_client();
            return false;
        }
    }

    void accept_client(uint8_t* buf, size_t size) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (client_fd_ >= 0 && read_client(buf, size)) {  // one client at a time
            ::close(fd);
            return;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        client_fd_ = fd;
        dec_.reset();
        neg_.reset();
        {
            std::lock_guard<std::mutex> lock(mu_);
            out_.clear();
            out_sent_ = 0;
            client_open_ = true;
            negotiated_ = false;
            break_pending_ = false;
            modem_mask_ = 0xFF;
            uint8_t req[12];
            size_t n = 0;
            n += neg_.request_remote(telnet::kOptComPort, req + n);
            n += neg_.request_local(telnet::kOptBinary, req + n);
            n += neg_.request_remote(telnet::kOptBinary, req + n);
            n += neg_.request_local(telnet::kOptSga, req + n);
            queue_locked(req, n);
        }
        connected_.store(true);
        device_.on_connect();
    }

    void drop_client() {
        ::close(client_fd_);
        client_fd_ = -1;
        {
            std::lock_guard<std::mutex> lock(mu_);
            client_open_ = false;
            negotiated_ = false;
            break_pending_ = false;
            out_.clear();
            out_sent_ = 0;
        }
        connected_.store(false);
        device_.on_disconnect();
    }

    // Sends what the queue holds without blocking. False when the connection failed.
    bool flush() {
        std::lock_guard<std::mutex> lock(mu_);
        while (out_sent_ < out_.size()) {
            const ssize_t n = ::send(client_fd_, out_.data() + out_sent_, out_.size() - out_sent_,
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                out_sent_ += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        out_.clear();
        out_sent_ = 0;
        return true;
    }

    // --- telnet::Sink, on the server thread ---

    void on_data(std::span<const uint8_t> bytes) override { device_.on_data(bytes); }

    void on_option(uint8_t verb, uint8_t option) override {
        uint8_t reply[3];
        const size_t n = neg_.receive(verb, option, reply);
        std::lock_guard<std::mutex> lock(mu_);
        queue_locked(reply, n);
        if (!negotiated_ &&
            (neg_.local_enabled(telnet::kOptComPort) || neg_.remote_enabled(telnet::kOptComPort))) {
            negotiated_ = true;
            // The client's first view of the lines; deltas mark the lines that are on.
            const uint8_t delta = ((modem_ & cpc::kModemCts) ? cpc::kModemDeltaCts : 0) |
                                  ((modem_ & cpc::kModemDsr) ? cpc::kModemDeltaDsr : 0);
            queue_command_locked(cpc::kNotifyModemstate + cpc::kServerOffset,
                                 static_cast<uint8_t>((modem_ | delta) & modem_mask_));
            if (break_pending_) {
                queue_command_locked(cpc::kNotifyLinestate + cpc::kServerOffset, cpc::kLineBreak);
                break_pending_ = false;
            }
        }
    }

    void on_com_port(uint8_t code, std::span<const uint8_t> value) override {
        const uint8_t v = value.empty() ? 0 : value[0];
        switch (code) {
            case cpc::kSignature:
                if (value.empty()) {
                    answer(code,
                           std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(kSignature),
                                                    sizeof(kSignature) - 1));
                }
                return;
            case cpc::kSetBaudrate: {
                if (value.size() >= 4) {
                    const uint32_t baud = (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) |
                                          (uint32_t{value[2]} << 8) | value[3];
                    if (baud != 0) set_line([&](ServerLineSettings& s) { s.baud = baud; });
                }
                const uint32_t b = settings_.baud;
                const uint8_t out[4] = {static_cast<uint8_t>(b >> 24),
                                        static_cast<uint8_t>(b >> 16), static_cast<uint8_t>(b >> 8),
                                        static_cast<uint8_t>(b)};
                answer(code, out);
                return;
            }
            case cpc::kSetDatasize:
                if (v >= 5 && v <= 8) set_line([&](ServerLineSettings& s) { s.data_bits = v; });
                answer(code, settings_.data_bits);
                return;
            case cpc::kSetParity:
                if (v >= 1 && v <= 5) set_line([&](ServerLineSettings& s) { s.parity = v; });
                answer(code, settings_.parity);
                return;
            case cpc::kSetStopsize:
                if (v >= 1 && v <= 3) set_line([&](ServerLineSettings& s) { s.stop_bits = v; });
                answer(code, settings_.stop_bits);
                return;
            case cpc::kSetControl:
                set_control(v);
                return;
            case cpc::kNotifyLinestate:  // a poll: nothing pending to report
                answer(code, uint8_t{0});
                return;
            case cpc::kNotifyModemstate: {  // a poll: the current lines
                std::lock_guard<std::mutex> lock(mu_);
                queue_command_locked(code + cpc::kServerOffset,
                                     static_cast<uint8_t>(modem_ & modem_mask_));
                return;
            }
            case cpc::kSetLinestateMask:
                answer(code, v);
                return;
            case cpc::kSetModemstateMask: {
                std::lock_guard<std::mutex> lock(mu_);
                modem_mask_ = v;
                queue_command_locked(code + cpc::kServerOffset, v);
                return;
            }
            case cpc::kPurgeData:
                if (v >= 1 && v <= 3) {
                    device_.on_purge(v);
                    answer(code, v);
                }
                return;
            default:  // flow suspend/resume, server codes, unknown: nothing to do
                return;
        }
    }

    template <typename Change>
    void set_line(Change change) {
        ServerLineSettings next = settings_;
        change(next);
        if (next.baud == settings_.baud && next.data_bits == settings_.data_bits &&
            next.parity == settings_.parity && next.stop_bits == settings_.stop_bits) {
            return;
        }
        settings_ = next;
        device_.on_line_settings(settings_);
    }

    void set_control(uint8_t v) {
        uint8_t applied = v;
        switch (v) {
            case cpc::kFlowAsk:
                applied = flow_;
                break;
            case cpc::kFlowNone:
            case cpc::kFlowXonXoff:
            case cpc::kFlowHardware:
                flow_ = v;
                break;
            case cpc::kBreakAsk:
                applied = brk_ ? cpc::kBreakOn : cpc::kBreakOff;
                break;
            case cpc::kBreakOn:
            case cpc::kBreakOff:
                brk_ = v == cpc::kBreakOn;
                device_.on_break(brk_);
                break;
            case cpc::kDtrAsk:
                applied = dtr_ ? cpc::kDtrOn : cpc::kDtrOff;
                break;
            case cpc::kDtrOn:
            case cpc::kDtrOff:
                dtr_ = v == cpc::kDtrOn;
                device_.on_dtr(dtr_);
                break;
            case cpc::kRtsAsk:
                applied = rts_ ? cpc::kRtsOn : cpc::kRtsOff;
                break;
            case cpc::kRtsOn:
            case cpc::kRtsOff:
                rts_ = v == cpc::kRtsOn;
                device_.on_rts(rts_);
                break;
            default:
                break;  // inbound and other flow controls: accepted, not modelled
        }
        // Queued after the callback, so whatever the device sent in it comes first.
        answer(cpc::kSetControl, applied);
    }

    Device& device_;
    const int listen_fd_;
    const int wake_fd_;
    const uint16_t port_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};

    // Server thread only.
    int client_fd_ = -1;
    telnet::Decoder dec_;
    telnet::Negotiator neg_;
    ServerLineSettings settings_;
    uint8_t flow_ = cpc::kFlowNone;
    bool brk_ = false;
    bool dtr_ = false;
    bool rts_ = false;

    // Under mu_.
    std::mutex mu_;
    std::vector<uint8_t> out_;
    size_t out_sent_ = 0;
    bool client_open_ = false;
    bool negotiated_ = false;
    bool break_pending_ = false;
    uint8_t modem_ = 0;
    uint8_t modem_mask_ = 0xFF;
};

}  // namespace

std::unique_ptr<Server> Server::start(const std::string& host, uint16_t port, Device& device,
                                      std::string* error) {
    const auto fail = [error](const std::string& what, int err) -> std::unique_ptr<Server> {
        if (error != nullptr) *error = what + ": " + std::strerror(err);
        return nullptr;
    };
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int gai =
        ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &list);
    if (gai != 0) {
        if (error != nullptr) *error = "resolve " + host + ": " + ::gai_strerror(gai);
        return nullptr;
    }
    int fd = -1;
    int err = EADDRNOTAVAIL;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      ai->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 4) == 0) break;
        err = errno;
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(list);
    if (fd < 0) return fail("bind " + host + ":" + service, err);
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        err = errno;
        ::close(fd);
        return fail("getsockname", err);
    }
    const uint16_t bound = addr.ss_family == AF_INET6
                               ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                               : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    const int wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) {
        err = errno;
        ::close(fd);
        return fail("eventfd", err);
    }
    return std::make_unique<ServerImpl>(device, fd, wake_fd, bound);
}

}  // namespace prt::plat::rfc2217
