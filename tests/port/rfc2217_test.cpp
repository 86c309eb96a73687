// Our RFC 2217 client (through the port calls) against our server, plus the server's
// bytes on the wire against a raw TCP client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/port.h"
#include "platform/rfc2217_server.h"
#include "port_test_util.h"

namespace prt::plat {
namespace {

using Bytes = std::vector<uint8_t>;
using prt::test::wait_until;
using namespace std::chrono_literals;

// A device that records what the host did. `react` runs on the server thread for each
// chunk of data, to answer from inside the callback.
class RecordingDevice : public rfc2217::Device {
  public:
    std::function<void(std::span<const uint8_t>)> react;

    void on_connect() override { add("connect"); }
    void on_disconnect() override { add("disconnect"); }
    void on_data(std::span<const uint8_t> bytes) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            data_.insert(data_.end(), bytes.begin(), bytes.end());
        }
        if (react) react(bytes);
    }
    void on_rts(bool on) override { add(on ? "rts1" : "rts0"); }
    void on_dtr(bool on) override { add(on ? "dtr1" : "dtr0"); }
    void on_break(bool on) override { add(on ? "brk1" : "brk0"); }
    void on_line_settings(const rfc2217::ServerLineSettings& s) override {
        std::lock_guard<std::mutex> lock(mu_);
        settings_ = s;
    }
    void on_purge(uint8_t what) override { add("purge" + std::to_string(what)); }

    Bytes data() {
        std::lock_guard<std::mutex> lock(mu_);
        return data_;
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mu_);
        return events_;
    }
    size_t count(const std::string& e) {
        const auto ev = events();
        return static_cast<size_t>(std::count(ev.begin(), ev.end(), e));
    }
    rfc2217::ServerLineSettings settings() {
        std::lock_guard<std::mutex> lock(mu_);
        return settings_;
    }

  private:
    void add(std::string e) {
        std::lock_guard<std::mutex> lock(mu_);
        events_.push_back(std::move(e));
    }
    std::mutex mu_;
    Bytes data_;
    std::vector<std::string> events_;
    rfc2217::ServerLineSettings settings_;
};

// Reads exactly `n` bytes from a port, or fails the test.
Bytes read_exact(uint32_t h, size_t n) {
    Bytes out(n);
    uint32_t got = 0;
    EXPECT_TRUE(port_read(h, out.data(), static_cast<uint32_t>(n), &got));
    out.resize(got);
    return out;
}

class Rfc2217Test : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string err;
        server_ = rfc2217::Server::start("127.0.0.1", 0, device_, &err);
        ASSERT_TRUE(server_) << err;
        url_ = "rfc2217://127.0.0.1:" + std::to_string(server_->port());
    }
    void TearDown() override {
        if (handle_ != kInvalidHandle) port_close(handle_);
        if (server_) server_->stop();
        set_time_scale(1.0);
    }
    void open() {
        ASSERT_TRUE(port_open(url_, &handle_)) << "errno " << last_error();
        ASSERT_TRUE(wait_until([&] { return server_->connected(); }));
    }

    RecordingDevice device_;
    std::unique_ptr<rfc2217::Server> server_;
    std::string url_;
    uint32_t handle_ = kInvalidHandle;
};

TEST_F(Rfc2217Test, ConfigureAndDataBothWaysIncludingIac) {
    open();
    ASSERT_TRUE(port_configure(handle_, LineSettings{19200, 8, 2}));
    const auto s = device_.settings();
    EXPECT_EQ(s.baud, 19200u);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_EQ(s.parity, 1);
    EXPECT_EQ(s.stop_bits, 2);

    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    all.insert(all.end(), {0xFF, 0xFF, 0xFF});
    uint32_t written = 0;
    ASSERT_TRUE(port_write(handle_, all.data(), static_cast<uint32_t>(all.size()), &written));
    EXPECT_EQ(written, all.size());
    EXPECT_TRUE(wait_until([&] { return device_.data().size() >= all.size(); }));
    EXPECT_EQ(device_.data(), all);

    server_->send_data(all);
    EXPECT_EQ(read_exact(handle_, all.size()), all);
}

TEST_F(Rfc2217Test, ControlLinesReachTheDeviceInCallOrder) {
    open();
    ASSERT_TRUE(port_set_dtr(handle_, true));
    ASSERT_TRUE(port_set_rts(handle_, true));
    ASSERT_TRUE(port_set_break(handle_, true));
    ASSERT_TRUE(port_set_break(handle_, false));
    ASSERT_TRUE(port_set_rts(handle_, false));
    ASSERT_TRUE(port_set_dtr(handle_, false));
    const std::vector<std::string> want = {"connect", "dtr1", "rts1", "brk1",
                                           "brk0",    "rts0", "dtr0"};
    EXPECT_TRUE(wait_until([&] { return device_.events().size() >= want.size(); }));
    EXPECT_EQ(device_.events(), want);
}

TEST_F(Rfc2217Test, ModemChangeArrivesBeforeDataSentAfterIt) {
    // Answering from inside the callback: the lines change, then a byte follows.
    device_.react = [this](std::span<const uint8_t> bytes) {
        if (bytes[0] == 'X') {
            server_->set_modem(true, true);
            const uint8_t y = 'Y';
            server_->send_data({&y, 1});
        }
    };
    open();
    uint32_t bits = 0;
    ASSERT_TRUE(port_modem_status(handle_, &bits));
    const uint8_t x = 'X';
    uint32_t n = 0;
    ASSERT_TRUE(port_write(handle_, &x, 1, &n));
    EXPECT_EQ(read_exact(handle_, 1), Bytes{'Y'});
    ASSERT_TRUE(port_modem_status(handle_, &bits));
    EXPECT_EQ(bits, kModemCts | kModemDsr);

    // From another thread: several changes, then data; the data brings the last state.
    std::thread t([this] {
        server_->set_modem(false, true);
        server_->set_modem(true, false);
        server_->set_modem(false, true);
        const uint8_t z = 'Z';
        server_->send_data({&z, 1});
    });
    t.join();
    EXPECT_EQ(read_exact(handle_, 1), Bytes{'Z'});
    ASSERT_TRUE(port_modem_status(handle_, &bits));
    EXPECT_EQ(bits, kModemDsr);
}

TEST_F(Rfc2217Test, ModemStateIsKeptForEachNewClient) {
    server_->set_modem(true, false);
    open();
    uint32_t bits = 0;
    EXPECT_TRUE(wait_until([&] { return port_modem_status(handle_, &bits) && bits == kModemCts; }))
        << bits;
    ASSERT_TRUE(port_close(handle_));
    handle_ = kInvalidHandle;
    ASSERT_TRUE(wait_until([&] { return !server_->connected(); }));

    server_->set_modem(false, true);  // no client: kept for the next one
    open();
    EXPECT_TRUE(wait_until([&] { return port_modem_status(handle_, &bits) && bits == kModemDsr; }))
        << bits;
}

TEST_F(Rfc2217Test, BreakFromTheDeviceIsReportedOnce) {
    open();
    uint32_t flags = 0;
    ASSERT_TRUE(port_take_errors(handle_, &flags));
    EXPECT_EQ(flags, 0u);
    server_->send_break();
    EXPECT_TRUE(wait_until([&] { return port_take_errors(handle_, &flags) && flags != 0; }));
    EXPECT_EQ(flags, kErrBreak);
    ASSERT_TRUE(port_take_errors(handle_, &flags));
    EXPECT_EQ(flags, 0u) << "read and clear";
}

TEST_F(Rfc2217Test, PurgeDropsDataThatPredatesTheAcknowledgement) {
    open();
    const Bytes stale = {'o', 'l', 'd', 0xFF};
    server_->send_data(stale);
    // The stale bytes travel ahead of the purge's acknowledgement, still unread.
    ASSERT_TRUE(port_purge(handle_));
    ASSERT_TRUE(wait_until([&] { return device_.count("purge3") == 1; }));
    const Bytes fresh = {'n', 'e', 'w'};
    server_->send_data(fresh);
    EXPECT_EQ(read_exact(handle_, fresh.size()), fresh);

    // Data already taken in on our side goes too. The modem change sent after the stale
    // bytes tells that they have arrived: port_modem_status takes in without reading out.
    server_->send_data(stale);
    server_->set_modem(true, false);
    uint32_t bits = 0;
    ASSERT_TRUE(wait_until([&] { return port_modem_status(handle_, &bits) && bits == kModemCts; }));
    ASSERT_TRUE(port_purge(handle_));
    ASSERT_TRUE(wait_until([&] { return device_.count("purge3") == 2; }));
    server_->send_data(fresh);
    EXPECT_EQ(read_exact(handle_, fresh.size()), fresh);
}

TEST_F(Rfc2217Test, SecondOpenOfTheSameAddressFailsUntilClosed) {
    open();
    uint32_t second = kInvalidHandle;
    EXPECT_FALSE(port_open(url_, &second));
    EXPECT_EQ(second, kInvalidHandle);
    EXPECT_EQ(last_error(), EBUSY);
    ASSERT_TRUE(port_close(handle_));
    handle_ = kInvalidHandle;
    ASSERT_TRUE(wait_until([&] { return !server_->connected(); }));
    open();
}

TEST_F(Rfc2217Test, AnotherProcessHoldsTheAddressUntilItDies) {
    prt::test::Child holder;
    ASSERT_TRUE(prt::test::hold_in_child(url_, "Rfc2217Open.Failures", holder));
    EXPECT_FALSE(port_open(url_, &handle_));
    EXPECT_EQ(last_error(), EBUSY);
    holder.kill();  // without closing anything
    ASSERT_TRUE(wait_until([&] { return !server_->connected(); }));
    open();
}

int connect_raw(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads exactly `n` bytes from a raw socket within a bounded wait; fewer at end of stream.
Bytes recv_exact(int fd, size_t n) {
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        uint8_t buf[256];
        const ssize_t got = ::recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
        if (got <= 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

void send_raw(int fd, const Bytes& b) {
    ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
}

TEST_F(Rfc2217Test, SecondConnectionIsClosedAtOnce) {
    open();
    const int fd = connect_raw(server_->port());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(recv_exact(fd, 1).empty()) << "the second client got bytes, not a close";
    ::close(fd);
    // The first client is untouched.
    const Bytes b = {1, 2, 3};
    server_->send_data(b);
    EXPECT_EQ(read_exact(handle_, b.size()), b);
}

TEST_F(Rfc2217Test, ReadTimeOutGivesAShortCount) {
    set_time_scale(0.2);  // 100 ms
    open();
    server_->send_data(Bytes{7, 8});
    uint8_t buf[10];
    uint32_t got = 0;
    const uint64_t start = monotonic_ms();
    EXPECT_TRUE(port_read(handle_, buf, sizeof(buf), &got));
    EXPECT_EQ(got, 2u);
    EXPECT_GE(monotonic_ms() - start, scaled_ms(kPortTimeoutMs)) << "returned before the deadline";
}

TEST_F(Rfc2217Test, PeerClosingFailsTheNextCalls) {
    open();
    server_->stop();
    uint8_t buf[4];
    uint32_t got = 0;
    EXPECT_FALSE(port_read(handle_, buf, sizeof(buf), &got));
    uint32_t bits = 0;
    EXPECT_FALSE(port_modem_status(handle_, &bits));
}

// The server's side of the wire, byte for byte.
TEST_F(Rfc2217Test, ServerBytesOnTheWire) {
    const int fd = connect_raw(server_->port());
    ASSERT_GE(fd, 0);
    // Its own requests first: DO COM-PORT, WILL BINARY, DO BINARY, WILL SGA.
    EXPECT_EQ(recv_exact(fd, 12), (Bytes{255, 253, 44, 255, 251, 0, 255, 253, 0, 255, 251, 3}));
    // A break before the client agreed waits for the negotiation.
    ASSERT_TRUE(wait_until([&] { return server_->connected(); }));
    server_->send_break();
    // WILL COM-PORT acknowledges its DO: no answer to it, but the first modem state, then
    // the waiting break.
    send_raw(fd, {255, 251, 44});
    EXPECT_EQ(recv_exact(fd, 14), (Bytes{255, 250, 44, 107, 0, 255, 240,  //
                                         255, 250, 44, 106, 0x10, 255, 240}));
    const struct {
        const char* name;
        Bytes request, answer;
    } cases[] = {
        {"baud 0 asks",
         {255, 250, 44, 1, 0, 0, 0, 0, 255, 240},
         {255, 250, 44, 101, 0, 0, 0x25, 0x80, 255, 240}},
        {"baud set",
         {255, 250, 44, 1, 0, 0, 0x4B, 0, 255, 240},
         {255, 250, 44, 101, 0, 0, 0x4B, 0, 255, 240}},
        {"stop size 2", {255, 250, 44, 4, 2, 255, 240}, {255, 250, 44, 104, 2, 255, 240}},
        {"data size 9 refused", {255, 250, 44, 2, 9, 255, 240}, {255, 250, 44, 102, 8, 255, 240}},
        {"DTR asked", {255, 250, 44, 5, 7, 255, 240}, {255, 250, 44, 105, 9, 255, 240}},
        {"RTS on", {255, 250, 44, 5, 11, 255, 240}, {255, 250, 44, 105, 11, 255, 240}},
        {"RTS asked", {255, 250, 44, 5, 10, 255, 240}, {255, 250, 44, 105, 11, 255, 240}},
        {"modem mask 0xFF",
         {255, 250, 44, 11, 255, 255, 255, 240},
         {255, 250, 44, 111, 255, 255, 255, 240}},
        {"purge both", {255, 250, 44, 12, 3, 255, 240}, {255, 250, 44, 112, 3, 255, 240}},
        {"ECHO refused", {255, 253, 1}, {255, 252, 1}},
        {"unknown offer refused", {255, 251, 24}, {255, 254, 24}},
    };
    for (const auto& c : cases) {
        send_raw(fd, c.request);
        EXPECT_EQ(recv_exact(fd, c.answer.size()), c.answer) << c.name;
    }
    const auto s = device_.settings();
    EXPECT_EQ(s.baud, 19200u);
    EXPECT_EQ(s.stop_bits, 2);
    EXPECT_EQ(s.data_bits, 8);

    send_raw(fd, {'a', 255, 255, 'b'});
    EXPECT_TRUE(wait_until([&] { return device_.data().size() >= 3; }));
    EXPECT_EQ(device_.data(), (Bytes{'a', 255, 'b'}));
    server_->send_data(Bytes{255, 'c'});
    server_->set_modem(true, false);
    server_->send_break();
    EXPECT_EQ(recv_exact(fd, 3 + 7 + 7), (Bytes{255, 255, 'c',                      //
                                                255, 250, 44, 107, 0x11, 255, 240,  //
                                                255, 250, 44, 106, 0x10, 255, 240}));
    ::close(fd);
}

TEST(Rfc2217Open, Failures) {
    uint32_t h = 0;
    for (const char* bad : {"rfc2217://", "rfc2217://127.0.0.1", "rfc2217://127.0.0.1:abc",
                            "rfc2217://:4000", "rfc2217://[::1:4000"}) {
        EXPECT_FALSE(port_open(bad, &h)) << bad;
        EXPECT_EQ(h, kInvalidHandle) << bad;
        EXPECT_EQ(last_error(), EINVAL) << bad;
    }

    // Nobody listening: refused at once.
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    socklen_t len = sizeof(a);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len), 0);
    const std::string closed_url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    EXPECT_FALSE(port_open(closed_url, &h));
    EXPECT_EQ(last_error(), ECONNREFUSED);

    // A listener that never speaks telnet: the open gives up after its bounded wait.
    ASSERT_EQ(::listen(probe, 1), 0);
    set_time_scale(0.1);
    EXPECT_FALSE(port_open(closed_url, &h));
    EXPECT_EQ(last_error(), ETIMEDOUT);
    set_time_scale(1.0);
    ::close(probe);

    // Calls on a handle that is not open.
    uint8_t b = 0;
    uint32_t got = 0;
    EXPECT_FALSE(port_read(4000, &b, 1, &got));
    EXPECT_EQ(last_error(), EBADF);
    EXPECT_FALSE(port_close(kInvalidHandle));
    EXPECT_EQ(last_error(), EBADF);
}

}  // namespace
}  // namespace prt::plat
